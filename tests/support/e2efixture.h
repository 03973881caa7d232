#ifndef E2EFIXTURE_H
#define E2EFIXTURE_H

// End-to-end tests: a simulated RS485 bus on its own thread and the tool's window on its port.
//
//     E2eBench bench;                                   // bus started, window on its port
//     QVERIFY(bench.isReady());
//     bench.addDevice(SimDeviceConfig::at(0x1A, "Door reader"));
//     QVERIFY(bench.connectTo(0x1A));                   // address field, Connect, settings read
//     QVERIFY(bench.tool().click("btRestartDevice"));
//     QVERIFY(bench.tool().waitForLog("Done. Waiting for device..."));
//     QCOMPARE(bench.bus().device(id).restartCount, 1);
//
// The simulator API (SimBusThread, SimDeviceConfig, SimFaults, SimTag, SimTraceEntry) is in
// sim/simbusthread.h and sim/simdevice.h.

#include "mainwindow.h"
#include "simbusthread.h"

#include <QMessageBox>
#include <QObject>
#include <QString>
#include <QStringList>

#include <functional>
#include <memory>

class QComboBox;
class QLabel;
class QProgressBar;
class QTimer;

namespace E2e {
// Enough for any chain of the tool to run through, restarts and firmware pauses included.
constexpr int kDefaultWaitMs = 5000;
// Line the connect sequence ends with.
extern const char kSettingsReceived[];
} // namespace E2e

// Drives a MainWindow as an operator does: controls by object name, results from the log view
// and the status bar. Create it on the GUI thread; the window is shown (offscreen in tests).
class ToolDriver
{
public:
    // portPath empty: leave the port list as the tool filled it.
    explicit ToolDriver(const QString &portPath = QString());
    ~ToolDriver();
    ToolDriver(const ToolDriver &) = delete;
    ToolDriver &operator=(const ToolDriver &) = delete;

    MainWindow *window() const { return mainWindow.get(); }

    // Makes portPath the current text of cbSerialPort (again after a refresh emptied it).
    void selectPort(const QString &portPath);

    // A control by object name, nullptr when there is none of that name and type.
    template <typename T = QWidget> T *widget(const QString &objectName) const;

    // Each returns false when the control is missing, of another type, or (click) disabled.
    bool click(const QString &buttonName);
    bool setText(const QString &lineEditName, const QString &text);
    bool setChecked(const QString &checkBoxName, bool checked);
    bool selectIndex(const QString &comboBoxName, int index);
    bool selectText(const QString &comboBoxName, const QString &text);

    // Text of a line edit, button, label, check box or a combo box's current text.
    QString text(const QString &objectName) const;
    bool isEnabled(const QString &objectName) const;

    // Lines of teLogs without their "hh:mm:ss.zzz - " prefix, oldest first.
    QStringList logLines() const;
    // How often this exact line was logged.
    int logCount(const QString &line) const;
    void clearLog();
    // Keep the event loop running until the exact line (or a line containing fragment)
    // has been logged at least `occurrence` times; false on timeout.
    bool waitForLog(const QString &line, int timeoutMs = E2e::kDefaultWaitMs, int occurrence = 1);
    bool waitForLogContaining(const QString &fragment, int timeoutMs = E2e::kDefaultWaitMs);

    // The two unnamed labels of the status bar: statusLabel first, infoLabel second.
    QLabel *statusLabel() const;
    QLabel *infoLabel() const;
    QProgressBar *progressBar() const;
    QString statusText() const;
    QString infoText() const;

    // Answer the next modal message box (the factory-reset question) with this button.
    void answerNextMessageBox(QMessageBox::StandardButton button = QMessageBox::Ok);
    // Pick filePath in the next file dialog (firmware image); an empty path cancels it.
    void answerNextFileDialog(const QString &filePath);

    // Polls condition while the event loop runs; true once it holds.
    static bool waitUntil(const std::function<bool()> &condition,
                          int timeoutMs = E2e::kDefaultWaitMs);

private:
    QLabel *statusBarLabel(int position) const;
    void answerNextModal(const std::function<bool(QWidget *)> &answer);

    std::unique_ptr<MainWindow> mainWindow;
    std::unique_ptr<QObject> modalWatcherOwner;
};

// A running simulated bus plus a tool window whose cbSerialPort names the bus's port.
// The window is destroyed before the bus (a vanished pty master floods the port with errors).
class E2eBench
{
public:
    explicit E2eBench(const SimBusOptions &options = SimBusOptions());
    ~E2eBench();

    // False when the pty could not be opened; error() says why.
    bool isReady() const { return ready; }
    QString error() const { return startError; }

    SimBusThread &bus() { return simulator; }
    ToolDriver &tool() { return *driver; }

    // Shorthand for bus().addDevice(); returns the device id.
    int addDevice(const SimDeviceConfig &config) { return simulator.addDevice(config); }
    // Types the address, presses Connect and waits for the settings to be read.
    bool connectTo(uint8_t address, int timeoutMs = E2e::kDefaultWaitMs);

private:
    SimBusThread simulator;
    std::unique_ptr<ToolDriver> driver;
    bool ready = false;
    QString startError;
};

// Shared by the end-to-end tests: what went out on the line, common log lines, the window's look.
namespace E2e {
extern const char kGenericTimeout[];
extern const char kWaitingForDevice[];
// connectionLook() of a window whose port is open and one whose port is closed.
extern const char kConnectedLook[];
extern const char kDisconnectedLook[];

// "Firmware version is: <version>" and "No response from the hardware at address 0x<AA>".
QString versionLine(const QString &version);
QString noResponseLine(uint8_t address);

// Answers as soon as the pty carries them: for tests where line time is not the point.
SimBusOptions fastBus();
// Adds the device and connects to it, then empties trace and log; the id, -1 when it failed.
int addConnectedDevice(E2eBench &bench, const SimDeviceConfig &config);

// The requests the devices saw, oldest first; kAnyCommand takes every one.
QVector<SimTraceEntry> requests(const QVector<SimTraceEntry> &trace, int command = kAnyCommand);
// Their payloads as "03 00" lines, or their command codes.
QStringList requestLines(const SimBusThread &bus);
QVector<int> requestCommands(const SimBusThread &bus);
// True when no request beyond those already traced arrives within quietMs.
bool busStaysQuiet(const SimBusThread &bus, int quietMs);
// "41 42 00"
QString hexLine(const QByteArray &bytes);
// Tags whose UIDs differ in the last byte only: 04AB12CD34EF00, 04AB12CD34EF01, ...
QVector<SimTag> tagsOnAntenna(int count);
QStringList itemTexts(const QComboBox *combo);

// True while a serial port has the tty open: QSerialPort takes it exclusively until it closes.
bool portHeldExclusively(const QString &portPath);
// Connect button text, enabled (+) or disabled (-) port list and device groups, and whether
// a serial port holds the bus's pty.
QString connectionLook(E2eBench &bench);
} // namespace E2e

template <typename T> T *ToolDriver::widget(const QString &objectName) const
{
    return mainWindow ? mainWindow->findChild<T *>(objectName) : nullptr;
}

#endif // E2EFIXTURE_H
