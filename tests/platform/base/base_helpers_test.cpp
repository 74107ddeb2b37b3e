#include <cerrno>
#include <cstdint>
#include <string>

#include <gtest/gtest.h>

#include "platform/base/ascii.h"
#include "platform/base/retry.h"

namespace {

TEST(HexText, WordsBytesAndDigitValuesAgree)
{
    EXPECT_EQ(platform::HexWord(0, 0, false), "0");
    EXPECT_EQ(platform::HexWord(0, 8, false), "00000000");
    EXPECT_EQ(platform::HexWord(0x7, 0, true), "7");
    EXPECT_EQ(platform::HexWord(0xFFFFFFEC, 8, false), "ffffffec");
    EXPECT_EQ(platform::HexWord(0xABC, 2, true), "ABC");  // never cut to the width
    EXPECT_EQ(platform::HexWord(0x0123456789ABCDEFull, 16, false), "0123456789abcdef");

    const std::uint8_t bytes[] = {0x00, 0x0F, 0xA5, 0xFF};
    std::string text = "x";
    platform::AppendHexBytes(text, bytes, sizeof bytes, true);
    EXPECT_EQ(text, "x000FA5FF");

    // Every digit of either case reads back as its value; nothing else does.
    for (int value = 0; value < 16; ++value) {
        EXPECT_EQ(platform::HexDigitValue(platform::kLowerHexDigits[value]), value);
        EXPECT_EQ(platform::HexDigitValue(platform::kUpperHexDigits[value]), value);
    }
    for (char c : std::string("gG/:@`\x80 "))
        EXPECT_EQ(platform::HexDigitValue(c), -1) << int(c);
}

TEST(AsciiCase, OnlyAsciiLettersChange)
{
    EXPECT_EQ(platform::AsciiUpper("abc-XYZ-09-z{"), "ABC-XYZ-09-Z{");
    EXPECT_EQ(platform::AsciiLower("ABC-xyz-@[`"), "abc-xyz-@[`");
    // UTF-8 bytes of "Äö" stay exactly as they are.
    EXPECT_EQ(platform::AsciiUpper("\xC3\x84\xC3\xB6"), "\xC3\x84\xC3\xB6");
    EXPECT_EQ(platform::AsciiToLower(u'\u212A'), u'\u212A');  // the Kelvin sign is not a K
    EXPECT_TRUE(platform::SameAsciiNoCase("FormLeft", "FORMleft"));
    EXPECT_FALSE(platform::SameAsciiNoCase("FormLeft", "FormLef"));
    EXPECT_FALSE(platform::SameAsciiNoCase("a[", "A{"));
}

TEST(RetryOnInterrupt, RepeatsOnlyInterruptedCalls)
{
    int calls = 0;
    const int result = platform::RetryOnInterrupt([&] {
        errno = ++calls < 3 ? EINTR : 0;
        return calls < 3 ? -1 : 42;
    });
    EXPECT_EQ(result, 42);
    EXPECT_EQ(calls, 3);

    calls = 0;
    const long failed = platform::RetryOnInterrupt([&] {
        ++calls;
        errno = EBADF;
        return -1L;
    });
    EXPECT_EQ(failed, -1);
    EXPECT_EQ(errno, EBADF);
    EXPECT_EQ(calls, 1);
}

}  // namespace
