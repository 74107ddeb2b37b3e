// Eight SHA-1 messages side by side, one in each 32-bit lane of the AVX2
// registers. Built with -mavx2 and called only where the CPU and the
// operating system support it (digest_paths.cpp); it includes nothing that
// could bring a shared inline function into this file. The loads,
// transposes and the frame around the rounds are lanes_avx2.h's.
#include "engine/digest_paths.h"

#if defined(VELLUMARK_ENGINE_X86)

#include "engine/lanes_avx2.h"

namespace engine {
namespace {

enum class Round { Ch, Parity, Maj };

template <int kShift>
LANE_STEP __m256i Rotl(__m256i v)
{
    return _mm256_or_si256(_mm256_slli_epi32(v, kShift), _mm256_srli_epi32(v, 32 - kShift));
}

// W as a ring of sixteen registers: W[t] overwrites W[t-16].
template <int t>
LANE_STEP __m256i Word(__m256i* w)
{
    if constexpr (t < 16) {
        return w[t];
    } else {
        const __m256i x = _mm256_xor_si256(_mm256_xor_si256(w[(t - 3) & 15], w[(t - 8) & 15]),
                                           _mm256_xor_si256(w[(t - 14) & 15], w[t & 15]));
        w[t & 15] = Rotl<1>(x);
        return w[t & 15];
    }
}

template <Round kRound>
LANE_STEP __m256i Function(__m256i b, __m256i c, __m256i d)
{
    if constexpr (kRound == Round::Ch)
        return _mm256_xor_si256(d, _mm256_and_si256(b, _mm256_xor_si256(c, d)));
    else if constexpr (kRound == Round::Parity)
        return _mm256_xor_si256(_mm256_xor_si256(c, d), b);
    else
        return _mm256_or_si256(_mm256_and_si256(c, d), _mm256_and_si256(b, _mm256_or_si256(c, d)));
}

// One round with the words renamed by the caller instead of shifted.
template <int t, Round kRound, std::uint32_t kK>
LANE_STEP void Step(__m256i a, __m256i& b, __m256i c, __m256i d, __m256i& e, __m256i* w)
{
    e = _mm256_add_epi32(e, _mm256_add_epi32(Word<t>(w), _mm256_set1_epi32(static_cast<int>(kK))));
    e = _mm256_add_epi32(e, Function<kRound>(b, c, d));
    e = _mm256_add_epi32(e, Rotl<5>(a));
    b = Rotl<30>(b);
}

template <int t, Round kRound, std::uint32_t kK>
LANE_STEP void FiveSteps(__m256i& a, __m256i& b, __m256i& c, __m256i& d, __m256i& e, __m256i* w)
{
    Step<t, kRound, kK>(a, b, c, d, e, w);
    Step<t + 1, kRound, kK>(e, a, b, c, d, w);
    Step<t + 2, kRound, kK>(d, e, a, b, c, w);
    Step<t + 3, kRound, kK>(c, d, e, a, b, w);
    Step<t + 4, kRound, kK>(b, c, d, e, a, w);
}

// One block's 80 steps, its words read big-endian.
struct Sha1 {
    static constexpr bool kBigEndian = true;

    LANE_STEP static void Rounds(__m256i (&v)[5], __m256i* w)
    {
        auto& [a, b, c, d, e] = v;
        constexpr std::uint32_t k1 = 0x5A827999, k2 = 0x6ED9EBA1, k3 = 0x8F1BBCDC, k4 = 0xCA62C1D6;
        FiveSteps<0, Round::Ch, k1>(a, b, c, d, e, w);
        FiveSteps<5, Round::Ch, k1>(a, b, c, d, e, w);
        FiveSteps<10, Round::Ch, k1>(a, b, c, d, e, w);
        FiveSteps<15, Round::Ch, k1>(a, b, c, d, e, w);
        FiveSteps<20, Round::Parity, k2>(a, b, c, d, e, w);
        FiveSteps<25, Round::Parity, k2>(a, b, c, d, e, w);
        FiveSteps<30, Round::Parity, k2>(a, b, c, d, e, w);
        FiveSteps<35, Round::Parity, k2>(a, b, c, d, e, w);
        FiveSteps<40, Round::Maj, k3>(a, b, c, d, e, w);
        FiveSteps<45, Round::Maj, k3>(a, b, c, d, e, w);
        FiveSteps<50, Round::Maj, k3>(a, b, c, d, e, w);
        FiveSteps<55, Round::Maj, k3>(a, b, c, d, e, w);
        FiveSteps<60, Round::Parity, k4>(a, b, c, d, e, w);
        FiveSteps<65, Round::Parity, k4>(a, b, c, d, e, w);
        FiveSteps<70, Round::Parity, k4>(a, b, c, d, e, w);
        FiveSteps<75, Round::Parity, k4>(a, b, c, d, e, w);
    }
};

}  // namespace

void Sha1LanesAvx2(Sha1LaneStates& states, const std::uint8_t* const* blocks, LaneMask active, std::size_t count)
{
    RunLanes<Avx2Lanes, Sha1>(states, blocks, active, count);
}

}  // namespace engine

#endif
