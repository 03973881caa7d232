// Address tag write and read chains, driven through the window against a simulated reader.
#include "e2efixture.h"

#include <QCheckBox>
#include <QtTest>

#include <memory>

namespace {

constexpr uint8_t kDeviceAddress = 0x80;
constexpr int kRecordOffset = kAddressTagFirstPage * static_cast<int>(kTagPageSize);
constexpr int kRecordSize = static_cast<int>(kAddressTagRecordSize);
// Longer than the 500 ms limit of a tag count or a HALT: a running timer would show.
constexpr int kQuietMs = 600;
// Past the HALT's 500 ms limit, well before the test gives up.
constexpr int kLateHaltMs = 900;
// Keeps the loop test's one-page read in flight while it is stopped.
constexpr int kLatePageReadMs = 300;
constexpr int kSettleMs = 150;

const QByteArray kUid = QByteArray::fromHex("04AB12CD34EF80");
const QString kUidLine = QStringLiteral("UID: 04AB12CD34EF80");
const QByteArray kStandardHeader = QByteArray::fromHex("0601");

// Reference CRC-16/CCITT-FALSE, bit by bit, independent of the tool's table.
quint16 referenceCrc(const QByteArray &data)
{
    quint16 crc = 0xFFFF;
    for (const char byte : data) {
        crc ^= static_cast<quint16>(static_cast<uint8_t>(byte) << 8);
        for (int bit = 0; bit < 8; ++bit)
            crc = (crc & 0x8000) ? static_cast<quint16>((crc << 1) ^ 0x1021)
                                 : static_cast<quint16>(crc << 1);
    }
    return crc;
}

QByteArray littleEndian(quint16 value)
{
    QByteArray out;
    out.append(static_cast<char>(value & 0xFF));
    out.append(static_cast<char>(value >> 8));
    return out;
}

// header (2 bytes) + CRC, payload (6 bytes) + CRC.
QByteArray addressTagRecord(const QByteArray &header, const QByteArray &payload)
{
    return header + littleEndian(referenceCrc(header)) + payload +
           littleEndian(referenceCrc(payload));
}

SimTag tagHolding(const QByteArray &record, const QByteArray &uid = kUid)
{
    SimTag tag = SimTag::create(uid);
    tag.pages.replace(kRecordOffset, record.size(), record);
    return tag;
}

QString hexLine(const QByteArray &bytes)
{
    return QString::fromLatin1(bytes.toHex(' ').toUpper());
}

QStringList readChainLog(const QString &address, const QString &name, bool terminated)
{
    return {QStringLiteral("Valid address tag found."), QStringLiteral("Address: 0x") + address,
            QStringLiteral("Short name: ") + name,
            terminated ? QStringLiteral("Terminated: true") : QStringLiteral("Terminated: false"),
            QStringLiteral("Sending HALT command to disable RF field.")};
}

const QStringList kTagSelectLog = {QStringLiteral("Tag detected..."),
                                   QStringLiteral("Reading UID..."), kUidLine,
                                   QStringLiteral("Tag activated...")};

} // namespace

class TestE2eAddressTag : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void writeThenReadBack_data();
    void writeThenReadBack();
    void readFillsControls_data();
    void readFillsControls();
    void chainStopsEarly_data();
    void chainStopsEarly();
    void lateHaltFollowsResult();
    void pageAnswerShorterThanRecord();

private:
    ToolDriver &tool() { return bench->tool(); }
    QStringList requestsOnWire() const;
    void putTags(int count, const QByteArray &record);
    void fillControls(const QString &address, const QString &name, bool terminated);
    void verifyControls(const QString &address, const QString &name, bool terminated);

    std::unique_ptr<E2eBench> bench;
    int deviceId = -1;
};

void TestE2eAddressTag::init()
{
    SimBusOptions options;
    options.paced = false;
    bench = std::make_unique<E2eBench>(options);
    QVERIFY2(bench->isReady(), qPrintable(bench->error()));
    deviceId = bench->addDevice(SimDeviceConfig::at(kDeviceAddress, QStringLiteral("Gate")));
    QVERIFY(bench->connectTo(kDeviceAddress));
    bench->bus().clearTrace();
    tool().clearLog();
}

void TestE2eAddressTag::cleanup()
{
    bench.reset();
}

QStringList TestE2eAddressTag::requestsOnWire() const
{
    QStringList requests;
    for (const SimTraceEntry &entry : bench->bus().trace()) {
        if (entry.isRequest())
            requests << hexLine(entry.payload);
    }
    return requests;
}

void TestE2eAddressTag::putTags(int count, const QByteArray &record)
{
    QVector<SimTag> tags;
    for (int i = 0; i < count; ++i) {
        QByteArray uid = kUid;
        uid[uid.size() - 1] = static_cast<char>(i);
        tags << tagHolding(record, i == 0 ? kUid : uid);
    }
    bench->bus().setTags(deviceId, tags);
}

void TestE2eAddressTag::fillControls(const QString &address, const QString &name, bool terminated)
{
    QVERIFY(tool().setText(QStringLiteral("leTagDeviceAddress"), address));
    QVERIFY(tool().setText(QStringLiteral("leTagShortName"), name));
    QVERIFY(tool().setChecked(QStringLiteral("cbTagTerminated"), terminated));
}

void TestE2eAddressTag::verifyControls(const QString &address, const QString &name, bool terminated)
{
    QCOMPARE(tool().text(QStringLiteral("leTagDeviceAddress")), address);
    QCOMPARE(tool().text(QStringLiteral("leTagShortName")), name);
    QCOMPARE(tool().widget<QCheckBox>(QStringLiteral("cbTagTerminated"))->isChecked(), terminated);
}

void TestE2eAddressTag::writeThenReadBack_data()
{
    QTest::addColumn<QString>("address");
    QTest::addColumn<QString>("name");
    QTest::addColumn<bool>("terminated");
    QTest::addColumn<QByteArray>("payload");
    QTest::addColumn<QString>("shownAddress");
    QTest::addColumn<QString>("shownName");

    QTest::newRow("two letters, one digit")
        << "7"
        << "AB" << true << QByteArray::fromHex("414200000701") << "07"
        << "AB";
    QTest::newRow("four letters fill the field")
        << "FE"
        << "WXYZ" << false << QByteArray::fromHex("5758595AFE00") << "FE"
        << "WXYZ";
    QTest::newRow("utf-8 cut after four bytes")
        << "a" << QString::fromUtf8("äöü") << true << QByteArray::fromHex("C3A4C3B60A01") << "0A"
        << QString::fromUtf8("äö");
}

void TestE2eAddressTag::writeThenReadBack()
{
    QFETCH(QString, address);
    QFETCH(QString, name);
    QFETCH(bool, terminated);
    QFETCH(QByteArray, payload);
    QFETCH(QString, shownAddress);
    QFETCH(QString, shownName);

    putTags(1, QByteArray(kRecordSize, '\0'));
    fillControls(address, name, terminated);
    QVERIFY(tool().click(QStringLiteral("btWriteAddressTag")));
    QVERIFY(tool().waitForLog(QStringLiteral("HALT done.")));

    const QByteArray record = addressTagRecord(kStandardHeader, payload);
    QVERIFY(record.startsWith(QByteArray::fromHex("060188A7")));
    QCOMPARE(bench->bus().device(deviceId).tags.first().pages.mid(kRecordOffset, kRecordSize),
             record);
    QCOMPARE(requestsOnWire(),
             QStringList({"02", "03 00", "04 00", hexLine(QByteArray::fromHex("410403") + record),
                          "40 04 03", "05"}));
    const QStringList expectedLog =
        kTagSelectLog +
        QStringList{QStringLiteral("Writing address tag..."), QStringLiteral("Write ACK"),
                    QStringLiteral("Reading tag info")} +
        readChainLog(shownAddress, shownName, terminated) + QStringList{"HALT done."};
    QCOMPARE(tool().logLines(), expectedLog);
    verifyControls(shownAddress, shownName, terminated);
}

void TestE2eAddressTag::readFillsControls_data()
{
    QTest::addColumn<QByteArray>("record");
    QTest::addColumn<QString>("shownAddress");
    QTest::addColumn<QString>("shownName");
    QTest::addColumn<bool>("terminated");

    QTest::newRow("four-letter name")
        << addressTagRecord(kStandardHeader, QByteArray::fromHex("474154453C00")) << "3C"
        << "GATE" << false;
    QTest::newRow("name ends at its first zero, any flag byte terminates")
        << addressTagRecord(kStandardHeader, QByteArray::fromHex("4B3100398005")) << "80"
        << "K1" << true;
    QTest::newRow("foreign header with matching CRCs")
        << addressTagRecord(QByteArray::fromHex("0702"), QByteArray::fromHex("4E4F00001200"))
        << "12"
        << "NO" << false;
}

void TestE2eAddressTag::readFillsControls()
{
    QFETCH(QByteArray, record);
    QFETCH(QString, shownAddress);
    QFETCH(QString, shownName);
    QFETCH(bool, terminated);

    putTags(1, record);
    fillControls(QStringLiteral("5A"), QStringLiteral("OLD"), !terminated);
    QVERIFY(tool().click(QStringLiteral("btReadAddressTag")));
    QVERIFY(tool().waitForLog(QStringLiteral("HALT done.")));

    QCOMPARE(requestsOnWire(), QStringList({"02", "03 00", "04 00", "40 04 03", "05"}));
    QCOMPARE(tool().logLines(), kTagSelectLog + QStringList{QStringLiteral("Reading tag info")} +
                                    readChainLog(shownAddress, shownName, terminated) +
                                    QStringList{"HALT done."});
    verifyControls(shownAddress, shownName, terminated);
    // The tag itself is only read.
    QCOMPARE(bench->bus().device(deviceId).tags.first().pages.mid(kRecordOffset, kRecordSize),
             record);
}

void TestE2eAddressTag::chainStopsEarly_data()
{
    QTest::addColumn<QString>("button");
    QTest::addColumn<QString>("address");
    QTest::addColumn<int>("tagCount");
    QTest::addColumn<QByteArray>("record");
    QTest::addColumn<int>("errorCommand");
    QTest::addColumn<QStringList>("expectedLog");
    QTest::addColumn<QStringList>("expectedRequests");

    const QString read = QStringLiteral("btReadAddressTag");
    const QString write = QStringLiteral("btWriteAddressTag");
    const QByteArray valid = addressTagRecord(kStandardHeader, QByteArray::fromHex("414200000701"));
    QByteArray badHeaderCrc = valid;
    badHeaderCrc[3] = static_cast<char>(badHeaderCrc[3] ^ 0x01);
    QByteArray badPayloadCrc = valid;
    badPayloadCrc[8] = static_cast<char>(0x08); // address changed after the CRC was taken
    const QStringList untilPageRead = kTagSelectLog + QStringList{"Reading tag info"};
    const QStringList pageReadRequests = {"02", "03 00", "04 00", "40 04 03"};

    QTest::newRow("no tag") << read << "5A" << 0 << valid << kNoCommand
                            << QStringList{"No tag detected"} << QStringList{"02"};
    QTest::newRow("two tags") << read << "5A" << 2 << valid << kNoCommand
                              << QStringList{"Too many tags on the antenna (2)."}
                              << QStringList{"02"};
    QTest::newRow("wrong header CRC")
        << read << "5A" << 1 << badHeaderCrc << kNoCommand
        << untilPageRead + QStringList{"Wrong header CRC - it is not a valid address tag"}
        << pageReadRequests;
    QTest::newRow("wrong payload CRC")
        << read << "5A" << 1 << badPayloadCrc << kNoCommand
        << untilPageRead + QStringList{"Wrong payload CRC - it is not a valid address tag"}
        << pageReadRequests;
    QTest::newRow("error answer to the page read")
        << read << "5A" << 1 << valid << int(CmdReadPage)
        << untilPageRead + QStringList{"Error received to command 0x40 - err no :0x00EE"}
        << pageReadRequests;
    QTest::newRow("write with an empty address field")
        << write << "" << 1 << valid << kNoCommand
        << QStringList{"Please enter correct tag address defice address!"} << QStringList{};
}

void TestE2eAddressTag::chainStopsEarly()
{
    QFETCH(QString, button);
    QFETCH(QString, address);
    QFETCH(int, tagCount);
    QFETCH(QByteArray, record);
    QFETCH(int, errorCommand);
    QFETCH(QStringList, expectedLog);
    QFETCH(QStringList, expectedRequests);

    putTags(tagCount, record);
    SimFaults faults;
    faults.errorCommand = errorCommand;
    bench->bus().setDeviceFaults(deviceId, faults);
    fillControls(address, QStringLiteral("KEEP"), true);

    QVERIFY(tool().click(button));
    if (!expectedLog.isEmpty())
        QVERIFY(tool().waitForLog(expectedLog.last()));
    // No HALT, no further step and no timeout afterwards.
    QTest::qWait(kQuietMs);
    QCOMPARE(tool().logLines(), expectedLog);
    QCOMPARE(requestsOnWire(), expectedRequests);
    verifyControls(address, QStringLiteral("KEEP"), true);
}

void TestE2eAddressTag::lateHaltFollowsResult()
{
    putTags(1, addressTagRecord(kStandardHeader, QByteArray::fromHex("474154453C00")));
    SimFaults faults;
    faults.lateCommand = CmdHalt;
    faults.lateAnswerMs = kLateHaltMs;
    bench->bus().setDeviceFaults(deviceId, faults);

    QVERIFY(tool().click(QStringLiteral("btReadAddressTag")));
    QVERIFY(tool().waitForLog(QStringLiteral("HALT done.")));

    // The late answer still ends the chain after the timeout message.
    const QStringList expectedLog =
        kTagSelectLog + QStringList{QStringLiteral("Reading tag info")} +
        readChainLog(QStringLiteral("3C"), QStringLiteral("GATE"), false) +
        QStringList{"Read/Write timeout - please try again", "HALT done."};
    QCOMPARE(tool().logLines(), expectedLog);
    verifyControls(QStringLiteral("3C"), QStringLiteral("GATE"), false);
    QCOMPARE(requestsOnWire(), QStringList({"02", "03 00", "04 00", "40 04 03", "05"}));
}

void TestE2eAddressTag::pageAnswerShorterThanRecord()
{
    // The loop test reads one page; stopped while that read is in flight, its 4-byte answer
    // reaches the address-tag check.
    putTags(1, addressTagRecord(kStandardHeader, QByteArray::fromHex("474154453C00")));
    SimFaults faults;
    faults.lateCommand = CmdReadPage;
    faults.lateAnswerMs = kLatePageReadMs;
    bench->bus().setDeviceFaults(deviceId, faults);
    fillControls(QStringLiteral("5A"), QStringLiteral("KEEP"), true);
    QVERIFY(tool().setChecked(QStringLiteral("cbReadPage"), true));

    QVERIFY(tool().click(QStringLiteral("btLoopTest")));
    QVERIFY(tool().waitForLog(QStringLiteral("Reading page 4")));
    QVERIFY(tool().click(QStringLiteral("btLoopTest")));
    const QString tooShort =
        QStringLiteral("Tag answer too short (4 of 12 bytes) - it is not a valid address tag");
    QVERIFY(tool().waitForLog(tooShort));
    QTest::qWait(kSettleMs);

    const QStringList lines = tool().logLines();
    QCOMPARE(lines.mid(lines.indexOf(QStringLiteral("Loop test stoped"))),
             QStringList({"Loop test stoped", tooShort}));
    const QStringList loopCycleUntilPageRead = {"02", "03 00", "42", "40 04 01"};
    QCOMPARE(requestsOnWire(), loopCycleUntilPageRead);
    verifyControls(QStringLiteral("5A"), QStringLiteral("KEEP"), true);
}

QTEST_MAIN(TestE2eAddressTag)
#include "tst_e2e_addresstag.moc"
