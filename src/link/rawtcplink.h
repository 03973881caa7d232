#ifndef RAWTCPLINK_H
#define RAWTCPLINK_H

#include "busaddress.h"
#include "buslink.h"

#include <QTcpSocket>

// A network serial server's port that passes bytes as they are (tcp://HOST:PORT). The line's
// rate and format are the server's own.
class RawTcpLink : public BusLink
{
    Q_OBJECT
public:
    explicit RawTcpLink(const BusAddress &address);
    ~RawTcpLink() override;

    bool open(int baudRate) override;
    // What the socket has not sent yet goes with it.
    void close() override;
    void clear() override { incoming.clear(); }
    void discardInput() override;
    bool isOpen() const override { return opened; }
    QString errorString() const override { return failure; }
    bool write(const QByteArray &frame) override;
    bool flush() override;
    QByteArray readAll() override;
    qint64 bytesAvailable() const override { return incoming.size(); }
    bool waitForReadyRead(int msecs) override;
    bool setsLineRate() const override { return false; }
    QString exposureWarning() const override;

    // Loopback, private and link-local networks, where a serial server belongs.
    static bool isClosedNetwork(const QHostAddress &peer);

protected:
    // The data among the bytes the server sent.
    virtual QByteArray takeData(const QByteArray &received) { return received; }
    // A frame as the server must get it.
    virtual QByteArray encode(const QByteArray &frame) const { return frame; }
    // Once connected: sets up the line; false with fail() when the server does not.
    virtual bool startLine(int baudRate);

    bool fail(const QString &why);
    // "the server closed the connection", with what it said last when that was text.
    QString closedReason() const;

    QTcpSocket socket;

private:
    void readSocket();
    void noteDisconnected();

    BusAddress address;
    bool opened = false;
    QByteArray incoming;
    QByteArray lastData; // the tail of the data, for a server's parting words
    QString failure;
};

#endif // RAWTCPLINK_H
