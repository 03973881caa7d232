// Firmware transfer of a 256 KiB image through the tool's window, its QSerialPort and a pty to
// the simulated bootloader. Unpaced: what one chunk exchange costs the tool, pty included.
// Paced at 115200 baud: the transfer time against the line's stop-and-wait bound.

#include "e2efixture.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QProgressBar>
#include <QTemporaryDir>

#include <benchmark/benchmark.h>

#include <algorithm>
#include <vector>

namespace {

constexpr uint8_t kDeviceAddress = 0x80;
constexpr int kImageSize = 256 * 1024;
constexpr int kChunkSize = 256;
constexpr int kChunkCount = kImageSize / kChunkSize;
constexpr int kLineBaud = 115200;
constexpr double kBitsPerByte = 10.0;
// Frame overhead: header, address and CRC.
constexpr int kFrameOverhead = 8;
constexpr int kChunkRequestBytes = 1 + kChunkSize + kFrameOverhead;
constexpr int kChunkAnswerBytes = 2 + kFrameOverhead;
constexpr double kMsPerSecond = 1000.0;
constexpr double kUsPerMs = 1000.0;
// 1024 paced chunks at about 24 ms each, plus the bootloader start and the restart.
constexpr int kTransferTimeoutMs = 60000;

double lineBoundMsPerChunk()
{
    return (kChunkRequestBytes + kChunkAnswerBytes) * kBitsPerByte * kMsPerSecond / kLineBaud;
}

QByteArray benchImage()
{
    return simImage(QStringLiteral("BENCH-256K"), kImageSize);
}

// Time on the simulator's clock from each chunk answer to the next chunk request: the tool's
// turnaround, plus (paced) the request's own line time.
double meanTurnaroundMs(const QVector<SimTraceEntry> &trace)
{
    std::vector<qint64> gapsUs;
    qint64 answeredUs = -1;
    for (const SimTraceEntry &entry : trace) {
        if (entry.command() != CmdWriteFlash)
            continue;
        if (entry.isAnswer()) {
            answeredUs = entry.timeUs;
        } else if (answeredUs >= 0) {
            gapsUs.push_back(entry.timeUs - answeredUs);
            answeredUs = -1;
        }
    }
    if (gapsUs.empty())
        return 0.0;
    qint64 sum = 0;
    for (qint64 gap : gapsUs)
        sum += gap;
    return static_cast<double>(sum) / static_cast<double>(gapsUs.size()) / kUsPerMs;
}

// Mean time the simulator took from a chunk request to its answer leaving.
double meanDeviceMs(const QVector<SimTraceEntry> &trace)
{
    qint64 sumUs = 0;
    int count = 0;
    qint64 requestUs = -1;
    for (const SimTraceEntry &entry : trace) {
        if (entry.command() != CmdWriteFlash)
            continue;
        if (entry.isRequest()) {
            requestUs = entry.timeUs;
        } else if (requestUs >= 0) {
            sumUs += entry.timeUs - requestUs;
            ++count;
            requestUs = -1;
        }
    }
    return count > 0 ? static_cast<double>(sumUs) / count / kUsPerMs : 0.0;
}

void firmwareTransfer(benchmark::State &state, bool paced)
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("bench.bin"));
    {
        QFile file(path);
        if (!file.open(QIODevice::WriteOnly) || file.write(benchImage()) != kImageSize) {
            state.SkipWithError("cannot write the image");
            return;
        }
    }

    for (auto _ : state) {
        SimBusOptions options;
        options.paced = paced;
        E2eBench bench(options);
        if (!bench.isReady()) {
            state.SkipWithError(qPrintable(bench.error()));
            return;
        }
        const int deviceId = bench.addDevice(SimDeviceConfig::at(kDeviceAddress));
        if (!bench.connectTo(kDeviceAddress)) {
            state.SkipWithError("connect failed");
            return;
        }
        bench.bus().clearTrace();
        bench.tool().clearLog();

        // From the first chunk handed to the port to the finish command after the last answer.
        QElapsedTimer transfer;
        qint64 transferNs = 0;
        QProgressBar *bar = bench.tool().progressBar();
        QObject::connect(bar, &QProgressBar::valueChanged, bar, [&](int value) {
            if (value == kChunkSize)
                transfer.start();
            else if (value == 0 && transfer.isValid())
                transferNs = transfer.nsecsElapsed();
        });
        bench.tool().answerNextModal(path);
        bench.tool().click(QStringLiteral("btFlashFirmware"));
        if (!bench.tool().waitForLog(QStringLiteral("Firmware flashed."), kTransferTimeoutMs) ||
            transferNs == 0) {
            state.SkipWithError("transfer did not finish");
            return;
        }
        const QVector<SimTraceEntry> trace = bench.bus().trace();
        if (!bench.tool().waitForLog(QLatin1String(E2e::kSettingsReceived)) ||
            bench.bus().device(deviceId).imagesAccepted != 1) {
            state.SkipWithError("image not accepted");
            return;
        }

        const double transferMs = static_cast<double>(transferNs) / 1e6;
        state.SetIterationTime(transferMs / kMsPerSecond);
        state.counters["chunks"] = kChunkCount;
        state.counters["ms_per_chunk"] = transferMs / kChunkCount;
        state.counters["turnaround_ms"] = meanTurnaroundMs(trace);
        state.counters["device_ms"] = meanDeviceMs(trace);
        if (paced) {
            state.counters["bound_ms_per_chunk"] = lineBoundMsPerChunk();
            state.counters["fraction_of_bound"] = lineBoundMsPerChunk() * kChunkCount / transferMs;
        }
    }
}

void BM_FirmwareTransferUnpaced(benchmark::State &state)
{
    firmwareTransfer(state, false);
}

void BM_FirmwareTransferPaced115200(benchmark::State &state)
{
    firmwareTransfer(state, true);
}

} // namespace

BENCHMARK(BM_FirmwareTransferUnpaced)
    ->Iterations(1)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_FirmwareTransferPaced115200)
    ->Iterations(1)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

int main(int argc, char **argv)
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    benchmark::RunSpecifiedBenchmarks();
    return 0;
}
