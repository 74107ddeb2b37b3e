#include "engine/digest.h"

#include <algorithm>
#include <atomic>
#include <bit>
#include <cstddef>
#include <cstring>
#include <memory>
#include <mutex>
#include <type_traits>

#include "engine/digest_paths.h"
#include "engine/entries.h"
#include "engine/path_choice.h"
#include "platform/base/ascii.h"
#include "platform/base/sanitizers.h"

// The block functions are written as many small steps; they only pay off
// when every step is inlined into one straight run of code.
#if defined(__GNUC__) || defined(__clang__)
#define ENGINE_STEP [[gnu::always_inline]] inline
#else
#define ENGINE_STEP inline
#endif

namespace engine {
namespace {

// Word access through memcpy: callers' buffers carry no alignment promise,
// and the compiler turns these into single loads on hosts that allow it.
template <class Word>
ENGINE_STEP Word ByteSwap(Word v)
{
    static_assert(sizeof(Word) == 4 || sizeof(Word) == 8);
    if constexpr (sizeof(Word) == 4)
        return (v >> 24) | ((v >> 8) & 0x0000FF00u) | ((v << 8) & 0x00FF0000u) | (v << 24);
    else
        return Word{ByteSwap(static_cast<std::uint32_t>(v))} << 32 | ByteSwap(static_cast<std::uint32_t>(v >> 32));
}

// A word stored in the byte order kOrder.
template <class Word, std::endian kOrder>
ENGINE_STEP Word LoadWord(const std::uint8_t* p)
{
    Word v;
    std::memcpy(&v, p, sizeof v);
    if constexpr (std::endian::native != kOrder)
        v = ByteSwap(v);
    return v;
}

template <class Word, std::endian kOrder>
ENGINE_STEP void StoreWord(std::uint8_t* p, Word v)
{
    if constexpr (std::endian::native != kOrder)
        v = ByteSwap(v);
    std::memcpy(p, &v, sizeof v);
}

ENGINE_STEP std::uint32_t LoadLe32(const std::uint8_t* p)
{
    return LoadWord<std::uint32_t, std::endian::little>(p);
}

ENGINE_STEP std::uint32_t LoadBe32(const std::uint8_t* p)
{
    return LoadWord<std::uint32_t, std::endian::big>(p);
}

ENGINE_STEP void StoreLe32(std::uint8_t* p, std::uint32_t v)
{
    StoreWord<std::uint32_t, std::endian::little>(p, v);
}

ENGINE_STEP void StoreLe64(std::uint8_t* p, std::uint64_t v)
{
    StoreWord<std::uint64_t, std::endian::little>(p, v);
}

// ---------------------------------------------------------------- wiping

// Key material must really leave memory: every byte 0xAA, then 0x55, then
// 0x00. Each pass is followed by a compiler barrier that claims to read the
// area, so no pass counts as a dead store; elsewhere volatile stores do the
// same job byte by byte. Always inlined, so that the fixed sizes of the HMAC
// buffers become a few vector stores rather than calls.
ENGINE_STEP void WipeBytes(void* area, std::size_t count)
{
    for (const int pattern : {0xAA, 0x55, 0x00}) {
#if defined(__GNUC__) || defined(__clang__)
        std::memset(area, pattern, count);
        __asm__ __volatile__("" : : "r"(area) : "memory");
#else
        volatile auto* p = static_cast<volatile unsigned char*>(area);
        for (std::size_t i = 0; i < count; ++i)
            p[i] = static_cast<unsigned char>(pattern);
#endif
    }
}

// Key material that is wiped however its scope is left.
template <class T>
struct Secret {
    T value;

    Secret() = default;
    Secret(const Secret&) = delete;
    Secret& operator=(const Secret&) = delete;
    ~Secret() { WipeBytes(&value, sizeof value); }
};

}  // namespace

void WipeKeyMaterial(void* area, std::size_t count)
{
    WipeBytes(area, count);
}

// The block functions keep message words and working values of the key
// blocks in their stack frames, which lie below the HMAC's own frame once
// they return. The scrub reaches over them, with room to spare: in an
// optimised build they reach some 250 bytes down, SHA-256's nearly 300 (the
// HMAC wipe tests fail with a scrub of 192, and of 256 for SHA-256),
// unoptimised and sanitised builds far more. SHA-512's wider paths hold the
// schedules of four blocks with their constants, 2560 bytes, in frames of
// some 3.5 KiB (its wipe tests fail with a scrub of 3072), so its HMAC takes
// a deeper scrub of its own rather than making every other HMAC pay for one.
// MD5's block function, at the other end, reaches 176 bytes down (its wipe
// tests fail with a scrub of 128), so its HMAC, where the scrub weighs on
// five cheap blocks, takes a shallower one: a scrub of 512 bytes made
// HMAC-MD5 of 64 bytes 1.3% slower than one of 256 (an AMD EPYC).
// Sanitised, SHA-3's AVX-512 rounds alone take a frame of 23 KiB, so the
// deep scrub, the keyed SHA-3's, reaches 64 KiB there.
#if defined(__OPTIMIZE__) && !defined(VELLUMARK_ASAN)
constexpr std::size_t kShallowScrubBytes = 256;
constexpr std::size_t kScrubBytes = 512;
constexpr std::size_t kDeepScrubBytes = 8192;
#else
constexpr std::size_t kShallowScrubBytes = 16384;
constexpr std::size_t kScrubBytes = 16384;
constexpr std::size_t kDeepScrubBytes = 65536;
#endif
// The lane routines keep sixteen blocks' words, transposed, and their
// working registers in frames of over 3 KiB (AVX-512 in an optimised build;
// AVX2 about half that). Unoptimised, every intrinsic's result has a slot of
// its own: SHA-1's sixteen lanes take 198 KiB (SHA-2's lanes are compiled
// optimised in every build).
#if defined(__OPTIMIZE__) && !defined(VELLUMARK_ASAN)
constexpr std::size_t kLaneScrubBytes = 8192;
#else
constexpr std::size_t kLaneScrubBytes = 393216;
#endif

namespace {

// The sanitizer is kept out of this frame, or it would put its guard zones,
// which no one writes, around the area. Called last by its caller, so it
// takes the caller's place on the stack and the area starts right below.
template <std::size_t kBytes>
#if defined(__GNUC__) || defined(__clang__)
[[gnu::noinline, gnu::no_sanitize_address]]
#endif
void FillStackBelow()
{
    // The C library's fill, through a pointer the compiler cannot see
    // through: it would expand a fixed-size fill of this length into a
    // string instruction several times slower.
    static void* (*volatile fill)(void*, int, std::size_t) = [](void* area, int pattern, std::size_t count) {
        return std::memset(area, pattern, count);
    };
    unsigned char area[kBytes];
    for (const int pattern : {0xAA, 0x55, 0x00})
        fill(area, pattern, sizeof area);
}

}  // namespace

void ScrubStack()
{
    FillStackBelow<kScrubBytes>();
}

void ScrubStackShallow()
{
    FillStackBelow<kShallowScrubBytes>();
}

void ScrubStackDeep()
{
    FillStackBelow<kDeepScrubBytes>();
}

void ScrubLaneStack()
{
    FillStackBelow<kLaneScrubBytes>();
}

namespace {

// ---------------------------------------------------------------- MD5

// The round functions in forms that agree bit for bit with RFC 1321's but
// take fewer operations.
ENGINE_STEP std::uint32_t Md5F(std::uint32_t x, std::uint32_t y, std::uint32_t z)
{
    return z ^ (x & (y ^ z));
}
ENGINE_STEP std::uint32_t Md5G(std::uint32_t x, std::uint32_t y, std::uint32_t z)
{
    return (x & z) | (y & ~z);
}
ENGINE_STEP std::uint32_t Md5H(std::uint32_t x, std::uint32_t y, std::uint32_t z)
{
    return x ^ y ^ z;
}
ENGINE_STEP std::uint32_t Md5I(std::uint32_t x, std::uint32_t y, std::uint32_t z)
{
    return y ^ (x | ~z);
}

// Message word and constant are added first: they do not wait for b.
template <std::uint32_t (*F)(std::uint32_t, std::uint32_t, std::uint32_t)>
ENGINE_STEP void Md5Step(std::uint32_t& a, std::uint32_t b, std::uint32_t c, std::uint32_t d, std::uint32_t x,
                         std::uint32_t t, int s)
{
    a = std::rotl(a + x + t + F(b, c, d), s) + b;
}

// F's two halves, (b & c) and (~b & d), share no bits, and ~b & d is
// d - (b & d): the d goes in with the word and constant, and what waits for b
// is two ANDs side by side, an add and a subtract. Same chain length as
// d ^ (b & (c ^ d)), but about 1.5% faster here (a 3.3 GHz Xeon), where
// that form ran at 0.96 of OpenSSL's MD5() and this at 0.95.
template <>
ENGINE_STEP void Md5Step<Md5F>(std::uint32_t& a, std::uint32_t b, std::uint32_t c, std::uint32_t d, std::uint32_t x,
                               std::uint32_t t, int s)
{
    a = std::rotl(a + x + t + d + (b & c) - (b & d), s) + b;
}

// G's two halves share no bits, so they can be added separately, and the
// half without b is ready before b is.
template <>
ENGINE_STEP void Md5Step<Md5G>(std::uint32_t& a, std::uint32_t b, std::uint32_t c, std::uint32_t d, std::uint32_t x,
                               std::uint32_t t, int s)
{
    a = std::rotl(a + x + t + (c & ~d) + (b & d), s) + b;
}

}  // namespace

// The digest record is the chaining state: A, B, C, D little-endian. It is
// read once and written once however many blocks come.
void Md5Compress(Md5Digest& state, const std::uint8_t* blocks, std::size_t count)
{
    std::uint32_t h0 = LoadLe32(state.bytes), h1 = LoadLe32(state.bytes + 4);
    std::uint32_t h2 = LoadLe32(state.bytes + 8), h3 = LoadLe32(state.bytes + 12);
    for (; count > 0; --count, blocks += kBlockSize) {
        std::uint32_t x[16];
        for (int i = 0; i < 16; ++i)
            x[i] = LoadLe32(blocks + 4 * i);
        std::uint32_t a = h0, b = h1, c = h2, d = h3;

        Md5Step<Md5F>(a, b, c, d, x[0], kMd5Sines[0], 7);
        Md5Step<Md5F>(d, a, b, c, x[1], kMd5Sines[1], 12);
        Md5Step<Md5F>(c, d, a, b, x[2], kMd5Sines[2], 17);
        Md5Step<Md5F>(b, c, d, a, x[3], kMd5Sines[3], 22);
        Md5Step<Md5F>(a, b, c, d, x[4], kMd5Sines[4], 7);
        Md5Step<Md5F>(d, a, b, c, x[5], kMd5Sines[5], 12);
        Md5Step<Md5F>(c, d, a, b, x[6], kMd5Sines[6], 17);
        Md5Step<Md5F>(b, c, d, a, x[7], kMd5Sines[7], 22);
        Md5Step<Md5F>(a, b, c, d, x[8], kMd5Sines[8], 7);
        Md5Step<Md5F>(d, a, b, c, x[9], kMd5Sines[9], 12);
        Md5Step<Md5F>(c, d, a, b, x[10], kMd5Sines[10], 17);
        Md5Step<Md5F>(b, c, d, a, x[11], kMd5Sines[11], 22);
        Md5Step<Md5F>(a, b, c, d, x[12], kMd5Sines[12], 7);
        Md5Step<Md5F>(d, a, b, c, x[13], kMd5Sines[13], 12);
        Md5Step<Md5F>(c, d, a, b, x[14], kMd5Sines[14], 17);
        Md5Step<Md5F>(b, c, d, a, x[15], kMd5Sines[15], 22);

        Md5Step<Md5G>(a, b, c, d, x[1], kMd5Sines[16], 5);
        Md5Step<Md5G>(d, a, b, c, x[6], kMd5Sines[17], 9);
        Md5Step<Md5G>(c, d, a, b, x[11], kMd5Sines[18], 14);
        Md5Step<Md5G>(b, c, d, a, x[0], kMd5Sines[19], 20);
        Md5Step<Md5G>(a, b, c, d, x[5], kMd5Sines[20], 5);
        Md5Step<Md5G>(d, a, b, c, x[10], kMd5Sines[21], 9);
        Md5Step<Md5G>(c, d, a, b, x[15], kMd5Sines[22], 14);
        Md5Step<Md5G>(b, c, d, a, x[4], kMd5Sines[23], 20);
        Md5Step<Md5G>(a, b, c, d, x[9], kMd5Sines[24], 5);
        Md5Step<Md5G>(d, a, b, c, x[14], kMd5Sines[25], 9);
        Md5Step<Md5G>(c, d, a, b, x[3], kMd5Sines[26], 14);
        Md5Step<Md5G>(b, c, d, a, x[8], kMd5Sines[27], 20);
        Md5Step<Md5G>(a, b, c, d, x[13], kMd5Sines[28], 5);
        Md5Step<Md5G>(d, a, b, c, x[2], kMd5Sines[29], 9);
        Md5Step<Md5G>(c, d, a, b, x[7], kMd5Sines[30], 14);
        Md5Step<Md5G>(b, c, d, a, x[12], kMd5Sines[31], 20);

        Md5Step<Md5H>(a, b, c, d, x[5], kMd5Sines[32], 4);
        Md5Step<Md5H>(d, a, b, c, x[8], kMd5Sines[33], 11);
        Md5Step<Md5H>(c, d, a, b, x[11], kMd5Sines[34], 16);
        Md5Step<Md5H>(b, c, d, a, x[14], kMd5Sines[35], 23);
        Md5Step<Md5H>(a, b, c, d, x[1], kMd5Sines[36], 4);
        Md5Step<Md5H>(d, a, b, c, x[4], kMd5Sines[37], 11);
        Md5Step<Md5H>(c, d, a, b, x[7], kMd5Sines[38], 16);
        Md5Step<Md5H>(b, c, d, a, x[10], kMd5Sines[39], 23);
        Md5Step<Md5H>(a, b, c, d, x[13], kMd5Sines[40], 4);
        Md5Step<Md5H>(d, a, b, c, x[0], kMd5Sines[41], 11);
        Md5Step<Md5H>(c, d, a, b, x[3], kMd5Sines[42], 16);
        Md5Step<Md5H>(b, c, d, a, x[6], kMd5Sines[43], 23);
        Md5Step<Md5H>(a, b, c, d, x[9], kMd5Sines[44], 4);
        Md5Step<Md5H>(d, a, b, c, x[12], kMd5Sines[45], 11);
        Md5Step<Md5H>(c, d, a, b, x[15], kMd5Sines[46], 16);
        Md5Step<Md5H>(b, c, d, a, x[2], kMd5Sines[47], 23);

        Md5Step<Md5I>(a, b, c, d, x[0], kMd5Sines[48], 6);
        Md5Step<Md5I>(d, a, b, c, x[7], kMd5Sines[49], 10);
        Md5Step<Md5I>(c, d, a, b, x[14], kMd5Sines[50], 15);
        Md5Step<Md5I>(b, c, d, a, x[5], kMd5Sines[51], 21);
        Md5Step<Md5I>(a, b, c, d, x[12], kMd5Sines[52], 6);
        Md5Step<Md5I>(d, a, b, c, x[3], kMd5Sines[53], 10);
        Md5Step<Md5I>(c, d, a, b, x[10], kMd5Sines[54], 15);
        Md5Step<Md5I>(b, c, d, a, x[1], kMd5Sines[55], 21);
        Md5Step<Md5I>(a, b, c, d, x[8], kMd5Sines[56], 6);
        Md5Step<Md5I>(d, a, b, c, x[15], kMd5Sines[57], 10);
        Md5Step<Md5I>(c, d, a, b, x[6], kMd5Sines[58], 15);
        Md5Step<Md5I>(b, c, d, a, x[13], kMd5Sines[59], 21);
        Md5Step<Md5I>(a, b, c, d, x[4], kMd5Sines[60], 6);
        Md5Step<Md5I>(d, a, b, c, x[11], kMd5Sines[61], 10);
        Md5Step<Md5I>(c, d, a, b, x[2], kMd5Sines[62], 15);
        Md5Step<Md5I>(b, c, d, a, x[9], kMd5Sines[63], 21);

        h0 += a;
        h1 += b;
        h2 += c;
        h3 += d;
    }
    StoreLe32(state.bytes, h0);
    StoreLe32(state.bytes + 4, h1);
    StoreLe32(state.bytes + 8, h2);
    StoreLe32(state.bytes + 12, h3);
}

namespace {

// One message per lane through a one-message block function, whose record
// holds the chaining words least significant byte first.
template <std::size_t kWords, class Word, class Digest>
void LanesOneAtATime(LaneStates<kWords, Word>& states, const std::uint8_t* const* blocks, LaneMask active,
                     std::size_t count, void (*compress)(Digest&, const std::uint8_t*, std::size_t))
{
    static_assert(sizeof(Digest) == sizeof(Word) * kWords);
    for (std::size_t lane = 0; lane < kMaxLanes; ++lane) {
        if (((active >> lane) & 1) == 0)
            continue;
        Digest state;
        for (std::size_t w = 0; w < kWords; ++w)
            StoreWord<Word, std::endian::little>(state.bytes + sizeof(Word) * w, states.words[w][lane]);
        compress(state, blocks[lane], count);
        for (std::size_t w = 0; w < kWords; ++w)
            states.words[w][lane] = LoadWord<Word, std::endian::little>(state.bytes + sizeof(Word) * w);
    }
}

}  // namespace

void Md5LanesPortable(Md5LaneStates& states, const std::uint8_t* const* blocks, LaneMask active, std::size_t count)
{
    LanesOneAtATime(states, blocks, active, count, Md5Compress);
}

void Sha1LanesOneAtATime(Sha1LaneStates& states, const std::uint8_t* const* blocks, LaneMask active, std::size_t count)
{
    LanesOneAtATime(states, blocks, active, count, RoutineInUse<Sha1Path>());
}

void Sha256LanesOneAtATime(Sha256LaneStates& states, const std::uint8_t* const* blocks, LaneMask active,
                           std::size_t count)
{
    LanesOneAtATime(states, blocks, active, count, RoutineInUse<Sha256Path>());
}

void Sha512LanesOneAtATime(Sha512LaneStates& states, const std::uint8_t* const* blocks, LaneMask active,
                           std::size_t count)
{
    LanesOneAtATime(states, blocks, active, count, RoutineInUse<Sha512Path>());
}

// ---------------------------------------------------------------- SHA-1

namespace {

ENGINE_STEP std::uint32_t Sha1Ch(std::uint32_t x, std::uint32_t y, std::uint32_t z)
{
    return z ^ (x & (y ^ z));
}
ENGINE_STEP std::uint32_t Sha1Parity(std::uint32_t x, std::uint32_t y, std::uint32_t z)
{
    return x ^ y ^ z;
}
ENGINE_STEP std::uint32_t Sha1Maj(std::uint32_t x, std::uint32_t y, std::uint32_t z)
{
    return (x & y) | (z & (x | y));
}

// W is kept as a 16-word ring: W[t] overwrites W[t-16], the only word it
// replaces that is still needed, so 80 words never have to exist at once.
ENGINE_STEP std::uint32_t Sha1Expand(std::uint32_t* w, int t)
{
    const std::uint32_t v = std::rotl(w[(t - 3) & 15] ^ w[(t - 8) & 15] ^ w[(t - 14) & 15] ^ w[t & 15], 1);
    w[t & 15] = v;
    return v;
}

template <std::uint32_t (*F)(std::uint32_t, std::uint32_t, std::uint32_t), std::uint32_t K>
ENGINE_STEP void Sha1Step(std::uint32_t a, std::uint32_t& b, std::uint32_t c, std::uint32_t d, std::uint32_t& e,
                          std::uint32_t w)
{
    e += w + K + std::rotl(a, 5) + F(b, c, d);
    b = std::rotl(b, 30);
}

// Five steps with the working words renamed instead of shifted.
template <std::uint32_t (*F)(std::uint32_t, std::uint32_t, std::uint32_t), std::uint32_t K, bool Expand>
ENGINE_STEP void Sha1FiveSteps(std::uint32_t& a, std::uint32_t& b, std::uint32_t& c, std::uint32_t& d, std::uint32_t& e,
                               std::uint32_t* w, int t)
{
    if constexpr (Expand) {
        Sha1Step<F, K>(a, b, c, d, e, Sha1Expand(w, t));
        Sha1Step<F, K>(e, a, b, c, d, Sha1Expand(w, t + 1));
        Sha1Step<F, K>(d, e, a, b, c, Sha1Expand(w, t + 2));
        Sha1Step<F, K>(c, d, e, a, b, Sha1Expand(w, t + 3));
        Sha1Step<F, K>(b, c, d, e, a, Sha1Expand(w, t + 4));
    } else {
        Sha1Step<F, K>(a, b, c, d, e, w[t]);
        Sha1Step<F, K>(e, a, b, c, d, w[t + 1]);
        Sha1Step<F, K>(d, e, a, b, c, w[t + 2]);
        Sha1Step<F, K>(c, d, e, a, b, w[t + 3]);
        Sha1Step<F, K>(b, c, d, e, a, w[t + 4]);
    }
}

}  // namespace

// The digest record holds H0..H4 little-endian while the computation runs;
// the caller turns each word around once at the end.
void Sha1CompressPortable(Sha1Digest& state, const std::uint8_t* blocks, std::size_t count)
{
    std::uint32_t h0 = LoadLe32(state.bytes), h1 = LoadLe32(state.bytes + 4), h2 = LoadLe32(state.bytes + 8);
    std::uint32_t h3 = LoadLe32(state.bytes + 12), h4 = LoadLe32(state.bytes + 16);
    for (; count > 0; --count, blocks += kBlockSize) {
        std::uint32_t w[16];
        for (int i = 0; i < 16; ++i)
            w[i] = LoadBe32(blocks + 4 * i);
        std::uint32_t a = h0, b = h1, c = h2, d = h3, e = h4;

        constexpr std::uint32_t k1 = 0x5A827999, k2 = 0x6ED9EBA1, k3 = 0x8F1BBCDC, k4 = 0xCA62C1D6;
        Sha1FiveSteps<Sha1Ch, k1, false>(a, b, c, d, e, w, 0);
        Sha1FiveSteps<Sha1Ch, k1, false>(a, b, c, d, e, w, 5);
        Sha1FiveSteps<Sha1Ch, k1, false>(a, b, c, d, e, w, 10);
        // Step 15 is the last with a message word as read; 16..19 expand.
        Sha1Step<Sha1Ch, k1>(a, b, c, d, e, w[15]);
        Sha1Step<Sha1Ch, k1>(e, a, b, c, d, Sha1Expand(w, 16));
        Sha1Step<Sha1Ch, k1>(d, e, a, b, c, Sha1Expand(w, 17));
        Sha1Step<Sha1Ch, k1>(c, d, e, a, b, Sha1Expand(w, 18));
        Sha1Step<Sha1Ch, k1>(b, c, d, e, a, Sha1Expand(w, 19));
        Sha1FiveSteps<Sha1Parity, k2, true>(a, b, c, d, e, w, 20);
        Sha1FiveSteps<Sha1Parity, k2, true>(a, b, c, d, e, w, 25);
        Sha1FiveSteps<Sha1Parity, k2, true>(a, b, c, d, e, w, 30);
        Sha1FiveSteps<Sha1Parity, k2, true>(a, b, c, d, e, w, 35);
        Sha1FiveSteps<Sha1Maj, k3, true>(a, b, c, d, e, w, 40);
        Sha1FiveSteps<Sha1Maj, k3, true>(a, b, c, d, e, w, 45);
        Sha1FiveSteps<Sha1Maj, k3, true>(a, b, c, d, e, w, 50);
        Sha1FiveSteps<Sha1Maj, k3, true>(a, b, c, d, e, w, 55);
        Sha1FiveSteps<Sha1Parity, k4, true>(a, b, c, d, e, w, 60);
        Sha1FiveSteps<Sha1Parity, k4, true>(a, b, c, d, e, w, 65);
        Sha1FiveSteps<Sha1Parity, k4, true>(a, b, c, d, e, w, 70);
        Sha1FiveSteps<Sha1Parity, k4, true>(a, b, c, d, e, w, 75);

        h0 += a;
        h1 += b;
        h2 += c;
        h3 += d;
        h4 += e;
    }
    StoreLe32(state.bytes, h0);
    StoreLe32(state.bytes + 4, h1);
    StoreLe32(state.bytes + 8, h2);
    StoreLe32(state.bytes + 12, h3);
    StoreLe32(state.bytes + 16, h4);
}

// ---------------------------------------------------------------- SHA-256 and SHA-512

namespace {

// SHA-256 and SHA-512 are one algorithm on 32- and 64-bit words
// (Sha256Words and Sha512Words in digest_paths.h).

// Ch and Maj in forms with fewer operations, bit for bit the same.
template <class Word>
ENGINE_STEP Word Sha2Ch(Word x, Word y, Word z)
{
    return z ^ (x & (y ^ z));
}
template <class Word>
ENGINE_STEP Word Sha2Maj(Word x, Word y, Word z)
{
    return (x & y) | (z & (x | y));
}

// ROTR r[0] ^ ROTR r[1] ^ ROTR r[2]: Sigma0 and Sigma1 of the rounds.
template <class Word>
ENGINE_STEP Word Sha2BigSigma(Word x, const int (&r)[3])
{
    return std::rotr(x, r[0]) ^ std::rotr(x, r[1]) ^ std::rotr(x, r[2]);
}
// ROTR r[0] ^ ROTR r[1] ^ SHR r[2]: sigma0 and sigma1 of the schedule.
template <class Word>
ENGINE_STEP Word Sha2SmallSigma(Word x, const int (&r)[3])
{
    return std::rotr(x, r[0]) ^ std::rotr(x, r[1]) ^ (x >> r[2]);
}

// W as a 16-word ring, as for SHA-1: W[t] overwrites W[t-16].
template <class S, class Word = typename S::Word>
ENGINE_STEP Word Sha2Expand(Word* w, int t)
{
    const Word w2 = w[(t - 2) & 15], w15 = w[(t - 15) & 15];
    const Word v =
        Sha2SmallSigma(w2, S::kSmallSigma1) + w[(t - 7) & 15] + Sha2SmallSigma(w15, S::kSmallSigma0) + w[t & 15];
    w[t & 15] = v;
    return v;
}

// One round. The word that leaves (h) becomes the new a and d takes the new
// e, so the callers rename the eight words instead of shifting them.
template <class S, class Word = typename S::Word>
ENGINE_STEP void Sha2Step(Word a, Word b, Word c, Word& d, Word e, Word f, Word g, Word& h, Word wk)
{
    const Word t1 = h + wk + Sha2BigSigma(e, S::kBigSigma1) + Sha2Ch(e, f, g);
    d += t1;
    h = t1 + Sha2BigSigma(a, S::kBigSigma0) + Sha2Maj(a, b, c);
}

// W[t] + K[t]: the first sixteen words as read, the others expanded.
template <class S, bool Expand, class Word = typename S::Word>
ENGINE_STEP Word Sha2Word(Word* w, int t)
{
    if constexpr (Expand)
        return Sha2Expand<S>(w, t) + S::kConstants[t];
    else
        return w[t] + S::kConstants[t];
}

// Eight rounds, after which every word is back under its own name.
template <class S, bool Expand, class Word = typename S::Word>
ENGINE_STEP void Sha2EightSteps(Word& a, Word& b, Word& c, Word& d, Word& e, Word& f, Word& g, Word& h, Word* w, int t)
{
    Sha2Step<S>(a, b, c, d, e, f, g, h, Sha2Word<S, Expand>(w, t));
    Sha2Step<S>(h, a, b, c, d, e, f, g, Sha2Word<S, Expand>(w, t + 1));
    Sha2Step<S>(g, h, a, b, c, d, e, f, Sha2Word<S, Expand>(w, t + 2));
    Sha2Step<S>(f, g, h, a, b, c, d, e, Sha2Word<S, Expand>(w, t + 3));
    Sha2Step<S>(e, f, g, h, a, b, c, d, Sha2Word<S, Expand>(w, t + 4));
    Sha2Step<S>(d, e, f, g, h, a, b, c, Sha2Word<S, Expand>(w, t + 5));
    Sha2Step<S>(c, d, e, f, g, h, a, b, Sha2Word<S, Expand>(w, t + 6));
    Sha2Step<S>(b, c, d, e, f, g, h, a, Sha2Word<S, Expand>(w, t + 7));
}

// The digest record holds H0..H7 little-endian while the computation runs;
// the caller turns each word around once at the end.
template <class S, class Word = typename S::Word>
ENGINE_STEP void Sha2Compress(std::uint8_t* state, const std::uint8_t* blocks, std::size_t count)
{
    Word h[8];
    for (int i = 0; i < 8; ++i)
        h[i] = LoadWord<Word, std::endian::little>(state + sizeof(Word) * i);
    for (; count > 0; --count, blocks += 16 * sizeof(Word)) {
        Word w[16];
        for (int i = 0; i < 16; ++i)
            w[i] = LoadWord<Word, std::endian::big>(blocks + sizeof(Word) * i);
        Word a = h[0], b = h[1], c = h[2], d = h[3], e = h[4], f = h[5], g = h[6], hh = h[7];

        Sha2EightSteps<S, false>(a, b, c, d, e, f, g, hh, w, 0);
        Sha2EightSteps<S, false>(a, b, c, d, e, f, g, hh, w, 8);
        // Unrolled, each round's constant is known where it is added: a loop
        // here cost SHA-256 a sixth of its speed.
#pragma GCC unroll 8
        for (int t = 16; t < S::kRounds; t += 8)
            Sha2EightSteps<S, true>(a, b, c, d, e, f, g, hh, w, t);

        h[0] += a;
        h[1] += b;
        h[2] += c;
        h[3] += d;
        h[4] += e;
        h[5] += f;
        h[6] += g;
        h[7] += hh;
    }
    for (int i = 0; i < 8; ++i)
        StoreWord<Word, std::endian::little>(state + sizeof(Word) * i, h[i]);
}

}  // namespace

void Sha256CompressPortable(Sha256Digest& state, const std::uint8_t* blocks, std::size_t count)
{
    Sha2Compress<Sha256Words>(state.bytes, blocks, count);
}

void Sha512CompressPortable(Sha512Digest& state, const std::uint8_t* blocks, std::size_t count)
{
    Sha2Compress<Sha512Words>(state.bytes, blocks, count);
}

// ---------------------------------------------------------------- CRC-32

namespace {

// Row 0 is the classic bytewise table of the reflected polynomial
// 0xEDB88320 (x^32 implied); row k advances the register over a byte that
// has k more bytes behind it, which lets the loop take sixteen bytes per
// step, still one lookup per byte. Built at the first CRC of the process.
constexpr int kCrcSlices = 16;
std::uint32_t Crc32Table[kCrcSlices][256];
std::atomic<bool> crc32TableBuilt{false};
std::once_flag crc32TableOnce;

void BuildCrc32Table()
{
    for (std::uint32_t i = 0; i < 256; ++i) {
        std::uint32_t v = i;
        for (int bit = 0; bit < 8; ++bit)
            v = (v & 1) ? (v >> 1) ^ 0xEDB88320u : v >> 1;
        Crc32Table[0][i] = v;
    }
    for (int slice = 1; slice < kCrcSlices; ++slice)
        for (int i = 0; i < 256; ++i) {
            const std::uint32_t prev = Crc32Table[slice - 1][i];
            Crc32Table[slice][i] = Crc32Table[0][prev & 0xFF] ^ (prev >> 8);
        }
    // Readers that see the flag see every entry written above.
    crc32TableBuilt.store(true, std::memory_order_release);
}

}  // namespace

std::uint32_t Crc32UpdatePortable(std::uint32_t crc, const std::uint8_t* p, std::size_t length)
{
    // The once-flag makes a racing first caller wait for the builder rather
    // than write the table a second time.
    if (!crc32TableBuilt.load(std::memory_order_acquire))
        std::call_once(crc32TableOnce, BuildCrc32Table);

    const auto& t = Crc32Table;
    for (; length >= 16; length -= 16, p += 16) {
        const std::uint32_t w0 = LoadLe32(p) ^ crc, w1 = LoadLe32(p + 4);
        const std::uint32_t w2 = LoadLe32(p + 8), w3 = LoadLe32(p + 12);
        // Only the first word depends on the register; its lookups are
        // combined last so the other twelve can be fetched ahead of it.
        const std::uint32_t rest =
            (t[11][w1 & 0xFF] ^ t[10][(w1 >> 8) & 0xFF] ^ t[9][(w1 >> 16) & 0xFF] ^ t[8][w1 >> 24]) ^
            (t[7][w2 & 0xFF] ^ t[6][(w2 >> 8) & 0xFF] ^ t[5][(w2 >> 16) & 0xFF] ^ t[4][w2 >> 24]) ^
            (t[3][w3 & 0xFF] ^ t[2][(w3 >> 8) & 0xFF] ^ t[1][(w3 >> 16) & 0xFF] ^ t[0][w3 >> 24]);
        crc = rest ^ ((t[15][w0 & 0xFF] ^ t[14][(w0 >> 8) & 0xFF]) ^ (t[13][(w0 >> 16) & 0xFF] ^ t[12][w0 >> 24]));
    }
    for (; length > 0; --length, ++p)
        crc = t[0][(crc ^ *p) & 0xFF] ^ (crc >> 8);
    return crc;
}

// ---------------------------------------------------------------- hashing

namespace {

// The bit count of `totalBytes` in the last bytes before `end`, the end of
// the final block. The count takes 64 bits, SHA-512's 128: a byte count of
// 64 bits gives its bit count exactly, the three bits shifted out going to
// the upper half.
template <class H>
ENGINE_STEP void PutBitCount(std::uint8_t* end, std::uint64_t totalBytes)
{
    static_assert(H::kLengthBytes == 8 || (H::kLengthBytes == 16 && H::kBigEndianLength));
    if constexpr (H::kLengthBytes == 16)
        StoreWord<std::uint64_t, std::endian::big>(end - 16, totalBytes >> 61);
    constexpr std::endian kOrder = H::kBigEndianLength ? std::endian::big : std::endian::little;
    StoreWord<std::uint64_t, kOrder>(end - 8, totalBytes << 3);
}

// The tail (less than a block), 0x80, zeros and the bit count, in one final
// block, or two when the count no longer fits behind the tail. `blocks` has
// room for two; returns the number of final blocks written.
template <class H>
ENGINE_STEP int BuildFinalBlocks(const std::uint8_t* tail, std::size_t tailLength, std::uint64_t totalBytes,
                                 std::uint8_t* blocks)
{
    constexpr std::size_t kBlock = H::kBlockSize;
    const int count = tailLength < kBlock - H::kLengthBytes ? 1 : 2;
    // Zeros first, in whole blocks: sizes the compiler fills inline.
    if (count == 1)
        std::memset(blocks, 0, kBlock);
    else
        std::memset(blocks, 0, 2 * kBlock);
    if (tailLength > 0)
        std::memcpy(blocks, tail, tailLength);
    blocks[tailLength] = 0x80;
    PutBitCount<H>(blocks + count * kBlock, totalBytes);
    return count;
}

// The outer hash's final block, a block after the outer pad block: the
// `digestSize` bytes of the inner digest, 0x80, zeros and the bit count,
// which the callers make sure fit in one.
template <class H>
ENGINE_STEP void BuildOuterFinalBlock(const std::uint8_t* innerDigest, std::size_t digestSize, std::uint8_t* block)
{
    constexpr std::size_t kBlock = H::kBlockSize;
    std::memset(block, 0, kBlock);
    std::memcpy(block, innerDigest, digestSize);
    block[digestSize] = 0x80;
    PutBitCount<H>(block + kBlock, kBlock + digestSize);
}

ENGINE_STEP void Md5Init(Md5Digest& state)
{
    StoreLe32(state.bytes, 0x67452301);
    StoreLe32(state.bytes + 4, 0xEFCDAB89);
    StoreLe32(state.bytes + 8, 0x98BADCFE);
    StoreLe32(state.bytes + 12, 0x10325476);
}

ENGINE_STEP void Sha1Init(Sha1Digest& state)
{
    StoreLe32(state.bytes, 0x67452301);
    StoreLe32(state.bytes + 4, 0xEFCDAB89);
    StoreLe32(state.bytes + 8, 0x98BADCFE);
    StoreLe32(state.bytes + 12, 0x10325476);
    StoreLe32(state.bytes + 16, 0xC3D2E1F0);
}

// Turns the little-endian working words into the digest's byte order.
ENGINE_STEP void Sha1Finish(Sha1Digest& state)
{
    for (int i = 0; i < 5; ++i)
        std::reverse(state.bytes + 4 * i, state.bytes + 4 * i + 4);
}

ENGINE_STEP void Sha256Init(Sha256Digest& state)
{
    // The first 32 bits of the fractional parts of the square roots of the
    // first eight primes.
    static constexpr std::uint32_t kStart[8] = {0x6A09E667, 0xBB67AE85, 0x3C6EF372, 0xA54FF53A,
                                                0x510E527F, 0x9B05688C, 0x1F83D9AB, 0x5BE0CD19};
    for (int i = 0; i < 8; ++i)
        StoreLe32(state.bytes + 4 * i, kStart[i]);
}

ENGINE_STEP void Sha256Finish(Sha256Digest& state)
{
    for (int i = 0; i < 8; ++i)
        std::reverse(state.bytes + 4 * i, state.bytes + 4 * i + 4);
}

ENGINE_STEP void Sha512Init(Sha512Digest& state)
{
    // The first 64 bits of the fractional parts of the square roots of the
    // first eight primes.
    static constexpr std::uint64_t kStart[8] = {0x6A09E667F3BCC908, 0xBB67AE8584CAA73B, 0x3C6EF372FE94F82B,
                                                0xA54FF53A5F1D36F1, 0x510E527FADE682D1, 0x9B05688C2B3E6C1F,
                                                0x1F83D9ABFB41BD6B, 0x5BE0CD19137E2179};
    for (int i = 0; i < 8; ++i)
        StoreLe64(state.bytes + 8 * i, kStart[i]);
}

ENGINE_STEP void Sha512Finish(Sha512Digest& state)
{
    for (int i = 0; i < 8; ++i)
        std::reverse(state.bytes + 8 * i, state.bytes + 8 * i + 8);
}

// What the hashing and the HMAC need to know of each hash: its block and
// length field, its routines, and how far below its caller the stack is
// scrubbed after a keyed computation.
template <class D, class Fn, std::size_t kBlock, std::size_t kLength, bool kBigEndian>
struct MdTraits {
    using Digest = D;
    using CompressFn = Fn;
    static constexpr std::size_t kOutputBytes = sizeof(Digest);
    static constexpr std::size_t kBlockSize = kBlock;
    static constexpr std::size_t kLengthBytes = kLength;
    static constexpr bool kBigEndianLength = kBigEndian;
};

struct Md5Traits : MdTraits<Md5Digest, Md5CompressFn, engine::kBlockSize, 8, false> {
    static CompressFn CompressInUse() { return Md5Compress; }
    static void Init(Digest& d) { Md5Init(d); }
    static void Finish(Digest&) {}
    static void Scrub() { ScrubStackShallow(); }
};

struct Sha1Traits : MdTraits<Sha1Digest, Sha1CompressFn, engine::kBlockSize, 8, true> {
    static CompressFn CompressInUse() { return RoutineInUse<Sha1Path>(); }
    static void Init(Digest& d) { Sha1Init(d); }
    static void Finish(Digest& d) { Sha1Finish(d); }
    static void Scrub() { ScrubStack(); }
};

struct Sha256Traits : MdTraits<Sha256Digest, Sha256CompressFn, engine::kBlockSize, 8, true> {
    static CompressFn CompressInUse() { return RoutineInUse<Sha256Path>(); }
    static void Init(Digest& d) { Sha256Init(d); }
    static void Finish(Digest& d) { Sha256Finish(d); }
    static void Scrub() { ScrubStack(); }
};

struct Sha512Traits : MdTraits<Sha512Digest, Sha512CompressFn, kSha512BlockSize, 16, true> {
    static CompressFn CompressInUse() { return RoutineInUse<Sha512Path>(); }
    static void Init(Digest& d) { Sha512Init(d); }
    static void Finish(Digest& d) { Sha512Finish(d); }
    static void Scrub() { ScrubStackDeep(); }
};

// SHA-224 and SHA-384: SHA-256's and SHA-512's machinery from their own
// start values, the digest cut to its first 28 and 48 bytes. The record
// holds the whole state while the computation runs.
void Sha224Init(Sha256Digest& state)
{
    // The second 32 bits of the fractional parts of the square roots of the
    // ninth to sixteenth primes.
    static constexpr std::uint32_t kStart[8] = {0xC1059ED8, 0x367CD507, 0x3070DD17, 0xF70E5939,
                                                0xFFC00B31, 0x68581511, 0x64F98FA7, 0xBEFA4FA4};
    for (int i = 0; i < 8; ++i)
        StoreLe32(state.bytes + 4 * i, kStart[i]);
}

void Sha384Init(Sha512Digest& state)
{
    // The first 64 bits of the fractional parts of the square roots of the
    // ninth to sixteenth primes.
    static constexpr std::uint64_t kStart[8] = {0xCBBB9D5DC1059ED8, 0x629A292A367CD507, 0x9159015A3070DD17,
                                                0x152FECD8F70E5939, 0x67332667FFC00B31, 0x8EB44A8768581511,
                                                0xDB0C2E0D64F98FA7, 0x47B5481DBEFA4FA4};
    for (int i = 0; i < 8; ++i)
        StoreLe64(state.bytes + 8 * i, kStart[i]);
}

struct Sha224Traits : Sha256Traits {
    static constexpr std::size_t kOutputBytes = 28;
    static void Init(Digest& d) { Sha224Init(d); }
};

struct Sha384Traits : Sha512Traits {
    static constexpr std::size_t kOutputBytes = 48;
    static void Init(Digest& d) { Sha384Init(d); }
};

// Hashes the message into a state that is already set up. `prefixBytes`
// counts what went into the state before (the HMAC key block), since the
// padding carries the length of everything hashed. The tail is copied into
// `final`, room for two blocks, which the caller owns and wipes if need be.
template <class H>
void HashMessage(typename H::CompressFn compress, typename H::Digest& state, const std::uint8_t* message,
                 std::size_t length, std::uint64_t prefixBytes, std::uint8_t* final)
{
    const std::size_t whole = length / H::kBlockSize;
    if (whole > 0)
        compress(state, message, whole);

    const std::size_t tail = whole * H::kBlockSize;
    const int count = BuildFinalBlocks<H>(message + tail, length - tail, prefixBytes + length, final);
    compress(state, final, static_cast<std::size_t>(count));
    H::Finish(state);
}

template <class H>
void Hash(const std::uint8_t* message, std::size_t length, typename H::Digest& digest)
{
    std::uint8_t final[2 * H::kBlockSize];
    H::Init(digest);
    HashMessage<H>(H::CompressInUse(), digest, message, length, 0, final);
}

const std::uint8_t* Bytes(const void* buffer)
{
    return static_cast<const std::uint8_t*>(buffer);
}
const std::uint8_t* Bytes(const std::string& text)
{
    return reinterpret_cast<const std::uint8_t*>(text.data());
}

// XorBytes in place: makes the pad blocks, and turns the inner one into the
// outer one.
ENGINE_STEP void XorBytes(std::uint8_t* area, std::size_t count, std::uint8_t constant)
{
    for (std::size_t i = 0; i < count; ++i)
        area[i] = static_cast<std::uint8_t>(area[i] ^ constant);
}

// PadKeyBlock: up to a block of key bytes, zero-filled to a whole block, and
// XORed with the pad byte on the way, since the plain block is never needed:
// the pad byte in the whole block, then each key byte XORed as it is copied.
// (Copied first and XORed in place, the block was read back while the
// copy's stores were still in flight, and the HMAC waited on them.)
template <std::size_t kBlock>
ENGINE_STEP void PadKeyBlock(const std::uint8_t* key, std::size_t length, std::uint8_t pad, std::uint8_t* block)
{
    std::memset(block, pad, kBlock);
    for (std::size_t i = 0; i < length; ++i)
        block[i] = static_cast<std::uint8_t>(key[i] ^ pad);
}

// A key longer than a block: its hash, and the final blocks its tail went
// through. It lives as long as the whole HMAC: were its storage reused for
// the message's final blocks, a missed wipe would go unseen.
template <class H>
struct LongKey {
    typename H::Digest hash;
    std::uint8_t final[2 * H::kBlockSize];
    bool used = false;

    LongKey() = default;
    LongKey(const LongKey&) = delete;
    LongKey& operator=(const LongKey&) = delete;
    ~LongKey()
    {
        if (used) {
            WipeBytes(&hash, sizeof hash);
            WipeBytes(final, sizeof final);
        }
    }
};

// HMAC per RFC 2104 with the hash's own block, 64 bytes or SHA-512's 128:
// five compressions for a message of one block, the fewest the construction
// allows. The key goes into one
// block, XORed with 0x36 for the inner hash and then with 0x36 ^ 0x5C for
// the outer, so there is one copy of it to wipe. Every copy of key material
// is wiped on every way out; the vector registers and the block functions'
// stack frames are cleared before the caller sees the result.
template <class H>
#if defined(__GNUC__) || defined(__clang__)
[[gnu::noinline]]  // a frame of its own, below which the scrub reaches
#endif
void Hmac(const std::string& key, const std::uint8_t* message, std::size_t length, typename H::Digest& digest)
{
    constexpr std::size_t kBlock = H::kBlockSize;
    constexpr std::size_t kDigestSize = H::kOutputBytes;
    static_assert(kDigestSize + 1 + H::kLengthBytes <= kBlock, "the inner digest and its padding make one final block");
    const auto compress = H::CompressInUse();

    // The pad block, then the outer hash's final block: one call for both.
    Secret<std::uint8_t[2 * kBlock]> blocks;
    LongKey<H> longKey;
    if (key.size() > kBlock) {
        longKey.used = true;
        H::Init(longKey.hash);
        HashMessage<H>(compress, longKey.hash, Bytes(key), key.size(), 0, longKey.final);
        PadKeyBlock<kBlock>(longKey.hash.bytes, kDigestSize, 0x36, blocks.value);
    } else {
        PadKeyBlock<kBlock>(Bytes(key), key.size(), 0x36, blocks.value);
    }

    H::Init(digest);
    compress(digest, blocks.value, 1);
    std::uint8_t final[2 * kBlock];  // the message's tail: no secret
    HashMessage<H>(compress, digest, message, length, kBlock, final);

    BuildOuterFinalBlock<H>(digest.bytes, kDigestSize, blocks.value + kBlock);
    XorBytes(blocks.value, kBlock, 0x36 ^ 0x5C);
    H::Init(digest);
    compress(digest, blocks.value, 2);
    H::Finish(digest);
    ClearVectorRegisters();
    H::Scrub();
}

// Lengths of the buffer forms: a negative count is the empty message.
std::size_t ValidLength(std::int32_t length)
{
    return length > 0 ? static_cast<std::size_t>(length) : 0;
}

std::uint32_t Crc32(const std::uint8_t* p, std::size_t length)
{
    return ~RoutineInUse<Crc32Path>()(0xFFFFFFFFu, p, length);
}

// ---------------------------------------------------------------- text

std::string BytesToHexText(const std::uint8_t* bytes, std::size_t count)
{
    std::string text;
    text.reserve(2 * count);
    platform::AppendHexBytes(text, bytes, count, false);
    return text;
}

constexpr const char* kHashErrorMessages[] = {
    "",
    "Internal error",
    "Invalid hash type",
    "Invalid buffer",
    "Invalid buffer size",
    "Invalid digest",
    "Invalid key",
    "Invalid file name",
    "File open error",
    "File seek error",
    "File read error",
    "Not a keyed hash type",
    "Too many open handles",
    "Invalid handle",
};

std::string HashErrorMessage(std::uint32_t errorCode, const std::string& message)
{
    if (!message.empty())
        return message;
    if (errorCode < std::size(kHashErrorMessages))
        return kHashErrorMessages[errorCode];
    return {};
}

}  // namespace

// ---------------------------------------------------------------- fed in pieces

namespace {

// A hash fed in pieces of any size: whole blocks go to the block function
// straight from the piece, and the few bytes of a piece that do not fill a
// block wait here for the next one. `prefixBytes` counts what went into the
// state before the message (the HMAC's key block), as HashMessage does.
template <class H>
class BlockFeeder {
public:
    explicit BlockFeeder(std::uint64_t prefixBytes = 0) : total_(prefixBytes) { H::Init(state_); }

    // For the HMAC: the key block goes in before the message.
    void FeedKeyBlock(const std::uint8_t* block) { compress_(state_, block, 1); }

    void Feed(const std::uint8_t* bytes, std::size_t size)
    {
        total_ += size;
        if (pending_ > 0) {
            const std::size_t take = std::min(kBlock - pending_, size);
            std::memcpy(buffer_ + pending_, bytes, take);
            pending_ += take;
            bytes += take;
            size -= take;
            if (pending_ < kBlock)
                return;
            compress_(state_, buffer_, 1);
            pending_ = 0;
        }
        const std::size_t whole = size / kBlock;
        if (whole > 0)
            compress_(state_, bytes, whole);
        pending_ = size - whole * kBlock;
        if (pending_ > 0)
            std::memcpy(buffer_, bytes + whole * kBlock, pending_);
    }

    // The padding carries the whole count, the prefix included.
    typename H::Digest& Finish()
    {
        std::uint8_t final[2 * kBlock];
        const int count = BuildFinalBlocks<H>(buffer_, pending_, total_, final);
        compress_(state_, final, static_cast<std::size_t>(count));
        H::Finish(state_);
        return state_;
    }

private:
    static constexpr std::size_t kBlock = H::kBlockSize;

    typename H::CompressFn compress_ = H::CompressInUse();
    typename H::Digest state_;
    std::uint8_t buffer_[kBlock];
    std::size_t pending_ = 0;
    std::uint64_t total_;
};

// The digest's bytes: the state's first, as many as the hash's output has.
template <class H>
DigestBytes BytesOf(const typename H::Digest& digest)
{
    static_assert(H::kOutputBytes <= sizeof(DigestBytes::bytes));
    DigestBytes bytes;
    std::memcpy(bytes.bytes.data(), digest.bytes, H::kOutputBytes);
    bytes.size = H::kOutputBytes;
    return bytes;
}

template <class H>
class PlainDigest final : public MessageDigest {
public:
    void Feed(const std::uint8_t* bytes, std::size_t size) override { feeder_.Feed(bytes, size); }
    DigestBytes Finish() override { return BytesOf<H>(feeder_.Finish()); }

private:
    BlockFeeder<H> feeder_;
};

// The HMAC of Hmac<H> above, with the message fed in pieces. The key block
// is kept, XORed with 0x36, from the start until the outer hash, and wiped
// with every other copy of key material. Each piece's blocks leave words
// derived from the key in the block function's frame and in the vector
// registers of the thread that fed it, so each feed clears them too.
template <class H>
class KeyedDigest final : public MessageDigest {
public:
    explicit KeyedDigest(const std::string& key) : inner_(kBlock)
    {
        constexpr std::size_t kDigestSize = H::kOutputBytes;
        LongKey<H> longKey;
        if (key.size() > kBlock) {
            longKey.used = true;
            H::Init(longKey.hash);
            HashMessage<H>(H::CompressInUse(), longKey.hash, Bytes(key), key.size(), 0, longKey.final);
            PadKeyBlock<kBlock>(longKey.hash.bytes, kDigestSize, 0x36, pad_.value);
        } else {
            PadKeyBlock<kBlock>(Bytes(key), key.size(), 0x36, pad_.value);
        }
        inner_.FeedKeyBlock(pad_.value);
        Forget();
    }

    void Feed(const std::uint8_t* bytes, std::size_t size) override
    {
        inner_.Feed(bytes, size);
        Forget();
    }

    DigestBytes Finish() override
    {
        using Digest = typename H::Digest;
        constexpr std::size_t kDigestSize = H::kOutputBytes;
        Digest& innerDigest = inner_.Finish();
        Secret<std::uint8_t[2 * kBlock]> blocks;
        std::memcpy(blocks.value, pad_.value, kBlock);
        BuildOuterFinalBlock<H>(innerDigest.bytes, kDigestSize, blocks.value + kBlock);
        WipeBytes(&innerDigest, sizeof innerDigest);
        XorBytes(blocks.value, kBlock, 0x36 ^ 0x5C);
        Digest digest;
        H::Init(digest);
        H::CompressInUse()(digest, blocks.value, 2);
        H::Finish(digest);
        Forget();
        return BytesOf<H>(digest);
    }

private:
    static constexpr std::size_t kBlock = H::kBlockSize;

    static void Forget()
    {
        ClearVectorRegisters();
        H::Scrub();
    }

    Secret<std::uint8_t[kBlock]> pad_;
    BlockFeeder<H> inner_;
};

class Crc32Digest final : public MessageDigest {
public:
    void Feed(const std::uint8_t* bytes, std::size_t size) override { crc_ = update_(crc_, bytes, size); }
    DigestBytes Finish() override
    {
        const std::uint32_t crc = ~crc_;
        DigestBytes bytes;
        for (std::size_t i = 0; i < 4; ++i)
            bytes.bytes[i] = static_cast<std::uint8_t>(crc >> (24 - 8 * i));
        bytes.size = 4;
        return bytes;
    }

private:
    Crc32UpdateFn update_ = RoutineInUse<Crc32Path>();
    std::uint32_t crc_ = 0xFFFFFFFFu;
};

template <class H>
std::unique_ptr<MessageDigest> Start(const std::string* key)
{
    if (key != nullptr)
        return std::make_unique<KeyedDigest<H>>(*key);
    return std::make_unique<PlainDigest<H>>();
}

}  // namespace

std::unique_ptr<MessageDigest> StartMd5(const std::string* key, std::size_t)
{
    return Start<Md5Traits>(key);
}

std::unique_ptr<MessageDigest> StartSha1(const std::string* key, std::size_t)
{
    return Start<Sha1Traits>(key);
}

std::unique_ptr<MessageDigest> StartSha256(const std::string* key, std::size_t)
{
    return Start<Sha256Traits>(key);
}

std::unique_ptr<MessageDigest> StartSha512(const std::string* key, std::size_t)
{
    return Start<Sha512Traits>(key);
}

std::unique_ptr<MessageDigest> StartSha224(const std::string* key, std::size_t)
{
    return Start<Sha224Traits>(key);
}

std::unique_ptr<MessageDigest> StartSha384(const std::string* key, std::size_t)
{
    return Start<Sha384Traits>(key);
}

std::unique_ptr<MessageDigest> StartCrc32(const std::string*, std::size_t)
{
    return std::make_unique<Crc32Digest>();
}

}  // namespace engine

// The engine's internals, for the public operations below.
using namespace engine;

// The text forms take the string's own length, which may exceed what a
// signed 32-bit count can express; they go straight to the size_t core.

void Md5OfBytes(const void* buffer, std::int32_t length, Md5Digest& digest)
{
    Hash<Md5Traits>(Bytes(buffer), ValidLength(length), digest);
}

void Md5OfText(const std::string& text, Md5Digest& digest)
{
    Hash<Md5Traits>(Bytes(text), text.size(), digest);
}

void Sha1OfBytes(const void* buffer, std::int32_t length, Sha1Digest& digest)
{
    Hash<Sha1Traits>(Bytes(buffer), ValidLength(length), digest);
}

void Sha1OfText(const std::string& text, Sha1Digest& digest)
{
    Hash<Sha1Traits>(Bytes(text), text.size(), digest);
}

void HmacMd5OfBytes(const std::string& key, const void* buffer, std::int32_t length, Md5Digest& digest)
{
    Hmac<Md5Traits>(key, Bytes(buffer), ValidLength(length), digest);
}

void HmacMd5OfText(const std::string& key, const std::string& text, Md5Digest& digest)
{
    Hmac<Md5Traits>(key, Bytes(text), text.size(), digest);
}

void HmacSha1OfBytes(const std::string& key, const void* buffer, std::int32_t length, Sha1Digest& digest)
{
    Hmac<Sha1Traits>(key, Bytes(buffer), ValidLength(length), digest);
}

void HmacSha1OfText(const std::string& key, const std::string& text, Sha1Digest& digest)
{
    Hmac<Sha1Traits>(key, Bytes(text), text.size(), digest);
}

void Sha256OfBytes(const void* buffer, std::int32_t length, Sha256Digest& digest)
{
    Hash<Sha256Traits>(Bytes(buffer), ValidLength(length), digest);
}

void Sha256OfText(const std::string& text, Sha256Digest& digest)
{
    Hash<Sha256Traits>(Bytes(text), text.size(), digest);
}

void HmacSha256OfBytes(const std::string& key, const void* buffer, std::int32_t length, Sha256Digest& digest)
{
    Hmac<Sha256Traits>(key, Bytes(buffer), ValidLength(length), digest);
}

void HmacSha256OfText(const std::string& key, const std::string& text, Sha256Digest& digest)
{
    Hmac<Sha256Traits>(key, Bytes(text), text.size(), digest);
}

void Sha512OfBytes(const void* buffer, std::int32_t length, Sha512Digest& digest)
{
    Hash<Sha512Traits>(Bytes(buffer), ValidLength(length), digest);
}

void Sha512OfText(const std::string& text, Sha512Digest& digest)
{
    Hash<Sha512Traits>(Bytes(text), text.size(), digest);
}

void HmacSha512OfBytes(const std::string& key, const void* buffer, std::int32_t length, Sha512Digest& digest)
{
    Hmac<Sha512Traits>(key, Bytes(buffer), ValidLength(length), digest);
}

void HmacSha512OfText(const std::string& key, const std::string& text, Sha512Digest& digest)
{
    Hmac<Sha512Traits>(key, Bytes(text), text.size(), digest);
}

std::uint32_t Crc32OfBytes(const void* buffer, std::int32_t length)
{
    return Crc32(Bytes(buffer), ValidLength(length));
}

std::uint32_t Crc32OfText(const std::string& text)
{
    return Crc32(Bytes(text), text.size());
}

std::string DigestToHexText(const Md5Digest& digest)
{
    return BytesToHexText(digest.bytes, sizeof digest.bytes);
}

std::string DigestToHexText(const Sha1Digest& digest)
{
    return BytesToHexText(digest.bytes, sizeof digest.bytes);
}

std::string DigestToHexText(const Sha256Digest& digest)
{
    return BytesToHexText(digest.bytes, sizeof digest.bytes);
}

std::string DigestToHexText(const Sha512Digest& digest)
{
    return BytesToHexText(digest.bytes, sizeof digest.bytes);
}

std::string DigestToHexText(const Sha224Digest& digest)
{
    return BytesToHexText(digest.bytes, sizeof digest.bytes);
}

std::string DigestToHexText(const Sha384Digest& digest)
{
    return BytesToHexText(digest.bytes, sizeof digest.bytes);
}

EHashError::EHashError(std::uint32_t errorCode, const std::string& message)
    : Exception(HashErrorMessage(errorCode, message)), ErrorCode(errorCode)
{}
