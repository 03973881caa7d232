#ifndef DEVICECLIENT_H
#define DEVICECLIENT_H

#include "binaryprotocol.h"
#include "buslink.h"
#include "linecapture.h"

#include <QByteArray>
#include <QDeadlineTimer>
#include <QObject>
#include <QString>

#include <cstddef>
#include <cstdint>
#include <memory>

// What became of one request.
struct DeviceAnswer
{
    // NoAnswer: nothing came but whole frames that do not answer (an echo, a late answer).
    // Broken: a frame failed its CRC or was cut short, or more bytes that make no frame came
    // than the shortest answer holds (a glitch of a byte or two on an idle line is no answer).
    enum class Outcome { Answered, ErrorAnswer, NoAnswer, Broken, PortFailed };

    Outcome outcome = Outcome::NoAnswer;
    QByteArray payload; // status, echoed command code, data
    QString portError;  // set with PortFailed
    QString hint;       // unanswered: why the link may be at fault (BusLink::mixUpHint)
    int elapsedMs = -1; // from the request to its answer
    // Broken by more bytes than devices sharing an address could send: a flood, no answer.
    bool flooded = false;

    bool isAnswered() const { return outcome == Outcome::Answered; }
    const uint8_t *data() const { return reinterpret_cast<const uint8_t *>(payload.constData()); }
    size_t size() const { return static_cast<size_t>(payload.size()); }
};

// One request at a time over the link to a bus: send it, then wait for its answer or its time
// limit before anything else happens. No event loop is needed.
class DeviceClient : public QObject
{
    Q_OBJECT
public:
    explicit DeviceClient(QObject *parent = nullptr);
    ~DeviceClient() override;

    // The port text names a local serial port or a network serial server (BusLink).
    bool open(const QString &portText, int baudRate);
    void close();
    bool isOpen() const { return link && link->isOpen(); }
    // Why the last open failed.
    QString errorString() const { return openError; }
    int baudRate() const { return lineRate; }
    // Why the port can no longer be used (unplugged, its device gone, the connection dropped);
    // empty while it works.
    QString failure() const { return portFailure; }
    // See BusLink::exposureWarning().
    QString exposureWarning() const { return link ? link->exposureWarning() : QString(); }
    // See BusLink::mixUpHint().
    QString mixUpHint() const { return link ? link->mixUpHint() : QString(); }

    // Every byte written to and read from the line also goes here, when given; not owned.
    void setCapture(LineCapture *lineCapture) { capture = lineCapture; }

    void setDeviceAddress(uint8_t address) { protocol.setDeviceAddress(address); }
    uint8_t deviceAddress() const { return protocol.deviceAddress(); }

    // The answer is the first frame from the device whose status is success or error and whose
    // echoed command code is the request's, as the window matches answers.
    DeviceAnswer exchange(const QByteArray &request, const QDeadlineTimer &deadline);
    DeviceAnswer exchange(const QByteArray &request, int timeoutMs);

    // Reads and drops bytes until the line has been quiet a while, for at most a frame's time
    // limit: the rest of a broken answer must not reach the next request.
    void dropUntilQuiet();

    // Blocks while the device restarts; what it sends meanwhile waits in the port.
    static void pause(int pauseMs);

private:
    // Every failure of the link is a dead port here.
    void notePortFailure(const QString &reason);
    void writeFrame(uint8_t *buff, size_t len);
    void takeFrame(uint8_t *buff, size_t len);
    // False once the deadline has passed or the port failed.
    bool readUntil(const QDeadlineTimer &deadline);
    void readLateFrameToItsEnd();
    bool brokenAnswerCame() const;
    void noteReceived(const QByteArray &bytes);

    std::unique_ptr<BusLink> link;
    BinaryProtocol protocol;
    int lineRate = 0;
    int awaitedCommand = -1;
    bool answered = false;
    qint64 receivedBytes = 0; // since the request
    QByteArray answerPayload;
    QString openError;
    QString portFailure;
    LineCapture *capture = nullptr;
};

#endif // DEVICECLIENT_H
