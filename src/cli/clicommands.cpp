// The window's device operations as one synchronous exchange after another.
#include "clicommands.h"

#include "clioutput.h"
#include "deviceclient.h"
#include "exchangetiming.h"

#include <QJsonValue>
#include <QSerialPortInfo>

#include <algorithm>
#include <cstddef>
#include <functional>
#include <utility>

using namespace ExchangeTiming;

namespace CliCommands {
namespace {

// Why an operation stopped; empty while it goes on.
struct Failure
{
    QString reason;
    bool portFailed = false;
    bool isEmpty() const { return reason.isEmpty(); }
};

// The answer of one step, or why there is none, told in the step's own words.
struct Step
{
    DeviceAnswer answer;
    Failure failure;
    bool ok() const { return failure.isEmpty(); }
};

// "; " and why the link may be at fault, when that is known.
QString hintText(const QString &hint)
{
    return hint.isEmpty() ? QString() : QStringLiteral("; ") + hint;
}

Failure failureOf(const DeviceAnswer &answer, const QString &what, int limitMs)
{
    switch (answer.outcome) {
    case DeviceAnswer::Outcome::Answered:
        return {};
    case DeviceAnswer::Outcome::ErrorAnswer:
        return {CliText::tr("error answer to %1: %2")
                    .arg(what, errorNumberText(readErrorResponse(answer.data(), answer.size()))),
                false};
    case DeviceAnswer::Outcome::NoAnswer:
        return {CliText::tr("no answer to %1 within %2 ms").arg(what).arg(limitMs) +
                    hintText(answer.hint),
                false};
    case DeviceAnswer::Outcome::PortFailed:
        return {CliText::tr("port failed: %1").arg(answer.portError), true};
    }
    return {};
}

// limitMs names the time in the message; the deadline may be shared with earlier steps.
Step askBefore(DeviceClient &client, const QByteArray &request, const QString &what, int limitMs,
               const QDeadlineTimer &deadline)
{
    Step step;
    step.answer = client.exchange(request, deadline);
    step.failure = failureOf(step.answer, what, limitMs);
    return step;
}

Step ask(DeviceClient &client, const QByteArray &request, const QString &what, int limitMs)
{
    return askBefore(client, request, what, limitMs, QDeadlineTimer(limitMs, Qt::PreciseTimer));
}

// As the device sent it: text output makes it printable, JSON keeps it exact.
QString answerText(const Step &step)
{
    return readResponseText(step.answer.data(), step.answer.size());
}

// Bytes of the settings record in an answer, which a broken firmware may send short.
int settingsByteCount(const QByteArray &answer)
{
    return std::max(0, static_cast<int>(answer.size()) - static_cast<int>(kResponseDataOffset));
}

// Empty when the answer holds exactly one settings record.
QString settingsLengthProblem(const QByteArray &answer)
{
    constexpr int kRecordSize = static_cast<int>(sizeof(DeviceSettings));
    if (settingsByteCount(answer) == kRecordSize)
        return QString();
    return CliText::tr("the settings answer holds %1 bytes, not %2")
        .arg(settingsByteCount(answer))
        .arg(kRecordSize);
}

int fail(Session &session, const Failure &failure)
{
    session.out.error(hexByte(session.client.deviceAddress()) + QStringLiteral(": ") +
                      failure.reason);
    return failure.portFailed ? ExitPortFailed : ExitDeviceFailed;
}

// A device's result line with the reason, and the reason on standard error.
int failedResult(Session &session, const Failure &failure)
{
    const QString tag = hexByte(session.client.deviceAddress());
    session.out.result({{tag, QStringLiteral("failed"), failure.reason}},
                       {{"address", tag},
                        {"port", session.portPath},
                        {"result", "failed"},
                        {"reason", failure.reason}});
    return fail(session, failure);
}

struct DeviceInfo
{
    QString version;
    QString name;
    QByteArray settingsAnswer;
};

// Version, identification and settings, timed as the window's connect sequence.
Failure readDeviceInfo(DeviceClient &client, DeviceInfo *info)
{
    const QDeadlineTimer connectDeadline(kConnectTimeoutMs, Qt::PreciseTimer);
    const Step version =
        askBefore(client, buildCommand(CmdGetVersion), CliText::tr("the version request"),
                  kConnectTimeoutMs, connectDeadline);
    if (!version.ok())
        return version.failure;
    const Step name =
        askBefore(client, buildCommand(CmdGetDeviceName), CliText::tr("the identification request"),
                  kConnectTimeoutMs, connectDeadline);
    if (!name.ok())
        return name.failure;
    const Step settings = ask(client, buildCommand(CmdGetSettings),
                              CliText::tr("the settings request"), kReadSettingsTimeoutMs);
    if (!settings.ok())
        return settings.failure;
    *info = {answerText(version), answerText(name), settings.answer.payload};
    return {};
}

struct InfoResult
{
    QVector<QStringList> rows; // name, value
    QJsonObject object;
};

// Each settings field whose bytes all came: a short answer shows what it holds, nothing made up.
InfoResult infoResult(const DeviceInfo &info)
{
    const QByteArray &answer = info.settingsAnswer;
    const DeviceSettings s = readSettings(reinterpret_cast<const uint8_t *>(answer.constData()),
                                          static_cast<size_t>(answer.size()));
    QVector<QStringList> rows{{QStringLiteral("version"), info.version},
                              {QStringLiteral("name"), info.name}};
    QJsonObject object{{"version", info.version}, {"name", info.name}};
    const auto has = [&answer](size_t offset, size_t size) {
        return static_cast<size_t>(settingsByteCount(answer)) >= offset + size;
    };
    if (has(offsetof(DeviceSettings, baudIndex), 1)) {
        const bool known = isValidBaudIndex(s.baudIndex);
        rows.append(
            {QStringLiteral("baud"), known ? QString::number(kBaudRates[s.baudIndex])
                                           : CliText::tr("unknown (index %1)").arg(s.baudIndex)});
        object.insert("baud", known ? QJsonValue(kBaudRates[s.baudIndex]) : QJsonValue());
    }
    if (has(offsetof(DeviceSettings, ownAddress), 1)) {
        rows.append({QStringLiteral("address"), hexByte(s.ownAddress)});
        object.insert("address", hexByte(s.ownAddress));
    }
    if (has(offsetof(DeviceSettings, terminated), 1)) {
        rows.append({QStringLiteral("terminated"), s.terminated ? "on" : "off"});
        object.insert("terminated", s.terminated != 0);
    }
    if (has(offsetof(DeviceSettings, shortName), kShortNameSize)) {
        rows.append({QStringLiteral("short-name"), shortNameText(s.shortName)});
        object.insert("short_name", shortNameText(s.shortName));
    }
    return {rows, object};
}

void printInfo(CliOutput &out, const DeviceInfo &info)
{
    const InfoResult result = infoResult(info);
    out.result(result.rows, result.object);
}

// Probes first to last with the identification request, as the window's scan, and hands each
// answer, an error answer too, to `answered` at once. A dead port ends it; the failure of the
// probe that found it dead is returned.
Failure probeBus(Session &session, uint8_t first, uint8_t last, int probeTimeoutMs,
                 const std::function<void(const Step &probe)> &answered)
{
    DeviceClient &client = session.client;
    Failure failure;
    session.out.startProgress(QStringLiteral("scan"), last - first + 1, CliText::tr("addresses"));
    for (int address = first; address <= last && client.failure().isEmpty(); ++address) {
        client.setDeviceAddress(static_cast<uint8_t>(address));
        const Step probe = ask(client, buildCommand(CmdGetDeviceName),
                               CliText::tr("the identification request"), probeTimeoutMs);
        session.out.progress(address - first + 1);
        if (probe.failure.portFailed)
            failure = probe.failure;
        else if (probe.answer.outcome != DeviceAnswer::Outcome::NoAnswer)
            answered(probe);
    }
    session.out.endProgress();
    return failure;
}

// A scan that found no device has failed, whatever else happened.
int scanResult(Session &session, uint8_t first, uint8_t last, int found, int status)
{
    if (found == 0) {
        session.out.error(
            CliText::tr("no device answered from %1 to %2").arg(hexByte(first), hexByte(last)) +
            hintText(session.client.mixUpHint()));
        return ExitDeviceFailed;
    }
    session.out.note(CliText::tr("%1 device(s) found").arg(found));
    return status;
}

// info's fields of the device that answered the scan, behind its bus address on one line.
Failure surveyDevice(Session &session)
{
    DeviceInfo info;
    Failure failure = readDeviceInfo(session.client, &info);
    if (failure.isEmpty())
        failure.reason = settingsLengthProblem(info.settingsAnswer);
    if (!failure.isEmpty())
        return failure;
    const QString tag = hexByte(session.client.deviceAddress());
    InfoResult result = infoResult(info);
    QStringList line{tag};
    for (const QStringList &row : std::as_const(result.rows))
        line << row.last();
    // "address" is where the device answered, as in every other result; its settings say this.
    result.object.insert("own_address", result.object.value("address"));
    result.object.insert("address", tag);
    result.object.insert("port", session.portPath);
    session.out.result({line}, result.object);
    return {};
}

// Reboot, reset and new firmware end alike: the device answers, restarts, tells its version.
Step waitForRestart(DeviceClient &client)
{
    DeviceClient::pause(kDeviceRestartPauseMs);
    return ask(client, buildCommand(CmdGetVersion),
               CliText::tr("the version request after the restart"), kWaitDeviceTimeoutMs);
}

// ---- Firmware -----------------------------------------------------------------------------

QString chunkName(int index, int count, int offset)
{
    return CliText::tr("chunk %1 of %2 (offset %3)").arg(index).arg(count).arg(offset);
}

// Asks the application to hand over unless the bootloader already runs (an interrupted update).
Failure reachBootloader(Session &session, Step version)
{
    DeviceClient &client = session.client;
    if (!isBootloaderVersion(answerText(version))) {
        const Step enter = ask(client, buildCommand(CmdEnterBootloader),
                               CliText::tr("the bootloader request"), kEnterBootloaderTimeoutMs);
        if (!enter.ok())
            return enter.failure;
        DeviceClient::pause(kBootloaderStartPauseMs);
        version = ask(client, buildCommand(CmdGetVersion),
                      CliText::tr("the bootloader's version request"), kWaitBootloaderTimeoutMs);
        if (!version.ok())
            return version.failure;
        if (!isBootloaderVersion(answerText(version)))
            return {CliText::tr("unsupported version from bootloader: ") + answerText(version),
                    false};
    }
    session.out.note(hexByte(client.deviceAddress()) + CliText::tr(": bootloader ") +
                     answerText(version));
    return {};
}

Failure writeImage(Session &session, const QByteArray &image)
{
    DeviceClient &client = session.client;
    const QString address = hexByte(client.deviceAddress());
    const int total = image.size();
    const int chunkCount = (total + kFirmwareChunkSize - 1) / kFirmwareChunkSize;
    Failure failure;
    session.out.startProgress(CliText::tr("flash ") + address, total, CliText::tr("bytes"));
    for (int offset = 0, index = 1; offset < total; offset += kFirmwareChunkSize, ++index) {
        const int size = std::min(kFirmwareChunkSize, total - offset);
        failure = ask(client, buildWriteFlash(image.constData() + offset, size),
                      chunkName(index, chunkCount, offset), kWriteChunkTimeoutMs)
                      .failure;
        if (!failure.isEmpty())
            break;
        session.out.progress(offset + size);
        session.out.event({{"event", "progress"},
                           {"address", address},
                           {"sent", offset + size},
                           {"total", total}});
    }
    session.out.endProgress();
    return failure;
}

// What a device that did not fail ended with.
struct Flashed
{
    QString result; // "ok", or "current": it ran the expected version, nothing was written
    QString version;
};

// Why the device did not take the image, or nothing and how it ended.
Failure flashOne(Session &session, const QByteArray &image, const std::optional<QString> &expected,
                 Flashed *flashed)
{
    DeviceClient &client = session.client;
    const Step running = ask(client, buildCommand(CmdGetVersion),
                             CliText::tr("the version request"), kConnectTimeoutMs);
    if (!running.ok())
        return running.failure;
    // A bootloader is always flashed: an update was cut off there.
    if (expected && answerText(running) == *expected && !isBootloaderVersion(*expected)) {
        *flashed = {QStringLiteral("current"), *expected};
        return {};
    }
    Failure failure = reachBootloader(session, running);
    if (!failure.isEmpty())
        return failure;
    const Step erase = ask(client, buildCommand(CmdEraseFlash), CliText::tr("the flash erase"),
                           kEraseFlashTimeoutMs);
    if (!erase.ok())
        return erase.failure;
    failure = writeImage(session, image);
    if (!failure.isEmpty())
        return failure;
    const Step finish = ask(client, buildCommand(CmdFinishFirmware),
                            CliText::tr("the finish request"), kFinishFirmwareTimeoutMs);
    if (finish.answer.outcome == DeviceAnswer::Outcome::ErrorAnswer)
        return {CliText::tr("image rejected (") + finish.failure.reason + ')', false};
    if (!finish.ok())
        return finish.failure;
    const Step version = waitForRestart(client);
    if (!version.ok())
        return version.failure;
    // Accepted, but the application did not start: the device is no better than before.
    if (isBootloaderVersion(answerText(version)))
        return {
            CliText::tr("still in the bootloader after the update (%1)").arg(answerText(version)),
            false};
    if (expected && answerText(version) != *expected)
        return {CliText::tr("runs %1 after the update, not %2").arg(answerText(version), *expected),
                false};
    *flashed = {QStringLiteral("ok"), answerText(version)};
    return {};
}

} // namespace

int listPorts(CliOutput &out)
{
    for (const QSerialPortInfo &port : QSerialPortInfo::availablePorts())
        out.result({{port.systemLocation(), port.description()}},
                   {{"path", port.systemLocation()}, {"description", port.description()}});
    return ExitOk;
}

int scanBus(Session &session, uint8_t first, uint8_t last, int probeTimeoutMs)
{
    int found = 0;
    int status = ExitOk;
    const Failure portFailure =
        probeBus(session, first, last, probeTimeoutMs, [&](const Step &probe) {
            if (!probe.ok()) {
                status = fail(session, probe.failure);
                return;
            }
            ++found;
            const QString tag = hexByte(session.client.deviceAddress());
            session.out.result({{tag, answerText(probe)}},
                               {{"address", tag}, {"name", answerText(probe)}});
        });
    if (portFailure.portFailed)
        return fail(session, portFailure);
    return scanResult(session, first, last, found, status);
}

// A device that answers the scan with an error is there but not read: it is listed as failed.
int surveyBus(Session &session, uint8_t first, uint8_t last, int probeTimeoutMs)
{
    int found = 0;
    int status = ExitOk;
    const Failure portFailure =
        probeBus(session, first, last, probeTimeoutMs, [&](const Step &probe) {
            ++found;
            const Failure failure = probe.ok() ? surveyDevice(session) : probe.failure;
            if (!failure.isEmpty())
                status = failedResult(session, failure);
        });
    if (portFailure.portFailed)
        return fail(session, portFailure);
    return scanResult(session, first, last, found, status);
}

int showInfo(Session &session, uint8_t address)
{
    session.client.setDeviceAddress(address);
    DeviceInfo info;
    const Failure failure = readDeviceInfo(session.client, &info);
    if (!failure.isEmpty())
        return fail(session, failure);
    printInfo(session.out, info);
    const QString problem = settingsLengthProblem(info.settingsAnswer);
    return problem.isEmpty() ? ExitOk : fail(session, {problem, false});
}

int changeSettings(Session &session, uint8_t address, const SettingsChange &change)
{
    DeviceClient &client = session.client;
    client.setDeviceAddress(address);
    const Step current = ask(client, buildCommand(CmdGetSettings),
                             CliText::tr("the settings request"), kReadSettingsTimeoutMs);
    if (!current.ok())
        return fail(session, current.failure);
    // Fields the device did not send would be written back as zeros: baud 4800, address 00.
    const QString problem = settingsLengthProblem(current.answer.payload);
    if (!problem.isEmpty())
        return fail(session, {problem, false});
    DeviceSettings settings = readSettings(current.answer.data(), current.answer.size());
    settings.baudIndex = change.baudIndex.value_or(settings.baudIndex);
    settings.ownAddress = change.address.value_or(settings.ownAddress);
    if (change.terminated)
        settings.terminated = *change.terminated ? 1 : 0;
    if (change.shortName)
        settings.shortName = shortNameBytes(*change.shortName);
    const Step written = ask(client, buildSetSettings(settings), CliText::tr("the settings write"),
                             kWriteSettingsTimeoutMs);
    if (!written.ok())
        return fail(session, written.failure);

    session.out.note(hexByte(address) + CliText::tr(": settings written, device restarting"));
    DeviceClient::pause(kSettingsWrittenPauseMs);
    // A device with an out-of-table rate keeps talking at the present one.
    const int baudRate =
        isValidBaudIndex(settings.baudIndex) ? kBaudRates[settings.baudIndex] : client.baudRate();
    client.close();
    client.setDeviceAddress(settings.ownAddress);
    if (!client.open(session.portPath, baudRate)) {
        session.out.error(
            CliText::tr("cannot open %1 again: %2").arg(session.portPath, client.errorString()));
        return ExitPortFailed;
    }
    DeviceInfo info;
    const Failure failure = readDeviceInfo(client, &info);
    if (!failure.isEmpty())
        return fail(session, failure);
    printInfo(session.out, info);
    return ExitOk;
}

int restartDevice(Session &session, uint8_t address, DeviceCommand command)
{
    DeviceClient &client = session.client;
    client.setDeviceAddress(address);
    const Step request = ask(client, buildCommand(command),
                             command == CmdReboot ? CliText::tr("the reboot request")
                                                  : CliText::tr("the factory reset"),
                             kRestartRequestTimeoutMs);
    if (!request.ok())
        return fail(session, request.failure);
    const Step version = waitForRestart(client);
    if (!version.ok())
        return fail(session, version.failure);
    session.out.result({{QStringLiteral("version"), answerText(version)}},
                       {{"address", hexByte(address)}, {"version", answerText(version)}});
    return ExitOk;
}

// The port in each JSON result: the lines of many buses flashed at once can be told apart.
int flashImage(Session &session, const QByteArray &image, const QVector<uint8_t> &addresses,
               const std::optional<QString> &expectedVersion)
{
    int status = ExitOk;
    for (uint8_t address : addresses) {
        session.client.setDeviceAddress(address);
        Flashed flashed;
        const Failure failure = flashOne(session, image, expectedVersion, &flashed);
        if (!failure.isEmpty()) {
            status = failedResult(session, failure);
            // The next devices are no better off on a dead port.
            if (failure.portFailed)
                break;
            continue;
        }
        const QString tag = hexByte(address);
        session.out.result({{tag, flashed.result, flashed.version}},
                           {{"address", tag},
                            {"port", session.portPath},
                            {"result", flashed.result},
                            {"version", flashed.version}});
    }
    return status;
}

int switchLed(Session &session, uint8_t address, const QByteArray &request)
{
    session.client.setDeviceAddress(address);
    const Step led =
        ask(session.client, request, CliText::tr("the LED request"), kLedAnswerTimeoutMs);
    return led.ok() ? ExitOk : fail(session, led.failure);
}

int accessEeprom(Session &session, uint8_t address, uint8_t eepromAddress,
                 std::optional<uint8_t> value)
{
    DeviceClient &client = session.client;
    client.setDeviceAddress(address);
    if (value) {
        const Step write = ask(client, buildPnEepromWrite(eepromAddress, *value),
                               CliText::tr("the EEPROM write"), kPnEepromAnswerTimeoutMs);
        return write.ok() ? ExitOk : fail(session, write.failure);
    }
    const Step read = ask(client, buildPnEepromRead(eepromAddress), CliText::tr("the EEPROM read"),
                          kPnEepromAnswerTimeoutMs);
    if (!read.ok())
        return fail(session, read.failure);
    if (!isPnEepromReadAnswer(read.answer.size()))
        return fail(session,
                    {CliText::tr("the answer to the EEPROM read carries no value"), false});
    const QString byte = hexByte(readPnEepromValue(read.answer.data(), read.answer.size()));
    session.out.result({{hexByte(eepromAddress), byte}},
                       {{"register", hexByte(eepromAddress)}, {"value", byte}});
    return ExitOk;
}

} // namespace CliCommands
