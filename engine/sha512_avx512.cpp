// SHA-512's block function with its rounds in 64-bit registers and its
// message schedule in 256-bit registers, with AVX-512's rotations and
// three-way logic. Built with -mavx512f -mavx512vl -mavx2 -mbmi -mbmi2 and
// called only where the CPU has them (digest_paths.cpp); it includes nothing
// that could bring a shared inline function into this file. The rounds and the
// schedule are sha512_two_blocks.h's, as in sha512_avx2.cpp; the two small
// sigma functions, four instructions each here instead of seven and nine,
// are this file's.
#include "engine/digest_paths.h"

#if defined(VELLUMARK_ENGINE_X86)

#include <immintrin.h>

#include "engine/sha512_two_blocks.h"

namespace engine {
namespace {

// 0x96 is the three-way XOR.
struct Avx512Sigmas {
    // ROTR 1 ^ ROTR 8 ^ SHR 7 of every word.
    SHA512_STEP static __m256i Small0(__m256i x)
    {
        return _mm256_ternarylogic_epi64(_mm256_ror_epi64(x, 1), _mm256_ror_epi64(x, 8), _mm256_srli_epi64(x, 7), 0x96);
    }

    // ROTR 19 ^ ROTR 61 ^ SHR 6.
    SHA512_STEP static __m256i Small1(__m256i x)
    {
        return _mm256_ternarylogic_epi64(_mm256_ror_epi64(x, 19), _mm256_ror_epi64(x, 61), _mm256_srli_epi64(x, 6),
                                         0x96);
    }
};

}  // namespace

void Sha512CompressAvx512(Sha512Digest& state, const std::uint8_t* blocks, std::size_t count)
{
    CompressTwoAtATime<Avx512Sigmas>(state, blocks, count);
}

}  // namespace engine

#endif
