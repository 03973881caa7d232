#ifndef SER2NET_H
#define SER2NET_H

#include <QProcess>
#include <QString>
#include <QTemporaryDir>

// Debian's ser2net in front of a serial device (the simulator's pseudo-terminal): an RFC 2217
// port and a raw TCP port on 127.0.0.1, free ones, started in the foreground from a
// configuration written here and stopped by its pid. With Tls, two more ports speak the same
// through TLS and take only clients whose certificate the user "technician" allows.
class Ser2net
{
public:
    enum Security { Plain, Tls };

    explicit Ser2net(const QString &devicePath, Security security = Plain);
    ~Ser2net() { stop(); }

    // Empty once every port takes connections; else why not. With Tls the keys and
    // certificates are made first (openssl req), once.
    QString start();
    // SIGTERM, or SIGKILL as a crash or a pulled network cable would end it.
    void stop(bool kill = false);
    QString rfc2217Url() const { return QStringLiteral("rfc2217://127.0.0.1:%1").arg(rfcPort); }
    QString tcpUrl() const { return QStringLiteral("tcp://127.0.0.1:%1").arg(rawPort); }
    // The TLS ports with the parameters that open them: the server's certificate pinned, the
    // technician's certificate and key.
    QString tlsRfc2217Url() const { return tlsUrl("rfc2217+tls", tlsRfcPort) + pinnedQuery(); }
    QString tlsTcpUrl() const { return tlsUrl("tcp+tls", tlsRawPort) + pinnedQuery(); }
    // Without parameters, for a test that gives its own.
    QString tlsUrl(const char *scheme, bool raw) const
    {
        return tlsUrl(scheme, raw ? tlsRawPort : tlsRfcPort);
    }
    // Made at start: server.crt (IP:127.0.0.1) and its key; client.crt and client.key, allowed
    // (RSA); other.crt and other.key, a technician's certificate not allowed (EC).
    QString file(const char *name) const { return dir.filePath(QLatin1String(name)); }
    // The SHA-256 of server.crt as openssl x509 -fingerprint -sha256 prints it.
    QString serverFingerprint() const { return fingerprint; }

private:
    QString tlsUrl(const char *scheme, quint16 port) const
    {
        return QStringLiteral("%1://127.0.0.1:%2").arg(QLatin1String(scheme)).arg(port);
    }
    QString pinnedQuery() const;
    QString makeKeys();
    QString configuration() const;

    QTemporaryDir dir;
    QString device;
    Security security;
    quint16 rfcPort;
    quint16 rawPort;
    quint16 tlsRfcPort = 0;
    quint16 tlsRawPort = 0;
    QString fingerprint;
    QProcess server;
};

#endif // SER2NET_H
