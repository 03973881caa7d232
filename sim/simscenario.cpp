#include "simscenario.h"

#include <QStringList>

namespace SimSetup {

namespace {

constexpr int kHexBase = 16;
constexpr int kMaxByte = 0xFF;
constexpr int kMaxErrorNumber = 0xFFFF;

bool failWith(QString *error, const QString &message)
{
    if (error)
        *error = message;
    return false;
}

bool toByte(const QString &text, uint8_t *value)
{
    bool ok = false;
    QString digits = text.trimmed();
    if (digits.startsWith(QLatin1String("0x"), Qt::CaseInsensitive))
        digits = digits.mid(2);
    const uint number = digits.toUInt(&ok, kHexBase);
    if (!ok || digits.isEmpty() || number > kMaxByte)
        return false;
    *value = static_cast<uint8_t>(number);
    return true;
}

bool toMilliseconds(const QString &text, int *value)
{
    bool ok = false;
    const int number = text.toInt(&ok);
    if (!ok || number < 0)
        return false;
    *value = number;
    return true;
}

bool toFlag(const QString &text, bool *value)
{
    if (text == QLatin1String("1") || text == QLatin1String("yes") || text == QLatin1String("on")) {
        *value = true;
        return true;
    }
    if (text == QLatin1String("0") || text == QLatin1String("no") || text == QLatin1String("off")) {
        *value = false;
        return true;
    }
    return false;
}

// "any" or a hexadecimal command code.
bool toCommandSelector(const QString &text, int *selector)
{
    if (text == QLatin1String("any")) {
        *selector = kAnyCommand;
        return true;
    }
    uint8_t code = 0;
    if (!toByte(text, &code))
        return false;
    *selector = code;
    return true;
}

bool toUid(const QString &text, QByteArray *uid)
{
    const QByteArray hex = text.trimmed().toLatin1();
    if (hex.isEmpty() || hex.size() % 2 != 0)
        return false;
    for (const char c : hex) {
        if (!isxdigit(static_cast<unsigned char>(c)))
            return false;
    }
    *uid = QByteArray::fromHex(hex);
    return true;
}

// UID:ADDRESS:NAME:TERMINATED
bool toAddressTag(const QString &text, SimTag *tag)
{
    const QStringList parts = text.split(QLatin1Char(':'));
    QByteArray uid;
    uint8_t address = 0;
    bool terminated = false;
    if (parts.size() != 4 || !toUid(parts[0], &uid) || !toByte(parts[1], &address) ||
        !toFlag(parts[3], &terminated))
        return false;
    *tag = SimTag::create(uid).withAddressTag(address, parts[2], terminated);
    return true;
}

bool applyFaultKey(const QString &key, const QString &value, SimFaults *faults, bool *known)
{
    *known = true;
    if (key == QLatin1String("silent"))
        return toFlag(value, &faults->silent);
    if (key == QLatin1String("delay"))
        return toMilliseconds(value, &faults->answerDelayMs);
    if (key == QLatin1String("error")) {
        // CC or CC:EEEE
        const QStringList parts = value.split(QLatin1Char(':'));
        if (parts.size() > 2 || !toCommandSelector(parts[0], &faults->errorCommand))
            return false;
        if (parts.size() == 2) {
            bool ok = false;
            const uint number = parts[1].toUInt(&ok, kHexBase);
            if (!ok || number > kMaxErrorNumber)
                return false;
            faults->errorNumber = static_cast<uint16_t>(number);
        }
        return true;
    }
    if (key == QLatin1String("crcrate")) {
        bool ok = false;
        const double rate = value.toDouble(&ok);
        if (!ok || rate < 0.0 || rate > 1.0)
            return false;
        faults->corruptCrcRate = rate;
        return true;
    }
    if (key == QLatin1String("crcnext"))
        return toMilliseconds(value, &faults->corruptNextAnswers);
    if (key == QLatin1String("late")) {
        // CC:MS
        const QStringList parts = value.split(QLatin1Char(':'));
        return parts.size() == 2 && toCommandSelector(parts[0], &faults->lateCommand) &&
               toMilliseconds(parts[1], &faults->lateAnswerMs);
    }
    if (key == QLatin1String("dropafter"))
        return toMilliseconds(value, &faults->dropAfterChunks);
    if (key == QLatin1String("unplugafter"))
        return toMilliseconds(value, &faults->unplugAfterChunks);
    if (key == QLatin1String("truncate")) {
        // CC:N
        const QStringList parts = value.split(QLatin1Char(':'));
        return parts.size() == 2 && toCommandSelector(parts[0], &faults->truncateCommand) &&
               toMilliseconds(parts[1], &faults->truncatedDataBytes);
    }
    if (key == QLatin1String("nostart"))
        return toFlag(value, &faults->applicationNeverStarts);
    if (key == QLatin1String("oldversion"))
        return toFlag(value, &faults->keepsOldVersion);
    if (key == QLatin1String("keepterm"))
        return toFlag(value, &faults->keepsTermination);
    *known = false;
    return false;
}

bool applyDeviceKey(const QString &key, const QString &value, SimDeviceConfig *config, bool *known)
{
    *known = true;
    if (key == QLatin1String("addr")) {
        if (!toByte(value, &config->settings.ownAddress))
            return false;
        if (config->factorySettings)
            config->factorySettings->ownAddress = config->settings.ownAddress;
        return true;
    }
    if (key == QLatin1String("name")) {
        config->identification = value;
        return true;
    }
    if (key == QLatin1String("version")) {
        config->applicationVersion = value;
        return true;
    }
    if (key == QLatin1String("bootversion")) {
        config->bootloaderVersion = value;
        return true;
    }
    if (key == QLatin1String("baud")) {
        const int index = simBaudIndexOf(value.toInt());
        if (index < 0)
            return false;
        config->settings.baudIndex = static_cast<uint8_t>(index);
        return true;
    }
    if (key == QLatin1String("baudindex")) {
        // Any stored index, as a corrupted settings memory may hold.
        bool ok = false;
        const uint index = value.toUInt(&ok);
        if (!ok || index > kMaxByte)
            return false;
        config->settings.baudIndex = static_cast<uint8_t>(index);
        return true;
    }
    if (key == QLatin1String("term")) {
        bool terminated = false;
        if (!toFlag(value, &terminated))
            return false;
        config->settings.terminated = terminated ? 1 : 0;
        return true;
    }
    if (key == QLatin1String("short")) {
        config->settings.shortName = simShortName(value);
        return true;
    }
    if (key == QLatin1String("led")) {
        uint8_t mode = 0;
        if (!toByte(value, &mode) || mode > SimLed::kToggle)
            return false;
        config->ledMode = mode;
        return true;
    }
    if (key == QLatin1String("tag")) {
        QByteArray uid;
        if (!toUid(value, &uid))
            return false;
        config->tags.append(SimTag::create(uid));
        return true;
    }
    if (key == QLatin1String("addrtag")) {
        SimTag tag;
        if (!toAddressTag(value, &tag))
            return false;
        config->tags.append(tag);
        return true;
    }
    if (key == QLatin1String("restart"))
        return toMilliseconds(value, &config->timing.restartMs);
    if (key == QLatin1String("bootstart"))
        return toMilliseconds(value, &config->timing.bootloaderStartMs);
    if (key == QLatin1String("erase"))
        return toMilliseconds(value, &config->timing.eraseMs);
    if (key == QLatin1String("acceptany"))
        return toFlag(value, &config->acceptAnyImage);
    if (key == QLatin1String("bootloader")) {
        bool inBootloader = false;
        if (!toFlag(value, &inBootloader))
            return false;
        config->mode = inBootloader ? SimMode::Bootloader : SimMode::Application;
        return true;
    }
    return applyFaultKey(key, value, &config->faults, known);
}

using KeyHandler = bool (*)(const QString &, const QString &, void *, bool *);

bool parsePairs(const QString &keys, void *target, KeyHandler apply, QString *error)
{
    const QStringList pairs = keys.split(QLatin1Char(','), Qt::SkipEmptyParts);
    for (const QString &pair : pairs) {
        const int equals = pair.indexOf(QLatin1Char('='));
        if (equals <= 0)
            return failWith(error, QStringLiteral("'%1' is not key=value").arg(pair.trimmed()));
        const QString key = pair.left(equals).trimmed().toLower();
        const QString value = pair.mid(equals + 1).trimmed();
        bool known = false;
        if (!apply(key, value, target, &known)) {
            return failWith(error, known ? QStringLiteral("bad value '%1' for %2").arg(value, key)
                                         : QStringLiteral("unknown key '%1'").arg(key));
        }
    }
    return true;
}

} // namespace

bool parseDevice(const QString &keys, SimDeviceConfig *config, QString *error)
{
    return parsePairs(
        keys, config,
        [](const QString &key, const QString &value, void *target, bool *known) {
            return applyDeviceKey(key, value, static_cast<SimDeviceConfig *>(target), known);
        },
        error);
}

bool parseFaults(const QString &keys, SimFaults *faults, QString *error)
{
    return parsePairs(
        keys, faults,
        [](const QString &key, const QString &value, void *target, bool *known) {
            return applyFaultKey(key, value, static_cast<SimFaults *>(target), known);
        },
        error);
}

bool parseScenario(const QString &text, const SimDeviceConfig &defaults, Scenario *scenario,
                   QString *error)
{
    const QStringList lines = text.split(QLatin1Char('\n'));
    for (int i = 0; i < lines.size(); ++i) {
        QString line = lines[i];
        const int comment = line.indexOf(QLatin1Char('#'));
        if (comment >= 0)
            line.truncate(comment);
        line = line.trimmed();
        if (line.isEmpty())
            continue;
        const int space = line.indexOf(QLatin1Char(' '));
        const QString kind = line.left(space);
        const QString keys = space < 0 ? QString() : line.mid(space + 1);
        QString reason;
        bool ok = false;
        if (kind == QLatin1String("device")) {
            SimDeviceConfig config = defaults;
            ok = parseDevice(keys, &config, &reason);
            scenario->devices.append(config);
        } else if (kind == QLatin1String("bus")) {
            QString faultKeys;
            ok = true;
            for (const QString &pair : keys.split(QLatin1Char(','), Qt::SkipEmptyParts)) {
                if (pair.trimmed().startsWith(QLatin1String("seed="))) {
                    scenario->seed = pair.trimmed().mid(5).toUInt(&ok);
                    scenario->seedGiven = true;
                    if (!ok) {
                        reason = QStringLiteral("bad seed");
                        break;
                    }
                } else {
                    faultKeys += pair + QLatin1Char(',');
                }
            }
            ok = ok && parseFaults(faultKeys, &scenario->busFaults, &reason);
        } else {
            reason = QStringLiteral("expected 'device' or 'bus', found '%1'").arg(kind);
        }
        if (!ok)
            return failWith(error, QStringLiteral("line %1: %2").arg(i + 1).arg(reason));
    }
    return true;
}

QString hexAddress(uint8_t address)
{
    return QStringLiteral("%1").arg(address, 2, kHexBase, QLatin1Char('0')).toUpper();
}

QString describe(const SimDeviceState &state)
{
    const QString mode = state.config.mode == SimMode::Bootloader ? QStringLiteral("bootloader")
                                                                  : QStringLiteral("app");
    QStringList tags;
    for (const SimTag &tag : state.config.tags)
        tags << QString::fromLatin1(tag.uid.toHex().toUpper());
    QStringList flags;
    if (state.config.faults.silent)
        flags << QStringLiteral("silent");
    if (state.restarting)
        flags << QStringLiteral("restarting");
    return QStringLiteral("%1 \"%2\" %3 \"%4\" baud=%5 term=%6 short=\"%7\" led=%8 tags=[%9]%10")
        .arg(hexAddress(state.address()))
        .arg(state.config.identification)
        .arg(mode)
        .arg(state.config.mode == SimMode::Bootloader ? state.config.bootloaderVersion
                                                      : state.config.applicationVersion)
        .arg(state.baudRate())
        .arg(state.config.settings.terminated ? 1 : 0)
        .arg(simShortNameText(state.config.settings.shortName))
        .arg(state.config.ledMode)
        .arg(tags.join(QLatin1Char(' ')))
        .arg(flags.isEmpty() ? QString() : QStringLiteral(" ") + flags.join(QLatin1Char(' ')));
}

namespace {
// %1: the rates of the baud table.
const char kKeysHelp[] =
    "Device keys (comma-separated key=value; texts may not contain commas):\n"
    "  addr=HEX            own bus address (default 80)\n"
    "  name=TEXT           identification text (answer to 0x0A)\n"
    "  version=TEXT        application version (answer to 0x09)\n"
    "  bootversion=TEXT    bootloader version (must hold BOOTLOADER after its start)\n"
    "  baud=RATE           %1 (default 115200)\n"
    "  baudindex=N         any stored rate index, also one past the table (0..255)\n"
    "  term=0|1            line termination   short=TEXT  short name, 4 bytes\n"
    "  led=0|1|2           LED mode           bootloader=0|1  start in the bootloader\n"
    "  tag=UIDHEX          a tag on the antenna (repeatable)\n"
    "  addrtag=UIDHEX:ADDR:NAME:0|1   a tag holding an address-tag record\n"
    "  restart=MS bootstart=MS erase=MS   restart, bootloader start and erase times\n"
    "  acceptany=0|1       accept every firmware image\n"
    "Fault keys (devices and --bus-faults):\n"
    "  silent=0|1          answer nothing\n"
    "  delay=MS            answer this much later\n"
    "  error=CC[:EEEE]     answer command CC (hex or 'any') with error number EEEE\n"
    "  crcrate=R           break the CRC of this share (0..1) of answers\n"
    "  crcnext=N           break the CRC of the next N answers, then answer well\n"
    "  late=CC:MS          answer command CC (or 'any') MS later, past the tool's timeout\n"
    "  dropafter=N         fall silent after N firmware chunks\n"
    "  unplugafter=N       pull the adapter after N firmware chunks: the line hangs up\n"
    "  truncate=CC:N       answer command CC (hex or 'any') with only N data bytes\n"
    "  nostart=0|1         a flashed application never starts: back in the bootloader\n"
    "  oldversion=0|1      an accepted image does not take: the old version runs on\n"
    "  keepterm=0|1        a settings write leaves the termination as it was\n";
} // namespace

QString keysHelp()
{
    QStringList rates;
    for (int rate : kSimBaudRates)
        rates << QString::number(rate);
    return QString::fromLatin1(kKeysHelp).arg(rates.join(QLatin1Char(' ')));
}

} // namespace SimSetup
