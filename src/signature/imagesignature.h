#ifndef IMAGESIGNATURE_H
#define IMAGESIGNATURE_H

#include <QByteArray>
#include <QCoreApplication>
#include <QString>

class TrustedKeys;

// A minisign public key file: "untrusted comment: ...", then base64 of "Ed", the key id and the
// Ed25519 key.
struct MinisignKey
{
    QByteArray id;        // 8 bytes, as stored
    QByteArray publicKey; // 32 bytes
    QString comment;      // the untrusted comment, without its prefix
    QString path;
};

// A detached minisign signature: the untrusted comment, base64 of the algorithm, the key id and
// the signature, "trusted comment: ...", base64 of the global signature over the signature and
// the trusted comment.
struct MinisignSignature
{
    bool hashed = true; // "ED": over the BLAKE2b-512 hash of the file; "Ed": over the file itself
    QByteArray keyId;
    QByteArray signature;
    QByteArray trustedComment;
    QByteArray globalSignature;
};

// Readers of both files, for bytes from anywhere: each returns an empty text when the bytes
// are such a file, else what is wrong with them.
namespace Minisign {
// Far above both files; a device or a huge file named by mistake is never read whole.
constexpr qint64 kMaxFileBytes = 64 * 1024;
QString readPublicKey(const QByteArray &text, MinisignKey *key);
QString readSignature(const QByteArray &text, MinisignSignature *signature);
// The whole file, at most kMaxFileBytes; empty when read, else why not.
QString readSmallFile(const QString &path, QByteArray *bytes);
// As minisign shows it: the id as a little-endian number in upper-case hexadecimal, without
// leading zeros.
QString keyIdText(const QByteArray &id);
bool verifyEd25519(const QByteArray &publicKey, const QByteArray &message,
                   const QByteArray &signature);
} // namespace Minisign

// Whether an image may be sent: the verdict on its signature beside it, IMAGE.minisig.
struct ImageVerdict
{
    enum class Result { Unchecked, Accepted, Refused };
    Result result = Result::Unchecked; // Unchecked: there is no trusted key
    QString reason;                    // refused: why, in one line
    QString keyId;                     // accepted: by which key, and what it signed
    QString keyComment;
    QString trustedComment;
    QString signedVersion; // the trusted comment's version:TEXT, empty when it has none

    bool accepted() const { return result == Result::Accepted; }
    bool refused() const { return result == Result::Refused; }
};

class ImageSignature
{
    Q_DECLARE_TR_FUNCTIONS(ImageSignature)
public:
    static QString signaturePath(const QString &imagePath);
    // The image's bytes as they will be sent, read from imagePath; Unchecked without keys.
    static ImageVerdict check(const QString &imagePath, const QByteArray &image,
                              const TrustedKeys &keys);
    // The keys read afresh (the given files, else the site's and the user's folders), then
    // check(); a key that cannot be used refuses the image.
    static ImageVerdict checkWithTrustedKeys(const QString &imagePath, const QByteArray &image,
                                             const QStringList &keyFiles = {});
    // "version:APP 2.5.0 model:door" holds "APP 2.5.0": the text after version: up to the next
    // blank-separated key: or the end.
    static QString signedVersion(const QString &trustedComment);

private:
    static ImageVerdict refusal(const QString &reason);
};

#endif // IMAGESIGNATURE_H
