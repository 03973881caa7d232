#include "imagesignature.h"
#include "trustedkeys.h"

#include <QFile>
#include <QFileInfo>
#include <QList>
#include <QRegularExpression>

#include <openssl/err.h>
#include <openssl/evp.h>

#include <memory>

namespace {
const char kUntrustedPrefix[] = "untrusted comment: ";
const char kTrustedPrefix[] = "trusted comment: ";
const char kKeyAlgorithm[] = "Ed";
const char kHashedAlgorithm[] = "ED";
const char kLegacyAlgorithm[] = "Ed";
constexpr int kAlgorithmBytes = 2;
constexpr int kKeyIdBytes = 8;
constexpr int kPublicKeyBytes = 32;
constexpr int kSignatureBytes = 64;
constexpr int kKeyLines = 2;
constexpr int kSignatureLines = 4;

const unsigned char *bytesOf(const QByteArray &data)
{
    return reinterpret_cast<const unsigned char *>(data.constData());
}

// The lines of a file without their ends (LF, or CRLF as an editor may save it), blank lines at
// its end dropped; empty when they are not `count` lines of text, with *error saying why.
QList<QByteArray> linesOf(const QByteArray &text, int count, QString *error)
{
    if (text.contains('\0')) {
        *error = ImageSignature::tr("it holds a zero byte");
        return {};
    }
    QList<QByteArray> lines = text.split('\n');
    for (QByteArray &line : lines) {
        if (line.endsWith('\r'))
            line.chop(1);
        if (line.contains('\r')) {
            *error = ImageSignature::tr("a carriage return inside a line");
            return {};
        }
    }
    while (!lines.isEmpty() && lines.last().isEmpty())
        lines.removeLast();
    if (lines.size() != count) {
        *error =
            ImageSignature::tr("%1 lines, not the %2 of minisign").arg(lines.size()).arg(count);
        return {};
    }
    return lines;
}

// Exactly `size` bytes in canonical base64, or nothing.
QByteArray decodeBase64(const QByteArray &line, int size)
{
    const auto decoded =
        QByteArray::fromBase64Encoding(line, QByteArray::AbortOnBase64DecodingErrors);
    if (!decoded || decoded.decoded.size() != size || decoded.decoded.toBase64() != line)
        return QByteArray();
    return decoded.decoded;
}

QByteArray blake2b512(const QByteArray &data)
{
    QByteArray digest(EVP_MAX_MD_SIZE, '\0');
    unsigned int size = 0;
    if (EVP_Digest(data.constData(), size_t(data.size()),
                   reinterpret_cast<unsigned char *>(digest.data()), &size, EVP_blake2b512(),
                   nullptr) != 1) {
        ERR_clear_error();
        return QByteArray();
    }
    digest.truncate(int(size));
    return digest;
}
} // namespace

QString Minisign::readPublicKey(const QByteArray &text, MinisignKey *key)
{
    QString error;
    const QList<QByteArray> lines = linesOf(text, kKeyLines, &error);
    if (lines.isEmpty())
        return error;
    if (!lines[0].startsWith(kUntrustedPrefix))
        return ImageSignature::tr("the first line is not an untrusted comment");
    const QByteArray decoded =
        decodeBase64(lines[1], kAlgorithmBytes + kKeyIdBytes + kPublicKeyBytes);
    if (decoded.isEmpty())
        return ImageSignature::tr("the key line is not base64 of %1 bytes")
            .arg(kAlgorithmBytes + kKeyIdBytes + kPublicKeyBytes);
    if (!decoded.startsWith(kKeyAlgorithm))
        return ImageSignature::tr("not an Ed25519 key");
    key->id = decoded.mid(kAlgorithmBytes, kKeyIdBytes);
    key->publicKey = decoded.mid(kAlgorithmBytes + kKeyIdBytes);
    key->comment = QString::fromUtf8(lines[0].mid(int(sizeof kUntrustedPrefix) - 1));
    return QString();
}

QString Minisign::readSignature(const QByteArray &text, MinisignSignature *signature)
{
    QString error;
    const QList<QByteArray> lines = linesOf(text, kSignatureLines, &error);
    if (lines.isEmpty())
        return error;
    if (!lines[0].startsWith(kUntrustedPrefix))
        return ImageSignature::tr("the first line is not an untrusted comment");
    const QByteArray decoded =
        decodeBase64(lines[1], kAlgorithmBytes + kKeyIdBytes + kSignatureBytes);
    if (decoded.isEmpty())
        return ImageSignature::tr("the signature line is not base64 of %1 bytes")
            .arg(kAlgorithmBytes + kKeyIdBytes + kSignatureBytes);
    const QByteArray algorithm = decoded.left(kAlgorithmBytes);
    if (algorithm != kHashedAlgorithm && algorithm != kLegacyAlgorithm)
        return ImageSignature::tr("unknown algorithm %1")
            .arg(QString::fromLatin1(algorithm.toHex()));
    if (!lines[2].startsWith(kTrustedPrefix))
        return ImageSignature::tr("the third line is not a trusted comment");
    const QByteArray global = decodeBase64(lines[3], kSignatureBytes);
    if (global.isEmpty())
        return ImageSignature::tr("the global signature is not base64 of %1 bytes")
            .arg(kSignatureBytes);
    signature->hashed = algorithm == kHashedAlgorithm;
    signature->keyId = decoded.mid(kAlgorithmBytes, kKeyIdBytes);
    signature->signature = decoded.mid(kAlgorithmBytes + kKeyIdBytes);
    signature->trustedComment = lines[2].mid(int(sizeof kTrustedPrefix) - 1);
    signature->globalSignature = global;
    return QString();
}

QString Minisign::readSmallFile(const QString &path, QByteArray *bytes)
{
    const QFileInfo info(path);
    if (!info.exists())
        return ImageSignature::tr("no such file");
    if (!info.isFile())
        return ImageSignature::tr("not a regular file");
    const QString tooLarge = ImageSignature::tr("larger than %1 KiB").arg(kMaxFileBytes / 1024);
    if (info.size() > kMaxFileBytes)
        return tooLarge;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return file.errorString();
    // The file may have grown since it was looked at.
    *bytes = file.read(kMaxFileBytes + 1);
    if (file.error() != QFileDevice::NoError)
        return file.errorString();
    return bytes->size() > kMaxFileBytes ? tooLarge : QString();
}

QString Minisign::keyIdText(const QByteArray &id)
{
    QByteArray reversed(id.size(), '\0');
    std::copy(id.crbegin(), id.crend(), reversed.begin());
    // Without leading zeros, as minisign writes it into the key file's comment.
    QString digits = QString::fromLatin1(reversed.toHex().toUpper());
    while (digits.size() > 1 && digits.startsWith(QLatin1Char('0')))
        digits.remove(0, 1);
    return digits;
}

bool Minisign::verifyEd25519(const QByteArray &publicKey, const QByteArray &message,
                             const QByteArray &signature)
{
    if (publicKey.size() != kPublicKeyBytes || signature.size() != kSignatureBytes)
        return false;
    const std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)> key(
        EVP_PKEY_new_raw_public_key(EVP_PKEY_ED25519, nullptr, bytesOf(publicKey),
                                    size_t(publicKey.size())),
        &EVP_PKEY_free);
    const std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> context(EVP_MD_CTX_new(),
                                                                          &EVP_MD_CTX_free);
    // Ed25519 is one-shot: no digest of its own, the whole message at once.
    const bool good =
        key && context &&
        EVP_DigestVerifyInit(context.get(), nullptr, nullptr, nullptr, key.get()) == 1 &&
        EVP_DigestVerify(context.get(), bytesOf(signature), size_t(signature.size()),
                         bytesOf(message), size_t(message.size())) == 1;
    ERR_clear_error();
    return good;
}

QString ImageSignature::signaturePath(const QString &imagePath)
{
    return imagePath + QLatin1String(".minisig");
}

ImageVerdict ImageSignature::refusal(const QString &reason)
{
    ImageVerdict verdict;
    verdict.result = ImageVerdict::Result::Refused;
    verdict.reason = reason;
    return verdict;
}

ImageVerdict ImageSignature::check(const QString &imagePath, const QByteArray &image,
                                   const TrustedKeys &keys)
{
    if (keys.isEmpty())
        return ImageVerdict();
    const QString path = signaturePath(imagePath);
    if (!QFileInfo::exists(path))
        return refusal(tr("no signature file %1: only images signed by a trusted key are "
                          "flashed; the maker signs with minisign -S -m %2")
                           .arg(path, imagePath));
    QByteArray text;
    const QString unreadable = Minisign::readSmallFile(path, &text);
    if (!unreadable.isEmpty())
        return refusal(tr("cannot read the signature %1: %2").arg(path, unreadable));
    MinisignSignature signature;
    const QString malformed = Minisign::readSignature(text, &signature);
    if (!malformed.isEmpty())
        return refusal(tr("the signature %1 is malformed: %2").arg(path, malformed));

    const QByteArray signedBytes = signature.hashed ? blake2b512(image) : image;
    QString reason = tr("the image is signed by key %1, which is not trusted: install its public "
                        "key if you trust its maker")
                         .arg(Minisign::keyIdText(signature.keyId));
    for (const MinisignKey &key : keys.keys()) {
        if (key.id != signature.keyId)
            continue;
        if (!Minisign::verifyEd25519(key.publicKey, signedBytes, signature.signature)) {
            reason = tr("the image does not match its signature %1: it was changed, or the "
                        "signature is another image's")
                         .arg(path);
            continue;
        }
        if (!Minisign::verifyEd25519(key.publicKey, signature.signature + signature.trustedComment,
                                     signature.globalSignature)) {
            reason = tr("the trusted comment of %1 was altered after signing").arg(path);
            continue;
        }
        ImageVerdict verdict;
        verdict.result = ImageVerdict::Result::Accepted;
        verdict.keyId = Minisign::keyIdText(key.id);
        verdict.keyComment = key.comment;
        verdict.trustedComment = QString::fromUtf8(signature.trustedComment);
        verdict.signedVersion = signedVersion(verdict.trustedComment);
        return verdict;
    }
    return refusal(reason);
}

ImageVerdict ImageSignature::checkWithTrustedKeys(const QString &imagePath, const QByteArray &image,
                                                  const QStringList &keyFiles)
{
    TrustedKeys keys;
    const QString problem = keys.load(keyFiles);
    return problem.isEmpty() ? check(imagePath, image, keys) : refusal(problem);
}

QString ImageSignature::signedVersion(const QString &trustedComment)
{
    static const QRegularExpression version(
        QStringLiteral("(?:^|[ \\t])version:(.*?)(?=[ \\t]+[A-Za-z][A-Za-z0-9_.-]*:|[ \\t]*$)"));
    return version.match(trustedComment).captured(1).trimmed();
}
