#ifndef BINARYPROTOCOL_H
#define BINARYPROTOCOL_H

#include <QObject>

#include <cstddef>
#include <cstdint>

// CRC-16/CCITT-FALSE (poly 0x1021, init 0xFFFF, MSB first, no reflection, no final XOR).
uint16_t crc16Ccitt(const uint8_t *data, size_t len, uint16_t crc = 0xFFFF);

class BinaryProtocol : public QObject
{
    Q_OBJECT
public:
    static constexpr uint8_t kStartByte = 0xF5;
    static constexpr size_t kHeaderSize = 5;
    static constexpr size_t kBufferSize = 2068;
    // Header (5) + address (1) + CRC (2).
    static constexpr size_t kFrameOverhead = 8;
    static constexpr size_t kMaxPayload = kBufferSize - kFrameOverhead;
    // L counts address, payload and CRC.
    static constexpr uint16_t kMinLength = 3;
    static constexpr uint16_t kMaxLength = kBufferSize;
    // A frame must be complete within this time of the call that saw its header.
    static constexpr uint32_t kFrameTimeoutMs = 500;

    // Monotonic millisecond clock; replaceable so tests can step time.
    using Clock = uint32_t (*)(void *context);

    explicit BinaryProtocol(QObject *parent = nullptr);

    void sendFrame(const uint8_t *payload, size_t len);
    void receiveBytes(const uint8_t *chunk, size_t len);
    // Forgets a frame begun but not completed: its rest would take the next frame's bytes.
    void discardPartialFrame() { inFrame = false; }
    // What came since resetReceiveTally(): frames that failed their CRC, and bytes that were
    // neither a frame header nor a frame's body. With a frame begun and not finished, they let
    // a client tell a silent line from a broken answer.
    struct ReceiveTally
    {
        int64_t crcErrors = 0;
        int64_t strayBytes = 0;
    };
    ReceiveTally receiveTally() const;
    void resetReceiveTally();
    bool hasPartialFrame() const { return inFrame; }
    void setDeviceAddress(uint8_t deviceAddress);
    uint8_t deviceAddress() const;

    void setClock(Clock clock, void *context);

signals:
    void frameComplete(uint8_t *buff, size_t len);
    void frameError(uint8_t *buff, size_t len);
    void protocolWrite(uint8_t *buff, size_t len);

private:
    bool headerWindowIsFrameStart(uint16_t *length) const;
    // Returns false when the rest of the chunk must be discarded.
    bool completeFrame();
    void sendCrcErrorNotice();
    void traceReceivedFrame(uint16_t computedCrc, uint16_t receivedCrc) const;

    uint8_t rxBuffer[kBufferSize];
    uint16_t rxCount = 0;
    uint16_t rxLength = 0;
    uint8_t txBuffer[kBufferSize];
    uint8_t address = 0;

    // Header search state: per codec object so that two codecs never disturb each other.
    uint8_t headerWindow[kHeaderSize] = {};
    bool inFrame = false;
    uint32_t frameStartMs = 0;
    ReceiveTally tally;
    int64_t huntedBytes = 0; // since the last header, which they end with

    Clock clock;
    void *clockContext = nullptr;
};

#endif // BINARYPROTOCOL_H
