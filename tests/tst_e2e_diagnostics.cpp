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

const QString kZeroStatistics = QStringLiteral("Not found: 0\tFound:0\nRetry: 0   \tErrors:0");
const QString kTwoTags = QStringLiteral("Too many tags on the antenna (2).");

enum Counter { NotFound, Found, Retry, Errors };

// A button of the LED or EEPROM group with the fields it reads, and what follows.
struct CommandCase
{
    QString button, address, value, request, log, shownValue;
};

struct FieldError
{
    QString button, address, value, message, focusedField;
};

struct LoopCase
{
    int tagCount;
    bool readPage;
    int errorCommand;
    Counter counter;
    QStringList cycleRequests, cycleLog;
};

QStringList repeated(const QStringList &cycle, int times)
{
    QStringList out;
    for (int i = 0; i < times; ++i)
        out += cycle;
    return out;
}

} // namespace

Q_DECLARE_METATYPE(CommandCase)
Q_DECLARE_METATYPE(FieldError)
Q_DECLARE_METATYPE(LoopCase)

class TestE2eDiagnostics : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void commandOnTheWire_data();
    void commandOnTheWire();
    void closedPortSendsAndLogsNothing();
    void eepromFieldErrors_data();
    void eepromFieldErrors();
    void loopTestCounts_data();
    void loopTestCounts();
    void loopTestRetriesSilentDevice();
    void loopTestRestsOnTwoTags();

private:
    ToolDriver &tool() { return bench->tool(); }
    void startBench(bool connected);
    // The four loop-test counters as labStatistic shows them; empty when the text is malformed.
    QVector<int> statistics() const;
    // A new start clears the counters the last run left on view.
    void restartClearsCounters();

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

void TestE2eDiagnostics::startBench(bool connected)
{
    bench.reset();
    bench = std::make_unique<E2eBench>(E2e::fastBus());
    QVERIFY2(bench->isReady(), qPrintable(bench->error()));
    SimDeviceConfig config = SimDeviceConfig::at(kDeviceAddress, QStringLiteral("Gate"));
    config.eeprom[0x0A] = '\x5C';
    config.eeprom[0xFF] = '\x0B';
    deviceId = connected ? E2e::addConnectedDevice(*bench, config) : bench->addDevice(config);
    QVERIFY(deviceId >= 0);
}

QVector<int> TestE2eDiagnostics::statistics() const
{
    static const QRegularExpression format(
        QStringLiteral("^Not found: (\\d+)\\tFound:(\\d+)\\nRetry: (\\d+)   \\tErrors:(\\d+)$"));
    const QRegularExpressionMatch match = format.match(bench->tool().text("labStatistic"));
    if (!match.hasMatch())
        return {};
    return {match.captured(1).toInt(), match.captured(2).toInt(), match.captured(3).toInt(),
            match.captured(4).toInt()};
}

void TestE2eDiagnostics::restartClearsCounters()
{
    QVERIFY(tool().click("btLoopTest"));
    QCOMPARE(tool().text("labStatistic"), kZeroStatistics);
    QVERIFY(tool().click("btLoopTest"));
}

void TestE2eDiagnostics::commandOnTheWire_data()
{
    QTest::addColumn<CommandCase>("command");

    // The device's acknowledgement of an LED request adds nothing to the log.
    QTest::newRow("LED on") << CommandCase{"btLedOn", "", "", "0E 01", "LED - ON", ""};
    QTest::newRow("LED off") << CommandCase{"btLedOff", "", "", "0E 00", "LED - OFF", ""};
    QTest::newRow("LED toggle") << CommandCase{"btLedToggle",   "", "", "0E 02 E8 03",
                                               "Toggle - 1sec", ""};
    QTest::newRow("EEPROM read, single digit A")
        << CommandCase{"btReadPnEeprom", "A", "99", "F4 0A", "Value received: 5C", "5C"};
    QTest::newRow("EEPROM read, last address, small value")
        << CommandCase{"btReadPnEeprom", "ff", "99", "F4 FF", "Value received: 0B", "0B"};
    QTest::newRow("EEPROM write") << CommandCase{"btWritePnEeprom",      "1F", "a5", "F4 1F A5",
                                                 "EEPROM write success", "a5"};
}

void TestE2eDiagnostics::commandOnTheWire()
{
    QFETCH(CommandCase, command);

    QVERIFY(tool().setText("lePnAddress", command.address));
    QVERIFY(tool().setText("lePnValue", command.value));
    QVERIFY(tool().click(command.button));
    QVERIFY(tool().waitForLog(command.log));
    // The request and its answer, then room for the tool to handle it.
    QVERIFY(ToolDriver::waitUntil([&] { return bench->bus().trace().size() >= 2; }));
    QVERIFY(E2e::busStaysQuiet(bench->bus(), kSettleMs));

    QCOMPARE(E2e::requestLines(bench->bus()), QStringList{command.request});
    QCOMPARE(tool().logLines(), QStringList{command.log});
    QCOMPARE(tool().text("lePnValue"), command.shownValue);
}

void TestE2eDiagnostics::closedPortSendsAndLogsNothing()
{
    startBench(false);
    // The LED group is disabled while the port is closed; enabled here to reach the buttons'
    // own check of the port.
    tool().widget<QGroupBox>("gbLed")->setEnabled(true);
    QVERIFY(tool().setText("lePnAddress", QStringLiteral("10")));
    QVERIFY(tool().setText("lePnValue", QStringLiteral("20")));

    for (const char *button :
         {"btLedOn", "btLedOff", "btLedToggle", "btReadPnEeprom", "btWritePnEeprom"})
        QVERIFY2(tool().click(QLatin1String(button)), button);

    QVERIFY(E2e::busStaysQuiet(bench->bus(), kSettleMs));
    QCOMPARE(tool().logLines(), QStringList());
    QCOMPARE(tool().text("lePnValue"), QStringLiteral("20"));
}

void TestE2eDiagnostics::eepromFieldErrors_data()
{
    QTest::addColumn<FieldError>("error");

    QTest::newRow("read, no address")
        << FieldError{"btReadPnEeprom", "", "12", "Please enter correct address", "lePnAddress"};
    QTest::newRow("write, no address") << FieldError{
        "btWritePnEeprom", "", "12", "Please enter correct PN address", "lePnAddress"};
    QTest::newRow("write, no value")
        << FieldError{"btWritePnEeprom", "3", "", "Please enter correct PN value", "lePnValue"};
}

void TestE2eDiagnostics::eepromFieldErrors()
{
    QFETCH(FieldError, error);

    // A hidden field cannot take the focus.
    tool().widget<QGroupBox>("groupBox")->show();
    QApplication::setActiveWindow(tool().window());
    QVERIFY(QTest::qWaitForWindowActive(tool().window()));
    QVERIFY(tool().setText("lePnAddress", error.address));
    QVERIFY(tool().setText("lePnValue", error.value));
    // Start on the other field, so the move shows.
    auto *before =
        tool().widget<QLineEdit>(error.focusedField == "lePnAddress" ? "lePnValue" : "lePnAddress");
    before->setFocus(Qt::OtherFocusReason);
    QCOMPARE(QApplication::focusWidget(), before);

    QVERIFY(tool().click(error.button));
    QVERIFY(E2e::busStaysQuiet(bench->bus(), kSettleMs));
    QCOMPARE(tool().logLines(), QStringList{error.message});
    QCOMPARE(QApplication::focusWidget(), tool().widget<QLineEdit>(error.focusedField));
}

void TestE2eDiagnostics::loopTestCounts_data()
{
    QTest::addColumn<LoopCase>("loop");

    const QStringList uidLines = {"Tag detected...", "Reading UID...", "UID: 04AB12CD34EF00",
                                  "Get version request.", "Version received."};
    const QStringList haltLines = {"HALT done.", "Get tag count req..."};
    const QStringList pageLines = {"Reading page 4", "Read page OK"};
    const QStringList pageCycle = {"02", "03 00", "42", "40 04 01", "05"};
    const QString errorLine = QStringLiteral("Error received to command 0x02 - err no :0x00EE");

    QTest::newRow("empty field") << LoopCase{
        0, false, kNoCommand, NotFound, {"02", "05"}, QStringList{"No tag detected"} + haltLines};
    QTest::newRow("one tag") << LoopCase{
        1, false, kNoCommand, Found, {"02", "03 00", "42", "05"}, uidLines + haltLines};
    QTest::newRow("one tag, page read")
        << LoopCase{1, true, kNoCommand, Found, pageCycle, uidLines + pageLines + haltLines};
    QTest::newRow("error answers")
        << LoopCase{1, false, CmdGetTagCount, Errors, {"02"}, {errorLine}};
}

void TestE2eDiagnostics::loopTestCounts()
{
    QFETCH(LoopCase, loop);

    bench->bus().setTags(deviceId, E2e::tagsOnAntenna(loop.tagCount));
    SimFaults faults;
    faults.errorCommand = loop.errorCommand;
    bench->bus().setDeviceFaults(deviceId, faults);
    QVERIFY(tool().setChecked("cbReadPage", loop.readPage));

    QVERIFY(tool().click("btLoopTest"));
    QCOMPARE(tool().text("labStatistic"), kZeroStatistics);
    QCOMPARE(tool().text("btLoopTest"), QStringLiteral("Stop loop test"));
    QVERIFY(
        ToolDriver::waitUntil([&] { return statistics().value(loop.counter) >= kCountedCycles; }));
    QVERIFY(tool().click("btLoopTest"));
    const QVector<int> atStop = statistics();

    QVector<int> onlyCounted(4, 0);
    onlyCounted[loop.counter] = atStop.value(loop.counter);
    QCOMPARE(atStop, onlyCounted);
    QCOMPARE(tool().text("btLoopTest"), QStringLiteral("Start loop test"));
    // A counted cycle has sent at least its first request.
    const QStringList requests =
        repeated(loop.cycleRequests, kCountedCycles - 1) + loop.cycleRequests.mid(0, 1);
    QCOMPARE(E2e::requestLines(bench->bus()).mid(0, requests.size()), requests);
    const QStringList log =
        QStringList{"Loop test started"} + repeated(loop.cycleLog, kCountedCycles - 1);
    QCOMPARE(tool().logLines().mid(0, log.size()), log);
    QVERIFY(tool().logLines().contains(QStringLiteral("Loop test stoped")));

    // Stopped: answers still in flight count nothing; the last counts stay on view.
    QTest::qWait(kSettleMs);
    QCOMPARE(statistics(), atStop);
    restartClearsCounters();
}

void TestE2eDiagnostics::loopTestRetriesSilentDevice()
{
    SimFaults faults;
    faults.silent = true;
    bench->bus().setDeviceFaults(deviceId, faults);
    QElapsedTimer clock;

    QVERIFY(tool().click("btLoopTest"));
    clock.start();
    for (int retries = 1; retries <= 2; ++retries) {
        QVERIFY(ToolDriver::waitUntil([&] { return statistics().value(Retry) >= retries; },
                                      kRetryPeriodMs + kRetryLateMs));
        QVERIFY2(
            clock.elapsed() >= retries * kRetryPeriodMs - kRetryEarlyMs,
            qPrintable(QStringLiteral("retry %1 after %2 ms").arg(retries).arg(clock.elapsed())));
    }
    QVERIFY(ToolDriver::waitUntil([&] { return E2e::requestLines(bench->bus()).size() == 3; }));

    QCOMPARE(statistics(), QVector<int>({0, 0, 2, 0}));
    QCOMPARE(E2e::requestLines(bench->bus()), QStringList({"02", "02", "02"}));
    QCOMPARE(tool().logLines(), QStringList{"Loop test started"});
    QVERIFY(tool().click("btLoopTest"));
    QCOMPARE(tool().logLines(), QStringList({"Loop test started", "Loop test stoped"}));
    QCOMPARE(statistics(), QVector<int>({0, 0, 2, 0}));
    restartClearsCounters();
}

void TestE2eDiagnostics::loopTestRestsOnTwoTags()
{
    bench->bus().setTags(deviceId, E2e::tagsOnAntenna(2));
    QVERIFY(tool().click("btLoopTest"));
    QVERIFY(tool().waitForLog(kTwoTags));
    QVERIFY(E2e::busStaysQuiet(bench->bus(), kRestingMs));

    QCOMPARE(tool().logLines(), QStringList({"Loop test started", kTwoTags}));
    QCOMPARE(E2e::requestLines(bench->bus()), QStringList{"02"});
    QCOMPARE(tool().text("labStatistic"), kZeroStatistics);
    QCOMPARE(tool().text("btLoopTest"), QStringLiteral("Stop loop test"));

    QVERIFY(tool().click("btLoopTest"));
    QCOMPARE(tool().logLines().last(), QStringLiteral("Loop test stoped"));
    QCOMPARE(tool().text("btLoopTest"), QStringLiteral("Start loop test"));
    QVERIFY(E2e::busStaysQuiet(bench->bus(), kSettleMs));
}

QTEST_MAIN(TestE2eDiagnostics)
#include "tst_e2e_diagnostics.moc"
