// Text forms of results and the engine's exception.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "engine/digest.h"
#include "engine/numtext.h"

namespace {

TEST(WordText, HexTable)
{
    EXPECT_EQ(WordToHexText(0, 0, true), "0");
    EXPECT_EQ(WordToHexText(0, 4, true), "0000");
    EXPECT_EQ(WordToHexText(0xABCD, 0, true), "ABCD");
    EXPECT_EQ(WordToHexText(0xABCD, 0, false), "abcd");
    EXPECT_EQ(WordToHexText(0xABCD, 6, true), "00ABCD");
    EXPECT_EQ(WordToHexText(0x12345678, 2, true), "12345678");
    EXPECT_EQ(WordToHexText(0xFFFFFFFF, 0, true), "FFFFFFFF");
    // A CRC with a clear top nibble is shown without its leading zero.
    EXPECT_EQ(WordToHexText(0x0BCDEF01, 0, true), "BCDEF01");
}

TEST(WordText, OtherBasesAndWidths)
{
    EXPECT_EQ(WordToBaseText(5, 8, 2, false), "00000101");
    EXPECT_EQ(WordToBaseText(0xFFFFFFFF, 0, 2, false), std::string(32, '1'));
    EXPECT_EQ(WordToBaseText(4294967295u, 0, 10, false), "4294967295");
    EXPECT_EQ(WordToBaseText(35, 0, 12, true), "2B");
    EXPECT_EQ(WordToBaseText(1, 255, 16, true), std::string(254, '0') + "1");
}

#ifdef NDEBUG
// Release builds clamp a base outside 2..16 into that range.
TEST(WordText, BaseOutOfRangeIsClamped)
{
    EXPECT_EQ(WordToBaseText(5, 0, 0, false), "101");
    EXPECT_EQ(WordToBaseText(5, 0, 1, false), "101");
    EXPECT_EQ(WordToBaseText(255, 0, 17, false), "ff");
    EXPECT_EQ(WordToBaseText(255, 0, 255, true), "FF");
}
#else
TEST(WordTextDeathTest, BaseOutOfRangeStopsDebugBuilds)
{
    EXPECT_DEATH(WordToBaseText(5, 0, 1, false), "base");
    EXPECT_DEATH(WordToBaseText(5, 0, 17, false), "base");
}
#endif

TEST(DigestText, LowerCaseTwoDigitsPerByte)
{
    Md5Digest md5;
    Sha1Digest sha1;
    Sha256Digest sha256;
    Sha512Digest sha512;
    for (int i = 0; i < 16; ++i)
        md5.bytes[i] = static_cast<std::uint8_t>(0x11 * i);
    for (int i = 0; i < 20; ++i)
        sha1.bytes[i] = static_cast<std::uint8_t>(i);
    for (int i = 0; i < 32; ++i)
        sha256.bytes[i] = static_cast<std::uint8_t>(0xF0 - 7 * i);
    for (int i = 0; i < 64; ++i)
        sha512.bytes[i] = static_cast<std::uint8_t>(4 * i + 1);
    EXPECT_EQ(DigestToHexText(md5), "00112233445566778899aabbccddeeff");
    EXPECT_EQ(DigestToHexText(sha1), "000102030405060708090a0b0c0d0e0f10111213");
    EXPECT_EQ(DigestToHexText(sha256), "f0e9e2dbd4cdc6bfb8b1aaa39c958e878079726b645d564f48413a332c251e17");
    EXPECT_EQ(DigestToHexText(sha512),
              "0105090d1115191d2125292d3135393d4145494d5155595d6165696d7175797d"
              "8185898d9195999da1a5a9adb1b5b9bdc1c5c9cdd1d5d9dde1e5e9edf1f5f9fd");
}

// An own message wins; otherwise the code's text, and none past the table.
TEST(HashError, MessageRules)
{
    const struct {
        std::uint32_t code;
        const char* given;
        const char* shown;
    } kCases[] = {
        {7, "", "Invalid file name"},
        {7, "No such file: x.bin", "No such file: x.bin"},
        {1, "", "Internal error"},
        {13, "", "Invalid handle"},
        {0, "", ""},
        {14, "", ""},
        {0xFFFFFFFF, "", ""},
    };
    for (const auto& c : kCases) {
        const EHashError error(c.code, c.given);
        const Exception& seen = error;  // as the error report sees it
        EXPECT_STREQ(seen.what(), c.shown) << c.code;
        EXPECT_STREQ(seen.ClassName(), "EHashError");
        EXPECT_EQ(error.ErrorCode, c.code);
    }
}

}  // namespace
