#ifndef EXCHANGETIMING_H
#define EXCHANGETIMING_H

// Response time limits and pauses, in milliseconds: one table for the window and the command
// line, so that both give a device the same time.
namespace ExchangeTiming {
constexpr int kScanProbeTimeoutMs = 100; // one address probed by the scan
// What a reader may take from a request's last byte to the first byte of its identification;
// the command line's scan over several rates allows it on top of the line time.
constexpr int kIdentificationAnswerTimeMs = 10;
constexpr int kConnectTimeoutMs = 500;          // version + identification of a connect
constexpr int kReadSettingsTimeoutMs = 500;     // settings after a connect
constexpr int kWriteSettingsTimeoutMs = 1000;   // answer to a settings write
constexpr int kRestartRequestTimeoutMs = 500;   // answer to reboot / factory reset
constexpr int kWaitDeviceTimeoutMs = 500;       // version of a restarted device
constexpr int kEnterBootloaderTimeoutMs = 1000; // answer to the bootloader request
constexpr int kWaitBootloaderTimeoutMs = 1000;  // version of the started bootloader
constexpr int kEraseFlashTimeoutMs = 5000;      // application flash erase
constexpr int kWriteChunkTimeoutMs = 1000;      // one firmware chunk
constexpr int kReadTagTimeoutMs = 500;          // tag count when reading a tag
constexpr int kWriteTagTimeoutMs = 1000;        // tag count when writing a tag
constexpr int kTagStepTimeoutMs = 500;          // UID, activation, read-back, HALT
constexpr int kTagPageTimeoutMs = 2000;         // page write / read after activation
constexpr int kLoopTestStepTimeoutMs = 1000;    // every loop-test step but the UID
constexpr int kLoopTestUidTimeoutMs = 500;      // UID in the loop test

// The window waits for these answers without limit or not at all; a script must not hang, and
// must learn that a device stayed silent.
constexpr int kFinishFirmwareTimeoutMs = 10000; // bootloader verifies the whole image
constexpr int kLedAnswerTimeoutMs = 500;        // LED request
constexpr int kPnEepromAnswerTimeoutMs = 500;   // PN5180 EEPROM read or write

constexpr int kSettingsWrittenPauseMs = 1000; // device stores settings and restarts
constexpr int kDeviceRestartPauseMs = 1500;   // reboot, factory reset, new firmware
constexpr int kBootloaderStartPauseMs = 1000; // application hands over to the bootloader
} // namespace ExchangeTiming

#endif // EXCHANGETIMING_H
