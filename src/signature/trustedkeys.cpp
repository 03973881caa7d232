#include "trustedkeys.h"

#include <QDir>
#include <QFileInfo>
#include <QStandardPaths>

#ifdef Q_OS_UNIX
#include <unistd.h>
#endif

namespace {
const char kSiteFolder[] = "/etc/talvik-ota-tool/trusted-keys";
const char kUserFolder[] = "/talvik-ota-tool/trusted-keys";
const char kKeyFilePattern[] = "*.pub";
// Group and other write bits of a mode.
constexpr int kWritableByOthers = 0022;

// The mode as chmod takes it, from Qt's flags: owner 0x7000, group 0x0070, other 0x0007.
int modeOf(const QFileInfo &file)
{
    const int flags = int(file.permissions());
    return ((flags >> 12) & 7) << 6 | ((flags >> 4) & 7) << 3 | (flags & 7);
}

// Why a key file or folder cannot be trusted, as ssh refuses loose files: someone other than
// its owner may write it, or its owner is neither root nor the user running us.
QString looseness(const QFileInfo &info)
{
    const int mode = modeOf(info);
    if ((mode & kWritableByOthers) != 0)
        return TrustedKeys::tr("%1 may be written by others than its owner (mode %2): refused; "
                               "run chmod go-w %1")
            .arg(info.filePath())
            .arg(mode, 4, 8, QLatin1Char('0'));
#ifdef Q_OS_UNIX
    if (info.ownerId() != 0 && info.ownerId() != uint(geteuid()))
        return TrustedKeys::tr("%1 belongs to user %2, who may change it: refused; a trusted key "
                               "and its folder must be yours or root's")
            .arg(info.filePath(), info.owner());
#endif
    return QString();
}
} // namespace

QString TrustedKeys::siteFolder()
{
    return QLatin1String(kSiteFolder);
}

QString TrustedKeys::userFolder()
{
    return QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation) +
           QLatin1String(kUserFolder);
}

QString TrustedKeys::load(const QStringList &keyFiles)
{
    return keyFiles.isEmpty() ? loadFolders({siteFolder(), userFolder()}) : loadFiles(keyFiles);
}

QString TrustedKeys::loadFolders(const QStringList &folders)
{
    trusted.clear();
    for (const QString &path : folders) {
        const QFileInfo folder(path);
        if (!folder.exists())
            continue;
        QString problem = folder.isDir()
                              ? looseness(folder)
                              : tr("the trusted-keys folder %1 is not a folder").arg(path);
        const QDir dir(path);
        if (problem.isEmpty() && !dir.isReadable())
            problem = tr("cannot read the trusted-keys folder %1").arg(path);
        // Anything named *.pub is meant as a key: a folder or a pipe of that name is refused.
        const QFileInfoList entries =
            dir.entryInfoList({QLatin1String(kKeyFilePattern)},
                              QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot, QDir::Name);
        for (auto entry = entries.cbegin(); problem.isEmpty() && entry != entries.cend(); ++entry)
            problem = loadFile(entry->filePath());
        if (!problem.isEmpty()) {
            trusted.clear();
            return problem;
        }
    }
    return QString();
}

QString TrustedKeys::loadFiles(const QStringList &keyFiles)
{
    trusted.clear();
    for (const QString &path : keyFiles) {
        const QString problem = loadFile(path);
        if (!problem.isEmpty()) {
            trusted.clear();
            return problem;
        }
    }
    return QString();
}

QString TrustedKeys::loadFile(const QString &path)
{
    QByteArray text;
    const QString unreadable = Minisign::readSmallFile(path, &text);
    if (!unreadable.isEmpty())
        return tr("cannot read the key file %1: %2").arg(path, unreadable);
    const QString loose = looseness(QFileInfo(path));
    if (!loose.isEmpty())
        return loose;
    MinisignKey key;
    const QString malformed = Minisign::readPublicKey(text, &key);
    if (!malformed.isEmpty())
        return tr("the key file %1 is malformed: %2").arg(path, malformed);
    key.path = path;
    trusted << key;
    return QString();
}
