// The bus simulator against the tool's own codec, and the device behaviour the tool relies on.
#include "binaryprotocol.h"
#include "crc32.h"
#include "devicecommand.h"
#include "simbus.h"
#include "simbusthread.h"
#include "simcontrol.h"
#include "simdevice.h"
#include "simframe.h"
#include "simscenario.h"

#include <QElapsedTimer>
#include <QSerialPort>
#include <QSignalSpy>
#include <QtTest>

namespace {

constexpr uint8_t kAddress = 0x1A;
constexpr int kWaitMs = 2000;
// Longer than any answer of an idle, unpaced simulator takes.
constexpr int kQuietMs = 150;

QByteArray hex(const char *text)
{
    return QByteArray::fromHex(text);
}

// What the tool's codec puts on the line for this payload.
QByteArray toolFrame(uint8_t address, const QByteArray &payload)
{
    BinaryProtocol codec;
    codec.setDeviceAddress(address);
    QByteArray frame;
    QObject::connect(&codec, &BinaryProtocol::protocolWrite, [&frame](uint8_t *buff, size_t len) {
        frame = QByteArray(reinterpret_cast<const char *>(buff), static_cast<int>(len));
    });
    codec.sendFrame(reinterpret_cast<const uint8_t *>(payload.constData()),
                    static_cast<size_t>(payload.size()));
    return frame;
}

// The tool's side of the line: QSerialPort and BinaryProtocol, answers collected.
class ToolLine : public QObject
{
public:
    bool open(const QString &path, qint32 baud)
    {
        port.setPortName(path);
        port.setBaudRate(baud);
        if (!port.open(QIODevice::ReadWrite))
            return false;
        connect(&port, &QSerialPort::readyRead, this, [this] {
            const QByteArray chunk = port.readAll();
            codec.receiveBytes(reinterpret_cast<const uint8_t *>(chunk.constData()),
                               static_cast<size_t>(chunk.size()));
        });
        connect(&codec, &BinaryProtocol::protocolWrite, this, [this](uint8_t *buff, size_t len) {
            port.write(reinterpret_cast<const char *>(buff), static_cast<qint64>(len));
        });
        connect(&codec, &BinaryProtocol::frameComplete, this, [this](uint8_t *buff, size_t len) {
            answers.append(QByteArray(reinterpret_cast<const char *>(buff), static_cast<int>(len)));
            answerTimes.append(clock.elapsed());
        });
        clock.start();
        return true;
    }
    void close()
    {
        port.close();
        disconnect(&port, nullptr, this, nullptr);
        disconnect(&codec, nullptr, this, nullptr);
    }
    void send(uint8_t address, const QByteArray &payload)
    {
        codec.setDeviceAddress(address);
        codec.sendFrame(reinterpret_cast<const uint8_t *>(payload.constData()),
                        static_cast<size_t>(payload.size()));
    }

    QSerialPort port;
    BinaryProtocol codec;
    QVector<QByteArray> answers;
    QVector<qint64> answerTimes;
    QElapsedTimer clock;
};

SimReply ask(SimDevice &device, const QByteArray &request)
{
    return device.handle(reinterpret_cast<const uint8_t *>(request.constData()),
                         static_cast<size_t>(request.size()));
}

SimDeviceConfig readerWithTag()
{
    SimDeviceConfig config = SimDeviceConfig::at(kAddress, QStringLiteral("Door"));
    config.applicationVersion = QStringLiteral("APP 2.0");
    config.settings.shortName = shortNameBytes(QStringLiteral("DR"));
    config.eeprom[0x10] = '\x5A';
    config.tags.append(SimTag::create(hex("04A1B2C3D4E5F6")).withAddressTag(0x22, "AB", true));
    return config;
}

} // namespace

class TestSimulator : public QObject
{
    Q_OBJECT

private slots:
    // Framing, both ways, against BinaryProtocol.
    void parserTakesToolFrames_data();
    void parserTakesToolFrames();
    void parserHuntsPastDamage_data();
    void parserHuntsPastDamage();
    void parserAbandonsStaleFrame();
    void toolDecodesSimFrames_data();
    void toolDecodesSimFrames();
    void crc32CheckValues_data();
    void crc32CheckValues();

    // Device behaviour.
    void commandAnswers_data();
    void commandAnswers();
    void tagPageWriteNeedsActivation();
    void settingsAndResetRestart();
    void bootloaderImageCheck_data();
    void bootloaderImageCheck();
    void bootloaderHoldsUntilGoodImage();
    void dropsOutMidTransfer();

    // The bus in-process, without a pty.
    void corruptionFollowsSeed();
    void injectedErrorAndSilence();
    void deviceHearsOnlyItsBaudRate();

    // Over a real pty.
    void restartKeepsDeviceSilent();
    void settingsWriteMovesAddressAndBaud();
    void pacingTakesLineTime();
    void answerLostWhilePortClosed();

    // Text forms.
    void deviceKeyLists_data();
    void deviceKeyLists();
    void controlCommands();
};

// ---- Framing --------------------------------------------------------------------------------

void TestSimulator::parserTakesToolFrames_data()
{
    QTest::addColumn<QByteArray>("payload");
    QTest::addColumn<int>("chunkSize");

    QTest::newRow("version, whole") << hex("09") << 0;
    QTest::newRow("version, byte by byte") << hex("09") << 1;
    QTest::newRow("empty payload") << QByteArray() << 3;
    QTest::newRow("header look-alike inside") << hex("F2F50300FCFF0102") << 2;
    QTest::newRow("full firmware chunk") << hex("F2") + QByteArray(256, '\xF5') << 7;
}

void TestSimulator::parserTakesToolFrames()
{
    QFETCH(QByteArray, payload);
    QFETCH(int, chunkSize);

    QVector<QByteArray> payloads;
    QVector<uint8_t> addresses;
    bool allCrcOk = true;
    SimFrameParser parser([&](const SimFrame &frame) {
        addresses.append(frame.address);
        allCrcOk = allCrcOk && frame.crcOk;
        payloads.append(
            QByteArray(reinterpret_cast<const char *>(frame.payload), static_cast<int>(frame.len)));
    });
    const QByteArray line = hex("00F5AA") + toolFrame(kAddress, payload);
    const int step = chunkSize > 0 ? chunkSize : line.size();
    for (int at = 0; at < line.size(); at += step) {
        const QByteArray chunk = line.mid(at, step);
        parser.feed(reinterpret_cast<const uint8_t *>(chunk.constData()),
                    static_cast<size_t>(chunk.size()), 0);
    }
    QCOMPARE(payloads.size(), 1);
    QVERIFY(allCrcOk);
    QCOMPARE(addresses.first(), kAddress);
    QCOMPARE(payloads.first(), payload);
}

void TestSimulator::parserHuntsPastDamage_data()
{
    QTest::addColumn<QByteArray>("line");
    QTest::addColumn<int>("goodFrames");
    QTest::addColumn<int>("badFrames");

    QByteArray broken = toolFrame(kAddress, hex("0C"));
    broken[broken.size() - 1] = static_cast<char>(broken.at(broken.size() - 1) ^ 0x01);
    const QByteArray good = toolFrame(kAddress, hex("09"));
    QTest::newRow("broken then good, one chunk") << broken + good << 1 << 1;
    QTest::newRow("length 2069 is no header") << hex("F51508EAF7") + good << 1 << 0;
    QTest::newRow("length 2 is no header") << hex("F50200FDFF") + good << 1 << 0;
    QTest::newRow("complement mismatch") << hex("F50400FBFE") + good << 1 << 0;
    QTest::newRow("two frames back to back") << good + good << 2 << 0;
}

void TestSimulator::parserHuntsPastDamage()
{
    QFETCH(QByteArray, line);
    QFETCH(int, goodFrames);
    QFETCH(int, badFrames);

    SimFrameParser parser(nullptr);
    parser.feed(reinterpret_cast<const uint8_t *>(line.constData()),
                static_cast<size_t>(line.size()), 0);
    QCOMPARE(static_cast<int>(parser.goodFrames()), goodFrames);
    QCOMPARE(static_cast<int>(parser.badFrames()), badFrames);
}

void TestSimulator::parserAbandonsStaleFrame()
{
    int delivered = 0;
    SimFrameParser parser([&](const SimFrame &) { ++delivered; });
    const QByteArray frame = toolFrame(kAddress, hex("0A"));
    const auto feed = [&](const QByteArray &bytes, qint64 nowMs) {
        parser.feed(reinterpret_cast<const uint8_t *>(bytes.constData()),
                    static_cast<size_t>(bytes.size()), nowMs);
    };
    feed(frame.left(6), 0);
    feed(frame, SimWire::kFrameAssemblyTimeoutMs + 1);
    QCOMPARE(delivered, 1);
    QCOMPARE(static_cast<int>(parser.abandonedFrames()), 1);
}

void TestSimulator::toolDecodesSimFrames_data()
{
    QTest::addColumn<uint8_t>("address");
    QTest::addColumn<QByteArray>("payload");
    QTest::addColumn<QByteArray>("expectedLine");

    QTest::newRow("example frame") << uint8_t(0x01) << hex("09") << hex("F50400FBFF010917BF");
    QTest::newRow("empty payload") << uint8_t(0x00) << QByteArray() << hex("F50300FCFF00F0E1");
    QTest::newRow("largest payload")
        << uint8_t(0xFF) << QByteArray(SimWire::kMaxPayload, '\x5A') << QByteArray();
}

void TestSimulator::toolDecodesSimFrames()
{
    QFETCH(uint8_t, address);
    QFETCH(QByteArray, payload);
    QFETCH(QByteArray, expectedLine);

    const QByteArray line = SimWire::encodeFrame(address, payload);
    if (!expectedLine.isEmpty())
        QCOMPARE(line.toHex(' '), expectedLine.toHex(' '));
    // The tool sends at most kMaxPayload but takes frames up to the longest length.
    if (payload.size() <= static_cast<int>(BinaryProtocol::kMaxPayload))
        QCOMPARE(line, toolFrame(address, payload));

    BinaryProtocol codec;
    codec.setDeviceAddress(address);
    QByteArray decoded;
    int frames = 0;
    connect(&codec, &BinaryProtocol::frameComplete, this, [&](uint8_t *buff, size_t len) {
        decoded = QByteArray(reinterpret_cast<const char *>(buff), static_cast<int>(len));
        ++frames;
    });
    codec.receiveBytes(reinterpret_cast<const uint8_t *>(line.constData()),
                       static_cast<size_t>(line.size()));
    QCOMPARE(frames, 1);
    QCOMPARE(decoded, payload);
}

void TestSimulator::crc32CheckValues_data()
{
    QTest::addColumn<QByteArray>("data");
    QTest::addColumn<uint>("crc");

    QTest::newRow("empty") << QByteArray() << 0x00000000u;
    QTest::newRow("check string") << QByteArray("123456789") << 0xCBF43926u;
    QTest::newRow("one zero byte") << QByteArray(1, '\0') << 0xD202EF8Du;
    QTest::newRow("fox") << QByteArray("The quick brown fox jumps over the lazy dog")
                         << 0x414FA339u;
}

void TestSimulator::crc32CheckValues()
{
    QFETCH(QByteArray, data);
    QFETCH(uint, crc);
    QCOMPARE(crc32Ieee(reinterpret_cast<const uint8_t *>(data.constData()),
                       static_cast<size_t>(data.size())),
             crc);
    // Continuing over a split gives the same result.
    const int half = data.size() / 2;
    const auto *bytes = reinterpret_cast<const uint8_t *>(data.constData());
    QCOMPARE(crc32Ieee(bytes + half, static_cast<size_t>(data.size() - half),
                       crc32Ieee(bytes, static_cast<size_t>(half))),
             crc);
}

// ---- Device behaviour -----------------------------------------------------------------------

void TestSimulator::commandAnswers_data()
{
    QTest::addColumn<QByteArray>("request");
    QTest::addColumn<QByteArray>("answer");

    QTest::newRow("version") << hex("09") << hex("0009") + "APP 2.0";
    QTest::newRow("identification") << hex("0A") << hex("000A") + "Door";
    QTest::newRow("settings") << hex("0C") << hex("000C051A0044520000");
    QTest::newRow("led on") << hex("0E01") << hex("000E");
    QTest::newRow("led toggle") << hex("0E02E803") << hex("000E");
    QTest::newRow("led bad mode") << hex("0E07") << hex("FF0E0003");
    QTest::newRow("eeprom read") << hex("F410") << hex("00F45A");
    QTest::newRow("eeprom write") << hex("F41077") << hex("00F4");
    QTest::newRow("tag count") << hex("02") << hex("000201");
    QTest::newRow("uid") << hex("0300") << hex("00034400") + hex("04A1B2C3D4E5F6");
    QTest::newRow("activate") << hex("0400") << hex("0004");
    const AddressTagRecord record = buildAddressTagRecord(QStringLiteral("AB"), 0x22, true);
    QTest::newRow("address tag pages")
        << hex("400403")
        << hex("0040") + QByteArray(reinterpret_cast<const char *>(record.data()),
                                    static_cast<int>(record.size()));
    QTest::newRow("loop test page") << hex("400401") << hex("0040060188A7");
    QTest::newRow("halt") << hex("05") << hex("0005");
    QTest::newRow("tag version") << hex("42") << hex("0042") + hex("0004040201000F03");
    QTest::newRow("page beyond tag") << hex("402C02") << hex("FF400013");
    QTest::newRow("unknown command") << hex("77") << hex("FF770001");
    QTest::newRow("version with extra byte") << hex("0900") << hex("FF090002");
    QTest::newRow("erase outside bootloader") << hex("F1") << hex("FFF10020");
    QTest::newRow("settings with bad baud index") << hex("0B061A0044520000") << hex("FF0B0003");
}

void TestSimulator::commandAnswers()
{
    QFETCH(QByteArray, request);
    QFETCH(QByteArray, answer);

    SimDevice device(0, readerWithTag());
    const SimReply reply = ask(device, request);
    QVERIFY(reply.answer);
    QCOMPARE(reply.payload.toHex(' '), answer.toHex(' '));
}

void TestSimulator::tagPageWriteNeedsActivation()
{
    SimDevice device(0, readerWithTag());
    const QByteArray record = hex("060188A7") + hex("4344000033007777");
    const QByteArray write = hex("410403") + record;

    QCOMPARE(ask(device, write).payload, hex("FF410012"));
    QCOMPARE(ask(device, hex("0400")).payload, hex("0004"));
    QCOMPARE(ask(device, hex("410203") + record).payload, hex("FF410014"));
    QCOMPARE(ask(device, hex("410402") + record).payload, hex("FF410002"));
    QCOMPARE(ask(device, write).payload, hex("0041"));
    QCOMPARE(ask(device, hex("400403")).payload, hex("0040") + record);
    QCOMPARE(device.state().tags.first().readPages(4, 3), record);

    QCOMPARE(ask(device, hex("05")).payload, hex("0005"));
    QCOMPARE(ask(device, write).payload, hex("FF410012"));

    device.setTags({});
    QCOMPARE(ask(device, hex("02")).payload, hex("000200"));
    QCOMPARE(ask(device, hex("0300")).payload, hex("FF030010"));
    QCOMPARE(ask(device, hex("400401")).payload, hex("FF400010"));
    QCOMPARE(ask(device, hex("05")).payload, hex("0005"));

    device.setTags({SimTag::create(hex("01020304")), SimTag::create(hex("05060708"))});
    QCOMPARE(ask(device, hex("02")).payload, hex("000202"));
    QCOMPARE(ask(device, hex("0300")).payload, hex("FF030011"));
}

void TestSimulator::settingsAndResetRestart()
{
    SimDeviceConfig config = readerWithTag();
    SimDevice device(0, config);
    const SimReply written = ask(device, hex("0B02330041000000"));
    QCOMPARE(written.payload, hex("000B"));
    QCOMPARE(written.restartMs, config.timing.restartMs);
    QCOMPARE(device.address(), uint8_t(0x33));
    QCOMPARE(device.baudRate(), 19200);
    QCOMPARE(device.state().settings.shortName[0], uint8_t('A'));

    QCOMPARE(ask(device, hex("0E01")).payload, hex("000E"));
    const SimReply reset = ask(device, hex("0D"));
    QCOMPARE(reset.payload, hex("000D"));
    QVERIFY(reset.restartMs > 0);
    QCOMPARE(device.address(), kAddress);
    QCOMPARE(device.baudRate(), 115200);
    QCOMPARE(device.state().ledMode, kLedOff);

    const SimReply reboot = ask(device, hex("08"));
    QCOMPARE(reboot.payload, hex("0008"));
    QVERIFY(reboot.restartMs > 0);
    device.beginRestart(1000, reboot.restartMs);
    QVERIFY(device.isBusy(1000 + reboot.restartMs - 1));
    QVERIFY(!device.isBusy(1000 + reboot.restartMs));
}

void TestSimulator::bootloaderImageCheck_data()
{
    QTest::addColumn<QByteArray>("image");
    QTest::addColumn<bool>("acceptAny");
    QTest::addColumn<QString>("version");

    const QByteArray body = QByteArray(300, '\x11') + "VER:APP 3.1.4\n" + QByteArray(300, '\x22');
    QByteArray damaged = simSealImage(body);
    damaged[5] = '\x12';
    const QByteArray plain = simSealImage(QByteArray(513, '\x33'));
    const QString plainVersion =
        QStringLiteral("image-%1")
            .arg(crc32Ieee(reinterpret_cast<const uint8_t *>(plain.constData()),
                           static_cast<size_t>(plain.size() - 4)),
                 8, 16, QLatin1Char('0'));

    QTest::newRow("sealed, named") << simSealImage(body) << false << "APP 3.1.4";
    QTest::newRow("sealed, unnamed") << plain << false << plainVersion;
    QTest::newRow("one byte changed") << damaged << false << QString();
    QTest::newRow("trailer only") << QByteArray(4, '\0') << false << QString();
    QTest::newRow("empty image") << QByteArray() << false << QString();
    QTest::newRow("any image accepted") << damaged << true << "APP 3.1.4";
}

void TestSimulator::bootloaderImageCheck()
{
    QFETCH(QByteArray, image);
    QFETCH(bool, acceptAny);
    QFETCH(QString, version);

    SimDeviceConfig config = readerWithTag();
    config.acceptAnyImage = acceptAny;
    SimDevice device(0, config);
    const SimReply entered = ask(device, hex("F0"));
    QCOMPARE(entered.payload, hex("00F0"));
    QCOMPARE(entered.restartMs, config.timing.bootloaderStartMs);
    const SimReply erased = ask(device, hex("F1"));
    QCOMPARE(erased.payload, hex("00F1"));
    QCOMPARE(erased.delayMs, config.timing.eraseMs);
    for (int at = 0; at < image.size(); at += kFirmwareChunkSize) {
        const QByteArray chunk = image.mid(at, kFirmwareChunkSize);
        QCOMPARE(ask(device, buildWriteFlash(chunk.constData(), chunk.size())).payload,
                 hex("00F2"));
    }
    QCOMPARE(device.state().flash, image);

    const SimReply finished = ask(device, hex("F3"));
    if (version.isEmpty()) {
        QCOMPARE(finished.payload, hex("FFF30024"));
        QCOMPARE(finished.restartMs, 0);
        QCOMPARE(device.state().mode, SimMode::Bootloader);
        return;
    }
    QCOMPARE(finished.payload, hex("00F3"));
    QVERIFY(finished.restartMs > 0);
    QCOMPARE(device.state().mode, SimMode::Application);
    QCOMPARE(ask(device, hex("09")).payload, hex("0009") + version.toUtf8());
}

void TestSimulator::bootloaderHoldsUntilGoodImage()
{
    SimDevice device(0, readerWithTag());
    ask(device, hex("F0"));
    const QByteArray version = ask(device, hex("09")).payload.mid(2);
    QVERIFY(version.indexOf("BOOTLOADER") > 0);

    // Already there: answered, no second restart.
    const SimReply again = ask(device, hex("F0"));
    QCOMPARE(again.payload, hex("00F0"));
    QCOMPARE(again.restartMs, 0);
    QCOMPARE(ask(device, hex("F2AA")).payload, hex("FFF20022"));
    QCOMPARE(ask(device, hex("02")).payload, hex("FF020001"));

    ask(device, hex("F1"));
    ask(device, hex("F2AABB"));
    QCOMPARE(ask(device, hex("F3")).payload, hex("FFF30024"));
    QVERIFY(ask(device, hex("08")).restartMs > 0);
    QCOMPARE(device.state().mode, SimMode::Bootloader);
    QCOMPARE(ask(device, hex("09")).payload.mid(2), version);
}

void TestSimulator::dropsOutMidTransfer()
{
    SimDeviceConfig config = readerWithTag();
    config.faults.dropAfterChunks = 2;
    SimDevice device(0, config);
    ask(device, hex("F0"));
    ask(device, hex("F1"));
    QVERIFY(ask(device, hex("F201")).answer);
    QVERIFY(ask(device, hex("F202")).answer);
    const SimReply third = ask(device, hex("F203"));
    QVERIFY(!third.answer);
    QVERIFY(device.state().faults.silent);
    QCOMPARE(device.state().flash, hex("0102"));
}

// ---- Bus without a pty ----------------------------------------------------------------------

namespace {

// Requests go in as line bytes at 115200; answers come back decoded by the tool's codec.
struct InProcessBus
{
    explicit InProcessBus(quint32 seed = 1)
    {
        SimBusOptions options;
        options.paced = false;
        options.seed = seed;
        bus = std::make_unique<SimBus>(options);
        QObject::connect(bus.get(), &SimBus::lineBytesSent,
                         [this](const QByteArray &bytes) { line += bytes; });
    }
    void send(uint8_t address, const QByteArray &payload, int baud = 115200)
    {
        bus->receiveLineBytes(toolFrame(address, payload), baud);
    }

    std::unique_ptr<SimBus> bus;
    QByteArray line;
};

QVector<bool> corruptionPattern(quint32 seed, int answers)
{
    InProcessBus sim(seed);
    SimDeviceConfig config = SimDeviceConfig::at(kAddress);
    config.faults.corruptCrcRate = 0.5;
    sim.bus->addDevice(config);
    for (int i = 0; i < answers; ++i)
        sim.send(kAddress, hex("09"));
    QTest::qWait(20);
    QVector<bool> broken;
    for (const SimTraceEntry &entry : sim.bus->trace().entries()) {
        if (entry.isAnswer())
            broken.append(!entry.crcOk);
    }
    return broken;
}

} // namespace

void TestSimulator::corruptionFollowsSeed()
{
    constexpr int kAnswers = 40;
    const QVector<bool> first = corruptionPattern(7, kAnswers);
    QCOMPARE(first.size(), kAnswers);
    QCOMPARE(corruptionPattern(7, kAnswers), first);
    QVERIFY(corruptionPattern(8, kAnswers) != first);
    const int broken = static_cast<int>(std::count(first.begin(), first.end(), true));
    QVERIFY2(broken > 5 && broken < kAnswers - 5, qPrintable(QString::number(broken)));
}

void TestSimulator::injectedErrorAndSilence()
{
    InProcessBus sim;
    const int id = sim.bus->addDevice(SimDeviceConfig::at(kAddress));
    SimFaults faults;
    faults.errorCommand = CmdGetSettings;
    faults.errorNumber = 0x0102;
    sim.bus->device(id)->state().faults = faults;

    BinaryProtocol codec;
    codec.setDeviceAddress(kAddress);
    QVector<QByteArray> answers;
    connect(&codec, &BinaryProtocol::frameComplete, this, [&](uint8_t *buff, size_t len) {
        answers.append(QByteArray(reinterpret_cast<const char *>(buff), static_cast<int>(len)));
    });
    const auto decodeLine = [&] {
        codec.receiveBytes(reinterpret_cast<const uint8_t *>(sim.line.constData()),
                           static_cast<size_t>(sim.line.size()));
        sim.line.clear();
    };

    sim.send(kAddress, hex("0C"));
    sim.send(kAddress, hex("09"));
    QTRY_COMPARE(sim.bus->trace().entries().size(), 4);
    decodeLine();
    QCOMPARE(answers.value(0), hex("FF0C0102"));
    QCOMPARE(answers.value(1).left(2), hex("0009"));

    sim.bus->setBusFaults([] {
        SimFaults silent;
        silent.silent = true;
        return silent;
    }());
    sim.send(kAddress, hex("09"));
    QTest::qWait(20);
    decodeLine();
    QCOMPARE(answers.size(), 2);
    QCOMPARE(sim.bus->trace().entries().last().note, QStringLiteral("device silent"));
}

void TestSimulator::deviceHearsOnlyItsBaudRate()
{
    InProcessBus sim;
    SimDeviceConfig slow = SimDeviceConfig::at(kAddress);
    slow.settings.baudIndex = 1; // 9600
    sim.bus->addDevice(slow);

    sim.send(kAddress, hex("09"), 115200);
    QTest::qWait(20);
    QVERIFY(sim.line.isEmpty());
    QVERIFY(sim.bus->trace().entries().last().note.startsWith(QLatin1String("not heard")));

    sim.send(kAddress, hex("09"), 9600);
    QTRY_VERIFY(!sim.line.isEmpty());
}

// ---- Over a real pty ------------------------------------------------------------------------

void TestSimulator::restartKeepsDeviceSilent()
{
    constexpr int kRestartMs = 400;
    SimBusOptions options;
    options.paced = false;
    SimBusThread bus(options);
    QString error;
    QVERIFY2(bus.start(&error), qPrintable(error));
    SimDeviceConfig config = SimDeviceConfig::at(kAddress);
    config.timing.restartMs = kRestartMs;
    const int id = bus.addDevice(config);
    ToolLine tool;
    QVERIFY(tool.open(bus.portPath(), 115200));

    tool.send(kAddress, hex("08"));
    QTRY_COMPARE_WITH_TIMEOUT(tool.answers.size(), 1, kWaitMs);
    QCOMPARE(tool.answers.first(), hex("0008"));
    const qint64 answeredAt = tool.answerTimes.first();

    tool.send(kAddress, hex("09"));
    QTest::qWait(kQuietMs);
    QCOMPARE(tool.answers.size(), 1);
    QCOMPARE(bus.trace().last().note, QStringLiteral("device busy or restarting"));
    QVERIFY(bus.device(id).restarting);

    QTest::qWait(static_cast<int>(answeredAt + kRestartMs - tool.clock.elapsed()) + 20);
    tool.send(kAddress, hex("09"));
    QTRY_COMPARE_WITH_TIMEOUT(tool.answers.size(), 2, kWaitMs);
    QCOMPARE(bus.device(id).restartCount, 1);
    tool.close();
}

void TestSimulator::settingsWriteMovesAddressAndBaud()
{
    SimBusOptions options;
    options.paced = false;
    SimBusThread bus(options);
    QVERIFY(bus.start());
    SimDeviceConfig config = SimDeviceConfig::at(kAddress);
    config.timing.restartMs = 50;
    bus.addDevice(config);
    ToolLine tool;
    QVERIFY(tool.open(bus.portPath(), 115200));

    // New own address 0x22 at 9600 baud.
    tool.send(kAddress, buildCommand(CmdSetSettings) + hex("01220000000000"));
    QTRY_COMPARE_WITH_TIMEOUT(tool.answers.size(), 1, kWaitMs);
    QCOMPARE(tool.answers.first(), hex("000B"));
    QTest::qWait(100);

    tool.send(kAddress, hex("09"));
    tool.send(0x22, hex("09"));
    QTest::qWait(kQuietMs);
    QCOMPARE(tool.answers.size(), 1);
    QCOMPARE(bus.trace().at(2).note, QStringLiteral("no device"));
    QVERIFY(bus.trace().at(3).note.startsWith(QLatin1String("not heard")));

    tool.close();
    QVERIFY(tool.open(bus.portPath(), 9600));
    QCOMPARE(bus.lineBaudRate(), 9600);
    tool.send(0x22, hex("0C"));
    QTRY_COMPARE_WITH_TIMEOUT(tool.answers.size(), 2, kWaitMs);
    QCOMPARE(tool.answers.last(), hex("000C01220000000000"));
    tool.close();
}

void TestSimulator::pacingTakesLineTime()
{
    // 9 request bytes plus a 118-byte answer at 9600 baud: about 132 ms on the wire.
    constexpr int kBaud = 9600;
    constexpr int kIdentificationLength = 108;
    constexpr qint64 kLineTimeMs = (9 + 10 + kIdentificationLength) * 10 * 1000 / kBaud;

    SimBusThread bus; // paced
    QVERIFY(bus.start());
    SimDeviceConfig config = SimDeviceConfig::at(kAddress, QString(kIdentificationLength, 'n'));
    config.settings.baudIndex = static_cast<uint8_t>(baudIndexOf(kBaud));
    bus.addDevice(config);
    ToolLine tool;
    QVERIFY(tool.open(bus.portPath(), kBaud));

    QElapsedTimer elapsed;
    elapsed.start();
    tool.send(kAddress, hex("0A"));
    QTRY_COMPARE_WITH_TIMEOUT(tool.answers.size(), 1, kWaitMs);
    QVERIFY2(elapsed.elapsed() >= kLineTimeMs - 2, qPrintable(QString::number(elapsed.elapsed())));

    bus.setPaced(false);
    elapsed.restart();
    tool.send(kAddress, hex("0A"));
    QTRY_COMPARE_WITH_TIMEOUT(tool.answers.size(), 2, kWaitMs);
    QVERIFY2(elapsed.elapsed() < kLineTimeMs / 2, qPrintable(QString::number(elapsed.elapsed())));
    tool.close();
}

void TestSimulator::answerLostWhilePortClosed()
{
    SimBusOptions options;
    options.paced = false;
    SimBusThread bus(options);
    QVERIFY(bus.start());
    SimDeviceConfig config = SimDeviceConfig::at(kAddress);
    config.faults.lateCommand = CmdGetVersion;
    config.faults.lateAnswerMs = 100;
    bus.addDevice(config);
    ToolLine tool;
    QVERIFY(tool.open(bus.portPath(), 115200));

    tool.send(kAddress, hex("09"));
    QTRY_COMPARE_WITH_TIMEOUT(bus.trace().size(), 1, kWaitMs);
    tool.port.flush();
    tool.close();
    QTRY_COMPARE_WITH_TIMEOUT(bus.trace().size(), 2, kWaitMs);
    QVERIFY2(bus.trace().last().note.contains(QLatin1String("lost")),
             qPrintable(bus.trace().last().toLine()));

    // Nothing stale waits for the next open.
    QVERIFY(tool.open(bus.portPath(), 115200));
    tool.send(kAddress, hex("0A"));
    QTRY_COMPARE_WITH_TIMEOUT(tool.answers.size(), 1, kWaitMs);
    QCOMPARE(tool.answers.first().left(2), hex("000A"));
    tool.close();
}

// ---- Text forms -----------------------------------------------------------------------------

void TestSimulator::deviceKeyLists_data()
{
    QTest::addColumn<QString>("keys");
    QTest::addColumn<QString>("error");

    QTest::newRow("full") << "addr=0x2B,name=Gate,baud=9600,term=1,short=GT,led=2,"
                             "addrtag=04AABB:2B:GT:1,late=09:700,error=any:0102,crcrate=0.25"
                          << QString();
    QTest::newRow("baud not in table") << "baud=12345"
                                       << "bad value '12345' for baud";
    QTest::newRow("address too big") << "addr=100"
                                     << "bad value '100' for addr";
    QTest::newRow("odd uid") << "tag=ABC"
                             << "bad value 'ABC' for tag";
    QTest::newRow("unknown key") << "colour=red"
                                 << "unknown key 'colour'";
    QTest::newRow("no value") << "silent"
                              << "'silent' is not key=value";
}

void TestSimulator::deviceKeyLists()
{
    QFETCH(QString, keys);
    QFETCH(QString, error);

    SimDeviceConfig config;
    QString reason;
    QCOMPARE(SimSetup::parseDevice(keys, &config, &reason), error.isEmpty());
    QCOMPARE(reason, error);
    if (!error.isEmpty())
        return;
    QCOMPARE(config.settings.ownAddress, uint8_t(0x2B));
    QCOMPARE(config.identification, QStringLiteral("Gate"));
    QCOMPARE(config.settings.baudIndex, uint8_t(1));
    QCOMPARE(config.settings.terminated, uint8_t(1));
    QCOMPARE(shortNameText(config.settings.shortName), QStringLiteral("GT"));
    QCOMPARE(config.ledMode, kLedToggle);
    QCOMPARE(config.tags.size(), 1);
    const QByteArray record = config.tags.first().readPages(kAddressTagFirstPage, 3);
    QCOMPARE(readAddressTagRecord(reinterpret_cast<const uint8_t *>(record.constData()),
                                  static_cast<size_t>(record.size()))
                 .address,
             uint8_t(0x2B));
    QCOMPARE(config.faults.lateCommand, int(CmdGetVersion));
    QCOMPARE(config.faults.lateAnswerMs, 700);
    QCOMPARE(config.faults.errorCommand, kAnyCommand);
    QCOMPARE(config.faults.errorNumber, uint16_t(0x0102));
    QCOMPARE(config.faults.corruptCrcRate, 0.25);
}

void TestSimulator::controlCommands()
{
    SimBus bus;
    SimSetup::Scenario scenario;
    QString error;
    QVERIFY2(SimSetup::parseScenario(QStringLiteral("# two readers\n"
                                                    "device addr=01,name=A\n"
                                                    "device addr=1A,name=B,tag=0102030405\n"
                                                    "bus delay=5,seed=9\n"),
                                     SimDeviceConfig(), &scenario, &error),
             qPrintable(error));
    QCOMPARE(scenario.devices.size(), 2);
    QCOMPARE(scenario.busFaults.answerDelayMs, 5);
    QCOMPARE(scenario.seed, 9u);
    for (const SimDeviceConfig &config : scenario.devices)
        bus.addDevice(config);

    QVERIFY(SimControl::execute(bus, QStringLiteral("put 01 0A0B0C0D 33:XY:0"))
                .contains(QLatin1String("tags=[0A0B0C0D]")));
    QCOMPARE(bus.deviceAt(0x01)->state().tags.first().readPages(4, 1), hex("060188A7"));
    QVERIFY(SimControl::execute(bus, QStringLiteral("take 1a")).contains(QLatin1String("tags=[]")));
    QVERIFY(
        SimControl::execute(bus, QStringLiteral("silence all")).contains(QLatin1String("silent")));
    QVERIFY(bus.deviceAt(0x1A)->state().faults.silent);
    SimControl::execute(bus, QStringLiteral("revive 1A"));
    QVERIFY(!bus.deviceAt(0x1A)->state().faults.silent);
    QVERIFY(bus.deviceAt(0x01)->state().faults.silent);
    SimControl::execute(bus, QStringLiteral("fault 01 delay=40, error=0C"));
    QCOMPARE(bus.deviceAt(0x01)->state().faults.answerDelayMs, 40);
    QVERIFY(!bus.deviceAt(0x01)->state().faults.silent);
    QVERIFY(
        SimControl::execute(bus, QStringLiteral("silence 55")).startsWith(QLatin1String("error")));
    QVERIFY(SimControl::execute(bus, QStringLiteral("dance")).startsWith(QLatin1String("error")));
}

QTEST_GUILESS_MAIN(TestSimulator)
#include "tst_simulator.moc"
