// What checking an image's signature costs before a flash: keys and signature read, the image
// hashed (BLAKE2b-512) and both Ed25519 signatures verified, for 1 MiB and 16 MiB; against the
// line time of flashing the same image at 115200 baud.

#include "flashbound.h"
#include "imagesignature.h"
#include "minisigner.h"

#include <QCoreApplication>
#include <QFile>
#include <QMap>
#include <QTemporaryDir>

#include <benchmark/benchmark.h>

namespace {

constexpr int kMiB = 1024 * 1024;

struct SignedImage
{
    QString path;
    QByteArray bytes;
};

QTemporaryDir &folder()
{
    static QTemporaryDir dir;
    return dir;
}

// Made once per size by minisign, the maker's way; the key pair once.
SignedImage signedImage(int size, bool legacy)
{
    QTemporaryDir &dir = folder();
    const QString key = dir.filePath(QStringLiteral("maker.key"));
    if (!QFile::exists(key) && !Minisigner::makeKeyPair(dir.path(), QStringLiteral("maker")))
        qFatal("minisign could not make a key pair");
    SignedImage image{dir.filePath(QStringLiteral("app-%1-%2.bin").arg(size).arg(legacy)),
                      QByteArray(size, '\0')};
    for (int i = 0; i < size; ++i)
        image.bytes[i] = char((i * 131) >> 7);
    QFile file(image.path);
    if (!file.open(QIODevice::WriteOnly) || file.write(image.bytes) != size)
        qFatal("cannot write %s", qPrintable(image.path));
    file.close();
    if (!Minisigner::sign(key, image.path, QStringLiteral("version:BENCH"), legacy))
        qFatal("minisign could not sign %s", qPrintable(image.path));
    return image;
}

void verifyImage(benchmark::State &state, bool legacy)
{
    const int size = int(state.range(0)) * kMiB;
    // Google Benchmark calls this again for each trial of iteration counts.
    static QMap<QPair<int, bool>, SignedImage> made;
    if (!made.contains({size, legacy}))
        made.insert({size, legacy}, signedImage(size, legacy));
    const SignedImage image = made.value({size, legacy});
    const QStringList keys{folder().filePath(QStringLiteral("maker.pub"))};
    for (auto _ : state) {
        const ImageVerdict verdict =
            ImageSignature::checkWithTrustedKeys(image.path, image.bytes, keys);
        if (!verdict.accepted()) {
            state.SkipWithError(qPrintable(verdict.reason));
            return;
        }
    }
    state.counters["flash_ms_at_115200"] = lineBoundMs(size);
}

void BM_VerifySigned(benchmark::State &state)
{
    verifyImage(state, false);
}

void BM_VerifySignedLegacy(benchmark::State &state)
{
    verifyImage(state, true);
}

} // namespace

BENCHMARK(BM_VerifySigned)->Arg(1)->Arg(16)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_VerifySignedLegacy)->Arg(1)->Arg(16)->Unit(benchmark::kMillisecond);

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
