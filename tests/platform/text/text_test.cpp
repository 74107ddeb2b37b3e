// The text rules both programs share.

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
