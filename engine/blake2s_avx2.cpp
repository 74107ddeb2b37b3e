// BLAKE2s's block function, one row of the state per 128-bit register, with
// AVX2: rotations by 16 and 8 bits as byte shuffles, by 12 and 7 as two
// shifts; the round's message words gathered from the block, in two 256-bit
// registers, two rows at a time by a permutation of each and a blend. Built
// with -mavx2 and called only where the CPU and the operating system
// support it (blake2.cpp); it includes nothing that could bring a shared
// inline function into this file. The rounds are blake2_rows.h's.
#include "engine/blake2.h"

#if defined(VELLUMARK_ENGINE_X86)

#include <immintrin.h>

#include "engine/blake2_rows.h"

namespace engine {
namespace {

struct Avx2Rows {
    using Row = __m128i;
    using Word = std::uint32_t;
    static constexpr std::size_t kBlock = kBlake2sBlockSize;
    static constexpr int kRounds = 10;
    static constexpr int kR1 = 16, kR2 = 12, kR3 = 8, kR4 = 7;
    static constexpr const Word* kIv = kBlake2sIv;

    struct Message {
        __m256i low, high;  // words 0..7, 8..15
    };

    BLAKE2_ROW_STEP static Message Load(const std::uint8_t* p)
    {
        return {_mm256_loadu_si256(reinterpret_cast<const __m256i*>(p)),
                _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + 32))};
    }

    // Inputs j and j + 1 (j even) side by side: lanes 0..3 and 4..7.
    template <int r, int j>
    BLAKE2_ROW_STEP static __m256i GatherPair(const Message& m)
    {
        constexpr int w[8] = {MessageWord(r, j, 0),     MessageWord(r, j, 1),     MessageWord(r, j, 2),
                              MessageWord(r, j, 3),     MessageWord(r, j + 1, 0), MessageWord(r, j + 1, 1),
                              MessageWord(r, j + 1, 2), MessageWord(r, j + 1, 3)};
        constexpr int kHigh = (w[0] >> 3) | (w[1] >> 3) << 1 | (w[2] >> 3) << 2 | (w[3] >> 3) << 3 |
                              (w[4] >> 3) << 4 | (w[5] >> 3) << 5 | (w[6] >> 3) << 6 | (w[7] >> 3) << 7;
        const __m256i index = _mm256_setr_epi32(w[0] & 7, w[1] & 7, w[2] & 7, w[3] & 7, w[4] & 7, w[5] & 7, w[6] & 7,
                                                w[7] & 7);
        return _mm256_blend_epi32(_mm256_permutevar8x32_epi32(m.low, index),
                                  _mm256_permutevar8x32_epi32(m.high, index), kHigh);
    }

    template <int r, int j>
    BLAKE2_ROW_STEP static Row Gather(const Message& m)
    {
        if constexpr (j % 2 == 0)
            return _mm256_castsi256_si128(GatherPair<r, j>(m));
        else
            return _mm256_extracti128_si256(GatherPair<r, j - 1>(m), 1);
    }

    BLAKE2_ROW_STEP static Row LoadRow(const Word* words)
    {
        return _mm_loadu_si128(reinterpret_cast<const __m128i*>(words));
    }
    BLAKE2_ROW_STEP static void StoreRow(Word* words, Row row)
    {
        _mm_storeu_si128(reinterpret_cast<__m128i*>(words), row);
    }
    BLAKE2_ROW_STEP static Row CounterRow(Word t0, Word t1, Word flag)
    {
        return _mm_set_epi32(0, static_cast<int>(flag), static_cast<int>(t1), static_cast<int>(t0));
    }

    BLAKE2_ROW_STEP static Row Add(Row x, Row y) { return _mm_add_epi32(x, y); }
    BLAKE2_ROW_STEP static Row Xor(Row x, Row y) { return _mm_xor_si128(x, y); }
    BLAKE2_ROW_STEP static Row Xor3(Row x, Row y, Row z) { return _mm_xor_si128(x, _mm_xor_si128(y, z)); }
    template <int n>
    BLAKE2_ROW_STEP static Row Ror(Row x)
    {
        if constexpr (n == 16)
            return _mm_shuffle_epi8(x, _mm_setr_epi8(2, 3, 0, 1, 6, 7, 4, 5, 10, 11, 8, 9, 14, 15, 12, 13));
        else if constexpr (n == 8)
            return _mm_shuffle_epi8(x, _mm_setr_epi8(1, 2, 3, 0, 5, 6, 7, 4, 9, 10, 11, 8, 13, 14, 15, 12));
        else
            return _mm_or_si128(_mm_srli_epi32(x, n), _mm_slli_epi32(x, 32 - n));
    }
    template <int imm>
    BLAKE2_ROW_STEP static Row Turn(Row x)
    {
        return _mm_shuffle_epi32(x, imm);
    }
};

}  // namespace

void Blake2sCompressAvx2(Blake2sChain& chain, const std::uint8_t* blocks, std::size_t count, std::uint32_t bytes,
                         bool final)
{
    CompressRows<Avx2Rows>(chain, blocks, count, bytes, final);
}

}  // namespace engine

#endif
