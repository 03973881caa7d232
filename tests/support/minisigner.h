#ifndef MINISIGNER_H
#define MINISIGNER_H

#include <QString>

// A maker's keys and signatures, made by Debian's minisign at test time; never committed.
namespace Minisigner {
// DIR/NAME.pub and DIR/NAME.key, without a password. Empty when made, else minisign's words.
QString makeKeyPair(const QString &dir, const QString &name);
// FILE.minisig by the secret key; legacy: the "Ed" form, over the file itself.
QString sign(const QString &secretKey, const QString &file, const QString &trustedComment = {},
             bool legacy = false);
} // namespace Minisigner

#endif // MINISIGNER_H
