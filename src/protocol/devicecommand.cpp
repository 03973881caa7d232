#include "devicecommand.h"

#include "binaryprotocol.h"

#include <QStringList>

#include <algorithm>
#include <cstring>

namespace {

QByteArray bytes(std::initializer_list<uint8_t> values)
{
    QByteArray out;
    out.reserve(static_cast<int>(values.size()));
    for (uint8_t v : values)
        out.append(static_cast<char>(v));
    return out;
}

uint16_t readLe16(const uint8_t *data, size_t len, size_t index)
{
    return static_cast<uint16_t>(responseByte(data, len, index) |
                                 (responseByte(data, len, index + 1) << 8));
}

constexpr size_t kHeaderCrcOffset = 2;
constexpr size_t kShortNameOffset = 4;
constexpr size_t kAddressOffset = 8;
constexpr size_t kTerminatedOffset = 9;
constexpr size_t kPayloadCrcOffset = 10;
constexpr size_t kRecordPayloadSize = 6;

constexpr size_t kUidOffset = 4;

constexpr int kBitsPerByte = 10; // start, eight data, stop
constexpr int kMsPerSecond = 1000;

} // namespace

int identificationWireTimeMs(int baudRate)
{
    constexpr int kRequestBytes = BinaryProtocol::kFrameOverhead + 1;
    constexpr int kAnswerBytes = BinaryProtocol::kFrameOverhead +
                                 static_cast<int>(kResponseDataOffset) +
                                 kLongestIdentificationBytes;
    constexpr int kBits = (kRequestBytes + kAnswerBytes) * kBitsPerByte;
    return (kBits * kMsPerSecond + baudRate - 1) / baudRate;
}

bool isValidBaudIndex(int index)
{
    return index >= 0 && index < kBaudRateCount;
}

QString baudRatesText(const QString &separator)
{
    QStringList rates;
    for (int rate : kBaudRates)
        rates << QString::number(rate);
    return rates.join(separator);
}

int baudIndexOf(int baudRate)
{
    const auto it = std::find(kBaudRates.begin(), kBaudRates.end(), baudRate);
    return it == kBaudRates.end() ? -1 : static_cast<int>(it - kBaudRates.begin());
}

QByteArray buildCommand(DeviceCommand command)
{
    return bytes({command});
}

QByteArray buildReadUid()
{
    return bytes({CmdReadUid, 0x00});
}

QByteArray buildActivateTag()
{
    return bytes({CmdActivateTag, 0x00});
}

QByteArray buildSetSettings(const DeviceSettings &settings)
{
    QByteArray out =
        bytes({CmdSetSettings, settings.baudIndex, settings.ownAddress, settings.terminated});
    for (uint8_t b : settings.shortName)
        out.append(static_cast<char>(b));
    return out;
}

QByteArray buildLed(uint8_t mode)
{
    return bytes({CmdLed, mode});
}

QByteArray buildLedToggle(uint16_t periodMs)
{
    return bytes({CmdLed, kLedToggle, static_cast<uint8_t>(periodMs & 0xFF),
                  static_cast<uint8_t>(periodMs >> 8)});
}

QByteArray buildReadPage(uint8_t firstPage, uint8_t pageCount)
{
    return bytes({CmdReadPage, firstPage, pageCount});
}

QByteArray buildWritePage(uint8_t firstPage, uint8_t pageCount, const uint8_t *data, size_t len)
{
    QByteArray out = bytes({CmdWritePage, firstPage, pageCount});
    out.append(reinterpret_cast<const char *>(data), static_cast<int>(len));
    return out;
}

QByteArray buildWriteFlash(const char *chunk, int len)
{
    QByteArray out;
    out.reserve(len + 1);
    out.append(static_cast<char>(CmdWriteFlash));
    out.append(chunk, len);
    return out;
}

QByteArray buildPnEepromRead(uint8_t eepromAddress)
{
    return bytes({CmdPnEeprom, eepromAddress});
}

QByteArray buildPnEepromWrite(uint8_t eepromAddress, uint8_t value)
{
    return bytes({CmdPnEeprom, eepromAddress, value});
}

std::array<uint8_t, kShortNameSize> shortNameBytes(const QString &name)
{
    std::array<uint8_t, kShortNameSize> out{};
    const QByteArray utf8 = name.toUtf8();
    const int n = std::min(static_cast<int>(utf8.size()), static_cast<int>(kShortNameSize));
    for (int i = 0; i < n; ++i)
        out[static_cast<size_t>(i)] = static_cast<uint8_t>(utf8[i]);
    return out;
}

uint8_t responseByte(const uint8_t *payload, size_t len, size_t index)
{
    return index < len ? payload[index] : 0;
}

uint8_t responseStatus(const uint8_t *payload, size_t len)
{
    return responseByte(payload, len, 0);
}

uint8_t responseCommand(const uint8_t *payload, size_t len)
{
    return responseByte(payload, len, 1);
}

QString readResponseText(const uint8_t *payload, size_t len)
{
    if (len <= kResponseDataOffset)
        return QString();
    const char *text = reinterpret_cast<const char *>(payload + kResponseDataOffset);
    const size_t available = len - kResponseDataOffset;
    const void *zero = std::memchr(text, 0, available);
    const size_t textLen =
        zero ? static_cast<size_t>(static_cast<const char *>(zero) - text) : available;
    return QString::fromUtf8(text, static_cast<int>(textLen));
}

DeviceSettings readSettings(const uint8_t *payload, size_t len)
{
    DeviceSettings settings;
    settings.baudIndex = responseByte(payload, len, kResponseDataOffset);
    settings.ownAddress = responseByte(payload, len, kResponseDataOffset + 1);
    settings.terminated = responseByte(payload, len, kResponseDataOffset + 2);
    for (size_t i = 0; i < kShortNameSize; ++i)
        settings.shortName[i] = responseByte(payload, len, kResponseDataOffset + 3 + i);
    return settings;
}

QString shortNameText(const std::array<uint8_t, kShortNameSize> &shortName)
{
    const auto end = std::find(shortName.begin(), shortName.end(), uint8_t(0));
    // Written as UTF-8 by shortNameBytes; Qt 5's local 8-bit codec depends on the system.
    return QString::fromUtf8(reinterpret_cast<const char *>(shortName.data()),
                             static_cast<int>(end - shortName.begin()));
}

int readTagCount(const uint8_t *payload, size_t len)
{
    return responseByte(payload, len, kResponseDataOffset);
}

QByteArray readUid(const uint8_t *payload, size_t len)
{
    if (len <= kUidOffset)
        return QByteArray();
    return QByteArray(reinterpret_cast<const char *>(payload + kUidOffset),
                      static_cast<int>(len - kUidOffset));
}

QByteArray readPageData(const uint8_t *payload, size_t len)
{
    if (len <= kResponseDataOffset)
        return QByteArray();
    return QByteArray(reinterpret_cast<const char *>(payload + kResponseDataOffset),
                      static_cast<int>(len - kResponseDataOffset));
}

ErrorResponse readErrorResponse(const uint8_t *payload, size_t len)
{
    ErrorResponse error;
    error.command = responseByte(payload, len, 1);
    error.errorHigh = responseByte(payload, len, 2);
    error.errorLow = responseByte(payload, len, 3);
    return error;
}

QString errorResponseText(const ErrorResponse &error)
{
    if (error.command == CmdFinishFirmware)
        return QStringLiteral("Firmware verification filed - wrong firmware file ???");
    return errorNumberText(error);
}

QString errorNumberText(const ErrorResponse &error)
{
    return QString::asprintf("Error received to command 0x%02X - err no :0x%02X%02X", error.command,
                             error.errorHigh, error.errorLow);
}

bool isPnEepromReadAnswer(size_t len)
{
    return len == kPnEepromReadAnswerSize;
}

uint8_t readPnEepromValue(const uint8_t *payload, size_t len)
{
    return responseByte(payload, len, kResponseDataOffset);
}

QString hexByte(uint8_t value)
{
    return QString::asprintf("%02X", value);
}

QString hexBytes(const QByteArray &data)
{
    return QString::fromLatin1(data.toHex().toUpper());
}

bool isBootloaderVersion(const QString &version)
{
    return version.indexOf(QLatin1String("BOOTLOADER")) > 0;
}

AddressTagRecord buildAddressTagRecord(const QString &shortName, uint8_t address, bool terminated)
{
    AddressTagRecord record{};
    record[0] = kAddressTagHeader0;
    record[1] = kAddressTagHeader1;
    const auto name = shortNameBytes(shortName);
    std::copy(name.begin(), name.end(), record.begin() + kShortNameOffset);
    record[kAddressOffset] = address;
    record[kTerminatedOffset] = terminated ? 1 : 0;
    const uint16_t headerCrc = crc16Ccitt(record.data(), kHeaderCrcOffset);
    record[kHeaderCrcOffset] = static_cast<uint8_t>(headerCrc & 0xFF);
    record[kHeaderCrcOffset + 1] = static_cast<uint8_t>(headerCrc >> 8);
    const uint16_t payloadCrc = crc16Ccitt(record.data() + kShortNameOffset, kRecordPayloadSize);
    record[kPayloadCrcOffset] = static_cast<uint8_t>(payloadCrc & 0xFF);
    record[kPayloadCrcOffset + 1] = static_cast<uint8_t>(payloadCrc >> 8);
    return record;
}

AddressTagCheck checkAddressTagRecord(const uint8_t *record, size_t len)
{
    if (len < kAddressTagRecordSize)
        return AddressTagCheck::TooShort;
    if (crc16Ccitt(record, kHeaderCrcOffset) != readLe16(record, len, kHeaderCrcOffset))
        return AddressTagCheck::WrongHeaderCrc;
    if (crc16Ccitt(record + kShortNameOffset, kRecordPayloadSize) !=
        readLe16(record, len, kPayloadCrcOffset))
        return AddressTagCheck::WrongPayloadCrc;
    return AddressTagCheck::Valid;
}

AddressTagFields readAddressTagRecord(const uint8_t *record, size_t len)
{
    AddressTagFields fields;
    QByteArray name;
    for (size_t i = 0; i < kShortNameSize; ++i) {
        const uint8_t b = responseByte(record, len, kShortNameOffset + i);
        if (b == 0)
            break;
        name.append(static_cast<char>(b));
    }
    fields.shortName = QString::fromUtf8(name);
    fields.address = responseByte(record, len, kAddressOffset);
    fields.terminated = responseByte(record, len, kTerminatedOffset) != 0;
    return fields;
}
