#ifndef RAWTCPLINK_H
#define RAWTCPLINK_H

#include "busaddress.h"
#include "buslink.h"
#include "openwait.h"
#include "tlsidentity.h"

#include <QDeadlineTimer>
#include <QSslSocket>

// A network serial server's port that passes bytes as they are (tcp://HOST:PORT, or through TLS
// tcp+tls://HOST:PORT). The line's rate and format are the server's own.
class RawTcpLink : public BusLink
{
    Q_OBJECT
public:
    explicit RawTcpLink(const BusAddress &address);
    ~RawTcpLink() override;

    bool open(int baudRate) override;
    void cancelOpen() override { wait.cancel(); }
    QString serverName() const override;
    // What the socket has not sent yet goes with it.
    void close() override;
    void clear() override { incoming.clear(); }
    void discardInput() override;
    bool isOpen() const override { return opened; }
    QString errorString() const override
    {
        return QString(failure).replace(QLatin1Char('\n'), QLatin1Char(' '));
    }
    QStringList errorLines() const override { return failure.split(QLatin1Char('\n')); }
    bool write(const QByteArray &frame) override;
    bool flush() override;
    QByteArray readAll() override;
    qint64 bytesAvailable() const override { return incoming.size() + socket.bytesAvailable(); }
    bool waitForReadyRead(int msecs) override;
    bool setsLineRate() const override { return false; }
    QString exposureWarning() const override;
    QString mixUpHint() const override;
    // Data dropped unread on this connection, the oldest first, as a UART's overrun drops it.
    qint64 overrunBytes() const { return overrun; }

    // Loopback, private and link-local networks, where a serial server belongs.
    static bool isClosedNetwork(const QHostAddress &peer);

protected:
    // The data among the bytes the server sent.
    virtual QByteArray takeData(const QByteArray &received) { return received; }
    // A frame as the server must get it.
    virtual QByteArray encode(const QByteArray &frame) const { return frame; }
    // Once connected: sets up the line; false with fail() when the server does not take us.
    virtual bool startLine(int baudRate);

    bool fail(const QString &why);
    // Why the server closed the connection, in its own words when it said any before our first
    // frame.
    QString closedReason() const;
    // The link's own words to the server (telnet), sent at once.
    void sendToServer(const QByteArray &bytes);
    // The open's waits: until done() holds, the deadline passes or the open is cancelled;
    // whether done() holds. Every step of the connection and every byte look again.
    bool waitUntil(const std::function<bool()> &done, const QDeadlineTimer &deadline)
    {
        return wait.until(done, deadline);
    }
    bool serverConnected() const { return socket.state() == QAbstractSocket::ConnectedState; }
    // The connection is gone, or the server said it will not serve it.
    bool serverRefused() const;
    const BusAddress &busAddress() const { return address; }

private:
    bool connectOnce(int baudRate);
    bool connectSocket(const QDeadlineTimer &deadline);
    bool startTls();
    QString handshakeFailure(const QDeadlineTimer &deadline) const;
    void judgeServer(const QList<QSslError> &errors);
    // The port or its device is taken: ser2net's "Port already in use", "Port's device already
    // in use".
    bool serverSaysInUse() const;
    // Takes what the socket holds into the data, keeping the newest within the bound.
    void pullFromSocket();
    // For callers without an event loop: bytes from the server until the deadline; false when
    // none came or the connection is gone.
    bool waitForServer(const QDeadlineTimer &deadline);
    void readSocket();
    void noteDisconnected();

    BusAddress address;
    TlsIdentity identity;
    OpenWait wait; // outlives the socket, whose last signals reach it
    QSslSocket socket;
    bool opened = false;
    qint64 connectMs = 0;
    int writes = 0;          // frames and own words sent on this connection
    bool wroteFrame = false; // later data is the device's, not the server's words
    QByteArray firstBytes;   // the start of what the server sent, as sent
    QByteArray serverWords;  // its data before our first frame
    QString trustFailure;    // found while the handshake ran
    QString userDataFailure; // Qt's refusal of our certificate and key
    QByteArray incoming;
    qint64 overrun = 0;
    QString failure;
};

#endif // RAWTCPLINK_H
