// The tool's codec on a real serial port against the simulator through the pty: answers, restart
// silence, line pacing, and answers lost while the port is closed.
#include "binaryprotocol.h"
#include "devicecommand.h"
#include "simbusthread.h"

#include <QElapsedTimer>
#include <QSerialPort>
#include <QtTest>

#include <memory>

namespace {

constexpr uint8_t kDeviceAddress = 0x1A;
constexpr int kAnswerTimeoutMs = 2000;
// Longer than any answer of an idle simulator takes.
constexpr int kQuietMs = 150;
const char kVersion[] = "APP 4.2.0";
const char kIdentification[] = "Gate reader";

QByteArray hex(const char *text)
{
    return QByteArray::fromHex(text);
}

// The tool's side of the line: QSerialPort and BinaryProtocol, answers collected.
struct ToolLine
{
    QSerialPort port;
    BinaryProtocol codec;
    QByteArrayList answers;

    ToolLine()
    {
        QObject::connect(&port, &QSerialPort::readyRead, [this] {
            const QByteArray chunk = port.readAll();
            codec.receiveBytes(reinterpret_cast<const uint8_t *>(chunk.constData()),
                               size_t(chunk.size()));
        });
        QObject::connect(&codec, &BinaryProtocol::protocolWrite, [this](uint8_t *buff, size_t len) {
            port.write(reinterpret_cast<const char *>(buff), qint64(len));
        });
        QObject::connect(&codec, &BinaryProtocol::frameComplete, [this](uint8_t *buff, size_t len) {
            answers.append(QByteArray(reinterpret_cast<const char *>(buff), int(len)));
        });
    }
    bool open(const QString &path, qint32 baud)
    {
        port.setPortName(path);
        port.setBaudRate(baud);
        return port.open(QIODevice::ReadWrite);
    }
    void send(uint8_t address, const QByteArray &payload)
    {
        codec.setDeviceAddress(address);
        codec.sendFrame(reinterpret_cast<const uint8_t *>(payload.constData()),
                        size_t(payload.size()));
    }
};

SimBusOptions unpaced()
{
    SimBusOptions options;
    options.paced = false;
    return options;
}

} // namespace

class TestE2eLink : public QObject
{
    Q_OBJECT

    // A bus with this one device and the tool's port open on it.
    bool start(const SimDeviceConfig &config, const SimBusOptions &options = SimBusOptions(),
               qint32 baud = QSerialPort::Baud115200)
    {
        bus = std::make_unique<SimBusThread>(options);
        QString error;
        if (!bus->start(&error)) {
            qWarning("%s", qPrintable(error));
            return false;
        }
        deviceId = bus->addDevice(config);
        return tool.open(bus->portPath(), baud);
    }

    std::unique_ptr<SimBusThread> bus;
    int deviceId = -1;
    ToolLine tool;

private slots:
    void cleanup()
    {
        // The tool's side goes first: a vanished master makes the port report errors endlessly.
        tool.port.close();
        tool.answers.clear();
        bus.reset();
    }

    void answerTravelsBackThroughCodec_data()
    {
        QTest::addColumn<QByteArray>("request");
        QTest::addColumn<QByteArray>("expectedAnswer");

        QTest::newRow("version") << buildCommand(CmdGetVersion) << hex("0009") + kVersion;
        QTest::newRow("identification")
            << buildCommand(CmdGetDeviceName) << hex("000A") + kIdentification;
        // Baud index 5, own address 1A, terminated, "GATE".
        QTest::newRow("settings") << buildCommand(CmdGetSettings) << hex("000C051A0147415445");
        QTest::newRow("unknown command") << hex("77") << hex("FF770001");
    }

    void answerTravelsBackThroughCodec()
    {
        QFETCH(QByteArray, request);
        QFETCH(QByteArray, expectedAnswer);

        SimDeviceConfig config = SimDeviceConfig::at(kDeviceAddress, kIdentification);
        config.applicationVersion = kVersion;
        config.settings.terminated = 1;
        config.settings.shortName = shortNameBytes(QStringLiteral("GATE"));
        QVERIFY(start(config));
        tool.send(kDeviceAddress, request);

        QTRY_COMPARE_WITH_TIMEOUT(tool.answers.size(), 1, kAnswerTimeoutMs);
        QCOMPARE(tool.answers.first().toHex(' '), expectedAnswer.toHex(' '));
        const QVector<SimTraceEntry> trace = bus->trace();
        QCOMPARE(trace.size(), 2);
        QVERIFY(trace.at(0).isRequest() && trace.at(1).isAnswer());
        QCOMPARE(trace.at(0).address, kDeviceAddress);
        QCOMPARE(trace.at(0).payload, request);
        QCOMPARE(trace.at(1).payload, expectedAnswer);
    }

    void restartKeepsDeviceSilent()
    {
        constexpr int kRestartMs = 400;
        SimDeviceConfig config = SimDeviceConfig::at(kDeviceAddress);
        config.timing.restartMs = kRestartMs;
        QVERIFY(start(config, unpaced()));

        tool.send(kDeviceAddress, hex("08"));
        QTRY_COMPARE_WITH_TIMEOUT(tool.answers.size(), 1, kAnswerTimeoutMs);
        QCOMPARE(tool.answers.first(), hex("0008"));
        QElapsedTimer sinceAnswer;
        sinceAnswer.start();

        tool.send(kDeviceAddress, hex("09"));
        QTest::qWait(kQuietMs);
        QCOMPARE(tool.answers.size(), 1);
        QCOMPARE(bus->trace().last().note, QStringLiteral("device busy or restarting"));
        QVERIFY(bus->device(deviceId).restarting);

        QTest::qWait(int(kRestartMs - sinceAnswer.elapsed()) + 20);
        tool.send(kDeviceAddress, hex("09"));
        QTRY_COMPARE_WITH_TIMEOUT(tool.answers.size(), 2, kAnswerTimeoutMs);
        QCOMPARE(bus->device(deviceId).restartCount, 1);
    }

    void pacingTakesLineTime()
    {
        // 9 request bytes plus a 118-byte answer at 9600 baud: about 132 ms on the wire.
        constexpr int kBaud = 9600;
        constexpr int kIdentificationLength = 108;
        constexpr qint64 kLineTimeMs = (9 + 10 + kIdentificationLength) * 10 * 1000 / kBaud;

        SimDeviceConfig config =
            SimDeviceConfig::at(kDeviceAddress, QString(kIdentificationLength, 'n'));
        config.settings.baudIndex = uint8_t(baudIndexOf(kBaud));
        QVERIFY(start(config, SimBusOptions(), kBaud));

        QElapsedTimer elapsed;
        elapsed.start();
        tool.send(kDeviceAddress, hex("0A"));
        QTRY_COMPARE_WITH_TIMEOUT(tool.answers.size(), 1, kAnswerTimeoutMs);
        QVERIFY2(elapsed.elapsed() >= kLineTimeMs - 2,
                 qPrintable(QString::number(elapsed.elapsed())));

        bus->setPaced(false);
        elapsed.restart();
        tool.send(kDeviceAddress, hex("0A"));
        QTRY_COMPARE_WITH_TIMEOUT(tool.answers.size(), 2, kAnswerTimeoutMs);
        QVERIFY2(elapsed.elapsed() < kLineTimeMs / 2,
                 qPrintable(QString::number(elapsed.elapsed())));
    }

    void answerLostWhilePortClosed()
    {
        SimDeviceConfig config = SimDeviceConfig::at(kDeviceAddress);
        config.faults.lateCommand = CmdGetVersion;
        config.faults.lateAnswerMs = 100;
        QVERIFY(start(config, unpaced()));

        tool.send(kDeviceAddress, hex("09"));
        QTRY_COMPARE_WITH_TIMEOUT(bus->trace().size(), 1, kAnswerTimeoutMs);
        tool.port.flush();
        tool.port.close();
        QTRY_COMPARE_WITH_TIMEOUT(bus->trace().size(), 2, kAnswerTimeoutMs);
        QVERIFY2(bus->trace().last().note.contains(QLatin1String("lost")),
                 qPrintable(bus->trace().last().toLine()));

        // Nothing stale waits for the next open.
        QVERIFY(tool.open(bus->portPath(), QSerialPort::Baud115200));
        tool.send(kDeviceAddress, hex("0A"));
        QTRY_COMPARE_WITH_TIMEOUT(tool.answers.size(), 1, kAnswerTimeoutMs);
        QCOMPARE(tool.answers.first().left(2), hex("000A"));
    }
};

QTEST_GUILESS_MAIN(TestE2eLink)
#include "tst_e2e_link.moc"
