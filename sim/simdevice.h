#ifndef SIM_SIMDEVICE_H
#define SIM_SIMDEVICE_H

// For DeviceSettings, the holder of the seven settings fields that tests fill in; the device
// writes and reads its bytes field by field, in its own order.
#include "devicecommand.h"

#include <QByteArray>
#include <QString>
#include <QVector>

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>

// The device's own tables and records, apart from the tool's: a fault on one side of the line
// then shows at the other.

constexpr uint8_t kSimStatusSuccess = 0x00;
constexpr uint8_t kSimStatusError = 0xFF;
// Status byte and echoed command code, before the data of every answer.
constexpr int kSimAnswerHeaderSize = 2;

// The firmware's rate table: the settings record holds an index into it.
constexpr std::array<int, 6> kSimBaudRates = {4800, 9600, 19200, 38400, 57600, 115200};
bool simIsValidBaudIndex(int index);
// -1 when the rate is not in the table.
int simBaudIndexOf(int baudRate);

using SimShortName = std::array<uint8_t, 4>;
// The first four bytes of the UTF-8 form, zero padded.
SimShortName simShortName(const QString &name);
// UTF-8 up to the first zero byte.
QString simShortNameText(const SimShortName &name);

// The seven bytes of CmdGetSettings and CmdSetSettings: rate index, own address,
// termination, short name.
constexpr int kSimSettingsSize = 7;
QByteArray simSettingsBytes(const DeviceSettings &settings);
DeviceSettings simSettingsFromBytes(const uint8_t *bytes);

// Mode byte of CmdLed.
namespace SimLed {
constexpr uint8_t kOff = 0x00;
constexpr uint8_t kOn = 0x01;
constexpr uint8_t kToggle = 0x02;
} // namespace SimLed

// A tag in a reader's RF field: UID and 4-byte pages, the first four holding UID and lock data.
struct SimTag
{
    static constexpr int kDefaultPageCount = 45;
    static constexpr int kFirstUserPage = 4; // pages below are read-only on the tag
    static constexpr int kPageSize = 4;
    static constexpr int kAddressTagPage = 4; // first of the three pages of the record

    QByteArray uid;
    QByteArray pages;
    // Sent before the UID in the CmdReadUid answer (ATQA-like); the tool does not read them.
    std::array<uint8_t, 2> selectInfo{{0x44, 0x00}};
    // Data of the CmdGetTagVersion answer.
    QByteArray version = QByteArray::fromHex("0004040201000F03");

    static SimTag create(const QByteArray &uid, int pageCount = kDefaultPageCount);
    // Stores an address-tag record in pages 4 to 6: header 06 01 and its CRC, short name,
    // address, termination flag and their CRC, each CRC low byte first.
    SimTag &withAddressTag(uint8_t address, const QString &shortName, bool terminated);
    int pageCount() const { return pages.size() / kPageSize; }
    QByteArray readPages(int firstPage, int count) const;
};

constexpr int kNoCommand = -1;
constexpr int kAnyCommand = -2;

// Misbehaviour switched on per device or for the whole bus.
struct SimFaults
{
    bool silent = false;
    int answerDelayMs = 0;
    // Answer this command (or kAnyCommand) with an error instead of executing it.
    int errorCommand = kNoCommand;
    uint16_t errorNumber = 0x00EE;
    // Share of answers, 0.0 to 1.0, sent with a broken CRC.
    double corruptCrcRate = 0.0;
    // Break the CRC of this many next answers, then answer well again.
    int corruptNextAnswers = 0;
    // Answer this command (or kAnyCommand) lateAnswerMs later than usual.
    int lateCommand = kNoCommand;
    int lateAnswerMs = 0;
    // Fall silent after this many firmware chunks were accepted; -1 never.
    int dropAfterChunks = -1;
    // The adapter is pulled after this many firmware chunks were accepted: the line hangs up.
    int unplugAfterChunks = -1;
    // Answer this command with only this many data bytes, as a broken firmware might.
    int truncateCommand = kNoCommand;
    int truncatedDataBytes = 0;
    // The bootloader accepts a good image but the application never starts.
    bool applicationNeverStarts = false;
    // An accepted image does not take: the application still reports its old version.
    bool keepsOldVersion = false;
    // A settings write leaves the termination as it was, as a board without the switch does.
    bool keepsTermination = false;
};

struct SimTiming
{
    int restartMs = 300;         // silent after reboot, reset, settings write, new firmware
    int bootloaderStartMs = 300; // silent while the application hands over to the bootloader
    int eraseMs = 200;           // application flash erase before the answer
};

enum class SimMode { Application, Bootloader };

// How a device starts.
struct SimDeviceConfig
{
    QString identification = QStringLiteral("Talvik RFID reader");
    QString applicationVersion = QStringLiteral("APP 1.0.0");
    QString bootloaderVersion = QStringLiteral("Talvik BOOTLOADER 1.2");
    SimMode mode = SimMode::Application;
    DeviceSettings settings = defaultSettings(0x80);
    // Restored by CmdResetToDefaults; the start settings when not given.
    std::optional<DeviceSettings> factorySettings;
    uint8_t ledMode = SimLed::kOff;
    uint16_t ledPeriodMs = 0;
    QByteArray eeprom = QByteArray(kEepromSize, '\0');
    QVector<SimTag> tags;
    QByteArray flash; // application image as last written
    SimTiming timing;
    // Skip the image check of CmdFinishFirmware.
    bool acceptAnyImage = false;
    int flashCapacity = 256 * 1024;
    SimFaults faults;

    static constexpr int kEepromSize = 256;
    static constexpr int kDefaultBaudIndex = 5; // 115200, the tool's start speed

    static DeviceSettings defaultSettings(uint8_t address);
    // A device at this bus address with the default everything else.
    static SimDeviceConfig at(uint8_t address, const QString &identification = QString());
};

struct SimDeviceState
{
    // The configuration's fields as the device runs: settings written, image flashed, faults
    // switched on and off.
    SimDeviceConfig config;
    int id = -1;
    bool restarting = false; // snapshot only: silent because of a restart or a busy step
    // A whole application image is in flash: the device starts it after a restart.
    bool applicationWhole = true;
    bool flashErased = false;
    int activeTag = -1;
    int restartCount = 0;
    int chunksWritten = 0;
    int imagesAccepted = 0;

    uint8_t address() const { return config.settings.ownAddress; }
    int baudRate() const;
};

// What a device does with one request it heard.
struct SimReply
{
    bool answer = false;
    QByteArray payload;
    int delayMs = 0;     // working time before the answer goes out
    int restartMs = 0;   // silent this long once the answer is out
    QString note;        // for the trace: why nothing, or what happened
    bool unplug = false; // the line hangs up once the answer is out
};

// Device error numbers, sent high byte first in error answers.
namespace SimError {
constexpr uint16_t kUnknownCommand = 0x0001;
constexpr uint16_t kBadLength = 0x0002;
constexpr uint16_t kBadParameter = 0x0003;
constexpr uint16_t kNoTag = 0x0010;
constexpr uint16_t kTagCollision = 0x0011;
constexpr uint16_t kTagNotActive = 0x0012;
constexpr uint16_t kPageOutOfRange = 0x0013;
constexpr uint16_t kPageReadOnly = 0x0014;
constexpr uint16_t kNotInBootloader = 0x0020;
constexpr uint16_t kNotInApplication = 0x0021;
constexpr uint16_t kFlashNotErased = 0x0022;
constexpr uint16_t kFlashFull = 0x0023;
constexpr uint16_t kImageRejected = 0x0024;
} // namespace SimError

// Image check of CmdFinishFirmware: the last four bytes are the little-endian CRC-32 (zlib's) of
// the rest.
bool simImageIsValid(const QByteArray &image);
// Appends the trailer that makes simImageIsValid true.
QByteArray simSealImage(const QByteArray &body);
// "VER:" followed by printable text names the version (up to 32 characters); otherwise
// "image-" and the CRC-32 of the image (of its body when sealed) as eight lower-case hex digits.
QString simImageVersion(const QByteArray &image);
// An image of exactly `size` bytes that brings `version` and that the bootloader takes: the
// version behind "VER:", deterministic filler, the trailer. Shorter than the trailer: filler only.
QByteArray simImage(const QString &version, int size);

QByteArray simErrorPayload(uint8_t command, uint16_t errorNumber);

// One reader on the bus: command behaviour, no timers. Time comes in as milliseconds.
class SimDevice
{
public:
    SimDevice(int id, const SimDeviceConfig &config);

    const SimDeviceState &state() const { return st; }
    SimDeviceState &state() { return st; }
    SimDeviceState snapshot(qint64 nowMs) const;

    uint8_t address() const { return st.address(); }
    int baudRate() const { return st.baudRate(); }
    bool isBusy(qint64 nowMs) const { return nowMs < busyUntilMs; }
    void stayBusyUntil(qint64 untilMs);
    void beginRestart(qint64 nowMs, int restartMs);
    // Power off and on: what the device kept in RAM is gone; it starts its application when
    // the image is whole, else its bootloader.
    void powerCycle(qint64 nowMs);

    void setTags(const QVector<SimTag> &tags);

    SimReply handle(const uint8_t *request, size_t len);

private:
    using Handler = SimReply (SimDevice::*)(const uint8_t *, size_t);
    Handler handlerFor(uint8_t command) const;

    SimReply answer(uint8_t command, const QByteArray &data = QByteArray()) const;
    SimReply error(uint8_t command, uint16_t errorNumber) const;
    SimReply answerAndRestart(uint8_t command, int restartMs);

    SimReply getVersion(const uint8_t *request, size_t len);
    SimReply getDeviceName(const uint8_t *request, size_t len);
    SimReply getSettings(const uint8_t *request, size_t len);
    SimReply setSettings(const uint8_t *request, size_t len);
    SimReply reboot(const uint8_t *request, size_t len);
    SimReply resetToDefaults(const uint8_t *request, size_t len);
    SimReply led(const uint8_t *request, size_t len);
    SimReply pnEeprom(const uint8_t *request, size_t len);
    SimReply getTagCount(const uint8_t *request, size_t len);
    SimReply readUid(const uint8_t *request, size_t len);
    SimReply activateTag(const uint8_t *request, size_t len);
    SimReply halt(const uint8_t *request, size_t len);
    SimReply readPage(const uint8_t *request, size_t len);
    SimReply writePage(const uint8_t *request, size_t len);
    SimReply getTagVersion(const uint8_t *request, size_t len);
    SimReply enterBootloader(const uint8_t *request, size_t len);
    SimReply eraseFlash(const uint8_t *request, size_t len);
    SimReply writeFlash(const uint8_t *request, size_t len);
    SimReply finishFirmware(const uint8_t *request, size_t len);

    // Exactly one tag in the field, or the error answer saying why not.
    bool singleTag(uint8_t command, SimReply *refusal) const;

    SimDeviceState st;
    qint64 busyUntilMs = 0;
};

#endif // SIM_SIMDEVICE_H
