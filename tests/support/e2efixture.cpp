#include "e2efixture.h"

#include "simscenario.h"

#include <sys/ioctl.h>

namespace {
constexpr int kModalPollMs = 10;
constexpr int kConditionPollMs = 2;

// The property an operator types into, or reads, on this control.
const char *valueProperty(const QWidget *control)
{
    return control->inherits("QCheckBox")   ? "checked"
           : control->inherits("QComboBox") ? "currentText"
                                            : "text";
}

// Keys in the simulator's words; keys it refuses fail the running test.
template <typename T>
T parsedKeys(const QString &keys, bool (*parse)(const QString &, T *, QString *))
{
    T parsed;
    QString error;
    if (!parse(keys, &parsed, &error))
        QTest::qFail(qPrintable(keys + QStringLiteral(": ") + error), __FILE__, __LINE__);
    return parsed;
}
} // namespace

ToolDriver::ToolDriver(const QString &portPath)
    : mainWindow(std::make_unique<MainWindow>()), modalWatchers(std::make_unique<QObject>())
{
    mainWindow->show();
    selectPort(portPath);
}

void ToolDriver::enter(const QString &names, const QString &values)
{
    const QStringList controls = names.split(QLatin1Char(' '));
    const QStringList typed = values.split(QLatin1Char(' '));
    for (int i = 0; i < controls.size(); ++i) {
        QWidget *control = widget(controls[i]);
        // A check box takes "1" and "0" as true and false.
        control->setProperty(valueProperty(control), typed.value(i));
    }
}

QString ToolDriver::text(const QString &names) const
{
    QStringList shown;
    for (const QString &name : names.split(QLatin1Char(' '))) {
        const QVariant value = widget(name)->property(valueProperty(widget(name)));
        shown << (value.userType() == QMetaType::Bool ? QString::number(value.toBool())
                                                      : value.toString());
    }
    return shown.join(QLatin1Char(' '));
}

QStringList ToolDriver::logLines() const
{
    static const QRegularExpression prefix(QStringLiteral("^\\d\\d:\\d\\d:\\d\\d\\.\\d{3} - "));
    const auto *log = widget<QTextEdit>(QStringLiteral("teLogs"));
    QStringList lines =
        log->document()->isEmpty() ? QStringList() : log->toPlainText().split(QLatin1Char('\n'));
    for (QString &line : lines)
        line.remove(prefix);
    return lines;
}

QString ToolDriver::statusBarText() const
{
    // The window adds statusLabel, then infoLabel; children keep that order.
    QStringList texts;
    for (const QLabel *label :
         mainWindow->statusBar()->findChildren<QLabel *>(QString(), Qt::FindDirectChildrenOnly))
        texts << label->text();
    return texts.join(QLatin1Char('|'));
}

void ToolDriver::answerNextModal(const QString &filePath)
{
    // The modal runs its own event loop inside the tool's slot; a timer still fires there.
    auto *watcher = new QTimer(modalWatchers.get());
    QObject::connect(watcher, &QTimer::timeout, watcher, [watcher, filePath] {
        auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
        auto *dialog = qobject_cast<QFileDialog *>(QApplication::activeModalWidget());
        if (box) {
            box->button(QMessageBox::Ok)->click();
        } else if (dialog && filePath.isEmpty()) {
            dialog->reject();
        } else if (dialog) {
            // selectFile() leaves the name field alone while it has the focus: type instead.
            dialog->findChild<QLineEdit *>(QStringLiteral("fileNameEdit"))->setText(filePath);
            static_cast<QDialog *>(dialog)->accept(); // checks the file as OK would
        }
        if (box || dialog)
            watcher->deleteLater();
    });
    watcher->start(kModalPollMs);
}

bool ToolDriver::waitUntil(const std::function<bool()> &condition, int timeoutMs)
{
    // A real event loop rather than QTest::qWaitFor, which sleeps between passes: the tool
    // must see every answer as soon as it arrives, as in its own loop.
    QEventLoop loop;
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, &loop, [&] {
        if (condition())
            loop.quit();
    });
    QTimer::singleShot(timeoutMs, &loop, &QEventLoop::quit);
    poll.start(kConditionPollMs);
    if (!condition())
        loop.exec();
    return condition();
}

E2eBench::E2eBench(const SimBusOptions &options) : simulator(options)
{
    if (simulator.start(&startError))
        driver = std::make_unique<ToolDriver>(simulator.portPath());
}

bool E2eBench::connectTo(uint8_t address, int timeoutMs)
{
    const int before = driver->logLines().count(QLatin1String(E2e::kSettingsReceived));
    driver->enter(QStringLiteral("leTargetAddress"), hexByte(address));
    return driver->click(QStringLiteral("btSerialConnect")) &&
           driver->waitForLog(QLatin1String(E2e::kSettingsReceived), timeoutMs, before + 1);
}

namespace E2e {

QStringList lines(const QString &text)
{
    return text.isEmpty() ? QStringList() : text.split(QLatin1Char('|'));
}

SimDeviceConfig device(const QString &keys)
{
    return parsedKeys(keys, &SimSetup::parseDevice);
}

SimFaults faults(const QString &keys)
{
    return parsedKeys(keys, &SimSetup::parseFaults);
}

SimBusOptions fastBus()
{
    SimBusOptions options;
    options.paced = false;
    return options;
}

std::unique_ptr<E2eBench> connectedBench(const SimDeviceConfig &config, int *deviceId)
{
    auto bench = std::make_unique<E2eBench>(fastBus());
    const int id = bench->isReady() ? bench->addDevice(config) : -1;
    if (id < 0 || !bench->connectTo(config.settings.ownAddress)) {
        qWarning("no connected bench: %s", qPrintable(bench->error()));
        return nullptr;
    }
    bench->bus().clearTrace();
    bench->tool().clearLog();
    if (deviceId)
        *deviceId = id;
    return bench;
}

QStringList wire(const SimBusThread &bus, const WireView &view)
{
    QStringList texts;
    QString previous;
    int run = 1;
    for (const SimTraceEntry &entry : bus.trace()) {
        if (!entry.isRequest() && !view.answers)
            continue;
        const QByteArray shown =
            view.payloadBytes < 0 ? entry.payload : entry.payload.left(view.payloadBytes);
        QString text =
            view.payloadBytes < 0 && entry.command() == CmdWriteFlash && entry.isRequest()
                ? QStringLiteral("F2:%1").arg(entry.payload.size() - 1)
                : QString::fromLatin1(shown.toHex(' ').toUpper());
        if (view.address)
            text = ((entry.isRequest() ? "" : "<") + hexByte(entry.address) + ' ' + text).trimmed();
        if (view.foldRepeats && text == previous) {
            texts.last() = previous + QStringLiteral(" x%1").arg(++run);
            continue;
        }
        texts << (previous = text);
        run = 1;
    }
    return texts;
}

bool busStaysQuiet(const SimBusThread &bus, int quietMs)
{
    const int before = wire(bus).size();
    return !ToolDriver::waitUntil([&] { return wire(bus).size() > before; }, quietMs);
}

int unreadBytes(const QString &portPath)
{
    // The tool's port is one of our own descriptors: found by the path it was opened by.
    const QDir descriptors(QStringLiteral("/proc/self/fd"));
    for (const QString &name : descriptors.entryList(QDir::System)) {
        if (QFile::symLinkTarget(descriptors.filePath(name)) != portPath)
            continue;
        int count = 0;
        return ::ioctl(name.toInt(), FIONREAD, &count) == 0 ? count : -1;
    }
    return -1;
}

QString connectionLook(E2eBench &bench)
{
    ToolDriver &tool = bench.tool();
    QStringList look{tool.text(QStringLiteral("btSerialConnect"))};
    for (const char *name :
         {"cbSerialPort", "gbDeviceSettings", "gbDeviceCommands", "gbAddressTag", "gbLed"})
        look << (tool.widget(QLatin1String(name))->isEnabled() ? "+" : "-") + QLatin1String(name);
    // Held: open in this process, which only the window opens it in.
    look << (unreadBytes(bench.bus().portPath()) >= 0 ? "port held" : "port free");
    return look.join(QLatin1Char(' '));
}

} // namespace E2e
