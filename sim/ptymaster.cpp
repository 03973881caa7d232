#include "ptymaster.h"

#include <QFile>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

namespace {

struct SpeedEntry
{
    speed_t speed;
    int baud;
};

constexpr SpeedEntry kSpeeds[] = {
    {B1200, 1200},     {B2400, 2400},     {B4800, 4800},     {B9600, 9600},
    {B19200, 19200},   {B38400, 38400},   {B57600, 57600},   {B115200, 115200},
    {B230400, 230400}, {B460800, 460800}, {B921600, 921600},
};

QString systemError(const char *step)
{
    return QStringLiteral("%1: %2").arg(QLatin1String(step),
                                        QString::fromLocal8Bit(strerror(errno)));
}

bool fail(QString *error, const char *step)
{
    if (error)
        *error = systemError(step);
    return false;
}

} // namespace

PtyMaster::~PtyMaster()
{
    close();
}

bool PtyMaster::open(QString *error)
{
    close();
    masterFd = posix_openpt(O_RDWR | O_NOCTTY);
    if (masterFd < 0)
        return fail(error, "posix_openpt");
    if (grantpt(masterFd) != 0 || unlockpt(masterFd) != 0) {
        const bool result = fail(error, "grantpt/unlockpt");
        close();
        return result;
    }
    const char *name = ptsname(masterFd);
    if (!name) {
        const bool result = fail(error, "ptsname");
        close();
        return result;
    }
    path = QString::fromLocal8Bit(name);

    // Raw line, set once before anyone opens the slave; never again afterwards, since the
    // settings are shared with the tool's side.
    termios raw{};
    if (tcgetattr(masterFd, &raw) != 0 ||
        (cfmakeraw(&raw), tcsetattr(masterFd, TCSANOW, &raw)) != 0) {
        const bool result = fail(error, "tcsetattr");
        close();
        return result;
    }
    const int flags = fcntl(masterFd, F_GETFL);
    if (flags < 0 || fcntl(masterFd, F_SETFL, flags | O_NONBLOCK) != 0) {
        const bool result = fail(error, "fcntl");
        close();
        return result;
    }
    fcntl(masterFd, F_SETFD, FD_CLOEXEC);
    // The master reports a hang-up only once a slave has been opened and closed again.
    const int slaveFd = openSlave();
    if (slaveFd < 0) {
        const bool result = fail(error, "open slave");
        close();
        return result;
    }
    ::close(slaveFd);
    return true;
}

void PtyMaster::close()
{
    if (!link.isEmpty()) {
        QFile::remove(link);
        link.clear();
    }
    if (masterFd >= 0)
        ::close(masterFd);
    masterFd = -1;
    path.clear();
}

bool PtyMaster::makeLink(const QString &linkPath, QString *error)
{
    const QByteArray target = path.toLocal8Bit();
    const QByteArray name = linkPath.toLocal8Bit();
    struct stat existing = {};
    if (::lstat(name.constData(), &existing) == 0) {
        if (!S_ISLNK(existing.st_mode)) {
            if (error)
                *error = QStringLiteral("%1 exists and is not a symbolic link").arg(linkPath);
            return false;
        }
        ::unlink(name.constData());
    }
    if (::symlink(target.constData(), name.constData()) != 0)
        return fail(error, "symlink");
    link = linkPath;
    return true;
}

int PtyMaster::lineBaudRate() const
{
    termios line{};
    if (masterFd < 0 || tcgetattr(masterFd, &line) != 0)
        return 0;
    const speed_t speed = cfgetospeed(&line);
    for (const SpeedEntry &entry : kSpeeds) {
        if (entry.speed == speed)
            return entry.baud;
    }
    return 0;
}

bool PtyMaster::clientHasPortOpen() const
{
    if (masterFd < 0)
        return false;
    pollfd line{masterFd, POLLIN, 0};
    if (::poll(&line, 1, 0) < 0)
        return false;
    return (line.revents & POLLHUP) == 0;
}

void PtyMaster::discardUnreadBytes()
{
    const int slaveFd = openSlave();
    if (slaveFd < 0)
        return;
    tcflush(slaveFd, TCIFLUSH);
    ::close(slaveFd);
}

int PtyMaster::openSlave() const
{
    const QByteArray name = path.toLocal8Bit();
    return ::open(name.constData(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
}

ssize_t PtyMaster::read(void *buffer, size_t size)
{
    return ::read(masterFd, buffer, size);
}

ssize_t PtyMaster::write(const void *data, size_t size)
{
    return ::write(masterFd, data, size);
}
