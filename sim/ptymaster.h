#ifndef SIM_PTYMASTER_H
#define SIM_PTYMASTER_H

#include <QString>

#include <sys/types.h>

// Master side of a pseudo-terminal pair; the tool opens the slave like any serial port.
class PtyMaster
{
public:
    PtyMaster() = default;
    ~PtyMaster();
    PtyMaster(const PtyMaster &) = delete;
    PtyMaster &operator=(const PtyMaster &) = delete;

    bool open(QString *error = nullptr);
    void close();
    bool isOpen() const { return masterFd >= 0; }

    int fd() const { return masterFd; }
    QString slavePath() const { return path; }
    // A symlink to the slave, removed again by close(); replaces an existing link, never any
    // other file.
    bool makeLink(const QString &linkPath, QString *error = nullptr);

    // Baud rate the tool last set on its side of the line; 0 when not a table rate.
    int lineBaudRate() const;
    // Whether any client has the slave open, locked or not: the master hangs up without one.
    bool clientHasPortOpen() const;
    // Drops what waits unread on the slave side, so a client that left does not hand it to
    // the next one.
    void discardUnreadBytes();

    // Non-blocking; -1 with errno EAGAIN when nothing waits.
    ssize_t read(void *buffer, size_t size);
    ssize_t write(const void *data, size_t size);

private:
    int openSlave() const;

    int masterFd = -1;
    QString path;
    QString link;
};

#endif // SIM_PTYMASTER_H
