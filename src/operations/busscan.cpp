// Bus scan, device selection and the connect sequence.
#include "mainwindow.h"
#include "ui_mainwindow.h"

#include <QCoreApplication>
#include <QLabel>
#include <QProgressBar>
#include <QTimer>

using namespace ExchangeTiming;

void MainWindow::on_btScanRs485_clicked()
{
    oneShotTimer->stop();
    progressBar->setMaximum(kLastBusAddress);
    progressBar->setValue(1);
    QCoreApplication::processEvents();

    if (portIsOpen()) {
        // An answer handled just above may have armed the next probe.
        oneShotTimer->stop();
        logd(tr("Searching aborted."));
        progressBar->setValue(0);
        closePort();
        ui->btSerialConnect->setEnabled(true);
        ui->btScanRs485->setText(tr("Scan"));
        return;
    }

    scanAddress = 0;
    binaryProtocol.setDeviceAddress(scanAddress);
    ui->cbDetectedDevices->clear();
    logd(tr("Searching for devices. Please wait..."));
    ui->btSerialConnect->setEnabled(false);
    ui->btScanRs485->setText(tr("Cancel"));
    pendingOperation = OpScan;
    if (!openPort()) {
        endScan();
        return;
    }
    requestDeviceName();
    startResponseTimer(kScanProbeTimeoutMs);
}

void MainWindow::scanNextAddress()
{
    oneShotTimer->stop();
    if (scanAddress < kLastBusAddress) {
        ++scanAddress;
        binaryProtocol.setDeviceAddress(scanAddress);
        progressBar->setValue(scanAddress);
        QCoreApplication::processEvents();
        requestDeviceName();
        pendingOperation = OpScan;
        startResponseTimer(kScanProbeTimeoutMs);
        return;
    }

    logd(tr("Done."));
    endScan();
}

void MainWindow::endScan()
{
    ui->btScanRs485->setText(tr("Scan"));
    progressBar->setValue(0);
    closePort();
    ui->btSerialConnect->setEnabled(true);
}

void MainWindow::handleDeviceFound(const uint8_t *buff, size_t len)
{
    oneShotTimer->stop();
    const QString entry =
        QStringLiteral("%1 - %2").arg(hexByte(scanAddress), readResponseText(buff, len));
    ui->cbDetectedDevices->addItem(entry);
    logd(tr("Device found: ") + entry);
    scanNextAddress();
}

void MainWindow::on_cbDetectedDevices_currentIndexChanged(QString arg1)
{
    Q_UNUSED(arg1)
    ui->leTargetAddress->setText(ui->cbDetectedDevices->currentText().left(2));
}

void MainWindow::on_btSerialConnect_clicked()
{
    bool ok = false;
    const uint address = ui->leTargetAddress->text().toUInt(&ok, 16);
    if (!ok) {
        logd(tr("Please enter the correct device address!"));
        ui->leTargetAddress->setFocus(Qt::OtherFocusReason);
        return;
    }
    binaryProtocol.setDeviceAddress(static_cast<uint8_t>(address & 0xFF));

    if (portIsOpen()) {
        closePort();
        return;
    }
    pendingOperation = OpConnect;
    if (!openPort())
        return;
    requestVersion();
    startResponseTimer(kConnectTimeoutMs);
}

void MainWindow::requestVersion()
{
    if (!portIsOpen())
        return;
    sendCommand(CmdGetVersion);
    statusLabel->setText(tr("Connected"));
    infoLabel->clear();
}

void MainWindow::requestDeviceName()
{
    if (!portIsOpen())
        return;
    sendCommand(CmdGetDeviceName);
    statusLabel->setText(tr("Connected"));
    infoLabel->clear();
}

void MainWindow::handleVersionAnswer(const uint8_t *buff, size_t len)
{
    const QString version = readResponseText(buff, len);
    infoLabel->setText(tr("Version:") + version);
    // The connect timer started before the version request covers the name request too.
    sendCommand(CmdGetDeviceName);
    logd(tr("Firmware version is: ") + version);
}

void MainWindow::handleDeviceNameAnswer()
{
    oneShotTimer->stop();
    pendingOperation = OpReadSettings;
    sendCommand(CmdGetSettings);
    startResponseTimer(kReadSettingsTimeoutMs);
}
