// A connected reader's settings, reboot and factory reset, and the service boxes: address tag
// chains, LED, PN5180 EEPROM and the loop test.
#include "e2efixture.h"

using E2e::lines;

namespace {
constexpr uint8_t kAddress = 0x80;
// Longer than the 500 ms limit of a tag step: a running or repeating timer would show.
constexpr int kQuietMs = 700;
constexpr int kSettleMs = 150;
constexpr int kCountedCycles = 3;
// Header 06 01, its CRC-16 low byte first, name, address, flag, their CRC.
const QByteArray kAbRecord = QByteArray::fromHex("060188A7414200000701FDFD");
const QString kSelected =
    QStringLiteral("Tag detected...|Reading UID...|UID: 04AB12CD34EF00|Tag activated...|");
const QString kTagTimeout = QStringLiteral("Read/Write timeout - please try again");
const QString kTagControls = QStringLiteral("leTagDeviceAddress leTagShortName cbTagTerminated");
const QString kSettingsRead = QLatin1String(E2e::kSettingsReceived);
const QString kVersionLine = QStringLiteral("Firmware version is: APP 3.1.4");
const QString kWritten = QStringLiteral(
    "Writing new device settings...|Settings writed. Device is rebooting...|Reconnecting...");

// The lines of a good read of these tag fields: address, name, terminated.
QString readLog(const QString &fields)
{
    const QStringList f = fields.split(' ');
    return QStringLiteral("Reading tag info|Valid address tag found.|Address: 0x%1|Short name: "
                          "%2|Terminated: %3|Sending HALT command to disable RF field.")
        .arg(f[0], f[1], f[2] == "1" ? "true" : "false");
}
} // namespace

class TestE2eService : public QObject
{
    Q_OBJECT

    std::unique_ptr<E2eBench> bench;
    int id = -1;
    ToolDriver &tool() { return bench->tool(); }

    // Tags whose UIDs differ in the last byte only (04AB12CD34EF00, ...), the record in pages 4-6.
    void putTags(int count, const QByteArray &record = QByteArray())
    {
        QVector<SimTag> tags;
        for (int i = 0; i < count; ++i) {
            tags << SimTag::create(QByteArray::fromHex("04AB12CD34EF") + char(i));
            tags.last().pages.replace(kAddressTagFirstPage * 4, record.size(), record);
        }
        bench->bus().setTags(id, tags);
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
        addColumns<QString, int, QString, QString, QString>(
            {"name", "baud", "request", "faults", "shownName"});
        // Between the 500 ms of most answers and the 1000 ms a settings write may take.
        addRow("two characters, slow to store", "AB", 115200, "05 80 01 41 42 00 00", "late=0B:700",
               "AB");
        // Cut inside the third character: two of three umlauts come back.
        addRow("UTF-8 name longer than four bytes", "ÄÖÜ", 115200, "05 80 01 C3 84 C3 96", "",
               "ÄÖ");
        // The device only hears frames at its own rate: every request of the reconnect got through.
        addRow("new baud rate", "AB", 38400, "03 80 01 41 42 00 00", "", "AB");
    }

    void settingsWrite()
    {
        QFETCH(QString, name);
        QFETCH(int, baud);
        QFETCH(QString, request);
        QFETCH(QString, faults);
        QFETCH(QString, shownName);

        setFaults(faults);
        tool().enter("cbTerminated cbDeviceComSpeed leDeviceShortName",
                     QStringLiteral("1 %1 %2").arg(baud).arg(name));
        QVERIFY(tool().click("btSaveSettings"));
        QVERIFY(tool().waitForLog(kSettingsRead));
        QCOMPARE(E2e::wire(bench->bus()), lines("0B " + request + "|09|0A|0C"));
        QCOMPARE(tool().logLines(), lines(kWritten + '|' + kVersionLine + '|' + kSettingsRead));
        QCOMPARE(
            QStringLiteral("%1 ").arg(bench->bus().lineBaudRate()) +
                tool().text("cbConnectionSpeed cbDeviceComSpeed leDeviceShortName cbTerminated"),
            QStringLiteral("%1 %1 %1 %2 1").arg(baud).arg(shownName));
        QCOMPARE(E2e::connectionLook(*bench), QLatin1String(E2e::kConnectedLook));
    }

    // One address-tag chain: the tags in the field and their pages 4 to 6 (a write starts from
    // empty tags and must leave the record on them), what the operator typed, how late the HALT
    // is answered; then the requests, the log and the controls.
    void tagChain_data()
    {
        addColumns<bool, int, QByteArray, QString, QString, QString, QString, QString>(
            {"write", "tagsInField", "record", "typed", "haltFaults", "requests", "log", "shown"});
        const QString readBack = "02|03 00|04 00|40 04 03";
        const auto writeRequests = [](const QByteArray &record) -> QString {
            return "02|03 00|04 00|41 04 03 " + record.toHex(' ').toUpper() + "|40 04 03|05";
        };
        const QString written = kSelected + "Writing address tag...|Write ACK|";
        const QByteArray wxyz = QByteArray::fromHex("060188A75758595AFE00578E");
        // One digit typed: the read-back shows it as two.
        addRow("write, two letters and one digit", true, 1, kAbRecord, "7 AB 1", "",
               writeRequests(kAbRecord), written + readLog("07 AB 1") + "|HALT done.", "07 AB 1");
        addRow("write, four letters fill the field", true, 1, wxyz, "FE WXYZ 0", "",
               writeRequests(wxyz), written + readLog("FE WXYZ 0") + "|HALT done.", "FE WXYZ 0");
        addRow("write, address field empty", true, 1, QByteArray(12, '\0'), " KEEP 1", "", "",
               "Please enter correct tag address defice address!", " KEEP 1");
        // The name ends at its first zero; any flag byte but 0 terminates.
        addRow("read, HALT answered", false, 1, QByteArray::fromHex("060188A74B31003980051411"),
               "5A OLD 0", "", readBack + "|05", kSelected + readLog("80 K1 1") + "|HALT done.",
               "80 K1 1");
        // A late answer still ends the chain after the timeout message.
        addRow("read, HALT late", false, 1, QByteArray::fromHex("060188A7474154453C00171E"),
               "5A KEEP 1", "late=05:900", readBack + "|05",
               kSelected + readLog("3C GATE 0") + '|' + kTagTimeout + "|HALT done.", "3C GATE 0");
        addRow("read, no tag", false, 0, kAbRecord, "5A KEEP 1", "", "02", "No tag detected",
               "5A KEEP 1");
        addRow("read, two tags", false, 2, kAbRecord, "5A KEEP 1", "", "02",
               "Too many tags on the antenna (2).", "5A KEEP 1");
    }

    void tagChain()
    {
        QFETCH(bool, write);
        QFETCH(QByteArray, record);
        QFETCH(QString, log);

        QFETCH(int, tagsInField);
        putTags(tagsInField, write ? QByteArray(12, '\0') : record);
        QFETCH(QString, haltFaults);
        setFaults(haltFaults);
        QFETCH(QString, typed);
        tool().enter(kTagControls, typed);
        QVERIFY(tool().click(write ? "btWriteAddressTag" : "btReadAddressTag"));
        QVERIFY(tool().waitForLog(lines(log).last()));
        // The chain has ended: no further step, HALT or timer left running.
        QVERIFY(tool().logStaysQuiet(kQuietMs));
        QCOMPARE(tool().logLines(), lines(log));
        QTEST(E2e::wire(bench->bus()).join('|'), "requests");
        QTEST(tool().text(kTagControls), "shown");
        for (const SimTag &tag : bench->bus().device(id).config.tags)
            QCOMPARE(tag.readPages(kAddressTagFirstPage, 3), record);
    }

    // The PN5180 EEPROM box: a read fills the value in, a write is acknowledged.
    void pnEeprom()
    {
        tool().enter("lePnAddress", "A");
        QVERIFY(tool().click("btReadPnEeprom") && tool().waitForLog("Value received: 5C"));
        tool().enter("lePnValue", "99");
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

        putTags(tagCount);
        setFaults(faults);
        tool().enter("cbReadPage", QString::number(readPage));
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
