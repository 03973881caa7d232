#include "simbus.h"

#include <QCoreApplication>
#include <QDebug>
#include <QSocketNotifier>
#include <QStringList>
#include <QTimer>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cmath>

namespace {

constexpr int kBitsPerByte = 10; // start, 8 data, stop
constexpr qint64 kMicrosecondsPerSecond = 1000000;
constexpr qint64 kMicrosecondsPerMillisecond = 1000;
constexpr int kTransmitTickMs = 1;
// Without a client the master hangs up and polls readable forever: it is looked at again
// this much later instead, which is also how soon a newly opened port is heard.
constexpr int kNoClientPollMs = 10;
constexpr int kReadBufferSize = 4096;

bool selects(int selector, int command)
{
    return selector == kAnyCommand || (selector >= 0 && selector == command);
}

} // namespace

SimBus::SimBus(const SimBusOptions &options, QObject *parent)
    : QObject(parent), opts(options), answerTimer(new QTimer(this)), rxTimer(new QTimer(this)),
      txTimer(new QTimer(this)), parser([this](const SimFrame &frame) { routeFrame(frame); }),
      rng(options.seed)
{
    clock.start();
    answerTimer->setSingleShot(true);
    answerTimer->setTimerType(Qt::PreciseTimer);
    connect(answerTimer, &QTimer::timeout, this, &SimBus::sendDueAnswers);
    rxTimer->setSingleShot(true);
    rxTimer->setTimerType(Qt::PreciseTimer);
    connect(rxTimer, &QTimer::timeout, this, &SimBus::deliverDueChunks);
    txTimer->setInterval(kTransmitTickMs);
    txTimer->setTimerType(Qt::PreciseTimer);
    connect(txTimer, &QTimer::timeout, this, &SimBus::pumpTransmitter);
}

SimBus::~SimBus()
{
    close();
}

bool SimBus::open(QString *error)
{
    close();
    if (!pty.open(error))
        return false;
    if (!opts.linkPath.isEmpty() && !pty.makeLink(opts.linkPath, error)) {
        pty.close();
        return false;
    }
    if (!opts.traceFile.isEmpty() && !frameTrace.setFile(opts.traceFile, error)) {
        pty.close();
        return false;
    }
    const QString application = QCoreApplication::applicationName() + QLatin1Char(' ') +
                                QCoreApplication::applicationVersion();
    if (!opts.captureFile.isEmpty() && !capture.open(opts.captureFile, application, error)) {
        pty.close();
        return false;
    }
    readNotifier = new QSocketNotifier(pty.fd(), QSocketNotifier::Read, this);
    connect(readNotifier, &QSocketNotifier::activated, this, &SimBus::readMaster);
    return true;
}

void SimBus::close()
{
    delete readNotifier;
    readNotifier = nullptr;
    answerTimer->stop();
    rxTimer->stop();
    answers.clear();
    rxQueue.clear();
    dropUnsentBytes();
    clientOnLine = false;
    pty.close();
    capture.finish();
}

QString SimBus::portPath() const
{
    return pty.slavePath();
}

int SimBus::addDevice(const SimDeviceConfig &config)
{
    const int id = nextDeviceId++;
    devices.push_back(std::make_unique<SimDevice>(id, config));
    return id;
}

bool SimBus::removeDevice(int id)
{
    const auto it = std::find_if(devices.begin(), devices.end(),
                                 [id](const auto &device) { return device->state().id == id; });
    if (it == devices.end())
        return false;
    devices.erase(it);
    return true;
}

QVector<int> SimBus::deviceIds() const
{
    QVector<int> ids;
    for (const auto &device : devices)
        ids.append(device->state().id);
    return ids;
}

SimDevice *SimBus::device(int id)
{
    for (const auto &device : devices) {
        if (device->state().id == id)
            return device.get();
    }
    return nullptr;
}

SimDeviceState SimBus::deviceState(int id) const
{
    for (const auto &device : devices) {
        if (device->state().id == id)
            return device->snapshot(nowMs());
    }
    return SimDeviceState();
}

bool SimBus::powerCycle(int id)
{
    SimDevice *target = device(id);
    if (!target)
        return false;
    answers.erase(
        std::remove_if(answers.begin(), answers.end(),
                       [id](const PendingAnswer &answer) { return answer.deviceId == id; }),
        answers.end());
    armAnswerTimer();
    target->powerCycle(nowMs());
    return true;
}

void SimBus::setPaced(bool paced)
{
    opts.paced = paced;
}

int SimBus::lineBaudRate() const
{
    return pty.lineBaudRate();
}

qint64 SimBus::nowMs() const
{
    return clock.elapsed();
}

qint64 SimBus::nowUs() const
{
    return clock.nsecsElapsed() / 1000;
}

qint64 SimBus::lineTimeUs(int bytes, int baud)
{
    if (baud <= 0)
        return 0;
    return static_cast<qint64>(bytes) * kBitsPerByte * kMicrosecondsPerSecond / baud;
}

// ---- Tool to devices ------------------------------------------------------------------------

void SimBus::readMaster()
{
    std::array<uint8_t, kReadBufferSize> buffer;
    for (;;) {
        const ssize_t count = pty.read(buffer.data(), buffer.size());
        if (count > 0) {
            clientOnLine = true;
            acceptChunk(buffer.data(), static_cast<size_t>(count), pty.lineBaudRate());
            continue;
        }
        if (count < 0 && (errno == EAGAIN || errno == EINTR)) {
            clientOnLine = true;
            return;
        }
        noteClientGone();
        if (readNotifier) {
            readNotifier->setEnabled(false);
            QTimer::singleShot(kNoClientPollMs, this, [this] {
                if (readNotifier)
                    readNotifier->setEnabled(true);
            });
        }
        return;
    }
}

void SimBus::noteClientGone()
{
    if (!clientOnLine)
        return;
    clientOnLine = false;
    dropUnsentBytes();
    pty.discardUnreadBytes();
}

bool SimBus::clientListens() const
{
    return pty.isOpen() && pty.clientHasPortOpen();
}

void SimBus::acceptChunk(const uint8_t *data, size_t len, int baud)
{
    if (!opts.paced || baud <= 0) {
        feedParser(data, len, baud);
        return;
    }
    // The bytes were on the wire for their line time: the devices have them only then.
    const qint64 start = std::max(nowUs(), rxLineFreeUs);
    rxLineFreeUs = start + lineTimeUs(static_cast<int>(len), baud);
    PendingChunk chunk;
    chunk.dueUs = rxLineFreeUs;
    chunk.bytes = QByteArray(reinterpret_cast<const char *>(data), static_cast<int>(len));
    chunk.baud = baud;
    rxQueue.append(chunk);
    if (!rxTimer->isActive())
        deliverDueChunks();
}

void SimBus::deliverDueChunks()
{
    while (!rxQueue.isEmpty() && rxQueue.first().dueUs <= nowUs()) {
        const PendingChunk chunk = rxQueue.takeFirst();
        feedParser(reinterpret_cast<const uint8_t *>(chunk.bytes.constData()),
                   static_cast<size_t>(chunk.bytes.size()), chunk.baud);
    }
    if (rxQueue.isEmpty())
        return;
    const qint64 waitUs = rxQueue.first().dueUs - nowUs();
    rxTimer->start(
        static_cast<int>((waitUs + kMicrosecondsPerMillisecond - 1) / kMicrosecondsPerMillisecond));
}

void SimBus::feedParser(const uint8_t *data, size_t len, int baud)
{
    currentFrameBaud = baud;
    // As the devices hear them: paced, once the line has carried them.
    capture.received(reinterpret_cast<const char *>(data), static_cast<qsizetype>(len));
    parser.feed(data, len, nowMs());
}

void SimBus::routeFrame(const SimFrame &frame)
{
    SimTraceEntry entry;
    entry.timeUs = nowUs();
    entry.direction = SimTraceEntry::Direction::Request;
    entry.address = frame.address;
    entry.payload =
        QByteArray(reinterpret_cast<const char *>(frame.payload), static_cast<int>(frame.len));
    entry.crcOk = frame.crcOk;
    if (!frame.crcOk) {
        entry.note = QStringLiteral("ignored by every device");
        frameTrace.append(entry);
        return;
    }
    QStringList notes;
    bool addressed = false;
    for (const auto &device : devices) {
        if (device->address() != frame.address)
            continue;
        addressed = true;
        const QString note = offerToDevice(*device, frame);
        if (!note.isEmpty())
            notes << note;
    }
    if (!addressed)
        notes << QStringLiteral("no device");
    entry.note = notes.join(QStringLiteral("; "));
    frameTrace.append(entry);
}

SimFaults SimBus::effectiveFaults(const SimDevice &device) const
{
    const SimFaults &own = device.state().config.faults;
    SimFaults faults = own;
    faults.silent = own.silent || faultsForAll.silent;
    faults.answerDelayMs = own.answerDelayMs + faultsForAll.answerDelayMs;
    if (own.errorCommand == kNoCommand) {
        faults.errorCommand = faultsForAll.errorCommand;
        faults.errorNumber = faultsForAll.errorNumber;
    }
    faults.corruptCrcRate = std::max(own.corruptCrcRate, faultsForAll.corruptCrcRate);
    if (own.lateCommand == kNoCommand) {
        faults.lateCommand = faultsForAll.lateCommand;
        faults.lateAnswerMs = faultsForAll.lateAnswerMs;
    }
    return faults;
}

// The device's own count first, then the bus's.
bool SimBus::takeAnswerToBreak(SimDevice &device)
{
    for (SimFaults *faults : {&device.state().config.faults, &faultsForAll}) {
        if (faults->corruptNextAnswers > 0) {
            --faults->corruptNextAnswers;
            return true;
        }
    }
    return false;
}

QString SimBus::offerToDevice(SimDevice &device, const SimFrame &frame)
{
    const SimFaults faults = effectiveFaults(device);
    if (faults.silent)
        return QStringLiteral("device silent");
    const qint64 now = nowMs();
    if (device.isBusy(now))
        return QStringLiteral("device busy or restarting");
    if (currentFrameBaud != device.baudRate())
        return QStringLiteral("not heard: line at %1 baud, device at %2")
            .arg(currentFrameBaud)
            .arg(device.baudRate());

    const int command = frame.len > 0 ? frame.payload[0] : kNoCommand;
    SimReply reply;
    if (command != kNoCommand && command != kSimStatusError &&
        selects(faults.errorCommand, command)) {
        reply.answer = true;
        reply.payload = simErrorPayload(static_cast<uint8_t>(command), faults.errorNumber);
        reply.note = QStringLiteral("injected error");
    } else {
        reply = device.handle(frame.payload, frame.len);
    }
    if (!reply.answer)
        return reply.note.isEmpty() ? QStringLiteral("no answer") : reply.note;
    if (selects(faults.truncateCommand, command) &&
        reply.payload.size() > kSimAnswerHeaderSize + faults.truncatedDataBytes) {
        reply.payload.truncate(kSimAnswerHeaderSize + faults.truncatedDataBytes);
        reply.note = QStringLiteral("answer cut to %1 data bytes").arg(faults.truncatedDataBytes);
    }

    int delayMs = reply.delayMs + faults.answerDelayMs;
    if (selects(faults.lateCommand, command))
        delayMs += faults.lateAnswerMs;
    // A device busy with one request does not listen for the next.
    device.stayBusyUntil(now + delayMs);

    PendingAnswer pending;
    pending.dueMs = now + delayMs;
    pending.deviceId = device.state().id;
    pending.address = frame.address;
    pending.payload = reply.payload;
    pending.restartMs = reply.restartMs;
    pending.corruptCrcRate = faults.corruptCrcRate;
    pending.breakCrc = takeAnswerToBreak(device);
    pending.note = reply.note;
    pending.unplug = reply.unplug;
    scheduleAnswer(pending);
    return QString();
}

// ---- Devices to tool ------------------------------------------------------------------------

void SimBus::scheduleAnswer(const PendingAnswer &answer)
{
    const auto later = std::upper_bound(
        answers.begin(), answers.end(), answer.dueMs,
        [](qint64 due, const PendingAnswer &queued) { return due < queued.dueMs; });
    answers.insert(later, answer);
    armAnswerTimer();
}

void SimBus::armAnswerTimer()
{
    if (answers.isEmpty()) {
        answerTimer->stop();
        return;
    }
    answerTimer->start(static_cast<int>(std::max<qint64>(0, answers.first().dueMs - nowMs())));
}

void SimBus::sendDueAnswers()
{
    while (!answers.isEmpty() && answers.first().dueMs <= nowMs())
        sendAnswer(answers.takeFirst());
    // Unpaced, the answers of one pass were laid over each other; now they leave as one.
    if (!linePaced())
        flushLine();
    armAnswerTimer();
}

void SimBus::sendAnswer(const PendingAnswer &answer)
{
    SimDevice *sender = device(answer.deviceId);
    if (!sender)
        return;
    QByteArray frame = SimWire::encodeFrame(answer.address, answer.payload);
    std::uniform_real_distribution<double> chance(0.0, 1.0);
    const bool corrupt =
        answer.breakCrc || (answer.corruptCrcRate > 0.0 && chance(rng) < answer.corruptCrcRate);
    if (corrupt)
        frame[frame.size() - 1] = static_cast<char>(frame.at(frame.size() - 1) ^ 0xFF);

    SimTraceEntry entry;
    entry.timeUs = nowUs();
    entry.direction = SimTraceEntry::Direction::Answer;
    entry.address = answer.address;
    entry.payload = answer.payload;
    entry.crcOk = !corrupt;
    QStringList notes;
    if (!answer.note.isEmpty())
        notes << answer.note;
    if (!clientListens())
        notes << QStringLiteral("lost: no port open on the line");
    else if (putOnLine(frame, answer.deviceId))
        notes << QStringLiteral("collides with an answer on the line");
    entry.note = notes.join(QStringLiteral("; "));
    frameTrace.append(entry);

    if (answer.unplug)
        unplugLine();
    if (answer.restartMs > 0) {
        const qint64 onLineMs =
            lineTimeUs(frame.size(), sender->baudRate()) / kMicrosecondsPerMillisecond;
        sender->beginRestart(nowMs() + onLineMs, answer.restartMs);
    }
}

// Answers of several devices on the line at once collide as on RS485: in a character time
// driven by two or more devices a 0 bit wins, so the line carries the bitwise AND of their
// bytes; past the shorter answer the longer one goes on alone. The queue of bytes not yet sent
// is the line: a new answer lies over it from the next character to go out, so answers due
// together start together and one due later meets the others where they then are. A device
// sends its own answers one after another. Unpaced, bytes take no time: only answers due in
// one pass of the timer overlap, from their first byte.
bool SimBus::putOnLine(const QByteArray &frame, int deviceId)
{
    const int start = std::max(txQueueHead, txQueueEndOf.value(deviceId));
    const int overlap = std::min(txQueue.size() - start, frame.size());
    for (int i = 0; i < overlap; ++i)
        txQueue[start + i] = static_cast<char>(txQueue.at(start + i) & frame.at(i));
    txQueue.append(frame.mid(overlap));
    txQueueEndOf.insert(deviceId, start + frame.size());
    if (linePaced() && !txTimer->isActive()) {
        txLastTickUs = nowUs();
        txCredit = 0.0;
        txTimer->start();
    }
    return overlap > 0;
}

bool SimBus::linePaced() const
{
    return opts.paced && lineBaudRate() > 0;
}

void SimBus::flushLine()
{
    if (txQueueHead < txQueue.size())
        writeToLine(txQueue.constData() + txQueueHead, txQueue.size() - txQueueHead);
    dropUnsentBytes();
}

void SimBus::pumpTransmitter()
{
    const qint64 now = nowUs();
    const int baud = lineBaudRate();
    const int remaining = txQueue.size() - txQueueHead;
    txCredit += static_cast<double>(now - txLastTickUs) * baud /
                (static_cast<double>(kBitsPerByte) * kMicrosecondsPerSecond);
    txLastTickUs = now;
    const int count =
        baud > 0 ? std::min(remaining, static_cast<int>(std::floor(txCredit))) : remaining;
    if (count > 0) {
        writeToLine(txQueue.constData() + txQueueHead, count);
        txQueueHead += count;
        txCredit -= count;
    }
    if (txQueueHead >= txQueue.size())
        dropUnsentBytes();
}

void SimBus::dropUnsentBytes()
{
    txTimer->stop();
    txQueue.clear();
    txQueueHead = 0;
    txQueueEndOf.clear();
    txCredit = 0.0;
}

void SimBus::writeToLine(const char *data, int len)
{
    // The rest of an answer whose client left would wait in the pty for the next one.
    if (!clientListens()) {
        dropUnsentBytes();
        return;
    }
    // Whoever has the port now may leave without reading this.
    clientOnLine = true;
    const ssize_t written = pty.write(data, static_cast<size_t>(len));
    // Colliding answers as the line carries them: the bytes of each laid over the others.
    if (written > 0)
        capture.sent(data, written);
    if (written != len)
        qWarning() << "talvik-bus-sim: line write short by" << len - written << "bytes";
}

void SimBus::unplugLine()
{
    // Written in full first, as an adapter pulled right after the answer left it.
    if (txQueueHead < txQueue.size())
        writeToLine(txQueue.constData() + txQueueHead, txQueue.size() - txQueueHead);
    delete readNotifier;
    readNotifier = nullptr;
    dropUnsentBytes();
    rxQueue.clear();
    pty.close();
}
