// The loop test for 20,000 exchanges with a reader that breaks the CRC of 2 % of its answers
// while a tag moves in and out of its field. The tool must keep cycling, and its four counters
// must match the bus trace exactly.
//
// Runs for about seven minutes (every broken answer costs a response timeout), so it carries
// the label "soak": CI runs it, the quick suite leaves it out.
//
// How the counters follow from the trace. The device answers every request at once.
// - Found / Not found: the intact answers to the tag count (02) holding 1 / 0 tags.
// - Errors: the intact error answers (a tag that left between the count and the UID read).
// - Retry: a broken answer gets the CRC error notice FF FF 02, which the device ignores; the
//   tool's timer then runs out: one retry each. At the end the device falls silent and the test
//   is stopped while the first unheard request waits, so each silent request but the last cost
//   one more: Retry = broken + (silent requests - 1).
// - Tag count requests: the start, one after every intact HALT answer (05), every retry and
//   every error answer: requests(02) = 1 + HALT answers + Retry + Errors.
#include "e2efixture.h"

#include <QElapsedTimer>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QtTest>

namespace {

constexpr uint8_t kAddress = 0x1A;
constexpr int kExchanges = 20000;
constexpr double kCorruptRate = 0.02;
constexpr quint32 kSeed = 20240;
constexpr int kTagInFieldMaxMs = 700;
constexpr int kTagOutOfFieldMaxMs = 150;
constexpr int kPollMs = 20;
// Longer than any timeout: the line is never this quiet in a healthy run.
constexpr qint64 kStallMs = 3000;
// Every broken answer has been dealt with after this.
constexpr int kSettleMs = 1600;
constexpr int kAfterStopMs = 300;
constexpr int kRunLimitMs = 20 * 60 * 1000;

const QVector<SimTag> kTag = {SimTag::create(QByteArray::fromHex("04C0FFEE112233"))};

struct LineCounts
{
    int answers = 0, broken = 0, found = 0, notFound = 0, errors = 0, halts = 0;
    int tagCountRequests = 0, crcNotices = 0, unheardSilent = 0, requestsAfterStop = 0;
    qint64 lastEntryUs = 0, longestQuietUs = 0;
};

} // namespace

class TestSoakLoopTest : public QObject
{
    Q_OBJECT

private slots:
    void countersMatchTraceThroughFaults();

private:
    // Takes the new trace entries off the bus and counts them.
    void poll();
    void count(const SimTraceEntry &entry);
    bool runUntil(const std::function<bool()> &done);

    std::unique_ptr<E2eBench> bench;
    int deviceId = -1;
    LineCounts line;
    bool stopped = false;
};

void TestSoakLoopTest::countersMatchTraceThroughFaults()
{
    SimDeviceConfig reader = SimDeviceConfig::at(kAddress);
    reader.tags = kTag;
    bench = E2e::connectedBench(reader, &deviceId);
    QVERIFY(bench);
    SimFaults faults;
    faults.corruptCrcRate = kCorruptRate;
    bench->bus().setDeviceFaults(deviceId, faults);

    ToolDriver &tool = bench->tool();
    QElapsedTimer wall;
    wall.start();
    QVERIFY(tool.click("btLoopTest"));
    QRandomGenerator random(kSeed);
    bool tagInField = true;
    qint64 nextTagMoveMs = 0;
    QVERIFY2(runUntil([&] {
                 if (wall.elapsed() >= nextTagMoveMs) {
                     tagInField = !tagInField;
                     bench->bus().setTags(deviceId, tagInField ? kTag : QVector<SimTag>());
                     nextTagMoveMs =
                         wall.elapsed() +
                         random.bounded(tagInField ? kTagInFieldMaxMs : kTagOutOfFieldMaxMs);
                 }
                 // The log has no line limit; the operator's view of it is not soaked here.
                 if (line.answers % 1000 == 0)
                     tool.clearLog();
                 return line.answers >= kExchanges;
             }),
             "the loop test stalled");
    const LineCounts faulty = line;

    // Wind down: no more broken answers, then silence, stopped while a request goes unheard.
    bench->bus().setDeviceFaults(deviceId, SimFaults());
    QElapsedTimer settle;
    settle.start();
    QVERIFY(runUntil([&] { return settle.elapsed() >= kSettleMs; }));
    faults = SimFaults();
    faults.silent = true;
    bench->bus().setDeviceFaults(deviceId, faults);
    QVERIFY2(runUntil([&] { return line.unheardSilent > 0; }), "no request after the silence");
    QVERIFY(tool.click("btLoopTest"));
    stopped = true;
    QTest::qWait(kAfterStopMs);
    poll();

    static const QRegularExpression format(
        QStringLiteral("^Not found: (\\d+)\\tFound:(\\d+)\\nRetry: (\\d+) +\\tErrors:(\\d+)$"));
    const QRegularExpressionMatch stats = format.match(tool.text("labStatistic"));
    QVERIFY(stats.hasMatch());
    const int notFound = stats.captured(1).toInt(), found = stats.captured(2).toInt();
    const int retry = stats.captured(3).toInt(), errors = stats.captured(4).toInt();
    qInfo("%d exchanges, %d broken, in %lld s; found %d, not found %d, retry %d, errors %d; "
          "longest quiet %lld ms",
          line.answers, line.broken, wall.elapsed() / 1000, found, notFound, retry, errors,
          line.longestQuietUs / 1000);

    QCOMPARE(tool.logLines().constLast(), QStringLiteral("Loop test stoped"));
    QCOMPARE(line.requestsAfterStop, 0);
    QCOMPARE(found, line.found);
    QCOMPARE(notFound, line.notFound);
    QCOMPARE(errors, line.errors);
    QCOMPARE(retry, line.broken + line.unheardSilent - 1);
    QCOMPARE(line.tagCountRequests, 1 + line.halts + retry + errors);
    QCOMPARE(line.crcNotices, line.broken);
    // The run saw what it claims to soak: every outcome, at about the rate intended.
    QVERIFY(found > 0 && notFound > 0 && errors > 0);
    QVERIFY2(faulty.broken > faulty.answers / 100 && faulty.broken < faulty.answers * 3 / 100,
             qPrintable(QString::number(faulty.broken)));
    bench.reset();
}

bool TestSoakLoopTest::runUntil(const std::function<bool()> &done)
{
    QElapsedTimer sinceEntry;
    sinceEntry.start();
    int entriesBefore = line.answers;
    return ToolDriver::waitUntil(
               [&] {
                   poll();
                   if (line.answers != entriesBefore) {
                       entriesBefore = line.answers;
                       sinceEntry.restart();
                   }
                   return done() || sinceEntry.elapsed() > kStallMs;
               },
               kRunLimitMs) &&
           sinceEntry.elapsed() <= kStallMs;
}

void TestSoakLoopTest::poll()
{
    const QVector<SimTraceEntry> fresh = bench->bus().run([](SimBus &bus) {
        const QVector<SimTraceEntry> entries = bus.trace().entries();
        bus.trace().clear();
        return entries;
    });
    for (const SimTraceEntry &entry : fresh)
        count(entry);
}

void TestSoakLoopTest::count(const SimTraceEntry &entry)
{
    if (line.lastEntryUs > 0)
        line.longestQuietUs = std::max(line.longestQuietUs, entry.timeUs - line.lastEntryUs);
    line.lastEntryUs = entry.timeUs;
    if (entry.isRequest()) {
        if (stopped)
            ++line.requestsAfterStop;
        else if (uint8_t(entry.payload.at(0)) == kStatusError)
            ++line.crcNotices;
        else if (entry.note.contains(QLatin1String("silent")))
            ++line.unheardSilent;
        if (!stopped && entry.command() == CmdGetTagCount)
            ++line.tagCountRequests;
        return;
    }
    ++line.answers;
    if (!entry.crcOk)
        ++line.broken;
    else if (uint8_t(entry.payload.at(0)) == kStatusError)
        ++line.errors;
    else if (entry.command() == CmdGetTagCount)
        ++(entry.payload.size() > 2 && entry.payload.at(2) == 1 ? line.found : line.notFound);
    else if (entry.command() == CmdHalt)
        ++line.halts;
}

int main(int argc, char *argv[])
{
    // The run outlasts QtTest's five-minute watchdog; it is read once, before the first test.
    qputenv("QTEST_FUNCTION_TIMEOUT", QByteArray::number(kRunLimitMs + 60000));
    QApplication app(argc, argv);
    TestSoakLoopTest test;
    QTEST_SET_MAIN_SOURCE_PATH
    return QTest::qExec(&test, argc, argv);
}

#include "tst_soak_looptest.moc"
