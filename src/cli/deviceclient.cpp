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

bool DeviceClient::open(const QString &portText, int baudRate)
{
    close();
    portFailure.clear();
    link = BusLink::create(portText, &openError);
    if (!link)
        return false;
    connect(link.get(), &BusLink::failed, this,
            [this](BusLink::Failure, const QString &reason) { notePortFailure(reason); });
    if (!link->open(baudRate)) {
        openError = link->errorString();
        qCDebug(lcSerial).noquote() << "cannot open" << portText << ":" << openError;
        link.reset();
        return false;
    }
    lineRate = baudRate;
    qCDebug(lcSerial).noquote() << "opened" << portText << "at" << baudRate << "baud";
    return true;
}

void DeviceClient::close()
{
    if (!link || !link->isOpen())
        return;
    link->clear();
    link->close();
    qCDebug(lcSerial).noquote() << "closed" << link->portName();
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
    // A late answer to an earlier request must not pass for this one's.
    if (link && link->isOpen() && portFailure.isEmpty()) {
        link->discardInput();
        protocol.discardPartialFrame();
    }
    if (portFailure.isEmpty())
        protocol.sendFrame(reinterpret_cast<const uint8_t *>(request.constData()),
                           static_cast<size_t>(request.size()));
    while (portFailure.isEmpty() && !answered && readUntil(deadline)) {
    }
    awaitedCommand = -1;
    if (!answered) {
        answer.hint = link ? link->mixUpHint() : QString();
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
    if (!link || !link->isOpen())
        return false;
    if (link->bytesAvailable() == 0) {
        if (deadline.hasExpired())
            return false;
        // A failure on the way is noted by the link's signals; a plain timeout is no failure.
        if (!link->waitForReadyRead(static_cast<int>(deadline.remainingTime())))
            return portFailure.isEmpty() && !deadline.hasExpired();
    }
    const QByteArray chunk = link->readAll();
    protocol.receiveBytes(reinterpret_cast<const uint8_t *>(chunk.constData()),
                          static_cast<size_t>(chunk.size()));
    // A line that never falls quiet must not hold the request past its limit.
    return !deadline.hasExpired();
}

void DeviceClient::pause(int pauseMs)
{
    QThread::msleep(static_cast<unsigned long>(pauseMs));
}

void DeviceClient::notePortFailure(const QString &reason)
{
    // An open that fails says why by its result.
    if (!link || !link->isOpen() || !portFailure.isEmpty())
        return;
    portFailure = reason;
    qCDebug(lcSerial).noquote() << "port failed:" << portFailure;
}

void DeviceClient::writeFrame(uint8_t *buff, size_t len)
{
    if (!link || !link->isOpen())
        return;
    if (!link->write(QByteArray(reinterpret_cast<const char *>(buff), static_cast<int>(len))))
        notePortFailure(tr("cannot write to the port (%1)").arg(link->errorString()));
    // Without an event loop the bytes would otherwise wait for the next read.
    link->flush();
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
