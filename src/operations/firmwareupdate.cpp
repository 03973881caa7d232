// Firmware update through the device's bootloader, one 256-byte chunk per exchange.
#include "imagesignature.h"
#include "mainwindow.h"
#include "ui_mainwindow.h"

#include <QFile>
#include <QFileDialog>
#include <QLabel>
#include <QProgressBar>
#include <QTimer>

#include <algorithm>

using namespace ExchangeTiming;

void MainWindow::on_btFlashFirmware_clicked()
{
    firmwareFileName = QFileDialog::getOpenFileName(nullptr, tr("Select firmware file"));
    if (firmwareFileName.isEmpty()) {
        logd(tr("Firmware not selected!"));
        return;
    }
    logd(tr("Firmware file ") + firmwareFileName);
    // The erase is irreversible: the image must be in hand before the device is touched.
    if (!loadFirmwareImage())
        return;
    sendCommand(CmdEnterBootloader);
    pendingOperation = OpEnterBootloader;
    startResponseTimer(kEnterBootloaderTimeoutMs);
}

bool MainWindow::loadFirmwareImage()
{
    QFile file(firmwareFileName);
    if (!file.open(QIODevice::ReadOnly)) {
        logd(tr("Unable to open firmware file!"));
        return false;
    }
    const QByteArray image = file.readAll();
    if (file.error() != QFileDevice::NoError) {
        logd(tr("Unable to open firmware file!"));
        return false;
    }
    if (image.isEmpty()) {
        logd(tr("Firmware file is empty - nothing to flash."));
        return false;
    }
    // Without a trusted key installed nothing is checked and nothing more is said.
    const ImageVerdict verdict = ImageSignature::checkWithTrustedKeys(firmwareFileName, image);
    if (verdict.refused()) {
        logd(tr("Firmware refused: %1").arg(verdict.reason));
        return false;
    }
    if (verdict.accepted())
        logd(tr("Firmware signed by key %1 (%2), trusted comment: %3")
                 .arg(verdict.keyId, verdict.keyComment, verdict.trustedComment));
    firmwareImage = image;
    firmwareBytesSent = 0;
    return true;
}

void MainWindow::handleBootloaderEntered()
{
    oneShotTimer->stop();
    logd(tr("Waiting for bootloader..."));
    pauseForDevice(kBootloaderStartPauseMs);
    sendCommand(CmdGetVersion);
    pendingOperation = OpWaitBootloader;
    startResponseTimer(kWaitBootloaderTimeoutMs);
}

void MainWindow::handleBootloaderVersion(const QString &version)
{
    infoLabel->setText(tr("Version:") + version);
    if (!isBootloaderVersion(version)) {
        logd(tr("Unsupported version from bootloader: ") + version);
        return;
    }
    logd(tr("Bootloader detected: ") + version);
    sendCommand(CmdEraseFlash);
    logd(tr("Erasing flash..."));
    pendingOperation = OpEraseFlash;
    startResponseTimer(kEraseFlashTimeoutMs);
}

void MainWindow::startFirmwareWrite()
{
    logd(tr("Flash erased."));
    logd(tr("Writing firmware..."));
    oneShotTimer->stop();
    firmwareBytesSent = 0;
    if (firmwareImage.isEmpty()) {
        // An erase answer with no update of ours under way.
        logd(tr("Unable to open firmware file!"));
        return;
    }
    progressBar->setMaximum(firmwareImage.size());
    progressBar->setValue(0);
    sendFirmwareChunk();
}

void MainWindow::sendFirmwareChunk()
{
    oneShotTimer->stop();
    const int imageSize = firmwareImage.size();
    if (firmwareBytesSent >= imageSize) {
        finishFirmwareWrite();
        return;
    }
    const int chunkSize = std::min(kFirmwareChunkSize, imageSize - firmwareBytesSent);
    sendPayload(buildWriteFlash(firmwareImage.constData() + firmwareBytesSent, chunkSize));
    firmwareBytesSent += chunkSize;
    progressBar->setValue(firmwareBytesSent);
    startResponseTimer(kWriteChunkTimeoutMs);
}

void MainWindow::finishFirmwareWrite()
{
    sendCommand(CmdFinishFirmware);
    logd(tr("Firmware flashed."));
    // Verification takes as long as it takes; nothing guards this answer.
    oneShotTimer->stop();
    progressBar->setValue(0);
}
