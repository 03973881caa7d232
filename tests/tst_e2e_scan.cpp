// Bus scan against the simulated bus: what the operator sees while the tool walks the addresses.

#include "e2efixture.h"

#include <QComboBox>
#include <QElapsedTimer>
#include <QProgressBar>
#include <QThread>
#include <QtTest>

namespace {

using ExchangeTiming::kScanProbeTimeoutMs;

constexpr int kLastAddress = 0xFF;
constexpr int kAddressCount = 256;
// A full scan is 253 silent probes of 100 ms here; the timer may run a few percent slow.
constexpr qint64 kFullScanMinMs = 20000;
constexpr qint64 kFullScanMaxMs = 35000;
constexpr int kFullScanWaitMs = 40000;
// Long enough for two more probes, had the timer been left running.
constexpr int kQuietProbeWindowMs = 3 * kScanProbeTimeoutMs;
// Time to step out of the event loop before the answer comes, and for it to reach the port.
constexpr int kPendingAnswerDelayMs = 60;
constexpr int kLineSettleMs = 20;
constexpr int kPendingAnswerWaitMs = 1000;

const QString kAborted = QStringLiteral("Searching aborted.");
// The port is open behind the disconnected look while the scan owns the controls.
const QString kScanningLook = QStringLiteral(
    "Connect +cbSerialPort -gbDeviceSettings -gbDeviceCommands -gbAddressTag -gbLed port held");
const QString kDeviceFound = QStringLiteral("Device found: ");

QVector<int> requestedAddresses(const SimBusThread &bus)
{
    QVector<int> addresses;
    for (const SimTraceEntry &request : E2e::requests(bus.trace()))
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

QStringList detectedDevices(ToolDriver &tool)
{
    return E2e::itemTexts(tool.widget<QComboBox>("cbDetectedDevices"));
}

} // namespace

class TestE2eScan : public QObject
{
    Q_OBJECT

private slots:
    void fullScanListsDevicesInAddressOrder();
    void cancelWithAnswerPendingStaysStopped();
    void errorAnswerStandsScanStill();
    void lateAnswerIsNeverListedUnderNextAddress();

private:
    static void verifyIdleAfterScan(E2eBench &bench);
};

void TestE2eScan::verifyIdleAfterScan(E2eBench &bench)
{
    ToolDriver &tool = bench.tool();
    QCOMPARE(tool.text("btScanRs485"), QStringLiteral("Scan"));
    QVERIFY(tool.isEnabled("btSerialConnect"));
    QCOMPARE(E2e::connectionLook(bench), QLatin1String(E2e::kDisconnectedLook));
    QCOMPARE(tool.progressBar()->value(), 0);
    QCOMPARE(tool.statusText(), QString());
    QCOMPARE(tool.infoText(), QString());
}

void TestE2eScan::fullScanListsDevicesInAddressOrder()
{
    E2eBench bench(E2e::fastBus());
    QVERIFY2(bench.isReady(), qPrintable(bench.error()));
    // Added out of order: the list must follow the addresses, not the bus.
    bench.addDevice(SimDeviceConfig::at(0xFF, QStringLiteral("Last reader")));
    bench.addDevice(SimDeviceConfig::at(0x00, QStringLiteral("Gate reader")));
    bench.addDevice(SimDeviceConfig::at(0x1A, QStringLiteral("Door reader")));
    ToolDriver &tool = bench.tool();

    // Each progress value with the probes sent before it and the status shown then.
    QStringList steps;
    QObject::connect(tool.progressBar(), &QProgressBar::valueChanged, [&](int value) {
        steps << QStringLiteral("%1 after %2 probes, %3")
                     .arg(value)
                     .arg(E2e::requests(bench.bus().trace()).size())
                     .arg(tool.statusText());
    });

    QElapsedTimer wall;
    wall.start();
    QVERIFY(tool.click("btScanRs485"));
    QCOMPARE(tool.text("btScanRs485"), QStringLiteral("Cancel"));
    QVERIFY(!tool.isEnabled("btSerialConnect"));
    QCOMPARE(E2e::connectionLook(bench), kScanningLook);
    QCOMPARE(tool.progressBar()->maximum(), kLastAddress);

    QVERIFY(tool.waitForLog(QStringLiteral("Done."), kFullScanWaitMs));
    const qint64 elapsedMs = wall.elapsed();
    qInfo("Full scan of %d addresses with 3 devices took %lld ms", kAddressCount, elapsedMs);
    QVERIFY2(elapsedMs >= kFullScanMinMs && elapsedMs <= kFullScanMaxMs,
             qPrintable(QStringLiteral("full scan took %1 ms").arg(elapsedMs)));

    const QStringList entries = {"00 - Gate reader", "1A - Door reader", "FF - Last reader"};
    QCOMPARE(detectedDevices(tool), entries);
    QCOMPARE(tool.logLines(),
             QStringList({"Searching for devices. Please wait...", kDeviceFound + entries.at(0),
                          kDeviceFound + entries.at(1), kDeviceFound + entries.at(2), "Done."}));
    verifyIdleAfterScan(bench);
    // The first device found became current and filled the address field.
    QCOMPARE(tool.text("leTargetAddress"), QStringLiteral("00"));

    // One name request per address, in ascending order, no retries.
    QCOMPARE(requestedAddresses(bench.bus()), addressRange(0, kLastAddress));
    for (const SimTraceEntry &request : E2e::requests(bench.bus().trace()))
        QCOMPARE(request.payload, QByteArray(1, char(CmdGetDeviceName)));

    // The button shows 1 before address 00 goes out; 01 leaves it at 1 (no change signal); each
    // later address shows its own value once those before it were probed; 0 after the last.
    QStringList expectedSteps{QStringLiteral("1 after 0 probes, ")};
    for (int value = 2; value <= kLastAddress; ++value)
        expectedSteps << QStringLiteral("%1 after %1 probes, Connected").arg(value);
    expectedSteps << QStringLiteral("0 after %1 probes, Connected").arg(kAddressCount);
    QCOMPARE(steps, expectedSteps);

    // Picking a device only fills the address field; the line stays quiet.
    QVERIFY(tool.selectIndex("cbDetectedDevices", 1));
    QCOMPARE(tool.text("leTargetAddress"), QStringLiteral("1A"));
    QVERIFY(E2e::busStaysQuiet(bench.bus(), kScanProbeTimeoutMs));
    QVERIFY(!E2e::portHeldExclusively(bench.bus().portPath()));
}

void TestE2eScan::cancelWithAnswerPendingStaysStopped()
{
    E2eBench bench(E2e::fastBus());
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
    QCOMPARE(tool.statusText(), QStringLiteral("Connected"));
    // Keep the tool's event loop still so the answer waits unread when Cancel is pressed.
    QElapsedTimer spin;
    spin.start();
    while (!traced(false) && spin.elapsed() < kPendingAnswerWaitMs)
        QThread::msleep(1);
    QVERIFY(traced(false));
    QThread::msleep(kLineSettleMs);
    QVERIFY(tool.click("btScanRs485"));

    // Cancel handled the answer in its event pass, which armed the next probe: it must not run.
    QCOMPARE(tool.logLines().mid(1), QStringList({kDeviceFound + "03 - Hall reader", kAborted}));
    QVERIFY(E2e::busStaysQuiet(bench.bus(), kQuietProbeWindowMs));
    QCOMPARE(tool.logLines().last(), kAborted);
    // The probe of 04 was still in the port's buffer: closing discards it.
    QCOMPARE(requestedAddresses(bench.bus()), addressRange(0, 0x03));
    QCOMPARE(detectedDevices(tool), QStringList{"03 - Hall reader"});
    verifyIdleAfterScan(bench);
}

void TestE2eScan::errorAnswerStandsScanStill()
{
    E2eBench bench(E2e::fastBus());
    QVERIFY2(bench.isReady(), qPrintable(bench.error()));
    SimDeviceConfig failing = SimDeviceConfig::at(0x02, QStringLiteral("Broken reader"));
    failing.faults.errorCommand = CmdGetDeviceName;
    bench.addDevice(failing);
    ToolDriver &tool = bench.tool();

    QVERIFY(tool.click("btScanRs485"));
    QVERIFY(tool.waitForLog(QStringLiteral("Error received to command 0x0A - err no :0x00EE")));
    QVERIFY(E2e::busStaysQuiet(bench.bus(), kQuietProbeWindowMs));
    QCOMPARE(requestedAddresses(bench.bus()), addressRange(0, 0x02));
    QCOMPARE(tool.progressBar()->value(), 0x02);
    QCOMPARE(tool.text("btScanRs485"), QStringLiteral("Cancel"));
    QVERIFY(!tool.isEnabled("btSerialConnect"));
    QCOMPARE(E2e::connectionLook(bench), kScanningLook);
    QVERIFY(detectedDevices(tool).isEmpty());

    QVERIFY(tool.click("btScanRs485"));
    QCOMPARE(tool.logLines().last(), kAborted);
    verifyIdleAfterScan(bench);
}

void TestE2eScan::lateAnswerIsNeverListedUnderNextAddress()
{
    E2eBench bench(E2e::fastBus());
    QVERIFY2(bench.isReady(), qPrintable(bench.error()));
    SimDeviceConfig slow = SimDeviceConfig::at(0x02, QStringLiteral("Slow reader"));
    // Half way into the probe of the silent address 03.
    slow.faults.answerDelayMs = kScanProbeTimeoutMs + kScanProbeTimeoutMs / 2;
    bench.addDevice(slow);
    bench.addDevice(SimDeviceConfig::at(0x04, QStringLiteral("Quick reader")));
    ToolDriver &tool = bench.tool();

    QVERIFY(tool.click("btScanRs485"));
    QVERIFY(ToolDriver::waitUntil([&] { return tool.progressBar()->value() >= 0x05; }));
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

    QCOMPARE(detectedDevices(tool), QStringList{"04 - Quick reader"});
    QCOMPARE(tool.logLines().filter(kDeviceFound), QStringList{kDeviceFound + "04 - Quick reader"});
}

QTEST_MAIN(TestE2eScan)
#include "tst_e2e_scan.moc"
