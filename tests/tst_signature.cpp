// talvik-ota-cli verify on images signed by minisign at test time, and every way it refuses
// them: the image or its trusted comment changed, another key, files cut short, made of garbage
// or too large, keys others may write.
#include "datatable.h"
#include "minisigner.h"

namespace {
constexpr int kRunTimeoutMs = 10000;
const QByteArray kImage = QByteArray("version 2.5.0 of the door reader\n").repeated(40);
const char kComment[] = "version:APP 2.5.0 model:door";
const char kMismatch[] = "the image does not match its signature %S: it was changed, or the "
                         "signature is another image's";
const char kUntrusted[] = "the image is signed by key %1, which is not trusted: install its "
                          "public key if you trust its maker";
const char kLoose[] = "%1 may be written by others than its owner (mode %2): refused; run chmod "
                      "go-w %1";

QByteArray readAll(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

bool writeAll(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) &&
           file.write(bytes) == bytes.size();
}
} // namespace

class TestSignature : public QObject
{
    Q_OBJECT

    QTemporaryDir dir;
    QMap<QString, QString> ids; // as minisign writes them into the key file's comment

private slots:
    void initTestCase()
    {
        // Whatever the umask: the keys written by their owner alone.
        for (const QString name : {"maker", "other", "stranger"}) {
            QVERIFY(Minisigner::makeKeyPair(dir.path(), name) &&
                    QFile::setPermissions(dir.filePath(name + ".pub"), QFile::ReadOwner));
            ids[name] =
                QString(readAll(dir.filePath(name + ".pub"))).section('\n', 0, 0).section(' ', -1);
        }
    }

    void verify_data()
    {
        // keys: the --trusted-key files (none: the folders, empty). edit: FILE|REGEX|TEXT on
        // the row's image, its signature or its copy of maker.pub; loose|key; pad|sig|SIZE;
        // keyid: the stranger's id in the signature.
        addColumns<QString, QString, QString, QString>({"keys", "signer", "edit", "expected"});
        const QString ok = QStringLiteral("ok\t%1\t") + kComment;
        addRow("signed", "maker", "maker", "", ok.arg("%maker"));
        addRow("signed, legacy form", "maker", "maker -l", "", ok.arg("%maker"));
        addRow("several keys, one signed", "stranger|maker|other", "other", "", ok.arg("%other"));
        addRow("no trusted keys", "", "maker", "", QString("no trusted keys"));
        addRow("no signature", "maker", "", "",
               QString("no signature file %S: only images signed by a trusted key are flashed; "
                       "the maker signs with minisign -S -m %I"));
        addRow("one byte of the image changed", "maker", "maker", "image|^v|V", QString(kMismatch));
        addRow("another image's signature", "maker", "maker", "image|^[\\s\\S]+|another",
               QString(kMismatch));
        addRow("signed by an untrusted key", "maker|other", "stranger", "",
               QString(kUntrusted).arg("%stranger"));
        // The key id is not covered by the signature: only the comparison catches it.
        addRow("key id changed", "maker|other", "maker", "keyid",
               QString(kUntrusted).arg("%stranger"));
        addRow("trusted comment edited", "maker", "maker", "sig|2\\.5\\.0|2.6.0",
               QString("the trusted comment of %S was altered after signing"));
        addRow("signature truncated", "maker", "maker", "sig|\ntrusted comment:[\\s\\S]+|",
               QString("the signature %S is malformed: 2 lines, not the 4 of minisign"));
        addRow("signature of garbage", "maker", "maker", "sig|^[\\s\\S]+|#!",
               QString("the signature %S is malformed: 1 lines, not the 4 of minisign"));
        addRow("signature over 64 KiB", "maker", "maker", "pad|sig|65537",
               QString("cannot read the signature %S: larger than 64 KiB"));
        addRow("key file truncated", "maker", "maker", "key|\n[^\n]+\n$|\n",
               QString("the key file %K is malformed: 1 lines, not the 2 of minisign"));
        addRow("key file of garbage", "maker", "maker", "key|^untrusted|trusted",
               QString("the key file %K is malformed: the first line is not an untrusted comment"));
        addRow("key file others may write", "maker", "maker", "loose|key",
               QString(kLoose).arg("%K", "0666"));
    }

    void verify()
    {
        QFETCH(QString, keys);
        QFETCH(QString, signer);
        QFETCH(QString, edit);
        QFETCH(QString, expected);

        const QString row = dir.filePath(QTest::currentDataTag());
        const QMap<QString, QString> files{{"image", row + "/app.bin"},
                                           {"sig", row + "/app.bin.minisig"},
                                           {"key", row + "/maker.pub"}};
        QVERIFY(QDir().mkpath(row) && writeAll(files["image"], kImage) &&
                QFile::copy(dir.filePath("maker.pub"), files["key"]));
        if (!signer.isEmpty())
            QVERIFY(Minisigner::sign(dir.filePath(signer.section(' ', 0, 0) + ".key"),
                                     files["image"], kComment, signer.endsWith("-l")));
        const QStringList part = edit.split('|');
        const QString file =
            files.value(part.size() == 3 && part[0] != "pad" ? part[0] : part.value(1));
        if (part[0] == "pad")
            QVERIFY(writeAll(file, readAll(file).leftJustified(part[2].toInt(), '\n')));
        else if (part[0] == "loose")
            QVERIFY(QFile::setPermissions(file, QFileDevice::Permissions(0x6666)));
        else if (part.size() == 3)
            QVERIFY(writeAll(file, QString::fromLatin1(readAll(file))
                                       .replace(QRegularExpression(part[1]), part[2])
                                       .toLatin1()));
        if (edit == "keyid") {
            QList<QByteArray> lines = readAll(files["sig"]).split('\n');
            const QByteArray id =
                QByteArray::fromBase64(readAll(dir.filePath("stranger.pub")).split('\n')[1]);
            lines[1] = QByteArray::fromBase64(lines[1]).replace(2, 8, id.mid(2, 8)).toBase64();
            QVERIFY(writeAll(files["sig"], lines.join('\n')));
        }

        QStringList arguments;
        for (const QString &name : keys.split('|', Qt::SkipEmptyParts))
            arguments << "--trusted-key"
                      << (name == "maker" ? files["key"] : dir.filePath(name + ".pub"));
        QProcess cli;
        cli.start(TALVIK_CLI_PATH, arguments << "verify" << files["image"]);
        QVERIFY(cli.waitForFinished(kRunTimeoutMs));
        // A refusal: on standard output and on standard error, naming the image.
        const QString output = QString::fromUtf8(cli.readAllStandardOutput()).trimmed();
        const QString refused = QStringLiteral("refused\t");
        QCOMPARE(cli.exitCode(), expected.startsWith("ok\t") ? 0 : 1);
        if (output.startsWith(refused))
            QCOMPARE(QString::fromUtf8(cli.readAllStandardError()).trimmed(),
                     files["image"] + ": " + output.mid(refused.size()));
        for (auto id = ids.cbegin(); id != ids.cend(); ++id)
            expected.replace('%' + id.key(), id.value());
        QCOMPARE(output.startsWith(refused) ? output.mid(refused.size()) : output,
                 expected.replace("%S", files["sig"])
                     .replace("%I", files["image"])
                     .replace("%K", files["key"]));
    }
};

QTEST_GUILESS_MAIN(TestSignature)
#include "tst_signature.moc"
