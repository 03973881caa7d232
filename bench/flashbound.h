// What the flash benchmarks measure against: the line time of a stop-and-wait transfer, and the
// transfer as the simulator's clock saw it.
#pragma once

#include "devicecommand.h"
#include "simtrace.h"

#include <QVector>

constexpr int kLineBaud = 115200;
constexpr double kBitsPerByte = 10.0;
constexpr int kFrameOverhead = 8; // header, address and CRC
constexpr int kChunkRequestBytes = 1 + kFirmwareChunkSize + kFrameOverhead;
constexpr int kChunkAnswerBytes = 2 + kFrameOverhead;
constexpr double kMsPerSecond = 1000.0;
constexpr double kUsPerMs = 1000.0;

// Every chunk and its answer on the line at kLineBaud, one after the other.
inline double lineBoundMs(int imageBytes)
{
    return (kChunkRequestBytes + kChunkAnswerBytes) * kBitsPerByte * kMsPerSecond / kLineBaud *
           (imageBytes / kFirmwareChunkSize);
}

// From the first chunk request to the finish request.
inline double transferMs(const QVector<SimTraceEntry> &trace)
{
    qint64 firstChunkUs = -1;
    for (const SimTraceEntry &entry : trace) {
        if (!entry.isRequest())
            continue;
        if (entry.command() == CmdWriteFlash && firstChunkUs < 0)
            firstChunkUs = entry.timeUs;
        if (entry.command() == CmdFinishFirmware && firstChunkUs >= 0)
            return static_cast<double>(entry.timeUs - firstChunkUs) / kUsPerMs;
    }
    return 0.0;
}
