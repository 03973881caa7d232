#ifndef SIM_SIMBUS_H
#define SIM_SIMBUS_H

#include "linecapture.h"
#include "ptymaster.h"
#include "simdevice.h"
#include "simframe.h"
#include "simtrace.h"

#include <QElapsedTimer>
#include <QHash>
#include <QObject>
#include <QVector>

#include <memory>
#include <random>
#include <vector>

class QSocketNotifier;
class QTimer;

struct SimBusOptions
{
    // Bytes take as long as the line speed says (10 bits a byte); off for fast tests.
    bool paced = true;
    quint32 seed = 1; // for the CRC-corruption fault
    QString traceFile;
    QString captureFile; // pcapng, both directions, as the frames were on the line
    QString linkPath;
};

// An RS485 line with its devices, reached through a pseudo-terminal.
// Lives in one thread: call it only from there (SimBusThread runs it on its own).
class SimBus : public QObject
{
    Q_OBJECT
public:
    explicit SimBus(const SimBusOptions &options = SimBusOptions(), QObject *parent = nullptr);
    ~SimBus() override;

    // Opens the pty pair (and the link and trace file of the options).
    bool open(QString *error = nullptr);
    void close();
    QString portPath() const;

    // Returns the device id, stable while the device exists (its bus address is not).
    int addDevice(const SimDeviceConfig &config);
    bool removeDevice(int id);
    QVector<int> deviceIds() const;
    SimDevice *device(int id);
    SimDeviceState deviceState(int id) const;
    // The device loses power and starts again; its answers not yet sent are lost.
    bool powerCycle(int id);

    SimFaults busFaults() const { return faultsForAll; }
    void setBusFaults(const SimFaults &faults) { faultsForAll = faults; }
    void setPaced(bool paced);
    bool isPaced() const { return opts.paced; }

    int lineBaudRate() const;
    qint64 nowMs() const;

    SimTrace &trace() { return frameTrace; }
    const SimTrace &trace() const { return frameTrace; }

private:
    struct PendingAnswer
    {
        qint64 dueMs = 0;
        int deviceId = -1;
        uint8_t address = 0;
        QByteArray payload;
        int restartMs = 0;
        double corruptCrcRate = 0.0;
        bool breakCrc = false; // one of the answers the crcnext fault breaks
        QString note;
        bool unplug = false;
    };
    struct PendingChunk
    {
        qint64 dueUs = 0;
        QByteArray bytes;
        int baud = 0;
    };

    void readMaster();
    void noteClientGone();
    bool clientListens() const;
    void acceptChunk(const uint8_t *data, size_t len, int baud);
    void deliverDueChunks();
    void feedParser(const uint8_t *data, size_t len, int baud);
    void routeFrame(const SimFrame &frame);
    QString offerToDevice(SimDevice &device, const SimFrame &frame);
    SimFaults effectiveFaults(const SimDevice &device) const;
    bool takeAnswerToBreak(SimDevice &device);
    void scheduleAnswer(const PendingAnswer &answer);
    void sendDueAnswers();
    void sendAnswer(const PendingAnswer &answer);
    // True when the frame landed on bytes of another device's answer still on the line.
    bool putOnLine(const QByteArray &frame, int deviceId);
    bool linePaced() const;
    void flushLine();
    void pumpTransmitter();
    void dropUnsentBytes();
    void armAnswerTimer();
    void writeToLine(const char *data, int len);
    // The adapter is pulled: the pty goes away and clients see their port fail.
    void unplugLine();
    qint64 nowUs() const;
    static qint64 lineTimeUs(int bytes, int baud);

    SimBusOptions opts;
    PtyMaster pty;
    QSocketNotifier *readNotifier = nullptr;
    QTimer *answerTimer = nullptr;
    QTimer *rxTimer = nullptr;
    QTimer *txTimer = nullptr;
    QElapsedTimer clock;
    SimFrameParser parser;
    std::vector<std::unique_ptr<SimDevice>> devices;
    int nextDeviceId = 0;
    SimFaults faultsForAll;
    std::mt19937 rng;
    SimTrace frameTrace;
    LineCapture capture;

    bool clientOnLine = false;
    int currentFrameBaud = 0;
    QVector<PendingAnswer> answers;
    QVector<PendingChunk> rxQueue;
    qint64 rxLineFreeUs = 0;
    QByteArray txQueue;
    int txQueueHead = 0;
    QHash<int, int> txQueueEndOf; // device id -> end of its last answer in txQueue
    qint64 txLastTickUs = 0;
    double txCredit = 0.0;
};

#endif // SIM_SIMBUS_H
