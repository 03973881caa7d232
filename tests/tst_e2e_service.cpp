// A connected reader's settings, reboot and factory reset, and the service boxes: address tag
// chains, LED, PN5180 EEPROM and the loop test.
#include "e2efixture.h"
#include "ser2net.h"

using E2e::lines;

namespace {
constexpr uint8_t kAddress = 0x80;
// Longer than the 500 ms limit of a tag step: a running or repeating timer would show.
constexpr int kQuietMs = 700;
// Past the HALT's 500 ms limit, well before the test gives up; or never within the test.
constexpr int kLateHaltMs = 900;
constexpr int kNeverMs = 60000;
// Keeps the loop test's one-page read in flight while it is stopped.
constexpr int kLatePageReadMs = 300;
constexpr int kSettleMs = 150;
constexpr int kCountedCycles = 3;
constexpr int kRetryPeriodMs = 1000;
// Inside the loop test's 500 ms for the UID; with the HALT's extra, inside its own 1000 ms only.
constexpr int kSlowAnswerMs = 350;
constexpr int kSlowHaltExtraMs = 500;
// Header 06 01, its CRC-16 low byte first, name, address, flag, their CRC.
const QByteArray kAbRecord = QByteArray::fromHex("060188A7414200000701FDFD");
const QByteArray kGateRecord = QByteArray::fromHex("060188A7474154453C00171E");
const QString kSelected =
    QStringLiteral("Tag detected...|Reading UID...|UID: 04AB12CD34EF00|Tag activated...|");
const QString kTwoTags = QStringLiteral("Too many tags on the antenna (2).");
// The soak: 20,000 exchanges, 2 % broken answers, a tag moving in and out of the field.
constexpr int kSoakExchanges = 20000;
constexpr double kSoakCorruptRate = 0.02;
constexpr int kTagInFieldMaxMs = 700;
constexpr int kTagOutOfFieldMaxMs = 150;
// Longer than any timeout: the line is never this quiet in a healthy run.
constexpr qint64 kStallMs = 3000;
constexpr int kSoakLimitMs = 20 * 60 * 1000;

// What went over the line, counted as the soak's relations need it.
struct LineCounts
{
    int answers = 0, broken = 0, found = 0, notFound = 0, errors = 0, halts = 0;
    int tagCountRequests = 0, crcNotices = 0, unheardSilent = 0, afterStop = 0;

    void count(const SimTraceEntry &entry, bool stopped)
    {
        const uint8_t first = uint8_t(entry.payload.isEmpty() ? 0 : entry.payload.at(0));
        if (entry.isRequest()) {
            afterStop += stopped;
            crcNotices += first == kStatusError;
            unheardSilent += entry.note.contains(QLatin1String("silent"));
            tagCountRequests += entry.command() == CmdGetTagCount;
            return;
        }
        ++answers;
        if (!entry.crcOk)
            ++broken;
        else if (first == kStatusError)
            ++errors;
        else if (entry.command() == CmdGetTagCount)
            ++(entry.payload.size() > 2 && entry.payload.at(2) == 1 ? found : notFound);
        else if (entry.command() == CmdHalt)
            ++halts;
    }
};

// Between the 500 ms of most answers and the 1000 ms a settings write may take.
constexpr int kSlowStoreMs = 700;
// Into the tool's 1500 ms restart pause.
constexpr int kLateEepromMs = 200;
const QString kSettingsRead = QLatin1String(E2e::kSettingsReceived);
const QString kVersionLine = QStringLiteral("Firmware version is: APP 3.1.4");
const QString kQuestion =
    QStringLiteral("Question: Do you really want to reset device to factory default?");
const QString kWritten = QStringLiteral(
    "Writing new device settings...|Settings writed. Device is rebooting...|Reconnecting...");

// "address|name|terminated" as a good read logs it.
QString readLog(const QString &fields)
{
    const QStringList f = fields.split('|');
    return "Reading tag info|Valid address tag found.|Address: 0x" + f[0] + "|Short name: " + f[1] +
           "|Terminated: " + f[2] + "|Sending HALT command to disable RF field.";
}
} // namespace

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
    // The tag controls as "address|name|terminated"; fills them first when given.
    QString tagControls(const QString &fill = QString())
    {
        if (!fill.isEmpty()) {
            tool().setText("leTagDeviceAddress", fill.section('|', 0, 0));
            tool().setText("leTagShortName", fill.section('|', 1, 1));
            tool().setChecked("cbTagTerminated", fill.section('|', 2) == "true");
        }
        return tool().text("leTagDeviceAddress") + '|' + tool().text("leTagShortName") + '|' +
               (tool().widget<QCheckBox>("cbTagTerminated")->isChecked() ? "true" : "false");
    }
    void setFaults(int lateCommand, int lateMs, int errorCommand = kNoCommand, bool silent = false,
                   int delayMs = 0)
    {
        bench->bus().editDevice(id, [=](SimDeviceState &device) {
            device.config.faults.lateCommand = lateCommand;
            device.config.faults.lateAnswerMs = lateMs;
            device.config.faults.errorCommand = errorCommand;
            device.config.faults.silent = silent;
            device.config.faults.answerDelayMs = delayMs;
        });
    }
    // The loop-test counters as labStatistic shows them: not found, found, retry, errors.
    QString statistics()
    {
        static const QRegularExpression format(
            "^Not found: (\\d+)\\tFound:(\\d+)\\nRetry: (\\d+)   \\tErrors:(\\d+)$");
        const QRegularExpressionMatch match = format.match(tool().text("labStatistic"));
        return match.hasMatch() ? match.capturedTexts().mid(1).join(' ') : "malformed";
    }
    // Counts the new trace entries, taken off the bus, until done() or a stall; false on a stall.
    bool runSoak(LineCounts &line, bool stopped, const std::function<bool()> &done)
    {
        QElapsedTimer sinceAnswer;
        sinceAnswer.start();
        return ToolDriver::waitUntil(
                   [&] {
                       const int before = line.answers;
                       const auto fresh = bench->bus().run([](SimBus &bus) {
                           const QVector<SimTraceEntry> entries = bus.trace().entries();
                           bus.trace().clear();
                           return entries;
                       });
                       for (const SimTraceEntry &entry : fresh)
                           line.count(entry, stopped);
                       if (line.answers != before)
                           sinceAnswer.restart();
                       return done() || sinceAnswer.elapsed() > kStallMs;
                   },
                   kSoakLimitMs) &&
               sinceAnswer.elapsed() <= kStallMs;
    }

private slots:
    void init()
    {
        SimDeviceConfig config = SimDeviceConfig::at(kAddress);
        config.applicationVersion = QStringLiteral("APP 3.1.4");
        config.eeprom[0x0A] = '\x5C';
        bench = E2e::connectedBench(config, &id);
        QVERIFY(bench);
    }
    void cleanup() { bench.reset(); }

    void settingsWrite_data()
    {
        // request: baud index, own address, terminated, then the name field
        addColumns<QString, int, QString, int, bool>(
            {"name", "baud", "request", "storeMs", "throughServer"});
        addRow("two characters, slow to store", "AB", 115200, "05 80 01 41 42 00 00", kSlowStoreMs,
               false);
        addRow("empty name", "", 115200, "05 80 01 00 00 00 00", 0, false);
        // Cut inside the third character: what the field shows then is not defined.
        addRow("UTF-8 name longer than four bytes", "ÄÖÜ", 115200, "05 80 01 C3 84 C3 96", 0,
               false);
        // The device only hears frames at its own rate: every request of the reconnect got through.
        addRow("new baud rate", "AB", 38400, "03 80 01 41 42 00 00", 0, false);
        // The window sets the new rate through the server on the new connection.
        addRow("new baud rate through rfc2217", "AB", 38400, "03 80 01 41 42 00 00", 0, true);
    }

    void settingsWrite()
    {
        QFETCH(QString, name);
        QFETCH(int, baud);
        QFETCH(QString, request);
        QFETCH(int, storeMs);
        QFETCH(bool, throughServer);

        Ser2net server(bench->bus().portPath());
        if (throughServer) {
            QVERIFY(server.start().isEmpty() && tool().click("btSerialConnect"));
            tool().selectPort(server.rfc2217Url());
            QVERIFY(bench->connectTo(kAddress));
            bench->bus().clearTrace();
            tool().clearLog();
        }
        setFaults(CmdSetSettings, storeMs);
        tool().setChecked("cbTerminated", true);
        tool().widget<QComboBox>("cbDeviceComSpeed")->setCurrentIndex(baudIndexOf(baud));
        QVERIFY(tool().setText("leDeviceShortName", name));
        QVERIFY(tool().click("btSaveSettings"));
        QVERIFY(tool().waitForLog(kSettingsRead));
        QCOMPARE(E2e::wire(bench->bus()), lines("0B " + request + "|09|0A|0C"));
        QCOMPARE(tool().logLines(), lines(kWritten + '|' + kVersionLine + '|' + kSettingsRead));
        QCOMPARE(QString::number(bench->bus().lineBaudRate()) + tool().text("cbConnectionSpeed") +
                     tool().text("cbDeviceComSpeed"),
                 QString::number(baud).repeated(3));
        QVERIFY(name.size() > 2 || tool().text("leDeviceShortName") == name);
        QVERIFY(tool().widget<QCheckBox>("cbTerminated")->isChecked());
        // ser2net, not the window, holds the pseudo-terminal, and without an exclusive lock.
        QCOMPARE(E2e::connectionLook(*bench),
                 QString(E2e::kConnectedLook).replace("held", throughServer ? "free" : "held"));
    }

    void buttonOnItsOwn_data()
    {
        // typed: "field=text" before the click (an empty baud box: no rate chosen); focus: where
        // it is afterwards, when that matters.
        addColumns<QString, QString, QString, QString, QString, QString>(
            {"button", "typed", "request", "log", "asked", "focus"});
        // The device's acknowledgement of an LED request adds nothing to the log.
        addRow("LED on", "btLedOn", "", "0E 01", "LED - ON", "", "lePnValue");
        addRow("LED off", "btLedOff", "", "0E 00", "LED - OFF", "", "lePnValue");
        addRow("LED toggle", "btLedToggle", "", "0E 02 E8 03", "Toggle - 1sec", "", "lePnValue");
        addRow("EEPROM read, one digit", "btReadPnEeprom", "lePnAddress=A", "F4 0A",
               "Value received: 5C", "", "lePnValue");
        addRow("EEPROM write", "btWritePnEeprom", "lePnAddress=1F", "F4 1F 99",
               "EEPROM write success", "", "lePnValue");
        // A field that does not parse takes the focus; nothing is sent.
        addRow("EEPROM address empty", "btWritePnEeprom", "lePnAddress=", "",
               "Please enter correct PN address", "", "lePnAddress");
        addRow("own address empty", "btSaveSettings", "leDeviceAddress=", "",
               "Please enter correct own defice address!", "", "");
        // As after a settings answer with a baud index outside the table.
        addRow("device baud rate unknown", "btSaveSettings", "cbDeviceComSpeed=", "",
               "Please select the device baud rate before writing the settings.", "", "");
        addRow("factory reset cancelled", "btResetToDefaults", "", "", "", kQuestion, "");
        // The address is checked before the port: the connection stands.
        addRow("connect, address empty", "btSerialConnect", "leTargetAddress=", "",
               "Please enter the correct device address!", "", "leTargetAddress");
    }

    void buttonOnItsOwn()
    {
        QFETCH(QString, button);
        QFETCH(QString, typed);
        QFETCH(QString, request);
        QFETCH(QString, log);
        QFETCH(QString, focus);

        // A hidden field cannot take the focus.
        tool().widget("groupBox")->show();
        QApplication::setActiveWindow(tool().window());
        QVERIFY(QTest::qWaitForWindowActive(tool().window()));
        QVERIFY(tool().setText("lePnValue", "99"));
        tool().widget("lePnValue")->setFocus();
        const QString field = typed.section('=', 0, 0);
        if (auto *baud = tool().widget<QComboBox>(field))
            baud->setCurrentIndex(-1);
        else
            QVERIFY(field.isEmpty() || tool().setText(field, typed.section('=', 1)));
        QString question;
        tool().answerNextMessageBox(QMessageBox::Cancel, &question);
        QVERIFY(tool().click(button));
        QVERIFY(log.isEmpty() || tool().waitForLog(log));
        // The request and its answer, then room for the tool to handle it.
        QVERIFY(request.isEmpty() ||
                ToolDriver::waitUntil([&] { return bench->bus().trace().size() >= 2; }));
        QVERIFY(E2e::busStaysQuiet(bench->bus(), request.isEmpty() ? kQuietMs : kSettleMs));
        QCOMPARE(E2e::wire(bench->bus()), lines(request));
        QCOMPARE(tool().logLines(), lines(log));
        QTEST(question, "asked");
        QCOMPARE(tool().text("lePnValue"), button == "btReadPnEeprom" ? "5C" : "99");
        QVERIFY(focus.isEmpty() || QApplication::focusWidget() == tool().widget(focus));
        QCOMPARE(bench->bus().device(id).restartCount, 0);
        QCOMPARE(E2e::connectionLook(*bench), QLatin1String(E2e::kConnectedLook));
    }

    void restartRefreshesSettings_data()
    {
        addColumns<QString, QString, QString, int>(
            {"button", "firstLine", "asked", "eepromLateMs"});
        // The reboot never asks; the EEPROM answer comes back to back or while the tool sleeps.
        addRow("reboot, answers back to back", "btRestartDevice", "Rebooting device...", "", 0);
        addRow("factory reset, answer while the tool sleeps", "btResetToDefaults",
               "Resetting to factory defaults...", kQuestion, kLateEepromMs);
    }

    void restartRefreshesSettings()
    {
        QFETCH(QString, button);
        QFETCH(QString, firstLine);
        QFETCH(QString, asked);
        QFETCH(int, eepromLateMs);

        // A reboot shows what the device holds now; a reset brings its factory settings back.
        const bool reboot = asked.isEmpty();
        bench->bus().editDevice(id, [&](SimDeviceState &device) {
            DeviceSettings changed = device.config.settings;
            changed.terminated = 1;
            changed.shortName = shortNameBytes(reboot ? "BOOT" : "FACT");
            if (reboot)
                device.config.settings = changed;
            else
                device.config.factorySettings = changed;
            device.config.eeprom[0x10] = '\x5A';
            device.config.faults.lateCommand = CmdPnEeprom;
            device.config.faults.lateAnswerMs = eepromLateMs;
        });
        QVERIFY(tool().setText("lePnAddress", "10"));
        QString question;
        tool().answerNextMessageBox(QMessageBox::Ok, &question);
        QVERIFY(tool().click(button));
        // Sent in the same pass: its answer must be handled once, in order.
        QVERIFY(tool().click("btReadPnEeprom"));
        QVERIFY(tool().waitForLog(kSettingsRead));

        QCOMPARE(question, asked);
        const QString restarted = "|Done. Waiting for device...|Value received: 5A|" + kVersionLine;
        QCOMPARE(tool().logLines(), lines(firstLine + restarted + '|' + kSettingsRead));
        QCOMPARE(E2e::wire(bench->bus()),
                 lines((reboot ? "08" : "0D") + QString("|F4 10|09|0A|0C")));
        QCOMPARE(bench->bus().device(id).restartCount, 1);
        QCOMPARE(tool().text("leDeviceShortName"), reboot ? "BOOT" : "FACT");
        QVERIFY(tool().widget<QCheckBox>("cbTerminated")->isChecked());
        QCOMPARE(tool().statusBarText(), QStringLiteral("Connected|Version:APP 3.1.4"));
    }
    void tagChain_data()
    {
        addColumns<QString, int, QByteArray, QString, int, QString, QString, QString>(
            {"button", "tagCount", "record", "typed", "haltLateMs", "requests", "log", "shown"});
        // record: the tag's pages 4 to 6 at the end; a write starts from an empty tag.
        const QByteArray wxyz = QByteArray::fromHex("060188A75758595AFE00578E");
        const QString written = kSelected + "Writing address tag...|Write ACK|";
        const QString readBack = "02|03 00|04 00|40 04 03";
        addRow("write, two letters and one digit", "write", 1, kAbRecord, "7|AB|true", 0,
               "02|03 00|04 00|41 04 03 " + QString(kAbRecord.toHex(0x20).toUpper()) +
                   "|40 04 03|05",
               written + readLog("07|AB|true") + "|HALT done.", "07|AB|true");
        addRow("write, four letters fill the field", "write", 1, wxyz, "FE|WXYZ|false", 0,
               "02|03 00|04 00|41 04 03 " + QString(wxyz.toHex(0x20).toUpper()) + "|40 04 03|05",
               written + readLog("FE|WXYZ|false") + "|HALT done.", "FE|WXYZ|false");
        addRow("write, address field empty", "write", 1, QByteArray(12, '\0'), "|KEEP|true", 0, "",
               "Please enter correct tag address defice address!", "|KEEP|true");
        // The name ends at its first zero; any flag byte but 0 terminates.
        addRow("read, HALT answered", "read", 1, QByteArray::fromHex("060188A74B31003980051411"),
               "5A|OLD|false", 0, readBack + "|05",
               kSelected + readLog("80|K1|true") + "|HALT done.", "80|K1|true");
        // A late answer still ends the chain after the timeout message.
        addRow("read, HALT late", "read", 1, kGateRecord, "5A|OLD|true", kLateHaltMs,
               readBack + "|05",
               kSelected + readLog("3C|GATE|false") +
                   "|Read/Write timeout - please try again|HALT done.",
               "3C|GATE|false");
        addRow("read, HALT never answered", "read", 1, kGateRecord, "5A|OLD|true", kNeverMs,
               readBack + "|05",
               kSelected + readLog("3C|GATE|false") + "|Read/Write timeout - please try again",
               "3C|GATE|false");
        QByteArray badHeaderCrc = kAbRecord;
        badHeaderCrc[3] = char(badHeaderCrc[3] ^ 0x01);
        QByteArray badPayloadCrc = kAbRecord;
        badPayloadCrc[8] = 0x08; // address changed after the CRC was taken
        addRow("read, no tag", "read", 0, kAbRecord, "5A|KEEP|true", 0, "02", "No tag detected",
               "5A|KEEP|true");
        addRow("read, two tags", "read", 2, kAbRecord, "5A|KEEP|true", 0, "02", kTwoTags,
               "5A|KEEP|true");
        addRow("read, wrong header CRC", "read", 1, badHeaderCrc, "5A|KEEP|true", 0, readBack,
               kSelected + "Reading tag info|Wrong header CRC - it is not a valid address tag",
               "5A|KEEP|true");
        addRow("read, wrong payload CRC", "read", 1, badPayloadCrc, "5A|KEEP|true", 0, readBack,
               kSelected + "Reading tag info|Wrong payload CRC - it is not a valid address tag",
               "5A|KEEP|true");
    }

    void tagChain()
    {
        QFETCH(QString, button);
        QFETCH(int, tagCount);
        QFETCH(QByteArray, record);
        QFETCH(QString, typed);
        QFETCH(int, haltLateMs);
        QFETCH(QString, requests);
        QFETCH(QString, log);

        const bool write = button == "write";
        putTags(tagCount, write ? QByteArray(12, '\0') : record);
        setFaults(CmdHalt, haltLateMs);
        tagControls(typed);
        QVERIFY(tool().click(write ? "btWriteAddressTag" : "btReadAddressTag"));
        QVERIFY(tool().waitForLog(lines(log).last()));
        // The chain has ended: no further step, HALT or timer left running.
        QVERIFY(tool().logStaysQuiet(kQuietMs));
        QCOMPARE(tool().logLines(), lines(log));
        QCOMPARE(E2e::wire(bench->bus()), lines(requests));
        QTEST(tagControls(), "shown");
        if (tagCount > 0)
            QCOMPARE(bench->bus().device(id).config.tags.first().readPages(4, 3), record);
    }

    void tagAnswerShorterThanRecord()
    {
        // The loop test reads one page; stopped while that read is in flight, its 4-byte answer
        // reaches the address-tag check.
        putTags(1, kGateRecord);
        setFaults(CmdReadPage, kLatePageReadMs);
        const QString typed = tagControls("5A|KEEP|true");
        tool().setChecked("cbReadPage", true);
        QVERIFY(tool().click("btLoopTest"));
        QVERIFY(tool().waitForLog("Reading page 4"));
        QVERIFY(tool().click("btLoopTest"));
        const QString tooShort =
            "Tag answer too short (4 of 12 bytes) - it is not a valid address tag";
        QVERIFY(tool().waitForLog(tooShort));
        QVERIFY(E2e::busStaysQuiet(bench->bus(), kSettleMs));
        QCOMPARE(tool().logLines().mid(tool().logLines().size() - 2),
                 lines("Loop test stoped|" + tooShort));
        QCOMPARE(E2e::wire(bench->bus()), lines("02|03 00|42|40 04 01"));
        QCOMPARE(tagControls(), typed);
    }

    void loopTestCounts_data()
    {
        // counted: not found, found, retry, errors
        addColumns<int, bool, int, int, QString, QString>(
            {"tagCount", "readPage", "errorCommand", "delayMs", "counted", "cycleRequests"});
        addRow("empty field", 0, false, kNoCommand, 0, "1 0 0 0", "02|05|");
        // Each step has its own limit: the slow version answer and the slower HALT outlast one.
        addRow("one tag, slow answers", 1, false, kNoCommand, kSlowAnswerMs, "0 1 0 0",
               "02|03 00|42|05|");
        addRow("one tag, page read", 1, true, kNoCommand, 0, "0 1 0 0", "02|03 00|42|40 04 01|05|");
        addRow("error answers", 1, false, int(CmdGetTagCount), 0, "0 0 0 1", "02|");
    }

    void loopTestCounts()
    {
        QFETCH(int, tagCount);
        QFETCH(bool, readPage);
        QFETCH(int, errorCommand);
        QFETCH(int, delayMs);
        QFETCH(QString, counted);
        QFETCH(QString, cycleRequests);

        bench->bus().setTags(id, E2e::tagsOnAntenna(tagCount));
        setFaults(delayMs > 0 ? CmdHalt : kNoCommand, kSlowHaltExtraMs, errorCommand, false,
                  delayMs);
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

    void loopTestRetries_data()
    {
        addColumns<int, bool, QString>({"tagCount", "silent", "requests"});
        // Every retry asks for the tag count again; a device busy with its late HALT hears none.
        addRow("silent device", 0, true, "02|02|02");
        addRow("HALT never answered", 1, false, "02|03 00|42|05|02|02");
    }

    void loopTestRetries()
    {
        QFETCH(int, tagCount);
        QFETCH(bool, silent);
        QFETCH(QString, requests);

        bench->bus().setTags(id, E2e::tagsOnAntenna(tagCount));
        setFaults(CmdHalt, kNeverMs, kNoCommand, silent);
        QElapsedTimer clock;
        QVERIFY(tool().click("btLoopTest"));
        clock.start();
        for (int retries = 1; retries <= 2; ++retries) {
            QVERIFY(ToolDriver::waitUntil(
                [&] { return statistics().endsWith(QStringLiteral("%1 0").arg(retries)); },
                2 * kRetryPeriodMs));
            QVERIFY2(clock.elapsed() >= retries * kRetryPeriodMs * 9 / 10,
                     qPrintable(QString::number(clock.elapsed())));
        }
        QVERIFY(ToolDriver::waitUntil([&] { return E2e::wire(bench->bus()) == lines(requests); }));
        QVERIFY(tool().click("btLoopTest"));
        QCOMPARE(statistics(), QStringLiteral("0 %1 2 0").arg(tagCount));
    }

    // The loop test against a reader that breaks 2 % of its answers while a tag moves in and out
    // of its field: it must keep cycling, and its counters must match the trace exactly. Minutes
    // long (each broken answer costs a timeout), so CTest runs it on its own, labelled "soak".
    // - Found / Not found: intact answers to the tag count (02) holding 1 / 0 tags.
    // - Errors: intact error answers (the tag left between the count and the UID read).
    // - Retry: a broken answer gets the CRC error notice, which the device ignores, so the timer
    //   runs out once. At the end the device falls silent and the test stops while the first
    //   unheard request waits: Retry = broken + silent requests - 1.
    // - Tag count requests: the start, and one after each HALT answer, retry and error answer.
    void loopTestSoak()
    {
        if (!QCoreApplication::arguments().contains(QStringLiteral("loopTestSoak")))
            QSKIP("runs for minutes on its own: ctest -L soak");
        const QVector<SimTag> tag = E2e::tagsOnAntenna(1);
        bench->bus().editDevice(id, [](SimDeviceState &device) {
            device.config.faults.corruptCrcRate = kSoakCorruptRate;
        });
        LineCounts line;
        QRandomGenerator random(kSoakExchanges);
        bool inField = false;
        QElapsedTimer wall;
        wall.start();
        QDeadlineTimer nextMove(0);
        QVERIFY(tool().click("btLoopTest"));
        QVERIFY2(runSoak(line, false,
                         [&] {
                             if (nextMove.hasExpired()) {
                                 inField = !inField;
                                 bench->bus().setTags(id, inField ? tag : QVector<SimTag>());
                                 nextMove.setRemainingTime(random.bounded(
                                     inField ? kTagInFieldMaxMs : kTagOutOfFieldMaxMs));
                             }
                             // The log has no line limit; the operator's view is not soaked here.
                             if (line.answers % 1000 == 0)
                                 tool().clearLog();
                             return line.answers >= kSoakExchanges;
                         }),
                 "the loop test stalled");
        const LineCounts faulty = line;

        // Wind down: no more broken answers, then silence, stopped while a request goes unheard.
        bench->bus().setTags(id, tag);
        setFaults(kNoCommand, 0);
        QElapsedTimer settle;
        settle.start();
        QVERIFY(runSoak(line, false, [&] { return settle.elapsed() > 2 * kRetryPeriodMs; }));
        setFaults(kNoCommand, 0, kNoCommand, true);
        QVERIFY(runSoak(line, false, [&] { return line.unheardSilent > 0; }));
        QVERIFY(tool().click("btLoopTest"));
        settle.restart();
        runSoak(line, true, [&] { return settle.elapsed() > kQuietMs; });

        const QStringList counters = statistics().split(' ');
        qInfo("%d exchanges, %d broken, in %lld s; not found, found, retry, errors: %s",
              line.answers, line.broken, wall.elapsed() / 1000, qPrintable(statistics()));
        QCOMPARE(tool().logLines().constLast(), QStringLiteral("Loop test stoped"));
        QCOMPARE(line.afterStop, 0);
        QCOMPARE(counters, (QStringList{QString::number(line.notFound), QString::number(line.found),
                                        QString::number(line.broken + line.unheardSilent - 1),
                                        QString::number(line.errors)}));
        QCOMPARE(line.tagCountRequests,
                 1 + line.halts + counters.at(2).toInt() + counters.at(3).toInt());
        QCOMPARE(line.crcNotices, line.broken);
        // The run saw what it claims to soak: every outcome, at about the rate intended.
        QVERIFY(line.found > 0 && line.notFound > 0 && line.errors > 0);
        QVERIFY2(faulty.broken > faulty.answers / 100 && faulty.broken < faulty.answers * 3 / 100,
                 qPrintable(QString::number(faulty.broken)));
    }
};

QTEST_MAIN(TestE2eService)
#include "tst_e2e_service.moc"
