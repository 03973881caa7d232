#ifndef LINECAPTURE_H
#define LINECAPTURE_H

#include "captureframer.h"
#include "pcapngwriter.h"

#include <QElapsedTimer>

// Both directions of one program's line into one pcapng file, frame by frame, each stamped with
// the time its last byte passed.
class LineCapture
{
public:
    LineCapture();

    // application: who writes the file, for its section header.
    bool open(const QString &path, const QString &application, QString *error);
    bool isOpen() const { return writer.isOpen(); }
    void received(const char *data, qsizetype len) { record(inbound, data, len); }
    void sent(const char *data, qsizetype len) { record(outbound, data, len); }
    // Writes what is left unfinished on both sides and closes the file.
    void finish();
    // Why the file stopped taking packets; empty while it takes them.
    QString failure() const { return writeFailure; }

private:
    void record(CaptureFramer &framer, const char *data, qsizetype len);
    void write(PcapngWriter::Direction direction, const QByteArray &bytes, const QString &problem,
               int64_t timeUs);
    int64_t nowUs() const { return startUs + clock.nsecsElapsed() / 1000; }

    PcapngWriter writer;
    CaptureFramer inbound;
    CaptureFramer outbound;
    // The wall clock once, then a monotonic one: a clock set meanwhile cuts no frame short.
    int64_t startUs = 0;
    QElapsedTimer clock;
    QString writeFailure;
};

#endif // LINECAPTURE_H
