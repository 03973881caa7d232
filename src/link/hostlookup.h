#ifndef HOSTLOOKUP_H
#define HOSTLOOKUP_H

#include <QHostAddress>
#include <QList>
#include <QString>

class OpenWait;

// The addresses of a host, from the system's resolver on a thread of its own, waited for in the
// open's event loop: a name server that never answers costs timeoutMs, not the resolver's own
// time-outs, and does not hold the program at its end. An address given as text is taken as it
// is. Empty, with *error set, when there is none in time or the open was cancelled.
QList<QHostAddress> lookUpHost(const QString &host, int timeoutMs, OpenWait &wait, QString *error);

#endif // HOSTLOOKUP_H
