// Sixteen MD5 messages side by side, one in each 32-bit lane of the AVX-512
// registers. Built with -mavx512f -mavx2 and called only where the CPU and
// the operating system support them (digest_paths.cpp); it includes nothing
// that could bring an inline function into this file.
#include "engine/digest_paths.h"

#if defined(VELLUMARK_ENGINE_X86)

// GCC 12's AVX-512 headers fill unused lanes from a variable initialised
// with itself, which -Wmaybe-uninitialized reports wherever the intrinsics
// are inlined (GCC bug 105593, mended in GCC 13).
#if defined(__GNUC__) && !defined(__clang__) && __GNUC__ < 13
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif

#include <immintrin.h>

#define MD5_LANE_STEP [[gnu::always_inline]] inline

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
MD5_LANE_STEP void Step(__m512i& a, __m512i b, __m512i c, __m512i d, __m512i x, int step)
{
    a = _mm512_add_epi32(a, _mm512_add_epi32(x, _mm512_set1_epi32(static_cast<int>(kMd5Sines[step]))));
    a = _mm512_add_epi32(a, _mm512_ternarylogic_epi32(b, c, d, kFunction));
    a = _mm512_add_epi32(_mm512_rol_epi32(a, kShift), b);
}

// Sixteen blocks, one per lane, into sixteen registers holding one message
// word of every lane each: a 16 x 16 transpose of 32-bit words in four
// stages of interleaves.
MD5_LANE_STEP void LoadTransposed(const std::uint8_t* const* p, __m512i* x)
{
    __m512i r[16], t[16];
    for (int l = 0; l < 16; ++l)
        r[l] = _mm512_loadu_si512(p[l]);
    // Pairs of lanes: per 128-bit chunk c, words 4c..4c+3 of lanes 2j, 2j+1.
    for (int j = 0; j < 8; ++j) {
        t[2 * j] = _mm512_unpacklo_epi32(r[2 * j], r[2 * j + 1]);
        t[2 * j + 1] = _mm512_unpackhi_epi32(r[2 * j], r[2 * j + 1]);
    }
    // Fours of lanes: r[4j + m], chunk c, is word 4c + m of lanes 4j..4j+3.
    for (int j = 0; j < 4; ++j) {
        r[4 * j] = _mm512_unpacklo_epi64(t[4 * j], t[4 * j + 2]);
        r[4 * j + 1] = _mm512_unpackhi_epi64(t[4 * j], t[4 * j + 2]);
        r[4 * j + 2] = _mm512_unpacklo_epi64(t[4 * j + 1], t[4 * j + 3]);
        r[4 * j + 3] = _mm512_unpackhi_epi64(t[4 * j + 1], t[4 * j + 3]);
    }
    // The 128-bit chunks transposed four by four: word 4c + m of all lanes.
    for (int m = 0; m < 4; ++m) {
        const __m512i p0 = r[m], q0 = r[4 + m], r0 = r[8 + m], s0 = r[12 + m];
        const __m512i u0 = _mm512_shuffle_i32x4(p0, q0, 0x44), u1 = _mm512_shuffle_i32x4(r0, s0, 0x44);
        const __m512i u2 = _mm512_shuffle_i32x4(p0, q0, 0xEE), u3 = _mm512_shuffle_i32x4(r0, s0, 0xEE);
        x[m] = _mm512_shuffle_i32x4(u0, u1, 0x88);
        x[4 + m] = _mm512_shuffle_i32x4(u0, u1, 0xDD);
        x[8 + m] = _mm512_shuffle_i32x4(u2, u3, 0x88);
        x[12 + m] = _mm512_shuffle_i32x4(u2, u3, 0xDD);
    }
}

}  // namespace

void Md5LanesAvx512(Md5LaneStates& states, const std::uint8_t* const* blocks, LaneMask active, std::size_t count)
{
    const auto mask = static_cast<__mmask16>(active & 0xFFFF);
    if (mask == 0 || count == 0)
        return;
    // Lanes left out read one block of zeros over and over; their results
    // are never stored.
    alignas(64) static const std::uint8_t kIdle[kBlockSize] = {};
    const std::uint8_t* p[16];
    std::size_t stride[16];
    for (int l = 0; l < 16; ++l) {
        const bool on = (mask >> l) & 1;
        p[l] = on ? blocks[l] : kIdle;
        stride[l] = on ? kBlockSize : 0;
    }

    __m512i a = _mm512_load_si512(states.words[0]), b = _mm512_load_si512(states.words[1]);
    __m512i c = _mm512_load_si512(states.words[2]), d = _mm512_load_si512(states.words[3]);
    for (; count > 0; --count) {
        __m512i x[16];
        LoadTransposed(p, x);
        for (int l = 0; l < 16; ++l)
            p[l] += stride[l];
        const __m512i a0 = a, b0 = b, c0 = c, d0 = d;

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

        a = _mm512_add_epi32(a, a0);
        b = _mm512_add_epi32(b, b0);
        c = _mm512_add_epi32(c, c0);
        d = _mm512_add_epi32(d, d0);
    }
    _mm512_mask_store_epi32(states.words[0], mask, a);
    _mm512_mask_store_epi32(states.words[1], mask, b);
    _mm512_mask_store_epi32(states.words[2], mask, c);
    _mm512_mask_store_epi32(states.words[3], mask, d);
}

}  // namespace engine

#endif
