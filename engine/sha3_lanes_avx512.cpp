// Eight SHA-3 messages side by side, one per 64-bit lane of AVX-512F's
// registers: register i holds lane i of every message, so the rounds are
// those of the portable routine, each operation on eight messages at once,
// and pi is only a matter of naming. Built with -mavx512f and called only
// where the CPU has it (digest_paths.cpp); it includes nothing that could
// bring a shared inline function into this file.
#include "engine/sha3.h"

#if defined(__x86_64__)

// GCC 12's AVX-512 headers fill unused lanes from a variable initialised
// with itself, which -Wmaybe-uninitialized reports wherever the intrinsics
// are inlined (GCC bug 105593, mended in GCC 13).
#if defined(__GNUC__) && !defined(__clang__) && __GNUC__ < 13
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif

#include <immintrin.h>

#include <cstddef>
#include <cstdint>

#define SHA3_LANES_STEP [[gnu::always_inline]] inline

namespace engine {
namespace {

constexpr int kLanes = 8;
using Vector = __m512i;

SHA3_LANES_STEP Vector Xor3(Vector a, Vector b, Vector c)
{
    return _mm512_ternarylogic_epi64(a, b, c, 0x96);
}

// a ^ (~b & c).
SHA3_LANES_STEP Vector Chi(Vector a, Vector b, Vector c)
{
    return _mm512_ternarylogic_epi64(a, b, c, 0xD2);
}

template <int kBits>
SHA3_LANES_STEP Vector Rol(Vector v)
{
    if constexpr (kBits == 0)
        return v;
    else
        return _mm512_rol_epi64(v, kBits);
}

// Output row y of pi takes lanes (x + 3y, x): theta's D, rho's rotation,
// then chi along the row.
template <int kY>
SHA3_LANES_STEP void Row(const Vector (&a)[25], const Vector (&d)[5], Vector (&e)[25])
{
    constexpr int c0 = (0 + 3 * kY) % 5, c1 = (1 + 3 * kY) % 5, c2 = (2 + 3 * kY) % 5, c3 = (3 + 3 * kY) % 5,
                  c4 = (4 + 3 * kY) % 5;
    const Vector b0 = Rol<kKeccakRotations[c0]>(_mm512_xor_si512(a[c0], d[c0]));
    const Vector b1 = Rol<kKeccakRotations[c1 + 5]>(_mm512_xor_si512(a[c1 + 5], d[c1]));
    const Vector b2 = Rol<kKeccakRotations[c2 + 10]>(_mm512_xor_si512(a[c2 + 10], d[c2]));
    const Vector b3 = Rol<kKeccakRotations[c3 + 15]>(_mm512_xor_si512(a[c3 + 15], d[c3]));
    const Vector b4 = Rol<kKeccakRotations[c4 + 20]>(_mm512_xor_si512(a[c4 + 20], d[c4]));
    e[5 * kY] = Chi(b0, b1, b2);
    e[5 * kY + 1] = Chi(b1, b2, b3);
    e[5 * kY + 2] = Chi(b2, b3, b4);
    e[5 * kY + 3] = Chi(b3, b4, b0);
    e[5 * kY + 4] = Chi(b4, b0, b1);
}

// D is made whole before the rows take it: five registers fewer live than
// the column sums and their rotations, which keeps more lanes out of memory.
SHA3_LANES_STEP void Round(const Vector (&a)[25], Vector (&e)[25], std::uint64_t roundConstant)
{
    Vector c[5], d[5];
#pragma GCC unroll 5
    for (int x = 0; x < 5; ++x)
        c[x] = Xor3(Xor3(a[x + 5], a[x + 10], a[x + 15]), a[x + 20], a[x]);
#pragma GCC unroll 5
    for (int x = 0; x < 5; ++x)
        d[x] = _mm512_xor_si512(_mm512_rol_epi64(c[(x + 1) % 5], 1), c[(x + 4) % 5]);
    Row<0>(a, d, e);
    Row<1>(a, d, e);
    Row<2>(a, d, e);
    Row<3>(a, d, e);
    Row<4>(a, d, e);
    e[0] = _mm512_xor_si512(e[0], _mm512_set1_epi64(static_cast<long long>(roundConstant)));
}

// rows[l] holds eight words of message l; columns[j] takes word j of every
// message.
SHA3_LANES_STEP void Transpose(const Vector (&rows)[kLanes], Vector (&columns)[kLanes])
{
    Vector pairs[kLanes];
#pragma GCC unroll 4
    for (int l = 0; l < kLanes; l += 2) {
        pairs[l] = _mm512_unpacklo_epi64(rows[l], rows[l + 1]);      // words 0, 2, 4, 6 of l and l + 1
        pairs[l + 1] = _mm512_unpackhi_epi64(rows[l], rows[l + 1]);  // words 1, 3, 5, 7
    }
    const Vector low = _mm512_setr_epi64(0, 1, 8, 9, 4, 5, 12, 13),
                 high = _mm512_setr_epi64(2, 3, 10, 11, 6, 7, 14, 15);
    Vector quads[kLanes];  // words j and j + 4 of four messages
#pragma GCC unroll 2
    for (int h = 0; h < 2; ++h) {
        quads[4 * h] = _mm512_permutex2var_epi64(pairs[4 * h], low, pairs[4 * h + 2]);           // 0 and 4
        quads[4 * h + 1] = _mm512_permutex2var_epi64(pairs[4 * h + 1], low, pairs[4 * h + 3]);   // 1 and 5
        quads[4 * h + 2] = _mm512_permutex2var_epi64(pairs[4 * h], high, pairs[4 * h + 2]);      // 2 and 6
        quads[4 * h + 3] = _mm512_permutex2var_epi64(pairs[4 * h + 1], high, pairs[4 * h + 3]);  // 3 and 7
    }
#pragma GCC unroll 4
    for (int j = 0; j < 4; ++j) {
        columns[j] = _mm512_shuffle_i64x2(quads[j], quads[j + 4], 0x44);
        columns[j + 4] = _mm512_shuffle_i64x2(quads[j], quads[j + 4], 0xEE);
    }
}

}  // namespace

void Sha3LanesAvx512(Sha3LaneStates& states, const std::uint8_t* const* blocks, LaneMask active, std::size_t count,
                     std::size_t rate)
{
    active &= (LaneMask{1} << kLanes) - 1;
    if (active == 0 || count == 0)
        return;
    // Messages left out read a block of zeros over and over; their lanes are
    // never stored.
    alignas(64) static const std::uint8_t kIdle[200] = {};
    const std::uint8_t* p[kLanes];
    std::size_t stride[kLanes];
    for (int l = 0; l < kLanes; ++l) {
        const bool on = (active >> l) & 1;
        p[l] = on ? blocks[l] : kIdle;
        stride[l] = on ? rate : 0;
    }
    // The words of each group of eight that a block fills.
    const std::size_t words = rate / 8;
    __mmask8 fill[4];
    for (std::size_t g = 0; g < 4; ++g) {
        const std::size_t n = words > 8 * g ? words - 8 * g : 0;
        fill[g] = static_cast<__mmask8>((1u << (n < 8 ? n : 8)) - 1);
    }

    Vector a[25], e[25];
#pragma GCC unroll 25
    for (int i = 0; i < 25; ++i)
        a[i] = _mm512_load_si512(states.words[i]);
    for (; count > 0; --count) {
#pragma GCC unroll 4
        for (int g = 0; g < 4; ++g) {
            if (fill[g] == 0)
                break;
            Vector rows[kLanes], columns[kLanes];
#pragma GCC unroll 8
            for (int l = 0; l < kLanes; ++l)
                rows[l] = _mm512_maskz_loadu_epi64(fill[g], p[l] + 64 * g);
            Transpose(rows, columns);
#pragma GCC unroll 8
            for (int j = 0; j < kLanes; ++j)
                if (8 * g + j < 25)
                    a[8 * g + j] = _mm512_xor_si512(a[8 * g + j], columns[j]);
        }
        for (int l = 0; l < kLanes; ++l)
            p[l] += stride[l];
#pragma GCC unroll 1
        for (int round = 0; round < 24; round += 2) {
            Round(a, e, kKeccakRoundConstants[round]);
            Round(e, a, kKeccakRoundConstants[round + 1]);
        }
    }
    const auto keep = static_cast<__mmask8>(active);
#pragma GCC unroll 25
    for (int i = 0; i < 25; ++i)
        _mm512_mask_storeu_epi64(states.words[i], keep, a[i]);
}

}  // namespace engine

#endif
