// BLAKE3 with AVX2: eight inputs side by side, one in each 32-bit lane.
// Built with -mavx2 and called only where the CPU and the operating system
// support it (digest_paths.cpp); it includes nothing but its own header, the
// intrinsics and standard headers (see digest_paths.h).
#include "engine/blake3.h"

#if defined(__x86_64__)

#include <immintrin.h>

#include <algorithm>
#include <cstring>
#include <utility>

#define BLAKE3_STEP [[gnu::always_inline]] inline

namespace engine {
namespace {

BLAKE3_STEP __m256i Add(__m256i a, __m256i b)
{
    return _mm256_add_epi32(a, b);
}

// Rotations by whole bytes are byte shuffles; the others two shifts.
BLAKE3_STEP __m256i Ror16(__m256i x)
{
    return _mm256_shuffle_epi8(x, _mm256_setr_epi8(2, 3, 0, 1, 6, 7, 4, 5, 10, 11, 8, 9, 14, 15, 12, 13, 2, 3, 0, 1, 6,
                                                   7, 4, 5, 10, 11, 8, 9, 14, 15, 12, 13));
}

BLAKE3_STEP __m256i Ror8(__m256i x)
{
    return _mm256_shuffle_epi8(x, _mm256_setr_epi8(1, 2, 3, 0, 5, 6, 7, 4, 9, 10, 11, 8, 13, 14, 15, 12, 1, 2, 3, 0, 5,
                                                   6, 7, 4, 9, 10, 11, 8, 13, 14, 15, 12));
}

template <int kBits>
BLAKE3_STEP __m256i Ror(__m256i x)
{
    return _mm256_or_si256(_mm256_srli_epi32(x, kBits), _mm256_slli_epi32(x, 32 - kBits));
}

// The four Gs of a half round side by side, each step of all four before the
// next, so that four independent chains are in flight. The word indices are
// template arguments, so that every one is a constant and the state and the
// message stay in registers.
template <int kRound, bool kDiagonal, int... I>
BLAKE3_STEP void Half(__m256i* v, const __m256i* m, std::integer_sequence<int, I...>)
{
    constexpr int kA[4] = {0, 1, 2, 3};
    constexpr int kB[4] = {kDiagonal ? 5 : 4, kDiagonal ? 6 : 5, kDiagonal ? 7 : 6, kDiagonal ? 4 : 7};
    constexpr int kC[4] = {kDiagonal ? 10 : 8, kDiagonal ? 11 : 9, kDiagonal ? 8 : 10, kDiagonal ? 9 : 11};
    constexpr int kD[4] = {kDiagonal ? 15 : 12, kDiagonal ? 12 : 13, kDiagonal ? 13 : 14, kDiagonal ? 14 : 15};
    constexpr const std::uint8_t* kS = kBlake3Schedule[kRound] + (kDiagonal ? 8 : 0);
    ((v[kA[I]] = Add(Add(v[kA[I]], m[kS[2 * I]]), v[kB[I]])), ...);
    ((v[kD[I]] = Ror16(_mm256_xor_si256(v[kD[I]], v[kA[I]]))), ...);
    ((v[kC[I]] = Add(v[kC[I]], v[kD[I]])), ...);
    ((v[kB[I]] = Ror<12>(_mm256_xor_si256(v[kB[I]], v[kC[I]]))), ...);
    ((v[kA[I]] = Add(Add(v[kA[I]], m[kS[2 * I + 1]]), v[kB[I]])), ...);
    ((v[kD[I]] = Ror8(_mm256_xor_si256(v[kD[I]], v[kA[I]]))), ...);
    ((v[kC[I]] = Add(v[kC[I]], v[kD[I]])), ...);
    ((v[kB[I]] = Ror<7>(_mm256_xor_si256(v[kB[I]], v[kC[I]]))), ...);
}

template <int... R>
BLAKE3_STEP void Rounds(__m256i* v, const __m256i* m, std::integer_sequence<int, R...>)
{
    constexpr auto kFour = std::make_integer_sequence<int, 4>();
    ((Half<R, false>(v, m, kFour), Half<R, true>(v, m, kFour)), ...);
}

// Eight rows of eight words into eight registers holding word w of every row
// (and back: the transpose is its own inverse).
BLAKE3_STEP void Transpose8(const __m256i* r, __m256i* x)
{
    __m256i t[8], u[8];
    for (int j = 0; j < 4; ++j) {
        t[2 * j] = _mm256_unpacklo_epi32(r[2 * j], r[2 * j + 1]);
        t[2 * j + 1] = _mm256_unpackhi_epi32(r[2 * j], r[2 * j + 1]);
    }
    // u[4g + k], half h: word 4h + k of rows 4g..4g+3.
    for (int g = 0; g < 2; ++g) {
        const __m256i* s = t + 4 * g;
        u[4 * g] = _mm256_unpacklo_epi64(s[0], s[2]);
        u[4 * g + 1] = _mm256_unpackhi_epi64(s[0], s[2]);
        u[4 * g + 2] = _mm256_unpacklo_epi64(s[1], s[3]);
        u[4 * g + 3] = _mm256_unpackhi_epi64(s[1], s[3]);
    }
    for (int k = 0; k < 4; ++k) {
        x[k] = _mm256_permute2x128_si256(u[k], u[4 + k], 0x20);
        x[4 + k] = _mm256_permute2x128_si256(u[k], u[4 + k], 0x31);
    }
}

// Up to eight inputs of the batch, from `first`: lanes past the batch read
// the first input again and are not stored.
BLAKE3_STEP void Group(const Blake3Batch& batch, std::size_t first, std::uint8_t* out)
{
    const std::size_t lanes = std::min<std::size_t>(8, batch.count - first);
    const std::uint8_t* p[8];
    alignas(32) std::uint32_t counterLow[8], counterHigh[8];
    for (std::size_t l = 0; l < lanes; ++l) {
        p[l] = batch.inputs[first + l];
        const std::uint64_t counter = batch.counters != nullptr ? batch.counters[first + l] : 0;
        counterLow[l] = static_cast<std::uint32_t>(counter);
        counterHigh[l] = static_cast<std::uint32_t>(counter >> 32);
    }
    for (std::size_t l = lanes; l < 8; ++l) {
        p[l] = p[0];
        counterLow[l] = counterLow[0];
        counterHigh[l] = counterHigh[0];
    }

    __m256i h[8];
    for (int i = 0; i < 8; ++i)
        h[i] = _mm256_set1_epi32(static_cast<int>(batch.key[i]));
    for (std::size_t b = 0; b < batch.blocks; ++b) {
        __m256i m[16], rows[8];
        for (int half = 0; half < 2; ++half) {
            for (int l = 0; l < 8; ++l)
                rows[l] = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p[l] + kBlake3BlockSize * b + 32 * half));
            Transpose8(rows, m + 8 * half);
        }
        std::uint32_t flags = batch.flags;
        if (b == 0)
            flags |= batch.startFlags;
        if (b + 1 == batch.blocks)
            flags |= batch.endFlags;
        __m256i v[16];
        for (int i = 0; i < 8; ++i)
            v[i] = h[i];
        for (int i = 0; i < 4; ++i)
            v[8 + i] = _mm256_set1_epi32(static_cast<int>(kBlake3Iv[i]));
        v[12] = _mm256_load_si256(reinterpret_cast<const __m256i*>(counterLow));
        v[13] = _mm256_load_si256(reinterpret_cast<const __m256i*>(counterHigh));
        v[14] = _mm256_set1_epi32(static_cast<int>(kBlake3BlockSize));
        v[15] = _mm256_set1_epi32(static_cast<int>(flags));
        Rounds(v, m, std::make_integer_sequence<int, 7>());
        for (int i = 0; i < 8; ++i)
            h[i] = _mm256_xor_si256(v[i], v[i + 8]);
    }
    __m256i rows[8];
    Transpose8(h, rows);
    for (std::size_t l = 0; l < lanes; ++l)
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + 32 * l), rows[l]);
}

}  // namespace

void Blake3ManyAvx2(const Blake3Batch& batch, std::uint8_t* out)
{
    for (std::size_t first = 0; first < batch.count; first += 8)
        Group(batch, first, out + 32 * first);
}

}  // namespace engine

#endif
