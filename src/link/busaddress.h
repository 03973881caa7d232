#ifndef BUSADDRESS_H
#define BUSADDRESS_H

#include <QString>

// Where a bus is reached, read from the text of a port: "rfc2217://HOST:PORT" or
// "tcp://HOST:PORT" name a network serial server (HOST a name, an IPv4 address or an IPv6
// address in brackets); any other text is a local serial device.
struct BusAddress
{
    enum class Kind { LocalPort, RawTcp, Rfc2217 };

    Kind kind = Kind::LocalPort;
    QString text; // as given
    QString host; // network only, without brackets
    quint16 port = 0;
    QString error; // why the text names no usable address; empty when it does

    bool isValid() const { return error.isEmpty(); }
    bool isNetwork() const { return kind != Kind::LocalPort; }

    static BusAddress parse(const QString &text);
};

#endif // BUSADDRESS_H
