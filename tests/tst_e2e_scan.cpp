// Bus scan against the simulated bus: what the operator sees while the tool walks the addresses.

#include "e2efixture.h"
#include "scanhelpers.h"

#include <QComboBox>
#include <QElapsedTimer>
#include <QProgressBar>
#include <QThread>
#include <QtTest>

namespace {

constexpr int kLastAddress = 0xFF;
constexpr int kAddressCount = 256;
constexpr int kProbeTimeoutMs = 100;
// A full scan is 253 silent probes of 100 ms here; the timer may run a few percent slow.
constexpr qint64 kFullScanMinMs = 20000;
constexpr qint64 kFullScanMaxMs = 35000;
constexpr int kFullScanWaitMs = 40000;
// Long enough for two more probes, had the timer been left running.
constexpr int kQuietProbeWindowMs = 3 * kProbeTimeoutMs;
constexpr uint16_t kInjectedError = 0x00EE;
// Time to step out of the event loop before the answer comes, and for it to reach the port.
constexpr int kPendingAnswerDelayMs = 60;
constexpr int kLineSettleMs = 20;
constexpr int kPendingAnswerWaitMs = 1000;

const QString kSearching = QStringLiteral("Searching for devices. Please wait...");
const QString kAborted = QStringLiteral("Searching aborted.");
const QString kDone = QStringLiteral("Done.");
const QString kDeviceFound = QStringLiteral("Device found: ");

SimBusOptions fastBus()
{
    SimBusOptions options;
    options.paced = false;
    return options;
}

QStringList comboItems(const QComboBox *combo)
{
    QStringList items;
    for (int i = 0; i < combo->count(); ++i)
        items << combo->itemText(i);
    return items;
}

QVector<int> requestedAddresses(const SimBusThread &bus)
{
    QVector<int> addresses;
    for (const SimTraceEntry &request : tracedRequests(bus))
        addresses << request.address;
    return addresses;
}

QVector<int> addressRange(int first, int last)
{
    QVector<int> addresses;
    for (int address = first; address <= last; ++address)
        addresses << address;
    return addresses;
}

// Each value the progress bar takes, with what the line and the status bar showed right then.
struct ProgressStep
{
    int value = 0;
    QVector<int> addressesProbedBefore;
    QString status;
};

} // namespace

class TestE2eScan : public QObject
{
    Q_OBJECT

private slots:
    void fullScanListsDevicesInAddressOrder();
    void cancelStopsScan();
    void cancelWithAnswerPendingStaysStopped();
    void errorAnswerStandsScanStill();
    void lateAnswerIsNeverListedUnderNextAddress();

private:
    static bool waitForProgress(ToolDriver &tool, int atLeast);
    static void verifyIdleAfterScan(E2eBench &bench);
};

bool TestE2eScan::waitForProgress(ToolDriver &tool, int atLeast)
{
    return ToolDriver::waitUntil([&] { return tool.progressBar()->value() >= atLeast; });
}

void TestE2eScan::verifyIdleAfterScan(E2eBench &bench)
{
    ToolDriver &tool = bench.tool();
    QCOMPARE(tool.text("btScanRs485"), QStringLiteral("Scan"));
    QVERIFY(tool.isEnabled("btSerialConnect"));
    QCOMPARE(tool.text("btSerialConnect"), QStringLiteral("Connect"));
    QCOMPARE(tool.progressBar()->value(), 0);
    QCOMPARE(tool.statusText(), QString());
    QCOMPARE(tool.infoText(), QString());
    QVERIFY(!portHeldExclusively(bench.bus().portPath()));
}

void TestE2eScan::fullScanListsDevicesInAddressOrder()
{
    E2eBench bench(fastBus());
    QVERIFY2(bench.isReady(), qPrintable(bench.error()));
    // Added out of order: the list must follow the addresses, not the bus.
    bench.addDevice(SimDeviceConfig::at(0xFF, QStringLiteral("Last reader")));
    bench.addDevice(SimDeviceConfig::at(0x00, QStringLiteral("Gate reader")));
    bench.addDevice(SimDeviceConfig::at(0x1A, QStringLiteral("Door reader")));
    ToolDriver &tool = bench.tool();

    QVector<ProgressStep> steps;
    const QMetaObject::Connection recorder =
        QObject::connect(tool.progressBar(), &QProgressBar::valueChanged, [&](int value) {
            steps.append({value, requestedAddresses(bench.bus()), tool.statusText()});
        });

    QElapsedTimer wall;
    wall.start();
    QVERIFY(tool.click("btScanRs485"));
    QCOMPARE(tool.text("btScanRs485"), QStringLiteral("Cancel"));
    QVERIFY(!tool.isEnabled("btSerialConnect"));
    // The scan keeps the disconnected look although the port is open.
    QCOMPARE(tool.text("btSerialConnect"), QStringLiteral("Connect"));
    QVERIFY(!tool.isEnabled("gbDeviceSettings"));
    QVERIFY(portHeldExclusively(bench.bus().portPath()));
    QCOMPARE(tool.progressBar()->maximum(), kLastAddress);

    QVERIFY(tool.waitForLog(kDone, kFullScanWaitMs));
    const qint64 elapsedMs = wall.elapsed();
    qInfo("Full scan of %d addresses with 3 devices took %lld ms", kAddressCount, elapsedMs);
    QVERIFY2(elapsedMs >= kFullScanMinMs && elapsedMs <= kFullScanMaxMs,
             qPrintable(QStringLiteral("full scan took %1 ms").arg(elapsedMs)));

    const QStringList entries = {QStringLiteral("00 - Gate reader"),
                                 QStringLiteral("1A - Door reader"),
                                 QStringLiteral("FF - Last reader")};
    QCOMPARE(comboItems(tool.widget<QComboBox>("cbDetectedDevices")), entries);
    QCOMPARE(tool.logLines(),
             QStringList({kSearching, kDeviceFound + entries.at(0), kDeviceFound + entries.at(1),
                          kDeviceFound + entries.at(2), kDone}));
    verifyIdleAfterScan(bench);
    // The first device found became current and filled the address field.
    QCOMPARE(tool.text("leTargetAddress"), QStringLiteral("00"));

    // One name request per address, in ascending order, no retries.
    const QVector<SimTraceEntry> requests = tracedRequests(bench.bus());
    QCOMPARE(requestedAddresses(bench.bus()), addressRange(0, kLastAddress));
    for (const SimTraceEntry &request : requests)
        QCOMPARE(request.payload, QByteArray(1, char(CmdGetDeviceName)));

    // 1 from the button for address 00, unchanged for 01, then each address; 0 at the end.
    QCOMPARE(steps.size(), kLastAddress + 1);
    QCOMPARE(steps.first().value, 1);
    QVERIFY(steps.first().addressesProbedBefore.isEmpty());
    for (int value = 2; value <= kLastAddress; ++value) {
        const ProgressStep &step = steps.at(value - 1);
        QCOMPARE(step.value, value);
        QCOMPARE(step.addressesProbedBefore, addressRange(0, value - 1));
        QCOMPARE(step.status, QStringLiteral("Connected"));
    }
    QCOMPARE(steps.last().value, 0);
    QObject::disconnect(recorder);

    // Picking a device only fills the address field; the line stays quiet.
    QVERIFY(tool.selectIndex("cbDetectedDevices", 1));
    QCOMPARE(tool.text("leTargetAddress"), QStringLiteral("1A"));
    QVERIFY(!portHeldExclusively(bench.bus().portPath()));
    QCOMPARE(tracedRequests(bench.bus()).size(), kAddressCount);

    QVERIFY(tool.click("btSerialConnect"));
    QVERIFY(tool.waitForLog(QLatin1String(E2e::kSettingsReceived)));
    QCOMPARE(tool.infoText(), QStringLiteral("Version:APP 1.0.0"));
    QCOMPARE(tracedRequests(bench.bus()).last().address, 0x1A);
}

void TestE2eScan::cancelStopsScan()
{
    E2eBench bench(fastBus());
    QVERIFY2(bench.isReady(), qPrintable(bench.error()));
    bench.addDevice(SimDeviceConfig::at(0x01, QStringLiteral("Hall reader")));
    ToolDriver &tool = bench.tool();

    QVERIFY(tool.click("btScanRs485"));
    QVERIFY(waitForProgress(tool, 3));
    QCOMPARE(tool.statusText(), QStringLiteral("Connected"));
    QVERIFY(tool.click("btScanRs485"));

    QCOMPARE(tool.logLines().last(), kAborted);
    verifyIdleAfterScan(bench);
    QCOMPARE(comboItems(tool.widget<QComboBox>("cbDetectedDevices")),
             QStringList{QStringLiteral("01 - Hall reader")});

    // No probe armed before the cancel may still go out.
    const int requestsAtCancel = tracedRequests(bench.bus()).size();
    QTest::qWait(kQuietProbeWindowMs);
    QCOMPARE(tracedRequests(bench.bus()).size(), requestsAtCancel);
    QCOMPARE(tool.progressBar()->value(), 0);
    QCOMPARE(tool.logLines().last(), kAborted);
    QCOMPARE(tool.text("btScanRs485"), QStringLiteral("Scan"));
}

void TestE2eScan::cancelWithAnswerPendingStaysStopped()
{
    E2eBench bench(fastBus());
    QVERIFY2(bench.isReady(), qPrintable(bench.error()));
    SimDeviceConfig hall = SimDeviceConfig::at(0x03, QStringLiteral("Hall reader"));
    hall.faults.answerDelayMs = kPendingAnswerDelayMs;
    bench.addDevice(hall);
    ToolDriver &tool = bench.tool();
    const auto traced = [&](bool request) {
        const QVector<SimTraceEntry> trace = bench.bus().trace();
        return std::any_of(trace.cbegin(), trace.cend(), [request](const SimTraceEntry &entry) {
            return entry.isRequest() == request && entry.address == 0x03;
        });
    };

    QVERIFY(tool.click("btScanRs485"));
    QVERIFY(ToolDriver::waitUntil([&] { return traced(true); }));
    // Keep the tool's event loop still so the answer waits unread when Cancel is pressed.
    QElapsedTimer spin;
    spin.start();
    while (!traced(false) && spin.elapsed() < kPendingAnswerWaitMs)
        QThread::msleep(1);
    QVERIFY(traced(false));
    QThread::msleep(kLineSettleMs);
    QVERIFY(tool.click("btScanRs485"));

    // Cancel handled the answer in its event pass, which armed the next probe.
    QCOMPARE(tool.logLines().mid(1),
             QStringList({kDeviceFound + QStringLiteral("03 - Hall reader"), kAborted}));
    QTest::qWait(kQuietProbeWindowMs);
    QCOMPARE(tool.logLines().last(), kAborted);
    QCOMPARE(tool.progressBar()->value(), 0);
    // The probe of 04 was still in the port's buffer: closing discards it.
    QCOMPARE(requestedAddresses(bench.bus()), addressRange(0, 0x03));
    verifyIdleAfterScan(bench);
}

void TestE2eScan::errorAnswerStandsScanStill()
{
    E2eBench bench(fastBus());
    QVERIFY2(bench.isReady(), qPrintable(bench.error()));
    SimDeviceConfig failing = SimDeviceConfig::at(0x02, QStringLiteral("Broken reader"));
    failing.faults.errorCommand = CmdGetDeviceName;
    failing.faults.errorNumber = kInjectedError;
    bench.addDevice(failing);
    ToolDriver &tool = bench.tool();

    QVERIFY(tool.click("btScanRs485"));
    QVERIFY(tool.waitForLog(QStringLiteral("Error received to command 0x0A - err no :0x00EE")));

    QTest::qWait(kQuietProbeWindowMs);
    QCOMPARE(requestedAddresses(bench.bus()), addressRange(0, 0x02));
    QCOMPARE(tool.progressBar()->value(), 0x02);
    QCOMPARE(tool.text("btScanRs485"), QStringLiteral("Cancel"));
    QVERIFY(!tool.isEnabled("btSerialConnect"));
    QVERIFY(portHeldExclusively(bench.bus().portPath()));
    QCOMPARE(tool.widget<QComboBox>("cbDetectedDevices")->count(), 0);

    QVERIFY(tool.click("btScanRs485"));
    QCOMPARE(tool.logLines().last(), kAborted);
    verifyIdleAfterScan(bench);
}

void TestE2eScan::lateAnswerIsNeverListedUnderNextAddress()
{
    E2eBench bench(fastBus());
    QVERIFY2(bench.isReady(), qPrintable(bench.error()));
    SimDeviceConfig slow = SimDeviceConfig::at(0x02, QStringLiteral("Slow reader"));
    // Half way into the probe of the silent address 03.
    slow.faults.answerDelayMs = kProbeTimeoutMs + kProbeTimeoutMs / 2;
    bench.addDevice(slow);
    bench.addDevice(SimDeviceConfig::at(0x04, QStringLiteral("Quick reader")));
    ToolDriver &tool = bench.tool();

    QVERIFY(tool.click("btScanRs485"));
    QVERIFY(waitForProgress(tool, 0x05));
    QVERIFY(tool.click("btScanRs485"));

    const QVector<SimTraceEntry> trace = bench.bus().trace();
    const auto firstTo = [&trace](bool request, int address) {
        return std::find_if(trace.cbegin(), trace.cend(), [=](const SimTraceEntry &entry) {
            return entry.isRequest() == request && entry.address == address;
        });
    };
    const auto slowAnswer = firstTo(false, 0x02);
    QVERIFY(slowAnswer != trace.cend());
    QVERIFY2(!slowAnswer->note.contains(QStringLiteral("lost")), qPrintable(slowAnswer->toLine()));
    QVERIFY(firstTo(true, 0x03) < slowAnswer && slowAnswer < firstTo(true, 0x04));

    QCOMPARE(comboItems(tool.widget<QComboBox>("cbDetectedDevices")),
             QStringList{QStringLiteral("04 - Quick reader")});
    const QStringList found = tool.logLines().filter(kDeviceFound);
    QCOMPARE(found, QStringList{kDeviceFound + QStringLiteral("04 - Quick reader")});
}

QTEST_MAIN(TestE2eScan)
#include "tst_e2e_scan.moc"
