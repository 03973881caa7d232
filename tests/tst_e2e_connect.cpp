// Connecting to one device on the simulated bus, and every way the connection ends.
#include "e2efixture.h"

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QElapsedTimer>
#include <QLoggingCategory>
#include <QtTest>

using E2e::lines;
using ExchangeTiming::kConnectTimeoutMs;

namespace {
constexpr uint8_t kAddress = 0x1A;
// The timer is coarse and the event loop busy: allow some lateness, hardly any earliness.
constexpr qint64 kTimeoutEarliestMs = kConnectTimeoutMs * 9 / 10;
constexpr qint64 kTimeoutLatestMs = kConnectTimeoutMs * 8 / 5;
// Past the timeout, so the late answer meets a closed port.
constexpr int kLateAnswerMs = kConnectTimeoutMs + 200;
const QString kVersionLine = QStringLiteral("Firmware version is: APP 1.0.0");
} // namespace

class TestE2eConnect : public QObject
{
    Q_OBJECT

private slots:
    void connectReadsDevice_data()
    {
        // settings: baud index, address, terminated, name
        addColumns<QString, QByteArray, int, bool, QString>(
            {"lineSpeed", "settings", "shownIndex", "shownTerminated", "log"});
        const QString read = kVersionLine + "|Device settings received.";
        addRow("115200, open line", "115200", QByteArray::fromHex("051A00444F4F52"), 5, false,
               read);
        addRow("19200, any non-zero byte terminates", "19200", QByteArray::fromHex("02C3074142"), 2,
               true, read);
        addRow("baud index outside the table", "115200", QByteArray::fromHex("09050100"), -1, true,
               kVersionLine + "|The device reported an unknown baud rate (index 9)."
                              "|Device settings received.");
    }

    void connectReadsDevice()
    {
        QFETCH(QString, lineSpeed);
        QFETCH(QByteArray, settings);
        QFETCH(int, shownIndex);
        QFETCH(bool, shownTerminated);
        QFETCH(QString, log);

        E2eBench bench(E2e::fastBus());
        QVERIFY2(bench.isReady(), qPrintable(bench.error()));
        SimDeviceConfig config;
        const QByteArray answer = QByteArray::fromHex("000C") + settings;
        config.settings =
            readSettings(reinterpret_cast<const uint8_t *>(answer.constData()), answer.size());
        bench.addDevice(config);
        ToolDriver &tool = bench.tool();
        tool.widget<QComboBox>("cbConnectionSpeed")->setCurrentText(lineSpeed);
        // Start from values the answer must overwrite.
        tool.widget<QComboBox>("cbDeviceComSpeed")->setCurrentIndex(1);
        QVERIFY(tool.setText("leDeviceAddress", "EE"));
        tool.setChecked("cbTerminated", !shownTerminated);
        QVERIFY(tool.setText("leDeviceShortName", "XYZW"));

        QVERIFY(bench.connectTo(config.settings.ownAddress));
        QCOMPARE(bench.bus().lineBaudRate(), lineSpeed.toInt());
        QCOMPARE(tool.statusBarText(), QStringLiteral("Connected|Version:APP 1.0.0"));
        QCOMPARE(tool.logLines(), lines(log));
        QCOMPARE(tool.widget<QComboBox>("cbDeviceComSpeed")->currentIndex(), shownIndex);
        QCOMPARE(tool.text("leDeviceAddress"), hexByte(config.settings.ownAddress));
        QCOMPARE(tool.widget<QCheckBox>("cbTerminated")->isChecked(), shownTerminated);
        QCOMPARE(tool.text("leDeviceShortName"), QString::fromLatin1(settings.mid(3)));
        QCOMPARE(E2e::requestLines(bench.bus()), lines("09|0A|0C"));
        QCOMPARE(E2e::connectionLook(bench), QLatin1String(E2e::kConnectedLook));
    }

    void controlsEndConnection_data()
    {
        addColumns<QString, QString>({"button", "log"});
        addRow("disconnect", "btSerialConnect", "");
        addRow("scan", "btScanRs485", "Searching aborted.");
        addRow("refresh port list", "btRefresComPorts", "");
    }

    void controlsEndConnection()
    {
        QFETCH(QString, button);
        QFETCH(QString, log);

        const auto bench = E2e::connectedBench(SimDeviceConfig::at(kAddress));
        QVERIFY(bench);
        ToolDriver &tool = bench->tool();
        QVERIFY(tool.click(button));
        QCOMPARE(E2e::connectionLook(*bench), QLatin1String(E2e::kDisconnectedLook));
        QCOMPARE(tool.statusBarText(), QStringLiteral("|"));
        QCOMPARE(tool.logLines(), lines(log));
        QVERIFY(E2e::requestLines(bench->bus()).isEmpty());
        QCOMPARE(tool.text("btScanRs485"), QStringLiteral("Scan"));
        // The refresh rebuilds the list from the system's ports, which never list a pty.
        if (button == QLatin1String("btRefresComPorts")) {
            auto *ports = tool.widget<QComboBox>("cbSerialPort");
            QCOMPARE(ports->currentIndex(), ports->count() > 0 ? 0 : -1);
            QVERIFY(ports->currentText() != bench->bus().portPath());
            tool.selectPort(bench->bus().portPath());
        }
        QVERIFY(bench->connectTo(kAddress));
    }

    void readErrorClosesPortBehindLook()
    {
        // The adapter is pulled: the port reports a read error and is closed, the look stays.
        const auto bench = E2e::connectedBench(SimDeviceConfig::at(kAddress));
        QVERIFY(bench);
        static bool readError = false;
        QLoggingCategory::setFilterRules(QStringLiteral("talvik.serial.debug=true"));
        const QtMessageHandler previous = qInstallMessageHandler(
            [](QtMsgType, const QMessageLogContext &, const QString &message) {
                readError = readError || message.startsWith("An I/O error occurred");
            });
        bench->bus().stop();
        const bool reported = ToolDriver::waitUntil([] { return readError; });
        qInstallMessageHandler(previous);
        QLoggingCategory::setFilterRules(QString());
        QVERIFY(reported);
        QCOMPARE(bench->tool().text("btSerialConnect"), QStringLiteral("Disconnect"));
        // The button decides by the port, not by its text: pressed now, it connects anew.
        QVERIFY(bench->tool().click("btSerialConnect"));
        QVERIFY(bench->tool().waitForLog("No response from the hardware at address 0x1A"));
    }

    void connectTimesOut_data()
    {
        addColumns<QString, QString, QString, QString>({"fault", "requests", "log", "statusBar"});
        const QString noAnswer = QStringLiteral("No response from the hardware at address 0x1A");
        const QString timedOut = "Connection timeout|" + noAnswer;
        addRow("silent address", "silent", "09", noAnswer, timedOut);
        addRow("identification too late", "late 0A", "09|0A", kVersionLine + '|' + noAnswer,
               timedOut);
        // The broken answer gets the CRC error notice; then the tool gives up as for silence.
        addRow("answers with broken CRC", "broken CRC", "09|FF FF 02", noAnswer, timedOut);
        addRow("port cannot be opened", "no port", "", noAnswer, timedOut);
        addRow("settings too late", "late 0C", "09|0A|0C",
               kVersionLine + '|' + E2e::kGenericTimeout, "Timeout|No response to bootloader");
    }

    void connectTimesOut()
    {
        QFETCH(QString, fault);
        QFETCH(QString, requests);
        QFETCH(QString, log);
        QFETCH(QString, statusBar);

        E2eBench bench(E2e::fastBus());
        QVERIFY2(bench.isReady(), qPrintable(bench.error()));
        SimDeviceConfig config = SimDeviceConfig::at(kAddress);
        config.faults.silent = fault == "silent";
        config.faults.corruptCrcRate = fault == "broken CRC" ? 1.0 : 0.0;
        config.faults.lateCommand =
            fault.startsWith("late") ? fault.right(2).toInt(nullptr, 16) : kNoCommand;
        config.faults.lateAnswerMs = kLateAnswerMs;
        const int id = bench.addDevice(config);
        ToolDriver &tool = bench.tool();
        const bool opens = fault != "no port";
        if (!opens)
            tool.selectPort(QStringLiteral("/dev/ttyTalvikMissing"));
        QVERIFY(tool.setText("leDeviceShortName", "KEEP"));
        QVERIFY(tool.setText("leTargetAddress", hexByte(kAddress)));

        QElapsedTimer clock;
        clock.start();
        QVERIFY(tool.click("btSerialConnect"));
        QCOMPARE(E2e::connectionLook(bench),
                 QLatin1String(opens ? E2e::kConnectedLook : E2e::kDisconnectedLook));
        QCOMPARE(tool.statusBarText(), opens ? QStringLiteral("Connected|") : QStringLiteral("|"));
        QVERIFY(ToolDriver::waitUntil([&] { return tool.statusBarText() == statusBar; }));
        QVERIFY2(clock.elapsed() >= kTimeoutEarliestMs && clock.elapsed() <= kTimeoutLatestMs,
                 qPrintable(QStringLiteral("timeout after %1 ms").arg(clock.elapsed())));
        QCOMPARE(tool.logLines(), lines(log));
        QCOMPARE(E2e::requestLines(bench.bus()), lines(requests));
        QCOMPARE(tool.text("leDeviceShortName"), QStringLiteral("KEEP"));
        QCOMPARE(E2e::connectionLook(bench), QLatin1String(E2e::kDisconnectedLook));

        // A late answer still on its way would land in the next connection: let it go by first.
        QVERIFY(config.faults.lateCommand == kNoCommand || ToolDriver::waitUntil([&] {
                    return bench.bus().trace().last().note.contains(QLatin1String("lost"));
                }));
        // Once the fault is gone the same window connects as usual.
        bench.bus().setDeviceFaults(id, SimFaults());
        tool.selectPort(bench.bus().portPath());
        QVERIFY(bench.connectTo(kAddress));
        QCOMPARE(tool.statusBarText(), QStringLiteral("Connected|Version:APP 1.0.0"));
    }
};

QTEST_MAIN(TestE2eConnect)
#include "tst_e2e_connect.moc"
