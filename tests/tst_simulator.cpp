// What the tool's tests rely on in the simulator and cannot see themselves: line pacing, restart
// silence, the rate a device hears, and clients other than QSerialPort.
#include "binaryprotocol.h"
#include "devicecommand.h"
#include "simbusthread.h"

#include "datatable.h"
#include <QElapsedTimer>
#include <QProcess>
#include <QSerialPort>
#include <QTemporaryDir>

#include <QtTest>

#include <memory>

#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

namespace {

constexpr uint8_t kAddress = 0x1A;
constexpr int kAnswerTimeoutMs = 2000;
// Longer than any answer of an idle simulator takes.
constexpr int kQuietMs = 150;

QByteArray hex(const char *text)
{
    return QByteArray::fromHex(text);
}

SimBusOptions unpaced()
{
    SimBusOptions options;
    options.paced = false;
    return options;
}

const QByteArray kVersionRequestTo01 = hex("F50400FBFF010917BF");

// Opened as termios programs and scripts open a port: no exclusive lock, only the speed.
int openPlain(const QString &path)
{
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    termios line{};
    if (fd >= 0 && tcgetattr(fd, &line) == 0 && cfsetspeed(&line, B115200) == 0)
        tcsetattr(fd, TCSANOW, &line);
    return fd;
}

QByteArray readWaiting(int fd)
{
    char buffer[256];
    QByteArray bytes;
    for (ssize_t count; (count = ::read(fd, buffer, sizeof buffer)) > 0;)
        bytes.append(buffer, int(count));
    return bytes;
}

} // namespace

class TestSimulator : public QObject
{
    Q_OBJECT

    // A bus with this one device and a port open on it, as the tool opens it.
    bool start(const SimDeviceConfig &config, const SimBusOptions &options = SimBusOptions(),
               qint32 baud = QSerialPort::Baud115200)
    {
        bus = std::make_unique<SimBusThread>(options);
        if (!bus->start())
            return false;
        deviceId = bus->addDevice(config);
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
        return open(baud);
    }
    bool open(qint32 baud)
    {
        port.setPortName(bus->portPath());
        port.setBaudRate(baud);
        return port.open(QIODevice::ReadWrite);
    }
    void send(const QByteArray &payload)
    {
        codec.setDeviceAddress(kAddress);
        codec.sendFrame(reinterpret_cast<const uint8_t *>(payload.constData()),
                        size_t(payload.size()));
    }
    // Sends the payload and waits for one more answer; its time in ms, -1 when none came.
    qint64 exchange(const QByteArray &payload)
    {
        const int before = answers.size();
        QElapsedTimer clock;
        clock.start();
        send(payload);
        return QTest::qWaitFor([&] { return answers.size() > before; }, kAnswerTimeoutMs)
                   ? clock.elapsed()
                   : -1;
    }

    std::unique_ptr<SimBusThread> bus;
    int deviceId = -1;
    QSerialPort port;
    BinaryProtocol codec;
    QByteArrayList answers;

private slots:
    void cleanup()
    {
        // The port goes first: a vanished master makes it report errors endlessly.
        port.close();
        port.disconnect();
        codec.disconnect();
        answers.clear();
        bus.reset();
    }

    void pacingTakesLineTime()
    {
        // 9 request bytes plus a 118-byte answer at 9600 baud: about 132 ms on the wire.
        constexpr int kBaud = 9600;
        constexpr int kNameLength = 108;
        constexpr qint64 kLineTimeMs = (9 + 10 + kNameLength) * 10 * 1000 / kBaud;
        SimDeviceConfig config = SimDeviceConfig::at(kAddress, QString(kNameLength, 'n'));
        config.settings.baudIndex = uint8_t(baudIndexOf(kBaud));
        QVERIFY(start(config, SimBusOptions(), kBaud));

        const qint64 paced = exchange(hex("0A"));
        QVERIFY2(paced >= kLineTimeMs - 2, qPrintable(QString::number(paced)));
        bus->setPaced(false);
        const qint64 unpacedMs = exchange(hex("0A"));
        QVERIFY2(unpacedMs >= 0 && unpacedMs < kLineTimeMs / 2,
                 qPrintable(QString::number(unpacedMs)));
    }

    void restartAndRateKeepDeviceDeaf()
    {
        constexpr int kRestartMs = 400;
        SimDeviceConfig config = SimDeviceConfig::at(kAddress);
        config.timing.restartMs = kRestartMs;
        config.settings.baudIndex = uint8_t(baudIndexOf(9600));
        QVERIFY(start(config, unpaced()));

        // At the tool's start rate the device hears nothing.
        send(hex("09"));
        QTest::qWait(kQuietMs);
        QVERIFY(answers.isEmpty());
        QVERIFY(bus->trace().last().note.startsWith(QLatin1String("not heard")));

        port.setBaudRate(9600);
        QVERIFY(exchange(hex("08")) >= 0);
        QElapsedTimer sinceAnswer;
        sinceAnswer.start();
        send(hex("09"));
        QTest::qWait(kQuietMs);
        QCOMPARE(answers.size(), 1);
        QCOMPARE(bus->trace().last().note, QStringLiteral("device busy or restarting"));
        QTRY_VERIFY(sinceAnswer.elapsed() > kRestartMs);
        QVERIFY(exchange(hex("09")) >= 0);
        QCOMPARE(bus->device(deviceId).restartCount, 1);
    }

    void plainClientsGetTheirOwnAnswers()
    {
        // No devices given: the demo bus, its readers answering 200 ms late.
        QTemporaryDir dir;
        QProcess sim;
        sim.start(QStringLiteral(TALVIK_BUS_SIM),
                  {"--unpaced", "--bus-faults", "delay=200", "--trace", dir.filePath("trace")});
        QVERIFY(sim.waitForReadyRead(kAnswerTimeoutMs));
        const QString port = QString::fromLocal8Bit(sim.readLine()).trimmed();
        const auto traced = [&] {
            QFile trace(dir.filePath("trace"));
            return trace.open(QIODevice::ReadOnly) ? trace.readAll() : QByteArray();
        };
        // The first client leaves before its answer: dropped, not kept for the next one.
        int fd = openPlain(port);
        QCOMPARE(::write(fd, kVersionRequestTo01.constData(), 9), 9);
        ::close(fd);
        QTRY_VERIFY2_WITH_TIMEOUT(traced().contains("lost"), traced().constData(),
                                  kAnswerTimeoutMs);
        fd = openPlain(port);
        QByteArray received;
        QCOMPARE(::write(fd, hex("F50400FBFF010A748F").constData(), 9), 9);
        QTRY_VERIFY_WITH_TIMEOUT((received += readWaiting(fd)).size() >= 9, kAnswerTimeoutMs);
        ::close(fd);
        QCOMPARE(received.mid(5, 3), hex("01000A"));
        sim.write("quit\n");
        QVERIFY(sim.waitForFinished(kAnswerTimeoutMs));
        QVERIFY(sim.readAllStandardError().contains("demo bus: readers at 01, 1A, 80"));
    }
};

QTEST_GUILESS_MAIN(TestSimulator)
#include "tst_simulator.moc"
