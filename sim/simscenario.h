#ifndef SIM_SIMSCENARIO_H
#define SIM_SIMSCENARIO_H

#include "simdevice.h"

#include <QString>
#include <QVector>

// Text forms of devices and faults, shared by the command line, scenario files and the
// control channel. Devices and faults are written as comma-separated key=value pairs, e.g.
//   addr=1A,name=Door reader,baud=115200,addrtag=04A1B2C3D4E5F6:1A:DOOR:1
namespace SimSetup {

// Applies key=value pairs such as "addr=1A,name=Door" on top of *config.
bool parseDevice(const QString &keys, SimDeviceConfig *config, QString *error);
// Fault keys only (silent, delay, error, crcrate, crcnext, late, dropafter, ...), on top of
// *faults.
bool parseFaults(const QString &keys, SimFaults *faults, QString *error);

struct Scenario
{
    QVector<SimDeviceConfig> devices;
    SimFaults busFaults;
    bool seedGiven = false;
    quint32 seed = 0;
};

// Lines "device KEYS" and "bus KEYS" (bus faults and seed=N); '#' starts a comment.
// Every device starts from `defaults`.
bool parseScenario(const QString &text, const SimDeviceConfig &defaults, Scenario *scenario,
                   QString *error);

// Two upper-case hexadecimal digits, as bus addresses are written.
QString hexAddress(uint8_t address);

// One line per device for the control channel's "state".
QString describe(const SimDeviceState &state);

// Help text of the keys, for --help.
QString keysHelp();

} // namespace SimSetup

#endif // SIM_SIMSCENARIO_H
