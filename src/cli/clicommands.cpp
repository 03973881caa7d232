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
    case DeviceAnswer::Outcome::Broken:
        return {CliText::tr("broken answer to %1").arg(what) + hintText(answer.hint), false};
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

// A step under the collision rule: a collision is its failure, in the rule's words.
Step askCheckingCollision(DeviceClient &client, const QByteArray &request, const QString &what,
                          int limitMs, const QDeadlineTimer &deadline)
{
    const CollisionProbe probe = askUnderCollisionRule(client, request, limitMs, deadline);
    Step step;
    step.answer = probe.answer;
    step.failure = probe.collision ? Failure{collisionReason(), false}
                                   : failureOf(probe.answer, what, limitMs);
    return step;
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

// Version, identification and settings, timed as the window's connect sequence; a device
// sharing the address is named as such.
Failure readDeviceInfo(DeviceClient &client, DeviceInfo *info)
{
    const QDeadlineTimer connectDeadline(kConnectTimeoutMs, Qt::PreciseTimer);
    const Step version = askCheckingCollision(client, buildCommand(CmdGetVersion),
                                              CliText::tr("the version request"), kConnectTimeoutMs,
                                              connectDeadline);
    if (!version.ok())
        return version.failure;
    const Step name = askCheckingCollision(client, buildCommand(CmdGetDeviceName),
                                           CliText::tr("the identification request"),
                                           kConnectTimeoutMs, connectDeadline);
    if (!name.ok())
        return name.failure;
    const Step settings = askCheckingCollision(
        client, buildCommand(CmdGetSettings), CliText::tr("the settings request"),
        kReadSettingsTimeoutMs, QDeadlineTimer(kReadSettingsTimeoutMs, Qt::PreciseTimer));
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

// ---- Scan ---------------------------------------------------------------------------------

// One pass over the address range at the port's present rate.
struct ScanPass
{
    int probeMs = 0;
    int baudRate = 0;       // each result line ends with it; 0 in a scan at the port's rate
    int beforeMarginMs = 0; // of probeMs, what --timeout's margin comes on top of
};

struct ScanTally
{
    int found = 0;
    int collisions = 0;
    bool errorAnswered = false;
    int slowestMs = -1;
    ScanPass slowestPass;
};

void printScanResult(Session &session, const ScanPass &pass, QStringList fields, QJsonObject object)
{
    if (pass.baudRate > 0) {
        fields << QString::number(pass.baudRate);
        object.insert("baud", pass.baudRate);
    }
    session.out.result({fields}, object);
}

void noteAnswer(const CollisionProbe &probe, const ScanPass &pass, ScanTally *tally)
{
    ++tally->found;
    if (probe.answer.elapsedMs > tally->slowestMs) {
        tally->slowestMs = probe.answer.elapsedMs;
        tally->slowestPass = pass;
    }
}

// What a pass found at one address: an answer, an error answer or a collision, and the failure
// they stand for (none for an answer).
using FoundAt = std::function<void(const CollisionProbe &probe, const Failure &failure)>;

// Probes the range at the port's present rate with the identification request under the
// collision rule, as the window's scan does, and hands each address where something answered to
// `found`. False when the port failed, which is then said.
bool scanRange(Session &session, const ScanOptions &options, const ScanPass &pass, ScanTally *tally,
               const FoundAt &found)
{
    DeviceClient &client = session.client;
    const QString label =
        pass.baudRate > 0 ? QStringLiteral("scan %1").arg(pass.baudRate) : QStringLiteral("scan");
    session.out.startProgress(label, options.last - options.first + 1, CliText::tr("addresses"));
    for (int address = options.first; address <= options.last; ++address) {
        client.setDeviceAddress(static_cast<uint8_t>(address));
        const CollisionProbe probe =
            askUnderCollisionRule(client, buildCommand(CmdGetDeviceName), pass.probeMs,
                                  QDeadlineTimer(pass.probeMs, Qt::PreciseTimer));
        const Failure failure =
            probe.collision
                ? Failure{collisionReason(), false}
                : failureOf(probe.answer, CliText::tr("the identification request"), pass.probeMs);
        session.out.progress(address - options.first + 1);
        if (failure.portFailed) {
            session.out.endProgress();
            fail(session, failure);
            return false;
        }
        if (probe.answer.isAnswered())
            noteAnswer(probe, pass, tally);
        else if (probe.collision)
            ++tally->collisions;
        else if (probe.answer.outcome == DeviceAnswer::Outcome::ErrorAnswer)
            tally->errorAnswered = true;
        else
            continue;
        found(probe, failure);
    }
    session.out.endProgress();
    return true;
}

// The port at this rate, opened as at the start; false, and said, when it cannot be set.
bool openAtRate(Session &session, int baudRate)
{
    DeviceClient &client = session.client;
    if (client.isOpen() && client.baudRate() == baudRate)
        return true;
    if (client.open(session.portPath, baudRate))
        return true;
    session.out.error(CliText::tr("cannot open %1 at %2 baud, that rate skipped: %3")
                          .arg(session.portPath)
                          .arg(baudRate)
                          .arg(client.errorString()));
    return false;
}

QString slowestAnswerText(const ScanTally &tally)
{
    const ScanPass &pass = tally.slowestPass;
    if (pass.baudRate == 0)
        return CliText::tr("slowest answer after %1 ms").arg(tally.slowestMs);
    return CliText::tr("slowest answer after %1 ms at %2 baud, whose probes wait %3 ms before "
                       "the --timeout margin")
        .arg(tally.slowestMs)
        .arg(pass.baudRate)
        .arg(pass.beforeMarginMs);
}

int finishScan(Session &session, const ScanOptions &options, const ScanTally &tally,
               bool rateSkipped)
{
    const int trouble = rateSkipped ? ExitPortFailed : ExitDeviceFailed;
    if (tally.found == 0 && tally.collisions == 0 && !tally.errorAnswered) {
        session.out.error(CliText::tr("no device answered from %1 to %2")
                              .arg(hexByte(options.first), hexByte(options.last)) +
                          hintText(session.client.mixUpHint()));
        return trouble;
    }
    if (tally.found > 0)
        session.out.note(CliText::tr("%1 device(s) found; ").arg(tally.found) +
                         slowestAnswerText(tally));
    return rateSkipped || tally.collisions > 0 || tally.errorAnswered ? trouble : ExitOk;
}

} // namespace

CollisionProbe askUnderCollisionRule(DeviceClient &client, const QByteArray &request, int limitMs,
                                     const QDeadlineTimer &firstDeadline)
{
    CollisionProbe probe;
    probe.answer = client.exchange(request, firstDeadline);
    // A flood is no collision, and asking again would only wait for it.
    for (int asked = 1;
         probe.answer.outcome == DeviceAnswer::Outcome::Broken && !probe.answer.flooded; ++asked) {
        if (asked == kCollisionProbes) {
            probe.collision = true;
            break;
        }
        client.dropUntilQuiet();
        probe.answer = client.exchange(request, limitMs);
    }
    return probe;
}

QString collisionReason()
{
    return CliText::tr("answers broken %1 of %1 times: two or more devices may share this address")
        .arg(kCollisionProbes);
}

int listPorts(CliOutput &out)
{
    for (const QSerialPortInfo &port : QSerialPortInfo::availablePorts())
        out.result({{port.systemLocation(), port.description()}},
                   {{"path", port.systemLocation()}, {"description", port.description()}});
    return ExitOk;
}

int scanBus(Session &session, const ScanOptions &options)
{
    ScanTally tally;
    const auto report = [&](const ScanPass &pass) {
        return [&session, pass](const CollisionProbe &probe, const Failure &failure) {
            const QString tag = hexByte(session.client.deviceAddress());
            if (!failure.isEmpty())
                fail(session, failure);
            if (probe.answer.isAnswered()) {
                const QString name = readResponseText(probe.answer.data(), probe.answer.size());
                printScanResult(session, pass, {tag, name}, {{"address", tag}, {"name", name}});
            } else if (probe.collision) {
                printScanResult(
                    session, pass, {tag, QStringLiteral("collision"), failure.reason},
                    {{"address", tag}, {"reason", failure.reason}, {"result", "collision"}});
            }
        };
    };
    bool rateSkipped = false;
    const ScanPass atPortRate{options.timeoutMs, 0, 0};
    if (options.rates.isEmpty() &&
        !scanRange(session, options, atPortRate, &tally, report(atPortRate)))
        return ExitPortFailed;
    for (int rate : options.rates) {
        if (!openAtRate(session, rate)) {
            rateSkipped = true;
            continue;
        }
        const int beforeMarginMs = identificationWireTimeMs(rate) + kIdentificationAnswerTimeMs;
        const ScanPass pass{beforeMarginMs + options.timeoutMs, rate, beforeMarginMs};
        if (!scanRange(session, options, pass, &tally, report(pass)))
            return ExitPortFailed;
    }
    return finishScan(session, options, tally, rateSkipped);
}

// A device that answers the scan with an error, or shares its address, is there but not read:
// it is listed as failed.
int surveyBus(Session &session, const ScanOptions &options)
{
    ScanTally tally;
    int status = ExitOk;
    const bool portWorks = scanRange(session, options, {options.timeoutMs, 0, 0}, &tally,
                                     [&](const CollisionProbe &probe, const Failure &failure) {
                                         const Failure why = probe.answer.isAnswered()
                                                                 ? surveyDevice(session)
                                                                 : failure;
                                         if (!why.isEmpty())
                                             status = failedResult(session, why);
                                     });
    if (!portWorks)
        return ExitPortFailed;
    const int scanned = finishScan(session, options, tally, false);
    return scanned == ExitOk ? status : scanned;
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
