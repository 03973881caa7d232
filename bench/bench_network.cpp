// Buses behind Debian's ser2net on loopback, against the same buses reached directly: the round
// trip of one request, a paced 256 KiB flash against the line's stop-and-wait bound (also
// through TLS), an empty bus scanned, eight buses flashed at once, one talvik-ota-cli per bus
// started by xargs -P, and the time from the start of the program to its first request on the
// line through plain RFC 2217 and through TLS.

#include "deviceclient.h"
#include "devicecommand.h"
#include "flashbound.h"
#include "ser2net.h"
#include "simbusthread.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>

#include <benchmark/benchmark.h>

#include <algorithm>
#include <memory>
#include <vector>

namespace {

constexpr uint8_t kDeviceAddress = 0x80;
constexpr int kLargeImage = 256 * 1024;
constexpr int kBusImage = 64 * 1024;
constexpr int kRoundTrips = 500;
constexpr int kRoundTripLimitMs = 500;
constexpr int kBuses = 8;
constexpr int kRunTimeoutMs = 180000;
constexpr int kStartupRuns = 20;

enum Route { Direct, ThroughRfc2217, ThroughTls };

// A simulated bus with one device, reached directly or through ser2net's RFC 2217 port, plain or
// through TLS (the server pinned, the technician's certificate).
struct Bench
{
    SimBusThread bus;
    std::unique_ptr<Ser2net> server;
    QString port;

    Bench(Route route, bool paced, bool withDevice = true)
        : bus([paced] {
              SimBusOptions options;
              options.paced = paced;
              return options;
          }())
    {
        if (!bus.start())
            return;
        if (withDevice)
            bus.addDevice(SimDeviceConfig::at(kDeviceAddress));
        port = bus.portPath();
        if (route == Direct)
            return;
        server = std::make_unique<Ser2net>(bus.portPath(),
                                           route == ThroughTls ? Ser2net::Tls : Ser2net::Plain);
        if (!server->start().isEmpty())
            port.clear();
        else
            port = route == ThroughTls ? server->tlsRfc2217Url() : server->rfc2217Url();
    }
};

QString imageFile(QTemporaryDir &dir, int size)
{
    QFile file(dir.filePath(QStringLiteral("image-%1.bin").arg(size)));
    if (!file.open(QIODevice::WriteOnly) ||
        file.write(simImage(QStringLiteral("NET-BENCH"), size)) != size)
        return QString();
    return file.fileName();
}

// Runs talvik-ota-cli (or a shell line); wall time in ms, or -1 when it failed.
double timedRun(const QString &program, const QStringList &arguments, QByteArray *output = nullptr)
{
    QProcess run;
    QElapsedTimer wall;
    wall.start();
    run.start(program, arguments);
    if (!run.waitForFinished(kRunTimeoutMs) || run.exitStatus() != QProcess::NormalExit)
        return -1;
    if (output)
        *output = run.readAllStandardOutput();
    return run.exitCode() == 0 || program != QLatin1String(TALVIK_CLI_PATH) || !output
               ? static_cast<double>(wall.nsecsElapsed()) / 1e6
               : -1;
}

// One version request and its answer, as the command line sees it; median and slowest.
void BM_RoundTrip(benchmark::State &state)
{
    Bench bench(Route(state.range(0)), false);
    DeviceClient client;
    if (bench.port.isEmpty() || !client.open(bench.port, kLineBaud)) {
        state.SkipWithError("no bus");
        return;
    }
    client.setDeviceAddress(kDeviceAddress);
    std::vector<double> times;
    for (auto _ : state) {
        times.clear();
        for (int i = 0; i < kRoundTrips; ++i) {
            QElapsedTimer clock;
            clock.start();
            if (!client.exchange(buildCommand(CmdGetVersion), kRoundTripLimitMs).isAnswered()) {
                state.SkipWithError("no answer");
                return;
            }
            times.push_back(static_cast<double>(clock.nsecsElapsed()) / 1e6);
        }
        std::sort(times.begin(), times.end());
        state.SetIterationTime(times[times.size() / 2] / kMsPerSecond);
    }
    state.counters["median_ms"] = times[times.size() / 2];
    state.counters["slowest_ms"] = times.back();
}

void BM_FlashPaced(benchmark::State &state)
{
    QTemporaryDir dir;
    const QString image = imageFile(dir, kLargeImage);
    const double boundMs = lineBoundMs(kLargeImage);
    for (auto _ : state) {
        Bench bench(Route(state.range(0)), true);
        QByteArray output;
        const double wallMs = timedRun(
            TALVIK_CLI_PATH,
            {"--quiet", "--port", bench.port, "flash", image, hexByte(kDeviceAddress)}, &output);
        const double ms = transferMs(bench.bus.trace());
        if (bench.port.isEmpty() || wallMs < 0 || ms <= 0.0) {
            state.SkipWithError("flash failed");
            return;
        }
        state.SetIterationTime(ms / kMsPerSecond);
        state.counters["whole_run_ms"] = wallMs;
        state.counters["fraction_of_bound"] = boundMs / ms;
    }
}

void BM_ScanEmptyBus(benchmark::State &state)
{
    for (auto _ : state) {
        Bench bench(Route(state.range(0)), true, false);
        const double ms = timedRun(TALVIK_CLI_PATH, {"--quiet", "--port", bench.port, "scan"});
        if (bench.port.isEmpty() || ms < 0) {
            state.SkipWithError("scan failed");
            return;
        }
        state.SetIterationTime(ms / kMsPerSecond);
    }
}

// Each bus behind its own ser2net; the JSON lines of all the runs together on standard output.
void BM_BusesAtOnce(benchmark::State &state)
{
    QTemporaryDir dir;
    const QString image = imageFile(dir, kBusImage);
    const int buses = static_cast<int>(state.range(0));
    for (auto _ : state) {
        std::vector<std::unique_ptr<Bench>> benches;
        QStringList ports;
        for (int i = 0; i < buses; ++i) {
            benches.push_back(std::make_unique<Bench>(ThroughRfc2217, true));
            ports << benches.back()->port;
        }
        QFile list(dir.filePath(QStringLiteral("ports")));
        if (ports.contains(QString()) || !list.open(QIODevice::WriteOnly) ||
            list.write(ports.join('\n').toUtf8() + '\n') < 0) {
            state.SkipWithError("no buses");
            return;
        }
        list.close();
        QByteArray output;
        const double ms = timedRun(
            QStringLiteral("sh"),
            {"-c", QStringLiteral("xargs -P %1 -I{} %2 --json --quiet --port {} flash %3 %4 < %5")
                       .arg(buses)
                       .arg(QLatin1String(TALVIK_CLI_PATH), image, hexByte(kDeviceAddress),
                            list.fileName())},
            &output);
        if (ms < 0 || output.count("\"result\":\"ok\"") != buses) {
            state.SkipWithError("a bus was not flashed");
            return;
        }
        state.SetIterationTime(ms / kMsPerSecond);
    }
}

// Process start to the first request on the line, both on the simulator's millisecond clock; the
// TLS handshake counts in it.
void BM_StartupToFirstRequest(benchmark::State &state)
{
    Bench bench(Route(state.range(0)), false);
    double slowestMs = 0.0;
    for (auto _ : state) {
        bench.bus.clearTrace();
        const qint64 startMs = bench.bus.run([](SimBus &target) { return target.nowMs(); });
        QByteArray output;
        const double wallMs =
            timedRun(TALVIK_CLI_PATH,
                     {"--quiet", "--port", bench.port, "info", hexByte(kDeviceAddress)}, &output);
        const QVector<SimTraceEntry> trace = bench.bus.trace();
        if (bench.port.isEmpty() || wallMs < 0 || trace.isEmpty()) {
            state.SkipWithError("info failed");
            return;
        }
        const double ms = static_cast<double>(trace.first().timeUs) / kUsPerMs - startMs;
        slowestMs = std::max(slowestMs, ms);
        state.SetIterationTime(ms / kMsPerSecond);
    }
    state.counters["slowest_ms"] = slowestMs;
}

} // namespace

BENCHMARK(BM_RoundTrip)
    ->Arg(Direct)
    ->Arg(ThroughRfc2217)
    ->Iterations(1)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_FlashPaced)
    ->Arg(Direct)
    ->Arg(ThroughRfc2217)
    ->Arg(ThroughTls)
    ->Iterations(1)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ScanEmptyBus)
    ->Arg(Direct)
    ->Arg(ThroughRfc2217)
    ->Iterations(1)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_StartupToFirstRequest)
    ->Arg(ThroughRfc2217)
    ->Arg(ThroughTls)
    ->Iterations(kStartupRuns)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_BusesAtOnce)
    ->Arg(1)
    ->Arg(kBuses)
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
