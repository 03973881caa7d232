#ifndef RFC2217LINK_H
#define RFC2217LINK_H

#include "rawtcplink.h"
#include "telnetfilter.h"

#include <QHash>

// A network serial server's port that speaks telnet with the COM-PORT-OPTION
// (rfc2217://HOST:PORT, or through TLS rfc2217+tls://HOST:PORT): the link sets the line's rate
// and format itself, as on a local port.
class Rfc2217Link : public RawTcpLink
{
    Q_OBJECT
public:
    explicit Rfc2217Link(const BusAddress &address) : RawTcpLink(address) {}

    bool setsLineRate() const override { return true; }
    // Telnet is what this link expects.
    QString mixUpHint() const override { return QString(); }

protected:
    QByteArray takeData(const QByteArray &received) override;
    QByteArray encode(const QByteArray &frame) const override
    {
        return TelnetFilter::escape(frame);
    }
    bool startLine(int baudRate) override;

private:
    bool allConfirmed() const;
    // Why the confirmed settings are not those asked; empty when they are.
    QString settingsProblem(quint32 baudRate) const;

    TelnetFilter filter;
    // The server's answers to our settings: command code, the value it now uses.
    QHash<uint8_t, QByteArray> confirmed;
};

#endif // RFC2217LINK_H
