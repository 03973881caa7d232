// The loop test for 20,000 exchanges with a reader that breaks the CRC of 2 % of its answers and
// sends 1 % of them after the tool has given up waiting, while a tag moves in and out of the
// field. The tool must keep cycling, and its four counters must match the bus trace exactly.
//
// Runs for about ten minutes (every broken or late answer costs a response timeout of 0.5 to
// 1.5 s), so it carries the label "soak": CI runs it, the quick suite leaves it out.
//
// How the counters follow from the trace. The device answers every request it hears, one at a
// time; a request that arrives while it still works on a late answer goes unheard ("busy").
// - Found / Not found: every intact answer to the tag count (02) is handled by the loop test,
//   late ones too (answers are routed by command code), so they equal the intact 02 answers
//   holding 1 / 0 tags.
// - Errors: every intact error answer (status FF), late or not.
// - Retry: a broken answer is answered with the CRC error notice FF FF 02, which the device
//   ignores; the tool's timer then runs out: one retry. A late answer comes after the timer ran
//   out (one retry, whose tag count request finds the device busy and goes unheard) but before
//   that retry's own timer does, so the late answer carries the cycle on: one retry in all. A
//   late answer that is also broken leaves the unheard retry to time out as well: two, one per
//   fault. At the end the device falls silent and the test is stopped while the first unheard
//   request waits, so each silent request but the last cost one more retry:
//       Retry = broken + late + (silent requests - 1).
// - Tag count requests: the start, one after every intact HALT answer (05), every retry and
//   every error answer: requests(02) = 1 + intact HALT answers + Retry + Errors.
// Late answers come 1.4 s after a request with a 1 s limit and 1.0 s after the 0.5 s UID
// request, so both the unheard retry and the late answer keep 0.4 s of margin to the timers.

#include "e2efixture.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QtTest>

#include <array>
#include <optional>

namespace {

constexpr uint8_t kDeviceAddress = 0x1A;
constexpr int kExchanges = 20000;
constexpr double kCorruptRate = 0.02;
// One late answer 40 to 110 answers after the last; with the polling and the wait for the
// chosen request that makes about one in a hundred.
constexpr int kLateSpacingMin = 40;
constexpr int kLateSpacingMax = 110;
constexpr int kLateAfterLongLimitMs = 1400;
constexpr int kLateAfterUidLimitMs = 1000;
// Normal answers take a millisecond; a late one is at least this far behind its request.
constexpr qint64 kLateGapUs = 700000;
// The tag stays in the field for a while, then leaves it briefly.
constexpr int kTagInFieldMinMs = 300;
constexpr int kTagInFieldMaxMs = 700;
constexpr int kTagOutOfFieldMinMs = 50;
constexpr int kTagOutOfFieldMaxMs = 150;
constexpr int kPollMs = 20;
// Longer than any timeout plus a late answer: the line is never this quiet in a healthy run.
constexpr qint64 kStallUs = 3000000;
constexpr qint64 kLongestHealthyQuietUs = 2500000;
// Everything late or broken has been answered or timed out after this.
constexpr int kSettleMs = 1600;
constexpr int kAfterStopMs = 300;
constexpr quint32 kSeed = 20240;
constexpr int kWatchdogMs = 20 * 60 * 1000;

SimTag soakTag()
{
    return SimTag::create(QByteArray::fromHex("04C0FFEE112233"));
}

const QString kBusyNote = QStringLiteral("busy");
const QString kSilentNote = QStringLiteral("silent");

// Loop-test requests, and how late each may come. The first two are also sent without a tag.
struct LateTarget
{
    DeviceCommand command;
    int lateMs;
};
constexpr std::array<LateTarget, 4> kLateTargets = {{{CmdGetTagCount, kLateAfterLongLimitMs},
                                                     {CmdHalt, kLateAfterLongLimitMs},
                                                     {CmdReadUid, kLateAfterUidLimitMs},
                                                     {CmdGetTagVersion, kLateAfterLongLimitMs}}};
constexpr int kTargetsWithoutTag = 2;

struct LoopStats
{
    int notFound = -1;
    int found = -1;
    int retry = -1;
    int errors = -1;
};

LoopStats readStats(const QString &label)
{
    static const QRegularExpression format(
        QStringLiteral("^Not found: (\\d+)\\tFound:(\\d+)\\nRetry: (\\d+) +\\tErrors:(\\d+)$"));
    const QRegularExpressionMatch match = format.match(label);
    LoopStats stats;
    if (match.hasMatch()) {
        stats.notFound = match.captured(1).toInt();
        stats.found = match.captured(2).toInt();
        stats.retry = match.captured(3).toInt();
        stats.errors = match.captured(4).toInt();
    }
    return stats;
}

// What went over the line, counted as the relations above need it.
struct LineCounts
{
    int answers = 0;
    int broken = 0;
    int late = 0;
    int found = 0;
    int notFound = 0;
    int errors = 0;
    int halts = 0;
    int tagCountRequests = 0;
    int crcNotices = 0;
    int unheardBusy = 0;
    int unheardSilent = 0;
    int requestsAfterStop = 0;
    qint64 lastHeardRequestUs = 0;
    qint64 lastEntryUs = -1;
    qint64 longestQuietUs = 0;
};

} // namespace

class TestSoakLoopTest : public QObject
{
    Q_OBJECT

private slots:
    void countersMatchTraceThroughFaults();

private:
    enum class LatePhase { Waiting, Armed, Injected };

    // One pass: applies the pending fault change and takes the new trace entries in one step
    // on the bus thread, so every entry is known to come before or after the change.
    void poll();
    void count(const SimTraceEntry &entry);
    void planLateAnswers();
    void moveTag();
    bool runUntil(const std::function<bool()> &done);

    std::unique_ptr<E2eBench> bench;
    int deviceId = -1;
    QRandomGenerator random{kSeed};
    LineCounts line;
    SimFaults faults;
    std::optional<SimFaults> pendingFaults;
    LatePhase latePhase = LatePhase::Waiting;
    int lateCommand = kNoCommand;
    int nextLateAtAnswer = 0;
    int lateInjected = 0;
    bool tagInField = true;
    bool windingDown = false;
    QElapsedTimer tagClock;
    qint64 nextTagMoveMs = 0;
    bool stopped = false;
};

void TestSoakLoopTest::countersMatchTraceThroughFaults()
{
    SimBusOptions options;
    options.paced = false;
    options.seed = kSeed;
    bench = std::make_unique<E2eBench>(options);
    QVERIFY2(bench->isReady(), qPrintable(bench->error()));
    SimDeviceConfig reader = SimDeviceConfig::at(kDeviceAddress, QStringLiteral("Soak reader"));
    reader.tags = {soakTag()};
    deviceId = bench->addDevice(reader);
    QVERIFY(bench->connectTo(kDeviceAddress));
    ToolDriver &tool = bench->tool();
    // The log has no line limit; the operator's view of it is not what is soaked here.
    tool.clearLog();

    faults.corruptCrcRate = kCorruptRate;
    pendingFaults = faults;
    nextLateAtAnswer = random.bounded(kLateSpacingMin, kLateSpacingMax + 1);
    tagClock.start();
    nextTagMoveMs = random.bounded(kTagInFieldMinMs, kTagInFieldMaxMs + 1);
    poll(); // drops the connect's frames, arms the broken CRCs

    QElapsedTimer wall;
    wall.start();
    QVERIFY(tool.click("btLoopTest"));
    QVERIFY2(runUntil([&] { return line.answers >= kExchanges; }), "the loop test stalled");

    // Wind down: no more faults, the tag back for good, every late or broken answer dealt with.
    const int faultyAnswers = line.answers;
    const int faultyBroken = line.broken;
    const int faultyLate = line.late;
    windingDown = true;
    faults = SimFaults();
    pendingFaults = faults;
    if (!tagInField)
        moveTag();
    QElapsedTimer settle;
    settle.start();
    QVERIFY(runUntil([&] { return settle.elapsed() >= kSettleMs; }));
    faults.silent = true;
    pendingFaults = faults;
    QVERIFY2(runUntil([&] { return line.unheardSilent > 0; }), "no request after the silence");
    QVERIFY(tool.click("btLoopTest"));
    stopped = true;
    const qint64 wallMs = wall.elapsed();
    QTest::qWait(kAfterStopMs);
    poll();

    const LoopStats stats = readStats(tool.text("labStatistic"));
    qInfo("%d exchanges (%d with faults: %d broken, %d late) in %lld s; found %d, not found %d, "
          "retry %d, errors %d; longest quiet %lld ms",
          line.answers, faultyAnswers, faultyBroken, faultyLate, wallMs / 1000, stats.found,
          stats.notFound, stats.retry, stats.errors, line.longestQuietUs / 1000);

    QCOMPARE(tool.text("btLoopTest"), QStringLiteral("Start loop test"));
    QCOMPARE(tool.logLines().constLast(), QStringLiteral("Loop test stoped"));
    QCOMPARE(line.requestsAfterStop, 0);
    QVERIFY2(line.longestQuietUs < kLongestHealthyQuietUs, "the loop stood still for a while");

    QCOMPARE(stats.found, line.found);
    QCOMPARE(stats.notFound, line.notFound);
    QCOMPARE(stats.errors, line.errors);
    QCOMPARE(stats.retry, line.broken + line.late + line.unheardSilent - 1);
    QCOMPARE(line.tagCountRequests, 1 + line.halts + stats.retry + stats.errors);
    QCOMPARE(line.crcNotices, line.broken);
    QCOMPARE(line.late, lateInjected);
    QCOMPARE(line.unheardBusy, line.late);

    // The run saw what it claims to soak: every outcome, at about the rates intended.
    QVERIFY(stats.found > 0 && stats.notFound > 0 && stats.errors > 0);
    QVERIFY2(faultyBroken > faultyAnswers / 100 && faultyBroken < faultyAnswers * 3 / 100,
             qPrintable(QString::number(faultyBroken)));
    QVERIFY2(faultyLate > faultyAnswers / 200 && faultyLate < faultyAnswers * 3 / 200,
             qPrintable(QString::number(faultyLate)));
    bench.reset();
}

bool TestSoakLoopTest::runUntil(const std::function<bool()> &done)
{
    QEventLoop loop;
    QTimer pass;
    bool stalled = false;
    QObject::connect(&pass, &QTimer::timeout, &loop, [&] {
        poll();
        planLateAnswers();
        if (!windingDown && tagClock.elapsed() >= nextTagMoveMs)
            moveTag();
        const qint64 nowUs = bench->bus().run([](SimBus &bus) { return bus.nowMs(); }) * 1000;
        stalled = line.lastEntryUs >= 0 && nowUs - line.lastEntryUs > kStallUs;
        if (stalled || done())
            loop.quit();
    });
    pass.start(kPollMs);
    loop.exec();
    return !stalled;
}

void TestSoakLoopTest::poll()
{
    std::optional<SimFaults> change = std::exchange(pendingFaults, std::nullopt);
    const QVector<SimTraceEntry> fresh = bench->bus().run([&change](SimBus &bus) {
        QVector<SimTraceEntry> entries = bus.trace().entries();
        bus.trace().clear();
        if (change)
            bus.setBusFaults(*change);
        return entries;
    });
    // The entries came before the change: they are counted under the faults they met.
    for (const SimTraceEntry &entry : fresh)
        count(entry);
    if (!change)
        return;
    lateCommand = change->lateCommand;
    if (lateCommand != kNoCommand) {
        latePhase = LatePhase::Armed;
    } else if (latePhase != LatePhase::Waiting) {
        latePhase = LatePhase::Waiting;
        nextLateAtAnswer = line.answers + random.bounded(kLateSpacingMin, kLateSpacingMax + 1);
    }
}

void TestSoakLoopTest::count(const SimTraceEntry &entry)
{
    if (line.lastEntryUs >= 0)
        line.longestQuietUs = std::max(line.longestQuietUs, entry.timeUs - line.lastEntryUs);
    line.lastEntryUs = entry.timeUs;

    if (entry.isRequest()) {
        if (stopped) {
            ++line.requestsAfterStop;
            return;
        }
        if (entry.payload.startsWith(static_cast<char>(kStatusError))) {
            ++line.crcNotices;
            return;
        }
        if (entry.command() == CmdGetTagCount)
            ++line.tagCountRequests;
        if (entry.note.contains(kBusyNote)) {
            ++line.unheardBusy;
        } else if (entry.note.contains(kSilentNote)) {
            ++line.unheardSilent;
        } else {
            line.lastHeardRequestUs = entry.timeUs;
            if (latePhase == LatePhase::Armed && entry.command() == lateCommand) {
                latePhase = LatePhase::Injected;
                ++lateInjected;
            }
        }
        return;
    }

    ++line.answers;
    if (entry.timeUs - line.lastHeardRequestUs >= kLateGapUs)
        ++line.late;
    if (!entry.crcOk) {
        ++line.broken;
        return;
    }
    if (static_cast<uint8_t>(entry.payload.at(0)) == kStatusError) {
        ++line.errors;
        return;
    }
    if (entry.command() == CmdGetTagCount) {
        const int tags = entry.payload.size() > 2 ? static_cast<uint8_t>(entry.payload.at(2)) : 0;
        ++(tags == 1 ? line.found : line.notFound);
    } else if (entry.command() == CmdHalt) {
        ++line.halts;
    }
}

void TestSoakLoopTest::planLateAnswers()
{
    if (windingDown || pendingFaults)
        return;
    if (latePhase == LatePhase::Injected) {
        // Only this one answer is late: back to normal long before it goes out.
        faults.lateCommand = kNoCommand;
        faults.lateAnswerMs = 0;
        pendingFaults = faults;
    } else if (latePhase == LatePhase::Waiting && line.answers >= nextLateAtAnswer) {
        const int choices = tagInField ? static_cast<int>(kLateTargets.size()) : kTargetsWithoutTag;
        const LateTarget &target = kLateTargets.at(random.bounded(choices));
        faults.lateCommand = target.command;
        faults.lateAnswerMs = target.lateMs;
        pendingFaults = faults;
    }
}

void TestSoakLoopTest::moveTag()
{
    tagInField = !tagInField;
    bench->bus().setTags(deviceId, tagInField ? QVector<SimTag>{soakTag()} : QVector<SimTag>{});
    const int stayMs = tagInField ? random.bounded(kTagInFieldMinMs, kTagInFieldMaxMs + 1)
                                  : random.bounded(kTagOutOfFieldMinMs, kTagOutOfFieldMaxMs + 1);
    nextTagMoveMs = tagClock.elapsed() + stayMs;
}

int main(int argc, char *argv[])
{
    // The run outlasts QtTest's five-minute watchdog; it is read once, before the first test.
    qputenv("QTEST_FUNCTION_TIMEOUT", QByteArray::number(kWatchdogMs));
    QApplication app(argc, argv);
    app.setAttribute(Qt::AA_Use96Dpi, true);
    TestSoakLoopTest test;
    QTEST_SET_MAIN_SOURCE_PATH
    return QTest::qExec(&test, argc, argv);
}

#include "tst_soak_looptest.moc"
