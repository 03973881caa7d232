// The text of --help: the commands with an example each, the ports, the output, the exit status.
#include "clihelp.h"

#include "clioutput.h"

#include <QCommandLineParser>

namespace Cli {
namespace {

constexpr int kHelpWidth = 79;
const QString kHelpIndent = QStringLiteral("      ");

struct CommandHelp
{
    const char *synopsis;
    const char *does;
    const char *example;
};

const CommandHelp kCommands[] = {
    {"ports", QT_TRANSLATE_NOOP("CliText", "Lists the serial ports: PATH<TAB>DESCRIPTION."),
     "ports"},
    {"scan [--from HH] [--to HH] [--timeout MS] [--rates LIST]",
     QT_TRANSLATE_NOOP(
         "CliText",
         "Probes each address (00 to FF unless limited) with the identification request and "
         "waits 100 ms, or MS (10 to 5000), for each answer: ADDR<TAB>IDENTIFICATION per device "
         "found. With --rates (rates separated by commas, or all) the range is probed at each "
         "rate in turn, fastest first, and each line ends with the rate the device answered at; "
         "a probe there waits as long as a request and a 64-byte identification take on the "
         "line, 10 ms for the reader, and MS on top. A broken answer (CRC error, cut short, no "
         "frame) is asked again, three times in all: broken each time, the address shows as "
         "ADDR<TAB>collision<TAB>REASON, two or more devices may share it (info says so too). "
         "The closing note gives the slowest answer, for a tighter --timeout next time."),
     "--port /dev/ttyUSB0 scan --timeout 20"},
    {"info ADDR",
     QT_TRANSLATE_NOOP("CliText",
                       "Reads version, identification and settings: version, name, baud, "
                       "address, terminated and short-name, one TAB-separated line each."),
     "--port /dev/ttyUSB0 info 1A"},
    {"survey [--from HH] [--to HH] [--timeout MS]",
     QT_TRANSLATE_NOOP("CliText",
                       "Scans as scan does, then reads each device found as info does, its "
                       "fields on one TAB-separated line: ADDR, version, name, baud, the "
                       "device's own address, terminated (on|off) and short-name; "
                       "ADDR<TAB>failed<TAB>REASON for a device not read whole. Sends read "
                       "requests only."),
     "--port /dev/ttyUSB0 survey --timeout 20"},
    {"set ADDR [--baud RATE] [--address HH] [--terminated on|off] [--name TEXT]",
     QT_TRANSLATE_NOOP("CliText",
                       "Changes the given settings only, waits for the restart and reads the "
                       "settings back at the new address and baud rate. TEXT is at most four "
                       "bytes of UTF-8."),
     "--port /dev/ttyUSB0 set 1A --baud 57600 --address 2B --name DOOR"},
    {"backup ADDR [ADDR...]",
     QT_TRANSLATE_NOOP("CliText",
                       "Reads each device as info does and prints one JSON object per device, "
                       "with or without --json: address, version, name, baud, own_address, "
                       "terminated, short_name and port, the keys of survey --json (so a "
                       "survey's output is a backup of the whole bus). Sends read requests only."),
     "--port /dev/ttyUSB0 backup 1A > door.json"},
    {"restore [--from ADDR] [--keep-address] [--keep-baud] FILE ADDR",
     QT_TRANSLATE_NOOP(
         "CliText",
         "Writes the baud, own_address, terminated and short_name of a backup to the device now "
         "at ADDR, as set does: only what differs, nothing when all agree (ADDR<TAB>unchanged). "
         "Then waits for the restart, reads the settings back at the new address and rate and "
         "compares every field: ADDR<TAB>restored<TAB>NEW, or the field that differs. FILE (- for "
         "standard input) holds one backup object, or JSON lines of them and --from ADDR picks "
         "the one whose address is ADDR. --keep-address and --keep-baud leave those as the "
         "device has them. A file that is no such object, a field out of set's limits, an "
         "unknown key: nothing is sent. Version and identification cannot be written; a note "
         "says when they differ. A reader replaced by a new one at the factory address 80:"),
     "--port /dev/ttyUSB0 restore door.json 80"},
    {"reboot ADDR",
     QT_TRANSLATE_NOOP("CliText", "Reboots the device and reads its version after the restart: "
                                  "version<TAB>..."),
     "--port /dev/ttyUSB0 reboot 1A"},
    {"reset ADDR",
     QT_TRANSLATE_NOOP("CliText", "Resets the device to its factory settings, then as reboot."),
     "--port /dev/ttyUSB0 reset 1A"},
    {"flash [--expect-version TEXT] IMAGE ADDR [ADDR...]",
     QT_TRANSLATE_NOOP("CliText",
                       "Updates the firmware of each address in turn through its bootloader (a "
                       "device already in its bootloader is flashed as it is): "
                       "ADDR<TAB>ok<TAB>VERSION or ADDR<TAB>failed<TAB>REASON per address; a "
                       "device back in its bootloader afterwards has failed. The image, a regular "
                       "file of at most 16 MiB, is read whole before anything is sent; a dead "
                       "port ends the run. TEXT, 1 to 64 printable characters, is the version the "
                       "image brings as the device reports it: a device that already runs it is "
                       "left alone (ADDR<TAB>current<TAB>TEXT, done), one that runs anything else "
                       "after the update has failed. Where keys are trusted (below), an image "
                       "without a good signature by one of them is refused before the port is "
                       "opened; the version its trusted comment names (version:TEXT) is "
                       "expected unless --expect-version is given, and must match it."),
     "--port /dev/ttyUSB0 flash --expect-version 'APP 2.5.0' reader.bin 01 80"},
    {"verify IMAGE",
     QT_TRANSLATE_NOOP("CliText",
                       "Checks the image's signature IMAGE.minisig against the trusted keys, "
                       "without a port: ok<TAB>KEY-ID<TAB>TRUSTED-COMMENT and exit status 0, or "
                       "refused<TAB>REASON and exit status 1, also when no key is trusted."),
     "--trusted-key maker.pub verify reader.bin"},
    {"led ADDR on|off|toggle",
     QT_TRANSLATE_NOOP("CliText", "Switches the reader's LED (toggle: every 1000 ms)."),
     "--port /dev/ttyUSB0 led 1A toggle"},
    {"eeprom ADDR HH [VV]",
     QT_TRANSLATE_NOOP("CliText",
                       "Reads the PN5180 EEPROM byte at HH (HH<TAB>VV), or writes VV there."),
     "--port /dev/ttyUSB0 eeprom 1A 12"},
};

// Words of text in lines of at most kHelpWidth columns behind the indent.
QString wrapped(const QString &text, const QString &indent)
{
    QString out;
    QString line;
    for (const QString &word : text.split(QLatin1Char(' '))) {
        if (!line.isEmpty() && indent.size() + line.size() + 1 + word.size() > kHelpWidth) {
            out += indent + line + '\n';
            line.clear();
        }
        line += (line.isEmpty() ? QString() : QStringLiteral(" ")) + word;
    }
    return out + indent + line + '\n';
}

} // namespace

QString helpText(const QCommandLineParser &parser)
{
    QString text = parser.helpText();
    // A blank line around each example keeps it a line of its own in a manual page.
    text += QStringLiteral("\nCommands:\n");
    for (const CommandHelp &command : kCommands)
        text += QStringLiteral("  ") + QLatin1String(command.synopsis) + '\n' +
                wrapped(CliText::tr(command.does), kHelpIndent) + '\n' + kHelpIndent +
                QStringLiteral("$ %1 %2\n\n")
                    .arg(QLatin1String(kProgram), QLatin1String(command.example));
    text += CliText::tr(
        "Options may stand before or after the command; after it, a command's own option\n"
        "wins (set --baud is the device's new rate, not the line speed).\n"
        "A bus behind a network serial server: --port rfc2217://HOST:PORT sets the\n"
        "line's rate through the server; --port tcp://HOST:PORT passes bytes only, at\n"
        "the server's own rate (so set --baud is refused there). Neither is guarded or\n"
        "encrypted: they are refused beyond loopback and private networks unless the\n"
        "port ends in ?cleartext=yes. rfc2217+tls://HOST:PORT and tcp+tls://HOST:PORT\n"
        "are the same through TLS 1.2 or newer, the server always verified. Parameters\n"
        "follow a '?', joined by '&', percent-encoded where needed:\n"
        "  fingerprint=HEX  the SHA-256 of the server's certificate, 64 hexadecimal\n"
        "                   digits, colons allowed, as openssl x509 -fingerprint\n"
        "                   -sha256 prints it: that certificate and no other\n"
        "  ca=FILE          PEM certificates the server's must chain to; it must\n"
        "                   also name HOST and be within its dates\n"
        "  cert=FILE        our PEM certificate, for a server that asks for one\n"
        "  key=FILE         its unencrypted PEM private key, for its owner alone\n"
        "Where the port names no cert, key or ca, the files client.crt, client.key\n"
        "and ca.crt in $XDG_CONFIG_HOME/talvik-ota-tool/ (~/.config/talvik-ota-tool/)\n"
        "are used when present. With neither fingerprint nor ca the open fails and\n"
        "names the server's fingerprint, to check with its operator and pin.\n"
        "Images signed with minisign (-S, or -S -l): the keys trusted are the *.pub\n"
        "files in /etc/talvik-ota-tool/trusted-keys/ (the site's) and in\n"
        "$XDG_CONFIG_HOME/talvik-ota-tool/trusted-keys/ (the user's), or the files of\n"
        "--trusted-key alone; a key file or folder others may write is refused. With\n"
        "no key anywhere, flash sends images unchecked and says so; with one, every\n"
        "image needs a good signature IMAGE.minisig by a trusted key.\n"
        "Addresses and EEPROM bytes are two hexadecimal digits: 1A, 1a or 0x1A.\n"
        "--capture FILE writes every frame of the run, both ways, to FILE (pcapng, link\n"
        "type USER0); frames that failed to decode are in it with a comment saying why.\n"
        "Wireshark reads it with the dissector the package ships:\n"
        "  tshark -r FILE -X lua_script:/usr/share/talvik-ota-tool/wireshark/talvik.lua\n"
        "With --json every result line is a JSON object instead, and flash also writes\n"
        "{\"event\":\"progress\",...} objects unless --quiet is given. Errors go to standard\n"
        "error; a progress line is shown there while it is a terminal.\n"
        "\nExit status:\n"
        "  0  done\n"
        "  1  a device did not answer, answered with an error or wrongly, rejected the\n"
        "     image, stayed in its bootloader or runs another version than\n"
        "     --expect-version after the update, no device answered the scan or survey,\n"
        "     or an address seems shared (collision), or a field restored reads back\n"
        "     otherwise; verify refused the image\n"
        "  2  usage error, an image its signature refuses, a restore file that is no\n"
        "     backup, a capture file that cannot be written: nothing was sent\n"
        "  3  the port cannot be opened, or failed while in use, or cannot take a rate\n"
        "     of scan --rates\n");
    return text;
}

} // namespace Cli
