#include "openwait.h"

#include <QEventLoop>
#include <QTimer>

bool OpenWait::until(const std::function<bool()> &done, const QDeadlineTimer &deadline)
{
    QTimer expiry;
    expiry.setSingleShot(true);
    expiry.setTimerType(Qt::PreciseTimer);
    connect(&expiry, &QTimer::timeout, this, &OpenWait::wake);
    while (!done()) {
        if (cancelled || deadline.hasExpired())
            return false;
        QEventLoop events;
        running = &events;
        woken = false;
        expiry.start(int(deadline.remainingTime()));
        events.exec();
        running = nullptr;
        // Ended by no wake: the application quits, and every event loop with it.
        if (!woken)
            cancelled = true;
    }
    return true;
}

bool OpenWait::pause(int ms)
{
    until([] { return false; }, QDeadlineTimer(ms, Qt::PreciseTimer));
    return !cancelled;
}

void OpenWait::cancel()
{
    cancelled = true;
    wake();
}

void OpenWait::wake()
{
    woken = true;
    if (running)
        running->quit();
}
