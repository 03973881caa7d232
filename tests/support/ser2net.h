#ifndef SER2NET_H
#define SER2NET_H

#include <QProcess>
#include <QString>
#include <QTemporaryDir>

// Debian's ser2net in front of a serial device (the simulator's pseudo-terminal): an RFC 2217
// port and a raw TCP port on 127.0.0.1, free ones, started in the foreground from a
// configuration written here and stopped by its pid.
class Ser2net
{
public:
    explicit Ser2net(const QString &devicePath);
    ~Ser2net() { stop(); }

    // Empty once both ports take connections; else why not.
    QString start();
    // SIGTERM, or SIGKILL as a crash or a pulled network cable would end it.
    void stop(bool kill = false);
    QString rfc2217Url() const { return QStringLiteral("rfc2217://127.0.0.1:%1").arg(rfcPort); }
    QString tcpUrl() const { return QStringLiteral("tcp://127.0.0.1:%1").arg(rawPort); }

private:
    QTemporaryDir dir;
    QString device;
    quint16 rfcPort;
    quint16 rawPort;
    QProcess server;
};

#endif // SER2NET_H
