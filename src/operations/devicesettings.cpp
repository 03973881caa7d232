// Device settings, factory reset, reboot and the restart wait they share.
#include "mainwindow.h"
#include "ui_mainwindow.h"

#include <QLabel>
#include <QMessageBox>
#include <QTimer>

using namespace ExchangeTiming;

void MainWindow::handleSettingsAnswer(const uint8_t *buff, size_t len)
{
    const size_t received = len > kResponseDataOffset ? len - kResponseDataOffset : 0;
    if (received >= sizeof(DeviceSettings)) {
        showSettings(readSettings(buff, len));
    } else {
        // Missing fields would show as zeros, which Write to device would then store.
        logd(tr("The device sent incomplete settings (%1 of %2 bytes).")
                 .arg(received)
                 .arg(sizeof(DeviceSettings)));
    }
    oneShotTimer->stop();
    logd(tr("Device settings received."));
}

void MainWindow::showSettings(const DeviceSettings &settings)
{
    if (isValidBaudIndex(settings.baudIndex)) {
        ui->cbDeviceComSpeed->setCurrentIndex(settings.baudIndex);
    } else {
        // Never show a rate the device did not report.
        ui->cbDeviceComSpeed->setCurrentIndex(-1);
        logd(tr("The device reported an unknown baud rate (index %1).").arg(settings.baudIndex));
    }
    ui->leDeviceAddress->setText(hexByte(settings.ownAddress));
    ui->cbTerminated->setChecked(settings.terminated != 0);
    ui->leDeviceShortName->setText(shortNameText(settings.shortName));
}

void MainWindow::on_btSaveSettings_clicked()
{
    bool ok = false;
    const uint ownAddress = ui->leDeviceAddress->text().toUInt(&ok, 16);
    if (!ok) {
        logd(tr("Please enter correct own defice address!"));
        return;
    }
    const int baudIndex = ui->cbDeviceComSpeed->currentIndex();
    if (!isValidBaudIndex(baudIndex)) {
        // Reconnecting afterwards would need a rate we do not know.
        logd(tr("Please select the device baud rate before writing the settings."));
        return;
    }
    logd(tr("Writing new device settings..."));

    DeviceSettings settings;
    settings.baudIndex = static_cast<uint8_t>(baudIndex);
    settings.ownAddress = static_cast<uint8_t>(ownAddress & 0xFF);
    settings.terminated = ui->cbTerminated->isChecked() ? 1 : 0;
    settings.shortName = shortNameBytes(ui->leDeviceShortName->text());
    sendPayload(buildSetSettings(settings));
    pendingOperation = OpWriteSettings;
    startResponseTimer(kWriteSettingsTimeoutMs);
}

void MainWindow::handleSettingsWritten()
{
    oneShotTimer->stop();
    logd(tr("Settings writed. Device is rebooting..."));
    pauseForDevice(kSettingsWrittenPauseMs);
    logd(tr("Reconnecting..."));
    closePort();
    // The device now listens at the rate just written.
    if (ui->cbConnectionSpeed->currentIndex() != ui->cbDeviceComSpeed->currentIndex()) {
        ui->cbConnectionSpeed->setCurrentIndex(ui->cbDeviceComSpeed->currentIndex());
        noteLineRateChange();
    }
    if (!openPort())
        return;
    requestVersion();
    pendingOperation = OpConnect;
    startResponseTimer(kConnectTimeoutMs);
}

void MainWindow::on_btResetToDefaults_clicked()
{
    const QMessageBox::StandardButton answer = QMessageBox::information(
        this, tr("Question"), tr("Do you really want to reset device to factory default?"),
        QMessageBox::Ok | QMessageBox::Cancel, QMessageBox::NoButton);
    if (answer != QMessageBox::Ok)
        return;
    oneShotTimer->stop();
    logd(tr("Resetting to factory defaults..."));
    sendCommand(CmdResetToDefaults);
    startResponseTimer(kRestartRequestTimeoutMs);
}

void MainWindow::on_btRestartDevice_clicked()
{
    oneShotTimer->stop();
    logd(tr("Rebooting device..."));
    sendCommand(CmdReboot);
    startResponseTimer(kRestartRequestTimeoutMs);
}

void MainWindow::handleDeviceRestarting()
{
    oneShotTimer->stop();
    logd(tr("Done. Waiting for device..."));
    pauseForDevice(kDeviceRestartPauseMs);
    sendCommand(CmdGetVersion);
    infoLabel->clear();
    pendingOperation = OpWaitDevice;
    startResponseTimer(kWaitDeviceTimeoutMs);
}
