#include "rawtcplink.h"

#include <QDeadlineTimer>
#include <QHostAddress>

namespace {
// A server on the same network answers at once; a dead or filtered host never does.
constexpr int kServerConnectTimeoutMs = 3000;
// Enough for a line of text such as "Device open failure: ...".
constexpr int kPartingWordsBytes = 200;
// A server pouring bytes must not keep a discard going.
constexpr int kDiscardReads = 16;
constexpr char kFirstPrintable = ' ';
constexpr char kLastPrintable = '~';

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
    connect(&socket, &QTcpSocket::readyRead, this, &RawTcpLink::readSocket);
    connect(&socket, &QTcpSocket::disconnected, this, &RawTcpLink::noteDisconnected);
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
    incoming.clear();
    lastData.clear();
    socket.connectToHost(address.host, address.port);
    if (!socket.waitForConnected(kServerConnectTimeoutMs)) {
        switch (socket.error()) {
        case QAbstractSocket::HostNotFoundError:
            fail(tr("host not found"));
            break;
        case QAbstractSocket::ConnectionRefusedError:
            fail(tr("connection refused"));
            break;
        case QAbstractSocket::SocketTimeoutError:
            fail(tr("no connection within %1 s").arg(kServerConnectTimeoutMs / 1000));
            break;
        default:
            fail(socket.errorString());
            break;
        }
        socket.abort();
        return false;
    }
    // Request and answer are a few bytes each: no waiting to fill a segment.
    socket.setSocketOption(QAbstractSocket::LowDelayOption, 1);
    socket.setSocketOption(QAbstractSocket::KeepAliveOption, 1);
    if (!startLine(baudRate)) {
        socket.abort();
        return false;
    }
    opened = true;
    return true;
}

bool RawTcpLink::startLine(int baudRate)
{
    Q_UNUSED(baudRate)
    return true;
}

void RawTcpLink::close()
{
    opened = false;
    socket.abort();
}

void RawTcpLink::discardInput()
{
    // Taken in first, without waiting: the server's own words among it are still handled.
    for (int read = 0; read < kDiscardReads && socket.waitForReadyRead(0); ++read) {
    }
    incoming.clear();
}

bool RawTcpLink::write(const QByteArray &frame)
{
    const QByteArray bytes = encode(frame);
    return opened && socket.write(bytes) == bytes.size();
}

bool RawTcpLink::flush()
{
    return opened && socket.flush();
}

QByteArray RawTcpLink::readAll()
{
    QByteArray data;
    data.swap(incoming);
    return data;
}

bool RawTcpLink::waitForReadyRead(int msecs)
{
    const QDeadlineTimer deadline(msecs, Qt::PreciseTimer);
    while (incoming.isEmpty() && opened) {
        // Answers to the server's own words (telnet) count as reading but bring no data.
        if (!socket.waitForReadyRead(static_cast<int>(deadline.remainingTime())) ||
            deadline.hasExpired())
            break;
    }
    return !incoming.isEmpty();
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
    if (isClosedNetwork(socket.peerAddress()))
        return QString();
    return tr("%1 is reached at %2, outside loopback and private networks: anyone who reaches "
              "that port can reflash the bus's devices. Bind the server to a closed network and "
              "come in through an SSH tunnel.")
        .arg(portName(), socket.peerAddress().toString());
}

bool RawTcpLink::fail(const QString &why)
{
    failure = why;
    return false;
}

QString RawTcpLink::closedReason() const
{
    const QString closed = tr("the server closed the connection");
    const QString words = trailingText(lastData);
    return words.isEmpty() ? closed : closed + QStringLiteral(" (%1)").arg(words);
}

void RawTcpLink::readSocket()
{
    const QByteArray data = takeData(socket.readAll());
    if (data.isEmpty())
        return;
    incoming += data;
    lastData = (lastData + data).right(kPartingWordsBytes);
    if (opened)
        emit readyRead();
}

void RawTcpLink::noteDisconnected()
{
    if (!opened)
        return;
    fail(closedReason());
    // Still open to the receiver, which closes it as it closes any port.
    emit connectionLost(failure);
    opened = false;
}
