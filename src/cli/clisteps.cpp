// The steps the commands share: a request and what became of it, and their common reports.
#include "clisteps.h"

#include "clioutput.h"
#include "exchangetiming.h"

#include <QJsonValue>

#include <algorithm>
#include <cstddef>

using namespace ExchangeTiming;

namespace CliCommands {
namespace {

// limitMs names the time in the message; the deadline may be shared with earlier steps.
Step askBefore(DeviceClient &client, const QByteArray &request, const QString &what, int limitMs,
               const QDeadlineTimer &deadline)
{
    Step step;
    step.answer = client.exchange(request, deadline);
    step.failure = failureOf(step.answer, what, limitMs);
    return step;
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

// Bytes of the settings record in an answer, which a broken firmware may send short.
int settingsByteCount(const QByteArray &answer)
{
    return std::max(0, static_cast<int>(answer.size()) - static_cast<int>(kResponseDataOffset));
}

} // namespace

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

Step ask(DeviceClient &client, const QByteArray &request, const QString &what, int limitMs)
{
    return askBefore(client, request, what, limitMs, QDeadlineTimer(limitMs, Qt::PreciseTimer));
}

QString answerText(const Step &step)
{
    return readResponseText(step.answer.data(), step.answer.size());
}

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

QJsonObject deviceRecord(const InfoResult &result, const QString &address, const QString &port)
{
    QJsonObject object = result.object;
    object.insert("own_address", object.value("address"));
    object.insert("address", address);
    object.insert("port", port);
    return object;
}

Failure writeSettings(Session &session, const DeviceSettings &settings)
{
    DeviceClient &client = session.client;
    const QString address = hexByte(client.deviceAddress());
    const Step written = ask(client, buildSetSettings(settings), CliText::tr("the settings write"),
                             kWriteSettingsTimeoutMs);
    if (!written.ok())
        return written.failure;
    session.out.note(address + CliText::tr(": settings written, device restarting"));
    DeviceClient::pause(kSettingsWrittenPauseMs);
    // A device with an out-of-table rate keeps talking at the present one.
    const int baudRate =
        isValidBaudIndex(settings.baudIndex) ? kBaudRates[settings.baudIndex] : client.baudRate();
    client.close();
    client.setDeviceAddress(settings.ownAddress);
    if (!client.open(session.portPath, baudRate))
        return {CliText::tr("cannot open %1 again: %2").arg(session.portPath, client.errorString()),
                true};
    return {};
}

Step waitForRestart(DeviceClient &client)
{
    DeviceClient::pause(kDeviceRestartPauseMs);
    return ask(client, buildCommand(CmdGetVersion),
               CliText::tr("the version request after the restart"), kWaitDeviceTimeoutMs);
}

} // namespace CliCommands
