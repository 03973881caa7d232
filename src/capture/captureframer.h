#ifndef CAPTUREFRAMER_H
#define CAPTUREFRAMER_H

#include <QByteArray>
#include <QString>

#include <cstdint>
#include <functional>

// Splits the bytes of one direction of the line into frames as they were on it, header to
// CRC, and hands out everything else too: a frame whose CRC fails, a frame cut short, bytes
// outside any frame (with a header of impossible length among them, if one was), a burst of
// them at a time. Unlike the codec it keeps looking at the bytes behind a broken frame: they
// were on the line.
class CaptureFramer
{
public:
    // problem: why the bytes are no good frame, empty for one; timeUs: when the last of them came.
    using Sink =
        std::function<void(const QByteArray &bytes, const QString &problem, int64_t timeUs)>;

    explicit CaptureFramer(Sink sink) : sink(std::move(sink)) {}

    // nowUs: a monotonic clock in microseconds, read once for the chunk.
    void feed(const char *data, qsizetype len, int64_t nowUs);
    // Hands out a frame still unfinished and the bytes outside any frame; at the end of a run.
    void finish();

private:
    void hunt(char byte);
    void collect(char byte);
    void cutShort(int64_t lastByteUs);
    void handOutStray(qsizetype count, int64_t lastByteUs);

    Sink sink;
    bool collecting = false;
    QByteArray frame; // header on, while collecting
    qsizetype frameSize = 0;
    int64_t headerUs = 0;
    int64_t chunkUs = 0;
    QByteArray stray;     // while hunting: the bytes since the last frame
    QString strayProblem; // a header of impossible length among them
};

#endif // CAPTUREFRAMER_H
