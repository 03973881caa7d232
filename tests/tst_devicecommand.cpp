#include "devicecommand.h"

#include <QtTest>

Q_DECLARE_METATYPE(AddressTagCheck)

namespace {

QByteArray hex(const char *text)
{
    return QByteArray::fromHex(text);
}

const uint8_t *bytesOf(const QByteArray &data)
{
    return reinterpret_cast<const uint8_t *>(data.constData());
}

QByteArray recordBytes(const AddressTagRecord &record)
{
    return QByteArray(reinterpret_cast<const char *>(record.data()), int(record.size()));
}

// Readers get the payload followed by bytes that are not theirs, so reading past the end shows.
struct Payload
{
    explicit Payload(const QByteArray &payload)
        : storage(payload + QByteArray(16, '\x7A')), len(size_t(payload.size()))
    {
    }
    const uint8_t *data() const { return bytesOf(storage); }
    QByteArray storage;
    size_t len;
};

QString umlautAB()
{
    return QString::fromUtf8("\xC3\x84"
                             "B");
}

} // namespace

class TestDeviceCommand : public QObject
{
    Q_OBJECT

private slots:
    void requestBytes_data();
    void requestBytes();
    void settingsRequestName_data();
    void settingsRequestName();
    void readSettingsAnswer_data();
    void readSettingsAnswer();
    void readUidAnswer_data();
    void readUidAnswer();
    void readTextAnswer_data();
    void readTextAnswer();
    void readSmallAnswers();
    void errorResponse_data();
    void errorResponse();
    void pnEepromAnswer_data();
    void pnEepromAnswer();
    void baudTable();
    void buildAddressTag_data();
    void buildAddressTag();
    void addressTagReadsBack_data();
    void addressTagReadsBack();
    void checkAddressTag_data();
    void checkAddressTag();
    void shortAddressTagReadsMissingAsZero();
};

void TestDeviceCommand::requestBytes_data()
{
    QTest::addColumn<QByteArray>("request");
    QTest::addColumn<QByteArray>("expected");

    const struct
    {
        DeviceCommand command;
        const char *bytes;
    } bare[] = {{CmdGetTagCount, "02"},     {CmdHalt, "05"},          {CmdReboot, "08"},
                {CmdGetVersion, "09"},      {CmdGetDeviceName, "0A"}, {CmdGetSettings, "0C"},
                {CmdResetToDefaults, "0D"}, {CmdGetTagVersion, "42"}, {CmdEnterBootloader, "F0"},
                {CmdEraseFlash, "F1"},      {CmdFinishFirmware, "F3"}};
    for (const auto &row : bare)
        QTest::addRow("command %s", row.bytes) << buildCommand(row.command) << hex(row.bytes);

    QTest::newRow("read uid") << buildReadUid() << hex("03 00");
    QTest::newRow("activate tag") << buildActivateTag() << hex("04 00");
    QTest::newRow("led off") << buildLed(kLedOff) << hex("0E 00");
    QTest::newRow("led on") << buildLed(kLedOn) << hex("0E 01");
    QTest::newRow("led toggle") << buildLedToggle() << hex("0E 02 E8 03");
    QTest::newRow("read address tag")
        << buildReadPage(kAddressTagFirstPage, kAddressTagPageCount) << hex("40 04 03");
    QTest::newRow("read loop test page")
        << buildReadPage(kAddressTagFirstPage, kLoopTestPageCount) << hex("40 04 01");
    const QByteArray record = hex("06 01 88 A7 41 42 00 00 07 01 FD FD");
    QTest::newRow("write address tag") << buildWritePage(kAddressTagFirstPage, kAddressTagPageCount,
                                                         bytesOf(record), size_t(record.size()))
                                       << hex("41 04 03") + record;
    QTest::newRow("eeprom read") << buildPnEepromRead(0x12) << hex("F4 12");
    QTest::newRow("eeprom write") << buildPnEepromWrite(0x12, 0xA5) << hex("F4 12 A5");
    QTest::newRow("flash one byte") << buildWriteFlash("\xF5", 1) << hex("F2 F5");
    const QByteArray chunk(kFirmwareChunkSize, '\x5C');
    QTest::newRow("flash whole chunk")
        << buildWriteFlash(chunk.constData(), chunk.size()) << hex("F2") + chunk;

    DeviceSettings settings;
    settings.baudIndex = 5;
    settings.ownAddress = 0x80;
    settings.terminated = 1;
    settings.shortName = shortNameBytes("AB");
    QTest::newRow("settings") << buildSetSettings(settings) << hex("0B 05 80 01 41 42 00 00");
}

void TestDeviceCommand::requestBytes()
{
    QFETCH(QByteArray, request);
    QFETCH(QByteArray, expected);
    QCOMPARE(request.toHex(' '), expected.toHex(' '));
}

void TestDeviceCommand::settingsRequestName_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QByteArray>("field");

    QTest::newRow("two letters") << QString("AB") << hex("41 42 00 00");
    QTest::newRow("empty") << QString() << hex("00 00 00 00");
    QTest::newRow("four letters") << QString("ABCD") << hex("41 42 43 44");
    QTest::newRow("five letters") << QString("ABCDE") << hex("41 42 43 44");
    QTest::newRow("non-ascii") << umlautAB() << hex("C3 84 42 00");
    QTest::newRow("cut inside a character")
        << QString::fromUtf8("ABC\xC3\x84") << hex("41 42 43 C3");
    QTest::newRow("euro sign") << QString::fromUtf8("\xE2\x82\xAC") << hex("E2 82 AC 00");
}

void TestDeviceCommand::settingsRequestName()
{
    QFETCH(QString, name);
    QFETCH(QByteArray, field);

    DeviceSettings settings;
    settings.baudIndex = 1;
    settings.ownAddress = 0x22;
    settings.shortName = shortNameBytes(name);
    QCOMPARE(buildSetSettings(settings), hex("0B 01 22 00") + field);
}

void TestDeviceCommand::readSettingsAnswer_data()
{
    QTest::addColumn<QByteArray>("payload");
    QTest::addColumn<int>("baudIndex");
    QTest::addColumn<int>("ownAddress");
    QTest::addColumn<int>("terminated");
    QTest::addColumn<QString>("shortName");

    QTest::newRow("full name") << hex("00 0C 05 80 01 41 42 43 44") << 5 << 0x80 << 1 << "ABCD";
    QTest::newRow("padded name") << hex("00 0C 02 11 00 41 42 00 00") << 2 << 0x11 << 0 << "AB";
    QTest::newRow("zero first") << hex("00 0C 03 10 07 00 42 43 44") << 3 << 0x10 << 7 << "";
    QTest::newRow("name cut short") << hex("00 0C 05 80 01 41 42") << 5 << 0x80 << 1 << "AB";
    QTest::newRow("no name") << hex("00 0C 04 33 01") << 4 << 0x33 << 1 << "";
    QTest::newRow("two data bytes") << hex("00 0C 02 33") << 2 << 0x33 << 0 << "";
    QTest::newRow("no data") << hex("00 0C") << 0 << 0 << 0 << "";
}

void TestDeviceCommand::readSettingsAnswer()
{
    QFETCH(QByteArray, payload);
    QFETCH(int, baudIndex);
    QFETCH(int, ownAddress);
    QFETCH(int, terminated);
    QFETCH(QString, shortName);

    const Payload p(payload);
    const DeviceSettings settings = readSettings(p.data(), p.len);
    QCOMPARE(int(settings.baudIndex), baudIndex);
    QCOMPARE(int(settings.ownAddress), ownAddress);
    QCOMPARE(int(settings.terminated), terminated);
    QCOMPARE(shortNameText(settings.shortName), shortName);
}

void TestDeviceCommand::readUidAnswer_data()
{
    QTest::addColumn<QByteArray>("payload");
    QTest::addColumn<QString>("uid");

    QTest::newRow("seven bytes") << hex("00 03 44 00 04 A1 B2 C3 D4 E5 F6") << "04A1B2C3D4E5F6";
    QTest::newRow("one byte") << hex("00 03 44 00 0F") << "0F";
    QTest::newRow("four byte answer") << hex("00 03 44 00") << "";
    QTest::newRow("two byte answer") << hex("00 03") << "";
    QTest::newRow("empty") << QByteArray() << "";
}

void TestDeviceCommand::readUidAnswer()
{
    QFETCH(QByteArray, payload);
    QFETCH(QString, uid);

    const Payload p(payload);
    QCOMPARE(hexBytes(readUid(p.data(), p.len)), uid);
}

void TestDeviceCommand::readTextAnswer_data()
{
    QTest::addColumn<QByteArray>("payload");
    QTest::addColumn<QString>("text");

    QTest::newRow("ends at zero") << QByteArray("\x00\x09V1.6\x00junk", 11) << "V1.6";
    QTest::newRow("fills the payload") << QByteArray("\x00\x0A"
                                                     "READER-7",
                                                     10)
                                       << "READER-7";
    QTest::newRow("zero first") << QByteArray("\x00\x09\x00V1", 5) << "";
    QTest::newRow("no data") << QByteArray("\x00\x09", 2) << "";
    QTest::newRow("status only") << QByteArray(1, '\0') << "";
    QTest::newRow("utf-8") << QByteArray("\x00\x0A\xC3\x84"
                                         "B",
                                         5)
                           << umlautAB();
}

void TestDeviceCommand::readTextAnswer()
{
    QFETCH(QByteArray, payload);
    QFETCH(QString, text);

    const Payload p(payload);
    QCOMPARE(readResponseText(p.data(), p.len), text);
}

void TestDeviceCommand::readSmallAnswers()
{
    const Payload oneTag(hex("00 02 01"));
    QCOMPARE(readTagCount(oneTag.data(), oneTag.len), 1);
    const Payload manyTags(hex("00 02 FE"));
    QCOMPARE(readTagCount(manyTags.data(), manyTags.len), 0xFE);
    const Payload noCount(hex("00 02"));
    QCOMPARE(readTagCount(noCount.data(), noCount.len), 0);

    const QByteArray record = hex("06 01 88 A7 41 42 00 00 07 01 FD FD");
    const Payload pages(hex("00 40") + record);
    QCOMPARE(readPageData(pages.data(), pages.len), record);
    const Payload shortPages(hex("00 40 06 01"));
    QCOMPARE(readPageData(shortPages.data(), shortPages.len), hex("06 01"));
    const Payload noPages(hex("00"));
    QCOMPARE(readPageData(noPages.data(), noPages.len), QByteArray());

    const Payload empty{QByteArray()};
    QCOMPARE(int(responseStatus(empty.data(), empty.len)), 0);
    QCOMPARE(int(responseCommand(empty.data(), empty.len)), 0);
}

void TestDeviceCommand::errorResponse_data()
{
    QTest::addColumn<QByteArray>("payload");
    QTest::addColumn<QString>("text");

    QTest::newRow("settings") << hex("FF 0C 01 02")
                              << "Error received to command 0x0C - err no :0x0102";
    QTest::newRow("upper-case digits")
        << hex("FF 41 AB CD") << "Error received to command 0x41 - err no :0xABCD";
    QTest::newRow("code never sent")
        << hex("FF 77 00 05") << "Error received to command 0x77 - err no :0x0005";
    QTest::newRow("firmware rejected")
        << hex("FF F3 00 01") << "Firmware verification filed - wrong firmware file ???";
    QTest::newRow("one error byte")
        << hex("FF 0C 01") << "Error received to command 0x0C - err no :0x0100";
    QTest::newRow("no error number")
        << hex("FF 0C") << "Error received to command 0x0C - err no :0x0000";
    QTest::newRow("status only") << hex("FF") << "Error received to command 0x00 - err no :0x0000";
}

void TestDeviceCommand::errorResponse()
{
    QFETCH(QByteArray, payload);
    QFETCH(QString, text);

    const Payload p(payload);
    QCOMPARE(int(responseStatus(p.data(), p.len)), int(kStatusError));
    QCOMPARE(errorResponseText(readErrorResponse(p.data(), p.len)), text);
}

void TestDeviceCommand::pnEepromAnswer_data()
{
    QTest::addColumn<QByteArray>("payload");
    QTest::addColumn<bool>("isRead");
    QTest::addColumn<int>("value");

    QTest::newRow("read answer") << hex("00 F4 5A") << true << 0x5A;
    QTest::newRow("write ack") << hex("00 F4") << false << 0;
    QTest::newRow("longer ack") << hex("00 F4 5A 01") << false << 0x5A;
}

void TestDeviceCommand::pnEepromAnswer()
{
    QFETCH(QByteArray, payload);
    QFETCH(bool, isRead);
    QFETCH(int, value);

    const Payload p(payload);
    QCOMPARE(isPnEepromReadAnswer(p.len), isRead);
    QCOMPARE(int(readPnEepromValue(p.data(), p.len)), value);
}

void TestDeviceCommand::baudTable()
{
    const int rates[] = {4800, 9600, 19200, 38400, 57600, 115200};
    QCOMPARE(kBaudRateCount, 6);
    for (int index = 0; index < kBaudRateCount; ++index) {
        QCOMPARE(kBaudRates[size_t(index)], rates[index]);
        QCOMPARE(baudIndexOf(rates[index]), index);
        QVERIFY(isValidBaudIndex(index));
    }
    QVERIFY(!isValidBaudIndex(-1));
    QVERIFY(!isValidBaudIndex(kBaudRateCount));
    QCOMPARE(baudIndexOf(14400), -1);
}

void TestDeviceCommand::buildAddressTag_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<int>("address");
    QTest::addColumn<bool>("terminated");
    QTest::addColumn<QByteArray>("record");

    QTest::newRow("AB at 7, terminated")
        << "AB" << 0x07 << true << hex("06 01 88 A7 41 42 00 00 07 01 FD FD");
    QTest::newRow("four letters") << "ABCD" << 0xFF << false
                                  << hex("06 01 88 A7 41 42 43 44 FF 00 99 43");
    QTest::newRow("non-ascii cut to four bytes")
        << QString::fromUtf8("\xC3\x84\xC3\x96\xC3\x9C") << 0x80 << true
        << hex("06 01 88 A7 C3 84 C3 96 80 01 4E 3C");
    QTest::newRow("empty") << "" << 0x00 << false << hex("06 01 88 A7 00 00 00 00 00 00 10 0E");
}

void TestDeviceCommand::buildAddressTag()
{
    QFETCH(QString, name);
    QFETCH(int, address);
    QFETCH(bool, terminated);
    QFETCH(QByteArray, record);

    QCOMPARE(recordBytes(buildAddressTagRecord(name, uint8_t(address), terminated)).toHex(' '),
             record.toHex(' '));
}

void TestDeviceCommand::addressTagReadsBack_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("readBack");

    QTest::newRow("two letters") << "AB"
                                 << "AB";
    QTest::newRow("four letters") << "WXYZ"
                                  << "WXYZ";
    QTest::newRow("five letters") << "VWXYZ"
                                  << "VWXY";
    QTest::newRow("non-ascii") << umlautAB() << umlautAB();
    QTest::newRow("non-ascii cut")
        << QString::fromUtf8("\xC3\x84\xC3\x96\xC3\x9C") << QString::fromUtf8("\xC3\x84\xC3\x96");
    QTest::newRow("empty") << ""
                           << "";
}

void TestDeviceCommand::addressTagReadsBack()
{
    QFETCH(QString, name);
    QFETCH(QString, readBack);

    const AddressTagRecord record = buildAddressTagRecord(name, 0x3C, true);
    QCOMPARE(checkAddressTagRecord(record.data(), record.size()), AddressTagCheck::Valid);
    const AddressTagFields fields = readAddressTagRecord(record.data(), record.size());
    QCOMPARE(fields.shortName, readBack);
    QCOMPARE(int(fields.address), 0x3C);
    QVERIFY(fields.terminated);
}

void TestDeviceCommand::checkAddressTag_data()
{
    QTest::addColumn<QByteArray>("record");
    QTest::addColumn<AddressTagCheck>("check");

    const QByteArray valid = hex("06 01 88 A7 41 42 00 00 07 01 FD FD");
    QTest::newRow("valid") << valid << AddressTagCheck::Valid;
    QTest::newRow("other header, matching crcs")
        << hex("07 02 DA A4") + valid.mid(4) << AddressTagCheck::Valid;
    QByteArray header = valid;
    header[1] = '\x02';
    QTest::newRow("header changed") << header << AddressTagCheck::WrongHeaderCrc;
    QByteArray headerCrc = valid;
    headerCrc[3] = '\xA6';
    QTest::newRow("wrong header crc") << headerCrc << AddressTagCheck::WrongHeaderCrc;
    QByteArray address = valid;
    address[8] = '\x08';
    QTest::newRow("address changed") << address << AddressTagCheck::WrongPayloadCrc;
    QByteArray payloadCrc = valid;
    payloadCrc[10] = '\xFE';
    QTest::newRow("wrong payload crc") << payloadCrc << AddressTagCheck::WrongPayloadCrc;
    QTest::newRow("both crcs wrong")
        << hex("06 01 00 00 41 42 00 00 07 01 00 00") << AddressTagCheck::WrongHeaderCrc;
    QTest::newRow("eleven bytes") << valid.left(11) << AddressTagCheck::TooShort;
    QTest::newRow("empty") << QByteArray() << AddressTagCheck::TooShort;
    QTest::newRow("longer answer") << valid + hex("55 66") << AddressTagCheck::Valid;
}

void TestDeviceCommand::checkAddressTag()
{
    QFETCH(QByteArray, record);
    QFETCH(AddressTagCheck, check);

    const Payload p(record);
    QCOMPARE(checkAddressTagRecord(p.data(), p.len), check);
}

void TestDeviceCommand::shortAddressTagReadsMissingAsZero()
{
    const Payload p(hex("06 01 88 A7 41 42 00 00 07"));
    const AddressTagFields fields = readAddressTagRecord(p.data(), p.len);
    QCOMPARE(fields.shortName, QString("AB"));
    QCOMPARE(int(fields.address), 0x07);
    QVERIFY(!fields.terminated);
}

QTEST_GUILESS_MAIN(TestDeviceCommand)
#include "tst_devicecommand.moc"
