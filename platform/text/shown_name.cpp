#include "platform/text/shown_name.h"

#include "platform/base/ascii.h"
#include "platform/text/utf8.h"

namespace platform {

namespace {

void AppendEscapedBytes(std::string& out, std::string_view bytes)
{
    for (const char c : bytes) {
        const auto byte = static_cast<unsigned char>(c);
        out += "\\x";
        AppendHexBytes(out, &byte, 1, true);
    }
}

}  // namespace

std::size_t ControlCharacterLength(std::string_view text, std::size_t i) noexcept
{
    const auto byte = static_cast<unsigned char>(text[i]);
    if (byte < 0x20 || byte == 0x7F)
        return 1;
    if (byte == 0xC2 && i + 1 < text.size()) {
        const auto next = static_cast<unsigned char>(text[i + 1]);
        if (next >= 0x80 && next <= 0x9F)
            return 2;
    }
    return 0;
}

std::string ShownName(std::string_view name)
{
    std::string shown;
    while (!name.empty()) {
        if (const std::size_t control = ControlCharacterLength(name, 0)) {
            AppendEscapedBytes(shown, name.substr(0, control));
            name.remove_prefix(control);
            continue;
        }
        const std::size_t length = Utf8Length(name);
        if (length == 0) {
            AppendEscapedBytes(shown, name.substr(0, 1));
            name.remove_prefix(1);
        } else if (name.front() == '\\') {
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
