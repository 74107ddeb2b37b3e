#pragma once

// The AVX2 width of blake2_lane_rounds.h: four lanes of 64-bit words or
// eight of 32-bit words; rotations by whole bytes as byte shuffles, the
// others as two shifts. For blake2b_lanes_avx2.cpp and
// blake2s_lanes_avx2.cpp alone: all of it is in an unnamed namespace (see
// digest_paths.h).

#include <immintrin.h>

#include "engine/blake2_lane_rounds.h"
#include "engine/lanes_avx2.h"

namespace engine {
namespace {

template <class W>
struct Avx2Blake2 {
    static constexpr bool kWide = sizeof(W) == 8;
    using Word = W;
    using Vector = __m256i;
    static constexpr int kLanes = 32 / sizeof(Word);

    BLAKE2_LANE_STEP static __m256i Load(const Word* words)
    {
        return _mm256_load_si256(reinterpret_cast<const __m256i*>(words));
    }
    BLAKE2_LANE_STEP static void Store(Word* words, __m256i v)
    {
        _mm256_store_si256(reinterpret_cast<__m256i*>(words), v);
    }
    BLAKE2_LANE_STEP static __m256i Add(__m256i x, __m256i y)
    {
        return kWide ? _mm256_add_epi64(x, y) : _mm256_add_epi32(x, y);
    }
    BLAKE2_LANE_STEP static __m256i Sub(__m256i x, __m256i y)
    {
        return kWide ? _mm256_sub_epi64(x, y) : _mm256_sub_epi32(x, y);
    }
    BLAKE2_LANE_STEP static __m256i Xor(__m256i x, __m256i y) { return _mm256_xor_si256(x, y); }
    BLAKE2_LANE_STEP static __m256i Xor3(__m256i x, __m256i y, __m256i z) { return Xor(x, Xor(y, z)); }
    template <int n>
    BLAKE2_LANE_STEP static __m256i Ror(__m256i x)
    {
        if constexpr (kWide && n == 32)
            return _mm256_shuffle_epi32(x, 0xB1);
        else if constexpr (kWide && n == 24)
            return _mm256_shuffle_epi8(x, _mm256_setr_epi8(3, 4, 5, 6, 7, 0, 1, 2, 11, 12, 13, 14, 15, 8, 9, 10, 3, 4,
                                                           5, 6, 7, 0, 1, 2, 11, 12, 13, 14, 15, 8, 9, 10));
        else if constexpr (kWide && n == 16)
            return _mm256_shuffle_epi8(x, _mm256_setr_epi8(2, 3, 4, 5, 6, 7, 0, 1, 10, 11, 12, 13, 14, 15, 8, 9, 2, 3,
                                                           4, 5, 6, 7, 0, 1, 10, 11, 12, 13, 14, 15, 8, 9));
        else if constexpr (kWide)
            return _mm256_or_si256(_mm256_srli_epi64(x, n), _mm256_slli_epi64(x, 64 - n));
        else if constexpr (n == 16)
            return _mm256_shuffle_epi8(x, _mm256_setr_epi8(2, 3, 0, 1, 6, 7, 4, 5, 10, 11, 8, 9, 14, 15, 12, 13, 2, 3,
                                                           0, 1, 6, 7, 4, 5, 10, 11, 8, 9, 14, 15, 12, 13));
        else if constexpr (n == 8)
            return _mm256_shuffle_epi8(x, _mm256_setr_epi8(1, 2, 3, 0, 5, 6, 7, 4, 9, 10, 11, 8, 13, 14, 15, 12, 1, 2,
                                                           3, 0, 5, 6, 7, 4, 9, 10, 11, 8, 13, 14, 15, 12));
        else
            return _mm256_or_si256(_mm256_srli_epi32(x, n), _mm256_slli_epi32(x, 32 - n));
    }
    BLAKE2_LANE_STEP static __m256i Set1(Word w)
    {
        if constexpr (kWide)
            return _mm256_set1_epi64x(static_cast<long long>(w));
        else
            return _mm256_set1_epi32(static_cast<int>(w));
    }
    // Signed comparison after flipping the top bits.
    BLAKE2_LANE_STEP static __m256i Below(__m256i x, __m256i y)
    {
        if constexpr (kWide) {
            const __m256i top = _mm256_set1_epi64x(static_cast<long long>(0x8000000000000000u));
            return _mm256_cmpgt_epi64(Xor(y, top), Xor(x, top));
        } else {
            const __m256i top = _mm256_set1_epi32(static_cast<int>(0x80000000u));
            return _mm256_cmpgt_epi32(Xor(y, top), Xor(x, top));
        }
    }
    BLAKE2_LANE_STEP static void LoadTransposed(const std::uint8_t* const* p, __m256i* x)
    {
        if constexpr (kWide) {
            // Four words of the four lanes at a time, a 4 x 4 transpose.
            for (int w = 0; w < 16; w += 4) {
                const __m256i r0 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p[0] + 8 * w));
                const __m256i r1 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p[1] + 8 * w));
                const __m256i r2 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p[2] + 8 * w));
                const __m256i r3 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p[3] + 8 * w));
                const __m256i even01 = _mm256_unpacklo_epi64(r0, r1), odd01 = _mm256_unpackhi_epi64(r0, r1);
                const __m256i even23 = _mm256_unpacklo_epi64(r2, r3), odd23 = _mm256_unpackhi_epi64(r2, r3);
                x[w] = _mm256_permute2x128_si256(even01, even23, 0x20);
                x[w + 1] = _mm256_permute2x128_si256(odd01, odd23, 0x20);
                x[w + 2] = _mm256_permute2x128_si256(even01, even23, 0x31);
                x[w + 3] = _mm256_permute2x128_si256(odd01, odd23, 0x31);
            }
        } else {
            Avx2Lanes::LoadTransposed<false>(p, x);
        }
    }
};

}  // namespace
}  // namespace engine
