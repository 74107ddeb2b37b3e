// The SHA-256 block function on the SHA instructions. Built with -msha
// -msse4.1 and called only where the CPU has them (digest_paths.cpp); it
// includes nothing that could bring an inline function into this file.
#include "engine/digest_paths.h"

#if defined(VELLUMARK_ENGINE_X86)

#include <immintrin.h>

namespace engine {
namespace {

// Schedule words W[4g..4g+3] plus their constants, four to a register.
__m128i WithConstants(__m128i words, int group)
{
    return _mm_add_epi32(words, _mm_load_si128(reinterpret_cast<const __m128i*>(kSha256RoundConstants) + group));
}

}  // namespace

// The state lives in two registers for the whole run of blocks, laid out as
// SHA256RNDS2 wants it: A, B, E, F in one (A in the top lane) and C, D, G, H
// in the other. Each SHA256RNDS2 does two rounds and returns the new
// A, B, E, F; the old ones are then C, D, G, H, so the two registers trade
// roles and the rounds form one dependent chain. The message schedule runs
// beside it: while group g's rounds run, SHA256MSG1 starts the words of
// group g + 3 and the words of group g + 1 are finished (the W[t-7] term
// taken from two groups by PALIGNR, then SHA256MSG2).
void Sha256CompressShaNi(Sha256Digest& state, const std::uint8_t* blocks, std::size_t count)
{
    // Big-endian message words.
    const __m128i byteOrder = _mm_set_epi64x(0x0C0D0E0F08090A0BLL, 0x0405060700010203LL);

    // The record's H0..H7 into A, B, E, F and C, D, G, H (top lane first).
    const __m128i h0123 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(state.bytes));
    const __m128i h4567 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(state.bytes + 16));
    const __m128i badc = _mm_shuffle_epi32(h0123, 0xB1);  // lanes from the bottom: B, A, D, C
    const __m128i hgfe = _mm_shuffle_epi32(h4567, 0x1B);  // H, G, F, E
    __m128i abef = _mm_alignr_epi8(badc, hgfe, 8);        // F, E, B, A
    __m128i cdgh = _mm_blend_epi16(hgfe, badc, 0xF0);     // H, G, D, C

    for (; count > 0; --count, blocks += kBlockSize) {
        const __m128i abefSaved = abef, cdghSaved = cdgh;
        const auto load = [&](int i) {
            return _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(blocks + 16 * i)), byteOrder);
        };
        // Four rounds on the words of group g: the low pair of W + K, then
        // the high pair moved down.
        const auto fourRounds = [&](__m128i wk) {
            cdgh = _mm_sha256rnds2_epu32(cdgh, abef, wk);
            abef = _mm_sha256rnds2_epu32(abef, cdgh, _mm_shuffle_epi32(wk, 0x0E));
        };
        // W[t..t+3] from SHA256MSG1's part and the four words before them.
        const auto finish = [](__m128i started, __m128i before, __m128i last) {
            return _mm_sha256msg2_epu32(_mm_add_epi32(started, _mm_alignr_epi8(last, before, 4)), last);
        };

        // Groups 0-3: the block as read.
        __m128i m0 = load(0), m1 = load(1), m2, m3;
        fourRounds(WithConstants(m0, 0));
        fourRounds(WithConstants(m1, 1));
        m0 = _mm_sha256msg1_epu32(m0, m1);
        m2 = load(2);
        fourRounds(WithConstants(m2, 2));
        m1 = _mm_sha256msg1_epu32(m1, m2);
        m3 = load(3);
        fourRounds(WithConstants(m3, 3));
        m0 = finish(m0, m2, m3);  // group 4
        m2 = _mm_sha256msg1_epu32(m2, m3);

        // Groups 4-12: each finishes the next group and starts the one three
        // ahead, so every word is ready long before its rounds.
        fourRounds(WithConstants(m0, 4));
        m1 = finish(m1, m3, m0);
        m3 = _mm_sha256msg1_epu32(m3, m0);
        fourRounds(WithConstants(m1, 5));
        m2 = finish(m2, m0, m1);
        m0 = _mm_sha256msg1_epu32(m0, m1);
        fourRounds(WithConstants(m2, 6));
        m3 = finish(m3, m1, m2);
        m1 = _mm_sha256msg1_epu32(m1, m2);
        fourRounds(WithConstants(m3, 7));
        m0 = finish(m0, m2, m3);
        m2 = _mm_sha256msg1_epu32(m2, m3);
        fourRounds(WithConstants(m0, 8));
        m1 = finish(m1, m3, m0);
        m3 = _mm_sha256msg1_epu32(m3, m0);
        fourRounds(WithConstants(m1, 9));
        m2 = finish(m2, m0, m1);
        m0 = _mm_sha256msg1_epu32(m0, m1);
        fourRounds(WithConstants(m2, 10));
        m3 = finish(m3, m1, m2);
        m1 = _mm_sha256msg1_epu32(m1, m2);
        fourRounds(WithConstants(m3, 11));
        m0 = finish(m0, m2, m3);
        m2 = _mm_sha256msg1_epu32(m2, m3);
        fourRounds(WithConstants(m0, 12));
        m1 = finish(m1, m3, m0);
        m3 = _mm_sha256msg1_epu32(m3, m0);

        // Groups 13-15: nothing left to start.
        fourRounds(WithConstants(m1, 13));
        m2 = finish(m2, m0, m1);
        fourRounds(WithConstants(m2, 14));
        m3 = finish(m3, m1, m2);
        fourRounds(WithConstants(m3, 15));

        abef = _mm_add_epi32(abef, abefSaved);
        cdgh = _mm_add_epi32(cdgh, cdghSaved);
    }

    // Back to H0..H7.
    const __m128i abfe = _mm_shuffle_epi32(abef, 0x1B);  // A, B, E, F
    const __m128i ghcd = _mm_shuffle_epi32(cdgh, 0xB1);  // G, H, C, D
    _mm_storeu_si128(reinterpret_cast<__m128i*>(state.bytes), _mm_blend_epi16(abfe, ghcd, 0xF0));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(state.bytes + 16), _mm_alignr_epi8(ghcd, abfe, 8));
}

}  // namespace engine

#endif
