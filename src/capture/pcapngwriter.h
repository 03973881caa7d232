#ifndef PCAPNGWRITER_H
#define PCAPNGWRITER_H

#include <QByteArray>
#include <QFile>
#include <QString>

#include <cstdint>

// A pcapng file of one RS485 line: a section header, one interface of link type USER0 with
// microsecond timestamps, then one enhanced packet block per frame. Little-endian throughout.
// Every packet is flushed as it is written, so a run that dies leaves the frames so far.
class PcapngWriter
{
public:
    // The values of the packet flags' direction bits.
    enum class Direction : uint32_t { Inbound = 1, Outbound = 2 };

    static constexpr uint16_t kLinkTypeUser0 = 147;

    // Truncates the file and writes the section header and the interface; false, with
    // errorString(), when the file cannot be written.
    bool open(const QString &path, const QString &application);
    bool isOpen() const { return file.isOpen(); }
    QString errorString() const { return error; }
    // comment: why the bytes are no good frame; empty for a good one.
    bool writePacket(const QByteArray &bytes, Direction direction, int64_t timestampUs,
                     const QString &comment = QString());
    void close() { file.close(); }

    static QByteArray sectionHeaderBlock(const QString &application);
    static QByteArray interfaceDescriptionBlock();
    static QByteArray enhancedPacketBlock(const QByteArray &bytes, Direction direction,
                                          int64_t timestampUs, const QString &comment);

private:
    bool writeBlock(const QByteArray &block);

    QFile file;
    QString error;
};

#endif // PCAPNGWRITER_H
