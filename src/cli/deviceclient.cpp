#include "deviceclient.h"

#include "devicecommand.h"
#include "logcategories.h"

#include <QThread>

DeviceClient::DeviceClient(QObject *parent) : QObject(parent)
{
    connect(&protocol, &BinaryProtocol::protocolWrite, this, &DeviceClient::writeFrame);
    connect(&protocol, &BinaryProtocol::frameComplete, this, &DeviceClient::takeFrame);
    connect(&port, &QSerialPort::errorOccurred, this, &DeviceClient::noteError);
}

DeviceClient::~DeviceClient()
{
    close();
}

bool DeviceClient::open(const QString &portPath, int baudRate)
{
    portFailure.clear();
    port.setPortName(portPath);
    port.setBaudRate(baudRate);
    if (!port.open(QIODevice::ReadWrite)) {
        qCDebug(lcSerial).noquote() << "cannot open" << portPath << ":" << port.errorString();
        return false;
    }
    // Fails harmlessly on adapters and pseudo-terminals without modem lines.
    port.setDataTerminalReady(false);
    port.clearError();
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
    DeviceAnswer answer;
    if (portFailure.isEmpty())
        protocol.sendFrame(reinterpret_cast<const uint8_t *>(request.constData()),
                           static_cast<size_t>(request.size()));
    while (portFailure.isEmpty() && !answered && readUntil(deadline)) {
    }
    awaitedCommand = -1;
    if (!answered) {
        if (!portFailure.isEmpty()) {
            answer.outcome = DeviceAnswer::Outcome::PortFailed;
            answer.portError = portFailure;
        }
        return answer;
    }
    answer.payload = answerPayload;
    answer.outcome = responseStatus(answer.data(), answer.size()) == kStatusError
                         ? DeviceAnswer::Outcome::ErrorAnswer
                         : DeviceAnswer::Outcome::Answered;
    return answer;
}

bool DeviceClient::readUntil(const QDeadlineTimer &deadline)
{
    if (port.bytesAvailable() == 0) {
        if (deadline.hasExpired())
            return false;
        // A failure on the way is noted by noteError; a plain timeout is no failure.
        if (!port.waitForReadyRead(static_cast<int>(deadline.remainingTime())))
            return portFailure.isEmpty() && !deadline.hasExpired();
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

void DeviceClient::noteError(QSerialPort::SerialPortError error)
{
    switch (error) {
    case QSerialPort::NoError:
    case QSerialPort::TimeoutError:
    // DTR on adapters and pseudo-terminals without modem lines.
    case QSerialPort::UnsupportedOperationError:
        return;
    default:
        break;
    }
    if (!port.isOpen() || !portFailure.isEmpty())
        return;
    // The system's text alone may be "Unknown error" when a read found the line hung up.
    const QString what = error == QSerialPort::ReadError       ? tr("cannot read from the port")
                         : error == QSerialPort::WriteError    ? tr("cannot write to the port")
                         : error == QSerialPort::ResourceError ? tr("the port's device is gone")
                                                               : tr("the port stopped working");
    portFailure = QStringLiteral("%1 (%2)").arg(what, port.errorString());
    qCDebug(lcSerial).noquote() << "port failed:" << portFailure;
}

void DeviceClient::writeFrame(uint8_t *buff, size_t len)
{
    if (!port.isOpen())
        return;
    const auto size = static_cast<qint64>(len);
    if (port.write(reinterpret_cast<const char *>(buff), size) != size) {
        noteError(QSerialPort::WriteError);
        return;
    }
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
