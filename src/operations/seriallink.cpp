// Serial link: port list, opening and closing, bytes in and out.
#include "logcategories.h"
#include "mainwindow.h"
#include "ui_mainwindow.h"

#include <QApplication>
#include <QDebug>
#include <QGroupBox>
#include <QLabel>
#include <QProgressDialog>
#include <QSerialPortInfo>
#include <QTimer>

#include <utility>
#include <vector>

namespace {
// A server on the same network answers within it: no dialog flashes up.
constexpr int kConnectDialogDelayMs = 300;
} // namespace

void MainWindow::on_btRefresComPorts_clicked()
{
    const QList<QSerialPortInfo> ports = QSerialPortInfo::availablePorts();
    closePort();
    ui->cbSerialPort->clear();
    for (const QSerialPortInfo &port : ports) {
        qCDebug(lcSerial).noquote() << tr("Port found: ") + port.systemLocation();
        ui->cbSerialPort->addItem(port.systemLocation());
    }
    if (ui->cbSerialPort->count() > 0)
        ui->cbSerialPort->setCurrentIndex(0);
}

bool MainWindow::openPort()
{
    const QString portName = ui->cbSerialPort->currentText();
    if (portName.isEmpty())
        return true;

    QString error;
    std::unique_ptr<BusLink> link = BusLink::create(portName, &error);
    if (!link) {
        // A mistyped server address is for the operator to see; no device can be asked.
        logd(tr("The port %1 cannot be used: %2").arg(portName, error));
        return false;
    }
    useLink(std::move(link));
    const int baudRate = ui->cbConnectionSpeed->currentText().toInt();
    const bool network = !serialPort->serverName().isEmpty();
    const OpenOutcome outcome = network                      ? openWhileResponsive(baudRate)
                                : serialPort->open(baudRate) ? OpenOutcome::Opened
                                                             : OpenOutcome::Failed;
    if (outcome != OpenOutcome::Opened) {
        qCDebug(lcSerial).noquote()
            << tr("Failed to open port %1, error: %2").arg(portName, serialPort->errorString());
        if (outcome == OpenOutcome::Cancelled) {
            logd(tr("Connection to %1 cancelled").arg(portName));
            return false;
        }
        const QStringList reason = serialPort->errorLines();
        logd(tr("Cannot open %1: %2").arg(portName, reason.value(0)));
        for (const QString &line : reason.mid(1))
            logd(line);
        return !network;
    }
    // Once a run for each place: it does not change while the tool runs.
    const QString warning = serialPort->exposureWarning();
    if (!warning.isEmpty() && !warnedPorts.contains(portName)) {
        warnedPorts.insert(portName);
        qCWarning(lcSerial).noquote() << warning;
        logd(tr("Warning: %1").arg(warning));
    }
    qCDebug(lcSerial).noquote() << tr("Port opened: %1").arg(portName);
    // The scan keeps its own controls.
    if (pendingOperation != OpScan)
        showConnectedLook();
    return true;
}

MainWindow::OpenOutcome MainWindow::openWhileResponsive(int baudRate)
{
    const QString connecting = tr("Connecting to %1...").arg(serialPort->serverName());
    statusLabel->setText(connecting);
    // The open runs the event loop: nothing of an earlier exchange may run under it, and no
    // other operation may start.
    oneShotTimer->stop();
    QWidget *const focused = QApplication::focusWidget();
    std::vector<std::pair<QWidget *, bool>> held;
    for (QWidget *box : {ui->gbConnectionSettings, ui->gbDeviceCommands, ui->gbDeviceSettings,
                         ui->gbAddressTag, ui->gbTests, ui->gbLed, ui->groupBox}) {
        held.emplace_back(box, box->isEnabled());
        box->setEnabled(false);
    }
    bool cancelled = false;
    const auto cancel = [this, &cancelled] {
        cancelled = true;
        serialPort->cancelOpen();
    };
    std::unique_ptr<QProgressDialog> dialog;
    QTimer dialogDelay;
    dialogDelay.setSingleShot(true);
    dialogDelay.setTimerType(Qt::PreciseTimer);
    connect(&dialogDelay, &QTimer::timeout, this, [&] {
        dialog = std::make_unique<QProgressDialog>(connecting, tr("Cancel"), 0, 0, this);
        dialog->setWindowModality(Qt::WindowModal);
        dialog->setMinimumDuration(0);
        connect(dialog.get(), &QProgressDialog::canceled, this, cancel);
        // Escape rejects the dialog.
        connect(dialog.get(), &QDialog::rejected, this, cancel);
        dialog->show();
    });
    dialogDelay.start(kConnectDialogDelayMs);
    const bool opened = serialPort->open(baudRate);
    // Cancel pressed as the server answered: the operator's word holds.
    if (opened && cancelled)
        serialPort->close();
    const OpenOutcome outcome = cancelled ? OpenOutcome::Cancelled
                                : opened  ? OpenOutcome::Opened
                                          : OpenOutcome::Failed;
    if (dialog)
        dialog->disconnect(this);
    dialog.reset();
    for (const auto &[box, enabled] : held)
        box->setEnabled(enabled);
    if (focused)
        focused->setFocus();
    statusLabel->clear();
    return outcome;
}

void MainWindow::useLink(std::unique_ptr<BusLink> link)
{
    // The old link may be the one whose signal runs now: it goes when control returns to the
    // event loop that ran it, not in the loop of an open, and says nothing more.
    if (serialPort) {
        serialPort->disconnect(this);
        serialPort.release()->deleteLater();
    }
    serialPort = std::move(link);
    connect(serialPort.get(), &BusLink::readyRead, this, &MainWindow::handleSerialDataReady);
    connect(serialPort.get(), &BusLink::failed, this, &MainWindow::handleSerialDataError);
}

void MainWindow::noteLineRateChange()
{
    // A raw TCP server runs the line at its own rate, which only its configuration changes.
    if (serialPort && !serialPort->setsLineRate())
        logd(tr("The serial server of %1 keeps its own rate: set it to %2 baud before the "
                "next connect.")
                 .arg(serialPort->portName(), ui->cbConnectionSpeed->currentText()));
}

void MainWindow::closePort()
{
    if (portIsOpen()) {
        // Unsent requests must not reach the device after the operator let go of it.
        serialPort->clear();
        serialPort->close();
        showDisconnectedLook();
        qCDebug(lcSerial).noquote() << tr("Port closed");
    }
    statusLabel->clear();
    infoLabel->clear();
}

void MainWindow::showConnectedLook()
{
    ui->btSerialConnect->setText(tr("Disconnect"));
    ui->cbSerialPort->setEnabled(false);
    ui->gbDeviceSettings->setEnabled(true);
    ui->gbAddressTag->setEnabled(true);
    ui->gbDeviceCommands->setEnabled(true);
    ui->gbLed->setEnabled(true);
}

void MainWindow::showDisconnectedLook()
{
    ui->btSerialConnect->setText(tr("Connect"));
    ui->cbSerialPort->setEnabled(true);
    ui->gbDeviceSettings->setEnabled(false);
    ui->gbAddressTag->setEnabled(false);
    ui->gbDeviceCommands->setEnabled(false);
    ui->gbLed->setEnabled(false);
}

void MainWindow::handleSerialDataReady()
{
    // A response handler may run the event loop; bytes arriving then are decoded after the
    // current chunk, in arrival order, never inside the running decoder call.
    if (decodingChunk)
        return;
    decodingChunk = true;
    while (portIsOpen() && serialPort->bytesAvailable() > 0) {
        const QByteArray chunk = serialPort->readAll();
        binaryProtocol.receiveBytes(reinterpret_cast<const uint8_t *>(chunk.constData()),
                                    static_cast<size_t>(chunk.size()));
    }
    decodingChunk = false;
}

void MainWindow::handleSerialDataError(BusLink::Failure failure, const QString &reason)
{
    switch (failure) {
    case BusLink::Failure::ConnectionEnded:
        handleConnectionLost(reason);
        return;
    // Its reads tell whether the device is gone.
    case BusLink::Failure::WriteFailed:
        return;
    // The port closes; the look stays, so that Connect opens it anew once the device is back.
    case BusLink::Failure::ReadFailed:
        qCDebug(lcSerial).noquote()
            << tr("An I/O error occurred while reading the data from port %1, error: %2")
                   .arg(serialPort->portName(), serialPort->errorString());
        serialPort->close();
        return;
    }
}

void MainWindow::handleConnectionLost(const QString &reason)
{
    qCDebug(lcSerial).noquote()
        << tr("The connection to %1 was lost: %2").arg(serialPort->portName(), reason);
    logd(tr("Connection to %1 lost: %2").arg(serialPort->portName(), reason));
    closePort();
}

void MainWindow::binaryProtocolWrite(uint8_t *buff, size_t len)
{
    if (!portIsOpen())
        return;
    serialPort->write(QByteArray(reinterpret_cast<const char *>(buff), static_cast<int>(len)));
}

void MainWindow::binaryProtocolFrameError(uint8_t *buff, size_t len)
{
    Q_UNUSED(buff)
    Q_UNUSED(len)
    qCDebug(lcSerial) << "binaryProtocolFrameError!!!";
}

void MainWindow::sendPayload(const QByteArray &payload)
{
    binaryProtocol.sendFrame(reinterpret_cast<const uint8_t *>(payload.constData()),
                             static_cast<size_t>(payload.size()));
}

void MainWindow::sendCommand(DeviceCommand command)
{
    sendPayload(buildCommand(command));
}
