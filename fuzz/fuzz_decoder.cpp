// Differential target: BinaryProtocol's decoder against a plain reference decoder kept here.
//
// Input: byte 0 the device address, byte 1 how close the clock starts to its 32-bit wrap,
// byte 2 the number of split steps, then that many steps (low nibble: chunk size, high nibble:
// clock advance before the chunk), then the byte stream. The steps repeat until the stream ends.

#include "binaryprotocol.h"

#include <QObject>

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

constexpr uint8_t kStart = 0xF5;
constexpr size_t kWindowSize = 5;
constexpr uint32_t kMinLength = 3;
constexpr uint32_t kMaxLength = 2068;
constexpr uint32_t kTimeoutMs = 500;
constexpr size_t kMaxSteps = 16;

constexpr std::array<size_t, 16> kChunkSizes = {0, 1,  2,  3,  4,  5,   7,    8,
                                                9, 13, 16, 31, 64, 255, 1024, 4096};
// Clustered around the 500 ms limit; the last ones wrap the clock.
constexpr std::array<uint32_t, 16> kClockSteps = {
    0, 0, 0, 1, 2, 100, 250, 498, 499, 500, 501, 502, 999, 1000, 65536, 0x80000000u};

// Bit by bit on purpose: an independent check of the codec's table.
uint16_t bitwiseCrc(const std::vector<uint8_t> &data, size_t len)
{
    uint16_t crc = 0xFFFF;
    for (size_t i = 0; i < len; ++i) {
        crc ^= static_cast<uint16_t>(data[i] << 8);
        for (int bit = 0; bit < 8; ++bit)
            crc = static_cast<uint16_t>(crc & 0x8000 ? (crc << 1) ^ 0x1021 : crc << 1);
    }
    return crc;
}

struct Event
{
    bool sent; // a frame written by the codec, else a payload delivered
    std::vector<uint8_t> bytes;
    bool operator==(const Event &other) const { return sent == other.sent && bytes == other.bytes; }
};

std::vector<uint8_t> crcErrorNotice(uint8_t address)
{
    std::vector<uint8_t> covered = {address, 0xFF, 0xFF, 0x02};
    const uint16_t crc = bitwiseCrc(covered, covered.size());
    std::vector<uint8_t> frame = {kStart, 0x06, 0x00, 0xF9, 0xFF};
    frame.insert(frame.end(), covered.begin(), covered.end());
    frame.push_back(static_cast<uint8_t>(crc & 0xFF));
    frame.push_back(static_cast<uint8_t>(crc >> 8));
    return frame;
}

class ReferenceDecoder
{
public:
    explicit ReferenceDecoder(uint8_t address) : address(address) {}

    void receive(const uint8_t *chunk, size_t len, uint32_t now, std::vector<Event> *events)
    {
        for (size_t i = 0; i < len; ++i) {
            window.erase(window.begin());
            window.push_back(chunk[i]);
            if (collecting && static_cast<uint32_t>(now - startMs) > kTimeoutMs)
                collecting = false;
            if (collecting) {
                frame.push_back(chunk[i]);
                if (frame.size() == expected && !finishFrame(events))
                    return;
                continue;
            }
            const uint32_t length = window[1] | (window[2] << 8);
            const bool header = window[0] == kStart && window[3] == (window[1] ^ 0xFF) &&
                                window[4] == (window[2] ^ 0xFF);
            if (header && length >= kMinLength && length <= kMaxLength) {
                expected = length;
                frame.clear();
                startMs = now;
                collecting = true;
            }
        }
    }

private:
    bool finishFrame(std::vector<Event> *events)
    {
        collecting = false;
        const size_t covered = frame.size() - 2;
        const uint16_t received = static_cast<uint16_t>(frame[covered] | (frame[covered + 1] << 8));
        if (bitwiseCrc(frame, covered) != received) {
            events->push_back({true, crcErrorNotice(address)});
            return false;
        }
        if (frame[0] == address)
            events->push_back({false, std::vector<uint8_t>(frame.begin() + 1, frame.end() - 2)});
        return true;
    }

    const uint8_t address;
    std::vector<uint8_t> window = std::vector<uint8_t>(kWindowSize, 0);
    std::vector<uint8_t> frame;
    size_t expected = 0;
    bool collecting = false;
    uint32_t startMs = 0;
};

struct ManualClock
{
    uint32_t nowMs = 0;
    static uint32_t read(void *self) { return static_cast<ManualClock *>(self)->nowMs; }
};

[[noreturn]] void mismatch(size_t chunkIndex, const std::vector<Event> &codec,
                           const std::vector<Event> &reference)
{
    std::fprintf(stderr, "chunk %zu: codec gave %zu events, reference %zu\n", chunkIndex,
                 codec.size(), reference.size());
    for (size_t i = 0; i < codec.size() || i < reference.size(); ++i) {
        const auto describe = [](const std::vector<Event> &list, size_t at) {
            if (at >= list.size())
                return std::string("-");
            return std::string(list[at].sent ? "sent " : "delivered ") +
                   std::to_string(list[at].bytes.size()) + " bytes";
        };
        std::fprintf(stderr, "  %zu: codec %s / reference %s\n", i, describe(codec, i).c_str(),
                     describe(reference, i).c_str());
    }
    std::abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 3)
        return 0;
    const uint8_t address = data[0];
    ManualClock clock;
    clock.nowMs = 0xFFFFFFFFu - 4u * data[1];
    const size_t stepCount = data[2] % kMaxSteps + 1;
    if (size < 3 + stepCount)
        return 0;
    const uint8_t *steps = data + 3;
    const uint8_t *stream = steps + stepCount;
    const size_t streamSize = size - 3 - stepCount;

    BinaryProtocol codec;
    codec.setDeviceAddress(address);
    codec.setClock(&ManualClock::read, &clock);
    std::vector<Event> codecEvents;
    QObject::connect(&codec, &BinaryProtocol::frameComplete,
                     [&codecEvents](uint8_t *buff, size_t len) {
                         codecEvents.push_back({false, std::vector<uint8_t>(buff, buff + len)});
                         // The dispatcher terminates text in place; the codec must not mind.
                         buff[len] = 0;
                     });
    QObject::connect(&codec, &BinaryProtocol::protocolWrite,
                     [&codecEvents](uint8_t *buff, size_t len) {
                         codecEvents.push_back({true, std::vector<uint8_t>(buff, buff + len)});
                     });

    ReferenceDecoder reference(address);
    std::vector<Event> referenceEvents;
    size_t at = 0;
    // Bounded so that a program of empty chunks cannot spin.
    for (size_t chunkIndex = 0; at < streamSize && chunkIndex <= streamSize + kMaxSteps;
         ++chunkIndex) {
        const uint8_t step = steps[chunkIndex % stepCount];
        const size_t chunkSize = std::min(kChunkSizes[step & 0x0F], streamSize - at);
        clock.nowMs += kClockSteps[step >> 4];

        codec.receiveBytes(stream + at, chunkSize);
        reference.receive(stream + at, chunkSize, clock.nowMs, &referenceEvents);
        if (!(codecEvents == referenceEvents))
            mismatch(chunkIndex, codecEvents, referenceEvents);
        codecEvents.clear();
        referenceEvents.clear();
        at += chunkSize;
    }
    return 0;
}
