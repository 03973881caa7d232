// talvik-ota-cli run as a script runs it, against a simulated bus in this process.
#include "deviceclient.h"
#include "e2efixture.h"
#include "imagesignature.h"
#include "minisigner.h"
#include "ptymaster.h"
#include "ser2net.h"
#include "simscenario.h"

#include <QSerialPortInfo>

#include <random>

namespace {
// The longest row: three firmware updates and two cut short, with their bootloader and restart
// pauses (about 10 s), on a loaded machine.
constexpr int kRunTimeoutMs = 30000;
// No exit status of the program: a run that did not finish.
constexpr int kDidNotFinish = -2;
constexpr int kQuietMs = 200;
constexpr int kImageSize = 1000; // four chunks, the last one short
constexpr qint64 kLargestImage = 16 * 1024 * 1024;
// Unpaced devices answer within a few milliseconds: room for a loaded machine and ser2net.
constexpr int kScanProbeMs = 150;
constexpr int kLateAnswerMs = 300;
const QString kBootloader = QStringLiteral("Talvik BOOTLOADER 1.2");
// A signed image's trusted comment.
const char kSigned[] = "version:CLI-1 model:door";

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
// addr=80"), the arguments, then what must come of it. $PORT is the bus's port, $RFC, $TCP and
// $TLSRFC ser2net's in front of it, @NAME a file of the test. An expected line ending in '*'
// matches every line that begins with the rest.
struct CliRun
{
    QString devices;
    QString arguments;
    int exitCode = 0;
    // Lines separated by '|'.
    QString output;
    QString errors; // standard error, every line of it
    QString wire;   // requests on the line: "1A 09", a run of chunks "1A F2 x4"
};

// Where standard error goes.
enum class ErrorsTo { Pipe, Terminal, File };

// Whether the program's output is the expected lines, each ended by a newline.
bool matches(const QString &text, const QString &lines)
{
    QString pattern;
    for (const QString &line : E2e::lines(lines))
        pattern += line.endsWith('*') ? QRegularExpression::escape(line.chopped(1)) + ".*\n"
                                      : QRegularExpression::escape(line) + '\n';
    return QRegularExpression("\\A" + pattern + "\\z").match(text).hasMatch();
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
    QMap<QString, QString> keyIds; // as minisign writes them into the key file's comment

public:
    explicit TestCli(quint32 seed) : soakSeed(seed) {}

private:
    bool writeFile(const QString &name, const QByteArray &bytes, qint64 size = -1)
    {
        QFile file(dir.filePath(name));
        return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size() &&
               (size < 0 || file.resize(size));
    }
    QByteArray readFile(const QString &name) const
    {
        QFile file(dir.filePath(name));
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
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
    QString expand(QString text) const
    {
        if (server)
            text.replace("$RFC", server->rfc2217Url())
                .replace("$TCP", server->tcpUrl())
                .replace("$TLSRFC", server->tlsRfc2217Url());
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
        // Killed on the way out if it has to be.
        if (!cli.waitForFinished(kRunTimeoutMs))
            return kDidNotFinish;
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
        const QByteArray image = simImage("CLI-1", kImageSize);
        for (const QString name : {"maker", "other"}) {
            QVERIFY(Minisigner::makeKeyPair(dir.path(), name) &&
                    QFile::setPermissions(dir.filePath(name + ".pub"), QFile::ReadOwner));
            keyIds[name] = QString(readFile(name + ".pub")).section('\n', 0, 0).section(' ', -1);
        }
        const auto sign = [&](const QString &name, const QString &key, bool legacy = false) {
            return writeFile(name, image) && Minisigner::sign(dir.filePath(key + ".key"),
                                                              dir.filePath(name), kSigned, legacy);
        };
        QVERIFY(sign("signed.bin", "maker") && sign("legacy.bin", "maker", true) &&
                sign("untrusted.bin", "other"));
        const QByteArray signature = readFile("signed.bin.minisig");
        const QByteArray key = readFile("maker.pub");
        // Signed images with one thing wrong, their bytes and signature; key files, their bytes.
        const QMap<QString, QByteArrayList> faulty{
            {"changed.bin", {"X" + image.mid(1), signature}},
            {"another.bin", {simImage("CLI-2", kImageSize), signature}},
            {"comment.bin", {image, QByteArray(signature).replace("CLI-1", "CLI-2")}},
            {"cut.bin", {image, signature.left(signature.indexOf("\ntrusted"))}},
            {"garbage.bin", {image, "#!"}},
            {"big.bin", {image, signature.leftJustified(Minisign::kMaxFileBytes + 1, '\n')}},
            {"cut.pub", {key.left(key.indexOf('\n'))}},
            {"loose.pub", {key}}};
        for (auto file = faulty.cbegin(); file != faulty.cend(); ++file)
            QVERIFY(writeFile(file.key(), file->first()) &&
                    (file->size() == 1 || writeFile(file.key() + ".minisig", file->last())));
        QVERIFY(QFile::setPermissions(dir.filePath("cut.pub"), QFile::ReadOwner) &&
                QFile::setPermissions(dir.filePath("loose.pub"), QFileDevice::Permissions(0x6666)));
        QVERIFY(writeFile("empty.bin", QByteArray()));
        // Sparse: they take no room on the disk.
        QVERIFY(writeFile("largest.bin", "VER:CLI-1", kLargestImage));
        QVERIFY(writeFile("toolarge.bin", "VER:CLI-1", kLargestImage + 1));
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
                            int exitCode, const QString &output, const QString &errors,
                            const QString &wire) {
            QTest::newRow(name) << CliRun{devices, arguments, exitCode, output, errors, wire};
        };
        // A usage error: nothing is sent.
        const QString tryHelp = "|Try 'talvik-ota-cli --help' for more information.";
        const auto refused = [&](const char *name, const QString &arguments, const QString &why) {
            add(name, "", arguments, 2, "", "talvik-ota-cli: " + why + tryHelp, "");
        };
        const QString reader = "version\tAPP 1.0.0|name\tTalvik RFID reader|";
        const QString scanFast = " --timeout " + QString::number(kScanProbeMs);
        const QString bl = ": bootloader " + kBootloader;
        // An update from the version request on: the bootloader entered, the image, the restart.
        const auto update = [](const char *at) {
            return QString("%1 09|%1 F0|%1 09|%1 F1|%1 F2 x4|%1 F3|%1 09").arg(at);
        };

        // Text output must not let a device forge lines, send escapes or reorder the terminal.
        add("info, control and format characters, a baud index past the table",
            "addr=1A,name=Door\tA\n\x1b\u202e\u2066,short=DOOR,term=1,baudindex=6", "info 1a", 0,
            "version\tAPP 1.0.0|name\tDoor A    |baud\tunknown (index 6)|address\t1A|"
            "terminated\ton|short-name\tDOOR",
            "", "1A 09|1A 0A|1A 0C");
        add("info as JSON, the device's text exact, options after the command",
            "addr=80,name=Hall\t\u202e", "info 80 --json --port $PORT", 0,
            "{\"address\":\"80\",\"baud\":115200,\"name\":\"Hall\\t\u202e\",\"short_name\":\"\","
            "\"terminated\":false,\"version\":\"APP 1.0.0\"}",
            "", "80 09|80 0A|80 0C");
        // Through Debian's ser2net, as a bus in a cabinet is reached: raw bytes here, RFC 2217
        // for the scan to FF (an IAC byte each way), TLS with a certificate for an update.
        add("info through tcp, a short settings answer", "addr=1A,truncate=0C:3",
            "--port $TCP info 1A", 1, reader + "baud\t115200|address\t1A|terminated\toff",
            "1A: the settings answer holds 3 bytes, not 7", "1A 09|1A 0A|1A 0C");
        add("set, read back at the new address and rate", "addr=1A,short=DOOR",
            "set 1A --baud 9600 --address 2B --terminated on --name GATE", 0,
            reader + "baud\t9600|address\t2B|terminated\ton|short-name\tGATE",
            "1A: settings written, device restarting", "1A 0C|1A 0B|2B 09|2B 0A|2B 0C");
        add("set writes nothing over a short settings answer", "addr=1A,truncate=0C:3",
            "set 1A --name X", 1, "", "1A: the settings answer holds 3 bytes, not 7", "1A 0C");
        add("reboot", "addr=80", "reboot 80", 0, "version\tAPP 1.0.0", "", "80 08|80 09");
        add("reset", "addr=80", "reset 80", 0, "version\tAPP 1.0.0", "", "80 0D|80 09");
        add("led on", "addr=1A", "led 1A on", 0, "", "", "1A 0E 01");
        add("led toggle", "addr=1A", "led 1A toggle", 0, "", "", "1A 0E 02 E8 03");
        add("eeprom write", "addr=1A", "eeprom 1A 12 5a", 0, "", "", "1A F4 12 5A");
        QStringList serialPorts;
        for (const QSerialPortInfo &port : QSerialPortInfo::availablePorts())
            serialPorts << port.systemLocation() + '\t' + port.description();
        add("ports, the port given never opened", "", "--port /dev/talvik-none ports", 0,
            serialPorts.join('|'), "", "");
        // The range ends at FF by default, that address included and nothing past it.
        add("scan probes every address up to FF once, through rfc2217, JSON at a rate",
            "addr=1A,name=Door;addr=FF,name=Last",
            "--json --port $RFC scan --rates 115200 --from FC" + scanFast, 0,
            R"({"address":"FF","baud":115200,"name":"Last"})",
            "1 device(s) found; slowest answer after *", "FC 0A|FD 0A|FE 0A|FF 0A");
        add("silent device", "", "info 80", 1, "",
            "80: no answer to the version request within 500 ms", "80 09");
        add("error answer", "addr=80,error=F4:0102", "eeprom 80 12", 1, "",
            "80: error answer to the EEPROM read: Error received to command 0xF4 - err no :0x0102",
            "80 F4");
        // Flash only where the version differs, as a rollout does.
        const QString chunk3 = "no answer to chunk 3 of 4 (offset 512) within 1000 ms";
        const QString rejected = "image rejected (error answer to the finish request: Error "
                                 "received to command 0xF3 - err no :0x0024)";
        const QString stillBl = "still in the bootloader after the update (" + kBootloader + ')';
        const QString oldVersion = "runs APP 2.4.1 after the update, not CLI-1";
        const QString unchecked = "image not checked: no trusted keys|";
        add("flashed in turn: current, silent halfway, rejected, not started, done, an old one",
            "addr=01,version=CLI-1;addr=02,dropafter=2;addr=1A,bootloader=1,error=F3:0024;"
            "addr=20,nostart=1;addr=80;addr=81,version=APP 2.4.1,oldversion=1",
            "flash --expect-version CLI-1 @fw.bin 01 02 1A 20 80 81", 1,
            "01\tcurrent\tCLI-1|02\tfailed\t" + chunk3 + "|1A\tfailed\t" + rejected +
                "|20\tfailed\t" + stillBl + "|80\tok\tCLI-1|81\tfailed\t" + oldVersion,
            unchecked + "02" + bl + "|02: " + chunk3 + "|1A" + bl + "|1A: " + rejected + "|20" +
                bl + "|20: " + stillBl + "|80" + bl + "|81" + bl + "|81: " + oldVersion,
            "01 09|02 09|02 F0|02 09|02 F1|02 F2 x3|1A 09|1A F1|1A F2 x4|1A F3|" + update("20") +
                '|' + update("80") + '|' + update("81"));
        // The adapter is pulled: no further address is tried on the dead port.
        add("port fails halfway through a flash", "addr=1A,unplugafter=2;addr=80",
            "flash @fw.bin 1A 80", 3, "1A\tfailed\tport failed: *",
            unchecked + "1A" + bl + "|1A: port failed: *", "1A 09|1A F0|1A 09|1A F1|1A F2 x2");
        const QString sent = R"({"address":"1A","event":"progress","sent":%1,"total":1000}|)";
        add("flash through rfc2217+tls, JSON progress", "addr=1A",
            "--json --port $TLSRFC flash @fw.bin 1A", 0,
            sent.arg(256) + sent.arg(512) + sent.arg(768) + sent.arg(1000) +
                R"({"address":"1A","port":"$TLSRFC","result":"ok","version":"CLI-1"})",
            unchecked + "1A" + bl, update("1A"));
        refused("empty image", "flash @empty.bin 80", "@empty.bin is empty: nothing to flash");
        refused("image not a file", "flash /dev/zero 80", "/dev/zero is not a regular file");
        refused("image over 16 MiB", "flash @toolarge.bin 80",
                "@toolarge.bin holds 16777217 bytes, more than the 16777216 an image may have");
        const QString v64(64, 'V');
        add("image of 16 MiB and --expect-version of 64 characters taken", "",
            "--port /dev/talvik-none flash --expect-version " + v64 + " @largest.bin 80", 3, "",
            "cannot open /dev/talvik-none: *", "");
        refused("--expect-version empty", "flash --expect-version= @fw.bin 80",
                "flash: --expect-version takes 1 to 64 printable characters");
        refused("--expect-version of 65 characters", "flash @fw.bin 80 --expect-version V" + v64,
                "flash: --expect-version takes 1 to 64 printable characters");
        refused("bad address", "flash @fw.bin 80 1G",
                "bad address '1G': two hexadecimal digits expected");
        refused("unknown option", "scan --fast", "scan: Unknown option 'fast'.");
        refused("set, nothing to change", "set 1A", "set: nothing to change");
        refused("--from above --to", "survey --from 1B --to 1A", "survey: --from is above --to");
        refused("--timeout below 10 ms", "scan --timeout 9", "scan: --timeout takes 10 to 5000 ms");
        refused("--rates with --baud", "scan --rates all --baud 9600",
                "scan: --rates sets the line's rates itself; leave out --baud");
        refused("set --baud refused through tcp", "--port tcp://127.0.0.1:1 set 1A --baud 9600",
                "set: --baud over a tcp:// port would leave the server at the old rate and the "
                "device out of reach; use rfc2217://, whose rate the tool sets");
        refused("malformed port", "--port rfc2217://server info 1A",
                "bad port 'rfc2217://server': expected rfc2217://HOST:PORT");
        refused("port past 65535", "--port tcp://127.0.0.1:65536 info 1A",
                "bad port 'tcp://127.0.0.1:65536': port 65536 is outside 1 to 65535");
        // Only that the address is taken: a machine without IPv6 refuses it otherwise.
        add("IPv6 host in brackets", "", "--port rfc2217://[::1]:1 info 1A", 3, "",
            "cannot open rfc2217://[::1]:1: *", "");
        add("unknown host", "", "--port rfc2217://nothere.invalid:4001 info 1A", 3, "",
            "cannot open rfc2217://nothere.invalid:4001: host not found", "");
        add("port refused", "", "--port tcp://127.0.0.1:1 info 1A", 3, "",
            "cannot open tcp://127.0.0.1:1: connection refused", "");

        // Commissioning: readers at any rate, and two readers that share an address. Unpaced,
        // delay=150 stands in for the line time at 4800 baud: longer than a probe's margin,
        // shorter than the probe there.
        add("scan --rates all, each device at its own rate",
            "addr=01,baud=9600,name=Nine;addr=02,baud=57600,name=Fifty;addr=03,name=Fast;"
            "addr=04,baud=4800,delay=150,name=Slow",
            "scan --rates all --timeout 10 --from 01 --to 04", 0,
            "03\tFast\t115200|02\tFifty\t57600|01\tNine\t9600|04\tSlow\t4800",
            "4 device(s) found; slowest answer after 1*",
            QString("01 0A|02 0A|03 0A|04 0A|").repeated(6).chopped(1));
        const QString collision =
            "answers broken 3 of 3 times: two or more devices may share this address";
        add("scan, two devices at one address; one broken answer is noise",
            "addr=1A,name=Door;addr=1A,name=Door reader;addr=1B,name=Hall,crcnext=1",
            "scan --from 1A --to 1B" + scanFast, 1, "1A\tcollision\t" + collision + "|1B\tHall",
            "1A: " + collision + "|1 device(s) found; slowest answer after *",
            "1A 0A x3|1B 0A|1B FF|1B 0A");
        refused("scan, a rate not in the table", "scan --rates 9600,1234",
                "scan: bad rate '1234' in --rates: one or more of "
                "4800,9600,19200,38400,57600,115200, or all");
        add("survey at a shared address", "addr=1A,name=Door;addr=1A,name=Door reader;addr=1B",
            "survey --from 1A --to 1B" + scanFast, 1,
            "1A\tfailed\t" + collision + "|1B\tAPP 1.0.0\tTalvik RFID reader\t115200\t1B\toff\t",
            "1A: " + collision + "|1 device(s) found; slowest answer after *",
            "1A 0A x3|1B 0A|1B 09|1B 0A|1B 0C");
        add("info at a shared address", "addr=1A,name=Door;addr=1A,name=Gate", "info 1A", 1, "",
            "1A: " + collision, "1A 09|1A 0A|1A FF|1A 0A|1A FF|1A 0A|1A FF");
        add("survey of an empty bus", "", "survey --from 10 --to 12", 1, "",
            "no device answered from 10 to 12", "10 0A|11 0A|12 0A");
        add("survey, a settings request answered with an error", "addr=01;addr=02,error=0C",
            "--json survey --from 01 --to 02", 1,
            R"({"address":"01","baud":115200,"name":"Talvik RFID reader","own_address":"01",)"
            R"("port":"$PORT","short_name":"","terminated":false,"version":"APP 1.0.0"}|)"
            R"({"address":"02","port":"$PORT","reason":"error answer to the settings request: )"
            R"(Error received to command 0x0C - err no :0x00EE","result":"failed"})",
            "02: error answer to the settings request: Error received to command 0x0C - err no "
            ":0x00EE|2 device(s) found; slowest answer after *",
            "01 0A|01 09|01 0A|01 0C|02 0A|02 09|02 0A|02 0C");

        // A reader replaced: the old one's backup restored to the new one at the factory address.
        const QString door = R"({"address":"1A","baud":9600,"name":"Door","own_address":"1A",)"
                             R"("port":"/dev/ttyUSB0","short_name":"DOOR","terminated":true,)"
                             R"("version":"APP 0.9.0"})";
        QVERIFY(writeFile("door.json", door.toUtf8()) &&
                writeFile("bus.json",
                          QString(door).replace("1A", "01").toUtf8() + '\n' + door.toUtf8()));
        const QString written = "settings written, device restarting";
        const QString differs = R"(: %1 "%2", the backup's "%3": not written, the device has no )"
                                "request for it|";
        // Read, written, read back at the new address.
        const auto restoring = [](const char *at, const char *to) {
            return QString("%1 09|%1 0A|%1 0C|%1 0B|%2 09|%2 0A|%2 0C").arg(at, to);
        };
        add("backup, JSON in text mode; a silent device", "addr=1A,short=ENTR,term=1",
            "backup 1a 02", 1,
            R"({"address":"1A","baud":115200,"name":"Talvik RFID reader","own_address":"1A",)"
            R"("port":"$PORT","short_name":"ENTR","terminated":true,"version":"APP 1.0.0"}|)"
            R"({"address":"02","port":"$PORT","reason":"no answer to the version request within )"
            R"(500 ms","result":"failed"})",
            "02: no answer to the version request within 500 ms", "1A 09|1A 0A|1A 0C|02 09");
        add("restore to the factory address: the old address and rate, read back there",
            "addr=80,name=Spare", "restore @door.json 80", 0, "80\trestored\t1A",
            "80" + differs.arg("version", "APP 1.0.0", "APP 0.9.0") + "80" +
                differs.arg("identification", "Spare", "Door") + "80: " + written,
            restoring("80", "1A"));
        const QString doorDevice = "addr=1A,name=Door,version=APP 0.9.0,short=DOOR,";
        add("restore a line of a survey, the address and rate kept",
            "addr=2B,name=Door,version=APP 0.9.0",
            "--json restore --from 1A --keep-address --keep-baud @bus.json 2B", 0,
            R"({"address":"2B","own_address":"2B","port":"$PORT","result":"restored"})",
            "2B: " + written, restoring("2B", "2B"));
        add("restore where all agree writes nothing", doorDevice + "baud=9600,term=1",
            "--baud 9600 restore @door.json 1A", 0, "1A\tunchanged", "", "1A 09|1A 0A|1A 0C");
        const QString notTaken = "read back, terminated is off, not on";
        add("restore, a field that does not take", doorDevice + "baud=9600,keepterm=1",
            "--baud 9600 restore @door.json 1A", 1, "1A\tfailed\t" + notTaken,
            "1A: " + written + "|1A: " + notTaken, restoring("1A", "1A"));
        add("restore, a new rate through tcp", doorDevice, "--port $TCP restore @door.json 1A", 1,
            "1A\tfailed\t*",
            "1A: the backup's rate differs from the device's, which a tcp:// port cannot "
            "follow; use rfc2217:// or --keep-baud",
            "1A 09|1A 0A|1A 0C");
        // Files that are no backup, each refused with what is wrong with it.
        const auto notABackup = [&](const char *name, const QString &text, const QString &why) {
            QVERIFY(text.isEmpty() || writeFile(name, text.toUtf8()));
            refused(name, QString("restore @%1 80").arg(name),
                    QString("restore: @%1: %2").arg(name, why));
        };
        notABackup("bus.json", "", "2 objects in it: --from ADDR picks one");
        notABackup("none.json", "", "No such file or directory");
        notABackup("text.json", "door reader\n", "line 1 is not a JSON object");
        notABackup("failed.json", R"({"address":"1A","reason":"x","result":"failed"})",
                   "unknown key 'reason'");
        notABackup("nobaud.json", QString(door).remove(R"("baud":9600,)"), "no 'baud'");
        notABackup("rate.json", QString(door).replace("9600", "1234"),
                   "baud: one of 4800 9600 19200 38400 57600 115200 expected");
        notABackup("own.json", QString(door).replace(R"(own_address":"1A)", R"(own_address":"1G)"),
                   "own_address: two hexadecimal digits expected");
        notABackup("term.json", QString(door).replace("true", "1"),
                   "terminated: true or false expected");
        notABackup("name.json", QString(door).replace("DOOR", "DOORS"),
                   "short_name: at most four bytes of UTF-8 expected");
        refused("--from naming no line", "restore --from 22 @bus.json 80",
                "restore: @bus.json: 0 objects in it with address 22");
        refused("--capture to a path that cannot be written", "--capture @none/x.pcapng info 80",
                "cannot write the capture @none/x.pcapng: No such file or directory");

        // Signed images: checked before the port is opened, the signed version expected.
        add("signed image: flashed where another version runs", "addr=01,version=CLI-1;addr=80",
            "flash --trusted-key @maker.pub @signed.bin 01 80", 0,
            "01\tcurrent\tCLI-1|80\tok\tCLI-1",
            QString("image signed by key %1 (minisign public key %1), trusted comment: %2|80")
                    .arg(keyIds["maker"], kSigned) +
                bl,
            "01 09|" + update("80"));
        refused(
            "--expect-version not the signed one",
            "flash --trusted-key @maker.pub --expect-version CLI-2 @signed.bin 80",
            "flash: --expect-version 'CLI-2' is not the version the image is signed for, 'CLI-1'");
        refused("unsigned image refused", "flash --trusted-key @maker.pub @fw.bin 80",
                "flash: image refused: no signature file @fw.bin.minisig: *");
        // verify IMAGE with the keys named (none: the trusted-keys folders, empty here).
        const auto verify = [&](const char *name, const QString &keys, const QString &image,
                                const QString &refusal) {
            QString arguments = "verify @" + image;
            for (const QString &key : keys.split(' ', Qt::SkipEmptyParts))
                arguments.prepend("--trusted-key @" + key + ' ');
            const bool ok = refusal.isEmpty();
            add(name, "", arguments, ok ? 0 : 1,
                ok ? "ok\t" + keyIds["maker"] + '\t' + kSigned : "refused\t" + refusal,
                ok ? QString() : '@' + image + ": " + refusal, "");
        };
        const QString mismatch = "the image does not match its signature @%1.minisig: it was "
                                 "changed, or the signature is another image's";
        verify("verify, signed", "maker.pub", "signed.bin", "");
        verify("verify, legacy form, several keys", "other.pub maker.pub", "legacy.bin", "");
        verify("verify, no trusted keys", "", "signed.bin", "no trusted keys");
        verify("verify, no signature", "maker.pub", "fw.bin",
               "no signature file @fw.bin.minisig: only images signed by a trusted key are "
               "flashed; the maker signs with minisign -S -m @fw.bin");
        verify("verify, one byte changed", "maker.pub", "changed.bin", mismatch.arg("changed.bin"));
        verify("verify, another image's signature", "maker.pub", "another.bin",
               mismatch.arg("another.bin"));
        verify("verify, an untrusted key", "maker.pub", "untrusted.bin",
               "the image is signed by key " + keyIds["other"] +
                   ", which is not trusted: install its public key if you trust its maker");
        verify("verify, trusted comment edited", "maker.pub", "comment.bin",
               "the trusted comment of @comment.bin.minisig was altered after signing");
        verify("verify, signature truncated", "maker.pub", "cut.bin",
               "the signature @cut.bin.minisig is malformed: the 4 lines of minisign expected, 2 "
               "found");
        verify("verify, signature of garbage", "maker.pub", "garbage.bin",
               "the signature @garbage.bin.minisig is malformed: the 4 lines of minisign expected, "
               "1 found");
        verify("verify, signature over 64 KiB", "maker.pub", "big.bin",
               "cannot read the signature @big.bin.minisig: larger than 64 KiB");
        verify("verify, key file truncated", "cut.pub", "signed.bin",
               "the key file @cut.pub is malformed: the 2 lines of minisign expected, 1 found");
        verify("verify, the secret key as key file", "maker.key", "signed.bin",
               "the key file @maker.key is malformed: the key line is not base64 of 42 bytes");
        verify("verify, a key file others may write", "loose.pub", "signed.bin",
               "@loose.pub may be written by others than its owner (mode 0666): refused; run "
               "chmod go-w @loose.pub");
    }

    void command()
    {
        QFETCH(CliRun, run);

        QCOMPARE(startBus(run.devices), QString());
        if (run.arguments.contains(QRegularExpression("\\$(RFC|TCP|TLS)"))) {
            server = std::make_unique<Ser2net>(
                bus->portPath(), run.arguments.contains("$TLS") ? Ser2net::Tls : Ser2net::Plain);
            QCOMPARE(server->start(), QString());
            bus->clearTrace();
        }
        QCOMPARE(runCli(run.arguments), run.exitCode);
        QVERIFY2(matches(out, expand(run.output)), qPrintable(out));
        QVERIFY2(matches(err, expand(run.errors)), qPrintable(err));
        if (run.wire.isEmpty())
            QVERIFY(E2e::busStaysQuiet(*bus, kQuietMs));
        // A row that names a request's parameters ("1A 0E 01") sees each request whole.
        const bool whole = run.wire.contains(QRegularExpression("([0-9A-F]{2} ){2}[0-9A-F]"));
        QCOMPARE(E2e::wire(*bus, {true, false, whole ? -1 : 1, true}), E2e::lines(run.wire));
    }

    void progressLineOnATerminalOnly_data()
    {
        addColumns<QString, ErrorsTo, QString>({"arguments", "errorsTo", "drawn"});
        addRow("flash, a terminal", "flash @fw.bin 1A", ErrorsTo::Terminal, "\rflash 1A ");
        addRow("scan, a terminal", "scan --from 18 --to 1A --timeout 150", ErrorsTo::Terminal,
               "\rscan ");
        addRow("quiet flash, a terminal", "--quiet flash @fw.bin 1A", ErrorsTo::Terminal, "");
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
        bus->editDevice(0,
                        [](SimDeviceState &device) { device.config.applicationVersion = "NEW"; });
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
