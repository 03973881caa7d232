// Firmware update through the window's file dialog, and every operation of a connected window
// against a device that fails it: silent, answering with an error, answering with a broken CRC,
// or dropping off the bus half-way. Each time the tool must stop where the operator can see what
// happened, with the controls telling the truth about the port, and the next connect must work.
#include "e2efixture.h"
#include "minisigner.h"

using E2e::lines;

namespace {
constexpr uint8_t kAddress = 0x1A;
// Longer than the first response limit of every operation here (1000 ms at most), with room.
constexpr int kNothingFollowsMs = 1300;
const QString kTimeout = QLatin1String(E2e::kGenericTimeout);
const QString kTagTimeout = QStringLiteral("Read/Write timeout - please try again");
const QString kClosed = QStringLiteral("Timeout|No response to bootloader|closed");
const QString kOpen = QStringLiteral("Connected|Version:APP 1.0.0|open");
const QString kUntouched = QStringLiteral("application, 0 restarts, DOOR, tag 1A, flash 0");
const QString kRestarted = QStringLiteral("application, 1 restarts, %1, tag 1A, flash 0");
const QString kUid = QStringLiteral("Tag detected...|Reading UID...|UID: 04A1B2C3D4E5F6|");
const QStringList kOperations = {"settings write", "reboot",   "factory reset",
                                 "firmware",       "tag read", "tag write"};
// The faults in the simulator's keys; a vanishing device no longer answers the request named
// for its operation (firmware: between chunks).
const QMap<QString, QString> kFaultKeys = {
    {"silent", "silent=1"}, {"error answer", "error=any"}, {"broken CRC", "crcrate=1"}};
const QStringList kVanishes = {"late=09:60000", "late=09:60000", "late=09:60000",
                               "dropafter=1",   "late=04:60000", "late=40:60000"};

// What the device holds afterwards, in one line a row can name.
QString deviceSummary(const SimDeviceState &device)
{
    const QByteArray record = device.config.tags.first().readPages(kAddressTagFirstPage, 3);
    const auto tag = readAddressTagRecord(reinterpret_cast<const uint8_t *>(record.constData()),
                                          size_t(record.size()));
    return QStringLiteral("%1, %2 restarts, %3, tag %4, flash %5")
        .arg(device.config.mode == SimMode::Bootloader ? "bootloader" : "application")
        .arg(device.restartCount)
        .arg(shortNameText(device.config.settings.shortName), hexByte(tag.address))
        .arg(device.config.flash.size());
}

void addFaultRow(const char *operation, const char *fault, const QString &log,
                 const QString &outcome = kClosed, const QString &device = kUntouched)
{
    QTest::addRow("%s / %s", operation, fault) << int(kOperations.indexOf(QLatin1String(operation)))
                                               << QString(fault) << log << outcome << device;
}
constexpr int kQuietMs = 300;
// Bootloader start, a slow erase, transfer, a slow verification and the restart.
constexpr int kUpdateTimeoutMs = 12000;
const QString kUntilWriting = QStringLiteral(
    "Waiting for bootloader...|Bootloader detected: Talvik BOOTLOADER 1.2|Erasing flash...|"
    "Flash erased.|Writing firmware...");

QByteArray imageOfSize(int size)
{
    return simImage(QStringLiteral("FW-%1").arg(size), size);
}
} // namespace

class TestE2eFaults : public QObject
{
    Q_OBJECT

    std::unique_ptr<E2eBench> bench;
    int id = -1;
    ToolDriver &tool() { return bench->tool(); }
    bool startDevice(const SimDeviceConfig &config)
    {
        return (bench = E2e::connectedBench(config, &id)) != nullptr;
    }
    QString writeImage(const QByteArray &image)
    {
        QFile file(scratch.filePath(QStringLiteral("fw.bin")));
        if (!file.open(QIODevice::WriteOnly) || file.write(image) != image.size())
            qFatal("cannot write %s", qPrintable(file.fileName()));
        return file.fileName();
    }

    QTemporaryDir scratch;
    QString imagePath;

private slots:
    void initTestCase()
    {
        imagePath = scratch.filePath(QStringLiteral("reader.bin"));
        QFile image(imagePath);
        QVERIFY(image.open(QIODevice::WriteOnly));
        QVERIFY(image.write(simImage(QStringLiteral("APP 2.0.0"), 600)));
    }

    void faultMatrix_data()
    {
        // log: every line from the operator's click on
        // outcome: status bar and port
        // device: the failing device afterwards
        addColumns<int, QString, QString, QString, QString>(
            {"operation", "fault", "log", "outcome", "device"});

        const QString writing = QStringLiteral("Writing new device settings...|");
        const QString noAnswer = QStringLiteral("No response from the hardware at address 0x1A");
        addFaultRow("settings write", "silent", writing + kTimeout);
        addFaultRow("settings write", "error answer",
                    writing + "Error received to command 0x0B - err no :0x00EE", kOpen);
        // The device took the settings and restarted; only its answer was lost.
        addFaultRow("settings write", "broken CRC", writing + kTimeout, kClosed,
                    kRestarted.arg("NEW"));
        addFaultRow("settings write", "vanishes",
                    writing + "Settings writed. Device is rebooting...|Reconnecting...|" + noAnswer,
                    "Connection timeout|" + noAnswer + "|closed", kRestarted.arg("NEW"));

        const QString waiting = QStringLiteral("|Done. Waiting for device...");
        for (const auto &[operation, first, code, name] :
             {std::tuple{"reboot", "Rebooting device...", "08", "DOOR"},
              {"factory reset", "Resetting to factory defaults...", "0D", "FACT"}}) {
            // No answer: the timeout of the connect's settings read closes the port.
            addFaultRow(operation, "silent", first + ('|' + kTimeout));
            addFaultRow(
                operation, "error answer",
                first +
                    QStringLiteral("|Error received to command 0x%1 - err no :0x00EE").arg(code),
                kOpen);
            addFaultRow(operation, "broken CRC", first + ('|' + kTimeout), kClosed,
                        kRestarted.arg(name));
            addFaultRow(operation, "vanishes", first + waiting + '|' + kTimeout, kClosed,
                        kRestarted.arg(name));
        }

        const QString file = QStringLiteral("Firmware file %IMAGE%|");
        addFaultRow("firmware", "silent", file + kTimeout);
        addFaultRow("firmware", "error answer",
                    file + "Error received to command 0xF0 - err no :0x00EE", kOpen);
        // The device went into its bootloader although the tool never heard it say so.
        addFaultRow("firmware", "broken CRC", file + kTimeout, kClosed,
                    "bootloader, 1 restarts, DOOR, tag 1A, flash 0");
        addFaultRow("firmware", "vanishes",
                    file +
                        "Waiting for bootloader...|Bootloader detected: Talvik BOOTLOADER 1.2|"
                        "Erasing flash...|Flash erased.|Writing firmware...|" +
                        kTimeout,
                    kClosed, "bootloader, 1 restarts, DOOR, tag 1A, flash 256");

        // Tag timeouts only log: the port stays open and the connection stands.
        for (const char *operation : {"tag read", "tag write"}) {
            addFaultRow(operation, "silent", kTagTimeout, kOpen);
            addFaultRow(operation, "error answer",
                        "Error received to command 0x02 - err no :0x00EE", kOpen);
        }
        addFaultRow("tag read", "vanishes", kUid + kTagTimeout, kOpen);
        // Written but never read back: the tag holds the new address unchecked.
        addFaultRow("tag write", "vanishes",
                    kUid + "Tag activated...|Writing address tag...|Write ACK|Reading tag info|" +
                        kTagTimeout,
                    kOpen, "application, 0 restarts, DOOR, tag 2B, flash 0");
    }

    void faultMatrix()
    {
        QFETCH(int, operation);
        QFETCH(QString, fault);
        QFETCH(QString, log);
        QFETCH(QString, outcome);
        QFETCH(QString, device);

        SimDeviceConfig config = E2e::device("addr=1A,short=DOOR,addrtag=04A1B2C3D4E5F6:1A:DOOR:1");
        config.factorySettings = config.settings;
        config.factorySettings->shortName = shortNameBytes(QStringLiteral("FACT"));
        int id = -1;
        const auto bench = E2e::connectedBench(config, &id);
        QVERIFY(bench);
        ToolDriver &tool = bench->tool();
        bench->bus().setDeviceFaults(
            id, E2e::faults(kFaultKeys.value(fault, kVanishes.value(operation))));

        const QStringList buttons = {"btSaveSettings",  "btRestartDevice",  "btResetToDefaults",
                                     "btFlashFirmware", "btReadAddressTag", "btWriteAddressTag"};
        tool.setText("leDeviceShortName", "NEW");
        tool.setText("leTagDeviceAddress", "2B");
        tool.answerNextMessageBox(QMessageBox::Ok);
        tool.answerNextFileDialog(imagePath);
        QVERIFY(tool.click(buttons.at(operation)));
        const QStringList expected = lines(log.replace("%IMAGE%", imagePath));
        if (!ToolDriver::waitUntil([&] { return tool.logLines() == expected; }))
            QCOMPARE(tool.logLines(), expected);
        // A stopped exchange must not come back: no second timeout, no step after an error.
        if (fault == "error answer" || outcome == kOpen)
            QVERIFY(tool.logStaysQuiet(kNothingFollowsMs));
        const bool open = outcome.endsWith("|open");
        QCOMPARE(tool.statusBarText() + (open ? "|open" : "|closed"), outcome);
        QCOMPARE(E2e::connectionLook(*bench),
                 QLatin1String(open ? E2e::kConnectedLook : E2e::kDisconnectedLook));
        QCOMPARE(deviceSummary(bench->bus().device(id)), device);
        QCOMPARE(E2e::wire(bench->bus()).contains("FF FF 02"), fault == "broken CRC");

        // The operator power-cycles the device: it comes back as it now is, without its fault.
        SimDeviceConfig revived = bench->bus().device(id).config;
        revived.faults = SimFaults();
        QVERIFY(bench->bus().removeDevice(id));
        bench->addDevice(revived);
        if (open)
            QVERIFY(tool.click("btSerialConnect"));
        QVERIFY(bench->connectTo(kAddress));
        QVERIFY(tool.statusBarText().startsWith("Connected|Version:"));
    }
    void cleanup() { bench.reset(); }

    void flashImage_data()
    {
        addColumns<int, QString, bool>({"size", "chunks", "slowDevice"});
        addRow("1 byte", 1, "F2:1", false);
        addRow("256 bytes", 256, "F2:256", false);
        addRow("600 bytes, slow erase and verification", 600, "F2:256|F2:256|F2:88", true);
        addRow("65537 bytes", 65537, QString("F2:256|").repeated(256) + "F2:1", false);
    }

    void flashImage()
    {
        QFETCH(int, size);
        QFETCH(QString, chunks);
        QFETCH(bool, slowDevice);

        // A slow erase is inside its own limit but past the chunk limit; so is the verification.
        QVERIFY(startDevice(
            E2e::device(QStringLiteral("addr=1A,acceptany=%1,").arg(size == 1) +
                        (slowDevice ? QStringLiteral("erase=1500,late=F3:1200") : QString()))));
        const QByteArray image = imageOfSize(size);
        const QString version = simImageVersion(image);
        const QString path = writeImage(image);
        // Each progress value over its maximum, and what infoLabel showed while writing.
        QStringList progress;
        QObject::connect(tool().progressBar(), &QProgressBar::valueChanged, this, [&](int value) {
            progress << QStringLiteral("%1/%2 %3")
                            .arg(value)
                            .arg(tool().progressBar()->maximum())
                            .arg(tool().statusBarText());
        });
        tool().answerNextFileDialog(path);
        QVERIFY(tool().click("btFlashFirmware"));
        QVERIFY(tool().waitForLog(E2e::kSettingsReceived, kUpdateTimeoutMs));
        tool().progressBar()->disconnect(this);

        QCOMPARE(tool().logLines(),
                 lines("Firmware file " + path + '|' + kUntilWriting +
                       "|Firmware flashed.|Done. Waiting for device...|Firmware version is: " +
                       version + '|' + E2e::kSettingsReceived));
        QCOMPARE(tool().statusBarText(), "Connected|Version:" + version);
        QCOMPARE(E2e::wire(bench->bus()), lines("F0|09|F1|" + chunks + "|F3|09|0A|0C"));
        QStringList expected;
        int sent = 0;
        for (const QString &chunk : lines(chunks))
            expected << QStringLiteral("%1/%2 Connected|Version:Talvik BOOTLOADER 1.2")
                            .arg(sent += chunk.mid(3).toInt())
                            .arg(size);
        QCOMPARE(
            progress,
            expected << QStringLiteral("0/%1 Connected|Version:Talvik BOOTLOADER 1.2").arg(size));
        QVERIFY(bench->bus().device(id).config.flash == image);
    }

    void imageRefusedBeforeDeviceIsTouched_data()
    {
        addColumns<QString, QString>({"file", "message"});
        addRow("dialog cancelled", "", "Firmware not selected!");
        addRow("empty file", "empty", "Firmware file is empty - nothing to flash.");
        // Opens, but its first read fails: nothing is mapped at offset 0.
        addRow("read fails", "/proc/self/mem", "Unable to open firmware file!");
    }

    void imageRefusedBeforeDeviceIsTouched()
    {
        QFETCH(QString, file);
        QFETCH(QString, message);

        QVERIFY(startDevice(E2e::device("addr=1A")));
        QString path = file;
        if (file == "empty")
            path = writeImage(QByteArray());
        tool().answerNextFileDialog(path);
        QVERIFY(tool().click("btFlashFirmware"));
        QCOMPARE(tool().logLines(),
                 lines((path.isEmpty() ? "" : "Firmware file " + path + '|') + message));
        QVERIFY(E2e::busStaysQuiet(bench->bus(), kQuietMs));
        QCOMPARE(E2e::connectionLook(*bench), QLatin1String(E2e::kConnectedLook));
    }

    // A maker's key in the user's folder: an image changed after signing never reaches the
    // device, the signed one is flashed.
    void onlySignedImageFlashed()
    {
        const QByteArray config = qgetenv("XDG_CONFIG_HOME");
        const auto restore = qScopeGuard([&] { qputenv("XDG_CONFIG_HOME", config); });
        qputenv("XDG_CONFIG_HOME", scratch.path().toUtf8());
        const QString keys = scratch.filePath("talvik-ota-tool/trusted-keys");
        QVERIFY(QDir().mkpath(keys) && Minisigner::makeKeyPair(scratch.path(), "maker") &&
                QFile::rename(scratch.filePath("maker.pub"), keys + "/maker.pub") &&
                QFile::setPermissions(keys + "/maker.pub", QFile::ReadOwner) &&
                QFile::setPermissions(keys, QFileDevice::Permissions(0x7555)));
        QVERIFY(startDevice(E2e::device("addr=1A")));
        const QByteArray image = imageOfSize(600);
        const QString path = writeImage(image);
        QVERIFY(Minisigner::sign(scratch.filePath("maker.key"), path, "version:FW-600"));
        writeImage(image + '!');

        tool().answerNextFileDialog(path);
        QVERIFY(tool().click("btFlashFirmware"));
        QCOMPARE(tool().logLines(),
                 lines("Firmware file " + path + "|Firmware refused: the image does not match " +
                       "its signature " + path + ".minisig: it was changed, or the signature " +
                       "is another image's"));
        QVERIFY(E2e::busStaysQuiet(bench->bus(), kQuietMs));
        QCOMPARE(E2e::connectionLook(*bench), QLatin1String(E2e::kConnectedLook));

        tool().clearLog();
        writeImage(image);
        tool().answerNextFileDialog(path);
        QVERIFY(tool().click("btFlashFirmware"));
        QVERIFY(tool().waitForLog(E2e::kSettingsReceived, kUpdateTimeoutMs));
        QVERIFY2(QRegularExpression("^Firmware signed by key (\\w+) \\(minisign public key \\1\\), "
                                    "trusted comment: version:FW-600$")
                     .match(tool().logLines().value(1))
                     .hasMatch(),
                 qPrintable(tool().logLines().join('\n')));
        QVERIFY(bench->bus().device(id).config.flash == image);
    }
};

QTEST_MAIN(TestE2eFaults)
#include "tst_e2e_faults.moc"
