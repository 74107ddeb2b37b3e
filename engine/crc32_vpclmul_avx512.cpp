// CRC-32 by folding 512 bits at a time with VPCLMULQDQ on AVX-512 registers.
// Built with -mvpclmulqdq -mavx512f -mavx2 -mpclmul and called only where
// the CPU and the operating system support them (digest_paths.cpp); it
// includes nothing that could bring an inline function into this file.
#include "engine/digest_paths.h"

#if defined(VELLUMARK_ENGINE_X86)

// GCC 12's AVX-512 headers fill unused lanes from a variable initialised
// with itself, which -Wmaybe-uninitialized reports wherever the intrinsics
// are inlined (GCC bug 105593, mended in GCC 13).
#if defined(__GNUC__) && !defined(__clang__) && __GNUC__ < 13
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif

#include <immintrin.h>

#include "engine/crc32_fold.h"

namespace engine {
namespace {

using crc32fold::KeysFor;

// Four registers of four lanes in flight hide the multiplier's latency.
constexpr int kRegisters = 4;
constexpr std::size_t kWidth = 64;
constexpr std::size_t kStride = kRegisters * kWidth;

[[gnu::always_inline]] inline __m128i Keys128(crc32fold::FoldKeys keys)
{
    return _mm_set_epi64x(static_cast<long long>(keys.high), static_cast<long long>(keys.low));
}

// The same keys for every lane of a register.
[[gnu::always_inline]] inline __m512i Keys(crc32fold::FoldKeys keys)
{
    const auto low = static_cast<long long>(keys.low), high = static_cast<long long>(keys.high);
    return _mm512_set_epi64(high, low, high, low, high, low, high, low);
}

// Every lane moved `keys`' distance along, plus the bytes that lie there:
// the two products and the data in one three-way XOR.
[[gnu::always_inline]] inline __m512i Fold(__m512i lanes, __m512i keys, __m512i data)
{
    return _mm512_ternarylogic_epi64(_mm512_clmulepi64_epi128(lanes, keys, 0x00),
                                     _mm512_clmulepi64_epi128(lanes, keys, 0x11), data, 0x96);
}

[[gnu::always_inline]] inline __m512i Load(const std::uint8_t* p)
{
    return _mm512_load_si512(reinterpret_cast<const void*>(p));
}

}  // namespace

std::uint32_t Crc32UpdateVpclmulAvx512(std::uint32_t crc, const std::uint8_t* p, std::size_t length)
{
    // Short messages gain nothing from the wide registers.
    if (length < 2 * kStride)
        return Crc32UpdateVpclmulAvx2(crc, p, length);

    // Aligned loads: a wide load across two cache lines costs twice.
    const std::size_t lead = (kWidth - (reinterpret_cast<std::uintptr_t>(p) & (kWidth - 1))) & (kWidth - 1);
    crc = Crc32UpdatePortable(crc, p, lead);
    p += lead;
    length -= lead;

    __m512i x[kRegisters];
#pragma GCC unroll 4
    for (int i = 0; i < kRegisters; ++i)
        x[i] = Load(p + kWidth * i);
    // The register enters as the first four message bytes XORed with it.
    x[0] = _mm512_xor_si512(x[0], _mm512_set_epi64(0, 0, 0, 0, 0, 0, 0, static_cast<long long>(crc)));
    p += kStride;
    length -= kStride;

    const __m512i stride = Keys(KeysFor(8 * kStride));
    for (; length >= kStride; p += kStride, length -= kStride) {
#pragma GCC unroll 4
        for (int i = 0; i < kRegisters; ++i)
            x[i] = Fold(x[i], stride, Load(p + kWidth * i));
    }

    // Every register moves the rest of the way to the last one's place, then
    // whole registers' worth of bytes that are left.
    __m512i lanes = x[3];
    lanes = Fold(x[0], Keys(KeysFor(3 * 512)), lanes);
    lanes = Fold(x[1], Keys(KeysFor(2 * 512)), lanes);
    lanes = Fold(x[2], Keys(KeysFor(1 * 512)), lanes);
    const __m512i step = Keys(KeysFor(512));
    for (; length >= kWidth; p += kWidth, length -= kWidth)
        lanes = Fold(lanes, step, Load(p));

    // Halves onto halves: the low 256 bits onto the high, then the low lane
    // of what is left onto its high lane.
    const crc32fold::FoldKeys quarter = KeysFor(256), eighth = KeysFor(128);
    const __m256i low = _mm512_castsi512_si256(lanes);
    const __m256i keys256 = _mm256_broadcastsi128_si256(Keys128(quarter));
    const __m256i half = _mm256_xor_si256(
        _mm256_xor_si256(_mm256_clmulepi64_epi128(low, keys256, 0x00), _mm256_clmulepi64_epi128(low, keys256, 0x11)),
        _mm512_extracti64x4_epi64(lanes, 1));
    const __m128i low128 = _mm256_castsi256_si128(half);
    const __m128i keys128 = Keys128(eighth);
    const __m128i lane = _mm_xor_si128(
        _mm_xor_si128(_mm_clmulepi64_si128(low128, keys128, 0x00), _mm_clmulepi64_si128(low128, keys128, 0x11)),
        _mm256_extracti128_si256(half, 1));

    // The lane is congruent to the message so far: its CRC from a zero
    // register is the register after it. Fewer than 64 bytes are left.
    alignas(16) std::uint8_t last[16];
    _mm_store_si128(reinterpret_cast<__m128i*>(last), lane);
    crc = Crc32UpdatePortable(0, last, sizeof last);
    return Crc32UpdatePortable(crc, p, length);
}

}  // namespace engine

#endif
