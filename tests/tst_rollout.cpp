// The Ansible playbook of deploy/ansible run for real: three gateways that are local connections,
// each with its own simulated bus, the second one's behind ser2net.
#include "e2efixture.h"
#include "minisigner.h"
#include "ser2net.h"

namespace {
constexpr int kGateways = 3;
constexpr int kImageSize = 1000;
// A run flashes up to two devices in a row, each with its bootloader and restart pauses.
constexpr int kPlayTimeoutMs = 120000;
const QStringList kAddresses[kGateways] = {{"01", "1A"}, {"80"}, {"80"}};
} // namespace

class TestRollout : public QObject
{
    Q_OBJECT

    QTemporaryDir dir;
    std::unique_ptr<SimBusThread> buses[kGateways];
    std::unique_ptr<Ser2net> server;
    QString ports[kGateways];
    QString output;

    // ansible-playbook with these extra variables (JSON, %1 the test's folder): its exit code.
    int play(const QString &variables, const QStringList &options = {})
    {
        QProcess run;
        run.setProcessChannelMode(QProcess::MergedChannels);
        run.setWorkingDirectory(dir.path());
        run.start("ansible-playbook",
                  QStringList{"-i", dir.filePath("inventory.yml"), TALVIK_PLAYBOOK, "-e",
                              variables.arg(dir.path())} +
                      options);
        const bool finished = run.waitForFinished(kPlayTimeoutMs);
        output = QString::fromUtf8(run.readAll());
        return finished ? run.exitCode() : -1;
    }
    // Each gateway with its bus and addresses, or with the YAML given for it instead.
    bool writeInventory(const QStringList &instead = {})
    {
        QString hosts;
        for (int i = 0; i < kGateways; ++i) {
            const QString bus = QString("talvik_buses: [{port: '%1', addresses: ['%2']}]")
                                    .arg(ports[i], kAddresses[i].join("', '"));
            hosts += QString("gw%1: {talvik_remote_dir: %2/gw%1, %3}, ")
                         .arg(i + 1)
                         .arg(dir.path(), instead.value(i, bus));
        }
        QFile file(dir.filePath("inventory.yml"));
        return file.open(QIODevice::WriteOnly) &&
               file.write(
                   "gateways: {vars: {ansible_connection: local, ansible_python_interpreter: "
                   "/usr/bin/python3, talvik_cli: " TALVIK_CLI_PATH "}, hosts: {" +
                   hosts.toUtf8() + "}}") > 0;
    }
    // The pattern once per device in the order of gateways and addresses, which sorts them: $G
    // the gateway, $P the port, $A the address.
    QStringList perDevice(const QString &pattern) const
    {
        QStringList lines;
        for (int i = 0; i < kGateways; ++i)
            for (const QString &address : kAddresses[i])
                lines << QString(pattern)
                             .replace("$G", QString("gw%1").arg(i + 1))
                             .replace("$P", ports[i])
                             .replace("$A", address);
        return lines;
    }
    QStringList results() const
    {
        QFile file(dir.filePath("talvik-results.jsonl"));
        QStringList lines =
            QString(file.open(QIODevice::ReadOnly) ? file.readAll() : "").split('\n');
        lines.sort();
        return lines.mid(1); // the empty one behind the last line
    }
    static QStringList onEveryBus(const QString &kinds) { return {kinds, kinds, kinds}; }
    // The kinds of request each bus heard, sorted, as "09 0A"; clears the traces.
    QStringList requests()
    {
        QStringList kinds;
        for (auto &bus : buses) {
            QStringList wire = E2e::wire(*bus);
            wire.removeDuplicates();
            wire.sort();
            kinds << wire.join(' ');
            bus->clearTrace();
        }
        return kinds;
    }

private slots:
    void initTestCase()
    {
        // Ansible's own state stays in the test's folder.
        for (const char *name : {"HOME", "ANSIBLE_LOCAL_TEMP", "ANSIBLE_REMOTE_TEMP"})
            qputenv(name, dir.filePath("ansible").toUtf8());
        for (int i = 0; i < kGateways; ++i) {
            buses[i] = std::make_unique<SimBusThread>(E2e::fastBus());
            QVERIFY(buses[i]->start());
            for (const QString &address : kAddresses[i])
                buses[i]->addDevice(SimDeviceConfig::at(uint8_t(address.toUInt(nullptr, 16))));
            ports[i] = buses[i]->portPath();
        }
        server = std::make_unique<Ser2net>(ports[1]);
        QCOMPARE(server->start(), QString());
        ports[1] = server->rfc2217Url();
        QFile v1(dir.filePath("v1.bin")), v2(dir.filePath("v2.bin"));
        QVERIFY(v1.open(QIODevice::WriteOnly) && v1.write(simImage("APP 2.5.0", kImageSize)) > 0 &&
                v2.open(QIODevice::WriteOnly) && v2.write(simImage("APP 2.6.0", kImageSize)) > 0 &&
                writeInventory());
    }

    void campaign()
    {
        const QString v1 = R"({"talvik_image": "%1/v1.bin", "talvik_version": "APP 2.5.0",
            "talvik_install_package": false, "talvik_batches": [1, 2]})";
        const QString result =
            R"({"gateway":"$G","address":"$A","port":"$P","result":"%1","version":"APP 2.%2.0"})";
        // Check mode surveys each bus and writes nothing anywhere.
        QVERIFY2(play(v1, {"--check"}) == 0, qPrintable(output));
        for (const QString &line : perDevice("$P $A: would be flashed, runs APP 1.0.0"))
            QVERIFY2(output.contains(line), qPrintable(line + '\n' + output));
        QVERIFY(!QFileInfo::exists(dir.filePath("talvik-results.jsonl")) &&
                !QFileInfo::exists(dir.filePath("gw1")));
        QCOMPARE(requests(), onEveryBus("09 0A 0C"));

        QElapsedTimer clock;
        clock.start();
        QVERIFY2(play(v1) == 0, qPrintable(output));
        const qint64 firstMs = clock.restart();
        QCOMPARE(results(), perDevice(result.arg("ok").arg(5)));
        QCOMPARE(requests(), onEveryBus("09 F0 F1 F2:232 F2:256 F3"));

        // The rerun finds every device current and writes to none.
        QVERIFY2(play(v1) == 0, qPrintable(output));
        qInfo("rollout of three gateways %lld ms, its rerun %lld ms", firstMs, clock.elapsed());
        QCOMPARE(output.count(QRegularExpression("gw\\d +: ok=\\d+ +changed=0 ")), kGateways);
        QCOMPARE(results(), perDevice(result.arg("current").arg(5)));
        QCOMPARE(requests(), onEveryBus("09"));

        // One device refuses the next image: its gateway fails, the batch after it never starts.
        SimFaults rejects;
        rejects.errorCommand = CmdFinishFirmware;
        buses[0]->setDeviceFaults(0, rejects);
        const QString v2 = R"({"talvik_image": "%1/v2.bin", "talvik_version": "APP 2.6.0",
            "talvik_batches": [2, 1], "talvik_max_fail_percentage": 0})";
        QCOMPARE(play(v1, {"-e", v2.arg(dir.path())}), 2);
        QVERIFY2(output.contains("fatal: [gw1]: FAILED!") && output.contains("image rejected"),
                 qPrintable(output));
        const QString rejected =
            R"j({"gateway":"$G","address":"$A","port":"$P","reason":"image rejected (error )j"
            R"j(answer to the finish request: Error received to command 0xF3 - err no :0x00EE)",)j"
            R"j("result":"failed"})j";
        // gw1's first device refused it, its second and gw2's took it, gw3 was never asked.
        QCOMPARE(results(),
                 perDevice(rejected).mid(0, 1) + perDevice(result.arg("ok").arg(6)).mid(1, 2));
        QCOMPARE(requests().last(), QString());

        // An incomplete inventory is named before any gateway is touched.
        QVERIFY(writeInventory(
            {"talvik_buses: [{port: /dev/bus1, addresses: []}]", "other: 1", "other: 1"}));
        QCOMPARE(play(v1), 2);
        QVERIFY2(output.contains("gw1, bus /dev/bus1: no addresses") &&
                     output.contains("gw3 lists no buses (talvik_buses)"),
                 qPrintable(output));
        QCOMPARE(requests(), onEveryBus(QString()));
    }

    // The maker's key installed on every gateway: an image changed after signing is refused
    // before any device hears of it, in check mode too; the signed one is flashed.
    void signedRollout()
    {
        QVERIFY(writeInventory());
        buses[0]->setDeviceFaults(0, SimFaults());
        const QByteArray image = simImage("APP 2.7.0", kImageSize);
        QFile file(dir.filePath("v3.bin"));
        QVERIFY(Minisigner::makeKeyPair(dir.path(), "maker") &&
                QFile::setPermissions(dir.filePath("maker.pub"), QFile::ReadOwner) &&
                file.open(QIODevice::WriteOnly) && file.write(image) > 0 && file.flush() &&
                Minisigner::sign(dir.filePath("maker.key"), file.fileName(), "version:APP 2.7.0") &&
                file.write("!") == 1 && file.flush());
        const QString variables = R"({"talvik_image": "%1/v3.bin", "talvik_version": "APP 2.7.0",
            "talvik_install_package": false, "talvik_trusted_keys": ["%1/maker.pub"],
            "talvik_trusted_keys_dir": "{{ talvik_remote_dir }}/keys", "talvik_batches": [3]})";
        const QString mismatch = "the image does not match its signature";

        QCOMPARE(play(variables, {"--check"}), 2);
        QVERIFY2(output.contains("fatal: [gw1]: FAILED!") && output.contains(mismatch),
                 qPrintable(output));
        QCOMPARE(requests(), onEveryBus(QString()));
        QVERIFY(!QFileInfo::exists(dir.filePath("gw1/keys")));

        QCOMPARE(play(variables), 2);
        QCOMPARE(results().filter("image refused: " + mismatch).size(), 4);
        QCOMPARE(requests(), onEveryBus(QString()));
        QVERIFY(QFileInfo(dir.filePath("gw1/keys/maker.pub")).isFile());

        QVERIFY(file.resize(image.size()));
        QVERIFY2(play(variables) == 0, qPrintable(output));
        QCOMPARE(results(), perDevice(R"({"gateway":"$G","address":"$A","port":"$P",)"
                                      R"("result":"ok","version":"APP 2.7.0"})"));
    }
};

QTEST_GUILESS_MAIN(TestRollout)
#include "tst_rollout.moc"
