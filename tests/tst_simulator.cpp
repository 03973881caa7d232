// What the tool's tests rely on in the simulator and cannot see themselves: line pacing, restart
// silence, the rate a device hears, and clients other than QSerialPort.
#include "devicecommand.h"
#include "simbusthread.h"
#include "simcontrol.h"

#include "datatable.h"

#include <memory>

#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

namespace {

constexpr uint8_t kAddress = 0x1A;
constexpr int kAnswerTimeoutMs = 2000;

const QByteArray kVersionRequestTo01 = hex("F50400FBFF010917BF");

// Opened as termios programs and scripts open a port: no exclusive lock, only the speed.
int openPlain(const QString &path, speed_t speed = B115200)
{
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    termios line{};
    if (fd >= 0 && tcgetattr(fd, &line) == 0 && cfsetspeed(&line, speed) == 0)
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

    std::unique_ptr<SimBusThread> bus;
    int deviceId = -1;
    int fd = -1;

    // A bus with this one device and a client on its port.
    bool start(const SimDeviceConfig &config, bool paced, speed_t speed = B115200)
    {
        SimBusOptions options;
        options.paced = paced;
        bus = std::make_unique<SimBusThread>(options);
        deviceId = bus->start() ? bus->addDevice(config) : -1;
        return deviceId >= 0 && (fd = openPlain(bus->portPath(), speed)) >= 0;
    }
    // Sends the payload and waits for a whole answer frame; its time in ms, -1 when none came.
    qint64 exchange(const QByteArray &payload)
    {
        QByteArray answer;
        QElapsedTimer clock;
        clock.start();
        if (::write(fd, wireFrame(kAddress, payload).constData(), payload.size() + 8) < 0)
            return -1;
        const auto whole = [&] {
            answer += readWaiting(fd);
            return answer.size() > 5 &&
                   answer.size() >= 5 + (uchar(answer[1]) | uchar(answer[2]) << 8);
        };
        return QTest::qWaitFor(whole, kAnswerTimeoutMs) ? clock.elapsed() : -1;
    }

private slots:
    void cleanup()
    {
        ::close(fd);
        bus.reset();
    }

    void pacingTakesLineTime()
    {
        // 9 request bytes plus a 118-byte answer at 9600 baud: about 132 ms on the wire.
        constexpr int kNameLength = 108;
        constexpr qint64 kLineTimeMs = (9 + 10 + kNameLength) * 10 * 1000 / 9600;
        SimDeviceConfig config = SimDeviceConfig::at(kAddress, QString(kNameLength, 'n'));
        config.settings.baudIndex = uint8_t(baudIndexOf(9600));
        QVERIFY(start(config, true, B9600));

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
        QVERIFY(start(config, false));

        // At the client's first rate the device hears nothing.
        QCOMPARE(exchange(hex("09")), -1);
        QVERIFY(bus->trace().last().note.startsWith(QLatin1String("not heard")));
        ::close(fd);
        fd = openPlain(bus->portPath(), B9600);
        QVERIFY(exchange(hex("08")) >= 0);
        QElapsedTimer sinceAnswer;
        sinceAnswer.start();
        QCOMPARE(exchange(hex("09")), -1);
        QCOMPARE(bus->trace().last().note, QStringLiteral("device busy or restarting"));
        QTRY_VERIFY(sinceAnswer.elapsed() > kRestartMs);
        QVERIFY(exchange(hex("09")) >= 0);
        QCOMPARE(bus->device(deviceId).restartCount, 1);
    }

    void sharedAddressAnswersCollide_data()
    {
        addColumns<bool>({"paced"});
        addRow("paced", true);
        addRow("unpaced", false);
    }
    void sharedAddressAnswersCollide()
    {
        // Two readers at 1A on the line's rate, a third at 1A on another rate.
        QFETCH(bool, paced);
        QVERIFY(start(SimDeviceConfig::at(kAddress, "Door"), paced));
        bus->addDevice(SimDeviceConfig::at(kAddress, "Door reader"));
        SimDeviceConfig deaf = SimDeviceConfig::at(kAddress, "Gate");
        deaf.settings.baudIndex = uint8_t(baudIndexOf(9600));
        bus->addDevice(deaf);

        const QByteArray shorter = wireFrame(kAddress, hex("000A") + "Door");
        QByteArray line = wireFrame(kAddress, hex("000A") + "Door reader");
        for (int i = 0; i < shorter.size(); ++i)
            line[i] = char(line[i] & shorter[i]);
        QByteArray received;
        QCOMPARE(::write(fd, wireFrame(kAddress, hex("0A")).constData(), 9), 9);
        QTRY_VERIFY_WITH_TIMEOUT((received += readWaiting(fd)).size() >= line.size(),
                                 kAnswerTimeoutMs);
        QCOMPARE(received.toHex(), line.toHex());

        const QString state =
            bus->run([](SimBus &target) { return SimControl::execute(target, "state 1A"); });
        QVERIFY2(state.contains("baud=9600") &&
                     state.endsWith("1A shared by 2 devices at 115200 baud: their answers collide"),
                 qPrintable(state));
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

    void linkAndPowerCut()
    {
        // --link takes the place of a symbolic link, never of anything else.
        QTemporaryDir dir;
        const QString link = dir.filePath("bus");
        QFile precious(link);
        QVERIFY(precious.open(QIODevice::WriteOnly) && precious.write("keep") == 4);
        QProcess sim;
        sim.start(QStringLiteral(TALVIK_BUS_SIM), {"--link", link, "--empty"});
        QVERIFY(sim.waitForFinished(kAnswerTimeoutMs) && sim.exitCode() != 0);
        QVERIFY(sim.readAllStandardError().contains("exists and is not a symbolic link"));
        QVERIFY(precious.size() == 4 && precious.remove() && QFile::link("elsewhere", link));

        // A power cut: back in the application only where its image is whole.
        sim.start(QStringLiteral(TALVIK_BUS_SIM),
                  {"--link", link, "--device", "addr=01", "--device", "addr=02,bootloader=1"});
        QVERIFY(sim.waitForReadyRead(kAnswerTimeoutMs));
        QCOMPARE(QFile::symLinkTarget(link), QString::fromLocal8Bit(sim.readLine()).trimmed());
        sim.write("power all\nquit\n");
        QVERIFY(sim.waitForFinished(kAnswerTimeoutMs));
        const QString state = QString::fromLocal8Bit(sim.readAll());
        static const QRegularExpression cut(
            "^01 .* app .*restarting\n02 .* bootloader .*restarting\n$");
        QVERIFY2(cut.match(state).hasMatch(), qPrintable(state));
    }
};

QTEST_GUILESS_MAIN(TestSimulator)
#include "tst_simulator.moc"
