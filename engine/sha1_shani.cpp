// The SHA-1 block function on the SHA instructions. Built with -msha
// -msse4.1 and called only where the CPU has them (digest_paths.cpp); it
// includes nothing that could bring an inline function into this file.
#include "engine/digest_paths.h"

#if defined(VELLUMARK_ENGINE_X86)

#include <immintrin.h>

namespace engine {
namespace {

// The registers of one block's rounds: A, B, C, D in one, A in the top lane
// as SHA1RNDS4 wants it; E in the top lane of e[0] at the start, e[0] and
// e[1] trading roles from group to group; and the schedule words of four
// groups, a ring: group g's in m[g % 4].
struct Sha1Registers {
    __m128i abcd;
    __m128i e[2];
    __m128i m[4];
};

// Group g: rounds 4g to 4g + 3 on schedule words W[4g..4g+3]. The first
// four groups load theirs, big-endian; meanwhile SHA1MSG1, XOR and SHA1MSG2
// build the words of the groups three, two and one ahead from this one's,
// as far as any are left to build. Then the next group, to the last.
template <int g>
[[gnu::always_inline]] inline void Group(Sha1Registers& r, const std::uint8_t* block, __m128i byteOrder)
{
    constexpr int i = g % 4;
    __m128i& e = r.e[g % 2];
    if constexpr (g < 4)
        r.m[i] = _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(block + 16 * g)), byteOrder);
    // E of the group: W added to the block's E in the first, to A of four
    // rounds back turned left by 30 (SHA1NEXTE) in the others.
    if constexpr (g == 0)
        e = _mm_add_epi32(e, r.m[i]);
    else
        e = _mm_sha1nexte_epu32(e, r.m[i]);
    r.e[(g + 1) % 2] = r.abcd;
    if constexpr (g >= 3 && g <= 18)
        r.m[(i + 1) % 4] = _mm_sha1msg2_epu32(r.m[(i + 1) % 4], r.m[i]);
    r.abcd = _mm_sha1rnds4_epu32(r.abcd, e, g / 5);
    if constexpr (g >= 1 && g <= 16)
        r.m[(i + 3) % 4] = _mm_sha1msg1_epu32(r.m[(i + 3) % 4], r.m[i]);
    if constexpr (g >= 2 && g <= 17)
        r.m[(i + 2) % 4] = _mm_xor_si128(r.m[(i + 2) % 4], r.m[i]);
    if constexpr (g < 19)
        Group<g + 1>(r, block, byteOrder);
}

}  // namespace

// The state goes into two registers for the whole run of blocks: A, B, C, D
// in one, and E in the top lane of the other. Each group of four rounds
// takes the next four schedule words; SHA1MSG1, XOR and SHA1MSG2 build the
// words of a later group meanwhile.
void Sha1CompressShaNi(Sha1Digest& state, const std::uint8_t* blocks, std::size_t count)
{
    // Big-endian message words, and the record's words into lane order.
    const __m128i byteOrder = _mm_set_epi64x(0x0001020304050607LL, 0x08090A0B0C0D0E0FLL);
    Sha1Registers r;
    r.abcd = _mm_shuffle_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(state.bytes)), 0x1B);
    int e;
    __builtin_memcpy(&e, state.bytes + 16, sizeof e);
    r.e[0] = _mm_set_epi32(e, 0, 0, 0);

    for (; count > 0; --count, blocks += kBlockSize) {
        const __m128i abcdSaved = r.abcd, eSaved = r.e[0];
        Group<0>(r, blocks, byteOrder);
        // The block's last E is A of four rounds back turned left by 30:
        // SHA1NEXTE forms it while it adds the saved E. A to D add plainly.
        r.e[0] = _mm_sha1nexte_epu32(r.e[0], eSaved);
        r.abcd = _mm_add_epi32(r.abcd, abcdSaved);
    }

    _mm_storeu_si128(reinterpret_cast<__m128i*>(state.bytes), _mm_shuffle_epi32(r.abcd, 0x1B));
    e = _mm_extract_epi32(r.e[0], 3);
    __builtin_memcpy(state.bytes + 16, &e, sizeof e);
}

}  // namespace engine

#endif
