// BLAKE2b's block function, one row of the state per 256-bit register, with
// AVX-512's rotations on those registers (VL) and the round's message words
// gathered from the block in two 512-bit registers, one two-source
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
    using Row = __m256i;
    using Word = std::uint64_t;
    static constexpr std::size_t kBlock = kBlake2bBlockSize;
    static constexpr int kRounds = 12;
    static constexpr int kR1 = 32, kR2 = 24, kR3 = 16, kR4 = 63;
    static constexpr const Word* kIv = kBlake2bIv;

    struct Message {
        __m512i low, high;  // words 0..7, 8..15
    };

    BLAKE2_ROW_STEP static Message Load(const std::uint8_t* p)
    {
        return {_mm512_loadu_si512(p), _mm512_loadu_si512(p + 64)};
    }

    template <int r, int j>
    BLAKE2_ROW_STEP static Row Gather(const Message& m)
    {
        const __m512i index = _mm512_set_epi64(0, 0, 0, 0, MessageWord(r, j, 3), MessageWord(r, j, 2),
                                               MessageWord(r, j, 1), MessageWord(r, j, 0));
        return _mm512_castsi512_si256(_mm512_permutex2var_epi64(m.low, index, m.high));
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
    BLAKE2_ROW_STEP static Row Xor3(Row x, Row y, Row z) { return _mm256_ternarylogic_epi64(x, y, z, 0x96); }
    template <int n>
    BLAKE2_ROW_STEP static Row Ror(Row x)
    {
        return _mm256_ror_epi64(x, n);
    }
    template <int imm>
    BLAKE2_ROW_STEP static Row Turn(Row x)
    {
        return _mm256_permute4x64_epi64(x, imm);
    }
};

}  // namespace

void Blake2bCompressAvx512(Blake2bChain& chain, const std::uint8_t* blocks, std::size_t count, std::uint32_t bytes,
                           bool final)
{
    CompressRows<Avx512Rows>(chain, blocks, count, bytes, final);
}

}  // namespace engine

#endif
