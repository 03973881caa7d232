// Request builders and response readers at the edges the end-to-end tests do not reach: names
// cut inside a character, answers shorter than their layout, records with broken CRCs.
#include "devicecommand.h"

#include "datatable.h"

namespace {

const QString kThreeUmlauts = QString::fromUtf8("\xC3\x84\xC3\x96\xC3\x9C");
const QByteArray kRecordAB7 = hex("06 01 88 A7 41 42 00 00 07 01 FD FD");

QByteArray settingsRequest(const QString &name)
{
    DeviceSettings settings;
    settings.baudIndex = 1;
    settings.ownAddress = 0x22;
    settings.shortName = shortNameBytes(name);
    return buildSetSettings(settings);
}

QByteArray tagRecord(const QString &name, uint8_t address, bool terminated)
{
    const AddressTagRecord record = buildAddressTagRecord(name, address, terminated);
    return QByteArray(reinterpret_cast<const char *>(record.data()), int(record.size()));
}

QByteArray recordChanged(int index, char value)
{
    QByteArray record = kRecordAB7;
    record[index] = value;
    return record;
}

// A reader's result as text, so that one table holds every reader.
using Reader = QString (*)(const uint8_t *payload, size_t len);

QString settingsText(const uint8_t *payload, size_t len)
{
    const DeviceSettings s = readSettings(payload, len);
    return QStringLiteral("%1/%2/%3/%4")
        .arg(s.baudIndex)
        .arg(hexByte(s.ownAddress))
        .arg(s.terminated)
        .arg(shortNameText(s.shortName));
}

QString tagText(const uint8_t *payload, size_t len)
{
    static const char *const checks[] = {"", "too short", "wrong header CRC", "wrong payload CRC"};
    const AddressTagCheck check = checkAddressTagRecord(payload, len);
    if (check != AddressTagCheck::Valid)
        return QLatin1String(checks[int(check)]);
    const AddressTagFields fields = readAddressTagRecord(payload, len);
    return QStringLiteral("%1/%2/%3")
        .arg(fields.shortName, hexByte(fields.address))
        .arg(fields.terminated);
}

} // namespace

Q_DECLARE_METATYPE(Reader)

class TestDeviceCommand : public QObject
{
    Q_OBJECT

private slots:
    void requestBytes_data()
    {
        addColumns<QByteArray, QByteArray>({"request", "expected"});
        addRow("led toggle", buildLedToggle(), hex("0E 02 E8 03"));
        addRow("settings, cut inside a character",
               settingsRequest(QString::fromUtf8("ABC\xC3\x84")), hex("0B 01 22 00 41 42 43 C3"));
        addRow("tag record, non-ascii cut", tagRecord(kThreeUmlauts, 0x80, true),
               hex("06 01 88 A7 C3 84 C3 96 80 01 4E 3C"));
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
        const Reader uid = [](const uint8_t *p, size_t n) { return hexBytes(readUid(p, n)); };
        const Reader pages = [](const uint8_t *p, size_t n) {
            return hexBytes(readPageData(p, n));
        };
        const Reader error = [](const uint8_t *p, size_t n) {
            return errorResponseText(readErrorResponse(p, n));
        };
        // Only a three-byte answer carries a value read.
        const Reader eeprom = [](const uint8_t *p, size_t n) {
            return (isPnEepromReadAnswer(n) ? "read/" : "ack/") + hexByte(readPnEepromValue(p, n));
        };

        addRow("settings, zero first", &settingsText, hex("00 0C 03 10 07 00 42 43 44"), "3/10/7/");
        addRow("settings, name cut short", &settingsText, hex("00 0C 05 80 01 41 42"), "5/80/1/AB");
        addRow("settings, non-ascii name", &settingsText, hex("00 0C 05 80 01 C3 84 C3 96"),
               "5/80/1/" + kThreeUmlauts.left(2));
        addRow("uid, four byte answer", uid, hex("00 03 44 00"), "");
        addRow("text ends at zero", &readResponseText, hex("00 09") + QByteArray("V1.6\0junk", 9),
               "V1.6");
        addRow("text fills the payload", &readResponseText, hex("00 0A") + "READER-7", "READER-7");
        addRow("pages, short", pages, hex("00 40 06 01"), "0601");
        addRow("error, one error byte", error, hex("FF 0C 01"),
               "Error received to command 0x0C - err no :0x0100");
        addRow("eeprom longer ack", eeprom, hex("00 F4 5A 01"), "ack/5A");
        // A bootloader names itself in capitals after something else.
        const Reader mode = [](const uint8_t *p, size_t n) {
            return QString(isBootloaderVersion(readResponseText(p, n)) ? "bootloader" : "app");
        };
        addRow("version, bootloader", mode, hex("00 09") + "Talvik BOOTLOADER 1.2", "bootloader");
        addRow("version, word first", mode, hex("00 09") + "BOOTLOADER 2.0", "app");
        addRow("version, small letters", mode, hex("00 09") + "talvik bootloader 1.2", "app");

        addRow("tag, non-ascii name", &tagText, tagRecord(kThreeUmlauts, 0x80, true),
               kThreeUmlauts.left(2) + "/80/1");
        addRow("tag, header changed", &tagText, recordChanged(1, '\x02'), "wrong header CRC");
        addRow("tag, both CRCs wrong", &tagText, hex("06 01 00 00 41 42 00 00 07 01 00 00"),
               "wrong header CRC");
        addRow("tag, wrong payload CRC", &tagText, recordChanged(10, '\xFE'), "wrong payload CRC");
        addRow("tag, eleven bytes", &tagText, kRecordAB7.left(11), "too short");
        addRow("tag, empty", &tagText, QByteArray(), "too short");
    }

    // Every reader gets the payload followed by bytes that are not its own, so that reading past
    // the end shows.
    void readers()
    {
        QFETCH(Reader, reader);
        QFETCH(QByteArray, payload);

        const QByteArray storage = payload + QByteArray(16, '\x7A');
        QTEST(reader(bytesOf(storage), size_t(payload.size())), "result");
    }
};

QTEST_GUILESS_MAIN(TestDeviceCommand)
#include "tst_devicecommand.moc"
