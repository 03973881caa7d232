#include "binaryprotocol.h"
#include "logcategories.h"

#include "datatable.h"
#include "logcapture.h"

namespace {

constexpr uint8_t kStartByte = 0xF5;
constexpr int kLongestFrame = 2068;
constexpr int kLongestPayload = 2060;

QByteArray header(uint16_t length)
{
    const uint16_t complement = uint16_t(~length);
    return QByteArray(1, char(kStartByte)) + char(length & 0xFF) + char(length >> 8) +
           char(complement & 0xFF) + char(complement >> 8);
}

QByteArray corrupted(QByteArray frame)
{
    frame[frame.size() - 1] = char(frame.at(frame.size() - 1) ^ 0x01);
    return frame;
}

const QByteArray kVersionFrame = hex("F5 04 00 FB FF 01 09 17 BF");
const QByteArray kNoticeToAddress1 = hex("F5 06 00 F9 FF 01 FF FF 02 AA 1E");

struct Codec
{
    BinaryProtocol codec;
    uint32_t nowMs = 0;
    QByteArrayList delivered;
    QByteArrayList written;

    explicit Codec(uint8_t address)
    {
        codec.setDeviceAddress(address);
        codec.setClock([](void *self) { return static_cast<Codec *>(self)->nowMs; }, this);
        QObject::connect(&codec, &BinaryProtocol::frameComplete, [this](uint8_t *buff, size_t len) {
            delivered.append(QByteArray(reinterpret_cast<const char *>(buff), int(len)));
        });
        QObject::connect(&codec, &BinaryProtocol::protocolWrite, [this](uint8_t *buff, size_t len) {
            written.append(QByteArray(reinterpret_cast<const char *>(buff), int(len)));
        });
    }

    void feed(const QByteArray &chunk) { codec.receiveBytes(bytesOf(chunk), size_t(chunk.size())); }
};

using Chunks = QByteArrayList;
using Times = QVector<quint32>;

// Chunks fed at these clock times (all at 0 when none are given), the payloads delivered and the
// frames written back.
void addDecodeRow(const QString &name, const Chunks &chunks, const Chunks &delivered,
                  const Chunks &written = {}, const Times &times = {}, int address = 1)
{
    addRow(qPrintable(name), address, chunks, times, delivered, written);
}

} // namespace

class TestBinaryProtocol : public QObject
{
    Q_OBJECT

private slots:
    void encode_data()
    {
        addColumns<int, QByteArray, QByteArrayList>({"address", "payload", "written"});

        const QByteArray longest = QByteArray(kLongestPayload, '\xF5');
        addRow("version request", 0x01, hex("09"), QByteArrayList{kVersionFrame});
        addRow("empty payload", 0x00, QByteArray(), QByteArrayList{hex("F5 03 00 FC FF 00 F0 E1")});
        addRow("crc error notice", 0x01, hex("FF FF 02"), QByteArrayList{kNoticeToAddress1});
        addRow("start byte not escaped", 0xF5, hex("F5"),
               QByteArrayList{hex("F5 04 00 FB FF F5 F5 81 4E")});
        addRow("longest payload", 0x22, longest, QByteArrayList{wireFrame(0x22, longest)});
        addRow("payload too long", 0x22, QByteArray(kLongestPayload + 1, 'x'), QByteArrayList());
    }

    void encode()
    {
        QFETCH(int, address);
        QFETCH(QByteArray, payload);
        QFETCH(QByteArrayList, written);

        Codec c{uint8_t(address)};
        if (written.isEmpty())
            QTest::ignoreMessage(QtWarningMsg, QRegularExpression(QString::number(payload.size())));
        c.codec.sendFrame(bytesOf(payload), size_t(payload.size()));
        QCOMPARE(c.written, written);
    }

    void decode_data()
    {
        addColumns<int, Chunks, Times, Chunks, Chunks>(
            {"address", "chunks", "times", "delivered", "written"});

        const Chunks version{hex("09")};
        const Chunks notice{kNoticeToAddress1};
        const QByteArray longestPayload = QByteArray(kLongestFrame - 3, '\x5A');

        addDecodeRow("own address", {kVersionFrame}, version);
        addDecodeRow("empty payload", {hex("F5 03 00 FC FF 00 F0 E1")}, {QByteArray()}, {}, {}, 0);
        addDecodeRow("frames around a foreign one",
                     {wireFrame(1, "A") + wireFrame(2, "B") + wireFrame(1, "C")}, {"A", "C"});
        // The payload is picked so that its end and the CRC read F5 04 00 FB: the window shifts
        // inside frames too, so the next byte completes a header.
        addDecodeRow("header begins in a frame's tail",
                     {wireFrame(1, hex("01 7D F5 04")) + hex("FF 01 09 17 BF")},
                     {hex("01 7D F5 04"), hex("09")});
        addDecodeRow("bad high complement", {hex("F5 04 00 FB FE 01 09 17 BF")}, {});
        addDecodeRow("L = 2068 accepted", {wireFrame(1, longestPayload)}, {longestPayload});
        for (int length : {0, 1, 2, kLongestFrame + 1, 0xFFFF}) {
            addDecodeRow(QStringLiteral("L = %1 is no frame start").arg(length),
                         {header(uint16_t(length)) + kVersionFrame}, version);
        }

        addDecodeRow("crc error notice", {corrupted(kVersionFrame)}, {}, notice);
        addDecodeRow("notice goes to own address", {corrupted(wireFrame(7, "x"))}, {}, notice);
        addDecodeRow("corrupt frame takes the rest of its chunk",
                     {corrupted(kVersionFrame) + kVersionFrame, kVersionFrame}, version, notice);
        // Discarded bytes do not reach the header window either: a header split there stays unseen.
        addDecodeRow(
            "discarded bytes complete no header",
            {corrupted(kVersionFrame) + kVersionFrame.left(3), kVersionFrame.mid(3), kVersionFrame},
            version, notice);
        QByteArray lostByte = kVersionFrame;
        lostByte.remove(6, 1);
        addDecodeRow("lost byte swallows the next frame", {lostByte + kVersionFrame, kVersionFrame},
                     version, notice);

        // The 500 ms rule. The first cut falls inside the header, so the second chunk is the one
        // that completes it.
        const Chunks headerSplit{kVersionFrame.left(2), kVersionFrame.mid(2, 4),
                                 kVersionFrame.mid(6)};
        addDecodeRow("500 ms", headerSplit, version, {}, {1000, 1000, 1500});
        addDecodeRow("501 ms", headerSplit, {}, {}, {1000, 1000, 1501});
        addDecodeRow("500 ms from the call completing the header", headerSplit, version, {},
                     {1000, 1400, 1900});
        addDecodeRow("501 ms from the call completing the header", headerSplit, {}, {},
                     {1000, 1400, 1901});
        addDecodeRow("clock wraps, 500 ms", headerSplit, version, {},
                     {0xFFFFFF00u, 0xFFFFFF00u, 0xF4});
        addDecodeRow("clock wraps, 501 ms", headerSplit, {}, {}, {0xFFFFFF00u, 0xFFFFFF00u, 0xF5});
        const QByteArray partial = kVersionFrame.left(7);
        addDecodeRow("stale frame gives way", {partial, kVersionFrame}, version, {}, {40, 541});
        // Still collecting: the new frame's first bytes finish the old one, which fails its CRC.
        addDecodeRow("stale frame at 500 ms", {partial, kVersionFrame}, {}, notice, {40, 540});
        // The stale frame collected the first four header bytes; the first late byte ends the
        // header.
        addDecodeRow("first late byte ends a header",
                     {header(10) + hex("01") + kVersionFrame.left(4), kVersionFrame.mid(4)},
                     version, {}, {40, 541});
    }

    void decode()
    {
        QFETCH(int, address);
        QFETCH(Chunks, chunks);
        QFETCH(Times, times);

        Codec c{uint8_t(address)};
        for (int i = 0; i < chunks.size(); ++i) {
            c.nowMs = times.value(i);
            c.feed(chunks.at(i));
        }
        QTEST(c.delivered, "delivered");
        QTEST(c.written, "written");
    }

    void partialFrameDiscarded()
    {
        Codec c(1);
        c.feed(kVersionFrame.left(7));
        c.codec.discardPartialFrame();
        c.feed(kVersionFrame);
        QCOMPARE(c.delivered, QByteArrayList{hex("09")});
    }

    void wireTraceLinePerFrame()
    {
        QVERIFY(!lcWire().isDebugEnabled());
        LogCapture wire("talvik.wire");
        Codec c(0x1A);
        c.codec.sendFrame(bytesOf(hex("09")), 1);
        c.feed(wireFrame(0x1A, hex("00 09 41")) + wireFrame(0x2B, hex("0A")));
        c.feed(corrupted(wireFrame(0x1A, hex("0A"))));
        QCOMPARE(wire.lines,
                 (QStringList{"sent to 1A: 09", "received from 1A: 00 09 41",
                              "received from 2B: 0A (not for 1A, dropped)",
                              "received from 1A: 0A (CRC error: frame says 51FD, bytes give 50FD)",
                              "sent to 1A: FF FF 02"}));
    }
};

QTEST_GUILESS_MAIN(TestBinaryProtocol)
#include "tst_binaryprotocol.moc"
