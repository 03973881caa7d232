#include "hostlookup.h"

#include <QCoreApplication>
#include <QUrl>

#include <chrono>
#include <condition_variable>
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

// Shared by the caller and the resolver's thread, which may outlive the call.
struct Lookup
{
    std::mutex mutex;
    std::condition_variable done;
    bool finished = false;
    int status = 0;
    QList<QHostAddress> addresses;
};
} // namespace

QList<QHostAddress> lookUpHost(const QString &host, int timeoutMs, QString *error)
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
        lookup->done.notify_all();
    }).detach();

    std::unique_lock<std::mutex> lock(lookup->mutex);
    if (!lookup->done.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                               [&lookup] { return lookup->finished; })) {
        *error =
            HostLookupText::tr("no address for %1 within %2 s").arg(host).arg(timeoutMs / 1000);
        return {};
    }
    if (lookup->addresses.isEmpty())
        *error = lookup->status == 0 || lookup->status == EAI_NONAME
                     ? HostLookupText::tr("host not found")
                     : HostLookupText::tr("host not found (%1)")
                           .arg(QString::fromLocal8Bit(gai_strerror(lookup->status)));
    return lookup->addresses;
}
