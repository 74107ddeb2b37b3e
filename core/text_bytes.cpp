#include "core/text_bytes.h"

namespace {

// U+2028 (Shift+Enter in a text box) and U+2029 (how a text document ends a
// block) in UTF-8: both begin E2 80, then A8 or A9.
bool UnicodeBreakAt(std::string_view text, std::size_t i)
{
    return i + 2 < text.size() && text[i] == '\xE2' && text[i + 1] == '\x80' &&
           (text[i + 2] == '\xA8' || text[i + 2] == '\xA9');
}

}  // namespace

std::string TextPageBytes(std::string_view utf8)
{
    std::string bytes;
    bytes.reserve(utf8.size() + utf8.size() / 8);
    for (std::size_t i = 0; i < utf8.size(); ++i) {
        const char c = utf8[i];
        if (c == '\r') {
            if (i + 1 < utf8.size() && utf8[i + 1] == '\n')
                ++i;
            bytes += "\r\n";
        } else if (c == '\n') {
            bytes += "\r\n";
        } else if (UnicodeBreakAt(utf8, i)) {
            bytes += "\r\n";
            i += 2;
        } else {
            bytes += c;
        }
    }
    return bytes;
}
