#include "ser2net.h"

#include <QDeadlineTimer>
#include <QFile>
#include <QStandardPaths>
#include <QTcpServer>
#include <QThread>

#include <csignal>

namespace {
constexpr int kStartMs = 5000;
constexpr int kPollMs = 20;

// A port nobody listens on now; the system's own choice, so never 2000 or 3000 of the package.
quint16 freePort()
{
    QTcpServer probe;
    return probe.listen(QHostAddress::LocalHost) ? probe.serverPort() : 0;
}

// Asked of the system, not by connecting: a connection makes ser2net open the device, and it
// would still hold it when the test's own client comes.
bool listening(quint16 port)
{
    QFile sockets(QStringLiteral("/proc/net/tcp"));
    // 127.0.0.1:port in hexadecimal, listening (state 0A)
    return sockets.open(QIODevice::ReadOnly) &&
           sockets.readAll().contains(QStringLiteral(": 0100007F:%1 00000000:0000 0A")
                                          .arg(port, 4, 16, QChar('0'))
                                          .toUpper()
                                          .toLatin1());
}
} // namespace

Ser2net::Ser2net(const QString &devicePath)
    : device(devicePath), rfcPort(freePort()), rawPort(freePort())
{
}

QString Ser2net::start()
{
    // A new client replaces the old one; bytes go out at once, not after a character delay.
    const QString connection =
        QStringLiteral("connection: &%1\n    accepter: %2tcp(nodelay),127.0.0.1,%3\n"
                       "    connector: serialdev(nouucplock),%4,115200n81,local\n"
                       "    options:\n      kickolduser: true\n      chardelay: false\n");
    QFile config(dir.filePath(QStringLiteral("ser2net.yaml")));
    if (!config.open(QIODevice::WriteOnly) ||
        config.write(connection.arg("rfc", "telnet(rfc2217),").arg(rfcPort).arg(device).toUtf8() +
                     connection.arg("raw", "").arg(rawPort).arg(device).toUtf8()) < 0)
        return QStringLiteral("cannot write %1").arg(config.fileName());
    config.close();
    server.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    // Debian puts it in /usr/sbin, which a user's PATH may lack.
    const QString program = QStandardPaths::findExecutable("ser2net", {"/usr/sbin", "/usr/bin"});
    server.start(
        program.isEmpty() ? QStringLiteral("ser2net") : program,
        {"-n", "-c", config.fileName(), "-P", dir.filePath(QStringLiteral("ser2net.pid"))});
    const QDeadlineTimer deadline(kStartMs);
    while (!listening(rfcPort) || !listening(rawPort)) {
        if (deadline.hasExpired() || server.state() == QProcess::NotRunning)
            return QStringLiteral("ser2net does not listen on %1 and %2: %3")
                .arg(rfcPort)
                .arg(rawPort)
                .arg(server.errorString());
        QThread::msleep(kPollMs);
    }
    return QString();
}

void Ser2net::stop(bool kill)
{
    if (server.state() != QProcess::NotRunning &&
        ::kill(pid_t(server.processId()), kill ? SIGKILL : SIGTERM) == 0)
        server.waitForFinished();
}
