// Which block function and CRC-32 routine the engine uses: the CPU probe,
// the known vectors every routine proves itself on, and the tables of the
// families whose routines are declared in digest_paths.h, chosen among as
// path_family.h says.
#include "engine/digest_paths.h"

#include <atomic>
#include <cstring>
#include <mutex>

#include "engine/path_family.h"

#if defined(VELLUMARK_ENGINE_X86)
#include <cpuid.h>
#endif

namespace engine {
namespace {

// ---------------------------------------------------------------- the CPU

#if defined(VELLUMARK_ENGINE_X86)
// The register state the operating system saves on a task switch: a CPU
// that has AVX is no use if the kernel does not keep the wide registers.
std::uint64_t EnabledRegisterState()
{
    std::uint32_t low = 0, high = 0;
    __asm__("xgetbv" : "=a"(low), "=d"(high) : "c"(0));
    return (std::uint64_t{high} << 32) | low;
}

CpuFeatures ProbeCpu()
{
    unsigned a = 0, b = 0, c = 0, d = 0;
    if (!__get_cpuid(1, &a, &b, &c, &d))
        return {};
    const bool ssse3 = c & (1u << 9), sse41 = c & (1u << 19), pclmul = c & (1u << 1);
    const bool osxsave = c & (1u << 27), avx = c & (1u << 28);

    unsigned b7 = 0, c7 = 0;
    if (__get_cpuid_max(0, nullptr) >= 7)
        __cpuid_count(7, 0, a, b7, c7, d);
    const bool sha = b7 & (1u << 29), avx2 = b7 & (1u << 5), avx512f = b7 & (1u << 16);
    const bool bmi1 = b7 & (1u << 3), bmi2 = b7 & (1u << 8), avx512vl = b7 & (1u << 31);
    const bool vpclmul = c7 & (1u << 10);

    const std::uint64_t state = osxsave ? EnabledRegisterState() : 0;
    const bool ymm = (state & 0x06) == 0x06;  // SSE and AVX halves
    const bool zmm = (state & 0xE6) == 0xE6;  // and the mask, upper-zmm and high-zmm registers

    CpuFeatures cpu;
    cpu.ymmRegisters = avx && ymm;
    cpu.zmmRegisters = cpu.ymmRegisters && avx512f && zmm;
    cpu.shaNi = sha && ssse3 && sse41;
    cpu.avx2Bmi2 = cpu.ymmRegisters && avx2 && bmi1 && bmi2;
    cpu.avx512Bmi2 = cpu.avx2Bmi2 && cpu.zmmRegisters && avx512vl;
    cpu.clmul = pclmul;
    cpu.vpclmulAvx2 = pclmul && vpclmul && avx && avx2 && ymm;
    cpu.vpclmulAvx512 = cpu.vpclmulAvx2 && avx512f && zmm;
    cpu.avx2 = cpu.ymmRegisters && avx2;
    cpu.avx512f = cpu.zmmRegisters;
    cpu.avx512bw = cpu.avx512f && (b7 & (1u << 30));
    return cpu;
}
#else
CpuFeatures ProbeCpu()
{
    return {};
}
#endif

}  // namespace

const CpuFeatures& Cpu()
{
    static const CpuFeatures cpu = ProbeCpu();
    return cpu;
}

namespace {

// ---------------------------------------------------------------- known vectors

// Everything below starts one byte past a 64-byte boundary, so that no
// routine gets aligned loads for free.
constexpr std::size_t kMisalign = 1;

// FIPS 180-1's (and 180-4's) two-block sample, padded by hand: the 56
// message bytes, 0x80, zeros, and the bit count 448 big-endian at the end of
// the second block. From the initial chaining value the block function must
// reach the expected one, both words given as the record holds them.
template <class Digest, std::size_t kWords>
bool TwoBlockSampleHolds(void (*compress)(Digest&, const std::uint8_t*, std::size_t),
                         const std::uint32_t (&start)[kWords], const std::uint32_t (&end)[kWords], bool blockByBlock)
{
    static_assert(sizeof(Digest) == 4 * kWords);
    alignas(64) std::uint8_t buffer[kMisalign + 2 * kBlockSize] = {};
    std::uint8_t* const message = buffer + kMisalign;
    static constexpr char kText[] = "abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq";
    std::memcpy(message, kText, 56);
    message[56] = 0x80;
    message[2 * kBlockSize - 2] = 0x01;
    message[2 * kBlockSize - 1] = 0xC0;

    Digest state, expected;
    for (std::size_t i = 0; i < kWords; ++i)
        for (std::size_t j = 0; j < 4; ++j) {
            state.bytes[4 * i + j] = static_cast<std::uint8_t>(start[i] >> (8 * j));
            expected.bytes[4 * i + j] = static_cast<std::uint8_t>(end[i] >> (8 * j));
        }

    if (blockByBlock) {
        compress(state, message, 1);
        compress(state, message + kBlockSize, 1);
    } else {
        compress(state, message, 2);
    }
    return std::memcmp(state.bytes, expected.bytes, sizeof state.bytes) == 0;
}

bool Sha1KnownVectorHolds(Sha1CompressFn compress, bool blockByBlock);
bool Sha256KnownVectorHolds(Sha256CompressFn compress, bool blockByBlock);

// SHA-512's block functions take blocks in groups, so besides FIPS 180-4's
// two-block sample (the 112-byte message, 0x80, zeros, and the bit count 896
// big-endian at the end of the second block) they run seven blocks of a
// byte counter mod 251: 879 bytes and their padding, whose digest sha512sum
// gave. The words are given as the digest has them; the record holds each
// least significant byte first.
constexpr std::uint64_t kSha512Start[8] = {0x6A09E667F3BCC908, 0xBB67AE8584CAA73B, 0x3C6EF372FE94F82B,
                                           0xA54FF53A5F1D36F1, 0x510E527FADE682D1, 0x9B05688C2B3E6C1F,
                                           0x1F83D9ABFB41BD6B, 0x5BE0CD19137E2179};
constexpr std::uint64_t kSha512SampleEnd[8] = {0x8E959B75DAE313DA, 0x8CF4F72814FC143F, 0x8F7779C6EB9F7FA1,
                                               0x7299AEADB6889018, 0x501D289E4900F7E4, 0x331B99DEC4B5433A,
                                               0xC7D329EEB6DD2654, 0x5E96E55B874BE909};

// FIPS 180-4's 112-byte sample for SHA-512, padded by hand to two blocks.
struct Sha512Sample {
    std::uint8_t bytes[2 * kSha512BlockSize] = {};
    Sha512Sample()
    {
        static constexpr char kText[] =
            "abcdefghbcdefghicdefghijdefghijkefghijklfghijklmghijklmnhijklmno"
            "ijklmnopjklmnopqklmnopqrlmnopqrsmnopqrstnopqrstu";
        std::memcpy(bytes, kText, 112);
        bytes[112] = 0x80;
        bytes[2 * kSha512BlockSize - 2] = 0x03;
        bytes[2 * kSha512BlockSize - 1] = 0x80;
    }
};

bool Sha512KnownVectorHolds(Sha512CompressFn compress, bool blockByBlock)
{
    static constexpr std::uint64_t kSevenBlocks[8] = {0x39E7FBAE033790DF, 0xC9786AA81237FD19, 0x1D882DBC6ECDED56,
                                                      0x441419ECDD33B6F9, 0x0598734A5AE71636, 0x4B531D75D9030EA8,
                                                      0x6C7DAA6C9315E80E, 0x611C3B2821BFE936};
    constexpr std::size_t kBlock = kSha512BlockSize;
    alignas(64) std::uint8_t buffer[kMisalign + 7 * kBlock] = {};
    std::uint8_t* const message = buffer + kMisalign;

    const auto holds = [&](std::size_t blocks, const std::uint64_t(&end)[8]) {
        Sha512Digest state;
        for (std::size_t i = 0; i < 8; ++i)
            for (std::size_t j = 0; j < 8; ++j)
                state.bytes[8 * i + j] = static_cast<std::uint8_t>(kSha512Start[i] >> (8 * j));
        if (blockByBlock) {
            for (std::size_t b = 0; b < blocks; ++b)
                compress(state, message + b * kBlock, 1);
        } else {
            compress(state, message, blocks);
        }
        for (std::size_t i = 0; i < 8; ++i)
            for (std::size_t j = 0; j < 8; ++j)
                if (state.bytes[8 * i + j] != static_cast<std::uint8_t>(end[i] >> (8 * j)))
                    return false;
        return true;
    };

    std::memcpy(message, Sha512Sample().bytes, 2 * kBlock);
    if (!holds(2, kSha512SampleEnd))
        return false;

    std::memset(message, 0, 7 * kBlock);
    for (std::size_t i = 0; i < 879; ++i)
        message[i] = static_cast<std::uint8_t>(i % 251);
    message[879] = 0x80;
    message[7 * kBlock - 2] = 879 * 8 >> 8;
    message[7 * kBlock - 1] = 879 * 8 & 0xFF;
    return holds(7, kSevenBlocks);
}

// A byte counter mod 251, so that blocks taken in the wrong order, or twice,
// change the result. The lengths reach every stage of the widest routine
// (alignment, whole strides, single folds, the bytes after the last fold)
// and the short route of all of them.
bool Crc32KnownVectorHolds(Crc32UpdateFn update)
{
    static constexpr struct {
        std::size_t length;
        std::uint32_t crc;  // with the usual inversions, as zlib gives it
    } kVectors[] = {{2000, 0x65330DEF}, {100, 0x58C932F5}};

    alignas(64) std::uint8_t buffer[kMisalign + 2000];
    std::uint8_t* const message = buffer + kMisalign;
    for (std::size_t i = 0; i < 2000; ++i)
        message[i] = static_cast<std::uint8_t>(i % 251);
    for (const auto& v : kVectors)
        if (~update(0xFFFFFFFFu, message, v.length) != v.crc)
            return false;
    return true;
}

// The standard's two-block sample in every lane at once, each from its own
// unaligned copy, must reach the published chaining words; then each lane a
// message and a start of its own must meet the portable one-message block
// function, with half the lanes left out at a time, which must keep their
// words. `sample` is two blocks, padded by hand. The one-message record
// holds the words least significant byte first.
template <std::size_t kBlock, std::size_t kWords, class Word, class Digest>
bool LanesKnownVectorHolds(void (*lanes)(LaneStates<kWords, Word>&, const std::uint8_t* const*, LaneMask, std::size_t),
                           std::size_t width, bool blockByBlock, const std::uint8_t* sample,
                           const Word (&start)[kWords], const Word (&end)[kWords],
                           void (*compress)(Digest&, const std::uint8_t*, std::size_t))
{
    static_assert(sizeof(Digest) == sizeof(Word) * kWords);
    constexpr std::size_t kMessage = 2 * kBlock;
    alignas(64) std::uint8_t buffer[kMisalign + kMaxLanes * kMessage + kMaxLanes];
    const std::uint8_t* blocks[kMaxLanes];
    for (std::size_t lane = 0; lane < width; ++lane) {
        std::uint8_t* const message = buffer + kMisalign + lane * kMessage;
        std::memcpy(message, sample, kMessage);
        blocks[lane] = message;
    }
    const LaneMask all = (LaneMask{1} << width) - 1;
    const auto run = [&](LaneStates<kWords, Word>& states, LaneMask active) {
        if (blockByBlock) {
            lanes(states, blocks, active, 1);
            const std::uint8_t* second[kMaxLanes];
            for (std::size_t lane = 0; lane < width; ++lane)
                second[lane] = blocks[lane] + kBlock;
            lanes(states, second, active, 1);
        } else {
            lanes(states, blocks, active, 2);
        }
    };

    LaneStates<kWords, Word> states;
    for (std::size_t w = 0; w < kWords; ++w)
        for (std::size_t lane = 0; lane < kMaxLanes; ++lane)
            states.words[w][lane] = start[w];
    run(states, all);
    for (std::size_t w = 0; w < kWords; ++w)
        for (std::size_t lane = 0; lane < width; ++lane)
            if (states.words[w][lane] != end[w])
                return false;

    // A byte counter mod 251, each lane starting elsewhere in it and from a
    // chaining value of its own.
    for (std::size_t i = 0; i < sizeof buffer; ++i)
        buffer[i] = static_cast<std::uint8_t>(i % 251);
    for (std::size_t lane = 0; lane < width; ++lane)
        blocks[lane] = buffer + kMisalign + lane * kMessage + lane;
    LaneStates<kWords, Word> first;
    for (std::size_t w = 0; w < kWords; ++w)
        for (std::size_t lane = 0; lane < kMaxLanes; ++lane)
            first.words[w][lane] = static_cast<Word>(start[w] * static_cast<Word>(2 * lane + 1) + static_cast<Word>(w));
    for (const LaneMask half : {LaneMask{0x5555}, LaneMask{0xAAAA}}) {
        states = first;
        run(states, all & half);
        for (std::size_t lane = 0; lane < width; ++lane) {
            Word want[kWords];
            for (std::size_t w = 0; w < kWords; ++w)
                want[w] = first.words[w][lane];
            if ((half >> lane) & 1) {
                Digest one;
                for (std::size_t w = 0; w < kWords; ++w)
                    for (std::size_t j = 0; j < sizeof(Word); ++j)
                        one.bytes[sizeof(Word) * w + j] = static_cast<std::uint8_t>(want[w] >> (8 * j));
                compress(one, blocks[lane], 2);
                for (std::size_t w = 0; w < kWords; ++w) {
                    want[w] = 0;
                    for (std::size_t j = 0; j < sizeof(Word); ++j)
                        want[w] |= static_cast<Word>(Word{one.bytes[sizeof(Word) * w + j]} << (8 * j));
                }
            }
            for (std::size_t w = 0; w < kWords; ++w)
                if (states.words[w][lane] != want[w])
                    return false;
        }
    }
    return true;
}

// RFC 1321's last sample, eighty digits: 0x80 after them, zeros, and the
// bit count 640 little-endian at the end of the second block.
struct Md5Sample {
    std::uint8_t bytes[2 * kBlockSize] = {};
    Md5Sample()
    {
        for (std::size_t i = 0; i < 80; ++i)
            bytes[i] = static_cast<std::uint8_t>('0' + (i + 1) % 10);
        bytes[80] = 0x80;
        bytes[2 * kBlockSize - 8] = 0x80;
        bytes[2 * kBlockSize - 7] = 0x02;
    }
};

// FIPS 180's two-block sample, as TwoBlockSampleHolds pads it.
struct ShaSample {
    std::uint8_t bytes[2 * kBlockSize] = {};
    ShaSample()
    {
        static constexpr char kText[] = "abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq";
        std::memcpy(bytes, kText, 56);
        bytes[56] = 0x80;
        bytes[2 * kBlockSize - 2] = 0x01;
        bytes[2 * kBlockSize - 1] = 0xC0;
    }
};

constexpr std::uint32_t kMd5Start[4] = {0x67452301, 0xEFCDAB89, 0x98BADCFE, 0x10325476};
constexpr std::uint32_t kMd5SampleEnd[4] = {0xA2F4ED57, 0x55C9E32B, 0x2EDA49AC, 0x7AB60721};
constexpr std::uint32_t kSha1Start[5] = {0x67452301, 0xEFCDAB89, 0x98BADCFE, 0x10325476, 0xC3D2E1F0};
constexpr std::uint32_t kSha1SampleEnd[5] = {0x84983E44, 0x1C3BD26E, 0xBAAE4AA1, 0xF95129E5, 0xE54670F1};
constexpr std::uint32_t kSha256Start[8] = {0x6A09E667, 0xBB67AE85, 0x3C6EF372, 0xA54FF53A,
                                           0x510E527F, 0x9B05688C, 0x1F83D9AB, 0x5BE0CD19};
constexpr std::uint32_t kSha256SampleEnd[8] = {0x248D6A61, 0xD20638B8, 0xE5C02693, 0x0C3E6039,
                                               0xA33CE459, 0x64FF2167, 0xF6ECEDD4, 0x19DB06C1};

bool Sha1KnownVectorHolds(Sha1CompressFn compress, bool blockByBlock)
{
    return TwoBlockSampleHolds(compress, kSha1Start, kSha1SampleEnd, blockByBlock);
}

bool Sha256KnownVectorHolds(Sha256CompressFn compress, bool blockByBlock)
{
    return TwoBlockSampleHolds(compress, kSha256Start, kSha256SampleEnd, blockByBlock);
}

}  // namespace

bool ProvesItself(Sha1CompressFn compress)
{
    return Sha1KnownVectorHolds(compress, false) && Sha1KnownVectorHolds(compress, true);
}

bool ProvesItself(Sha256CompressFn compress)
{
    return Sha256KnownVectorHolds(compress, false) && Sha256KnownVectorHolds(compress, true);
}

bool ProvesItself(Sha512CompressFn compress)
{
    return Sha512KnownVectorHolds(compress, false) && Sha512KnownVectorHolds(compress, true);
}

bool ProvesItself(Crc32UpdateFn update)
{
    return Crc32KnownVectorHolds(update);
}

bool ProvesItself(Md5LanesFn lanes, std::size_t width)
{
    if (width == 0 || width > kMaxLanes)
        return false;
    const Md5Sample sample;
    return LanesKnownVectorHolds<kBlockSize>(lanes, width, false, sample.bytes, kMd5Start, kMd5SampleEnd,
                                             Md5Compress) &&
           LanesKnownVectorHolds<kBlockSize>(lanes, width, true, sample.bytes, kMd5Start, kMd5SampleEnd, Md5Compress);
}

bool ProvesItself(Sha1LanesFn lanes, std::size_t width)
{
    if (width == 0 || width > kMaxLanes)
        return false;
    const ShaSample sample;
    return LanesKnownVectorHolds<kBlockSize>(lanes, width, false, sample.bytes, kSha1Start, kSha1SampleEnd,
                                             Sha1CompressPortable) &&
           LanesKnownVectorHolds<kBlockSize>(lanes, width, true, sample.bytes, kSha1Start, kSha1SampleEnd,
                                             Sha1CompressPortable);
}

bool ProvesItself(Sha512LanesFn lanes, std::size_t width)
{
    if (width == 0 || width > kMaxLanes)
        return false;
    const Sha512Sample sample;
    return LanesKnownVectorHolds<kSha512BlockSize>(lanes, width, false, sample.bytes, kSha512Start, kSha512SampleEnd,
                                                   Sha512CompressPortable) &&
           LanesKnownVectorHolds<kSha512BlockSize>(lanes, width, true, sample.bytes, kSha512Start, kSha512SampleEnd,
                                                   Sha512CompressPortable);
}

bool ProvesItself(Sha256LanesFn lanes, std::size_t width)
{
    if (width == 0 || width > kMaxLanes)
        return false;
    const ShaSample sample;
    return LanesKnownVectorHolds<kBlockSize>(lanes, width, false, sample.bytes, kSha256Start, kSha256SampleEnd,
                                             Sha256CompressPortable) &&
           LanesKnownVectorHolds<kBlockSize>(lanes, width, true, sample.bytes, kSha256Start, kSha256SampleEnd,
                                             Sha256CompressPortable);
}

void ClearVectorRegisters()
{
#if defined(VELLUMARK_ENGINE_X86) && (defined(__GNUC__) || defined(__clang__))
    // The assembler takes these whatever the compiler targets; what runs is
    // chosen by what the CPU has. Nothing is live in the vector registers
    // across a call, so only this function's own view needs the clobbers.
    const CpuFeatures& cpu = Cpu();
    if (cpu.ymmRegisters) {
        __asm__ __volatile__("vzeroall"
                             :
                             :
                             : "xmm0", "xmm1", "xmm2", "xmm3", "xmm4", "xmm5", "xmm6", "xmm7", "xmm8", "xmm9", "xmm10",
                               "xmm11", "xmm12", "xmm13", "xmm14", "xmm15");
    } else {
        __asm__ __volatile__(
            "pxor %%xmm0, %%xmm0\n\tpxor %%xmm1, %%xmm1\n\tpxor %%xmm2, %%xmm2\n\t"
            "pxor %%xmm3, %%xmm3\n\tpxor %%xmm4, %%xmm4\n\tpxor %%xmm5, %%xmm5\n\t"
            "pxor %%xmm6, %%xmm6\n\tpxor %%xmm7, %%xmm7\n\tpxor %%xmm8, %%xmm8\n\t"
            "pxor %%xmm9, %%xmm9\n\tpxor %%xmm10, %%xmm10\n\tpxor %%xmm11, %%xmm11\n\t"
            "pxor %%xmm12, %%xmm12\n\tpxor %%xmm13, %%xmm13\n\tpxor %%xmm14, %%xmm14\n\t"
            "pxor %%xmm15, %%xmm15"
            :
            :
            : "xmm0", "xmm1", "xmm2", "xmm3", "xmm4", "xmm5", "xmm6", "xmm7", "xmm8", "xmm9", "xmm10", "xmm11", "xmm12",
              "xmm13", "xmm14", "xmm15");
    }
    // The C library's copy and fill routines use the upper sixteen on
    // AVX-512 machines. This file is not built for AVX-512, so the compiler
    // keeps nothing of its own there.
    if (cpu.zmmRegisters)
        __asm__ __volatile__(
            "vpxord %zmm16, %zmm16, %zmm16\n\tvpxord %zmm17, %zmm17, %zmm17\n\t"
            "vpxord %zmm18, %zmm18, %zmm18\n\tvpxord %zmm19, %zmm19, %zmm19\n\t"
            "vpxord %zmm20, %zmm20, %zmm20\n\tvpxord %zmm21, %zmm21, %zmm21\n\t"
            "vpxord %zmm22, %zmm22, %zmm22\n\tvpxord %zmm23, %zmm23, %zmm23\n\t"
            "vpxord %zmm24, %zmm24, %zmm24\n\tvpxord %zmm25, %zmm25, %zmm25\n\t"
            "vpxord %zmm26, %zmm26, %zmm26\n\tvpxord %zmm27, %zmm27, %zmm27\n\t"
            "vpxord %zmm28, %zmm28, %zmm28\n\tvpxord %zmm29, %zmm29, %zmm29\n\t"
            "vpxord %zmm30, %zmm30, %zmm30\n\tvpxord %zmm31, %zmm31, %zmm31");
#endif
}

// ---------------------------------------------------------------- the families

template <>
constexpr PathEntry<Sha1Path> kPathRows<Sha1Path>[] = {
    {Sha1Path::Portable, "portable", Sha1CompressPortable, &CpuFeatures::everywhere},
    {Sha1Path::ShaNi, "SHA-NI", VELLUMARK_X86_ONLY(Sha1CompressShaNi), &CpuFeatures::shaNi},
};

template <>
constexpr PathEntry<Sha256Path> kPathRows<Sha256Path>[] = {
    {Sha256Path::Portable, "portable", Sha256CompressPortable, &CpuFeatures::everywhere},
    {Sha256Path::ShaNi, "SHA-NI", VELLUMARK_X86_ONLY(Sha256CompressShaNi), &CpuFeatures::shaNi},
};

template <>
constexpr PathEntry<Sha512Path> kPathRows<Sha512Path>[] = {
    {Sha512Path::Portable, "portable", Sha512CompressPortable, &CpuFeatures::everywhere},
    {Sha512Path::Avx2, "AVX2", VELLUMARK_X86_ONLY(Sha512CompressAvx2), &CpuFeatures::avx2Bmi2},
    {Sha512Path::Avx512, "AVX-512", VELLUMARK_X86_ONLY(Sha512CompressAvx512), &CpuFeatures::avx512Bmi2},
};

template <>
constexpr PathEntry<Crc32Path> kPathRows<Crc32Path>[] = {
    {Crc32Path::Portable, "portable", Crc32UpdatePortable, &CpuFeatures::everywhere},
    {Crc32Path::Clmul, "PCLMULQDQ", VELLUMARK_X86_ONLY(Crc32UpdateClmul), &CpuFeatures::clmul},
    {Crc32Path::VpclmulAvx2, "VPCLMULQDQ-AVX2", VELLUMARK_X86_ONLY(Crc32UpdateVpclmulAvx2), &CpuFeatures::vpclmulAvx2},
    {Crc32Path::VpclmulAvx512, "VPCLMULQDQ-AVX512", VELLUMARK_X86_ONLY(Crc32UpdateVpclmulAvx512),
     &CpuFeatures::vpclmulAvx512},
};

// Lanes: the width of each path too.
template <>
constexpr PathEntry<Md5LanePath> kPathRows<Md5LanePath>[] = {
    {Md5LanePath::Portable, "portable", Md5LanesPortable, &CpuFeatures::everywhere, 1},
    {Md5LanePath::Avx2, "AVX2", VELLUMARK_X86_ONLY(Md5LanesAvx2), &CpuFeatures::avx2, 8},
    {Md5LanePath::Avx512, "AVX-512", VELLUMARK_X86_ONLY(Md5LanesAvx512), &CpuFeatures::avx512f, 16},
};

template <>
constexpr PathEntry<Sha1LanePath> kPathRows<Sha1LanePath>[] = {
    {Sha1LanePath::OneAtATime, "one at a time", Sha1LanesOneAtATime, &CpuFeatures::everywhere, 1},
    {Sha1LanePath::Avx2, "AVX2", VELLUMARK_X86_ONLY(Sha1LanesAvx2), &CpuFeatures::avx2, 8},
    {Sha1LanePath::Avx512, "AVX-512", VELLUMARK_X86_ONLY(Sha1LanesAvx512), &CpuFeatures::avx512bw, 16},
};

template <>
constexpr PathEntry<Sha256LanePath> kPathRows<Sha256LanePath>[] = {
    {Sha256LanePath::OneAtATime, "one at a time", Sha256LanesOneAtATime, &CpuFeatures::everywhere, 1},
    {Sha256LanePath::Avx512, "AVX-512", VELLUMARK_X86_ONLY(Sha256LanesAvx512), &CpuFeatures::avx512bw, 16},
};

template <>
constexpr PathEntry<Sha512LanePath> kPathRows<Sha512LanePath>[] = {
    {Sha512LanePath::OneAtATime, "one at a time", Sha512LanesOneAtATime, &CpuFeatures::everywhere, 1},
    {Sha512LanePath::Avx512, "AVX-512", VELLUMARK_X86_ONLY(Sha512LanesAvx512), &CpuFeatures::avx512bw, 8},
};

// Each family's choice, compiled here and nowhere else.
template class PathChoice<Sha1Path>;
template class PathChoice<Sha256Path>;
template class PathChoice<Sha512Path>;
template class PathChoice<Crc32Path>;
template class PathChoice<Md5LanePath>;
template class PathChoice<Sha1LanePath>;
template class PathChoice<Sha256LanePath>;
template class PathChoice<Sha512LanePath>;

// ---------------------------------------------------------------- every family

namespace {

// The families whose choice was made, each once, newest first.
constinit std::mutex chosenFamiliesLock;
ChosenFamily* chosenFamilies = nullptr;

}  // namespace

void RegisterChosen(ChosenFamily& family)
{
    const std::lock_guard lock(chosenFamiliesLock);
    family.next = chosenFamilies;
    chosenFamilies = &family;
}

// A family not chosen yet has nothing to go back to: its first use chooses.
void UseChosenPaths()
{
    const std::lock_guard lock(chosenFamiliesLock);
    for (const ChosenFamily* family = chosenFamilies; family != nullptr; family = family->next)
        family->useChosen();
}

}  // namespace engine
