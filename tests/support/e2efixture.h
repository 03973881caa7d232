#ifndef E2EFIXTURE_H
#define E2EFIXTURE_H

// End-to-end tests: a simulated RS485 bus on its own thread and the tool's window on its port,
// driven by object names as an operator drives it.
//
//     E2eBench bench(E2e::fastBus());
//     QVERIFY2(bench.isReady(), qPrintable(bench.error()));
//     bench.addDevice(E2e::device("addr=1A,name=Door reader"));
//     QVERIFY(bench.connectTo(0x1A));                   // address, Connect, settings read
//     QVERIFY(bench.tool().click("btRestartDevice"));
//     QVERIFY(bench.tool().waitForLog("Done. Waiting for device..."));
//
// Devices and faults are set up in the simulator's own keys (talvik-bus-sim --help).

#include "datatable.h"
#include "mainwindow.h"
#include "simbusthread.h"

#include <QtWidgets>

#include <functional>
#include <memory>

class E2eBench;

namespace E2e {
// Enough for any chain of the tool, restarts and firmware pauses included.
constexpr int kWaitMs = 5000;
inline constexpr char kSettingsReceived[] = "Device settings received.";
inline constexpr char kGenericTimeout[] = "Timeout - Please recconnect device and try again.";
// connectionLook() of a window whose port is open, and of one whose port is closed.
inline constexpr char kConnectedLook[] =
    "Disconnect -cbSerialPort +gbDeviceSettings +gbDeviceCommands +gbAddressTag +gbLed port held";
inline constexpr char kDisconnectedLook[] =
    "Connect +cbSerialPort -gbDeviceSettings -gbDeviceCommands -gbAddressTag -gbLed port free";
// "a|b|c" as a list; an empty text is an empty list.
QStringList lines(const QString &text);
// A device, or faults, in the simulator's keys: "addr=1A,name=Door,late=0C:700". Keys the
// simulator refuses fail the running test.
SimDeviceConfig device(const QString &keys);
SimFaults faults(const QString &keys);
// Answers as soon as the pty carries them: for tests where line time is not the point.
SimBusOptions fastBus();
// A bus whose device is connected, trace and log emptied; nullptr (and a warning) on failure.
std::unique_ptr<E2eBench> connectedBench(const SimDeviceConfig &config, int *deviceId = nullptr);
// How wire() shows the frames on the line.
struct WireView
{
    bool address = false;     // "1A 0C" rather than "0C"
    bool answers = false;     // answers too, as "<1A 00 0C ..."
    int payloadBytes = -1;    // of each payload; all of it by default
    bool foldRepeats = false; // a run of equal texts as one, "1A F2 x4"
};
// The frames on the line, oldest first, one text each: by default the payload of each request,
// "03 00", a firmware chunk as "F2:" and its size in bytes.
QStringList wire(const SimBusThread &bus, const WireView &view = WireView());
// Bytes waiting unread in this process's open port at this path; -1 when it has none open.
int unreadBytes(const QString &portPath);
// True when no further request reaches the bus within quietMs.
bool busStaysQuiet(const SimBusThread &bus, int quietMs);
// Connect button text, enabled (+) or disabled (-) port list and device groups, port held/free.
QString connectionLook(E2eBench &bench);
} // namespace E2e

// A shown MainWindow (offscreen in tests); results come from the log view and the status bar.
class ToolDriver
{
public:
    explicit ToolDriver(const QString &portPath);

    // The named widget; a name the window lacks ends the test program, naming it.
    template <typename T = QWidget> T *widget(const QString &objectName) const
    {
        T *found = mainWindow->findChild<T *>(objectName);
        if (!found)
            qFatal("the window has no %s", qPrintable(objectName));
        return found;
    }
    // Types the path into the editable port box, as for a port the system does not list.
    void selectPort(const QString &portPath)
    {
        widget<QComboBox>(QStringLiteral("cbSerialPort"))->setCurrentText(portPath);
    }
    // False when the button is disabled.
    bool click(const QString &buttonName)
    {
        auto *button = widget<QAbstractButton>(buttonName);
        return button->isEnabled() && (button->click(), true);
    }
    // Types each value into the control of that name, both lists space separated: a line edit's
    // text, a combo box's current text, a check box's state as 1 or 0.
    void enter(const QString &names, const QString &values);
    // What the controls of these names show, in the same forms, space separated; a button's or a
    // label's text.
    QString text(const QString &names) const;

    // Lines of teLogs without their "hh:mm:ss.zzz - " prefix, oldest first.
    QStringList logLines() const;
    void clearLog() { widget<QTextEdit>(QStringLiteral("teLogs"))->clear(); }
    // Runs the event loop until the line has been logged `occurrence` times; false on timeout.
    bool waitForLog(const QString &line, int timeoutMs = E2e::kWaitMs, int occurrence = 1)
    {
        return waitUntil([&] { return logLines().count(line) >= occurrence; }, timeoutMs);
    }
    // True when the log stays as it is for quietMs.
    bool logStaysQuiet(int quietMs)
    {
        const QStringList before = logLines();
        return !waitUntil([&] { return logLines() != before; }, quietMs);
    }

    // "statusLabel|infoLabel"
    QString statusBarText() const;
    QProgressBar *progressBar() const
    {
        return mainWindow->statusBar()->findChild<QProgressBar *>();
    }

    // Answers the next modal dialog: a message box with Ok, a file dialog with filePath (an
    // empty one cancels it).
    void answerNextModal(const QString &filePath = QString());

    static bool waitUntil(const std::function<bool()> &condition, int timeoutMs = E2e::kWaitMs);

private:
    std::unique_ptr<MainWindow> mainWindow;
    std::unique_ptr<QObject> modalWatchers;
};

// A running simulated bus plus a tool window whose cbSerialPort names the bus's port; no window
// when the bus did not start.
class E2eBench
{
public:
    explicit E2eBench(const SimBusOptions &options = SimBusOptions());

    bool isReady() const { return driver != nullptr; }
    QString error() const { return startError; }
    SimBusThread &bus() { return simulator; }
    ToolDriver &tool() { return *driver; }
    int addDevice(const SimDeviceConfig &config) { return simulator.addDevice(config); }
    // Types the address, presses Connect and waits for the settings to be read.
    bool connectTo(uint8_t address, int timeoutMs = E2e::kWaitMs);

private:
    // The window is destroyed first: a vanished pty master floods its port with errors.
    SimBusThread simulator;
    std::unique_ptr<ToolDriver> driver;
    QString startError;
};

#endif // E2EFIXTURE_H
