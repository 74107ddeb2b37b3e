// Sixteen SHA-256 messages side by side, one in each 32-bit lane of the
// AVX-512 registers. Built with -mavx512f -mavx512bw -mavx2 and called only
// where the CPU and the operating system support them (digest_paths.cpp);
// it includes nothing that could bring a shared inline function into this
// file. The loads, transposes and the frame around the rounds are
// lanes_avx512.h's.
#include "engine/digest_paths.h"

#if defined(VELLUMARK_ENGINE_X86)

#include "engine/lanes_avx512.h"

namespace engine {
namespace {

LANE_STEP __m512i Xor3(__m512i x, __m512i y, __m512i z)
{
    return _mm512_ternarylogic_epi32(x, y, z, 0x96);
}

// W as a ring of sixteen registers, as in the portable routine: W[t]
// overwrites W[t-16]. Returns W[t] + K[t].
template <int t>
LANE_STEP __m512i WordWithConstant(__m512i* w)
{
    if constexpr (t >= 16) {
        const __m512i w2 = w[(t - 2) & 15], w15 = w[(t - 15) & 15];
        const __m512i sigma1 = Xor3(_mm512_ror_epi32(w2, 17), _mm512_ror_epi32(w2, 19), _mm512_srli_epi32(w2, 10));
        const __m512i sigma0 = Xor3(_mm512_ror_epi32(w15, 7), _mm512_ror_epi32(w15, 18), _mm512_srli_epi32(w15, 3));
        w[t & 15] = _mm512_add_epi32(_mm512_add_epi32(sigma1, w[(t - 7) & 15]), _mm512_add_epi32(sigma0, w[t & 15]));
    }
    return _mm512_add_epi32(w[t & 15], _mm512_set1_epi32(static_cast<int>(kSha256RoundConstants[t])));
}

// One round. The word that leaves (h) becomes the new a and d takes the new
// e, so the callers rename the eight words instead of shifting them.
template <int t>
LANE_STEP void Step(__m512i a, __m512i b, __m512i c, __m512i& d, __m512i e, __m512i f, __m512i g, __m512i& h,
                    __m512i* w)
{
    const __m512i sum1 = Xor3(_mm512_ror_epi32(e, 6), _mm512_ror_epi32(e, 11), _mm512_ror_epi32(e, 25));
    const __m512i ch = _mm512_ternarylogic_epi32(e, f, g, 0xCA);
    const __m512i t1 = _mm512_add_epi32(_mm512_add_epi32(h, WordWithConstant<t>(w)), _mm512_add_epi32(sum1, ch));
    const __m512i sum0 = Xor3(_mm512_ror_epi32(a, 2), _mm512_ror_epi32(a, 13), _mm512_ror_epi32(a, 22));
    const __m512i maj = _mm512_ternarylogic_epi32(a, b, c, 0xE8);
    d = _mm512_add_epi32(d, t1);
    h = _mm512_add_epi32(t1, _mm512_add_epi32(sum0, maj));
}

// Eight rounds, after which every word is back under its own name.
template <int t>
LANE_STEP void EightSteps(__m512i& a, __m512i& b, __m512i& c, __m512i& d, __m512i& e, __m512i& f, __m512i& g,
                          __m512i& h, __m512i* w)
{
    Step<t>(a, b, c, d, e, f, g, h, w);
    Step<t + 1>(h, a, b, c, d, e, f, g, w);
    Step<t + 2>(g, h, a, b, c, d, e, f, w);
    Step<t + 3>(f, g, h, a, b, c, d, e, w);
    Step<t + 4>(e, f, g, h, a, b, c, d, w);
    Step<t + 5>(d, e, f, g, h, a, b, c, w);
    Step<t + 6>(c, d, e, f, g, h, a, b, w);
    Step<t + 7>(b, c, d, e, f, g, h, a, w);
}

// One block's 64 rounds, its words read big-endian.
struct Sha256 {
    static constexpr bool kBigEndian = true;

    LANE_STEP static void Rounds(__m512i (&v)[8], __m512i* w)
    {
        auto& [a, b, c, d, e, f, g, h] = v;
        EightSteps<0>(a, b, c, d, e, f, g, h, w);
        EightSteps<8>(a, b, c, d, e, f, g, h, w);
        EightSteps<16>(a, b, c, d, e, f, g, h, w);
        EightSteps<24>(a, b, c, d, e, f, g, h, w);
        EightSteps<32>(a, b, c, d, e, f, g, h, w);
        EightSteps<40>(a, b, c, d, e, f, g, h, w);
        EightSteps<48>(a, b, c, d, e, f, g, h, w);
        EightSteps<56>(a, b, c, d, e, f, g, h, w);
    }
};

}  // namespace

void Sha256LanesAvx512(Sha256LaneStates& states, const std::uint8_t* const* blocks, LaneMask active, std::size_t count)
{
    RunLanes<Avx512Lanes<std::uint32_t>, Sha256>(states, blocks, active, count);
}

}  // namespace engine

#endif
