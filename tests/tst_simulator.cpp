// The simulator as its users meet it: devices sharing an address collide on the line, a device
// at another rate hears nothing; a safe --link, and power cuts; scenario files it refuses.
#include "simbusthread.h"
#include "simcontrol.h"

#include "datatable.h"

#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

namespace {
constexpr uint8_t kAddress = 0x1A;
constexpr int kAnswerTimeoutMs = 2000;
constexpr int kExitUsage = 2; // the simulator refused its arguments
} // namespace

class TestSimulator : public QObject
{
    Q_OBJECT

private slots:
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
        SimBusOptions options;
        options.paced = paced;
        SimBusThread bus(options);
        QVERIFY(bus.start());
        bus.addDevice(SimDeviceConfig::at(kAddress, "Door"));
        bus.addDevice(SimDeviceConfig::at(kAddress, "Door reader"));
        SimDeviceConfig deaf = SimDeviceConfig::at(kAddress, "Gate");
        deaf.settings.baudIndex = uint8_t(simBaudIndexOf(9600));
        bus.addDevice(deaf);

        // Opened as a plain termios program opens it: no lock, 115200 baud.
        const int fd = ::open(QFile::encodeName(bus.portPath()), O_RDWR | O_NOCTTY | O_NONBLOCK);
        termios line{};
        QVERIFY(fd >= 0 && tcgetattr(fd, &line) == 0 && cfsetspeed(&line, B115200) == 0 &&
                tcsetattr(fd, TCSANOW, &line) == 0);
        const QByteArray shorter = wireFrame(kAddress, hex("000A") + "Door");
        QByteArray collided = wireFrame(kAddress, hex("000A") + "Door reader");
        for (int i = 0; i < shorter.size(); ++i)
            collided[i] = char(collided[i] & shorter[i]);
        QCOMPARE(::write(fd, wireFrame(kAddress, hex("0A")).constData(), 9), 9);
        QByteArray received;
        char buffer[256];
        QTRY_VERIFY_WITH_TIMEOUT(
            (received += QByteArray(buffer, int(qMax(ssize_t(0), ::read(fd, buffer, 256)))))
                    .size() >= collided.size(),
            kAnswerTimeoutMs);
        ::close(fd);
        QCOMPARE(received.toHex(), collided.toHex());

        const QString state =
            bus.run([](SimBus &target) { return SimControl::execute(target, "state 1A"); });
        QVERIFY2(state.contains("baud=9600") &&
                     state.endsWith("1A shared by 2 devices at 115200 baud: their answers collide"),
                 qPrintable(state));
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

    void scenarioFileRefused_data()
    {
        // content: the file's text, none for a missing file; message: after "FILE: "
        addColumns<QString, QString>({"content", "message"});
        addRow("missing file", QString(), "No such file or directory");
        addRow("neither device nor bus", "# readers\n\ndevices addr=01",
               "line 3: expected 'device' or 'bus', found 'devices'");
        addRow("pair without =", "device addr=01,term", "line 1: 'term' is not key=value");
        addRow("device key on the bus", "device addr=01\nbus addr=02",
               "line 2: unknown key 'addr'");
        addRow("rate not in the table", "device baud=12345", "line 1: bad value '12345' for baud");
        addRow("bad seed", "bus crcrate=0.5,seed=x", "line 1: bad seed");
    }

    void scenarioFileRefused()
    {
        QFETCH(QString, content);
        QFETCH(QString, message);
        QTemporaryDir dir;
        QFile file(dir.filePath("readers.bus"));
        QVERIFY(content.isNull() ||
                (file.open(QIODevice::WriteOnly) &&
                 file.write(content.toUtf8()) == content.size() && file.flush()));
        QProcess sim;
        sim.start(QStringLiteral(TALVIK_BUS_SIM), {"--scenario", file.fileName()});
        QVERIFY(sim.waitForFinished(kAnswerTimeoutMs));
        QCOMPARE(sim.exitCode(), kExitUsage);
        QCOMPARE(QString::fromLocal8Bit(sim.readAllStandardError()),
                 "talvik-bus-sim: " + file.fileName() + ": " + message + '\n');
    }
};

QTEST_GUILESS_MAIN(TestSimulator)
#include "tst_simulator.moc"
