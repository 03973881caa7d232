// talvik-ota-cli run as a script runs it, against a simulated bus in this process.
#include "e2efixture.h"
#include "ser2net.h"
#include "simscenario.h"

#include <random>

namespace {
// Two firmware updates with their bootloader and restart pauses, on a loaded machine.
constexpr int kRunTimeoutMs = 30000;
constexpr int kQuietMs = 200;
constexpr int kImageSize = 1000; // four chunks, the last one short
constexpr qint64 kLargestImage = 16 * 1024 * 1024;
// Unpaced devices answer within a few milliseconds: room for a loaded machine.
constexpr int kScanProbeMs = 40;

// The recovery soak: updates cut at a random moment, each finished by running flash again.
constexpr int kSoakCuts = 100;
constexpr int kSoakImageSize = 8 * 1024; // 32 chunks, about 0.75 s of a paced line
constexpr int kSilenceMs = 3000;
constexpr int kBrokenCrcMs = 2000;
// A cut update may end in the finish request's 10 s limit; the rerun is a whole update.
constexpr int kSoakRunTimeoutMs = 60000;
enum Cut { kKill, kPower, kSilence, kBrokenCrc };
const char *const kCutNames[] = {"CLI killed", "power cut", "device silent for 3 s",
                                 "answers' CRC broken for 2 s"};
} // namespace

class TestCli : public QObject
{
    Q_OBJECT

    QTemporaryDir dir;
    std::unique_ptr<SimBusThread> bus;
    std::unique_ptr<Ser2net> server; // in front of the bus for $RFC and $TCP
    QString out;
    QString err;
    quint32 soakSeed;

public:
    explicit TestCli(quint32 seed) : soakSeed(seed) {}

private:
    bool writeFile(const QString &name, const QByteArray &bytes, qint64 size = -1)
    {
        QFile file(dir.filePath(name));
        return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size() &&
               (size < 0 || file.resize(size));
    }
    // Devices as "addr=1A,dropafter=2;addr=80" in the simulator's own keys; empty on success.
    QString startBus(const QString &devices, bool paced = false)
    {
        bus = std::make_unique<SimBusThread>(paced ? SimBusOptions() : E2e::fastBus());
        QString error;
        if (!bus->start(&error))
            return error;
        for (const QString &keys : devices.split(';', Qt::SkipEmptyParts)) {
            SimDeviceConfig config;
            if (!SimSetup::parseDevice(keys, &config, &error))
                return keys + ": " + error;
            bus->addDevice(config);
        }
        return QString();
    }
    // ser2net in front of the bus; empty on success.
    QString startServer()
    {
        server = std::make_unique<Ser2net>(bus->portPath());
        return server->start();
    }
    // The bus's port comes first unless the arguments name one; $PORT is the bus's port, $RFC
    // and $TCP ser2net's in front of it, @NAME a file in dir.
    int runCli(QString arguments)
    {
        if (!arguments.contains("--port"))
            arguments.prepend("--port $PORT ");
        if (server)
            arguments.replace("$RFC", server->rfc2217Url()).replace("$TCP", server->tcpUrl());
        arguments.replace("$PORT", bus->portPath()).replace('@', dir.path() + '/');
        QProcess cli;
        cli.start(TALVIK_CLI_PATH, arguments.split(' '));
        if (!cli.waitForFinished(kRunTimeoutMs))
            qWarning("talvik-ota-cli %s did not finish", qPrintable(arguments));
        out = QString::fromUtf8(cli.readAllStandardOutput()).trimmed();
        err = QString::fromUtf8(cli.readAllStandardError());
        return cli.exitStatus() == QProcess::NormalExit ? cli.exitCode() : -1;
    }

private slots:
    void initTestCase()
    {
        QByteArray body = QByteArrayLiteral("VER:CLI-1\0");
        body.append(QByteArray(kImageSize - 4 - body.size(), '\x5A'));
        QVERIFY(writeFile("fw.bin", simSealImage(body)));
        QVERIFY(writeFile("unsealed.bin", QByteArray(kImageSize, '\x5A')));
        QVERIFY(writeFile("empty.bin", QByteArray()));
        // Sparse: they take no room on the disk.
        QVERIFY(writeFile("largest.bin", body, kLargestImage));
        QVERIFY(writeFile("toolarge.bin", body, kLargestImage + 1));
    }
    void cleanup()
    {
        server.reset();
        bus.reset();
    }

    void command_data()
    {
        addColumns<QString, QString, int, QString, QString, QString>(
            {"devices", "arguments", "exitCode", "output", "errors", "wire"});
        const QString reader = "version\tAPP 1.0.0|name\tTalvik RFID reader|";
        const QString threeDevices = "addr=01,name=Entrance;addr=1A,name=Door;addr=80,name=Hall";
        // Text output must not let a device forge lines, send escapes or reorder the terminal.
        addRow("info, a device text with control and format characters",
               "addr=1A,name=Door\tA\n\x1b\u202e\u2066,short=DOOR,term=1", "info 1a", 0,
               "version\tAPP 1.0.0|name\tDoor A    |baud\t115200|address\t1A|terminated\ton|"
               "short-name\tDOOR",
               "", "1A 09|1A 0A|1A 0C");
        addRow("info as JSON, the device's text exact, options after the command",
               "addr=80,name=Hall\t\u202e", "info 80 --json --port $PORT", 0,
               "{\"address\":\"80\",\"baud\":115200,\"name\":\"Hall\\t\u202e\",\"short_name\":\"\","
               "\"terminated\":false,\"version\":\"APP 1.0.0\"}",
               "", "80 09|80 0A|80 0C");
        addRow("info, a baud index past the table", "addr=1A,baudindex=6,short=GATE", "info 1A", 0,
               reader + "baud\tunknown (index 6)|address\t1A|terminated\toff|short-name\tGATE", "",
               "1A 09|1A 0A|1A 0C");
        addRow("info, a short settings answer", "addr=1A,truncate=0C:3", "info 1A", 1,
               reader + "baud\t115200|address\t1A|terminated\toff",
               "1A: the settings answer holds 3 bytes, not 7", "1A 09|1A 0A|1A 0C");
        addRow("set, read back at the new address and rate", "addr=1A,short=DOOR",
               "set 1A --baud 9600 --address 2B --terminated on", 0,
               reader + "baud\t9600|address\t2B|terminated\ton|short-name\tDOOR", "",
               "1A 0C|1A 0B|2B 09|2B 0A|2B 0C");
        addRow("set writes nothing over a short settings answer", "addr=1A,truncate=0C:3",
               "set 1A --name X", 1, "", "1A: the settings answer holds 3 bytes, not 7", "1A 0C");
        addRow("reboot", "addr=80", "reboot 80", 0, "version\tAPP 1.0.0", "", "80 08|80 09");
        QStringList probes;
        for (int address = 0; address <= 0xFF; ++address)
            probes << hexByte(uint8_t(address)) + " 0A";
        addRow("scan probes every address once", threeDevices,
               "scan --timeout " + QString::number(kScanProbeMs), 0,
               "01\tEntrance|1A\tDoor|80\tHall", "", probes.join('|'));
        addRow("scan of an empty bus", "", "--json scan --from 10 --to 12", 1, "",
               "no device answered from 10 to 12", "10 0A|11 0A|12 0A");
        addRow("silent device", "", "info 80", 1, "",
               "80: no answer to the version request within 500 ms", "80 09");
        addRow("error answer", "addr=80,error=F4:0102", "eeprom 80 12", 1, "",
               "80: error answer to the EEPROM read: Error received to command 0xF4 - err no "
               ":0x0102",
               "80 F4");
        addRow("two flashed, the first silent halfway", "addr=1A,dropafter=2;addr=80",
               "flash @fw.bin 1A 80", 1,
               "1A\tfailed\tno answer to chunk 3 of 4 (offset 512) within 1000 ms|80\tok\tCLI-1",
               "1A: no answer to chunk 3 of 4 (offset 512) within 1000 ms",
               "1A 09|1A F0|1A 09|1A F1|1A F2 x3|80 09|80 F0|80 09|80 F1|80 F2 x4|80 F3|80 09");
        // The adapter is pulled: no further address is tried on the dead port.
        addRow("port fails halfway through a flash", "addr=1A,unplugafter=2;addr=80",
               "flash @fw.bin 1A 80", 3, "1A\tfailed\tport failed: REASON",
               "1A: port failed: REASON", "1A 09|1A F0|1A 09|1A F1|1A F2 x2");
        addRow("flash resumed in the bootloader, JSON progress", "addr=1A,bootloader=1",
               "--json flash @fw.bin 1A", 0,
               R"({"address":"1A","event":"progress","sent":256,"total":1000}|)"
               R"({"address":"1A","event":"progress","sent":512,"total":1000}|)"
               R"({"address":"1A","event":"progress","sent":768,"total":1000}|)"
               R"({"address":"1A","event":"progress","sent":1000,"total":1000}|)"
               R"({"address":"1A","port":"$PORT","result":"ok","version":"CLI-1"})",
               "", "1A 09|1A F1|1A F2 x4|1A F3|1A 09");
        addRow("image rejected", "addr=80,bootloader=1", "--quiet flash @unsealed.bin 80", 1,
               "80\tfailed\timage rejected (error answer to the finish request: Error received "
               "to command 0xF3 - err no :0x0024)",
               "80: image rejected", "80 09|80 F1|80 F2 x4|80 F3");
        addRow("image taken, application not started", "addr=80,nostart=1", "flash @fw.bin 80", 1,
               "80\tfailed\tstill in the bootloader after the update (Talvik BOOTLOADER 1.2)",
               "80: still in the bootloader after the update",
               "80 09|80 F0|80 09|80 F1|80 F2 x4|80 F3|80 09");
        addRow("empty image", "addr=80", "flash @empty.bin 80", 2, "", "empty.bin is empty", "");
        addRow("image not a file", "addr=80", "flash /dev/zero 80", 2, "",
               "/dev/zero is not a regular file", "");
        addRow("image over 16 MiB", "addr=80", "flash @toolarge.bin 80", 2, "",
               "toolarge.bin holds 16777217 bytes, more than the 16777216", "");
        addRow("image of 16 MiB taken", "", "--port /dev/talvik-none flash @largest.bin 80", 3, "",
               "cannot open /dev/talvik-none", "");
        addRow("bad address", "addr=80", "flash @fw.bin 80 1G", 2, "", "bad address '1G'", "");
        addRow("unknown option", "addr=80", "scan --fast", 2, "", "Unknown option 'fast'", "");

        // Through Debian's ser2net, as a bus in a cabinet is reached.
        addRow("scan through rfc2217", threeDevices,
               "--port $RFC scan --to 80 --timeout " + QString::number(kScanProbeMs), 0,
               "01\tEntrance|1A\tDoor|80\tHall", "", probes.mid(0, 0x81).join('|'));
        addRow("info through rfc2217", "addr=1A", "--port $RFC info 1A", 0,
               reader + "baud\t115200|address\t1A|terminated\toff|short-name", "",
               "1A 09|1A 0A|1A 0C");
        addRow("info through tcp", "addr=1A", "--port $TCP info 1A", 0,
               reader + "baud\t115200|address\t1A|terminated\toff|short-name", "",
               "1A 09|1A 0A|1A 0C");
        // The device hears only its own rate: the rate set through the server reached the line.
        addRow("set a new rate through rfc2217", "addr=1A,short=DOOR",
               "--port $RFC set 1A --baud 9600", 0,
               reader + "baud\t9600|address\t1A|terminated\toff|short-name\tDOOR", "",
               "1A 0C|1A 0B|1A 09|1A 0A|1A 0C");
        addRow("flash through rfc2217", "addr=1A", "--port $RFC flash @fw.bin 1A", 0,
               "1A\tok\tCLI-1", "", "1A 09|1A F0|1A 09|1A F1|1A F2 x4|1A F3|1A 09");
        addRow("set --baud refused through tcp", "addr=1A", "--port $TCP set 1A --baud 9600", 2, "",
               "use rfc2217://", "");
        addRow("malformed port", "", "--port rfc2217://server info 1A", 2, "",
               "bad port 'rfc2217://server': expected rfc2217://HOST:PORT", "");
        addRow("port past 65535", "", "--port tcp://127.0.0.1:65536 info 1A", 2, "",
               "port 65536 is outside 1 to 65535", "");
        addRow("IPv6 host in brackets", "", "--port rfc2217://[::1]:1 info 1A", 3, "",
               "cannot open rfc2217://[::1]:1: ", "");
        addRow("unknown host", "", "--port rfc2217://nothere.invalid:4001 info 1A", 3, "",
               "cannot open rfc2217://nothere.invalid:4001: host not found", "");
        addRow("port refused", "", "--port tcp://127.0.0.1:1 info 1A", 3, "",
               "cannot open tcp://127.0.0.1:1: connection refused", "");
        // rates and collisions
        // Unpaced, delay=150 stands in for the line time at 4800 baud: longer than a probe's
        // margin, shorter than the probe there.
        const QString fourRates =
            "addr=01,baud=9600,name=Nine;addr=02,baud=57600,name=Fifty;addr=03,name=Fast;"
            "addr=04,baud=4800,delay=150,name=Slow";
        addRow("scan --rates all, each device at its own rate", fourRates,
               "scan --rates all --timeout 10 --from 01 --to 04", 0,
               "03\tFast\t115200|02\tFifty\t57600|01\tNine\t9600|04\tSlow\t4800",
               "4 device(s) found; slowest answer after 1",
               QString("01 0A|02 0A|03 0A|04 0A|").repeated(6).chopped(1));
        addRow("plain scan, only the port's rate", fourRates,
               "scan --from 01 --to 04 --timeout " + QString::number(kScanProbeMs), 0, "03\tFast",
               "", "01 0A|02 0A|03 0A|04 0A");
        const QString collision =
            "answers broken 3 of 3 times: two or more devices may share this address";
        addRow("scan, two devices at one address",
               "addr=1A,name=Door;addr=1A,name=Door reader;addr=80,name=Hall",
               "scan --from 1A --to 80 --timeout " + QString::number(kScanProbeMs), 1,
               "1A\tcollision\t" + collision + "|80\tHall", "1A: " + collision,
               "1A 0A x3|" + probes.mid(0x1B, 0x80 - 0x1A).join('|'));
        addRow("scan, one broken answer is noise", "addr=80,name=Hall,crcnext=1",
               "--json scan --rates 115200 --timeout 10 --from 80 --to 80", 0,
               R"({"address":"80","baud":115200,"name":"Hall"})", "", "80 0A|80 FF|80 0A");
        addRow("scan, a rate not in the table", "addr=80", "scan --rates 9600,1234", 2, "",
               "bad rate '1234' in --rates", "");
        addRow("info at a shared address", "addr=1A,name=Door;addr=1A,name=Gate", "info 1A", 1, "",
               "1A: " + collision, "1A 09|1A 0A|1A FF|1A 0A|1A FF|1A 0A|1A FF");
    }

    void command()
    {
        QFETCH(QString, devices);
        QFETCH(QString, arguments);
        QFETCH(QString, output);
        QFETCH(QString, errors);
        QFETCH(QString, wire);

        QString started = startBus(devices);
        QVERIFY2(started.isEmpty(), qPrintable(started));
        if (arguments.contains("$RFC") || arguments.contains("$TCP")) {
            QVERIFY2((started = startServer()).isEmpty(), qPrintable(started));
            bus->clearTrace();
        }
        QTEST(runCli(arguments), "exitCode");
        // What the system says of a dead port varies from run to run.
        static const QRegularExpression reason(QStringLiteral("(port failed: )[^\n]*"));
        out.replace(reason, QStringLiteral("\\1REASON"));
        err.replace(reason, QStringLiteral("\\1REASON"));
        QCOMPARE(out, output.replace('|', '\n').replace("$PORT", bus->portPath()));
        QVERIFY2(err.contains(errors), qPrintable(err));
        if (wire.isEmpty())
            QVERIFY(E2e::busStaysQuiet(*bus, kQuietMs));
        QCOMPARE(E2e::wire(*bus, {true, false, 1, true}), E2e::lines(wire));
    }

    void serverKilledMidFlash()
    {
        // Each chunk answered late, so that the server dies between two.
        QString started = startBus(QStringLiteral("addr=1A,late=F2:150"));
        QVERIFY2(started.isEmpty() && (started = startServer()).isEmpty(), qPrintable(started));
        QProcess cli;
        cli.start(TALVIK_CLI_PATH,
                  {"--port", server->rfc2217Url(), "flash", dir.filePath("fw.bin"), "1A", "80"});
        QVERIFY(ToolDriver::waitUntil([&] { return E2e::wire(*bus).count("F2:256") == 2; },
                                      kRunTimeoutMs));
        server->stop(true);
        QVERIFY(cli.waitForFinished(kRunTimeoutMs) && cli.exitCode() == 3);
        QCOMPARE(cli.readAllStandardOutput(),
                 "1A\tfailed\tport failed: the server closed the connection\n");
        // Back with the server and the device done with its last chunk, the same command
        // finishes the update.
        QVERIFY(server->start().isEmpty() &&
                ToolDriver::waitUntil([&] { return !bus->device(0).restarting; }));
        QCOMPARE(runCli("--port $RFC flash @fw.bin 1A"), 0);
        QCOMPARE(out, QStringLiteral("1A\tok\tCLI-1"));
    }

    // Updates cut at a random moment in four ways, each followed by the same flash command run
    // once more, which must finish the update. The seed is printed; --seed N replays a run.
    void recoverySoak()
    {
        if (!QCoreApplication::arguments().contains(QStringLiteral("recoverySoak")))
            QSKIP("runs for minutes on its own: ctest -L soak");
        qInfo("recovery soak, seed %u", soakSeed);
        std::mt19937 random(soakSeed);
        QVector<int> cuts; // kinds, 25 each, in a random order
        for (int i = 0; i < kSoakCuts; ++i)
            cuts << i % 4;
        std::shuffle(cuts.begin(), cuts.end(), random);
        QVERIFY(startBus(QStringLiteral("addr=1A"), true).isEmpty());
        // Each update brings a new version, which the device must run in the end.
        const auto writeImage = [&](int version) {
            const QByteArray body = "VER:SOAK-" + QByteArray::number(version) + '\0';
            return writeFile("soak.bin", simSealImage(body.leftJustified(kSoakImageSize, 'Z')));
        };
        const auto flash = [&](int version) {
            return runCli("--quiet flash @soak.bin 1A") == 0 &&
                   out == QStringLiteral("1A\tok\tSOAK-%1").arg(version);
        };
        // An update without a cut gives the span the cuts are spread over.
        QElapsedTimer whole;
        whole.start();
        QVERIFY(writeImage(0) && flash(0));
        const int spanMs = int(whole.elapsed());

        int total = 0;
        int inBootloader = 0;
        for (int i = 1; i <= kSoakCuts; ++i) {
            const int cut = cuts.at(i - 1);
            const int atMs = std::uniform_int_distribution<int>(0, spanMs)(random);
            QVERIFY(writeImage(i));
            QProcess cli;
            cli.start(TALVIK_CLI_PATH, {"--port", bus->portPath(), "--quiet", "flash",
                                        dir.filePath("soak.bin"), "1A"});
            QThread::msleep(ulong(atMs));
            SimFaults fault;
            fault.silent = cut == kSilence;
            fault.corruptCrcRate = cut == kBrokenCrc ? 1.0 : 0.0;
            bus->setDeviceFaults(0, fault);
            if (cut == kKill)
                cli.kill();
            if (cut == kPower)
                bus->powerCycle(0);
            QThread::msleep(ulong(cut == kSilence     ? kSilenceMs
                                  : cut == kBrokenCrc ? kBrokenCrcMs
                                                      : 0));
            bus->setDeviceFaults(0, SimFaults());
            QVERIFY(cli.waitForFinished(kSoakRunTimeoutMs));
            // As the operator would: the device is back before the command runs again.
            QVERIFY(ToolDriver::waitUntil([&] { return !bus->device(0).restarting; }));
            const bool ok = flash(i) && bus->device(0).config.mode == SimMode::Application;
            total += ok ? 1 : 0;
            inBootloader += bus->device(0).config.mode == SimMode::Bootloader ? 1 : 0;
            if (!ok)
                qWarning("cut %d (%s at %d ms, first run exit %d) not recovered: %s; device %s", i,
                         kCutNames[cut], atMs, cli.exitCode(), qPrintable(out + err.trimmed()),
                         qPrintable(SimSetup::describe(bus->device(0))));
        }
        qInfo("%d of %d recovered, %d left in the bootloader (seed %u, cuts over %d ms)", total,
              kSoakCuts, inBootloader, soakSeed, spanMs);
        QCOMPARE(total, kSoakCuts);
    }
};

// "--seed N" replays a recovery soak; everything else is QtTest's.
int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QStringList arguments = QCoreApplication::arguments();
    const int seedAt = arguments.indexOf(QStringLiteral("--seed"));
    quint32 seed = std::random_device()();
    if (seedAt > 0) {
        seed = arguments.value(seedAt + 1).toUInt();
        arguments.erase(arguments.begin() + seedAt,
                        arguments.begin() + qMin(seedAt + 2, arguments.size()));
    }
    TestCli test(seed);
    return QTest::qExec(&test, arguments);
}
#include "tst_cli.moc"
