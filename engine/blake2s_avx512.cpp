// BLAKE2s's block function, one row of the state per 128-bit register, with
// AVX-512's rotations on those registers (VL) and the round's message words
// gathered from the block, which one 512-bit register holds whole, by one
// permutation per row of them. Built with -mavx512f -mavx512vl -mavx2 and
// called only where the CPU and the operating system support them
// (blake2.cpp); it includes nothing that could bring a shared inline
// function into this file. The rounds are blake2_rows.h's.
#include "engine/blake2.h"

#if defined(VELLUMARK_ENGINE_X86)

// GCC 12's AVX-512 headers fill unused lanes from a variable initialised
// with itself, which -Wmaybe-uninitialized reports wherever the intrinsics
// are inlined (GCC bug 105593, mended in GCC 13).
#if defined(__GNUC__) && !defined(__clang__) && __GNUC__ < 13
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif

#include <immintrin.h>

#include "engine/blake2_rows.h"

namespace engine {
namespace {

struct Avx512Rows {
    using Row = __m128i;
    using Word = std::uint32_t;
    static constexpr std::size_t kBlock = kBlake2sBlockSize;
    static constexpr int kRounds = 10;
    static constexpr int kR1 = 16, kR2 = 12, kR3 = 8, kR4 = 7;
    static constexpr const Word* kIv = kBlake2sIv;

    using Message = __m512i;

    BLAKE2_ROW_STEP static Message Load(const std::uint8_t* p) { return _mm512_loadu_si512(p); }

    template <int r, int j>
    BLAKE2_ROW_STEP static Row Gather(const Message& m)
    {
        const __m512i index = _mm512_set_epi32(0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, MessageWord(r, j, 3),
                                               MessageWord(r, j, 2), MessageWord(r, j, 1), MessageWord(r, j, 0));
        return _mm512_castsi512_si128(_mm512_permutexvar_epi32(index, m));
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
    BLAKE2_ROW_STEP static Row Xor3(Row x, Row y, Row z) { return _mm_ternarylogic_epi32(x, y, z, 0x96); }
    template <int n>
    BLAKE2_ROW_STEP static Row Ror(Row x)
    {
        return _mm_ror_epi32(x, n);
    }
    template <int imm>
    BLAKE2_ROW_STEP static Row Turn(Row x)
    {
        return _mm_shuffle_epi32(x, imm);
    }
};

}  // namespace

void Blake2sCompressAvx512(Blake2sChain& chain, const std::uint8_t* blocks, std::size_t count, std::uint32_t bytes,
                           bool final)
{
    CompressRows<Avx512Rows>(chain, blocks, count, bytes, final);
}

}  // namespace engine

#endif
