// The simulator program as its users start it: a safe --link, and power cuts.
#include <QtTest>

namespace {
constexpr int kAnswerTimeoutMs = 2000;
} // namespace

class TestSimulator : public QObject
{
    Q_OBJECT

private slots:
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
