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

// One whole UTF-8 character: whether a one-line box shows it as it is.
bool Shown(std::string_view character) noexcept
{
    if (ControlCharacterLength(character, 0) != 0)
        return false;
    if (character.size() != 3 || static_cast<unsigned char>(character[0]) != 0xE2)
        return true;
    // U+202A to U+202E are E2 80 AA to E2 80 AE; U+2066 to U+2069 are
    // E2 81 A6 to E2 81 A9.
    const auto second = static_cast<unsigned char>(character[1]);
    const auto third = static_cast<unsigned char>(character[2]);
    if (second == 0x80)
        return third < 0xAA || third > 0xAE;
    if (second == 0x81)
        return third < 0xA6 || third > 0xA9;
    return true;
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
            AppendEscapedBytes(shown, name.substr(0, count));
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
