#ifndef TLSIDENTITY_H
#define TLSIDENTITY_H

#include "busaddress.h"

#include <QCoreApplication>
#include <QList>
#include <QSslCertificate>
#include <QSslConfiguration>
#include <QSslError>
#include <QSslKey>

// Who we are to a TLS server, and whom we take for the server: the client certificate and key,
// the CA certificates or the pinned fingerprint that the server's certificate must match. From
// the port's parameters, else from the default folder.
class TlsIdentity
{
    Q_DECLARE_TR_FUNCTIONS(TlsIdentity)
public:
    // Reads the files; empty when they can be used, else why not.
    QString load(const BusAddress &address);
    // TLS 1.2 or newer, the server verified against the CA certificates alone (never the
    // system's), our certificate and key when we have them.
    QSslConfiguration configuration() const;
    // Why the server's certificate is refused, given what Qt found wrong with it (chain, name,
    // dates); empty when it is trusted. A pin that differs is told on lines split by '\n'.
    QString refusal(const QSslCertificate &server, const QList<QSslError> &errors) const;
    // The server closed the connection right after the handshake: it did not take us.
    QString clientRefusal() const;
    // Qt refused our certificate with our key.
    QString keyMismatch(const QString &detail) const;

    // $XDG_CONFIG_HOME/talvik-ota-tool, by default ~/.config/talvik-ota-tool: client.crt,
    // client.key and ca.crt, each used when present and not named in the port.
    static QString defaultFolder();
    // As openssl x509 -fingerprint -sha256 prints it: AB:CD:...
    static QString fingerprintText(const QByteArray &digest);

private:
    QString loadAuthorities();
    QString loadClient();

    QString host;
    QByteArray pin;
    QString caPath;
    QString certPath;
    QString keyPath;
    QList<QSslCertificate> authorities;
    QSslCertificate certificate;
    QSslKey key;
};

#endif // TLSIDENTITY_H
