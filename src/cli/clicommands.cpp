// info, set, reboot and reset, the LED, the PN5180 EEPROM and the port list: the window's device
// operations as one synchronous exchange after another.
#include "clicommands.h"

#include "clioutput.h"
#include "clisteps.h"
#include "deviceclient.h"
#include "exchangetiming.h"

#include <QSerialPortInfo>

using namespace ExchangeTiming;

namespace CliCommands {
namespace {

void printInfo(CliOutput &out, const DeviceInfo &info)
{
    const InfoResult result = infoResult(info);
    out.result(result.rows, result.object);
}

} // namespace

int listPorts(CliOutput &out)
{
    for (const QSerialPortInfo &port : QSerialPortInfo::availablePorts())
        out.result({{port.systemLocation(), port.description()}},
                   {{"path", port.systemLocation()}, {"description", port.description()}});
    return ExitOk;
}

int showInfo(Session &session, uint8_t address)
{
    session.client.setDeviceAddress(address);
    DeviceInfo info;
    const Failure failure = readDeviceInfo(session.client, &info);
    if (!failure.isEmpty())
        return fail(session, failure);
    printInfo(session.out, info);
    const QString problem = settingsLengthProblem(info.settingsAnswer);
    return problem.isEmpty() ? ExitOk : fail(session, {problem, false});
}

int changeSettings(Session &session, uint8_t address, const SettingsChange &change)
{
    DeviceClient &client = session.client;
    client.setDeviceAddress(address);
    const Step current = ask(client, buildCommand(CmdGetSettings),
                             CliText::tr("the settings request"), kReadSettingsTimeoutMs);
    if (!current.ok())
        return fail(session, current.failure);
    // Fields the device did not send would be written back as zeros: baud 4800, address 00.
    const QString problem = settingsLengthProblem(current.answer.payload);
    if (!problem.isEmpty())
        return fail(session, {problem, false});
    DeviceSettings settings = readSettings(current.answer.data(), current.answer.size());
    settings.baudIndex = change.baudIndex.value_or(settings.baudIndex);
    settings.ownAddress = change.address.value_or(settings.ownAddress);
    if (change.terminated)
        settings.terminated = *change.terminated ? 1 : 0;
    if (change.shortName)
        settings.shortName = shortNameBytes(*change.shortName);
    const Failure written = writeSettings(session, settings);
    if (!written.isEmpty())
        return fail(session, written);
    DeviceInfo info;
    const Failure failure = readDeviceInfo(client, &info);
    if (!failure.isEmpty())
        return fail(session, failure);
    printInfo(session.out, info);
    return ExitOk;
}

int restartDevice(Session &session, uint8_t address, DeviceCommand command)
{
    DeviceClient &client = session.client;
    client.setDeviceAddress(address);
    const Step request = ask(client, buildCommand(command),
                             command == CmdReboot ? CliText::tr("the reboot request")
                                                  : CliText::tr("the factory reset"),
                             kRestartRequestTimeoutMs);
    if (!request.ok())
        return fail(session, request.failure);
    const Step version = waitForRestart(client);
    if (!version.ok())
        return fail(session, version.failure);
    session.out.result({{QStringLiteral("version"), answerText(version)}},
                       {{"address", hexByte(address)}, {"version", answerText(version)}});
    return ExitOk;
}

int switchLed(Session &session, uint8_t address, const QByteArray &request)
{
    session.client.setDeviceAddress(address);
    const Step led =
        ask(session.client, request, CliText::tr("the LED request"), kLedAnswerTimeoutMs);
    return led.ok() ? ExitOk : fail(session, led.failure);
}

int accessEeprom(Session &session, uint8_t address, uint8_t eepromAddress,
                 std::optional<uint8_t> value)
{
    DeviceClient &client = session.client;
    client.setDeviceAddress(address);
    if (value) {
        const Step write = ask(client, buildPnEepromWrite(eepromAddress, *value),
                               CliText::tr("the EEPROM write"), kPnEepromAnswerTimeoutMs);
        return write.ok() ? ExitOk : fail(session, write.failure);
    }
    const Step read = ask(client, buildPnEepromRead(eepromAddress), CliText::tr("the EEPROM read"),
                          kPnEepromAnswerTimeoutMs);
    if (!read.ok())
        return fail(session, read.failure);
    if (!isPnEepromReadAnswer(read.answer.size()))
        return fail(session,
                    {CliText::tr("the answer to the EEPROM read carries no value"), false});
    const QString byte = hexByte(readPnEepromValue(read.answer.data(), read.answer.size()));
    session.out.result({{hexByte(eepromAddress), byte}},
                       {{"register", hexByte(eepromAddress)}, {"value", byte}});
    return ExitOk;
}

} // namespace CliCommands
