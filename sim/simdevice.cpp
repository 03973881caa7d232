#include "simdevice.h"

#include "simframe.h"

#include <zlib.h>

#include <algorithm>

namespace {

constexpr size_t kBareRequestSize = 1;   // command code only
constexpr size_t kSelectRequestSize = 2; // command code and the 0x00 the tool sends
constexpr size_t kSettingsRequestSize = 1 + kSimSettingsSize;
constexpr size_t kLedSwitchRequestSize = 2;   // code, mode
constexpr size_t kLedToggleRequestSize = 4;   // code, mode, period low, period high
constexpr size_t kEepromReadRequestSize = 2;  // code, address
constexpr size_t kEepromWriteRequestSize = 3; // code, address, value
constexpr size_t kPageRequestHeaderSize = 3;  // code, first page, page count
constexpr size_t kMaxFlashChunk = 256;
constexpr size_t kImageTrailerSize = 4;
constexpr int kMaxVersionLength = 32;
constexpr char kVersionMarker[] = "VER:";
constexpr uint8_t kAsciiFirstPrintable = 0x20;
constexpr uint8_t kAsciiLastPrintable = 0x7E;

// Address-tag record: header 06 01, its CRC, name, address, flag, their CRC.
constexpr uint8_t kTagRecordHeader[] = {0x06, 0x01};
constexpr int kTagRecordPayloadSize = 6;

void appendCrc(QByteArray *bytes, const QByteArray &covered)
{
    const uint16_t crc =
        SimWire::crc16(reinterpret_cast<const uint8_t *>(covered.constData()), covered.size());
    bytes->append(static_cast<char>(crc & 0xFF));
    bytes->append(static_cast<char>(crc >> 8));
}

QByteArray addressTagRecord(uint8_t address, const QString &shortName, bool terminated)
{
    const QByteArray header(reinterpret_cast<const char *>(kTagRecordHeader),
                            sizeof(kTagRecordHeader));
    const SimShortName name = simShortName(shortName);
    QByteArray payload(reinterpret_cast<const char *>(name.data()), name.size());
    payload.append(static_cast<char>(address));
    payload.append(static_cast<char>(terminated ? 1 : 0));
    QByteArray record = header;
    appendCrc(&record, header);
    record.append(payload);
    appendCrc(&record, payload);
    return record;
}

uint32_t imageCrc32(const QByteArray &image, int size)
{
    return static_cast<uint32_t>(
        crc32(0L, reinterpret_cast<const Bytef *>(image.constData()), static_cast<uInt>(size)));
}

} // namespace

// ---- Tags -----------------------------------------------------------------------------------

SimTag SimTag::create(const QByteArray &uid, int pageCount)
{
    SimTag tag;
    tag.uid = uid;
    tag.pages = QByteArray(pageCount * kPageSize, '\0');
    // Like NFC tags: the UID opens page 0, user data starts at page 4.
    const int uidBytes = std::min(static_cast<int>(uid.size()), kFirstUserPage * kPageSize);
    tag.pages.replace(0, uidBytes, uid.left(uidBytes));
    return tag;
}

SimTag &SimTag::withAddressTag(uint8_t address, const QString &shortName, bool terminated)
{
    const QByteArray record = addressTagRecord(address, shortName, terminated);
    const int offset = kAddressTagPage * kPageSize;
    const int needed = offset + record.size();
    if (pages.size() < needed)
        pages.append(QByteArray(needed - pages.size(), '\0'));
    pages.replace(offset, record.size(), record);
    return *this;
}

QByteArray SimTag::readPages(int firstPage, int count) const
{
    return pages.mid(firstPage * kPageSize, count * kPageSize);
}

// ---- Settings -------------------------------------------------------------------------------

bool simIsValidBaudIndex(int index)
{
    return index >= 0 && index < static_cast<int>(kSimBaudRates.size());
}

int simBaudIndexOf(int baudRate)
{
    const auto it = std::find(kSimBaudRates.begin(), kSimBaudRates.end(), baudRate);
    return it == kSimBaudRates.end() ? -1 : static_cast<int>(it - kSimBaudRates.begin());
}

SimShortName simShortName(const QString &name)
{
    SimShortName bytes{};
    const QByteArray utf8 = name.toUtf8();
    // Bounded by both sizes: g++ -O2 cannot see that left() already bounds the copy.
    for (size_t i = 0; i < bytes.size() && i < static_cast<size_t>(utf8.size()); ++i)
        bytes[i] = static_cast<uint8_t>(utf8.at(static_cast<int>(i)));
    return bytes;
}

QString simShortNameText(const SimShortName &name)
{
    const auto end = std::find(name.begin(), name.end(), uint8_t(0));
    return QString::fromUtf8(reinterpret_cast<const char *>(name.data()),
                             static_cast<int>(end - name.begin()));
}

QByteArray simSettingsBytes(const DeviceSettings &settings)
{
    QByteArray bytes;
    bytes.append(static_cast<char>(settings.baudIndex));
    bytes.append(static_cast<char>(settings.ownAddress));
    bytes.append(static_cast<char>(settings.terminated));
    for (uint8_t b : settings.shortName)
        bytes.append(static_cast<char>(b));
    return bytes;
}

DeviceSettings simSettingsFromBytes(const uint8_t *bytes)
{
    DeviceSettings settings;
    settings.baudIndex = bytes[0];
    settings.ownAddress = bytes[1];
    settings.terminated = bytes[2];
    constexpr int kNameOffset = 3;
    std::copy(bytes + kNameOffset, bytes + kSimSettingsSize, settings.shortName.begin());
    return settings;
}

// ---- Configuration --------------------------------------------------------------------------

DeviceSettings SimDeviceConfig::defaultSettings(uint8_t address)
{
    DeviceSettings settings;
    settings.baudIndex = kDefaultBaudIndex;
    settings.ownAddress = address;
    settings.terminated = 0;
    return settings;
}

SimDeviceConfig SimDeviceConfig::at(uint8_t address, const QString &identification)
{
    SimDeviceConfig config;
    config.settings = defaultSettings(address);
    if (!identification.isEmpty())
        config.identification = identification;
    return config;
}

int SimDeviceState::baudRate() const
{
    // A stored index outside the table leaves the firmware on its default rate.
    const int stored = config.settings.baudIndex;
    const int index = simIsValidBaudIndex(stored) ? stored : SimDeviceConfig::kDefaultBaudIndex;
    return kSimBaudRates[static_cast<size_t>(index)];
}

// ---- Firmware images ------------------------------------------------------------------------

bool simImageIsValid(const QByteArray &image)
{
    if (image.size() <= static_cast<int>(kImageTrailerSize))
        return false;
    const int bodySize = image.size() - static_cast<int>(kImageTrailerSize);
    const auto *bytes = reinterpret_cast<const uint8_t *>(image.constData());
    const uint32_t carried = static_cast<uint32_t>(bytes[bodySize]) |
                             static_cast<uint32_t>(bytes[bodySize + 1]) << 8 |
                             static_cast<uint32_t>(bytes[bodySize + 2]) << 16 |
                             static_cast<uint32_t>(bytes[bodySize + 3]) << 24;
    return imageCrc32(image, bodySize) == carried;
}

QByteArray simSealImage(const QByteArray &body)
{
    const uint32_t crc = imageCrc32(body, body.size());
    QByteArray image = body;
    for (int shift = 0; shift < 32; shift += 8)
        image.append(static_cast<char>((crc >> shift) & 0xFF));
    return image;
}

QByteArray simImage(const QString &version, int size)
{
    const int bodySize = size - static_cast<int>(kImageTrailerSize);
    if (bodySize <= 0)
        return QByteArray(size, 'Z');
    QByteArray body = kVersionMarker + version.toLatin1() + '\0';
    for (quint32 state = 1; body.size() < bodySize;)
        body.append(static_cast<char>((state = state * 1103515245u + 12345u) >> 24));
    return simSealImage(body.left(bodySize));
}

QString simImageVersion(const QByteArray &image)
{
    const int marker = image.indexOf(kVersionMarker);
    if (marker >= 0) {
        const int start = marker + static_cast<int>(sizeof(kVersionMarker)) - 1;
        int end = start;
        while (end < image.size() && end - start < kMaxVersionLength) {
            const auto c = static_cast<uint8_t>(image.at(end));
            if (c < kAsciiFirstPrintable || c > kAsciiLastPrintable)
                break;
            ++end;
        }
        if (end > start)
            return QString::fromLatin1(image.mid(start, end - start));
    }
    // A sealed image is named by its body: over body and trailer every CRC-32 is the same.
    const int covered =
        simImageIsValid(image) ? image.size() - static_cast<int>(kImageTrailerSize) : image.size();
    return QStringLiteral("image-%1").arg(imageCrc32(image, covered), 8, 16, QLatin1Char('0'));
}

QByteArray simErrorPayload(uint8_t command, uint16_t errorNumber)
{
    QByteArray payload;
    payload.append(static_cast<char>(kSimStatusError));
    payload.append(static_cast<char>(command));
    payload.append(static_cast<char>(errorNumber >> 8));
    payload.append(static_cast<char>(errorNumber & 0xFF));
    return payload;
}

// ---- Device ---------------------------------------------------------------------------------

SimDevice::SimDevice(int id, const SimDeviceConfig &config)
{
    st.config = config;
    if (!st.config.factorySettings)
        st.config.factorySettings = config.settings;
    st.config.eeprom.resize(SimDeviceConfig::kEepromSize);
    st.id = id;
    // A device delivered in its bootloader has no application to start.
    st.applicationWhole = config.mode == SimMode::Application;
}

SimDeviceState SimDevice::snapshot(qint64 nowMs) const
{
    SimDeviceState copy = st;
    copy.restarting = isBusy(nowMs);
    return copy;
}

void SimDevice::stayBusyUntil(qint64 untilMs)
{
    busyUntilMs = std::max(busyUntilMs, untilMs);
}

void SimDevice::beginRestart(qint64 nowMs, int restartMs)
{
    ++st.restartCount;
    st.activeTag = -1;
    stayBusyUntil(nowMs + restartMs);
}

void SimDevice::powerCycle(qint64 nowMs)
{
    st.config.mode = st.applicationWhole && !st.config.faults.applicationNeverStarts
                         ? SimMode::Application
                         : SimMode::Bootloader;
    st.flashErased = false;
    st.chunksWritten = 0;
    st.config.ledMode = SimLed::kOff;
    st.config.ledPeriodMs = 0;
    // Whatever it was busy with is lost; it boots for as long as a restart takes.
    busyUntilMs = nowMs;
    beginRestart(nowMs, st.config.timing.restartMs);
}

void SimDevice::setTags(const QVector<SimTag> &tags)
{
    st.config.tags = tags;
    // Whatever was selected has left the field or been replaced.
    st.activeTag = -1;
}

SimReply SimDevice::answer(uint8_t command, const QByteArray &data) const
{
    SimReply reply;
    reply.answer = true;
    reply.payload.reserve(kSimAnswerHeaderSize + data.size());
    reply.payload.append(static_cast<char>(kSimStatusSuccess));
    reply.payload.append(static_cast<char>(command));
    reply.payload.append(data);
    return reply;
}

SimReply SimDevice::error(uint8_t command, uint16_t errorNumber) const
{
    SimReply reply;
    reply.answer = true;
    reply.payload = simErrorPayload(command, errorNumber);
    return reply;
}

SimReply SimDevice::answerAndRestart(uint8_t command, int restartMs)
{
    SimReply reply = answer(command);
    reply.restartMs = restartMs;
    return reply;
}

SimReply SimDevice::handle(const uint8_t *request, size_t len)
{
    if (len == 0) {
        SimReply nothing;
        nothing.note = QStringLiteral("empty payload ignored");
        return nothing;
    }
    // The tool's CRC error notice (FF FF 02) is no request; a device lets it pass.
    if (request[0] == kSimStatusError) {
        SimReply nothing;
        nothing.note = QStringLiteral("CRC error notice from the tool");
        return nothing;
    }
    const Handler handler = handlerFor(request[0]);
    if (!handler)
        return error(request[0], SimError::kUnknownCommand);
    return (this->*handler)(request, len);
}

SimDevice::Handler SimDevice::handlerFor(uint8_t command) const
{
    const bool inBootloader = st.config.mode == SimMode::Bootloader;
    switch (command) {
    case CmdGetVersion:
        return &SimDevice::getVersion;
    case CmdGetDeviceName:
        return &SimDevice::getDeviceName;
    case CmdGetSettings:
        return &SimDevice::getSettings;
    case CmdReboot:
        return &SimDevice::reboot;
    case CmdEnterBootloader:
        return &SimDevice::enterBootloader;
    case CmdEraseFlash:
        return &SimDevice::eraseFlash;
    case CmdWriteFlash:
        return &SimDevice::writeFlash;
    case CmdFinishFirmware:
        return &SimDevice::finishFirmware;
    default:
        break;
    }
    // The bootloader knows only the commands above; the rest need the application.
    if (inBootloader)
        return nullptr;
    switch (command) {
    case CmdSetSettings:
        return &SimDevice::setSettings;
    case CmdResetToDefaults:
        return &SimDevice::resetToDefaults;
    case CmdLed:
        return &SimDevice::led;
    case CmdPnEeprom:
        return &SimDevice::pnEeprom;
    case CmdGetTagCount:
        return &SimDevice::getTagCount;
    case CmdReadUid:
        return &SimDevice::readUid;
    case CmdActivateTag:
        return &SimDevice::activateTag;
    case CmdHalt:
        return &SimDevice::halt;
    case CmdReadPage:
        return &SimDevice::readPage;
    case CmdWritePage:
        return &SimDevice::writePage;
    case CmdGetTagVersion:
        return &SimDevice::getTagVersion;
    default:
        return nullptr;
    }
}

SimReply SimDevice::getVersion(const uint8_t *request, size_t len)
{
    if (len != kBareRequestSize)
        return error(request[0], SimError::kBadLength);
    const QString &version = st.config.mode == SimMode::Bootloader ? st.config.bootloaderVersion
                                                                   : st.config.applicationVersion;
    return answer(CmdGetVersion, version.toUtf8());
}

SimReply SimDevice::getDeviceName(const uint8_t *request, size_t len)
{
    if (len != kBareRequestSize)
        return error(request[0], SimError::kBadLength);
    return answer(CmdGetDeviceName, st.config.identification.toUtf8());
}

SimReply SimDevice::getSettings(const uint8_t *request, size_t len)
{
    if (len != kBareRequestSize)
        return error(request[0], SimError::kBadLength);
    return answer(CmdGetSettings, simSettingsBytes(st.config.settings));
}

SimReply SimDevice::setSettings(const uint8_t *request, size_t len)
{
    if (len != kSettingsRequestSize)
        return error(request[0], SimError::kBadLength);
    DeviceSettings settings = simSettingsFromBytes(request + 1);
    if (!simIsValidBaudIndex(settings.baudIndex))
        return error(request[0], SimError::kBadParameter);
    if (st.config.faults.keepsTermination)
        settings.terminated = st.config.settings.terminated;
    // Stored now, in effect after the restart: the answer still goes out at the old address.
    st.config.settings = settings;
    return answerAndRestart(CmdSetSettings, st.config.timing.restartMs);
}

SimReply SimDevice::reboot(const uint8_t *request, size_t len)
{
    if (len != kBareRequestSize)
        return error(request[0], SimError::kBadLength);
    // A bootloader without a good image comes back as a bootloader.
    return answerAndRestart(CmdReboot, st.config.timing.restartMs);
}

SimReply SimDevice::resetToDefaults(const uint8_t *request, size_t len)
{
    if (len != kBareRequestSize)
        return error(request[0], SimError::kBadLength);
    st.config.settings = *st.config.factorySettings;
    st.config.ledMode = SimLed::kOff;
    st.config.ledPeriodMs = 0;
    return answerAndRestart(CmdResetToDefaults, st.config.timing.restartMs);
}

SimReply SimDevice::led(const uint8_t *request, size_t len)
{
    if (len == kLedSwitchRequestSize && (request[1] == SimLed::kOff || request[1] == SimLed::kOn)) {
        st.config.ledMode = request[1];
        st.config.ledPeriodMs = 0;
        return answer(CmdLed);
    }
    if (len == kLedToggleRequestSize && request[1] == SimLed::kToggle) {
        st.config.ledMode = SimLed::kToggle;
        st.config.ledPeriodMs = static_cast<uint16_t>(request[2] | (request[3] << 8));
        return answer(CmdLed);
    }
    if (len != kLedSwitchRequestSize && len != kLedToggleRequestSize)
        return error(request[0], SimError::kBadLength);
    return error(request[0], SimError::kBadParameter);
}

SimReply SimDevice::pnEeprom(const uint8_t *request, size_t len)
{
    if (len == kEepromReadRequestSize) {
        const char value = st.config.eeprom.at(request[1]);
        return answer(CmdPnEeprom, QByteArray(1, value));
    }
    if (len == kEepromWriteRequestSize) {
        st.config.eeprom[request[1]] = static_cast<char>(request[2]);
        return answer(CmdPnEeprom);
    }
    return error(request[0], SimError::kBadLength);
}

SimReply SimDevice::getTagCount(const uint8_t *request, size_t len)
{
    if (len != kBareRequestSize)
        return error(request[0], SimError::kBadLength);
    const int count = std::min(static_cast<int>(st.config.tags.size()), 0xFF);
    return answer(CmdGetTagCount, QByteArray(1, static_cast<char>(count)));
}

bool SimDevice::singleTag(uint8_t command, SimReply *refusal) const
{
    if (st.config.tags.isEmpty()) {
        *refusal = error(command, SimError::kNoTag);
        return false;
    }
    if (st.config.tags.size() > 1) {
        *refusal = error(command, SimError::kTagCollision);
        return false;
    }
    return true;
}

SimReply SimDevice::readUid(const uint8_t *request, size_t len)
{
    if (len != kSelectRequestSize)
        return error(request[0], SimError::kBadLength);
    if (request[1] != 0)
        return error(request[0], SimError::kBadParameter);
    SimReply refusal;
    if (!singleTag(request[0], &refusal))
        return refusal;
    const SimTag &tag = st.config.tags.first();
    QByteArray data;
    data.append(static_cast<char>(tag.selectInfo[0]));
    data.append(static_cast<char>(tag.selectInfo[1]));
    data.append(tag.uid);
    return answer(CmdReadUid, data);
}

SimReply SimDevice::activateTag(const uint8_t *request, size_t len)
{
    if (len != kSelectRequestSize)
        return error(request[0], SimError::kBadLength);
    if (request[1] != 0)
        return error(request[0], SimError::kBadParameter);
    SimReply refusal;
    if (!singleTag(request[0], &refusal))
        return refusal;
    st.activeTag = 0;
    return answer(CmdActivateTag);
}

SimReply SimDevice::halt(const uint8_t *request, size_t len)
{
    if (len != kBareRequestSize)
        return error(request[0], SimError::kBadLength);
    // Field off: the next command wakes every tag again.
    st.activeTag = -1;
    return answer(CmdHalt);
}

SimReply SimDevice::readPage(const uint8_t *request, size_t len)
{
    if (len != kPageRequestHeaderSize)
        return error(request[0], SimError::kBadLength);
    SimReply refusal;
    if (!singleTag(request[0], &refusal))
        return refusal;
    const SimTag &tag = st.config.tags.first();
    const int first = request[1];
    const int count = request[2];
    if (count == 0)
        return error(request[0], SimError::kBadParameter);
    if (first + count > tag.pageCount())
        return error(request[0], SimError::kPageOutOfRange);
    return answer(CmdReadPage, tag.readPages(first, count));
}

SimReply SimDevice::writePage(const uint8_t *request, size_t len)
{
    if (len < kPageRequestHeaderSize)
        return error(request[0], SimError::kBadLength);
    const int first = request[1];
    const int count = request[2];
    if (count == 0)
        return error(request[0], SimError::kBadParameter);
    if (len != kPageRequestHeaderSize + static_cast<size_t>(count * SimTag::kPageSize))
        return error(request[0], SimError::kBadLength);
    SimReply refusal;
    if (!singleTag(request[0], &refusal))
        return refusal;
    // Writing needs the tag selected by CmdActivateTag since the last HALT.
    if (st.activeTag != 0)
        return error(request[0], SimError::kTagNotActive);
    SimTag &tag = st.config.tags.first();
    if (first < SimTag::kFirstUserPage)
        return error(request[0], SimError::kPageReadOnly);
    if (first + count > tag.pageCount())
        return error(request[0], SimError::kPageOutOfRange);
    const int bytes = count * SimTag::kPageSize;
    tag.pages.replace(
        first * SimTag::kPageSize, bytes,
        QByteArray(reinterpret_cast<const char *>(request + kPageRequestHeaderSize), bytes));
    return answer(CmdWritePage);
}

SimReply SimDevice::getTagVersion(const uint8_t *request, size_t len)
{
    if (len != kBareRequestSize)
        return error(request[0], SimError::kBadLength);
    SimReply refusal;
    if (!singleTag(request[0], &refusal))
        return refusal;
    return answer(CmdGetTagVersion, st.config.tags.first().version);
}

SimReply SimDevice::enterBootloader(const uint8_t *request, size_t len)
{
    if (len != kBareRequestSize)
        return error(request[0], SimError::kBadLength);
    if (st.config.mode == SimMode::Bootloader)
        return answer(CmdEnterBootloader);
    st.config.mode = SimMode::Bootloader;
    st.flashErased = false;
    return answerAndRestart(CmdEnterBootloader, st.config.timing.bootloaderStartMs);
}

SimReply SimDevice::eraseFlash(const uint8_t *request, size_t len)
{
    if (len != kBareRequestSize)
        return error(request[0], SimError::kBadLength);
    if (st.config.mode != SimMode::Bootloader)
        return error(request[0], SimError::kNotInBootloader);
    st.config.flash.clear();
    st.applicationWhole = false;
    st.flashErased = true;
    st.chunksWritten = 0;
    SimReply reply = answer(CmdEraseFlash);
    reply.delayMs = st.config.timing.eraseMs;
    return reply;
}

SimReply SimDevice::writeFlash(const uint8_t *request, size_t len)
{
    if (st.config.mode != SimMode::Bootloader)
        return error(request[0], SimError::kNotInBootloader);
    if (st.config.faults.dropAfterChunks >= 0 &&
        st.chunksWritten >= st.config.faults.dropAfterChunks) {
        st.config.faults.silent = true;
        st.config.faults.dropAfterChunks = -1;
        SimReply nothing;
        nothing.note = QStringLiteral("dropped out after %1 chunks").arg(st.chunksWritten);
        return nothing;
    }
    if (len < 2 || len > 1 + kMaxFlashChunk)
        return error(request[0], SimError::kBadLength);
    if (!st.flashErased)
        return error(request[0], SimError::kFlashNotErased);
    if (st.config.flash.size() + static_cast<int>(len - 1) > st.config.flashCapacity)
        return error(request[0], SimError::kFlashFull);
    st.config.flash.append(reinterpret_cast<const char *>(request + 1), static_cast<int>(len - 1));
    ++st.chunksWritten;
    SimReply reply = answer(CmdWriteFlash);
    if (st.chunksWritten == st.config.faults.unplugAfterChunks) {
        reply.unplug = true;
        reply.note = QStringLiteral("adapter pulled after %1 chunks").arg(st.chunksWritten);
    }
    return reply;
}

SimReply SimDevice::finishFirmware(const uint8_t *request, size_t len)
{
    if (len != kBareRequestSize)
        return error(request[0], SimError::kBadLength);
    if (st.config.mode != SimMode::Bootloader)
        return error(request[0], SimError::kNotInBootloader);
    if (!st.flashErased || (!st.config.acceptAnyImage && !simImageIsValid(st.config.flash))) {
        SimReply refusal = error(request[0], SimError::kImageRejected);
        refusal.note = QStringLiteral("image of %1 bytes rejected").arg(st.config.flash.size());
        return refusal;
    }
    ++st.imagesAccepted;
    st.applicationWhole = true;
    if (!st.config.faults.keepsOldVersion)
        st.config.applicationVersion = simImageVersion(st.config.flash);
    if (!st.config.faults.applicationNeverStarts)
        st.config.mode = SimMode::Application;
    st.flashErased = false;
    SimReply reply = answerAndRestart(CmdFinishFirmware, st.config.timing.restartMs);
    reply.note = QStringLiteral("image of %1 bytes accepted, version %2")
                     .arg(st.config.flash.size())
                     .arg(st.config.applicationVersion);
    return reply;
}
