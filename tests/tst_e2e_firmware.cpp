// Firmware update through the window's file dialog against a simulated device and bootloader.
#include "e2efixture.h"

#include <QApplication>
#include <QFile>
#include <QFileDialog>
#include <QLineEdit>
#include <QProgressBar>
#include <QTemporaryDir>
#include <QTimer>
#include <QtTest>

#include <algorithm>
#include <memory>

namespace {

constexpr uint8_t kDeviceAddress = 0x80;
constexpr int kChunkSize = 256;
constexpr int kDialogPollMs = 10;
constexpr int kQuietLineMs = 200;
// Bootloader start, erase, transfer and restart of the largest image, with room to spare.
constexpr int kUpdateTimeoutMs = 10000;
const char kBootloaderVersion[] = "Talvik BOOTLOADER 1.2";
const char kGenericTimeout[] = "Timeout - Please recconnect device and try again.";
const char kVerificationFailed[] = "Firmware verification filed - wrong firmware file ???";
// The simulator's image check wants a body in front of its CRC-32 trailer.
constexpr int kImageTrailerSize = 4;
constexpr int kSmallestSealedImage = kImageTrailerSize + 1;

// Deterministic filler, version text first so the new firmware names itself.
QByteArray imageOfSize(int size)
{
    if (size < kSmallestSealedImage)
        return QByteArray(size, '\x5A');
    QByteArray body = QByteArrayLiteral("VER:FW-") + QByteArray::number(size);
    body.append('\0');
    quint32 state = static_cast<quint32>(size);
    while (body.size() < size - kImageTrailerSize) {
        state = state * 1103515245u + 12345u;
        body.append(static_cast<char>(state >> 24));
    }
    return simSealImage(body.left(size - kImageTrailerSize));
}

QVector<SimTraceEntry> requests(const QVector<SimTraceEntry> &trace, int command = kAnyCommand)
{
    QVector<SimTraceEntry> found;
    for (const SimTraceEntry &entry : trace) {
        if (entry.isRequest() && (command == kAnyCommand || entry.command() == command))
            found << entry;
    }
    return found;
}

int successAnswers(const QVector<SimTraceEntry> &trace, int command)
{
    return static_cast<int>(std::count_if(trace.cbegin(), trace.cend(), [command](const auto &e) {
        return e.isAnswer() && e.command() == command && e.payload.at(0) == char(kStatusSuccess);
    }));
}

// A request written by the tool reaches the simulator within a few milliseconds.
bool busStaysQuiet(const SimBusThread &bus)
{
    return !ToolDriver::waitUntil([&bus] { return !requests(bus.trace()).isEmpty(); },
                                  kQuietLineMs);
}

QStringList successLog(const QString &path, const QString &newVersion)
{
    return {QStringLiteral("Firmware file ") + path,
            QStringLiteral("Waiting for bootloader..."),
            QStringLiteral("Bootloader detected: ") + kBootloaderVersion,
            QStringLiteral("Erasing flash..."),
            QStringLiteral("Flash erased."),
            QStringLiteral("Writing firmware..."),
            QStringLiteral("Firmware flashed."),
            QStringLiteral("Done. Waiting for device..."),
            QStringLiteral("Firmware version is: ") + newVersion,
            QString::fromLatin1(E2e::kSettingsReceived)};
}

} // namespace

class TestE2eFirmware : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void flashImage_data();
    void flashImage();
    void imageRefusedBeforeDeviceIsTouched_data();
    void imageRefusedBeforeDeviceIsTouched();
    void bootloaderVersionRefused_data();
    void bootloaderVersionRefused();
    void rejectedImageLeavesBootloaderForRetry();
    void deviceSilentMidTransfer();

private:
    ToolDriver &tool() { return bench->tool(); }
    SimDeviceState device() { return bench->bus().device(deviceId); }
    void startDevice(const SimDeviceConfig &config);
    QString writeImage(const QString &name, const QByteArray &image);
    void flash(const QString &path);
    // Like flash(), but the file disappears once the dialog has accepted it.
    void flashFileThatVanishes(const QString &path);
    void expectTimeoutClosedPort();

    std::unique_ptr<E2eBench> bench;
    std::unique_ptr<QTemporaryDir> imageDir;
    int deviceId = -1;
};

void TestE2eFirmware::init()
{
    imageDir = std::make_unique<QTemporaryDir>();
    QVERIFY(imageDir->isValid());
    SimBusOptions options;
    options.paced = false;
    bench = std::make_unique<E2eBench>(options);
    QVERIFY2(bench->isReady(), qPrintable(bench->error()));
}

void TestE2eFirmware::cleanup()
{
    bench.reset();
    imageDir.reset();
}

void TestE2eFirmware::startDevice(const SimDeviceConfig &config)
{
    deviceId = bench->addDevice(config);
    QVERIFY(bench->connectTo(kDeviceAddress));
    bench->bus().clearTrace();
    tool().clearLog();
}

QString TestE2eFirmware::writeImage(const QString &name, const QByteArray &image)
{
    QFile file(imageDir->filePath(name));
    if (!file.open(QIODevice::WriteOnly) || file.write(image) != image.size())
        qFatal("cannot write %s", qPrintable(file.fileName()));
    return file.fileName();
}

void TestE2eFirmware::flash(const QString &path)
{
    tool().answerNextFileDialog(path);
    QVERIFY(tool().click("btFlashFirmware"));
}

void TestE2eFirmware::flashFileThatVanishes(const QString &path)
{
    auto *poll = new QTimer(tool().window());
    poll->setInterval(kDialogPollMs);
    connect(poll, &QTimer::timeout, this, [poll, path] {
        auto *dialog = qobject_cast<QFileDialog *>(QApplication::activeModalWidget());
        if (!dialog)
            return;
        poll->stop();
        poll->deleteLater();
        // Chosen while present, gone when the tool reads it (a pulled USB stick).
        connect(dialog, &QFileDialog::fileSelected, dialog, [path] { QFile::remove(path); });
        dialog->findChild<QLineEdit *>(QStringLiteral("fileNameEdit"))->setText(path);
        static_cast<QDialog *>(dialog)->accept();
    });
    poll->start();
    QVERIFY(tool().click("btFlashFirmware"));
}

void TestE2eFirmware::expectTimeoutClosedPort()
{
    QCOMPARE(tool().statusText(), QStringLiteral("Timeout"));
    QCOMPARE(tool().infoText(), QStringLiteral("No response to bootloader"));
    QCOMPARE(tool().text("btSerialConnect"), QStringLiteral("Connect"));
    QVERIFY(!tool().isEnabled("gbDeviceCommands"));
}

void TestE2eFirmware::flashImage_data()
{
    QTest::addColumn<int>("size");
    QTest::addColumn<QVector<int>>("chunks");

    QTest::newRow("1 byte") << 1 << QVector<int>{1};
    QTest::newRow("255 bytes") << 255 << QVector<int>{255};
    QTest::newRow("256 bytes") << 256 << QVector<int>{256};
    QTest::newRow("257 bytes") << 257 << QVector<int>{256, 1};
    QTest::newRow("600 bytes") << 600 << QVector<int>{256, 256, 88};
    QTest::newRow("65537 bytes") << 65537 << (QVector<int>(kChunkSize, kChunkSize) << 1);
}

void TestE2eFirmware::flashImage()
{
    QFETCH(int, size);
    QFETCH(QVector<int>, chunks);

    SimDeviceConfig config = SimDeviceConfig::at(kDeviceAddress);
    config.acceptAnyImage = size < kSmallestSealedImage;
    startDevice(config);
    const QByteArray image = imageOfSize(size);
    const QString newVersion = simImageVersion(image);
    const QString path = writeImage(QStringLiteral("fw.bin"), image);

    QVector<int> progress;
    QVector<int> maxima;
    QString infoWhileWriting;
    QProgressBar *bar = tool().progressBar();
    connect(bar, &QProgressBar::valueChanged, this, [&](int value) {
        if (progress.isEmpty())
            infoWhileWriting = tool().infoText();
        progress << value;
        maxima << bar->maximum();
    });
    flash(path);
    QVERIFY(tool().waitForLog(E2e::kSettingsReceived, kUpdateTimeoutMs));
    bar->disconnect(this);

    QCOMPARE(tool().logLines(), successLog(path, newVersion));
    QCOMPARE(tool().infoText(), QStringLiteral("Version:") + newVersion);
    QCOMPARE(infoWhileWriting, QStringLiteral("Version:") + kBootloaderVersion);

    const QVector<SimTraceEntry> trace = bench->bus().trace();
    QVector<int> commands;
    for (const SimTraceEntry &request : requests(trace))
        commands << request.command();
    QVector<int> expectedCommands{CmdEnterBootloader, CmdGetVersion, CmdEraseFlash};
    expectedCommands << QVector<int>(chunks.size(), CmdWriteFlash);
    expectedCommands << CmdFinishFirmware << CmdGetVersion << CmdGetDeviceName << CmdGetSettings;
    QCOMPARE(commands, expectedCommands);

    QVector<int> chunkSizes;
    QByteArray sent;
    for (const SimTraceEntry &request : requests(trace, CmdWriteFlash)) {
        chunkSizes << request.payload.size() - 1;
        sent += request.payload.mid(1);
    }
    QCOMPARE(chunkSizes, chunks);
    QVERIFY(sent == image);

    QVector<int> expectedProgress;
    int total = 0;
    for (int chunk : chunks)
        expectedProgress << (total += chunk);
    expectedProgress << 0;
    QCOMPARE(progress, expectedProgress);
    QCOMPARE(maxima, QVector<int>(expectedProgress.size(), size));

    const SimDeviceState flashed = device();
    QVERIFY(flashed.flash == image);
    QCOMPARE(flashed.imagesAccepted, 1);
    QCOMPARE(flashed.applicationVersion, newVersion);
    QVERIFY(flashed.mode == SimMode::Application);
}

void TestE2eFirmware::imageRefusedBeforeDeviceIsTouched_data()
{
    QTest::addColumn<QString>("kind");
    QTest::addColumn<QString>("refusal");

    QTest::newRow("dialog cancelled") << "cancelled"
                                      << "Firmware not selected!";
    QTest::newRow("empty file") << "empty"
                                << "Firmware file is empty - nothing to flash.";
    QTest::newRow("read fails") << "unreadable"
                                << "Unable to open firmware file!";
    QTest::newRow("gone after choosing") << "vanished"
                                         << "Unable to open firmware file!";
}

void TestE2eFirmware::imageRefusedBeforeDeviceIsTouched()
{
    QFETCH(QString, kind);
    QFETCH(QString, refusal);

    startDevice(SimDeviceConfig::at(kDeviceAddress));
    QString path;
    if (kind == QLatin1String("cancelled")) {
        flash(QString());
    } else if (kind == QLatin1String("empty")) {
        path = writeImage(QStringLiteral("empty.bin"), QByteArray());
        flash(path);
    } else if (kind == QLatin1String("unreadable")) {
        // Opens, but its first read fails (nothing is mapped at offset 0).
        path = QStringLiteral("/proc/self/mem");
        flash(path);
    } else {
        path = writeImage(QStringLiteral("vanishing.bin"), imageOfSize(600));
        flashFileThatVanishes(path);
        QVERIFY(!QFile::exists(path));
    }

    QStringList expected;
    if (!path.isEmpty())
        expected << QStringLiteral("Firmware file ") + path;
    expected << refusal;
    QCOMPARE(tool().logLines(), expected);
    QVERIFY(busStaysQuiet(bench->bus()));
    QCOMPARE(tool().text("btSerialConnect"), QStringLiteral("Disconnect"));
    QVERIFY(device().mode == SimMode::Application);
}

void TestE2eFirmware::bootloaderVersionRefused_data()
{
    QTest::addColumn<QString>("bootloaderVersion");

    QTest::newRow("word at the start") << "BOOTLOADER 2.0";
    QTest::newRow("word in lower case") << "talvik bootloader 1.2";
}

void TestE2eFirmware::bootloaderVersionRefused()
{
    QFETCH(QString, bootloaderVersion);

    SimDeviceConfig config = SimDeviceConfig::at(kDeviceAddress);
    config.bootloaderVersion = bootloaderVersion;
    startDevice(config);
    const QString path = writeImage(QStringLiteral("fw.bin"), imageOfSize(600));
    flash(path);
    const QString refusal =
        QStringLiteral("Unsupported version from bootloader: ") + bootloaderVersion;
    QVERIFY(tool().waitForLog(refusal));
    QCOMPARE(tool().infoText(), QStringLiteral("Version:") + bootloaderVersion);
    QVERIFY(tool().waitForLog(kGenericTimeout));

    QCOMPARE(tool().logLines(),
             QStringList({QStringLiteral("Firmware file ") + path, "Waiting for bootloader...",
                          refusal, kGenericTimeout}));
    expectTimeoutClosedPort();
    QVERIFY(requests(bench->bus().trace(), CmdEraseFlash).isEmpty());
    QVERIFY(device().mode == SimMode::Bootloader);
}

void TestE2eFirmware::rejectedImageLeavesBootloaderForRetry()
{
    startDevice(SimDeviceConfig::at(kDeviceAddress));
    QByteArray broken = imageOfSize(600);
    broken[0] = static_cast<char>(broken.at(0) ^ 0x01);
    const QString brokenPath = writeImage(QStringLiteral("broken.bin"), broken);
    flash(brokenPath);
    QVERIFY(tool().waitForLog(kVerificationFailed, kUpdateTimeoutMs));

    QCOMPARE(tool().logLines().mid(5),
             QStringList({"Writing firmware...", "Firmware flashed.", kVerificationFailed}));
    QCOMPARE(device().imagesRejected, 1);
    QVERIFY(device().mode == SimMode::Bootloader);
    QCOMPARE(tool().text("btSerialConnect"), QStringLiteral("Disconnect"));

    // The bootloader answers the request to enter it while it already runs.
    bench->bus().clearTrace();
    tool().clearLog();
    const int restartsBefore = device().restartCount;
    const QByteArray image = imageOfSize(600);
    const QString path = writeImage(QStringLiteral("good.bin"), image);
    flash(path);
    QVERIFY(tool().waitForLog(E2e::kSettingsReceived, kUpdateTimeoutMs));

    QCOMPARE(tool().logLines(), successLog(path, simImageVersion(image)));
    QCOMPARE(successAnswers(bench->bus().trace(), CmdEnterBootloader), 1);
    QCOMPARE(device().restartCount, restartsBefore + 1);
    QVERIFY(device().flash == image);
}

void TestE2eFirmware::deviceSilentMidTransfer()
{
    constexpr int kChunksBeforeSilence = 2;
    SimDeviceConfig config = SimDeviceConfig::at(kDeviceAddress);
    config.faults.dropAfterChunks = kChunksBeforeSilence;
    startDevice(config);
    const QString path = writeImage(QStringLiteral("fw.bin"), imageOfSize(1000));
    flash(path);
    QVERIFY(tool().waitForLog(kGenericTimeout, kUpdateTimeoutMs));

    QCOMPARE(
        tool().logLines(),
        QStringList({QStringLiteral("Firmware file ") + path, "Waiting for bootloader...",
                     QStringLiteral("Bootloader detected: ") + kBootloaderVersion,
                     "Erasing flash...", "Flash erased.", "Writing firmware...", kGenericTimeout}));
    expectTimeoutClosedPort();
    const QVector<SimTraceEntry> trace = bench->bus().trace();
    QCOMPARE(requests(trace, CmdWriteFlash).size(), kChunksBeforeSilence + 1);
    QCOMPARE(successAnswers(trace, CmdWriteFlash), kChunksBeforeSilence);
    QVERIFY(requests(trace, CmdFinishFirmware).isEmpty());
    QCOMPARE(device().chunksWritten, kChunksBeforeSilence);
}

QTEST_MAIN(TestE2eFirmware)
#include "tst_e2e_firmware.moc"
