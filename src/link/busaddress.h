#ifndef BUSADDRESS_H
#define BUSADDRESS_H

#include <QByteArray>
#include <QString>

// Where a bus is reached, read from the text of a port: "rfc2217://HOST:PORT" or
// "tcp://HOST:PORT" name a network serial server (HOST a name, an IPv4 address or an IPv6
// address in brackets), "rfc2217+tls://" and "tcp+tls://" the same through TLS; any other text
// is a local serial device. Parameters follow as a query: ca, fingerprint, cert and key for TLS,
// cleartext=yes alone for the plain schemes.
struct BusAddress
{
    enum class Kind { LocalPort, RawTcp, Rfc2217 };

    Kind kind = Kind::LocalPort;
    bool tls = false;
    QString text; // as given
    QString host; // network only, without brackets
    quint16 port = 0;
    // cleartext=yes: a plain scheme may reach beyond loopback and private networks.
    bool cleartextAccepted = false;
    // TLS parameters as given, empty when not: PEM files and the server certificate's SHA-256.
    QString caFile;
    QString certFile;
    QString keyFile;
    QByteArray fingerprint;
    QString error; // why the text names no usable address; empty when it does

    bool isValid() const { return error.isEmpty(); }
    bool isNetwork() const { return kind != Kind::LocalPort; }
    // "rfc2217", "tcp+tls", ...
    QString scheme() const;

    static BusAddress parse(const QString &text);

private:
    QString takeQuery(const QString &query);
};

#endif // BUSADDRESS_H
