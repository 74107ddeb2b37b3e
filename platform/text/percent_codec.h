#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace platform {

// The %XX codec of the names in our line-based files and of file URIs: every
// byte that `keep` refuses, and '%' itself, is written as '%' and two
// upper-case hexadecimal digits, so that any bytes round-trip.
std::string PercentEncode(std::string_view text, bool (*keep)(unsigned char byte));

// The bytes that a %XX text stands for. Nothing for a '%' without two
// hexadecimal digits (of either case) after it, or for a byte that `allowed`
// refuses, whether written as it is or escaped.
std::optional<std::string> PercentDecode(std::string_view text, bool (*allowedAsIs)(unsigned char byte),
                                         bool (*allowedEscaped)(unsigned char byte));

}  // namespace platform
