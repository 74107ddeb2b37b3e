// Sixteen SHA-256 messages side by side, one in each 32-bit lane of the
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

#define SHA256_LANE_STEP [[gnu::always_inline]] inline

namespace engine {
namespace {

SHA256_LANE_STEP __m512i Xor3(__m512i x, __m512i y, __m512i z)
{
    return _mm512_ternarylogic_epi32(x, y, z, 0x96);
}

// W as a ring of sixteen registers, as in the portable routine: W[t]
// overwrites W[t-16]. Returns W[t] + K[t].
template <int t>
SHA256_LANE_STEP __m512i WordWithConstant(__m512i* w)
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
SHA256_LANE_STEP void Step(__m512i a, __m512i b, __m512i c, __m512i& d, __m512i e, __m512i f, __m512i g, __m512i& h,
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
SHA256_LANE_STEP void EightSteps(__m512i& a, __m512i& b, __m512i& c, __m512i& d, __m512i& e, __m512i& f, __m512i& g,
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

// Sixteen blocks, one per lane, into sixteen registers of one big-endian
// message word of every lane each: the bytes of each word turned around,
// then a 16 x 16 transpose of 32-bit words.
SHA256_LANE_STEP void LoadTransposed(const std::uint8_t* const* p, __m512i* x)
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

void Sha256LanesAvx512(Sha256LaneStates& states, const std::uint8_t* const* blocks, LaneMask active, std::size_t count)
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
    __m512i e = _mm512_load_si512(states.words[4]), f = _mm512_load_si512(states.words[5]);
    __m512i g = _mm512_load_si512(states.words[6]), h = _mm512_load_si512(states.words[7]);
    for (; count > 0; --count) {
        __m512i w[16];
        LoadTransposed(p, w);
        for (int l = 0; l < 16; ++l)
            p[l] += stride[l];
        const __m512i a0 = a, b0 = b, c0 = c, d0 = d, e0 = e, f0 = f, g0 = g, h0 = h;

        EightSteps<0>(a, b, c, d, e, f, g, h, w);
        EightSteps<8>(a, b, c, d, e, f, g, h, w);
        EightSteps<16>(a, b, c, d, e, f, g, h, w);
        EightSteps<24>(a, b, c, d, e, f, g, h, w);
        EightSteps<32>(a, b, c, d, e, f, g, h, w);
        EightSteps<40>(a, b, c, d, e, f, g, h, w);
        EightSteps<48>(a, b, c, d, e, f, g, h, w);
        EightSteps<56>(a, b, c, d, e, f, g, h, w);

        a = _mm512_add_epi32(a, a0);
        b = _mm512_add_epi32(b, b0);
        c = _mm512_add_epi32(c, c0);
        d = _mm512_add_epi32(d, d0);
        e = _mm512_add_epi32(e, e0);
        f = _mm512_add_epi32(f, f0);
        g = _mm512_add_epi32(g, g0);
        h = _mm512_add_epi32(h, h0);
    }
    _mm512_mask_store_epi32(states.words[0], mask, a);
    _mm512_mask_store_epi32(states.words[1], mask, b);
    _mm512_mask_store_epi32(states.words[2], mask, c);
    _mm512_mask_store_epi32(states.words[3], mask, d);
    _mm512_mask_store_epi32(states.words[4], mask, e);
    _mm512_mask_store_epi32(states.words[5], mask, f);
    _mm512_mask_store_epi32(states.words[6], mask, g);
    _mm512_mask_store_epi32(states.words[7], mask, h);
}

}  // namespace engine

#endif
