#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

// Hexadecimal digits and ASCII letter case, in one place. Only A to Z and
// a to z ever change case here: names and texts are UTF-8 (or bytes of no
// known encoding), whose other bytes must stay exactly as they are.
namespace platform {

inline constexpr char kLowerHexDigits[] = "0123456789abcdef";
inline constexpr char kUpperHexDigits[] = "0123456789ABCDEF";

constexpr const char* HexDigits(bool upperCase) noexcept
{
    return upperCase ? kUpperHexDigits : kLowerHexDigits;
}

// The value of one hexadecimal digit of either case, or -1.
constexpr int HexDigitValue(char c) noexcept
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

// Two digits per byte, most significant first.
inline void AppendHexBytes(std::string& out, const std::uint8_t* bytes, std::size_t count, bool upperCase)
{
    const char* const digits = HexDigits(upperCase);
    for (std::size_t i = 0; i < count; ++i) {
        out += digits[bytes[i] >> 4];
        out += digits[bytes[i] & 0x0F];
    }
}

// The digits of value, most significant first, zero-padded to at least
// minWidth; zero is "0" at width 0.
inline std::string HexWord(std::uint64_t value, std::size_t minWidth, bool upperCase)
{
    std::size_t width = 1;
    for (std::uint64_t rest = value >> 4; rest != 0; rest >>= 4)
        ++width;
    std::string text(width < minWidth ? minWidth : width, '0');
    const char* const digits = HexDigits(upperCase);
    for (std::size_t pos = text.size(); value != 0; value >>= 4)
        text[--pos] = digits[value & 0xF];
    return text;
}

template <class Char>
constexpr Char AsciiToLower(Char c) noexcept
{
    return c >= Char('A') && c <= Char('Z') ? static_cast<Char>(c - Char('A') + Char('a')) : c;
}

template <class Char>
constexpr Char AsciiToUpper(Char c) noexcept
{
    return c >= Char('a') && c <= Char('z') ? static_cast<Char>(c - Char('a') + Char('A')) : c;
}

inline std::string AsciiUpper(std::string text)
{
    for (char& c : text)
        c = AsciiToUpper(c);
    return text;
}

inline std::string AsciiLower(std::string text)
{
    for (char& c : text)
        c = AsciiToLower(c);
    return text;
}

inline bool SameAsciiNoCase(std::string_view a, std::string_view b) noexcept
{
    if (a.size() != b.size())
        return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (AsciiToLower(a[i]) != AsciiToLower(b[i]))
            return false;
    return true;
}

}  // namespace platform
