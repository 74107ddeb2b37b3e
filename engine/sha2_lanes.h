#pragma once

// SHA-256's and SHA-512's rounds in lanes, written once over the word width
// (Sha256Words, Sha512Words in digest_paths.h) and the vector width: for
// sha256_lanes_avx512.cpp and sha512_lanes_avx512.cpp alone, which run them
// in lane_frame.h's frame with their own width (lanes_avx512.h). All of it
// is in an unnamed namespace, so each of those files compiles a copy of its
// own with its own instruction set (see digest_paths.h).
//
// Besides what lane_frame.h asks of it, a width supplies, on its words:
//   Set1(word)              the word in every lane;
//   Ror<kShift>(v), Shr<kShift>(v)
//                           a right rotation and a right shift;
//   Xor3(x, y, z)           x ^ y ^ z;
//   Logic<kTable>(b, c, d)  the function of (b, c, d) whose truth table
//                           over (0xF0, 0xCC, 0xAA) is kTable.

#include "engine/lane_frame.h"

namespace engine {
namespace {

// One block's rounds, its words read big-endian.
template <class Width, class Words>
struct Sha2LaneRounds {
    using Vector = typename Width::Vector;
    static constexpr bool kBigEndian = true;

    // ROTR r[0] ^ ROTR r[1] ^ ROTR r[2]: Sigma0 and Sigma1 of the rounds.
    template <const int (&r)[3]>
    LANE_STEP static Vector BigSigma(Vector x)
    {
        return Width::Xor3(Width::template Ror<r[0]>(x), Width::template Ror<r[1]>(x), Width::template Ror<r[2]>(x));
    }

    // ROTR r[0] ^ ROTR r[1] ^ SHR r[2]: sigma0 and sigma1 of the schedule.
    template <const int (&r)[3]>
    LANE_STEP static Vector SmallSigma(Vector x)
    {
        return Width::Xor3(Width::template Ror<r[0]>(x), Width::template Ror<r[1]>(x), Width::template Shr<r[2]>(x));
    }

    // W as a ring of sixteen registers, as in the portable routine: W[t]
    // overwrites W[t-16]. Returns W[t] + K[t].
    template <int t>
    LANE_STEP static Vector WordWithConstant(Vector* w)
    {
        if constexpr (t >= 16) {
            const Vector w2 = w[(t - 2) & 15], w15 = w[(t - 15) & 15];
            const Vector sigma1 = SmallSigma<Words::kSmallSigma1>(w2);
            const Vector sigma0 = SmallSigma<Words::kSmallSigma0>(w15);
            w[t & 15] = Width::Add(Width::Add(sigma1, w[(t - 7) & 15]), Width::Add(sigma0, w[t & 15]));
        }
        return Width::Add(w[t & 15], Width::Set1(Words::kConstants[t]));
    }

    // One round. The word that leaves (h) becomes the new a and d takes the
    // new e, so the callers rename the eight words instead of shifting them.
    template <int t>
    LANE_STEP static void Step(Vector a, Vector b, Vector c, Vector& d, Vector e, Vector f, Vector g, Vector& h,
                               Vector* w)
    {
        const Vector sum1 = BigSigma<Words::kBigSigma1>(e);
        const Vector ch = Width::template Logic<0xCA>(e, f, g);  // (e & f) | (~e & g)
        const Vector t1 = Width::Add(Width::Add(h, WordWithConstant<t>(w)), Width::Add(sum1, ch));
        const Vector sum0 = BigSigma<Words::kBigSigma0>(a);
        const Vector maj = Width::template Logic<0xE8>(a, b, c);  // (a & b) | (a & c) | (b & c)
        d = Width::Add(d, t1);
        h = Width::Add(t1, Width::Add(sum0, maj));
    }

    // Eight rounds from round t on, after which every word is back under its
    // own name, then the rounds after them.
    template <int t = 0>
    LANE_STEP static void StepsFrom(Vector& a, Vector& b, Vector& c, Vector& d, Vector& e, Vector& f, Vector& g,
                                    Vector& h, Vector* w)
    {
        if constexpr (t < Words::kRounds) {
            Step<t>(a, b, c, d, e, f, g, h, w);
            Step<t + 1>(h, a, b, c, d, e, f, g, w);
            Step<t + 2>(g, h, a, b, c, d, e, f, w);
            Step<t + 3>(f, g, h, a, b, c, d, e, w);
            Step<t + 4>(e, f, g, h, a, b, c, d, w);
            Step<t + 5>(d, e, f, g, h, a, b, c, w);
            Step<t + 6>(c, d, e, f, g, h, a, b, w);
            Step<t + 7>(b, c, d, e, f, g, h, a, w);
            StepsFrom<t + 8>(a, b, c, d, e, f, g, h, w);
        }
    }

    LANE_STEP static void Rounds(Vector (&v)[8], Vector* w)
    {
        auto& [a, b, c, d, e, f, g, h] = v;
        StepsFrom(a, b, c, d, e, f, g, h, w);
    }
};

}  // namespace
}  // namespace engine
