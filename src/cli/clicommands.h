#ifndef CLICOMMANDS_H
#define CLICOMMANDS_H

#include "devicecommand.h"

#include <QByteArray>
#include <QString>
#include <QVector>

#include <cstdint>
#include <optional>

class CliOutput;
class DeviceClient;

// The command line's operations, each a chain of synchronous exchanges with one device.
namespace CliCommands {

enum ExitStatus { ExitOk = 0, ExitDeviceFailed = 1, ExitUsage = 2, ExitPortFailed = 3 };

// The open port and where results go; every command below returns its exit status.
struct Session
{
    DeviceClient &client;
    CliOutput &out;
    QString portPath;
};

// Fields that `set` changes; the rest keep what the device holds.
struct SettingsChange
{
    std::optional<uint8_t> baudIndex;
    std::optional<uint8_t> address;
    std::optional<bool> terminated;
    std::optional<QString> shortName;
};

int listPorts(CliOutput &out);
int scanBus(Session &session, uint8_t first, uint8_t last, int probeTimeoutMs);
// The scan, then info's reads of each device found: one line per device, nothing written.
int surveyBus(Session &session, uint8_t first, uint8_t last, int probeTimeoutMs);
int showInfo(Session &session, uint8_t address);
int changeSettings(Session &session, uint8_t address, const SettingsChange &change);
// CmdReboot or CmdResetToDefaults.
int restartDevice(Session &session, uint8_t address, DeviceCommand command);
// expectedVersion: what the image brings, as the device will report it; a device already running
// it is left alone, one running anything else after the update has failed.
int flashImage(Session &session, const QByteArray &image, const QVector<uint8_t> &addresses,
               const std::optional<QString> &expectedVersion);
int switchLed(Session &session, uint8_t address, const QByteArray &request);
int accessEeprom(Session &session, uint8_t address, uint8_t eepromAddress,
                 std::optional<uint8_t> value);

} // namespace CliCommands

#endif // CLICOMMANDS_H
