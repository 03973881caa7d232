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

#include <memory>

namespace {

constexpr uint8_t kDeviceAddress = 0x80;
constexpr int kDialogPollMs = 10;
constexpr int kQuietMs = 200;
// Bootloader start, erase, transfer and restart of the largest image, with room to spare.
constexpr int kUpdateTimeoutMs = 10000;
// The simulator's image check wants a body in front of its CRC-32 trailer.
constexpr int kImageTrailerSize = 4;
constexpr int kSmallestSealedImage = kImageTrailerSize + 1;
const QString kBootloaderVersion = QStringLiteral("Talvik BOOTLOADER 1.2");

enum class Refusal { DialogCancelled, EmptyFile, ReadFails, FileVanishes };

// An update that stops on the way, and where.
struct StopCase
{
    QString bootloaderVersion;
    bool brokenImage;
    int dropAfterChunks;
    QStringList logAfterFile;
    QVector<int> commands;
    QString lookAtEnd, statusAtEnd, infoAtEnd;
};

// Deterministic filler, version text first so the new firmware names itself.
QByteArray imageOfSize(int size)
{
    if (size < kSmallestSealedImage)
        return QByteArray(size, '\x5A');
    QByteArray body = QByteArrayLiteral("VER:FW-") + QByteArray::number(size) + '\0';
    quint32 state = static_cast<quint32>(size);
    while (body.size() < size - kImageTrailerSize) {
        state = state * 1103515245u + 12345u;
        body.append(static_cast<char>(state >> 24));
    }
    return simSealImage(body.left(size - kImageTrailerSize));
}

const QStringList kUntilWriting = {"Waiting for bootloader...",
                                   "Bootloader detected: " + kBootloaderVersion, "Erasing flash...",
                                   "Flash erased.", "Writing firmware..."};

} // namespace

Q_DECLARE_METATYPE(Refusal)
Q_DECLARE_METATYPE(StopCase)

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
    void updateStops_data();
    void updateStops();

private:
    ToolDriver &tool() { return bench->tool(); }
    SimDeviceState device() { return bench->bus().device(deviceId); }
    void startDevice(const SimDeviceConfig &config);
    QString writeImage(const QByteArray &image);
    void flash(const QString &path);
    // Like flash(), but the file disappears once the dialog has accepted it.
    void flashFileThatVanishes(const QString &path);

    std::unique_ptr<E2eBench> bench;
    std::unique_ptr<QTemporaryDir> imageDir;
    int deviceId = -1;
};

void TestE2eFirmware::init()
{
    imageDir = std::make_unique<QTemporaryDir>();
    QVERIFY(imageDir->isValid());
    bench = std::make_unique<E2eBench>(E2e::fastBus());
    QVERIFY2(bench->isReady(), qPrintable(bench->error()));
}

void TestE2eFirmware::cleanup()
{
    bench.reset();
    imageDir.reset();
}

void TestE2eFirmware::startDevice(const SimDeviceConfig &config)
{
    deviceId = E2e::addConnectedDevice(*bench, config);
    QVERIFY(deviceId >= 0);
}

QString TestE2eFirmware::writeImage(const QByteArray &image)
{
    QFile file(imageDir->filePath(QStringLiteral("fw.bin")));
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

void TestE2eFirmware::flashImage_data()
{
    QTest::addColumn<int>("size");
    QTest::addColumn<QVector<int>>("chunks");

    QTest::newRow("1 byte") << 1 << QVector<int>{1};
    QTest::newRow("255 bytes") << 255 << QVector<int>{255};
    QTest::newRow("256 bytes") << 256 << QVector<int>{256};
    QTest::newRow("257 bytes") << 257 << QVector<int>{256, 1};
    QTest::newRow("600 bytes") << 600 << QVector<int>{256, 256, 88};
    QTest::newRow("65537 bytes") << 65537 << (QVector<int>(256, 256) << 1);
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
    const QString path = writeImage(image);

    // Each progress value over its maximum.
    QStringList progress;
    QString infoWhileWriting;
    QProgressBar *bar = tool().progressBar();
    connect(bar, &QProgressBar::valueChanged, this, [&](int value) {
        if (progress.isEmpty())
            infoWhileWriting = tool().infoText();
        progress << QStringLiteral("%1/%2").arg(value).arg(bar->maximum());
    });
    flash(path);
    QVERIFY(tool().waitForLog(E2e::kSettingsReceived, kUpdateTimeoutMs));
    bar->disconnect(this);

    QCOMPARE(tool().logLines(),
             QStringList{"Firmware file " + path} + kUntilWriting +
                 QStringList({"Firmware flashed.", E2e::kWaitingForDevice,
                              E2e::versionLine(newVersion), E2e::kSettingsReceived}));
    QCOMPARE(tool().infoText(), QStringLiteral("Version:") + newVersion);
    QCOMPARE(infoWhileWriting, QStringLiteral("Version:") + kBootloaderVersion);
    QCOMPARE(
        E2e::requestCommands(bench->bus()),
        QVector<int>({CmdEnterBootloader, CmdGetVersion, CmdEraseFlash}) +
            QVector<int>(chunks.size(), CmdWriteFlash) +
            QVector<int>({CmdFinishFirmware, CmdGetVersion, CmdGetDeviceName, CmdGetSettings}));

    QVector<int> chunkSizes;
    for (const SimTraceEntry &request : E2e::requests(bench->bus().trace(), CmdWriteFlash))
        chunkSizes << request.payload.size() - 1;
    QCOMPARE(chunkSizes, chunks);
    QStringList expectedProgress;
    int total = 0;
    for (int chunk : chunks)
        expectedProgress << QStringLiteral("%1/%2").arg(total += chunk).arg(size);
    QCOMPARE(progress, expectedProgress << QStringLiteral("0/%1").arg(size));

    QVERIFY(device().flash == image);
    QVERIFY(device().mode == SimMode::Application);
}

void TestE2eFirmware::imageRefusedBeforeDeviceIsTouched_data()
{
    QTest::addColumn<Refusal>("refusal");
    QTest::addColumn<QString>("message");

    QTest::newRow("dialog cancelled") << Refusal::DialogCancelled << "Firmware not selected!";
    QTest::newRow("empty file") << Refusal::EmptyFile
                                << "Firmware file is empty - nothing to flash.";
    QTest::newRow("read fails") << Refusal::ReadFails << "Unable to open firmware file!";
    QTest::newRow("gone after choosing")
        << Refusal::FileVanishes << "Unable to open firmware file!";
}

void TestE2eFirmware::imageRefusedBeforeDeviceIsTouched()
{
    QFETCH(Refusal, refusal);
    QFETCH(QString, message);

    startDevice(SimDeviceConfig::at(kDeviceAddress));
    QString path;
    switch (refusal) {
    case Refusal::DialogCancelled:
        flash(path);
        break;
    case Refusal::EmptyFile:
        flash(path = writeImage(QByteArray()));
        break;
    case Refusal::ReadFails:
        // Opens, but its first read fails (nothing is mapped at offset 0).
        flash(path = QStringLiteral("/proc/self/mem"));
        break;
    case Refusal::FileVanishes:
        flashFileThatVanishes(path = writeImage(imageOfSize(600)));
        QVERIFY(!QFile::exists(path));
        break;
    }

    const QStringList fileLine =
        path.isEmpty() ? QStringList() : QStringList{"Firmware file " + path};
    QCOMPARE(tool().logLines(), fileLine + QStringList{message});
    QVERIFY(E2e::busStaysQuiet(bench->bus(), kQuietMs));
    QCOMPARE(E2e::connectionLook(*bench), QLatin1String(E2e::kConnectedLook));
    QVERIFY(device().mode == SimMode::Application);
}

void TestE2eFirmware::updateStops_data()
{
    QTest::addColumn<StopCase>("stop");

    const QString connected = QLatin1String(E2e::kConnectedLook);
    const QString closed = QLatin1String(E2e::kDisconnectedLook);
    const QString timeout = QLatin1String(E2e::kGenericTimeout);
    const QString noBootloader = QStringLiteral("No response to bootloader");
    const QString blInfo = "Version:" + kBootloaderVersion;
    const QVector<int> untilVersion = {CmdEnterBootloader, CmdGetVersion};
    const QVector<int> untilThirdChunk =
        untilVersion + QVector<int>{CmdEraseFlash, CmdWriteFlash, CmdWriteFlash, CmdWriteFlash};
    const QVector<int> untilFinish = untilThirdChunk + QVector<int>{CmdFinishFirmware};
    const QStringList refusedAtFinish =
        kUntilWriting +
        QStringList{"Firmware flashed.", "Firmware verification filed - wrong firmware file ???"};
    const QStringList silentAtChunk = kUntilWriting + QStringList{timeout};

    // The bootloader's version must hold the word in capitals, after something else.
    for (const QString version : {"BOOTLOADER 2.0", "talvik bootloader 1.2"}) {
        const QStringList log = {"Waiting for bootloader...",
                                 "Unsupported version from bootloader: " + version, timeout};
        QTest::newRow(qPrintable(version))
            << StopCase{version, false, -1, log, untilVersion, closed, "Timeout", noBootloader};
    }
    QTest::newRow("image refused at the finish") << StopCase{
        kBootloaderVersion, true, -1, refusedAtFinish, untilFinish, connected, "Connected", blInfo};
    QTest::newRow("device silent after two chunks")
        << StopCase{kBootloaderVersion, false,  2,         silentAtChunk,
                    untilThirdChunk,    closed, "Timeout", noBootloader};
}

void TestE2eFirmware::updateStops()
{
    QFETCH(StopCase, stop);

    SimDeviceConfig config = SimDeviceConfig::at(kDeviceAddress);
    config.bootloaderVersion = stop.bootloaderVersion;
    config.faults.dropAfterChunks = stop.dropAfterChunks;
    startDevice(config);
    QByteArray image = imageOfSize(600);
    if (stop.brokenImage)
        image[0] = static_cast<char>(image.at(0) ^ 0x01);
    const QString path = writeImage(image);
    flash(path);

    // The version answer shows in infoLabel, also when it is refused.
    QVERIFY(
        tool().waitForLog(stop.logAfterFile.at(stop.logAfterFile.size() - 2), kUpdateTimeoutMs));
    QCOMPARE(tool().infoText(), "Version:" + stop.bootloaderVersion);
    QVERIFY(tool().waitForLog(stop.logAfterFile.last(), kUpdateTimeoutMs));
    QCOMPARE(tool().logLines(), QStringList{"Firmware file " + path} + stop.logAfterFile);
    QCOMPARE(E2e::requestCommands(bench->bus()), stop.commands);
    QCOMPARE(E2e::connectionLook(*bench), stop.lookAtEnd);
    QCOMPARE(tool().statusText(), stop.statusAtEnd);
    QCOMPARE(tool().infoText(), stop.infoAtEnd);
    QVERIFY(device().mode == SimMode::Bootloader);
}

QTEST_MAIN(TestE2eFirmware)
#include "tst_e2e_firmware.moc"
