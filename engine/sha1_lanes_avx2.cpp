// Eight SHA-1 messages side by side, one in each 32-bit lane of the AVX2
// registers. Built with -mavx2 and called only where the CPU and the
// operating system support it (digest_paths.cpp); it includes nothing that
// could bring an inline function into this file.
#include "engine/digest_paths.h"

#if defined(VELLUMARK_ENGINE_X86)

#include <immintrin.h>

#define SHA1_LANE_STEP [[gnu::always_inline]] inline

namespace engine {
namespace {

enum class Round { Ch, Parity, Maj };

template <int kShift>
SHA1_LANE_STEP __m256i Rotl(__m256i v)
{
    return _mm256_or_si256(_mm256_slli_epi32(v, kShift), _mm256_srli_epi32(v, 32 - kShift));
}

// W as a ring of sixteen registers: W[t] overwrites W[t-16].
template <int t>
SHA1_LANE_STEP __m256i Word(__m256i* w)
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
SHA1_LANE_STEP __m256i Function(__m256i b, __m256i c, __m256i d)
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
SHA1_LANE_STEP void Step(__m256i a, __m256i& b, __m256i c, __m256i d, __m256i& e, __m256i* w)
{
    e = _mm256_add_epi32(e, _mm256_add_epi32(Word<t>(w), _mm256_set1_epi32(static_cast<int>(kK))));
    e = _mm256_add_epi32(e, Function<kRound>(b, c, d));
    e = _mm256_add_epi32(e, Rotl<5>(a));
    b = Rotl<30>(b);
}

template <int t, Round kRound, std::uint32_t kK>
SHA1_LANE_STEP void FiveSteps(__m256i& a, __m256i& b, __m256i& c, __m256i& d, __m256i& e, __m256i* w)
{
    Step<t, kRound, kK>(a, b, c, d, e, w);
    Step<t + 1, kRound, kK>(e, a, b, c, d, w);
    Step<t + 2, kRound, kK>(d, e, a, b, c, w);
    Step<t + 3, kRound, kK>(c, d, e, a, b, w);
    Step<t + 4, kRound, kK>(b, c, d, e, a, w);
}

// Eight rows of eight words, one row per lane, into eight registers of one
// word of every lane each.
SHA1_LANE_STEP void Transpose(const __m256i* r, __m256i* x)
{
    __m256i t[8], s[8];
    for (int j = 0; j < 4; ++j) {
        t[2 * j] = _mm256_unpacklo_epi32(r[2 * j], r[2 * j + 1]);
        t[2 * j + 1] = _mm256_unpackhi_epi32(r[2 * j], r[2 * j + 1]);
    }
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

// Big-endian words: each word's bytes turned around as it is loaded.
SHA1_LANE_STEP void LoadTransposed(const std::uint8_t* const* p, __m256i* x)
{
    const __m256i byteOrder = _mm256_set_epi32(0x0C0D0E0F, 0x08090A0B, 0x04050607, 0x00010203, 0x0C0D0E0F, 0x08090A0B,
                                               0x04050607, 0x00010203);
    __m256i r[8];
    for (int half = 0; half < 2; ++half) {
        for (int l = 0; l < 8; ++l)
            r[l] =
                _mm256_shuffle_epi8(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(p[l] + 32 * half)), byteOrder);
        Transpose(r, x + 8 * half);
    }
}

}  // namespace

void Sha1LanesAvx2(Sha1LaneStates& states, const std::uint8_t* const* blocks, LaneMask active, std::size_t count)
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
    __m256i a = load(0), b = load(1), c = load(2), d = load(3), e = load(4);
    constexpr std::uint32_t k1 = 0x5A827999, k2 = 0x6ED9EBA1, k3 = 0x8F1BBCDC, k4 = 0xCA62C1D6;
    for (; count > 0; --count) {
        __m256i w[16];
        LoadTransposed(p, w);
        for (int l = 0; l < 8; ++l)
            p[l] += stride[l];
        const __m256i a0 = a, b0 = b, c0 = c, d0 = d, e0 = e;

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

        a = _mm256_add_epi32(a, a0);
        b = _mm256_add_epi32(b, b0);
        c = _mm256_add_epi32(c, c0);
        d = _mm256_add_epi32(d, d0);
        e = _mm256_add_epi32(e, e0);
    }
    // Only the lanes that ran are written back.
    const __m256i mask = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(keep));
    _mm256_maskstore_epi32(reinterpret_cast<int*>(states.words[0]), mask, a);
    _mm256_maskstore_epi32(reinterpret_cast<int*>(states.words[1]), mask, b);
    _mm256_maskstore_epi32(reinterpret_cast<int*>(states.words[2]), mask, c);
    _mm256_maskstore_epi32(reinterpret_cast<int*>(states.words[3]), mask, d);
    _mm256_maskstore_epi32(reinterpret_cast<int*>(states.words[4]), mask, e);
}

}  // namespace engine

#endif
