#ifndef HOSTLOOKUP_H
#define HOSTLOOKUP_H

#include <QHostAddress>
#include <QList>
#include <QString>

// The addresses of a host, from the system's resolver on a thread of its own: a name server that
// never answers costs timeoutMs, not the resolver's own time-outs, and does not hold the program
// at its end. An address given as text is taken as it is. Empty, with *error set, when there is
// none in time.
QList<QHostAddress> lookUpHost(const QString &host, int timeoutMs, QString *error);

#endif // HOSTLOOKUP_H
