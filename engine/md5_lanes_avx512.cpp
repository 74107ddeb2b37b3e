// Sixteen MD5 messages side by side, one in each 32-bit lane of the AVX-512
// registers. Built with -mavx512f -mavx2 and called only where the CPU and
// the operating system support them (digest_paths.cpp); it includes nothing
// that could bring a shared inline function into this file. The loads,
// transposes and the frame around the rounds are lanes_avx512.h's.
#include "engine/digest_paths.h"

#if defined(VELLUMARK_ENGINE_X86)

#include "engine/lanes_avx512.h"

namespace engine {
namespace {

// The four round functions, each one VPTERNLOGD: the immediate is the
// function's truth table over (b, c, d) = (0xF0, 0xCC, 0xAA).
constexpr int kF = 0xCA;  // (b & c) | (~b & d)
constexpr int kG = 0xE4;  // (b & d) | (c & ~d)
constexpr int kH = 0x96;  // b ^ c ^ d
constexpr int kI = 0x39;  // c ^ (b | ~d)

// a = b + ((a + f(b, c, d) + x + k) <<< s). The word and constant go in
// first: they do not wait for the chain.
template <int kFunction, int kShift>
LANE_STEP void Step(__m512i& a, __m512i b, __m512i c, __m512i d, __m512i x, int step)
{
    a = _mm512_add_epi32(a, _mm512_add_epi32(x, _mm512_set1_epi32(static_cast<int>(kMd5Sines[step]))));
    a = _mm512_add_epi32(a, _mm512_ternarylogic_epi32(b, c, d, kFunction));
    a = _mm512_add_epi32(_mm512_rol_epi32(a, kShift), b);
}

// One block's 64 steps, its words read little-endian.
struct Md5 {
    static constexpr bool kBigEndian = false;

    LANE_STEP static void Rounds(__m512i (&v)[4], __m512i* x)
    {
        auto& [a, b, c, d] = v;
        Step<kF, 7>(a, b, c, d, x[0], 0);
        Step<kF, 12>(d, a, b, c, x[1], 1);
        Step<kF, 17>(c, d, a, b, x[2], 2);
        Step<kF, 22>(b, c, d, a, x[3], 3);
        Step<kF, 7>(a, b, c, d, x[4], 4);
        Step<kF, 12>(d, a, b, c, x[5], 5);
        Step<kF, 17>(c, d, a, b, x[6], 6);
        Step<kF, 22>(b, c, d, a, x[7], 7);
        Step<kF, 7>(a, b, c, d, x[8], 8);
        Step<kF, 12>(d, a, b, c, x[9], 9);
        Step<kF, 17>(c, d, a, b, x[10], 10);
        Step<kF, 22>(b, c, d, a, x[11], 11);
        Step<kF, 7>(a, b, c, d, x[12], 12);
        Step<kF, 12>(d, a, b, c, x[13], 13);
        Step<kF, 17>(c, d, a, b, x[14], 14);
        Step<kF, 22>(b, c, d, a, x[15], 15);

        Step<kG, 5>(a, b, c, d, x[1], 16);
        Step<kG, 9>(d, a, b, c, x[6], 17);
        Step<kG, 14>(c, d, a, b, x[11], 18);
        Step<kG, 20>(b, c, d, a, x[0], 19);
        Step<kG, 5>(a, b, c, d, x[5], 20);
        Step<kG, 9>(d, a, b, c, x[10], 21);
        Step<kG, 14>(c, d, a, b, x[15], 22);
        Step<kG, 20>(b, c, d, a, x[4], 23);
        Step<kG, 5>(a, b, c, d, x[9], 24);
        Step<kG, 9>(d, a, b, c, x[14], 25);
        Step<kG, 14>(c, d, a, b, x[3], 26);
        Step<kG, 20>(b, c, d, a, x[8], 27);
        Step<kG, 5>(a, b, c, d, x[13], 28);
        Step<kG, 9>(d, a, b, c, x[2], 29);
        Step<kG, 14>(c, d, a, b, x[7], 30);
        Step<kG, 20>(b, c, d, a, x[12], 31);

        Step<kH, 4>(a, b, c, d, x[5], 32);
        Step<kH, 11>(d, a, b, c, x[8], 33);
        Step<kH, 16>(c, d, a, b, x[11], 34);
        Step<kH, 23>(b, c, d, a, x[14], 35);
        Step<kH, 4>(a, b, c, d, x[1], 36);
        Step<kH, 11>(d, a, b, c, x[4], 37);
        Step<kH, 16>(c, d, a, b, x[7], 38);
        Step<kH, 23>(b, c, d, a, x[10], 39);
        Step<kH, 4>(a, b, c, d, x[13], 40);
        Step<kH, 11>(d, a, b, c, x[0], 41);
        Step<kH, 16>(c, d, a, b, x[3], 42);
        Step<kH, 23>(b, c, d, a, x[6], 43);
        Step<kH, 4>(a, b, c, d, x[9], 44);
        Step<kH, 11>(d, a, b, c, x[12], 45);
        Step<kH, 16>(c, d, a, b, x[15], 46);
        Step<kH, 23>(b, c, d, a, x[2], 47);

        Step<kI, 6>(a, b, c, d, x[0], 48);
        Step<kI, 10>(d, a, b, c, x[7], 49);
        Step<kI, 15>(c, d, a, b, x[14], 50);
        Step<kI, 21>(b, c, d, a, x[5], 51);
        Step<kI, 6>(a, b, c, d, x[12], 52);
        Step<kI, 10>(d, a, b, c, x[3], 53);
        Step<kI, 15>(c, d, a, b, x[10], 54);
        Step<kI, 21>(b, c, d, a, x[1], 55);
        Step<kI, 6>(a, b, c, d, x[8], 56);
        Step<kI, 10>(d, a, b, c, x[15], 57);
        Step<kI, 15>(c, d, a, b, x[6], 58);
        Step<kI, 21>(b, c, d, a, x[13], 59);
        Step<kI, 6>(a, b, c, d, x[4], 60);
        Step<kI, 10>(d, a, b, c, x[11], 61);
        Step<kI, 15>(c, d, a, b, x[2], 62);
        Step<kI, 21>(b, c, d, a, x[9], 63);
    }
};

}  // namespace

void Md5LanesAvx512(Md5LaneStates& states, const std::uint8_t* const* blocks, LaneMask active, std::size_t count)
{
    RunLanes<Avx512Lanes<std::uint32_t>, Md5>(states, blocks, active, count);
}

}  // namespace engine

#endif
