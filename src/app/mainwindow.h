#ifndef MAINWINDOW_H
#define MAINWINDOW_H

#include "binaryprotocol.h"
#include "buslink.h"
#include "devicecommand.h"
#include "exchangetiming.h"

#include <QByteArray>
#include <QMainWindow>
#include <QSerialPort>
#include <QSet>
#include <QString>

#include <cstddef>
#include <cstdint>
#include <memory>

QT_BEGIN_NAMESPACE
namespace Ui {
class MainWindow;
}
class QLabel;
class QProgressBar;
class QTimer;
QT_END_NAMESPACE

class MainWindow : public QMainWindow
{
    Q_OBJECT

public:
    enum PendingOperation {
        OpIdle = 0,
        OpLoopTest = 1,
        OpConnect = 2,
        OpWaitDevice = 3,
        OpEnterBootloader = 4,
        OpWaitBootloader = 5,
        OpEraseFlash = 6,
        OpReadSettings = 9,
        OpWriteSettings = 10,
        OpWriteTag = 12,
        OpReadTag = 13,
        OpScan = 16,
    };

    explicit MainWindow(QWidget *parent = nullptr);
    ~MainWindow() override;

private slots:
    void logd(QString msg);
    void updateStats();
    void handleSerialDataReady();
    void handleSerialDataError(BusLink::Failure failure, const QString &reason);
    void binaryProtocolFrameComplete(uint8_t *buff, size_t len);
    void binaryProtocolWrite(uint8_t *buff, size_t len);
    void binaryProtocolFrameError(uint8_t *buff, size_t len);
    void oneShotTimeout();
    void on_btSerialConnect_clicked();
    void on_btFlashFirmware_clicked();
    void on_btRefresComPorts_clicked();
    void on_btSaveSettings_clicked();
    void on_btClearLogs_clicked();
    void on_btWriteAddressTag_clicked();
    void on_btReadAddressTag_clicked();
    void on_btResetToDefaults_clicked();
    void on_btRestartDevice_clicked();
    void on_btScanRs485_clicked();
#if QT_VERSION < QT_VERSION_CHECK(6, 0, 0)
    void on_cbDetectedDevices_currentIndexChanged(QString arg1);
#endif
    void on_btLedOn_clicked();
    void on_btLedOff_clicked();
    void on_btLedToggle_clicked();
    void on_btReadPnEeprom_clicked();
    void on_btWritePnEeprom_clicked();
    void on_btLoopTest_clicked();

private:
#if QT_VERSION >= QT_VERSION_CHECK(6, 0, 0)
    // No slot here: Qt 6 has no currentIndexChanged(QString) to connect it to by name.
    void on_cbDetectedDevices_currentIndexChanged(QString arg1);
#endif

    // seriallink.cpp
    enum class OpenOutcome { Opened, Failed, Cancelled };
    // False when the operation must stop here: a network port did not open, so no device can
    // be asked. Open or not, a local port runs on to the operation's own timeout.
    bool openPort();
    // Waits for a network server with the window responsive, the operation controls held and,
    // after a moment, a dialog that offers Cancel.
    OpenOutcome openWhileResponsive(int baudRate);
    void closePort();
    bool portIsOpen() const
    {
        return serialPort && serialPort->isOpen();
    }
    void useLink(std::unique_ptr<BusLink> link);
    void handleConnectionLost(const QString &reason);
    void noteLineRateChange();
    void showConnectedLook();
    void showDisconnectedLook();
    void sendPayload(const QByteArray &payload);
    void sendCommand(DeviceCommand command);

    // responsedispatch.cpp
    void handleSuccessResponse(uint8_t *buff, size_t len);
    void handleErrorResponse(const uint8_t *buff, size_t len);
    void startResponseTimer(int intervalMs);
    // Lets pending events run once, then blocks the GUI thread while the device restarts.
    void pauseForDevice(int pauseMs);

    // busscan.cpp
    void scanNextAddress();
    // The scan's own controls back, the port closed.
    void endScan();
    void requestVersion();
    void requestDeviceName();
    void handleDeviceFound(const uint8_t *buff, size_t len);
    void handleVersionAnswer(const uint8_t *buff, size_t len);
    void handleDeviceNameAnswer();

    // devicesettings.cpp
    void handleSettingsAnswer(const uint8_t *buff, size_t len);
    void showSettings(const DeviceSettings &settings);
    void handleSettingsWritten();
    void handleDeviceRestarting();

    // firmwareupdate.cpp
    bool loadFirmwareImage();
    void handleBootloaderEntered();
    void handleBootloaderVersion(const QString &version);
    void startFirmwareWrite();
    void sendFirmwareChunk();
    void finishFirmwareWrite();

    // addresstag.cpp
    void handleTagCount(const uint8_t *buff, size_t len);
    void handleUid(const uint8_t *buff, size_t len);
    void handleTagActivated();
    void handlePageWritten();
    void handlePageRead(const uint8_t *buff, size_t len);
    void handleHalt();

    // diagnostics.cpp
    void handleTagVersion();
    void handlePnEepromAnswer(const uint8_t *buff, size_t len);
    void restartLoopTestCycle();

    Ui::MainWindow *ui;
    // A local serial port or a network serial server, made anew by each openPort.
    std::unique_ptr<BusLink> serialPort;
    BinaryProtocol binaryProtocol;
    uint8_t scanAddress = 0;
    QLabel *infoLabel = nullptr;
    QLabel *statusLabel = nullptr;
    QProgressBar *progressBar = nullptr;
    QTimer *oneShotTimer = nullptr;
    int pendingOperation = OpIdle;
    QByteArray firmwareImage;
    int firmwareBytesSent = 0;
    QString firmwareFileName;
    AddressTagRecord addressTagRecord{};
    int statNotFound = 0;
    int statFound = 0;
    int statRetry = 0;
    int statErrors = 0;

    // Set while a received chunk is being decoded; bytes arriving meanwhile wait for it.
    bool decodingChunk = false;
    // Ports reached in cleartext beyond private networks, warned of once a run.
    QSet<QString> warnedPorts;
};

#endif // MAINWINDOW_H
