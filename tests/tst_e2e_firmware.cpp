// Firmware update through the window's file dialog against a simulated device and bootloader.
#include "e2efixture.h"

#include <QFile>
#include <QProgressBar>
#include <QTemporaryDir>
#include <QtTest>

using E2e::lines;

namespace {
constexpr uint8_t kAddress = 0x80;
constexpr int kQuietMs = 300;
// Bootloader start, a slow erase, transfer, a slow verification and the restart.
constexpr int kUpdateTimeoutMs = 12000;
// Inside the erase limit but past the chunk limit; past the chunk limit for the finish too.
constexpr int kSlowEraseMs = 1500;
constexpr int kSlowFinishMs = 1200;
const QString kUntilWriting = QStringLiteral(
    "Waiting for bootloader...|Bootloader detected: Talvik BOOTLOADER 1.2|Erasing flash...|"
    "Flash erased.|Writing firmware...");

// Deterministic filler behind a version text, sealed so that the bootloader takes it.
QByteArray imageOfSize(int size)
{
    QByteArray body = "VER:FW-" + QByteArray::number(size) + '\0';
    for (quint32 state = quint32(size); body.size() < size - 4;)
        body.append(char((state = state * 1103515245u + 12345u) >> 24));
    return size < 5 ? QByteArray(size, 'Z') : simSealImage(body);
}
} // namespace

class TestE2eFirmware : public QObject
{
    Q_OBJECT

    std::unique_ptr<E2eBench> bench;
    QTemporaryDir imageDir;
    int id = -1;
    ToolDriver &tool() { return bench->tool(); }
    bool startDevice(const SimDeviceConfig &config)
    {
        return (bench = E2e::connectedBench(config, &id)) != nullptr;
    }
    QString writeImage(const QByteArray &image)
    {
        QFile file(imageDir.filePath(QStringLiteral("fw.bin")));
        if (!file.open(QIODevice::WriteOnly) || file.write(image) != image.size())
            qFatal("cannot write %s", qPrintable(file.fileName()));
        return file.fileName();
    }
    // The requests' command bytes, chunks as "F2:size".
    QStringList requestCodes()
    {
        QStringList codes;
        for (const QString &request : E2e::requestLines(bench->bus()))
            codes << (request.startsWith("F2") ? QStringLiteral("F2:%1").arg(request.size() / 3)
                                               : request);
        return codes;
    }

private slots:
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

        SimDeviceConfig config = SimDeviceConfig::at(kAddress);
        config.acceptAnyImage = size == 1;
        config.timing.eraseMs = slowDevice ? kSlowEraseMs : config.timing.eraseMs;
        config.faults.lateCommand = slowDevice ? CmdFinishFirmware : kNoCommand;
        config.faults.lateAnswerMs = kSlowFinishMs;
        QVERIFY(startDevice(config));
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
        QCOMPARE(requestCodes(), lines("F0|09|F1|" + chunks + "|F3|09|0A|0C"));
        QStringList expected;
        int sent = 0;
        for (const QString &chunk : lines(chunks))
            expected << QStringLiteral("%1/%2 Connected|Version:Talvik BOOTLOADER 1.2")
                            .arg(sent += chunk.mid(3).toInt())
                            .arg(size);
        QCOMPARE(
            progress,
            expected << QStringLiteral("0/%1 Connected|Version:Talvik BOOTLOADER 1.2").arg(size));
        QVERIFY(bench->bus().device(id).flash == image);
    }

    void imageRefusedBeforeDeviceIsTouched_data()
    {
        addColumns<QString, QString>({"file", "message"});
        addRow("dialog cancelled", "", "Firmware not selected!");
        addRow("empty file", "empty", "Firmware file is empty - nothing to flash.");
        // Opens, but its first read fails: nothing is mapped at offset 0.
        addRow("read fails", "/proc/self/mem", "Unable to open firmware file!");
        // Chosen while present, gone when the tool reads it (a pulled USB stick).
        addRow("gone after choosing", "vanishing", "Unable to open firmware file!");
    }

    void imageRefusedBeforeDeviceIsTouched()
    {
        QFETCH(QString, file);
        QFETCH(QString, message);

        QVERIFY(startDevice(SimDeviceConfig::at(kAddress)));
        QString path = file;
        if (file == "empty" || file == "vanishing")
            path = writeImage(file == "empty" ? QByteArray() : imageOfSize(600));
        tool().answerNextFileDialog(path, [&] {
            if (file == "vanishing")
                QFile::remove(path);
        });
        QVERIFY(tool().click("btFlashFirmware"));
        QCOMPARE(tool().logLines(),
                 lines((path.isEmpty() ? "" : "Firmware file " + path + '|') + message));
        QVERIFY(E2e::busStaysQuiet(bench->bus(), kQuietMs));
        QCOMPARE(E2e::connectionLook(*bench), QLatin1String(E2e::kConnectedLook));
    }

    void updateStops_data()
    {
        addColumns<QString, bool, QString, QString, QString>(
            {"bootloader", "brokenImage", "log", "requests", "statusBar"});
        // The bootloader's version must hold the word in capitals, after something else.
        for (const QString version : {"BOOTLOADER 2.0", "talvik bootloader 1.2"})
            addRow(qPrintable(version), version, false,
                   "Waiting for bootloader...|Unsupported version from bootloader: " + version +
                       '|' + E2e::kGenericTimeout,
                   "F0|09", "Timeout|No response to bootloader");
        addRow("image refused at the finish", "Talvik BOOTLOADER 1.2", true,
               kUntilWriting +
                   "|Firmware flashed.|Firmware verification filed - wrong firmware file ???",
               "F0|09|F1|F2:256|F2:256|F2:88|F3", "Connected|Version:Talvik BOOTLOADER 1.2");
    }

    void updateStops()
    {
        QFETCH(QString, bootloader);
        QFETCH(bool, brokenImage);
        QFETCH(QString, log);
        QFETCH(QString, requests);
        QFETCH(QString, statusBar);

        SimDeviceConfig config = SimDeviceConfig::at(kAddress);
        config.bootloaderVersion = bootloader;
        QVERIFY(startDevice(config));
        QByteArray image = imageOfSize(600);
        image[0] = char(image.at(0) ^ (brokenImage ? 1 : 0));
        const QString path = writeImage(image);
        tool().answerNextFileDialog(path);
        QVERIFY(tool().click("btFlashFirmware"));

        // The version answer shows in infoLabel, also when it is refused.
        QVERIFY(tool().waitForLog(lines(log).at(lines(log).size() - 2), kUpdateTimeoutMs));
        QVERIFY(tool().statusBarText().endsWith("|Version:" + bootloader));
        QVERIFY(tool().waitForLog(lines(log).last(), kUpdateTimeoutMs));
        QCOMPARE(tool().logLines(), lines("Firmware file " + path + '|' + log));
        QCOMPARE(requestCodes(), lines(requests));
        QCOMPARE(tool().statusBarText(), statusBar);
        QCOMPARE(E2e::connectionLook(*bench),
                 QLatin1String(brokenImage ? E2e::kConnectedLook : E2e::kDisconnectedLook));
        QVERIFY(bench->bus().device(id).mode == SimMode::Bootloader);
    }
};

QTEST_MAIN(TestE2eFirmware)
#include "tst_e2e_firmware.moc"
