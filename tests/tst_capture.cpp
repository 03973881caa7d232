// Captures of the line as Wireshark reads them: the pcapng blocks byte for byte, the frames as
// they were on the line, and Debian's tshark with the shipped dissector on captures of a scan, an
// info and a flash by both programs.
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

private slots:
    void blockLayout()
    {
        // Section header, interface (USER0, microseconds), an outbound frame, an inbound one
        // with a comment: lengths, padding to 32 bits and little-endian fields.
        using Direction = PcapngWriter::Direction;
        const QByteArray blocks =
            PcapngWriter::sectionHeaderBlock("tst") + PcapngWriter::interfaceDescriptionBlock() +
            PcapngWriter::enhancedPacketBlock(hex("F50400FBFF010917BF"), Direction::Outbound,
                                              0x0123456789AB, QString()) +
            PcapngWriter::enhancedPacketBlock(hex("F50500FAFF0100090000"), Direction::Inbound,
                                              0x0123456789AC, "CRC error");
        QCOMPARE(blocks.toHex(),
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
    }

    void framesAsOnTheLine_data()
    {
        // Chunks of one direction, "+MS" a pause; then each packet as "HEX|comment".
        addColumns<QString, QString>({"chunks", "packets"});
        addRow("split anywhere, two in one chunk", "F504 00FBFF010917BFF50400FB FF010917BF",
               "GOOD| GOOD|");
        addRow("noise in two bursts, a CRC error, then a frame in the same chunk",
               "33 +21 0011F50400FBFF01091700F50400FBFF010917BF",
               "33|1 byte(s) outside any frame 0011|2 byte(s) outside any frame "
               "F50400FBFF01091700|CRC error: the frame carries 0x0017, its bytes give 0xBF17 "
               "GOOD|");
        addRow("a header of impossible length", "F51508EAF7 GOOD",
               "F51508EAF7|a header announces length 2069, outside 3 to 2068 GOOD|");
        addRow("cut short by a pause, and by the end of the run", "F50400FBFF01 +501 GOOD F50400FB",
               "F50400FBFF01|frame cut short: 6 of 9 bytes GOOD| F50400FB|4 byte(s) outside any "
               "frame");
    }

    void framesAsOnTheLine()
    {
        QFETCH(QString, chunks);
        QFETCH(QString, packets);
        QStringList seen;
        CaptureFramer framer([&seen](const QByteArray &bytes, const QString &problem, int64_t) {
            seen << bytes.toHex().toUpper() + '|' + problem;
        });
        int64_t nowUs = 0;
        for (const QString &chunk : chunks.replace("GOOD", "F50400FBFF010917BF").split(' ')) {
            const QByteArray bytes = QByteArray::fromHex(chunk.toLatin1());
            if (chunk.startsWith('+'))
                nowUs += chunk.mid(1).toInt() * 1000;
            else
                framer.feed(bytes.constData(), bytes.size(), nowUs);
        }
        framer.finish();
        QCOMPARE(seen.join(' '), packets.replace("GOOD", "F50400FBFF010917BF"));
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
                image.write(simImage("CAP-1", kImageSize)) == kImageSize && image.flush());
        QStringList captures{options.captureFile};
        QVector<QStringList> expected(1);
        for (const QString &run : QStringList{"scan --from 19 --to 1A --timeout 40", "info 1A",
                                              "flash " + image.fileName() + " 1A"}) {
            const int before = bus.trace().size();
            captures << dir.filePath(QString("cli%1.pcapng").arg(captures.size()));
            QProcess cli;
            cli.start(TALVIK_CLI_PATH,
                      ("--port " + bus.portPath() + " --capture " + captures.last() + ' ' + run)
                          .split(' '));
            QVERIFY(cli.waitForFinished(kRunTimeoutMs) && cli.exitCode() == 0);
            expected << QStringList();
            for (const SimTraceEntry &entry : bus.trace().mid(before)) {
                expected.first() << expectedLine(entry, true);
                expected.last() << expectedLine(entry, false);
            }
        }
        bus.stop();

        // tshark takes a second to start: the four run side by side.
        QProcess tsharks[4];
        for (int i = 0; i < 4; ++i)
            tsharks[i].start("tshark", {"-r", captures.at(i), "-X", "lua_script:" TALVIK_DISSECTOR,
                                        "-T", "fields", "-e", "frame.packet_flags_direction", "-e",
                                        "_ws.col.Info", "-e", "frame.comment"});
        // Each frame's direction, Info column up to its data, comment up to its details.
        QStringList decoded;
        QVector<QStringList> lines;
        for (QProcess &tshark : tsharks) {
            QVERIFY2(tshark.waitForFinished(kRunTimeoutMs) && tshark.exitCode() == 0,
                     tshark.readAllStandardError().constData());
            decoded << QString::fromUtf8(tshark.readAllStandardOutput());
            lines << QString(decoded.last())
                         .remove(QRegularExpression(": [^\t\n]*(?=\t)|:[^\n]*"))
                         .split('\n', Qt::SkipEmptyParts);
        }
        QCOMPARE(lines, expected);
        QVERIFY(lines.at(0).filter("[bad CRC]").size() == 1 &&
                lines.at(1).filter("[bad CRC]").size() == 1);
        for (const char *answer :
             {"1A Answer CmdGetVersion success: APP 1.0.0",
              "1A Answer CmdGetDeviceName success: Door",
              "1A Answer CmdGetSettings success: baud 115200, address 1A, terminated on, short "
              "name \"DOOR\"",
              "1A Answer CmdGetVersion success: CAP-1"})
            QVERIFY2(decoded.first().contains(answer) && decoded.mid(1).join("").contains(answer),
                     answer);
    }
};

QTEST_GUILESS_MAIN(TestCapture)
#include "tst_capture.moc"
