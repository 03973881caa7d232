#ifndef CAPTUREFRAMER_H
#define CAPTUREFRAMER_H

#include <QByteArray>
#include <QString>

#include <cstdint>
#include <functional>

// Splits the bytes of one direction of the line into frames as they were on it, header to
// CRC, and hands out everything else too: a frame whose CRC fails, a frame cut short, bytes
// outside any frame (with a header of impossible length among them, if one was). Unlike the
// codec it keeps looking at the bytes behind a broken frame: they were on the line.
class CaptureFramer
{
public:
    // problem: why the bytes are no good frame; empty for one.
    using Sink = std::function<void(const QByteArray &bytes, const QString &problem)>;

    explicit CaptureFramer(Sink sink) : sink(std::move(sink)) {}

    // nowMs: a monotonic clock, read once for the chunk.
    void feed(const char *data, qsizetype len, int64_t nowMs);
    // Hands out a frame still unfinished and the bytes outside any frame; at the end of a run.
    void finish();

private:
    void hunt(char byte);
    void collect(char byte);
    void cutShort();
    void handOutStray(qsizetype count);

    Sink sink;
    bool collecting = false;
    QByteArray frame; // header on, while collecting
    qsizetype frameSize = 0;
    int64_t headerMs = 0;
    int64_t chunkMs = 0;
    QByteArray stray;     // while hunting: the bytes since the last frame
    QString strayProblem; // a header of impossible length among them
};

#endif // CAPTUREFRAMER_H
