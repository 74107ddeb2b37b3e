// BLAKE3 with AVX-512: sixteen inputs side by side, one in each 32-bit lane
// (thirty-two in two interleaved groups). Built with -mavx512f and called
// only where the CPU and the operating system support it
// (digest_paths.cpp); it includes nothing but its own header, the
// intrinsics and standard headers (see digest_paths.h).
#include "engine/blake3.h"

#if defined(__x86_64__)

// GCC 12's AVX-512 headers fill unused lanes from a variable initialised
// with itself, which -Wmaybe-uninitialized (and, for the permutes here,
// -Wuninitialized) reports wherever the intrinsics are inlined (GCC bug
// 105593, mended in GCC 13).
#if defined(__GNUC__) && !defined(__clang__) && __GNUC__ < 13
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#pragma GCC diagnostic ignored "-Wuninitialized"
#endif

#include <immintrin.h>

#include <algorithm>
#include <cstring>
#include <utility>

#define BLAKE3_STEP [[gnu::always_inline]] inline

namespace engine {
namespace {

// ---------------------------------------------------------------- sixteen lanes

BLAKE3_STEP __m512i Add(__m512i a, __m512i b)
{
    return _mm512_add_epi32(a, b);
}

// The four Gs of a half round side by side, each step of all four (of each
// group of sixteen lanes) before the next, so that four or eight independent
// chains are in flight: an add waits two cycles for the one before it here
// (an AMD EPYC, family 26), and one chain leaves the vector unit mostly idle.
// The word indices are template arguments, so that every one is a constant
// and the state stays in registers.
template <int kRound, bool kDiagonal, int... I>
BLAKE3_STEP void Half(__m512i* v, const __m512i* m, std::integer_sequence<int, I...>)
{
    static constexpr int kA[4] = {0, 1, 2, 3};
    static constexpr int kB[4] = {kDiagonal ? 5 : 4, kDiagonal ? 6 : 5, kDiagonal ? 7 : 6, kDiagonal ? 4 : 7};
    static constexpr int kC[4] = {kDiagonal ? 10 : 8, kDiagonal ? 11 : 9, kDiagonal ? 8 : 10, kDiagonal ? 9 : 11};
    static constexpr int kD[4] = {kDiagonal ? 15 : 12, kDiagonal ? 12 : 13, kDiagonal ? 13 : 14, kDiagonal ? 14 : 15};
    static constexpr const std::uint8_t* kS = kBlake3Schedule[kRound] + (kDiagonal ? 8 : 0);
    // Chain I is G I % 4 of the group of sixteen lanes I / 4.
    constexpr auto a = [](int i) { return 16 * (i / 4) + kA[i % 4]; };
    constexpr auto b = [](int i) { return 16 * (i / 4) + kB[i % 4]; };
    constexpr auto c = [](int i) { return 16 * (i / 4) + kC[i % 4]; };
    constexpr auto d = [](int i) { return 16 * (i / 4) + kD[i % 4]; };
    constexpr auto x = [](int i) { return 16 * (i / 4) + kS[2 * (i % 4)]; };
    constexpr auto y = [](int i) { return 16 * (i / 4) + kS[2 * (i % 4) + 1]; };
    ((v[a(I)] = Add(Add(v[a(I)], m[x(I)]), v[b(I)])), ...);
    ((v[d(I)] = _mm512_ror_epi32(_mm512_xor_si512(v[d(I)], v[a(I)]), 16)), ...);
    ((v[c(I)] = Add(v[c(I)], v[d(I)])), ...);
    ((v[b(I)] = _mm512_ror_epi32(_mm512_xor_si512(v[b(I)], v[c(I)]), 12)), ...);
    ((v[a(I)] = Add(Add(v[a(I)], m[y(I)]), v[b(I)])), ...);
    ((v[d(I)] = _mm512_ror_epi32(_mm512_xor_si512(v[d(I)], v[a(I)]), 8)), ...);
    ((v[c(I)] = Add(v[c(I)], v[d(I)])), ...);
    ((v[b(I)] = _mm512_ror_epi32(_mm512_xor_si512(v[b(I)], v[c(I)]), 7)), ...);
}

template <int kGroups, int... R>
BLAKE3_STEP void Rounds(__m512i* v, const __m512i* m, std::integer_sequence<int, R...>)
{
    constexpr auto kChains = std::make_integer_sequence<int, 4 * kGroups>();
    ((Half<R, false>(v, m, kChains), Half<R, true>(v, m, kChains)), ...);
}

// Sixteen rows of sixteen words, row l lane l's block, into m[i] = word i of
// every lane: pairs of words, pairs of pairs, then the 128-bit quarters.
BLAKE3_STEP void LoadTransposed(const std::uint8_t* const* p, std::size_t offset, __m512i* m)
{
    __m512i r[16], t[16];
    for (int l = 0; l < 16; ++l)
        r[l] = _mm512_loadu_si512(p[l] + offset);
    for (int j = 0; j < 8; ++j) {
        t[2 * j] = _mm512_unpacklo_epi32(r[2 * j], r[2 * j + 1]);
        t[2 * j + 1] = _mm512_unpackhi_epi32(r[2 * j], r[2 * j + 1]);
    }
    // r[4j + k], quarter q: word 4q + k of lanes 4j..4j+3.
    for (int j = 0; j < 4; ++j) {
        r[4 * j] = _mm512_unpacklo_epi64(t[4 * j], t[4 * j + 2]);
        r[4 * j + 1] = _mm512_unpackhi_epi64(t[4 * j], t[4 * j + 2]);
        r[4 * j + 2] = _mm512_unpacklo_epi64(t[4 * j + 1], t[4 * j + 3]);
        r[4 * j + 3] = _mm512_unpackhi_epi64(t[4 * j + 1], t[4 * j + 3]);
    }
    for (int k = 0; k < 4; ++k) {
        const __m512i u0 = _mm512_shuffle_i32x4(r[k], r[4 + k], 0x44);
        const __m512i u1 = _mm512_shuffle_i32x4(r[8 + k], r[12 + k], 0x44);
        const __m512i u2 = _mm512_shuffle_i32x4(r[k], r[4 + k], 0xEE);
        const __m512i u3 = _mm512_shuffle_i32x4(r[8 + k], r[12 + k], 0xEE);
        m[k] = _mm512_shuffle_i32x4(u0, u1, 0x88);
        m[4 + k] = _mm512_shuffle_i32x4(u0, u1, 0xDD);
        m[8 + k] = _mm512_shuffle_i32x4(u2, u3, 0x88);
        m[12 + k] = _mm512_shuffle_i32x4(u2, u3, 0xDD);
    }
}

// The eight chaining words of every lane back into rows: lane l's 32 bytes
// to out + 32 l, for the first `lanes` lanes.
BLAKE3_STEP void StoreTransposed(const __m512i* h, std::size_t lanes, std::uint8_t* out)
{
    __m512i t[8], u[8];
    for (int j = 0; j < 4; ++j) {
        t[2 * j] = _mm512_unpacklo_epi32(h[2 * j], h[2 * j + 1]);
        t[2 * j + 1] = _mm512_unpackhi_epi32(h[2 * j], h[2 * j + 1]);
    }
    // u[k], quarter q: words 0..3 of lane 4q + k; u[4 + k]: its words 4..7.
    for (int half = 0; half < 2; ++half) {
        const __m512i* s = t + 4 * half;
        u[4 * half] = _mm512_unpacklo_epi64(s[0], s[2]);
        u[4 * half + 1] = _mm512_unpackhi_epi64(s[0], s[2]);
        u[4 * half + 2] = _mm512_unpacklo_epi64(s[1], s[3]);
        u[4 * half + 3] = _mm512_unpackhi_epi64(s[1], s[3]);
    }
    // Lanes 4q + k and 4q + k + 1 are 64 adjacent bytes: the quarters q of
    // u[k], u[4 + k], u[k + 1], u[5 + k].
    alignas(64) std::uint8_t rows[16 * 32];
    for (int k = 0; k < 4; k += 2) {
        const __m512i a = _mm512_permutex2var_epi64(u[k], _mm512_setr_epi64(0, 1, 8, 9, 2, 3, 10, 11), u[4 + k]);
        const __m512i b = _mm512_permutex2var_epi64(u[k], _mm512_setr_epi64(4, 5, 12, 13, 6, 7, 14, 15), u[4 + k]);
        const __m512i c = _mm512_permutex2var_epi64(u[k + 1], _mm512_setr_epi64(0, 1, 8, 9, 2, 3, 10, 11), u[5 + k]);
        const __m512i d = _mm512_permutex2var_epi64(u[k + 1], _mm512_setr_epi64(4, 5, 12, 13, 6, 7, 14, 15), u[5 + k]);
        // a: lanes k, 4 + k; b: lanes 8 + k, 12 + k; c and d the same of k + 1.
        const __m512i idxLow = _mm512_setr_epi64(0, 1, 2, 3, 8, 9, 10, 11);
        const __m512i idxHigh = _mm512_setr_epi64(4, 5, 6, 7, 12, 13, 14, 15);
        _mm512_store_si512(rows + 32 * k, _mm512_permutex2var_epi64(a, idxLow, c));
        _mm512_store_si512(rows + 32 * (4 + k), _mm512_permutex2var_epi64(a, idxHigh, c));
        _mm512_store_si512(rows + 32 * (8 + k), _mm512_permutex2var_epi64(b, idxLow, d));
        _mm512_store_si512(rows + 32 * (12 + k), _mm512_permutex2var_epi64(b, idxHigh, d));
    }
    if (lanes == 16) {
        for (int i = 0; i < 8; ++i)
            _mm512_storeu_si512(out + 64 * i, _mm512_load_si512(rows + 64 * i));
    } else {
        std::memcpy(out, rows, 32 * lanes);
    }
}

// Up to 16 kGroups inputs of the batch, from `first`: lanes past the batch
// read the first input again and are not stored.
constexpr std::size_t kPrefetchAhead = 4;

template <int kGroups>
BLAKE3_STEP void Group(const Blake3Batch& batch, std::size_t first, std::uint8_t* out)
{
    constexpr int kLanes = 16 * kGroups;
    const std::size_t lanes = std::min<std::size_t>(kLanes, batch.count - first);
    const std::uint8_t* p[kLanes];
    alignas(64) std::uint64_t counters[kLanes];
    for (std::size_t l = 0; l < lanes; ++l) {
        p[l] = batch.inputs[first + l];
        counters[l] = batch.counters != nullptr ? batch.counters[first + l] : 0;
    }
    for (std::size_t l = lanes; l < kLanes; ++l) {
        p[l] = p[0];
        counters[l] = counters[0];
    }
    __m512i counterLow[kGroups], counterHigh[kGroups];
    for (int g = 0; g < kGroups; ++g) {
        const __m512i c0 = _mm512_load_si512(counters + 16 * g), c1 = _mm512_load_si512(counters + 16 * g + 8);
        counterLow[g] =
            _mm512_inserti64x4(_mm512_castsi256_si512(_mm512_cvtepi64_epi32(c0)), _mm512_cvtepi64_epi32(c1), 1);
        counterHigh[g] = _mm512_inserti64x4(_mm512_castsi256_si512(_mm512_cvtepi64_epi32(_mm512_srli_epi64(c0, 32))),
                                            _mm512_cvtepi64_epi32(_mm512_srli_epi64(c1, 32)), 1);
    }

    __m512i h[8 * kGroups];
    for (int i = 0; i < 8 * kGroups; ++i)
        h[i] = _mm512_set1_epi32(static_cast<int>(batch.key[i % 8]));
    for (std::size_t b = 0; b < batch.blocks; ++b) {
        __m512i m[16 * kGroups];
        for (int g = 0; g < kGroups; ++g)
            LoadTransposed(p + 16 * g, kBlake3BlockSize * b, m + 16 * g);
        // Each lane's block some iterations ahead: 32 streams 1 KiB apart
        // are more than the hardware's prefetchers follow.
        if (b + kPrefetchAhead < batch.blocks)
            for (int l = 0; l < kLanes; ++l)
                _mm_prefetch(reinterpret_cast<const char*>(p[l] + kBlake3BlockSize * (b + kPrefetchAhead)),
                             _MM_HINT_T0);
        std::uint32_t flags = batch.flags;
        if (b == 0)
            flags |= batch.startFlags;
        if (b + 1 == batch.blocks)
            flags |= batch.endFlags;
        __m512i v[16 * kGroups];
        for (int g = 0; g < kGroups; ++g) {
            __m512i* const w = v + 16 * g;
            for (int i = 0; i < 8; ++i)
                w[i] = h[8 * g + i];
            for (int i = 0; i < 4; ++i)
                w[8 + i] = _mm512_set1_epi32(static_cast<int>(kBlake3Iv[i]));
            w[12] = counterLow[g];
            w[13] = counterHigh[g];
            w[14] = _mm512_set1_epi32(static_cast<int>(kBlake3BlockSize));
            w[15] = _mm512_set1_epi32(static_cast<int>(flags));
        }
        Rounds<kGroups>(v, m, std::make_integer_sequence<int, 7>());
        for (int g = 0; g < kGroups; ++g)
            for (int i = 0; i < 8; ++i)
                h[8 * g + i] = _mm512_xor_si512(v[16 * g + i], v[16 * g + i + 8]);
    }
    for (int g = 0; g < kGroups && 16 * static_cast<std::size_t>(g) < lanes; ++g)
        StoreTransposed(h + 8 * g, std::min<std::size_t>(16, lanes - 16 * g), out + 32 * 16 * g);
}

}  // namespace

void Blake3ManyAvx512(const Blake3Batch& batch, std::uint8_t* out)
{
    // Thirty-two inputs at a time while there are more than sixteen left.
    std::size_t first = 0;
    for (; first + 16 < batch.count; first += 32)
        Group<2>(batch, first, out + 32 * first);
    for (; first < batch.count; first += 16)
        Group<1>(batch, first, out + 32 * first);
}

}  // namespace engine

#endif
