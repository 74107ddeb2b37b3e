#pragma once

// CRC-32 folding by carry-less multiplication: its constants, worked out by
// the compiler, and the fold itself, written once over the register width
// for the three folding routines. For their files alone
// (crc32_clmul.cpp, crc32_vpclmul_avx2.cpp, crc32_vpclmul_avx512.cpp): the
// code is in an unnamed namespace, so each of them compiles a copy of its
// own with its own instruction set (see digest_paths.h).
//
// The folding routines hold 16 message bytes per 128-bit lane. With the
// bits reflected, as this CRC has them, a lane's low 64 bits are the higher-
// degree half of its polynomial. Moving a lane D bits further along the
// message multiplies it by x^D modulo P: the low half by x^(D+64), the high
// half by x^D. The carry-less product of a 64-bit half and a 33-bit reflected
// constant lands in the lane multiplied by another x^32, so the constants are
// x^(D+32) and x^(D-32) modulo P, reflected and moved up one bit. The
// products are at most 96 bits wide and stay congruent, not reduced: the
// last lane is reduced by running the table over its 16 bytes.

#include <immintrin.h>

#include <cstddef>
#include <cstdint>
#include <utility>

#include "engine/digest_paths.h"

namespace engine::crc32fold {

// The CRC-32 polynomial with x^32 written out, not reflected.
constexpr std::uint64_t kPolynomial = 0x104C11DB7;

consteval std::uint32_t XPowerModP(int n)
{
    std::uint64_t r = 1;
    for (int i = 0; i < n; ++i) {
        r <<= 1;
        if (r & (std::uint64_t{1} << 32))
            r ^= kPolynomial;
    }
    return static_cast<std::uint32_t>(r);
}

consteval std::uint64_t Key(int n)
{
    const std::uint32_t v = XPowerModP(n);
    std::uint32_t reflected = 0;
    for (int bit = 0; bit < 32; ++bit)
        if (v & (std::uint32_t{1} << bit))
            reflected |= std::uint32_t{1} << (31 - bit);
    return std::uint64_t{reflected} << 1;
}

// For the lane's low and high 64 bits.
struct FoldKeys {
    std::uint64_t low, high;
};

consteval FoldKeys KeysFor(int distanceBits)
{
    return {Key(distanceBits + 32), Key(distanceBits - 32)};
}

// The classic constants of the 512-bit fold, as published with the method,
// and of the 128-bit one: the generator above must give them.
static_assert(KeysFor(512).low == 0x154442BD4 && KeysFor(512).high == 0x1C6E41596);
static_assert(KeysFor(128).low == 0x1751997D0 && KeysFor(128).high == 0x0CCAA009E);

}  // namespace engine::crc32fold

namespace engine {
namespace {

// PCLMULQDQ, which every folding routine has, on one 128-bit lane: the lane
// moved `keys`' distance along, plus the bytes that lie there.
[[gnu::always_inline]] inline __m128i Keys128(crc32fold::FoldKeys keys)
{
    return _mm_set_epi64x(static_cast<long long>(keys.high), static_cast<long long>(keys.low));
}

[[gnu::always_inline]] inline __m128i Fold128(__m128i lane, __m128i keys, __m128i data)
{
    return _mm_xor_si128(_mm_xor_si128(_mm_clmulepi64_si128(lane, keys, 0x00), _mm_clmulepi64_si128(lane, keys, 0x11)),
                         data);
}

// A register of 128-bit lanes, `kBytes` wide: one (PCLMULQDQ), two
// (VPCLMULQDQ on AVX2) or four (VPCLMULQDQ on AVX-512). Only the routine
// built for a width instantiates it, so each file compiles the instructions
// of its own.
template <std::size_t kWidth>
struct VectorOf;
template <>
struct VectorOf<16> {
    using Type = __m128i;
};
template <>
struct VectorOf<32> {
    using Type = __m256i;
};
template <>
struct VectorOf<64> {
    using Type = __m512i;
};

template <std::size_t kBytes>
struct FoldWidth {
    using Vector = typename VectorOf<kBytes>::Type;
    static constexpr std::size_t kWidth = kBytes;
    // The wide loads want an aligned address: one across two cache lines
    // costs twice.
    static constexpr bool kAligned = kWidth > 16;

    [[gnu::always_inline]] static Vector Load(const std::uint8_t* p)
    {
        if constexpr (kWidth == 16)
            return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
        else if constexpr (kWidth == 32)
            return _mm256_load_si256(reinterpret_cast<const __m256i*>(p));
        else
            return _mm512_load_si512(reinterpret_cast<const void*>(p));
    }

    // The register enters as the first four message bytes XORed with it.
    [[gnu::always_inline]] static Vector Enter(Vector first, std::uint32_t crc)
    {
        if constexpr (kWidth == 16)
            return _mm_xor_si128(first, _mm_cvtsi32_si128(static_cast<int>(crc)));
        else if constexpr (kWidth == 32)
            return _mm256_xor_si256(first, _mm256_set_epi32(0, 0, 0, 0, 0, 0, 0, static_cast<int>(crc)));
        else
            return _mm512_xor_si512(first, _mm512_set_epi64(0, 0, 0, 0, 0, 0, 0, static_cast<long long>(crc)));
    }

    // The same keys for every lane of a register.
    [[gnu::always_inline]] static Vector Keys(crc32fold::FoldKeys keys)
    {
        const auto low = static_cast<long long>(keys.low), high = static_cast<long long>(keys.high);
        if constexpr (kWidth == 16)
            return _mm_set_epi64x(high, low);
        else if constexpr (kWidth == 32)
            return _mm256_broadcastsi128_si256(_mm_set_epi64x(high, low));
        else
            return _mm512_set_epi64(high, low, high, low, high, low, high, low);
    }

    // Every lane moved `keys`' distance along, plus the bytes that lie there;
    // with AVX-512, the two products and the data in one three-way XOR.
    [[gnu::always_inline]] static Vector Fold(Vector lanes, Vector keys, Vector data)
    {
        if constexpr (kWidth == 16)
            return Fold128(lanes, keys, data);
        else if constexpr (kWidth == 32)
            return _mm256_xor_si256(
                _mm256_xor_si256(_mm256_clmulepi64_epi128(lanes, keys, 0x00), _mm256_clmulepi64_epi128(lanes, keys, 0x11)),
                data);
        else
            return _mm512_ternarylogic_epi64(_mm512_clmulepi64_epi128(lanes, keys, 0x00),
                                             _mm512_clmulepi64_epi128(lanes, keys, 0x11), data, 0x96);
    }

    // Halves onto halves until one lane is left: the low half of the
    // register moved onto the high one, half the register's width along.
    [[gnu::always_inline]] static __m128i ToLane(Vector lanes)
    {
        if constexpr (kWidth == 16) {
            return lanes;
        } else if constexpr (kWidth == 32) {
            return Fold128(_mm256_castsi256_si128(lanes), Keys128(crc32fold::KeysFor(128)),
                           _mm256_extracti128_si256(lanes, 1));
        } else {
            using Half = FoldWidth<32>;
            return Half::ToLane(Half::Fold(_mm512_castsi512_si256(lanes), Half::Keys(crc32fold::KeysFor(256)),
                                           _mm512_extracti64x4_epi64(lanes, 1)));
        }
    }
};

// The lane is congruent to the message so far: its CRC from a zero register
// is the register after it. The table finishes the `length` bytes left.
[[gnu::always_inline]] inline std::uint32_t FinishLane(__m128i lane, const std::uint8_t* p, std::size_t length)
{
    alignas(16) std::uint8_t last[16];
    _mm_store_si128(reinterpret_cast<__m128i*>(last), lane);
    const std::uint32_t crc = Crc32UpdatePortable(0, last, sizeof last);
    return Crc32UpdatePortable(crc, p, length);
}

// Every register but the last moved the rest of the way to the last one's
// place, the first furthest.
template <class Width, std::size_t... i>
[[gnu::always_inline]] inline typename Width::Vector FoldOntoLast(const typename Width::Vector* x,
                                                                  std::index_sequence<i...>)
{
    constexpr std::size_t kLast = sizeof...(i);
    typename Width::Vector lanes = x[kLast];
    ((lanes = Width::Fold(x[i], Width::Keys(crc32fold::KeysFor(static_cast<int>(8 * Width::kWidth * (kLast - i)))),
                          lanes)),
     ...);
    return lanes;
}

// The fold of the first whole strides of a message of at least kRegisters
// registers' worth of bytes (past the lead that aligns it, where the loads
// want that), kRegisters in flight to hide the multiplier's latency, into
// one register; `p` and `length` are moved past them.
template <std::size_t kWidth, int kRegisters>
[[gnu::always_inline]] inline typename FoldWidth<kWidth>::Vector FoldStrides(std::uint32_t crc, const std::uint8_t*& p,
                                                                             std::size_t& length)
{
    using Width = FoldWidth<kWidth>;
    using Vector = typename Width::Vector;
    constexpr std::size_t kStride = kRegisters * kWidth;
    if constexpr (Width::kAligned) {
        const std::size_t lead = (kWidth - (reinterpret_cast<std::uintptr_t>(p) & (kWidth - 1))) & (kWidth - 1);
        crc = Crc32UpdatePortable(crc, p, lead);
        p += lead;
        length -= lead;
    }

    Vector x[kRegisters];
#pragma GCC unroll 8
    for (int i = 0; i < kRegisters; ++i)
        x[i] = Width::Load(p + kWidth * i);
    x[0] = Width::Enter(x[0], crc);
    p += kStride;
    length -= kStride;

    const Vector stride = Width::Keys(crc32fold::KeysFor(8 * kStride));
    for (; length >= kStride; p += kStride, length -= kStride) {
#pragma GCC unroll 8
        for (int i = 0; i < kRegisters; ++i)
            x[i] = Width::Fold(x[i], stride, Width::Load(p + kWidth * i));
    }
    return FoldOntoLast<Width>(x, std::make_index_sequence<kRegisters - 1>());
}

// The rest of the message after a register of it: whole registers' worth
// folded in, the lanes folded into one, the bytes left through the table.
template <std::size_t kWidth>
[[gnu::always_inline]] inline std::uint32_t FinishFold(typename FoldWidth<kWidth>::Vector lanes, const std::uint8_t* p,
                                                       std::size_t length)
{
    using Width = FoldWidth<kWidth>;
    const typename Width::Vector step = Width::Keys(crc32fold::KeysFor(8 * kWidth));
    for (; length >= kWidth; p += kWidth, length -= kWidth)
        lanes = Width::Fold(lanes, step, Width::Load(p));
    return FinishLane(Width::ToLane(lanes), p, length);
}

}  // namespace
}  // namespace engine
