#pragma once

// SHA-1's rounds in lanes, written once over the vector width: for
// sha1_lanes_avx2.cpp and sha1_lanes_avx512.cpp alone, which run them in
// lane_frame.h's frame with their own width (lanes_avx2.h, lanes_avx512.h).
// All of it is in an unnamed namespace, so each of those files compiles a
// copy of its own with its own instruction set (see digest_paths.h).
//
// Besides what lane_frame.h asks of it, a width supplies, on 32-bit words:
//   Set1(word)             the word in every lane;
//   Rotl<kShift>(v)        a left rotation;
//   Xor4(w, x, y, z)       w ^ x ^ y ^ z;
//   Logic<kTable>(b, c, d) the function of (b, c, d) whose truth table over
//                          (0xF0, 0xCC, 0xAA) is kTable.

#include "engine/lane_frame.h"

namespace engine {
namespace {

// One block's 80 steps, its words read big-endian.
template <class Width>
struct Sha1LaneRounds {
    using Vector = typename Width::Vector;
    static constexpr bool kBigEndian = true;

    // The round functions' truth tables.
    static constexpr int kCh = 0xCA;      // (b & c) | (~b & d)
    static constexpr int kParity = 0x96;  // b ^ c ^ d
    static constexpr int kMaj = 0xE8;     // (b & c) | (b & d) | (c & d)

    // W as a ring of sixteen registers: W[t] overwrites W[t-16].
    template <int t>
    LANE_STEP static Vector Word(Vector* w)
    {
        if constexpr (t >= 16)
            w[t & 15] = Width::template Rotl<1>(Width::Xor4(w[(t - 3) & 15], w[(t - 8) & 15], w[(t - 14) & 15], w[t & 15]));
        return w[t & 15];
    }

    // One round with the words renamed by the caller instead of shifted.
    template <int t, int kFunction, std::uint32_t kK>
    LANE_STEP static void Step(Vector a, Vector& b, Vector c, Vector d, Vector& e, Vector* w)
    {
        e = Width::Add(e, Width::Add(Word<t>(w), Width::Set1(kK)));
        e = Width::Add(e, Width::template Logic<kFunction>(b, c, d));
        e = Width::Add(e, Width::template Rotl<5>(a));
        b = Width::template Rotl<30>(b);
    }

    template <int t, int kFunction, std::uint32_t kK>
    LANE_STEP static void FiveSteps(Vector& a, Vector& b, Vector& c, Vector& d, Vector& e, Vector* w)
    {
        Step<t, kFunction, kK>(a, b, c, d, e, w);
        Step<t + 1, kFunction, kK>(e, a, b, c, d, w);
        Step<t + 2, kFunction, kK>(d, e, a, b, c, w);
        Step<t + 3, kFunction, kK>(c, d, e, a, b, w);
        Step<t + 4, kFunction, kK>(b, c, d, e, a, w);
    }

    LANE_STEP static void Rounds(Vector (&v)[5], Vector* w)
    {
        auto& [a, b, c, d, e] = v;
        constexpr std::uint32_t k1 = 0x5A827999, k2 = 0x6ED9EBA1, k3 = 0x8F1BBCDC, k4 = 0xCA62C1D6;
        FiveSteps<0, kCh, k1>(a, b, c, d, e, w);
        FiveSteps<5, kCh, k1>(a, b, c, d, e, w);
        FiveSteps<10, kCh, k1>(a, b, c, d, e, w);
        FiveSteps<15, kCh, k1>(a, b, c, d, e, w);
        FiveSteps<20, kParity, k2>(a, b, c, d, e, w);
        FiveSteps<25, kParity, k2>(a, b, c, d, e, w);
        FiveSteps<30, kParity, k2>(a, b, c, d, e, w);
        FiveSteps<35, kParity, k2>(a, b, c, d, e, w);
        FiveSteps<40, kMaj, k3>(a, b, c, d, e, w);
        FiveSteps<45, kMaj, k3>(a, b, c, d, e, w);
        FiveSteps<50, kMaj, k3>(a, b, c, d, e, w);
        FiveSteps<55, kMaj, k3>(a, b, c, d, e, w);
        FiveSteps<60, kParity, k4>(a, b, c, d, e, w);
        FiveSteps<65, kParity, k4>(a, b, c, d, e, w);
        FiveSteps<70, kParity, k4>(a, b, c, d, e, w);
        FiveSteps<75, kParity, k4>(a, b, c, d, e, w);
    }
};

}  // namespace
}  // namespace engine
