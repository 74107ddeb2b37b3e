#include "platform/text/shown_name.h"

#include "platform/base/ascii.h"
#include "platform/text/utf8.h"

namespace platform {

namespace {

void AppendEscapedByte(std::string& out, unsigned char byte)
{
    out += "\\x";
    AppendHexBytes(out, &byte, 1, true);
}

}  // namespace

std::string ShownName(std::string_view name)
{
    std::string shown;
    while (!name.empty()) {
        const std::size_t length = Utf8Length(name);
        const auto byte = static_cast<unsigned char>(name.front());
        // U+0080 to U+009F, the C1 controls, are two bytes from C2 80 on.
        const bool c1 = length == 2 && byte == 0xC2 && static_cast<unsigned char>(name[1]) <= 0x9F;
        if (length == 0 || byte < 0x20 || byte == 0x7F || c1) {
            AppendEscapedByte(shown, byte);
            name.remove_prefix(1);
            if (c1) {
                AppendEscapedByte(shown, static_cast<unsigned char>(name.front()));
                name.remove_prefix(1);
            }
        } else if (byte == '\\') {
            shown += "\\\\";
            name.remove_prefix(1);
        } else {
            shown.append(name.substr(0, length));
            name.remove_prefix(length);
        }
    }
    return shown;
}

}  // namespace platform
