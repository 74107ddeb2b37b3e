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

// Whether a one-line box shows the name as it is: valid UTF-8 without control
// characters (C0, DEL and the C1 controls U+0080 to U+009F, which such a box
// shows as blanks or not at all) and without the bidirectional formatting
// characters U+202A to U+202E and U+2066 to U+2069, which reorder what is
// shown around them. A name that fails is seen as another name.
bool ShowsAsItIs(std::string_view name) noexcept;

// A name as a message shows it: valid UTF-8 as it is, but every character
// that ShowsAsItIs refuses, bytes that are not UTF-8 and the backslash
// written as \xHH (and \\), so that a name with a line break, a terminal's
// escape sequence, a reordering mark or a stray byte is seen for what it is
// and can never drive the terminal or the box it is shown in.
std::string ShownName(std::string_view name);

}  // namespace platform
