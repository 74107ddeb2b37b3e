#include "engine/numtext.h"

#include <algorithm>
#include <cassert>

#include "platform/base/ascii.h"

std::string WordToBaseText(std::uint32_t value, std::uint8_t minWidth, std::uint8_t base, bool upperCase)
{
    // The digit tables end at F, and bases 0 and 1 never bring the value to
    // zero. A bad base is a caller's mistake: stop debug builds on it, and in
    // release clamp it into range rather than read past a table or loop.
    assert(base >= 2 && base <= 16);
    base = std::clamp<std::uint8_t>(base, 2, 16);

    int digits = 0;
    for (std::uint32_t v = value; v != 0; v /= base)
        ++digits;
    // Zero has one digit, so width 0 still gives "0".
    const int width = std::max({digits, static_cast<int>(minWidth), 1});

    std::string text(static_cast<std::size_t>(width), '0');
    const char* const table = platform::HexDigits(upperCase);
    for (auto pos = text.size(); value != 0; value /= base)
        text[--pos] = table[value % base];
    return text;
}

std::string WordToHexText(std::uint32_t value, std::uint8_t minWidth, bool upperCase)
{
    return WordToBaseText(value, minWidth, 16, upperCase);
}
