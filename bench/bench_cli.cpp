// talvik-ota-cli as scripts run it, against the simulator: firmware transfer against the line's
// stop-and-wait bound, scan times (also over every rate), and the time from process start to the
// first request.

#include "devicecommand.h"
#include "exchangetiming.h"
#include "flashbound.h"
#include "simbusthread.h"
#include "simscenario.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>

#include <benchmark/benchmark.h>

#include <algorithm>

namespace {

constexpr uint8_t kDeviceAddress = 0x80;
constexpr int kImageSize = 256 * 1024;
constexpr int kChunkCount = kImageSize / kFirmwareChunkSize;
constexpr int kAddressCount = 256;
constexpr int kScanProbeMs = 100;
constexpr int kShortProbeMs = 20;
constexpr int kDemoDeviceCount = 3;
// Readers at three of the six rates for the scan over every rate.
const char *const kReadersAtRates[] = {"addr=01,baud=9600,name=Nine",
                                       "addr=80,baud=57600,name=Fifty", "addr=FE,name=Fast"};
constexpr int kRateMarginMs = 20;
// 1024 paced chunks at about 24 ms each, the bootloader start and the restart; a scan over every
// rate takes a little over two minutes.
constexpr int kRunTimeoutMs = 300000;

struct CliRun
{
    int exitCode = -1;
    QStringList lines;
    double wallMs = 0.0;
};

CliRun runCli(const QStringList &arguments)
{
    CliRun run;
    QProcess cli;
    QElapsedTimer wall;
    wall.start();
    cli.start(QStringLiteral(TALVIK_CLI_PATH), arguments);
    if (!cli.waitForFinished(kRunTimeoutMs))
        return run;
    run.wallMs = static_cast<double>(wall.nsecsElapsed()) / 1e6;
    run.exitCode = cli.exitStatus() == QProcess::NormalExit ? cli.exitCode() : -1;
    run.lines = QString::fromUtf8(cli.readAllStandardOutput()).split('\n', Qt::SkipEmptyParts);
    return run;
}

bool startBus(SimBusThread &bus, benchmark::State &state)
{
    QString error;
    if (bus.start(&error))
        return true;
    state.SkipWithError(qPrintable(error));
    return false;
}

QByteArray benchImage()
{
    return simImage(QStringLiteral("BENCH-256K"), kImageSize);
}

void BM_FlashPaced115200(benchmark::State &state)
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("bench.bin"));
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(benchImage()) != kImageSize) {
        state.SkipWithError("cannot write the image");
        return;
    }
    file.close();
    for (auto _ : state) {
        SimBusThread bus;
        if (!startBus(bus, state))
            return;
        bus.addDevice(SimDeviceConfig::at(kDeviceAddress));
        const CliRun run =
            runCli({"--quiet", "--port", bus.portPath(), "flash", path, hexByte(kDeviceAddress)});
        const double ms = transferMs(bus.trace());
        if (run.exitCode != 0 || ms <= 0.0) {
            state.SkipWithError("flash failed");
            return;
        }
        state.SetIterationTime(ms / kMsPerSecond);
        state.counters["whole_run_ms"] = run.wallMs;
        state.counters["bound_ms"] = lineBoundMs(kImageSize);
        state.counters["fraction_of_bound"] = lineBoundMs(kImageSize) / ms;
    }
}

void BM_ScanEmptyBus(benchmark::State &state)
{
    for (auto _ : state) {
        SimBusThread bus;
        if (!startBus(bus, state))
            return;
        const CliRun run = runCli({"--quiet", "--port", bus.portPath(), "scan"});
        if (run.exitCode != 1 || !run.lines.isEmpty()) {
            state.SkipWithError("an empty bus answered");
            return;
        }
        state.SetIterationTime(run.wallMs / kMsPerSecond);
        state.counters["over_probe_limits_percent"] =
            (run.wallMs / (kAddressCount * kScanProbeMs) - 1.0) * 100.0;
    }
}

void BM_ScanDemoBusShortTimeout(benchmark::State &state)
{
    QFile file(QStringLiteral(TALVIK_DEMO_BUS));
    SimSetup::Scenario scenario;
    QString error;
    if (!file.open(QIODevice::ReadOnly) ||
        !SimSetup::parseScenario(QString::fromUtf8(file.readAll()), SimDeviceConfig(), &scenario,
                                 &error)) {
        state.SkipWithError("cannot read the demo bus");
        return;
    }
    for (auto _ : state) {
        SimBusThread bus;
        if (!startBus(bus, state))
            return;
        for (const SimDeviceConfig &config : scenario.devices)
            bus.addDevice(config);
        const CliRun run = runCli({"--quiet", "--port", bus.portPath(), "scan", "--timeout",
                                   QString::number(kShortProbeMs)});
        if (run.exitCode != 0 || run.lines.size() != kDemoDeviceCount) {
            state.SkipWithError("not every demo device was found");
            return;
        }
        state.SetIterationTime(run.wallMs / kMsPerSecond);
    }
}

// The sum of the six rates' probe times, as the command line sets them, for every address.
double allRatesProbeMs()
{
    double sum = 0.0;
    for (int rate : kBaudRates)
        sum += identificationWireTimeMs(rate) + ExchangeTiming::kIdentificationAnswerTimeMs +
               kRateMarginMs;
    return sum * kAddressCount;
}

void BM_ScanAllRatesPaced(benchmark::State &state)
{
    for (auto _ : state) {
        SimBusThread bus;
        if (!startBus(bus, state))
            return;
        for (const char *keys : kReadersAtRates) {
            SimDeviceConfig config;
            SimSetup::parseDevice(QLatin1String(keys), &config, nullptr);
            bus.addDevice(config);
        }
        const CliRun run = runCli({"--quiet", "--port", bus.portPath(), "scan", "--rates", "all",
                                   "--timeout", QString::number(kRateMarginMs)});
        if (run.exitCode != 0 || run.lines.size() != int(std::size(kReadersAtRates))) {
            state.SkipWithError("not every reader was found at its rate");
            return;
        }
        state.SetIterationTime(run.wallMs / kMsPerSecond);
        state.counters["probe_sum_ms"] = allRatesProbeMs();
        state.counters["times_probe_sum"] = run.wallMs / allRatesProbeMs();
    }
}

// Process start to the first request on the line, both on the simulator's millisecond clock.
void BM_StartupToFirstRequest(benchmark::State &state)
{
    SimBusOptions options;
    options.paced = false;
    SimBusThread bus(options);
    if (!startBus(bus, state))
        return;
    bus.addDevice(SimDeviceConfig::at(kDeviceAddress));
    double slowestMs = 0.0;
    for (auto _ : state) {
        bus.clearTrace();
        const qint64 startMs = bus.run([](SimBus &target) { return target.nowMs(); });
        const CliRun run =
            runCli({"--quiet", "--port", bus.portPath(), "info", hexByte(kDeviceAddress)});
        const QVector<SimTraceEntry> trace = bus.trace();
        if (run.exitCode != 0 || trace.isEmpty()) {
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

BENCHMARK(BM_FlashPaced115200)->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ScanEmptyBus)->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ScanDemoBusShortTimeout)
    ->Iterations(1)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ScanAllRatesPaced)->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_StartupToFirstRequest)
    ->Iterations(20)
    ->Repetitions(3)
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
