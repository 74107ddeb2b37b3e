#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace platform {

// What counts as a control character in a name shown to a person, everywhere
// a name is shown: C0 (tab included), DEL and the C1 controls U+0080 to U+009F
// (C2 80 to C2 9F in UTF-8). The number of bytes the one that starts at
// text[i] takes, or 0 when none does.
std::size_t ControlCharacterLength(std::string_view text, std::size_t i) noexcept;

// A name as a message shows it: valid UTF-8 as it is, but control characters,
// bytes that are not UTF-8 and the backslash written as \xHH (and \\), so that
// a name with a line break, a terminal's escape sequence or a stray byte is
// seen for what it is and can never drive the terminal or the box it is shown
// in.
std::string ShownName(std::string_view name);

}  // namespace platform
