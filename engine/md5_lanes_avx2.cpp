// Eight MD5 messages side by side, one in each 32-bit lane of the AVX2
// registers. Built with -mavx2 and called only where the CPU and the
// operating system support it (digest_paths.cpp); it includes nothing that
// could bring a shared inline function into this file. The loads,
// transposes and the frame around the rounds are lanes_avx2.h's.
#include "engine/digest_paths.h"

#if defined(VELLUMARK_ENGINE_X86)

#include "engine/lanes_avx2.h"

namespace engine {
namespace {

enum class Round { F, G, H, I };

// a = b + ((a + f(b, c, d) + x + k) <<< s), with no rotate or three-input
// logic instruction to hand. The word and constant go in first: they do not
// wait for the chain. G's two halves share no bits, so each is added on its
// own, and the half without b is ready before b is.
template <Round kRound, int kShift>
LANE_STEP void Step(__m256i& a, __m256i b, __m256i c, __m256i d, __m256i x, int step)
{
    a = _mm256_add_epi32(a, _mm256_add_epi32(x, _mm256_set1_epi32(static_cast<int>(kMd5Sines[step]))));
    if constexpr (kRound == Round::F) {
        a = _mm256_add_epi32(a, _mm256_xor_si256(d, _mm256_and_si256(b, _mm256_xor_si256(c, d))));
    } else if constexpr (kRound == Round::G) {
        a = _mm256_add_epi32(a, _mm256_andnot_si256(d, c));
        a = _mm256_add_epi32(a, _mm256_and_si256(b, d));
    } else if constexpr (kRound == Round::H) {
        a = _mm256_add_epi32(a, _mm256_xor_si256(_mm256_xor_si256(c, d), b));
    } else {
        const __m256i notD = _mm256_xor_si256(d, _mm256_set1_epi32(-1));
        a = _mm256_add_epi32(a, _mm256_xor_si256(c, _mm256_or_si256(b, notD)));
    }
    a = _mm256_add_epi32(_mm256_or_si256(_mm256_slli_epi32(a, kShift), _mm256_srli_epi32(a, 32 - kShift)), b);
}

// One block's 64 steps, its words read little-endian.
struct Md5 {
    static constexpr bool kBigEndian = false;

    LANE_STEP static void Rounds(__m256i (&v)[4], __m256i* x)
    {
        auto& [a, b, c, d] = v;
        Step<Round::F, 7>(a, b, c, d, x[0], 0);
        Step<Round::F, 12>(d, a, b, c, x[1], 1);
        Step<Round::F, 17>(c, d, a, b, x[2], 2);
        Step<Round::F, 22>(b, c, d, a, x[3], 3);
        Step<Round::F, 7>(a, b, c, d, x[4], 4);
        Step<Round::F, 12>(d, a, b, c, x[5], 5);
        Step<Round::F, 17>(c, d, a, b, x[6], 6);
        Step<Round::F, 22>(b, c, d, a, x[7], 7);
        Step<Round::F, 7>(a, b, c, d, x[8], 8);
        Step<Round::F, 12>(d, a, b, c, x[9], 9);
        Step<Round::F, 17>(c, d, a, b, x[10], 10);
        Step<Round::F, 22>(b, c, d, a, x[11], 11);
        Step<Round::F, 7>(a, b, c, d, x[12], 12);
        Step<Round::F, 12>(d, a, b, c, x[13], 13);
        Step<Round::F, 17>(c, d, a, b, x[14], 14);
        Step<Round::F, 22>(b, c, d, a, x[15], 15);

        Step<Round::G, 5>(a, b, c, d, x[1], 16);
        Step<Round::G, 9>(d, a, b, c, x[6], 17);
        Step<Round::G, 14>(c, d, a, b, x[11], 18);
        Step<Round::G, 20>(b, c, d, a, x[0], 19);
        Step<Round::G, 5>(a, b, c, d, x[5], 20);
        Step<Round::G, 9>(d, a, b, c, x[10], 21);
        Step<Round::G, 14>(c, d, a, b, x[15], 22);
        Step<Round::G, 20>(b, c, d, a, x[4], 23);
        Step<Round::G, 5>(a, b, c, d, x[9], 24);
        Step<Round::G, 9>(d, a, b, c, x[14], 25);
        Step<Round::G, 14>(c, d, a, b, x[3], 26);
        Step<Round::G, 20>(b, c, d, a, x[8], 27);
        Step<Round::G, 5>(a, b, c, d, x[13], 28);
        Step<Round::G, 9>(d, a, b, c, x[2], 29);
        Step<Round::G, 14>(c, d, a, b, x[7], 30);
        Step<Round::G, 20>(b, c, d, a, x[12], 31);

        Step<Round::H, 4>(a, b, c, d, x[5], 32);
        Step<Round::H, 11>(d, a, b, c, x[8], 33);
        Step<Round::H, 16>(c, d, a, b, x[11], 34);
        Step<Round::H, 23>(b, c, d, a, x[14], 35);
        Step<Round::H, 4>(a, b, c, d, x[1], 36);
        Step<Round::H, 11>(d, a, b, c, x[4], 37);
        Step<Round::H, 16>(c, d, a, b, x[7], 38);
        Step<Round::H, 23>(b, c, d, a, x[10], 39);
        Step<Round::H, 4>(a, b, c, d, x[13], 40);
        Step<Round::H, 11>(d, a, b, c, x[0], 41);
        Step<Round::H, 16>(c, d, a, b, x[3], 42);
        Step<Round::H, 23>(b, c, d, a, x[6], 43);
        Step<Round::H, 4>(a, b, c, d, x[9], 44);
        Step<Round::H, 11>(d, a, b, c, x[12], 45);
        Step<Round::H, 16>(c, d, a, b, x[15], 46);
        Step<Round::H, 23>(b, c, d, a, x[2], 47);

        Step<Round::I, 6>(a, b, c, d, x[0], 48);
        Step<Round::I, 10>(d, a, b, c, x[7], 49);
        Step<Round::I, 15>(c, d, a, b, x[14], 50);
        Step<Round::I, 21>(b, c, d, a, x[5], 51);
        Step<Round::I, 6>(a, b, c, d, x[12], 52);
        Step<Round::I, 10>(d, a, b, c, x[3], 53);
        Step<Round::I, 15>(c, d, a, b, x[10], 54);
        Step<Round::I, 21>(b, c, d, a, x[1], 55);
        Step<Round::I, 6>(a, b, c, d, x[8], 56);
        Step<Round::I, 10>(d, a, b, c, x[15], 57);
        Step<Round::I, 15>(c, d, a, b, x[6], 58);
        Step<Round::I, 21>(b, c, d, a, x[13], 59);
        Step<Round::I, 6>(a, b, c, d, x[4], 60);
        Step<Round::I, 10>(d, a, b, c, x[11], 61);
        Step<Round::I, 15>(c, d, a, b, x[2], 62);
        Step<Round::I, 21>(b, c, d, a, x[9], 63);
    }
};

}  // namespace

void Md5LanesAvx2(Md5LaneStates& states, const std::uint8_t* const* blocks, LaneMask active, std::size_t count)
{
    RunLanes<Avx2Lanes, Md5>(states, blocks, active, count);
}

}  // namespace engine

#endif
