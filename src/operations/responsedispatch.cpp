// Response dispatch and the single response timer shared by every exchange.
#include "mainwindow.h"
#include "ui_mainwindow.h"

#include "logcategories.h"

#include <QCoreApplication>
#include <QLabel>
#include <QThread>
#include <QTimer>

void MainWindow::binaryProtocolFrameComplete(uint8_t *buff, size_t len)
{
    // Texts end at the payload's end at the latest; the codec leaves this byte writable.
    buff[len] = 0;
    switch (responseStatus(buff, len)) {
    case kStatusSuccess:
        handleSuccessResponse(buff, len);
        break;
    case kStatusError:
        handleErrorResponse(buff, len);
        break;
    default:
        break;
    }
}

void MainWindow::handleSuccessResponse(uint8_t *buff, size_t len)
{
    switch (responseCommand(buff, len)) {
    case CmdGetTagCount:
        handleTagCount(buff, len);
        break;
    case CmdReadUid:
        handleUid(buff, len);
        break;
    case CmdActivateTag:
        handleTagActivated();
        break;
    case CmdHalt:
        handleHalt();
        break;
    case CmdReboot:
    case CmdResetToDefaults:
    case CmdFinishFirmware:
        handleDeviceRestarting();
        break;
    case CmdGetVersion:
        if (pendingOperation == OpWaitBootloader)
            handleBootloaderVersion(readResponseText(buff, len));
        else
            handleVersionAnswer(buff, len);
        break;
    case CmdGetDeviceName:
        if (pendingOperation == OpScan)
            handleDeviceFound(buff, len);
        else
            handleDeviceNameAnswer();
        break;
    case CmdSetSettings:
        handleSettingsWritten();
        break;
    case CmdGetSettings:
        handleSettingsAnswer(buff, len);
        break;
    case CmdReadPage:
        handlePageRead(buff, len);
        break;
    case CmdWritePage:
        handlePageWritten();
        break;
    case CmdGetTagVersion:
        if (pendingOperation == OpLoopTest)
            handleTagVersion();
        break;
    case CmdEnterBootloader:
        handleBootloaderEntered();
        break;
    case CmdEraseFlash:
        startFirmwareWrite();
        break;
    case CmdWriteFlash:
        sendFirmwareChunk();
        break;
    case CmdPnEeprom:
        handlePnEepromAnswer(buff, len);
        break;
    default:
        // LED acknowledgements and unknown codes: nothing to do, the timer keeps running.
        break;
    }
}

void MainWindow::handleErrorResponse(const uint8_t *buff, size_t len)
{
    logd(errorResponseText(readErrorResponse(buff, len)));
    if (pendingOperation == OpLoopTest) {
        ++statErrors;
        updateStats();
        restartLoopTestCycle();
        return;
    }
    oneShotTimer->stop();
}

void MainWindow::oneShotTimeout()
{
    switch (pendingOperation) {
    case OpIdle:
        return;
    case OpLoopTest:
        ++statRetry;
        updateStats();
        restartLoopTestCycle();
        return;
    case OpConnect: {
        const QString text = tr("No response from the hardware at address 0x%1")
                                 .arg(hexByte(binaryProtocol.deviceAddress()));
        if (portIsOpen() && !serialPort->mixUpHint().isEmpty())
            qCDebug(lcSerial).noquote() << serialPort->mixUpHint();
        closePort();
        logd(text);
        statusLabel->setText(tr("Connection timeout"));
        infoLabel->setText(text);
        return;
    }
    case OpWriteTag:
    case OpReadTag:
        logd(tr("Read/Write timeout - please try again"));
        return;
    case OpScan:
        scanNextAddress();
        return;
    default:
        oneShotTimer->stop();
        closePort();
        statusLabel->setText(tr("Timeout"));
        infoLabel->setText(tr("No response to bootloader"));
        logd(tr("Timeout - Please recconnect device and try again."));
        return;
    }
}

void MainWindow::startResponseTimer(int intervalMs)
{
    oneShotTimer->start(intervalMs);
}

void MainWindow::pauseForDevice(int pauseMs)
{
    // Draw the last log line before the device goes quiet for a while.
    QCoreApplication::processEvents();
    QThread::msleep(static_cast<unsigned long>(pauseMs));
}
