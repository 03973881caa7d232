// Arguments of talvik-ota-cli: global options, one command and its own options.
#include "cli.h"

#include "busaddress.h"
#include "clicommands.h"
#include "clihelp.h"
#include "clioutput.h"
#include "deviceclient.h"
#include "exchangetiming.h"
#include "imagesignature.h"
#include "linecapture.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QRegularExpression>

#include <algorithm>
#include <cstdio>
#include <functional>

using namespace CliCommands;

namespace Cli {
namespace {

constexpr int kDefaultBaudRate = 115200;
constexpr int kMinProbeTimeoutMs = 10;
constexpr int kMaxProbeTimeoutMs = 5000;
constexpr int kMaxShortNameBytes = static_cast<int>(kShortNameSize);

using Action = std::function<int(Session &)>;

// Reports a usage error by leaving the action empty.
struct Parse
{
    Action action;
    QString error;
};

Parse usage(const QString &error)
{
    return Parse{Action(), error};
}

// The options of the whole program, as given before the command or after it.
struct GlobalOptions
{
    QString port;
    QString baud = QString::number(kDefaultBaudRate);
    bool baudGiven = false;
    QString capture;
    bool json = false;
    bool quiet = false;
    bool help = false;
    QStringList trustedKeys; // in place of the trusted-keys folders
};

QList<QCommandLineOption> globalOptionList()
{
    return {
        QCommandLineOption(QStringLiteral("port"),
                           CliText::tr("Serial port: a device path (/dev/ttyUSB0, a "
                                       "/dev/serial/by-id/ link, a pseudo-terminal) or a network "
                                       "serial server, rfc2217://HOST:PORT or tcp://HOST:PORT, "
                                       "through TLS rfc2217+tls://HOST:PORT?PARAMETERS or "
                                       "tcp+tls://HOST:PORT?PARAMETERS (required but for ports)."),
                           QStringLiteral("PORT")),
        QCommandLineOption(QStringLiteral("baud"),
                           CliText::tr("Line speed: one of %1 (default %2).")
                               .arg(baudRatesText(), QString::number(kDefaultBaudRate)),
                           QStringLiteral("RATE"), QString::number(kDefaultBaudRate)),
        QCommandLineOption(QStringLiteral("capture"),
                           CliText::tr("Also writes every frame on the line to FILE, pcapng for "
                                       "Wireshark (the dissector is in "
                                       "/usr/share/talvik-ota-tool/wireshark/)."),
                           QStringLiteral("FILE")),
        QCommandLineOption(QStringLiteral("json"),
                           CliText::tr("JSON Lines on standard output instead of text.")),
        QCommandLineOption(QStringLiteral("quiet"),
                           CliText::tr("No progress, no text but results and errors.")),
        QCommandLineOption(QStringLiteral("trusted-key"),
                           CliText::tr("A minisign public key whose signatures flash and verify "
                                       "accept, in place of the *.pub files of the trusted-keys "
                                       "folders; may be given more than once."),
                           QStringLiteral("FILE")),
    };
}

// Takes what the parser found of the global options but those the command owns; later ones win
// over earlier ones.
void takeGlobalOptions(const QCommandLineParser &parser, GlobalOptions *globals,
                       const QStringList &commandOwns = QStringList())
{
    const auto given = [&](const char *name) {
        return !commandOwns.contains(QLatin1String(name)) && parser.isSet(QLatin1String(name));
    };
    if (given("port"))
        globals->port = parser.value(QStringLiteral("port"));
    if (given("baud")) {
        globals->baud = parser.value(QStringLiteral("baud"));
        globals->baudGiven = true;
    }
    if (given("capture"))
        globals->capture = parser.value(QStringLiteral("capture"));
    globals->json = globals->json || given("json");
    globals->quiet = globals->quiet || given("quiet");
    globals->help = globals->help || given("help") || given("help-all");
    if (given("trusted-key"))
        globals->trustedKeys += parser.values(QStringLiteral("trusted-key"));
}

// A command's own options and arguments; the global options may stand among them, unless the
// command has an option of the same name.
bool parseCommandArguments(QCommandLineParser &parser, const QList<QCommandLineOption> &own,
                           const QString &command, const QStringList &arguments,
                           GlobalOptions *globals, QString *error)
{
    parser.addOptions(own);
    QStringList owned;
    for (const QCommandLineOption &option : own)
        owned << option.names();
    for (const QCommandLineOption &option : globalOptionList()) {
        if (!owned.contains(option.names().first()))
            parser.addOption(option);
    }
    parser.addOptions({QCommandLineOption(QStringList{"help", "h", "?"}),
                       QCommandLineOption(QStringLiteral("help-all"))});
    if (!parser.parse(QStringList{QLatin1String(kProgram) + ' ' + command} + arguments)) {
        *error = command + QStringLiteral(": ") + parser.errorText();
        return false;
    }
    takeGlobalOptions(parser, globals, owned);
    return true;
}

// Two hexadecimal digits of either case, optionally behind "0x": "1A", "1a", "0x1A".
std::optional<uint8_t> parseHexByte(const QString &text)
{
    static const QRegularExpression twoDigits(QStringLiteral("^(?:0[xX])?([0-9A-Fa-f]{2})$"));
    const QRegularExpressionMatch match = twoDigits.match(text);
    if (!match.hasMatch())
        return std::nullopt;
    return static_cast<uint8_t>(match.captured(1).toUInt(nullptr, 16));
}

std::optional<uint8_t> hexArgument(const QString &text, const QString &what, QString *error)
{
    const std::optional<uint8_t> value = parseHexByte(text);
    if (!value)
        *error = CliText::tr("bad %1 '%2': two hexadecimal digits expected").arg(what, text);
    return value;
}

std::optional<uint8_t> baudIndexArgument(const QString &text, QString *error)
{
    bool ok = false;
    const int index = baudIndexOf(text.toInt(&ok));
    if (!ok || index < 0) {
        *error = CliText::tr("bad baud rate '%1': one of %2").arg(text, baudRatesText());
        return std::nullopt;
    }
    return static_cast<uint8_t>(index);
}

// The one device address of a command, and its other arguments behind it.
bool splitAddress(const QString &command, QStringList *arguments, int extraMin, int extraMax,
                  uint8_t *address, QString *error)
{
    if (arguments->size() < 1 + extraMin || arguments->size() > 1 + extraMax) {
        *error = command + CliText::tr(": wrong number of arguments");
        return false;
    }
    const std::optional<uint8_t> value =
        hexArgument(arguments->takeFirst(), CliText::tr("address"), error);
    if (value)
        *address = *value;
    return value.has_value();
}

// "all", or rates of the table separated by commas: fastest first, each once.
std::optional<QVector<int>> ratesArgument(const QString &text, QString *error)
{
    QVector<int> rates;
    const QStringList given = text == QLatin1String("all") ? baudRatesText().split(QLatin1Char(' '))
                                                           : text.split(QLatin1Char(','));
    for (const QString &rate : given) {
        const int value = rate.trimmed().toInt();
        if (baudIndexOf(value) < 0) {
            *error = CliText::tr("scan: bad rate '%1' in --rates: one or more of %2, or all")
                         .arg(rate, baudRatesText(QStringLiteral(",")));
            return std::nullopt;
        }
        if (!rates.contains(value))
            rates << value;
    }
    std::sort(rates.begin(), rates.end(), std::greater<int>());
    return rates;
}

using RangeCommand = std::function<int(Session &, const ScanOptions &)>;

// scan and survey: the addresses to probe and how long each may take to answer; scan also at
// several rates.
Parse parseScanRange(const QString &command, const QStringList &arguments, GlobalOptions *globals,
                     const RangeCommand &run)
{
    QCommandLineParser parser;
    const QCommandLineOption from(QStringLiteral("from"), QString(), QStringLiteral("HH"),
                                  hexByte(kFirstBusAddress));
    const QCommandLineOption to(QStringLiteral("to"), QString(), QStringLiteral("HH"),
                                hexByte(kLastBusAddress));
    const QCommandLineOption timeout(QStringLiteral("timeout"), QString(), QStringLiteral("MS"),
                                     QString::number(ExchangeTiming::kScanProbeTimeoutMs));
    const QCommandLineOption rates(QStringLiteral("rates"), QString(), QStringLiteral("LIST"));
    const bool sweeps = command == QLatin1String("scan");
    QList<QCommandLineOption> own{from, to, timeout};
    if (sweeps)
        own << rates;
    QString error;
    if (!parseCommandArguments(parser, own, command, arguments, globals, &error))
        return usage(error);
    if (!parser.positionalArguments().isEmpty())
        return usage(command + CliText::tr(": no arguments expected"));
    ScanOptions options;
    const std::optional<uint8_t> first = hexArgument(parser.value(from), "--from", &error);
    const std::optional<uint8_t> last = hexArgument(parser.value(to), "--to", &error);
    if (!first || !last)
        return usage(error);
    if (*first > *last)
        return usage(command + CliText::tr(": --from is above --to"));
    options.first = *first;
    options.last = *last;
    bool ok = false;
    options.timeoutMs = parser.value(timeout).toInt(&ok);
    if (!ok || options.timeoutMs < kMinProbeTimeoutMs || options.timeoutMs > kMaxProbeTimeoutMs)
        return usage(command + CliText::tr(": --timeout takes 10 to 5000 ms"));
    if (sweeps && parser.isSet(rates)) {
        const std::optional<QVector<int>> list = ratesArgument(parser.value(rates), &error);
        if (!list)
            return usage(error);
        if (globals->baudGiven)
            return usage(CliText::tr("scan: --rates sets the line's rates itself; leave out "
                                     "--baud"));
        if (BusAddress::parse(globals->port).kind == BusAddress::Kind::RawTcp)
            return usage(CliText::tr("scan: --rates over a tcp:// port cannot change the "
                                     "server's own rate; use rfc2217://, whose rate the tool "
                                     "sets"));
        options.rates = *list;
    }
    return Parse{[=](Session &s) { return run(s, options); }, QString()};
}

Parse parseSet(const QStringList &arguments, GlobalOptions *globals)
{
    QCommandLineParser parser;
    const QCommandLineOption baud(QStringLiteral("baud"), QString(), QStringLiteral("RATE"));
    const QCommandLineOption address(QStringLiteral("address"), QString(), QStringLiteral("HH"));
    const QCommandLineOption terminated(QStringLiteral("terminated"), QString(),
                                        QStringLiteral("on|off"));
    const QCommandLineOption name(QStringLiteral("name"), QString(), QStringLiteral("TEXT"));
    QString error;
    if (!parseCommandArguments(parser, {baud, address, terminated, name}, QStringLiteral("set"),
                               arguments, globals, &error))
        return usage(error);
    QStringList positional = parser.positionalArguments();
    uint8_t device = 0;
    if (!splitAddress(QStringLiteral("set"), &positional, 0, 0, &device, &error))
        return usage(error);

    SettingsChange change;
    if (parser.isSet(baud) && !(change.baudIndex = baudIndexArgument(parser.value(baud), &error)))
        return usage(error);
    if (parser.isSet(address) &&
        !(change.address = hexArgument(parser.value(address), "--address", &error)))
        return usage(error);
    if (parser.isSet(terminated)) {
        const QString value = parser.value(terminated);
        if (value != QLatin1String("on") && value != QLatin1String("off"))
            return usage(CliText::tr("set: --terminated takes on or off"));
        change.terminated = value == QLatin1String("on");
    }
    if (parser.isSet(name)) {
        if (parser.value(name).toUtf8().size() > kMaxShortNameBytes)
            return usage(CliText::tr("set: --name takes at most four bytes of UTF-8"));
        change.shortName = parser.value(name);
    }
    if (!change.baudIndex && !change.address && !change.terminated && !change.shortName)
        return usage(CliText::tr("set: nothing to change"));
    // The device would move to the new rate and the server stay at its own: lost until someone
    // reconfigures the server.
    if (change.baudIndex && BusAddress::parse(globals->port).kind == BusAddress::Kind::RawTcp)
        return usage(CliText::tr("set: --baud over a tcp:// port would leave the server at the "
                                 "old rate and the device out of reach; use rfc2217://, whose "
                                 "rate the tool sets"));
    return Parse{[=](Session &s) { return changeSettings(s, device, change); }, QString()};
}

Parse parseRestore(const QStringList &arguments, GlobalOptions *globals)
{
    QCommandLineParser parser;
    const QCommandLineOption from(QStringLiteral("from"), QString(), QStringLiteral("ADDR"));
    const QCommandLineOption keepAddress(QStringLiteral("keep-address"));
    const QCommandLineOption keepBaud(QStringLiteral("keep-baud"));
    QString error;
    if (!parseCommandArguments(parser, {from, keepAddress, keepBaud}, QStringLiteral("restore"),
                               arguments, globals, &error))
        return usage(error);
    const QStringList positional = parser.positionalArguments();
    if (positional.size() != 2)
        return usage(CliText::tr("restore: a backup file and an address expected"));
    std::optional<uint8_t> fromAddress;
    if (parser.isSet(from) && !(fromAddress = hexArgument(parser.value(from), "--from", &error)))
        return usage(error);
    const std::optional<uint8_t> device =
        hexArgument(positional.at(1), CliText::tr("address"), &error);
    if (!device)
        return usage(error);
    RestoreOptions options;
    options.keepAddress = parser.isSet(keepAddress);
    options.keepBaud = parser.isSet(keepBaud);
    error = readBackup(positional.at(0), fromAddress, &options.backup);
    if (!error.isEmpty())
        return usage(error);
    return Parse{[=](Session &s) { return restoreDevice(s, *device, options); }, QString()};
}

// Addresses in hexadecimal, at least one.
std::optional<QVector<uint8_t>> addressList(const QStringList &texts, QString *error)
{
    QVector<uint8_t> addresses;
    for (const QString &text : texts) {
        const std::optional<uint8_t> address = hexArgument(text, CliText::tr("address"), error);
        if (!address)
            return std::nullopt;
        addresses << *address;
    }
    return addresses;
}

Parse parseFlash(const QStringList &arguments, GlobalOptions *globals)
{
    QCommandLineParser parser;
    const QCommandLineOption expect(QStringLiteral("expect-version"), QString(),
                                    QStringLiteral("TEXT"));
    QString error;
    if (!parseCommandArguments(parser, {expect}, QStringLiteral("flash"), arguments, globals,
                               &error))
        return usage(error);
    std::optional<QString> expectedVersion;
    if (parser.isSet(expect)) {
        expectedVersion = parser.value(expect);
        if (!isVersionText(*expectedVersion))
            return usage(CliText::tr("flash: --expect-version takes 1 to 64 printable characters"));
    }
    QStringList positional = parser.positionalArguments();
    if (positional.size() < 2)
        return usage(CliText::tr("flash: an image and at least one address expected"));
    QByteArray image;
    const QString imagePath = positional.takeFirst();
    error = readImage(imagePath, &image);
    if (!error.isEmpty())
        return usage(error);
    const std::optional<QVector<uint8_t>> addresses = addressList(positional, &error);
    if (!addresses)
        return usage(error);
    // Before the port is opened: a refused image is never sent.
    const ImageVerdict verdict =
        ImageSignature::checkWithTrustedKeys(imagePath, image, globals->trustedKeys);
    if (verdict.refused())
        return usage(CliText::tr("flash: image refused: ") + verdict.reason);
    const QString &signedVersion = verdict.signedVersion;
    if (!signedVersion.isEmpty()) {
        if (expectedVersion && *expectedVersion != signedVersion)
            return usage(CliText::tr("flash: --expect-version '%1' is not the version the image "
                                     "is signed for, '%2'")
                             .arg(*expectedVersion, signedVersion));
        if (!isVersionText(signedVersion))
            return usage(CliText::tr("flash: the signed version '%1' is not 1 to 64 printable "
                                     "characters")
                             .arg(signedVersion));
        expectedVersion = signedVersion;
    }
    return Parse{[=](Session &s) {
                     noteSignature(s.out, verdict);
                     return flashImage(s, image, *addresses, expectedVersion);
                 },
                 QString()};
}

// Positional arguments of a command without options of its own.
bool positionalArguments(const QString &command, const QStringList &arguments,
                         GlobalOptions *globals, QStringList *positional, QString *error)
{
    QCommandLineParser parser;
    if (!parseCommandArguments(parser, {}, command, arguments, globals, error))
        return false;
    *positional = parser.positionalArguments();
    return true;
}

Parse parseBackup(const QStringList &given, GlobalOptions *globals)
{
    QString error;
    QStringList arguments;
    if (!positionalArguments(QStringLiteral("backup"), given, globals, &arguments, &error))
        return usage(error);
    if (arguments.isEmpty())
        return usage(CliText::tr("backup: at least one address expected"));
    const std::optional<QVector<uint8_t>> addresses = addressList(arguments, &error);
    if (!addresses)
        return usage(error);
    return Parse{[=](Session &s) { return backupDevices(s, *addresses); }, QString()};
}

// Needs no port: for makers' pipelines and the playbook's check.
Parse parseVerify(const QStringList &given, GlobalOptions *globals)
{
    QString error;
    QStringList arguments;
    if (!positionalArguments(QStringLiteral("verify"), given, globals, &arguments, &error))
        return usage(error);
    if (arguments.size() != 1)
        return usage(CliText::tr("verify: one image expected"));
    QByteArray image;
    error = readImage(arguments.first(), &image);
    if (!error.isEmpty())
        return usage(error);
    const QString path = arguments.first();
    const QStringList keyFiles = globals->trustedKeys;
    return Parse{[=](Session &s) { return verifyImage(s.out, path, image, keyFiles); }, QString()};
}

Parse parseLed(const QStringList &given, GlobalOptions *globals)
{
    uint8_t device = 0;
    QString error;
    QStringList arguments;
    if (!positionalArguments(QStringLiteral("led"), given, globals, &arguments, &error) ||
        !splitAddress(QStringLiteral("led"), &arguments, 1, 1, &device, &error))
        return usage(error);
    const QString mode = arguments.first();
    QByteArray request;
    if (mode == QLatin1String("on"))
        request = buildLed(kLedOn);
    else if (mode == QLatin1String("off"))
        request = buildLed(kLedOff);
    else if (mode == QLatin1String("toggle"))
        request = buildLedToggle();
    else
        return usage(CliText::tr("led: on, off or toggle expected"));
    return Parse{[=](Session &s) { return switchLed(s, device, request); }, QString()};
}

Parse parseEeprom(const QStringList &given, GlobalOptions *globals)
{
    uint8_t device = 0;
    QString error;
    QStringList arguments;
    if (!positionalArguments(QStringLiteral("eeprom"), given, globals, &arguments, &error) ||
        !splitAddress(QStringLiteral("eeprom"), &arguments, 1, 2, &device, &error))
        return usage(error);
    const std::optional<uint8_t> eepromAddress =
        hexArgument(arguments.at(0), CliText::tr("EEPROM address"), &error);
    if (!eepromAddress)
        return usage(error);
    std::optional<uint8_t> value;
    if (arguments.size() > 1 &&
        !(value = hexArgument(arguments.at(1), CliText::tr("EEPROM value"), &error)))
        return usage(error);
    return Parse{[=](Session &s) { return accessEeprom(s, device, *eepromAddress, value); },
                 QString()};
}

// Commands that take nothing but the device address.
Parse parseAddressOnly(const QString &command, const QStringList &given, GlobalOptions *globals,
                       const std::function<int(Session &, uint8_t)> &run)
{
    uint8_t device = 0;
    QString error;
    QStringList arguments;
    if (!positionalArguments(command, given, globals, &arguments, &error) ||
        !splitAddress(command, &arguments, 0, 0, &device, &error))
        return usage(error);
    return Parse{[=](Session &s) { return run(s, device); }, QString()};
}

Parse parsePorts(const QStringList &given, GlobalOptions *globals)
{
    QString error;
    QStringList arguments;
    if (!positionalArguments(QStringLiteral("ports"), given, globals, &arguments, &error))
        return usage(error);
    if (!arguments.isEmpty())
        return usage(CliText::tr("ports: no arguments expected"));
    return Parse{[](Session &s) { return listPorts(s.out); }, QString()};
}

Parse parseCommand(const QString &command, const QStringList &arguments, GlobalOptions *globals)
{
    if (command == QLatin1String("ports"))
        return parsePorts(arguments, globals);
    if (command == QLatin1String("scan"))
        return parseScanRange(command, arguments, globals, scanBus);
    if (command == QLatin1String("survey"))
        return parseScanRange(command, arguments, globals, surveyBus);
    if (command == QLatin1String("info"))
        return parseAddressOnly(command, arguments, globals, showInfo);
    if (command == QLatin1String("set"))
        return parseSet(arguments, globals);
    if (command == QLatin1String("reboot") || command == QLatin1String("reset")) {
        const DeviceCommand request =
            command == QLatin1String("reboot") ? CmdReboot : CmdResetToDefaults;
        return parseAddressOnly(command, arguments, globals, [request](Session &s, uint8_t device) {
            return restartDevice(s, device, request);
        });
    }
    if (command == QLatin1String("flash"))
        return parseFlash(arguments, globals);
    if (command == QLatin1String("backup"))
        return parseBackup(arguments, globals);
    if (command == QLatin1String("restore"))
        return parseRestore(arguments, globals);
    if (command == QLatin1String("verify"))
        return parseVerify(arguments, globals);
    if (command == QLatin1String("led"))
        return parseLed(arguments, globals);
    if (command == QLatin1String("eeprom"))
        return parseEeprom(arguments, globals);
    return usage(CliText::tr("unknown command '%1'").arg(command));
}

int runOnPort(Session &session, const Action &action, int baudRate)
{
    if (!session.client.open(session.portPath, baudRate)) {
        session.out.error(
            CliText::tr("cannot open %1: %2").arg(session.portPath, session.client.errorString()));
        return ExitPortFailed;
    }
    if (!session.client.exposureWarning().isEmpty())
        session.out.error(CliText::tr("warning: ") + session.client.exposureWarning());
    return action(session);
}

int usageError(const QString &message)
{
    std::fprintf(stderr, "%s: %s\nTry '%s --help' for more information.\n", kProgram,
                 qPrintable(message), kProgram);
    return ExitUsage;
}

} // namespace

int run(const QStringList &arguments)
{
    QCommandLineParser parser;
    parser.setApplicationDescription(CliText::tr(
        "Scans, inspects, configures and flashes the RFID reader devices on an RS485 bus\n"
        "through a serial port, one request at a time, for scripts and test rigs."));
    parser.setOptionsAfterPositionalArgumentsMode(QCommandLineParser::ParseAsPositionalArguments);
    parser.addOptions(globalOptionList());
    parser.addHelpOption();
    const QCommandLineOption version = parser.addVersionOption();
    parser.addPositionalArgument(QStringLiteral("command"),
                                 CliText::tr("One of the commands below, with its arguments."),
                                 QStringLiteral("COMMAND [ARGUMENTS]"));

    if (!parser.parse(arguments))
        return usageError(parser.errorText());
    GlobalOptions globals;
    takeGlobalOptions(parser, &globals);
    if (globals.help) {
        std::fputs(qPrintable(helpText(parser)), stdout);
        return ExitOk;
    }
    if (parser.isSet(version)) {
        std::printf("%s %s\n", kProgram, qPrintable(QCoreApplication::applicationVersion()));
        return ExitOk;
    }
    QStringList positional = parser.positionalArguments();
    if (positional.isEmpty())
        return usageError(CliText::tr("no command given"));
    const QString command = positional.takeFirst();
    const Parse parsed = parseCommand(command, positional, &globals);
    if (globals.help) {
        std::fputs(qPrintable(helpText(parser)), stdout);
        return ExitOk;
    }
    if (!parsed.action)
        return usageError(parsed.error);
    QString error;
    const std::optional<uint8_t> baudIndex = baudIndexArgument(globals.baud, &error);
    if (!baudIndex)
        return usageError(error);
    const BusAddress address = BusAddress::parse(globals.port);
    if (!address.isValid())
        return usageError(CliText::tr("bad port '%1': %2").arg(globals.port, address.error));
    if (address.kind == BusAddress::Kind::RawTcp && globals.baudGiven)
        return usageError(CliText::tr("--baud: a tcp:// port runs at the server's own rate; use "
                                      "rfc2217:// to set it"));

    // A backup is a file to restore from, whatever the output mode.
    CliOutput out(globals.json || command == QLatin1String("backup"), globals.quiet);
    DeviceClient client;
    Session session{client, out, globals.port};
    if (command == QLatin1String("ports") || command == QLatin1String("verify"))
        return parsed.action(session);
    if (globals.port.isEmpty())
        return usageError(command + CliText::tr(": --port is required"));
    LineCapture capture;
    if (!globals.capture.isEmpty() &&
        !capture.open(globals.capture,
                      QStringLiteral("%1 %2").arg(QLatin1String(kProgram),
                                                  QCoreApplication::applicationVersion()),
                      &error))
        return usageError(error);
    client.setCapture(&capture);
    const int status = runOnPort(session, parsed.action, kBaudRates[*baudIndex]);
    client.close();
    client.setCapture(nullptr);
    capture.finish();
    if (!capture.failure().isEmpty())
        out.error(CliText::tr("the capture %1 is incomplete: %2")
                      .arg(globals.capture, capture.failure()));
    return status;
}

} // namespace Cli
