// Firmware update through the window's file dialog, and every operation of a connected window
// against a device that fails it: silent, answering with an error, answering with a broken CRC,
// or dropping off the bus half-way. Each time the tool must stop where the operator can see what
// happened, with the controls telling the truth about the port, and the next connect must work.
#include "e2efixture.h"
#include "minisigner.h"
#include "simscenario.h"

using E2e::lines;

namespace {
constexpr uint8_t kAddress = 0x1A;
// Longer than the first response limit of every operation here (1000 ms at most), with room.
constexpr int kNothingFollowsMs = 1300;
// Bootloader start, a slow erase, transfer, a slow verification and the restart.
constexpr int kUpdateTimeoutMs = 12000;
const QString kTimeout = QLatin1String(E2e::kGenericTimeout);
const QString kTagTimeout = QStringLiteral("Read/Write timeout - please try again");
// Status bar and port afterwards.
const QString kClosed = QStringLiteral("Timeout|No response to bootloader|closed");
const QString kOpen = QStringLiteral("Connected|Version:APP 1.0.0|open");
const QString kInBootloader = QStringLiteral("Connected|Version:Talvik BOOTLOADER 1.2|open");
// The failing device afterwards.
const QString kUntouched = QStringLiteral("application, 0 restarts, DOOR, tag 1A, flash 0");
const QString kRestarted = QStringLiteral("application, 1 restarts, %1, tag 1A, flash 0");
const QString kFlashed = QStringLiteral("bootloader, 1 restarts, DOOR, tag 1A, flash %1");
const QString kUid = QStringLiteral("Tag detected...|Reading UID...|UID: 04A1B2C3D4E5F6|");
const QString kUntilWriting = QStringLiteral(
    "Waiting for bootloader...|Bootloader detected: Talvik BOOTLOADER 1.2|Erasing flash...|"
    "Flash erased.|Writing firmware...");
const QMap<QString, QString> kButtons = {
    {"settings write", "btSaveSettings"},   {"reboot", "btRestartDevice"},
    {"factory reset", "btResetToDefaults"}, {"firmware", "btFlashFirmware"},
    {"tag read", "btReadAddressTag"},       {"tag write", "btWriteAddressTag"}};
// A device that no longer answers the version request (after a restart), the tag activation,
// the page read, or any request from the first chunk on.
const char kVanishes[] = "late=09:60000";

// What the device holds afterwards, in one line a row can name.
QString deviceSummary(const SimDeviceState &device)
{
    // The record's address byte: behind its header, CRC and four name bytes.
    const char tagAddress = device.config.tags.first().pages.at(kAddressTagFirstPage * 4 + 8);
    return QStringLiteral("%1, %2 restarts, %3, tag %4, flash %5")
        .arg(device.config.mode == SimMode::Bootloader ? "bootloader" : "application")
        .arg(device.restartCount)
        .arg(shortNameText(device.config.settings.shortName), hexByte(uint8_t(tagAddress)))
        .arg(device.config.flash.size());
}

void addFaultRow(const char *operation, const char *fault, const QString &log,
                 const QString &outcome = kClosed, const QString &device = kUntouched)
{
    QTest::addRow("%s / %s", operation, fault)
        << QString(operation) << QString(fault) << log << outcome << device;
}
} // namespace

class TestE2eFaults : public QObject
{
    Q_OBJECT

    QTemporaryDir scratch;
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

private slots:
    void cleanup() { bench.reset(); }

    // fault: in the simulator's keys, or image=PATH for another file (empty: the dialog is
    // cancelled; image=empty: a file of no bytes); log: every line from the operator's click on
    void faultMatrix_data()
    {
        addColumns<QString, QString, QString, QString, QString>(
            {"operation", "fault", "log", "outcome", "device"});

        const QString writing = QStringLiteral("Writing new device settings...|");
        const QString noAnswer = QStringLiteral("No response from the hardware at address 0x1A");
        const auto error = [](const char *code) {
            return QStringLiteral("Error received to command 0x%1 - err no :0x00EE").arg(code);
        };
        addFaultRow("settings write", "silent=1", writing + kTimeout);
        addFaultRow("settings write", "error=any", writing + error("0B"), kOpen);
        // The device took the settings and restarted; only its answer was lost.
        addFaultRow("settings write", "crcrate=1", writing + kTimeout, kClosed,
                    kRestarted.arg("NEW"));
        addFaultRow("settings write", kVanishes,
                    writing + "Settings writed. Device is rebooting...|Reconnecting...|" + noAnswer,
                    "Connection timeout|" + noAnswer + "|closed", kRestarted.arg("NEW"));

        const QString waiting = QStringLiteral("|Done. Waiting for device...");
        for (const auto &[operation, first, code, name] :
             {std::tuple{"reboot", "Rebooting device...", "08", "DOOR"},
              {"factory reset", "Resetting to factory defaults...", "0D", "FACT"}}) {
            // No answer: the timeout of the connect's settings read closes the port.
            addFaultRow(operation, "silent=1", first + ('|' + kTimeout));
            addFaultRow(operation, "error=any", first + ('|' + error(code)), kOpen);
            addFaultRow(operation, "crcrate=1", first + ('|' + kTimeout), kClosed,
                        kRestarted.arg(name));
            addFaultRow(operation, kVanishes, first + waiting + '|' + kTimeout, kClosed,
                        kRestarted.arg(name));
        }

        const QString file = QStringLiteral("Firmware file %IMAGE%|");
        // The image is refused before the device is touched.
        addFaultRow("firmware", "image=", "Firmware not selected!", kOpen);
        addFaultRow("firmware", "image=empty", file + "Firmware file is empty - nothing to flash.",
                    kOpen);
        // Opens, but its first read fails: nothing is mapped at offset 0.
        addFaultRow("firmware", "image=/proc/self/mem", file + "Unable to open firmware file!",
                    kOpen);
        addFaultRow("firmware", "silent=1", file + kTimeout);
        addFaultRow("firmware", "error=any", file + error("F0"), kOpen);
        // The device went into its bootloader although the tool never heard it say so.
        addFaultRow("firmware", "crcrate=1", file + kTimeout, kClosed, kFlashed.arg(0));
        addFaultRow("firmware", "dropafter=1", file + kUntilWriting + '|' + kTimeout, kClosed,
                    kFlashed.arg(256));
        // A version that begins with the word names no bootloader: nothing is erased.
        const QString refused = "Unsupported version from bootloader: BOOTLOADER 1.2|";
        addFaultRow("firmware", "bootversion=BOOTLOADER 1.2",
                    file + "Waiting for bootloader...|" + refused + kTimeout, kClosed,
                    kFlashed.arg(0));
        // Only the finish request's error tells of a refused image.
        addFaultRow("firmware", "error=F2", file + kUntilWriting + '|' + error("F2"), kInBootloader,
                    kFlashed.arg(0));
        addFaultRow("firmware", "error=F3",
                    file + kUntilWriting +
                        "|Firmware flashed.|Firmware verification filed - wrong firmware file ???",
                    kInBootloader, kFlashed.arg(600));

        // Tag timeouts only log: the port stays open and the connection stands.
        for (const char *operation : {"tag read", "tag write"}) {
            addFaultRow(operation, "silent=1", kTagTimeout, kOpen);
            addFaultRow(operation, "error=any", error("02"), kOpen);
        }
        addFaultRow("tag read", "late=04:60000", kUid + kTagTimeout, kOpen);
        // Written but never read back: the tag holds the new address unchecked.
        addFaultRow("tag write", "late=40:60000",
                    kUid + "Tag activated...|Writing address tag...|Write ACK|Reading tag info|" +
                        kTagTimeout,
                    kOpen, "application, 0 restarts, DOOR, tag 2B, flash 0");
    }

    void faultMatrix()
    {
        QFETCH(QString, operation);
        QFETCH(QString, fault);
        QFETCH(QString, log);
        QFETCH(QString, outcome);

        SimDeviceConfig config = E2e::device("addr=1A,short=DOOR,addrtag=04A1B2C3D4E5F6:1A:DOOR:1");
        config.factorySettings = config.settings;
        config.factorySettings->shortName = shortNameBytes(QStringLiteral("FACT"));
        QVERIFY(startDevice(config));
        const bool imageFault = fault.startsWith("image=");
        bool parsed = false;
        QVERIFY(bench->bus().editDevice(id, [&](SimDeviceState &device) {
            parsed = SimSetup::parseDevice(imageFault ? QString() : fault, &device.config, nullptr);
        }) && parsed);

        QString image = writeImage(
            fault == "image=empty" ? QByteArray() : simImage(QStringLiteral("APP 2.0.0"), 600));
        if (imageFault && fault != "image=empty")
            image = fault.mid(int(qstrlen("image=")));
        tool().enter("leDeviceShortName leTagDeviceAddress", "NEW 2B");
        tool().answerNextModal(image);
        QVERIFY(tool().click(kButtons[operation]));
        const QStringList expected = lines(log.replace("%IMAGE%", image));
        if (!ToolDriver::waitUntil([&] { return tool().logLines() == expected; }))
            QCOMPARE(tool().logLines(), expected);
        // A stopped exchange must not come back: no second timeout, no step after an error.
        const bool open = outcome.endsWith("|open");
        if (open)
            QVERIFY(tool().logStaysQuiet(kNothingFollowsMs));
        QCOMPARE(tool().statusBarText() + (open ? "|open" : "|closed"), outcome);
        QCOMPARE(E2e::connectionLook(*bench),
                 QLatin1String(open ? E2e::kConnectedLook : E2e::kDisconnectedLook));
        QTEST(deviceSummary(bench->bus().device(id)), "device");
        QCOMPARE(E2e::wire(bench->bus()).contains("FF FF 02"), fault == "crcrate=1");

        // The operator power-cycles the device: it comes back as it now is, without its fault.
        SimDeviceConfig revived = bench->bus().device(id).config;
        revived.faults = SimFaults();
        QVERIFY(bench->bus().removeDevice(id));
        bench->addDevice(revived);
        if (open)
            QVERIFY(tool().click("btSerialConnect"));
        QVERIFY(bench->connectTo(kAddress));
        QVERIFY(tool().statusBarText().startsWith("Connected|Version:"));
    }

    void flashImage_data()
    {
        // A slow erase is inside its own limit but past the chunk limit; so is the verification.
        addColumns<int, QString, QString>({"size", "chunks", "deviceKeys"});
        addRow("1 byte", 1, "F2:1", "acceptany=1");
        addRow("256 bytes", 256, "F2:256", "");
        addRow("600 bytes, slow erase and verification", 600, "F2:256|F2:256|F2:88",
               "erase=1500,late=F3:1200");
        addRow("65537 bytes", 65537, QString("F2:256|").repeated(256) + "F2:1", "");
    }

    void flashImage()
    {
        QFETCH(int, size);
        QFETCH(QString, chunks);
        QFETCH(QString, deviceKeys);

        QVERIFY(startDevice(E2e::device("addr=1A," + deviceKeys)));
        const QByteArray image = simImage(QStringLiteral("FW-%1").arg(size), size);
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
        tool().answerNextModal(path);
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
            expected << QString::number(sent += chunk.mid(3).toInt());
        for (QString &value : expected << "0")
            value += QStringLiteral("/%1 Connected|Version:Talvik BOOTLOADER 1.2").arg(size);
        QCOMPARE(progress, expected);
        QVERIFY(bench->bus().device(id).config.flash == image);
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
        const QByteArray image = simImage("FW-600", 600);
        const QString path = writeImage(image);
        QVERIFY(Minisigner::sign(scratch.filePath("maker.key"), path, "version:FW-600"));
        writeImage(image + '!');

        tool().answerNextModal(path);
        QVERIFY(tool().click("btFlashFirmware"));
        QCOMPARE(tool().logLines(),
                 lines("Firmware file " + path + "|Firmware refused: the image does not match " +
                       "its signature " + path + ".minisig: it was changed, or the signature " +
                       "is another image's"));
        QVERIFY(E2e::busStaysQuiet(bench->bus(), kNothingFollowsMs));
        QCOMPARE(E2e::connectionLook(*bench), QLatin1String(E2e::kConnectedLook));

        tool().clearLog();
        writeImage(image);
        tool().answerNextModal(path);
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
