#ifndef LOGCATEGORIES_H
#define LOGCATEGORIES_H

#include <QLoggingCategory>

// Off by default; switched on with QT_LOGGING_RULES, e.g. "talvik.wire.debug=true".
Q_DECLARE_LOGGING_CATEGORY(lcWire)   // talvik.wire: one line per frame sent or received
Q_DECLARE_LOGGING_CATEGORY(lcSerial) // talvik.serial: port opened, closed, failed

#endif // LOGCATEGORIES_H
