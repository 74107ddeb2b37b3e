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

// One whole UTF-8 character: whether a one-line box shows it as it is.
bool Shown(std::string_view character) noexcept
{
    const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(character[i]); };
    switch (character.size()) {
    case 1:
        return byte(0) >= 0x20 && byte(0) != 0x7F;
    case 2:
        // U+0080 to U+009F, the C1 controls, are C2 80 to C2 9F.
        return byte(0) != 0xC2 || byte(1) > 0x9F;
    case 3:
        // U+202A to U+202E are E2 80 AA to E2 80 AE; U+2066 to U+2069 are
        // E2 81 A6 to E2 81 A9.
        if (byte(0) == 0xE2 && byte(1) == 0x80)
            return byte(2) < 0xAA || byte(2) > 0xAE;
        if (byte(0) == 0xE2 && byte(1) == 0x81)
            return byte(2) < 0xA6 || byte(2) > 0xA9;
        return true;
    default:
        return true;
    }
}

}  // namespace

bool ShowsAsItIs(std::string_view name) noexcept
{
    while (!name.empty()) {
        const std::size_t length = Utf8Length(name);
        if (length == 0 || !Shown(name.substr(0, length)))
            return false;
        name.remove_prefix(length);
    }
    return true;
}

std::string ShownName(std::string_view name)
{
    std::string shown;
    while (!name.empty()) {
        const std::size_t length = Utf8Length(name);
        if (length == 0 || !Shown(name.substr(0, length))) {
            // A stray byte alone; a character the box would not show, every
            // byte of it.
            const std::size_t count = length == 0 ? 1 : length;
            for (std::size_t i = 0; i < count; ++i)
                AppendEscapedByte(shown, static_cast<unsigned char>(name[i]));
            name.remove_prefix(count);
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
