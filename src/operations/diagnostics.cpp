// LED, PN5180 EEPROM and the loop test.
#include "mainwindow.h"
#include "ui_mainwindow.h"

#include <QTimer>

using namespace ExchangeTiming;

void MainWindow::on_btLedOn_clicked()
{
    if (!portIsOpen())
        return;
    sendPayload(buildLed(kLedOn));
    logd(tr("LED - ON"));
}

void MainWindow::on_btLedOff_clicked()
{
    if (!portIsOpen())
        return;
    sendPayload(buildLed(kLedOff));
    logd(tr("LED - OFF"));
}

void MainWindow::on_btLedToggle_clicked()
{
    if (!portIsOpen())
        return;
    sendPayload(buildLedToggle());
    logd(tr("Toggle - 1sec"));
}

void MainWindow::on_btReadPnEeprom_clicked()
{
    bool ok = false;
    const uint address = ui->lePnAddress->text().toUInt(&ok, 16);
    if (!ok) {
        logd(tr("Please enter correct address"));
        ui->lePnAddress->setFocus(Qt::OtherFocusReason);
        return;
    }
    if (portIsOpen())
        sendPayload(buildPnEepromRead(static_cast<uint8_t>(address & 0xFF)));
}

void MainWindow::on_btWritePnEeprom_clicked()
{
    bool ok = false;
    const uint address = ui->lePnAddress->text().toUInt(&ok, 16);
    if (!ok) {
        logd(tr("Please enter correct PN address"));
        ui->lePnAddress->setFocus(Qt::OtherFocusReason);
        return;
    }
    const uint value = ui->lePnValue->text().toUInt(&ok, 16);
    if (!ok) {
        logd(tr("Please enter correct PN value"));
        ui->lePnValue->setFocus(Qt::OtherFocusReason);
        return;
    }
    if (portIsOpen())
        sendPayload(buildPnEepromWrite(static_cast<uint8_t>(address & 0xFF),
                                       static_cast<uint8_t>(value & 0xFF)));
}

void MainWindow::handlePnEepromAnswer(const uint8_t *buff, size_t len)
{
    if (!isPnEepromReadAnswer(len)) {
        logd(tr("EEPROM write success"));
        return;
    }
    const QString value = hexByte(readPnEepromValue(buff, len));
    ui->lePnValue->setText(value);
    logd(tr("Value received: ") + value);
}

void MainWindow::on_btLoopTest_clicked()
{
    oneShotTimer->stop();
    if (pendingOperation == OpLoopTest) {
        logd(tr("Loop test stoped"));
        ui->btLoopTest->setText(tr("Start loop test"));
        pendingOperation = OpIdle;
        return;
    }
    logd(tr("Loop test started"));
    ui->btLoopTest->setText(tr("Stop loop test"));
    statNotFound = 0;
    statFound = 0;
    statRetry = 0;
    statErrors = 0;
    updateStats();
    sendCommand(CmdGetTagCount);
    pendingOperation = OpLoopTest;
    startResponseTimer(kLoopTestStepTimeoutMs);
}

void MainWindow::handleTagVersion()
{
    logd(tr("Version received."));
    if (ui->cbReadPage->isChecked()) {
        logd(tr("Reading page 4"));
        sendPayload(buildReadPage(kAddressTagFirstPage, kLoopTestPageCount));
    } else {
        sendCommand(CmdHalt);
    }
    startResponseTimer(kLoopTestStepTimeoutMs);
}

void MainWindow::restartLoopTestCycle()
{
    sendCommand(CmdGetTagCount);
    startResponseTimer(kLoopTestStepTimeoutMs);
}
