#ifndef CLI_H
#define CLI_H

#include <QStringList>

namespace Cli {

// Parses the arguments (program name first), runs the command and returns the exit status.
// Usage errors are found before the port is opened, so nothing is sent then.
int run(const QStringList &arguments);

} // namespace Cli

#endif // CLI_H
