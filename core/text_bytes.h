#pragma once

#include <string>
#include <string_view>

// The bytes the text page digests, from its text in UTF-8: every line break
// (LF, CR LF, CR, U+2028, U+2029) as CR LF, nothing else changed or trimmed,
// no terminator. The window hands in its text box's contents, the companion
// the text of its command line; the same text gives the same bytes in both.
std::string TextPageBytes(std::string_view utf8);
