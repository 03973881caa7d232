// scan and survey: each address of a range probed in turn, under the collision rule.
#include "clicommands.h"

#include "clioutput.h"
#include "clisteps.h"
#include "deviceclient.h"
#include "exchangetiming.h"

#include <functional>
#include <utility>

using namespace ExchangeTiming;

namespace CliCommands {
namespace {

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
    const InfoResult result = infoResult(info);
    QStringList line{tag};
    for (const QStringList &row : result.rows)
        line << row.last();
    session.out.result({line}, deviceRecord(result, tag, session.portPath));
    return {};
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

} // namespace CliCommands
