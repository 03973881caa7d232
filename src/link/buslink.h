#ifndef BUSLINK_H
#define BUSLINK_H

#include <QByteArray>
#include <QObject>
#include <QString>
#include <QStringList>

#include <memory>

// The byte pipe to an RS485 bus: a local serial port or a network serial server. Both programs
// speak only this; which kind they hold matters only where the line's rate is set.
class BusLink : public QObject
{
    Q_OBJECT
public:
    // The link a port text names (see BusAddress). Null, with *error set, for a malformed one.
    static std::unique_ptr<BusLink> create(const QString &portText, QString *error);

    // Returns once the link carries data at this rate or has failed; errorString() then says
    // why. A network server gets at most a few seconds, waited for in a local event loop:
    // events are delivered meanwhile, and cancelOpen() ends the wait.
    virtual bool open(int baudRate) = 0;
    // Ends a running open() at once; it fails as cancelled.
    virtual void cancelOpen() {}
    // HOST:PORT of a network server; empty for a local port, which opens at once.
    virtual QString serverName() const { return QString(); }
    // Unsent bytes are dropped.
    virtual void close() = 0;
    // Discards bytes not yet sent and not yet read.
    virtual void clear() = 0;
    // Discards what has arrived and was not read yet, also what the system still holds for us.
    virtual void discardInput() = 0;
    virtual bool isOpen() const = 0;
    virtual QString errorString() const = 0;
    // errorString() as a window shows it: what must not be missed on lines of its own, and what
    // the operator can do about it.
    virtual QStringList errorLines() const { return {errorString()}; }

    // One frame at a time, each in one piece; it leaves when the event loop next runs, or at
    // flush(). Until then clear() can still take it back.
    virtual bool write(const QByteArray &frame) = 0;
    // Sends what write() holds now, for callers without an event loop.
    virtual bool flush() = 0;
    virtual QByteArray readAll() = 0;
    virtual qint64 bytesAvailable() const = 0;
    // For callers without an event loop: true once data can be read.
    virtual bool waitForReadyRead(int msecs) = 0;

    // Whether open() sets the line's rate; a raw TCP server keeps its own.
    virtual bool setsLineRate() const { return true; }
    // A warning worth one line when cleartext reaches beyond this machine and private networks
    // (cleartext=yes): nothing guards a serial server's port. Empty otherwise.
    virtual QString exposureWarning() const { return QString(); }
    // Why exchanges over this link may fail though it opened, such as a raw link to an RFC 2217
    // server; empty when nothing is known.
    virtual QString mixUpHint() const { return QString(); }

    QString portName() const { return name; }

    // How an open link stopped working. A local port whose reads fail has lost its device; one
    // whose write failed may still read. A network link's connection has ended, its server or
    // the network closed it.
    enum class Failure { ReadFailed, WriteFailed, ConnectionEnded };
    Q_ENUM(Failure)

signals:
    void readyRead();
    // The link failed while open, and why.
    void failed(BusLink::Failure failure, const QString &reason);

protected:
    explicit BusLink(const QString &portName) : name(portName) {}

private:
    QString name;
};

#endif // BUSLINK_H
