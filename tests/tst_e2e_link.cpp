// The tool's codec on a real serial port talks to a simulated device through the pty.
#include "binaryprotocol.h"
#include "devicecommand.h"
#include "simbusthread.h"

#include <QSerialPort>
#include <QSignalSpy>
#include <QtTest>

namespace {

constexpr uint8_t kDeviceAddress = 0x1A;
constexpr uint8_t kEmptyAddress = 0x1B;
constexpr int kAnswerTimeoutMs = 2000;
// Long enough for any answer of an idle simulator to arrive.
constexpr int kSilenceWindowMs = 300;
const char kVersion[] = "APP 4.2.0";
const char kIdentification[] = "Gate reader";

} // namespace

class TestE2eLink : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void init();
    void answerTravelsBackThroughCodec_data();
    void answerTravelsBackThroughCodec();
    void requestToEmptyAddressStaysUnanswered();

private:
    void send(const QByteArray &payload);

    SimBusThread bus;
    QSerialPort port;
    BinaryProtocol codec;
    QByteArray lastPayload;
    int framesDelivered = 0;
};

void TestE2eLink::initTestCase()
{
    QString error;
    QVERIFY2(bus.start(&error), qPrintable(error));
    SimDeviceConfig config =
        SimDeviceConfig::at(kDeviceAddress, QString::fromLatin1(kIdentification));
    config.applicationVersion = QString::fromLatin1(kVersion);
    config.settings.terminated = 1;
    config.settings.shortName = shortNameBytes(QStringLiteral("GATE"));
    bus.addDevice(config);

    port.setPortName(bus.portPath());
    port.setBaudRate(QSerialPort::Baud115200);
    QVERIFY2(port.open(QIODevice::ReadWrite), qPrintable(port.errorString()));
    connect(&codec, &BinaryProtocol::protocolWrite, this, [this](uint8_t *buff, size_t len) {
        port.write(reinterpret_cast<const char *>(buff), static_cast<qint64>(len));
    });
    connect(&port, &QSerialPort::readyRead, this, [this] {
        const QByteArray chunk = port.readAll();
        codec.receiveBytes(reinterpret_cast<const uint8_t *>(chunk.constData()),
                           static_cast<size_t>(chunk.size()));
    });
    connect(&codec, &BinaryProtocol::frameComplete, this, [this](uint8_t *buff, size_t len) {
        lastPayload = QByteArray(reinterpret_cast<const char *>(buff), static_cast<int>(len));
        ++framesDelivered;
    });
}

void TestE2eLink::cleanupTestCase()
{
    // The tool's side goes first: a vanished master makes the port report errors endlessly.
    port.close();
    bus.stop();
}

void TestE2eLink::init()
{
    lastPayload.clear();
    framesDelivered = 0;
    bus.clearTrace();
}

void TestE2eLink::send(const QByteArray &payload)
{
    codec.sendFrame(reinterpret_cast<const uint8_t *>(payload.constData()),
                    static_cast<size_t>(payload.size()));
}

void TestE2eLink::answerTravelsBackThroughCodec_data()
{
    QTest::addColumn<QByteArray>("request");
    QTest::addColumn<QByteArray>("expectedAnswer");

    QTest::newRow("version") << buildCommand(CmdGetVersion)
                             << QByteArray::fromHex("0009") + QByteArray(kVersion);
    QTest::newRow("identification") << buildCommand(CmdGetDeviceName)
                                    << QByteArray::fromHex("000A") + QByteArray(kIdentification);
    // Baud index 5, own address 1A, terminated, "GATE".
    QTest::newRow("settings") << buildCommand(CmdGetSettings)
                              << QByteArray::fromHex("000C051A0147415445");
    QTest::newRow("unknown command")
        << QByteArray::fromHex("77") << QByteArray::fromHex("FF770001");
}

void TestE2eLink::answerTravelsBackThroughCodec()
{
    QFETCH(QByteArray, request);
    QFETCH(QByteArray, expectedAnswer);

    codec.setDeviceAddress(kDeviceAddress);
    send(request);

    QTRY_COMPARE_WITH_TIMEOUT(framesDelivered, 1, kAnswerTimeoutMs);
    QCOMPARE(lastPayload.toHex(' '), expectedAnswer.toHex(' '));

    const QVector<SimTraceEntry> trace = bus.trace();
    QCOMPARE(trace.size(), 2);
    QVERIFY(trace.at(0).isRequest());
    QCOMPARE(trace.at(0).address, kDeviceAddress);
    QCOMPARE(trace.at(0).payload, request);
    QVERIFY(trace.at(1).isAnswer());
    QCOMPARE(trace.at(1).payload, expectedAnswer);
}

void TestE2eLink::requestToEmptyAddressStaysUnanswered()
{
    codec.setDeviceAddress(kEmptyAddress);
    send(buildCommand(CmdGetVersion));

    QTRY_VERIFY_WITH_TIMEOUT(!bus.trace().isEmpty(), kAnswerTimeoutMs);
    QTest::qWait(kSilenceWindowMs);
    QCOMPARE(framesDelivered, 0);
    const QVector<SimTraceEntry> trace = bus.trace();
    QCOMPARE(trace.size(), 1);
    QCOMPARE(trace.at(0).address, kEmptyAddress);
    QVERIFY2(trace.at(0).note.contains(QLatin1String("no device")),
             qPrintable(trace.at(0).toLine()));
}

QTEST_GUILESS_MAIN(TestE2eLink)
#include "tst_e2e_link.moc"
