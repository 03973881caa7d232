#ifndef CLISTEPS_H
#define CLISTEPS_H

#include "clicommands.h"
#include "deviceclient.h"

#include <QByteArray>
#include <QJsonObject>
#include <QString>
#include <QStringList>
#include <QVector>

// What the commands are made of: one request, its answer or why there is none, and the reports
// every command gives alike.
namespace CliCommands {

// Why an operation stopped; empty while it goes on.
struct Failure
{
    QString reason;
    bool portFailed = false;
    bool isEmpty() const { return reason.isEmpty(); }
};

// The answer of one step, or why there is none, told in the step's own words.
struct Step
{
    DeviceAnswer answer;
    Failure failure;
    bool ok() const { return failure.isEmpty(); }
};

// "; " and why the link may be at fault, when that is known.
QString hintText(const QString &hint);
Failure failureOf(const DeviceAnswer &answer, const QString &what, int limitMs);
Step ask(DeviceClient &client, const QByteArray &request, const QString &what, int limitMs);
// As the device sent it: text output makes it printable, JSON keeps it exact.
QString answerText(const Step &step);
// Empty when the answer holds exactly one settings record.
QString settingsLengthProblem(const QByteArray &answer);
int fail(Session &session, const Failure &failure);
// A device's result line with the reason, and the reason on standard error.
int failedResult(Session &session, const Failure &failure);

struct DeviceInfo
{
    QString version;
    QString name;
    QByteArray settingsAnswer;
};

// Version, identification and settings, timed as the window's connect sequence; a device
// sharing the address is named as such.
Failure readDeviceInfo(DeviceClient &client, DeviceInfo *info);

struct InfoResult
{
    QVector<QStringList> rows; // name, value
    QJsonObject object;
};

// Each settings field whose bytes all came: a short answer shows what it holds, nothing made up.
InfoResult infoResult(const DeviceInfo &info);

// info's fields as survey prints them and restore reads them back: "address" where the device
// answered, "own_address" its setting, and the port.
QJsonObject deviceRecord(const InfoResult &result, const QString &address, const QString &port);

// Writes the whole record, waits for the device to restart with it and opens the port again at
// its new rate, addressed to its new address.
Failure writeSettings(Session &session, const DeviceSettings &settings);

// Reboot, reset and new firmware end alike: the device answers, restarts, tells its version.
Step waitForRestart(DeviceClient &client);

} // namespace CliCommands

#endif // CLISTEPS_H
