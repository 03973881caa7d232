#ifndef SIM_SIMFRAME_H
#define SIM_SIMFRAME_H

#include <QByteArray>

#include <cstddef>
#include <cstdint>
#include <functional>

// Device-side framing: what a reader's firmware does with the bytes on its RS485 line.
namespace SimWire {
constexpr uint8_t kStartByte = 0xF5;
constexpr size_t kHeaderSize = 5;
constexpr size_t kAddressSize = 1;
constexpr size_t kCrcSize = 2;
// L counts address, payload and CRC; a device's receive buffer holds at most this many.
constexpr uint16_t kMinLength = kAddressSize + kCrcSize;
constexpr uint16_t kMaxLength = 2068;
constexpr size_t kMaxPayload = kMaxLength - kMinLength;
// A frame still incomplete this long after its header is given up.
constexpr qint64 kFrameAssemblyTimeoutMs = 500;

// CRC-16/CCITT-FALSE worked out bit by bit, as a device computes it: its own, never the
// tool's table, so that a fault in either is seen at the other end of the line.
uint16_t crc16(const uint8_t *data, size_t len);

// Whole frame for the line: header, address, payload, CRC-16 low byte first.
QByteArray encodeFrame(uint8_t address, const QByteArray &payload);
} // namespace SimWire

struct SimFrame
{
    uint8_t address = 0;
    const uint8_t *payload = nullptr; // valid only during the sink call
    size_t len = 0;
    bool crcOk = false;
};

// Hunts for headers in an arbitrarily split byte stream and hands out every complete frame,
// broken ones included (crcOk false) so the bus can trace them.
class SimFrameParser
{
public:
    using Sink = std::function<void(const SimFrame &)>;

    explicit SimFrameParser(Sink sink);

    // nowMs: any monotonic millisecond clock, read once by the caller for the whole chunk.
    void feed(const uint8_t *data, size_t len, qint64 nowMs);

private:
    enum class State { Hunting, Collecting };

    void reset();
    void hunt(uint8_t byte, qint64 nowMs);
    void collect(uint8_t byte);
    void finishFrame();

    Sink sink;
    State state = State::Hunting;
    uint8_t window[SimWire::kHeaderSize] = {};
    size_t windowFill = 0;
    uint8_t body[SimWire::kMaxLength] = {};
    uint16_t expected = 0;
    uint16_t received = 0;
    qint64 headerMs = 0;
};

#endif // SIM_SIMFRAME_H
