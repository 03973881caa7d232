#ifndef TRUSTEDKEYS_H
#define TRUSTEDKEYS_H

#include "imagesignature.h"

#include <QCoreApplication>
#include <QStringList>
#include <QVector>

// The makers' public keys an image may be signed by: the *.pub files of the site's folder and
// the user's, or the files named for one run instead. Read afresh each time; nothing is kept.
class TrustedKeys
{
    Q_DECLARE_TR_FUNCTIONS(TrustedKeys)
public:
    // Installed by an administrator; the package makes it, empty.
    static QString siteFolder();
    // $XDG_CONFIG_HOME/talvik-ota-tool/trusted-keys, by default under ~/.config.
    static QString userFolder();

    // The given key files, else the *.pub files of both folders. Empty when every key could be
    // read and may be trusted, else why not, in one line; a missing folder holds no keys.
    QString load(const QStringList &keyFiles = {});
    QString loadFolders(const QStringList &folders);
    QString loadFiles(const QStringList &keyFiles);

    const QVector<MinisignKey> &keys() const { return trusted; }
    bool isEmpty() const { return trusted.isEmpty(); }

private:
    QString loadFile(const QString &path);

    QVector<MinisignKey> trusted;
};

#endif // TRUSTEDKEYS_H
