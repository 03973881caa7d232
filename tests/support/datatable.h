#ifndef DATATABLE_H
#define DATATABLE_H

// QtTest data tables one line a row: addColumns<QString, int>({"log", "count"}) once, then
// addRow("name", "a|b", 2) for each row; and the bytes rows are made of.

#include "binaryprotocol.h"

#include <QtTest>

#include <array>

template <typename... T> void addColumns(const std::array<const char *, sizeof...(T)> &names)
{
    int i = 0;
    (QTest::addColumn<T>(names[i++]), ...);
}

template <typename... T> void addRow(const char *name, const T &...values)
{
    (QTest::newRow(name) << ... << values);
}

inline QByteArray hex(const char *text)
{
    return QByteArray::fromHex(text);
}

inline const uint8_t *bytesOf(const QByteArray &data)
{
    return reinterpret_cast<const uint8_t *>(data.constData());
}

// Assembled by hand rather than by sendFrame, which refuses the longest payloads a peer may send.
inline QByteArray wireFrame(uint8_t address, const QByteArray &payload)
{
    const QByteArray covered = char(address) + payload;
    const uint16_t length = uint16_t(covered.size() + 2);
    const uint16_t crc = crc16Ccitt(bytesOf(covered), size_t(covered.size()));
    return QByteArray(1, '\xF5') + char(length) + char(length >> 8) + char(~length) +
           char(~length >> 8) + covered + char(crc) + char(crc >> 8);
}

#endif // DATATABLE_H
