#include "minisigner.h"

#include <QDir>
#include <QProcess>

namespace {
// Key generation and a signature of a 16 MiB image on a loaded machine.
constexpr int kMinisignTimeoutMs = 30000;

QString run(const QStringList &arguments)
{
    QProcess minisign;
    minisign.setProcessChannelMode(QProcess::MergedChannels);
    minisign.start(QStringLiteral("minisign"), arguments);
    minisign.closeWriteChannel();
    if (!minisign.waitForFinished(kMinisignTimeoutMs))
        return QStringLiteral("minisign %1: %2").arg(arguments.join(' '), minisign.errorString());
    const QString output = QString::fromLocal8Bit(minisign.readAll());
    return minisign.exitCode() == 0 ? QString() : output;
}
} // namespace

QString Minisigner::makeKeyPair(const QString &dir, const QString &name)
{
    const QString base = QDir(dir).filePath(name);
    return run({"-G", "-W", "-f", "-p", base + ".pub", "-s", base + ".key"});
}

QString Minisigner::sign(const QString &secretKey, const QString &file,
                         const QString &trustedComment, bool legacy)
{
    QStringList arguments{"-S", "-s", secretKey, "-m", file};
    if (!trustedComment.isEmpty())
        arguments << "-t" << trustedComment;
    if (legacy)
        arguments << "-l";
    return run(arguments);
}
