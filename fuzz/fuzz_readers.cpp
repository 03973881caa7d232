// Every response reader and the address-tag record functions on arbitrary payloads. The input is
// copied into a heap block of exactly its size, so AddressSanitizer reports any read past it.

#include "devicecommand.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

namespace {

void require(bool condition, const char *what)
{
    if (!condition) {
        std::fprintf(stderr, "violated: %s\n", what);
        std::abort();
    }
}

uint8_t byteAt(const uint8_t *data, size_t size, size_t index)
{
    return index < size ? data[index] : 0;
}

void readResponses(const uint8_t *p, size_t size)
{
    require(responseStatus(p, size) == byteAt(p, size, 0), "status");
    require(responseCommand(p, size) == byteAt(p, size, 1), "command");
    require(readTagCount(p, size) == byteAt(p, size, 2), "tag count");

    const QString text = readResponseText(p, size);
    require(text.isEmpty() == (size <= kResponseDataOffset || p[kResponseDataOffset] == 0),
            "text ends at zero or payload end");

    const DeviceSettings settings = readSettings(p, size);
    require(settings.baudIndex == byteAt(p, size, 2) && settings.ownAddress == byteAt(p, size, 3) &&
                settings.terminated == byteAt(p, size, 4),
            "settings fields");
    for (size_t i = 0; i < kShortNameSize; ++i)
        require(settings.shortName[i] == byteAt(p, size, 5 + i), "settings name bytes");
    require(shortNameText(settings.shortName).size() <= int(kShortNameSize), "name length");

    require(size_t(readUid(p, size).size()) == (size > 4 ? size - 4 : 0), "uid length");
    require(size_t(readPageData(p, size).size()) == (size > 2 ? size - 2 : 0), "page length");
    require(!hexBytes(readUid(p, size)).isEmpty() == (size > 4), "uid text");

    const ErrorResponse error = readErrorResponse(p, size);
    require(error.command == byteAt(p, size, 1) && error.errorHigh == byteAt(p, size, 2) &&
                error.errorLow == byteAt(p, size, 3),
            "error fields");
    require(!errorResponseText(error).isEmpty(), "error text");

    require(isPnEepromReadAnswer(size) == (size == kPnEepromReadAnswerSize), "eeprom answer");
    require(readPnEepromValue(p, size) == byteAt(p, size, 2), "eeprom value");
    require(hexByte(responseStatus(p, size)).size() == 2, "hex byte");
}

void readAddressTag(const uint8_t *p, size_t size)
{
    const AddressTagCheck check = checkAddressTagRecord(p, size);
    require((check == AddressTagCheck::TooShort) == (size < kAddressTagRecordSize), "too short");
    const AddressTagFields fields = readAddressTagRecord(p, size);
    require(fields.address == byteAt(p, size, 8), "tag address");
    require(fields.terminated == (byteAt(p, size, 9) != 0), "tag terminated");
    require(fields.shortName.size() <= int(kShortNameSize), "tag name length");
}

// The input as a short name: whatever it is, the record built from it must check and read back.
void buildFromInput(const uint8_t *p, size_t size)
{
    const QString name =
        QString::fromUtf8(reinterpret_cast<const char *>(p), int(std::min<size_t>(size, 16)));
    const uint8_t address = byteAt(p, size, 0);
    const bool terminated = byteAt(p, size, 1) & 1;
    const AddressTagRecord record = buildAddressTagRecord(name, address, terminated);
    require(checkAddressTagRecord(record.data(), record.size()) == AddressTagCheck::Valid,
            "built record checks");
    const AddressTagFields fields = readAddressTagRecord(record.data(), record.size());
    require(fields.address == address && fields.terminated == terminated, "record reads back");

    const auto nameBytes = shortNameBytes(name);
    require(std::equal(nameBytes.begin(), nameBytes.end(), record.begin() + 4), "record name");

    const int chunk = int(std::min<size_t>(size, kFirmwareChunkSize));
    require(buildWriteFlash(reinterpret_cast<const char *>(p), chunk).size() == chunk + 1,
            "flash request length");
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    // An empty payload is passed as a null pointer: AddressSanitizer lets a read of a zero-byte
    // block through, a null pointer faults.
    const std::unique_ptr<uint8_t[]> payload(size ? new uint8_t[size] : nullptr);
    if (size > 0)
        std::memcpy(payload.get(), data, size);
    readResponses(payload.get(), size);
    readAddressTag(payload.get(), size);
    buildFromInput(payload.get(), size);
    return 0;
}
