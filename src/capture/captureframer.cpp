#include "captureframer.h"

#include "binaryprotocol.h"

#include <QCoreApplication>

namespace {

constexpr qsizetype kHeaderSize = qsizetype(BinaryProtocol::kHeaderSize);
constexpr qsizetype kCrcSize = 2;
constexpr int64_t kUsPerMs = 1000;
constexpr int64_t kFrameTimeoutUs = BinaryProtocol::kFrameTimeoutMs * kUsPerMs;
// Longer than a gap between two bytes of one frame at 4800 baud (2 ms): bytes outside any frame
// that came this much apart are two bursts.
constexpr int64_t kBurstGapUs = 20 * kUsPerMs;
// Bytes outside any frame are handed out at least this often, so a flood is no memory hog.
constexpr qsizetype kMostStrayBytes = qsizetype(BinaryProtocol::kBufferSize);

uint8_t byteAt(const QByteArray &bytes, qsizetype index)
{
    return static_cast<uint8_t>(bytes.at(index));
}

QString hex16(uint16_t value)
{
    return QStringLiteral("0x") + QString::number(value, 16).toUpper().rightJustified(4, '0');
}

QString tr(const char *text)
{
    return QCoreApplication::translate("CaptureFramer", text);
}

// The tail that may be the start of a header: from a start byte among the last four bytes on.
qsizetype possibleHeaderStart(const QByteArray &bytes)
{
    qsizetype tail = 0;
    for (qsizetype back = 1; back < kHeaderSize && back <= bytes.size(); ++back) {
        if (byteAt(bytes, bytes.size() - back) == BinaryProtocol::kStartByte)
            tail = back;
    }
    return tail;
}

} // namespace

void CaptureFramer::feed(const char *data, qsizetype len, int64_t nowUs)
{
    if (!stray.isEmpty() && nowUs - chunkUs > kBurstGapUs)
        handOutStray(stray.size() - possibleHeaderStart(stray), chunkUs);
    const int64_t previousChunkUs = chunkUs;
    chunkUs = nowUs;
    for (qsizetype i = 0; i < len; ++i) {
        // The sender gave up on it: the codec abandons it at this byte, which may start a header.
        if (collecting && chunkUs - headerUs > kFrameTimeoutUs)
            cutShort(previousChunkUs);
        if (collecting)
            collect(data[i]);
        else
            hunt(data[i]);
    }
}

void CaptureFramer::finish()
{
    if (collecting)
        cutShort(chunkUs);
    handOutStray(stray.size(), chunkUs);
}

void CaptureFramer::cutShort(int64_t lastByteUs)
{
    collecting = false;
    sink(frame, tr("frame cut short: %1 of %2 bytes").arg(frame.size()).arg(frameSize), lastByteUs);
}

void CaptureFramer::hunt(char byte)
{
    stray.append(byte);
    if (stray.size() > kMostStrayBytes)
        handOutStray(stray.size() - (kHeaderSize - 1), chunkUs);
    if (stray.size() < kHeaderSize)
        return;
    const QByteArray header = stray.right(kHeaderSize);
    if (byteAt(header, 0) != BinaryProtocol::kStartByte ||
        byteAt(header, 1) != static_cast<uint8_t>(~byteAt(header, 3)) ||
        byteAt(header, 2) != static_cast<uint8_t>(~byteAt(header, 4)))
        return;
    const uint16_t length = static_cast<uint16_t>(byteAt(header, 1) | byteAt(header, 2) << 8);
    if (length < BinaryProtocol::kMinLength || length > BinaryProtocol::kMaxLength) {
        if (strayProblem.isEmpty())
            strayProblem = tr("a header announces length %1, outside %2 to %3")
                               .arg(length)
                               .arg(BinaryProtocol::kMinLength)
                               .arg(BinaryProtocol::kMaxLength);
        return;
    }
    handOutStray(stray.size() - kHeaderSize, chunkUs);
    stray.clear();
    frame = header;
    frameSize = kHeaderSize + length;
    headerUs = chunkUs;
    collecting = true;
}

void CaptureFramer::collect(char byte)
{
    frame.append(byte);
    if (frame.size() < frameSize)
        return;
    collecting = false;
    const qsizetype crcAt = frameSize - kCrcSize;
    const auto *covered = reinterpret_cast<const uint8_t *>(frame.constData()) + kHeaderSize;
    const uint16_t computed = crc16Ccitt(covered, size_t(crcAt - kHeaderSize));
    const uint16_t carried =
        static_cast<uint16_t>(byteAt(frame, crcAt) | byteAt(frame, crcAt + 1) << 8);
    sink(frame,
         computed == carried ? QString()
                             : tr("CRC error: the frame carries %1, its bytes give %2")
                                   .arg(hex16(carried), hex16(computed)),
         chunkUs);
}

void CaptureFramer::handOutStray(qsizetype count, int64_t lastByteUs)
{
    if (count <= 0)
        return;
    const QString problem =
        strayProblem.isEmpty() ? tr("%1 byte(s) outside any frame").arg(count) : strayProblem;
    sink(stray.left(count), problem, lastByteUs);
    stray.remove(0, count);
    strayProblem.clear();
}
