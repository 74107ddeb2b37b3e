#pragma once

// BLAKE2's block function with one message per lane of the vector
// registers, whatever their width: the frame and rounds of the lane files
// (blake2b_lanes_avx512.cpp, blake2s_lanes_avx512.cpp, blake2b_lanes_avx2.cpp,
// blake2s_lanes_avx2.cpp), each of which supplies its width through
// blake2_lanes_avx512.h or blake2_lanes_avx2.h. For those files alone: all
// of it is in an unnamed namespace, so each compiles a copy of its own (see
// digest_paths.h).
//
// Each register holds one word of the working vector for every lane, so G
// is scalar code written with vector instructions. Its steps wait for each
// other, and vector instructions here take two cycles to give their
// results: the four G of a column (or diagonal) step are interleaved step
// by step, four independent chains side by side.
//
// A width supplies, as static members:
//   Vector, Word, kLanes       its register, the word, how many lanes;
//   Load(words), Store(words, v)
//                              kLanes words, aligned, to and from a register;
//   Add, Sub, Xor, Xor3, Ror<n>, Set1
//                              lane by lane in the word's size;
//   Below(x, y)                all ones in the lanes where x < y, unsigned;
//   LoadTransposed(p, x)       one block of every lane into sixteen
//                              registers, x[i] word i of every lane.

#include <cstddef>
#include <cstdint>
#include <utility>

#include "engine/blake2.h"

#define BLAKE2_LANE_STEP [[gnu::always_inline]] inline

namespace engine {
namespace {

// Half of G on four columns (or diagonals) of every lane, step by step
// across them: a = a + b + x, d = (d ^ a) >>> p, c = c + d, b = (b ^ c) >>> q.
template <class W, int p, int q>
BLAKE2_LANE_STEP void HalfG(typename W::Vector (&v)[16], const int (&i)[4][4], const typename W::Vector* x,
                            const int (&word)[4])
{
#pragma GCC unroll 4
    for (int k = 0; k < 4; ++k)
        v[i[k][0]] = W::Add(W::Add(v[i[k][0]], x[word[k]]), v[i[k][1]]);
#pragma GCC unroll 4
    for (int k = 0; k < 4; ++k)
        v[i[k][3]] = W::template Ror<p>(W::Xor(v[i[k][3]], v[i[k][0]]));
#pragma GCC unroll 4
    for (int k = 0; k < 4; ++k)
        v[i[k][2]] = W::Add(v[i[k][2]], v[i[k][3]]);
#pragma GCC unroll 4
    for (int k = 0; k < 4; ++k)
        v[i[k][1]] = W::template Ror<q>(W::Xor(v[i[k][1]], v[i[k][2]]));
}

// The rotation counts of G: BLAKE2b's and BLAKE2s's.
template <class Word>
struct Rotations {
    static constexpr bool kWide = sizeof(Word) == 8;
    static constexpr int kR1 = kWide ? 32 : 16, kR2 = kWide ? 24 : 12, kR3 = kWide ? 16 : 8, kR4 = kWide ? 63 : 7;
    static constexpr int kRounds = kWide ? 12 : 10;
};

template <class W, int r>
BLAKE2_LANE_STEP void LaneRound(typename W::Vector (&v)[16], const typename W::Vector* x)
{
    using R = Rotations<typename W::Word>;
    constexpr const std::uint8_t* s = kBlake2Sigma[r % 10];
    static constexpr int kColumns[4][4] = {{0, 4, 8, 12}, {1, 5, 9, 13}, {2, 6, 10, 14}, {3, 7, 11, 15}};
    static constexpr int kDiagonals[4][4] = {{0, 5, 10, 15}, {1, 6, 11, 12}, {2, 7, 8, 13}, {3, 4, 9, 14}};
    HalfG<W, R::kR1, R::kR2>(v, kColumns, x, {s[0], s[2], s[4], s[6]});
    HalfG<W, R::kR3, R::kR4>(v, kColumns, x, {s[1], s[3], s[5], s[7]});
    HalfG<W, R::kR1, R::kR2>(v, kDiagonals, x, {s[8], s[10], s[12], s[14]});
    HalfG<W, R::kR3, R::kR4>(v, kDiagonals, x, {s[9], s[11], s[13], s[15]});
}

template <class W, int... r>
BLAKE2_LANE_STEP void LaneRounds(typename W::Vector (&v)[16], const typename W::Vector* x,
                                 std::integer_sequence<int, r...>)
{
    (LaneRound<W, r>(v, x), ...);
}

// The lane routine of blake2.h. Lanes left out read one block of zeros
// over and over; their results are never stored.
template <class W>
BLAKE2_LANE_STEP void RunBlake2Lanes(Blake2LaneStates<typename W::Word>& states, const std::uint8_t* const* blocks,
                                     LaneMask active, std::size_t count, LaneMask last, const std::uint32_t* lastBytes,
                                     const typename W::Word* iv)
{
    using Word = typename W::Word;
    using Vector = typename W::Vector;
    constexpr int kLanes = W::kLanes;
    constexpr std::size_t kBlock = 16 * sizeof(Word);
    active &= (LaneMask{1} << kLanes) - 1;
    last &= active;
    if (active == 0 || count == 0)
        return;
    alignas(64) static const std::uint8_t kIdle[kBlock] = {};
    const std::uint8_t* p[kLanes];
    std::size_t stride[kLanes];
    alignas(64) Word increment[kLanes];
    alignas(64) Word flag[kLanes];
    for (int l = 0; l < kLanes; ++l) {
        const bool on = (active >> l) & 1, final = (last >> l) & 1;
        p[l] = on ? blocks[l] : kIdle;
        stride[l] = on ? kBlock : 0;
        increment[l] = static_cast<Word>(final ? lastBytes[l] : kBlock);
        flag[l] = final ? ~Word{0} : Word{0};
    }
    const Vector step = W::Load(increment);
    const Vector flags = W::Load(flag);

    Vector h[8];
#pragma GCC unroll 8
    for (int i = 0; i < 8; ++i)
        h[i] = W::Load(states.h[i]);
    Vector t0 = W::Load(states.t[0]), t1 = W::Load(states.t[1]);
    for (; count > 0; --count) {
        Vector x[16];
        W::LoadTransposed(p, x);
        for (int l = 0; l < kLanes; ++l)
            p[l] += stride[l];
        t0 = W::Add(t0, step);
        t1 = W::Sub(t1, W::Below(t0, step));  // the carry, as all ones
        // The working vector: the chains, then the IV with the counts and the flags.
        Vector v[16];
#pragma GCC unroll 8
        for (int i = 0; i < 8; ++i) {
            v[i] = h[i];
            v[i + 8] = W::Set1(iv[i]);
        }
        v[12] = W::Xor(v[12], t0);
        v[13] = W::Xor(v[13], t1);
        v[14] = W::Xor(v[14], flags);
        LaneRounds<W>(v, x, std::make_integer_sequence<int, Rotations<Word>::kRounds>());
#pragma GCC unroll 8
        for (int i = 0; i < 8; ++i)
            h[i] = W::Xor3(h[i], v[i], v[i + 8]);
    }
    // Only the lanes that ran are written back.
    alignas(64) Word out[10][kLanes];
#pragma GCC unroll 8
    for (int i = 0; i < 8; ++i)
        W::Store(out[i], h[i]);
    W::Store(out[8], t0);
    W::Store(out[9], t1);
    for (int l = 0; l < kLanes; ++l) {
        if (((active >> l) & 1) == 0)
            continue;
        for (int i = 0; i < 8; ++i)
            states.h[i][l] = out[i][l];
        states.t[0][l] = out[8][l];
        states.t[1][l] = out[9][l];
    }
}

}  // namespace
}  // namespace engine
