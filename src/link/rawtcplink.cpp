#include "rawtcplink.h"

#include "hostlookup.h"

#include <QElapsedTimer>
#include <QHostAddress>

namespace {
// A server on the same network answers at once; a dead or filtered host never does. The name
// lookup counts in it.
constexpr int kServerConnectTimeoutMs = 3000;
// From the connection: a server that swallows the hello as line noise never ends it.
constexpr int kHandshakeTimeoutMs = 3000;
// A raw server says nothing when it takes a client and refuses one at once: this long, and two
// connection times, for its refusal to come.
constexpr int kSettleMs = 20;
constexpr int kMaxSettleMs = 500;
// ser2net refuses a device that another of its ports held, for a moment after that client left.
constexpr int kInUseRetryMs = 2000;
constexpr int kInUseRetryPauseMs = 100;
// What is read at once and held unread (beyond it the oldest goes, as in a UART's overrun), and
// what of our answers to the server may wait to be sent.
constexpr qint64 kReadBufferBytes = 64 * 1024;
// Enough for a line of text such as "Device open failure: ...".
constexpr int kPartingWordsBytes = 200;
// A server pouring bytes must not keep a discard going.
constexpr int kDiscardReads = 16;
constexpr char kFirstPrintable = ' ';
constexpr char kLastPrintable = '~';
// A TLS alert record, as a TLS server may answer bytes that are no hello.
const QByteArray kTlsAlert = QByteArrayLiteral("\x15\x03");
const char kInUse[] = "already in use";
constexpr uint8_t kIac = 0xFF;
constexpr uint8_t kFirstTelnetVerb = 0xFB; // WILL, WONT, DO, DONT

// The text at the end of what came, such as "Port already in use\r\n".
QString trailingText(const QByteArray &bytes)
{
    int start = bytes.size();
    while (start > 0) {
        const char c = bytes.at(start - 1);
        if ((c < kFirstPrintable || c > kLastPrintable) && c != '\r' && c != '\n' && c != '\t')
            break;
        --start;
    }
    return QString::fromLatin1(bytes.mid(start).trimmed());
}
} // namespace

RawTcpLink::RawTcpLink(const BusAddress &busAddress) : BusLink(busAddress.text), address(busAddress)
{
    socket.setReadBufferSize(kReadBufferBytes);
    connect(&socket, &QSslSocket::readyRead, this, &RawTcpLink::readSocket);
    connect(&socket, &QSslSocket::disconnected, this, &RawTcpLink::noteDisconnected);
    connect(&socket, QOverload<const QList<QSslError> &>::of(&QSslSocket::sslErrors), this,
            &RawTcpLink::judgeServer);
    connect(&socket, &QAbstractSocket::errorOccurred, this, [this](QAbstractSocket::SocketError e) {
        if (e == QAbstractSocket::SslInvalidUserDataError)
            userDataFailure = socket.errorString();
    });
    // The open's waits look again at each step of the connection and at each byte.
    connect(&socket, &QAbstractSocket::stateChanged, &wait, &OpenWait::wake);
    connect(&socket, &QSslSocket::encrypted, &wait, &OpenWait::wake);
    connect(&socket, &QSslSocket::readyRead, &wait, &OpenWait::wake);
}

RawTcpLink::~RawTcpLink()
{
    // The socket outlives the members its signals reach, and says goodbye as it goes.
    socket.disconnect(this);
    close();
}

bool RawTcpLink::open(int baudRate)
{
    close();
    failure.clear();
    wait.reset();
    if (address.tls && !QSslSocket::supportsSsl())
        return fail(tr("TLS is not available: Qt finds no OpenSSL %1")
                        .arg(QSslSocket::sslLibraryBuildVersionString()));
    const QString unusable = address.tls ? identity.load(address) : QString();
    if (!unusable.isEmpty())
        return fail(unusable);
    const QDeadlineTimer inUseDeadline(kInUseRetryMs, Qt::PreciseTimer);
    bool wasInUse = false;
    // A cancelled wait may pass for a quiet server.
    while (!connectOnce(baudRate) || wait.isCancelled()) {
        socket.abort();
        if (wait.isCancelled())
            return fail(tr("cancelled"));
        // Once it said so, a close without words is the holder's release still under way.
        wasInUse = wasInUse || serverSaysInUse();
        if (!wasInUse || inUseDeadline.hasExpired())
            return false;
        wait.pause(kInUseRetryPauseMs);
    }
    opened = true;
    return true;
}

bool RawTcpLink::connectOnce(int baudRate)
{
    socket.abort();
    if (wait.isCancelled())
        return false;
    writes = 0;
    wroteFrame = false;
    firstBytes.clear();
    serverWords.clear();
    trustFailure.clear();
    userDataFailure.clear();
    incoming.clear();
    overrun = 0;
    const QDeadlineTimer deadline(kServerConnectTimeoutMs, Qt::PreciseTimer);
    if (!connectSocket(deadline) || (address.tls && !startTls()))
        return false;
    // Request and answer are a few bytes each: no waiting to fill a segment.
    socket.setSocketOption(QAbstractSocket::LowDelayOption, 1);
    socket.setSocketOption(QAbstractSocket::KeepAliveOption, 1);
    return startLine(baudRate);
}

bool RawTcpLink::connectSocket(const QDeadlineTimer &deadline)
{
    QString error;
    const QList<QHostAddress> peers =
        lookUpHost(address.host, kServerConnectTimeoutMs, wait, &error);
    if (peers.isEmpty())
        return fail(error);
    for (const QHostAddress &peer : peers) {
        // Who reaches a plain port can reflash the bus: cleartext stays on closed networks.
        if (!address.tls && !address.cleartextAccepted && !isClosedNetwork(peer))
            return fail(tr("refused to send cleartext to %1, outside loopback and private "
                           "networks: anyone who reaches the port can reflash the bus, anyone on "
                           "the way can read it. Use %2+tls:// or an SSH tunnel, or add "
                           "?cleartext=yes to take the risk")
                            .arg(peer.toString(), address.scheme()));
        QElapsedTimer clock;
        clock.start();
        socket.connectToHost(peer, address.port);
        waitUntil(
            [this] {
                return serverConnected() || socket.state() == QAbstractSocket::UnconnectedState;
            },
            deadline);
        if (serverConnected()) {
            connectMs = clock.elapsed();
            return true;
        }
        if (socket.error() == QAbstractSocket::ConnectionRefusedError)
            fail(tr("connection refused"));
        else if (socket.error() == QAbstractSocket::SocketTimeoutError || deadline.hasExpired())
            fail(tr("no connection within %1 s").arg(kServerConnectTimeoutMs / 1000));
        else
            fail(socket.errorString());
        socket.abort();
    }
    return false;
}

bool RawTcpLink::startTls()
{
    const QDeadlineTimer deadline(kHandshakeTimeoutMs, Qt::PreciseTimer);
    socket.setSslConfiguration(identity.configuration());
    socket.setPeerVerifyName(address.host);
    socket.startClientEncryption();
    if (!userDataFailure.isEmpty())
        return fail(identity.keyMismatch(userDataFailure));
    waitUntil([this] { return socket.isEncrypted() || !serverConnected(); }, deadline);
    if (!socket.isEncrypted())
        return fail(handshakeFailure(deadline));
    // The pin holds also where the chain alone would have passed.
    const QString refused = identity.refusal(socket.peerCertificate(), socket.sslHandshakeErrors());
    return refused.isEmpty() || fail(refused);
}

void RawTcpLink::judgeServer(const QList<QSslError> &errors)
{
    // Not ignored, the errors end the handshake before our certificate or a byte goes out.
    trustFailure = identity.refusal(socket.peerCertificate(), errors);
    if (trustFailure.isEmpty())
        socket.ignoreSslErrors();
}

QString RawTcpLink::handshakeFailure(const QDeadlineTimer &deadline) const
{
    if (!trustFailure.isEmpty())
        return trustFailure;
    if (serverConnected() && deadline.hasExpired())
        return tr("no TLS handshake within %1 s: the server does not speak TLS, or not on this "
                  "port")
            .arg(kHandshakeTimeoutMs / 1000);
    // Trusted by us, it ended the handshake: it did not take us (TLS 1.2 decides there).
    if (!socket.peerCertificate().isNull())
        return identity.clientRefusal();
    return tr("the server does not speak TLS (%1)").arg(socket.errorString());
}

bool RawTcpLink::startLine(int baudRate)
{
    Q_UNUSED(baudRate)
    const QDeadlineTimer settle(qMin(kSettleMs + 2 * connectMs, qint64(kMaxSettleMs)),
                                Qt::PreciseTimer);
    waitUntil([this] { return serverRefused(); }, settle);
    return !serverRefused() || fail(closedReason());
}

void RawTcpLink::close()
{
    opened = false;
    socket.abort();
}

void RawTcpLink::discardInput()
{
    // Taken in first, without waiting: the server's own words among it are still handled.
    for (int read = 0; read < kDiscardReads; ++read) {
        pullFromSocket();
        incoming.clear();
        if (socket.bytesAvailable() == 0 && !socket.waitForReadyRead(0))
            break;
    }
    incoming.clear();
}

bool RawTcpLink::write(const QByteArray &frame)
{
    const QByteArray bytes = encode(frame);
    wroteFrame = true;
    ++writes;
    return opened && socket.write(bytes) == bytes.size();
}

bool RawTcpLink::flush()
{
    return opened && socket.flush();
}

QByteArray RawTcpLink::readAll()
{
    if (incoming.isEmpty())
        pullFromSocket();
    QByteArray data;
    data.swap(incoming);
    return data;
}

bool RawTcpLink::waitForReadyRead(int msecs)
{
    const QDeadlineTimer deadline(msecs, Qt::PreciseTimer);
    pullFromSocket();
    // Answers to the server's own words (telnet) count as reading but bring no data.
    while (incoming.isEmpty() && opened && waitForServer(deadline)) {
    }
    return !incoming.isEmpty();
}

void RawTcpLink::sendToServer(const QByteArray &bytes)
{
    // A server that pours negotiation and reads none of the answers gets no more of them.
    if (!serverConnected() || socket.bytesToWrite() > kReadBufferBytes)
        return;
    ++writes;
    socket.write(bytes);
    socket.flush();
}

bool RawTcpLink::waitForServer(const QDeadlineTimer &deadline)
{
    return serverConnected() && !deadline.hasExpired() &&
           socket.waitForReadyRead(int(deadline.remainingTime()));
}

QString RawTcpLink::serverName() const
{
    const bool ipv6 = address.host.contains(QLatin1Char(':'));
    return (ipv6 ? QLatin1Char('[') + address.host + QLatin1Char(']') : address.host) +
           QLatin1Char(':') + QString::number(address.port);
}

bool RawTcpLink::isClosedNetwork(const QHostAddress &peer)
{
    if (peer.isLoopback())
        return true;
    bool mapped = false;
    const QHostAddress v4(peer.toIPv4Address(&mapped));
    const QHostAddress &address = mapped ? v4 : peer;
    for (const char *subnet : {"10.0.0.0/8", "172.16.0.0/12", "192.168.0.0/16", "169.254.0.0/16",
                               "fc00::/7", "fe80::/10"}) {
        if (address.isInSubnet(QHostAddress::parseSubnet(QLatin1String(subnet))))
            return true;
    }
    return false;
}

QString RawTcpLink::exposureWarning() const
{
    if (address.tls || isClosedNetwork(socket.peerAddress()))
        return QString();
    return tr("%1 is reached in cleartext at %2, outside loopback and private networks: anyone "
              "on the way can read and reflash the bus's devices. Use TLS or an SSH tunnel.")
        .arg(portName(), socket.peerAddress().toString());
}

QString RawTcpLink::mixUpHint() const
{
    if (firstBytes.size() < 2 || uint8_t(firstBytes.at(0)) != kIac ||
        uint8_t(firstBytes.at(1)) < kFirstTelnetVerb)
        return QString();
    const QString rfc2217 =
        address.scheme().replace(QLatin1String("tcp"), QLatin1String("rfc2217"));
    return tr("the server opened with telnet negotiation: an RFC 2217 server, use %1")
        .arg(rfc2217 + address.text.mid(address.text.indexOf(QLatin1String("://"))));
}

bool RawTcpLink::fail(const QString &why)
{
    failure = why;
    return false;
}

QString RawTcpLink::closedReason() const
{
    const QString words = trailingText(serverWords);
    if (!words.isEmpty())
        return tr("the server closed the connection (%1)").arg(words);
    if (address.tls && firstBytes.isEmpty() && !wroteFrame)
        return identity.clientRefusal();
    if (!address.tls && ((firstBytes.isEmpty() && writes == 1) || firstBytes.startsWith(kTlsAlert)))
        return tr("the server closed the connection at our first bytes without a word: a TLS "
                  "server? Then use %1+tls://")
            .arg(address.scheme());
    return tr("the server closed the connection");
}

bool RawTcpLink::serverSaysInUse() const
{
    return serverWords.contains(kInUse);
}

bool RawTcpLink::serverRefused() const
{
    // Over TLS ser2net says so and may keep the connection a while.
    return !serverConnected() || serverSaysInUse();
}

void RawTcpLink::pullFromSocket()
{
    // Always read: the server's own words may stand behind data nobody reads yet.
    const QByteArray received = socket.read(kReadBufferBytes);
    if (received.isEmpty())
        return;
    if (firstBytes.size() < kPartingWordsBytes)
        firstBytes += received.left(kPartingWordsBytes - firstBytes.size());
    const QByteArray data = takeData(received);
    if (!wroteFrame && serverWords.size() < kPartingWordsBytes)
        serverWords += data.left(kPartingWordsBytes - serverWords.size());
    incoming += data;
    const qint64 excess = incoming.size() - kReadBufferBytes;
    if (excess > 0) {
        overrun += excess;
        incoming.remove(0, int(excess));
    }
}

void RawTcpLink::readSocket()
{
    pullFromSocket();
    if (opened && !incoming.isEmpty())
        emit readyRead();
}

void RawTcpLink::noteDisconnected()
{
    if (!opened)
        return;
    pullFromSocket();
    fail(closedReason());
    // Still open to the receiver, which closes it as it closes any port.
    emit failed(Failure::ConnectionEnded, failure);
    opened = false;
}
