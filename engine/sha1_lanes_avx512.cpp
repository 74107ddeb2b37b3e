// Sixteen SHA-1 messages side by side, one in each 32-bit lane of the
// AVX-512 registers. Built with -mavx512f -mavx512bw -mavx2 and called only
// where the CPU and the operating system support them (digest_paths.cpp);
// it includes nothing that could bring an inline function into this file.
#include "engine/digest_paths.h"

#if defined(VELLUMARK_ENGINE_X86)

// GCC 12's AVX-512 headers fill unused lanes from a variable initialised
// with itself, which -Wmaybe-uninitialized reports wherever the intrinsics
// are inlined (GCC bug 105593, mended in GCC 13).
#if defined(__GNUC__) && !defined(__clang__) && __GNUC__ < 13
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif

#include <immintrin.h>

#define SHA1_LANE_STEP [[gnu::always_inline]] inline

namespace engine {
namespace {

// The round functions as VPTERNLOGD truth tables over (b, c, d).
constexpr int kCh = 0xCA;      // (b & c) | (~b & d)
constexpr int kParity = 0x96;  // b ^ c ^ d
constexpr int kMaj = 0xE8;     // (b & c) | (b & d) | (c & d)

// W as a ring of sixteen registers: W[t] overwrites W[t-16].
template <int t>
SHA1_LANE_STEP __m512i Word(__m512i* w)
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
SHA1_LANE_STEP void Step(__m512i a, __m512i& b, __m512i c, __m512i d, __m512i& e, __m512i* w)
{
    e = _mm512_add_epi32(e, _mm512_add_epi32(Word<t>(w), _mm512_set1_epi32(static_cast<int>(kK))));
    e = _mm512_add_epi32(e, _mm512_ternarylogic_epi32(b, c, d, kFunction));
    e = _mm512_add_epi32(e, _mm512_rol_epi32(a, 5));
    b = _mm512_rol_epi32(b, 30);
}

template <int t, int kFunction, std::uint32_t kK>
SHA1_LANE_STEP void FiveSteps(__m512i& a, __m512i& b, __m512i& c, __m512i& d, __m512i& e, __m512i* w)
{
    Step<t, kFunction, kK>(a, b, c, d, e, w);
    Step<t + 1, kFunction, kK>(e, a, b, c, d, w);
    Step<t + 2, kFunction, kK>(d, e, a, b, c, w);
    Step<t + 3, kFunction, kK>(c, d, e, a, b, w);
    Step<t + 4, kFunction, kK>(b, c, d, e, a, w);
}

// Sixteen blocks, one per lane, into sixteen registers of one big-endian
// message word of every lane each: the bytes of each word turned around,
// then a 16 x 16 transpose of 32-bit words.
SHA1_LANE_STEP void LoadTransposed(const std::uint8_t* const* p, __m512i* x)
{
    const __m512i byteOrder = _mm512_set4_epi32(0x0C0D0E0F, 0x08090A0B, 0x04050607, 0x00010203);
    __m512i r[16], t[16];
    for (int l = 0; l < 16; ++l)
        r[l] = _mm512_shuffle_epi8(_mm512_loadu_si512(p[l]), byteOrder);
    for (int j = 0; j < 8; ++j) {
        t[2 * j] = _mm512_unpacklo_epi32(r[2 * j], r[2 * j + 1]);
        t[2 * j + 1] = _mm512_unpackhi_epi32(r[2 * j], r[2 * j + 1]);
    }
    for (int j = 0; j < 4; ++j) {
        r[4 * j] = _mm512_unpacklo_epi64(t[4 * j], t[4 * j + 2]);
        r[4 * j + 1] = _mm512_unpackhi_epi64(t[4 * j], t[4 * j + 2]);
        r[4 * j + 2] = _mm512_unpacklo_epi64(t[4 * j + 1], t[4 * j + 3]);
        r[4 * j + 3] = _mm512_unpackhi_epi64(t[4 * j + 1], t[4 * j + 3]);
    }
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

void Sha1LanesAvx512(Sha1LaneStates& states, const std::uint8_t* const* blocks, LaneMask active, std::size_t count)
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
    __m512i e = _mm512_load_si512(states.words[4]);
    constexpr std::uint32_t k1 = 0x5A827999, k2 = 0x6ED9EBA1, k3 = 0x8F1BBCDC, k4 = 0xCA62C1D6;
    for (; count > 0; --count) {
        __m512i w[16];
        LoadTransposed(p, w);
        for (int l = 0; l < 16; ++l)
            p[l] += stride[l];
        const __m512i a0 = a, b0 = b, c0 = c, d0 = d, e0 = e;

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

        a = _mm512_add_epi32(a, a0);
        b = _mm512_add_epi32(b, b0);
        c = _mm512_add_epi32(c, c0);
        d = _mm512_add_epi32(d, d0);
        e = _mm512_add_epi32(e, e0);
    }
    _mm512_mask_store_epi32(states.words[0], mask, a);
    _mm512_mask_store_epi32(states.words[1], mask, b);
    _mm512_mask_store_epi32(states.words[2], mask, c);
    _mm512_mask_store_epi32(states.words[3], mask, d);
    _mm512_mask_store_epi32(states.words[4], mask, e);
}

}  // namespace engine

#endif
