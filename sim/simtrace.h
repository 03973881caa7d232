#ifndef SIM_SIMTRACE_H
#define SIM_SIMTRACE_H

#include <QByteArray>
#include <QFile>
#include <QMutex>
#include <QString>
#include <QVector>

#include <cstdint>

struct SimTraceEntry
{
    enum class Direction { Request, Answer };

    qint64 timeUs = 0; // since the bus started
    Direction direction = Direction::Request;
    uint8_t address = 0;
    QByteArray payload;
    bool crcOk = true;
    QString note; // why a request went unanswered, a fault applied, ...

    bool isRequest() const { return direction == Direction::Request; }
    bool isAnswer() const { return direction == Direction::Answer; }
    // First payload byte of a request, second of an answer; -1 when the payload is too short.
    int command() const;
    // "   1234.567 REQ 01 09" or "   1235.012 ANS 01 00 09 41 50 50  # note"
    QString toLine() const;
};

// Every frame on the bus, both ways. Safe to read and clear from any thread.
class SimTrace
{
public:
    void append(const SimTraceEntry &entry);
    QVector<SimTraceEntry> entries() const;
    void clear();
    // Also writes each entry as one line to this file; an empty path stops that.
    bool setFile(const QString &path, QString *error = nullptr);

private:
    mutable QMutex mutex;
    QVector<SimTraceEntry> list;
    QFile file;
};

#endif // SIM_SIMTRACE_H
