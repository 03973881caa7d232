#ifndef SIM_SIMCONTROL_H
#define SIM_SIMCONTROL_H

#include <QString>

class SimBus;

// The operator's control channel (stdin of talvik-bus-sim): one command a line, answer text
// back. Runs on the bus thread.
namespace SimControl {

QString execute(SimBus &bus, const QString &line);
QString help();

} // namespace SimControl

#endif // SIM_SIMCONTROL_H
