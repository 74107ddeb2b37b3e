#pragma once

// The AVX-512 width of blake2_lane_rounds.h: eight lanes of 64-bit words or
// sixteen of 32-bit words, the loads and transposes lanes_avx512.h's. For
// blake2b_lanes_avx512.cpp and blake2s_lanes_avx512.cpp alone: all of it is
// in an unnamed namespace (see digest_paths.h).

#include "engine/blake2_lane_rounds.h"
#include "engine/lanes_avx512.h"

namespace engine {
namespace {

template <class W>
struct Avx512Blake2 {
    static constexpr bool kWide = sizeof(W) == 8;
    using Word = W;
    using Vector = __m512i;
    static constexpr int kLanes = 64 / sizeof(Word);

    BLAKE2_LANE_STEP static __m512i Load(const Word* words) { return _mm512_load_si512(words); }
    BLAKE2_LANE_STEP static void Store(Word* words, __m512i v) { _mm512_store_si512(words, v); }
    BLAKE2_LANE_STEP static __m512i Add(__m512i x, __m512i y)
    {
        return kWide ? _mm512_add_epi64(x, y) : _mm512_add_epi32(x, y);
    }
    BLAKE2_LANE_STEP static __m512i Sub(__m512i x, __m512i y)
    {
        return kWide ? _mm512_sub_epi64(x, y) : _mm512_sub_epi32(x, y);
    }
    BLAKE2_LANE_STEP static __m512i Xor(__m512i x, __m512i y) { return _mm512_xor_si512(x, y); }
    BLAKE2_LANE_STEP static __m512i Xor3(__m512i x, __m512i y, __m512i z)
    {
        return _mm512_ternarylogic_epi64(x, y, z, 0x96);
    }
    template <int n>
    BLAKE2_LANE_STEP static __m512i Ror(__m512i x)
    {
        if constexpr (kWide)
            return _mm512_ror_epi64(x, n);
        else
            return _mm512_ror_epi32(x, n);
    }
    BLAKE2_LANE_STEP static __m512i Set1(Word w)
    {
        if constexpr (kWide)
            return _mm512_set1_epi64(static_cast<long long>(w));
        else
            return _mm512_set1_epi32(static_cast<int>(w));
    }
    BLAKE2_LANE_STEP static __m512i Below(__m512i x, __m512i y)
    {
        if constexpr (kWide)
            return _mm512_maskz_set1_epi64(_mm512_cmplt_epu64_mask(x, y), -1);
        else
            return _mm512_maskz_set1_epi32(_mm512_cmplt_epu32_mask(x, y), -1);
    }
    BLAKE2_LANE_STEP static void LoadTransposed(const std::uint8_t* const* p, __m512i* x)
    {
        Avx512Lanes<Word>::template LoadTransposed<false>(p, x);
    }
};

}  // namespace
}  // namespace engine
