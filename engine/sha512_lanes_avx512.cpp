// Eight SHA-512 messages side by side, one in each 64-bit lane of the
// AVX-512 registers: AVX-512's rotations take one instruction each, and its
// three-way logic one for each of Ch, Maj and the XORs of the sigma
// functions. Built with -mavx512f -mavx512bw -mavx2 and called only where
// the CPU and the operating system support them (digest_paths.cpp); it
// includes nothing that could bring an inline function into this file.
#include "engine/digest_paths.h"

#if defined(VELLUMARK_ENGINE_X86)

// GCC 12's AVX-512 headers fill unused lanes from a variable initialised
// with itself, which -Wmaybe-uninitialized reports wherever the intrinsics
// are inlined (GCC bug 105593, mended in GCC 13).
#if defined(__GNUC__) && !defined(__clang__) && __GNUC__ < 13
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif

#include <immintrin.h>

// The eighty rounds are inlined into one run of code; the build compiles
// this file optimised even in debug builds, where inlined steps would each
// keep their values in slots of their own, a frame past the lanes' scrub.
#if (defined(__GNUC__) || defined(__clang__)) && defined(__OPTIMIZE__)
#define SHA512_LANE_STEP [[gnu::always_inline]] inline
#else
#define SHA512_LANE_STEP inline
#endif

namespace engine {
namespace {

constexpr int kLanes = 8;

SHA512_LANE_STEP __m512i Xor3(__m512i x, __m512i y, __m512i z)
{
    return _mm512_ternarylogic_epi64(x, y, z, 0x96);
}

// W as a ring of sixteen registers: W[t] overwrites W[t-16]. Returns
// W[t] + K[t].
template <int t>
SHA512_LANE_STEP __m512i WordWithConstant(__m512i* w)
{
    if constexpr (t >= 16) {
        const __m512i w2 = w[(t - 2) & 15], w15 = w[(t - 15) & 15];
        const __m512i sigma1 = Xor3(_mm512_ror_epi64(w2, 19), _mm512_ror_epi64(w2, 61), _mm512_srli_epi64(w2, 6));
        const __m512i sigma0 = Xor3(_mm512_ror_epi64(w15, 1), _mm512_ror_epi64(w15, 8), _mm512_srli_epi64(w15, 7));
        w[t & 15] = _mm512_add_epi64(_mm512_add_epi64(sigma1, w[(t - 7) & 15]), _mm512_add_epi64(sigma0, w[t & 15]));
    }
    return _mm512_add_epi64(w[t & 15], _mm512_set1_epi64(static_cast<long long>(kSha512RoundConstants[t])));
}

// One round. The word that leaves (h) becomes the new a and d takes the new
// e, so the callers rename the eight words instead of shifting them.
template <int t>
SHA512_LANE_STEP void Step(__m512i a, __m512i b, __m512i c, __m512i& d, __m512i e, __m512i f, __m512i g, __m512i& h,
                           __m512i* w)
{
    const __m512i sum1 = Xor3(_mm512_ror_epi64(e, 14), _mm512_ror_epi64(e, 18), _mm512_ror_epi64(e, 41));
    const __m512i ch = _mm512_ternarylogic_epi64(e, f, g, 0xCA);
    const __m512i t1 = _mm512_add_epi64(_mm512_add_epi64(h, WordWithConstant<t>(w)), _mm512_add_epi64(sum1, ch));
    const __m512i sum0 = Xor3(_mm512_ror_epi64(a, 28), _mm512_ror_epi64(a, 34), _mm512_ror_epi64(a, 39));
    const __m512i maj = _mm512_ternarylogic_epi64(a, b, c, 0xE8);
    d = _mm512_add_epi64(d, t1);
    h = _mm512_add_epi64(t1, _mm512_add_epi64(sum0, maj));
}

// Eight rounds, after which every word is back under its own name.
template <int t>
SHA512_LANE_STEP void EightSteps(__m512i& a, __m512i& b, __m512i& c, __m512i& d, __m512i& e, __m512i& f, __m512i& g,
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

// Eight registers of eight 64-bit words each, row l lane l's, turned into
// x[k] = word k of every lane: pairs of words, then pairs of pairs, then
// halves trade places.
SHA512_LANE_STEP void Transpose(const __m512i* r, __m512i* x)
{
    __m512i t[8];
    for (int j = 0; j < 4; ++j) {
        t[2 * j] = _mm512_unpacklo_epi64(r[2 * j], r[2 * j + 1]);      // words 0, 2, 4, 6 of two lanes
        t[2 * j + 1] = _mm512_unpackhi_epi64(r[2 * j], r[2 * j + 1]);  // words 1, 3, 5, 7
    }
    for (int odd = 0; odd < 2; ++odd) {
        // Of four lanes each: words 0 and 4 (or 1 and 5), words 2 and 6 (3 and 7).
        const __m512i u0 = _mm512_shuffle_i64x2(t[odd], t[2 + odd], 0x88);
        const __m512i u1 = _mm512_shuffle_i64x2(t[odd], t[2 + odd], 0xDD);
        const __m512i u2 = _mm512_shuffle_i64x2(t[4 + odd], t[6 + odd], 0x88);
        const __m512i u3 = _mm512_shuffle_i64x2(t[4 + odd], t[6 + odd], 0xDD);
        x[odd] = _mm512_shuffle_i64x2(u0, u2, 0x88);
        x[4 + odd] = _mm512_shuffle_i64x2(u0, u2, 0xDD);
        x[2 + odd] = _mm512_shuffle_i64x2(u1, u3, 0x88);
        x[6 + odd] = _mm512_shuffle_i64x2(u1, u3, 0xDD);
    }
}

// Eight blocks, one per lane, into sixteen registers of one big-endian
// message word of every lane each: each word's bytes turned around, then
// each half block transposed.
SHA512_LANE_STEP void LoadTransposed(const std::uint8_t* const* p, __m512i* x)
{
    const __m512i byteOrder =
        _mm512_set4_epi64(0x08090A0B0C0D0E0F, 0x0001020304050607, 0x08090A0B0C0D0E0F, 0x0001020304050607);
    for (int half = 0; half < 2; ++half) {
        __m512i r[kLanes];
        for (int l = 0; l < kLanes; ++l)
            r[l] = _mm512_shuffle_epi8(_mm512_loadu_si512(p[l] + 64 * half), byteOrder);
        Transpose(r, x + 8 * half);
    }
}

}  // namespace

void Sha512LanesAvx512(Sha512LaneStates& states, const std::uint8_t* const* blocks, LaneMask active, std::size_t count)
{
    const auto mask = static_cast<__mmask8>(active & 0xFF);
    if (mask == 0 || count == 0)
        return;
    // Lanes left out read one block of zeros over and over; their results
    // are never stored.
    alignas(64) static const std::uint8_t kIdle[kSha512BlockSize] = {};
    const std::uint8_t* p[kLanes];
    std::size_t stride[kLanes];
    for (int l = 0; l < kLanes; ++l) {
        const bool on = (mask >> l) & 1;
        p[l] = on ? blocks[l] : kIdle;
        stride[l] = on ? kSha512BlockSize : 0;
    }

    __m512i a = _mm512_load_si512(states.words[0]), b = _mm512_load_si512(states.words[1]);
    __m512i c = _mm512_load_si512(states.words[2]), d = _mm512_load_si512(states.words[3]);
    __m512i e = _mm512_load_si512(states.words[4]), f = _mm512_load_si512(states.words[5]);
    __m512i g = _mm512_load_si512(states.words[6]), h = _mm512_load_si512(states.words[7]);
    for (; count > 0; --count) {
        __m512i w[16];
        LoadTransposed(p, w);
        for (int l = 0; l < kLanes; ++l)
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
        EightSteps<64>(a, b, c, d, e, f, g, h, w);
        EightSteps<72>(a, b, c, d, e, f, g, h, w);

        a = _mm512_add_epi64(a, a0);
        b = _mm512_add_epi64(b, b0);
        c = _mm512_add_epi64(c, c0);
        d = _mm512_add_epi64(d, d0);
        e = _mm512_add_epi64(e, e0);
        f = _mm512_add_epi64(f, f0);
        g = _mm512_add_epi64(g, g0);
        h = _mm512_add_epi64(h, h0);
    }
    _mm512_mask_store_epi64(states.words[0], mask, a);
    _mm512_mask_store_epi64(states.words[1], mask, b);
    _mm512_mask_store_epi64(states.words[2], mask, c);
    _mm512_mask_store_epi64(states.words[3], mask, d);
    _mm512_mask_store_epi64(states.words[4], mask, e);
    _mm512_mask_store_epi64(states.words[5], mask, f);
    _mm512_mask_store_epi64(states.words[6], mask, g);
    _mm512_mask_store_epi64(states.words[7], mask, h);
}

}  // namespace engine

#endif
