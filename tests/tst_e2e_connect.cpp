// The bus scan, connecting to one device on the simulated bus, and every way the connection
// ends.
#include "e2efixture.h"
#include "ser2net.h"

using E2e::lines;
using ExchangeTiming::kConnectTimeoutMs;
using ExchangeTiming::kScanProbeTimeoutMs;

namespace {
constexpr uint8_t kAddress = 0x1A;
// The timer is coarse and the event loop busy: allow some lateness, hardly any earliness.
constexpr qint64 kTimeoutEarliestMs = kConnectTimeoutMs * 9 / 10;
constexpr qint64 kTimeoutLatestMs = kConnectTimeoutMs * 8 / 5;
// Past the timeout, so the late answer meets a closed port.
constexpr int kLateAnswerMs = kConnectTimeoutMs + 200;
const QString kVersionLine = QStringLiteral("Firmware version is: APP 1.0.0");
// 253 silent probes of 100 ms; coarse timers may fire 5 % early or run a little slow.
constexpr qint64 kFullScanMinMs = 20000;
constexpr qint64 kFullScanMaxMs = 35000;
// Long enough for two more probes, had the timer been left running.
constexpr int kQuietProbesMs = 3 * kScanProbeTimeoutMs;
// Time to step out of the event loop before the answer comes.
constexpr int kPendingAnswerDelayMs = 60;
const QString kFound = QStringLiteral("Device found: ");
// The port is open behind the disconnected look while the scan owns the controls.
const QString kScanningLook = QStringLiteral(
    "Connect +cbSerialPort -gbDeviceSettings -gbDeviceCommands -gbAddressTag -gbLed port held");

// "00 01 02" for the requests, "<02" for an answer of 02.
QString lineOf(const SimBusThread &bus)
{
    return E2e::wire(bus, {true, true, 0}).join(QLatin1Char(' '));
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

class TestE2eConnect : public QObject
{
    Q_OBJECT

private slots:
    void connectReadsDevice_data()
    {
        // settings: baud index, address, terminated, name
        addColumns<QString, QByteArray, int, bool, QString>(
            {"lineSpeed", "settings", "shownIndex", "shownTerminated", "log"});
        const QString read = kVersionLine + "|Device settings received.";
        addRow("115200, open line", "115200", QByteArray::fromHex("051A00444F4F52"), 5, false,
               read);
        addRow("19200, any non-zero byte terminates", "19200", QByteArray::fromHex("02C3074142"), 2,
               true, read);
        addRow("baud index just past the table", "115200", QByteArray::fromHex("06050100"), -1,
               true,
               kVersionLine + "|The device reported an unknown baud rate (index 6)."
                              "|Device settings received.");
    }

    void connectReadsDevice()
    {
        QFETCH(QString, lineSpeed);
        QFETCH(QByteArray, settings);
        QFETCH(bool, shownTerminated);
        QFETCH(QString, log);

        E2eBench bench(E2e::fastBus());
        QVERIFY2(bench.isReady(), qPrintable(bench.error()));
        SimDeviceConfig config;
        const QByteArray answer = QByteArray::fromHex("000C") + settings;
        config.settings =
            readSettings(reinterpret_cast<const uint8_t *>(answer.constData()), answer.size());
        bench.addDevice(config);
        ToolDriver &tool = bench.tool();
        tool.widget<QComboBox>("cbConnectionSpeed")->setCurrentText(lineSpeed);
        // Start from values the answer must overwrite.
        tool.widget<QComboBox>("cbDeviceComSpeed")->setCurrentIndex(1);
        QVERIFY(tool.setText("leDeviceAddress", "EE"));
        tool.setChecked("cbTerminated", !shownTerminated);
        QVERIFY(tool.setText("leDeviceShortName", "XYZW"));

        QVERIFY(bench.connectTo(config.settings.ownAddress));
        QCOMPARE(bench.bus().lineBaudRate(), lineSpeed.toInt());
        QCOMPARE(tool.statusBarText(), QStringLiteral("Connected|Version:APP 1.0.0"));
        QCOMPARE(tool.logLines(), lines(log));
        QTEST(tool.widget<QComboBox>("cbDeviceComSpeed")->currentIndex(), "shownIndex");
        QCOMPARE(tool.text("leDeviceAddress"), hexByte(config.settings.ownAddress));
        QCOMPARE(tool.widget<QCheckBox>("cbTerminated")->isChecked(), shownTerminated);
        QCOMPARE(tool.text("leDeviceShortName"), QString::fromLatin1(settings.mid(3).constData()));
        QCOMPARE(E2e::wire(bench.bus()), lines("09|0A|0C"));
        QCOMPARE(E2e::connectionLook(bench), QLatin1String(E2e::kConnectedLook));
    }

    void controlsEndConnection_data()
    {
        addColumns<QString, QString>({"button", "log"});
        addRow("disconnect", "btSerialConnect", "");
        addRow("scan", "btScanRs485", "Searching aborted.");
        addRow("refresh port list", "btRefresComPorts", "");
    }

    void controlsEndConnection()
    {
        QFETCH(QString, button);
        QFETCH(QString, log);

        const auto bench = E2e::connectedBench(SimDeviceConfig::at(kAddress));
        QVERIFY(bench);
        ToolDriver &tool = bench->tool();
        QVERIFY(tool.click(button));
        QCOMPARE(E2e::connectionLook(*bench), QLatin1String(E2e::kDisconnectedLook));
        QCOMPARE(tool.statusBarText(), QStringLiteral("|"));
        QCOMPARE(tool.logLines(), lines(log));
        QVERIFY(E2e::wire(bench->bus()).isEmpty());
        QCOMPARE(tool.text("btScanRs485"), QStringLiteral("Scan"));
        // The refresh rebuilds the list from the system's ports, which never list a pty.
        if (button == QLatin1String("btRefresComPorts")) {
            auto *ports = tool.widget<QComboBox>("cbSerialPort");
            QCOMPARE(ports->currentIndex(), ports->count() > 0 ? 0 : -1);
            QVERIFY(ports->currentText() != bench->bus().portPath());
            tool.selectPort(bench->bus().portPath());
        }
        QVERIFY(bench->connectTo(kAddress));
    }

    void readErrorClosesPortBehindLook()
    {
        // The adapter is pulled: the port reports a read error and is closed, the look stays.
        const auto bench = E2e::connectedBench(SimDeviceConfig::at(kAddress));
        QVERIFY(bench);
        // What an unplugged USB adapter reports, and a hung-up pty at times: the same.
        QVERIFY(QMetaObject::invokeMethod(bench->tool().window(), "handleSerialDataError",
                                          Q_ARG(BusLink::Failure, BusLink::Failure::ReadFailed),
                                          Q_ARG(QString, QString())));
        QVERIFY(bench->connectTo(kAddress));
        static bool readError = false;
        QLoggingCategory::setFilterRules(QStringLiteral("talvik.serial.debug=true"));
        const QtMessageHandler previous = qInstallMessageHandler(
            [](QtMsgType, const QMessageLogContext &, const QString &message) {
                readError = readError || message.startsWith("An I/O error occurred");
            });
        bench->bus().stop();
        const bool reported = ToolDriver::waitUntil([] { return readError; });
        qInstallMessageHandler(previous);
        QLoggingCategory::setFilterRules(QString());
        QVERIFY(reported);
        QCOMPARE(bench->tool().text("btSerialConnect"), QStringLiteral("Disconnect"));
        // The button decides by the port, not by its text: pressed now, it connects anew.
        QVERIFY(bench->tool().click("btSerialConnect"));
        QVERIFY(bench->tool().waitForLog("No response from the hardware at address 0x1A"));
    }

    void serverDropEndsConnection()
    {
        // Behind a network serial server a dropped connection ends the connection, look and all.
        const auto bench = E2e::connectedBench(SimDeviceConfig::at(kAddress));
        Ser2net server(bench ? bench->bus().portPath() : QString());
        QVERIFY(bench && server.start().isEmpty() && bench->tool().click("btSerialConnect"));
        bench->tool().selectPort(server.rfc2217Url());
        QVERIFY(bench->connectTo(kAddress));
        server.stop(true);
        QVERIFY(ToolDriver::waitUntil([&] { return bench->tool().statusBarText() == "|"; }));
        QCOMPARE(E2e::connectionLook(*bench), QLatin1String(E2e::kDisconnectedLook));
    }

    void connectTimesOut_data()
    {
        addColumns<QString, QString, QString, QString>({"fault", "requests", "log", "statusBar"});
        const QString noAnswer = QStringLiteral("No response from the hardware at address 0x1A");
        const QString timedOut = "Connection timeout|" + noAnswer;
        addRow("silent address", "silent", "09", noAnswer, timedOut);
        addRow("identification too late", "late 0A", "09|0A", kVersionLine + '|' + noAnswer,
               timedOut);
        // The broken answer gets the CRC error notice; then the tool gives up as for silence.
        addRow("answers with broken CRC", "broken CRC", "09|FF FF 02", noAnswer, timedOut);
        addRow("port cannot be opened", "no port", "", noAnswer, timedOut);
        addRow("settings too late", "late 0C", "09|0A|0C",
               kVersionLine + '|' + E2e::kGenericTimeout, "Timeout|No response to bootloader");
    }

    void connectTimesOut()
    {
        QFETCH(QString, fault);
        QFETCH(QString, requests);
        QFETCH(QString, log);
        QFETCH(QString, statusBar);

        E2eBench bench(E2e::fastBus());
        QVERIFY2(bench.isReady(), qPrintable(bench.error()));
        SimDeviceConfig config = SimDeviceConfig::at(kAddress);
        config.faults.silent = fault == "silent";
        config.faults.corruptCrcRate = fault == "broken CRC" ? 1.0 : 0.0;
        config.faults.lateCommand =
            fault.startsWith("late") ? fault.right(2).toInt(nullptr, 16) : kNoCommand;
        config.faults.lateAnswerMs = kLateAnswerMs;
        const int id = bench.addDevice(config);
        ToolDriver &tool = bench.tool();
        const bool opens = fault != "no port";
        if (!opens)
            tool.selectPort(QStringLiteral("/dev/ttyTalvikMissing"));
        QVERIFY(tool.setText("leDeviceShortName", "KEEP"));
        QVERIFY(tool.setText("leTargetAddress", hexByte(kAddress)));

        QElapsedTimer clock;
        clock.start();
        QVERIFY(tool.click("btSerialConnect"));
        QCOMPARE(E2e::connectionLook(bench),
                 QLatin1String(opens ? E2e::kConnectedLook : E2e::kDisconnectedLook));
        QCOMPARE(tool.statusBarText(), opens ? QStringLiteral("Connected|") : QStringLiteral("|"));
        QVERIFY(ToolDriver::waitUntil([&] { return tool.statusBarText() == statusBar; }));
        QVERIFY2(clock.elapsed() >= kTimeoutEarliestMs && clock.elapsed() <= kTimeoutLatestMs,
                 qPrintable(QStringLiteral("timeout after %1 ms").arg(clock.elapsed())));
        QCOMPARE(tool.logLines(), lines(log));
        QCOMPARE(E2e::wire(bench.bus()), lines(requests));
        QCOMPARE(tool.text("leDeviceShortName"), QStringLiteral("KEEP"));
        QCOMPARE(E2e::connectionLook(bench), QLatin1String(E2e::kDisconnectedLook));

        // A late answer still on its way would land in the next connection: let it go by first.
        QVERIFY(config.faults.lateCommand == kNoCommand || ToolDriver::waitUntil([&] {
                    return bench.bus().trace().last().note.contains(QLatin1String("lost"));
                }));
        // Once the fault is gone the same window connects as usual.
        bench.bus().setDeviceFaults(id, SimFaults());
        tool.selectPort(bench.bus().portPath());
        QVERIFY(bench.connectTo(kAddress));
        QCOMPARE(tool.statusBarText(), QStringLiteral("Connected|Version:APP 1.0.0"));
    }
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
                         .arg(E2e::wire(bench.bus()).size())
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
        QStringList requests = E2e::wire(bench.bus());
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
        const int answerBytes = int(wireFrame(0x03, hex("000A") + "Hall").size());
        QElapsedTimer spin;
        spin.start();
        while (E2e::unreadBytes(bench.bus().portPath()) < answerBytes &&
               spin.elapsed() < E2e::kWaitMs)
            QThread::msleep(1);
        QCOMPARE(E2e::unreadBytes(bench.bus().portPath()), answerBytes);
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

QTEST_MAIN(TestE2eConnect)
#include "tst_e2e_connect.moc"
