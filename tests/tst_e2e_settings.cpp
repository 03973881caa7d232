// Device settings, reboot and factory reset, driven through the window against a simulated bus.
#include "e2efixture.h"

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QtTest>

using E2e::lines;

namespace {
constexpr uint8_t kAddress = 0x80;
constexpr int kQuietMs = 300;
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
} // namespace

class TestE2eSettings : public QObject
{
    Q_OBJECT

    std::unique_ptr<E2eBench> bench;
    int id = -1;
    ToolDriver &tool() { return bench->tool(); }

private slots:
    void init()
    {
        SimDeviceConfig config = SimDeviceConfig::at(kAddress);
        config.applicationVersion = QStringLiteral("APP 3.1.4");
        bench = E2e::connectedBench(config, &id);
        QVERIFY(bench);
    }
    void cleanup() { bench.reset(); }

    void writeSendsShortName_data()
    {
        addColumns<QString, QString, int>({"name", "nameField", "storeMs"});
        addRow("two characters, slow to store", "AB", "41 42 00 00", kSlowStoreMs);
        addRow("empty", "", "00 00 00 00", 0);
        // Cut inside the third character: what the field shows then is not defined.
        addRow("UTF-8 form longer than four bytes", "ÄÖÜ", "C3 84 C3 96", 0);
    }

    void writeSendsShortName()
    {
        QFETCH(QString, name);
        QFETCH(QString, nameField);
        QFETCH(int, storeMs);

        bench->bus().editDevice(id, [storeMs](SimDeviceState &device) {
            device.faults.lateCommand = CmdSetSettings;
            device.faults.lateAnswerMs = storeMs;
        });
        tool().setChecked("cbTerminated", true);
        QVERIFY(tool().setText("leDeviceShortName", name));
        QVERIFY(tool().click("btSaveSettings"));
        QVERIFY(tool().waitForLog(kSettingsRead));
        // Baud index, own address, terminated, then the name field.
        QCOMPARE(E2e::requestLines(bench->bus()).value(0), "0B 05 80 01 " + nameField);
        QCOMPARE(tool().logLines(), lines(kWritten + '|' + kVersionLine + '|' + kSettingsRead));
        if (name.size() < 3)
            QCOMPARE(tool().text("leDeviceShortName"), name);
        QVERIFY(tool().widget<QCheckBox>("cbTerminated")->isChecked());
    }

    void baudChangeReconnectsAtNewRate()
    {
        tool().widget<QComboBox>("cbDeviceComSpeed")->setCurrentIndex(baudIndexOf(38400));
        QVERIFY(tool().click("btSaveSettings"));
        QVERIFY(tool().waitForLog(kSettingsRead));
        QCOMPARE(tool().logLines(), lines(kWritten + '|' + kVersionLine + '|' + kSettingsRead));
        QCOMPARE(tool().text("cbConnectionSpeed") + tool().text("cbDeviceComSpeed"),
                 QStringLiteral("3840038400"));
        QCOMPARE(bench->bus().lineBaudRate(), 38400);
        QCOMPARE(E2e::connectionLook(*bench), QLatin1String(E2e::kConnectedLook));
        // The device only hears frames at its own rate: every request of the reconnect got through.
        QCOMPARE(E2e::requestLines(bench->bus()).mid(1), lines("09|0A|0C"));
    }

    void refusedRequestSendsNothing_data()
    {
        addColumns<QString, QString, QString, QString>({"button", "emptied", "log", "asked"});
        addRow("own address empty", "btSaveSettings", "leDeviceAddress",
               "Please enter correct own defice address!", "");
        // As after a settings answer with a baud index outside the table.
        addRow("device baud rate unknown", "btSaveSettings", "cbDeviceComSpeed",
               "Please select the device baud rate before writing the settings.", "");
        addRow("factory reset cancelled", "btResetToDefaults", "", "", kQuestion);
        // The address is checked before the port: the connection stands, the field takes the focus.
        addRow("connect, address empty", "btSerialConnect", "leTargetAddress",
               "Please enter the correct device address!", "");
    }

    void refusedRequestSendsNothing()
    {
        QFETCH(QString, button);
        QFETCH(QString, emptied);
        QFETCH(QString, log);
        QFETCH(QString, asked);

        QApplication::setActiveWindow(tool().window());
        QVERIFY(QTest::qWaitForWindowActive(tool().window()));
        tool().widget(button)->setFocus();
        if (emptied == "cbDeviceComSpeed")
            tool().widget<QComboBox>(emptied)->setCurrentIndex(-1);
        else
            tool().setText(emptied, QString());
        QString question;
        tool().answerNextMessageBox(QMessageBox::Cancel, &question);
        QVERIFY(tool().click(button));
        QCOMPARE(question, asked);
        QCOMPARE(tool().logLines(), lines(log));
        QVERIFY(button != "btSerialConnect" ||
                QApplication::focusWidget() == tool().widget(emptied));
        QVERIFY(E2e::busStaysQuiet(bench->bus(), kQuietMs));
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
            DeviceSettings changed = device.settings;
            changed.terminated = 1;
            changed.shortName = shortNameBytes(reboot ? "BOOT" : "FACT");
            if (reboot)
                device.settings = changed;
            else
                device.factorySettings = changed;
            device.eeprom[0x10] = '\x5A';
            device.faults.lateCommand = CmdPnEeprom;
            device.faults.lateAnswerMs = eepromLateMs;
        });
        QVERIFY(tool().setText("lePnAddress", "10"));
        QString question;
        tool().answerNextMessageBox(QMessageBox::Ok, &question);
        QVERIFY(tool().click(button));
        // Sent in the same pass: its answer must be handled once, in order.
        QVERIFY(tool().click("btReadPnEeprom"));
        QVERIFY(tool().waitForLog(kSettingsRead));

        QCOMPARE(question, asked);
        QCOMPARE(tool().logLines(), lines(firstLine +
                                          "|Done. Waiting for device...|"
                                          "Value received: 5A|" +
                                          kVersionLine + '|' + kSettingsRead));
        QCOMPARE(E2e::requestLines(bench->bus()),
                 lines((reboot ? "08" : "0D") + QString("|F4 10|09|0A|0C")));
        QCOMPARE(bench->bus().device(id).restartCount, 1);
        QCOMPARE(tool().text("leDeviceShortName"), reboot ? "BOOT" : "FACT");
        QVERIFY(tool().widget<QCheckBox>("cbTerminated")->isChecked());
        QCOMPARE(tool().statusBarText(), QStringLiteral("Connected|Version:APP 3.1.4"));
    }
};

QTEST_MAIN(TestE2eSettings)
#include "tst_e2e_settings.moc"
