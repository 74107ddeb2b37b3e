// The text rules both programs share.

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/text/percent_codec.h"
#include "platform/text/shown_name.h"
#include "platform/text/utf8.h"
#include "platform/text/word_list.h"

namespace {

using platform::ShownName;

TEST(ShownNameTest, ControlCharactersAndStrayBytesAreSeenForWhatTheyAre)
{
    EXPECT_EQ(ShownName("/a b/caf\xC3\xA9"), "/a b/caf\xC3\xA9");
    EXPECT_EQ(ShownName("a\nb\r\t\x7F"), "a\\x0Ab\\x0D\\x09\\x7F");
    EXPECT_EQ(ShownName("a\\x"), "a\\\\x");
    EXPECT_EQ(ShownName("\xFF\xC3(\xE2\x82"), "\\xFF\\xC3(\\xE2\\x82");
    // Overlong forms, surrogates and C1 controls.
    EXPECT_EQ(ShownName("\xC0\xAF\xED\xA0\x80\xC2\x85"), "\\xC0\\xAF\\xED\\xA0\\x80\\xC2\\x85");
    EXPECT_EQ(ShownName("\xF0\x9F\x98\x80"), "\xF0\x9F\x98\x80");
    // Marks that reorder the text after them (U+202E, U+2066) are written
    // out too, so that the rest of the message reads as it stands.
    EXPECT_EQ(ShownName("a\xE2\x80\xAE"
                        "exe.txt\xE2\x81\xA6"),
              "a\\xE2\\x80\\xAEexe.txt\\xE2\\x81\\xA6");
}

// A terminal that is not in UTF-8 takes the bytes 0x80 to 0x9F for C1
// controls (0x9B as ESC [) wherever they stand, also inside what would be a
// UTF-8 letter, and the bytes above them for its own letters. Each of the
// 256 bytes alone, then names that differ by the terminal's character set.
TEST(ShownNameTest, EachTerminalHasItsOwnControlsEscaped)
{
    using platform::Charset;
    for (int b = 0; b < 256; ++b) {
        const std::string byte(1, static_cast<char>(b));
        const bool control = b < 0x20 || (b >= 0x7F && b <= 0x9F);
        char escaped[8];
        std::snprintf(escaped, sizeof escaped, "\\x%02X", static_cast<unsigned>(b));
        const std::string expected = control ? escaped : b == '\\' ? "\\\\" : byte;
        EXPECT_EQ(ShownName(byte, Charset::EightBit), expected) << "byte " << b;
        // Alone, a byte from 0x80 on is no UTF-8.
        EXPECT_EQ(ShownName(byte, Charset::Utf8), b >= 0x80 ? escaped : expected) << "byte " << b;
    }
    const struct {
        std::string name, eightBit, utf8;
    } names[] = {
        // "8m", "1m" and "b" written as \x38m, \x31m and \x62, which end the escapes before them.
        {"evil.iso: OK\x9B\x38m", "evil.iso: OK\\x9B8m", "evil.iso: OK\\x9B8m"},
        {"\xC3\x9B.txt", "\xC3\\x9B.txt", "\xC3\x9B.txt"},  // U+00DB in UTF-8
        {"\xC2\x9B\x31m", "\xC2\\x9B1m", "\\xC2\\x9B1m"},   // U+009B in UTF-8
        {"caf\xE9", "caf\xE9", "caf\\xE9"},                 // ISO 8859-1
        {"a\xE2\x80\xAE\x62", "a\xE2\\x80\xAE\x62", "a\\xE2\\x80\\xAEb"},
        {"tab\tx\\", "tab\\x09x\\\\", "tab\\x09x\\\\"},
    };
    for (const auto& [name, eightBit, utf8] : names) {
        EXPECT_EQ(ShownName(name, Charset::EightBit), eightBit) << ShownName(name);
        EXPECT_EQ(ShownName(name, Charset::Utf8), utf8) << ShownName(name);
        EXPECT_EQ(ShownName(name), utf8) << ShownName(name);
    }
}

// The UTF-8 of a code point, for the check below.
std::string Utf8Of(char32_t c)
{
    std::string bytes;
    if (c < 0x80) {
        bytes += static_cast<char>(c);
    } else if (c < 0x800) {
        bytes += static_cast<char>(0xC0 | (c >> 6));
        bytes += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        bytes += static_cast<char>(0xE0 | (c >> 12));
        bytes += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        bytes += static_cast<char>(0x80 | (c & 0x3F));
    } else {
        bytes += static_cast<char>(0xF0 | (c >> 18));
        bytes += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
        bytes += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        bytes += static_cast<char>(0x80 | (c & 0x3F));
    }
    return bytes;
}

// A one-line box shows a line feed as a blank and a C1 control as nothing,
// and U+202E turns what follows around: such a name would be read as
// another. Every code point is tried, inside a name and alone.
TEST(ShowsAsItIsTest, ControlsAndReorderingMarksAreNotShownAsTheyAre)
{
    const auto hidden = [](char32_t c) {
        return c < 0x20 || (c >= 0x7F && c <= 0x9F) || (c >= 0x202A && c <= 0x202E) || (c >= 0x2066 && c <= 0x2069);
    };
    std::size_t refused = 0;
    for (char32_t c = 0; c <= 0x10FFFF; ++c) {
        if (c >= 0xD800 && c <= 0xDFFF)
            continue;  // surrogates have no UTF-8
        const std::string character = Utf8Of(c);
        ASSERT_EQ(platform::ShowsAsItIs("/tmp/a" + character + "b"), !hidden(c))
            << std::hex << "U+" << static_cast<std::uint32_t>(c);
        ASSERT_EQ(platform::ShowsAsItIs(character), !hidden(c)) << std::hex << "U+" << static_cast<std::uint32_t>(c);
        refused += hidden(c) ? 1 : 0;
    }
    EXPECT_EQ(refused, 32u + 33u + 5u + 4u);
    EXPECT_TRUE(platform::ShowsAsItIs(""));
    EXPECT_TRUE(platform::ShowsAsItIs("/home/me/disk image.iso"));
    // Bytes that are not UTF-8 are shown as something else too.
    for (const std::string bad : {"a\xFF", "\xC3(", "\xE2\x80", "\xED\xA0\x80", "\xC0\xAF"})
        EXPECT_FALSE(platform::ShowsAsItIs(bad)) << ShownName(bad);
}

TEST(Utf8Test, OnlyShortestFormsOfRealCodePointsAreUtf8)
{
    EXPECT_EQ(platform::Utf8Length(""), 0u);
    EXPECT_EQ(platform::Utf8Length("a"), 1u);
    EXPECT_EQ(platform::Utf8Length("\xC2\x80"), 2u);
    EXPECT_EQ(platform::Utf8Length("\xE2\x82\xAC!"), 3u);
    EXPECT_EQ(platform::Utf8Length("\xF4\x8F\xBF\xBF"), 4u);  // U+10FFFF, the last
    for (const std::string bad : {"\x80", "\xC1\xBF", "\xE0\x9F\xBF", "\xED\xA0\x80", "\xF4\x90\x80\x80",
                                  "\xF5\x80\x80\x80", "\xE2\x82", "\xC3("})
        EXPECT_EQ(platform::Utf8Length(bad), 0u) << ShownName(bad);

    EXPECT_TRUE(platform::IsUtf8(""));
    EXPECT_TRUE(platform::IsUtf8(std::string("a\0b\xC3\xA9\xF0\x9F\x98\x80", 9)));
    EXPECT_FALSE(platform::IsUtf8("abc\xFF"));
    EXPECT_FALSE(platform::IsUtf8("caf\xC3"));
}

TEST(PercentCodecTest, EveryByteRoundTripsAndOnlyWholeEscapesDecode)
{
    const auto letters = [](unsigned char c) { return c >= 'a' && c <= 'z'; };
    const auto any = [](unsigned char) { return true; };
    std::string all;
    for (int c = 0; c < 256; ++c)
        all += static_cast<char>(c);
    const std::string encoded = platform::PercentEncode(all, letters);
    EXPECT_EQ(encoded.size(), 26 + 3 * 230u);
    EXPECT_EQ(platform::PercentDecode(encoded, letters, any), all);
    EXPECT_EQ(platform::PercentEncode("a%b", any), "a%25b") << "the escape itself is always escaped";
    EXPECT_EQ(platform::PercentDecode("%7e%7E", letters, any), "~~") << "either case";

    for (const char* broken : {"%", "%4", "a%4", "%G0", "%0g", "B"})
        EXPECT_EQ(platform::PercentDecode(broken, letters, any), std::nullopt) << broken;
    EXPECT_EQ(platform::PercentDecode("a%00", letters, [](unsigned char c) { return c != 0; }), std::nullopt);
}

TEST(WordListTest, ListsReadAsASentence)
{
    using Words = std::vector<std::string>;
    EXPECT_EQ(platform::WordList({}), "");
    EXPECT_EQ(platform::WordList({"MD5"}), "MD5");
    EXPECT_EQ(platform::WordList({"MD5", "SHA-1"}), "MD5 and SHA-1");
    EXPECT_EQ(platform::WordList({"MD5", "SHA-1", "CRC-32"}), "MD5, SHA-1 and CRC-32");
    EXPECT_EQ(platform::WordList(Words{"SHA512", "SHA384", "BLAKE2"}, ", "), "SHA512, SHA384, BLAKE2");
}

}  // namespace
