// flash: new firmware through the bootloader, one device after another.
#include "clicommands.h"

#include "clioutput.h"
#include "clisteps.h"
#include "deviceclient.h"
#include "exchangetiming.h"
#include "imagesignature.h"

#include <QFile>
#include <QFileInfo>

#include <algorithm>

using namespace ExchangeTiming;

namespace CliCommands {

// Far above any reader's flash: a larger file is the wrong file.
constexpr qint64 kMaxImageBytes = 16 * 1024 * 1024;
constexpr int kMaxVersionCharacters = 64;

QString readImage(const QString &path, QByteArray *image)
{
    const QFileInfo info(path);
    if (!info.exists())
        return CliText::tr("cannot read %1: no such file").arg(path);
    if (!info.isFile())
        return CliText::tr("%1 is not a regular file").arg(path);
    if (info.size() > kMaxImageBytes)
        return CliText::tr("%1 holds %2 bytes, more than the %3 an image may have")
            .arg(path)
            .arg(info.size())
            .arg(kMaxImageBytes);
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return CliText::tr("cannot read %1: %2").arg(path, file.errorString());
    // The file may have grown since it was looked at.
    *image = file.read(kMaxImageBytes + 1);
    if (file.error() != QFileDevice::NoError)
        return CliText::tr("cannot read %1: %2").arg(path, file.errorString());
    if (image->size() > kMaxImageBytes)
        return CliText::tr("%1 holds more than the %2 bytes an image may have")
            .arg(path)
            .arg(kMaxImageBytes);
    if (image->isEmpty())
        return CliText::tr("%1 is empty: nothing to flash").arg(path);
    return QString();
}

bool isVersionText(const QString &text)
{
    const auto characters = text.toUcs4();
    return !characters.isEmpty() && characters.size() <= kMaxVersionCharacters &&
           std::all_of(characters.begin(), characters.end(), [](uint c) {
               return QChar::isPrint(c) && QChar::category(c) != QChar::Separator_Line &&
                      QChar::category(c) != QChar::Separator_Paragraph;
           });
}

namespace {

QString chunkName(int index, int count, int offset)
{
    return CliText::tr("chunk %1 of %2 (offset %3)").arg(index).arg(count).arg(offset);
}

// Asks the application to hand over unless the bootloader already runs (an interrupted update).
Failure reachBootloader(Session &session, Step version)
{
    DeviceClient &client = session.client;
    if (!isBootloaderVersion(answerText(version))) {
        const Step enter = ask(client, buildCommand(CmdEnterBootloader),
                               CliText::tr("the bootloader request"), kEnterBootloaderTimeoutMs);
        if (!enter.ok())
            return enter.failure;
        DeviceClient::pause(kBootloaderStartPauseMs);
        version = ask(client, buildCommand(CmdGetVersion),
                      CliText::tr("the bootloader's version request"), kWaitBootloaderTimeoutMs);
        if (!version.ok())
            return version.failure;
        if (!isBootloaderVersion(answerText(version)))
            return {CliText::tr("unsupported version from bootloader: ") + answerText(version),
                    false};
    }
    session.out.note(hexByte(client.deviceAddress()) + CliText::tr(": bootloader ") +
                     answerText(version));
    return {};
}

Failure writeImage(Session &session, const QByteArray &image)
{
    DeviceClient &client = session.client;
    const QString address = hexByte(client.deviceAddress());
    const int total = image.size();
    const int chunkCount = (total + kFirmwareChunkSize - 1) / kFirmwareChunkSize;
    Failure failure;
    session.out.startProgress(CliText::tr("flash ") + address, total, CliText::tr("bytes"));
    for (int offset = 0, index = 1; offset < total; offset += kFirmwareChunkSize, ++index) {
        const int size = std::min(kFirmwareChunkSize, total - offset);
        failure = ask(client, buildWriteFlash(image.constData() + offset, size),
                      chunkName(index, chunkCount, offset), kWriteChunkTimeoutMs)
                      .failure;
        if (!failure.isEmpty())
            break;
        session.out.progress(offset + size);
        session.out.event({{"event", "progress"},
                           {"address", address},
                           {"sent", offset + size},
                           {"total", total}});
    }
    session.out.endProgress();
    return failure;
}

// What a device that did not fail ended with.
struct Flashed
{
    QString result; // "ok", or "current": it ran the expected version, nothing was written
    QString version;
};

// Why the device did not take the image, or nothing and how it ended.
Failure flashOne(Session &session, const QByteArray &image, const std::optional<QString> &expected,
                 Flashed *flashed)
{
    DeviceClient &client = session.client;
    const Step running = ask(client, buildCommand(CmdGetVersion),
                             CliText::tr("the version request"), kConnectTimeoutMs);
    if (!running.ok())
        return running.failure;
    // A bootloader is always flashed: an update was cut off there.
    if (expected && answerText(running) == *expected && !isBootloaderVersion(*expected)) {
        *flashed = {QStringLiteral("current"), *expected};
        return {};
    }
    Failure failure = reachBootloader(session, running);
    if (!failure.isEmpty())
        return failure;
    const Step erase = ask(client, buildCommand(CmdEraseFlash), CliText::tr("the flash erase"),
                           kEraseFlashTimeoutMs);
    if (!erase.ok())
        return erase.failure;
    failure = writeImage(session, image);
    if (!failure.isEmpty())
        return failure;
    const Step finish = ask(client, buildCommand(CmdFinishFirmware),
                            CliText::tr("the finish request"), kFinishFirmwareTimeoutMs);
    if (finish.answer.outcome == DeviceAnswer::Outcome::ErrorAnswer)
        return {CliText::tr("image rejected (") + finish.failure.reason + ')', false};
    if (!finish.ok())
        return finish.failure;
    const Step version = waitForRestart(client);
    if (!version.ok())
        return version.failure;
    // Accepted, but the application did not start: the device is no better than before.
    if (isBootloaderVersion(answerText(version)))
        return {
            CliText::tr("still in the bootloader after the update (%1)").arg(answerText(version)),
            false};
    if (expected && answerText(version) != *expected)
        return {CliText::tr("runs %1 after the update, not %2").arg(answerText(version), *expected),
                false};
    *flashed = {QStringLiteral("ok"), answerText(version)};
    return {};
}

} // namespace

// The port in each JSON result: the lines of many buses flashed at once can be told apart.
int flashImage(Session &session, const QByteArray &image, const QVector<uint8_t> &addresses,
               const std::optional<QString> &expectedVersion)
{
    int status = ExitOk;
    for (uint8_t address : addresses) {
        session.client.setDeviceAddress(address);
        Flashed flashed;
        const Failure failure = flashOne(session, image, expectedVersion, &flashed);
        if (!failure.isEmpty()) {
            status = failedResult(session, failure);
            // The next devices are no better off on a dead port.
            if (failure.portFailed)
                break;
            continue;
        }
        const QString tag = hexByte(address);
        session.out.result({{tag, flashed.result, flashed.version}},
                           {{"address", tag},
                            {"port", session.portPath},
                            {"result", flashed.result},
                            {"version", flashed.version}});
    }
    return status;
}

void noteSignature(CliOutput &out, const ImageVerdict &verdict)
{
    if (verdict.accepted())
        out.note(CliText::tr("image signed by key %1 (%2), trusted comment: %3")
                     .arg(verdict.keyId, verdict.keyComment, verdict.trustedComment));
    else if (!verdict.refused())
        out.note(CliText::tr("image not checked: no trusted keys"));
}

int verifyImage(CliOutput &out, const QString &path, const QByteArray &image,
                const QStringList &keyFiles)
{
    const ImageVerdict verdict = ImageSignature::checkWithTrustedKeys(path, image, keyFiles);
    if (!verdict.accepted()) {
        const QString reason = verdict.refused() ? verdict.reason : CliText::tr("no trusted keys");
        out.result({{QStringLiteral("refused"), reason}},
                   {{"image", path}, {"result", "refused"}, {"reason", reason}});
        out.error(path + QStringLiteral(": ") + reason);
        return ExitDeviceFailed;
    }
    out.result({{QStringLiteral("ok"), verdict.keyId, verdict.trustedComment}},
               {{"image", path},
                {"result", "ok"},
                {"key", verdict.keyId},
                {"key_comment", verdict.keyComment},
                {"trusted_comment", verdict.trustedComment},
                {"version", verdict.signedVersion}});
    return ExitOk;
}

} // namespace CliCommands
