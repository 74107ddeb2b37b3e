#pragma once

// What tests read of the engine's results by algorithm: a digest's
// hexadecimal text in lower case, as DigestToHexText gives it, and the
// CRC-32's word.
#include <cstdint>
#include <string>

#include "engine/algorithms.h"
#include "platform/base/ascii.h"

inline std::string HexOf(const engine::DigestResults& results, Algorithm algorithm)
{
    std::string text;
    const engine::DigestBytes& digest = results[algorithm];
    platform::AppendHexBytes(text, digest.data(), digest.size, false);
    return text;
}

// 0 when none was computed.
inline std::uint32_t Crc32Of(const engine::DigestResults& results)
{
    const engine::DigestBytes& digest = results[Algorithm::Crc32];
    std::uint32_t word = 0;
    for (std::size_t i = 0; i < digest.size; ++i)
        word = word << 8 | digest.bytes[i];
    return word;
}

// A one-shot operation's record, or a CRC-32's word, as the engine hands
// results out by algorithm.
template <class Digest>
engine::DigestBytes BytesOf(const Digest& digest)
{
    engine::DigestBytes bytes;
    for (std::size_t i = 0; i < sizeof digest.bytes; ++i)
        bytes.bytes[i] = digest.bytes[i];
    bytes.size = sizeof digest.bytes;
    return bytes;
}

inline engine::DigestBytes BytesOf(std::uint32_t crc32)
{
    engine::DigestBytes bytes;
    for (std::size_t i = 0; i < 4; ++i)
        bytes.bytes[i] = static_cast<std::uint8_t>(crc32 >> (24 - 8 * i));
    bytes.size = 4;
    return bytes;
}
