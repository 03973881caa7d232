// A connected reader's settings, reboot and factory reset, and the service boxes: address tag
// chains, LED, PN5180 EEPROM and the loop test.
#include "e2efixture.h"
#include "ser2net.h"

using E2e::lines;

namespace {
constexpr uint8_t kAddress = 0x80;
// Longer than the 500 ms limit of a tag step: a running or repeating timer would show.
constexpr int kQuietMs = 700;
constexpr int kSettleMs = 150;
constexpr int kCountedCycles = 3;
// Header 06 01, its CRC-16 low byte first, name, address, flag, their CRC.
const QByteArray kAbRecord = QByteArray::fromHex("060188A7414200000701FDFD");
const QByteArray kGateRecord = QByteArray::fromHex("060188A7474154453C00171E");
const QString kSelected =
    QStringLiteral("Tag detected...|Reading UID...|UID: 04AB12CD34EF00|Tag activated...|");
const QString kTagTimeout = QStringLiteral("Read/Write timeout - please try again");
const QString kSettingsRead = QLatin1String(E2e::kSettingsReceived);
const QString kVersionLine = QStringLiteral("Firmware version is: APP 3.1.4");
const QString kWritten = QStringLiteral(
    "Writing new device settings...|Settings writed. Device is rebooting...|Reconnecting...");

// The tag controls: leTagDeviceAddress, leTagShortName, cbTagTerminated.
struct TagFields
{
    QString address;
    QString name;
    bool terminated = false;
    bool operator==(const TagFields &other) const
    {
        return address == other.address && name == other.name && terminated == other.terminated;
    }
};

// One address-tag chain: the tags in the field and their pages 4 to 6, what the operator typed,
// how late the HALT is answered; then the requests, the log and the controls.
struct TagChain
{
    bool write = false;
    int tagsInField = 1;
    QByteArray record; // a write starts from an empty tag and must leave this on it
    TagFields typed;
    QString haltFaults; // in the simulator's keys
    QString requests;
    QString log;
    TagFields shown;
};
constexpr bool kWrite = true;
constexpr bool kRead = false;

// The lines of a good read of these fields.
QString readLog(const TagFields &f)
{
    return QStringLiteral("Reading tag info|Valid address tag found.|Address: 0x%1|Short name: "
                          "%2|Terminated: %3|Sending HALT command to disable RF field.")
        .arg(f.address, f.name, f.terminated ? "true" : "false");
}
} // namespace

Q_DECLARE_METATYPE(TagChain)

namespace QTest {
template <> char *toString(const TagFields &f)
{
    return qstrdup(qPrintable(QStringLiteral("%1|%2|%3").arg(f.address, f.name).arg(f.terminated)));
}
} // namespace QTest

class TestE2eService : public QObject
{
    Q_OBJECT

    std::unique_ptr<E2eBench> bench;
    int id = -1;
    ToolDriver &tool() { return bench->tool(); }

    void putTags(int count, const QByteArray &record)
    {
        QVector<SimTag> tags = E2e::tagsOnAntenna(count);
        for (SimTag &tag : tags)
            tag.pages.replace(kAddressTagFirstPage * 4, record.size(), record);
        bench->bus().setTags(id, tags);
    }
    TagFields tagControls()
    {
        return {tool().text("leTagDeviceAddress"), tool().text("leTagShortName"),
                tool().isChecked("cbTagTerminated")};
    }
    void fillTagControls(const TagFields &fields)
    {
        tool().setText("leTagDeviceAddress", fields.address);
        tool().setText("leTagShortName", fields.name);
        tool().setChecked("cbTagTerminated", fields.terminated);
    }
    void setFaults(const QString &keys) { bench->bus().setDeviceFaults(id, E2e::faults(keys)); }
    // The loop-test counters as labStatistic shows them: not found, found, retry, errors.
    QString statistics()
    {
        static const QRegularExpression format(
            "^Not found: (\\d+)\\tFound:(\\d+)\\nRetry: (\\d+)   \\tErrors:(\\d+)$");
        const QRegularExpressionMatch match = format.match(tool().text("labStatistic"));
        return match.hasMatch() ? match.capturedTexts().mid(1).join(' ') : "malformed";
    }

private slots:
    void init()
    {
        SimDeviceConfig config = E2e::device("addr=80,version=APP 3.1.4");
        config.eeprom[0x0A] = '\x5C';
        bench = E2e::connectedBench(config, &id);
        QVERIFY(bench);
    }
    void cleanup() { bench.reset(); }

    void settingsWrite_data()
    {
        // request: baud index, own address, terminated, then the name field
        // via: ser2net's rfc2217 port, plain or through TLS, in front of the bus
        addColumns<QString, int, QString, QString, QString, QString>(
            {"name", "baud", "request", "faults", "via", "shownName"});
        // Between the 500 ms of most answers and the 1000 ms a settings write may take.
        addRow("two characters, slow to store", "AB", 115200, "05 80 01 41 42 00 00", "late=0B:700",
               "", "AB");
        // Cut inside the third character: two of three umlauts come back.
        addRow("UTF-8 name longer than four bytes", "ÄÖÜ", 115200, "05 80 01 C3 84 C3 96", "", "",
               "ÄÖ");
        // The device only hears frames at its own rate: every request of the reconnect got through.
        addRow("new baud rate", "AB", 38400, "03 80 01 41 42 00 00", "", "", "AB");
        // The window sets the new rate through the server on the new connection.
        addRow("new baud rate through rfc2217", "AB", 38400, "03 80 01 41 42 00 00", "", "rfc2217",
               "AB");
        addRow("new baud rate through rfc2217+tls", "AB", 38400, "03 80 01 41 42 00 00", "",
               "rfc2217+tls", "AB");
    }

    void settingsWrite()
    {
        QFETCH(QString, name);
        QFETCH(int, baud);
        QFETCH(QString, request);
        QFETCH(QString, faults);
        QFETCH(QString, via);

        const bool tls = via.endsWith("tls");
        Ser2net server(bench->bus().portPath(), tls ? Ser2net::Tls : Ser2net::Plain);
        if (!via.isEmpty()) {
            QVERIFY(server.start().isEmpty() && tool().click("btSerialConnect"));
            tool().selectPort(tls ? server.tlsRfc2217Url() : server.rfc2217Url());
            QVERIFY(bench->connectTo(kAddress));
            bench->bus().clearTrace();
            tool().clearLog();
        }
        setFaults(faults);
        tool().setChecked("cbTerminated", true);
        tool().choose("cbDeviceComSpeed", QString::number(baud));
        tool().setText("leDeviceShortName", name);
        QVERIFY(tool().click("btSaveSettings"));
        QVERIFY(tool().waitForLog(kSettingsRead));
        QCOMPARE(E2e::wire(bench->bus()), lines("0B " + request + "|09|0A|0C"));
        QCOMPARE(tool().logLines(), lines(kWritten + '|' + kVersionLine + '|' + kSettingsRead));
        QCOMPARE(QString::number(bench->bus().lineBaudRate()) + tool().text("cbConnectionSpeed") +
                     tool().text("cbDeviceComSpeed"),
                 QString::number(baud).repeated(3));
        QTEST(tool().text("leDeviceShortName"), "shownName");
        QVERIFY(tool().isChecked("cbTerminated"));
        // ser2net, not the window, holds the pseudo-terminal, and without an exclusive lock.
        QCOMPARE(E2e::connectionLook(*bench),
                 QString(E2e::kConnectedLook).replace("held", via.isEmpty() ? "held" : "free"));
    }

    void tagChain_data()
    {
        QTest::addColumn<TagChain>("chain");
        const auto add = [](const char *name, bool write, int tagsInField, const QByteArray &record,
                            const TagFields &typed, const QString &haltFaults,
                            const QString &requests, const QString &log, const TagFields &shown) {
            QTest::newRow(name) << TagChain{write,      tagsInField, record, typed,
                                            haltFaults, requests,    log,    shown};
        };
        const QString readBack = "02|03 00|04 00|40 04 03";
        const auto writeRequests = [](const QByteArray &record) {
            return "02|03 00|04 00|41 04 03 " + record.toHex(' ').toUpper() + "|40 04 03|05";
        };
        const QString written = kSelected + "Writing address tag...|Write ACK|";
        const QByteArray wxyz = QByteArray::fromHex("060188A75758595AFE00578E");
        const TagFields ab7{"07", "AB", true}, wxyzFe{"FE", "WXYZ", false};
        // One digit typed: the read-back shows it as two.
        add("write, two letters and one digit", kWrite, 1, kAbRecord, {"7", "AB", true}, "",
            writeRequests(kAbRecord), written + readLog(ab7) + "|HALT done.", ab7);
        add("write, four letters fill the field", kWrite, 1, wxyz, wxyzFe, "", writeRequests(wxyz),
            written + readLog(wxyzFe) + "|HALT done.", wxyzFe);
        const TagFields keep{"5A", "KEEP", true}, emptyAddress{"", "KEEP", true};
        add("write, address field empty", kWrite, 1, QByteArray(12, '\0'), emptyAddress, "", "",
            "Please enter correct tag address defice address!", emptyAddress);
        // The name ends at its first zero; any flag byte but 0 terminates.
        const TagFields k1{"80", "K1", true}, gate{"3C", "GATE", false};
        add("read, HALT answered", kRead, 1, QByteArray::fromHex("060188A74B31003980051411"),
            {"5A", "OLD", false}, "", readBack + "|05", kSelected + readLog(k1) + "|HALT done.",
            k1);
        // A late answer still ends the chain after the timeout message.
        add("read, HALT late", kRead, 1, kGateRecord, keep, "late=05:900", readBack + "|05",
            kSelected + readLog(gate) + '|' + kTagTimeout + "|HALT done.", gate);
        add("read, no tag", kRead, 0, kAbRecord, keep, "", "02", "No tag detected", keep);
        add("read, two tags", kRead, 2, kAbRecord, keep, "", "02",
            "Too many tags on the antenna (2).", keep);
    }

    void tagChain()
    {
        QFETCH(TagChain, chain);

        putTags(chain.tagsInField, chain.write ? QByteArray(12, '\0') : chain.record);
        setFaults(chain.haltFaults);
        fillTagControls(chain.typed);
        QVERIFY(tool().click(chain.write ? "btWriteAddressTag" : "btReadAddressTag"));
        QVERIFY(tool().waitForLog(lines(chain.log).last()));
        // The chain has ended: no further step, HALT or timer left running.
        QVERIFY(tool().logStaysQuiet(kQuietMs));
        QCOMPARE(tool().logLines(), lines(chain.log));
        QCOMPARE(E2e::wire(bench->bus()), lines(chain.requests));
        QCOMPARE(tagControls(), chain.shown);
        for (const SimTag &tag : bench->bus().device(id).config.tags)
            QCOMPARE(tag.readPages(kAddressTagFirstPage, 3), chain.record);
    }

    // The PN5180 EEPROM box: a read fills the value in, a write is acknowledged.
    void pnEeprom()
    {
        tool().setText("lePnAddress", "A");
        QVERIFY(tool().click("btReadPnEeprom") && tool().waitForLog("Value received: 5C"));
        tool().setText("lePnValue", "99");
        QVERIFY(tool().click("btWritePnEeprom") && tool().waitForLog("EEPROM write success"));
        QCOMPARE(E2e::wire(bench->bus()), lines("F4 0A|F4 0A 99"));
    }

    void loopTestCounts_data()
    {
        // counted: not found, found, retry, errors
        addColumns<int, bool, QString, QString, QString>(
            {"tagCount", "readPage", "faults", "counted", "cycleRequests"});
        addRow("empty field", 0, false, "", "1 0 0 0", "02|05|");
        // Each step has its own limit: inside the 500 ms for the UID, and with the HALT's extra
        // inside its own 1000 ms only.
        addRow("one tag, slow answers", 1, false, "delay=350,late=05:500", "0 1 0 0",
               "02|03 00|42|05|");
        addRow("one tag, page read", 1, true, "", "0 1 0 0", "02|03 00|42|40 04 01|05|");
        addRow("error answers", 1, false, "error=02", "0 0 0 1", "02|");
        // Every retry, a second after the last request, asks for the tag count again.
        addRow("silent device", 0, false, "silent=1", "0 0 1 0", "02|");
        // A broken answer gets the CRC error notice, which the device ignores: a retry, not an
        // error, and the tag count asked again.
        addRow("broken answers", 1, false, "crcrate=1", "0 0 1 0", "02|FF FF 02|");
    }

    void loopTestCounts()
    {
        QFETCH(int, tagCount);
        QFETCH(bool, readPage);
        QFETCH(QString, faults);
        QFETCH(QString, counted);
        QFETCH(QString, cycleRequests);

        bench->bus().setTags(id, E2e::tagsOnAntenna(tagCount));
        setFaults(faults);
        tool().setChecked("cbReadPage", readPage);
        QVERIFY(tool().click("btLoopTest"));
        QCOMPARE(statistics() + tool().text("btLoopTest"), QStringLiteral("0 0 0 0Stop loop test"));
        const int counter = counted.split(' ').indexOf("1");
        QVERIFY(ToolDriver::waitUntil(
            [&] { return statistics().split(' ').value(counter).toInt() >= kCountedCycles; },
            3 * E2e::kWaitMs));
        QVERIFY(tool().click("btLoopTest"));
        const QString atStop = statistics();
        QStringList expected = QString("0 0 0 0").split(' ');
        expected[counter] = atStop.split(' ').value(counter);
        QCOMPARE(atStop + tool().text("btLoopTest"), expected.join(' ') + "Start loop test");
        // A counted cycle has sent at least its first request.
        const QStringList requests =
            lines(cycleRequests.repeated(kCountedCycles - 1) + cycleRequests.section('|', 0, 0));
        QCOMPARE(E2e::wire(bench->bus()).mid(0, requests.size()), requests);
        QCOMPARE(tool().logLines().first() + '|' + tool().logLines().last(),
                 QStringLiteral("Loop test started|Loop test stoped"));
        // Stopped: answers still in flight count nothing, the last counts stay on view, and a
        // new start clears them.
        ToolDriver::waitUntil([&] { return statistics() != atStop; }, kSettleMs);
        QCOMPARE(statistics(), atStop);
        QVERIFY(tool().click("btLoopTest"));
        QCOMPARE(statistics(), QStringLiteral("0 0 0 0"));
    }
};

QTEST_MAIN(TestE2eService)
#include "tst_e2e_service.moc"
