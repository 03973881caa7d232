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

Ser2net::Ser2net(const QString &devicePath, Security security)
    : device(devicePath), security(security), rfcPort(freePort()), rawPort(freePort())
{
    if (security == Tls) {
        tlsRfcPort = freePort();
        tlsRawPort = freePort();
    }
}

QString Ser2net::pinnedQuery() const
{
    return QStringLiteral("?fingerprint=%1&cert=%2&key=%3")
        .arg(fingerprint, file("client.crt"), file("client.key"));
}

// Self-signed, for two days: nothing here outlives the test.
QString Ser2net::makeKeys()
{
    QProcess openssl;
    openssl.setWorkingDirectory(dir.path());
    openssl.start("sh", {"-ec", "ec='-newkey ec -pkeyopt ec_paramgen_curve:prime256v1'\n"
                                "req='openssl req -x509 -nodes -days 2'\n"
                                "$req $ec -keyout server.key -out server.crt -subj "
                                "/CN=talvik-test-server -addext subjectAltName=IP:127.0.0.1\n"
                                "$req -newkey rsa:2048 -keyout client.key -out client.crt -subj "
                                "/CN=technician\n"
                                "$req $ec -keyout other.key -out other.crt -subj /CN=technician\n"
                                "mkdir -p auth/technician/allowed_certs\n"
                                "cp client.crt auth/technician/allowed_certs/\n"
                                "openssl rehash auth/technician/allowed_certs\n"
                                "openssl x509 -in server.crt -noout -fingerprint -sha256\n"});
    if (!openssl.waitForFinished() || openssl.exitCode() != 0)
        return QStringLiteral("openssl could not make the keys and certificates");
    // "sha256 Fingerprint=AB:CD:..."
    fingerprint = QString::fromLatin1(openssl.readAllStandardOutput()).section('=', 1).trimmed();
    return QString();
}

QString Ser2net::configuration() const
{
    // A new client replaces the old one; bytes go out at once, not after a character delay.
    const QString connection =
        QStringLiteral("connection: &%1\n    accepter: %2tcp(nodelay),127.0.0.1,%3\n"
                       "    connector: serialdev(nouucplock),%4,115200n81,local\n"
                       "    options:\n      kickolduser: true\n      chardelay: false\n");
    QString text = connection.arg("rfc", "telnet(rfc2217),").arg(rfcPort).arg(device) +
                   connection.arg("raw", "").arg(rawPort).arg(device);
    if (security == Tls) {
        const QString ssl = QStringLiteral("ssl(key=%1,cert=%2,clientauth),")
                                .arg(file("server.key"), file("server.crt"));
        const QString authdir = QStringLiteral("      authdir: %1\n").arg(file("auth"));
        text += connection.arg("tlsrfc", "telnet(rfc2217)," + ssl).arg(tlsRfcPort).arg(device) +
                authdir + connection.arg("tlsraw", ssl).arg(tlsRawPort).arg(device) + authdir;
    }
    return text;
}

QString Ser2net::start()
{
    if (security == Tls && fingerprint.isEmpty()) {
        const QString made = makeKeys();
        if (!made.isEmpty())
            return made;
    }
    QFile config(dir.filePath(QStringLiteral("ser2net.yaml")));
    if (!config.open(QIODevice::WriteOnly) || config.write(configuration().toUtf8()) < 0)
        return QStringLiteral("cannot write %1").arg(config.fileName());
    config.close();
    server.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    // Debian puts it in /usr/sbin, which a user's PATH may lack.
    const QString program = QStandardPaths::findExecutable("ser2net", {"/usr/sbin", "/usr/bin"});
    server.start(
        program.isEmpty() ? QStringLiteral("ser2net") : program,
        {"-n", "-c", config.fileName(), "-P", dir.filePath(QStringLiteral("ser2net.pid"))});
    const QDeadlineTimer deadline(kStartMs);
    for (const quint16 port : {rfcPort, rawPort, tlsRfcPort, tlsRawPort}) {
        while (port != 0 && !listening(port)) {
            if (deadline.hasExpired() || server.state() == QProcess::NotRunning)
                return QStringLiteral("ser2net does not listen on %1: %2")
                    .arg(port)
                    .arg(server.errorString());
            QThread::msleep(kPollMs);
        }
    }
    return QString();
}

void Ser2net::stop(bool kill)
{
    if (server.state() != QProcess::NotRunning &&
        ::kill(pid_t(server.processId()), kill ? SIGKILL : SIGTERM) == 0)
        server.waitForFinished();
}
