#include "e2efixture.h"

#include <QAbstractButton>
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QEventLoop>
#include <QFile>
#include <QFileDialog>
#include <QLabel>
#include <QLineEdit>
#include <QPointer>
#include <QProgressBar>
#include <QRegularExpression>
#include <QStatusBar>
#include <QTextEdit>
#include <QTimer>
#include <QtTest>

#include <cerrno>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>

namespace E2e {
const char kSettingsReceived[] = "Device settings received.";
} // namespace E2e

namespace {

constexpr int kModalPollMs = 10;
constexpr int kConditionPollMs = 2;
constexpr int kStatusLabelPosition = 0;
constexpr int kInfoLabelPosition = 1;

const QRegularExpression &logPrefix()
{
    static const QRegularExpression prefix(QStringLiteral("^\\d{2}:\\d{2}:\\d{2}\\.\\d{3} - "));
    return prefix;
}

} // namespace

// ---- ToolDriver ----------------------------------------------------------------------------

ToolDriver::ToolDriver(const QString &portPath)
    : mainWindow(std::make_unique<MainWindow>()), modalWatcherOwner(std::make_unique<QObject>())
{
    mainWindow->show();
    if (!portPath.isEmpty())
        selectPort(portPath);
}

ToolDriver::~ToolDriver()
{
    modalWatcherOwner.reset();
    mainWindow.reset();
}

void ToolDriver::selectPort(const QString &portPath)
{
    auto *ports = widget<QComboBox>(QStringLiteral("cbSerialPort"));
    if (!ports)
        return;
    int index = ports->findText(portPath);
    if (index < 0) {
        ports->addItem(portPath);
        index = ports->count() - 1;
    }
    ports->setCurrentIndex(index);
    if (ports->isEditable())
        ports->setEditText(portPath);
}

bool ToolDriver::click(const QString &buttonName)
{
    auto *button = widget<QAbstractButton>(buttonName);
    if (!button || !button->isEnabled())
        return false;
    button->click();
    return true;
}

bool ToolDriver::setText(const QString &lineEditName, const QString &text)
{
    auto *edit = widget<QLineEdit>(lineEditName);
    if (!edit)
        return false;
    edit->setText(text);
    return true;
}

bool ToolDriver::setChecked(const QString &checkBoxName, bool checked)
{
    auto *box = widget<QAbstractButton>(checkBoxName);
    if (!box || !box->isCheckable())
        return false;
    box->setChecked(checked);
    return true;
}

bool ToolDriver::selectIndex(const QString &comboBoxName, int index)
{
    auto *combo = widget<QComboBox>(comboBoxName);
    if (!combo || index < 0 || index >= combo->count())
        return false;
    combo->setCurrentIndex(index);
    return true;
}

bool ToolDriver::selectText(const QString &comboBoxName, const QString &text)
{
    auto *combo = widget<QComboBox>(comboBoxName);
    return combo && selectIndex(comboBoxName, combo->findText(text));
}

QString ToolDriver::text(const QString &objectName) const
{
    if (auto *edit = widget<QLineEdit>(objectName))
        return edit->text();
    if (auto *button = widget<QAbstractButton>(objectName))
        return button->text();
    if (auto *label = widget<QLabel>(objectName))
        return label->text();
    if (auto *combo = widget<QComboBox>(objectName))
        return combo->currentText();
    return QString();
}

bool ToolDriver::isEnabled(const QString &objectName) const
{
    const QWidget *control = widget<QWidget>(objectName);
    return control && control->isEnabled();
}

QStringList ToolDriver::logLines() const
{
    const auto *log = widget<QTextEdit>(QStringLiteral("teLogs"));
    if (!log || log->document()->isEmpty())
        return {};
    QStringList lines = log->toPlainText().split(QLatin1Char('\n'));
    for (QString &line : lines)
        line.remove(logPrefix());
    return lines;
}

int ToolDriver::logCount(const QString &line) const
{
    return logLines().count(line);
}

void ToolDriver::clearLog()
{
    if (auto *log = widget<QTextEdit>(QStringLiteral("teLogs")))
        log->clear();
}

bool ToolDriver::waitForLog(const QString &line, int timeoutMs, int occurrence)
{
    return waitUntil([&] { return logCount(line) >= occurrence; }, timeoutMs);
}

bool ToolDriver::waitForLogContaining(const QString &fragment, int timeoutMs)
{
    return waitUntil(
        [&] {
            const QStringList lines = logLines();
            return std::any_of(lines.cbegin(), lines.cend(),
                               [&](const QString &line) { return line.contains(fragment); });
        },
        timeoutMs);
}

QLabel *ToolDriver::statusBarLabel(int position) const
{
    const auto *bar = mainWindow ? mainWindow->statusBar() : nullptr;
    if (!bar)
        return nullptr;
    // The window adds them to the status bar in this order; children keep it.
    const QList<QLabel *> labels =
        bar->findChildren<QLabel *>(QString(), Qt::FindDirectChildrenOnly);
    return position < labels.size() ? labels.at(position) : nullptr;
}

QLabel *ToolDriver::statusLabel() const
{
    return statusBarLabel(kStatusLabelPosition);
}

QLabel *ToolDriver::infoLabel() const
{
    return statusBarLabel(kInfoLabelPosition);
}

QProgressBar *ToolDriver::progressBar() const
{
    const auto *bar = mainWindow ? mainWindow->statusBar() : nullptr;
    return bar ? bar->findChild<QProgressBar *>(QString(), Qt::FindDirectChildrenOnly) : nullptr;
}

QString ToolDriver::statusText() const
{
    const QLabel *label = statusLabel();
    return label ? label->text() : QString();
}

QString ToolDriver::infoText() const
{
    const QLabel *label = infoLabel();
    return label ? label->text() : QString();
}

void ToolDriver::answerNextModal(const std::function<bool(QWidget *)> &answer)
{
    // The modal runs its own event loop inside the tool's slot; a timer still fires there.
    auto *watcher = new QTimer(modalWatcherOwner.get());
    watcher->setInterval(kModalPollMs);
    QObject::connect(watcher, &QTimer::timeout, watcher, [watcher, answer] {
        QWidget *modal = QApplication::activeModalWidget();
        if (modal && answer(modal)) {
            watcher->stop();
            watcher->deleteLater();
        }
    });
    watcher->start();
}

void ToolDriver::answerNextMessageBox(QMessageBox::StandardButton button)
{
    answerNextModal([button](QWidget *modal) {
        auto *box = qobject_cast<QMessageBox *>(modal);
        if (!box)
            return false;
        if (QAbstractButton *choice = box->button(button))
            choice->click();
        else
            box->done(button);
        return true;
    });
}

void ToolDriver::answerNextFileDialog(const QString &filePath)
{
    answerNextModal([filePath](QWidget *modal) {
        auto *dialog = qobject_cast<QFileDialog *>(modal);
        if (!dialog)
            return false;
        if (filePath.isEmpty()) {
            dialog->reject();
        } else {
            // selectFile() leaves the name field alone while it has the focus: type instead.
            if (auto *name = dialog->findChild<QLineEdit *>(QStringLiteral("fileNameEdit")))
                name->setText(filePath);
            else
                dialog->selectFile(filePath);
            static_cast<QDialog *>(dialog)->accept(); // checks the file as OK would
        }
        return true;
    });
}

bool ToolDriver::waitUntil(const std::function<bool()> &condition, int timeoutMs)
{
    if (condition())
        return true;
    // A real event loop rather than QTest::qWaitFor, which sleeps between passes: the tool
    // must see every answer as soon as it arrives, as it would in its own loop.
    QEventLoop loop;
    QTimer poll;
    poll.setInterval(kConditionPollMs);
    QObject::connect(&poll, &QTimer::timeout, &loop, [&] {
        if (condition())
            loop.quit();
    });
    QTimer deadline;
    deadline.setSingleShot(true);
    QObject::connect(&deadline, &QTimer::timeout, &loop, &QEventLoop::quit);
    poll.start();
    deadline.start(timeoutMs);
    loop.exec();
    return condition();
}

// ---- E2eBench ------------------------------------------------------------------------------

E2eBench::E2eBench(const SimBusOptions &options) : simulator(options)
{
    ready = simulator.start(&startError);
    driver = std::make_unique<ToolDriver>(simulator.portPath());
}

E2eBench::~E2eBench()
{
    driver.reset();
    simulator.stop();
}

bool E2eBench::connectTo(uint8_t address, int timeoutMs)
{
    ToolDriver &window = tool();
    const int settingsReadBefore = window.logCount(QLatin1String(E2e::kSettingsReceived));
    window.setText(QStringLiteral("leTargetAddress"),
                   QStringLiteral("%1").arg(address, 2, 16, QLatin1Char('0')).toUpper());
    if (!window.click(QStringLiteral("btSerialConnect")))
        return false;
    return window.waitForLog(QLatin1String(E2e::kSettingsReceived), timeoutMs,
                             settingsReadBefore + 1);
}

// ---- Shared helpers ------------------------------------------------------------------------

namespace E2e {

const char kGenericTimeout[] = "Timeout - Please recconnect device and try again.";
const char kWaitingForDevice[] = "Done. Waiting for device...";
const char kConnectedLook[] =
    "Disconnect -cbSerialPort +gbDeviceSettings +gbDeviceCommands +gbAddressTag +gbLed port held";
const char kDisconnectedLook[] =
    "Connect +cbSerialPort -gbDeviceSettings -gbDeviceCommands -gbAddressTag -gbLed port free";

QString versionLine(const QString &version)
{
    return QStringLiteral("Firmware version is: ") + version;
}

QString noResponseLine(uint8_t address)
{
    return QStringLiteral("No response from the hardware at address 0x") + hexByte(address);
}

SimBusOptions fastBus()
{
    SimBusOptions options;
    options.paced = false;
    return options;
}

int addConnectedDevice(E2eBench &bench, const SimDeviceConfig &config)
{
    const int id = bench.addDevice(config);
    if (!bench.connectTo(config.settings.ownAddress))
        return -1;
    bench.bus().clearTrace();
    bench.tool().clearLog();
    return id;
}

QVector<SimTraceEntry> requests(const QVector<SimTraceEntry> &trace, int command)
{
    QVector<SimTraceEntry> found;
    for (const SimTraceEntry &entry : trace) {
        if (entry.isRequest() && (command == kAnyCommand || entry.command() == command))
            found << entry;
    }
    return found;
}

QStringList requestLines(const SimBusThread &bus)
{
    QStringList lines;
    for (const SimTraceEntry &request : requests(bus.trace()))
        lines << hexLine(request.payload);
    return lines;
}

QVector<int> requestCommands(const SimBusThread &bus)
{
    QVector<int> commands;
    for (const SimTraceEntry &request : requests(bus.trace()))
        commands << request.command();
    return commands;
}

bool busStaysQuiet(const SimBusThread &bus, int quietMs)
{
    // A request written by the tool reaches the simulator within a few milliseconds.
    const int before = requests(bus.trace()).size();
    return !ToolDriver::waitUntil([&] { return requests(bus.trace()).size() > before; }, quietMs);
}

QString hexLine(const QByteArray &bytes)
{
    return QString::fromLatin1(bytes.toHex(' ').toUpper());
}

QVector<SimTag> tagsOnAntenna(int count)
{
    QVector<SimTag> tags;
    for (int i = 0; i < count; ++i)
        tags << SimTag::create(QByteArray::fromHex("04AB12CD34EF") + QByteArray(1, char(i)));
    return tags;
}

QStringList itemTexts(const QComboBox *combo)
{
    QStringList items;
    for (int i = 0; combo && i < combo->count(); ++i)
        items << combo->itemText(i);
    return items;
}

bool portHeldExclusively(const QString &portPath)
{
    const QByteArray path = QFile::encodeName(portPath);
    const int fd = ::open(path.constData(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    // Without root the exclusive lock refuses us outright.
    if (fd < 0)
        return errno == EBUSY;
    int exclusive = 0;
    const bool known = ::ioctl(fd, TIOCGEXCL, &exclusive) == 0;
    ::close(fd);
    return known && exclusive != 0;
}

QString connectionLook(E2eBench &bench)
{
    ToolDriver &tool = bench.tool();
    QStringList look{tool.text(QStringLiteral("btSerialConnect"))};
    for (const char *control :
         {"cbSerialPort", "gbDeviceSettings", "gbDeviceCommands", "gbAddressTag", "gbLed"})
        look << (tool.isEnabled(QLatin1String(control)) ? "+" : "-") + QLatin1String(control);
    look << (portHeldExclusively(bench.bus().portPath()) ? "port held" : "port free");
    return look.join(QLatin1Char(' '));
}

} // namespace E2e
