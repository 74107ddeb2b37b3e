#include "platform/files/fingerprint.h"

#include <algorithm>
#include <cstring>
#include <random>

namespace platform {
namespace {

constexpr std::uint64_t kPrime = (std::uint64_t{1} << 61) - 1;

__extension__ using Wide = unsigned __int128;

// a * b modulo the prime, for a below 2^63 and b below 2^61; the result is
// below 2^61 + 8, which is as far as the sums below need it reduced.
inline std::uint64_t MulMod(std::uint64_t a, std::uint64_t b) noexcept
{
    const Wide product = Wide{a} * b;
    const std::uint64_t folded = (static_cast<std::uint64_t>(product) & kPrime) + static_cast<std::uint64_t>(product >> 61);
    return (folded & kPrime) + (folded >> 61);
}

inline std::uint64_t Reduce(std::uint64_t a) noexcept
{
    a = (a & kPrime) + (a >> 61);
    return a >= kPrime ? a - kPrime : a;
}

inline std::uint32_t Word(const unsigned char* p) noexcept
{
    std::uint32_t w;
    std::memcpy(&w, p, sizeof w);
    return w;
}

}  // namespace

WindowFingerprint::WindowFingerprint()
    : WindowFingerprint([] {
          std::random_device random;
          std::uint64_t key = 0;
          while (key == 0 || key >= kPrime)
              key = ((std::uint64_t{random()} << 32) | random()) & kPrime;
          return key;
      }())
{}

WindowFingerprint::WindowFingerprint(std::uint64_t key)
    : key_(key), key2_(Reduce(MulMod(key, key))), key3_(Reduce(MulMod(key2_, key))), key4_(Reduce(MulMod(key3_, key)))
{}

std::uint64_t WindowFingerprint::Of(const unsigned char* bytes, std::size_t size) const noexcept
{
    // Horner's rule over the words, four at a time in four independent chains
    // so that the multiplies overlap: chain j holds the words j, j + 4, ...,
    // each chain stepping by the key's fourth power, and their sum weighs
    // each chain by the power that puts its words where the plain rule would.
    std::uint64_t h0 = 0, h1 = 0, h2 = 0, h3 = 0;
    std::size_t i = 0;
    for (; i + 16 <= size; i += 16) {
        h0 = MulMod(h0, key4_) + Word(bytes + i);
        h1 = MulMod(h1, key4_) + Word(bytes + i + 4);
        h2 = MulMod(h2, key4_) + Word(bytes + i + 8);
        h3 = MulMod(h3, key4_) + Word(bytes + i + 12);
    }
    std::uint64_t h = Reduce(MulMod(h0, key4_) + MulMod(h1, key3_) + MulMod(h2, key2_) + MulMod(h3, key_));
    // The last words one at a time, and the bytes of a last partial word
    // padded with zeros: the length below tells them from real zeros.
    for (; i < size; i += 4) {
        unsigned char tail[4] = {};
        std::memcpy(tail, bytes + i, std::min<std::size_t>(4, size - i));
        h = MulMod(h + Word(tail), key_);
    }
    return Reduce(MulMod(h + static_cast<std::uint32_t>(size), key_) + (size >> 32));
}

}  // namespace platform
