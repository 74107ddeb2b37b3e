// Eight MD5 messages side by side, one in each 32-bit lane of the AVX2
// registers. Built with -mavx2 and called only where the CPU and the
// operating system support it (digest_paths.cpp); it includes nothing that
// could bring an inline function into this file.
#include "engine/digest_paths.h"

#if defined(VELLUMARK_ENGINE_X86)

#include <immintrin.h>

#define MD5_LANE_STEP [[gnu::always_inline]] inline

namespace engine {
namespace {

enum class Round { F, G, H, I };

// a = b + ((a + f(b, c, d) + x + k) <<< s), with no rotate or three-input
// logic instruction to hand. The word and constant go in first: they do not
// wait for the chain. G's two halves share no bits, so each is added on its
// own, and the half without b is ready before b is.
template <Round kRound, int kShift>
MD5_LANE_STEP void Step(__m256i& a, __m256i b, __m256i c, __m256i d, __m256i x, int step)
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

// Eight rows of eight words, one row per lane, into eight registers of one
// word of every lane each.
MD5_LANE_STEP void Transpose(const __m256i* r, __m256i* x)
{
    __m256i t[8], s[8];
    for (int j = 0; j < 4; ++j) {
        t[2 * j] = _mm256_unpacklo_epi32(r[2 * j], r[2 * j + 1]);
        t[2 * j + 1] = _mm256_unpackhi_epi32(r[2 * j], r[2 * j + 1]);
    }
    // s[4j + m], 128-bit half h, is word 4h + m of lanes 4j..4j+3.
    for (int j = 0; j < 2; ++j) {
        s[4 * j] = _mm256_unpacklo_epi64(t[4 * j], t[4 * j + 2]);
        s[4 * j + 1] = _mm256_unpackhi_epi64(t[4 * j], t[4 * j + 2]);
        s[4 * j + 2] = _mm256_unpacklo_epi64(t[4 * j + 1], t[4 * j + 3]);
        s[4 * j + 3] = _mm256_unpackhi_epi64(t[4 * j + 1], t[4 * j + 3]);
    }
    for (int m = 0; m < 4; ++m) {
        x[m] = _mm256_permute2x128_si256(s[m], s[4 + m], 0x20);
        x[4 + m] = _mm256_permute2x128_si256(s[m], s[4 + m], 0x31);
    }
}

MD5_LANE_STEP void LoadTransposed(const std::uint8_t* const* p, __m256i* x)
{
    __m256i r[8];
    for (int l = 0; l < 8; ++l)
        r[l] = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p[l]));
    Transpose(r, x);
    for (int l = 0; l < 8; ++l)
        r[l] = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p[l] + 32));
    Transpose(r, x + 8);
}

}  // namespace

void Md5LanesAvx2(Md5LaneStates& states, const std::uint8_t* const* blocks, LaneMask active, std::size_t count)
{
    active &= 0xFF;
    if (active == 0 || count == 0)
        return;
    // Lanes left out read one block of zeros over and over; their results
    // are never stored.
    alignas(64) static const std::uint8_t kIdle[kBlockSize] = {};
    const std::uint8_t* p[8];
    std::size_t stride[8];
    int keep[8];
    for (int l = 0; l < 8; ++l) {
        const bool on = (active >> l) & 1;
        p[l] = on ? blocks[l] : kIdle;
        stride[l] = on ? kBlockSize : 0;
        keep[l] = on ? -1 : 0;
    }

    const auto load = [&](int w) { return _mm256_load_si256(reinterpret_cast<const __m256i*>(states.words[w])); };
    __m256i a = load(0), b = load(1), c = load(2), d = load(3);
    for (; count > 0; --count) {
        __m256i x[16];
        LoadTransposed(p, x);
        for (int l = 0; l < 8; ++l)
            p[l] += stride[l];
        const __m256i a0 = a, b0 = b, c0 = c, d0 = d;

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

        a = _mm256_add_epi32(a, a0);
        b = _mm256_add_epi32(b, b0);
        c = _mm256_add_epi32(c, c0);
        d = _mm256_add_epi32(d, d0);
    }
    // Only the lanes that ran are written back.
    const __m256i mask = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(keep));
    _mm256_maskstore_epi32(reinterpret_cast<int*>(states.words[0]), mask, a);
    _mm256_maskstore_epi32(reinterpret_cast<int*>(states.words[1]), mask, b);
    _mm256_maskstore_epi32(reinterpret_cast<int*>(states.words[2]), mask, c);
    _mm256_maskstore_epi32(reinterpret_cast<int*>(states.words[3]), mask, d);
}

}  // namespace engine

#endif
