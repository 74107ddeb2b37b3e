#pragma once

#include <cstddef>
#include <string_view>

namespace platform {

// The length of the valid UTF-8 character at the start of `text`, or 0 when
// it does not start with one (an empty text included). Overlong forms, UTF-16
// surrogates and code points past U+10FFFF are not UTF-8.
std::size_t Utf8Length(std::string_view text) noexcept;

// Whether the whole text is UTF-8.
bool IsUtf8(std::string_view text) noexcept;

}  // namespace platform
