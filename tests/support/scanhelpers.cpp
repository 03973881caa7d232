#include "scanhelpers.h"

#include "e2efixture.h"

#include <QFile>

#include <cerrno>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>

bool portHeldExclusively(const QString &portPath)
{
    const QByteArray path = QFile::encodeName(portPath);
    const int fd = ::open(path.constData(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    // Without root the exclusive lock refuses us outright.
    if (fd < 0)
        return errno == EBUSY;
    int exclusive = 0;
    const bool known = ::ioctl(fd, TIOCGEXCL, &exclusive) == 0;
    ::close(fd);
    return known && exclusive != 0;
}

QVector<SimTraceEntry> tracedRequests(const SimBusThread &bus)
{
    return E2e::requests(bus.trace());
}
