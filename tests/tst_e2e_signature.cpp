// The window with a maker's key in the user's folder: an image changed after signing never
// reaches the device, the signed one is flashed.
#include "e2efixture.h"
#include "minisigner.h"

using E2e::lines;

namespace {
constexpr int kQuietMs = 300;
// Bootloader start, transfer and the restart.
constexpr int kUpdateTimeoutMs = 12000;

bool writeAll(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) &&
           file.write(bytes) == bytes.size();
}
} // namespace

class TestE2eSignature : public QObject
{
    Q_OBJECT

private slots:
    void refusedThenFlashed()
    {
        // The user's folder of this test alone: other tests flash unsigned images beside it.
        QTemporaryDir dir;
        qputenv("XDG_CONFIG_HOME", dir.path().toUtf8());
        const QString keys = dir.filePath("talvik-ota-tool/trusted-keys");
        QVERIFY(QDir().mkpath(keys) && Minisigner::makeKeyPair(dir.path(), "maker") &&
                QFile::copy(dir.filePath("maker.pub"), keys + "/maker.pub"));
        QVERIFY(QFile::setPermissions(keys, QFileDevice::Permissions(0x7555)) &&
                QFile::setPermissions(keys + "/maker.pub", QFileDevice::Permissions(0x6444)));
        QFile key(keys + "/maker.pub");
        QVERIFY(key.open(QIODevice::ReadOnly));
        const QString keyId = QString(key.readLine()).trimmed().section(' ', -1);
        const QString path = dir.filePath("app.bin");
        const QByteArray image = simImage("APP 2.5.0", 600);
        QVERIFY(writeAll(path, image) &&
                Minisigner::sign(dir.filePath("maker.key"), path, "version:APP 2.5.0") &&
                writeAll(path, image + '!'));
        int id = -1;
        const auto bench = E2e::connectedBench(E2e::device("addr=1A"), &id);
        QVERIFY(bench);

        bench->tool().answerNextFileDialog(path);
        QVERIFY(bench->tool().click("btFlashFirmware"));
        QCOMPARE(bench->tool().logLines(), lines("Firmware file " + path +
                                                 "|Firmware refused: the image does not match its "
                                                 "signature " +
                                                 path +
                                                 ".minisig: it was changed, or the signature is "
                                                 "another image's"));
        QVERIFY(E2e::busStaysQuiet(bench->bus(), kQuietMs));
        QCOMPARE(E2e::connectionLook(*bench), QLatin1String(E2e::kConnectedLook));

        bench->tool().clearLog();
        QVERIFY(writeAll(path, image));
        bench->tool().answerNextFileDialog(path);
        QVERIFY(bench->tool().click("btFlashFirmware"));
        QVERIFY(bench->tool().waitForLog(E2e::kSettingsReceived, kUpdateTimeoutMs));
        QCOMPARE(bench->tool().logLines().mid(0, 3),
                 lines(QString("Firmware file %1|Firmware signed by key %2 (minisign public key "
                               "%2), trusted comment: version:APP 2.5.0|Waiting for bootloader...")
                           .arg(path, keyId)));
        QVERIFY(bench->bus().device(id).config.flash == image);
    }
};

QTEST_MAIN(TestE2eSignature)
#include "tst_e2e_signature.moc"
