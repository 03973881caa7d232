// Why the rollout playbook runs talvik-ota-cli at the gateway: a paced 256 KiB flash through
// ser2net's RFC 2217 port from the gateway itself (loopback), and from a desk whose link to the
// gateway adds 0, 10 or 40 ms of round trip, against the line's stop-and-wait bound plus one round
// trip per chunk. The added round trip is a relay in this process that holds back every chunk
// of bytes by half of it in each direction (tc netem, where a kernel has it, would do the same).

#include "devicecommand.h"
#include "flashbound.h"
#include "ser2net.h"
#include "simbusthread.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QThread>
#include <QTimer>

#include <benchmark/benchmark.h>

#include <algorithm>
#include <memory>

namespace {

constexpr uint8_t kDeviceAddress = 0x80;
constexpr int kImageSize = 256 * 1024;
constexpr int kChunkCount = kImageSize / kFirmwareChunkSize;
// 1024 chunks at 24 ms of line time and up to 40 ms of round trip each, with the pauses.
constexpr int kRunTimeoutMs = 180000;
constexpr int kAtGateway = -1; // the benchmark's argument for a run without the relay

// Accepts connections on a free loopback port and forwards each to the server's port; every
// chunk of bytes is sent on oneWayMs after it came, in order (equal delays fire in turn).
void relayConnections(QTcpServer *relay, quint16 serverPort, int oneWayMs)
{
    QObject::connect(relay, &QTcpServer::newConnection, relay, [=] {
        while (QTcpSocket *client = relay->nextPendingConnection()) {
            auto *server = new QTcpSocket(client);
            // No Nagle delay on either side; an unconnected socket would forget the option.
            client->setSocketOption(QAbstractSocket::LowDelayOption, 1);
            QObject::connect(server, &QTcpSocket::connected, server, [server] {
                server->setSocketOption(QAbstractSocket::LowDelayOption, 1);
            });
            const auto forward = [oneWayMs](QTcpSocket *from, QTcpSocket *to) {
                QObject::connect(from, &QTcpSocket::readyRead, to, [=] {
                    const QByteArray bytes = from->readAll();
                    QTimer::singleShot(oneWayMs, Qt::PreciseTimer, to,
                                       [to, bytes] { to->write(bytes); });
                });
                QObject::connect(from, &QTcpSocket::disconnected, to, [=] {
                    QTimer::singleShot(oneWayMs, Qt::PreciseTimer, to,
                                       [to] { to->disconnectFromHost(); });
                });
            };
            forward(client, server);
            forward(server, client);
            QObject::connect(client, &QTcpSocket::disconnected, client, &QObject::deleteLater);
            server->connectToHost(QHostAddress::LocalHost, serverPort);
        }
    });
}

// The relay on a thread of its own: the benchmark's thread blocks while the command line runs.
class DelayingRelay
{
public:
    DelayingRelay(quint16 serverPort, int oneWayMs)
    {
        thread.start();
        QMetaObject::invokeMethod(
            anchor.get(),
            [&] {
                auto *relay = new QTcpServer(anchor.get());
                relayConnections(relay, serverPort, oneWayMs);
                port = relay->listen(QHostAddress::LocalHost) ? relay->serverPort() : 0;
            },
            Qt::BlockingQueuedConnection);
    }
    ~DelayingRelay()
    {
        QObject *object = anchor.release();
        QMetaObject::invokeMethod(
            object, [object] { delete object; }, Qt::BlockingQueuedConnection);
        thread.quit();
        thread.wait();
    }
    quint16 port = 0;

private:
    QThread thread;
    std::unique_ptr<QObject> anchor{[this] {
        auto *object = new QObject;
        object->moveToThread(&thread);
        return object;
    }()};
};

// One device on a paced bus behind ser2net, flashed by the command line from the gateway or
// through the relay; the argument is the added round trip in ms.
void BM_FlashAcrossRoundTrip(benchmark::State &state)
{
    const int roundTripMs = static_cast<int>(state.range(0));
    QTemporaryDir dir;
    QFile image(dir.filePath(QStringLiteral("image.bin")));
    if (!image.open(QIODevice::WriteOnly) ||
        image.write(simImage(QStringLiteral("WAN-BENCH"), kImageSize)) != kImageSize) {
        state.SkipWithError("cannot write the image");
        return;
    }
    image.close();
    for (auto _ : state) {
        SimBusThread bus;
        if (!bus.start()) {
            state.SkipWithError("no bus");
            return;
        }
        bus.addDevice(SimDeviceConfig::at(kDeviceAddress));
        Ser2net server(bus.portPath());
        if (!server.start().isEmpty()) {
            state.SkipWithError("ser2net did not start");
            return;
        }
        QString port = server.rfc2217Url();
        std::unique_ptr<DelayingRelay> relay;
        if (roundTripMs != kAtGateway) {
            relay =
                std::make_unique<DelayingRelay>(port.section(':', -1).toUShort(), roundTripMs / 2);
            port = QStringLiteral("rfc2217://127.0.0.1:%1").arg(relay->port);
        }
        QProcess cli;
        QElapsedTimer wall;
        wall.start();
        cli.start(QStringLiteral(TALVIK_CLI_PATH),
                  {"--quiet", "--port", port, "flash", image.fileName(), hexByte(kDeviceAddress)});
        const bool done = cli.waitForFinished(kRunTimeoutMs) && cli.exitCode() == 0;
        const double wallMs = static_cast<double>(wall.nsecsElapsed()) / 1e6;
        const double ms = transferMs(bus.trace());
        if (!done || ms <= 0.0) {
            state.SkipWithError("flash failed");
            return;
        }
        const double boundMs = lineBoundMs(kImageSize) + kChunkCount * std::max(roundTripMs, 0);
        state.SetIterationTime(ms / kMsPerSecond);
        state.counters["whole_run_ms"] = wallMs;
        state.counters["bound_ms"] = boundMs;
        state.counters["fraction_of_bound"] = boundMs / ms;
    }
}

} // namespace

BENCHMARK(BM_FlashAcrossRoundTrip)
    ->Arg(kAtGateway)
    ->Arg(0)
    ->Arg(10)
    ->Arg(40)
    ->Iterations(1)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    benchmark::RunSpecifiedBenchmarks();
    return 0;
}
