// SHA-512's block function with its rounds in 64-bit registers and its
// message schedule in AVX2 registers. Built with -mavx2 -mbmi -mbmi2 and
// called only where the CPU has them (digest_paths.cpp); it includes nothing
// that could bring a shared inline function into this file. The rounds and the
// schedule are sha512_two_blocks.h's; the two small sigma functions are this
// file's.
#include "engine/digest_paths.h"

#if defined(VELLUMARK_ENGINE_X86)

#include <immintrin.h>

#include "engine/sha512_two_blocks.h"

namespace engine {
namespace {

struct Avx2Sigmas {
    // ROTR 1 ^ ROTR 8 ^ SHR 7 of every word; the byte rotation is a shuffle.
    SHA512_STEP static __m256i Small0(__m256i x)
    {
        const __m256i rotateByte =
            _mm256_set_epi64x(0x080F0E0D0C0B0A09, 0x0007060504030201, 0x080F0E0D0C0B0A09, 0x0007060504030201);
        return _mm256_xor_si256(_mm256_xor_si256(_mm256_srli_epi64(x, 1), _mm256_slli_epi64(x, 63)),
                                _mm256_xor_si256(_mm256_shuffle_epi8(x, rotateByte), _mm256_srli_epi64(x, 7)));
    }

    // ROTR 19 ^ ROTR 61 ^ SHR 6.
    SHA512_STEP static __m256i Small1(__m256i x)
    {
        return _mm256_xor_si256(_mm256_xor_si256(_mm256_srli_epi64(x, 19), _mm256_slli_epi64(x, 45)),
                                _mm256_xor_si256(_mm256_xor_si256(_mm256_srli_epi64(x, 61), _mm256_slli_epi64(x, 3)),
                                                 _mm256_srli_epi64(x, 6)));
    }
};

}  // namespace

// On a cache line of its own: the same code placed 16 bytes into a line ran
// 1.65 times as long on an AMD Zen 5, its rounds' loop split differently.
[[gnu::aligned(64)]] void Sha512CompressAvx2(Sha512Digest& state, const std::uint8_t* blocks, std::size_t count)
{
    CompressTwoAtATime<Avx2Sigmas>(state, blocks, count);
}

}  // namespace engine

#endif
