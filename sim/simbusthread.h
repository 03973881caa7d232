#ifndef SIM_SIMBUSTHREAD_H
#define SIM_SIMBUSTHREAD_H

#include "simbus.h"

#include <QMetaObject>
#include <QThread>

#include <functional>
#include <type_traits>

// Runs a SimBus on a thread of its own, so that a GUI thread blocked in the tool's waits does
// not stall the devices. Every member may be called from any other thread.
class SimBusThread
{
public:
    explicit SimBusThread(const SimBusOptions &options = SimBusOptions());
    ~SimBusThread();
    SimBusThread(const SimBusThread &) = delete;
    SimBusThread &operator=(const SimBusThread &) = delete;

    // Starts the thread and opens the pty; the port path is known afterwards.
    bool start(QString *error = nullptr);
    void stop();
    bool isRunning() const { return bus != nullptr; }
    QString portPath() const { return path; }

    // Runs fn(SimBus &) on the bus thread and returns its result; the bus waits meanwhile.
    template <typename Fn> auto run(Fn fn) -> std::invoke_result_t<Fn, SimBus &>
    {
        using Result = std::invoke_result_t<Fn, SimBus &>;
        if constexpr (std::is_void_v<Result>) {
            runOnBus([&fn](SimBus &target) { fn(target); });
        } else {
            Result result{};
            runOnBus([&fn, &result](SimBus &target) { result = fn(target); });
            return result;
        }
    }

    int addDevice(const SimDeviceConfig &config);
    bool removeDevice(int id);
    // Snapshot of the device; id -1 in the result when there is no such device.
    SimDeviceState device(int id) const;
    // Changes a device in place on the bus thread (settings, flash, tags, ...).
    bool editDevice(int id, const std::function<void(SimDeviceState &)> &edit);
    void setDeviceFaults(int id, const SimFaults &faults);
    bool powerCycle(int id);
    void setBusFaults(const SimFaults &faults);
    void setTags(int id, const QVector<SimTag> &tags);
    void setPaced(bool paced);
    int lineBaudRate() const;

    // Readable from any thread without stopping the bus.
    QVector<SimTraceEntry> trace() const;
    void clearTrace();

private:
    void runOnBus(const std::function<void(SimBus &)> &fn) const;

    SimBusOptions options;
    QThread thread;
    QObject *anchor = nullptr; // lives in the bus thread; queued calls run there
    SimBus *bus = nullptr;
    QString path;
};

#endif // SIM_SIMBUSTHREAD_H
