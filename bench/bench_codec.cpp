// Frame codec throughput, counted in wire bytes (header, address, payload and CRC), and a check
// that neither direction allocates per frame.

#include "binaryprotocol.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <new>
#include <vector>

// ---- Allocation counting -------------------------------------------------------------------
// operator new is replaced below. Qt's containers call malloc directly, so on glibc malloc,
// calloc and realloc are interposed as well; a sanitizer build keeps its own allocator instead.

namespace {
std::atomic<size_t> allocationCount{0};
bool codecFailed = false;
} // namespace

#if defined(__SANITIZE_ADDRESS__)
#define TALVIK_SANITIZED_ALLOCATOR 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define TALVIK_SANITIZED_ALLOCATOR 1
#endif
#endif

#if defined(__GLIBC__) && !defined(TALVIK_SANITIZED_ALLOCATOR)
#define TALVIK_COUNT_MALLOC 1
extern "C" {
void *__libc_malloc(size_t size);
void *__libc_calloc(size_t count, size_t size);
void *__libc_realloc(void *pointer, size_t size);

void *malloc(size_t size) noexcept
{
    allocationCount.fetch_add(1, std::memory_order_relaxed);
    return __libc_malloc(size);
}

void *calloc(size_t count, size_t size) noexcept
{
    allocationCount.fetch_add(1, std::memory_order_relaxed);
    return __libc_calloc(count, size);
}

void *realloc(void *pointer, size_t size) noexcept
{
    allocationCount.fetch_add(1, std::memory_order_relaxed);
    return __libc_realloc(pointer, size);
}
}
#endif

namespace {

void *rawAllocate(size_t size)
{
#ifdef TALVIK_COUNT_MALLOC
    // Counted here already; the interposed malloc would count it twice.
    return __libc_malloc(size ? size : 1);
#else
    return std::malloc(size ? size : 1);
#endif
}

void *countedNew(size_t size)
{
    allocationCount.fetch_add(1, std::memory_order_relaxed);
    if (void *p = rawAllocate(size))
        return p;
    throw std::bad_alloc();
}

void *countedAlignedNew(size_t size, std::align_val_t alignment)
{
    allocationCount.fetch_add(1, std::memory_order_relaxed);
    const size_t align = static_cast<size_t>(alignment);
    const size_t rounded = (size + align - 1) / align * align;
    if (void *p = std::aligned_alloc(align, rounded ? rounded : align))
        return p;
    throw std::bad_alloc();
}

} // namespace

void *operator new(size_t size)
{
    return countedNew(size);
}
void *operator new[](size_t size)
{
    return countedNew(size);
}
void *operator new(size_t size, const std::nothrow_t &) noexcept
{
    allocationCount.fetch_add(1, std::memory_order_relaxed);
    return rawAllocate(size);
}
void *operator new[](size_t size, const std::nothrow_t &) noexcept
{
    allocationCount.fetch_add(1, std::memory_order_relaxed);
    return rawAllocate(size);
}
void *operator new(size_t size, std::align_val_t alignment)
{
    return countedAlignedNew(size, alignment);
}
void *operator new[](size_t size, std::align_val_t alignment)
{
    return countedAlignedNew(size, alignment);
}
void operator delete(void *p) noexcept
{
    std::free(p);
}
void operator delete[](void *p) noexcept
{
    std::free(p);
}
void operator delete(void *p, size_t) noexcept
{
    std::free(p);
}
void operator delete[](void *p, size_t) noexcept
{
    std::free(p);
}
void operator delete(void *p, std::align_val_t) noexcept
{
    std::free(p);
}
void operator delete[](void *p, std::align_val_t) noexcept
{
    std::free(p);
}
void operator delete(void *p, size_t, std::align_val_t) noexcept
{
    std::free(p);
}
void operator delete[](void *p, size_t, std::align_val_t) noexcept
{
    std::free(p);
}

// ---- Benchmarks ----------------------------------------------------------------------------

namespace {

constexpr uint8_t kAddress = 0x21;
constexpr size_t kFrameOverhead = 8;
// Enough frames per iteration that the per-iteration bookkeeping does not show.
constexpr size_t kStreamBytes = 64 * 1024;
// Chunk size 0 stands for one whole frame per receiveBytes call.
constexpr int64_t kWholeFrame = 0;

std::vector<uint8_t> payloadOf(size_t size)
{
    std::vector<uint8_t> payload(size);
    for (size_t i = 0; i < size; ++i)
        payload[i] = static_cast<uint8_t>(i * 31 + 7);
    return payload;
}

void failCheck(benchmark::State &state, const char *what)
{
    state.SkipWithError(what);
    codecFailed = true;
}

void reportAllocations(benchmark::State &state, size_t allocations, size_t frames)
{
    state.counters["allocs_per_frame"] =
        frames ? static_cast<double>(allocations) / static_cast<double>(frames) : 0.0;
    state.counters["frames"] =
        benchmark::Counter(static_cast<double>(frames), benchmark::Counter::kIsRate);
    if (allocations != 0)
        failCheck(state, "the codec allocated memory while running");
}

void BM_Encode(benchmark::State &state)
{
    const std::vector<uint8_t> payload = payloadOf(static_cast<size_t>(state.range(0)));
    BinaryProtocol codec;
    codec.setDeviceAddress(kAddress);
    size_t written = 0;
    QObject::connect(&codec, &BinaryProtocol::protocolWrite, [&written](uint8_t *buff, size_t len) {
        benchmark::DoNotOptimize(buff);
        written += len;
    });

    const size_t before = allocationCount.load();
    for (auto _ : state)
        codec.sendFrame(payload.data(), payload.size());
    const size_t allocations = allocationCount.load() - before;

    const size_t frames = static_cast<size_t>(state.iterations());
    if (written != frames * (payload.size() + kFrameOverhead))
        failCheck(state, "encoder wrote an unexpected number of bytes");
    state.SetBytesProcessed(static_cast<int64_t>(written));
    reportAllocations(state, allocations, frames);
}

void BM_Decode(benchmark::State &state)
{
    const std::vector<uint8_t> payload = payloadOf(static_cast<size_t>(state.range(0)));
    const size_t frameSize = payload.size() + kFrameOverhead;
    const size_t chunkSize =
        state.range(1) == kWholeFrame ? frameSize : static_cast<size_t>(state.range(1));

    BinaryProtocol codec;
    codec.setDeviceAddress(kAddress);
    std::vector<uint8_t> stream;
    QObject::connect(&codec, &BinaryProtocol::protocolWrite, [&stream](uint8_t *buff, size_t len) {
        stream.insert(stream.end(), buff, buff + len);
    });
    const size_t framesPerPass = std::max<size_t>(1, kStreamBytes / frameSize);
    stream.reserve(framesPerPass * frameSize);
    for (size_t i = 0; i < framesPerPass; ++i)
        codec.sendFrame(payload.data(), payload.size());

    size_t delivered = 0;
    QObject::connect(&codec, &BinaryProtocol::frameComplete,
                     [&delivered](uint8_t *buff, size_t len) {
                         benchmark::DoNotOptimize(buff);
                         benchmark::DoNotOptimize(len);
                         ++delivered;
                     });

    const size_t before = allocationCount.load();
    for (auto _ : state) {
        for (size_t at = 0; at < stream.size(); at += chunkSize)
            codec.receiveBytes(stream.data() + at, std::min(chunkSize, stream.size() - at));
    }
    const size_t allocations = allocationCount.load() - before;

    const size_t frames = framesPerPass * static_cast<size_t>(state.iterations());
    if (delivered != frames)
        failCheck(state, "decoder lost frames");
    state.SetBytesProcessed(static_cast<int64_t>(frames * frameSize));
    reportAllocations(state, allocations, frames);
}

} // namespace

BENCHMARK(BM_Encode)->ArgName("payload")->Arg(1)->Arg(257)->Arg(2060);
BENCHMARK(BM_Decode)
    ->ArgNames({"payload", "chunk"})
    ->ArgsProduct({{1, 257, 2060}, {1, 64, kWholeFrame}});

// A skipped benchmark alone leaves the exit status at 0; a failed check must not.
int main(int argc, char **argv)
{
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return codecFailed ? 1 : 0;
}
