#include "platform/text/shown_name.h"

#include "platform/base/ascii.h"
#include "platform/text/utf8.h"

namespace platform {

void AppendEscapedBytes(std::string& out, std::string_view bytes)
{
    for (const char c : bytes) {
        const auto byte = static_cast<unsigned char>(c);
        out += "\\x";
        AppendHexBytes(out, &byte, 1, true);
    }
}

namespace {

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

TerminalCharacter TerminalCharacterAt(std::string_view text, std::size_t i, Charset charset) noexcept
{
    const auto byte = static_cast<unsigned char>(text[i]);
    if (charset == Charset::EightBit)
        return {1, byte < 0x20 || (byte >= 0x7F && byte <= 0x9F)};
    const std::size_t length = Utf8Length(text.substr(i));
    if (length == 0)
        return {1, true};
    return {length, ControlCharacterLength(text, i) != 0};
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
    return ShownName(name, Charset::Utf8);
}

std::string ShownName(std::string_view name, Charset charset)
{
    std::string shown;
    for (std::size_t i = 0; i < name.size();) {
        const TerminalCharacter character = TerminalCharacterAt(name, i, charset);
        const std::string_view bytes = name.substr(i, character.length);
        // In UTF-8 a character the box would not show goes too, every byte
        // of it; an 8-bit terminal has no reordering marks.
        if (character.control || (charset == Charset::Utf8 && !Shown(bytes)))
            AppendEscapedBytes(shown, bytes);
        else if (bytes == "\\")
            shown += "\\\\";
        else
            shown.append(bytes);
        i += character.length;
    }
    return shown;
}

}  // namespace platform
