// backup and restore: a device's settings as a JSON object, and that object written back to the
// device that replaces it.
#include "clicommands.h"

#include "busaddress.h"
#include "clioutput.h"
#include "clisteps.h"

#include <QFile>
#include <QJsonDocument>
#include <QRegularExpression>

#include <cstring>

namespace CliCommands {
namespace {

const QStringList kBackupKeys{"address",     "version",    "name",       "baud",
                              "own_address", "terminated", "short_name", "port"};
const char *const kRequiredKeys[] = {"baud", "own_address", "terminated", "short_name"};

std::optional<uint8_t> hexByteText(const QJsonValue &value)
{
    static const QRegularExpression twoDigits(QStringLiteral("^[0-9A-Fa-f]{2}$"));
    if (!value.isString() || !twoDigits.match(value.toString()).hasMatch())
        return std::nullopt;
    return static_cast<uint8_t>(value.toString().toUInt(nullptr, 16));
}

// Empty when the object is a backup of one device's settings, with the limits of set.
QString checkRecord(const QJsonObject &object, BackupRecord *record)
{
    for (const QString &key : object.keys()) {
        if (!kBackupKeys.contains(key))
            return CliText::tr("unknown key '%1'").arg(key);
    }
    for (const char *key : kRequiredKeys) {
        if (!object.contains(QLatin1String(key)))
            return CliText::tr("no '%1'").arg(QLatin1String(key));
    }
    const QJsonValue baud = object.value("baud");
    const int index = baud.isDouble() ? baudIndexOf(baud.toInt(-1)) : -1;
    if (index < 0 || baud.toDouble() != baud.toInt())
        return CliText::tr("baud: one of %1 expected").arg(baudRatesText());
    const std::optional<uint8_t> ownAddress = hexByteText(object.value("own_address"));
    if (!ownAddress)
        return CliText::tr("own_address: two hexadecimal digits expected");
    if (!object.value("terminated").isBool())
        return CliText::tr("terminated: true or false expected");
    const QJsonValue name = object.value("short_name");
    if (!name.isString() || name.toString().toUtf8().size() > int(kShortNameSize))
        return CliText::tr("short_name: at most four bytes of UTF-8 expected");
    for (const char *key : {"address", "version", "name", "port"}) {
        if (object.contains(QLatin1String(key)) && !object.value(QLatin1String(key)).isString())
            return CliText::tr("%1: a text expected").arg(QLatin1String(key));
    }
    *record = {static_cast<uint8_t>(index),         *ownAddress,
               object.value("terminated").toBool(), name.toString(),
               object.value("version").toString(),  object.value("name").toString()};
    return QString();
}

// A file of one object, or of JSON lines of them; an error names the line.
QString readObjects(const QByteArray &text, QVector<QJsonObject> *objects)
{
    const QJsonDocument whole = QJsonDocument::fromJson(text);
    if (whole.isObject()) {
        objects->append(whole.object());
        return QString();
    }
    const QList<QByteArray> lines = text.split('\n');
    for (int i = 0; i < lines.size(); ++i) {
        if (lines.at(i).trimmed().isEmpty())
            continue;
        const QJsonDocument line = QJsonDocument::fromJson(lines.at(i));
        if (!line.isObject())
            return CliText::tr("line %1 is not a JSON object").arg(i + 1);
        objects->append(line.object());
    }
    return objects->isEmpty() ? CliText::tr("no JSON object in it") : QString();
}

// The object to restore: the only one, or the one whose address is `from`.
QString pickObject(const QVector<QJsonObject> &objects, const std::optional<uint8_t> &from,
                   QJsonObject *picked)
{
    QVector<QJsonObject> matching;
    for (const QJsonObject &object : objects) {
        if (!from || hexByteText(object.value("address")) == from)
            matching << object;
    }
    if (matching.size() == 1) {
        *picked = matching.first();
        return QString();
    }
    if (!from)
        return CliText::tr("%1 objects in it: --from ADDR picks one").arg(matching.size());
    return CliText::tr("%1 objects in it with address %2").arg(matching.size()).arg(hexByte(*from));
}

QString baudText(uint8_t index)
{
    return isValidBaudIndex(index) ? QString::number(kBaudRates[index])
                                   : CliText::tr("index %1").arg(index);
}

// "field", as the device has it, as the backup has it.
struct FieldValues
{
    const char *field;
    QString device;
    QString backup;
};

QVector<FieldValues> comparedFields(const DeviceSettings &device, const DeviceSettings &wanted)
{
    const auto onOff = [](uint8_t terminated) { return terminated ? "on" : "off"; };
    return {{"baud", baudText(device.baudIndex), baudText(wanted.baudIndex)},
            {"own_address", hexByte(device.ownAddress), hexByte(wanted.ownAddress)},
            {"terminated", onOff(device.terminated), onOff(wanted.terminated)},
            {"short_name", shortNameText(device.shortName), shortNameText(wanted.shortName)}};
}

// The device's settings with the backup's in place of each field that differs; the kept ones as
// the device has them.
DeviceSettings restoredSettings(const DeviceSettings &device, const RestoreOptions &options)
{
    const BackupRecord &backup = options.backup;
    DeviceSettings settings = device;
    if (!options.keepBaud)
        settings.baudIndex = backup.baudIndex;
    if (!options.keepAddress)
        settings.ownAddress = backup.ownAddress;
    if ((device.terminated != 0) != backup.terminated)
        settings.terminated = backup.terminated ? 1 : 0;
    if (shortNameText(device.shortName) != backup.shortName)
        settings.shortName = shortNameBytes(backup.shortName);
    return settings;
}

// Version and identification cannot be written: a difference is only said.
void noteUnwritable(Session &session, const DeviceInfo &info, const BackupRecord &backup)
{
    const QString tag = hexByte(session.client.deviceAddress());
    const auto note = [&](const QString &what, const QString &device, const QString &saved) {
        if (!saved.isEmpty() && device != saved)
            session.out.note(CliText::tr("%1: %2 \"%3\", the backup's \"%4\": not written, the "
                                         "device has no request for it")
                                 .arg(tag, what, device, saved));
    };
    note(CliText::tr("version"), info.version, backup.version);
    note(CliText::tr("identification"), info.name, backup.identification);
}

Failure readSettingsOf(DeviceClient &client, DeviceInfo *info, DeviceSettings *settings)
{
    Failure failure = readDeviceInfo(client, info);
    if (failure.isEmpty())
        failure.reason = settingsLengthProblem(info->settingsAnswer);
    const QByteArray &answer = info->settingsAnswer;
    *settings = readSettings(reinterpret_cast<const uint8_t *>(answer.constData()),
                             static_cast<size_t>(answer.size()));
    return failure;
}

void printRestoreResult(Session &session, const QString &tag, const QString &result,
                        const QString &ownAddress)
{
    QStringList line{tag, result};
    QJsonObject object{{"address", tag}, {"port", session.portPath}, {"result", result}};
    if (!ownAddress.isEmpty()) {
        line << ownAddress;
        object.insert("own_address", ownAddress);
    }
    session.out.result({line}, object);
}

} // namespace

int backupDevices(Session &session, const QVector<uint8_t> &addresses)
{
    int status = ExitOk;
    for (uint8_t address : addresses) {
        session.client.setDeviceAddress(address);
        DeviceInfo info;
        DeviceSettings settings;
        const Failure failure = readSettingsOf(session.client, &info, &settings);
        if (!failure.isEmpty()) {
            status = failedResult(session, failure);
            if (failure.portFailed)
                break;
            continue;
        }
        session.out.result({}, deviceRecord(infoResult(info), hexByte(address), session.portPath));
    }
    return status;
}

QString readBackup(const QString &path, const std::optional<uint8_t> &from, BackupRecord *record)
{
    QFile file;
    const bool opened = path == QLatin1String("-")
                            ? file.open(stdin, QIODevice::ReadOnly)
                            : (file.setFileName(path), file.open(QIODevice::ReadOnly));
    const QString name = path == QLatin1String("-") ? CliText::tr("standard input") : path;
    QVector<QJsonObject> objects;
    QJsonObject picked;
    QString error = opened ? readObjects(file.readAll(), &objects) : file.errorString();
    if (error.isEmpty())
        error = pickObject(objects, from, &picked);
    if (error.isEmpty())
        error = checkRecord(picked, record);
    return error.isEmpty() ? QString() : CliText::tr("restore: %1: %2").arg(name, error);
}

int restoreDevice(Session &session, uint8_t address, const RestoreOptions &options)
{
    DeviceClient &client = session.client;
    const QString tag = hexByte(address);
    client.setDeviceAddress(address);
    DeviceInfo info;
    DeviceSettings device;
    Failure failure = readSettingsOf(client, &info, &device);
    if (!failure.isEmpty())
        return failedResult(session, failure);
    noteUnwritable(session, info, options.backup);
    const DeviceSettings wanted = restoredSettings(device, options);
    if (std::memcmp(&wanted, &device, sizeof device) == 0) {
        printRestoreResult(session, tag, QStringLiteral("unchanged"), QString());
        return ExitOk;
    }
    // The device would move to the new rate and the server stay at its own.
    if (wanted.baudIndex != device.baudIndex &&
        BusAddress::parse(session.portPath).kind == BusAddress::Kind::RawTcp)
        return failedResult(session, {CliText::tr("the backup's rate differs from the device's, "
                                                  "which a tcp:// port cannot follow; use "
                                                  "rfc2217:// or --keep-baud"),
                                      false});
    failure = writeSettings(session, wanted);
    DeviceSettings readBack;
    if (failure.isEmpty())
        failure = readSettingsOf(client, &info, &readBack);
    for (const FieldValues &field : comparedFields(readBack, wanted)) {
        if (failure.isEmpty() && field.device != field.backup)
            failure.reason = CliText::tr("read back, %1 is %2, not %3")
                                 .arg(QLatin1String(field.field), field.device, field.backup);
    }
    if (!failure.isEmpty())
        return failedResult(session, failure);
    printRestoreResult(session, tag, QStringLiteral("restored"), hexByte(wanted.ownAddress));
    return ExitOk;
}

} // namespace CliCommands
