#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

// Lower-case hex of raw bytes, kept apart from the engine's own formatter so
// that digest checks do not depend on the code they would be checking.
inline std::string Hex(const void* data, std::size_t count) {
    const auto* p = static_cast<const std::uint8_t*>(data);
    std::string text;
    char pair[3];
    for (std::size_t i = 0; i < count; ++i) {
        std::snprintf(pair, sizeof pair, "%02x", p[i]);
        text += pair;
    }
    return text;
}

template <class Digest>
std::string Hex(const Digest& digest) {
    return Hex(digest.bytes, sizeof digest.bytes);
}
