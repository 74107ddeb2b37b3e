// Sixteen SHA-1 messages side by side, one in each 32-bit lane of the
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

// The round functions as VPTERNLOGD truth tables over (b, c, d).
constexpr int kCh = 0xCA;      // (b & c) | (~b & d)
constexpr int kParity = 0x96;  // b ^ c ^ d
constexpr int kMaj = 0xE8;     // (b & c) | (b & d) | (c & d)

// W as a ring of sixteen registers: W[t] overwrites W[t-16].
template <int t>
LANE_STEP __m512i Word(__m512i* w)
{
    if constexpr (t < 16) {
        return w[t];
    } else {
        const __m512i x = _mm512_ternarylogic_epi32(w[(t - 3) & 15], w[(t - 8) & 15], w[(t - 14) & 15], 0x96);
        w[t & 15] = _mm512_rol_epi32(_mm512_xor_si512(x, w[t & 15]), 1);
        return w[t & 15];
    }
}

// One round with the words renamed by the caller instead of shifted.
template <int t, int kFunction, std::uint32_t kK>
LANE_STEP void Step(__m512i a, __m512i& b, __m512i c, __m512i d, __m512i& e, __m512i* w)
{
    e = _mm512_add_epi32(e, _mm512_add_epi32(Word<t>(w), _mm512_set1_epi32(static_cast<int>(kK))));
    e = _mm512_add_epi32(e, _mm512_ternarylogic_epi32(b, c, d, kFunction));
    e = _mm512_add_epi32(e, _mm512_rol_epi32(a, 5));
    b = _mm512_rol_epi32(b, 30);
}

template <int t, int kFunction, std::uint32_t kK>
LANE_STEP void FiveSteps(__m512i& a, __m512i& b, __m512i& c, __m512i& d, __m512i& e, __m512i* w)
{
    Step<t, kFunction, kK>(a, b, c, d, e, w);
    Step<t + 1, kFunction, kK>(e, a, b, c, d, w);
    Step<t + 2, kFunction, kK>(d, e, a, b, c, w);
    Step<t + 3, kFunction, kK>(c, d, e, a, b, w);
    Step<t + 4, kFunction, kK>(b, c, d, e, a, w);
}

// One block's 80 steps, its words read big-endian.
struct Sha1 {
    static constexpr bool kBigEndian = true;

    LANE_STEP static void Rounds(__m512i (&v)[5], __m512i* w)
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

void Sha1LanesAvx512(Sha1LaneStates& states, const std::uint8_t* const* blocks, LaneMask active, std::size_t count)
{
    RunLanes<Avx512Lanes<std::uint32_t>, Sha1>(states, blocks, active, count);
}

}  // namespace engine

#endif
