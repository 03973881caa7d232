// A maker's signatures on images, made by minisign at test time, and every way talvik-ota-cli
// verify refuses them: the image or its trusted comment changed, another key, files cut short
// or made of garbage, keys others may write; the readers on hostile bytes, the folders' rules.
#include "datatable.h"
#include "imagesignature.h"
#include "minisigner.h"
#include "trustedkeys.h"

#include <QtTest>

#ifdef Q_OS_UNIX
#include <unistd.h>
#endif

namespace {
constexpr int kImageSize = 1000;
// A run of the program on a loaded machine.
constexpr int kRunTimeoutMs = 10000;
const char kComment[] = "version:APP 2.5.0 model:door";
const char *const kKeyNames[] = {"maker", "other", "stranger"};
// 0644
constexpr QFileDevice::Permissions kOwnerWrites =
    QFile::ReadOwner | QFile::WriteOwner | QFile::ReadGroup | QFile::ReadOther;

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

// What talvik-ota-cli verify says: "ok", key id and trusted comment, tab separated (exit 0); else
// the refusal (exit 1).
QString verdictLine(const QString &image, const QStringList &keyFiles)
{
    QStringList arguments;
    for (const QString &key : keyFiles)
        arguments << "--trusted-key" << key;
    QProcess cli;
    cli.start(TALVIK_CLI_PATH, arguments << "verify" << image);
    if (!cli.waitForFinished(kRunTimeoutMs))
        return QStringLiteral("did not finish");
    const QString line = QString::fromUtf8(cli.readAllStandardOutput()).trimmed();
    const QString refused = QStringLiteral("refused\t");
    const QString reason = line.mid(refused.size());
    // The refusal on standard error too, naming the image.
    if (cli.exitCode() == 1 && line.startsWith(refused) &&
        QString::fromUtf8(cli.readAllStandardError()).trimmed() == image + ": " + reason)
        return reason;
    return cli.exitCode() == 0 ? line : QStringLiteral("exit %1: %2").arg(cli.exitCode()).arg(line);
}
} // namespace

class TestSignature : public QObject
{
    Q_OBJECT

    QTemporaryDir dir;
    QMap<QString, QString> keyIds;

    QString path(const QString &name) const { return dir.filePath(name); }
    // The row's own folder with the image, and the signature that `signer` made of it.
    QString signedImage(const QString &row, const QString &signer, bool legacy = false)
    {
        QDir().mkpath(path(row));
        const QString image = path(row + "/app.bin");
        if (!QFile::copy(path("app.bin"), image))
            return QString();
        if (!signer.isEmpty()) {
            const QString error =
                Minisigner::sign(path("keys/" + signer + ".key"), image, kComment, legacy);
            if (!error.isEmpty()) {
                qWarning("%s", qPrintable(error));
                return QString();
            }
        }
        return image;
    }

private slots:
    void initTestCase()
    {
        QVERIFY(dir.isValid() && QDir(dir.path()).mkpath("keys") &&
                QDir(dir.path()).mkpath("home"));
        // No folder of the user's holds a key: only the site's could.
        qputenv("XDG_CONFIG_HOME", path("home").toUtf8());
        for (const char *name : kKeyNames) {
            QCOMPARE(Minisigner::makeKeyPair(path("keys"), name), QString());
            // Whatever the umask: the key is written by its owner alone.
            QVERIFY(
                QFile::setPermissions(path(QStringLiteral("keys/%1.pub").arg(name)), kOwnerWrites));
            TrustedKeys keys;
            QCOMPARE(keys.loadFiles({path(QStringLiteral("keys/%1.pub").arg(name))}), QString());
            keyIds[name] = Minisign::keyIdText(keys.keys().first().id);
        }
        QByteArray image(kImageSize, '\0');
        for (int i = 0; i < kImageSize; ++i)
            image[i] = char(i * 7 + i / 256);
        QVERIFY(writeAll(path("app.bin"), image) && writeAll(path("other.bin"), image.left(999)));
        QCOMPARE(Minisigner::sign(path("keys/maker.key"), path("other.bin"), kComment), QString());
    }

    void verdicts_data()
    {
        // keys: trusted key files, "" for none given; the image signed by signer, then changed.
        // %S is the row's signature file, %K its own key file, %maker and so on the key ids.
        addColumns<QString, QString, QString, QString>({"keys", "signer", "change", "expected"});
        const QString ok = QStringLiteral("ok\t%1\t") + kComment;
        const QString mismatch = QStringLiteral(
            "the image does not match its signature %S: it was changed, or the signature is "
            "another image's");
        const QString untrusted = QStringLiteral(
            "the image is signed by key %1, which is not trusted: install its public key if you "
            "trust its maker");
        addRow("signed", "maker", "maker", "", ok.arg("%maker"));
        addRow("signed, legacy form", "maker", "maker", "legacy", ok.arg("%maker"));
        addRow("no trusted keys", "", "maker", "", QString("no trusted keys"));
        addRow("several keys, one signed", "stranger|maker|other", "other", "", ok.arg("%other"));
        addRow("no signature", "maker", "", "",
               QString("no signature file %S: only images signed by a trusted key are flashed; "
                       "the maker signs with minisign -S -m %I"));
        addRow("one byte of the image changed", "maker", "maker", "byte", mismatch);
        addRow("another image's signature", "maker", "maker", "other image", mismatch);
        addRow("signed by an untrusted key", "maker|other", "stranger", "",
               untrusted.arg("%stranger"));
        // The key id is not covered by the signature: only the comparison catches it.
        addRow("key id changed", "maker|other", "maker", "key id", untrusted.arg("%stranger"));
        addRow("trusted comment edited", "maker", "maker", "comment",
               QString("the trusted comment of %S was altered after signing"));
        addRow("signature truncated", "maker", "maker", "truncate",
               QString("the signature %S is malformed: 2 lines, not the 4 of minisign"));
        addRow("signature of garbage", "maker", "maker", "garbage",
               QString("the signature %S is malformed: 1 lines, not the 4 of minisign"));
        addRow("signature a folder", "maker", "", "folder",
               QString("cannot read the signature %S: not a regular file"));
        addRow("key file truncated", "own", "maker", "truncate key",
               QString("the key file %K is malformed: the key line is not base64 of 42 bytes"));
        addRow("key file of garbage", "own", "maker", "garbage key",
               QString("the key file %K is malformed: the first line is not an untrusted comment"));
        addRow("key file missing", "maker|own", "maker", "remove key",
               QString("cannot read the key file %K: no such file"));
        addRow("key file others may write", "own", "maker", "loose key",
               QString("%K may be written by others than its owner (mode 0664): refused; run "
                       "chmod go-w %K"));
    }

    void verdicts()
    {
        QFETCH(QString, keys);
        QFETCH(QString, signer);
        QFETCH(QString, change);
        QFETCH(QString, expected);

        const QString row = QTest::currentDataTag();
        const QString image = signedImage(row, signer, change == "legacy");
        QVERIFY(!image.isEmpty());
        const QString signature = ImageSignature::signaturePath(image);
        QByteArray text = readAll(signature);
        QList<QByteArray> lines = text.split('\n');
        const QString ownKey = path(row + "/own.pub");
        QVERIFY(QFile::copy(path("keys/maker.pub"), ownKey));
        if (change == "byte") {
            QByteArray bytes = readAll(image);
            bytes[kImageSize / 2] = char(bytes[kImageSize / 2] ^ 1);
            QVERIFY(writeAll(image, bytes));
        } else if (change == "other image") {
            QVERIFY(writeAll(signature, readAll(path("other.bin.minisig"))));
        } else if (change == "key id") {
            QByteArray decoded = QByteArray::fromBase64(lines[1]);
            QByteArray stranger =
                QByteArray::fromBase64(readAll(path("keys/stranger.pub")).split('\n')[1]);
            decoded.replace(2, 8, stranger.mid(2, 8));
            lines[1] = decoded.toBase64();
            QVERIFY(writeAll(signature, lines.join('\n')));
        } else if (change == "comment") {
            lines[2].replace("2.5.0", "2.6.0");
            QVERIFY(writeAll(signature, lines.join('\n')));
        } else if (change == "truncate") {
            QVERIFY(writeAll(signature, text.left(text.indexOf("\ntrusted comment:") - 30)));
        } else if (change == "garbage") {
            QVERIFY(writeAll(signature, QByteArray(200, '\x9C')));
        } else if (change == "folder") {
            QVERIFY(QDir().mkpath(signature));
        } else if (change == "truncate key") {
            QVERIFY(writeAll(ownKey, readAll(ownKey).left(60)));
        } else if (change == "garbage key") {
            QVERIFY(writeAll(ownKey, "RWQ\n" + QByteArray(50, 'A')));
        } else if (change == "remove key") {
            QVERIFY(QFile::remove(ownKey));
        } else if (change == "loose key") {
            QVERIFY(QFile::setPermissions(ownKey, QFile::permissions(ownKey) | QFile::WriteGroup));
        }

        QStringList keyFiles;
        for (const QString &name : keys.split('|', Qt::SkipEmptyParts))
            keyFiles << (name == "own" ? ownKey : path("keys/" + name + ".pub"));
        for (auto id = keyIds.cbegin(); id != keyIds.cend(); ++id)
            expected.replace('%' + id.key(), id.value());
        QCOMPARE(verdictLine(image, keyFiles),
                 expected.replace("%S", signature).replace("%I", image).replace("%K", ownKey));
    }

    // Bytes from anywhere, each edit on the lines minisign wrote: what is refused, and why.
    void hostileSignatures_data()
    {
        addColumns<QString, QString>({"edit", "error"});
        addRow("as written", "", "");
        addRow("CRLF line ends", "crlf", "");
        addRow("no final line end", "chop", "");
        addRow("blank lines up to 64 KiB", "pad 65536", "");
        addRow("one byte more than 64 KiB", "pad 65537", "larger than 64 KiB");
        addRow("a zero byte", "zero", "it holds a zero byte");
        addRow("a carriage return inside a line", "cr", "a carriage return inside a line");
        addRow("a fifth line", "fifth", "5 lines, not the 4 of minisign");
        addRow("a blank line between", "blank", "5 lines, not the 4 of minisign");
        addRow("no untrusted comment", "untrusted", "the first line is not an untrusted comment");
        addRow("signature a byte short", "short", "the signature line is not base64 of 74 bytes");
        addRow("signature not canonical base64", "noncanonical",
               "the signature line is not base64 of 74 bytes");
        addRow("signature not base64", "notbase64", "the signature line is not base64 of 74 bytes");
        addRow("unknown algorithm", "algorithm", "unknown algorithm 4545");
        addRow("no trusted comment", "trusted", "the third line is not a trusted comment");
        addRow("global signature a byte long", "global",
               "the global signature is not base64 of 64 bytes");
    }

    void hostileSignatures()
    {
        QFETCH(QString, edit);
        QFETCH(QString, error);

        QList<QByteArray> lines = readAll(path("other.bin.minisig")).split('\n');
        QByteArray decoded = QByteArray::fromBase64(lines[1]);
        if (edit == "short")
            lines[1] = decoded.left(73).toBase64();
        else if (edit == "noncanonical") // the last digit's unused bits set
            lines[1][98] = char(lines[1][98] + 1);
        else if (edit == "notbase64")
            lines[1][10] = '*';
        else if (edit == "algorithm")
            lines[1] = decoded.replace(0, 2, "EE").toBase64();
        else if (edit == "global")
            lines[3] = (QByteArray::fromBase64(lines[3]) + 'x').toBase64();
        else if (edit == "untrusted")
            lines[0].replace("untrusted", "trusted");
        else if (edit == "trusted")
            lines[2].replace("trusted comment:", "trusted comment;");
        else if (edit == "zero")
            lines[0] += '\0';
        else if (edit == "cr")
            lines[0].insert(3, '\r');
        else if (edit == "fifth")
            lines.insert(4, "more");
        else if (edit == "blank")
            lines.insert(1, "");
        QByteArray text = lines.join(edit == "crlf" ? "\r\n" : "\n");
        if (edit == "chop")
            text.chop(1);
        if (edit.startsWith("pad"))
            text.append(QByteArray(edit.mid(4).toInt() - text.size(), '\n'));

        const QString file = path("hostile.minisig");
        QVERIFY(writeAll(file, text));
        QByteArray bytes;
        MinisignSignature signature;
        QString found = Minisign::readSmallFile(file, &bytes);
        if (found.isEmpty())
            found = Minisign::readSignature(bytes, &signature);
        QCOMPARE(found, error);
    }

    void hostileKeys_data()
    {
        addColumns<QString, QString>({"edit", "error"});
        addRow("as written", "", "");
        addRow("CRLF line ends", "crlf", "");
        addRow("the key line alone", "alone", "1 lines, not the 2 of minisign");
        addRow("a byte short", "short", "the key line is not base64 of 42 bytes");
        addRow("not an Ed25519 key", "algorithm", "not an Ed25519 key");
    }

    void hostileKeys()
    {
        QFETCH(QString, edit);
        QFETCH(QString, error);

        QList<QByteArray> lines = readAll(path("keys/maker.pub")).split('\n');
        QByteArray decoded = QByteArray::fromBase64(lines[1]);
        if (edit == "alone")
            lines.removeFirst();
        else if (edit == "short")
            lines[1] = decoded.left(41).toBase64();
        else if (edit == "algorithm")
            lines[1] = decoded.replace(0, 2, "ED").toBase64();
        MinisignKey key;
        QCOMPARE(Minisign::readPublicKey(lines.join(edit == "crlf" ? "\r\n" : "\n"), &key), error);
    }

    // The folders: *.pub files only, each and the folder itself written by its owner alone.
    void folders_data()
    {
        addColumns<QString, QString>({"setup", "expected"});
        addRow("no folder", "none", "0 keys");
        addRow("keys and other files", "", "2 keys");
        addRow(
            "folder others may write", "loose folder",
            "%F may be written by others than its owner (mode 0777): refused; run chmod go-w %F");
        addRow("key others may write", "loose key",
               "%F/maker.pub may be written by others than its owner (mode 0646): refused; run "
               "chmod go-w %F/maker.pub");
        addRow("key of another user", "foreign",
               "%F/maker.pub belongs to user nobody, who may change it: refused; a trusted key "
               "and its folder must be yours or root's");
        addRow("a folder named as a key", "dir.pub",
               "cannot read the key file %F/dir.pub: not a regular file");
        addRow("a file in the folder's place", "file",
               "the trusted-keys folder %F is not a folder");
    }

    void folders()
    {
        QFETCH(QString, setup);
        QFETCH(QString, expected);

        const QString folder = path(QStringLiteral("folders/") + QTest::currentDataTag());
        QVERIFY(QDir().mkpath(QFileInfo(folder).path()));
        if (setup == "file") {
            QVERIFY(writeAll(folder, "keys"));
        } else if (setup != "none") {
            QVERIFY(QDir().mkpath(folder));
            QVERIFY(QFile::setPermissions(folder, kOwnerWrites | QFile::ExeOwner));
            for (const char *name : {"maker.pub", "other.pub", "maker.key"})
                QVERIFY(QFile::copy(path(QStringLiteral("keys/") + name), folder + '/' + name));
            QVERIFY(writeAll(folder + "/README", "keys of the site"));
        }
        const QString key = folder + "/maker.pub";
        if (setup == "loose folder")
            QVERIFY(QFile::setPermissions(folder, QFileDevice::Permissions(0x7777)));
        else if (setup == "loose key")
            QVERIFY(QFile::setPermissions(key, QFile::permissions(key) | QFile::WriteOther));
        else if (setup == "dir.pub")
            QVERIFY(QDir().mkpath(folder + "/dir.pub"));
        if (setup == "foreign") {
#ifdef Q_OS_UNIX
            if (geteuid() != 0)
                QSKIP("only root gives a file to another user");
            QVERIFY(chown(qPrintable(key), 65534, 65534) == 0);
#endif
        }

        TrustedKeys keys;
        const QString error = keys.loadFolders({path("folders/absent"), folder});
        QCOMPARE(error.isEmpty() ? QString("%1 keys").arg(keys.keys().size()) : error,
                 expected.replace("%F", folder));
    }

    void signedVersion_data()
    {
        addColumns<QString, QString>({"comment", "version"});
        addRow("version and more keys", "version:APP 2.5.0 model:door", "APP 2.5.0");
        addRow("version last", "model:door version:APP 2.5.0 ", "APP 2.5.0");
        addRow("between minisign's own fields", "timestamp:1\tversion:2.5\tfile:app.bin", "2.5");
        addRow("no version", "timestamp:1\tfile:app.bin", "");
        addRow("a key ending in version", "subversion:7", "");
        addRow("empty version", "version: model:door", "");
    }

    void signedVersion()
    {
        QFETCH(QString, comment);
        QFETCH(QString, version);
        QCOMPARE(ImageSignature::signedVersion(comment), version);
    }
};

QTEST_GUILESS_MAIN(TestSignature)
#include "tst_signature.moc"
