// The bus scan, connecting to one device on the simulated bus, and every way the connection
// ends.
#include "e2efixture.h"
#include "logcapture.h"
#include "ser2net.h"

using E2e::lines;
using ExchangeTiming::kConnectTimeoutMs;
using ExchangeTiming::kScanProbeTimeoutMs;

namespace {
constexpr uint8_t kAddress = 0x1A;
// The timer is coarse and the event loop busy: allow some lateness, hardly any earliness.
constexpr qint64 kTimeoutEarliestMs = kConnectTimeoutMs * 9 / 10;
constexpr qint64 kTimeoutLatestMs = kConnectTimeoutMs * 8 / 5;
// Longer than the connect's limit: a timeout or a late answer still to come would show.
constexpr int kAfterLimitMs = kConnectTimeoutMs + 300;
const QString kVersionLine = QStringLiteral("Firmware version is: APP 1.0.0");
// 253 silent probes of 100 ms; coarse timers may fire 5 % early or run a little slow.
constexpr qint64 kFullScanMinMs = 20000;
constexpr qint64 kFullScanMaxMs = 35000;
// Long enough for two more probes, had the timer been left running.
constexpr int kQuietProbesMs = 3 * kScanProbeTimeoutMs;
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
        tool.choose("cbConnectionSpeed", lineSpeed);
        // Start from values the answer must overwrite.
        tool.choose("cbDeviceComSpeed", "9600");
        tool.setText("leDeviceAddress", "EE");
        tool.setChecked("cbTerminated", !shownTerminated);
        tool.setText("leDeviceShortName", "XYZW");

        QVERIFY(bench.connectTo(config.settings.ownAddress));
        QCOMPARE(bench.bus().lineBaudRate(), lineSpeed.toInt());
        QCOMPARE(tool.statusBarText(), QStringLiteral("Connected|Version:APP 1.0.0"));
        QCOMPARE(tool.logLines(), lines(log));
        QTEST(tool.widget<QComboBox>("cbDeviceComSpeed")->currentIndex(), "shownIndex");
        QCOMPARE(tool.text("leDeviceAddress"), hexByte(config.settings.ownAddress));
        QCOMPARE(tool.isChecked("cbTerminated"), shownTerminated);
        QCOMPARE(tool.text("leDeviceShortName"), QString::fromLatin1(settings.mid(3).constData()));
        QCOMPARE(E2e::wire(bench.bus()), lines("09|0A|0C"));
        QCOMPARE(E2e::connectionLook(bench), QLatin1String(E2e::kConnectedLook));
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
        LogCapture serial("talvik.serial");
        bench->bus().stop();
        QVERIFY(ToolDriver::waitUntil([&] {
            return !serial.lines.filter(QRegularExpression("^An I/O error occurred")).isEmpty();
        }));
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
        QCOMPARE(bench->tool().logLines().last(), "Connection to " + server.rfc2217Url() +
                                                      " lost: the server closed the connection");
        QCOMPARE(E2e::connectionLook(*bench), QLatin1String(E2e::kDisconnectedLook));
    }

    void connectFails_data()
    {
        // faults: the device's, in the simulator's keys; lost: answers that meet a closed port
        addColumns<QString, bool, QString, QString, QString, int>(
            {"faults", "portOpens", "requests", "log", "statusBar", "lost"});
        const QString noAnswer = QStringLiteral("No response from the hardware at address 0x1A");
        const QString timedOut = "Connection timeout|" + noAnswer;
        addRow("silent address", "silent=1", true, "09", noAnswer, timedOut, 0);
        // Its answer comes after the port closed: never into the next connection.
        addRow("identification too late", "late=0A:700", true, "09|0A",
               kVersionLine + '|' + noAnswer, timedOut, 1);
        // The broken answer gets the CRC error notice; then the tool gives up as for silence.
        addRow("answers with broken CRC", "crcrate=1", true, "09|FF FF 02", noAnswer, timedOut, 0);
        // The reason first, then the timeout as for silence.
        addRow("port cannot be opened", "", false, "",
               "Cannot open /dev/ttyTalvikMissing: No such file or directory|" + noAnswer, timedOut,
               0);
        addRow("settings too late", "late=0C:700", true, "09|0A|0C",
               kVersionLine + '|' + E2e::kGenericTimeout, "Timeout|No response to bootloader", 1);
        // The connection stands, without device data.
        addRow("error answer", "error=09", true, "09",
               "Error received to command 0x09 - err no :0x00EE", "Connected|", 0);
    }

    void connectFails()
    {
        QFETCH(QString, faults);
        QFETCH(bool, portOpens);
        QFETCH(QString, requests);
        QFETCH(QString, log);
        QFETCH(QString, statusBar);

        E2eBench bench(E2e::fastBus());
        QVERIFY2(bench.isReady(), qPrintable(bench.error()));
        const int id = bench.addDevice(E2e::device("addr=1A," + faults));
        ToolDriver &tool = bench.tool();
        if (!portOpens)
            tool.selectPort(QStringLiteral("/dev/ttyTalvikMissing"));
        tool.setText("leDeviceShortName", "KEEP");
        tool.setText("leTargetAddress", hexByte(kAddress));

        QElapsedTimer clock;
        clock.start();
        QVERIFY(tool.click("btSerialConnect"));
        const QString opened = portOpens ? E2e::kConnectedLook : E2e::kDisconnectedLook;
        QCOMPARE(E2e::connectionLook(bench), opened);
        QCOMPARE(tool.statusBarText(),
                 portOpens ? QStringLiteral("Connected|") : QStringLiteral("|"));
        QVERIFY(ToolDriver::waitUntil(
            [&] { return tool.logLines() == lines(log) && tool.statusBarText() == statusBar; }));
        const bool timedOut = statusBar != "Connected|";
        QVERIFY2((clock.elapsed() >= kTimeoutEarliestMs) == timedOut &&
                     clock.elapsed() <= kTimeoutLatestMs,
                 qPrintable(QStringLiteral("after %1 ms").arg(clock.elapsed())));
        // Nothing follows: no second timeout, and late answers are lost on the closed port.
        QVERIFY(tool.logStaysQuiet(kAfterLimitMs));
        QCOMPARE(E2e::wire(bench.bus()), lines(requests));
        int lost = 0;
        for (const SimTraceEntry &entry : bench.bus().trace())
            lost += entry.note.contains(QLatin1String("lost: no port open"));
        QTEST(lost, "lost");
        QCOMPARE(tool.text("leDeviceShortName"), QStringLiteral("KEEP"));
        QCOMPARE(E2e::connectionLook(bench), timedOut ? QString(E2e::kDisconnectedLook) : opened);

        // Once the fault is gone the same window connects as usual.
        bench.bus().setDeviceFaults(id, SimFaults());
        tool.selectPort(bench.bus().portPath());
        if (!timedOut)
            QVERIFY(tool.click("btSerialConnect"));
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
        // Its answer comes late enough for the test to step out of the event loop first.
        bench.addDevice(E2e::device("addr=03,name=Hall,delay=60"));
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

    void scanPassesBrokenAndGoneDevicesStandsAtError()
    {
        E2eBench bench(E2e::fastBus());
        QVERIFY2(bench.isReady(), qPrintable(bench.error()));
        for (const char *keys : {"addr=00,crcrate=1", "addr=01,name=Door", "addr=03,error=0A"})
            bench.addDevice(E2e::device(QLatin1String(keys)));
        const int gone = bench.addDevice(E2e::device("addr=02,name=Gone"));
        ToolDriver &tool = bench.tool();

        QVERIFY(tool.click("btScanRs485"));
        // The device at 02 leaves the bus while the scan waits at 00.
        QVERIFY(ToolDriver::waitUntil([&] { return lineOf(bench.bus()).startsWith("00"); }));
        QVERIFY(bench.bus().removeDevice(gone));
        QVERIFY(tool.waitForLog("Error received to command 0x0A - err no :0x00EE"));
        QVERIFY(E2e::busStaysQuiet(bench.bus(), kQuietProbesMs));
        // A CRC error notice to 00, nothing more asked of 02; the error answer stands the scan.
        QCOMPARE(lineOf(bench.bus()), QStringLiteral("00 <00 00 01 <01 02 03 <03"));
        QVERIFY(E2e::wire(bench.bus()).contains("FF FF 02"));
        QCOMPARE(tool.progressBar()->value(), 0x03);
        QCOMPARE(E2e::connectionLook(bench), kScanningLook);
        QVERIFY(tool.click("btScanRs485"));
        QCOMPARE(tool.logLines().last(), QStringLiteral("Searching aborted."));
        verifyIdle(bench, {"01 - Door"});
    }
};

QTEST_MAIN(TestE2eConnect)
#include "tst_e2e_connect.moc"
