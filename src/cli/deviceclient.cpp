#include "deviceclient.h"

#include "devicecommand.h"
#include "logcategories.h"

#include <QElapsedTimer>
#include <QThread>

namespace {
// Status and echoed command code in the smallest frame: fewer stray bytes are no answer.
constexpr int64_t kShortestAnswerFrameBytes = BinaryProtocol::kFrameOverhead + kResponseDataOffset;
// Longer than a gap between two bytes of one frame at 4800 baud (2 ms), and than a network
// serial server's usual hold-ups.
constexpr int kQuietLineMs = 20;
// Answers that collide overlap on the line: even two of the longest frames come to less.
constexpr qint64 kMostCollidedBytes = 2 * qint64(BinaryProtocol::kBufferSize);
} // namespace

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
        // Dropped, but they were on the line.
        if (capture)
            noteReceived(link->readAll());
        link->discardInput();
        protocol.discardPartialFrame();
    }
    protocol.resetReceiveTally();
    receivedBytes = 0;
    QElapsedTimer sinceRequest;
    sinceRequest.start();
    if (portFailure.isEmpty())
        protocol.sendFrame(reinterpret_cast<const uint8_t *>(request.constData()),
                           static_cast<size_t>(request.size()));
    while (portFailure.isEmpty() && !answered && readUntil(deadline)) {
    }
    const bool flooded = receivedBytes > kMostCollidedBytes;
    if (!answered && portFailure.isEmpty() && protocol.hasPartialFrame() && !flooded)
        readLateFrameToItsEnd();
    awaitedCommand = -1;
    if (!answered) {
        answer.hint = link ? link->mixUpHint() : QString();
        if (!portFailure.isEmpty()) {
            answer.outcome = DeviceAnswer::Outcome::PortFailed;
            answer.portError = portFailure;
        } else if (brokenAnswerCame()) {
            answer.outcome = DeviceAnswer::Outcome::Broken;
            answer.flooded = flooded;
        }
        return answer;
    }
    answer.elapsedMs = static_cast<int>(sinceRequest.elapsed());
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
    noteReceived(chunk);
    receivedBytes += chunk.size();
    protocol.receiveBytes(reinterpret_cast<const uint8_t *>(chunk.constData()),
                          static_cast<size_t>(chunk.size()));
    // A line that never falls quiet must not hold the request past its limit.
    return !deadline.hasExpired();
}

// Cut short by the limit, an answer still arriving would pass for a broken one: it is read to
// its end, or until the codec would give it up. It came too late all the same.
void DeviceClient::readLateFrameToItsEnd()
{
    awaitedCommand = -1;
    const QDeadlineTimer frameLimit(BinaryProtocol::kFrameTimeoutMs, Qt::PreciseTimer);
    while (portFailure.isEmpty() && protocol.hasPartialFrame() && readUntil(frameLimit)) {
    }
}

bool DeviceClient::brokenAnswerCame() const
{
    const BinaryProtocol::ReceiveTally tally = protocol.receiveTally();
    return tally.crcErrors > 0 || protocol.hasPartialFrame() ||
           tally.strayBytes >= kShortestAnswerFrameBytes;
}

void DeviceClient::dropUntilQuiet()
{
    const QDeadlineTimer limit(BinaryProtocol::kFrameTimeoutMs, Qt::PreciseTimer);
    while (link && link->isOpen() && portFailure.isEmpty() && !limit.hasExpired()) {
        if (link->bytesAvailable() == 0 && !link->waitForReadyRead(kQuietLineMs))
            return;
        noteReceived(link->readAll());
    }
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
    else if (capture)
        capture->sent(reinterpret_cast<const char *>(buff), static_cast<qsizetype>(len));
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

void DeviceClient::noteReceived(const QByteArray &bytes)
{
    if (capture)
        capture->received(bytes.constData(), bytes.size());
}
