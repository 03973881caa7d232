#ifndef DEVICECLIENT_H
#define DEVICECLIENT_H

#include "binaryprotocol.h"

#include <QByteArray>
#include <QDeadlineTimer>
#include <QObject>
#include <QSerialPort>
#include <QString>

#include <cstddef>
#include <cstdint>

// What became of one request.
struct DeviceAnswer
{
    enum class Outcome { Answered, ErrorAnswer, NoAnswer, PortFailed };

    Outcome outcome = Outcome::NoAnswer;
    QByteArray payload; // status, echoed command code, data
    QString portError;  // set with PortFailed

    bool isAnswered() const { return outcome == Outcome::Answered; }
    const uint8_t *data() const { return reinterpret_cast<const uint8_t *>(payload.constData()); }
    size_t size() const { return static_cast<size_t>(payload.size()); }
};

// One request at a time over a serial port: send it, then wait for its answer or its time limit
// before anything else happens. No event loop is needed.
class DeviceClient : public QObject
{
    Q_OBJECT
public:
    explicit DeviceClient(QObject *parent = nullptr);
    ~DeviceClient() override;

    bool open(const QString &portPath, int baudRate);
    void close();
    QString errorString() const { return port.errorString(); }
    int baudRate() const { return port.baudRate(); }
    // Why the port can no longer be used (unplugged, its device gone); empty while it works.
    QString failure() const { return portFailure; }

    void setDeviceAddress(uint8_t address) { protocol.setDeviceAddress(address); }
    uint8_t deviceAddress() const { return protocol.deviceAddress(); }

    // The answer is the first frame from the device whose status is success or error and whose
    // echoed command code is the request's, as the window matches answers.
    DeviceAnswer exchange(const QByteArray &request, const QDeadlineTimer &deadline);
    DeviceAnswer exchange(const QByteArray &request, int timeoutMs);

    // Blocks while the device restarts; what it sends meanwhile waits in the port.
    static void pause(int pauseMs);

private:
    void noteError(QSerialPort::SerialPortError error);
    void writeFrame(uint8_t *buff, size_t len);
    void takeFrame(uint8_t *buff, size_t len);
    // False once the deadline has passed or the port failed.
    bool readUntil(const QDeadlineTimer &deadline);

    QSerialPort port;
    BinaryProtocol protocol;
    int awaitedCommand = -1;
    bool answered = false;
    QByteArray answerPayload;
    QString portFailure;
};

#endif // DEVICECLIENT_H
