#include "simbusthread.h"

SimBusThread::SimBusThread(const SimBusOptions &busOptions) : options(busOptions)
{
    thread.setObjectName(QStringLiteral("talvik-bus-sim"));
}

SimBusThread::~SimBusThread()
{
    stop();
}

bool SimBusThread::start(QString *error)
{
    if (bus)
        return true;
    thread.start();
    anchor = new QObject;
    anchor->moveToThread(&thread);
    bool opened = false;
    QString reason;
    QMetaObject::invokeMethod(
        anchor,
        [this, &opened, &reason] {
            bus = new SimBus(options);
            opened = bus->open(&reason);
            path = bus->portPath();
        },
        Qt::BlockingQueuedConnection);
    if (!opened) {
        if (error)
            *error = reason;
        stop();
        return false;
    }
    return true;
}

void SimBusThread::stop()
{
    if (anchor) {
        QMetaObject::invokeMethod(
            anchor,
            [this] {
                delete bus;
                bus = nullptr;
            },
            Qt::BlockingQueuedConnection);
        // Deleted by the thread as it finishes.
        anchor->deleteLater();
        anchor = nullptr;
    }
    thread.quit();
    thread.wait();
    path.clear();
}

void SimBusThread::runOnBus(const std::function<void(SimBus &)> &fn) const
{
    if (!bus)
        return;
    if (QThread::currentThread() == &thread) {
        fn(*bus);
        return;
    }
    QMetaObject::invokeMethod(
        anchor, [this, &fn] { fn(*bus); }, Qt::BlockingQueuedConnection);
}

int SimBusThread::addDevice(const SimDeviceConfig &config)
{
    int id = -1;
    runOnBus([&](SimBus &target) { id = target.addDevice(config); });
    return id;
}

bool SimBusThread::removeDevice(int id)
{
    bool removed = false;
    runOnBus([&](SimBus &target) { removed = target.removeDevice(id); });
    return removed;
}

SimDeviceState SimBusThread::device(int id) const
{
    SimDeviceState state;
    runOnBus([&](SimBus &target) { state = target.deviceState(id); });
    return state;
}

bool SimBusThread::editDevice(int id, const std::function<void(SimDeviceState &)> &edit)
{
    bool found = false;
    runOnBus([&](SimBus &target) {
        if (SimDevice *device = target.device(id)) {
            edit(device->state());
            found = true;
        }
    });
    return found;
}

void SimBusThread::setDeviceFaults(int id, const SimFaults &faults)
{
    editDevice(id, [&faults](SimDeviceState &state) { state.config.faults = faults; });
}

bool SimBusThread::powerCycle(int id)
{
    bool found = false;
    runOnBus([&](SimBus &target) { found = target.powerCycle(id); });
    return found;
}

void SimBusThread::setBusFaults(const SimFaults &faults)
{
    runOnBus([&](SimBus &target) { target.setBusFaults(faults); });
}

void SimBusThread::setTags(int id, const QVector<SimTag> &tags)
{
    runOnBus([&](SimBus &target) {
        if (SimDevice *device = target.device(id))
            device->setTags(tags);
    });
}

void SimBusThread::setPaced(bool paced)
{
    runOnBus([paced](SimBus &target) { target.setPaced(paced); });
}

int SimBusThread::lineBaudRate() const
{
    int baud = 0;
    runOnBus([&](SimBus &target) { baud = target.lineBaudRate(); });
    return baud;
}

QVector<SimTraceEntry> SimBusThread::trace() const
{
    return bus ? bus->trace().entries() : QVector<SimTraceEntry>();
}

void SimBusThread::clearTrace()
{
    if (bus)
        bus->trace().clear();
}
