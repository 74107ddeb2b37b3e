#pragma once

// BLAKE2's block function with one message per lane of the AVX-512
// registers: BLAKE2b's eight in 64-bit lanes, BLAKE2s's sixteen in 32-bit
// lanes. For blake2b_lanes_avx512.cpp and blake2s_lanes_avx512.cpp alone:
// all of it is in an unnamed namespace, so each compiles a copy of its own
// (see digest_paths.h). The loads and transposes are lanes_avx512.h's.
//
// Each register holds one word of the working vector for every lane, so G
// is scalar code written with vector instructions. Its steps wait for each
// other, and here each vector instruction takes two cycles to give its
// result: the four G of a column (or diagonal) step are interleaved step by
// step, four independent chains side by side.

#include <cstddef>
#include <cstdint>
#include <utility>

#include "engine/blake2.h"
#include "engine/lanes_avx512.h"

#define BLAKE2_LANE_STEP [[gnu::always_inline]] inline

namespace engine {
namespace {

template <class Word>
struct Blake2LaneOps {
    static constexpr bool kWide = sizeof(Word) == 8;
    static constexpr int kLanes = 64 / sizeof(Word);
    static constexpr std::size_t kBlock = 16 * sizeof(Word);
    static constexpr int kRounds = kWide ? 12 : 10;
    static constexpr int kR1 = kWide ? 32 : 16, kR2 = kWide ? 24 : 12, kR3 = kWide ? 16 : 8, kR4 = kWide ? 63 : 7;
    using Mask = std::conditional_t<kWide, __mmask8, __mmask16>;

    BLAKE2_LANE_STEP static __m512i Add(__m512i x, __m512i y)
    {
        if constexpr (kWide)
            return _mm512_add_epi64(x, y);
        else
            return _mm512_add_epi32(x, y);
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
    // The lanes where x < y, unsigned.
    BLAKE2_LANE_STEP static Mask Below(__m512i x, __m512i y)
    {
        if constexpr (kWide)
            return _mm512_cmplt_epu64_mask(x, y);
        else
            return _mm512_cmplt_epu32_mask(x, y);
    }
    BLAKE2_LANE_STEP static __m512i AddWhere(__m512i x, Mask where, __m512i y)
    {
        if constexpr (kWide)
            return _mm512_mask_add_epi64(x, where, x, y);
        else
            return _mm512_mask_add_epi32(x, where, x, y);
    }
    BLAKE2_LANE_STEP static __m512i AllOnesWhere(Mask where)
    {
        if constexpr (kWide)
            return _mm512_maskz_mov_epi64(where, _mm512_set1_epi64(-1));
        else
            return _mm512_maskz_mov_epi32(where, _mm512_set1_epi32(-1));
    }
    BLAKE2_LANE_STEP static void Store(Word* words, Mask keep, __m512i v)
    {
        if constexpr (kWide)
            _mm512_mask_store_epi64(words, keep, v);
        else
            _mm512_mask_store_epi32(words, keep, v);
    }
};

BLAKE2_LANE_STEP __m512i Xor3(__m512i x, __m512i y, __m512i z)
{
    return _mm512_ternarylogic_epi64(x, y, z, 0x96);
}

// Half of G on four columns (or diagonals) of every lane, step by step
// across them: a = a + b + x, d = (d ^ a) >>> p, c = c + d, b = (b ^ c) >>> q.
template <class Ops, int p, int q>
BLAKE2_LANE_STEP void HalfG(__m512i (&v)[16], const int (&i)[4][4], const __m512i* x, const int (&word)[4])
{
#pragma GCC unroll 4
    for (int k = 0; k < 4; ++k)
        v[i[k][0]] = Ops::Add(Ops::Add(v[i[k][0]], x[word[k]]), v[i[k][1]]);
#pragma GCC unroll 4
    for (int k = 0; k < 4; ++k)
        v[i[k][3]] = Ops::template Ror<p>(_mm512_xor_si512(v[i[k][3]], v[i[k][0]]));
#pragma GCC unroll 4
    for (int k = 0; k < 4; ++k)
        v[i[k][2]] = Ops::Add(v[i[k][2]], v[i[k][3]]);
#pragma GCC unroll 4
    for (int k = 0; k < 4; ++k)
        v[i[k][1]] = Ops::template Ror<q>(_mm512_xor_si512(v[i[k][1]], v[i[k][2]]));
}

template <class Ops, int r>
BLAKE2_LANE_STEP void LaneRound(__m512i (&v)[16], const __m512i* x)
{
    constexpr const std::uint8_t* s = kBlake2Sigma[r % 10];
    static constexpr int kColumns[4][4] = {{0, 4, 8, 12}, {1, 5, 9, 13}, {2, 6, 10, 14}, {3, 7, 11, 15}};
    static constexpr int kDiagonals[4][4] = {{0, 5, 10, 15}, {1, 6, 11, 12}, {2, 7, 8, 13}, {3, 4, 9, 14}};
    HalfG<Ops, Ops::kR1, Ops::kR2>(v, kColumns, x, {s[0], s[2], s[4], s[6]});
    HalfG<Ops, Ops::kR3, Ops::kR4>(v, kColumns, x, {s[1], s[3], s[5], s[7]});
    HalfG<Ops, Ops::kR1, Ops::kR2>(v, kDiagonals, x, {s[8], s[10], s[12], s[14]});
    HalfG<Ops, Ops::kR3, Ops::kR4>(v, kDiagonals, x, {s[9], s[11], s[13], s[15]});
}

template <class Ops, int... r>
BLAKE2_LANE_STEP void LaneRounds(__m512i (&v)[16], const __m512i* x, std::integer_sequence<int, r...>)
{
    (LaneRound<Ops, r>(v, x), ...);
}

// The lane routine of blake2.h. Lanes left out read one block of zeros
// over and over; their results are never stored.
template <class Word>
BLAKE2_LANE_STEP void RunBlake2Lanes(Blake2LaneStates<Word>& states, const std::uint8_t* const* blocks,
                                     LaneMask active, std::size_t count, LaneMask last, const std::uint32_t* lastBytes,
                                     const Word* iv)
{
    using Ops = Blake2LaneOps<Word>;
    using Lanes = Avx512Lanes<Word>;
    constexpr int kLanes = Ops::kLanes;
    constexpr std::size_t kBlock = Ops::kBlock;
    active &= (LaneMask{1} << kLanes) - 1;
    last &= active;
    if (active == 0 || count == 0)
        return;
    alignas(64) static const std::uint8_t kIdle[kBlock] = {};
    const std::uint8_t* p[kLanes];
    std::size_t stride[kLanes];
    alignas(64) Word increment[kLanes];
    for (int l = 0; l < kLanes; ++l) {
        const bool on = (active >> l) & 1;
        p[l] = on ? blocks[l] : kIdle;
        stride[l] = on ? kBlock : 0;
        increment[l] = static_cast<Word>(((last >> l) & 1) ? lastBytes[l] : kBlock);
    }
    const auto keep = static_cast<typename Ops::Mask>(active);
    const __m512i step = _mm512_load_si512(increment);
    const __m512i flag = Ops::AllOnesWhere(static_cast<typename Ops::Mask>(last));
    const __m512i one = Ops::Set1(1);

    __m512i h[8];
#pragma GCC unroll 8
    for (int i = 0; i < 8; ++i)
        h[i] = _mm512_load_si512(states.h[i]);
    __m512i t0 = _mm512_load_si512(states.t[0]), t1 = _mm512_load_si512(states.t[1]);
    for (; count > 0; --count) {
        __m512i x[16];
        Lanes::template LoadTransposed<false>(p, x);
        for (int l = 0; l < kLanes; ++l)
            p[l] += stride[l];
        t0 = Ops::Add(t0, step);
        t1 = Ops::AddWhere(t1, Ops::Below(t0, step), one);
        __m512i v[16] = {h[0],
                         h[1],
                         h[2],
                         h[3],
                         h[4],
                         h[5],
                         h[6],
                         h[7],
                         Ops::Set1(iv[0]),
                         Ops::Set1(iv[1]),
                         Ops::Set1(iv[2]),
                         Ops::Set1(iv[3]),
                         _mm512_xor_si512(Ops::Set1(iv[4]), t0),
                         _mm512_xor_si512(Ops::Set1(iv[5]), t1),
                         _mm512_xor_si512(Ops::Set1(iv[6]), flag),
                         Ops::Set1(iv[7])};
        LaneRounds<Ops>(v, x, std::make_integer_sequence<int, Ops::kRounds>());
#pragma GCC unroll 8
        for (int i = 0; i < 8; ++i)
            h[i] = Xor3(h[i], v[i], v[i + 8]);
    }
#pragma GCC unroll 8
    for (int i = 0; i < 8; ++i)
        Ops::Store(states.h[i], keep, h[i]);
    Ops::Store(states.t[0], keep, t0);
    Ops::Store(states.t[1], keep, t1);
}

}  // namespace
}  // namespace engine
