// The window fingerprint that lets a second read be compared with the first.
#include "platform/files/fingerprint.h"

#include <cstring>
#include <random>
#include <set>
#include <vector>

#include <gtest/gtest.h>

namespace {

using platform::WindowFingerprint;

constexpr std::uint64_t kPrime = (std::uint64_t{1} << 61) - 1;
__extension__ using Wide = unsigned __int128;

// The polynomial written out plainly: Horner's rule over the little-endian
// 32-bit words (the last one padded with zeros) and the length's low word,
// then the length's high word added.
std::uint64_t Plainly(std::uint64_t key, const std::vector<unsigned char>& bytes)
{
    std::vector<std::uint64_t> coefficients;
    for (std::size_t i = 0; i < bytes.size(); i += 4) {
        std::uint64_t word = 0;
        for (std::size_t b = 0; b < 4 && i + b < bytes.size(); ++b)
            word |= std::uint64_t{bytes[i + b]} << (8 * b);
        coefficients.push_back(word);
    }
    coefficients.push_back(bytes.size() & 0xFFFFFFFFu);
    Wide h = 0;
    for (const std::uint64_t c : coefficients)
        h = (h + c) % kPrime * key % kPrime;
    return static_cast<std::uint64_t>((h + (bytes.size() >> 32)) % kPrime);
}

std::vector<unsigned char> RandomBytes(std::mt19937_64& random, std::size_t size)
{
    std::vector<unsigned char> bytes(size);
    for (auto& b : bytes)
        b = static_cast<unsigned char>(random());
    return bytes;
}

// The four chains and the tail add up to the plain polynomial, for every
// length around the chains' stride and for keys at the ends of their range.
TEST(WindowFingerprint, IsThePlainPolynomialOfTheWordsAndTheLength)
{
    std::mt19937_64 random(20261209);
    for (const std::uint64_t key : {std::uint64_t{1}, std::uint64_t{2}, kPrime - 2, random() % (kPrime - 1) + 1}) {
        const WindowFingerprint print(key);
        for (std::size_t size = 0; size <= 200 && !HasFailure(); ++size) {
            const auto bytes = RandomBytes(random, size);
            EXPECT_EQ(print.Of(bytes.data(), bytes.size()), Plainly(key, bytes)) << "key " << key << ", size " << size;
        }
        // All ones: the largest words, where a missed reduction would show.
        const std::vector<unsigned char> ones(1 << 16, 0xFF);
        EXPECT_EQ(print.Of(ones.data(), ones.size()), Plainly(key, ones)) << key;
    }
}

// What a writer between two reads may do: change one bit anywhere, append or
// drop zero bytes. Each changes the fingerprint, under a key of its own.
TEST(WindowFingerprint, TellsAChangedWindowFromTheFirst)
{
    std::mt19937_64 random(7);
    const WindowFingerprint print;
    const auto window = RandomBytes(random, 4096 + 3);
    const std::uint64_t first = print.Of(window.data(), window.size());
    EXPECT_EQ(print.Of(window.data(), window.size()), first);
    for (std::size_t bit = 0; bit < 8 * window.size(); ++bit) {
        auto changed = window;
        changed[bit / 8] ^= static_cast<unsigned char>(1u << (bit % 8));
        ASSERT_NE(print.Of(changed.data(), changed.size()), first) << "bit " << bit;
    }
    std::vector<unsigned char> zeros(64, 0);
    std::set<std::uint64_t> lengths;
    for (std::size_t size = 0; size <= zeros.size(); ++size)
        lengths.insert(print.Of(zeros.data(), size));
    EXPECT_EQ(lengths.size(), zeros.size() + 1) << "zeros of different lengths collide";

    // Keys drawn at random differ, and with them the fingerprint.
    std::set<std::uint64_t> keyed;
    for (int i = 0; i < 16; ++i)
        keyed.insert(WindowFingerprint().Of(window.data(), window.size()));
    EXPECT_EQ(keyed.size(), 16u);
}

}  // namespace
