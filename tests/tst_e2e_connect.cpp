// Connecting to one device on the simulated bus, and every way the connection ends.

#include "e2efixture.h"
#include "scanhelpers.h"

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QElapsedTimer>
#include <QPushButton>
#include <QSerialPortInfo>
#include <QtTest>

Q_DECLARE_METATYPE(SimFaults)

namespace {

constexpr uint8_t kAddress = 0x1A;
constexpr int kConnectTimeoutMs = 500;
// The timer is coarse and the event loop busy: allow some lateness, hardly any earliness.
constexpr qint64 kTimeoutEarliestMs = kConnectTimeoutMs - kConnectTimeoutMs / 10;
constexpr qint64 kTimeoutLatestMs = 2 * kConnectTimeoutMs;
// Past the timeout, so the late answer meets a closed port.
constexpr int kLateAnswerMs = kConnectTimeoutMs + 200;
constexpr int kUnknownBaudIndex = 9;
constexpr uint8_t kEepromCell = 0x10;
constexpr char kEepromValue = 0x5A;

const QStringList kDeviceGroups = {QStringLiteral("gbDeviceSettings"),
                                   QStringLiteral("gbDeviceCommands"),
                                   QStringLiteral("gbAddressTag"), QStringLiteral("gbLed")};
const QString kVersionLine = QStringLiteral("Firmware version is: APP 1.0.0");
const QString kSettingsReceived = QLatin1String(E2e::kSettingsReceived);

SimBusOptions fastBus()
{
    SimBusOptions options;
    options.paced = false;
    return options;
}

QString hexAddress(uint8_t address)
{
    return QStringLiteral("%1").arg(address, 2, 16, QLatin1Char('0')).toUpper();
}

QString noResponseText(uint8_t address)
{
    return QStringLiteral("No response from the hardware at address 0x") + hexAddress(address);
}

// Request payloads that went to this address, as "09 0A 0C".
QString requestsTo(const SimBusThread &bus, uint8_t address)
{
    QStringList payloads;
    for (const SimTraceEntry &request : tracedRequests(bus)) {
        if (request.address == address)
            payloads << QString::fromLatin1(request.payload.toHex().toUpper());
    }
    return payloads.join(QLatin1Char(' '));
}

} // namespace

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
    void answersAroundRestartPauseHandledOnceInOrder_data();
    void answersAroundRestartPauseHandledOnceInOrder();

private:
    static void verifyLook(E2eBench &bench, bool connected);
};

void TestE2eConnect::verifyLook(E2eBench &bench, bool connected)
{
    ToolDriver &tool = bench.tool();
    QCOMPARE(tool.text("btSerialConnect"),
             connected ? QStringLiteral("Disconnect") : QStringLiteral("Connect"));
    QCOMPARE(tool.isEnabled("cbSerialPort"), !connected);
    for (const QString &group : kDeviceGroups)
        QVERIFY2(tool.isEnabled(group) == connected, qPrintable(group));
    QCOMPARE(portHeldExclusively(bench.bus().portPath()), connected);
}

void TestE2eConnect::connectReadsDevice_data()
{
    QTest::addColumn<QString>("lineSpeed");
    QTest::addColumn<int>("baudIndex");
    QTest::addColumn<int>("address");
    QTest::addColumn<bool>("terminated");
    QTest::addColumn<QString>("shortName");
    QTest::addColumn<QString>("version");

    QTest::newRow("115200, open line") << "115200" << 5 << 0x1A << false << "DOOR"
                                       << "APP 1.0.0";
    QTest::newRow("19200, terminated") << "19200" << 2 << 0xC3 << true << "AB"
                                       << "APP 2.4.1-rc";
}

void TestE2eConnect::connectReadsDevice()
{
    QFETCH(QString, lineSpeed);
    QFETCH(int, baudIndex);
    QFETCH(int, address);
    QFETCH(bool, terminated);
    QFETCH(QString, shortName);
    QFETCH(QString, version);

    E2eBench bench(fastBus());
    QVERIFY2(bench.isReady(), qPrintable(bench.error()));
    SimDeviceConfig config = SimDeviceConfig::at(static_cast<uint8_t>(address));
    config.applicationVersion = version;
    config.settings.baudIndex = static_cast<uint8_t>(baudIndex);
    config.settings.terminated = terminated ? 1 : 0;
    config.settings.shortName = shortNameBytes(shortName);
    bench.addDevice(config);
    ToolDriver &tool = bench.tool();
    QVERIFY(tool.selectText("cbConnectionSpeed", lineSpeed));
    // Start from values the answer must overwrite.
    QVERIFY(tool.selectIndex("cbDeviceComSpeed", 0));
    QVERIFY(tool.setText("leDeviceAddress", QStringLiteral("EE")));
    QVERIFY(tool.setChecked("cbTerminated", !terminated));
    QVERIFY(tool.setText("leDeviceShortName", QStringLiteral("XYZW")));

    QVERIFY(bench.connectTo(static_cast<uint8_t>(address)));
    QCOMPARE(bench.bus().lineBaudRate(), lineSpeed.toInt());
    QCOMPARE(tool.infoText(), QStringLiteral("Version:") + version);
    QCOMPARE(tool.statusText(), QStringLiteral("Connected"));
    QCOMPARE(tool.logLines(),
             QStringList({QStringLiteral("Firmware version is: ") + version, kSettingsReceived}));
    QCOMPARE(tool.widget<QComboBox>("cbDeviceComSpeed")->currentIndex(), baudIndex);
    QCOMPARE(tool.text("leDeviceAddress"), hexAddress(static_cast<uint8_t>(address)));
    QCOMPARE(tool.widget<QCheckBox>("cbTerminated")->isChecked(), terminated);
    QCOMPARE(tool.text("leDeviceShortName"), shortName);
    QCOMPARE(requestsTo(bench.bus(), static_cast<uint8_t>(address)), QStringLiteral("09 0A 0C"));
    verifyLook(bench, true);
}

void TestE2eConnect::controlsEndConnection_data()
{
    QTest::addColumn<QString>("button");
    QTest::addColumn<QStringList>("logAdded");

    QTest::newRow("disconnect") << "btSerialConnect" << QStringList();
    QTest::newRow("scan") << "btScanRs485" << QStringList{QStringLiteral("Searching aborted.")};
    QTest::newRow("refresh port list") << "btRefresComPorts" << QStringList();
}

void TestE2eConnect::controlsEndConnection()
{
    QFETCH(QString, button);
    QFETCH(QStringList, logAdded);

    E2eBench bench(fastBus());
    QVERIFY2(bench.isReady(), qPrintable(bench.error()));
    bench.addDevice(SimDeviceConfig::at(kAddress));
    ToolDriver &tool = bench.tool();
    QVERIFY(bench.connectTo(kAddress));
    tool.clearLog();
    const int requestsBefore = tracedRequests(bench.bus()).size();

    QVERIFY(tool.click(button));
    verifyLook(bench, false);
    QCOMPARE(tool.statusText(), QString());
    QCOMPARE(tool.infoText(), QString());
    QCOMPARE(tool.logLines(), logAdded);
    QCOMPARE(tracedRequests(bench.bus()).size(), requestsBefore);
    QCOMPARE(tool.text("btScanRs485"), QStringLiteral("Scan"));
    QVERIFY(tool.isEnabled("btSerialConnect"));

    if (button == QLatin1String("btRefresComPorts")) {
        // The list is rebuilt from the system's ports, first one current.
        QStringList systemPorts;
        for (const QSerialPortInfo &port : QSerialPortInfo::availablePorts())
            systemPorts << port.systemLocation();
        const auto *ports = tool.widget<QComboBox>("cbSerialPort");
        QStringList listed;
        for (int i = 0; i < ports->count(); ++i)
            listed << ports->itemText(i);
        QCOMPARE(listed, systemPorts);
        QCOMPARE(ports->currentIndex(), systemPorts.isEmpty() ? -1 : 0);
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

    E2eBench bench(fastBus());
    QVERIFY2(bench.isReady(), qPrintable(bench.error()));
    bench.addDevice(SimDeviceConfig::at(kAddress));
    ToolDriver &tool = bench.tool();
    if (connectedFirst)
        QVERIFY(bench.connectTo(kAddress));
    QApplication::setActiveWindow(tool.window());
    QVERIFY(QTest::qWaitForWindowActive(tool.window()));
    tool.widget<QPushButton>("btSerialConnect")->setFocus();
    const int requestsBefore = tracedRequests(bench.bus()).size();
    const QString statusBefore = tool.statusText();

    QVERIFY(tool.setText("leTargetAddress", QString()));
    QVERIFY(tool.click("btSerialConnect"));

    QCOMPARE(tool.logLines().last(), QStringLiteral("Please enter the correct device address!"));
    QCOMPARE(QApplication::focusWidget(), tool.widget<QWidget>("leTargetAddress"));
    QCOMPARE(tracedRequests(bench.bus()).size(), requestsBefore);
    QCOMPARE(tool.statusText(), statusBefore);
    verifyLook(bench, connectedFirst);
}

void TestE2eConnect::connectTimesOut_data()
{
    QTest::addColumn<bool>("devicePresent");
    QTest::addColumn<SimFaults>("faults");
    QTest::addColumn<QString>("portPath");
    QTest::addColumn<QString>("requests");
    QTest::addColumn<QStringList>("log");
    QTest::addColumn<QString>("status");
    QTest::addColumn<QString>("info");

    const QString connectTimeout = QStringLiteral("Connection timeout");
    const QStringList noResponse{noResponseText(kAddress)};
    SimFaults none;
    SimFaults silent;
    silent.silent = true;
    SimFaults lateName;
    lateName.lateCommand = CmdGetDeviceName;
    lateName.lateAnswerMs = kLateAnswerMs;
    SimFaults brokenCrc;
    brokenCrc.corruptCrcRate = 1.0;
    SimFaults lateSettings;
    lateSettings.lateCommand = CmdGetSettings;
    lateSettings.lateAnswerMs = kLateAnswerMs;

    QTest::newRow("no device at the address") << false << none << QString() << "09" << noResponse
                                              << connectTimeout << noResponseText(kAddress);
    QTest::newRow("device silent") << true << silent << QString() << "09" << noResponse
                                   << connectTimeout << noResponseText(kAddress);
    QTest::newRow("identification too late")
        << true << lateName << QString() << "09 0A" << QStringList{kVersionLine, noResponse.first()}
        << connectTimeout << noResponseText(kAddress);
    // The broken answer gets the CRC error notice; then the tool gives up as for silence.
    QTest::newRow("answers with broken CRC")
        << true << brokenCrc << QString() << "09 FFFF02" << noResponse << connectTimeout
        << noResponseText(kAddress);
    QTest::newRow("port cannot be opened")
        << true << none << "/dev/ttyTalvikMissing" << QString() << noResponse << connectTimeout
        << noResponseText(kAddress);
    QTest::newRow("settings too late")
        << true << lateSettings << QString() << "09 0A 0C"
        << QStringList{kVersionLine,
                       QStringLiteral("Timeout - Please recconnect device and try again.")}
        << "Timeout"
        << "No response to bootloader";
}

void TestE2eConnect::connectTimesOut()
{
    QFETCH(bool, devicePresent);
    QFETCH(SimFaults, faults);
    QFETCH(QString, portPath);
    QFETCH(QString, requests);
    QFETCH(QStringList, log);
    QFETCH(QString, status);
    QFETCH(QString, info);

    E2eBench bench(fastBus());
    QVERIFY2(bench.isReady(), qPrintable(bench.error()));
    SimDeviceConfig config = SimDeviceConfig::at(kAddress);
    config.faults = faults;
    const int id = devicePresent ? bench.addDevice(config) : -1;
    ToolDriver &tool = bench.tool();
    if (!portPath.isEmpty())
        tool.widget<QComboBox>("cbSerialPort")->setEditText(portPath);
    QVERIFY(tool.setText("leDeviceShortName", QStringLiteral("KEEP")));
    QVERIFY(tool.setText("leTargetAddress", hexAddress(kAddress)));

    QElapsedTimer clock;
    clock.start();
    QVERIFY(tool.click("btSerialConnect"));
    const bool opened = portPath.isEmpty();
    verifyLook(bench, opened);
    QCOMPARE(tool.statusText(), opened ? QStringLiteral("Connected") : QString());

    QVERIFY(ToolDriver::waitUntil([&] { return tool.statusText() == status; }));
    const qint64 elapsedMs = clock.elapsed();
    QVERIFY2(elapsedMs >= kTimeoutEarliestMs && elapsedMs <= kTimeoutLatestMs,
             qPrintable(QStringLiteral("timeout after %1 ms").arg(elapsedMs)));
    QCOMPARE(tool.infoText(), info);
    QCOMPARE(tool.logLines(), log);
    QCOMPARE(requestsTo(bench.bus(), kAddress), requests);
    QCOMPARE(tool.text("leDeviceShortName"), QStringLiteral("KEEP"));
    verifyLook(bench, false);

    // Once the fault is gone the same window connects as usual.
    if (devicePresent) {
        bench.bus().setDeviceFaults(id, SimFaults());
        QVERIFY(ToolDriver::waitUntil([&] { return !bench.bus().device(id).restarting; }));
    } else {
        bench.addDevice(config);
    }
    tool.selectPort(bench.bus().portPath());
    QVERIFY(bench.connectTo(kAddress));
    QCOMPARE(tool.infoText(), QStringLiteral("Version:APP 1.0.0"));
}

void TestE2eConnect::unknownBaudIndexShowsNoRate()
{
    E2eBench bench(fastBus());
    QVERIFY2(bench.isReady(), qPrintable(bench.error()));
    SimDeviceConfig config = SimDeviceConfig::at(kAddress);
    config.settings.baudIndex = kUnknownBaudIndex;
    bench.addDevice(config);
    ToolDriver &tool = bench.tool();
    QVERIFY(tool.selectIndex("cbDeviceComSpeed", 2));
    QVERIFY(tool.setText("leTargetAddress", hexAddress(kAddress)));

    QVERIFY(tool.click("btSerialConnect"));
    QVERIFY(tool.waitForLog(kSettingsReceived));
    QCOMPARE(tool.widget<QComboBox>("cbDeviceComSpeed")->currentIndex(), -1);
    QCOMPARE(tool.text("cbDeviceComSpeed"), QString());
    QCOMPARE(tool.logLines(),
             QStringList({kVersionLine,
                          QStringLiteral("The device reported an unknown baud rate (index 9)."),
                          kSettingsReceived}));

    const int requestsBefore = tracedRequests(bench.bus()).size();
    QVERIFY(tool.click("btSaveSettings"));
    QCOMPARE(tool.logLines().last(),
             QStringLiteral("Please select the device baud rate before writing the settings."));
    QTest::qWait(kConnectTimeoutMs / 5);
    QCOMPARE(tracedRequests(bench.bus()).size(), requestsBefore);
}

void TestE2eConnect::answersAroundRestartPauseHandledOnceInOrder_data()
{
    QTest::addColumn<int>("eepromAnswerLateMs");
    QTest::newRow("back to back with the reboot answer") << 0;
    QTest::newRow("while the tool sleeps") << 200;
}

void TestE2eConnect::answersAroundRestartPauseHandledOnceInOrder()
{
    QFETCH(int, eepromAnswerLateMs);

    E2eBench bench(fastBus());
    QVERIFY2(bench.isReady(), qPrintable(bench.error()));
    SimDeviceConfig config = SimDeviceConfig::at(kAddress);
    config.eeprom[kEepromCell] = kEepromValue;
    config.faults.lateCommand = CmdPnEeprom;
    config.faults.lateAnswerMs = eepromAnswerLateMs;
    bench.addDevice(config);
    ToolDriver &tool = bench.tool();
    QVERIFY(bench.connectTo(kAddress));
    QVERIFY(tool.setText("lePnAddress", hexAddress(kEepromCell)));
    tool.clearLog();

    // Both requests leave in the same pass: the EEPROM answer follows the reboot answer.
    QVERIFY(tool.click("btRestartDevice"));
    QVERIFY(tool.click("btReadPnEeprom"));
    QVERIFY(tool.waitForLog(kSettingsReceived));

    QCOMPARE(tool.logLines(),
             QStringList({QStringLiteral("Rebooting device..."),
                          QStringLiteral("Done. Waiting for device..."),
                          QStringLiteral("Value received: 5A"), kVersionLine, kSettingsReceived}));
    QCOMPARE(tool.text("lePnValue"), QStringLiteral("5A"));
    verifyLook(bench, true);
}

QTEST_MAIN(TestE2eConnect)
#include "tst_e2e_connect.moc"
