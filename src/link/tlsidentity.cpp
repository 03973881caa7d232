#include "tlsidentity.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>

namespace {
const char kFolderName[] = "talvik-ota-tool";
const char kClientCertName[] = "client.crt";
const char kClientKeyName[] = "client.key";
const char kCaName[] = "ca.crt";
// Far above any certificate chain: a device or a huge file named by mistake is not read whole.
constexpr qint64 kMaxPemBytes = 1024 * 1024;
// Group and other bits of a file's mode.
constexpr int kOthersModeBits = 0077;

// The file's bytes, or why they cannot be had.
QString readPem(const QString &path, const QString &what, QByteArray *bytes)
{
    const QFileInfo info(path);
    QFile file(path);
    if (!info.exists())
        return TlsIdentity::tr("cannot read %1 %2: no such file").arg(what, path);
    if (!info.isFile())
        return TlsIdentity::tr("cannot read %1 %2: not a regular file").arg(what, path);
    if (!file.open(QIODevice::ReadOnly))
        return TlsIdentity::tr("cannot read %1 %2: %3").arg(what, path, file.errorString());
    *bytes = file.read(kMaxPemBytes);
    return QString();
}

// The mode as chmod takes it, from Qt's flags: owner 0x7000, group 0x0070, other 0x0007.
int modeOf(const QFileInfo &file)
{
    const int flags = int(file.permissions());
    return ((flags >> 12) & 7) << 6 | ((flags >> 4) & 7) << 3 | (flags & 7);
}

QString subjectText(const QSslCertificate &certificate)
{
    QStringList parts;
    for (const QByteArray &attribute : certificate.subjectInfoAttributes())
        parts << QString::fromLatin1(attribute) + QLatin1Char('=') +
                     certificate.subjectInfo(attribute).join(QLatin1Char('+'));
    return parts.join(QStringLiteral(", "));
}

// The names a certificate holds for its server: DNS and IP subject alternative names.
QString namesText(const QSslCertificate &certificate)
{
    QStringList names;
    const auto alternatives = certificate.subjectAlternativeNames();
    for (auto name = alternatives.cbegin(); name != alternatives.cend(); ++name) {
        if (name.key() == QSsl::DnsEntry || name.key() == QSsl::IpAddressEntry)
            names << QLatin1String(name.key() == QSsl::DnsEntry ? "DNS:" : "IP:") + name.value();
    }
    return names.isEmpty() ? subjectText(certificate) : names.join(QStringLiteral(", "));
}
} // namespace

QString TlsIdentity::defaultFolder()
{
    return QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation) +
           QLatin1Char('/') + QLatin1String(kFolderName);
}

QString TlsIdentity::fingerprintText(const QByteArray &digest)
{
    return QString::fromLatin1(digest.toHex(':').toUpper());
}

QString TlsIdentity::load(const BusAddress &address)
{
    *this = TlsIdentity();
    host = address.host;
    pin = address.fingerprint;
    const QDir folder(defaultFolder());
    caPath = address.caFile;
    if (caPath.isEmpty() && pin.isEmpty() && folder.exists(QLatin1String(kCaName)))
        caPath = folder.filePath(QLatin1String(kCaName));
    certPath = address.certFile;
    keyPath = address.keyFile;
    if (certPath.isEmpty() && (folder.exists(QLatin1String(kClientCertName)) ||
                               folder.exists(QLatin1String(kClientKeyName)))) {
        certPath = folder.filePath(QLatin1String(kClientCertName));
        keyPath = folder.filePath(QLatin1String(kClientKeyName));
    }
    const QString error = loadAuthorities();
    return error.isEmpty() ? loadClient() : error;
}

QString TlsIdentity::loadAuthorities()
{
    QByteArray pem;
    if (caPath.isEmpty())
        return QString();
    const QString error = readPem(caPath, tr("the CA file"), &pem);
    if (!error.isEmpty())
        return error;
    authorities = QSslCertificate::fromData(pem, QSsl::Pem);
    return authorities.isEmpty() ? tr("the CA file %1 holds no PEM certificate").arg(caPath)
                                 : QString();
}

QString TlsIdentity::loadClient()
{
    QByteArray pem;
    if (certPath.isEmpty())
        return QString();
    QString error = readPem(certPath, tr("the client certificate"), &pem);
    if (!error.isEmpty())
        return error;
    certificate = QSslCertificate::fromData(pem, QSsl::Pem).value(0);
    if (certificate.isNull())
        return tr("the client certificate %1 holds no PEM certificate").arg(certPath);
    // A key its group or others may read is no longer ours alone; ssh refuses one too.
    const QFileInfo keyFile(keyPath);
    if (keyFile.exists() && (modeOf(keyFile) & kOthersModeBits) != 0)
        return tr("the client key %1 is open to others (mode %2): refused; run chmod 600 %1")
            .arg(keyPath)
            .arg(modeOf(keyFile), 4, 8, QLatin1Char('0'));
    error = readPem(keyPath, tr("the client key"), &pem);
    if (!error.isEmpty())
        return error;
    for (const QSsl::KeyAlgorithm algorithm : {QSsl::Rsa, QSsl::Ec}) {
        if (key.isNull())
            key = QSslKey(pem, algorithm);
    }
    return key.isNull() ? tr("the client key %1 holds no unencrypted PEM private key (RSA or EC)")
                              .arg(keyPath)
                        : QString();
}

QSslConfiguration TlsIdentity::configuration() const
{
    QSslConfiguration configuration = QSslConfiguration::defaultConfiguration();
    configuration.setProtocol(QSsl::TlsV1_2OrLater);
    configuration.setPeerVerifyMode(QSslSocket::VerifyPeer);
    // Replaces the system's store and stops Qt from loading it on demand.
    configuration.setCaCertificates(authorities);
    if (!certificate.isNull()) {
        configuration.setLocalCertificate(certificate);
        configuration.setPrivateKey(key);
    }
    return configuration;
}

QString TlsIdentity::refusal(const QSslCertificate &server, const QList<QSslError> &errors) const
{
    const QByteArray digest = server.digest(QCryptographicHash::Sha256);
    const QString seen = fingerprintText(digest);
    if (!pin.isEmpty()) {
        if (digest == pin)
            return QString();
        // Lines of their own in the window; the command line joins them.
        return tr("WARNING: the server's certificate has the SHA-256 fingerprint %1,\nnot the "
                  "pinned %2:\nthe server may have been replaced, or someone is in between; "
                  "refused. Ask its operator before you change the pin")
            .arg(seen, fingerprintText(pin));
    }
    if (authorities.isEmpty())
        return tr("the server's certificate is not trusted: there is no fingerprint or ca to "
                  "check it against (subject %1, SHA-256 fingerprint %2). Check the fingerprint "
                  "with the server's operator, then give fingerprint=%2")
            .arg(subjectText(server), seen);
    QList<QSslError::SslError> found;
    for (const QSslError &error : errors)
        found << error.error();
    for (const QSslError &error : errors) {
        if (error.error() != QSslError::HostNameMismatch &&
            error.error() != QSslError::CertificateExpired &&
            error.error() != QSslError::CertificateNotYetValid)
            return tr("the server's certificate (subject %1, SHA-256 fingerprint %2) does not "
                      "chain to the certificates of %3 (%4): refused; give the CA that signed "
                      "it, or check the fingerprint with its operator and pin it")
                .arg(subjectText(server), seen, caPath, error.errorString());
    }
    if (found.contains(QSslError::HostNameMismatch))
        return tr("the server's certificate does not name %1 (it names %2): refused; use a name "
                  "it holds, or have the certificate made for this one")
            .arg(host, namesText(server));
    if (found.contains(QSslError::CertificateExpired))
        return tr("the server's certificate expired on %1: refused; the server needs a new one")
            .arg(server.expiryDate().toString(Qt::ISODate));
    if (found.contains(QSslError::CertificateNotYetValid))
        return tr("the server's certificate is valid only from %1: refused; check the clocks")
            .arg(server.effectiveDate().toString(Qt::ISODate));
    return QString();
}

QString TlsIdentity::clientRefusal() const
{
    if (certificate.isNull())
        return tr("the server asks for a client certificate: give cert= and key=, or put %1 and "
                  "%2 in %3")
            .arg(QLatin1String(kClientCertName), QLatin1String(kClientKeyName), defaultFolder());
    return tr("the server refused the client certificate %1 (%2): have its operator add it to "
              "the allowed certificates of the user")
        .arg(certPath, subjectText(certificate));
}

QString TlsIdentity::keyMismatch(const QString &detail) const
{
    return tr("the client certificate %1 and the key %2 do not belong together (%3)")
        .arg(certPath, keyPath, detail);
}
