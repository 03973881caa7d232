// talvik-ota-cli run as a script runs it, against a simulated bus in this process.
#include "deviceclient.h"
#include "e2efixture.h"
#include "ptymaster.h"
#include "ser2net.h"
#include "simscenario.h"

#include <random>

namespace {
// Two firmware updates with their bootloader and restart pauses, on a loaded machine.
constexpr int kRunTimeoutMs = 30000;
// No exit status of the program: a run that did not finish.
constexpr int kDidNotFinish = -2;
constexpr int kQuietMs = 200;
constexpr int kImageSize = 1000; // four chunks, the last one short
constexpr qint64 kLargestImage = 16 * 1024 * 1024;
// Unpaced devices answer within a few milliseconds: room for a loaded machine.
constexpr int kScanProbeMs = 40;
constexpr int kLateAnswerMs = 300;

// The recovery soak: updates cut at a random moment, each finished by running flash again;
// TALVIK_SOAK_CUTS=100 for the long run.
constexpr int kSoakCuts = 20;
constexpr int kSoakImageSize = 8 * 1024; // 32 chunks, about 0.75 s of a paced line
// A cut update may end in the finish request's 10 s limit; the rerun is a whole update.
constexpr int kSoakRunTimeoutMs = 60000;
// The ways an update is cut: the program killed, the device's power cut, or the device's faults
// for a while.
struct Cut
{
    const char *name;
    const char *faults;
    int forMs;
};
const Cut kCuts[] = {{"CLI killed", "", 0},
                     {"power cut", "", 0},
                     {"device silent for 3 s", "silent=1", 3000},
                     {"answers' CRC broken for 2 s", "crcrate=1", 2000}};

// One run of the program: the bus's devices in the simulator's keys ("addr=1A,name=Door;
// addr=80"), the arguments, then what must come of it. $PORT is the bus's port, $RFC and $TCP
// ser2net's in front of it, @NAME a file of the test. An expected line ending in '*' matches
// every line that begins with the rest.
struct CliRun
{
    QString devices;
    QString arguments;
    int exitCode = 0;
    QStringList output;
    QStringList errors; // standard error, every line of it
    QStringList wire;   // requests on the line: "1A 09", a run of chunks "1A F2 x4"
};

// Backups for restore: the door reader's settings, a bus's survey, and files that are no backup
// (the refusal each earns with `restore FILE 80`, after the arguments before it).
const QString kDoorBackup =
    R"({"address":"1A","baud":9600,"name":"Door","own_address":"1A","port":"/dev/ttyUSB0",)"
    R"("short_name":"DOOR","terminated":true,"version":"APP 0.9.0"})";
struct BackupFile
{
    const char *name;
    QString text;
    const char *arguments;
    const char *refusal;
};
const BackupFile kBackupFiles[] = {
    {"door.json", kDoorBackup, "", nullptr},
    {"bus.json",
     QString(kDoorBackup).replace("1A", "01").replace("DOOR", "ENTR") + '\n' + kDoorBackup, "",
     "2 objects in it: --from ADDR picks one"},
    {"bus.json", "", "--from 22 ", "0 objects in it with address 22"},
    {"none.json", "", "", "No such file or directory"},
    {"text.json", "door reader\n", "", "line 1 is not a JSON object"},
    {"failed.json", R"({"address":"1A","port":"/dev/ttyUSB0","reason":"x","result":"failed"})", "",
     "unknown key 'reason'"},
    {"nobaud.json", QString(kDoorBackup).remove(R"("baud":9600,)"), "", "no 'baud'"},
    {"rate.json", QString(kDoorBackup).replace("9600", "1234"), "",
     "baud: one of 4800 9600 19200 38400 57600 115200 expected"},
    {"own.json", QString(kDoorBackup).replace(R"("own_address":"1A")", R"("own_address":"1G")"), "",
     "own_address: two hexadecimal digits expected"},
    {"term.json", QString(kDoorBackup).replace("true", R"("yes")"), "",
     "terminated: true or false expected"},
    {"name.json", QString(kDoorBackup).replace(R"("DOOR")", R"("DOORS")"), "",
     "short_name: at most four bytes of UTF-8 expected"},
};

// Where standard error goes.
enum class ErrorsTo { Pipe, Terminal, File };

// Whether the lines of a program's output are the expected ones.
bool matches(QString text, const QStringList &expected)
{
    text.chop(text.endsWith('\n') ? 1 : 0);
    const QStringList actual = text.isEmpty() ? QStringList() : text.split('\n');
    for (int i = 0; i < actual.size() && actual.size() == expected.size(); ++i) {
        const QString &want = expected.at(i);
        if (want.endsWith('*') ? !actual.at(i).startsWith(want.chopped(1)) : actual.at(i) != want)
            return false;
    }
    return actual.size() == expected.size();
}

// Standard error of a usage error.
QStringList usage(const QString &message)
{
    return {"talvik-ota-cli: " + message, "Try 'talvik-ota-cli --help' for more information."};
}
} // namespace

Q_DECLARE_METATYPE(CliRun)
Q_DECLARE_METATYPE(ErrorsTo)

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
    // Empty on success, else why not.
    QString startBus(const QString &devices, bool paced = false)
    {
        bus = std::make_unique<SimBusThread>(paced ? SimBusOptions() : E2e::fastBus());
        QString error;
        if (!bus->start(&error))
            return error;
        for (const QString &keys : devices.split(';', Qt::SkipEmptyParts))
            bus->addDevice(E2e::device(keys));
        return QString();
    }
    QString startServer(Ser2net::Security security)
    {
        server = std::make_unique<Ser2net>(bus->portPath(), security);
        return server->start();
    }
    QString expand(QString text) const
    {
        if (server)
            text.replace("$RFC", server->rfc2217Url())
                .replace("$TCP", server->tcpUrl())
                .replace("$TLSRFC", server->tlsRfc2217Url())
                .replace("$TLSTCP", server->tlsTcpUrl());
        return text.replace("$PORT", bus->portPath()).replace('@', dir.path() + '/');
    }
    // The bus's port comes first unless the arguments name one. kDidNotFinish when the program
    // had to be killed.
    int runCli(QString arguments, ErrorsTo errorsTo = ErrorsTo::Pipe)
    {
        if (!arguments.contains("--port"))
            arguments.prepend("--port $PORT ");
        QProcess cli;
        PtyMaster terminal;
        QFile errors(errorsTo == ErrorsTo::Terminal && terminal.open() ? terminal.slavePath()
                                                                       : dir.filePath("errors"));
        // Held open here too, so that what the program wrote stays readable after it ends.
        if (errorsTo != ErrorsTo::Pipe && errors.open(QIODevice::ReadWrite | QIODevice::Truncate))
            cli.setStandardErrorFile(errors.fileName());
        cli.start(TALVIK_CLI_PATH, expand(arguments).split(' '));
        if (!cli.waitForFinished(kRunTimeoutMs)) {
            cli.kill();
            cli.waitForFinished();
            return kDidNotFinish;
        }
        out = QString::fromUtf8(cli.readAllStandardOutput());
        err = QString::fromUtf8(cli.readAllStandardError());
        char buffer[4096];
        for (ssize_t n;
             errorsTo == ErrorsTo::Terminal && (n = terminal.read(buffer, sizeof buffer)) > 0;)
            err += QString::fromUtf8(buffer, int(n));
        if (errorsTo == ErrorsTo::File)
            err = QString::fromUtf8(errors.readAll());
        return cli.exitStatus() == QProcess::NormalExit ? cli.exitCode() : -1;
    }

private slots:
    void initTestCase()
    {
        QVERIFY(writeFile("fw.bin", simImage("CLI-1", kImageSize)));
        QVERIFY(writeFile("unsealed.bin", QByteArray(kImageSize, '\x5A')));
        QVERIFY(writeFile("empty.bin", QByteArray()));
        // Sparse: they take no room on the disk.
        QVERIFY(writeFile("largest.bin", "VER:CLI-1", kLargestImage));
        QVERIFY(writeFile("toolarge.bin", "VER:CLI-1", kLargestImage + 1));
        for (const BackupFile &file : kBackupFiles)
            QVERIFY(file.text.isEmpty() || writeFile(file.name, file.text.toUtf8()));
    }
    void cleanup()
    {
        server.reset();
        bus.reset();
    }

    void command_data()
    {
        QTest::addColumn<CliRun>("run");
        const auto add = [](const char *name, const QString &devices, const QString &arguments,
                            int exitCode, const QStringList &output, const QStringList &errors,
                            const QStringList &wire) {
            QTest::newRow(name) << CliRun{devices, arguments, exitCode, output, errors, wire};
        };
        const QStringList reader{"version\tAPP 1.0.0", "name\tTalvik RFID reader"};
        const QStringList info{"1A 09", "1A 0A", "1A 0C"};
        const QString threeDevices = "addr=01,name=Entrance;addr=1A,name=Door;addr=80,name=Hall";
        QStringList probes;
        for (int address = 0; address <= 0xFF; ++address)
            probes << hexByte(uint8_t(address)) + " 0A";
        const QString scanFast = " --timeout " + QString::number(kScanProbeMs);

        // Text output must not let a device forge lines, send escapes or reorder the terminal.
        add("info, a device text with control and format characters",
            "addr=1A,name=Door\tA\n\x1b\u202e\u2066,short=DOOR,term=1", "info 1a", 0,
            {"version\tAPP 1.0.0", "name\tDoor A    ", "baud\t115200", "address\t1A",
             "terminated\ton", "short-name\tDOOR"},
            {}, info);
        add("info as JSON, the device's text exact, options after the command",
            "addr=80,name=Hall\t\u202e", "info 80 --json --port $PORT", 0,
            {"{\"address\":\"80\",\"baud\":115200,\"name\":\"Hall\\t\u202e\",\"short_name\":\"\","
             "\"terminated\":false,\"version\":\"APP 1.0.0\"}"},
            {}, {"80 09", "80 0A", "80 0C"});
        add("info, a baud index past the table", "addr=1A,baudindex=6,short=GATE", "info 1A", 0,
            reader + QStringList{"baud\tunknown (index 6)", "address\t1A", "terminated\toff",
                                 "short-name\tGATE"},
            {}, info);
        add("info, a short settings answer", "addr=1A,truncate=0C:3", "info 1A", 1,
            reader + QStringList{"baud\t115200", "address\t1A", "terminated\toff"},
            {"1A: the settings answer holds 3 bytes, not 7"}, info);
        add("set, read back at the new address and rate", "addr=1A,short=DOOR",
            "set 1A --baud 9600 --address 2B --terminated on", 0,
            reader + QStringList{"baud\t9600", "address\t2B", "terminated\ton", "short-name\tDOOR"},
            {"1A: settings written, device restarting"},
            {"1A 0C", "1A 0B", "2B 09", "2B 0A", "2B 0C"});
        add("set writes nothing over a short settings answer", "addr=1A,truncate=0C:3",
            "set 1A --name X", 1, {}, {"1A: the settings answer holds 3 bytes, not 7"}, {"1A 0C"});
        add("reboot", "addr=80", "reboot 80", 0, {"version\tAPP 1.0.0"}, {}, {"80 08", "80 09"});
        // The range ends at FF by default, that address included and nothing past it.
        add("scan probes every address up to FF once", "addr=1A,name=Door;addr=FF,name=Last",
            "scan --from FC" + scanFast, 0, {"FF\tLast"},
            {"1 device(s) found; slowest answer after *"}, probes.mid(0xFC));
        add("scan of an empty bus", "", "--json scan --from 10 --to 12", 1, {},
            {"no device answered from 10 to 12"}, {"10 0A", "11 0A", "12 0A"});
        add("silent device", "", "info 80", 1, {},
            {"80: no answer to the version request within 500 ms"}, {"80 09"});
        add("error answer", "addr=80,error=F4:0102", "eeprom 80 12", 1, {},
            {"80: error answer to the EEPROM read: Error received to command 0xF4 - err no "
             ":0x0102"},
            {"80 F4"});
        const QString chunk3 = "no answer to chunk 3 of 4 (offset 512) within 1000 ms";
        add("two flashed, the first silent halfway", "addr=1A,dropafter=2;addr=80",
            "flash @fw.bin 1A 80", 1, {"1A\tfailed\t" + chunk3, "80\tok\tCLI-1"},
            {"1A: bootloader Talvik BOOTLOADER 1.2", "1A: " + chunk3,
             "80: bootloader Talvik BOOTLOADER 1.2"},
            {"1A 09", "1A F0", "1A 09", "1A F1", "1A F2 x3", "80 09", "80 F0", "80 09", "80 F1",
             "80 F2 x4", "80 F3", "80 09"});
        // The adapter is pulled: no further address is tried on the dead port.
        add("port fails halfway through a flash", "addr=1A,unplugafter=2;addr=80",
            "flash @fw.bin 1A 80", 3, {"1A\tfailed\tport failed: *"},
            {"1A: bootloader Talvik BOOTLOADER 1.2", "1A: port failed: *"},
            {"1A 09", "1A F0", "1A 09", "1A F1", "1A F2 x2"});
        QStringList progress;
        for (int sent : {256, 512, 768, 1000})
            progress << QStringLiteral(
                            R"({"address":"1A","event":"progress","sent":%1,"total":1000})")
                            .arg(sent);
        add("flash resumed in the bootloader, JSON progress", "addr=1A,bootloader=1",
            "--json flash @fw.bin 1A", 0,
            progress << R"({"address":"1A","port":"$PORT","result":"ok","version":"CLI-1"})",
            {"1A: bootloader Talvik BOOTLOADER 1.2"},
            {"1A 09", "1A F1", "1A F2 x4", "1A F3", "1A 09"});
        const QString rejected = "image rejected (error answer to the finish request: Error "
                                 "received to command 0xF3 - err no :0x0024)";
        add("image rejected", "addr=80,bootloader=1", "--quiet flash @unsealed.bin 80", 1,
            {"80\tfailed\t" + rejected}, {"80: " + rejected},
            {"80 09", "80 F1", "80 F2 x4", "80 F3"});
        const QString stillBl = "still in the bootloader after the update (Talvik BOOTLOADER 1.2)";
        add("image taken, application not started", "addr=80,nostart=1", "--quiet flash @fw.bin 80",
            1, {"80\tfailed\t" + stillBl}, {"80: " + stillBl},
            {"80 09", "80 F0", "80 09", "80 F1", "80 F2 x4", "80 F3", "80 09"});
        const QString files = dir.path() + '/';
        add("empty image", "addr=80", "flash @empty.bin 80", 2, {},
            usage(files + "empty.bin is empty: nothing to flash"), {});
        add("image not a file", "addr=80", "flash /dev/zero 80", 2, {},
            usage("/dev/zero is not a regular file"), {});
        add("image over 16 MiB", "addr=80", "flash @toolarge.bin 80", 2, {},
            usage(files + "toolarge.bin holds 16777217 bytes, more than the 16777216 an image "
                          "may have"),
            {});
        add("image of 16 MiB taken", "", "--port /dev/talvik-none flash @largest.bin 80", 3, {},
            {"cannot open /dev/talvik-none: *"}, {});
        add("bad address", "addr=80", "flash @fw.bin 80 1G", 2, {},
            usage("bad address '1G': two hexadecimal digits expected"), {});
        add("unknown option", "addr=80", "scan --fast", 2, {},
            usage("scan: Unknown option 'fast'."), {});

        // Through Debian's ser2net, as a bus in a cabinet is reached.
        add("scan through rfc2217", threeDevices, "--port $RFC scan --to 80" + scanFast, 0,
            {"01\tEntrance", "1A\tDoor", "80\tHall"}, {"3 device(s) found; slowest answer after *"},
            probes.mid(0, 0x81));
        const QStringList emptyName =
            reader + QStringList{"baud\t115200", "address\t1A", "terminated\toff", "short-name\t"};
        add("info through rfc2217", "addr=1A", "--port $RFC info 1A", 0, emptyName, {}, info);
        add("info through tcp", "addr=1A", "--port $TCP info 1A", 0, emptyName, {}, info);
        // The device hears only its own rate: the rate set through the server reached the line.
        add("set a new rate through rfc2217", "addr=1A,short=DOOR",
            "--port $RFC set 1A --baud 9600", 0,
            reader +
                QStringList{"baud\t9600", "address\t1A", "terminated\toff", "short-name\tDOOR"},
            {"1A: settings written, device restarting"},
            {"1A 0C", "1A 0B", "1A 09", "1A 0A", "1A 0C"});
        add("flash through rfc2217", "addr=1A", "--quiet --port $RFC flash @fw.bin 1A", 0,
            {"1A\tok\tCLI-1"}, {},
            {"1A 09", "1A F0", "1A 09", "1A F1", "1A F2 x4", "1A F3", "1A 09"});
        // Through TLS with the technician's certificate: every exchange as without it.
        add("scan through rfc2217+tls", threeDevices, "--port $TLSRFC scan --to 80" + scanFast, 0,
            {"01\tEntrance", "1A\tDoor", "80\tHall"}, {"3 device(s) found; slowest answer after *"},
            probes.mid(0, 0x81));
        add("info through tcp+tls", "addr=1A", "--port $TLSTCP info 1A", 0, emptyName, {}, info);
        add("set a new rate through rfc2217+tls", "addr=1A,short=DOOR",
            "--port $TLSRFC set 1A --baud 9600", 0,
            reader +
                QStringList{"baud\t9600", "address\t1A", "terminated\toff", "short-name\tDOOR"},
            {"1A: settings written, device restarting"},
            {"1A 0C", "1A 0B", "1A 09", "1A 0A", "1A 0C"});
        add("flash through rfc2217+tls", "addr=1A", "--quiet --port $TLSRFC flash @fw.bin 1A", 0,
            {"1A\tok\tCLI-1"}, {},
            {"1A 09", "1A F0", "1A 09", "1A F1", "1A F2 x4", "1A F3", "1A 09"});
        add("set --baud refused through tcp", "addr=1A", "--port $TCP set 1A --baud 9600", 2, {},
            usage("set: --baud over a tcp:// port would leave the server at the old rate and "
                  "the device out of reach; use rfc2217://, whose rate the tool sets"),
            {});
        add("malformed port", "", "--port rfc2217://server info 1A", 2, {},
            usage("bad port 'rfc2217://server': expected rfc2217://HOST:PORT"), {});
        add("port past 65535", "", "--port tcp://127.0.0.1:65536 info 1A", 2, {},
            usage("bad port 'tcp://127.0.0.1:65536': port 65536 is outside 1 to 65535"), {});
        // Only that the address is taken: a machine without IPv6 refuses it otherwise.
        add("IPv6 host in brackets", "", "--port rfc2217://[::1]:1 info 1A", 3, {},
            {"cannot open rfc2217://[::1]:1: *"}, {});
        add("unknown host", "", "--port rfc2217://nothere.invalid:4001 info 1A", 3, {},
            {"cannot open rfc2217://nothere.invalid:4001: host not found"}, {});
        add("port refused", "", "--port tcp://127.0.0.1:1 info 1A", 3, {},
            {"cannot open tcp://127.0.0.1:1: connection refused"}, {});

        // Commissioning: readers at any rate, and two readers that share an address. Unpaced,
        // delay=150 stands in for the line time at 4800 baud: longer than a probe's margin,
        // shorter than the probe there.
        const QString fourRates = "addr=01,baud=9600,name=Nine;addr=02,baud=57600,name=Fifty;"
                                  "addr=03,name=Fast;addr=04,baud=4800,delay=150,name=Slow";
        add("scan --rates all, each device at its own rate", fourRates,
            "scan --rates all --timeout 10 --from 01 --to 04", 0,
            {"03\tFast\t115200", "02\tFifty\t57600", "01\tNine\t9600", "04\tSlow\t4800"},
            {"4 device(s) found; slowest answer after 1*"},
            E2e::lines(QString("01 0A|02 0A|03 0A|04 0A|").repeated(6).chopped(1)));
        add("plain scan, only the port's rate", fourRates, "scan --from 01 --to 04" + scanFast, 0,
            {"03\tFast"}, {"1 device(s) found; slowest answer after *"},
            {"01 0A", "02 0A", "03 0A", "04 0A"});
        const QString collision =
            "answers broken 3 of 3 times: two or more devices may share this address";
        add("scan, two devices at one address",
            "addr=1A,name=Door;addr=1A,name=Door reader;addr=80,name=Hall",
            "scan --from 1A --to 80" + scanFast, 1, {"1A\tcollision\t" + collision, "80\tHall"},
            {"1A: " + collision, "1 device(s) found; slowest answer after *"},
            QStringList{"1A 0A x3"} + probes.mid(0x1B, 0x80 - 0x1A));
        add("scan, one broken answer is noise", "addr=80,name=Hall,crcnext=1",
            "--json scan --rates 115200 --timeout 10 --from 80 --to 80", 0,
            {R"({"address":"80","baud":115200,"name":"Hall"})"},
            {"1 device(s) found; slowest answer after *"}, {"80 0A", "80 FF", "80 0A"});
        add("scan, a rate not in the table", "addr=80", "scan --rates 9600,1234", 2, {},
            usage("scan: bad rate '1234' in --rates: one or more of "
                  "4800,9600,19200,38400,57600,115200, or all"),
            {});
        add("survey at a shared address", "addr=1A,name=Door;addr=1A,name=Door reader;addr=80",
            "survey --from 1A --to 80" + scanFast, 1,
            {"1A\tfailed\t" + collision, "80\tAPP 1.0.0\tTalvik RFID reader\t115200\t80\toff\t"},
            {"1A: " + collision, "1 device(s) found; slowest answer after *"},
            QStringList{"1A 0A x3"} + probes.mid(0x1B, 0x80 - 0x1B) +
                QStringList{"80 0A", "80 09", "80 0A", "80 0C"});
        add("info at a shared address", "addr=1A,name=Door;addr=1A,name=Gate", "info 1A", 1, {},
            {"1A: " + collision}, {"1A 09", "1A 0A", "1A FF", "1A 0A", "1A FF", "1A 0A", "1A FF"});

        // A rollout's two tools: flash only where the version differs, and what runs where.
        const QString v64(64, 'V');
        add("--expect-version already running: only its version asked", "addr=80,version=" + v64,
            "--json flash --expect-version " + v64 + " @fw.bin 80", 0,
            {QString(R"({"address":"80","port":"$PORT","result":"current","version":"%1"})")
                 .arg(v64)},
            {}, {"80 09"});
        const QString oldVersion = "runs APP 2.4.1 after the update, not CLI-1";
        add("--expect-version, the old version after the update",
            "addr=80,version=APP 2.4.1,oldversion=1", "flash --expect-version CLI-1 @fw.bin 80", 1,
            {"80\tfailed\t" + oldVersion},
            {"80: bootloader Talvik BOOTLOADER 1.2", "80: " + oldVersion},
            {"80 09", "80 F0", "80 09", "80 F1", "80 F2 x4", "80 F3", "80 09"});
        add("--expect-version, a bootloader is flashed", "addr=80,version=CLI-1,bootloader=1",
            "--quiet flash --expect-version CLI-1 @fw.bin 80", 0, {"80\tok\tCLI-1"}, {},
            {"80 09", "80 F1", "80 F2 x4", "80 F3", "80 09"});
        add("--expect-version empty", "addr=80", "flash --expect-version= @fw.bin 80", 2, {},
            usage("flash: --expect-version takes 1 to 64 printable characters"), {});
        add("--expect-version of 65 characters", "addr=80",
            "flash @fw.bin 80 --expect-version V" + v64, 2, {},
            usage("flash: --expect-version takes 1 to 64 printable characters"), {});
        QStringList surveyed = probes.mid(1, 0x80);
        for (const QString device : {"80", "1A", "01"})
            surveyed.insert(surveyed.indexOf(device + " 0A") + 1, device + " 09");
        for (const QString device : {"80", "1A", "01"})
            surveyed.insert(surveyed.indexOf(device + " 09") + 1, device + " 0A");
        for (const QString device : {"80", "1A", "01"})
            surveyed.insert(surveyed.lastIndexOf(device + " 0A") + 1, device + " 0C");
        add("survey of the demo bus, read requests only",
            "addr=01,name=Entrance,version=APP 2.4.1,short=ENTR;addr=1A,name=Door,version=APP "
            "2.4.1,short=DOOR,term=1;addr=80,name=Hall,version=APP 2.3.0",
            "survey --from 01 --to 80" + scanFast, 0,
            {"01\tAPP 2.4.1\tEntrance\t115200\t01\toff\tENTR",
             "1A\tAPP 2.4.1\tDoor\t115200\t1A\ton\tDOOR", "80\tAPP 2.3.0\tHall\t115200\t80\toff\t"},
            {"3 device(s) found; slowest answer after *"}, surveyed);
        add("survey of an empty bus", "", "survey --from 10 --to 12", 1, {},
            {"no device answered from 10 to 12"}, {"10 0A", "11 0A", "12 0A"});
        add("survey, a settings request answered with an error", "addr=01;addr=02,error=0C",
            "--json survey --from 01 --to 02", 1,
            {R"({"address":"01","baud":115200,"name":"Talvik RFID reader","own_address":"01",)"
             R"("port":"$PORT","short_name":"","terminated":false,"version":"APP 1.0.0"})",
             R"({"address":"02","port":"$PORT","reason":"error answer to the settings request: )"
             R"(Error received to command 0x0C - err no :0x00EE","result":"failed"})"},
            {"02: error answer to the settings request: Error received to command 0x0C - err no "
             ":0x00EE",
             "2 device(s) found; slowest answer after *"},
            {"01 0A", "01 09", "01 0A", "01 0C", "02 0A", "02 09", "02 0A", "02 0C"});

        // A reader replaced: the old one's backup restored to the new one at the factory address.
        const QString written = "settings written, device restarting";
        const QString unwritable = R"(: %1 "%2", the backup's "%3": not written, the device has )"
                                   "no request for it";
        add("backup, JSON in text mode; a silent device", "addr=01,short=ENTR;addr=1A,term=1",
            "backup 01 1a 02", 1,
            {R"({"address":"01","baud":115200,"name":"Talvik RFID reader","own_address":"01",)"
             R"("port":"$PORT","short_name":"ENTR","terminated":false,"version":"APP 1.0.0"})",
             R"({"address":"1A","baud":115200,"name":"Talvik RFID reader","own_address":"1A",)"
             R"("port":"$PORT","short_name":"","terminated":true,"version":"APP 1.0.0"})",
             R"({"address":"02","port":"$PORT","reason":"no answer to the version request within )"
             R"(500 ms","result":"failed"})"},
            {"02: no answer to the version request within 500 ms"},
            {"01 09", "01 0A", "01 0C", "1A 09", "1A 0A", "1A 0C", "02 09"});
        add("restore to the factory address: the old address and rate, read back there",
            "addr=80,name=Spare", "restore @door.json 80", 0, {"80\trestored\t1A"},
            {"80" + unwritable.arg("version", "APP 1.0.0", "APP 0.9.0"),
             "80" + unwritable.arg("identification", "Spare", "Door"), "80: " + written},
            {"80 09", "80 0A", "80 0C", "80 0B", "1A 09", "1A 0A", "1A 0C"});
        add("restore a line of a survey, the address and rate kept",
            "addr=2B,name=Door,version=APP 0.9.0",
            "--json restore --from 1A --keep-address --keep-baud @bus.json 2B", 0,
            {R"({"address":"2B","own_address":"2B","port":"$PORT","result":"restored"})"},
            {"2B: " + written}, {"2B 09", "2B 0A", "2B 0C", "2B 0B", "2B 09", "2B 0A", "2B 0C"});
        const QString door = "addr=1A,name=Door,version=APP 0.9.0,short=DOOR,baud=9600";
        add("restore where all agree writes nothing", door + ",term=1",
            "--baud 9600 restore @door.json 1A", 0, {"1A\tunchanged"}, {},
            {"1A 09", "1A 0A", "1A 0C"});
        add("restore, a field that does not take", door + ",keepterm=1",
            "--baud 9600 restore @door.json 1A", 1,
            {"1A\tfailed\tread back, terminated is off, not on"},
            {"1A: " + written, "1A: read back, terminated is off, not on"},
            {"1A 09", "1A 0A", "1A 0C", "1A 0B", "1A 09", "1A 0A", "1A 0C"});
        add("restore, a new rate through tcp", "addr=80,name=Door,version=APP 0.9.0",
            "--port $TCP restore @door.json 80", 1, {"80\tfailed\t*"},
            {"80: the backup's rate differs from the device's, which a tcp:// port cannot follow; "
             "use rfc2217:// or --keep-baud"},
            {"80 09", "80 0A", "80 0C"});
        for (const BackupFile &file : kBackupFiles) {
            const QString arguments = QString("restore %1@%2 80").arg(file.arguments, file.name);
            if (file.refusal)
                QTest::newRow(qPrintable(arguments))
                    << CliRun{"addr=80",
                              arguments,
                              2,
                              {},
                              usage(QString("restore: @%1: %2").arg(file.name, file.refusal)),
                              {}};
        }
        add("--capture to a path that cannot be written", "addr=80",
            "--capture @missing/x.pcapng info 80", 2, {},
            usage("cannot write the capture @missing/x.pcapng: No such file or directory"), {});
    }

    void command()
    {
        QFETCH(CliRun, run);

        QString started = startBus(run.devices);
        QVERIFY2(started.isEmpty(), qPrintable(started));
        if (run.arguments.contains(QRegularExpression("\\$(RFC|TCP|TLS)"))) {
            started = startServer(run.arguments.contains("$TLS") ? Ser2net::Tls : Ser2net::Plain);
            QVERIFY2(started.isEmpty(), qPrintable(started));
            bus->clearTrace();
        }
        QCOMPARE(runCli(run.arguments), run.exitCode);
        QStringList output = run.output;
        for (QString &line : output)
            line = expand(line);
        QVERIFY2(matches(out, output), qPrintable(out));
        QStringList errors = run.errors;
        for (QString &line : errors)
            line = expand(line);
        QVERIFY2(matches(err, errors), qPrintable(err));
        if (run.wire.isEmpty())
            QVERIFY(E2e::busStaysQuiet(*bus, kQuietMs));
        QCOMPARE(E2e::wire(*bus, {true, false, 1, true}), run.wire);
    }

    void progressLineOnATerminalOnly_data()
    {
        addColumns<QString, ErrorsTo, QString>({"arguments", "errorsTo", "drawn"});
        addRow("flash, a terminal", "flash @fw.bin 1A", ErrorsTo::Terminal, "\rflash 1A ");
        addRow("scan, a terminal", "scan --from 18 --to 1C --timeout 20", ErrorsTo::Terminal,
               "\rscan ");
        addRow("quiet flash, a terminal", "--quiet flash @fw.bin 1A", ErrorsTo::Terminal, "");
        addRow("flash, a pipe", "flash @fw.bin 1A", ErrorsTo::Pipe, "");
        addRow("flash, a file", "flash @fw.bin 1A", ErrorsTo::File, "");
    }

    void progressLineOnATerminalOnly()
    {
        QFETCH(QString, arguments);
        QFETCH(ErrorsTo, errorsTo);
        QFETCH(QString, drawn);

        QVERIFY(startBus("addr=1A").isEmpty());
        QCOMPARE(runCli(arguments, errorsTo), 0);
        QCOMPARE(err.contains('\r'), !drawn.isEmpty());
        QVERIFY2(err.contains(drawn), qPrintable(err));
    }

    void lateAnswerNeverTakenForTheNextRequest()
    {
        QVERIFY(startBus(QStringLiteral("addr=1A,version=OLD,late=09:%1").arg(kLateAnswerMs))
                    .isEmpty());
        DeviceClient client;
        QVERIFY(client.open(bus->portPath(), kBaudRates[SimDeviceConfig::kDefaultBaudIndex]));
        client.setDeviceAddress(0x1A);
        QCOMPARE(client.exchange(buildCommand(CmdGetVersion), kScanProbeMs).outcome,
                 DeviceAnswer::Outcome::NoAnswer);
        // The late answer now waits unread in the port, and the device has moved on.
        QVERIFY(ToolDriver::waitUntil([&] { return bus->trace().size() == 2; }));
        bus->editDevice(0, [](SimDeviceState &device) {
            device.config.applicationVersion = QStringLiteral("NEW");
            device.config.faults = SimFaults();
        });
        const DeviceAnswer answer = client.exchange(buildCommand(CmdGetVersion), kRunTimeoutMs);
        QCOMPARE(readResponseText(answer.data(), answer.size()), QStringLiteral("NEW"));
    }

    // Updates cut at a random moment in four ways, each followed by the same flash command run
    // once more, which must finish the update. The seed is printed; --seed N replays a run.
    void recoverySoak()
    {
        if (!QCoreApplication::arguments().contains(QStringLiteral("recoverySoak")))
            QSKIP("runs for minutes on its own: ctest -L soak");
        const int soakCuts = qEnvironmentVariableIsSet("TALVIK_SOAK_CUTS")
                                 ? qEnvironmentVariableIntValue("TALVIK_SOAK_CUTS")
                                 : kSoakCuts;
        QVERIFY2(soakCuts > 0, "TALVIK_SOAK_CUTS takes a number of cuts");
        qInfo("recovery soak, seed %u", soakSeed);
        std::mt19937 random(soakSeed);
        QVector<const Cut *> cuts; // as many of each, in a random order
        for (int i = 0; i < soakCuts; ++i)
            cuts << &kCuts[i % 4];
        std::shuffle(cuts.begin(), cuts.end(), random);
        QVERIFY(startBus(QStringLiteral("addr=1A"), true).isEmpty());
        // Each update brings a new version, which the device must run in the end.
        const auto writeImage = [&](int version) {
            return writeFile("soak.bin",
                             simImage(QStringLiteral("SOAK-%1").arg(version), kSoakImageSize));
        };
        const auto flash = [&](int version) {
            return runCli("--quiet flash @soak.bin 1A") == 0 &&
                   out == QStringLiteral("1A\tok\tSOAK-%1\n").arg(version);
        };
        // An update without a cut gives the span the cuts are spread over.
        QElapsedTimer whole;
        whole.start();
        QVERIFY(writeImage(0) && flash(0));
        const int spanMs = int(whole.elapsed());

        int total = 0;
        int inBootloader = 0;
        for (int i = 1; i <= soakCuts; ++i) {
            const Cut &cut = *cuts.at(i - 1);
            const int atMs = std::uniform_int_distribution<int>(0, spanMs)(random);
            QVERIFY(writeImage(i));
            QProcess cli;
            cli.start(TALVIK_CLI_PATH, {"--port", bus->portPath(), "--quiet", "flash",
                                        dir.filePath("soak.bin"), "1A"});
            QThread::msleep(ulong(atMs));
            bus->setDeviceFaults(0, E2e::faults(cut.faults));
            if (&cut == &kCuts[0])
                cli.kill();
            if (&cut == &kCuts[1])
                bus->powerCycle(0);
            QThread::msleep(ulong(cut.forMs));
            bus->setDeviceFaults(0, SimFaults());
            QVERIFY(cli.waitForFinished(kSoakRunTimeoutMs));
            // As the operator would: the device is back before the command runs again.
            QVERIFY(ToolDriver::waitUntil([&] { return !bus->device(0).restarting; }));
            const bool ok = flash(i) && bus->device(0).config.mode == SimMode::Application;
            total += ok ? 1 : 0;
            inBootloader += bus->device(0).config.mode == SimMode::Bootloader ? 1 : 0;
            if (!ok)
                qWarning("cut %d (%s at %d ms, first run exit %d) not recovered: %s; device %s", i,
                         cut.name, atMs, cli.exitCode(), qPrintable(out + err.trimmed()),
                         qPrintable(SimSetup::describe(bus->device(0))));
        }
        qInfo("%d of %d recovered, %d left in the bootloader (seed %u, cuts over %d ms)", total,
              soakCuts, inBootloader, soakSeed, spanMs);
        QCOMPARE(total, soakCuts);
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
