#include "deviceclient.h"

#include "devicecommand.h"
#include "logcategories.h"

#include <QThread>

DeviceClient::DeviceClient(QObject *parent) : QObject(parent)
{
    connect(&protocol, &BinaryProtocol::protocolWrite, this, &DeviceClient::writeFrame);
    connect(&protocol, &BinaryProtocol::frameComplete, this, &DeviceClient::takeFrame);
}

DeviceClient::~DeviceClient()
{
    close();
}

bool DeviceClient::open(const QString &portPath, int baudRate)
{
    port.setPortName(portPath);
    port.setBaudRate(baudRate);
    if (!port.open(QIODevice::ReadWrite)) {
        qCDebug(lcSerial).noquote() << "cannot open" << portPath << ":" << port.errorString();
        return false;
    }
    // Fails harmlessly on adapters and pseudo-terminals without modem lines.
    port.setDataTerminalReady(false);
    qCDebug(lcSerial).noquote() << "opened" << portPath << "at" << baudRate << "baud";
    return true;
}

void DeviceClient::close()
{
    if (!port.isOpen())
        return;
    port.clear(QSerialPort::AllDirections);
    port.close();
    qCDebug(lcSerial).noquote() << "closed" << port.portName();
}

DeviceAnswer DeviceClient::exchange(const QByteArray &request, int timeoutMs)
{
    return exchange(request, QDeadlineTimer(timeoutMs, Qt::PreciseTimer));
}

DeviceAnswer DeviceClient::exchange(const QByteArray &request, const QDeadlineTimer &deadline)
{
    awaitedCommand = request.isEmpty() ? -1 : static_cast<uint8_t>(request.at(0));
    answered = false;
    answerPayload.clear();
    protocol.sendFrame(reinterpret_cast<const uint8_t *>(request.constData()),
                       static_cast<size_t>(request.size()));

    DeviceAnswer answer;
    while (!answered && readUntil(deadline, &answer)) {
    }
    awaitedCommand = -1;
    if (!answered)
        return answer;
    answer.payload = answerPayload;
    answer.outcome = responseStatus(answer.data(), answer.size()) == kStatusError
                         ? DeviceAnswer::Outcome::ErrorAnswer
                         : DeviceAnswer::Outcome::Answered;
    return answer;
}

bool DeviceClient::readUntil(const QDeadlineTimer &deadline, DeviceAnswer *answer)
{
    if (port.bytesAvailable() == 0) {
        if (deadline.hasExpired())
            return false;
        port.clearError();
        if (!port.waitForReadyRead(static_cast<int>(deadline.remainingTime()))) {
            if (port.error() == QSerialPort::TimeoutError || port.error() == QSerialPort::NoError)
                return !deadline.hasExpired();
            answer->outcome = DeviceAnswer::Outcome::PortFailed;
            answer->portError = port.errorString();
            qCDebug(lcSerial).noquote() << "port failed:" << answer->portError;
            return false;
        }
    }
    const QByteArray chunk = port.readAll();
    protocol.receiveBytes(reinterpret_cast<const uint8_t *>(chunk.constData()),
                          static_cast<size_t>(chunk.size()));
    // A line that never falls quiet must not hold the request past its limit.
    return !deadline.hasExpired();
}

void DeviceClient::pause(int pauseMs)
{
    QThread::msleep(static_cast<unsigned long>(pauseMs));
}

void DeviceClient::writeFrame(uint8_t *buff, size_t len)
{
    if (!port.isOpen())
        return;
    port.write(reinterpret_cast<const char *>(buff), static_cast<qint64>(len));
    // Without an event loop the bytes would otherwise wait for the next read.
    port.flush();
}

void DeviceClient::takeFrame(uint8_t *buff, size_t len)
{
    if (answered || awaitedCommand < 0 || len < kResponseDataOffset)
        return;
    const uint8_t status = responseStatus(buff, len);
    if (status != kStatusSuccess && status != kStatusError)
        return;
    if (responseCommand(buff, len) != awaitedCommand)
        return;
    answered = true;
    answerPayload = QByteArray(reinterpret_cast<const char *>(buff), static_cast<int>(len));
}
