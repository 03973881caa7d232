#ifndef SCANHELPERS_H
#define SCANHELPERS_H

// Looking at the line from outside the tool: who holds the port, what went out on it.

#include "simtrace.h"

#include <QString>
#include <QVector>

class SimBusThread;

// True while a serial port has the tty open: QSerialPort takes it exclusively until it closes.
bool portHeldExclusively(const QString &portPath);

// The requests the devices saw (CRC-broken ones included), oldest first.
QVector<SimTraceEntry> tracedRequests(const SimBusThread &bus);

#endif // SCANHELPERS_H
