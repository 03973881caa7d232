// Device settings, reboot and factory reset, driven through the window against a simulated bus.
#include "e2efixture.h"

#include <QAbstractButton>
#include <QApplication>
#include <QCheckBox>
#include <QMessageBox>
#include <QTimer>
#include <QtTest>

#include <memory>

namespace {

constexpr uint8_t kDeviceAddress = 0x80;
constexpr uint8_t kNewDeviceAddress = 0x42;
constexpr int kBaudIndex38400 = 3;
constexpr int kQuestionPollMs = 10;
constexpr int kQuietMs = 200;
// Into the tool's 1500 ms restart pause.
constexpr int kLateEepromMs = 200;
constexpr uint8_t kEepromCell = 0x10;
constexpr char kEepromValue = 0x5A;
const QString kVersion = QStringLiteral("APP 3.1.4");
const QString kSettingsReceived = QLatin1String(E2e::kSettingsReceived);
const QStringList kWriteAndReconnect = {
    "Writing new device settings...", "Settings writed. Device is rebooting...", "Reconnecting..."};

struct RestartCase
{
    QString button;
    int command;
    QString firstLine, question;
    int eepromLateMs;
};

} // namespace

Q_DECLARE_METATYPE(RestartCase)

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
    void ownAddressErrorSendsNothing();
    void restartRefreshesSettings_data();
    void restartRefreshesSettings();
    void resetCancelledSendsNothing();
    void rebootOfSilentDeviceTimesOut();

private:
    ToolDriver &tool() { return bench->tool(); }
    // Answers the next message box with `button` and remembers "title: question".
    void answerQuestion(QMessageBox::StandardButton button);

    std::unique_ptr<E2eBench> bench;
    int deviceId = -1;
    QString asked;
};

void TestE2eSettings::init()
{
    bench = std::make_unique<E2eBench>(E2e::fastBus());
    QVERIFY2(bench->isReady(), qPrintable(bench->error()));
    SimDeviceConfig config = SimDeviceConfig::at(kDeviceAddress, QStringLiteral("Door reader"));
    config.applicationVersion = kVersion;
    deviceId = E2e::addConnectedDevice(*bench, config);
    QVERIFY(deviceId >= 0);
    asked.clear();
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
        asked = box->windowTitle() + QStringLiteral(": ") + box->text();
        box->button(button)->click();
    });
    poll->start();
}

void TestE2eSettings::shortNameOnTheWire_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("nameField");
    QTest::addColumn<QString>("shownAfterReadBack");

    QTest::newRow("two characters") << "AB"
                                    << "41 42 00 00"
                                    << "AB";
    QTest::newRow("empty") << ""
                           << "00 00 00 00"
                           << "";
    // Cut inside the third character: what the field shows then is not defined.
    QTest::newRow("UTF-8 form longer than four bytes")
        << QString::fromUtf8("ÄÖÜ") << "C3 84 C3 96" << QString();
}

void TestE2eSettings::shortNameOnTheWire()
{
    QFETCH(QString, name);
    QFETCH(QString, nameField);
    QFETCH(QString, shownAfterReadBack);

    QVERIFY(tool().setChecked("cbTerminated", true));
    QVERIFY(tool().setText("leDeviceShortName", name));
    QVERIFY(tool().click("btSaveSettings"));
    QVERIFY(tool().waitForLog(kSettingsReceived));

    // Baud index, own address, terminated, then the name field.
    QCOMPARE(E2e::requestLines(bench->bus()).value(0), "0B 05 80 01 " + nameField);
    if (!shownAfterReadBack.isNull())
        QCOMPARE(tool().text("leDeviceShortName"), shownAfterReadBack);
    QVERIFY(tool().widget<QCheckBox>("cbTerminated")->isChecked());
}

void TestE2eSettings::baudChangeReconnectsAtNewRate()
{
    QVERIFY(tool().selectIndex("cbDeviceComSpeed", kBaudIndex38400));
    QVERIFY(tool().click("btSaveSettings"));
    QVERIFY(tool().waitForLog(kSettingsReceived));

    QCOMPARE(tool().logLines(),
             kWriteAndReconnect + QStringList({E2e::versionLine(kVersion), kSettingsReceived}));
    QCOMPARE(tool().text("cbConnectionSpeed"), QStringLiteral("38400"));
    QCOMPARE(bench->bus().lineBaudRate(), 38400);
    QCOMPARE(tool().text("cbDeviceComSpeed"), QStringLiteral("38400"));
    QCOMPARE(E2e::connectionLook(*bench), QLatin1String(E2e::kConnectedLook));
    // The device only hears frames at its own rate: every request of the reconnect got through.
    QCOMPARE(E2e::requestCommands(bench->bus()),
             QVector<int>({CmdSetSettings, CmdGetVersion, CmdGetDeviceName, CmdGetSettings}));
}

void TestE2eSettings::newOwnAddressEndsInConnectTimeout()
{
    const QString noResponse = E2e::noResponseLine(kDeviceAddress);
    QVERIFY(tool().setText("leDeviceAddress", hexByte(kNewDeviceAddress)));
    QVERIFY(tool().click("btSaveSettings"));
    QVERIFY(tool().waitForLog(noResponse));

    QCOMPARE(tool().logLines(), kWriteAndReconnect + QStringList{noResponse});
    QCOMPARE(tool().statusText(), QStringLiteral("Connection timeout"));
    QCOMPARE(tool().infoText(), noResponse);
    QCOMPARE(E2e::connectionLook(*bench), QLatin1String(E2e::kDisconnectedLook));
    QCOMPARE(bench->bus().device(deviceId).address(), kNewDeviceAddress);

    // The operator enters the new address and connects again.
    QVERIFY(bench->connectTo(kNewDeviceAddress));
    QCOMPARE(tool().text("leDeviceAddress"), hexByte(kNewDeviceAddress));
}

void TestE2eSettings::ownAddressErrorSendsNothing()
{
    QVERIFY(tool().setText("leDeviceAddress", QString()));
    QVERIFY(tool().click("btSaveSettings"));

    QCOMPARE(tool().logLines(), QStringList{"Please enter correct own defice address!"});
    QVERIFY(E2e::busStaysQuiet(bench->bus(), kQuietMs));
    QCOMPARE(E2e::connectionLook(*bench), QLatin1String(E2e::kConnectedLook));
}

void TestE2eSettings::restartRefreshesSettings_data()
{
    QTest::addColumn<RestartCase>("restart");

    QTest::newRow("reboot, answers back to back")
        << RestartCase{"btRestartDevice", CmdReboot, "Rebooting device...", {}, 0};
    QTest::newRow("factory reset, answer while the tool sleeps") << RestartCase{
        "btResetToDefaults", CmdResetToDefaults, "Resetting to factory defaults...",
        "Question: Do you really want to reset device to factory default?", kLateEepromMs};
}

void TestE2eSettings::restartRefreshesSettings()
{
    QFETCH(RestartCase, restart);

    // A reboot shows what the device holds now; a reset brings its factory settings back.
    const bool reboot = restart.command == CmdReboot;
    const QString shownName = reboot ? QStringLiteral("BOOT") : QStringLiteral("FACT");
    bench->bus().editDevice(deviceId, [&](SimDeviceState &device) {
        DeviceSettings changed = device.settings;
        changed.terminated = 1;
        changed.shortName = shortNameBytes(shownName);
        if (reboot)
            device.settings = changed;
        else
            device.factorySettings = changed;
        device.eeprom[kEepromCell] = kEepromValue;
        device.faults.lateCommand = CmdPnEeprom;
        device.faults.lateAnswerMs = restart.eepromLateMs;
    });
    QVERIFY(!tool().widget<QCheckBox>("cbTerminated")->isChecked());
    QVERIFY(tool().setText("lePnAddress", hexByte(kEepromCell)));
    // Ok for the question the reset asks; a reboot must not ask at all.
    answerQuestion(QMessageBox::Ok);
    QVERIFY(tool().click(restart.button));
    // Sent in the same pass: its answer comes around the tool's restart pause and must be
    // handled once, in order.
    QVERIFY(tool().click("btReadPnEeprom"));
    QVERIFY(tool().waitForLog(kSettingsReceived));

    QCOMPARE(asked, restart.question);
    QCOMPARE(tool().logLines(),
             QStringList({restart.firstLine, E2e::kWaitingForDevice, "Value received: 5A",
                          E2e::versionLine(kVersion), kSettingsReceived}));
    QCOMPARE(E2e::requestCommands(bench->bus()),
             QVector<int>(
                 {restart.command, CmdPnEeprom, CmdGetVersion, CmdGetDeviceName, CmdGetSettings}));
    QCOMPARE(bench->bus().device(deviceId).restartCount, 1);
    QCOMPARE(tool().text("leDeviceShortName"), shownName);
    QVERIFY(tool().widget<QCheckBox>("cbTerminated")->isChecked());
    QCOMPARE(tool().text("lePnValue"), QStringLiteral("5A"));
    QCOMPARE(tool().infoText(), QStringLiteral("Version:") + kVersion);
}

void TestE2eSettings::resetCancelledSendsNothing()
{
    answerQuestion(QMessageBox::Cancel);
    QVERIFY(tool().click("btResetToDefaults"));

    QVERIFY(asked.startsWith(QStringLiteral("Question: ")));
    QVERIFY(tool().logLines().isEmpty());
    QVERIFY(E2e::busStaysQuiet(bench->bus(), kQuietMs));
    QCOMPARE(bench->bus().device(deviceId).restartCount, 0);
}

void TestE2eSettings::rebootOfSilentDeviceTimesOut()
{
    SimFaults silent;
    silent.silent = true;
    bench->bus().setDeviceFaults(deviceId, silent);
    QVERIFY(tool().click("btRestartDevice"));
    QVERIFY(tool().waitForLog(E2e::kGenericTimeout));

    // The connect left OpReadSettings behind, whose timeout closes the port.
    QCOMPARE(tool().logLines(), QStringList({"Rebooting device...", E2e::kGenericTimeout}));
    QCOMPARE(tool().statusText(), QStringLiteral("Timeout"));
    QCOMPARE(tool().infoText(), QStringLiteral("No response to bootloader"));
    QCOMPARE(E2e::connectionLook(*bench), QLatin1String(E2e::kDisconnectedLook));
    QCOMPARE(E2e::requestCommands(bench->bus()), QVector<int>({CmdReboot}));
}

QTEST_MAIN(TestE2eSettings)
#include "tst_e2e_settings.moc"
