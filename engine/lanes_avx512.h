#pragma once

// AVX-512 lanes: sixteen of 32-bit words or eight of 64-bit words, the
// loads, transposes and masked stores of md5_lanes_avx512.cpp,
// sha1_lanes_avx512.cpp, sha256_lanes_avx512.cpp and sha512_lanes_avx512.cpp,
// whose rounds run in lane_frame.h's frame with Avx512Lanes<Word> as its
// width, and the word operations that the rounds of sha1_lanes.h and
// sha2_lanes.h take of a width. For those files alone: all of it is in an
// unnamed namespace, so each compiles a copy of its own (see
// digest_paths.h).

// GCC 12's AVX-512 headers fill unused lanes from a variable initialised
// with itself, which -Wmaybe-uninitialized reports wherever the intrinsics
// are inlined (GCC bug 105593, mended in GCC 13).
#if defined(__GNUC__) && !defined(__clang__) && __GNUC__ < 13
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif

#include <immintrin.h>

#include "engine/digest_paths.h"
#include "engine/lane_frame.h"

namespace engine {
namespace {

template <class Word>
struct Avx512Lanes {
    static_assert(sizeof(Word) == 4 || sizeof(Word) == 8);
    static constexpr bool kWide = sizeof(Word) == 8;

    using Vector = __m512i;
    static constexpr int kLanes = 64 / sizeof(Word);

    LANE_STEP static __m512i Load(const Word* words) { return _mm512_load_si512(words); }

    LANE_STEP static __m512i Add(__m512i x, __m512i y)
    {
        if constexpr (kWide)
            return _mm512_add_epi64(x, y);
        else
            return _mm512_add_epi32(x, y);
    }

    LANE_STEP static __m512i Set1(Word word)
    {
        if constexpr (kWide)
            return _mm512_set1_epi64(static_cast<long long>(word));
        else
            return _mm512_set1_epi32(static_cast<int>(word));
    }

    template <int kShift>
    LANE_STEP static __m512i Rotl(__m512i v)
    {
        if constexpr (kWide)
            return _mm512_rol_epi64(v, kShift);
        else
            return _mm512_rol_epi32(v, kShift);
    }

    template <int kShift>
    LANE_STEP static __m512i Ror(__m512i v)
    {
        if constexpr (kWide)
            return _mm512_ror_epi64(v, kShift);
        else
            return _mm512_ror_epi32(v, kShift);
    }

    template <int kShift>
    LANE_STEP static __m512i Shr(__m512i v)
    {
        if constexpr (kWide)
            return _mm512_srli_epi64(v, kShift);
        else
            return _mm512_srli_epi32(v, kShift);
    }

    // Any function of (b, c, d) in one VPTERNLOG: kTable is its truth table
    // over (0xF0, 0xCC, 0xAA).
    template <int kTable>
    LANE_STEP static __m512i Logic(__m512i b, __m512i c, __m512i d)
    {
        if constexpr (kWide)
            return _mm512_ternarylogic_epi64(b, c, d, kTable);
        else
            return _mm512_ternarylogic_epi32(b, c, d, kTable);
    }

    LANE_STEP static __m512i Xor3(__m512i x, __m512i y, __m512i z) { return Logic<0x96>(x, y, z); }

    LANE_STEP static __m512i Xor4(__m512i w, __m512i x, __m512i y, __m512i z)
    {
        return _mm512_xor_si512(Xor3(w, x, y), z);
    }

    LANE_STEP static auto Keep(LaneMask active)
    {
        if constexpr (kWide)
            return static_cast<__mmask8>(active);
        else
            return static_cast<__mmask16>(active);
    }

    template <class Mask>
    LANE_STEP static void Store(Word* words, Mask keep, __m512i v)
    {
        if constexpr (kWide)
            _mm512_mask_store_epi64(words, keep, v);
        else
            _mm512_mask_store_epi32(words, keep, v);
    }

    // Sixteen rows of sixteen 32-bit words, one row per lane, into sixteen
    // registers holding one word of every lane each: a 16 x 16 transpose in
    // four stages of interleaves. Overwrites r.
    LANE_STEP static void Transpose32(__m512i* r, __m512i* x)
    {
        __m512i t[16];
        // Pairs of lanes: per 128-bit chunk c, words 4c..4c+3 of lanes 2j, 2j+1.
        for (int j = 0; j < 8; ++j) {
            t[2 * j] = _mm512_unpacklo_epi32(r[2 * j], r[2 * j + 1]);
            t[2 * j + 1] = _mm512_unpackhi_epi32(r[2 * j], r[2 * j + 1]);
        }
        // Fours of lanes: r[4j + m], chunk c, is word 4c + m of lanes 4j..4j+3.
        for (int j = 0; j < 4; ++j) {
            r[4 * j] = _mm512_unpacklo_epi64(t[4 * j], t[4 * j + 2]);
            r[4 * j + 1] = _mm512_unpackhi_epi64(t[4 * j], t[4 * j + 2]);
            r[4 * j + 2] = _mm512_unpacklo_epi64(t[4 * j + 1], t[4 * j + 3]);
            r[4 * j + 3] = _mm512_unpackhi_epi64(t[4 * j + 1], t[4 * j + 3]);
        }
        // The 128-bit chunks transposed four by four: word 4c + m of all lanes.
        for (int m = 0; m < 4; ++m) {
            const __m512i p0 = r[m], q0 = r[4 + m], r0 = r[8 + m], s0 = r[12 + m];
            const __m512i u0 = _mm512_shuffle_i32x4(p0, q0, 0x44), u1 = _mm512_shuffle_i32x4(r0, s0, 0x44);
            const __m512i u2 = _mm512_shuffle_i32x4(p0, q0, 0xEE), u3 = _mm512_shuffle_i32x4(r0, s0, 0xEE);
            x[m] = _mm512_shuffle_i32x4(u0, u1, 0x88);
            x[4 + m] = _mm512_shuffle_i32x4(u0, u1, 0xDD);
            x[8 + m] = _mm512_shuffle_i32x4(u2, u3, 0x88);
            x[12 + m] = _mm512_shuffle_i32x4(u2, u3, 0xDD);
        }
    }

    // Eight registers of eight 64-bit words each, row l lane l's, turned into
    // x[k] = word k of every lane: pairs of words, then pairs of pairs, then
    // halves trade places.
    LANE_STEP static void Transpose64(const __m512i* r, __m512i* x)
    {
        __m512i t[8];
        for (int j = 0; j < 4; ++j) {
            t[2 * j] = _mm512_unpacklo_epi64(r[2 * j], r[2 * j + 1]);      // words 0, 2, 4, 6 of two lanes
            t[2 * j + 1] = _mm512_unpackhi_epi64(r[2 * j], r[2 * j + 1]);  // words 1, 3, 5, 7
        }
        for (int odd = 0; odd < 2; ++odd) {
            // Of four lanes each: words 0 and 4 (or 1 and 5), words 2 and 6 (3 and 7).
            const __m512i u0 = _mm512_shuffle_i64x2(t[odd], t[2 + odd], 0x88);
            const __m512i u1 = _mm512_shuffle_i64x2(t[odd], t[2 + odd], 0xDD);
            const __m512i u2 = _mm512_shuffle_i64x2(t[4 + odd], t[6 + odd], 0x88);
            const __m512i u3 = _mm512_shuffle_i64x2(t[4 + odd], t[6 + odd], 0xDD);
            x[odd] = _mm512_shuffle_i64x2(u0, u2, 0x88);
            x[4 + odd] = _mm512_shuffle_i64x2(u0, u2, 0xDD);
            x[2 + odd] = _mm512_shuffle_i64x2(u1, u3, 0x88);
            x[6 + odd] = _mm512_shuffle_i64x2(u1, u3, 0xDD);
        }
    }

    // 64 bytes of a lane's block; big-endian words have their bytes turned
    // around.
    template <bool kBigEndian>
    LANE_STEP static __m512i LoadRow(const std::uint8_t* p)
    {
        const __m512i row = _mm512_loadu_si512(p);
        if constexpr (!kBigEndian)
            return row;
        else if constexpr (kWide)
            return _mm512_shuffle_epi8(
                row, _mm512_set4_epi64(0x08090A0B0C0D0E0F, 0x0001020304050607, 0x08090A0B0C0D0E0F, 0x0001020304050607));
        else
            return _mm512_shuffle_epi8(row, _mm512_set4_epi32(0x0C0D0E0F, 0x08090A0B, 0x04050607, 0x00010203));
    }

    // One block of every lane: sixteen 32-bit words transposed at once, or
    // sixteen 64-bit words in two halves of eight.
    template <bool kBigEndian>
    LANE_STEP static void LoadTransposed(const std::uint8_t* const* p, __m512i* x)
    {
        if constexpr (kWide) {
            for (int half = 0; half < 2; ++half) {
                __m512i r[kLanes];
                for (int l = 0; l < kLanes; ++l)
                    r[l] = LoadRow<kBigEndian>(p[l] + 64 * half);
                Transpose64(r, x + 8 * half);
            }
        } else {
            __m512i r[kLanes];
            for (int l = 0; l < kLanes; ++l)
                r[l] = LoadRow<kBigEndian>(p[l]);
            Transpose32(r, x);
        }
    }
};

}  // namespace
}  // namespace engine
