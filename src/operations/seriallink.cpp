// Serial link: port list, opening and closing, bytes in and out.
#include "logcategories.h"
#include "mainwindow.h"
#include "ui_mainwindow.h"

#include <QDebug>
#include <QLabel>
#include <QSerialPortInfo>

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

void MainWindow::openPort()
{
    const QString portName = ui->cbSerialPort->currentText();
    if (portName.isEmpty())
        return;

    serialPort.setPortName(portName);
    serialPort.setBaudRate(ui->cbConnectionSpeed->currentText().toInt());
    if (!serialPort.open(QIODevice::ReadWrite)) {
        qCDebug(lcSerial).noquote()
            << tr("Failed to open port %1, error: %2").arg(portName, serialPort.errorString());
        return;
    }
    // Fails harmlessly on adapters without modem lines; nothing depends on it.
    serialPort.setDataTerminalReady(false);
    qCDebug(lcSerial).noquote() << tr("Port opened: %1").arg(portName);
    // The scan keeps its own controls.
    if (pendingOperation != OpScan)
        showConnectedLook();
}

void MainWindow::closePort()
{
    if (serialPort.isOpen()) {
        // Unsent requests must not reach the device after the operator let go of it.
        serialPort.clear(QSerialPort::AllDirections);
        serialPort.close();
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
    while (serialPort.isOpen() && serialPort.bytesAvailable() > 0) {
        const QByteArray chunk = serialPort.readAll();
        binaryProtocol.receiveBytes(reinterpret_cast<const uint8_t *>(chunk.constData()),
                                    static_cast<size_t>(chunk.size()));
    }
    decodingChunk = false;
}

void MainWindow::handleSerialDataError(QSerialPort::SerialPortError serialPortError)
{
    // A vanished device may say either: a zero-byte read from a hung-up tty sets no errno, so
    // Qt reports whatever the thread's last system error maps to; an unplugged adapter says
    // ResourceError.
    if (serialPortError != QSerialPort::ReadError && serialPortError != QSerialPort::ResourceError)
        return;
    qCDebug(lcSerial).noquote()
        << tr("An I/O error occurred while reading the data from port %1, error: %2")
               .arg(serialPort.portName(), serialPort.errorString());
    serialPort.close();
}

void MainWindow::binaryProtocolWrite(uint8_t *buff, size_t len)
{
    if (!serialPort.isOpen())
        return;
    serialPort.write(reinterpret_cast<const char *>(buff), static_cast<qint64>(len));
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
