// BLAKE2b and BLAKE2s: the portable block routines, the streaming state, and
// the choice of block routine, as digest_paths.cpp makes it for the others.
#include "engine/blake2.h"

#include "engine/path_family.h"

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstring>
#include <utility>

// The rounds are written as small steps that only pay when inlined into one
// straight run of code.
#if defined(__GNUC__) || defined(__clang__)
#define BLAKE2_STEP [[gnu::always_inline]] inline
#else
#define BLAKE2_STEP inline
#endif

namespace engine {
namespace {

// What tells the two apart: the word, the rounds, the rotation counts of G.
struct Blake2b {
    using Word = std::uint64_t;
    using Chain = Blake2bChain;
    static constexpr std::size_t kBlock = kBlake2bBlockSize;
    static constexpr int kRounds = 12;
    static constexpr int kR1 = 32, kR2 = 24, kR3 = 16, kR4 = 63;
    static constexpr const Word* kIv = kBlake2bIv;
};

struct Blake2s {
    using Word = std::uint32_t;
    using Chain = Blake2sChain;
    static constexpr std::size_t kBlock = kBlake2sBlockSize;
    static constexpr int kRounds = 10;
    static constexpr int kR1 = 16, kR2 = 12, kR3 = 8, kR4 = 7;
    static constexpr const Word* kIv = kBlake2sIv;
};

// Words are little-endian; memcpy, because callers' bytes have no
// alignment. Big-endian hosts turn the bytes around.
template <class Word>
BLAKE2_STEP Word LoadLe(const std::uint8_t* p)
{
    Word v;
    std::memcpy(&v, p, sizeof v);
    if constexpr (std::endian::native == std::endian::big) {
        Word turned = 0;
        for (std::size_t i = 0; i < sizeof(Word); ++i)
            turned |= static_cast<Word>((v >> (8 * i)) & 0xFF) << (8 * (sizeof(Word) - 1 - i));
        v = turned;
    }
    return v;
}

template <class Word>
BLAKE2_STEP void StoreLe(std::uint8_t* p, Word v)
{
    for (std::size_t i = 0; i < sizeof(Word); ++i)
        p[i] = static_cast<std::uint8_t>(v >> (8 * i));
}

// ---------------------------------------------------------------- portable rounds

// a + x, kept as one value: the compiler would otherwise add b, the word
// G computes last, first and x after it, an addition more on the chain of
// dependent instructions that bounds the speed.
template <class Word>
BLAKE2_STEP Word AddFirst(Word a, Word x)
{
    Word sum = a + x;
#if defined(__GNUC__) || defined(__clang__)
    __asm__("" : "+r"(sum));
#endif
    return sum;
}

// Half of the mixing function G of RFC 7693, on four columns (or diagonals)
// of the working vector at once, step by step across them, so that the
// four independent chains sit side by side in the code: a = a + b + x,
// d = (d ^ a) >>> p, c = c + d, b = (b ^ c) >>> q.
template <int p, int q, class Word>
BLAKE2_STEP void HalfG(Word (&v)[16], const int (&i)[4][4], const Word (&x)[4])
{
#pragma GCC unroll 4
    for (int k = 0; k < 4; ++k)
        v[i[k][0]] = AddFirst(v[i[k][0]], x[k]) + v[i[k][1]];
#pragma GCC unroll 4
    for (int k = 0; k < 4; ++k)
        v[i[k][3]] = std::rotr(static_cast<Word>(v[i[k][3]] ^ v[i[k][0]]), p);
#pragma GCC unroll 4
    for (int k = 0; k < 4; ++k)
        v[i[k][2]] = v[i[k][2]] + v[i[k][3]];
#pragma GCC unroll 4
    for (int k = 0; k < 4; ++k)
        v[i[k][1]] = std::rotr(static_cast<Word>(v[i[k][1]] ^ v[i[k][2]]), q);
}

// Round r: the columns, then the diagonals, with the message words in the
// round's order; the indices are constants, so no table is read at run time.
template <class V, int r, class Word>
BLAKE2_STEP void Round(Word (&v)[16], const Word (&m)[16])
{
    constexpr const std::uint8_t* s = kBlake2Sigma[r % 10];
    static constexpr int kColumns[4][4] = {{0, 4, 8, 12}, {1, 5, 9, 13}, {2, 6, 10, 14}, {3, 7, 11, 15}};
    static constexpr int kDiagonals[4][4] = {{0, 5, 10, 15}, {1, 6, 11, 12}, {2, 7, 8, 13}, {3, 4, 9, 14}};
    HalfG<V::kR1, V::kR2>(v, kColumns, {m[s[0]], m[s[2]], m[s[4]], m[s[6]]});
    HalfG<V::kR3, V::kR4>(v, kColumns, {m[s[1]], m[s[3]], m[s[5]], m[s[7]]});
    HalfG<V::kR1, V::kR2>(v, kDiagonals, {m[s[8]], m[s[10]], m[s[12]], m[s[14]]});
    HalfG<V::kR3, V::kR4>(v, kDiagonals, {m[s[9]], m[s[11]], m[s[13]], m[s[15]]});
}

template <class V, class Word, int... r>
BLAKE2_STEP void Rounds(Word (&v)[16], const Word (&m)[16], std::integer_sequence<int, r...>)
{
    (Round<V, r>(v, m), ...);
}

template <class V>
void CompressPortable(typename V::Chain& chain, const std::uint8_t* blocks, std::size_t count, std::uint32_t bytes,
                      bool final)
{
    using Word = typename V::Word;
    Word h[8];
    for (int i = 0; i < 8; ++i)
        h[i] = chain.h[i];
    Word t0 = chain.t[0], t1 = chain.t[1];
    const Word flag = final ? ~Word{0} : Word{0};
    for (; count > 0; --count, blocks += V::kBlock) {
        t0 += bytes;
        t1 += t0 < bytes;  // the carry into the count's high word
        Word m[16];
        for (int i = 0; i < 16; ++i)
            m[i] = LoadLe<Word>(blocks + sizeof(Word) * i);
        // The working vector: the chain, then the IV with the count and the flag.
        Word v[16];
        for (int i = 0; i < 8; ++i) {
            v[i] = h[i];
            v[i + 8] = V::kIv[i];
        }
        v[12] ^= t0;
        v[13] ^= t1;
        v[14] ^= flag;
        Rounds<V>(v, m, std::make_integer_sequence<int, V::kRounds>());
        for (int i = 0; i < 8; ++i)
            h[i] ^= v[i] ^ v[i + 8];
    }
    for (int i = 0; i < 8; ++i)
        chain.h[i] = h[i];
    chain.t[0] = t0;
    chain.t[1] = t1;
}

// ---------------------------------------------------------------- streaming

// h = IV XOR the parameter block, whose first word holds the digest length,
// the key length (0), fanout 1 and depth 1; every other field is zero.
template <class V, class State>
void Init(State& state, std::size_t digestSize)
{
    constexpr std::size_t kLargest = 8 * sizeof(typename V::Word);
    if (digestSize == 0 || digestSize > kLargest)
        digestSize = kLargest;
    std::memset(&state, 0, sizeof state);
    for (int i = 0; i < 8; ++i)
        state.chain.h[i] = V::kIv[i];
    state.chain.h[0] ^= 0x01010000u | static_cast<typename V::Word>(digestSize);
    state.digestSize = static_cast<std::uint32_t>(digestSize);
}

template <class V, class State, class Compress>
void Update(State& state, const std::uint8_t* bytes, std::size_t size, Compress compress)
{
    constexpr std::size_t kBlock = V::kBlock;
    if (size == 0)
        return;
    if (state.buffered > 0) {
        const std::size_t take = std::min(kBlock - state.buffered, size);
        std::memcpy(state.buffer + state.buffered, bytes, take);
        state.buffered += static_cast<std::uint32_t>(take);
        bytes += take;
        size -= take;
        if (size == 0)
            return;
        // More bytes follow the full buffer, so it is not the last block.
        compress(state.chain, state.buffer, 1, kBlock, false);
        state.buffered = 0;
    }
    // At least one byte is kept back: the last block may be this one.
    const std::size_t whole = (size - 1) / kBlock;
    compress(state.chain, bytes, whole, kBlock, false);
    const std::size_t rest = size - whole * kBlock;
    std::memcpy(state.buffer, bytes + whole * kBlock, rest);
    state.buffered = static_cast<std::uint32_t>(rest);
}

template <class V, class State, class Compress>
void Final(State& state, std::uint8_t* digest, Compress compress)
{
    using Word = typename V::Word;
    std::memset(state.buffer + state.buffered, 0, V::kBlock - state.buffered);
    compress(state.chain, state.buffer, 1, state.buffered, true);
    std::uint8_t words[8 * sizeof(Word)];
    for (int i = 0; i < 8; ++i)
        StoreLe<Word>(words + sizeof(Word) * i, state.chain.h[i]);
    std::memcpy(digest, words, state.digestSize);
}

// ---------------------------------------------------------------- known vectors

// Everything starts one byte past a 64-byte boundary, so that no routine
// gets aligned loads for free.
constexpr std::size_t kMisalign = 1;

// RFC 7693's appendix examples, the digests of "abc".
constexpr std::uint8_t kBlake2bAbc[64] = {
    0xBA, 0x80, 0xA5, 0x3F, 0x98, 0x1C, 0x4D, 0x0D, 0x6A, 0x27, 0x97, 0xB6, 0x9F, 0x12, 0xF6, 0xE9,
    0x4C, 0x21, 0x2F, 0x14, 0x68, 0x5A, 0xC4, 0xB7, 0x4B, 0x12, 0xBB, 0x6F, 0xDB, 0xFF, 0xA2, 0xD1,
    0x7D, 0x87, 0xC5, 0x39, 0x2A, 0xAB, 0x79, 0x2D, 0xC2, 0x52, 0xD5, 0xDE, 0x45, 0x33, 0xCC, 0x95,
    0x18, 0xD3, 0x8A, 0xA8, 0xDB, 0xF1, 0x92, 0x5A, 0xB9, 0x23, 0x86, 0xED, 0xD4, 0x00, 0x99, 0x23,
};
constexpr std::uint8_t kBlake2sAbc[32] = {
    0x50, 0x8C, 0x5E, 0x8C, 0x32, 0x7C, 0x14, 0xE2, 0xE1, 0xA7, 0x2B, 0xA3, 0x4E, 0xEB, 0x45, 0x2F,
    0x37, 0x45, 0x8B, 0x20, 0x9E, 0xD6, 0x3A, 0x29, 0x4D, 0x99, 0x9B, 0x4C, 0x86, 0x67, 0x59, 0x82,
};
// Seven blocks less one byte of a byte counter mod 251 (895 bytes for
// BLAKE2b, 447 for BLAKE2s): six whole blocks and a last one short of a
// byte. b2sum and openssl dgst -blake2s256 gave the digests.
constexpr std::uint8_t kBlake2bCounter[64] = {
    0xED, 0xF5, 0x85, 0xE4, 0x97, 0x43, 0xF9, 0x94, 0x7B, 0x3C, 0xE2, 0x4C, 0x15, 0x47, 0x53, 0xEF,
    0x96, 0x33, 0xAC, 0x29, 0x62, 0xA2, 0xA2, 0xAE, 0x4A, 0xF7, 0x20, 0xD9, 0x70, 0x5F, 0x35, 0x81,
    0xC7, 0x38, 0xB9, 0xC9, 0xA0, 0xBF, 0xD9, 0xF4, 0x73, 0x9C, 0x71, 0xC9, 0x66, 0x7D, 0x03, 0x2E,
    0x84, 0x59, 0xE4, 0xEA, 0x65, 0x68, 0x89, 0xEF, 0x97, 0xD6, 0x23, 0x23, 0x38, 0xAB, 0xC0, 0x4E,
};
constexpr std::uint8_t kBlake2sCounter[32] = {
    0x65, 0x48, 0x31, 0x7E, 0x84, 0xC6, 0x51, 0x0F, 0xA6, 0xCC, 0xC5, 0xAA, 0x81, 0x69, 0x14, 0xE0,
    0x16, 0x29, 0x51, 0xE3, 0x18, 0x04, 0x58, 0x8B, 0x5D, 0xAB, 0xEB, 0x94, 0xE1, 0x7C, 0x7F, 0x35,
};

// The routine alone, from a fresh chain: `length` bytes of `message` in
// whole blocks (all at once or one call each), then the last block padded.
template <class V, class Compress>
bool KnownVectorHolds(Compress compress, bool blockByBlock, const std::uint8_t* message, std::size_t length,
                      const std::uint8_t* expected)
{
    using Word = typename V::Word;
    constexpr std::size_t kBlock = V::kBlock;
    typename V::Chain chain{};
    for (int i = 0; i < 8; ++i)
        chain.h[i] = V::kIv[i];
    chain.h[0] ^= static_cast<Word>(0x01010000u | (8 * sizeof(Word)));
    const std::size_t whole = length == 0 ? 0 : (length - 1) / kBlock;
    if (blockByBlock) {
        for (std::size_t b = 0; b < whole; ++b)
            compress(chain, message + b * kBlock, 1, kBlock, false);
    } else {
        compress(chain, message, whole, kBlock, false);
    }
    alignas(64) std::uint8_t last[kMisalign + kBlock] = {};
    const std::size_t rest = length - whole * kBlock;
    std::memcpy(last + kMisalign, message + whole * kBlock, rest);
    compress(chain, last + kMisalign, 1, static_cast<std::uint32_t>(rest), true);
    for (int i = 0; i < 8; ++i)
        if (chain.h[i] != LoadLe<Word>(expected + sizeof(Word) * i))
            return false;
    return true;
}

template <class V, class Compress>
bool ProvesItself(Compress compress, const std::uint8_t* abc, const std::uint8_t* counter)
{
    constexpr std::size_t kLength = 7 * V::kBlock - 1;
    alignas(64) std::uint8_t buffer[kMisalign + kLength];
    std::uint8_t* const message = buffer + kMisalign;
    std::memcpy(message, "abc", 3);
    if (!KnownVectorHolds<V>(compress, false, message, 3, abc))
        return false;
    for (std::size_t i = 0; i < kLength; ++i)
        message[i] = static_cast<std::uint8_t>(i % 251);
    return KnownVectorHolds<V>(compress, false, message, kLength, counter) &&
           KnownVectorHolds<V>(compress, true, message, kLength, counter);
}

// ---------------------------------------------------------------- lanes

template <class V>
using LanesFn = void (*)(Blake2LaneStates<typename V::Word>&, const std::uint8_t* const*, LaneMask, std::size_t,
                         LaneMask, const std::uint32_t*);

template <class V>
void LanesOneAtATime(Blake2LaneStates<typename V::Word>& states, const std::uint8_t* const* blocks, LaneMask active,
                     std::size_t count, LaneMask last, const std::uint32_t* lastBytes,
                     void (*compress)(typename V::Chain&, const std::uint8_t*, std::size_t, std::uint32_t, bool))
{
    for (std::size_t lane = 0; lane < kMaxLanes; ++lane) {
        if (((active >> lane) & 1) == 0)
            continue;
        typename V::Chain chain;
        for (int i = 0; i < 8; ++i)
            chain.h[i] = states.h[i][lane];
        chain.t[0] = states.t[0][lane];
        chain.t[1] = states.t[1][lane];
        const bool final = (last >> lane) & 1;
        compress(chain, blocks[lane], count, final ? lastBytes[lane] : static_cast<std::uint32_t>(V::kBlock), final);
        for (int i = 0; i < 8; ++i)
            states.h[i][lane] = chain.h[i];
        states.t[0][lane] = chain.t[0];
        states.t[1][lane] = chain.t[1];
    }
}

// "abc" in every lane at once, each from its own unaligned copy, must give
// RFC 7693's digest; then each lane a message of its own (a byte counter
// mod 251 from an offset of its own, two whole blocks and a last one of
// `lane` bytes) from a chain and count of its own must meet the portable
// one-message routine, with half the lanes left out at a time, which must
// keep their words. The two whole blocks go in at once and one by one.
template <class V>
bool LanesKnownVectorHolds(LanesFn<V> lanes, std::size_t width, const std::uint8_t* abc)
{
    using Word = typename V::Word;
    constexpr std::size_t kBlock = V::kBlock;
    if (width == 0 || width > kMaxLanes)
        return false;
    alignas(64) std::uint8_t buffer[kMisalign + kMaxLanes * (3 * kBlock + kMaxLanes)] = {};
    const std::uint8_t* blocks[kMaxLanes];
    std::uint32_t lastBytes[kMaxLanes];
    const LaneMask all = (LaneMask{1} << width) - 1;

    Blake2LaneStates<Word> states{};
    for (std::size_t lane = 0; lane < width; ++lane) {
        std::uint8_t* const block = buffer + kMisalign + lane * kBlock;
        std::memcpy(block, "abc", 3);
        blocks[lane] = block;
        lastBytes[lane] = 3;
        for (int i = 0; i < 8; ++i)
            states.h[i][lane] = V::kIv[i];
        states.h[0][lane] ^= static_cast<Word>(0x01010000u | (8 * sizeof(Word)));
    }
    lanes(states, blocks, all, 1, all, lastBytes);
    for (std::size_t lane = 0; lane < width; ++lane)
        for (int i = 0; i < 8; ++i)
            if (states.h[i][lane] != LoadLe<Word>(abc + sizeof(Word) * i))
                return false;

    for (std::size_t i = 0; i < sizeof buffer; ++i)
        buffer[i] = static_cast<std::uint8_t>(i % 251);
    Blake2LaneStates<Word> first{};
    for (std::size_t lane = 0; lane < kMaxLanes; ++lane) {
        for (int i = 0; i < 8; ++i)
            first.h[i][lane] = static_cast<Word>(V::kIv[i] * (2 * lane + 1) + static_cast<Word>(i));
        first.t[0][lane] = static_cast<Word>(~Word{0} - 60 - lane);  // the two blocks carry into t[1]
        first.t[1][lane] = static_cast<Word>(lane);
    }
    for (std::size_t lane = 0; lane < width; ++lane) {
        blocks[lane] = buffer + kMisalign + lane * 3 * kBlock + lane;
        lastBytes[lane] = static_cast<std::uint32_t>(lane);
    }
    for (const bool blockByBlock : {false, true})
        for (const LaneMask half : {LaneMask{0x5555}, LaneMask{0xAAAA}}) {
            states = first;
            const LaneMask active = all & half;
            if (blockByBlock) {
                lanes(states, blocks, active, 1, 0, nullptr);
                const std::uint8_t* second[kMaxLanes];
                for (std::size_t lane = 0; lane < width; ++lane)
                    second[lane] = blocks[lane] + kBlock;
                lanes(states, second, active, 1, 0, nullptr);
            } else {
                lanes(states, blocks, active, 2, 0, nullptr);
            }
            const std::uint8_t* third[kMaxLanes];
            for (std::size_t lane = 0; lane < width; ++lane)
                third[lane] = blocks[lane] + 2 * kBlock;
            lanes(states, third, active, 1, active, lastBytes);
            for (std::size_t lane = 0; lane < width; ++lane) {
                typename V::Chain want;
                for (int i = 0; i < 8; ++i)
                    want.h[i] = first.h[i][lane];
                want.t[0] = first.t[0][lane];
                want.t[1] = first.t[1][lane];
                if ((half >> lane) & 1) {
                    CompressPortable<V>(want, blocks[lane], 2, kBlock, false);
                    CompressPortable<V>(want, blocks[lane] + 2 * kBlock, 1, lastBytes[lane], true);
                }
                for (int i = 0; i < 8; ++i)
                    if (states.h[i][lane] != want.h[i])
                        return false;
                if (states.t[0][lane] != want.t[0] || states.t[1][lane] != want.t[1])
                    return false;
            }
        }
    return true;
}

}  // namespace

void Blake2bCompressPortable(Blake2bChain& chain, const std::uint8_t* blocks, std::size_t count, std::uint32_t bytes,
                             bool final)
{
    CompressPortable<Blake2b>(chain, blocks, count, bytes, final);
}

void Blake2sCompressPortable(Blake2sChain& chain, const std::uint8_t* blocks, std::size_t count, std::uint32_t bytes,
                             bool final)
{
    CompressPortable<Blake2s>(chain, blocks, count, bytes, final);
}

void Blake2bInit(Blake2bState& state, std::size_t digestSize)
{
    Init<Blake2b>(state, digestSize);
}

void Blake2sInit(Blake2sState& state, std::size_t digestSize)
{
    Init<Blake2s>(state, digestSize);
}

void Blake2bUpdate(Blake2bState& state, const std::uint8_t* bytes, std::size_t size)
{
    Update<Blake2b>(state, bytes, size, RoutineInUse<Blake2bPath>());
}

void Blake2sUpdate(Blake2sState& state, const std::uint8_t* bytes, std::size_t size)
{
    Update<Blake2s>(state, bytes, size, RoutineInUse<Blake2sPath>());
}

void Blake2bFinal(Blake2bState& state, std::uint8_t* digest)
{
    Final<Blake2b>(state, digest, RoutineInUse<Blake2bPath>());
}

void Blake2sFinal(Blake2sState& state, std::uint8_t* digest)
{
    Final<Blake2s>(state, digest, RoutineInUse<Blake2sPath>());
}

bool ProvesItself(Blake2bCompressFn compress)
{
    return ProvesItself<Blake2b>(compress, kBlake2bAbc, kBlake2bCounter);
}

bool ProvesItself(Blake2sCompressFn compress)
{
    return ProvesItself<Blake2s>(compress, kBlake2sAbc, kBlake2sCounter);
}

template <>
constexpr PathEntry<Blake2bPath> kPathRows<Blake2bPath>[] = {
    {Blake2bPath::Portable, "portable", Blake2bCompressPortable, &CpuFeatures::everywhere},
};

template <>
constexpr PathEntry<Blake2sPath> kPathRows<Blake2sPath>[] = {
    {Blake2sPath::Portable, "portable", Blake2sCompressPortable, &CpuFeatures::everywhere},
};

// ---------------------------------------------------------------- lanes

void Blake2bLanesOneAtATime(Blake2bLaneStates& states, const std::uint8_t* const* blocks, LaneMask active,
                            std::size_t count, LaneMask last, const std::uint32_t* lastBytes)
{
    LanesOneAtATime<Blake2b>(states, blocks, active, count, last, lastBytes, RoutineInUse<Blake2bPath>());
}

void Blake2sLanesOneAtATime(Blake2sLaneStates& states, const std::uint8_t* const* blocks, LaneMask active,
                            std::size_t count, LaneMask last, const std::uint32_t* lastBytes)
{
    LanesOneAtATime<Blake2s>(states, blocks, active, count, last, lastBytes, RoutineInUse<Blake2sPath>());
}

bool ProvesItself(Blake2bLanesFn lanes, std::size_t width)
{
    return LanesKnownVectorHolds<Blake2b>(lanes, width, kBlake2bAbc);
}

bool ProvesItself(Blake2sLanesFn lanes, std::size_t width)
{
    return LanesKnownVectorHolds<Blake2s>(lanes, width, kBlake2sAbc);
}

template <>
constexpr PathEntry<Blake2bLanePath> kPathRows<Blake2bLanePath>[] = {
    {Blake2bLanePath::OneAtATime, "one at a time", Blake2bLanesOneAtATime, &CpuFeatures::everywhere, 1},
    {Blake2bLanePath::Avx2, "AVX2", VELLUMARK_X86_ONLY(Blake2bLanesAvx2), &CpuFeatures::avx2, 4},
    {Blake2bLanePath::Avx512, "AVX-512", VELLUMARK_X86_ONLY(Blake2bLanesAvx512), &CpuFeatures::avx512f, 8},
};

template <>
constexpr PathEntry<Blake2sLanePath> kPathRows<Blake2sLanePath>[] = {
    {Blake2sLanePath::OneAtATime, "one at a time", Blake2sLanesOneAtATime, &CpuFeatures::everywhere, 1},
    {Blake2sLanePath::Avx2, "AVX2", VELLUMARK_X86_ONLY(Blake2sLanesAvx2), &CpuFeatures::avx2, 8},
    {Blake2sLanePath::Avx512, "AVX-512", VELLUMARK_X86_ONLY(Blake2sLanesAvx512), &CpuFeatures::avx512f, 16},
};

// Each family's choice, compiled here and nowhere else.
template class PathChoice<Blake2bPath>;
template class PathChoice<Blake2sPath>;
template class PathChoice<Blake2bLanePath>;
template class PathChoice<Blake2sLanePath>;

}  // namespace engine
