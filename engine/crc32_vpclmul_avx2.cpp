// CRC-32 by folding 256 bits at a time with VPCLMULQDQ on AVX2 registers.
// Built with -mvpclmulqdq -mavx2 -mpclmul and called only where the CPU and
// the operating system support them (digest_paths.cpp); it includes nothing
// that could bring an inline function into this file.
#include "engine/digest_paths.h"

#if defined(VELLUMARK_ENGINE_X86)

#include <immintrin.h>

#include "engine/crc32_fold.h"

namespace engine {
namespace {

using crc32fold::KeysFor;

// Eight registers of two lanes in flight hide the multiplier's latency.
constexpr int kRegisters = 8;
constexpr std::size_t kWidth = 32;
constexpr std::size_t kStride = kRegisters * kWidth;

// The same keys for both lanes of a register.
[[gnu::always_inline]] inline __m256i Keys(crc32fold::FoldKeys keys)
{
    return _mm256_broadcastsi128_si256(
        _mm_set_epi64x(static_cast<long long>(keys.high), static_cast<long long>(keys.low)));
}

// Both lanes moved `keys`' distance along, plus the bytes that lie there.
[[gnu::always_inline]] inline __m256i Fold(__m256i lanes, __m256i keys, __m256i data)
{
    return _mm256_xor_si256(
        _mm256_xor_si256(_mm256_clmulepi64_epi128(lanes, keys, 0x00), _mm256_clmulepi64_epi128(lanes, keys, 0x11)),
        data);
}

[[gnu::always_inline]] inline __m256i Load(const std::uint8_t* p)
{
    return _mm256_load_si256(reinterpret_cast<const __m256i*>(p));
}

}  // namespace

std::uint32_t Crc32UpdateVpclmulAvx2(std::uint32_t crc, const std::uint8_t* p, std::size_t length)
{
    // Short messages gain nothing from the wide registers.
    if (length < 2 * kStride)
        return Crc32UpdateClmul(crc, p, length);

    // Aligned loads: a wide load across two cache lines costs twice.
    const std::size_t lead = (kWidth - (reinterpret_cast<std::uintptr_t>(p) & (kWidth - 1))) & (kWidth - 1);
    crc = Crc32UpdatePortable(crc, p, lead);
    p += lead;
    length -= lead;

    __m256i x[kRegisters];
#pragma GCC unroll 8
    for (int i = 0; i < kRegisters; ++i)
        x[i] = Load(p + kWidth * i);
    // The register enters as the first four message bytes XORed with it.
    x[0] = _mm256_xor_si256(x[0], _mm256_set_epi32(0, 0, 0, 0, 0, 0, 0, static_cast<int>(crc)));
    p += kStride;
    length -= kStride;

    const __m256i stride = Keys(KeysFor(8 * kStride));
    for (; length >= kStride; p += kStride, length -= kStride) {
#pragma GCC unroll 8
        for (int i = 0; i < kRegisters; ++i)
            x[i] = Fold(x[i], stride, Load(p + kWidth * i));
    }

    // Every register moves the rest of the way to the last one's place, then
    // whole registers' worth of bytes that are left.
    __m256i lanes = x[7];
    lanes = Fold(x[0], Keys(KeysFor(7 * 256)), lanes);
    lanes = Fold(x[1], Keys(KeysFor(6 * 256)), lanes);
    lanes = Fold(x[2], Keys(KeysFor(5 * 256)), lanes);
    lanes = Fold(x[3], Keys(KeysFor(4 * 256)), lanes);
    lanes = Fold(x[4], Keys(KeysFor(3 * 256)), lanes);
    lanes = Fold(x[5], Keys(KeysFor(2 * 256)), lanes);
    lanes = Fold(x[6], Keys(KeysFor(1 * 256)), lanes);
    const __m256i step = Keys(KeysFor(256));
    for (; length >= kWidth; p += kWidth, length -= kWidth)
        lanes = Fold(lanes, step, Load(p));

    // The low lane onto the high one.
    const crc32fold::FoldKeys half = KeysFor(128);
    const __m128i low = _mm256_castsi256_si128(lanes);
    const __m128i keys = _mm_set_epi64x(static_cast<long long>(half.high), static_cast<long long>(half.low));
    const __m128i lane =
        _mm_xor_si128(_mm_xor_si128(_mm_clmulepi64_si128(low, keys, 0x00), _mm_clmulepi64_si128(low, keys, 0x11)),
                      _mm256_extracti128_si256(lanes, 1));

    // The lane is congruent to the message so far: its CRC from a zero
    // register is the register after it. Fewer than 32 bytes are left.
    alignas(16) std::uint8_t last[16];
    _mm_store_si128(reinterpret_cast<__m128i*>(last), lane);
    crc = Crc32UpdatePortable(0, last, sizeof last);
    return Crc32UpdatePortable(crc, p, length);
}

}  // namespace engine

#endif
