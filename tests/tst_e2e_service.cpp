// The service boxes against a simulated reader: address tag chains, LED, PN5180 EEPROM and the
// loop test.
#include "e2efixture.h"

#include <QApplication>
#include <QCheckBox>
#include <QElapsedTimer>
#include <QRegularExpression>
#include <QtTest>

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
// Header 06 01, its CRC-16 low byte first, name, address, flag, their CRC.
const QByteArray kAbRecord = QByteArray::fromHex("060188A7414200000701FDFD");
const QByteArray kGateRecord = QByteArray::fromHex("060188A7474154453C00171E");
const QString kSelected =
    QStringLiteral("Tag detected...|Reading UID...|UID: 04AB12CD34EF00|Tag activated...|");
const QString kTwoTags = QStringLiteral("Too many tags on the antenna (2).");

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
    void setFaults(int lateCommand, int lateMs, int errorCommand = kNoCommand, bool silent = false)
    {
        bench->bus().editDevice(id, [=](SimDeviceState &device) {
            device.faults.lateCommand = lateCommand;
            device.faults.lateAnswerMs = lateMs;
            device.faults.errorCommand = errorCommand;
            device.faults.silent = silent;
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

private slots:
    void init()
    {
        SimDeviceConfig config = SimDeviceConfig::at(kAddress);
        config.eeprom[0x0A] = '\x5C';
        bench = E2e::connectedBench(config, &id);
        QVERIFY(bench);
    }
    void cleanup() { bench.reset(); }

    void tagWriteThenReadBack_data()
    {
        QTest::addColumn<QString>("typed");
        QTest::addColumn<QByteArray>("record");
        QTest::addColumn<QString>("shown");
        QTest::newRow("two letters, one digit") << "7|AB|true" << kAbRecord << "07|AB|true";
        QTest::newRow("four letters fill the field")
            << "FE|WXYZ|false" << QByteArray::fromHex("060188A75758595AFE00578E")
            << "FE|WXYZ|false";
    }

    void tagWriteThenReadBack()
    {
        QFETCH(QString, typed);
        QFETCH(QByteArray, record);
        QFETCH(QString, shown);

        putTags(1, QByteArray(12, '\0'));
        tagControls(typed);
        QVERIFY(tool().click("btWriteAddressTag"));
        QVERIFY(tool().waitForLog("HALT done."));
        QCOMPARE(bench->bus().device(id).tags.first().readPages(4, 3), record);
        QCOMPARE(E2e::requestLines(bench->bus()),
                 lines("02|03 00|04 00|41 04 03 " + record.toHex(' ').toUpper() + "|40 04 03|05"));
        QCOMPARE(tool().logLines(), lines(kSelected + "Writing address tag...|Write ACK|" +
                                          readLog(shown) + "|HALT done."));
        QCOMPARE(tagControls(), shown);
    }

    void tagReadFillsControls_data()
    {
        QTest::addColumn<QByteArray>("record");
        QTest::addColumn<int>("haltLateMs");
        QTest::addColumn<QString>("shown");
        QTest::addColumn<QString>("end");
        // The name ends at its first zero; any flag byte but 0 terminates.
        QTest::newRow("HALT answered")
            << QByteArray::fromHex("060188A74B31003980051411") << 0 << "80|K1|true"
            << "HALT done.";
        // A late answer still ends the chain after the timeout message.
        QTest::newRow("HALT late") << kGateRecord << kLateHaltMs << "3C|GATE|false"
                                   << "Read/Write timeout - please try again|HALT done.";
        QTest::newRow("HALT never answered") << kGateRecord << kNeverMs << "3C|GATE|false"
                                             << "Read/Write timeout - please try again";
    }

    void tagReadFillsControls()
    {
        QFETCH(QByteArray, record);
        QFETCH(int, haltLateMs);
        QFETCH(QString, shown);
        QFETCH(QString, end);

        putTags(1, record);
        setFaults(CmdHalt, haltLateMs);
        tagControls("5A|OLD|" + QString(shown.endsWith("true") ? "false" : "true"));
        QVERIFY(tool().click("btReadAddressTag"));
        QVERIFY(tool().waitForLog(lines(end).last()));
        // The chain has ended: no timer left running, none firing again.
        QVERIFY(tool().logStaysQuiet(kQuietMs));
        QCOMPARE(tool().logLines(), lines(kSelected + readLog(shown) + '|' + end));
        QCOMPARE(E2e::requestLines(bench->bus()), lines("02|03 00|04 00|40 04 03|05"));
        QCOMPARE(tagControls(), shown);
        QCOMPARE(bench->bus().device(id).tags.first().readPages(4, 3), record);
    }

    void tagChainStopsEarly_data()
    {
        QTest::addColumn<QString>("button");
        QTest::addColumn<int>("tagCount");
        QTest::addColumn<QByteArray>("record");
        QTest::addColumn<QString>("log");
        QTest::addColumn<QString>("requests");
        QByteArray badHeaderCrc = kAbRecord;
        badHeaderCrc[3] = char(badHeaderCrc[3] ^ 0x01);
        QByteArray badPayloadCrc = kAbRecord;
        badPayloadCrc[8] = 0x08; // address changed after the CRC was taken
        const QString read = "btReadAddressTag";
        const QString refused = kSelected + "Reading tag info|";
        QTest::newRow("no tag") << read << 0 << kAbRecord << "No tag detected"
                                << "02";
        QTest::newRow("two tags") << read << 2 << kAbRecord << kTwoTags << "02";
        QTest::newRow("wrong header CRC")
            << read << 1 << badHeaderCrc
            << refused + "Wrong header CRC - it is not a valid address tag"
            << "02|03 00|04 00|40 04 03";
        QTest::newRow("wrong payload CRC")
            << read << 1 << badPayloadCrc
            << refused + "Wrong payload CRC - it is not a valid address tag"
            << "02|03 00|04 00|40 04 03";
        QTest::newRow("write with an empty address field")
            << "btWriteAddressTag" << 1 << kAbRecord
            << "Please enter correct tag address defice address!"
            << "";
    }

    void tagChainStopsEarly()
    {
        QFETCH(QString, button);
        QFETCH(int, tagCount);
        QFETCH(QByteArray, record);
        QFETCH(QString, log);
        QFETCH(QString, requests);

        putTags(tagCount, record);
        const QString typed = tagControls(button.contains("Write") ? "|KEEP|true" : "5A|KEEP|true");
        QVERIFY(tool().click(button));
        QVERIFY(tool().waitForLog(lines(log).last()));
        // No HALT, no further step and no timeout afterwards.
        QVERIFY(E2e::busStaysQuiet(bench->bus(), kQuietMs));
        QCOMPARE(tool().logLines(), lines(log));
        QCOMPARE(E2e::requestLines(bench->bus()), lines(requests));
        QCOMPARE(tagControls(), typed);
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
        QCOMPARE(E2e::requestLines(bench->bus()), lines("02|03 00|42|40 04 01"));
        QCOMPARE(tagControls(), typed);
    }

    void commandOnTheWire_data()
    {
        QTest::addColumn<QString>("button");
        QTest::addColumn<QString>("address");
        QTest::addColumn<QString>("request");
        QTest::addColumn<QString>("log");
        QTest::addColumn<QString>("shownValue");
        // The device's acknowledgement of an LED request adds nothing to the log.
        QTest::newRow("LED on") << "btLedOn"
                                << ""
                                << "0E 01"
                                << "LED - ON"
                                << "99";
        QTest::newRow("LED off") << "btLedOff"
                                 << ""
                                 << "0E 00"
                                 << "LED - OFF"
                                 << "99";
        QTest::newRow("LED toggle") << "btLedToggle"
                                    << ""
                                    << "0E 02 E8 03"
                                    << "Toggle - 1sec"
                                    << "99";
        QTest::newRow("EEPROM read, one digit") << "btReadPnEeprom"
                                                << "A"
                                                << "F4 0A"
                                                << "Value received: 5C"
                                                << "5C";
        QTest::newRow("EEPROM write") << "btWritePnEeprom"
                                      << "1F"
                                      << "F4 1F 99"
                                      << "EEPROM write success"
                                      << "99";
        QTest::newRow("EEPROM field empty") << "btWritePnEeprom"
                                            << ""
                                            << ""
                                            << "Please enter correct PN address"
                                            << "99";
    }

    void commandOnTheWire()
    {
        QFETCH(QString, button);
        QFETCH(QString, address);
        QFETCH(QString, request);
        QFETCH(QString, log);
        QFETCH(QString, shownValue);

        // A hidden field cannot take the focus.
        tool().widget("groupBox")->show();
        QApplication::setActiveWindow(tool().window());
        QVERIFY(QTest::qWaitForWindowActive(tool().window()));
        QVERIFY(tool().setText("lePnAddress", address));
        QVERIFY(tool().setText("lePnValue", "99"));
        tool().widget("lePnValue")->setFocus();
        QVERIFY(tool().click(button));
        QVERIFY(tool().waitForLog(log));
        // The request and its answer, then room for the tool to handle it.
        QVERIFY(request.isEmpty() ||
                ToolDriver::waitUntil([&] { return bench->bus().trace().size() >= 2; }));
        QVERIFY(E2e::busStaysQuiet(bench->bus(), kSettleMs));
        QCOMPARE(E2e::requestLines(bench->bus()), lines(request));
        QCOMPARE(tool().logLines(), QStringList{log});
        QCOMPARE(tool().text("lePnValue"), shownValue);
        // A field that does not parse takes the focus.
        QCOMPARE(QApplication::focusWidget()->objectName(),
                 request.isEmpty() ? "lePnAddress" : "lePnValue");
    }

    void loopTestCounts_data()
    {
        QTest::addColumn<int>("tagCount");
        QTest::addColumn<bool>("readPage");
        QTest::addColumn<int>("errorCommand");
        QTest::addColumn<QString>("counted"); // not found, found, retry, errors
        QTest::addColumn<QString>("cycleRequests");
        QTest::addColumn<QString>("cycleLog");
        const QString uid =
            "Tag detected...|Reading UID...|UID: 04AB12CD34EF00|Get version request.|"
            "Version received.|";
        const QString halt = "HALT done.|Get tag count req...|";
        QTest::newRow("empty field") << 0 << false << kNoCommand << "1 0 0 0"
                                     << "02|05|"
                                     << "No tag detected|" + halt;
        QTest::newRow("one tag") << 1 << false << kNoCommand << "0 1 0 0"
                                 << "02|03 00|42|05|" << uid + halt;
        QTest::newRow("one tag, page read")
            << 1 << true << kNoCommand << "0 1 0 0"
            << "02|03 00|42|40 04 01|05|" << uid + "Reading page 4|Read page OK|" + halt;
        QTest::newRow("error answers") << 1 << false << int(CmdGetTagCount) << "0 0 0 1"
                                       << "02|"
                                       << "Error received to command 0x02 - err no :0x00EE|";
    }

    void loopTestCounts()
    {
        QFETCH(int, tagCount);
        QFETCH(bool, readPage);
        QFETCH(int, errorCommand);
        QFETCH(QString, counted);
        QFETCH(QString, cycleRequests);
        QFETCH(QString, cycleLog);

        bench->bus().setTags(id, E2e::tagsOnAntenna(tagCount));
        setFaults(kNoCommand, 0, errorCommand);
        tool().setChecked("cbReadPage", readPage);
        QVERIFY(tool().click("btLoopTest"));
        QCOMPARE(statistics(), QStringLiteral("0 0 0 0"));
        QCOMPARE(tool().text("btLoopTest"), QStringLiteral("Stop loop test"));
        const int counter = counted.split(' ').indexOf("1");
        QVERIFY(ToolDriver::waitUntil(
            [&] { return statistics().split(' ').value(counter).toInt() >= kCountedCycles; }));
        QVERIFY(tool().click("btLoopTest"));
        const QString atStop = statistics();
        QStringList expected = QString("0 0 0 0").split(' ');
        expected[counter] = atStop.split(' ').value(counter);
        QCOMPARE(atStop, expected.join(' '));
        QCOMPARE(tool().text("btLoopTest"), QStringLiteral("Start loop test"));
        // A counted cycle has sent at least its first request.
        const QStringList requests =
            lines(cycleRequests.repeated(kCountedCycles - 1) + cycleRequests.section('|', 0, 0));
        QCOMPARE(E2e::requestLines(bench->bus()).mid(0, requests.size()), requests);
        const QStringList log = lines("Loop test started|" + cycleLog.repeated(kCountedCycles - 1));
        QCOMPARE(tool().logLines().mid(0, log.size() - 1), log.mid(0, log.size() - 1));
        QCOMPARE(tool().logLines().last(), QStringLiteral("Loop test stoped"));
        // Stopped: answers still in flight count nothing, the last counts stay on view, and a
        // new start clears them.
        ToolDriver::waitUntil([&] { return statistics() != atStop; }, kSettleMs);
        QCOMPARE(statistics(), atStop);
        QVERIFY(tool().click("btLoopTest"));
        QCOMPARE(statistics(), QStringLiteral("0 0 0 0"));
    }

    void loopTestRetries_data()
    {
        QTest::addColumn<int>("tagCount");
        QTest::addColumn<bool>("silent");
        QTest::addColumn<QString>("requests");
        // Every retry asks for the tag count again; a device busy with its late HALT hears none.
        QTest::newRow("silent device") << 0 << true << "02|02|02";
        QTest::newRow("HALT never answered") << 1 << false << "02|03 00|42|05|02|02";
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
                     qPrintable(
                         QStringLiteral("retry %1 after %2 ms").arg(retries).arg(clock.elapsed())));
        }
        QVERIFY(ToolDriver::waitUntil(
            [&] { return E2e::requestLines(bench->bus()) == lines(requests); }));
        QVERIFY(tool().click("btLoopTest"));
        QCOMPARE(statistics(), QStringLiteral("0 %1 2 0").arg(tagCount));
    }

    void loopTestRestsOnTwoTags()
    {
        bench->bus().setTags(id, E2e::tagsOnAntenna(2));
        QVERIFY(tool().click("btLoopTest"));
        QVERIFY(tool().waitForLog(kTwoTags));
        // Longer than the loop test's 1000 ms step limit: a running timer would count a retry.
        QVERIFY(E2e::busStaysQuiet(bench->bus(), kRetryPeriodMs * 6 / 5));
        QCOMPARE(tool().logLines(), lines("Loop test started|" + kTwoTags));
        QCOMPARE(E2e::requestLines(bench->bus()), lines("02"));
        QCOMPARE(statistics(), QStringLiteral("0 0 0 0"));
        QVERIFY(tool().click("btLoopTest"));
        QCOMPARE(tool().logLines().last(), QStringLiteral("Loop test stoped"));
    }
};

QTEST_MAIN(TestE2eService)
#include "tst_e2e_service.moc"
