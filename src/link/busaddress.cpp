#include "busaddress.h"

#include <QCoreApplication>
#include <QRegularExpression>
#include <QSet>
#include <QUrl>

namespace {
const char kRfc2217Scheme[] = "rfc2217";
const char kRawTcpScheme[] = "tcp";
const char kTlsSuffix[] = "+tls";
constexpr uint kHighestPort = 65535;
const char kCleartext[] = "cleartext";
const char kCa[] = "ca";
const char kFingerprint[] = "fingerprint";
const char kCert[] = "cert";
const char kKey[] = "key";

// Texts of this file pass through tr() in this context.
struct BusAddressText
{
    Q_DECLARE_TR_FUNCTIONS(BusAddress)
};

// SHA-256 as 64 hexadecimal digits of either case, colons allowed between the bytes.
QByteArray parseFingerprint(const QString &text)
{
    static const QRegularExpression digits(
        QStringLiteral("^[0-9A-Fa-f]{2}(?::?[0-9A-Fa-f]{2}){31}$"));
    if (!digits.match(text).hasMatch())
        return QByteArray();
    return QByteArray::fromHex(QString(text).remove(QLatin1Char(':')).toLatin1());
}
} // namespace

QString BusAddress::scheme() const
{
    return QLatin1String(kind == Kind::Rfc2217 ? kRfc2217Scheme : kRawTcpScheme) +
           QLatin1String(tls ? kTlsSuffix : "");
}

BusAddress BusAddress::parse(const QString &text)
{
    BusAddress address;
    address.text = text;
    static const QRegularExpression scheme(
        QStringLiteral("^([A-Za-z][A-Za-z0-9+.-]*)://([^?]*)(?:\\?(.*))?$"));
    const QRegularExpressionMatch url = scheme.match(text);
    if (!url.hasMatch())
        return address;

    QString name = url.captured(1).toLower();
    address.tls = name.endsWith(QLatin1String(kTlsSuffix));
    if (address.tls)
        name.chop(int(qstrlen(kTlsSuffix)));
    if (name == QLatin1String(kRfc2217Scheme)) {
        address.kind = Kind::Rfc2217;
    } else if (name == QLatin1String(kRawTcpScheme)) {
        address.kind = Kind::RawTcp;
    } else {
        address.error = BusAddressText::tr("unknown scheme '%1://' (rfc2217://, tcp://, "
                                           "rfc2217+tls:// or tcp+tls://)")
                            .arg(url.captured(1));
        return address;
    }
    // HOST:PORT with nothing behind but the query; an IPv6 host in brackets.
    static const QRegularExpression hostPort(
        QStringLiteral("^(?:\\[([0-9A-Fa-f:.]+)\\]|([A-Za-z0-9_.-]+)):([0-9]{1,5})$"));
    const QRegularExpressionMatch parts = hostPort.match(url.captured(2));
    if (!parts.hasMatch()) {
        address.error = BusAddressText::tr("expected %1://HOST:PORT").arg(address.scheme());
        return address;
    }
    const uint port = parts.captured(3).toUInt();
    if (port == 0 || port > kHighestPort) {
        address.error = BusAddressText::tr("port %1 is outside 1 to 65535").arg(parts.captured(3));
        return address;
    }
    address.host = parts.captured(1).isEmpty() ? parts.captured(2) : parts.captured(1);
    address.port = static_cast<quint16>(port);
    if (url.capturedStart(3) >= 0)
        address.error = address.takeQuery(url.captured(3));
    return address;
}

// NAME=VALUE&..., each name at most once, values percent-decoded; why not, or empty.
QString BusAddress::takeQuery(const QString &query)
{
    const QStringList names =
        tls ? QStringList{kCa, kFingerprint, kCert, kKey} : QStringList{QLatin1String(kCleartext)};
    QSet<QString> given;
    for (const QString &item : query.split(QLatin1Char('&'))) {
        const QString name = item.section(QLatin1Char('='), 0, 0);
        const QString value = QUrl::fromPercentEncoding(item.section(QLatin1Char('='), 1).toUtf8());
        if (!names.contains(name))
            return BusAddressText::tr("%1:// does not take '%2' (it takes %3)")
                .arg(scheme(), name,
                     tls ? BusAddressText::tr("ca, fingerprint, cert and key")
                         : BusAddressText::tr("only cleartext=yes"));
        if (given.contains(name))
            return BusAddressText::tr("'%1' is given twice").arg(name);
        given.insert(name);
        if (!item.contains(QLatin1Char('=')) || value.isEmpty())
            return BusAddressText::tr("'%1' needs a value").arg(name);
        if (name == QLatin1String(kCleartext)) {
            if (value != QLatin1String("yes"))
                return BusAddressText::tr("cleartext takes only yes");
            cleartextAccepted = true;
        } else if (name == QLatin1String(kFingerprint)) {
            fingerprint = parseFingerprint(value);
            if (fingerprint.isEmpty())
                return BusAddressText::tr("bad fingerprint '%1': the SHA-256 of the server's "
                                          "certificate, 64 hexadecimal digits, colons allowed")
                    .arg(value);
        } else {
            (name == QLatin1String(kCa)     ? caFile
             : name == QLatin1String(kCert) ? certFile
                                            : keyFile) = value;
        }
    }
    if (certFile.isEmpty() != keyFile.isEmpty())
        return BusAddressText::tr("cert and key go together");
    if (!caFile.isEmpty() && !fingerprint.isEmpty())
        return BusAddressText::tr("ca and fingerprint exclude each other: the pin alone decides");
    return QString();
}
