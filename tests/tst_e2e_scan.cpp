// Bus scan against the simulated bus: what the operator sees while the tool walks the addresses.
#include "e2efixture.h"

#include <QComboBox>
#include <QElapsedTimer>
#include <QProgressBar>
#include <QThread>
#include <QtTest>

using ExchangeTiming::kScanProbeTimeoutMs;

namespace {
// 253 silent probes of 100 ms; coarse timers may fire 5 % early or run a little slow.
constexpr qint64 kFullScanMinMs = 20000;
constexpr qint64 kFullScanMaxMs = 35000;
// Long enough for two more probes, had the timer been left running.
constexpr int kQuietProbesMs = 3 * kScanProbeTimeoutMs;
// Time to step out of the event loop before the answer comes, and for it to reach the port.
constexpr int kPendingAnswerDelayMs = 60;
constexpr int kLineSettleMs = 20;
const QString kFound = QStringLiteral("Device found: ");
// The port is open behind the disconnected look while the scan owns the controls.
const QString kScanningLook = QStringLiteral(
    "Connect +cbSerialPort -gbDeviceSettings -gbDeviceCommands -gbAddressTag -gbLed port held");

// "00 01 02" for the requests, "<02" for an answer of 02.
QString lineOf(const SimBusThread &bus)
{
    QStringList line;
    for (const SimTraceEntry &entry : bus.trace())
        line << (entry.isRequest() ? "" : "<") + hexByte(entry.address);
    return line.join(QLatin1Char(' '));
}

QString probes(int first, int last)
{
    QStringList addresses;
    for (int address = first; address <= last; ++address)
        addresses << hexByte(uint8_t(address));
    return addresses.join(QLatin1Char(' '));
}

void verifyIdle(E2eBench &bench, const QStringList &listed)
{
    ToolDriver &tool = bench.tool();
    QCOMPARE(tool.text("btScanRs485"), QStringLiteral("Scan"));
    QVERIFY(tool.widget("btSerialConnect")->isEnabled());
    QCOMPARE(E2e::connectionLook(bench), QLatin1String(E2e::kDisconnectedLook));
    QCOMPARE(tool.progressBar()->value(), 0);
    QCOMPARE(tool.statusBarText(), QStringLiteral("|"));
    auto *devices = tool.widget<QComboBox>("cbDetectedDevices");
    QStringList items;
    for (int i = 0; i < devices->count(); ++i)
        items << devices->itemText(i);
    QCOMPARE(items, listed);
    QCOMPARE(tool.logLines().filter(kFound).replaceInStrings(kFound, QString()), listed);
}
} // namespace

class TestE2eScan : public QObject
{
    Q_OBJECT

private slots:
    void fullScanListsDevicesInAddressOrder()
    {
        E2eBench bench(E2e::fastBus());
        QVERIFY2(bench.isReady(), qPrintable(bench.error()));
        // Added out of order: the list must follow the addresses, not the bus.
        for (const auto &[address, name] :
             {std::pair{0xFF, "Last"}, {0x00, "Gate"}, {0x1A, "Door"}})
            bench.addDevice(SimDeviceConfig::at(uint8_t(address), QLatin1String(name)));
        ToolDriver &tool = bench.tool();
        // Each progress value with the probes sent before it and the status shown then.
        QStringList steps;
        QObject::connect(tool.progressBar(), &QProgressBar::valueChanged, [&](int value) {
            steps << QStringLiteral("%1 after %2, %3")
                         .arg(value)
                         .arg(E2e::requestLines(bench.bus()).size())
                         .arg(tool.statusBarText());
        });

        QElapsedTimer wall;
        wall.start();
        QVERIFY(tool.click("btScanRs485"));
        QCOMPARE(tool.text("btScanRs485"), QStringLiteral("Cancel"));
        QVERIFY(!tool.widget("btSerialConnect")->isEnabled());
        QCOMPARE(E2e::connectionLook(bench), kScanningLook);
        QVERIFY(tool.waitForLog(QStringLiteral("Done."), kFullScanMaxMs));
        qInfo("Full scan with 3 devices took %lld ms", wall.elapsed());
        QVERIFY2(wall.elapsed() >= kFullScanMinMs, qPrintable(QString::number(wall.elapsed())));

        verifyIdle(bench, {"00 - Gate", "1A - Door", "FF - Last"});
        QCOMPARE(tool.logLines().first(), QStringLiteral("Searching for devices. Please wait..."));
        QCOMPARE(tool.logLines().last(), QStringLiteral("Done."));
        // One name request per address, in ascending order, no retries.
        QCOMPARE(lineOf(bench.bus()).remove(QRegularExpression(" <..")), probes(0x00, 0xFF));
        QStringList requests = E2e::requestLines(bench.bus());
        requests.removeDuplicates();
        QCOMPARE(requests, QStringList{"0A"});
        // 1 before address 00 goes out; 01 leaves it at 1 (no change signal); each later address
        // shows its own value once those before it were probed; 0 after the last.
        QStringList expectedSteps{QStringLiteral("1 after 0, |")};
        for (int value = 2; value <= 0xFF; ++value)
            expectedSteps << QStringLiteral("%1 after %1, Connected|").arg(value);
        QCOMPARE(steps, expectedSteps << QStringLiteral("0 after 256, Connected|"));

        // The first device found filled the address field; picking another only changes it.
        QCOMPARE(tool.text("leTargetAddress"), QStringLiteral("00"));
        tool.widget<QComboBox>("cbDetectedDevices")->setCurrentIndex(1);
        QCOMPARE(tool.text("leTargetAddress"), QStringLiteral("1A"));
        QVERIFY(E2e::busStaysQuiet(bench.bus(), kScanProbeTimeoutMs));
    }

    void cancelWithAnswerPendingStaysStopped()
    {
        E2eBench bench(E2e::fastBus());
        QVERIFY2(bench.isReady(), qPrintable(bench.error()));
        SimDeviceConfig hall = SimDeviceConfig::at(0x03, QStringLiteral("Hall"));
        hall.faults.answerDelayMs = kPendingAnswerDelayMs;
        bench.addDevice(hall);
        ToolDriver &tool = bench.tool();

        QVERIFY(tool.click("btScanRs485"));
        QVERIFY(ToolDriver::waitUntil([&] { return lineOf(bench.bus()).endsWith("03"); }));
        // Keep the tool's event loop still so the answer waits unread when Cancel is pressed.
        QElapsedTimer spin;
        spin.start();
        while (!lineOf(bench.bus()).endsWith("<03") && spin.elapsed() < E2e::kWaitMs)
            QThread::msleep(1);
        QThread::msleep(kLineSettleMs);
        QVERIFY(tool.click("btScanRs485"));

        // Cancel handled the answer in its event pass, which armed the next probe: it must not
        // run, and the probe of 04 still in the port's buffer goes with the port.
        QVERIFY(E2e::busStaysQuiet(bench.bus(), kQuietProbesMs));
        QCOMPARE(tool.logLines().last(), QStringLiteral("Searching aborted."));
        QCOMPARE(lineOf(bench.bus()), probes(0x00, 0x03) + " <03");
        verifyIdle(bench, {"03 - Hall"});
    }

    void errorAnswerStandsScanStill()
    {
        E2eBench bench(E2e::fastBus());
        QVERIFY2(bench.isReady(), qPrintable(bench.error()));
        SimDeviceConfig failing = SimDeviceConfig::at(0x02, QStringLiteral("Broken"));
        failing.faults.errorCommand = CmdGetDeviceName;
        bench.addDevice(failing);
        ToolDriver &tool = bench.tool();

        QVERIFY(tool.click("btScanRs485"));
        QVERIFY(tool.waitForLog("Error received to command 0x0A - err no :0x00EE"));
        QVERIFY(E2e::busStaysQuiet(bench.bus(), kQuietProbesMs));
        QCOMPARE(lineOf(bench.bus()), probes(0x00, 0x02) + " <02");
        QCOMPARE(tool.progressBar()->value(), 0x02);
        QCOMPARE(E2e::connectionLook(bench), kScanningLook);
        QVERIFY(tool.click("btScanRs485"));
        QCOMPARE(tool.logLines().last(), QStringLiteral("Searching aborted."));
        verifyIdle(bench, {});
    }
};

QTEST_MAIN(TestE2eScan)
#include "tst_e2e_scan.moc"
