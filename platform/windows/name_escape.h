#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "platform/base/ascii.h"

namespace platform {

// Names in our line-based files are printable ASCII without spaces: every
// other byte, and '%' itself, is written as %XX, so any name round-trips.
inline std::string EscapeName(std::string_view text)
{
    std::string out;
    out.reserve(text.size());
    for (unsigned char c : text) {
        if (c <= 0x20 || c >= 0x7F || c == '%') {
            out += '%';
            AppendHexBytes(out, &c, 1, true);
        } else {
            out += static_cast<char>(c);
        }
    }
    return out;
}

inline std::optional<std::string> UnescapeName(std::string_view text)
{
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '%') {
            out += text[i];
            continue;
        }
        if (i + 2 >= text.size())
            return std::nullopt;
        const int high = HexDigitValue(text[i + 1]);
        const int low = HexDigitValue(text[i + 2]);
        if (high < 0 || low < 0)
            return std::nullopt;
        out += static_cast<char>(high * 16 + low);
        i += 2;
    }
    return out;
}

}  // namespace platform
