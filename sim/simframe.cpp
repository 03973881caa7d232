#include "simframe.h"

#include <cstring>

namespace SimWire {

uint16_t crc16(const uint8_t *data, size_t len)
{
    constexpr uint16_t kPolynomial = 0x1021;
    constexpr uint16_t kTopBit = 0x8000;
    uint16_t crc = 0xFFFF;
    for (size_t i = 0; i < len; ++i) {
        crc ^= static_cast<uint16_t>(data[i] << 8);
        for (int bit = 0; bit < 8; ++bit)
            crc = static_cast<uint16_t>((crc & kTopBit) ? (crc << 1) ^ kPolynomial : crc << 1);
    }
    return crc;
}

QByteArray encodeFrame(uint8_t address, const QByteArray &payload)
{
    const auto len = static_cast<size_t>(payload.size());
    if (len > kMaxPayload)
        return {};
    const uint16_t length = static_cast<uint16_t>(len + kMinLength);
    const uint16_t complement = static_cast<uint16_t>(~length);
    QByteArray frame;
    frame.reserve(static_cast<int>(kHeaderSize + length));
    frame.append(static_cast<char>(kStartByte));
    frame.append(static_cast<char>(length & 0xFF));
    frame.append(static_cast<char>(length >> 8));
    frame.append(static_cast<char>(complement & 0xFF));
    frame.append(static_cast<char>(complement >> 8));
    frame.append(static_cast<char>(address));
    frame.append(payload);
    const uint16_t crc = crc16(reinterpret_cast<const uint8_t *>(frame.constData()) + kHeaderSize,
                               len + kAddressSize);
    frame.append(static_cast<char>(crc & 0xFF));
    frame.append(static_cast<char>(crc >> 8));
    return frame;
}

} // namespace SimWire

SimFrameParser::SimFrameParser(Sink frameSink) : sink(std::move(frameSink)) {}

void SimFrameParser::reset()
{
    state = State::Hunting;
    windowFill = 0;
    expected = 0;
    received = 0;
}

void SimFrameParser::feed(const uint8_t *data, size_t len, qint64 nowMs)
{
    for (size_t i = 0; i < len; ++i) {
        if (state == State::Collecting) {
            if (nowMs - headerMs <= SimWire::kFrameAssemblyTimeoutMs) {
                collect(data[i]);
                continue;
            }
            // Sender gave up on this frame long ago; the byte may start a new header.
            reset();
        }
        hunt(data[i], nowMs);
    }
}

void SimFrameParser::hunt(uint8_t byte, qint64 nowMs)
{
    if (windowFill == SimWire::kHeaderSize) {
        std::memmove(window, window + 1, SimWire::kHeaderSize - 1);
        window[SimWire::kHeaderSize - 1] = byte;
    } else {
        window[windowFill++] = byte;
    }
    if (windowFill < SimWire::kHeaderSize || window[0] != SimWire::kStartByte)
        return;
    if (window[1] != static_cast<uint8_t>(~window[3]) ||
        window[2] != static_cast<uint8_t>(~window[4]))
        return;
    const uint16_t length = static_cast<uint16_t>(window[1] | (window[2] << 8));
    // Refused before a byte is stored: no room for address and CRC, or more than fits.
    if (length < SimWire::kMinLength || length > SimWire::kMaxLength)
        return;
    expected = length;
    received = 0;
    headerMs = nowMs;
    state = State::Collecting;
}

void SimFrameParser::collect(uint8_t byte)
{
    body[received++] = byte;
    if (received == expected)
        finishFrame();
}

void SimFrameParser::finishFrame()
{
    const size_t covered = expected - SimWire::kCrcSize;
    const uint16_t computed = SimWire::crc16(body, covered);
    const uint16_t carried = static_cast<uint16_t>(body[covered] | (body[covered + 1] << 8));
    SimFrame frame;
    frame.address = body[0];
    frame.payload = body + SimWire::kAddressSize;
    frame.len = expected - SimWire::kMinLength;
    frame.crcOk = computed == carried;
    reset();
    if (sink)
        sink(frame);
}
