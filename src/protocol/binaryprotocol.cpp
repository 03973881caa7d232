#include "binaryprotocol.h"
#include "logcategories.h"

#include <QByteArray>
#include <QDebug>
#include <QElapsedTimer>
#include <QString>

#include <algorithm>
#include <array>
#include <cstring>

namespace {

constexpr uint16_t kCrcPolynomial = 0x1021;

constexpr std::array<uint16_t, 256> makeCrcTable()
{
    std::array<uint16_t, 256> table{};
    for (int i = 0; i < 256; ++i) {
        uint16_t crc = static_cast<uint16_t>(i << 8);
        for (int bit = 0; bit < 8; ++bit)
            crc = static_cast<uint16_t>((crc & 0x8000) ? (crc << 1) ^ kCrcPolynomial : crc << 1);
        table[i] = crc;
    }
    return table;
}

constexpr std::array<uint16_t, 256> kCrcTable = makeCrcTable();
static_assert(kCrcTable[1] == 0x1021 && kCrcTable[255] == 0x1EF0, "CRC table");

constexpr uint8_t kCrcErrorNotice[] = {0xFF, 0xFF, 0x02};

uint32_t steadyClockMs(void *)
{
    static QElapsedTimer timer = [] {
        QElapsedTimer t;
        t.start();
        return t;
    }();
    return static_cast<uint32_t>(timer.elapsed());
}

// The window keeps the last bytes received, frame bytes included.
void shiftIntoWindow(uint8_t (&window)[BinaryProtocol::kHeaderSize], const uint8_t *bytes,
                     size_t count)
{
    constexpr size_t size = BinaryProtocol::kHeaderSize;
    if (count >= size) {
        std::memcpy(window, bytes + count - size, size);
        return;
    }
    // Plain loops: count is mostly 1, where a library call would cost more than the copy.
    for (size_t i = 0; i + count < size; ++i)
        window[i] = window[i + count];
    for (size_t i = 0; i < count; ++i)
        window[size - count + i] = bytes[i];
}

QString upperHex(uint value, int digits)
{
    return QStringLiteral("%1").arg(value, digits, 16, QLatin1Char('0')).toUpper();
}

// Only called with the wire category on: formatting allocates.
void traceFrame(const char *direction, uint8_t frameAddress, const uint8_t *payload, size_t len,
                const QString &note = QString())
{
    const QByteArray hex =
        QByteArray::fromRawData(reinterpret_cast<const char *>(payload), static_cast<int>(len))
            .toHex(' ')
            .toUpper();
    qCDebug(lcWire).noquote() << QStringLiteral("%1 %2: %3%4")
                                     .arg(QLatin1String(direction), upperHex(frameAddress, 2),
                                          QLatin1String(hex), note);
}

} // namespace

uint16_t crc16Ccitt(const uint8_t *data, size_t len, uint16_t crc)
{
    for (size_t i = 0; i < len; ++i)
        crc = static_cast<uint16_t>((crc << 8) ^ kCrcTable[((crc >> 8) ^ data[i]) & 0xFF]);
    return crc;
}

BinaryProtocol::BinaryProtocol(QObject *parent) : QObject(parent), clock(steadyClockMs)
{
    // The category reads its rules on first use; doing it here keeps the first frame from
    // allocating.
    lcWire();
}

void BinaryProtocol::setClock(Clock newClock, void *context)
{
    clock = newClock ? newClock : steadyClockMs;
    clockContext = newClock ? context : nullptr;
}

void BinaryProtocol::setDeviceAddress(uint8_t deviceAddress)
{
    address = deviceAddress;
}

uint8_t BinaryProtocol::deviceAddress() const
{
    return address;
}

void BinaryProtocol::sendFrame(const uint8_t *payload, size_t len)
{
    if (len > kMaxPayload) {
        qWarning() << "BinaryProtocol: payload of" << len << "bytes exceeds" << kMaxPayload
                   << "- frame not sent";
        return;
    }
    const uint16_t length = static_cast<uint16_t>(len + kMinLength);
    txBuffer[0] = kStartByte;
    txBuffer[1] = static_cast<uint8_t>(length & 0xFF);
    txBuffer[2] = static_cast<uint8_t>(length >> 8);
    txBuffer[3] = static_cast<uint8_t>(~length & 0xFF);
    txBuffer[4] = static_cast<uint8_t>((~length >> 8) & 0xFF);
    txBuffer[5] = address;
    if (len > 0)
        std::memcpy(txBuffer + 6, payload, len);
    const uint16_t crc = crc16Ccitt(txBuffer + 5, len + 1);
    txBuffer[6 + len] = static_cast<uint8_t>(crc & 0xFF);
    txBuffer[7 + len] = static_cast<uint8_t>(crc >> 8);
    if (lcWire().isDebugEnabled())
        traceFrame("sent to", address, payload, len);
    emit protocolWrite(txBuffer, len + kFrameOverhead);
}

bool BinaryProtocol::headerWindowIsFrameStart(uint16_t *length) const
{
    if (headerWindow[0] != kStartByte)
        return false;
    if (headerWindow[1] != static_cast<uint8_t>(~headerWindow[3]))
        return false;
    if (headerWindow[2] != static_cast<uint8_t>(~headerWindow[4]))
        return false;
    const uint16_t announced = static_cast<uint16_t>(headerWindow[1] | (headerWindow[2] << 8));
    // Too short to hold address and CRC, or too long for rxBuffer: not a frame start.
    if (announced < kMinLength || announced > kMaxLength)
        return false;
    *length = announced;
    return true;
}

void BinaryProtocol::receiveBytes(const uint8_t *chunk, size_t len)
{
    const uint32_t now = clock(clockContext);
    size_t i = 0;
    while (i < len) {
        if (inFrame) {
            if (static_cast<uint32_t>(now - frameStartMs) <= kFrameTimeoutMs) {
                // One clock reading serves the whole call, so the frame's bytes go in as a block.
                const size_t take = std::min<size_t>(len - i, rxLength - rxCount);
                std::memcpy(rxBuffer + rxCount, chunk + i, take);
                rxCount = static_cast<uint16_t>(rxCount + take);
                shiftIntoWindow(headerWindow, chunk + i, take);
                i += take;
                if (rxCount == rxLength && !completeFrame())
                    return;
                continue;
            }
            // Stale partial frame: drop it and look at this byte as a header end.
            inFrame = false;
        }

        shiftIntoWindow(headerWindow, chunk + i, 1);
        ++i;
        ++huntedBytes;
        uint16_t length = 0;
        if (headerWindowIsFrameStart(&length)) {
            tally.strayBytes +=
                std::max<int64_t>(0, huntedBytes - static_cast<int64_t>(kHeaderSize));
            huntedBytes = 0;
            rxLength = length;
            rxCount = 0;
            frameStartMs = now;
            inFrame = true;
        }
    }
}

bool BinaryProtocol::completeFrame()
{
    inFrame = false;
    const size_t covered = rxLength - 2u;
    const uint16_t computed = crc16Ccitt(rxBuffer, covered);
    const uint16_t received =
        static_cast<uint16_t>(rxBuffer[rxLength - 2] | (rxBuffer[rxLength - 1] << 8));
    if (lcWire().isDebugEnabled())
        traceReceivedFrame(computed, received);
    if (computed != received) {
        ++tally.crcErrors;
        sendCrcErrorNotice();
        return false;
    }
    if (rxBuffer[0] != address)
        return true;
    emit frameComplete(rxBuffer + 1, rxLength - kMinLength);
    return true;
}

BinaryProtocol::ReceiveTally BinaryProtocol::receiveTally() const
{
    // Bytes hunted since the last header are stray until a header ends them.
    ReceiveTally now = tally;
    now.strayBytes += huntedBytes;
    return now;
}

void BinaryProtocol::resetReceiveTally()
{
    tally = ReceiveTally();
    huntedBytes = 0;
}

void BinaryProtocol::sendCrcErrorNotice()
{
    sendFrame(kCrcErrorNotice, sizeof(kCrcErrorNotice));
}

void BinaryProtocol::traceReceivedFrame(uint16_t computedCrc, uint16_t receivedCrc) const
{
    QString note;
    if (computedCrc != receivedCrc)
        note = QStringLiteral(" (CRC error: frame says %1, bytes give %2)")
                   .arg(upperHex(receivedCrc, 4), upperHex(computedCrc, 4));
    else if (rxBuffer[0] != address)
        note = QStringLiteral(" (not for %1, dropped)").arg(upperHex(address, 2));
    traceFrame("received from", rxBuffer[0], rxBuffer + 1, rxLength - kMinLength, note);
}
