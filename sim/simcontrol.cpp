#include "simcontrol.h"

#include "simbus.h"
#include "simscenario.h"

#include <QMap>
#include <QStringList>

#include <functional>

namespace SimControl {

namespace {

constexpr int kHexBase = 16;

// Devices named by a bus address in hex, or "all".
QVector<SimDevice *> selectDevices(SimBus &bus, const QString &which, QString *error)
{
    QVector<SimDevice *> chosen;
    const bool all = which == QLatin1String("all");
    bool ok = all;
    const uint address = all ? 0 : which.toUInt(&ok, kHexBase);
    if (!ok) {
        *error = QStringLiteral("error: '%1' is neither a hex address nor 'all'").arg(which);
        return chosen;
    }
    for (int id : bus.deviceIds()) {
        SimDevice *device = bus.device(id);
        if (all || device->address() == address)
            chosen.append(device);
    }
    if (chosen.isEmpty())
        *error = QStringLiteral("error: no device at %1").arg(which);
    return chosen;
}

QString forEachDevice(SimBus &bus, const QString &which,
                      const std::function<void(SimDevice &)> &action)
{
    QString error;
    const QVector<SimDevice *> devices = selectDevices(bus, which, &error);
    if (devices.isEmpty())
        return error;
    QStringList lines;
    for (SimDevice *device : devices) {
        action(*device);
        lines << SimSetup::describe(device->snapshot(bus.nowMs()));
    }
    return lines.join(QLatin1Char('\n'));
}

// Devices at one address and rate answer together: a line for each such address.
QStringList sharedAddresses(SimBus &bus)
{
    QMap<QPair<int, int>, int> holders; // (address, rate) -> devices
    for (int id : bus.deviceIds())
        ++holders[qMakePair(int(bus.device(id)->address()), bus.device(id)->baudRate())];
    QStringList lines;
    for (auto it = holders.cbegin(); it != holders.cend(); ++it) {
        if (it.value() > 1)
            lines << QStringLiteral("%1 shared by %2 devices at %3 baud: their answers collide")
                         .arg(SimSetup::hexAddress(uint8_t(it.key().first)))
                         .arg(it.value())
                         .arg(it.key().second);
    }
    return lines;
}

QString state(SimBus &bus, const QStringList &words)
{
    const QString which = words.size() > 1 ? words[1] : QStringLiteral("all");
    const QString text = forEachDevice(bus, which, [](SimDevice &) {});
    return (QStringList{
                QStringLiteral("line %1 baud, %2")
                    .arg(bus.lineBaudRate())
                    .arg(bus.isPaced() ? QStringLiteral("paced") : QStringLiteral("unpaced")),
                text} +
            sharedAddresses(bus))
        .join(QLatin1Char('\n'));
}

// put ADDR UID [ADDRESS:NAME:0|1]
QString putTag(SimBus &bus, const QStringList &words)
{
    if (words.size() < 3 || words.size() > 4)
        return QStringLiteral("error: put ADDR UIDHEX [TAGADDR:NAME:0|1]");
    SimDeviceConfig parsed;
    const QString keys = words.size() == 4 ? QStringLiteral("addrtag=%1:%2").arg(words[2], words[3])
                                           : QStringLiteral("tag=%1").arg(words[2]);
    QString error;
    if (!SimSetup::parseDevice(keys, &parsed, &error))
        return QStringLiteral("error: %1").arg(error);
    return forEachDevice(bus, words[1], [&](SimDevice &device) {
        QVector<SimTag> tags = device.state().config.tags;
        tags.append(parsed.tags.first());
        device.setTags(tags);
    });
}

// take ADDR [UID]
QString takeTag(SimBus &bus, const QStringList &words)
{
    if (words.size() < 2 || words.size() > 3)
        return QStringLiteral("error: take ADDR [UIDHEX]");
    const QByteArray uid =
        words.size() == 3 ? QByteArray::fromHex(words[2].toLatin1()) : QByteArray();
    return forEachDevice(bus, words[1], [&](SimDevice &device) {
        QVector<SimTag> tags = device.state().config.tags;
        tags.erase(
            std::remove_if(tags.begin(), tags.end(),
                           [&](const SimTag &tag) { return uid.isEmpty() || tag.uid == uid; }),
            tags.end());
        device.setTags(tags);
    });
}

QString setSilent(SimBus &bus, const QStringList &words, bool silent)
{
    if (words.size() != 2)
        return QStringLiteral("error: %1 ADDR|all").arg(words[0]);
    return forEachDevice(bus, words[1], [silent](SimDevice &device) {
        device.state().config.faults.silent = silent;
    });
}

// power ADDR|all
QString powerCycle(SimBus &bus, const QStringList &words)
{
    if (words.size() != 2)
        return QStringLiteral("error: power ADDR|all");
    return forEachDevice(bus, words[1],
                         [&bus](SimDevice &device) { bus.powerCycle(device.state().id); });
}

// fault ADDR|all|bus KEYS   (replaces the faults; "fault 1A" alone clears them)
QString setFaults(SimBus &bus, const QStringList &words)
{
    if (words.size() < 2)
        return QStringLiteral("error: fault ADDR|all|bus [KEY=VALUE,...]");
    SimFaults faults;
    QString error;
    const QString keys = words.mid(2).join(QLatin1Char(' '));
    if (!SimSetup::parseFaults(keys, &faults, &error))
        return QStringLiteral("error: %1").arg(error);
    if (words[1] == QLatin1String("bus")) {
        bus.setBusFaults(faults);
        return QStringLiteral("bus faults set");
    }
    return forEachDevice(bus, words[1],
                         [&](SimDevice &device) { device.state().config.faults = faults; });
}

} // namespace

QString help()
{
    return QStringLiteral(
        "Commands (ADDR is a device's current bus address in hex, or 'all'):\n"
        "  state [ADDR]                      show the devices, and the addresses they share\n"
        "  put ADDR UIDHEX [TAGADDR:NAME:T]  put a tag on the antenna (optionally an address tag)\n"
        "  take ADDR [UIDHEX]                take a tag (default: every tag) away\n"
        "  silence ADDR | revive ADDR        stop or resume answering\n"
        "  power ADDR                        cut the power: the device starts again, in its\n"
        "                                    bootloader unless its application image is whole\n"
        "  fault ADDR|bus [KEYS]             replace the faults (no KEYS clears them)\n"
        "  trace clear                       forget the frames traced so far\n"
        "  help | quit\n");
}

QString execute(SimBus &bus, const QString &line)
{
    const QStringList words = line.simplified().split(QLatin1Char(' '), Qt::SkipEmptyParts);
    if (words.isEmpty())
        return QString();
    const QString &command = words.first();
    if (command == QLatin1String("state"))
        return state(bus, words);
    if (command == QLatin1String("put"))
        return putTag(bus, words);
    if (command == QLatin1String("take"))
        return takeTag(bus, words);
    if (command == QLatin1String("silence"))
        return setSilent(bus, words, true);
    if (command == QLatin1String("revive"))
        return setSilent(bus, words, false);
    if (command == QLatin1String("power"))
        return powerCycle(bus, words);
    if (command == QLatin1String("fault"))
        return setFaults(bus, words);
    if (command == QLatin1String("trace") && words.value(1) == QLatin1String("clear")) {
        bus.trace().clear();
        return QStringLiteral("trace cleared");
    }
    if (command == QLatin1String("help"))
        return help();
    return QStringLiteral("error: unknown command '%1' (try help)").arg(command);
}

} // namespace SimControl
