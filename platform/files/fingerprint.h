#pragma once

#include <cstddef>
#include <cstdint>

namespace platform {

// A fingerprint of a window of a file, so that a second read can be compared
// with the first without keeping the bytes: a polynomial in a key chosen at
// random for each object, evaluated modulo the prime 2^61 - 1 over the
// window's 32-bit words and its length. Two different windows of up to n
// words get the same fingerprint with a chance of at most (n + 4) / 2^61,
// whatever their bytes, as long as the key is not known: for a window of
// 1 MiB, one in 2^42. It proves nothing against someone who knows the key;
// the key never leaves the process.
class WindowFingerprint {
public:
    WindowFingerprint();
    // For tests: a key of their choosing, from 1 to 2^61 - 2.
    explicit WindowFingerprint(std::uint64_t key);

    std::uint64_t Of(const unsigned char* bytes, std::size_t size) const noexcept;

private:
    std::uint64_t key_;
    std::uint64_t key2_, key3_, key4_;  // its powers, for four words at a time
};

}  // namespace platform
