// CRC-32 by folding 128 bits at a time with PCLMULQDQ. Built with -mpclmul
// and called only where the CPU has it (digest_paths.cpp); it includes
// nothing that could bring an inline function into this file.
#include "engine/digest_paths.h"

#if defined(VELLUMARK_ENGINE_X86)

#include <immintrin.h>

#include "engine/crc32_fold.h"

namespace engine {
namespace {

using crc32fold::KeysFor;

// Eight lanes in flight hide the multiplier's latency.
constexpr int kLanes = 8;
constexpr std::size_t kStride = kLanes * 16;

[[gnu::always_inline]] inline __m128i Keys(crc32fold::FoldKeys keys)
{
    return _mm_set_epi64x(static_cast<long long>(keys.high), static_cast<long long>(keys.low));
}

// The lane moved `keys`' distance along, plus the bytes that lie there.
[[gnu::always_inline]] inline __m128i Fold(__m128i lane, __m128i keys, __m128i data)
{
    return _mm_xor_si128(_mm_xor_si128(_mm_clmulepi64_si128(lane, keys, 0x00), _mm_clmulepi64_si128(lane, keys, 0x11)),
                         data);
}

[[gnu::always_inline]] inline __m128i Load(const std::uint8_t* p)
{
    return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
}

}  // namespace

std::uint32_t Crc32UpdateClmul(std::uint32_t crc, const std::uint8_t* p, std::size_t length)
{
    // Below this the setup and the final reduction cost more than the table.
    if (length < 64)
        return Crc32UpdatePortable(crc, p, length);

    // The register enters as the first four message bytes XORed with it.
    const __m128i start = _mm_cvtsi32_si128(static_cast<int>(crc));
    __m128i lane;
    if (length >= kStride) {
        __m128i x[kLanes];
#pragma GCC unroll 8
        for (int i = 0; i < kLanes; ++i)
            x[i] = Load(p + 16 * i);
        x[0] = _mm_xor_si128(x[0], start);
        p += kStride;
        length -= kStride;

        const __m128i stride = Keys(KeysFor(8 * kStride));
        for (; length >= kStride; p += kStride, length -= kStride) {
#pragma GCC unroll 8
            for (int i = 0; i < kLanes; ++i)
                x[i] = Fold(x[i], stride, Load(p + 16 * i));
        }

        // Every lane moves the rest of the way to the last one's place.
        lane = x[7];
        lane = Fold(x[0], Keys(KeysFor(7 * 128)), lane);
        lane = Fold(x[1], Keys(KeysFor(6 * 128)), lane);
        lane = Fold(x[2], Keys(KeysFor(5 * 128)), lane);
        lane = Fold(x[3], Keys(KeysFor(4 * 128)), lane);
        lane = Fold(x[4], Keys(KeysFor(3 * 128)), lane);
        lane = Fold(x[5], Keys(KeysFor(2 * 128)), lane);
        lane = Fold(x[6], Keys(KeysFor(1 * 128)), lane);
    } else {
        lane = _mm_xor_si128(Load(p), start);
        p += 16;
        length -= 16;
    }

    const __m128i step = Keys(KeysFor(128));
    for (; length >= 16; p += 16, length -= 16)
        lane = Fold(lane, step, Load(p));

    // The lane is congruent to the message so far: its CRC from a zero
    // register is the register after it. The table finishes the rest.
    alignas(16) std::uint8_t last[16];
    _mm_store_si128(reinterpret_cast<__m128i*>(last), lane);
    crc = Crc32UpdatePortable(0, last, sizeof last);
    return Crc32UpdatePortable(crc, p, length);
}

}  // namespace engine

#endif
