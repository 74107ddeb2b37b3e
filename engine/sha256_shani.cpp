// The SHA-256 block function on the SHA instructions. Built with -msha
// -msse4.1 and called only where the CPU has them (digest_paths.cpp); it
// includes nothing that could bring an inline function into this file.
#include "engine/digest_paths.h"

#if defined(VELLUMARK_ENGINE_X86)

#include <immintrin.h>

namespace engine {
namespace {

// The registers of one block's rounds: A, B, E, F and C, D, G, H as
// SHA256RNDS2 wants them, and the schedule words of four groups, a ring:
// group g's in m[g % 4].
struct Sha256Registers {
    __m128i abef, cdgh;
    __m128i m[4];
};

// Group g: rounds 4g to 4g + 3 on the words W[4g..4g+3] plus their
// constants, the low pair, then the high pair moved down. The first four
// groups load their words, big-endian. Meanwhile each group finishes the
// words of the next (the W[t-7] term taken from two groups by PALIGNR, then
// SHA256MSG2) and starts those three ahead (SHA256MSG1), as far as any are
// left, so that every word is ready long before its rounds. Then the next
// group, to the last.
template <int g>
[[gnu::always_inline]] inline void Group(Sha256Registers& r, const std::uint8_t* block, __m128i byteOrder)
{
    constexpr int i = g % 4;
    if constexpr (g < 4)
        r.m[i] = _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(block + 16 * g)), byteOrder);
    const __m128i wk =
        _mm_add_epi32(r.m[i], _mm_load_si128(reinterpret_cast<const __m128i*>(kSha256RoundConstants) + g));
    r.cdgh = _mm_sha256rnds2_epu32(r.cdgh, r.abef, wk);
    r.abef = _mm_sha256rnds2_epu32(r.abef, r.cdgh, _mm_shuffle_epi32(wk, 0x0E));
    if constexpr (g >= 3 && g <= 14) {
        __m128i& next = r.m[(i + 1) % 4];
        const __m128i before = r.m[(i + 3) % 4], last = r.m[i];
        next = _mm_sha256msg2_epu32(_mm_add_epi32(next, _mm_alignr_epi8(last, before, 4)), last);
    }
    if constexpr (g >= 1 && g <= 12)
        r.m[(i + 3) % 4] = _mm_sha256msg1_epu32(r.m[(i + 3) % 4], r.m[i]);
    if constexpr (g < 15)
        Group<g + 1>(r, block, byteOrder);
}

}  // namespace

// The state lives in two registers for the whole run of blocks, laid out as
// SHA256RNDS2 wants it: A, B, E, F in one (A in the top lane) and C, D, G, H
// in the other. Each SHA256RNDS2 does two rounds and returns the new
// A, B, E, F; the old ones are then C, D, G, H, so the two registers trade
// roles and the rounds form one dependent chain. The message schedule runs
// beside it (Group).
void Sha256CompressShaNi(Sha256Digest& state, const std::uint8_t* blocks, std::size_t count)
{
    // Big-endian message words.
    const __m128i byteOrder = _mm_set_epi64x(0x0C0D0E0F08090A0BLL, 0x0405060700010203LL);

    // The record's H0..H7 into A, B, E, F and C, D, G, H (top lane first).
    const __m128i h0123 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(state.bytes));
    const __m128i h4567 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(state.bytes + 16));
    const __m128i badc = _mm_shuffle_epi32(h0123, 0xB1);  // lanes from the bottom: B, A, D, C
    const __m128i hgfe = _mm_shuffle_epi32(h4567, 0x1B);  // H, G, F, E
    Sha256Registers r;
    r.abef = _mm_alignr_epi8(badc, hgfe, 8);     // F, E, B, A
    r.cdgh = _mm_blend_epi16(hgfe, badc, 0xF0);  // H, G, D, C

    for (; count > 0; --count, blocks += kBlockSize) {
        const __m128i abefSaved = r.abef, cdghSaved = r.cdgh;
        Group<0>(r, blocks, byteOrder);
        r.abef = _mm_add_epi32(r.abef, abefSaved);
        r.cdgh = _mm_add_epi32(r.cdgh, cdghSaved);
    }

    // Back to H0..H7.
    const __m128i abfe = _mm_shuffle_epi32(r.abef, 0x1B);  // A, B, E, F
    const __m128i ghcd = _mm_shuffle_epi32(r.cdgh, 0xB1);  // G, H, C, D
    _mm_storeu_si128(reinterpret_cast<__m128i*>(state.bytes), _mm_blend_epi16(abfe, ghcd, 0xF0));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(state.bytes + 16), _mm_alignr_epi8(ghcd, abfe, 8));
}

}  // namespace engine

#endif
