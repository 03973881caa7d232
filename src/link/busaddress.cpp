#include "busaddress.h"

#include <QCoreApplication>
#include <QRegularExpression>

namespace {
const char kRfc2217Scheme[] = "rfc2217";
const char kRawTcpScheme[] = "tcp";
constexpr uint kHighestPort = 65535;

// Texts of this file pass through tr() in this context.
struct BusAddressText
{
    Q_DECLARE_TR_FUNCTIONS(BusAddress)
};
} // namespace

BusAddress BusAddress::parse(const QString &text)
{
    BusAddress address;
    address.text = text;
    static const QRegularExpression scheme(QStringLiteral("^([A-Za-z][A-Za-z0-9+.-]*)://(.*)$"));
    const QRegularExpressionMatch url = scheme.match(text);
    if (!url.hasMatch())
        return address;

    const QString name = url.captured(1).toLower();
    if (name == QLatin1String(kRfc2217Scheme)) {
        address.kind = Kind::Rfc2217;
    } else if (name == QLatin1String(kRawTcpScheme)) {
        address.kind = Kind::RawTcp;
    } else {
        address.error = BusAddressText::tr("unknown scheme '%1://' (rfc2217:// or tcp://)")
                            .arg(url.captured(1));
        return address;
    }
    // HOST:PORT with nothing behind; an IPv6 host in brackets.
    static const QRegularExpression hostPort(
        QStringLiteral("^(?:\\[([0-9A-Fa-f:.]+)\\]|([A-Za-z0-9_.-]+)):([0-9]{1,5})$"));
    const QRegularExpressionMatch parts = hostPort.match(url.captured(2));
    if (!parts.hasMatch()) {
        address.error = BusAddressText::tr("expected %1://HOST:PORT").arg(name);
        return address;
    }
    const uint port = parts.captured(3).toUInt();
    if (port == 0 || port > kHighestPort) {
        address.error = BusAddressText::tr("port %1 is outside 1 to 65535").arg(parts.captured(3));
        return address;
    }
    address.host = parts.captured(1).isEmpty() ? parts.captured(2) : parts.captured(1);
    address.port = static_cast<quint16>(port);
    return address;
}
