#include "logcategories.h"

// Info and above only, so that the debug lines stay quiet until a rule asks for them.
Q_LOGGING_CATEGORY(lcWire, "talvik.wire", QtInfoMsg)
Q_LOGGING_CATEGORY(lcSerial, "talvik.serial", QtInfoMsg)
