#ifndef OPENWAIT_H
#define OPENWAIT_H

#include <QDeadlineTimer>
#include <QObject>

#include <functional>

class QEventLoop;

// The waits of a network link's open (name lookup, connection, TLS handshake, the server's
// confirmations). They run a local event loop, so that a window keeps painting and answering
// while a server is reached; each ends when its condition holds, at its deadline, or at cancel().
class OpenWait : public QObject
{
    Q_OBJECT
public:
    // Whether done() holds; it is asked again at each wake().
    bool until(const std::function<bool()> &done, const QDeadlineTimer &deadline);
    // False when cancelled meanwhile.
    bool pause(int ms);
    // Ends the running wait at once and every later one until reset(); so does the
    // application's quitting.
    void cancel();
    bool isCancelled() const { return cancelled; }
    void reset() { cancelled = false; }

public slots:
    // Something happened that may make the awaited condition hold.
    void wake();

private:
    QEventLoop *running = nullptr;
    bool woken = false;
    bool cancelled = false;
};

#endif // OPENWAIT_H
