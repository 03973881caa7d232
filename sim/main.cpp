// talvik-bus-sim: simulated RS485 reader bus on a pseudo-terminal.
#include "simbus.h"
#include "simcontrol.h"
#include "simscenario.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QFile>
#include <QSocketNotifier>
#include <QStringList>
#include <QTextStream>

#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <unistd.h>

namespace {

constexpr int kStdinBufferSize = 1024;
constexpr int kExitUsage = 2;
constexpr int kExitPty = 1;
// Played when no device is given; built into the program so the installed one has it too.
const char kDemoScenario[] = ":/scenarios/demo.bus";

int signalPipe[2] = {-1, -1};

void forwardSignal(int)
{
    const char byte = 1;
    [[maybe_unused]] const ssize_t written = ::write(signalPipe[1], &byte, 1);
}

// SIGINT/SIGTERM/SIGHUP end the event loop, so the link and the trace file are cleaned up.
void quitOnSignals(QCoreApplication &app)
{
    if (::pipe2(signalPipe, O_CLOEXEC | O_NONBLOCK) != 0)
        return;
    auto *notifier = new QSocketNotifier(signalPipe[0], QSocketNotifier::Read, &app);
    QObject::connect(notifier, &QSocketNotifier::activated, &app, &QCoreApplication::quit);
    struct sigaction action = {};
    action.sa_handler = forwardSignal;
    sigemptyset(&action.sa_mask);
    for (int signalNumber : {SIGINT, SIGTERM, SIGHUP})
        sigaction(signalNumber, &action, nullptr);
}

void printOut(const QString &text)
{
    if (text.isEmpty())
        return;
    std::fputs(qPrintable(text), stdout);
    if (!text.endsWith(QLatin1Char('\n')))
        std::fputc('\n', stdout);
    std::fflush(stdout);
}

[[noreturn]] void usageError(const QString &message)
{
    std::fprintf(stderr, "talvik-bus-sim: %s\n", qPrintable(message));
    std::exit(kExitUsage);
}

// Reads control commands from stdin as they come; end of input only ends the channel.
void listenOnStdin(QCoreApplication &app, SimBus &bus)
{
    auto *notifier = new QSocketNotifier(STDIN_FILENO, QSocketNotifier::Read, &app);
    auto *pending = new QByteArray;
    QObject::connect(&app, &QObject::destroyed, [pending] { delete pending; });
    QObject::connect(notifier, &QSocketNotifier::activated, &app, [&app, &bus, notifier, pending] {
        char buffer[kStdinBufferSize];
        const ssize_t count = ::read(STDIN_FILENO, buffer, sizeof(buffer));
        if (count <= 0) {
            notifier->setEnabled(false);
            return;
        }
        pending->append(buffer, static_cast<int>(count));
        int newline = 0;
        while ((newline = pending->indexOf('\n')) >= 0) {
            const QString line = QString::fromUtf8(pending->left(newline)).trimmed();
            pending->remove(0, newline + 1);
            if (line == QLatin1String("quit")) {
                app.quit();
                return;
            }
            printOut(SimControl::execute(bus, line));
        }
    });
}

void loadScenario(const QString &path, const SimDeviceConfig &defaults,
                  SimSetup::Scenario *scenario)
{
    QFile file(path);
    QString error;
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text))
        usageError(QStringLiteral("%1: %2").arg(file.fileName(), file.errorString()));
    if (!SimSetup::parseScenario(QString::fromUtf8(file.readAll()), defaults, scenario, &error))
        usageError(QStringLiteral("%1: %2").arg(file.fileName(), error));
}

QString deviceAddresses(const QVector<SimDeviceConfig> &devices)
{
    QStringList addresses;
    for (const SimDeviceConfig &config : devices)
        addresses << SimSetup::hexAddress(config.settings.ownAddress);
    return addresses.join(QStringLiteral(", "));
}

QString description()
{
    return QStringLiteral(
               "Simulated RS485 bus of RFID reader devices for talvik-ota-tool.\n"
               "Opens a pseudo-terminal and prints the path of its serial side as the first "
               "line on stdout;\nopen that path in the tool, or in any serial program, as the "
               "serial port. Commands on\nstdin control the bus while it runs. Without --device "
               "or --scenario the demo bus plays:\nreaders at 01, 1A and 80.\n\n"
               "Firmware images: the bootloader accepts an image whose last 4 bytes are the "
               "little-endian CRC-32\n(zlib) of the rest, or any image with acceptany=1 / "
               "--accept-any-image. The new version is the\nprintable text after \"VER:\" in "
               "the image, else \"image-\" and that CRC-32 in hex.\n\n"
               "A device hears only frames sent at its own rate (baud=RATE) and says nothing to "
               "the rest.\nDevices at one address and rate answer together, as on RS485: where "
               "their answers overlap\nthe line carries the bitwise AND of their bytes, then "
               "the longer answer's tail as it is.\nAnswers due together start together; one "
               "due later meets the others where they then are\n(unpaced, only answers due at "
               "the same moment overlap). Answers exactly alike look like one.\n\n") +
           SimSetup::keysHelp() +
           QStringLiteral("\nScenario file: lines \"device KEYS\" and "
                          "\"bus FAULTS[,seed=N]\"; '#' starts a "
                          "comment.\n\n") +
           SimControl::help();
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("talvik-bus-sim"));
    QCoreApplication::setApplicationVersion(QStringLiteral(TALVIK_VERSION));

    QCommandLineParser parser;
    parser.setApplicationDescription(description());
    parser.addHelpOption();
    parser.addVersionOption();
    const QCommandLineOption deviceOption(QStringLiteral("device"),
                                          QStringLiteral("Adds a device (repeatable)."),
                                          QStringLiteral("KEYS"));
    const QCommandLineOption scenarioOption(QStringLiteral("scenario"),
                                            QStringLiteral("Loads devices and bus faults."),
                                            QStringLiteral("FILE"));
    const QCommandLineOption busFaultsOption(QStringLiteral("bus-faults"),
                                             QStringLiteral("Faults of every device."),
                                             QStringLiteral("KEYS"));
    const QCommandLineOption seedOption(QStringLiteral("seed"),
                                        QStringLiteral("Seed of the CRC-corruption fault."),
                                        QStringLiteral("N"), QStringLiteral("1"));
    const QCommandLineOption linkOption(QStringLiteral("link"),
                                        QStringLiteral("Also makes a symlink to the port."),
                                        QStringLiteral("PATH"));
    const QCommandLineOption traceOption(
        QStringLiteral("trace"), QStringLiteral("Writes every frame, one line each, to FILE."),
        QStringLiteral("FILE"));
    const QCommandLineOption captureOption(
        QStringLiteral("capture"),
        QStringLiteral("Writes every frame to FILE as pcapng, for Wireshark."),
        QStringLiteral("FILE"));
    const QCommandLineOption unpacedOption(
        QStringLiteral("unpaced"), QStringLiteral("Bytes travel instantly, not at line speed."));
    const QCommandLineOption restartOption(QStringLiteral("restart-ms"),
                                           QStringLiteral("Default restart time (300)."),
                                           QStringLiteral("MS"));
    const QCommandLineOption bootstartOption(QStringLiteral("bootstart-ms"),
                                             QStringLiteral("Default bootloader start (300)."),
                                             QStringLiteral("MS"));
    const QCommandLineOption eraseOption(QStringLiteral("erase-ms"),
                                         QStringLiteral("Default flash erase time (200)."),
                                         QStringLiteral("MS"));
    const QCommandLineOption acceptAnyOption(QStringLiteral("accept-any-image"),
                                             QStringLiteral("Skips the image check."));
    const QCommandLineOption emptyOption(QStringLiteral("empty"),
                                         QStringLiteral("A bus without devices, not the demo."));
    parser.addOptions({deviceOption, scenarioOption, busFaultsOption, seedOption, linkOption,
                       traceOption, captureOption, unpacedOption, restartOption, bootstartOption,
                       eraseOption, acceptAnyOption, emptyOption});
    parser.process(app);
    const bool devicesGiven = parser.isSet(deviceOption) || parser.isSet(scenarioOption);
    const bool empty = parser.isSet(emptyOption);
    if (empty && devicesGiven)
        usageError(QStringLiteral("--empty takes no --device or --scenario"));

    SimDeviceConfig defaults;
    const auto readMs = [&parser](const QCommandLineOption &option, int *target) {
        if (!parser.isSet(option))
            return;
        bool ok = false;
        *target = parser.value(option).toInt(&ok);
        if (!ok || *target < 0)
            usageError(QStringLiteral("bad milliseconds for --%1").arg(option.names().first()));
    };
    readMs(restartOption, &defaults.timing.restartMs);
    readMs(bootstartOption, &defaults.timing.bootloaderStartMs);
    readMs(eraseOption, &defaults.timing.eraseMs);
    defaults.acceptAnyImage = parser.isSet(acceptAnyOption);

    SimSetup::Scenario scenario;
    QString error;
    const bool demo = !devicesGiven && !empty;
    if (parser.isSet(scenarioOption))
        loadScenario(parser.value(scenarioOption), defaults, &scenario);
    else if (demo)
        loadScenario(QLatin1String(kDemoScenario), defaults, &scenario);
    for (const QString &keys : parser.values(deviceOption)) {
        SimDeviceConfig config = defaults;
        if (!SimSetup::parseDevice(keys, &config, &error))
            usageError(QStringLiteral("--device %1: %2").arg(keys, error));
        scenario.devices.append(config);
    }
    if (parser.isSet(busFaultsOption) &&
        !SimSetup::parseFaults(parser.value(busFaultsOption), &scenario.busFaults, &error))
        usageError(QStringLiteral("--bus-faults: %1").arg(error));
    quint32 seed = scenario.seed;
    if (parser.isSet(seedOption) || !scenario.seedGiven) {
        bool ok = false;
        seed = parser.value(seedOption).toUInt(&ok);
        if (!ok)
            usageError(QStringLiteral("bad --seed"));
    }

    SimBusOptions options;
    options.paced = !parser.isSet(unpacedOption);
    options.seed = seed;
    options.linkPath = parser.value(linkOption);
    options.traceFile = parser.value(traceOption);
    options.captureFile = parser.value(captureOption);

    SimBus bus(options);
    if (!bus.open(&error)) {
        std::fprintf(stderr, "talvik-bus-sim: %s\n", qPrintable(error));
        return kExitPty;
    }
    bus.setBusFaults(scenario.busFaults);
    for (const SimDeviceConfig &config : scenario.devices)
        bus.addDevice(config);

    printOut(bus.portPath());
    if (demo)
        std::fprintf(stderr,
                     "talvik-bus-sim: no devices given, playing the demo bus: readers at %s "
                     "(--empty for none)\n",
                     qPrintable(deviceAddresses(scenario.devices)));
    else if (scenario.devices.isEmpty())
        std::fprintf(stderr, "talvik-bus-sim: no devices given, the bus is empty\n");

    quitOnSignals(app);
    listenOnStdin(app, bus);
    return app.exec();
}
