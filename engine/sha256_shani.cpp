// The SHA-256 block function on the SHA instructions. Built with -msha
// -msse4.1 and called only where the CPU has them (digest_paths.cpp); it
// includes nothing that could bring an inline function into this file.
#include "engine/digest_paths.h"

#if defined(VELLUMARK_ENGINE_X86)

#include <immintrin.h>

namespace engine {
namespace {

// The round constants, four to a register in the order the rounds take them.
alignas(16) constexpr std::uint32_t kRoundConstants[64] = {
    0x428A2F98, 0x71374491, 0xB5C0FBCF, 0xE9B5DBA5, 0x3956C25B, 0x59F111F1, 0x923F82A4, 0xAB1C5ED5,
    0xD807AA98, 0x12835B01, 0x243185BE, 0x550C7DC3, 0x72BE5D74, 0x80DEB1FE, 0x9BDC06A7, 0xC19BF174,
    0xE49B69C1, 0xEFBE4786, 0x0FC19DC6, 0x240CA1CC, 0x2DE92C6F, 0x4A7484AA, 0x5CB0A9DC, 0x76F988DA,
    0x983E5152, 0xA831C66D, 0xB00327C8, 0xBF597FC7, 0xC6E00BF3, 0xD5A79147, 0x06CA6351, 0x14292967,
    0x27B70A85, 0x2E1B2138, 0x4D2C6DFC, 0x53380D13, 0x650A7354, 0x766A0ABB, 0x81C2C92E, 0x92722C85,
    0xA2BFE8A1, 0xA81A664B, 0xC24B8B70, 0xC76C51A3, 0xD192E819, 0xD6990624, 0xF40E3585, 0x106AA070,
    0x19A4C116, 0x1E376C08, 0x2748774C, 0x34B0BCB5, 0x391C0CB3, 0x4ED8AA4A, 0x5B9CCA4F, 0x682E6FF3,
    0x748F82EE, 0x78A5636F, 0x84C87814, 0x8CC70208, 0x90BEFFFA, 0xA4506CEB, 0xBEF9A3F7, 0xC67178F2,
};

// Schedule words W[4g..4g+3] plus their constants.
__m128i WithConstants(__m128i words, int group)
{
    return _mm_add_epi32(words, _mm_load_si128(reinterpret_cast<const __m128i*>(kRoundConstants) + group));
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
