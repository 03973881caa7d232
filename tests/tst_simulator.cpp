// The bus simulator against the tool's own codec, and the device behaviour the tool relies on.
// The same simulator over a real pty is in tst_e2e_link.
#include "binaryprotocol.h"
#include "crc32.h"
#include "devicecommand.h"
#include "simbus.h"
#include "simcontrol.h"
#include "simdevice.h"
#include "simframe.h"
#include "simscenario.h"

#include <QtTest>

namespace {

constexpr uint8_t kAddress = 0x1A;
// Longer than any answer of an idle, unpaced in-process bus takes.
constexpr int kQuietMs = 20;

QByteArray hex(const char *text)
{
    return QByteArray::fromHex(text);
}

const uint8_t *bytesOf(const QByteArray &data)
{
    return reinterpret_cast<const uint8_t *>(data.constData());
}

// The tool's codec: what it puts on the line, and the payloads it takes from the line.
struct ToolCodec
{
    BinaryProtocol codec;
    QByteArray written;
    QByteArrayList payloads;

    explicit ToolCodec(uint8_t address)
    {
        codec.setDeviceAddress(address);
        QObject::connect(&codec, &BinaryProtocol::protocolWrite, [this](uint8_t *buff, size_t len) {
            written.append(reinterpret_cast<const char *>(buff), int(len));
        });
        QObject::connect(&codec, &BinaryProtocol::frameComplete, [this](uint8_t *buff, size_t len) {
            payloads.append(QByteArray(reinterpret_cast<const char *>(buff), int(len)));
        });
    }
    QByteArray frame(const QByteArray &payload)
    {
        written.clear();
        codec.sendFrame(bytesOf(payload), size_t(payload.size()));
        return written;
    }
    void decode(const QByteArray &line) { codec.receiveBytes(bytesOf(line), size_t(line.size())); }
};

QByteArray toolFrame(uint8_t address, const QByteArray &payload)
{
    return ToolCodec(address).frame(payload);
}

SimReply ask(SimDevice &device, const QByteArray &request)
{
    return device.handle(bytesOf(request), size_t(request.size()));
}

// Requests and the answers they must get, in upper-case hex, in this order.
void expectAnswers(SimDevice &device, const QList<QPair<QByteArray, QByteArray>> &steps)
{
    for (const auto &[request, answer] : steps) {
        const QByteArray got = ask(device, QByteArray::fromHex(request)).payload.toHex().toUpper();
        QCOMPARE(request + " -> " + got, request + " -> " + answer);
    }
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

// An unpaced bus without a pty: requests go in as line bytes, answers come back through the
// tool's codec.
struct InProcessBus
{
    SimBus bus;
    ToolCodec tool{kAddress};

    explicit InProcessBus(quint32 seed = 1) : bus(SimBusOptions{false, seed, {}, {}})
    {
        QObject::connect(&bus, &SimBus::lineBytesSent,
                         [this](const QByteArray &bytes) { tool.decode(bytes); });
    }
    void send(const QByteArray &payload, int baud = 115200)
    {
        bus.receiveLineBytes(toolFrame(kAddress, payload), baud);
    }
    QVector<SimTraceEntry> trace() const { return bus.trace().entries(); }
};

QVector<bool> corruptionPattern(quint32 seed, int answers)
{
    InProcessBus sim(seed);
    SimDeviceConfig config = SimDeviceConfig::at(kAddress);
    config.faults.corruptCrcRate = 0.5;
    sim.bus.addDevice(config);
    for (int i = 0; i < answers; ++i)
        sim.send(hex("09"));
    QTest::qWait(kQuietMs);
    QVector<bool> broken;
    for (const SimTraceEntry &entry : sim.trace()) {
        if (entry.isAnswer())
            broken.append(!entry.crcOk);
    }
    return broken;
}

} // namespace

class TestSimulator : public QObject
{
    Q_OBJECT

private slots:
    // ---- Framing, both ways, against BinaryProtocol --------------------------------------------

    void framingBothWays_data()
    {
        QTest::addColumn<uint8_t>("address");
        QTest::addColumn<QByteArray>("payload");
        QTest::addColumn<int>("chunkSize");
        QTest::addColumn<QByteArray>("expectedLine");

        QTest::newRow("example frame, byte by byte")
            << uint8_t(0x01) << hex("09") << 1 << hex("F50400FBFF010917BF");
        QTest::newRow("empty payload, whole")
            << uint8_t(0x00) << QByteArray() << 0 << hex("F50300FCFF00F0E1");
        QTest::newRow("header look-alike inside")
            << kAddress << hex("F2F50300FCFF0102") << 2 << QByteArray();
        QTest::newRow("full firmware chunk")
            << kAddress << hex("F2") + QByteArray(256, '\xF5') << 7 << QByteArray();
        QTest::newRow("largest payload")
            << uint8_t(0xFF) << QByteArray(SimWire::kMaxPayload, '\x5A') << 100 << QByteArray();
    }

    void framingBothWays()
    {
        QFETCH(uint8_t, address);
        QFETCH(QByteArray, payload);
        QFETCH(int, chunkSize);
        QFETCH(QByteArray, expectedLine);

        const QByteArray line = SimWire::encodeFrame(address, payload);
        if (!expectedLine.isEmpty())
            QCOMPARE(line.toHex(' '), expectedLine.toHex(' '));
        // The tool sends at most kMaxPayload but takes frames up to the longest length.
        if (payload.size() <= int(BinaryProtocol::kMaxPayload))
            QCOMPARE(line, toolFrame(address, payload));
        ToolCodec tool(address);
        tool.decode(line);
        QCOMPARE(tool.payloads, QByteArrayList{payload});

        QByteArrayList frames; // address, then payload
        bool allCrcOk = true;
        SimFrameParser parser([&](const SimFrame &frame) {
            allCrcOk = allCrcOk && frame.crcOk;
            frames.append(
                char(frame.address) +
                QByteArray(reinterpret_cast<const char *>(frame.payload), int(frame.len)));
        });
        const QByteArray noisyLine = hex("00F5AA") + line;
        const int step = chunkSize > 0 ? chunkSize : noisyLine.size();
        for (int at = 0; at < noisyLine.size(); at += step) {
            const QByteArray chunk = noisyLine.mid(at, step);
            parser.feed(bytesOf(chunk), size_t(chunk.size()), 0);
        }
        QCOMPARE(frames, QByteArrayList{char(address) + payload});
        QVERIFY(allCrcOk);
    }

    void parserHuntsPastDamage_data()
    {
        QTest::addColumn<QByteArray>("line");
        QTest::addColumn<int>("pauseAfter");
        QTest::addColumn<qint64>("pauseMs");
        // Good, bad and abandoned frames.
        QTest::addColumn<QVector<int>>("counts");

        QByteArray broken = toolFrame(kAddress, hex("0C"));
        broken[broken.size() - 1] = char(broken.at(broken.size() - 1) ^ 0x01);
        const QByteArray good = toolFrame(kAddress, hex("09"));
        const QVector<int> oneGood{1, 0, 0};
        QTest::newRow("broken then good, one chunk")
            << broken + good << 0 << 0ll << QVector<int>{1, 1, 0};
        QTest::newRow("length 2069 is no header")
            << hex("F51508EAF7") + good << 0 << 0ll << oneGood;
        QTest::newRow("length 2 is no header") << hex("F50200FDFF") + good << 0 << 0ll << oneGood;
        QTest::newRow("complement mismatch") << hex("F50400FBFE") + good << 0 << 0ll << oneGood;
        QTest::newRow("two frames back to back")
            << good + good << 0 << 0ll << QVector<int>{2, 0, 0};
        // The stale frame takes the first bytes of the next one while it may still complete.
        QTest::newRow("500 ms after the header")
            << good.left(6) + good << 6 << SimWire::kFrameAssemblyTimeoutMs
            << QVector<int>{0, 1, 0};
        QTest::newRow("501 ms after the header")
            << good.left(6) + good << 6 << SimWire::kFrameAssemblyTimeoutMs + 1
            << QVector<int>{1, 0, 1};
    }

    void parserHuntsPastDamage()
    {
        QFETCH(QByteArray, line);
        QFETCH(int, pauseAfter);
        QFETCH(qint64, pauseMs);
        QFETCH(QVector<int>, counts);

        SimFrameParser parser(nullptr);
        parser.feed(bytesOf(line), size_t(pauseAfter), 0);
        parser.feed(bytesOf(line) + pauseAfter, size_t(line.size() - pauseAfter), pauseMs);
        QCOMPARE(QVector<int>({int(parser.goodFrames()), int(parser.badFrames()),
                               int(parser.abandonedFrames())}),
                 counts);
    }

    void crc32CheckValues()
    {
        const auto crcOf = [](const QByteArray &data) {
            return crc32Ieee(bytesOf(data), size_t(data.size()));
        };
        QCOMPARE(crcOf(QByteArray()), 0x00000000u);
        QCOMPARE(crcOf("123456789"), 0xCBF43926u);
        QCOMPARE(crcOf("The quick brown fox jumps over the lazy dog"), 0x414FA339u);
    }

    // ---- Device behaviour ----------------------------------------------------------------------

    void commandAnswers_data()
    {
        QTest::addColumn<QByteArray>("request");
        QTest::addColumn<QByteArray>("answer");

        const AddressTagRecord record = buildAddressTagRecord(QStringLiteral("AB"), 0x22, true);
        const QByteArray recordBytes(reinterpret_cast<const char *>(record.data()),
                                     int(record.size()));
        QTest::newRow("version") << hex("09") << hex("0009") + "APP 2.0";
        QTest::newRow("identification") << hex("0A") << hex("000A") + "Door";
        QTest::newRow("settings") << hex("0C") << hex("000C051A0044520000");
        QTest::newRow("led on") << hex("0E01") << hex("000E");
        QTest::newRow("led toggle") << hex("0E02E803") << hex("000E");
        QTest::newRow("led bad mode") << hex("0E07") << hex("FF0E0003");
        QTest::newRow("eeprom read") << hex("F410") << hex("00F45A");
        QTest::newRow("eeprom write") << hex("F41077") << hex("00F4");
        QTest::newRow("tag count") << hex("02") << hex("000201");
        QTest::newRow("uid") << hex("0300") << hex("0003440004A1B2C3D4E5F6");
        QTest::newRow("activate") << hex("0400") << hex("0004");
        QTest::newRow("address tag pages") << hex("400403") << hex("0040") + recordBytes;
        QTest::newRow("loop test page") << hex("400401") << hex("0040060188A7");
        QTest::newRow("halt") << hex("05") << hex("0005");
        QTest::newRow("tag version") << hex("42") << hex("00420004040201000F03");
        QTest::newRow("page beyond tag") << hex("402C02") << hex("FF400013");
        QTest::newRow("unknown command") << hex("77") << hex("FF770001");
        QTest::newRow("version with extra byte") << hex("0900") << hex("FF090002");
        QTest::newRow("erase outside bootloader") << hex("F1") << hex("FFF10020");
        QTest::newRow("settings with bad baud index") << hex("0B061A0044520000") << hex("FF0B0003");
    }

    void commandAnswers()
    {
        QFETCH(QByteArray, request);
        QFETCH(QByteArray, answer);

        SimDevice device(0, readerWithTag());
        const SimReply reply = ask(device, request);
        QVERIFY(reply.answer);
        QCOMPARE(reply.payload.toHex(' '), answer.toHex(' '));
    }

    void tagPageWriteNeedsActivation()
    {
        SimDevice device(0, readerWithTag());
        const QByteArray record = "060188A74344000033007777";
        const QByteArray write = "410403" + record;
        expectAnswers(device, {{write, "FF410012"},
                               {"0400", "0004"},
                               {"410203" + record, "FF410014"},
                               {"410402" + record, "FF410002"},
                               {write, "0041"},
                               {"400403", "0040" + record},
                               {"05", "0005"},
                               {write, "FF410012"}});
        QCOMPARE(device.state().tags.first().readPages(4, 3), QByteArray::fromHex(record));

        device.setTags({});
        expectAnswers(device, {{"02", "000200"}, {"0300", "FF030010"}, {"400401", "FF400010"}});
        device.setTags({SimTag::create(hex("01020304")), SimTag::create(hex("05060708"))});
        expectAnswers(device, {{"02", "000202"}, {"0300", "FF030011"}});
    }

    void settingsAndResetRestart()
    {
        SimDeviceConfig config = readerWithTag();
        SimDevice device(0, config);
        const SimReply written = ask(device, hex("0B02330041000000"));
        QCOMPARE(written.payload, hex("000B"));
        QCOMPARE(written.restartMs, config.timing.restartMs);
        QCOMPARE(device.address(), uint8_t(0x33));
        QCOMPARE(device.baudRate(), 19200);
        QCOMPARE(device.state().settings.shortName[0], uint8_t('A'));

        expectAnswers(device, {{"0E01", "000E"}});
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

    void bootloaderImageCheck_data()
    {
        QTest::addColumn<QByteArray>("image");
        QTest::addColumn<bool>("acceptAny");
        QTest::addColumn<QString>("version");

        const QByteArray body =
            QByteArray(300, '\x11') + "VER:APP 3.1.4\n" + QByteArray(300, '\x22');
        QByteArray damaged = simSealImage(body);
        damaged[5] = '\x12';
        const QByteArray plain = simSealImage(QByteArray(513, '\x33'));
        const QString plainVersion =
            QStringLiteral("image-%1")
                .arg(crc32Ieee(bytesOf(plain), size_t(plain.size() - 4)), 8, 16, QLatin1Char('0'));

        QTest::newRow("sealed, named") << simSealImage(body) << false << "APP 3.1.4";
        QTest::newRow("sealed, unnamed") << plain << false << plainVersion;
        QTest::newRow("one byte changed") << damaged << false << QString();
        QTest::newRow("trailer only") << QByteArray(4, '\0') << false << QString();
        QTest::newRow("empty image") << QByteArray() << false << QString();
        QTest::newRow("any image accepted") << damaged << true << "APP 3.1.4";
    }

    void bootloaderImageCheck()
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
        // Already there: answered without a second restart; no writes before the erase, and none of
        // the application's commands.
        const SimReply again = ask(device, hex("F0"));
        QCOMPARE(again.payload, hex("00F0"));
        QCOMPARE(again.restartMs, 0);
        expectAnswers(device, {{"F2AA", "FFF20022"}, {"02", "FF020001"}});

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
            // A reboot does not leave a bootloader holding a rejected image.
            QVERIFY(ask(device, hex("08")).restartMs > 0);
            QCOMPARE(device.state().mode, SimMode::Bootloader);
            QCOMPARE(ask(device, hex("09")).payload,
                     hex("0009") + config.bootloaderVersion.toUtf8());
            return;
        }
        QCOMPARE(finished.payload, hex("00F3"));
        QVERIFY(finished.restartMs > 0);
        QCOMPARE(device.state().mode, SimMode::Application);
        QCOMPARE(ask(device, hex("09")).payload, hex("0009") + version.toUtf8());
    }

    // ---- The bus in-process -------------------------------------------------------------------

    void corruptionFollowsSeed()
    {
        constexpr int kAnswers = 40;
        const QVector<bool> first = corruptionPattern(7, kAnswers);
        QCOMPARE(first.size(), kAnswers);
        QCOMPARE(corruptionPattern(7, kAnswers), first);
        QVERIFY(corruptionPattern(8, kAnswers) != first);
        const int broken = int(std::count(first.begin(), first.end(), true));
        QVERIFY2(broken > 5 && broken < kAnswers - 5, qPrintable(QString::number(broken)));
    }

    void injectedErrorAndSilence()
    {
        InProcessBus sim;
        const int id = sim.bus.addDevice(SimDeviceConfig::at(kAddress));
        SimFaults &faults = sim.bus.device(id)->state().faults;
        faults.errorCommand = CmdGetSettings;
        faults.errorNumber = 0x0102;

        sim.send(hex("0C"));
        sim.send(hex("09"));
        QTRY_COMPARE(sim.tool.payloads.size(), 2);
        QCOMPARE(sim.tool.payloads.first(), hex("FF0C0102"));
        QCOMPARE(sim.tool.payloads.last().left(2), hex("0009"));
        QCOMPARE(sim.trace().size(), 4);

        SimFaults silent;
        silent.silent = true;
        sim.bus.setBusFaults(silent);
        sim.send(hex("09"));
        QTest::qWait(kQuietMs);
        QCOMPARE(sim.tool.payloads.size(), 2);
        QCOMPARE(sim.trace().last().note, QStringLiteral("device silent"));
    }

    void deviceHearsOnlyItsBaudRate()
    {
        InProcessBus sim;
        SimDeviceConfig slow = SimDeviceConfig::at(kAddress);
        slow.settings.baudIndex = uint8_t(baudIndexOf(9600));
        sim.bus.addDevice(slow);

        sim.send(hex("09"), 115200);
        QTest::qWait(kQuietMs);
        QVERIFY(sim.tool.payloads.isEmpty());
        QVERIFY(sim.trace().last().note.startsWith(QLatin1String("not heard")));

        sim.send(hex("09"), 9600);
        QTRY_COMPARE(sim.tool.payloads.size(), 1);
    }

    // ---- Text forms ----------------------------------------------------------------------------

    void deviceKeyLists_data()
    {
        QTest::addColumn<QString>("keys");
        // The device as the control channel's "state" shows it, or why the keys were refused.
        QTest::addColumn<QString>("result");

        QTest::newRow("full") << "addr=0x2B,name=Gate,baud=9600,term=1,short=GT,led=2,"
                                 "addrtag=04AABB:2B:GT:1,late=09:700,error=any:0102,crcrate=0.25"
                              << R"(2B "Gate" app "APP 1.0.0" baud=9600 term=1 short="GT" led=2 )"
                                 R"(tags=[04AABB])";
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

    void deviceKeyLists()
    {
        QFETCH(QString, keys);
        QFETCH(QString, result);

        SimDeviceConfig config;
        QString error;
        const bool parsed = SimSetup::parseDevice(keys, &config, &error);
        QCOMPARE(parsed ? SimSetup::describe(SimDevice(0, config).state()) : error, result);
        if (!parsed)
            return;
        const QByteArray record = config.tags.first().readPages(kAddressTagFirstPage, 3);
        QCOMPARE(readAddressTagRecord(bytesOf(record), size_t(record.size())).address, 0x2B);
        const SimFaults &faults = config.faults;
        QCOMPARE(faults.lateCommand, int(CmdGetVersion));
        QCOMPARE(faults.lateAnswerMs, 700);
        QCOMPARE(faults.errorCommand, kAnyCommand);
        QCOMPARE(faults.errorNumber, 0x0102);
        QCOMPARE(faults.corruptCrcRate, 0.25);
    }

    void controlCommands()
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
        const auto run = [&bus](const char *line) { return SimControl::execute(bus, line); };
        const SimFaults &first = bus.deviceAt(0x01)->state().faults;
        const SimFaults &second = bus.deviceAt(0x1A)->state().faults;

        QVERIFY(run("put 01 0A0B0C0D 33:XY:0").contains(QLatin1String("tags=[0A0B0C0D]")));
        QCOMPARE(bus.deviceAt(0x01)->state().tags.first().readPages(4, 1), hex("060188A7"));
        QVERIFY(run("take 1a").contains(QLatin1String("tags=[]")));
        QVERIFY(run("silence all").contains(QLatin1String("silent")));
        QVERIFY(second.silent);
        run("revive 1A");
        QVERIFY(!second.silent);
        QVERIFY(first.silent);
        run("fault 01 delay=40, error=0C");
        QCOMPARE(first.answerDelayMs, 40);
        QVERIFY(!first.silent);
        QVERIFY(run("silence 55").startsWith(QLatin1String("error")));
        QVERIFY(run("dance").startsWith(QLatin1String("error")));
    }
};

QTEST_GUILESS_MAIN(TestSimulator)
#include "tst_simulator.moc"
