// Every operation against a device that fails it: silent, answering with an error, answering
// with a broken CRC, or dropping off the bus half-way. Each time the tool must stop where the
// operator can see what happened, with the controls telling the truth about the port, and the
// next connect must work.

#include "e2efixture.h"

#include <QComboBox>
#include <QProgressBar>
#include <QTemporaryDir>
#include <QtTest>

namespace {

using E2e::kGenericTimeout;
using E2e::kWaitingForDevice;

enum class Operation {
    Scan,
    Connect,
    WriteSettings,
    Reboot,
    FactoryReset,
    Firmware,
    ReadTag,
    WriteTag
};
enum class Fault { Silent, ErrorAnswer, CorruptCrc, Vanishes };

constexpr uint8_t kDeviceAddress = 0x1A;
// Scan: the failing device sits behind two empty addresses; the vanishing one behind a good one.
constexpr uint8_t kScanDeviceAddress = 0x02;
constexpr uint8_t kScanFoundAddress = 0x01;
constexpr uint8_t kScanVanishingAddress = 0x03;
// Probing this address shows that the scan went past every device: cancel there.
constexpr uint8_t kScanCancelAddress = 0x05;
constexpr uint16_t kInjectedError = 0x00EE;
// A device whose answer is this late has left the bus as far as the tool can tell.
constexpr int kGoneMs = 60000;
// Time for a timer the tool should have stopped to show that it still runs.
constexpr int kSettleMarginMs = 200;
constexpr int kFirmwareBodySize = 600;

const QString kDeviceName = QStringLiteral("Door reader");
const QString kVanishingName = QStringLiteral("Gate reader");
const QString kVersion = QStringLiteral("APP 1.0.0");
const QString kBootloaderVersion = QStringLiteral("Talvik BOOTLOADER 1.2");
const QString kTagUid = QStringLiteral("04A1B2C3D4E5F6");
const QString kImagePlaceholder = QStringLiteral("%IMAGE%");

const QString kTagTimeout = QStringLiteral("Read/Write timeout - please try again");
const QString kScanStart = QStringLiteral("Searching for devices. Please wait...");
const QString kScanAborted = QStringLiteral("Searching aborted.");
const QString kConnected = QStringLiteral("Connected");
const QString kVersionInfo = QStringLiteral("Version:APP 1.0.0");
const QString kTimeoutStatus = QStringLiteral("Timeout");
const QString kBootloaderInfo = QStringLiteral("No response to bootloader");

QString errorLine(uint8_t command)
{
    return QStringLiteral("Error received to command 0x%1 - err no :0x%2")
        .arg(hexByte(command),
             QStringLiteral("%1").arg(kInjectedError, 4, 16, QLatin1Char('0')).toUpper());
}

SimDeviceConfig deviceAt(uint8_t address, const QString &name)
{
    SimDeviceConfig config = SimDeviceConfig::at(address, name);
    config.applicationVersion = kVersion;
    config.settings.shortName = shortNameBytes(QStringLiteral("DOOR"));
    DeviceSettings factory = config.settings;
    factory.shortName = shortNameBytes(QStringLiteral("FACT"));
    config.factorySettings = factory;
    config.tags = {SimTag::create(QByteArray::fromHex(kTagUid.toLatin1()))
                       .withAddressTag(kDeviceAddress, QStringLiteral("DOOR"), true)};
    return config;
}

// What the device holds afterwards, in one line a row can name.
QString deviceSummary(const SimDeviceState &device)
{
    QString tag = QStringLiteral("none");
    if (!device.tags.isEmpty()) {
        const QByteArray record =
            device.tags.first().readPages(kAddressTagFirstPage, kAddressTagPageCount);
        tag = hexByte(readAddressTagRecord(reinterpret_cast<const uint8_t *>(record.constData()),
                                           static_cast<size_t>(record.size()))
                          .address);
    }
    return QStringLiteral("%1, %2 restarts, name %3, tag %4, flash %5")
        .arg(device.mode == SimMode::Bootloader ? QStringLiteral("bootloader")
                                                : QStringLiteral("application"))
        .arg(device.restartCount)
        .arg(shortNameText(device.settings.shortName), tag)
        .arg(device.flash.size());
}

const QString kUntouched = QStringLiteral("application, 0 restarts, name DOOR, tag 1A, flash 0");

// The longest the tool waits for the first answer of the operation.
int responseLimitMs(Operation operation)
{
    using namespace ExchangeTiming;
    switch (operation) {
    case Operation::Scan:
        return kScanProbeTimeoutMs;
    case Operation::Connect:
        return kConnectTimeoutMs;
    case Operation::WriteSettings:
        return kWriteSettingsTimeoutMs;
    case Operation::Reboot:
    case Operation::FactoryReset:
        return kRestartRequestTimeoutMs;
    case Operation::Firmware:
        return kEnterBootloaderTimeoutMs;
    case Operation::ReadTag:
        return kReadTagTimeoutMs;
    case Operation::WriteTag:
        return kWriteTagTimeoutMs;
    }
    return 0;
}

// The request the device no longer answers when it drops off half-way.
int vanishingCommand(Operation operation)
{
    switch (operation) {
    case Operation::Connect:
        return CmdGetSettings;
    case Operation::WriteSettings:
    case Operation::Reboot:
    case Operation::FactoryReset:
        return CmdGetVersion; // after its restart
    case Operation::ReadTag:
        return CmdActivateTag;
    case Operation::WriteTag:
        return CmdReadPage; // the tag is written, not yet checked
    case Operation::Scan:
    case Operation::Firmware:
        break; // removed from the bus / drops out between chunks
    }
    return kNoCommand;
}

SimFaults faultsFor(Operation operation, Fault fault)
{
    SimFaults faults;
    switch (fault) {
    case Fault::Silent:
        faults.silent = true;
        break;
    case Fault::ErrorAnswer:
        faults.errorCommand = kAnyCommand;
        faults.errorNumber = kInjectedError;
        break;
    case Fault::CorruptCrc:
        faults.corruptCrcRate = 1.0;
        break;
    case Fault::Vanishes:
        if (operation == Operation::Firmware) {
            faults.dropAfterChunks = 1;
        } else {
            faults.lateCommand = vanishingCommand(operation);
            faults.lateAnswerMs = kGoneMs;
        }
        break;
    }
    return faults;
}

bool sawRequestTo(const SimBusThread &bus, uint8_t address)
{
    const QVector<SimTraceEntry> requests = E2e::requests(bus.trace());
    return std::any_of(requests.cbegin(), requests.cend(), [address](const SimTraceEntry &request) {
        return request.address == address;
    });
}

int crcNoticesTo(const SimBusThread &bus, uint8_t address)
{
    const QByteArray notice(reinterpret_cast<const char *>(kCrcErrorNoticePayload),
                            sizeof(kCrcErrorNoticePayload));
    const QVector<SimTraceEntry> requests = E2e::requests(bus.trace());
    return static_cast<int>(
        std::count_if(requests.cbegin(), requests.cend(), [&](const SimTraceEntry &request) {
            return request.address == address && request.payload == notice;
        }));
}

} // namespace

class TestE2eFaults : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void faultMatrix_data();
    void faultMatrix();

private:
    static void addRow(Operation operation, Fault fault, const QStringList &log,
                       const QString &status, const QString &info, bool portOpen,
                       const QString &device);
    void startOperation(E2eBench &bench, Operation operation);
    void runScan(E2eBench &bench, Fault fault, int vanishingId);
    static void verifyLookMatchesPort(E2eBench &bench, bool portOpen);
    static void connectAgain(E2eBench &bench, uint8_t address);

    QTemporaryDir scratch;
    QString imagePath;
};

void TestE2eFaults::initTestCase()
{
    QVERIFY(scratch.isValid());
    imagePath = scratch.filePath(QStringLiteral("reader.bin"));
    QFile image(imagePath);
    QVERIFY(image.open(QIODevice::WriteOnly));
    const QByteArray body = QByteArray("VER:APP 2.0.0 ").leftJustified(kFirmwareBodySize, '\x5A');
    QVERIFY(image.write(simSealImage(body)) > 0);
}

void TestE2eFaults::addRow(Operation operation, Fault fault, const QStringList &log,
                           const QString &status, const QString &info, bool portOpen,
                           const QString &device)
{
    static const QStringList operations = {"scan",     "connect",       "settings write",
                                           "reboot",   "factory reset", "firmware",
                                           "tag read", "tag write"};
    static const QStringList faults = {"silent", "error answer", "broken CRC", "vanishes"};
    const QString name = operations.at(static_cast<int>(operation)) + QStringLiteral(" / ") +
                         faults.at(static_cast<int>(fault));
    QTest::newRow(qPrintable(name)) << static_cast<int>(operation) << static_cast<int>(fault) << log
                                    << status << info << portOpen << device;
}

void TestE2eFaults::faultMatrix_data()
{
    QTest::addColumn<int>("operation");
    QTest::addColumn<int>("fault");
    QTest::addColumn<QStringList>("log"); // every line from the operator's first click on
    QTest::addColumn<QString>("status");
    QTest::addColumn<QString>("info");
    QTest::addColumn<bool>("portOpen");
    QTest::addColumn<QString>("device"); // the failing device afterwards

    using O = Operation;
    using F = Fault;

    // The scan is cancelled once it has probed past the devices; nothing is listed that failed.
    addRow(O::Scan, F::Silent, {kScanStart, kScanAborted}, {}, {}, false, kUntouched);
    addRow(O::Scan, F::ErrorAnswer, {kScanStart, errorLine(CmdGetDeviceName), kScanAborted}, {}, {},
           false, kUntouched);
    addRow(O::Scan, F::CorruptCrc, {kScanStart, kScanAborted}, {}, {}, false, kUntouched);
    addRow(O::Scan, F::Vanishes,
           {kScanStart, QStringLiteral("Device found: 01 - ") + kDeviceName, kScanAborted}, {}, {},
           false, kUntouched);

    const QString noResponse = E2e::noResponseLine(kDeviceAddress);
    addRow(O::Connect, F::Silent, {noResponse}, QStringLiteral("Connection timeout"), noResponse,
           false, kUntouched);
    // Stopped with the port open: the window shows a connection without any device data.
    addRow(O::Connect, F::ErrorAnswer, {errorLine(CmdGetVersion)}, kConnected, {}, true,
           kUntouched);
    addRow(O::Connect, F::CorruptCrc, {noResponse}, QStringLiteral("Connection timeout"),
           noResponse, false, kUntouched);
    addRow(O::Connect, F::Vanishes, {E2e::versionLine(kVersion), kGenericTimeout}, kTimeoutStatus,
           kBootloaderInfo, false, kUntouched);

    const QString writing = QStringLiteral("Writing new device settings...");
    addRow(O::WriteSettings, F::Silent, {writing, kGenericTimeout}, kTimeoutStatus, kBootloaderInfo,
           false, kUntouched);
    addRow(O::WriteSettings, F::ErrorAnswer, {writing, errorLine(CmdSetSettings)}, kConnected,
           kVersionInfo, true, kUntouched);
    // The device took the settings and restarted; only its answer was lost.
    addRow(O::WriteSettings, F::CorruptCrc, {writing, kGenericTimeout}, kTimeoutStatus,
           kBootloaderInfo, false,
           QStringLiteral("application, 1 restarts, name NEW, tag 1A, flash 0"));
    addRow(O::WriteSettings, F::Vanishes,
           {writing, QStringLiteral("Settings writed. Device is rebooting..."),
            QStringLiteral("Reconnecting..."), noResponse},
           QStringLiteral("Connection timeout"), noResponse, false,
           QStringLiteral("application, 1 restarts, name NEW, tag 1A, flash 0"));

    const QString rebooting = QStringLiteral("Rebooting device...");
    // No answer to the reboot: the timeout of the connect's settings read closes the port.
    addRow(O::Reboot, F::Silent, {rebooting, kGenericTimeout}, kTimeoutStatus, kBootloaderInfo,
           false, kUntouched);
    addRow(O::Reboot, F::ErrorAnswer, {rebooting, errorLine(CmdReboot)}, kConnected, kVersionInfo,
           true, kUntouched);
    addRow(O::Reboot, F::CorruptCrc, {rebooting, kGenericTimeout}, kTimeoutStatus, kBootloaderInfo,
           false, QStringLiteral("application, 1 restarts, name DOOR, tag 1A, flash 0"));
    addRow(O::Reboot, F::Vanishes, {rebooting, kWaitingForDevice, kGenericTimeout}, kTimeoutStatus,
           kBootloaderInfo, false,
           QStringLiteral("application, 1 restarts, name DOOR, tag 1A, flash 0"));

    const QString resetting = QStringLiteral("Resetting to factory defaults...");
    addRow(O::FactoryReset, F::Silent, {resetting, kGenericTimeout}, kTimeoutStatus,
           kBootloaderInfo, false, kUntouched);
    addRow(O::FactoryReset, F::ErrorAnswer, {resetting, errorLine(CmdResetToDefaults)}, kConnected,
           kVersionInfo, true, kUntouched);
    addRow(O::FactoryReset, F::CorruptCrc, {resetting, kGenericTimeout}, kTimeoutStatus,
           kBootloaderInfo, false,
           QStringLiteral("application, 1 restarts, name FACT, tag 1A, flash 0"));
    addRow(O::FactoryReset, F::Vanishes, {resetting, kWaitingForDevice, kGenericTimeout},
           kTimeoutStatus, kBootloaderInfo, false,
           QStringLiteral("application, 1 restarts, name FACT, tag 1A, flash 0"));

    const QString file = QStringLiteral("Firmware file ") + kImagePlaceholder;
    addRow(O::Firmware, F::Silent, {file, kGenericTimeout}, kTimeoutStatus, kBootloaderInfo, false,
           kUntouched);
    addRow(O::Firmware, F::ErrorAnswer, {file, errorLine(CmdEnterBootloader)}, kConnected,
           kVersionInfo, true, kUntouched);
    // The device went into its bootloader although the tool never heard it say so.
    addRow(O::Firmware, F::CorruptCrc, {file, kGenericTimeout}, kTimeoutStatus, kBootloaderInfo,
           false, QStringLiteral("bootloader, 1 restarts, name DOOR, tag 1A, flash 0"));
    addRow(O::Firmware, F::Vanishes,
           {file, QStringLiteral("Waiting for bootloader..."),
            QStringLiteral("Bootloader detected: ") + kBootloaderVersion,
            QStringLiteral("Erasing flash..."), QStringLiteral("Flash erased."),
            QStringLiteral("Writing firmware..."), kGenericTimeout},
           kTimeoutStatus, kBootloaderInfo, false,
           QStringLiteral("bootloader, 1 restarts, name DOOR, tag 1A, flash 256"));

    // Tag timeouts only log: the port stays open and the connection stands.
    const QStringList uidRead = {QStringLiteral("Tag detected..."),
                                 QStringLiteral("Reading UID..."),
                                 QStringLiteral("UID: ") + kTagUid};
    addRow(O::ReadTag, F::Silent, {kTagTimeout}, kConnected, kVersionInfo, true, kUntouched);
    addRow(O::ReadTag, F::ErrorAnswer, {errorLine(CmdGetTagCount)}, kConnected, kVersionInfo, true,
           kUntouched);
    addRow(O::ReadTag, F::CorruptCrc, {kTagTimeout}, kConnected, kVersionInfo, true, kUntouched);
    addRow(O::ReadTag, F::Vanishes, uidRead + QStringList{kTagTimeout}, kConnected, kVersionInfo,
           true, kUntouched);

    addRow(O::WriteTag, F::Silent, {kTagTimeout}, kConnected, kVersionInfo, true, kUntouched);
    addRow(O::WriteTag, F::ErrorAnswer, {errorLine(CmdGetTagCount)}, kConnected, kVersionInfo, true,
           kUntouched);
    addRow(O::WriteTag, F::CorruptCrc, {kTagTimeout}, kConnected, kVersionInfo, true, kUntouched);
    // Written but never read back: the tag holds the new address unchecked.
    addRow(O::WriteTag, F::Vanishes,
           uidRead + QStringList{QStringLiteral("Tag activated..."),
                                 QStringLiteral("Writing address tag..."),
                                 QStringLiteral("Write ACK"), QStringLiteral("Reading tag info"),
                                 kTagTimeout},
           kConnected, kVersionInfo, true,
           QStringLiteral("application, 0 restarts, name DOOR, tag 2B, flash 0"));
}

void TestE2eFaults::faultMatrix()
{
    QFETCH(int, operation);
    QFETCH(int, fault);
    QFETCH(QStringList, log);
    QFETCH(QString, status);
    QFETCH(QString, info);
    QFETCH(bool, portOpen);
    QFETCH(QString, device);
    const auto op = static_cast<Operation>(operation);
    const auto failure = static_cast<Fault>(fault);
    log.replaceInStrings(kImagePlaceholder, imagePath);

    E2eBench bench(E2e::fastBus());
    QVERIFY2(bench.isReady(), qPrintable(bench.error()));
    ToolDriver &tool = bench.tool();
    SimBusThread &bus = bench.bus();

    const bool scan = op == Operation::Scan;
    const bool scanVanishes = scan && failure == Fault::Vanishes;
    const uint8_t address =
        !scan ? kDeviceAddress : (scanVanishes ? kScanFoundAddress : kScanDeviceAddress);
    const int deviceId = bus.addDevice(deviceAt(address, kDeviceName));
    const int vanishingId =
        scanVanishes ? bus.addDevice(deviceAt(kScanVanishingAddress, kVanishingName)) : -1;
    if (!scan && op != Operation::Connect)
        QVERIFY(bench.connectTo(kDeviceAddress));
    if (!scanVanishes)
        bus.setDeviceFaults(deviceId, faultsFor(op, failure));
    tool.clearLog();

    QString tagAddressTyped;
    if (scan) {
        runScan(bench, failure, vanishingId);
        if (QTest::currentTestFailed())
            return;
    } else {
        startOperation(bench, op);
        if (QTest::currentTestFailed())
            return;
        tagAddressTyped = tool.text("leTagDeviceAddress");
        if (!ToolDriver::waitUntil([&] { return tool.logLines() == log; }))
            QCOMPARE(tool.logLines(), log);
        if (failure == Fault::ErrorAnswer) {
            // The error stopped the timer: nothing may follow once it would have run out.
            QTest::qWait(responseLimitMs(op) + kSettleMarginMs);
        }
    }
    QCOMPARE(tool.logLines(), log);
    QCOMPARE(tool.statusText(), status);
    QCOMPARE(tool.infoText(), info);
    verifyLookMatchesPort(bench, portOpen);
    QCOMPARE(deviceSummary(bus.device(deviceId)), device);
    if (op == Operation::ReadTag || op == Operation::WriteTag)
        QCOMPARE(tool.text("leTagDeviceAddress"), tagAddressTyped);
    if (failure == Fault::CorruptCrc)
        QVERIFY(crcNoticesTo(bus, address) > 0);

    // The operator power-cycles the device: it comes back as it now is, without its fault.
    if (scanVanishes) {
        bus.addDevice(deviceAt(kScanVanishingAddress, kVanishingName));
        connectAgain(bench, kScanVanishingAddress);
    } else {
        SimDeviceConfig revived = bus.device(deviceId);
        revived.faults = SimFaults();
        QVERIFY(bus.removeDevice(deviceId));
        bus.addDevice(revived);
        connectAgain(bench, address);
    }
}

void TestE2eFaults::startOperation(E2eBench &bench, Operation operation)
{
    ToolDriver &tool = bench.tool();
    switch (operation) {
    case Operation::Connect:
        QVERIFY(tool.setText("leTargetAddress", hexByte(kDeviceAddress)));
        QVERIFY(tool.click("btSerialConnect"));
        break;
    case Operation::WriteSettings:
        QVERIFY(tool.setText("leDeviceShortName", QStringLiteral("NEW")));
        QVERIFY(tool.click("btSaveSettings"));
        break;
    case Operation::Reboot:
        QVERIFY(tool.click("btRestartDevice"));
        break;
    case Operation::FactoryReset:
        tool.answerNextMessageBox(QMessageBox::Ok);
        QVERIFY(tool.click("btResetToDefaults"));
        break;
    case Operation::Firmware:
        tool.answerNextFileDialog(imagePath);
        QVERIFY(tool.click("btFlashFirmware"));
        break;
    case Operation::ReadTag:
        QVERIFY(tool.setText("leTagDeviceAddress", QStringLiteral("77")));
        QVERIFY(tool.click("btReadAddressTag"));
        break;
    case Operation::WriteTag:
        QVERIFY(tool.setText("leTagDeviceAddress", QStringLiteral("2B")));
        QVERIFY(tool.setText("leTagShortName", QStringLiteral("GATE")));
        QVERIFY(tool.click("btWriteAddressTag"));
        break;
    case Operation::Scan:
        QFAIL("the scan runs on its own");
    }
}

void TestE2eFaults::runScan(E2eBench &bench, Fault fault, int vanishingId)
{
    ToolDriver &tool = bench.tool();
    SimBusThread &bus = bench.bus();
    QVERIFY(tool.click("btScanRs485"));
    if (fault == Fault::ErrorAnswer) {
        QVERIFY(tool.waitForLog(errorLine(CmdGetDeviceName)));
        // The scan stands still at the failing address until the operator cancels it.
        QTest::qWait(responseLimitMs(Operation::Scan) + kSettleMarginMs);
        QVERIFY(!sawRequestTo(bus, kScanDeviceAddress + 1));
        QCOMPARE(tool.progressBar()->value(), static_cast<int>(kScanDeviceAddress));
    } else {
        if (fault == Fault::Vanishes) {
            QVERIFY(tool.waitForLog(QStringLiteral("Device found: 01 - ") + kDeviceName));
            // Gone before its address comes up, two probes later.
            QVERIFY(bus.removeDevice(vanishingId));
        }
        QVERIFY(ToolDriver::waitUntil([&] { return sawRequestTo(bus, kScanCancelAddress); }));
    }
    // While scanning the port is open behind the disconnected look: the scan owns the controls.
    QVERIFY(E2e::portHeldExclusively(bus.portPath()));
    QCOMPARE(tool.text("btSerialConnect"), QStringLiteral("Connect"));
    QVERIFY(!tool.isEnabled("btSerialConnect"));
    QCOMPARE(tool.text("btScanRs485"), QStringLiteral("Cancel"));

    QVERIFY(tool.click("btScanRs485"));
    QCOMPARE(tool.text("btScanRs485"), QStringLiteral("Scan"));
    QVERIFY(tool.isEnabled("btSerialConnect"));
    QCOMPARE(tool.progressBar()->value(), 0);
    QStringList listed;
    for (const QString &item : E2e::itemTexts(tool.widget<QComboBox>("cbDetectedDevices")))
        listed << QStringLiteral("Device found: ") + item;
    const QStringList logged = tool.logLines().filter(QStringLiteral("Device found: "));
    QCOMPARE(listed, logged);
}

void TestE2eFaults::verifyLookMatchesPort(E2eBench &bench, bool portOpen)
{
    QCOMPARE(E2e::connectionLook(bench),
             QLatin1String(portOpen ? E2e::kConnectedLook : E2e::kDisconnectedLook));
}

void TestE2eFaults::connectAgain(E2eBench &bench, uint8_t address)
{
    ToolDriver &tool = bench.tool();
    if (E2e::portHeldExclusively(bench.bus().portPath())) {
        QVERIFY(tool.click("btSerialConnect"));
        verifyLookMatchesPort(bench, false);
        if (QTest::currentTestFailed())
            return;
    }
    tool.clearLog();
    QVERIFY(bench.connectTo(address));
    verifyLookMatchesPort(bench, true);
    QVERIFY2(tool.infoText().startsWith(QStringLiteral("Version:")), qPrintable(tool.infoText()));
    QCOMPARE(tool.statusText(), kConnected);
}

QTEST_MAIN(TestE2eFaults)
#include "tst_e2e_faults.moc"
