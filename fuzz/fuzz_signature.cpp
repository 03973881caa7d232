// The readers of minisign's public key and signature files on arbitrary bytes, as a download, a
// mail or a USB stick may bring them: no crash, no read past the input, and whatever they take
// has the sizes Ed25519 needs; no key or signature a fuzzer can make ever verifies.

#include "imagesignature.h"

#include <QtEndian>

#include <cstdint>
#include <cstdio>
#include <cstdlib>

namespace {

void require(bool condition, const char *what)
{
    if (!condition) {
        std::fprintf(stderr, "violated: %s\n", what);
        std::abort();
    }
}

const QByteArray kMessage = QByteArrayLiteral("an image the fuzzer never signed");

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size > size_t(Minisign::kMaxFileBytes))
        return 0;
    // A heap block of exactly the input's size, so that AddressSanitizer sees a read past it.
    const QByteArray text(reinterpret_cast<const char *>(data), int(size));

    MinisignKey key;
    if (Minisign::readPublicKey(text, &key).isEmpty()) {
        require(key.id.size() == 8 && key.publicKey.size() == 32, "key sizes");
        const QString idText = Minisign::keyIdText(key.id);
        require(!idText.isEmpty() && idText.size() <= 16 &&
                    idText.toULongLong(nullptr, 16) ==
                        qFromLittleEndian<quint64>(key.id.constData()),
                "key id text");
        require(!Minisign::verifyEd25519(key.publicKey, kMessage, QByteArray(64, '\x5A')),
                "a made-up signature verifies");
    }

    MinisignSignature signature;
    if (Minisign::readSignature(text, &signature).isEmpty()) {
        require(signature.keyId.size() == 8 && signature.signature.size() == 64 &&
                    signature.globalSignature.size() == 64,
                "signature sizes");
        require(!signature.trustedComment.contains('\n') &&
                    !signature.trustedComment.contains('\r') &&
                    !signature.trustedComment.contains('\0'),
                "trusted comment is one line of text");
        const QString version =
            ImageSignature::signedVersion(QString::fromUtf8(signature.trustedComment));
        require(version == version.trimmed(), "signed version trimmed");
        require(!Minisign::verifyEd25519(QByteArray(32, '\x11'),
                                         signature.signature + signature.trustedComment,
                                         signature.globalSignature),
                "a made-up global signature verifies");
    }
    return 0;
}
