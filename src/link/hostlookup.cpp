#include "hostlookup.h"

#include "openwait.h"

#include <QCoreApplication>
#include <QTimer>
#include <QUrl>

#include <memory>
#include <mutex>
#include <thread>

#if defined(Q_OS_WIN)
#include <ws2tcpip.h>
#else
#include <netdb.h>
#include <sys/socket.h>
#endif

namespace {
// Texts of this file pass through tr() in this context.
struct HostLookupText
{
    Q_DECLARE_TR_FUNCTIONS(HostLookup)
};

// The resolver's thread cannot safely reach into the event loop: the loop looks in this often.
constexpr int kLookupPollMs = 5;

// Shared by the caller and the resolver's thread, which may outlive the call.
struct Lookup
{
    std::mutex mutex;
    bool finished = false;
    int status = 0;
    QList<QHostAddress> addresses;
};
} // namespace

QList<QHostAddress> lookUpHost(const QString &host, int timeoutMs, OpenWait &wait, QString *error)
{
    const QHostAddress literal(host);
    if (!literal.isNull())
        return {literal};
    const auto lookup = std::make_shared<Lookup>();
    std::thread([lookup, name = QUrl::toAce(host)] {
        addrinfo hints{};
        hints.ai_family = AF_UNSPEC;
        hints.ai_socktype = SOCK_STREAM;
        addrinfo *found = nullptr;
        const int status = getaddrinfo(name.constData(), nullptr, &hints, &found);
        QList<QHostAddress> addresses;
        for (const addrinfo *entry = found; entry; entry = entry->ai_next)
            addresses << QHostAddress(entry->ai_addr);
        if (found)
            freeaddrinfo(found);
        const std::lock_guard<std::mutex> lock(lookup->mutex);
        lookup->finished = true;
        lookup->status = status;
        lookup->addresses = addresses;
    }).detach();

    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, &wait, &OpenWait::wake);
    poll.start(kLookupPollMs);
    const auto finished = [&lookup] {
        const std::lock_guard<std::mutex> lock(lookup->mutex);
        return lookup->finished;
    };
    if (!wait.until(finished, QDeadlineTimer(timeoutMs, Qt::PreciseTimer))) {
        *error = wait.isCancelled() ? HostLookupText::tr("cancelled")
                                    : HostLookupText::tr("no address for %1 within %2 s")
                                          .arg(host)
                                          .arg(timeoutMs / 1000);
        return {};
    }
    const std::lock_guard<std::mutex> lock(lookup->mutex);
    if (lookup->addresses.isEmpty())
        *error = lookup->status == 0 || lookup->status == EAI_NONAME
                     ? HostLookupText::tr("host not found")
                     : HostLookupText::tr("host not found (%1)")
                           .arg(QString::fromLocal8Bit(gai_strerror(lookup->status)));
    return lookup->addresses;
}
