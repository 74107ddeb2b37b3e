#pragma once

#include <string>
#include <string_view>

namespace platform {

// A name as a message shows it: valid UTF-8 as it is, but control characters
// (C0, DEL and the C1 controls U+0080 to U+009F), bytes that are not UTF-8
// and the backslash written as \xHH (and \\), so that a name with a line
// break, a terminal's escape sequence or a stray byte is seen for what it is
// and can never drive the terminal or the box it is shown in.
std::string ShownName(std::string_view name);

}  // namespace platform
