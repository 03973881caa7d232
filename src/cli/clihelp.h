#ifndef CLIHELP_H
#define CLIHELP_H

#include <QString>

class QCommandLineParser;

namespace Cli {

inline constexpr char kProgram[] = "talvik-ota-cli";

// The parser's own help (the global options), then each command with what it does and an
// example, the port forms and the exit status.
QString helpText(const QCommandLineParser &parser);

} // namespace Cli

#endif // CLIHELP_H
