// Captures of the line as Wireshark reads them: the pcapng blocks byte for byte, the frames as
// they were on the line, and Debian's tshark with the shipped dissector on the simulator's
// capture of a scan, an info and a flash.
#include "e2efixture.h"
#include "linecapture.h"

namespace {
constexpr int kRunTimeoutMs = 30000;
constexpr int kImageSize = 300; // two chunks

const QMap<int, QString> kCommandNames{{0x09, "CmdGetVersion"},    {0x0A, "CmdGetDeviceName"},
                                       {0x0C, "CmdGetSettings"},   {0xF0, "CmdEnterBootloader"},
                                       {0xF1, "CmdEraseFlash"},    {0xF2, "CmdWriteFlash"},
                                       {0xF3, "CmdFinishFirmware"}};

// A frame as tshark shows it, from the simulator's record of it: direction (1 in, 2 out),
// the Info column up to the data it decodes, the capture's comment up to its details.
QString expectedLine(const SimTraceEntry &entry, bool simulatorSide)
{
    const bool inbound = entry.isRequest() == simulatorSide;
    QString info = hexByte(entry.address) + ' ';
    if (entry.payload == hex("FFFF02"))
        info += "CRC error notice";
    else if (entry.isRequest())
        info += "Request " + kCommandNames.value(entry.command());
    else
        info += "Answer " + kCommandNames.value(entry.command()) +
                (entry.payload.at(0) == 0 ? " success" : " error");
    return QStringLiteral("0x0000000%1\t%2\t%3")
        .arg(inbound ? 1 : 2)
        .arg(entry.crcOk ? info : "[bad CRC] " + info, entry.crcOk ? "" : "CRC error");
}
} // namespace

class TestCapture : public QObject
{
    Q_OBJECT

    QTemporaryDir dir;

    int runCli(const QString &arguments)
    {
        QProcess cli;
        cli.start(TALVIK_CLI_PATH, arguments.split(' '));
        return cli.waitForFinished(kRunTimeoutMs) ? cli.exitCode() : -1;
    }
    // Per capture: direction, Info column up to its data, comment up to its first colon, a line
    // a frame. tshark takes a second to start: they run side by side.
    // *infos: the whole Info columns of the simulator's capture and of the others together.
    static QVector<QStringList> decoded(const QStringList &captures, QStringList (*infos)[2])
    {
        std::vector<std::unique_ptr<QProcess>> runs;
        for (const QString &capture : captures) {
            runs.push_back(std::make_unique<QProcess>());
            runs.back()->start("tshark", {"-r", capture, "-X", "lua_script:" TALVIK_DISSECTOR, "-T",
                                          "fields", "-e", "frame.packet_flags_direction", "-e",
                                          "_ws.col.Info", "-e", "frame.comment"});
        }
        QVector<QStringList> results;
        for (const auto &tshark : runs) {
            QStringList &lines = *results.insert(results.end(), QStringList());
            if (!tshark->waitForFinished(kRunTimeoutMs) || tshark->exitCode() != 0)
                lines << "tshark failed: " + QString::fromUtf8(tshark->readAllStandardError());
            for (const QString &line :
                 QString::fromUtf8(tshark->readAllStandardOutput()).split('\n')) {
                const QStringList fields = line.split('\t');
                if (fields.size() != 3)
                    continue;
                (*infos)[results.size() > 1] << fields[1];
                lines << QStringList{fields[0], fields[1].section(": ", 0, 0),
                                     fields[2].section(':', 0, 0)}
                             .join('\t');
            }
        }
        return results;
    }

private slots:
    void blockLayout()
    {
        // Section header, interface (USER0, microseconds), an outbound frame, an inbound one
        // with a comment: lengths, padding to 32 bits and little-endian fields.
        const QString path = dir.filePath("two.pcapng");
        PcapngWriter writer;
        QVERIFY(writer.open(path, "tst"));
        QVERIFY(writer.writePacket(hex("F50400FBFF010917BF"), PcapngWriter::Direction::Outbound,
                                   0x0123456789AB));
        QVERIFY(writer.writePacket(hex("F50500FAFF0100090000"), PcapngWriter::Direction::Inbound,
                                   0x0123456789AC, "CRC error"));
        writer.close();
        QFile file(path);
        QVERIFY(file.open(QIODevice::ReadOnly));
        QCOMPARE(file.readAll().toHex(),
                 QByteArray("0a0d0d0a 28000000 4d3c2b1a 0100 0000 ffffffffffffffff"
                            " 0400 0300 74737400 00000000 28000000"
                            "01000000 20000000 9300 0000 00100000 0900 0100 06000000 00000000"
                            " 20000000"
                            "06000000 38000000 00000000 23010000 ab896745 09000000 09000000"
                            " f50400fbff010917bf000000 0200 0400 02000000 00000000 38000000"
                            "06000000 48000000 00000000 23010000 ac896745 0a000000 0a000000"
                            " f50500faff0100090000 0000 0100 0900 435243206572726f72000000"
                            " 0200 0400 01000000 00000000 48000000")
                     .replace(' ', ""));
        QVERIFY(!writer.open(dir.filePath("missing/x.pcapng"), "tst") &&
                !writer.errorString().isEmpty());
    }

    void framesAsOnTheLine_data()
    {
        // Chunks of one direction, "+MS" a pause; then each packet as "HEX|comment".
        addColumns<QStringList, QStringList>({"chunks", "packets"});
        const char *good = "F50400FBFF010917BF";
        addRow("split anywhere, two in one chunk",
               QStringList{"F504", "00FBFF010917BFF50400FB", "FF010917BF"},
               QStringList{QString(good) + '|', QString(good) + '|'});
        addRow("noise in two bursts, a CRC error, then a frame in the same chunk",
               QStringList{"33", "+21", "0011F50400FBFF01091700F50400FBFF010917BF"},
               QStringList{"33|1 byte(s) outside any frame", "0011|2 byte(s) outside any frame",
                           "F50400FBFF01091700|CRC error: the frame carries 0x0017, its bytes "
                           "give 0xBF17",
                           QString(good) + '|'});
        addRow("a header of impossible length", QStringList{"F51508EAF7", good},
               QStringList{"F51508EAF7|a header announces length 2069, outside 3 to 2068",
                           QString(good) + '|'});
        addRow("cut short by a pause, and by the end of the run",
               QStringList{"F50400FBFF01", "+501", good, "F50400FB"},
               QStringList{"F50400FBFF01|frame cut short: 6 of 9 bytes", QString(good) + '|',
                           "F50400FB|4 byte(s) outside any frame"});
    }

    void framesAsOnTheLine()
    {
        QFETCH(QStringList, chunks);
        QFETCH(QStringList, packets);
        QStringList seen;
        CaptureFramer framer([&seen](const QByteArray &bytes, const QString &problem, int64_t) {
            seen << bytes.toHex().toUpper() + '|' + problem;
        });
        int64_t nowUs = 0;
        for (const QString &chunk : chunks) {
            const QByteArray bytes = QByteArray::fromHex(chunk.toLatin1());
            if (chunk.startsWith('+'))
                nowUs += chunk.mid(1).toInt() * 1000;
            else
                framer.feed(bytes.constData(), bytes.size(), nowUs);
        }
        framer.finish();
        QCOMPARE(seen, packets);
    }

    void tsharkReadsBothProgramsCaptures()
    {
        // A scan whose first answer is broken (the tool says so and asks again), an info and a
        // flash, each captured by the command line, all of them by the simulator.
        SimBusOptions options = E2e::fastBus();
        options.captureFile = dir.filePath("sim.pcapng");
        SimBusThread bus(options);
        QVERIFY(bus.start());
        bus.addDevice(E2e::device("addr=1A,name=Door,short=DOOR,term=1,crcnext=1"));
        QFile image(dir.filePath("fw.bin"));
        QVERIFY(image.open(QIODevice::WriteOnly) &&
                image.write(simImage("CAP-1", kImageSize)) == kImageSize);
        image.close();
        const QStringList runs{"scan --from 19 --to 1A --timeout 40", "info 1A",
                               "flash " + image.fileName() + " 1A"};
        QStringList captures{options.captureFile};
        QVector<QStringList> expected(1);
        for (const QString &run : runs) {
            const int before = bus.trace().size();
            captures << dir.filePath(QString("cli%1.pcapng").arg(captures.size()));
            QCOMPARE(
                runCli("--port " + bus.portPath() + " --capture " + captures.last() + ' ' + run),
                0);
            expected << QStringList();
            for (const SimTraceEntry &entry : bus.trace().mid(before)) {
                expected.first() << expectedLine(entry, true);
                expected.last() << expectedLine(entry, false);
            }
        }
        bus.stop();

        QStringList infos[2];
        const QVector<QStringList> lines = decoded(captures, &infos);
        QCOMPARE(lines, expected);
        QCOMPARE(lines.first().filter("[bad CRC]").size(), 1);
        QCOMPARE(lines.at(1).filter("[bad CRC]").size(), 1);
        for (const char *answer :
             {"1A Answer CmdGetVersion success: APP 1.0.0",
              "1A Answer CmdGetDeviceName success: Door",
              "1A Answer CmdGetSettings success: baud 115200, address 1A, terminated on, short "
              "name \"DOOR\"",
              "1A Answer CmdGetVersion success: CAP-1"})
            QVERIFY2(infos[0].contains(answer) && infos[1].contains(answer), answer);
    }
};

QTEST_GUILESS_MAIN(TestCapture)
#include "tst_capture.moc"
