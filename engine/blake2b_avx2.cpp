// BLAKE2b's block function, one row of the state per 256-bit register, with
// AVX2: rotations by 32, 24 and 16 bits as byte shuffles, by 63 as a shift
// and an addition; the round's message words put together from the block
// in memory. Built with -mavx2 and called only where the CPU and the
// operating system support it (blake2.cpp); it includes nothing that could
// bring a shared inline function into this file. The rounds are
// blake2_rows.h's.
#include "engine/blake2.h"

#if defined(VELLUMARK_ENGINE_X86)

#include <immintrin.h>

#include <cstring>

#include "engine/blake2_rows.h"

namespace engine {
namespace {

struct Avx2Rows {
    using Row = __m256i;
    using Word = std::uint64_t;
    static constexpr std::size_t kBlock = kBlake2bBlockSize;
    static constexpr int kRounds = 12;
    static constexpr int kR1 = 32, kR2 = 24, kR3 = 16, kR4 = 63;
    static constexpr const Word* kIv = kBlake2bIv;

    // The block where it is: each word is loaded where a round needs it.
    using Message = const std::uint8_t*;

    BLAKE2_ROW_STEP static Message Load(const std::uint8_t* p) { return p; }

    BLAKE2_ROW_STEP static long long Word64(const std::uint8_t* p, int i)
    {
        long long w;
        std::memcpy(&w, p + 8 * i, sizeof w);
        return w;
    }

    template <int r, int j>
    BLAKE2_ROW_STEP static Row Gather(const Message& m)
    {
        return _mm256_set_epi64x(Word64(m, MessageWord(r, j, 3)), Word64(m, MessageWord(r, j, 2)),
                                 Word64(m, MessageWord(r, j, 1)), Word64(m, MessageWord(r, j, 0)));
    }

    BLAKE2_ROW_STEP static Row LoadRow(const Word* words)
    {
        return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(words));
    }
    BLAKE2_ROW_STEP static void StoreRow(Word* words, Row row)
    {
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(words), row);
    }
    BLAKE2_ROW_STEP static Row CounterRow(Word t0, Word t1, Word flag)
    {
        return _mm256_set_epi64x(0, static_cast<long long>(flag), static_cast<long long>(t1),
                                 static_cast<long long>(t0));
    }

    BLAKE2_ROW_STEP static Row Add(Row x, Row y) { return _mm256_add_epi64(x, y); }
    BLAKE2_ROW_STEP static Row Xor(Row x, Row y) { return _mm256_xor_si256(x, y); }
    BLAKE2_ROW_STEP static Row Xor3(Row x, Row y, Row z) { return _mm256_xor_si256(x, _mm256_xor_si256(y, z)); }
    template <int n>
    BLAKE2_ROW_STEP static Row Ror(Row x)
    {
        if constexpr (n == 32) {
            return _mm256_shuffle_epi32(x, 0xB1);
        } else if constexpr (n == 24) {
            // Byte i of each word takes byte i + 3.
            return _mm256_shuffle_epi8(x, _mm256_setr_epi8(3, 4, 5, 6, 7, 0, 1, 2, 11, 12, 13, 14, 15, 8, 9, 10, 3, 4,
                                                           5, 6, 7, 0, 1, 2, 11, 12, 13, 14, 15, 8, 9, 10));
        } else if constexpr (n == 16) {
            return _mm256_shuffle_epi8(x, _mm256_setr_epi8(2, 3, 4, 5, 6, 7, 0, 1, 10, 11, 12, 13, 14, 15, 8, 9, 2, 3,
                                                           4, 5, 6, 7, 0, 1, 10, 11, 12, 13, 14, 15, 8, 9));
        } else {
            static_assert(n == 63);
            return _mm256_or_si256(_mm256_srli_epi64(x, 63), _mm256_add_epi64(x, x));
        }
    }
    template <int imm>
    BLAKE2_ROW_STEP static Row Turn(Row x)
    {
        return _mm256_permute4x64_epi64(x, imm);
    }
};

}  // namespace

void Blake2bCompressAvx2(Blake2bChain& chain, const std::uint8_t* blocks, std::size_t count, std::uint32_t bytes,
                         bool final)
{
    CompressRows<Avx2Rows>(chain, blocks, count, bytes, final);
}

}  // namespace engine

#endif
