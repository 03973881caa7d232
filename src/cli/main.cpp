// talvik-ota-cli: the window's device operations from the command line.
#include "cli.h"

#include <QCoreApplication>

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("talvik-ota-cli"));
    QCoreApplication::setApplicationVersion(QStringLiteral(TALVIK_VERSION));
    return Cli::run(QCoreApplication::arguments());
}
