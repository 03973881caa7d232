#include "binaryprotocol.h"

#include <QRandomGenerator>
#include <QtTest>

namespace {

constexpr uint8_t kStartByte = 0xF5;
constexpr int kLongestFrame = 2068;
constexpr int kLongestPayload = 2060;

QByteArray hex(const char *text)
{
    return QByteArray::fromHex(text);
}

const uint8_t *bytesOf(const QByteArray &data)
{
    return reinterpret_cast<const uint8_t *>(data.constData());
}

QByteArray header(uint16_t length)
{
    QByteArray out;
    out.append(char(kStartByte));
    out.append(char(length & 0xFF)).append(char(length >> 8));
    out.append(char(~length & 0xFF)).append(char((~length >> 8) & 0xFF));
    return out;
}

// Assembled by hand rather than by sendFrame, which refuses the longest payloads a peer may send.
QByteArray wireFrame(uint8_t address, const QByteArray &payload)
{
    const QByteArray covered = char(address) + payload;
    const uint16_t crc = crc16Ccitt(bytesOf(covered), size_t(covered.size()));
    return header(uint16_t(covered.size() + 2)) + covered + char(crc & 0xFF) + char(crc >> 8);
}

QByteArray corrupted(QByteArray frame)
{
    frame[frame.size() - 1] = char(frame.at(frame.size() - 1) ^ 0x01);
    return frame;
}

QByteArray pattern(int size)
{
    QByteArray out(size, '\0');
    for (int i = 0; i < size; ++i)
        out[i] = char(i * 7 + 3);
    return out;
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

} // namespace

class TestBinaryProtocol : public QObject
{
    Q_OBJECT

private slots:
    void crc_data();
    void crc();
    void encode_data();
    void encode();
    void encodeLongestPayload();
    void decode_data();
    void decode();
    void frameSplitAtEveryPosition();
    void frameTimeout_data();
    void frameTimeout();
    void staleFrameGivesWayToNewOne_data();
    void staleFrameGivesWayToNewOne();
    void codecsDecodeIndependently();
    void receiverMayOverwriteByteBehindPayload();
    void randomStreamRoundTrip();
};

void TestBinaryProtocol::crc_data()
{
    QTest::addColumn<QByteArray>("data");
    QTest::addColumn<int>("initial");
    QTest::addColumn<int>("expected");

    QTest::newRow("check value") << QByteArray("123456789") << 0xFFFF << 0x29B1;
    QTest::newRow("continues a running value") << QByteArray("56789") << 0x5349 << 0x29B1;
    QTest::newRow("no data keeps the initial value") << QByteArray() << 0xFFFF << 0xFFFF;
    // From a zero register one byte yields its table entry.
    QTest::newRow("table entry 1") << hex("01") << 0 << 0x1021;
    QTest::newRow("table entry 255") << hex("FF") << 0 << 0x1EF0;
    QTest::newRow("address tag header") << hex("06 01") << 0xFFFF << 0xA788;
}

void TestBinaryProtocol::crc()
{
    QFETCH(QByteArray, data);
    QFETCH(int, initial);
    QFETCH(int, expected);
    QCOMPARE(int(crc16Ccitt(bytesOf(data), size_t(data.size()), uint16_t(initial))), expected);
}

void TestBinaryProtocol::encode_data()
{
    QTest::addColumn<int>("address");
    QTest::addColumn<QByteArray>("payload");
    QTest::addColumn<QByteArray>("frame");

    QTest::newRow("version request") << 0x01 << hex("09") << kVersionFrame;
    QTest::newRow("empty payload") << 0x00 << QByteArray() << hex("F5 03 00 FC FF 00 F0 E1");
    QTest::newRow("crc error notice") << 0x01 << hex("FF FF 02") << kNoticeToAddress1;
    QTest::newRow("start byte not escaped")
        << 0xF5 << hex("F5") << hex("F5 04 00 FB FF F5 F5 81 4E");
}

void TestBinaryProtocol::encode()
{
    QFETCH(int, address);
    QFETCH(QByteArray, payload);
    QFETCH(QByteArray, frame);

    Codec c{uint8_t(address)};
    c.codec.sendFrame(bytesOf(payload), size_t(payload.size()));
    QCOMPARE(c.written, QByteArrayList{frame});
}

void TestBinaryProtocol::encodeLongestPayload()
{
    Codec c(0x22);
    const QByteArray longest = pattern(kLongestPayload);
    c.codec.sendFrame(bytesOf(longest), size_t(longest.size()));
    QCOMPARE(c.written.size(), 1);
    QCOMPARE(c.written.first().size(), kLongestFrame);
    QCOMPARE(c.written.first().left(6), header(kLongestPayload + 3) + char(0x22));

    c.feed(c.written.first());
    QCOMPARE(c.delivered, QByteArrayList{longest});

    const QByteArray tooLong = pattern(kLongestPayload + 1);
    QTest::ignoreMessage(QtWarningMsg, QRegularExpression("2061"));
    c.codec.sendFrame(bytesOf(tooLong), size_t(tooLong.size()));
    QCOMPARE(c.written.size(), 1);
}

void TestBinaryProtocol::decode_data()
{
    QTest::addColumn<int>("address");
    QTest::addColumn<QByteArrayList>("chunks");
    QTest::addColumn<QByteArrayList>("delivered");
    QTest::addColumn<QByteArrayList>("written");

    const QByteArray longestPayload = pattern(kLongestFrame - 3);
    const QByteArrayList none;

    QTest::newRow("own address") << 1 << QByteArrayList{kVersionFrame} << QByteArrayList{hex("09")}
                                 << none;
    QTest::newRow("other address") << 2 << QByteArrayList{kVersionFrame} << none << none;
    QTest::newRow("empty payload") << 0 << QByteArrayList{hex("F5 03 00 FC FF 00 F0 E1")}
                                   << QByteArrayList{QByteArray()} << none;
    QTest::newRow("noise before frame")
        << 1 << QByteArrayList{hex("00 F5 F5 FB 12") + kVersionFrame} << QByteArrayList{hex("09")}
        << none;
    QTest::newRow("frames around a foreign one")
        << 1 << QByteArrayList{wireFrame(1, "A") + wireFrame(2, "B") + wireFrame(1, "C")}
        << QByteArrayList{"A", "C"} << none;
    // The payload is picked so that its end and the CRC read F5 04 00 FB: the window shifts
    // inside frames too, so the next byte completes a header.
    QTest::newRow("header begins in a frame's tail")
        << 1 << QByteArrayList{wireFrame(1, hex("01 7D F5 04")) + hex("FF 01 09 17 BF")}
        << QByteArrayList{hex("01 7D F5 04"), hex("09")} << none;
    QTest::newRow("header inside payload")
        << 1 << QByteArrayList{wireFrame(1, hex("F5 03 00 FC FF"))}
        << QByteArrayList{hex("F5 03 00 FC FF")} << none;
    QTest::newRow("bad high complement")
        << 1 << QByteArrayList{hex("F5 04 00 FB FE 01 09 17 BF")} << none << none;
    QTest::newRow("bad low complement")
        << 1 << QByteArrayList{hex("F5 04 00 FA FF 01 09 17 BF")} << none << none;
    QTest::newRow("L = 2068 accepted") << 1 << QByteArrayList{wireFrame(1, longestPayload)}
                                       << QByteArrayList{longestPayload} << none;
    for (int length : {0, 1, 2, kLongestFrame + 1, 0xFFFF}) {
        QTest::addRow("L = %d is no frame start", length)
            << 1 << QByteArrayList{header(uint16_t(length)) + kVersionFrame}
            << QByteArrayList{hex("09")} << none;
    }

    QTest::newRow("crc error notice") << 1 << QByteArrayList{corrupted(kVersionFrame)} << none
                                      << QByteArrayList{kNoticeToAddress1};
    QTest::newRow("notice goes to own address") << 1 << QByteArrayList{corrupted(wireFrame(7, "x"))}
                                                << none << QByteArrayList{kNoticeToAddress1};
    QTest::newRow("corrupt frame takes the rest of its chunk")
        << 1 << QByteArrayList{corrupted(kVersionFrame) + kVersionFrame, kVersionFrame}
        << QByteArrayList{hex("09")} << QByteArrayList{kNoticeToAddress1};
    // Discarded bytes do not reach the header window either: a header split there stays unseen.
    QTest::newRow("discarded bytes complete no header")
        << 1
        << QByteArrayList{corrupted(kVersionFrame) + kVersionFrame.left(3), kVersionFrame.mid(3),
                          kVersionFrame}
        << QByteArrayList{hex("09")} << QByteArrayList{kNoticeToAddress1};
    QByteArray lostByte = kVersionFrame;
    lostByte.remove(6, 1);
    QTest::newRow("lost byte swallows the next frame")
        << 1 << QByteArrayList{lostByte + kVersionFrame, kVersionFrame} << QByteArrayList{hex("09")}
        << QByteArrayList{kNoticeToAddress1};
}

void TestBinaryProtocol::decode()
{
    QFETCH(int, address);
    QFETCH(QByteArrayList, chunks);
    QFETCH(QByteArrayList, delivered);
    QFETCH(QByteArrayList, written);

    Codec c{uint8_t(address)};
    for (const QByteArray &chunk : chunks)
        c.feed(chunk);
    QCOMPARE(c.delivered, delivered);
    QCOMPARE(c.written, written);
}

void TestBinaryProtocol::frameSplitAtEveryPosition()
{
    const QByteArray payload = hex("F5 00 01 F5 FF 03");
    const QByteArray stream = hex("00 11") + wireFrame(1, payload);
    for (int first = 1; first < stream.size(); ++first) {
        for (int second = first; second < stream.size(); ++second) {
            Codec c(1);
            c.feed(stream.left(first));
            c.feed(stream.mid(first, second - first));
            const QByteArray where = QByteArray::number(first) + "/" + QByteArray::number(second);
            QVERIFY2(c.delivered.isEmpty(), where);
            c.feed(stream.mid(second));
            QVERIFY2(c.delivered == QByteArrayList{payload}, where);
            QVERIFY2(c.written.isEmpty(), where);
        }
    }
}

void TestBinaryProtocol::frameTimeout_data()
{
    QTest::addColumn<QVector<int>>("cuts");
    QTest::addColumn<QVector<quint32>>("times");
    QTest::addColumn<bool>("delivered");

    // The first cut falls inside the header, so the second chunk is the one that completes it.
    const QVector<int> headerSplit{2, 6};
    QTest::newRow("500 ms") << headerSplit << QVector<quint32>{1000, 1000, 1500} << true;
    QTest::newRow("501 ms") << headerSplit << QVector<quint32>{1000, 1000, 1501} << false;
    QTest::newRow("500 ms from the call completing the header")
        << headerSplit << QVector<quint32>{1000, 1400, 1900} << true;
    QTest::newRow("501 ms from the call completing the header")
        << headerSplit << QVector<quint32>{1000, 1400, 1901} << false;
    QTest::newRow("not byte to byte")
        << QVector<int>{6, 7} << QVector<quint32>{1000, 1300, 1600} << false;
    QTest::newRow("clock wraps, 500 ms")
        << headerSplit << QVector<quint32>{0xFFFFFF00u, 0xFFFFFF00u, 0xF4} << true;
    QTest::newRow("clock wraps, 501 ms")
        << headerSplit << QVector<quint32>{0xFFFFFF00u, 0xFFFFFF00u, 0xF5} << false;
}

void TestBinaryProtocol::frameTimeout()
{
    QFETCH(QVector<int>, cuts);
    QFETCH(QVector<quint32>, times);
    QFETCH(bool, delivered);

    Codec c(1);
    int from = 0;
    for (int i = 0; i <= cuts.size(); ++i) {
        const int to = i < cuts.size() ? cuts.at(i) : kVersionFrame.size();
        c.nowMs = times.at(i);
        c.feed(kVersionFrame.mid(from, to - from));
        from = to;
    }
    QCOMPARE(c.delivered, delivered ? QByteArrayList{hex("09")} : QByteArrayList());
    QVERIFY(c.written.isEmpty());
}

void TestBinaryProtocol::staleFrameGivesWayToNewOne_data()
{
    QTest::addColumn<QByteArray>("stale");
    QTest::addColumn<quint32>("delay");
    QTest::addColumn<QByteArray>("next");
    QTest::addColumn<QByteArrayList>("delivered");
    QTest::addColumn<QByteArrayList>("written");

    const QByteArray partial = kVersionFrame.left(7);
    QTest::newRow("501 ms") << partial << 501u << kVersionFrame << QByteArrayList{hex("09")}
                            << QByteArrayList();
    QTest::newRow("501 ms, noise first") << partial << 501u << hex("00") + kVersionFrame
                                         << QByteArrayList{hex("09")} << QByteArrayList();
    // Still collecting: the new frame's first bytes finish the old one, which fails its CRC.
    QTest::newRow("500 ms") << partial << 500u << kVersionFrame << QByteArrayList()
                            << QByteArrayList{kNoticeToAddress1};
    // The stale frame collected the first four header bytes; the first late byte ends the header.
    QTest::newRow("first late byte ends a header")
        << header(10) + hex("01") + kVersionFrame.left(4) << 501u << kVersionFrame.mid(4)
        << QByteArrayList{hex("09")} << QByteArrayList();
}

void TestBinaryProtocol::staleFrameGivesWayToNewOne()
{
    QFETCH(QByteArray, stale);
    QFETCH(quint32, delay);
    QFETCH(QByteArray, next);
    QFETCH(QByteArrayList, delivered);
    QFETCH(QByteArrayList, written);

    Codec c(1);
    c.nowMs = 40;
    c.feed(stale);
    c.nowMs += delay;
    c.feed(next);
    QCOMPARE(c.delivered, delivered);
    QCOMPARE(c.written, written);
}

void TestBinaryProtocol::codecsDecodeIndependently()
{
    Codec a(1);
    Codec b(2);
    const QByteArray toA = wireFrame(1, "first");
    const QByteArray toB = wireFrame(2, "second one");
    a.feed(toA.left(3));
    b.feed(toB.left(4));
    a.feed(toA.mid(3, 5));
    b.feed(toB.mid(4, 2));
    a.feed(toA.mid(8));
    b.feed(toB.mid(6));
    QCOMPARE(a.delivered, QByteArrayList{"first"});
    QCOMPARE(b.delivered, QByteArrayList{"second one"});
    QVERIFY(a.written.isEmpty());
    QVERIFY(b.written.isEmpty());
}

void TestBinaryProtocol::receiverMayOverwriteByteBehindPayload()
{
    Codec c(1);
    // Like the dispatcher, which terminates text there.
    QObject::connect(&c.codec, &BinaryProtocol::frameComplete,
                     [](uint8_t *buff, size_t len) { buff[len] = uint8_t(~buff[len]); });
    c.feed(wireFrame(1, "text") + wireFrame(1, QByteArray()) + wireFrame(1, "more text"));
    QCOMPARE(c.delivered, (QByteArrayList{"text", QByteArray(), "more text"}));
    QVERIFY(c.written.isEmpty());
}

void TestBinaryProtocol::randomStreamRoundTrip()
{
    constexpr int kFrames = 5000;
    constexpr uint8_t kOwnAddress = 0x5A;
    constexpr uint8_t kOtherAddress = 0x5B;
    QRandomGenerator rng(0x7A1C);

    BinaryProtocol encoder;
    QByteArray stream;
    QObject::connect(&encoder, &BinaryProtocol::protocolWrite,
                     [&stream](uint8_t *buff, size_t len) {
                         stream.append(reinterpret_cast<const char *>(buff), int(len));
                     });

    QByteArrayList expected;
    for (int i = 0; i < kFrames; ++i) {
        // Noise never holds a start byte, so it cannot form a header of its own.
        for (int n = int(rng.bounded(8)); n > 0; --n) {
            const uint8_t noise = uint8_t(rng.bounded(255));
            stream.append(char(noise >= kStartByte ? noise + 1 : noise));
        }
        // Mostly short payloads, so that thousands of frames stay fast.
        const int kind = int(rng.bounded(100));
        const int size = int(kind < 80   ? rng.bounded(33)
                             : kind < 98 ? rng.bounded(300)
                                         : rng.bounded(kLongestPayload + 1));
        QByteArray payload(size, '\0');
        for (char &b : payload)
            b = char(rng.bounded(256));
        const bool own = rng.bounded(10) != 0;
        encoder.setDeviceAddress(own ? kOwnAddress : kOtherAddress);
        encoder.sendFrame(bytesOf(payload), size_t(payload.size()));
        if (own)
            expected.append(payload);
    }

    Codec c(kOwnAddress);
    for (int at = 0; at < stream.size();) {
        const int size = int(rng.bounded(1, 700));
        c.feed(stream.mid(at, size));
        at += size;
    }
    QVERIFY(c.written.isEmpty());
    QCOMPARE(c.delivered.size(), expected.size());
    for (int i = 0; i < expected.size(); ++i)
        QVERIFY2(c.delivered.at(i) == expected.at(i), qPrintable(QString("frame %1").arg(i)));
}

QTEST_GUILESS_MAIN(TestBinaryProtocol)
#include "tst_binaryprotocol.moc"
