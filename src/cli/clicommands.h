#ifndef CLICOMMANDS_H
#define CLICOMMANDS_H

#include "deviceclient.h"
#include "devicecommand.h"
#include "exchangetiming.h"

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <QVector>

#include <cstdint>
#include <optional>

class CliOutput;
struct ImageVerdict;

// The command line's operations, each a chain of synchronous exchanges with one device: scan,
// survey and the collision rule in cliscan.cpp, flash in cliflash.cpp, the others in
// clicommands.cpp, the steps they share in clisteps.h.
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

// The settings of one device as backup and survey print them, and what restore writes of them.
struct BackupRecord
{
    uint8_t baudIndex = 0;
    uint8_t ownAddress = 0;
    bool terminated = false;
    QString shortName;
    QString version;        // not written: only compared, and a difference noted
    QString identification; // likewise
};

struct RestoreOptions
{
    BackupRecord backup;
    bool keepAddress = false;
    bool keepBaud = false;
};

struct ScanOptions
{
    uint8_t first = kFirstBusAddress;
    uint8_t last = kLastBusAddress;
    int timeoutMs = ExchangeTiming::kScanProbeTimeoutMs;
    // Fastest first. Empty: the port's rate alone, timeoutMs the whole probe. Given: a probe
    // at each rate waits for the request and the longest identification on the line, the
    // reader's answer time, and timeoutMs as a margin.
    QVector<int> rates;
};

// The collision rule, for every command that asks an address two devices may share (scan,
// info, survey): a broken answer (a CRC error, a frame cut short, bytes that make no frame) is
// let run out and the request asked again, kCollisionProbes times in all; a good answer ends
// it; silence, and a flood of more bytes than colliding answers could be, are not asked again.
// Broken every time: two or more devices may share the address. The first request has
// firstDeadline, each further one limitMs.
constexpr int kCollisionProbes = 3;
struct CollisionProbe
{
    DeviceAnswer answer; // to the last request
    bool collision = false;
};
CollisionProbe askUnderCollisionRule(DeviceClient &client, const QByteArray &request, int limitMs,
                                     const QDeadlineTimer &firstDeadline);
// What a collision is reported as: "answers broken 3 of 3 times: two or more ...".
QString collisionReason();

int listPorts(CliOutput &out);
int scanBus(Session &session, const ScanOptions &options);
// The scan at the port's rate, then info's reads of each device found: one line per device,
// nothing written.
int surveyBus(Session &session, const ScanOptions &options);
int showInfo(Session &session, uint8_t address);
int changeSettings(Session &session, uint8_t address, const SettingsChange &change);
// CmdReboot or CmdResetToDefaults.
int restartDevice(Session &session, uint8_t address, DeviceCommand command);
// One JSON object per device, as survey --json prints it, in text mode too; read requests only.
int backupDevices(Session &session, const QVector<uint8_t> &addresses);
// Empty, with *record filled, when path ("-": standard input) holds one backup object, or JSON
// lines of them with one whose address is `from`; else what is wrong with it.
QString readBackup(const QString &path, const std::optional<uint8_t> &from, BackupRecord *record);
// Writes what differs of the backup (nothing when all agree), then reads every field back at the
// new address and rate.
int restoreDevice(Session &session, uint8_t address, const RestoreOptions &options);
// The whole image, or why it is not one: a device, a pipe or a huge file named by mistake must
// neither hang the program nor fill its memory.
QString readImage(const QString &path, QByteArray *image);
// As the device reports it and text output shows it, so that both compare with it.
bool isVersionText(const QString &text);
// expectedVersion: what the image brings, as the device will report it; a device already running
// it is left alone, one running anything else after the update has failed.
int flashImage(Session &session, const QByteArray &image, const QVector<uint8_t> &addresses,
               const std::optional<QString> &expectedVersion);
// Says on standard error which key signed the image, or that there was none to check it with.
void noteSignature(CliOutput &out, const ImageVerdict &verdict);
// ok, the key id and the trusted comment; or refused and why (also with no trusted key).
int verifyImage(CliOutput &out, const QString &path, const QByteArray &image,
                const QStringList &keyFiles);
int switchLed(Session &session, uint8_t address, const QByteArray &request);
int accessEeprom(Session &session, uint8_t address, uint8_t eepromAddress,
                 std::optional<uint8_t> value);

} // namespace CliCommands

#endif // CLICOMMANDS_H
