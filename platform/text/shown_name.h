#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace platform {

// How the terminal a text is written to reads its bytes: as UTF-8, or one
// byte a character in an 8-bit set (the C locale's, ISO 8859-1 and the
// like). There the bytes 0x80 to 0x9F are the C1 controls themselves (0x9B
// starts an escape sequence, as ESC [ does) and 0xA0 to 0xFF are the set's
// own characters; in UTF-8 the C1 controls are C2 80 to C2 9F, and a 0x9B
// may be a byte of a letter ("\xC3\x9B" is U+00DB).
enum class Charset { Utf8, EightBit };

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

// The character that starts at text[i] as a terminal of that set reads it:
// how many bytes it takes, and whether it is a control character (C0, DEL,
// and the C1 controls in the set's own form) or, in UTF-8, a byte that
// starts no valid character (taken alone), which a text must escape rather
// than write. i is where a character starts.
struct TerminalCharacter {
    std::size_t length;
    bool control;
};
TerminalCharacter TerminalCharacterAt(std::string_view text, std::size_t i, Charset charset) noexcept;

// Each byte as \xHH, in upper case: how a name shown to a person writes
// the bytes it must not write as they are.
void AppendEscapedBytes(std::string& out, std::string_view bytes);

// A name as a message shows it: valid UTF-8 as it is, but every character
// that ShowsAsItIs refuses, bytes that are not UTF-8 and the backslash
// written as \xHH (and \\), so that a name with a line break, a terminal's
// escape sequence, a reordering mark or a stray byte is seen for what it is
// and can never drive the terminal or the box it is shown in.
std::string ShownName(std::string_view name);

// The same for a terminal of that set. In UTF-8 it is the name above; in an
// 8-bit set every control character, each byte 0x80 to 0x9F among them, is
// written as \xHH and the backslash as \\, and the bytes 0xA0 to 0xFF are
// left to be the set's characters.
std::string ShownName(std::string_view name, Charset charset);

}  // namespace platform
