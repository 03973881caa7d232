#ifndef MINISIGNER_H
#define MINISIGNER_H

// A maker's keys and signatures, made by Debian's minisign at test time; never committed.

#include <QDir>
#include <QProcess>

namespace Minisigner {
// Key generation, or a signature of a 16 MiB image, on a loaded machine.
constexpr int kTimeoutMs = 30000;

inline bool run(const QStringList &arguments)
{
    QProcess minisign;
    minisign.start(QStringLiteral("minisign"), arguments);
    minisign.closeWriteChannel();
    return minisign.waitForFinished(kTimeoutMs) && minisign.exitCode() == 0;
}
// DIR/NAME.pub and DIR/NAME.key, without a password.
inline bool makeKeyPair(const QString &dir, const QString &name)
{
    const QString base = QDir(dir).filePath(name);
    return run({"-G", "-W", "-f", "-p", base + ".pub", "-s", base + ".key"});
}
// FILE.minisig; legacy: the "Ed" form, over the file itself.
inline bool sign(const QString &key, const QString &file, const QString &comment,
                 bool legacy = false)
{
    return run(QStringList{"-S", "-s", key, "-m", file, "-t", comment} +
               (legacy ? QStringList{"-l"} : QStringList()));
}
} // namespace Minisigner

#endif // MINISIGNER_H
