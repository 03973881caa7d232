#include "devicecommand.h"

#include "datatable.h"

#include <QtTest>

namespace {

QByteArray hex(const char *text)
{
    return QByteArray::fromHex(text);
}

const uint8_t *bytesOf(const QByteArray &data)
{
    return reinterpret_cast<const uint8_t *>(data.constData());
}

const QString kUmlautAB = QString::fromUtf8("\xC3\x84"
                                            "B");
const QString kThreeUmlauts = QString::fromUtf8("\xC3\x84\xC3\x96\xC3\x9C");
const QByteArray kRecordAB7 = hex("06 01 88 A7 41 42 00 00 07 01 FD FD");

DeviceSettings settingsNamed(const QString &name)
{
    DeviceSettings settings;
    settings.baudIndex = 1;
    settings.ownAddress = 0x22;
    settings.shortName = shortNameBytes(name);
    return settings;
}

// A reader's result as text, so that one table holds every reader.
using Reader = QString (*)(const uint8_t *payload, size_t len);

} // namespace

Q_DECLARE_METATYPE(AddressTagCheck)
Q_DECLARE_METATYPE(Reader)

class TestDeviceCommand : public QObject
{
    Q_OBJECT

private slots:
    void requestBytes_data()
    {
        addColumns<QByteArray, QByteArray>({"request", "expected"});

        addRow("led toggle", buildLedToggle(), hex("0E 02 E8 03"));
        // Baud index, own address, terminated, then the first four bytes of the UTF-8 name.
        const QByteArray request = hex("0B 01 22 00");
        const auto named = [](const QString &name) {
            return buildSetSettings(settingsNamed(name));
        };
        addRow("settings, no name", named(""), request + hex("00 00 00 00"));
        addRow("settings, four letters", named("ABCD"), request + hex("41 42 43 44"));
        addRow("settings, five letters", named("ABCDE"), request + hex("41 42 43 44"));
        addRow("settings, non-ascii", named(kUmlautAB), request + hex("C3 84 42 00"));
        addRow("settings, cut inside a character", named(QString::fromUtf8("ABC\xC3\x84")),
               request + hex("41 42 43 C3"));
    }

    void requestBytes()
    {
        QFETCH(QByteArray, request);
        QFETCH(QByteArray, expected);
        QCOMPARE(request.toHex(' '), expected.toHex(' '));
    }

    void readers_data()
    {
        addColumns<Reader, QByteArray, QString>({"reader", "payload", "result"});

        // Baud index, own address, terminated, short name.
        const Reader settingsText = [](const uint8_t *payload, size_t len) {
            const DeviceSettings s = readSettings(payload, len);
            return QStringLiteral("%1/%2/%3/%4")
                .arg(s.baudIndex)
                .arg(hexByte(s.ownAddress))
                .arg(s.terminated)
                .arg(shortNameText(s.shortName));
        };
        const Reader uidText = [](const uint8_t *p, size_t n) { return hexBytes(readUid(p, n)); };
        const Reader tagCountText = [](const uint8_t *p, size_t n) {
            return QString::number(readTagCount(p, n));
        };
        const Reader pagesText = [](const uint8_t *p, size_t n) {
            return hexBytes(readPageData(p, n));
        };
        const Reader errorText = [](const uint8_t *p, size_t n) {
            return errorResponseText(readErrorResponse(p, n));
        };
        const Reader text = &readResponseText;
        // Only a three-byte answer carries a value read.
        const Reader eepromText = [](const uint8_t *p, size_t n) {
            return (isPnEepromReadAnswer(n) ? "read/" : "ack/") + hexByte(readPnEepromValue(p, n));
        };
        const Reader addressTagText = [](const uint8_t *p, size_t n) {
            const AddressTagFields fields = readAddressTagRecord(p, n);
            return QStringLiteral("%1/%2/%3")
                .arg(fields.shortName, hexByte(fields.address))
                .arg(fields.terminated);
        };

        addRow("settings", settingsText, hex("00 0C 05 80 01 41 42 43 44"), "5/80/1/ABCD");
        addRow("settings, padded name", settingsText, hex("00 0C 02 11 00 41 42 00 00"),
               "2/11/0/AB");
        addRow("settings, zero first", settingsText, hex("00 0C 03 10 07 00 42 43 44"), "3/10/7/");
        addRow("settings, name cut short", settingsText, hex("00 0C 05 80 01 41 42"), "5/80/1/AB");
        addRow("settings, no data", settingsText, hex("00 0C"), "0/00/0/");

        addRow("uid, four byte answer", uidText, hex("00 03 44 00"), "");

        addRow("text ends at zero", text, hex("00 09") + QByteArray("V1.6\0junk", 9), "V1.6");
        addRow("text fills the payload", text, hex("00 0A") + "READER-7", "READER-7");
        addRow("text, zero first", text, hex("00 09 00 56 31"), "");

        addRow("tag count missing", tagCountText, hex("00 02"), "0");
        addRow("pages, short", pagesText, hex("00 40 06 01"), "0601");

        addRow("error, upper-case digits", errorText, hex("FF 41 AB CD"),
               "Error received to command 0x41 - err no :0xABCD");
        addRow("error, firmware rejected", errorText, hex("FF F3 00 01"),
               "Firmware verification filed - wrong firmware file ???");
        addRow("error, one error byte", errorText, hex("FF 0C 01"),
               "Error received to command 0x0C - err no :0x0100");
        addRow("error, status only", errorText, hex("FF"),
               "Error received to command 0x00 - err no :0x0000");

        addRow("eeprom read answer", eepromText, hex("00 F4 5A"), "read/5A");
        addRow("eeprom write ack", eepromText, hex("00 F4"), "ack/00");
        addRow("eeprom longer ack", eepromText, hex("00 F4 5A 01"), "ack/5A");

        addRow("address tag, short record", addressTagText, hex("06 01 88 A7 41 42 00 00 07"),
               "AB/07/0");
    }

    // Every reader gets the payload followed by bytes that are not its own, so that reading past
    // the end shows.
    void readers()
    {
        QFETCH(Reader, reader);
        QFETCH(QByteArray, payload);
        QFETCH(QString, result);

        const QByteArray storage = payload + QByteArray(16, '\x7A');
        QCOMPARE(reader(bytesOf(storage), size_t(payload.size())), result);
    }

    void buildAddressTag_data()
    {
        addColumns<QString, int, bool, QByteArray, QString>(
            {"name", "address", "terminated", "record", "readBack"});

        addRow("AB at 7, terminated", "AB", 0x07, true, kRecordAB7, "AB");
        addRow("four letters", "ABCD", 0xFF, false, hex("06 01 88 A7 41 42 43 44 FF 00 99 43"),
               "ABCD");
        addRow("non-ascii cut to four bytes", kThreeUmlauts, 0x80, true,
               hex("06 01 88 A7 C3 84 C3 96 80 01 4E 3C"), kThreeUmlauts.left(2));
        addRow("empty", "", 0x00, false, hex("06 01 88 A7 00 00 00 00 00 00 10 0E"), "");
    }

    void buildAddressTag()
    {
        QFETCH(QString, name);
        QFETCH(int, address);
        QFETCH(bool, terminated);
        QFETCH(QByteArray, record);
        QFETCH(QString, readBack);

        const AddressTagRecord built = buildAddressTagRecord(name, uint8_t(address), terminated);
        const QByteArray bytes(reinterpret_cast<const char *>(built.data()), int(built.size()));
        QCOMPARE(bytes.toHex(' '), record.toHex(' '));
        QCOMPARE(checkAddressTagRecord(built.data(), built.size()), AddressTagCheck::Valid);
        const AddressTagFields fields = readAddressTagRecord(built.data(), built.size());
        QCOMPARE(fields.shortName, readBack);
        QCOMPARE(int(fields.address), address);
        QCOMPARE(fields.terminated, terminated);
    }

    void checkAddressTag_data()
    {
        addColumns<QByteArray, AddressTagCheck>({"record", "check"});

        const auto changed = [](int index, char value) {
            QByteArray record = kRecordAB7;
            record[index] = value;
            return record;
        };
        addRow("valid", kRecordAB7, AddressTagCheck::Valid);
        addRow("other header, matching crcs", hex("07 02 DA A4") + kRecordAB7.mid(4),
               AddressTagCheck::Valid);
        addRow("header changed", changed(1, '\x02'), AddressTagCheck::WrongHeaderCrc);
        addRow("wrong header crc", changed(3, '\xA6'), AddressTagCheck::WrongHeaderCrc);
        addRow("address changed", changed(8, '\x08'), AddressTagCheck::WrongPayloadCrc);
        addRow("wrong payload crc", changed(10, '\xFE'), AddressTagCheck::WrongPayloadCrc);
        addRow("both crcs wrong", hex("06 01 00 00 41 42 00 00 07 01 00 00"),
               AddressTagCheck::WrongHeaderCrc);
        addRow("eleven bytes", kRecordAB7.left(11), AddressTagCheck::TooShort);
        addRow("empty", QByteArray(), AddressTagCheck::TooShort);
        addRow("longer answer", kRecordAB7 + hex("55 66"), AddressTagCheck::Valid);
    }

    void checkAddressTag()
    {
        QFETCH(QByteArray, record);
        QFETCH(AddressTagCheck, check);

        const QByteArray storage = record + QByteArray(16, '\x7A');
        QCOMPARE(checkAddressTagRecord(bytesOf(storage), size_t(record.size())), check);
    }
};

QTEST_GUILESS_MAIN(TestDeviceCommand)
#include "tst_devicecommand.moc"
