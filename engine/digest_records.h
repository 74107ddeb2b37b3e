#pragma once

#include <cstdint>

// The digest records, in a header of their own so that the block functions
// built for other instruction sets see them and nothing else of the engine.

// The MD5 digest in the standard's byte order. While a computation runs it
// holds the chaining words A, B, C, D, each least significant byte first.
struct Md5Digest {
    std::uint8_t bytes[16];
};

// The SHA-1 digest in the standard's byte order. While a computation runs it
// holds H0..H4 little-endian; each word is turned around at the end.
struct Sha1Digest {
    std::uint8_t bytes[20];
};

// The SHA-256 digest in the standard's byte order. While a computation runs
// it holds H0..H7 little-endian, as the SHA-1 record holds its words; each
// word is turned around at the end.
struct Sha256Digest {
    std::uint8_t bytes[32];
};

// The SHA-512 digest in the standard's byte order. While a computation runs
// it holds H0..H7 as 64-bit words, least significant byte first; each word
// is turned around at the end.
struct Sha512Digest {
    std::uint8_t bytes[64];
};

// SHA-224's and SHA-384's digests: the first 28 and 48 bytes of the state
// of SHA-256's and SHA-512's machinery, which runs in their records.
struct Sha224Digest {
    std::uint8_t bytes[28];
};
struct Sha384Digest {
    std::uint8_t bytes[48];
};
