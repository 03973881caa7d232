#ifndef DEVICECOMMAND_H
#define DEVICECOMMAND_H

#include <QByteArray>
#include <QString>

#include <array>
#include <cstddef>
#include <cstdint>

// Command codes of requests; a response echoes the code in its byte 1.
enum DeviceCommand : uint8_t {
    CmdGetTagCount = 0x02,
    CmdReadUid = 0x03,
    CmdActivateTag = 0x04,
    CmdHalt = 0x05,
    CmdReboot = 0x08,
    CmdGetVersion = 0x09,
    CmdGetDeviceName = 0x0A,
    CmdSetSettings = 0x0B,
    CmdGetSettings = 0x0C,
    CmdResetToDefaults = 0x0D,
    CmdLed = 0x0E,
    CmdReadPage = 0x40,
    CmdWritePage = 0x41,
    CmdGetTagVersion = 0x42,
    CmdEnterBootloader = 0xF0,
    CmdEraseFlash = 0xF1,
    CmdWriteFlash = 0xF2,
    CmdFinishFirmware = 0xF3,
    CmdPnEeprom = 0xF4,
};

constexpr uint8_t kStatusSuccess = 0x00;
constexpr uint8_t kStatusError = 0xFF;

// Status byte and echoed command code precede the data of every response.
constexpr size_t kResponseDataOffset = 2;

constexpr size_t kShortNameSize = 4;

constexpr uint8_t kFirstBusAddress = 0x00;
constexpr uint8_t kLastBusAddress = 0xFF;

#pragma pack(push, 1)
struct DeviceSettings
{
    uint8_t baudIndex = 0;
    uint8_t ownAddress = 0;
    uint8_t terminated = 0;
    std::array<uint8_t, kShortNameSize> shortName{};
};
#pragma pack(pop)
static_assert(sizeof(DeviceSettings) == 7, "DeviceSettings is a 7-byte record");

constexpr std::array<int, 6> kBaudRates = {4800, 9600, 19200, 38400, 57600, 115200};
constexpr int kBaudRateCount = static_cast<int>(kBaudRates.size());

// The longest identification (the text answering CmdGetDeviceName) that the tools allow for
// when they time a scan probe: a product name and its place, such as the 29 bytes of "Talvik
// RFID reader (entrance)", twice over. A longer one still comes, but at the slow rates only
// within a probe whose --timeout margin covers the rest.
constexpr int kLongestIdentificationBytes = 64;
// Milliseconds, rounded up, that a request without data and the answer carrying the longest
// identification take on the line at this rate, ten bits a byte.
int identificationWireTimeMs(int baudRate);

bool isValidBaudIndex(int index);
// The table's rates in its order, joined by separator: "4800 9600 ... 115200".
QString baudRatesText(const QString &separator = QStringLiteral(" "));
// -1 when the rate is not in the table.
int baudIndexOf(int baudRate);

// Page layout of tags and the address-tag chain.
constexpr uint8_t kAddressTagFirstPage = 4;
constexpr uint8_t kAddressTagPageCount = 3;
constexpr uint8_t kLoopTestPageCount = 1;
constexpr size_t kTagPageSize = 4;

constexpr uint8_t kLedOff = 0x00;
constexpr uint8_t kLedOn = 0x01;
constexpr uint8_t kLedToggle = 0x02;
constexpr uint16_t kLedTogglePeriodMs = 1000;

constexpr int kFirmwareChunkSize = 256;

// ---- Request builders ----------------------------------------------------------------------

QByteArray buildCommand(DeviceCommand command);
QByteArray buildReadUid();
QByteArray buildActivateTag();
QByteArray buildSetSettings(const DeviceSettings &settings);
QByteArray buildLed(uint8_t mode);
QByteArray buildLedToggle(uint16_t periodMs = kLedTogglePeriodMs);
QByteArray buildReadPage(uint8_t firstPage, uint8_t pageCount);
QByteArray buildWritePage(uint8_t firstPage, uint8_t pageCount, const uint8_t *data, size_t len);
// chunk of 1 to kFirmwareChunkSize image bytes.
QByteArray buildWriteFlash(const char *chunk, int len);
QByteArray buildPnEepromRead(uint8_t eepromAddress);
QByteArray buildPnEepromWrite(uint8_t eepromAddress, uint8_t value);

// First four bytes of the UTF-8 form, zero padded; no terminator when all four are used.
std::array<uint8_t, kShortNameSize> shortNameBytes(const QString &name);

// ---- Response readers ----------------------------------------------------------------------
// Every reader takes the payload as delivered and never reads past it: missing bytes read as 0.

uint8_t responseByte(const uint8_t *payload, size_t len, size_t index);
uint8_t responseStatus(const uint8_t *payload, size_t len);
uint8_t responseCommand(const uint8_t *payload, size_t len);

// UTF-8 text from byte 2 up to the first zero byte or the payload's end.
QString readResponseText(const uint8_t *payload, size_t len);

DeviceSettings readSettings(const uint8_t *payload, size_t len);
// Short name field as UTF-8 text, ending early at a zero byte.
QString shortNameText(const std::array<uint8_t, kShortNameSize> &shortName);

int readTagCount(const uint8_t *payload, size_t len);
// Bytes 4 to the end; empty for shorter answers.
QByteArray readUid(const uint8_t *payload, size_t len);
QByteArray readPageData(const uint8_t *payload, size_t len);

struct ErrorResponse
{
    uint8_t command = 0;
    uint8_t errorHigh = 0;
    uint8_t errorLow = 0;
};
ErrorResponse readErrorResponse(const uint8_t *payload, size_t len);
// The operator's line for an error response.
QString errorResponseText(const ErrorResponse &error);
// Command code and error number, also for the finish request.
QString errorNumberText(const ErrorResponse &error);

// A PN5180 EEPROM answer of exactly three bytes carries a read value; any other is a write ack.
constexpr size_t kPnEepromReadAnswerSize = 3;
bool isPnEepromReadAnswer(size_t len);
uint8_t readPnEepromValue(const uint8_t *payload, size_t len);

QString hexByte(uint8_t value);
QString hexBytes(const QByteArray &bytes);

// A bootloader names itself after at least one other character; an application whose version
// begins with the word is not one.
bool isBootloaderVersion(const QString &version);

// ---- Address tag record (pages 4 to 6 of an address tag) -----------------------------------

constexpr size_t kAddressTagRecordSize = 12;
constexpr uint8_t kAddressTagHeader0 = 0x06;
constexpr uint8_t kAddressTagHeader1 = 0x01;

using AddressTagRecord = std::array<uint8_t, kAddressTagRecordSize>;

AddressTagRecord buildAddressTagRecord(const QString &shortName, uint8_t address, bool terminated);

enum class AddressTagCheck { Valid, TooShort, WrongHeaderCrc, WrongPayloadCrc };
AddressTagCheck checkAddressTagRecord(const uint8_t *record, size_t len);

struct AddressTagFields
{
    QString shortName;
    uint8_t address = 0;
    bool terminated = false;
};
// Bytes beyond len read as 0.
AddressTagFields readAddressTagRecord(const uint8_t *record, size_t len);

#endif // DEVICECOMMAND_H
