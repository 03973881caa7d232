// The bus scan, connecting to one device on the simulated bus, and every way the connection
// ends.
#include "e2efixture.h"
#include "logcapture.h"
#include "ser2net.h"

#include <cstring>

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
const QString kNoAnswer = QStringLiteral("No response from the hardware at address 0x1A");
// 253 silent probes of 100 ms; coarse timers may fire 5 % early or run a little slow.
constexpr qint64 kFullScanMinMs = 20000;
constexpr qint64 kFullScanMaxMs = 35000;
// Long enough for two more probes, had the timer been left running.
constexpr int kQuietProbesMs = 3 * kScanProbeTimeoutMs;
const QString kFound = QStringLiteral("Device found: ");
const QString kSettingsControls =
    QStringLiteral("cbDeviceComSpeed leDeviceAddress cbTerminated leDeviceShortName");
const QString kTyped = QStringLiteral("9600 EE 0 KEEP");
// The port is open behind the disconnected look while the scan owns the controls.
const QString kScanningLook = QString(E2e::kDisconnectedLook).replace("free", "held");

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
    QCOMPARE(tool.text("btScanRs485") + ' ' + E2e::connectionLook(bench) + ' ' +
                 tool.statusBarText(),
             "Scan " + QString(E2e::kDisconnectedLook) + " |");
    QVERIFY(tool.widget("btSerialConnect")->isEnabled() && tool.progressBar()->value() == 0);
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
    // Every way an open connection ends but a press on Disconnect, with the serial debug line
    // that tells why. A read error (the adapter pulled) closes the port behind the connected look.
    void connectionEnds_data()
    {
        addColumns<QString, QString, QString>({"cause", "look", "debugLine"});
        addRow("read error", "read error",
               QString(E2e::kConnectedLook).replace("held", "free") +
                   " Connected|Version:APP 1.0.0",
               "^An I/O error occurred while reading the data from port ");
        // Not the device's last words for the server's.
        addRow("server drops the connection", "server", E2e::kDisconnectedLook + QString(" |"),
               " was lost: the server closed the connection$");
        addRow("port list refreshed", "refresh", E2e::kDisconnectedLook + QString(" |"),
               "^Port closed$");
    }

    void connectionEnds()
    {
        QFETCH(QString, cause);
        QFETCH(QString, look);
        QFETCH(QString, debugLine);
        // An identification longer than the server's parting words may be.
        const auto bench = E2e::connectedBench(SimDeviceConfig::at(kAddress, QString(200, 'N')));
        Ser2net server(bench ? bench->bus().portPath() : QString());
        QVERIFY(bench);
        ToolDriver &tool = bench->tool();
        if (cause == "server") {
            QVERIFY(server.start().isEmpty() && tool.click("btSerialConnect"));
            tool.selectPort(server.rfc2217Url());
            QVERIFY(bench->connectTo(kAddress));
        }
        LogCapture serial("talvik.serial");
        if (cause == "server")
            server.stop(true);
        else if (cause == "refresh")
            QVERIFY(tool.click("btRefresComPorts"));
        else
            bench->bus().stop();
        QVERIFY(ToolDriver::waitUntil(
            [&] { return !serial.lines.filter(QRegularExpression(debugLine)).isEmpty(); }));
        const auto shown = [&] { return E2e::connectionLook(*bench) + ' ' + tool.statusBarText(); };
        if (!ToolDriver::waitUntil([&] { return shown() == look; }))
            QCOMPARE(shown(), look);
        if (cause == "server")
            QCOMPARE(tool.logLines().last(), "Connection to " + server.rfc2217Url() +
                                                 " lost: the server closed the connection");
        // The button decides by the port, not by its text: pressed now, it connects anew.
        if (cause == "read error") {
            QVERIFY(tool.click("btSerialConnect"));
            QVERIFY(tool.waitForLog(kNoAnswer));
        }
    }

    // A press on Connect and all that follows, from controls the settings answer must overwrite.
    void connect_data()
    {
        // address typed; port: "" for the bus's; device: its faults in the simulator's keys, and
        // its settings record; lost: answers that meet a closed port; shown: the settings controls
        addColumns<QString, QString, QString, QByteArray, QString, QString, QString, int, QString>(
            {"address", "port", "device", "record", "requests", "log", "statusBar", "lost",
             "shown"});
        const QString received = "|Device settings received.", read = kVersionLine + received;
        const QString connected = "Connected|Version:APP 1.0.0",
                      timedOut = "Connection timeout|" + kNoAnswer;
        const QByteArray door = hex("051A00444F4F52");
        addRow("any non-zero byte terminates", "1A", "", "", hex("051A0741420000"), "09|0A|0C",
               read, connected, 0, "115200 1A 1 AB");
        addRow("baud index just past the table", "1A", "", "", hex("061A0100000000"), "09|0A|0C",
               kVersionLine + "|The device reported an unknown baud rate (index 6)." + received,
               connected, 0, " 1A 1 ");
        // One byte short: the controls keep what they held, nothing made up to write back.
        addRow("settings answer cut short", "1A", "", "truncate=0C:6", hex("051A0741424344"),
               "09|0A|0C",
               kVersionLine + "|The device sent incomplete settings (6 of 7 bytes)." + received,
               connected, 0, kTyped);
        addRow("silent address", "1A", "", "silent=1", door, "09", kNoAnswer, timedOut, 0, kTyped);
        // Its answer comes after the port closed: never into the next connection.
        addRow("identification too late", "1A", "", "late=0A:700", door, "09|0A",
               kVersionLine + '|' + kNoAnswer, timedOut, 1, kTyped);
        // The broken answer gets the CRC error notice; then the tool gives up as for silence.
        addRow("answers with broken CRC", "1A", "", "crcrate=1", door, "09|FF FF 02", kNoAnswer,
               timedOut, 0, kTyped);
        // The reason first, then the timeout as for silence.
        addRow("port cannot be opened", "1A", "/dev/ttyTalvikMissing", "", door, "",
               "Cannot open /dev/ttyTalvikMissing: No such file or directory|" + kNoAnswer,
               timedOut, 0, kTyped);
        addRow("settings too late", "1A", "", "late=0C:700", door, "09|0A|0C",
               kVersionLine + '|' + E2e::kGenericTimeout, "Timeout|No response to bootloader", 1,
               kTyped);
        // The connection stands, without device data.
        addRow("error answer", "1A", "", "error=09", door, "09",
               "Error received to command 0x09 - err no :0x00EE", "Connected|", 0, kTyped);
        addRow("address field empty", "", "", "", door, "",
               "Please enter the correct device address!", "|", 0, kTyped);
    }

    void connect()
    {
        QFETCH(QString, address);
        QFETCH(QString, port);
        QFETCH(QString, device);
        QFETCH(QByteArray, record);
        QFETCH(QString, log);
        QFETCH(QString, statusBar);

        E2eBench bench(E2e::fastBus());
        QVERIFY2(bench.isReady(), qPrintable(bench.error()));
        SimDeviceConfig config = E2e::device(device);
        std::memcpy(&config.settings, record.constData(), sizeof config.settings);
        const int id = bench.addDevice(config);
        ToolDriver &tool = bench.tool();
        if (!port.isEmpty())
            tool.selectPort(port);
        tool.enter("leTargetAddress " + kSettingsControls, address + ' ' + kTyped);

        QElapsedTimer clock;
        clock.start();
        QVERIFY(tool.click("btSerialConnect"));
        const bool portOpens = port.isEmpty() && !address.isEmpty();
        const QString opened = portOpens ? E2e::kConnectedLook : E2e::kDisconnectedLook;
        QCOMPARE(E2e::connectionLook(bench) + ' ' + tool.statusBarText(),
                 opened + (portOpens ? " Connected|" : " |"));
        QVERIFY(ToolDriver::waitUntil(
            [&] { return tool.logLines() == lines(log) && tool.statusBarText() == statusBar; }));
        const bool timedOut = statusBar.contains("timeout", Qt::CaseInsensitive);
        QVERIFY2((clock.elapsed() >= kTimeoutEarliestMs) == timedOut &&
                     clock.elapsed() <= kTimeoutLatestMs,
                 qPrintable(QStringLiteral("after %1 ms").arg(clock.elapsed())));
        // Nothing follows: no second timeout, and late answers are lost on the closed port.
        QVERIFY(tool.logStaysQuiet(kAfterLimitMs));
        QTEST(E2e::wire(bench.bus()).join('|'), "requests");
        int lost = 0;
        for (const SimTraceEntry &entry : bench.bus().trace())
            lost += entry.note.contains(QLatin1String("lost: no port open"));
        QTEST(lost, "lost");
        QTEST(tool.text(kSettingsControls), "shown");
        QCOMPARE(E2e::connectionLook(bench), timedOut ? QString(E2e::kDisconnectedLook) : opened);

        // Once the fault is gone the same window connects as usual.
        bench.bus().setDeviceFaults(id, SimFaults());
        tool.selectPort(bench.bus().portPath());
        if (portOpens && !timedOut)
            QVERIFY(tool.click("btSerialConnect"));
        QVERIFY(bench.connectTo(kAddress));
        QCOMPARE(tool.statusBarText(), QStringLiteral("Connected|Version:APP 1.0.0"));
    }

    void fullScanListsDevicesInAddressOrder()
    {
        E2eBench bench(E2e::fastBus());
        QVERIFY2(bench.isReady(), qPrintable(bench.error()));
        // Added out of order: the list must follow the addresses, not the bus.
        for (const char *keys : {"addr=FF,name=Last", "addr=00,name=Gate", "addr=1A,name=Door"})
            bench.addDevice(E2e::device(keys));
        ToolDriver &tool = bench.tool();

        QElapsedTimer wall;
        wall.start();
        QVERIFY(tool.click("btScanRs485"));
        QCOMPARE(tool.text("btScanRs485") + ' ' + E2e::connectionLook(bench),
                 "Cancel " + kScanningLook);
        QVERIFY(!tool.widget("btSerialConnect")->isEnabled());
        QVERIFY(tool.waitForLog(QStringLiteral("Done."), kFullScanMaxMs));
        QVERIFY2(wall.elapsed() >= kFullScanMinMs, qPrintable(QString::number(wall.elapsed())));

        verifyIdle(bench, {"00 - Gate", "1A - Door", "FF - Last"});
        QCOMPARE(tool.logLines().first() + '|' + tool.logLines().last(),
                 QStringLiteral("Searching for devices. Please wait...|Done."));
        // One name request per address, in ascending order, no retries.
        QCOMPARE(lineOf(bench.bus()).remove(QRegularExpression(" <..")), probes(0x00, 0xFF));
        QCOMPARE(E2e::wire(bench.bus()).filter(QRegularExpression("^(?!0A$)")), QStringList());

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
        for (const char *keys :
             {"addr=00,crcrate=1", "addr=01,name=Door", "addr=03,error=0A", "addr=02,name=Gone"})
            bench.addDevice(E2e::device(keys));
        ToolDriver &tool = bench.tool();

        QVERIFY(tool.click("btScanRs485"));
        // The device at 02 leaves the bus while the scan waits at 00.
        QVERIFY(ToolDriver::waitUntil([&] { return lineOf(bench.bus()).startsWith("00"); }));
        QVERIFY(bench.bus().removeDevice(3));
        QVERIFY(tool.waitForLog("Error received to command 0x0A - err no :0x00EE"));
        QVERIFY(E2e::busStaysQuiet(bench.bus(), kQuietProbesMs));
        // A CRC error notice to 00, nothing more asked of 02; the error answer stands the scan.
        QCOMPARE(lineOf(bench.bus()), QStringLiteral("00 <00 00 01 <01 02 03 <03"));
        QVERIFY(E2e::wire(bench.bus()).contains("FF FF 02"));
        QCOMPARE(QString::number(tool.progressBar()->value()) + ' ' + E2e::connectionLook(bench),
                 "3 " + kScanningLook);
        QVERIFY(tool.click("btScanRs485"));
        QCOMPARE(tool.logLines().last(), QStringLiteral("Searching aborted."));
        verifyIdle(bench, {"01 - Door"});
    }
};

QTEST_MAIN(TestE2eConnect)
#include "tst_e2e_connect.moc"
