#include "pcapngwriter.h"

#include <QtEndian>

namespace {

constexpr uint32_t kSectionHeaderType = 0x0A0D0D0A;
constexpr uint32_t kInterfaceDescriptionType = 0x00000001;
constexpr uint32_t kEnhancedPacketType = 0x00000006;
constexpr uint32_t kByteOrderMagic = 0x1A2B3C4D;
constexpr uint16_t kMajorVersion = 1;
constexpr uint16_t kMinorVersion = 0;
constexpr int64_t kSectionLengthUnknown = -1;
// Longer than the longest frame (a length of 2068 and the five header bytes).
constexpr uint32_t kSnapLength = 4096;

constexpr uint16_t kOptionEnd = 0;
constexpr uint16_t kOptionComment = 1;
constexpr uint16_t kShbUserApplication = 4;
constexpr uint16_t kIfTimestampResolution = 9;
constexpr uint16_t kEpbFlags = 2;
constexpr char kMicroseconds = 6; // 10^-6 s

// Block total length, in front of the body and behind it.
constexpr int kBlockFrameSize = 12;

template <typename T> void append(QByteArray &out, T value)
{
    char bytes[sizeof(T)];
    qToLittleEndian(value, bytes);
    out.append(bytes, int(sizeof(T)));
}

// Everything in a block is padded to 32 bits.
void padTo32Bits(QByteArray &out)
{
    while (out.size() % 4 != 0)
        out.append('\0');
}

void appendOption(QByteArray &out, uint16_t code, const QByteArray &value)
{
    append(out, code);
    append(out, static_cast<uint16_t>(value.size()));
    out.append(value);
    padTo32Bits(out);
}

void appendEndOfOptions(QByteArray &out)
{
    append(out, kOptionEnd);
    append(out, uint16_t(0));
}

QByteArray block(uint32_t type, const QByteArray &body)
{
    const auto total = static_cast<uint32_t>(body.size() + kBlockFrameSize);
    QByteArray out;
    out.reserve(int(total));
    append(out, type);
    append(out, total);
    out.append(body);
    append(out, total);
    return out;
}

} // namespace

QByteArray PcapngWriter::sectionHeaderBlock(const QString &application)
{
    QByteArray body;
    append(body, kByteOrderMagic);
    append(body, kMajorVersion);
    append(body, kMinorVersion);
    append(body, kSectionLengthUnknown);
    appendOption(body, kShbUserApplication, application.toUtf8());
    appendEndOfOptions(body);
    return block(kSectionHeaderType, body);
}

QByteArray PcapngWriter::interfaceDescriptionBlock()
{
    QByteArray body;
    append(body, kLinkTypeUser0);
    append(body, uint16_t(0)); // reserved
    append(body, kSnapLength);
    appendOption(body, kIfTimestampResolution, QByteArray(1, kMicroseconds));
    appendEndOfOptions(body);
    return block(kInterfaceDescriptionType, body);
}

QByteArray PcapngWriter::enhancedPacketBlock(const QByteArray &bytes, Direction direction,
                                             int64_t timestampUs, const QString &comment)
{
    const auto timestamp = static_cast<uint64_t>(timestampUs);
    const auto length = static_cast<uint32_t>(bytes.size());
    QByteArray body;
    append(body, uint32_t(0)); // the one interface
    append(body, static_cast<uint32_t>(timestamp >> 32));
    append(body, static_cast<uint32_t>(timestamp & 0xFFFFFFFFu));
    append(body, length); // captured
    append(body, length); // on the line
    body.append(bytes);
    padTo32Bits(body);
    if (!comment.isEmpty())
        appendOption(body, kOptionComment, comment.toUtf8());
    QByteArray flags;
    append(flags, static_cast<uint32_t>(direction));
    appendOption(body, kEpbFlags, flags);
    appendEndOfOptions(body);
    return block(kEnhancedPacketType, body);
}

bool PcapngWriter::open(const QString &path, const QString &application)
{
    close();
    error.clear();
    file.setFileName(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
        error = file.errorString();
        return false;
    }
    return writeBlock(sectionHeaderBlock(application)) && writeBlock(interfaceDescriptionBlock());
}

bool PcapngWriter::writePacket(const QByteArray &bytes, Direction direction, int64_t timestampUs,
                               const QString &comment)
{
    return writeBlock(enhancedPacketBlock(bytes, direction, timestampUs, comment));
}

bool PcapngWriter::writeBlock(const QByteArray &block)
{
    if (!file.isOpen())
        return false;
    if (file.write(block) == block.size() && file.flush())
        return true;
    error = file.errorString();
    file.close();
    return false;
}
