#pragma once

// BLAKE2's block function with one row of the 4 x 4 working vector per
// register, the frame shared by blake2b_avx2.cpp, blake2b_avx512.cpp,
// blake2s_avx2.cpp and blake2s_avx512.cpp, each of which supplies its
// instruction set's operations. For those files alone: all of it is in an
// unnamed namespace, so each compiles a copy of its own (see digest_paths.h).
//
// Rows a = v0..v3, b = v4..v7, c = v8..v11, d = v12..v15, lane k of each
// holding its k-th word: the four column steps of a round run as one G on
// the four lanes. For the diagonal steps, G(v0, v5, v10, v15) and the
// others, the rows are turned so that each lane holds one diagonal. Which
// lane holds which is free, and b stays in place: b is the last word G
// computes, so a turn of b would lengthen the chain of dependent
// instructions that bounds one message's speed, while a, c and d, finished
// earlier in G, are turned while b is still being computed. So lane k holds
// the diagonal through b's word k, that of G number (k + 3) % 4: a's word
// k - 1, c's k + 1, d's k + 2; the message words are taken in that order.
//
// The operations a file supplies, as static members of Ops:
//   Row, Word                     its register and the state's word;
//   kBlock                        the block size;
//   Message Load(p)               a block as the gathering below wants it;
//   Row Gather<r, j>(message)     round r's message words for its j-th G
//                                 input (see MessageWord), lane k in lane k;
//   Row LoadRow(words), void StoreRow(words, row), Row CounterRow(t0, t1, f)
//                                 four words, and (t0, t1, f, 0);
//   Add, Xor, Xor3, Ror<n>, Turn<imm>
//                                 lane-wise arithmetic; Turn moves lane
//                                 (imm >> 2k) & 3 to lane k.

#include <cstddef>
#include <cstdint>
#include <utility>

#include "engine/blake2.h"

#define BLAKE2_ROW_STEP [[gnu::always_inline]] inline

namespace engine {
namespace {

// The message word that lane k takes in round r for input j of G: j = 0
// and 1 are the column steps' two words, 2 and 3 the diagonal steps', the
// diagonal of G number (k + 3) % 4 in lane k.
constexpr int MessageWord(int r, int j, int k)
{
    const std::uint8_t* s = kBlake2Sigma[r % 10];
    return j < 2 ? s[2 * k + j] : s[8 + 2 * ((k + 3) % 4) + (j - 2)];
}

// Lane k takes lane k - 1, k + 1, k + 2 of the row.
constexpr int kFromBelow = 0x93;
constexpr int kFromAbove = 0x39;
constexpr int kAcross = 0x4E;

// Half of G: a = a + b + m, d = (d ^ a) >>> p, c = c + d, b = (b ^ c) >>> q.
// The message word goes into a first: it does not wait for b.
template <class Ops, int p, int q>
BLAKE2_ROW_STEP void HalfG(typename Ops::Row& a, typename Ops::Row& b, typename Ops::Row& c, typename Ops::Row& d,
                           typename Ops::Row m)
{
    a = Ops::Add(Ops::Add(a, m), b);
    d = Ops::template Ror<p>(Ops::Xor(d, a));
    c = Ops::Add(c, d);
    b = Ops::template Ror<q>(Ops::Xor(b, c));
}

template <class Ops, int r>
BLAKE2_ROW_STEP void Round(typename Ops::Row& a, typename Ops::Row& b, typename Ops::Row& c, typename Ops::Row& d,
                           const typename Ops::Message& message)
{
    HalfG<Ops, Ops::kR1, Ops::kR2>(a, b, c, d, Ops::template Gather<r, 0>(message));
    HalfG<Ops, Ops::kR3, Ops::kR4>(a, b, c, d, Ops::template Gather<r, 1>(message));
    a = Ops::template Turn<kFromBelow>(a);
    c = Ops::template Turn<kFromAbove>(c);
    d = Ops::template Turn<kAcross>(d);
    HalfG<Ops, Ops::kR1, Ops::kR2>(a, b, c, d, Ops::template Gather<r, 2>(message));
    HalfG<Ops, Ops::kR3, Ops::kR4>(a, b, c, d, Ops::template Gather<r, 3>(message));
    a = Ops::template Turn<kFromAbove>(a);
    c = Ops::template Turn<kFromBelow>(c);
    d = Ops::template Turn<kAcross>(d);
}

template <class Ops, int... r>
BLAKE2_ROW_STEP void Rounds(typename Ops::Row& a, typename Ops::Row& b, typename Ops::Row& c, typename Ops::Row& d,
                            const typename Ops::Message& message, std::integer_sequence<int, r...>)
{
    (Round<Ops, r>(a, b, c, d, message), ...);
}

// The block routine of blake2.h, the chain's two rows kept in registers
// from one block to the next.
template <class Ops, class Chain>
BLAKE2_ROW_STEP void CompressRows(Chain& chain, const std::uint8_t* blocks, std::size_t count, std::uint32_t bytes,
                                  bool final)
{
    using Word = typename Ops::Word;
    using Row = typename Ops::Row;
    const Word* const iv = Ops::kIv;
    Row h0 = Ops::LoadRow(chain.h), h1 = Ops::LoadRow(chain.h + 4);
    const Row iv0 = Ops::LoadRow(iv), iv1 = Ops::LoadRow(iv + 4);
    Word t0 = chain.t[0], t1 = chain.t[1];
    const Word flag = final ? ~Word{0} : Word{0};
    for (; count > 0; --count, blocks += Ops::kBlock) {
        t0 += bytes;
        t1 += t0 < bytes;
        const typename Ops::Message message = Ops::Load(blocks);
        Row a = h0, b = h1, c = iv0, d = Ops::Xor(iv1, Ops::CounterRow(t0, t1, flag));
        Rounds<Ops>(a, b, c, d, message, std::make_integer_sequence<int, Ops::kRounds>());
        h0 = Ops::Xor3(h0, a, c);
        h1 = Ops::Xor3(h1, b, d);
    }
    Ops::StoreRow(chain.h, h0);
    Ops::StoreRow(chain.h + 4, h1);
    chain.t[0] = t0;
    chain.t[1] = t1;
}

}  // namespace
}  // namespace engine
