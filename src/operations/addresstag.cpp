// Address tag write and read through the reader: count, UID, activate, pages 4 to 6, HALT.
#include "mainwindow.h"
#include "ui_mainwindow.h"

#include <QTimer>

using namespace ExchangeTiming;

void MainWindow::on_btWriteAddressTag_clicked()
{
    bool ok = false;
    const uint address = ui->leTagDeviceAddress->text().toUInt(&ok, 16);
    if (!ok) {
        logd(tr("Please enter correct tag address defice address!"));
        return;
    }
    addressTagRecord =
        buildAddressTagRecord(ui->leTagShortName->text(), static_cast<uint8_t>(address & 0xFF),
                              ui->cbTagTerminated->isChecked());
    sendCommand(CmdGetTagCount);
    pendingOperation = OpWriteTag;
    startResponseTimer(kWriteTagTimeoutMs);
}

void MainWindow::on_btReadAddressTag_clicked()
{
    oneShotTimer->stop();
    sendCommand(CmdGetTagCount);
    pendingOperation = OpReadTag;
    startResponseTimer(kReadTagTimeoutMs);
}

void MainWindow::handleTagCount(const uint8_t *buff, size_t len)
{
    oneShotTimer->stop();
    const bool loopTest = pendingOperation == OpLoopTest;
    const int count = readTagCount(buff, len);
    if (count == 0) {
        logd(tr("No tag detected"));
        if (loopTest) {
            sendCommand(CmdHalt);
            startResponseTimer(kLoopTestStepTimeoutMs);
            ++statNotFound;
            updateStats();
        }
        return;
    }
    if (count > 1) {
        // The loop test rests here until the operator stops it.
        logd(tr("Too many tags on the antenna (%1).").arg(count));
        return;
    }
    logd(tr("Tag detected..."));
    logd(tr("Reading UID..."));
    if (loopTest) {
        ++statFound;
        updateStats();
    }
    sendPayload(buildReadUid());
    startResponseTimer(loopTest ? kLoopTestUidTimeoutMs : kTagStepTimeoutMs);
}

void MainWindow::handleUid(const uint8_t *buff, size_t len)
{
    oneShotTimer->stop();
    logd(tr("UID: ") + hexBytes(readUid(buff, len)));
    if (pendingOperation == OpLoopTest) {
        logd(tr("Get version request."));
        startResponseTimer(kLoopTestStepTimeoutMs);
        sendCommand(CmdGetTagVersion);
        return;
    }
    sendPayload(buildActivateTag());
    startResponseTimer(kTagStepTimeoutMs);
}

void MainWindow::handleTagActivated()
{
    oneShotTimer->stop();
    logd(tr("Tag activated..."));
    if (pendingOperation == OpWriteTag) {
        logd(tr("Writing address tag..."));
        sendPayload(buildWritePage(kAddressTagFirstPage, kAddressTagPageCount,
                                   addressTagRecord.data(), addressTagRecord.size()));
        startResponseTimer(kTagPageTimeoutMs);
        return;
    }
    logd(tr("Reading tag info"));
    sendPayload(buildReadPage(kAddressTagFirstPage, kAddressTagPageCount));
    pendingOperation = OpReadTag;
    startResponseTimer(kTagPageTimeoutMs);
}

void MainWindow::handlePageWritten()
{
    oneShotTimer->stop();
    logd(tr("Write ACK"));
    // Every written tag is read back and checked.
    logd(tr("Reading tag info"));
    sendPayload(buildReadPage(kAddressTagFirstPage, kAddressTagPageCount));
    pendingOperation = OpReadTag;
    startResponseTimer(kTagStepTimeoutMs);
}

void MainWindow::handlePageRead(const uint8_t *buff, size_t len)
{
    oneShotTimer->stop();
    if (pendingOperation == OpLoopTest) {
        logd(tr("Read page OK"));
        sendCommand(CmdHalt);
        startResponseTimer(kLoopTestStepTimeoutMs);
        return;
    }

    const QByteArray record = readPageData(buff, len);
    const auto *recordBytes = reinterpret_cast<const uint8_t *>(record.constData());
    const size_t recordSize = static_cast<size_t>(record.size());
    switch (checkAddressTagRecord(recordBytes, recordSize)) {
    case AddressTagCheck::TooShort:
        logd(tr("Tag answer too short (%1 of %2 bytes) - it is not a valid address tag")
                 .arg(record.size())
                 .arg(kAddressTagRecordSize));
        return;
    case AddressTagCheck::WrongHeaderCrc:
        logd(tr("Wrong header CRC - it is not a valid address tag"));
        return;
    case AddressTagCheck::WrongPayloadCrc:
        logd(tr("Wrong payload CRC - it is not a valid address tag"));
        return;
    case AddressTagCheck::Valid:
        break;
    }

    const AddressTagFields fields = readAddressTagRecord(recordBytes, recordSize);
    logd(tr("Valid address tag found."));
    ui->cbTagTerminated->setChecked(fields.terminated);
    ui->leTagDeviceAddress->setText(hexByte(fields.address));
    ui->leTagShortName->setText(fields.shortName);
    logd(tr("Address: 0x") + hexByte(fields.address));
    logd(tr("Short name: ") + ui->leTagShortName->text());
    logd(fields.terminated ? tr("Terminated: true") : tr("Terminated: false"));
    sendCommand(CmdHalt);
    startResponseTimer(kTagStepTimeoutMs);
    logd(tr("Sending HALT command to disable RF field."));
}

void MainWindow::handleHalt()
{
    logd(tr("HALT done."));
    if (pendingOperation == OpLoopTest) {
        logd(tr("Get tag count req..."));
        restartLoopTestCycle();
        return;
    }
    oneShotTimer->stop();
}
