// The window with a maker's key installed in the user's folder: a signed image is flashed, one
// the key did not sign never reaches the device.
#include "e2efixture.h"
#include "imagesignature.h"
#include "minisigner.h"

using E2e::lines;

namespace {
constexpr int kImageSize = 600;
constexpr int kQuietMs = 300;
// Bootloader start, transfer and the restart.
constexpr int kUpdateTimeoutMs = 12000;
} // namespace

class TestE2eSignature : public QObject
{
    Q_OBJECT

    QTemporaryDir dir;
    QString keyId;

private slots:
    void initTestCase()
    {
        // The user's folder of this test alone: other tests flash unsigned images beside it.
        qputenv("XDG_CONFIG_HOME", dir.filePath("config").toUtf8());
        const QString keys = dir.filePath("config/talvik-ota-tool/trusted-keys");
        QVERIFY(QDir().mkpath(keys) && QDir().mkpath(dir.filePath("maker")));
        QCOMPARE(Minisigner::makeKeyPair(dir.filePath("maker"), "maker"), QString());
        QVERIFY(QFile::copy(dir.filePath("maker/maker.pub"), keys + "/maker.pub"));
        // Whatever the umask: written by their owner alone.
        const auto ownerWrites =
            QFile::ReadOwner | QFile::WriteOwner | QFile::ReadGroup | QFile::ReadOther;
        QVERIFY(QFile::setPermissions(keys, ownerWrites | QFile::ExeOwner | QFile::ExeGroup |
                                                QFile::ExeOther) &&
                QFile::setPermissions(keys + "/maker.pub", ownerWrites));
        QFile key(keys + "/maker.pub");
        QVERIFY(key.open(QIODevice::ReadOnly));
        keyId = QString(key.readLine()).trimmed().section(' ', -1);
    }

    void flash_data()
    {
        addColumns<bool, QString>({"changed", "log"});
        addRow("signed", false,
               QString("Firmware signed by key %ID (minisign public key %ID), trusted comment: "
                       "version:APP 2.5.0|Waiting for bootloader..."));
        addRow("changed after signing", true,
               QString("Firmware refused: the image does not match its signature "
                       "%IMAGE.minisig: it was changed, or the signature is another image's"));
    }

    void flash()
    {
        QFETCH(bool, changed);
        QFETCH(QString, log);

        int id = -1;
        const auto bench = E2e::connectedBench(E2e::device("addr=1A"), &id);
        QVERIFY(bench);
        QByteArray image = simImage("APP 2.5.0", kImageSize);
        const QString path = dir.filePath(QStringLiteral("app-%1.bin").arg(changed));
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly) && file.write(image) == kImageSize);
        file.close();
        QCOMPARE(Minisigner::sign(dir.filePath("maker/maker.key"), path, "version:APP 2.5.0"),
                 QString());
        if (changed) {
            image[kImageSize - 1] = char(image[kImageSize - 1] ^ 1);
            QVERIFY(file.open(QIODevice::WriteOnly) && file.write(image) == kImageSize);
            file.close();
        }

        bench->tool().answerNextFileDialog(path);
        QVERIFY(bench->tool().click("btFlashFirmware"));
        const QStringList expected = lines("Firmware file " + path + '|' +
                                           log.replace("%ID", keyId).replace("%IMAGE", path));
        if (changed) {
            QCOMPARE(bench->tool().logLines(), expected);
            QVERIFY(E2e::busStaysQuiet(bench->bus(), kQuietMs));
            QCOMPARE(E2e::connectionLook(*bench), QLatin1String(E2e::kConnectedLook));
            return;
        }
        QVERIFY(bench->tool().waitForLog(E2e::kSettingsReceived, kUpdateTimeoutMs));
        QCOMPARE(bench->tool().logLines().mid(0, expected.size()).join("\n"), expected.join("\n"));
        QVERIFY(bench->bus().device(id).config.flash == image);
    }
};

QTEST_MAIN(TestE2eSignature)
#include "tst_e2e_signature.moc"
