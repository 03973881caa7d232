// Device settings, reboot and factory reset, driven through the window against a simulated bus.
#include "e2efixture.h"
#include "simframe.h"

#include <QAbstractButton>
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QMessageBox>
#include <QTimer>
#include <QtTest>

#include <algorithm>
#include <array>
#include <functional>
#include <memory>

namespace {

constexpr uint8_t kDeviceAddress = 0x80;
constexpr uint8_t kNewDeviceAddress = 0x42;
constexpr int kBaudIndex38400 = 3;
constexpr uint8_t kOutOfTableBaudIndex = 9;
constexpr int kQuestionPollMs = 10;
constexpr int kQuietLineMs = 200;
const char kVersion[] = "APP 3.1.4";
const char kVersionLine[] = "Firmware version is: APP 3.1.4";
const char kGenericTimeout[] = "Timeout - Please recconnect device and try again.";

QVector<int> requestedCommands(const QVector<SimTraceEntry> &trace)
{
    QVector<int> commands;
    for (const SimTraceEntry &entry : trace) {
        if (entry.isRequest())
            commands << entry.command();
    }
    return commands;
}

QByteArray lastRequest(const QVector<SimTraceEntry> &trace, int command)
{
    for (auto it = trace.crbegin(); it != trace.crend(); ++it) {
        if (it->isRequest() && it->command() == command)
            return it->payload;
    }
    return QByteArray();
}

// A request written by the tool reaches the simulator within a few milliseconds.
bool busStaysQuiet(const SimBusThread &bus)
{
    return !ToolDriver::waitUntil([&bus] { return !requestedCommands(bus.trace()).isEmpty(); },
                                  kQuietLineMs);
}

std::array<uint8_t, kShortNameSize> nameField(const char *text)
{
    return shortNameBytes(QString::fromLatin1(text));
}

} // namespace

class TestE2eSettings : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void shortNameOnTheWire_data();
    void shortNameOnTheWire();
    void baudChangeReconnectsAtNewRate();
    void newOwnAddressEndsInConnectTimeout();
    void writeRefusedWithoutSending_data();
    void writeRefusedWithoutSending();
    void restartRefreshesSettings_data();
    void restartRefreshesSettings();
    void resetCancelledSendsNothing();
    void rebootOfSilentDeviceTimesOut();

private:
    ToolDriver &tool() { return bench->tool(); }
    // Answers the next message box with `button` and remembers what it asked.
    void answerQuestion(QMessageBox::StandardButton button);

    std::unique_ptr<E2eBench> bench;
    int deviceId = -1;
    QString askedTitle;
    QString askedText;
};

void TestE2eSettings::init()
{
    SimBusOptions options;
    options.paced = false;
    bench = std::make_unique<E2eBench>(options);
    QVERIFY2(bench->isReady(), qPrintable(bench->error()));
    SimDeviceConfig config = SimDeviceConfig::at(kDeviceAddress, QStringLiteral("Door reader"));
    config.applicationVersion = QString::fromLatin1(kVersion);
    deviceId = bench->addDevice(config);
    QVERIFY(bench->connectTo(kDeviceAddress));
    bench->bus().clearTrace();
    tool().clearLog();
    askedTitle.clear();
    askedText.clear();
}

void TestE2eSettings::cleanup()
{
    bench.reset();
}

void TestE2eSettings::answerQuestion(QMessageBox::StandardButton button)
{
    auto *poll = new QTimer(tool().window());
    poll->setInterval(kQuestionPollMs);
    connect(poll, &QTimer::timeout, this, [this, poll, button] {
        auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
        if (!box)
            return;
        poll->deleteLater();
        poll->stop();
        askedTitle = box->windowTitle();
        askedText = box->text();
        box->button(button)->click();
    });
    poll->start();
}

void TestE2eSettings::shortNameOnTheWire_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QByteArray>("nameField");
    QTest::addColumn<QString>("shownAfterReadBack");

    QTest::newRow("two characters") << "AB" << QByteArray::fromHex("41420000") << "AB";
    QTest::newRow("empty") << "" << QByteArray::fromHex("00000000") << "";
    QTest::newRow("four characters") << "GATE" << QByteArray::fromHex("47415445") << "GATE";
    QTest::newRow("UTF-8 form longer than four bytes")
        << QString::fromUtf8("ÄÖÜ") << QByteArray::fromHex("C384C396") << QString();
}

void TestE2eSettings::shortNameOnTheWire()
{
    QFETCH(QString, name);
    QFETCH(QByteArray, nameField);
    QFETCH(QString, shownAfterReadBack);

    QVERIFY(tool().setChecked("cbTerminated", true));
    QVERIFY(tool().setText("leDeviceShortName", name));
    QVERIFY(tool().click("btSaveSettings"));
    QVERIFY(tool().waitForLog(E2e::kSettingsReceived));

    const QByteArray expected = QByteArray::fromHex("0B058001") + nameField;
    QCOMPARE(lastRequest(bench->bus().trace(), CmdSetSettings).toHex(' '), expected.toHex(' '));
    const auto stored = bench->bus().device(deviceId).settings.shortName;
    QCOMPARE(QByteArray(reinterpret_cast<const char *>(stored.data()), kShortNameSize).toHex(),
             nameField.toHex());
    if (!shownAfterReadBack.isNull())
        QCOMPARE(tool().text("leDeviceShortName"), shownAfterReadBack);
    QVERIFY(tool().widget<QCheckBox>("cbTerminated")->isChecked());
}

void TestE2eSettings::baudChangeReconnectsAtNewRate()
{
    QVERIFY(tool().selectIndex("cbDeviceComSpeed", kBaudIndex38400));
    QVERIFY(tool().click("btSaveSettings"));
    QVERIFY(tool().waitForLog(E2e::kSettingsReceived));

    QCOMPARE(
        tool().logLines(),
        QStringList({"Writing new device settings...", "Settings writed. Device is rebooting...",
                     "Reconnecting...", kVersionLine, E2e::kSettingsReceived}));
    QCOMPARE(tool().text("cbConnectionSpeed"), QStringLiteral("38400"));
    QCOMPARE(bench->bus().lineBaudRate(), 38400);
    QCOMPARE(bench->bus().device(deviceId).settings.baudIndex, uint8_t(kBaudIndex38400));
    QCOMPARE(tool().text("cbDeviceComSpeed"), QStringLiteral("38400"));
    QCOMPARE(tool().text("btSerialConnect"), QStringLiteral("Disconnect"));
    // The device only hears frames at its own rate: every request of the reconnect got through.
    const QVector<SimTraceEntry> trace = bench->bus().trace();
    QCOMPARE(requestedCommands(trace),
             QVector<int>({CmdSetSettings, CmdGetVersion, CmdGetDeviceName, CmdGetSettings}));
    QCOMPARE(std::count_if(trace.cbegin(), trace.cend(), std::mem_fn(&SimTraceEntry::isAnswer)), 4);
}

void TestE2eSettings::newOwnAddressEndsInConnectTimeout()
{
    const QString noResponse = QStringLiteral("No response from the hardware at address 0x80");
    QVERIFY(tool().setText("leDeviceAddress", QStringLiteral("42")));
    QVERIFY(tool().click("btSaveSettings"));
    QVERIFY(tool().waitForLog(noResponse));

    QCOMPARE(tool().logLines(), QStringList({"Writing new device settings...",
                                             "Settings writed. Device is rebooting...",
                                             "Reconnecting...", noResponse}));
    QCOMPARE(tool().statusText(), QStringLiteral("Connection timeout"));
    QCOMPARE(tool().infoText(), noResponse);
    QCOMPARE(tool().text("btSerialConnect"), QStringLiteral("Connect"));
    QCOMPARE(bench->bus().device(deviceId).address(), kNewDeviceAddress);

    // The operator enters the new address and connects again.
    QVERIFY(bench->connectTo(kNewDeviceAddress));
    QCOMPARE(tool().text("leDeviceAddress"), QStringLiteral("42"));
}

void TestE2eSettings::writeRefusedWithoutSending_data()
{
    QTest::addColumn<bool>("outOfTableBaud");
    QTest::addColumn<QStringList>("expectedLog");

    QTest::newRow("own address not hexadecimal")
        << false << QStringList{"Please enter correct own defice address!"};
    QTest::newRow("device reported unknown baud rate")
        << true
        << QStringList{"The device reported an unknown baud rate (index 9).",
                       E2e::kSettingsReceived,
                       "Please select the device baud rate before writing the settings."};
}

void TestE2eSettings::writeRefusedWithoutSending()
{
    QFETCH(bool, outOfTableBaud);
    QFETCH(QStringList, expectedLog);

    if (outOfTableBaud) {
        bench->bus().editDevice(deviceId, [](SimDeviceState &device) {
            device.settings.baudIndex = kOutOfTableBaudIndex;
        });
        // No button only reads the settings: ask for them on the tool's behalf.
        const QByteArray request =
            SimWire::encodeFrame(kDeviceAddress, QByteArray(1, CmdGetSettings));
        bench->bus().run(
            [&request](SimBus &bus) { bus.receiveLineBytes(request, bus.lineBaudRate()); });
        QVERIFY(tool().waitForLog(E2e::kSettingsReceived));
        QCOMPARE(tool().widget<QComboBox>("cbDeviceComSpeed")->currentIndex(), -1);
        bench->bus().clearTrace();
    } else {
        QVERIFY(tool().setText("leDeviceAddress", QString()));
    }
    QVERIFY(tool().click("btSaveSettings"));

    QCOMPARE(tool().logLines(), expectedLog);
    QVERIFY(busStaysQuiet(bench->bus()));
    QCOMPARE(tool().text("btSerialConnect"), QStringLiteral("Disconnect"));
}

void TestE2eSettings::restartRefreshesSettings_data()
{
    QTest::addColumn<QString>("button");
    QTest::addColumn<int>("command");
    QTest::addColumn<QString>("firstLine");
    QTest::addColumn<QString>("question");

    QTest::newRow("reboot") << "btRestartDevice" << int(CmdReboot) << "Rebooting device..."
                            << QString();
    QTest::newRow("factory reset")
        << "btResetToDefaults" << int(CmdResetToDefaults) << "Resetting to factory defaults..."
        << "Do you really want to reset device to factory default?";
}

void TestE2eSettings::restartRefreshesSettings()
{
    QFETCH(QString, button);
    QFETCH(int, command);
    QFETCH(QString, firstLine);
    QFETCH(QString, question);

    // A reboot shows what the device holds now; a reset brings its factory settings back.
    bench->bus().editDevice(deviceId, [command](SimDeviceState &device) {
        DeviceSettings changed = device.settings;
        changed.terminated = 1;
        changed.shortName = nameField(command == CmdReboot ? "BOOT" : "FACT");
        if (command == CmdReboot)
            device.settings = changed;
        else
            device.factorySettings = changed;
    });
    QVERIFY(!tool().widget<QCheckBox>("cbTerminated")->isChecked());
    // Ok for the question the reset asks; a reboot must not ask at all.
    answerQuestion(QMessageBox::Ok);
    QVERIFY(tool().click(button));
    QVERIFY(tool().waitForLog(E2e::kSettingsReceived));

    QCOMPARE(askedText, question);
    if (!question.isEmpty())
        QCOMPARE(askedTitle, QStringLiteral("Question"));
    QCOMPARE(tool().logLines(), QStringList({firstLine, "Done. Waiting for device...", kVersionLine,
                                             E2e::kSettingsReceived}));
    QCOMPARE(requestedCommands(bench->bus().trace()),
             QVector<int>({command, CmdGetVersion, CmdGetDeviceName, CmdGetSettings}));
    QCOMPARE(bench->bus().device(deviceId).restartCount, 1);
    QCOMPARE(tool().text("leDeviceShortName"),
             command == CmdReboot ? QStringLiteral("BOOT") : QStringLiteral("FACT"));
    QVERIFY(tool().widget<QCheckBox>("cbTerminated")->isChecked());
    QCOMPARE(tool().infoText(), QStringLiteral("Version:") + kVersion);
}

void TestE2eSettings::resetCancelledSendsNothing()
{
    answerQuestion(QMessageBox::Cancel);
    QVERIFY(tool().click("btResetToDefaults"));

    QCOMPARE(askedTitle, QStringLiteral("Question"));
    QVERIFY(tool().logLines().isEmpty());
    QVERIFY(busStaysQuiet(bench->bus()));
    QCOMPARE(bench->bus().device(deviceId).restartCount, 0);
}

void TestE2eSettings::rebootOfSilentDeviceTimesOut()
{
    SimFaults silent;
    silent.silent = true;
    bench->bus().setDeviceFaults(deviceId, silent);
    QVERIFY(tool().click("btRestartDevice"));
    QVERIFY(tool().waitForLog(kGenericTimeout));

    // The connect left OpReadSettings behind, whose timeout closes the port.
    QCOMPARE(tool().logLines(), QStringList({"Rebooting device...", kGenericTimeout}));
    QCOMPARE(tool().statusText(), QStringLiteral("Timeout"));
    QCOMPARE(tool().infoText(), QStringLiteral("No response to bootloader"));
    QCOMPARE(tool().text("btSerialConnect"), QStringLiteral("Connect"));
    QVERIFY(!tool().isEnabled("gbDeviceSettings"));
    QCOMPARE(requestedCommands(bench->bus().trace()), QVector<int>({CmdReboot}));
}

QTEST_MAIN(TestE2eSettings)
#include "tst_e2e_settings.moc"
