// Throughput of the engine and of the reference libraries over the same
// buffers: 64 B, 4 KiB, 1 MiB and 64 MiB.
#include <benchmark/benchmark.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <zlib.h>

#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "engine/digest.h"

namespace {

constexpr std::int64_t kLargest = std::int64_t{64} << 20;

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

void Sizes(benchmark::internal::Benchmark* b)
{
    for (std::int64_t size : {std::int64_t{64}, std::int64_t{4} << 10, std::int64_t{1} << 20, kLargest})
        b->Arg(size);
}

template <class Body>
void Run(benchmark::State& state, Body body)
{
    const unsigned char* data = Buffer();
    const auto size = static_cast<std::int32_t>(state.range(0));
    for (auto _ : state)
        body(data, size);
    state.SetBytesProcessed(state.iterations() * state.range(0));
}

void Engine_Md5(benchmark::State& state)
{
    Run(state, [](const unsigned char* p, std::int32_t n) {
        Md5Digest d;
        Md5OfBytes(p, n, d);
        benchmark::DoNotOptimize(d);
    });
}

void OpenSsl_Md5(benchmark::State& state)
{
    Run(state, [](const unsigned char* p, std::int32_t n) {
        unsigned char out[EVP_MAX_MD_SIZE];
        unsigned int length;
        EVP_Digest(p, static_cast<std::size_t>(n), out, &length, EVP_md5(), nullptr);
        benchmark::DoNotOptimize(out);
    });
}

void Engine_Sha1(benchmark::State& state)
{
    Run(state, [](const unsigned char* p, std::int32_t n) {
        Sha1Digest d;
        Sha1OfBytes(p, n, d);
        benchmark::DoNotOptimize(d);
    });
}

void OpenSsl_Sha1(benchmark::State& state)
{
    Run(state, [](const unsigned char* p, std::int32_t n) {
        unsigned char out[EVP_MAX_MD_SIZE];
        unsigned int length;
        EVP_Digest(p, static_cast<std::size_t>(n), out, &length, EVP_sha1(), nullptr);
        benchmark::DoNotOptimize(out);
    });
}

void Engine_HmacMd5(benchmark::State& state)
{
    Run(state, [](const unsigned char* p, std::int32_t n) {
        Md5Digest d;
        HmacMd5OfBytes(kKey, p, n, d);
        benchmark::DoNotOptimize(d);
    });
}

void OpenSsl_HmacMd5(benchmark::State& state)
{
    Run(state, [](const unsigned char* p, std::int32_t n) {
        unsigned char out[EVP_MAX_MD_SIZE];
        unsigned int length;
        HMAC(EVP_md5(), kKey.data(), static_cast<int>(kKey.size()), p, static_cast<std::size_t>(n), out, &length);
        benchmark::DoNotOptimize(out);
    });
}

void Engine_HmacSha1(benchmark::State& state)
{
    Run(state, [](const unsigned char* p, std::int32_t n) {
        Sha1Digest d;
        HmacSha1OfBytes(kKey, p, n, d);
        benchmark::DoNotOptimize(d);
    });
}

void OpenSsl_HmacSha1(benchmark::State& state)
{
    Run(state, [](const unsigned char* p, std::int32_t n) {
        unsigned char out[EVP_MAX_MD_SIZE];
        unsigned int length;
        HMAC(EVP_sha1(), kKey.data(), static_cast<int>(kKey.size()), p, static_cast<std::size_t>(n), out, &length);
        benchmark::DoNotOptimize(out);
    });
}

void Engine_Crc32(benchmark::State& state)
{
    Run(state, [](const unsigned char* p, std::int32_t n) { benchmark::DoNotOptimize(Crc32OfBytes(p, n)); });
}

void Zlib_Crc32(benchmark::State& state)
{
    Run(state,
        [](const unsigned char* p, std::int32_t n) { benchmark::DoNotOptimize(crc32(0, p, static_cast<uInt>(n))); });
}

BENCHMARK(Engine_Md5)->Apply(Sizes);
BENCHMARK(OpenSsl_Md5)->Apply(Sizes);
BENCHMARK(Engine_Sha1)->Apply(Sizes);
BENCHMARK(OpenSsl_Sha1)->Apply(Sizes);
BENCHMARK(Engine_HmacMd5)->Apply(Sizes);
BENCHMARK(OpenSsl_HmacMd5)->Apply(Sizes);
BENCHMARK(Engine_HmacSha1)->Apply(Sizes);
BENCHMARK(OpenSsl_HmacSha1)->Apply(Sizes);
BENCHMARK(Engine_Crc32)->Apply(Sizes);
BENCHMARK(Zlib_Crc32)->Apply(Sizes);

}  // namespace

BENCHMARK_MAIN();
