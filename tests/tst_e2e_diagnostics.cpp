// LED, PN5180 EEPROM and the loop test, driven through the window against a simulated reader.
#include "e2efixture.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QGroupBox>
#include <QLineEdit>
#include <QRegularExpression>
#include <QtTest>

#include <memory>

namespace {

constexpr uint8_t kDeviceAddress = 0x80;
constexpr int kSettleMs = 150;
// Longer than the loop test's 1000 ms step limit: a running timer would count a retry.
constexpr int kRestingMs = 1200;
constexpr int kCountedCycles = 3;
constexpr int kRetryPeriodMs = 1000;
constexpr int kRetryEarlyMs = 100;
constexpr int kRetryLateMs = 500;
constexpr uint16_t kErrorNumber = 0x0102;

const QByteArray kUid = QByteArray::fromHex("04AB12CD34EF80");
const QString kZeroStatistics = QStringLiteral("Not found: 0\tFound:0\nRetry: 0   \tErrors:0");

enum Counter { NotFound, Found, Retry, Errors };

QString hexLine(const QByteArray &bytes)
{
    return QString::fromLatin1(bytes.toHex(' ').toUpper());
}

QStringList repeated(const QStringList &cycle, int times)
{
    QStringList out;
    for (int i = 0; i < times; ++i)
        out += cycle;
    return out;
}

} // namespace

class TestE2eDiagnostics : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void ledRequests_data();
    void ledRequests();
    void closedPortSendsAndLogsNothing();
    void eepromRead_data();
    void eepromRead();
    void eepromWrite();
    void eepromFieldErrors_data();
    void eepromFieldErrors();
    void loopTestCounts_data();
    void loopTestCounts();
    void loopTestRetriesSilentDevice();
    void loopTestRestsOnTwoTags();

private:
    ToolDriver &tool() { return bench->tool(); }
    void startBench(bool connect);
    QStringList requestsOnWire() const;
    // The four loop-test counters as labStatistic shows them; empty when the text is malformed.
    QVector<int> statistics() const;
    QStringList linesAfter(const QString &line) const;
    void putTags(int count);

    std::unique_ptr<E2eBench> bench;
    int deviceId = -1;
};

void TestE2eDiagnostics::init()
{
    startBench(true);
}

void TestE2eDiagnostics::cleanup()
{
    bench.reset();
}

void TestE2eDiagnostics::startBench(bool connect)
{
    SimBusOptions options;
    options.paced = false;
    bench = std::make_unique<E2eBench>(options);
    QVERIFY2(bench->isReady(), qPrintable(bench->error()));
    SimDeviceConfig config = SimDeviceConfig::at(kDeviceAddress, QStringLiteral("Gate"));
    // Blinking at another period, so every button changes the LED.
    config.ledMode = kLedToggle;
    config.ledPeriodMs = 500;
    deviceId = bench->addDevice(config);
    if (connect)
        QVERIFY(bench->connectTo(kDeviceAddress));
    bench->bus().clearTrace();
    tool().clearLog();
}

QStringList TestE2eDiagnostics::requestsOnWire() const
{
    QStringList requests;
    for (const SimTraceEntry &entry : bench->bus().trace()) {
        if (entry.isRequest())
            requests << hexLine(entry.payload);
    }
    return requests;
}

QVector<int> TestE2eDiagnostics::statistics() const
{
    static const QRegularExpression format(
        QStringLiteral("^Not found: (\\d+)\\tFound:(\\d+)\\nRetry: (\\d+)   \\tErrors:(\\d+)$"));
    const QRegularExpressionMatch match =
        format.match(bench->tool().text(QStringLiteral("labStatistic")));
    if (!match.hasMatch())
        return {};
    return {match.captured(1).toInt(), match.captured(2).toInt(), match.captured(3).toInt(),
            match.captured(4).toInt()};
}

QStringList TestE2eDiagnostics::linesAfter(const QString &line) const
{
    const QStringList lines = bench->tool().logLines();
    const int at = lines.indexOf(line);
    return at < 0 ? QStringList() : lines.mid(at + 1);
}

void TestE2eDiagnostics::putTags(int count)
{
    QVector<SimTag> tags;
    for (int i = 0; i < count; ++i) {
        QByteArray uid = kUid;
        uid[uid.size() - 1] = static_cast<char>(i);
        tags << SimTag::create(uid);
    }
    bench->bus().setTags(deviceId, tags);
}

void TestE2eDiagnostics::ledRequests_data()
{
    QTest::addColumn<QString>("button");
    QTest::addColumn<QString>("request");
    QTest::addColumn<QString>("logLine");
    QTest::addColumn<int>("ledMode");
    QTest::addColumn<int>("ledPeriodMs");

    QTest::newRow("on") << "btLedOn"
                        << "0E 01"
                        << "LED - ON" << int(kLedOn) << 0;
    QTest::newRow("off") << "btLedOff"
                         << "0E 00"
                         << "LED - OFF" << int(kLedOff) << 0;
    QTest::newRow("toggle") << "btLedToggle"
                            << "0E 02 E8 03"
                            << "Toggle - 1sec" << int(kLedToggle) << 1000;
}

void TestE2eDiagnostics::ledRequests()
{
    QFETCH(QString, button);
    QFETCH(QString, request);
    QFETCH(QString, logLine);
    QFETCH(int, ledMode);
    QFETCH(int, ledPeriodMs);

    QVERIFY(tool().click(button));
    QVERIFY(ToolDriver::waitUntil([&] {
        const SimDeviceState device = bench->bus().device(deviceId);
        return device.ledMode == ledMode && device.ledPeriodMs == ledPeriodMs;
    }));
    QTest::qWait(kSettleMs);
    QCOMPARE(requestsOnWire(), QStringList{request});
    // The device's acknowledgement adds nothing to the log.
    QCOMPARE(tool().logLines(), QStringList{logLine});
}

void TestE2eDiagnostics::closedPortSendsAndLogsNothing()
{
    bench.reset();
    startBench(false);
    // The LED group is disabled while the port is closed; enabled here to reach the buttons'
    // own check of the port.
    tool().widget<QGroupBox>(QStringLiteral("gbLed"))->setEnabled(true);
    QVERIFY(tool().setText(QStringLiteral("lePnAddress"), QStringLiteral("10")));
    QVERIFY(tool().setText(QStringLiteral("lePnValue"), QStringLiteral("20")));

    for (const char *button :
         {"btLedOn", "btLedOff", "btLedToggle", "btReadPnEeprom", "btWritePnEeprom"})
        QVERIFY2(tool().click(QLatin1String(button)), button);
    QTest::qWait(kSettleMs);

    QCOMPARE(tool().logLines(), QStringList());
    QCOMPARE(requestsOnWire(), QStringList());
    QCOMPARE(int(bench->bus().device(deviceId).ledMode), int(kLedToggle));
    QCOMPARE(tool().text(QStringLiteral("lePnValue")), QStringLiteral("20"));
}

void TestE2eDiagnostics::eepromRead_data()
{
    QTest::addColumn<QString>("address");
    QTest::addColumn<int>("eepromAddress");
    QTest::addColumn<int>("storedValue");
    QTest::addColumn<QString>("request");
    QTest::addColumn<QString>("shownValue");

    QTest::newRow("single digit A") << "A" << 0x0A << 0x5C << "F4 0A"
                                    << "5C";
    QTest::newRow("last address, small value") << "ff" << 0xFF << 0x0B << "F4 FF"
                                               << "0B";
}

void TestE2eDiagnostics::eepromRead()
{
    QFETCH(QString, address);
    QFETCH(int, eepromAddress);
    QFETCH(int, storedValue);
    QFETCH(QString, request);
    QFETCH(QString, shownValue);

    bench->bus().editDevice(deviceId, [&](SimDeviceState &device) {
        device.eeprom[eepromAddress] = static_cast<char>(storedValue);
    });
    QVERIFY(tool().setText(QStringLiteral("lePnAddress"), address));
    QVERIFY(tool().setText(QStringLiteral("lePnValue"), QStringLiteral("99")));

    QVERIFY(tool().click(QStringLiteral("btReadPnEeprom")));
    const QString received = QStringLiteral("Value received: ") + shownValue;
    QVERIFY(tool().waitForLog(received));

    QCOMPARE(requestsOnWire(), QStringList{request});
    QCOMPARE(tool().text(QStringLiteral("lePnValue")), shownValue);
    QCOMPARE(tool().logLines(), QStringList{received});
}

void TestE2eDiagnostics::eepromWrite()
{
    QVERIFY(tool().setText(QStringLiteral("lePnAddress"), QStringLiteral("1F")));
    QVERIFY(tool().setText(QStringLiteral("lePnValue"), QStringLiteral("a5")));

    QVERIFY(tool().click(QStringLiteral("btWritePnEeprom")));
    QVERIFY(tool().waitForLog(QStringLiteral("EEPROM write success")));

    QCOMPARE(requestsOnWire(), QStringList{"F4 1F A5"});
    QCOMPARE(uint8_t(bench->bus().device(deviceId).eeprom.at(0x1F)), uint8_t(0xA5));
    QCOMPARE(tool().logLines(), QStringList{"EEPROM write success"});
}

void TestE2eDiagnostics::eepromFieldErrors_data()
{
    QTest::addColumn<QString>("button");
    QTest::addColumn<QString>("address");
    QTest::addColumn<QString>("value");
    QTest::addColumn<QString>("message");
    QTest::addColumn<QString>("focusBefore");
    QTest::addColumn<QString>("focusAfter");

    QTest::newRow("read, no address") << "btReadPnEeprom"
                                      << ""
                                      << "12"
                                      << "Please enter correct address"
                                      << "lePnValue"
                                      << "lePnAddress";
    QTest::newRow("write, no address") << "btWritePnEeprom"
                                       << ""
                                       << "12"
                                       << "Please enter correct PN address"
                                       << "lePnValue"
                                       << "lePnAddress";
    QTest::newRow("write, no value") << "btWritePnEeprom"
                                     << "3"
                                     << ""
                                     << "Please enter correct PN value"
                                     << "lePnAddress"
                                     << "lePnValue";
}

void TestE2eDiagnostics::eepromFieldErrors()
{
    QFETCH(QString, button);
    QFETCH(QString, address);
    QFETCH(QString, value);
    QFETCH(QString, message);
    QFETCH(QString, focusBefore);
    QFETCH(QString, focusAfter);

    // A hidden field cannot take the focus.
    tool().widget<QGroupBox>(QStringLiteral("groupBox"))->show();
    QApplication::setActiveWindow(tool().window());
    QVERIFY(QTest::qWaitForWindowActive(tool().window()));
    QVERIFY(tool().setText(QStringLiteral("lePnAddress"), address));
    QVERIFY(tool().setText(QStringLiteral("lePnValue"), value));
    auto *before = tool().widget<QLineEdit>(focusBefore);
    before->setFocus(Qt::OtherFocusReason);
    QCOMPARE(QApplication::focusWidget(), before);

    QVERIFY(tool().click(button));
    QTest::qWait(kSettleMs);

    QCOMPARE(tool().logLines(), QStringList{message});
    QCOMPARE(QApplication::focusWidget(), tool().widget<QLineEdit>(focusAfter));
    QCOMPARE(requestsOnWire(), QStringList());
}

void TestE2eDiagnostics::loopTestCounts_data()
{
    QTest::addColumn<int>("tagCount");
    QTest::addColumn<bool>("readPage");
    QTest::addColumn<int>("errorCommand");
    QTest::addColumn<int>("counter");
    QTest::addColumn<QStringList>("cycleRequests");
    QTest::addColumn<QStringList>("cycleLog");

    const QStringList uidLines = {"Tag detected...", "Reading UID...", "UID: 04AB12CD34EF00",
                                  "Get version request.", "Version received."};
    const QStringList haltLines = {"HALT done.", "Get tag count req..."};

    QTest::newRow("empty field") << 0 << false << kNoCommand << int(NotFound)
                                 << QStringList{"02", "05"}
                                 << QStringList{"No tag detected"} + haltLines;
    QTest::newRow("one tag") << 1 << false << kNoCommand << int(Found)
                             << QStringList{"02", "03 00", "42", "05"} << uidLines + haltLines;
    QTest::newRow("one tag, page read")
        << 1 << true << kNoCommand << int(Found)
        << QStringList{"02", "03 00", "42", "40 04 01", "05"}
        << uidLines + QStringList{"Reading page 4", "Read page OK"} + haltLines;
    QTest::newRow("error answers")
        << 1 << false << int(CmdGetTagCount) << int(Errors) << QStringList{"02"}
        << QStringList{"Error received to command 0x02 - err no :0x0102"};
}

void TestE2eDiagnostics::loopTestCounts()
{
    QFETCH(int, tagCount);
    QFETCH(bool, readPage);
    QFETCH(int, errorCommand);
    QFETCH(int, counter);
    QFETCH(QStringList, cycleRequests);
    QFETCH(QStringList, cycleLog);

    putTags(tagCount);
    SimFaults faults;
    faults.errorCommand = errorCommand;
    faults.errorNumber = kErrorNumber;
    bench->bus().setDeviceFaults(deviceId, faults);
    QVERIFY(tool().setChecked(QStringLiteral("cbReadPage"), readPage));

    QVERIFY(tool().click(QStringLiteral("btLoopTest")));
    QCOMPARE(tool().text(QStringLiteral("labStatistic")), kZeroStatistics);
    QCOMPARE(tool().text(QStringLiteral("btLoopTest")), QStringLiteral("Stop loop test"));
    QVERIFY(ToolDriver::waitUntil([&] {
        const QVector<int> counts = statistics();
        return counts.size() == 4 && counts.at(counter) >= kCountedCycles;
    }));
    QVERIFY(tool().click(QStringLiteral("btLoopTest")));
    const QVector<int> atStop = statistics();

    QVector<int> onlyCounted(4, 0);
    onlyCounted[counter] = atStop.value(counter);
    QCOMPARE(atStop, onlyCounted);
    QCOMPARE(tool().text(QStringLiteral("btLoopTest")), QStringLiteral("Start loop test"));
    QVERIFY(tool().logLines().contains(QStringLiteral("Loop test stoped")));
    // A counted cycle has sent at least its first request.
    const QStringList requests = requestsOnWire();
    const QStringList expectedRequests =
        repeated(cycleRequests, kCountedCycles - 1) + cycleRequests.mid(0, 1);
    QCOMPARE(requests.mid(0, expectedRequests.size()), expectedRequests);
    const QStringList expectedLog = repeated(cycleLog, kCountedCycles - 1);
    QCOMPARE(linesAfter(QStringLiteral("Loop test started")).mid(0, expectedLog.size()),
             expectedLog);

    // Stopped: answers still in flight count nothing; the last counts stay on view.
    QTest::qWait(kSettleMs);
    QCOMPARE(statistics(), atStop);
    // A new start clears them.
    QVERIFY(tool().click(QStringLiteral("btLoopTest")));
    QCOMPARE(tool().text(QStringLiteral("labStatistic")), kZeroStatistics);
    QVERIFY(tool().click(QStringLiteral("btLoopTest")));
}

void TestE2eDiagnostics::loopTestRetriesSilentDevice()
{
    SimFaults faults;
    faults.silent = true;
    bench->bus().setDeviceFaults(deviceId, faults);
    QElapsedTimer clock;

    QVERIFY(tool().click(QStringLiteral("btLoopTest")));
    clock.start();
    for (int retries = 1; retries <= 2; ++retries) {
        QVERIFY(ToolDriver::waitUntil([&] { return statistics().value(Retry) >= retries; },
                                      kRetryPeriodMs + kRetryLateMs));
        QVERIFY2(
            clock.elapsed() >= retries * kRetryPeriodMs - kRetryEarlyMs,
            qPrintable(QStringLiteral("retry %1 after %2 ms").arg(retries).arg(clock.elapsed())));
    }
    QVERIFY(ToolDriver::waitUntil([&] { return requestsOnWire().size() == 3; }));

    QCOMPARE(statistics(), QVector<int>({0, 0, 2, 0}));
    QCOMPARE(requestsOnWire(), QStringList({"02", "02", "02"}));
    QCOMPARE(tool().logLines(), QStringList{"Loop test started"});
    QVERIFY(tool().click(QStringLiteral("btLoopTest")));
    QCOMPARE(tool().logLines(), QStringList({"Loop test started", "Loop test stoped"}));
    QCOMPARE(statistics(), QVector<int>({0, 0, 2, 0}));
    // Retries from the last run are cleared by the next start.
    QVERIFY(tool().click(QStringLiteral("btLoopTest")));
    QCOMPARE(tool().text(QStringLiteral("labStatistic")), kZeroStatistics);
    QVERIFY(tool().click(QStringLiteral("btLoopTest")));
}

void TestE2eDiagnostics::loopTestRestsOnTwoTags()
{
    putTags(2);
    QVERIFY(tool().click(QStringLiteral("btLoopTest")));
    QVERIFY(tool().waitForLog(QStringLiteral("Too many tags on the antenna (2).")));
    QTest::qWait(kRestingMs);

    QCOMPARE(tool().logLines(),
             QStringList({"Loop test started", "Too many tags on the antenna (2)."}));
    QCOMPARE(requestsOnWire(), QStringList{"02"});
    QCOMPARE(tool().text(QStringLiteral("labStatistic")), kZeroStatistics);
    QCOMPARE(tool().text(QStringLiteral("btLoopTest")), QStringLiteral("Stop loop test"));

    QVERIFY(tool().click(QStringLiteral("btLoopTest")));
    QCOMPARE(tool().logLines().last(), QStringLiteral("Loop test stoped"));
    QCOMPARE(tool().text(QStringLiteral("btLoopTest")), QStringLiteral("Start loop test"));
    QTest::qWait(kSettleMs);
    QCOMPARE(requestsOnWire(), QStringList{"02"});
}

QTEST_MAIN(TestE2eDiagnostics)
#include "tst_e2e_diagnostics.moc"
