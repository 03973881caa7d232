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
// Past the HALT's 500 ms limit, well before the test gives up; or never within the test.
constexpr int kLateHaltMs = 900;
constexpr int kSilentHaltMs = 60000;
// Keeps the loop test's one-page read in flight while it is stopped.
constexpr int kLatePageReadMs = 300;
constexpr int kSettleMs = 150;

// Header 06 01, its CRC-16/CCITT-FALSE low byte first, name, address, flag, their CRC.
const QByteArray kAbRecord = QByteArray::fromHex("060188A7414200000701FDFD");
const QByteArray kGateRecord = QByteArray::fromHex("060188A7474154453C00171E");

const QString kHaltDone = QStringLiteral("HALT done.");
const QString kTagTimeout = QStringLiteral("Read/Write timeout - please try again");
const QStringList kTagSelectLog = {"Tag detected...", "Reading UID...", "UID: 04AB12CD34EF00",
                                   "Tag activated..."};
const QStringList kTagReadRequests = {"02", "03 00", "04 00", "40 04 03", "05"};

// What the controls show, and what a good read logs about it.
struct TagFields
{
    QString address, name;
    bool terminated = false;

    QStringList readLog() const
    {
        return {"Reading tag info",
                "Valid address tag found.",
                "Address: 0x" + address,
                "Short name: " + name,
                terminated ? "Terminated: true" : "Terminated: false",
                "Sending HALT command to disable RF field."};
    }
};

struct StopCase
{
    QString button, address;
    int tagCount;
    QByteArray record;
    QStringList log, requests;
};

} // namespace

Q_DECLARE_METATYPE(TagFields)
Q_DECLARE_METATYPE(StopCase)

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
    void pageAnswerShorterThanRecord();

private:
    ToolDriver &tool() { return bench->tool(); }
    QByteArray recordOnTag();
    void putTags(int count, const QByteArray &record);
    void fillControls(const TagFields &fields);
    void verifyControls(const TagFields &fields);

    std::unique_ptr<E2eBench> bench;
    int deviceId = -1;
};

void TestE2eAddressTag::init()
{
    bench = std::make_unique<E2eBench>(E2e::fastBus());
    QVERIFY2(bench->isReady(), qPrintable(bench->error()));
    deviceId = E2e::addConnectedDevice(*bench, SimDeviceConfig::at(kDeviceAddress));
    QVERIFY(deviceId >= 0);
}

void TestE2eAddressTag::cleanup()
{
    bench.reset();
}

QByteArray TestE2eAddressTag::recordOnTag()
{
    return bench->bus().device(deviceId).tags.first().pages.mid(kRecordOffset, kRecordSize);
}

void TestE2eAddressTag::putTags(int count, const QByteArray &record)
{
    QVector<SimTag> tags = E2e::tagsOnAntenna(count);
    for (SimTag &tag : tags)
        tag.pages.replace(kRecordOffset, record.size(), record);
    bench->bus().setTags(deviceId, tags);
}

void TestE2eAddressTag::fillControls(const TagFields &fields)
{
    QVERIFY(tool().setText("leTagDeviceAddress", fields.address));
    QVERIFY(tool().setText("leTagShortName", fields.name));
    QVERIFY(tool().setChecked("cbTagTerminated", fields.terminated));
}

void TestE2eAddressTag::verifyControls(const TagFields &fields)
{
    QCOMPARE(tool().text("leTagDeviceAddress"), fields.address);
    QCOMPARE(tool().text("leTagShortName"), fields.name);
    QCOMPARE(tool().widget<QCheckBox>("cbTagTerminated")->isChecked(), fields.terminated);
}

void TestE2eAddressTag::writeThenReadBack_data()
{
    QTest::addColumn<TagFields>("typed");
    QTest::addColumn<QByteArray>("record");
    QTest::addColumn<TagFields>("shown");

    QTest::newRow("two letters, one digit")
        << TagFields{"7", "AB", true} << kAbRecord << TagFields{"07", "AB", true};
    QTest::newRow("four letters fill the field")
        << TagFields{"FE", "WXYZ", false} << QByteArray::fromHex("060188A75758595AFE00578E")
        << TagFields{"FE", "WXYZ", false};
}

void TestE2eAddressTag::writeThenReadBack()
{
    QFETCH(TagFields, typed);
    QFETCH(QByteArray, record);
    QFETCH(TagFields, shown);

    putTags(1, QByteArray(kRecordSize, '\0'));
    fillControls(typed);
    QVERIFY(tool().click("btWriteAddressTag"));
    QVERIFY(tool().waitForLog(kHaltDone));

    QCOMPARE(recordOnTag().toHex(' '), record.toHex(' '));
    QCOMPARE(E2e::requestLines(bench->bus()),
             QStringList({"02", "03 00", "04 00",
                          E2e::hexLine(QByteArray::fromHex("410403") + record), "40 04 03", "05"}));
    QCOMPARE(tool().logLines(), kTagSelectLog +
                                    QStringList({"Writing address tag...", "Write ACK"}) +
                                    shown.readLog() + QStringList{kHaltDone});
    verifyControls(shown);
}

void TestE2eAddressTag::readFillsControls_data()
{
    QTest::addColumn<QByteArray>("record");
    QTest::addColumn<int>("haltLateMs");
    QTest::addColumn<TagFields>("shown");
    QTest::addColumn<QStringList>("logAfterResult");

    // The name ends at its first zero; any flag byte but 0 terminates.
    QTest::newRow("HALT answered") << QByteArray::fromHex("060188A74B31003980051411") << 0
                                   << TagFields{"80", "K1", true} << QStringList{kHaltDone};
    // A late answer still ends the chain after the timeout message.
    QTest::newRow("HALT late") << kGateRecord << kLateHaltMs << TagFields{"3C", "GATE", false}
                               << QStringList({kTagTimeout, kHaltDone});
    QTest::newRow("HALT silent") << kGateRecord << kSilentHaltMs << TagFields{"3C", "GATE", false}
                                 << QStringList{kTagTimeout};
}

void TestE2eAddressTag::readFillsControls()
{
    QFETCH(QByteArray, record);
    QFETCH(int, haltLateMs);
    QFETCH(TagFields, shown);
    QFETCH(QStringList, logAfterResult);

    putTags(1, record);
    SimFaults faults;
    faults.lateCommand = CmdHalt;
    faults.lateAnswerMs = haltLateMs;
    bench->bus().setDeviceFaults(deviceId, faults);
    fillControls({"5A", "OLD", !shown.terminated});
    QVERIFY(tool().click("btReadAddressTag"));
    QVERIFY(tool().waitForLog(logAfterResult.last()));

    QCOMPARE(tool().logLines(), kTagSelectLog + shown.readLog() + logAfterResult);
    QCOMPARE(E2e::requestLines(bench->bus()), kTagReadRequests);
    verifyControls(shown);
    // The tag itself is only read.
    QCOMPARE(recordOnTag(), record);
}

void TestE2eAddressTag::chainStopsEarly_data()
{
    QTest::addColumn<StopCase>("stop");

    const QString read = QStringLiteral("btReadAddressTag");
    QByteArray badHeaderCrc = kAbRecord;
    badHeaderCrc[3] = static_cast<char>(badHeaderCrc[3] ^ 0x01);
    QByteArray badPayloadCrc = kAbRecord;
    badPayloadCrc[8] = static_cast<char>(0x08); // address changed after the CRC was taken
    // The page read answered, its record refused.
    const auto refused = [&read](const QByteArray &record, const QString &message) {
        const QStringList log = kTagSelectLog + QStringList{"Reading tag info", message};
        return StopCase{read, "5A", 1, record, log, kTagReadRequests.mid(0, 4)};
    };
    const QString noAddress = QStringLiteral("Please enter correct tag address defice address!");

    QTest::newRow("no tag") << StopCase{read, "5A", 0, kAbRecord, {"No tag detected"}, {"02"}};
    QTest::newRow("two tags") << StopCase{
        read, "5A", 2, kAbRecord, {"Too many tags on the antenna (2)."}, {"02"}};
    QTest::newRow("wrong header CRC")
        << refused(badHeaderCrc, "Wrong header CRC - it is not a valid address tag");
    QTest::newRow("wrong payload CRC")
        << refused(badPayloadCrc, "Wrong payload CRC - it is not a valid address tag");
    QTest::newRow("write with an empty address field")
        << StopCase{"btWriteAddressTag", {}, 1, kAbRecord, {noAddress}, {}};
}

void TestE2eAddressTag::chainStopsEarly()
{
    QFETCH(StopCase, stop);

    putTags(stop.tagCount, stop.record);
    const TagFields typed{stop.address, "KEEP", true};
    fillControls(typed);
    QVERIFY(tool().click(stop.button));
    QVERIFY(tool().waitForLog(stop.log.last()));
    // No HALT, no further step and no timeout afterwards.
    QVERIFY(E2e::busStaysQuiet(bench->bus(), kQuietMs));
    QCOMPARE(tool().logLines(), stop.log);
    QCOMPARE(E2e::requestLines(bench->bus()), stop.requests);
    verifyControls(typed);
}

void TestE2eAddressTag::pageAnswerShorterThanRecord()
{
    // The loop test reads one page; stopped while that read is in flight, its 4-byte answer
    // reaches the address-tag check.
    putTags(1, kGateRecord);
    SimFaults faults;
    faults.lateCommand = CmdReadPage;
    faults.lateAnswerMs = kLatePageReadMs;
    bench->bus().setDeviceFaults(deviceId, faults);
    const TagFields typed{"5A", "KEEP", true};
    fillControls(typed);
    QVERIFY(tool().setChecked("cbReadPage", true));

    QVERIFY(tool().click("btLoopTest"));
    QVERIFY(tool().waitForLog(QStringLiteral("Reading page 4")));
    QVERIFY(tool().click("btLoopTest"));
    const QString tooShort =
        QStringLiteral("Tag answer too short (4 of 12 bytes) - it is not a valid address tag");
    QVERIFY(tool().waitForLog(tooShort));
    QVERIFY(E2e::busStaysQuiet(bench->bus(), kSettleMs));

    const QStringList lines = tool().logLines();
    QCOMPARE(lines.mid(lines.size() - 2), QStringList({"Loop test stoped", tooShort}));
    QCOMPARE(E2e::requestLines(bench->bus()), QStringList({"02", "03 00", "42", "40 04 01"}));
    verifyControls(typed);
}

QTEST_MAIN(TestE2eAddressTag)
#include "tst_e2e_addresstag.moc"
