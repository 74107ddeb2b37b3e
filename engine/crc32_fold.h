#pragma once

// The constants of CRC-32 folding by carry-less multiplication, worked out
// by the compiler. Everything here is consteval: no code of it lands in the
// files built for wider instruction sets that include it.
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

#include <cstdint>

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
