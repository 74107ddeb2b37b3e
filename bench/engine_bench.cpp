// The digest engine against the reference libraries, on the same buffers in
// the same process. Google Benchmark's rows give throughput over 64 B, 4 KiB,
// 1 MiB and 64 MiB, the engine once on each path this CPU runs (forced
// through the engine's test seam), and MD5, SHA-1, SHA-256 and SHA-512 in
// lanes on each lane path. The summary after them gives the ratios that count, engine
// time / reference time, and the lanes' speedup over the one-message digests,
// as the median of interleaved rounds, so that the machine's other load falls
// on both sides alike. SHA-3's four digests, alone and in lanes, have rows
// and summaries of their own after the others.
//
//   engine_bench                  both
//   engine_bench --summary_only   the ratios alone
//
// MD5() is deprecated in OpenSSL 3 but is the one-shot the engine is held to.
#define OPENSSL_SUPPRESS_DEPRECATED

#include <benchmark/benchmark.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <openssl/md5.h>
#include <openssl/sha.h>
#include <zlib.h>

#if defined(VELLUMARK_HAVE_ISAL)
#include <isa-l/crc.h>
#endif

#if defined(VELLUMARK_HAVE_LIBB2)
#include <blake2.h>
#endif

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fstream>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "bench/summary_option.h"

#include "engine/algorithms.h"
#include "engine/blake2.h"
#include "engine/blake2_lanes.h"
#include "engine/blake3.h"
#include "engine/blake3_lanes.h"
#include "engine/digest.h"
#include "engine/digest_paths.h"
#include "engine/lane_digests.h"
#include "engine/path_choice.h"
#include "engine/sha3.h"
#include "engine/sha3_lanes.h"

namespace {

using namespace engine;

constexpr std::int64_t kLargest = std::int64_t{64} << 20;
constexpr std::size_t kMiB = std::size_t{1} << 20;

// One random buffer for every case, filled once.
const unsigned char* Buffer()
{
    static const std::vector<unsigned char> buffer = [] {
        std::vector<unsigned char> b(static_cast<std::size_t>(kLargest));
        std::mt19937_64 rng(64);
        for (auto& c : b)
            c = static_cast<unsigned char>(rng());
        return b;
    }();
    return buffer.data();
}

const std::string kKey = "a key of moderate length";

// ---------------------------------------------------------------- the operations

// Each returns its result's bytes, so that the summary can check that both
// sides computed the same thing before it times them.
using Operation = std::function<std::string(const unsigned char*, std::size_t)>;

std::string AsBytes(const void* p, std::size_t n)
{
    return {static_cast<const char*>(p), n};
}

std::string EngineMd5(const unsigned char* p, std::size_t n)
{
    Md5Digest d;
    Md5OfBytes(p, static_cast<std::int32_t>(n), d);
    return AsBytes(d.bytes, sizeof d.bytes);
}

std::string EngineSha1(const unsigned char* p, std::size_t n)
{
    Sha1Digest d;
    Sha1OfBytes(p, static_cast<std::int32_t>(n), d);
    return AsBytes(d.bytes, sizeof d.bytes);
}

std::string EngineSha256(const unsigned char* p, std::size_t n)
{
    Sha256Digest d;
    Sha256OfBytes(p, static_cast<std::int32_t>(n), d);
    return AsBytes(d.bytes, sizeof d.bytes);
}

std::string EngineSha512(const unsigned char* p, std::size_t n)
{
    Sha512Digest d;
    Sha512OfBytes(p, static_cast<std::int32_t>(n), d);
    return AsBytes(d.bytes, sizeof d.bytes);
}

// A digest of the table through its one-message entry, as the companion
// starts it.
template <Algorithm kAlgorithm>
std::string EngineOfTable(const unsigned char* p, std::size_t n)
{
    const auto digest = RowOf(kAlgorithm).start(nullptr, 0);
    digest->Feed(p, n);
    const engine::DigestBytes bytes = digest->Finish();
    return AsBytes(bytes.bytes.data(), bytes.size);
}

std::string EngineHmacMd5(const unsigned char* p, std::size_t n)
{
    Md5Digest d;
    HmacMd5OfBytes(kKey, p, static_cast<std::int32_t>(n), d);
    return AsBytes(d.bytes, sizeof d.bytes);
}

// HMAC-MD5 of one 64-byte block as nothing but the five MD5 compressions it
// takes at least (the inner pad block, the message, the padding; the outer
// pad block, the inner digest with its padding), with what does not depend
// on the message made once: what the engine's HMAC is held to, key
// preparation and wiping included. Any other length gives no result.
std::string FiveMd5Blocks(const unsigned char* p, std::size_t n)
{
    constexpr std::size_t kBlock = 64;
    struct Blocks {
        std::uint8_t inner[kBlock] = {}, padding[kBlock] = {}, outer[kBlock] = {}, final[kBlock] = {};
    };
    // The last block takes each inner digest in its first 16 bytes.
    static Blocks blocks = [] {
        Blocks b;
        std::memcpy(b.inner, kKey.data(), kKey.size());
        std::memcpy(b.outer, kKey.data(), kKey.size());
        for (std::size_t i = 0; i < kBlock; ++i) {
            b.inner[i] ^= 0x36;
            b.outer[i] ^= 0x5C;
        }
        // The bit counts, least significant byte first: two blocks, and a
        // block and a digest.
        b.padding[0] = 0x80;
        b.padding[57] = 0x04;  // 1024 bits
        b.final[16] = 0x80;
        b.final[56] = 0x80;
        b.final[57] = 0x02;  // 640 bits
        return b;
    }();
    if (n != kBlock)
        return {};
    static constexpr Md5Digest kStart = {{0x01, 0x23, 0x45, 0x67, 0x89, 0xAB, 0xCD, 0xEF, 0xFE, 0xDC, 0xBA, 0x98, 0x76,
                                         0x54, 0x32, 0x10}};
    Md5Digest inner = kStart;
    Md5Compress(inner, blocks.inner, 1);
    Md5Compress(inner, p, 1);
    Md5Compress(inner, blocks.padding, 1);
    std::memcpy(blocks.final, inner.bytes, sizeof inner.bytes);
    Md5Digest outer = kStart;
    Md5Compress(outer, blocks.outer, 1);
    Md5Compress(outer, blocks.final, 1);
    return AsBytes(outer.bytes, sizeof outer.bytes);
}

std::string EngineHmacSha1(const unsigned char* p, std::size_t n)
{
    Sha1Digest d;
    HmacSha1OfBytes(kKey, p, static_cast<std::int32_t>(n), d);
    return AsBytes(d.bytes, sizeof d.bytes);
}

std::string EngineHmacSha256(const unsigned char* p, std::size_t n)
{
    Sha256Digest d;
    HmacSha256OfBytes(kKey, p, static_cast<std::int32_t>(n), d);
    return AsBytes(d.bytes, sizeof d.bytes);
}

std::string EngineHmacSha512(const unsigned char* p, std::size_t n)
{
    Sha512Digest d;
    HmacSha512OfBytes(kKey, p, static_cast<std::int32_t>(n), d);
    return AsBytes(d.bytes, sizeof d.bytes);
}

std::string EngineCrc32(const unsigned char* p, std::size_t n)
{
    const std::uint32_t crc = Crc32OfBytes(p, static_cast<std::int32_t>(n));
    return AsBytes(&crc, sizeof crc);
}

// `count` messages of `n` bytes each, one after another from `p`, through
// the lane object on the lane path in use, each lane starting the next
// message as its last is done: the caller the object is made for, with
// each message read in one window.
template <class Lanes, class Digest>
std::string EngineLanes(std::size_t count, const unsigned char* p, std::size_t n)
{
    Lanes lanes;
    std::vector<Digest> digests(count);
    std::size_t owner[kMaxLanes] = {};
    std::size_t next = 0, finished = 0;
    const auto start = [&](std::size_t lane) {
        lanes.Start(lane);
        lanes.Feed(lane, p + next * n, n);
        lanes.End(lane);
        owner[lane] = next++;
    };
    for (std::size_t lane = 0; lane < lanes.Width() && next < count; ++lane)
        start(lane);
    while (finished < count) {
        const LaneReport r = lanes.Step();
        for (std::size_t lane = 0; lane < lanes.Width(); ++lane)
            if ((r.done >> lane) & 1) {
                digests[owner[lane]] = lanes.TakeDigest(lane);
                ++finished;
                if (next < count)
                    start(lane);
            }
    }
    return AsBytes(digests.data(), count * sizeof(Digest));
}

// The same messages one after another through the one-message digest.
template <class Digest, void (*kOneShot)(const void*, std::int32_t, Digest&)>
std::string EngineEach(std::size_t count, const unsigned char* p, std::size_t n)
{
    std::vector<Digest> digests(count);
    for (std::size_t i = 0; i < count; ++i)
        kOneShot(p + i * n, static_cast<std::int32_t>(n), digests[i]);
    return AsBytes(digests.data(), count * sizeof(Digest));
}

template <std::size_t kSize, unsigned char* (*kOneShot)(const unsigned char*, std::size_t, unsigned char*)>
std::string OpenSslEach(std::size_t count, const unsigned char* p, std::size_t n)
{
    std::vector<unsigned char> digests(count * kSize);
    for (std::size_t i = 0; i < count; ++i)
        kOneShot(p + i * n, n, digests.data() + i * kSize);
    return AsBytes(digests.data(), digests.size());
}

std::string OpenSslMd5(const unsigned char* p, std::size_t n)
{
    unsigned char out[MD5_DIGEST_LENGTH];
    MD5(p, n, out);
    return AsBytes(out, sizeof out);
}

std::string OpenSslSha1(const unsigned char* p, std::size_t n)
{
    unsigned char out[SHA_DIGEST_LENGTH];
    SHA1(p, n, out);
    return AsBytes(out, sizeof out);
}

std::string OpenSslSha256(const unsigned char* p, std::size_t n)
{
    unsigned char out[SHA256_DIGEST_LENGTH];
    SHA256(p, n, out);
    return AsBytes(out, sizeof out);
}

std::string OpenSslSha224(const unsigned char* p, std::size_t n)
{
    unsigned char out[SHA224_DIGEST_LENGTH];
    SHA224(p, n, out);
    return AsBytes(out, sizeof out);
}

std::string OpenSslSha384(const unsigned char* p, std::size_t n)
{
    unsigned char out[SHA384_DIGEST_LENGTH];
    SHA384(p, n, out);
    return AsBytes(out, sizeof out);
}

std::string OpenSslSha512(const unsigned char* p, std::size_t n)
{
    unsigned char out[SHA512_DIGEST_LENGTH];
    SHA512(p, n, out);
    return AsBytes(out, sizeof out);
}

std::string OpenSslHmac(const EVP_MD* md, const unsigned char* p, std::size_t n)
{
    unsigned char out[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    HMAC(md, kKey.data(), static_cast<int>(kKey.size()), p, n, out, &length);
    return AsBytes(out, length);
}

std::string OpenSslHmacMd5(const unsigned char* p, std::size_t n)
{
    return OpenSslHmac(EVP_md5(), p, n);
}

std::string OpenSslHmacSha1(const unsigned char* p, std::size_t n)
{
    return OpenSslHmac(EVP_sha1(), p, n);
}

std::string OpenSslHmacSha256(const unsigned char* p, std::size_t n)
{
    return OpenSslHmac(EVP_sha256(), p, n);
}

std::string OpenSslHmacSha512(const unsigned char* p, std::size_t n)
{
    return OpenSslHmac(EVP_sha512(), p, n);
}

std::string ZlibCrc32(const unsigned char* p, std::size_t n)
{
    const auto crc = static_cast<std::uint32_t>(crc32(0, p, static_cast<uInt>(n)));
    return AsBytes(&crc, sizeof crc);
}

#if defined(VELLUMARK_HAVE_ISAL)
std::string IsalCrc32(const unsigned char* p, std::size_t n)
{
    const std::uint32_t crc = crc32_gzip_refl(0, p, n);
    return AsBytes(&crc, sizeof crc);
}
#endif

// ---------------------------------------------------------------- Google Benchmark rows

void Sizes(benchmark::internal::Benchmark* b)
{
    for (std::int64_t size : {std::int64_t{64}, std::int64_t{4} << 10, std::int64_t{1} << 20, kLargest})
        b->Arg(size);
}

// `usePath`, if any, forces the engine's path for the row; the automatic
// choice is restored after it.
void Register(const std::string& name, const Operation& operation, const std::function<void()>& usePath = {})
{
    benchmark::RegisterBenchmark(name.c_str(), [operation, usePath](benchmark::State& state) {
        if (usePath)
            usePath();
        const unsigned char* data = Buffer();
        const auto size = static_cast<std::size_t>(state.range(0));
        for (auto _ : state)
            benchmark::DoNotOptimize(operation(data, size));
        state.SetBytesProcessed(state.iterations() * state.range(0));
        UseChosenPaths();
    })->Apply(Sizes);
}

// As many messages as the lane path takes side by side, of 64 B, 4 KiB and
// 1 MiB each; the bytes counted are all the messages'.
template <class Lanes, class Digest, class Path, std::size_t kPaths>
void RegisterLaneRows(const char* digest, const Path (&paths)[kPaths])
{
    for (Path path : paths) {
        if (!CpuRuns(path))
            continue;
        const std::size_t count = LaneWidth(path);
        const std::string name =
            std::string("Engine_") + digest + "Lanes/" + PathName(path) + "/x" + std::to_string(count);
        const auto row = [path, count](benchmark::State& state) {
            ForcePath(path);
            const unsigned char* data = Buffer();
            const auto size = static_cast<std::size_t>(state.range(0));
            for (auto _ : state)
                benchmark::DoNotOptimize(EngineLanes<Lanes, Digest>(count, data, size));
            state.SetBytesProcessed(state.iterations() * state.range(0) * static_cast<std::int64_t>(count));
            UseChosenPaths();
        };
        benchmark::RegisterBenchmark(name.c_str(), row)->Arg(64)->Arg(4 << 10)->Arg(1 << 20);
    }
}

void RegisterRows()
{
    Register("Engine_Md5", EngineMd5);
    Register("OpenSsl_Md5", OpenSslMd5);
    RegisterLaneRows<Md5Lanes, Md5Digest>("Md5", kMd5LanePaths);
    RegisterLaneRows<Sha1Lanes, Sha1Digest>("Sha1", kSha1LanePaths);
    RegisterLaneRows<Sha256Lanes, Sha256Digest>("Sha256", kSha256LanePaths);
    RegisterLaneRows<Sha512Lanes, Sha512Digest>("Sha512", kSha512LanePaths);
    for (Sha1Path path : kSha1Paths)
        if (CpuRuns(path))
            Register(std::string("Engine_Sha1/") + PathName(path), EngineSha1, [path] { ForcePath(path); });
    Register("OpenSsl_Sha1", OpenSslSha1);
    Register("Engine_HmacMd5", EngineHmacMd5);
    Register("OpenSsl_HmacMd5", OpenSslHmacMd5);
    for (Sha1Path path : kSha1Paths)
        if (CpuRuns(path))
            Register(std::string("Engine_HmacSha1/") + PathName(path), EngineHmacSha1, [path] { ForcePath(path); });
    Register("OpenSsl_HmacSha1", OpenSslHmacSha1);
    for (Sha256Path path : kSha256Paths)
        if (CpuRuns(path))
            Register(std::string("Engine_Sha256/") + PathName(path), EngineSha256, [path] { ForcePath(path); });
    Register("OpenSsl_Sha256", OpenSslSha256);
    for (Sha256Path path : kSha256Paths)
        if (CpuRuns(path))
            Register(std::string("Engine_HmacSha256/") + PathName(path), EngineHmacSha256, [path] { ForcePath(path); });
    Register("OpenSsl_HmacSha256", OpenSslHmacSha256);
    for (Sha512Path path : kSha512Paths)
        if (CpuRuns(path))
            Register(std::string("Engine_Sha512/") + PathName(path), EngineSha512, [path] { ForcePath(path); });
    Register("OpenSsl_Sha512", OpenSslSha512);
    for (Sha512Path path : kSha512Paths)
        if (CpuRuns(path))
            Register(std::string("Engine_HmacSha512/") + PathName(path), EngineHmacSha512, [path] { ForcePath(path); });
    Register("OpenSsl_HmacSha512", OpenSslHmacSha512);
    for (Crc32Path path : kCrc32Paths)
        if (CpuRuns(path))
            Register(std::string("Engine_Crc32/") + PathName(path), EngineCrc32, [path] { ForcePath(path); });
    Register("Zlib_Crc32", ZlibCrc32);
#if defined(VELLUMARK_HAVE_ISAL)
    Register("Isal_Crc32", IsalCrc32);
#endif
}

// ---------------------------------------------------------------- the summary

struct Comparison {
    const char* work;
    const char* reference;
    std::size_t size;
    Operation engine, other;
    double goal;                    // the ratio to stay at or under; 0 for a row that only informs
    std::function<void()> usePath;  // the engine's path for the row
    std::function<const char*()> pathName;
    // Off where the reference is another digest of the same machinery, whose
    // result differs by design.
    bool sameResult = true;
};

// The thread's CPU time rather than the wall clock: the machines this runs
// on are shared, and time spent preempted belongs to neither side.
double ThreadNanoseconds()
{
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) * 1e9 + static_cast<double>(t.tv_nsec);
}

double NanosecondsPerCall(const Operation& operation, std::size_t size, std::int64_t calls)
{
    const unsigned char* data = Buffer();
    const double start = ThreadNanoseconds();
    for (std::int64_t i = 0; i < calls; ++i)
        benchmark::DoNotOptimize(operation(data, size));
    return (ThreadNanoseconds() - start) / static_cast<double>(calls);
}

// Enough calls for about 10 ms.
std::int64_t CallsFor(const Operation& operation, std::size_t size)
{
    const double once = NanosecondsPerCall(operation, size, 3);
    return std::max<std::int64_t>(3, static_cast<std::int64_t>(10e6 / std::max(once, 1.0)));
}

double Median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

std::string Time(double ns)
{
    char text[32];
    if (ns >= 1e6)
        std::snprintf(text, sizeof text, "%.3f ms", ns / 1e6);
    else if (ns >= 1e3)
        std::snprintf(text, sizeof text, "%.2f us", ns / 1e3);
    else
        std::snprintf(text, sizeof text, "%.0f ns", ns);
    return text;
}

std::string CpuModel()
{
    std::ifstream cpuinfo("/proc/cpuinfo");
    std::string line;
    while (std::getline(cpuinfo, line))
        if (line.rfind("model name", 0) == 0)
            return line.substr(line.find(':') + 2);
    return "unknown";
}

// Times each row's engine against its reference, interleaved, and prints
// the ratios under a heading. Returns false when a row's two sides disagree.
bool PrintComparisons(const std::vector<Comparison>& rows)
{
    constexpr int kRounds = 21;
    std::printf(
        "\nEngine time / reference time (thread CPU time), median of %d interleaved rounds; lower is "
        "faster.\n",
        kRounds);
    std::printf("CPU: %s\n\n", CpuModel().c_str());
    std::printf("%-18s %-22s %-18s %7s %8s %11s %11s\n", "Work", "Reference", "Engine path", "Ratio", "Goal", "Engine",
                "Reference");
    bool agreed = true;
    for (const Comparison& row : rows) {
        row.usePath();
        const unsigned char* data = Buffer();
        if (row.sameResult && row.engine(data, row.size) != row.other(data, row.size)) {
            std::printf("%-18s %-22s results differ: not timed\n", row.work, row.reference);
            agreed = false;
            UseChosenPaths();
            continue;
        }
        const std::int64_t engineCalls = CallsFor(row.engine, row.size);
        const std::int64_t otherCalls = CallsFor(row.other, row.size);
        std::vector<double> ratios, engineTimes, otherTimes;
        for (int round = 0; round < kRounds; ++round) {
            double engineNs, otherNs;
            if (round % 2 == 0) {
                engineNs = NanosecondsPerCall(row.engine, row.size, engineCalls);
                otherNs = NanosecondsPerCall(row.other, row.size, otherCalls);
            } else {
                otherNs = NanosecondsPerCall(row.other, row.size, otherCalls);
                engineNs = NanosecondsPerCall(row.engine, row.size, engineCalls);
            }
            ratios.push_back(engineNs / otherNs);
            engineTimes.push_back(engineNs);
            otherTimes.push_back(otherNs);
        }
        const double ratio = Median(ratios);
        char goal[16] = "";
        const char* verdict = "";
        if (row.goal > 0) {
            std::snprintf(goal, sizeof goal, "<= %.2f", row.goal);
            verdict = ratio <= row.goal ? "  met" : "  NOT MET";
        }
        std::printf("%-18s %-22s %-18s %7.2f %8s %11s %11s%s\n", row.work, row.reference, row.pathName(), ratio, goal,
                    Time(Median(engineTimes)).c_str(), Time(Median(otherTimes)).c_str(), verdict);
        UseChosenPaths();
    }
    return agreed;
}

// Returns false when a row's two sides disagree: nothing else counts then.
bool PrintSummary()
{
    const auto chosen = [] { UseChosenPaths(); };
    const auto sha1Portable = [] { ForcePath(Sha1Path::Portable); };
    const auto sha256Portable = [] { ForcePath(Sha256Path::Portable); };
    const auto sha512Portable = [] { ForcePath(Sha512Path::Portable); };
    const auto crc32Portable = [] { ForcePath(Crc32Path::Portable); };
    const auto sha1Name = [] { return PathName(ChosenPath<Sha1Path>()); };
    const auto sha256Name = [] { return PathName(ChosenPath<Sha256Path>()); };
    const auto sha512Name = [] { return PathName(ChosenPath<Sha512Path>()); };
    const auto crc32Name = [] { return PathName(ChosenPath<Crc32Path>()); };
    // SHA-256 is held to OpenSSL where both run the SHA instructions.
    const double sha256Goal = ChosenPath<Sha256Path>() == Sha256Path::ShaNi ? 1.00 : 0;
    const auto portable = [] { return "portable"; };

    std::vector<Comparison> rows = {
        {"MD5, 1 MiB", "OpenSSL MD5()", kMiB, EngineMd5, OpenSslMd5, 1.00, chosen, portable},
        {"SHA-1, 1 MiB", "OpenSSL SHA1()", kMiB, EngineSha1, OpenSslSha1, 1.00, chosen, sha1Name},
        {"SHA-256, 1 MiB", "OpenSSL SHA256()", kMiB, EngineSha256, OpenSslSha256, sha256Goal, chosen, sha256Name},
        {"SHA-512, 1 MiB", "OpenSSL SHA512()", kMiB, EngineSha512, OpenSslSha512, 1.00, chosen, sha512Name},
        // SHA-224 and SHA-384 are SHA-256 and SHA-512 with other starting
        // values and a shorter result: they should cost what those do.
        {"SHA-224, 1 MiB", "engine SHA-256", kMiB, EngineOfTable<Algorithm::Sha224>,
         EngineOfTable<Algorithm::Sha256>, 1.05, chosen, sha256Name, false},
        {"SHA-384, 1 MiB", "engine SHA-512", kMiB, EngineOfTable<Algorithm::Sha384>,
         EngineOfTable<Algorithm::Sha512>, 1.05, chosen, sha512Name, false},
        {"SHA-224, 1 MiB", "OpenSSL SHA224()", kMiB, EngineOfTable<Algorithm::Sha224>, OpenSslSha224,
         sha256Goal, chosen, sha256Name},
        {"SHA-384, 1 MiB", "OpenSSL SHA384()", kMiB, EngineOfTable<Algorithm::Sha384>, OpenSslSha384, 1.00,
         chosen, sha512Name},
#if defined(VELLUMARK_HAVE_ISAL)
        {"CRC-32, 1 MiB", "ISA-L crc32_gzip_refl", kMiB, EngineCrc32, IsalCrc32, 1.00, chosen, crc32Name},
#endif
        {"HMAC-MD5, 64 B", "OpenSSL HMAC()", 64, EngineHmacMd5, OpenSslHmacMd5, 0.30, chosen, portable},
        // What HMAC-MD5 of a block costs beyond its five MD5 compressions, on
        // any CPU.
        {"HMAC-MD5, 64 B", "5 MD5 blocks", 64, EngineHmacMd5, FiveMd5Blocks, 1.10, chosen, portable},
        {"HMAC-SHA-1, 64 B", "OpenSSL HMAC()", 64, EngineHmacSha1, OpenSslHmacSha1, 0.30, chosen, sha1Name},
        // For comparison only: another reference, and the portable paths.
        {"HMAC-SHA-256, 64 B", "OpenSSL HMAC()", 64, EngineHmacSha256, OpenSslHmacSha256, 0, chosen, sha256Name},
        {"HMAC-SHA-512, 64 B", "OpenSSL HMAC()", 64, EngineHmacSha512, OpenSslHmacSha512, 0, chosen, sha512Name},
        {"CRC-32, 1 MiB", "zlib crc32", kMiB, EngineCrc32, ZlibCrc32, 0, chosen, crc32Name},
        {"SHA-1, 1 MiB", "OpenSSL SHA1()", kMiB, EngineSha1, OpenSslSha1, 0, sha1Portable, portable},
        {"HMAC-SHA-1, 64 B", "OpenSSL HMAC()", 64, EngineHmacSha1, OpenSslHmacSha1, 0, sha1Portable, portable},
        {"SHA-256, 1 MiB", "OpenSSL SHA256()", kMiB, EngineSha256, OpenSslSha256, 0, sha256Portable, portable},
        {"HMAC-SHA-256, 64 B", "OpenSSL HMAC()", 64, EngineHmacSha256, OpenSslHmacSha256, 0, sha256Portable, portable},
        {"SHA-512, 1 MiB", "OpenSSL SHA512()", kMiB, EngineSha512, OpenSslSha512, 0, sha512Portable, portable},
        {"HMAC-SHA-512, 64 B", "OpenSSL HMAC()", 64, EngineHmacSha512, OpenSslHmacSha512, 0, sha512Portable, portable},
#if defined(VELLUMARK_HAVE_ISAL)
        {"CRC-32, 1 MiB", "ISA-L crc32_gzip_refl", kMiB, EngineCrc32, IsalCrc32, 0, crc32Portable, portable},
#endif
    };
    // SHA-512's narrower vector path, where a wider one was chosen.
    if (CpuRuns(Sha512Path::Avx2) && ChosenPath<Sha512Path>() != Sha512Path::Avx2)
        rows.push_back({"SHA-512, 1 MiB", "OpenSSL SHA512()", kMiB, EngineSha512, OpenSslSha512, 0,
                        [] { ForcePath(Sha512Path::Avx2); }, [] { return PathName(Sha512Path::Avx2); }});

    const bool agreed = PrintComparisons(rows);
#if !defined(VELLUMARK_HAVE_ISAL)
    std::printf("(ISA-L not found at build time: no CRC-32 row against it)\n");
#endif
    return agreed;
}

// Many messages in lanes against the same messages one after another through
// the one-message digest (and OpenSSL's, for comparison): throughput, so the
// goals are speedups, at least so many times the one-message rate. Returns
// false when lanes and one-message results disagree.
bool PrintLaneSummary()
{
    using Messages = std::string (*)(std::size_t, const unsigned char*, std::size_t);
    struct LaneRow {
        const char* digest;
        std::size_t count;
        std::function<void()> usePath;  // none: the chosen path
        std::function<const char*()> pathName;
        Messages lanes, each, openssl;
        double goal;  // 0 for a row that only informs
    };
    const Messages md5Lanes = EngineLanes<Md5Lanes, Md5Digest>;
    const Messages md5Each = EngineEach<Md5Digest, Md5OfBytes>;
    const Messages md5OpenSsl = OpenSslEach<MD5_DIGEST_LENGTH, MD5>;
    const Messages sha1Lanes = EngineLanes<Sha1Lanes, Sha1Digest>;
    const Messages sha1Each = EngineEach<Sha1Digest, Sha1OfBytes>;
    const Messages sha1OpenSsl = OpenSslEach<SHA_DIGEST_LENGTH, SHA1>;
    const Messages sha256Lanes = EngineLanes<Sha256Lanes, Sha256Digest>;
    const Messages sha256Each = EngineEach<Sha256Digest, Sha256OfBytes>;
    const Messages sha256OpenSsl = OpenSslEach<SHA256_DIGEST_LENGTH, SHA256>;
    const Messages sha512Lanes = EngineLanes<Sha512Lanes, Sha512Digest>;
    const Messages sha512Each = EngineEach<Sha512Digest, Sha512OfBytes>;
    const Messages sha512OpenSsl = OpenSslEach<SHA512_DIGEST_LENGTH, SHA512>;
    const auto md5Name = [] { return PathName(PathInUse<Md5LanePath>()); };
    const auto sha1Name = [] { return PathName(PathInUse<Sha1LanePath>()); };
    const auto sha256Name = [] { return PathName(PathInUse<Sha256LanePath>()); };
    const auto sha512Name = [] { return PathName(PathInUse<Sha512LanePath>()); };

    std::vector<LaneRow> rows;
    const double md5Goal = ChosenPath<Md5LanePath>() == Md5LanePath::Avx512 ? 6.0 : 0;
    rows.push_back({"MD5", LaneWidth(ChosenPath<Md5LanePath>()), {}, md5Name, md5Lanes, md5Each, md5OpenSsl, md5Goal});
    if (CpuRuns(Md5LanePath::Avx2))
        rows.push_back({"MD5", 8, [] { ForcePath(Md5LanePath::Avx2); }, md5Name, md5Lanes, md5Each, md5OpenSsl, 4.0});
    rows.push_back({"SHA-1", LaneWidth(ChosenPath<Sha1LanePath>()), {}, sha1Name, sha1Lanes, sha1Each, sha1OpenSsl, 0});
    if (CpuRuns(Sha1LanePath::Avx2) && ChosenPath<Sha1LanePath>() != Sha1LanePath::Avx2)
        rows.push_back(
            {"SHA-1", 8, [] { ForcePath(Sha1LanePath::Avx2); }, sha1Name, sha1Lanes, sha1Each, sha1OpenSsl, 0});
    rows.push_back({"SHA-256",
                    LaneWidth(ChosenPath<Sha256LanePath>()),
                    {},
                    sha256Name,
                    sha256Lanes,
                    sha256Each,
                    sha256OpenSsl,
                    0});
    rows.push_back({"SHA-512",
                    LaneWidth(ChosenPath<Sha512LanePath>()),
                    {},
                    sha512Name,
                    sha512Lanes,
                    sha512Each,
                    sha512OpenSsl,
                    0});

    bool agreed = true;
    constexpr int kRounds = 21;
    std::printf(
        "\nIn lanes: messages of 1 MiB, one per lane, against the same messages one after another; speedup =\n"
        "one-message time / lanes time, median of %d interleaved rounds of thread CPU time; higher is faster.\n"
        "One-message paths: MD5 portable, SHA-1 %s, SHA-256 %s, SHA-512 %s.\n\n",
        kRounds, PathName(ChosenPath<Sha1Path>()), PathName(ChosenPath<Sha256Path>()),
        PathName(ChosenPath<Sha512Path>()));
    std::printf("%-24s %-24s %-10s %8s %8s %11s %11s\n", "Work", "Against", "Lane path", "Speedup", "Goal", "Lanes",
                "Against");
    for (const LaneRow& row : rows) {
        for (const bool openssl : {false, true}) {
            if (row.usePath)
                row.usePath();
            const std::size_t count = row.count;
            const Messages other = openssl ? row.openssl : row.each;
            const Operation lanes = [&row, count](const unsigned char* p, std::size_t n) {
                return row.lanes(count, p, n);
            };
            const Operation each = [other, count](const unsigned char* p, std::size_t n) { return other(count, p, n); };
            char work[40], against[40];
            std::snprintf(work, sizeof work, "%s x%zu, 1 MiB each", row.digest, count);
            std::snprintf(against, sizeof against, "%s %s each", openssl ? "OpenSSL" : "one-message", row.digest);
            if (lanes(Buffer(), kMiB) != each(Buffer(), kMiB)) {
                std::printf("%-24s %-24s results differ: not timed\n", work, against);
                agreed = false;
                UseChosenPaths();
                continue;
            }
            const std::int64_t laneCalls = CallsFor(lanes, kMiB), eachCalls = CallsFor(each, kMiB);
            std::vector<double> speedups, laneTimes, eachTimes;
            for (int round = 0; round < kRounds; ++round) {
                double laneNs, eachNs;
                if (round % 2 == 0) {
                    laneNs = NanosecondsPerCall(lanes, kMiB, laneCalls);
                    eachNs = NanosecondsPerCall(each, kMiB, eachCalls);
                } else {
                    eachNs = NanosecondsPerCall(each, kMiB, eachCalls);
                    laneNs = NanosecondsPerCall(lanes, kMiB, laneCalls);
                }
                speedups.push_back(eachNs / laneNs);
                laneTimes.push_back(laneNs);
                eachTimes.push_back(eachNs);
            }
            const double speedup = Median(speedups);
            char goal[16] = "";
            const char* verdict = "";
            if (row.goal > 0 && !openssl) {
                std::snprintf(goal, sizeof goal, ">= %.2f", row.goal);
                verdict = speedup >= row.goal ? "  met" : "  NOT MET";
            }
            std::printf("%-24s %-24s %-10s %8.2f %8s %11s %11s%s\n", work, against, row.pathName(), speedup, goal,
                        Time(Median(laneTimes)).c_str(), Time(Median(eachTimes)).c_str(), verdict);
            UseChosenPaths();
        }
    }
    return agreed;
}

// ---------------------------------------------------------------- BLAKE2

template <std::size_t kSize>
std::string EngineBlake2b(const unsigned char* p, std::size_t n)
{
    Blake2bState state;
    Blake2bInit(state, kSize);
    Blake2bUpdate(state, p, n);
    unsigned char out[kSize];
    Blake2bFinal(state, out);
    return AsBytes(out, kSize);
}

std::string EngineBlake2s(const unsigned char* p, std::size_t n)
{
    Blake2sState state;
    Blake2sInit(state, 32);
    Blake2sUpdate(state, p, n);
    unsigned char out[32];
    Blake2sFinal(state, out);
    return AsBytes(out, sizeof out);
}

// The digests fetched once, as a caller that digests many messages would.
std::string OpenSslDigest(const char* name, const unsigned char* p, std::size_t n)
{
    static EVP_MD* const blake2b = EVP_MD_fetch(nullptr, "BLAKE2B-512", nullptr);
    static EVP_MD* const blake2s = EVP_MD_fetch(nullptr, "BLAKE2S-256", nullptr);
    unsigned char out[EVP_MAX_MD_SIZE];
    unsigned int size = 0;
    EVP_Digest(p, n, out, &size, std::strcmp(name, "BLAKE2B-512") == 0 ? blake2b : blake2s, nullptr);
    return AsBytes(out, size);
}

std::string OpenSslBlake2b(const unsigned char* p, std::size_t n)
{
    return OpenSslDigest("BLAKE2B-512", p, n);
}

std::string OpenSslBlake2s(const unsigned char* p, std::size_t n)
{
    return OpenSslDigest("BLAKE2S-256", p, n);
}

#if defined(VELLUMARK_HAVE_LIBB2)
template <std::size_t kSize>
std::string Libb2Blake2b(const unsigned char* p, std::size_t n)
{
    unsigned char out[kSize];
    blake2b(out, p, nullptr, kSize, n, 0);
    return AsBytes(out, kSize);
}

std::string Libb2Blake2s(const unsigned char* p, std::size_t n)
{
    unsigned char out[32];
    blake2s(out, p, nullptr, sizeof out, n, 0);
    return AsBytes(out, sizeof out);
}
#endif

void RegisterBlake2Rows()
{
    for (Blake2bPath path : kBlake2bPaths) {
        if (!CpuRuns(path))
            continue;
        const auto use = [path] { ForcePath(path); };
        Register(std::string("Engine_Blake2b512/") + PathName(path), EngineBlake2b<64>, use);
        Register(std::string("Engine_Blake2b256/") + PathName(path), EngineBlake2b<32>, use);
    }
    Register("OpenSsl_Blake2b512", OpenSslBlake2b);
    for (Blake2sPath path : kBlake2sPaths)
        if (CpuRuns(path))
            Register(std::string("Engine_Blake2s256/") + PathName(path), EngineBlake2s, [path] { ForcePath(path); });
    Register("OpenSsl_Blake2s256", OpenSslBlake2s);
#if defined(VELLUMARK_HAVE_LIBB2)
    Register("Libb2_Blake2b512", Libb2Blake2b<64>);
    Register("Libb2_Blake2b256", Libb2Blake2b<32>);
    Register("Libb2_Blake2s256", Libb2Blake2s);
#endif
}

// `count` messages of `n` bytes each through a BLAKE2 lane object, as
// EngineLanes drives the others.
template <class Lanes>
std::string EngineBlake2Lanes(std::size_t count, const unsigned char* p, std::size_t n)
{
    Lanes lanes;
    std::string digests;
    std::vector<std::string> each(count);
    std::size_t owner[kMaxLanes] = {};
    std::size_t next = 0, finished = 0;
    const auto start = [&](std::size_t lane) {
        lanes.Start(lane);
        lanes.Feed(lane, p + next * n, n);
        lanes.End(lane);
        owner[lane] = next++;
    };
    for (std::size_t lane = 0; lane < lanes.Width() && next < count; ++lane)
        start(lane);
    while (finished < count) {
        const LaneReport r = lanes.Step();
        for (std::size_t lane = 0; lane < lanes.Width(); ++lane)
            if ((r.done >> lane) & 1) {
                const auto digest = lanes.TakeDigest(lane);
                each[owner[lane]] = AsBytes(digest.bytes, digest.size);
                ++finished;
                if (next < count)
                    start(lane);
            }
    }
    for (const std::string& d : each)
        digests += d;
    return digests;
}

// The same messages one after another through the one-message state.
template <std::string (*kOne)(const unsigned char*, std::size_t)>
std::string Blake2Each(std::size_t count, const unsigned char* p, std::size_t n)
{
    std::string digests;
    for (std::size_t i = 0; i < count; ++i)
        digests += kOne(p + i * n, n);
    return digests;
}

// As many messages as the lane path takes side by side, as RegisterLaneRows does.
template <class Lanes, class Path, std::size_t kPaths>
void RegisterBlake2LaneRowsOf(const char* digest, const Path (&paths)[kPaths])
{
    for (Path path : paths) {
        if (!CpuRuns(path))
            continue;
        const std::size_t count = LaneWidth(path);
        const std::string name =
            std::string("Engine_") + digest + "Lanes/" + PathName(path) + "/x" + std::to_string(count);
        const auto row = [path, count](benchmark::State& state) {
            ForcePath(path);
            const auto size = static_cast<std::size_t>(state.range(0));
            for (auto _ : state)
                benchmark::DoNotOptimize(EngineBlake2Lanes<Lanes>(count, Buffer(), size));
            state.SetBytesProcessed(state.iterations() * state.range(0) * static_cast<std::int64_t>(count));
            UseChosenPaths();
        };
        benchmark::RegisterBenchmark(name.c_str(), row)->Arg(64)->Arg(4 << 10)->Arg(1 << 20);
    }
}

void RegisterBlake2LaneRows()
{
    RegisterBlake2LaneRowsOf<Blake2bLanes>("Blake2b512", kBlake2bLanePaths);
    RegisterBlake2LaneRowsOf<Blake2sLanes>("Blake2s256", kBlake2sLanePaths);
}

// BLAKE2 in lanes against the same messages one after another through the
// one-message state (and OpenSSL's), messages of 4 KiB (a folder of small
// files) and 1 MiB: speedup = one-message time / lanes time, the median of
// interleaved rounds. Only informs. Returns false when results disagree.
bool PrintBlake2LaneSummary()
{
    using Messages = std::string (*)(std::size_t, const unsigned char*, std::size_t);
    struct LaneRow {
        const char* digest;
        std::size_t count, size;
        const char* against;
        Messages lanes, each;
        const char* path;
        std::function<void()> usePath;
    };
    const Messages bLanes = EngineBlake2Lanes<Blake2bLanes>, sLanes = EngineBlake2Lanes<Blake2sLanes>;
    const Messages bEach = Blake2Each<EngineBlake2b<64>>, sEach = Blake2Each<EngineBlake2s>;
    const Messages bOpenSsl = Blake2Each<OpenSslBlake2b>, sOpenSsl = Blake2Each<OpenSslBlake2s>;
    std::vector<LaneRow> rows;
    // The chosen lane paths against one message at a time and OpenSSL; the
    // narrower ones the CPU runs against one message at a time.
    for (Blake2bLanePath path : kBlake2bLanePaths) {
        if (!CpuRuns(path) || path == Blake2bLanePath::OneAtATime)
            continue;
        const bool chosen = path == ChosenPath<Blake2bLanePath>();
        const auto use = [path] { ForcePath(path); };
        for (const std::size_t size : {std::size_t{4096}, kMiB}) {
            rows.push_back({"BLAKE2b-512", LaneWidth(path), size, "one-message", bLanes, bEach, PathName(path), use});
            if (chosen)
                rows.push_back(
                    {"BLAKE2b-512", LaneWidth(path), size, "OpenSSL", bLanes, bOpenSsl, PathName(path), use});
        }
    }
    for (Blake2sLanePath path : kBlake2sLanePaths) {
        if (!CpuRuns(path) || path == Blake2sLanePath::OneAtATime)
            continue;
        const bool chosen = path == ChosenPath<Blake2sLanePath>();
        const auto use = [path] { ForcePath(path); };
        for (const std::size_t size : {std::size_t{4096}, kMiB}) {
            rows.push_back({"BLAKE2s-256", LaneWidth(path), size, "one-message", sLanes, sEach, PathName(path), use});
            if (chosen)
                rows.push_back(
                    {"BLAKE2s-256", LaneWidth(path), size, "OpenSSL", sLanes, sOpenSsl, PathName(path), use});
        }
    }
    constexpr int kRounds = 21;
    std::printf(
        "\nBLAKE2 in lanes against the same messages one after another; speedup = one-message time / lanes\n"
        "time, median of %d interleaved rounds of thread CPU time; higher is faster. One-message paths:\n"
        "BLAKE2b %s, BLAKE2s %s.\n\n",
        kRounds, PathName(ChosenPath<Blake2bPath>()), PathName(ChosenPath<Blake2sPath>()));
    std::printf("%-28s %-24s %-10s %8s %11s %11s\n", "Work", "Against", "Lane path", "Speedup", "Lanes", "Against");
    bool agreed = true;
    for (const LaneRow& row : rows) {
        row.usePath();
        const Operation lanes = [&row](const unsigned char* p, std::size_t n) { return row.lanes(row.count, p, n); };
        const Operation each = [&row](const unsigned char* p, std::size_t n) { return row.each(row.count, p, n); };
        char work[48], against[48];
        std::snprintf(work, sizeof work, "%s x%zu, %s each", row.digest, row.count,
                      row.size == kMiB ? "1 MiB" : "4 KiB");
        std::snprintf(against, sizeof against, "%s %s each", row.against, row.digest);
        if (lanes(Buffer(), row.size) != each(Buffer(), row.size)) {
            std::printf("%-28s %-24s results differ: not timed\n", work, against);
            agreed = false;
            UseChosenPaths();
            continue;
        }
        const std::int64_t laneCalls = CallsFor(lanes, row.size), eachCalls = CallsFor(each, row.size);
        std::vector<double> speedups, laneTimes, eachTimes;
        for (int round = 0; round < kRounds; ++round) {
            double laneNs, eachNs;
            if (round % 2 == 0) {
                laneNs = NanosecondsPerCall(lanes, row.size, laneCalls);
                eachNs = NanosecondsPerCall(each, row.size, eachCalls);
            } else {
                eachNs = NanosecondsPerCall(each, row.size, eachCalls);
                laneNs = NanosecondsPerCall(lanes, row.size, laneCalls);
            }
            speedups.push_back(eachNs / laneNs);
            laneTimes.push_back(laneNs);
            eachTimes.push_back(eachNs);
        }
        std::printf("%-28s %-24s %-10s %8.2f %11s %11s\n", work, against, row.path, Median(speedups),
                    Time(Median(laneTimes)).c_str(), Time(Median(eachTimes)).c_str());
        UseChosenPaths();
    }
    return agreed;
}

// BLAKE2b-512 and BLAKE2s-256 of 1 MiB on the chosen paths, held to
// OpenSSL and libb2; then the other paths and BLAKE2b-256, for comparison.
bool PrintBlake2Summary()
{
    const auto chosen = [] { UseChosenPaths(); };
    const auto bName = [] { return PathName(ChosenPath<Blake2bPath>()); };
    const auto sName = [] { return PathName(ChosenPath<Blake2sPath>()); };
    std::vector<Comparison> rows = {
        {"BLAKE2b-512, 1 MiB", "OpenSSL EVP blake2b512", kMiB, EngineBlake2b<64>, OpenSslBlake2b, 1.00, chosen, bName},
        {"BLAKE2s-256, 1 MiB", "OpenSSL EVP blake2s256", kMiB, EngineBlake2s, OpenSslBlake2s, 1.00, chosen, sName},
#if defined(VELLUMARK_HAVE_LIBB2)
        {"BLAKE2b-512, 1 MiB", "libb2 blake2b()", kMiB, EngineBlake2b<64>, Libb2Blake2b<64>, 1.00, chosen, bName},
        {"BLAKE2s-256, 1 MiB", "libb2 blake2s()", kMiB, EngineBlake2s, Libb2Blake2s, 1.00, chosen, sName},
        {"BLAKE2b-256, 1 MiB", "libb2 blake2b()", kMiB, EngineBlake2b<32>, Libb2Blake2b<32>, 0, chosen, bName},
        {"BLAKE2b-512, 64 B", "libb2 blake2b()", 64, EngineBlake2b<64>, Libb2Blake2b<64>, 0, chosen, bName},
        {"BLAKE2s-256, 64 B", "libb2 blake2s()", 64, EngineBlake2s, Libb2Blake2s, 0, chosen, sName},
#endif
        {"BLAKE2b-512, 64 B", "OpenSSL EVP blake2b512", 64, EngineBlake2b<64>, OpenSslBlake2b, 0, chosen, bName},
        {"BLAKE2s-256, 64 B", "OpenSSL EVP blake2s256", 64, EngineBlake2s, OpenSslBlake2s, 0, chosen, sName},
    };
    for (Blake2bPath path : kBlake2bPaths)
        if (CpuRuns(path) && path != ChosenPath<Blake2bPath>())
            rows.push_back({"BLAKE2b-512, 1 MiB", "OpenSSL EVP blake2b512", kMiB, EngineBlake2b<64>, OpenSslBlake2b, 0,
                            [path] { ForcePath(path); }, [path] { return PathName(path); }});
    for (Blake2sPath path : kBlake2sPaths)
        if (CpuRuns(path) && path != ChosenPath<Blake2sPath>())
            rows.push_back({"BLAKE2s-256, 1 MiB", "OpenSSL EVP blake2s256", kMiB, EngineBlake2s, OpenSslBlake2s, 0,
                            [path] { ForcePath(path); }, [path] { return PathName(path); }});
    const bool agreed = PrintComparisons(rows);
#if !defined(VELLUMARK_HAVE_LIBB2)
    std::printf("(libb2 not found at build time: no BLAKE2 rows against it)\n");
#endif
    return agreed;
}

// ---------------------------------------------------------------- SHA-3

template <std::size_t kDigestBytes>
std::string EngineSha3(const unsigned char* p, std::size_t n)
{
    Sha3State state;
    Sha3Init(state, kDigestBytes);
    Sha3Update(state, p, n);
    std::uint8_t digest[kDigestBytes];
    Sha3Final(state, digest);
    return AsBytes(digest, sizeof digest);
}

template <std::size_t kDigestBytes>
std::string OpenSslSha3(const unsigned char* p, std::size_t n)
{
    const EVP_MD* md = kDigestBytes == 28   ? EVP_sha3_224()
                       : kDigestBytes == 32 ? EVP_sha3_256()
                       : kDigestBytes == 48 ? EVP_sha3_384()
                                            : EVP_sha3_512();
    unsigned char out[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    EVP_Digest(p, n, out, &length, md, nullptr);
    return AsBytes(out, length);
}

// SHA3-224 to SHA3-512 on each path this CPU runs, and OpenSSL's.
void RegisterSha3Rows()
{
    const struct {
        const char* name;
        Operation engine, openssl;
    } kDigests[] = {
        {"Sha3_224", EngineSha3<28>, OpenSslSha3<28>},
        {"Sha3_256", EngineSha3<32>, OpenSslSha3<32>},
        {"Sha3_384", EngineSha3<48>, OpenSslSha3<48>},
        {"Sha3_512", EngineSha3<64>, OpenSslSha3<64>},
    };
    for (const auto& digest : kDigests) {
        for (Sha3Path path : kSha3Paths)
            if (CpuRuns(path))
                Register(std::string("Engine_") + digest.name + "/" + PathName(path), digest.engine,
                         [path] { ForcePath(path); });
        Register(std::string("OpenSsl_") + digest.name, digest.openssl);
    }
    RegisterLaneRows<Sha3_256Lanes, Sha3_256Lanes::Digest>("Sha3_256", kSha3LanePaths);
    RegisterLaneRows<Sha3_512Lanes, Sha3_512Lanes::Digest>("Sha3_512", kSha3LanePaths);
}

// SHA-3 against OpenSSL's EVP digests on 1 MiB, as PrintSummary times its
// rows, with the throughput of both sides. SHA3-256 on the chosen path is
// held to OpenSSL's time; the AVX-512 routine to 1.45 times OpenSSL's speed,
// which a file of 1 GiB needs to take at most 0.7 of `openssl dgst`'s time
// with the reading on another core. Returns false when a row's two sides
// disagree.
bool PrintSha3Summary()
{
    struct Sha3Row {
        const char* work;
        Operation engine, openssl;
        double goal;  // the ratio to stay at or under; 0 for a row that only informs
        Sha3Path path;
        bool chosen;  // the automatic choice, whatever `path` says
    };
    const Sha3Path chosen = ChosenPath<Sha3Path>();
    std::vector<Sha3Row> rows = {
        {"SHA3-256, 1 MiB", EngineSha3<32>, OpenSslSha3<32>, 1.00, chosen, true},
        {"SHA3-512, 1 MiB", EngineSha3<64>, OpenSslSha3<64>, 0, chosen, true},
        {"SHA3-224, 1 MiB", EngineSha3<28>, OpenSslSha3<28>, 0, chosen, true},
        {"SHA3-384, 1 MiB", EngineSha3<48>, OpenSslSha3<48>, 0, chosen, true},
    };
    if (CpuRuns(Sha3Path::Avx512)) {
        rows.push_back({"SHA3-256, 1 MiB", EngineSha3<32>, OpenSslSha3<32>, 0.69, Sha3Path::Avx512, false});
        rows.push_back({"SHA3-512, 1 MiB", EngineSha3<64>, OpenSslSha3<64>, 0, Sha3Path::Avx512, false});
    }
    if (chosen != Sha3Path::Portable) {
        rows.push_back({"SHA3-256, 1 MiB", EngineSha3<32>, OpenSslSha3<32>, 0, Sha3Path::Portable, false});
        rows.push_back({"SHA3-512, 1 MiB", EngineSha3<64>, OpenSslSha3<64>, 0, Sha3Path::Portable, false});
    }

    constexpr int kRounds = 21;
    std::printf(
        "\nSHA-3: engine time / OpenSSL EVP time (thread CPU time), median of %d interleaved rounds; lower is "
        "faster.\nThroughput from the median times, in GB/s (10^9 bytes).\n\n",
        kRounds);
    std::printf("%-18s %-10s %7s %8s %11s %11s %9s %9s\n", "Work", "Path", "Ratio", "Goal", "Engine", "OpenSSL",
                "Engine", "OpenSSL");
    bool agreed = true;
    for (const Sha3Row& row : rows) {
        if (row.chosen)
            UseChosenPaths();
        else
            ForcePath(row.path);
        const unsigned char* data = Buffer();
        if (row.engine(data, kMiB) != row.openssl(data, kMiB)) {
            std::printf("%-18s %-10s results differ: not timed\n", row.work, PathName(row.path));
            agreed = false;
            UseChosenPaths();
            continue;
        }
        const std::int64_t engineCalls = CallsFor(row.engine, kMiB);
        const std::int64_t opensslCalls = CallsFor(row.openssl, kMiB);
        std::vector<double> ratios, engineTimes, opensslTimes;
        for (int round = 0; round < kRounds; ++round) {
            double engineNs, opensslNs;
            if (round % 2 == 0) {
                engineNs = NanosecondsPerCall(row.engine, kMiB, engineCalls);
                opensslNs = NanosecondsPerCall(row.openssl, kMiB, opensslCalls);
            } else {
                opensslNs = NanosecondsPerCall(row.openssl, kMiB, opensslCalls);
                engineNs = NanosecondsPerCall(row.engine, kMiB, engineCalls);
            }
            ratios.push_back(engineNs / opensslNs);
            engineTimes.push_back(engineNs);
            opensslTimes.push_back(opensslNs);
        }
        const double ratio = Median(ratios);
        const double engineNs = Median(engineTimes), opensslNs = Median(opensslTimes);
        char goal[16] = "";
        const char* verdict = "";
        if (row.goal > 0) {
            std::snprintf(goal, sizeof goal, "<= %.2f", row.goal);
            verdict = ratio <= row.goal ? "  met" : "  NOT MET";
        }
        std::printf("%-18s %-10s %7.2f %8s %11s %11s %9.3f %9.3f%s\n", row.work, PathName(row.path), ratio, goal,
                    Time(engineNs).c_str(), Time(opensslNs).c_str(), double(kMiB) / engineNs, double(kMiB) / opensslNs,
                    verdict);
        UseChosenPaths();
    }
    return agreed;
}

// `count` messages of `n` bytes, one after another through the one-message
// sponge on its chosen path, or OpenSSL's.
template <std::size_t kDigestBytes, bool kOpenSsl>
std::string Sha3Each(std::size_t count, const unsigned char* p, std::size_t n)
{
    std::string digests;
    for (std::size_t i = 0; i < count; ++i)
        digests += kOpenSsl ? OpenSslSha3<kDigestBytes>(p + i * n, n) : EngineSha3<kDigestBytes>(p + i * n, n);
    return digests;
}

// SHA-3's lanes against the same messages one after another, as
// PrintLaneSummary times the others: of 1 MiB each, and of 4 KiB, the size
// of many small files. Lanes are worth their code at 1.5 times the
// one-message rate. Returns false when the two sides disagree.
bool PrintSha3LaneSummary()
{
    using Messages = std::string (*)(std::size_t, const unsigned char*, std::size_t);
    struct LaneRow {
        const char* digest;
        std::size_t size;
        Messages lanes, each, openssl;
    };
    const LaneRow rows[] = {
        {"SHA3-256", kMiB, EngineLanes<Sha3_256Lanes, Sha3_256Lanes::Digest>, Sha3Each<32, false>, Sha3Each<32, true>},
        {"SHA3-512", kMiB, EngineLanes<Sha3_512Lanes, Sha3_512Lanes::Digest>, Sha3Each<64, false>, Sha3Each<64, true>},
        {"SHA3-256", 4096, EngineLanes<Sha3_256Lanes, Sha3_256Lanes::Digest>, Sha3Each<32, false>, Sha3Each<32, true>},
    };
    const std::size_t count = LaneWidth(ChosenPath<Sha3LanePath>());
    const double goal = ChosenPath<Sha3LanePath>() == Sha3LanePath::Avx512 ? 1.5 : 0;
    constexpr int kRounds = 21;
    std::printf(
        "\nSHA-3 in lanes: one message per lane against the same messages one after another; speedup =\n"
        "one-message time / lanes time, median of %d interleaved rounds of thread CPU time; higher is faster.\n"
        "Lane path %s, one-message path %s.\n\n",
        kRounds, PathName(ChosenPath<Sha3LanePath>()), PathName(ChosenPath<Sha3Path>()));
    std::printf("%-26s %-24s %8s %8s %11s %11s\n", "Work", "Against", "Speedup", "Goal", "Lanes", "Against");
    bool agreed = true;
    for (const LaneRow& row : rows) {
        for (const bool openssl : {false, true}) {
            const Messages other = openssl ? row.openssl : row.each;
            const Operation lanes = [&row, count](const unsigned char* p, std::size_t n) {
                return row.lanes(count, p, n);
            };
            const Operation each = [other, count](const unsigned char* p, std::size_t n) { return other(count, p, n); };
            char work[40], against[40];
            std::snprintf(work, sizeof work, "%s x%zu, %s each", row.digest, count,
                          row.size == kMiB ? "1 MiB" : "4 KiB");
            std::snprintf(against, sizeof against, "%s %s each", openssl ? "OpenSSL" : "one-message", row.digest);
            if (lanes(Buffer(), row.size) != each(Buffer(), row.size)) {
                std::printf("%-26s %-24s results differ: not timed\n", work, against);
                agreed = false;
                continue;
            }
            const std::int64_t laneCalls = CallsFor(lanes, row.size), eachCalls = CallsFor(each, row.size);
            std::vector<double> speedups, laneTimes, eachTimes;
            for (int round = 0; round < kRounds; ++round) {
                double laneNs, eachNs;
                if (round % 2 == 0) {
                    laneNs = NanosecondsPerCall(lanes, row.size, laneCalls);
                    eachNs = NanosecondsPerCall(each, row.size, eachCalls);
                } else {
                    eachNs = NanosecondsPerCall(each, row.size, eachCalls);
                    laneNs = NanosecondsPerCall(lanes, row.size, laneCalls);
                }
                speedups.push_back(eachNs / laneNs);
                laneTimes.push_back(laneNs);
                eachTimes.push_back(eachNs);
            }
            const double speedup = Median(speedups);
            char goalText[16] = "";
            const char* verdict = "";
            if (goal > 0 && !openssl) {
                std::snprintf(goalText, sizeof goalText, ">= %.2f", goal);
                verdict = speedup >= goal ? "  met" : "  NOT MET";
            }
            std::printf("%-26s %-24s %8.2f %8s %11s %11s%s\n", work, against, speedup, goalText,
                        Time(Median(laneTimes)).c_str(), Time(Median(eachTimes)).c_str(), verdict);
        }
    }
    return agreed;
}

// ---------------------------------------------------------------- BLAKE3

// One message through the BLAKE3 state, its update shared by `threads`.
std::string EngineBlake3(const unsigned char* p, std::size_t n, unsigned threads)
{
    Blake3State state;
    Blake3Init(state);
    Blake3Update(state, p, n, threads);
    std::uint8_t digest[kBlake3DigestSize];
    Blake3Final(state, digest);
    return AsBytes(digest, sizeof digest);
}

// `count` messages of `n` bytes, one after another from `p`, each through
// its own state: what a caller with one file at a time does.
std::string Blake3Each(std::size_t count, const unsigned char* p, std::size_t n)
{
    std::string digests;
    for (std::size_t i = 0; i < count; ++i)
        digests += EngineBlake3(p + i * n, n, 1);
    return digests;
}

void RegisterBlake3Rows()
{
    for (Blake3Path path : kBlake3Paths) {
        if (!CpuRuns(path))
            continue;
        for (unsigned threads : {1u, 2u}) {
            const std::string name =
                std::string("Engine_Blake3/") + PathName(path) + "/threads:" + std::to_string(threads);
            benchmark::RegisterBenchmark(name.c_str(),
                                         [path, threads](benchmark::State& state) {
                                             ForcePath(path);
                                             const auto size = static_cast<std::size_t>(state.range(0));
                                             for (auto _ : state)
                                                 benchmark::DoNotOptimize(EngineBlake3(Buffer(), size, threads));
                                             state.SetBytesProcessed(state.iterations() * state.range(0));
                                             UseChosenPaths();
                                         })
                ->Apply(Sizes)
                ->Arg(std::int64_t{256} << 10)
                ->Arg(std::int64_t{512} << 10)
                ->UseRealTime();
        }
        // As many messages as the lanes take, of 4 KiB and 1 MiB each.
        const std::size_t count = PathFunction(path).width;
        const std::string name = std::string("Engine_Blake3Lanes/") + PathName(path) + "/x" + std::to_string(count);
        benchmark::RegisterBenchmark(
            name.c_str(),
            [path, count](benchmark::State& state) {
                ForcePath(path);
                const auto size = static_cast<std::size_t>(state.range(0));
                for (auto _ : state)
                    benchmark::DoNotOptimize(EngineLanes<Blake3Lanes, Blake3Digest>(count, Buffer(), size));
                state.SetBytesProcessed(state.iterations() * state.range(0) * static_cast<std::int64_t>(count));
                UseChosenPaths();
            })
            ->Arg(4 << 10)
            ->Arg(1 << 20);
    }
}

double WallNanoseconds()
{
    return std::chrono::duration<double, std::nano>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

// Wall-clock time per call: the threaded rows' work is not all on this
// thread.
double WallNanosecondsPerCall(const Operation& operation, std::size_t size, std::int64_t calls)
{
    const unsigned char* data = Buffer();
    const double start = WallNanoseconds();
    for (std::int64_t i = 0; i < calls; ++i)
        benchmark::DoNotOptimize(operation(data, size));
    return (WallNanoseconds() - start) / static_cast<double>(calls);
}

// BLAKE3's speed on each path beside the engine's MD5 and SHA-256 on the
// same bytes: on one thread in thread CPU time, which the machine's other
// load leaves alone, and what a second thread gains in wall-clock time, one
// and two threads in alternate rounds. Then 16 small messages one at a time
// against the lanes, and MD5's lanes on the same messages. Medians of
// interleaved rounds. Returns false when results disagree.
bool PrintBlake3Summary()
{
    constexpr int kRounds = 11;
    const std::size_t sizes[] = {kMiB, static_cast<std::size_t>(kLargest)};
    std::printf(
        "\nBLAKE3: GB/s (10^9 bytes a second) on one thread (thread CPU time), and two threads' speedup\n"
        "over one (wall clock, alternate rounds); median of %d rounds; higher is faster. CPU: %s\n\n",
        kRounds, CpuModel().c_str());
    std::printf("%-16s %10s %10s %14s %14s\n", "Path", "1 MiB", "64 MiB", "x2 thr 1 MiB", "x2 thr 64 MiB");
    bool agreed = true;
    const std::string want[2] = {EngineBlake3(Buffer(), sizes[0], 1), EngineBlake3(Buffer(), sizes[1], 1)};
    const auto rate = [&](const Operation& operation, std::size_t size) {
        const std::int64_t calls = CallsFor(operation, size);
        std::vector<double> times;
        for (int round = 0; round < kRounds; ++round)
            times.push_back(NanosecondsPerCall(operation, size, calls));
        return static_cast<double>(size) / Median(times);
    };
    const auto speedup = [&](std::size_t size) {
        const Operation one = [](const unsigned char* p, std::size_t n) { return EngineBlake3(p, n, 1); };
        const Operation two = [](const unsigned char* p, std::size_t n) { return EngineBlake3(p, n, 2); };
        const std::int64_t calls = std::max<std::int64_t>(
            2, static_cast<std::int64_t>(20e6 / std::max(WallNanosecondsPerCall(one, size, 1), 1.0)));
        std::vector<double> ratios;
        for (int round = 0; round < kRounds; ++round) {
            const double a = WallNanosecondsPerCall(one, size, calls);
            const double b = WallNanosecondsPerCall(two, size, calls);
            ratios.push_back(a / b);
        }
        return Median(ratios);
    };
    for (Blake3Path path : kBlake3Paths) {
        if (!CpuRuns(path))
            continue;
        ForcePath(path);
        bool same = true;
        for (int i = 0; i < 2; ++i)
            same = same && EngineBlake3(Buffer(), sizes[i], 1) == want[i] &&
                   EngineBlake3(Buffer(), sizes[i], 2) == want[i];
        if (!same) {
            std::printf("%-16s results differ: not timed\n", PathName(path));
            agreed = false;
            UseChosenPaths();
            continue;
        }
        const Operation one = [](const unsigned char* p, std::size_t n) { return EngineBlake3(p, n, 1); };
        std::printf("%-16s %10.2f %10.2f %14.2f %14.2f\n", PathName(path), rate(one, sizes[0]), rate(one, sizes[1]),
                    speedup(sizes[0]), speedup(sizes[1]));
        UseChosenPaths();
    }
    std::printf("%-16s %10.2f %10.2f\n", "MD5", rate(EngineMd5, sizes[0]), rate(EngineMd5, sizes[1]));
    const std::string sha256 = std::string("SHA-256 ") + PathName(ChosenPath<Sha256Path>());
    std::printf("%-16s %10.2f %10.2f\n", sha256.c_str(), rate(EngineSha256, sizes[0]), rate(EngineSha256, sizes[1]));

    // Sixteen messages of 4 KiB: through one state each, through the lanes.
    constexpr std::size_t kCount = 16, kSize = 4 << 10;
    const Operation each = [](const unsigned char* p, std::size_t n) { return Blake3Each(kCount, p, n); };
    const Operation lanes = [](const unsigned char* p, std::size_t n) {
        return EngineLanes<Blake3Lanes, Blake3Digest>(kCount, p, n);
    };
    const Operation md5Lanes = [](const unsigned char* p, std::size_t n) {
        return EngineLanes<Md5Lanes, Md5Digest>(kCount, p, n);
    };
    if (each(Buffer(), kSize) != lanes(Buffer(), kSize)) {
        std::printf("16 x 4 KiB: one at a time and the lanes differ: not timed\n");
        return false;
    }
    const std::int64_t calls = CallsFor(each, kSize);
    std::vector<double> eachTimes, laneTimes, md5Times, ratios, md5Ratios;
    for (int round = 0; round < 21; ++round) {
        const double e = NanosecondsPerCall(each, kSize, calls);
        const double l = NanosecondsPerCall(lanes, kSize, calls);
        const double m = NanosecondsPerCall(md5Lanes, kSize, calls);
        eachTimes.push_back(e);
        laneTimes.push_back(l);
        md5Times.push_back(m);
        ratios.push_back(e / l);
        md5Ratios.push_back(l / m);
    }
    std::printf(
        "\n16 messages of 4 KiB, thread CPU time, median of 21 rounds (BLAKE3 path %s, x%zu lanes):\n"
        "  BLAKE3, one state each   %11s\n"
        "  BLAKE3 lanes             %11s   one at a time / lanes: %.2f\n"
        "  MD5 lanes (%s)      %11s   BLAKE3 lanes / MD5 lanes: %.2f\n",
        PathName(PathInUse<Blake3Path>()), Blake3Lanes().Width(), Time(Median(eachTimes)).c_str(),
        Time(Median(laneTimes)).c_str(), Median(ratios), PathName(PathInUse<Md5LanePath>()),
        Time(Median(md5Times)).c_str(), Median(md5Ratios));
    return agreed;
}

}  // namespace

int main(int argc, char** argv)
{
    const bool summaryOnly = TakeSummaryOnly(argc, argv);
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    if (!summaryOnly) {
        RegisterRows();
        RegisterBlake2Rows();
        RegisterBlake2LaneRows();
        RegisterSha3Rows();
        RegisterBlake3Rows();
        benchmark::RunSpecifiedBenchmarks();
    }
    const bool agreed = PrintSummary();
    const bool lanesAgreed = PrintLaneSummary();
    const bool blake2Agreed = PrintBlake2Summary();
    const bool blake2LanesAgreed = PrintBlake2LaneSummary();
    const bool sha3Agreed = PrintSha3Summary();
    const bool sha3LanesAgreed = PrintSha3LaneSummary();
    const bool blake3Agreed = PrintBlake3Summary();
    benchmark::Shutdown();
    return agreed && lanesAgreed && blake2Agreed && blake2LanesAgreed && sha3Agreed && sha3LanesAgreed && blake3Agreed
               ? 0
               : 1;
}
