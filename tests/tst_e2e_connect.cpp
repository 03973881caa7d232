// Connecting to one device on the simulated bus, and every way the connection ends.

#include "e2efixture.h"

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QElapsedTimer>
#include <QPushButton>
#include <QtTest>

namespace {

using ExchangeTiming::kConnectTimeoutMs;

constexpr uint8_t kAddress = 0x1A;
// The timer is coarse and the event loop busy: allow some lateness, hardly any earliness.
constexpr qint64 kTimeoutEarliestMs = kConnectTimeoutMs - kConnectTimeoutMs / 10;
constexpr qint64 kTimeoutLatestMs = 2 * kConnectTimeoutMs;
// Past the timeout, so the late answer meets a closed port.
constexpr int kLateAnswerMs = kConnectTimeoutMs + 200;
constexpr int kQuietMs = 200;
constexpr uint8_t kUnknownBaudIndex = 9;

const QString kVersionLine = E2e::versionLine(QStringLiteral("APP 1.0.0"));
const QString kSettingsReceived = QLatin1String(E2e::kSettingsReceived);
const QString kConnectedLook = QLatin1String(E2e::kConnectedLook);
const QString kDisconnectedLook = QLatin1String(E2e::kDisconnectedLook);

struct DeviceCase
{
    QString lineSpeed;
    uint8_t baudIndex, address;
    bool terminated;
    QString shortName, version;
};

struct TimeoutCase
{
    SimFaults faults;
    QString portPath;
    QStringList requests, log;
    QString status, info;
};

SimFaults lateAnswerTo(int command)
{
    SimFaults faults;
    faults.lateCommand = command;
    faults.lateAnswerMs = kLateAnswerMs;
    return faults;
}

} // namespace

Q_DECLARE_METATYPE(DeviceCase)
Q_DECLARE_METATYPE(TimeoutCase)

class TestE2eConnect : public QObject
{
    Q_OBJECT

private slots:
    void connectReadsDevice_data();
    void connectReadsDevice();
    void controlsEndConnection_data();
    void controlsEndConnection();
    void emptyAddressIsRefused_data();
    void emptyAddressIsRefused();
    void connectTimesOut_data();
    void connectTimesOut();
    void unknownBaudIndexShowsNoRate();
};

void TestE2eConnect::connectReadsDevice_data()
{
    QTest::addColumn<DeviceCase>("device");
    QTest::newRow("115200, open line") << DeviceCase{"115200", 5, 0x1A, false, "DOOR", "APP 1.0.0"};
    QTest::newRow("19200, terminated") << DeviceCase{"19200", 2, 0xC3, true, "AB", "APP 2.4.1-rc"};
}

void TestE2eConnect::connectReadsDevice()
{
    QFETCH(DeviceCase, device);

    E2eBench bench(E2e::fastBus());
    QVERIFY2(bench.isReady(), qPrintable(bench.error()));
    SimDeviceConfig config = SimDeviceConfig::at(device.address);
    config.applicationVersion = device.version;
    config.settings.baudIndex = device.baudIndex;
    config.settings.terminated = device.terminated ? 1 : 0;
    config.settings.shortName = shortNameBytes(device.shortName);
    bench.addDevice(config);
    ToolDriver &tool = bench.tool();
    QVERIFY(tool.selectText("cbConnectionSpeed", device.lineSpeed));
    // Start from values the answer must overwrite.
    QVERIFY(tool.selectIndex("cbDeviceComSpeed", 0));
    QVERIFY(tool.setText("leDeviceAddress", QStringLiteral("EE")));
    QVERIFY(tool.setChecked("cbTerminated", !device.terminated));
    QVERIFY(tool.setText("leDeviceShortName", QStringLiteral("XYZW")));

    QVERIFY(bench.connectTo(device.address));
    QCOMPARE(bench.bus().lineBaudRate(), device.lineSpeed.toInt());
    QCOMPARE(tool.infoText(), QStringLiteral("Version:") + device.version);
    QCOMPARE(tool.statusText(), QStringLiteral("Connected"));
    QCOMPARE(tool.logLines(), QStringList({E2e::versionLine(device.version), kSettingsReceived}));
    QCOMPARE(tool.widget<QComboBox>("cbDeviceComSpeed")->currentIndex(), int(device.baudIndex));
    QCOMPARE(tool.text("leDeviceAddress"), hexByte(device.address));
    QCOMPARE(tool.widget<QCheckBox>("cbTerminated")->isChecked(), device.terminated);
    QCOMPARE(tool.text("leDeviceShortName"), device.shortName);
    QCOMPARE(E2e::requestLines(bench.bus()), QStringList({"09", "0A", "0C"}));
    QCOMPARE(E2e::connectionLook(bench), kConnectedLook);
}

void TestE2eConnect::controlsEndConnection_data()
{
    QTest::addColumn<QString>("button");
    QTest::addColumn<QStringList>("logAdded");

    QTest::newRow("disconnect") << "btSerialConnect" << QStringList();
    QTest::newRow("scan") << "btScanRs485" << QStringList{"Searching aborted."};
    QTest::newRow("refresh port list") << "btRefresComPorts" << QStringList();
}

void TestE2eConnect::controlsEndConnection()
{
    QFETCH(QString, button);
    QFETCH(QStringList, logAdded);

    E2eBench bench(E2e::fastBus());
    QVERIFY2(bench.isReady(), qPrintable(bench.error()));
    QVERIFY(E2e::addConnectedDevice(bench, SimDeviceConfig::at(kAddress)) >= 0);
    ToolDriver &tool = bench.tool();

    QVERIFY(tool.click(button));
    QCOMPARE(E2e::connectionLook(bench), kDisconnectedLook);
    QCOMPARE(tool.statusText(), QString());
    QCOMPARE(tool.infoText(), QString());
    QCOMPARE(tool.logLines(), logAdded);
    QVERIFY(E2e::requestLines(bench.bus()).isEmpty());
    QCOMPARE(tool.text("btScanRs485"), QStringLiteral("Scan"));
    QVERIFY(tool.isEnabled("btSerialConnect"));

    if (button == QLatin1String("btRefresComPorts")) {
        // Rebuilt from the system's ports, which never list a pty; the first one is current.
        const auto *ports = tool.widget<QComboBox>("cbSerialPort");
        QVERIFY(!E2e::itemTexts(ports).contains(bench.bus().portPath()));
        QCOMPARE(ports->currentIndex(), ports->count() > 0 ? 0 : -1);
        tool.selectPort(bench.bus().portPath());
    }
    QVERIFY(bench.connectTo(kAddress));
}

void TestE2eConnect::emptyAddressIsRefused_data()
{
    QTest::addColumn<bool>("connectedFirst");
    QTest::newRow("disconnected") << false;
    QTest::newRow("connected") << true;
}

void TestE2eConnect::emptyAddressIsRefused()
{
    QFETCH(bool, connectedFirst);

    E2eBench bench(E2e::fastBus());
    QVERIFY2(bench.isReady(), qPrintable(bench.error()));
    bench.addDevice(SimDeviceConfig::at(kAddress));
    ToolDriver &tool = bench.tool();
    if (connectedFirst)
        QVERIFY(bench.connectTo(kAddress));
    QApplication::setActiveWindow(tool.window());
    QVERIFY(QTest::qWaitForWindowActive(tool.window()));
    tool.widget<QPushButton>("btSerialConnect")->setFocus();
    const int requestsBefore = E2e::requestLines(bench.bus()).size();
    const QString statusBefore = tool.statusText();

    QVERIFY(tool.setText("leTargetAddress", QString()));
    QVERIFY(tool.click("btSerialConnect"));

    QCOMPARE(tool.logLines().last(), QStringLiteral("Please enter the correct device address!"));
    QCOMPARE(QApplication::focusWidget(), tool.widget<QWidget>("leTargetAddress"));
    QCOMPARE(E2e::requestLines(bench.bus()).size(), requestsBefore);
    QCOMPARE(tool.statusText(), statusBefore);
    QCOMPARE(E2e::connectionLook(bench), connectedFirst ? kConnectedLook : kDisconnectedLook);
}

void TestE2eConnect::connectTimesOut_data()
{
    QTest::addColumn<TimeoutCase>("timeout");

    const QString noResponse = E2e::noResponseLine(kAddress);
    const QString connectTimeout = QStringLiteral("Connection timeout");
    SimFaults silent;
    silent.silent = true;
    SimFaults brokenCrc;
    brokenCrc.corruptCrcRate = 1.0;
    const SimFaults lateName = lateAnswerTo(CmdGetDeviceName);
    const SimFaults lateSettings = lateAnswerTo(CmdGetSettings);
    const QStringList versionThenTimeout = {kVersionLine, E2e::kGenericTimeout};

    QTest::newRow("silent address")
        << TimeoutCase{silent, {}, {"09"}, {noResponse}, connectTimeout, noResponse};
    QTest::newRow("identification too late") << TimeoutCase{
        lateName, {}, {"09", "0A"}, {kVersionLine, noResponse}, connectTimeout, noResponse};
    // The broken answer gets the CRC error notice; then the tool gives up as for silence.
    QTest::newRow("answers with broken CRC")
        << TimeoutCase{brokenCrc, {}, {"09", "FF FF 02"}, {noResponse}, connectTimeout, noResponse};
    QTest::newRow("port cannot be opened")
        << TimeoutCase{{}, "/dev/ttyTalvikMissing", {}, {noResponse}, connectTimeout, noResponse};
    QTest::newRow("settings too late")
        << TimeoutCase{lateSettings,       {},        {"09", "0A", "0C"},
                       versionThenTimeout, "Timeout", "No response to bootloader"};
}

void TestE2eConnect::connectTimesOut()
{
    QFETCH(TimeoutCase, timeout);

    E2eBench bench(E2e::fastBus());
    QVERIFY2(bench.isReady(), qPrintable(bench.error()));
    SimDeviceConfig config = SimDeviceConfig::at(kAddress);
    config.faults = timeout.faults;
    const int id = bench.addDevice(config);
    ToolDriver &tool = bench.tool();
    if (!timeout.portPath.isEmpty())
        tool.widget<QComboBox>("cbSerialPort")->setEditText(timeout.portPath);
    QVERIFY(tool.setText("leDeviceShortName", QStringLiteral("KEEP")));
    QVERIFY(tool.setText("leTargetAddress", hexByte(kAddress)));

    QElapsedTimer clock;
    clock.start();
    QVERIFY(tool.click("btSerialConnect"));
    const bool opened = timeout.portPath.isEmpty();
    QCOMPARE(E2e::connectionLook(bench), opened ? kConnectedLook : kDisconnectedLook);
    QCOMPARE(tool.statusText(), opened ? QStringLiteral("Connected") : QString());

    QVERIFY(ToolDriver::waitUntil([&] { return tool.statusText() == timeout.status; }));
    const qint64 elapsedMs = clock.elapsed();
    QVERIFY2(elapsedMs >= kTimeoutEarliestMs && elapsedMs <= kTimeoutLatestMs,
             qPrintable(QStringLiteral("timeout after %1 ms").arg(elapsedMs)));
    QCOMPARE(tool.infoText(), timeout.info);
    QCOMPARE(tool.logLines(), timeout.log);
    QCOMPARE(E2e::requestLines(bench.bus()), timeout.requests);
    QCOMPARE(tool.text("leDeviceShortName"), QStringLiteral("KEEP"));
    QCOMPARE(E2e::connectionLook(bench), kDisconnectedLook);

    // Once the fault is gone the same window connects as usual.
    bench.bus().setDeviceFaults(id, SimFaults());
    QVERIFY(ToolDriver::waitUntil([&] { return !bench.bus().device(id).restarting; }));
    tool.selectPort(bench.bus().portPath());
    QVERIFY(bench.connectTo(kAddress));
    QCOMPARE(tool.infoText(), QStringLiteral("Version:APP 1.0.0"));
}

void TestE2eConnect::unknownBaudIndexShowsNoRate()
{
    E2eBench bench(E2e::fastBus());
    QVERIFY2(bench.isReady(), qPrintable(bench.error()));
    SimDeviceConfig config = SimDeviceConfig::at(kAddress);
    config.settings.baudIndex = kUnknownBaudIndex;
    bench.addDevice(config);
    ToolDriver &tool = bench.tool();
    QVERIFY(tool.selectIndex("cbDeviceComSpeed", 2));

    QVERIFY(bench.connectTo(kAddress));
    QCOMPARE(tool.widget<QComboBox>("cbDeviceComSpeed")->currentIndex(), -1);
    QCOMPARE(tool.text("cbDeviceComSpeed"), QString());
    QCOMPARE(tool.logLines(),
             QStringList({kVersionLine, "The device reported an unknown baud rate (index 9).",
                          kSettingsReceived}));

    // Writing the settings is refused until the operator picks a rate.
    QVERIFY(tool.click("btSaveSettings"));
    QCOMPARE(tool.logLines().last(),
             QStringLiteral("Please select the device baud rate before writing the settings."));
    QVERIFY(E2e::busStaysQuiet(bench.bus(), kQuietMs));
    QCOMPARE(E2e::connectionLook(bench), kConnectedLook);
}

QTEST_MAIN(TestE2eConnect)
#include "tst_e2e_connect.moc"
