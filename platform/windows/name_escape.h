#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "platform/text/percent_codec.h"

namespace platform {

// Names in our line-based files are printable ASCII without spaces: every
// other byte, and '%' itself, is written as %XX, so any name round-trips.
inline std::string EscapeName(std::string_view text)
{
    return PercentEncode(text, [](unsigned char c) { return c > 0x20 && c < 0x7F; });
}

inline std::optional<std::string> UnescapeName(std::string_view text)
{
    const auto any = [](unsigned char) { return true; };
    return PercentDecode(text, any, any);
}

}  // namespace platform
