// Text forms of results and the engine's exception.
#include <gtest/gtest.h>

#include <string>

#include "engine/digest.h"
#include "engine/numtext.h"

namespace {

TEST(WordText, HexTable) {
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

TEST(WordText, OtherBasesAndWidths) {
    EXPECT_EQ(WordToBaseText(5, 0, 2, false), "101");
    EXPECT_EQ(WordToBaseText(5, 8, 2, false), "00000101");
    EXPECT_EQ(WordToBaseText(0xFFFFFFFF, 0, 2, false), std::string(32, '1'));
    EXPECT_EQ(WordToBaseText(4294967295u, 0, 10, false), "4294967295");
    EXPECT_EQ(WordToBaseText(8, 0, 8, false), "10");
    EXPECT_EQ(WordToBaseText(35, 0, 12, true), "2B");
    EXPECT_EQ(WordToBaseText(1, 255, 16, true), std::string(254, '0') + "1");
}

#ifdef NDEBUG
// Release builds clamp a base outside 2..16 into that range.
TEST(WordText, BaseOutOfRangeIsClamped) {
    EXPECT_EQ(WordToBaseText(5, 0, 0, false), "101");
    EXPECT_EQ(WordToBaseText(5, 0, 1, false), "101");
    EXPECT_EQ(WordToBaseText(255, 0, 17, false), "ff");
    EXPECT_EQ(WordToBaseText(255, 0, 255, true), "FF");
}
#else
TEST(WordTextDeathTest, BaseOutOfRangeStopsDebugBuilds) {
    EXPECT_DEATH(WordToBaseText(5, 0, 1, false), "base");
    EXPECT_DEATH(WordToBaseText(5, 0, 17, false), "base");
}
#endif

TEST(DigestText, LowerCaseFullWidth) {
    Md5Digest md5{};
    EXPECT_EQ(DigestToHexText(md5), std::string(32, '0'));
    md5.bytes[0] = 0x0A;
    md5.bytes[15] = 0xF0;
    EXPECT_EQ(DigestToHexText(md5), "0a0000000000000000000000000000f0");

    Sha1Digest sha1;
    Sha1OfText("abc", sha1);
    EXPECT_EQ(DigestToHexText(sha1), "a9993e364706816aba3e25717850c26c9cd0d89d");
    Md5OfText("abc", md5);
    EXPECT_EQ(DigestToHexText(md5), "900150983cd24fb0d6963f7d28e17f72");
}

TEST(HashError, MessageRules) {
    const EHashError fileName(7, "");
    EXPECT_STREQ(fileName.what(), "Invalid file name");
    EXPECT_EQ(fileName.ErrorCode, 7u);
    EXPECT_STREQ(fileName.ClassName(), "EHashError");

    const EHashError own(7, "No such file: x.bin");
    EXPECT_EQ(own.Message(), "No such file: x.bin");
    EXPECT_EQ(own.ErrorCode, 7u);

    EXPECT_EQ(EHashError(1, "").Message(), "Internal error");
    EXPECT_EQ(EHashError(13, "").Message(), "Invalid handle");
    EXPECT_EQ(EHashError(0, "").Message(), "");
    EXPECT_EQ(EHashError(14, "").Message(), "");
    EXPECT_EQ(EHashError(14, "").ErrorCode, 14u);
    EXPECT_EQ(EHashError(0xFFFFFFFF, "").ErrorCode, 0xFFFFFFFFu);

    // Caught through the system's common base, as the error report does.
    try {
        throw EHashError(7, "");
    } catch (const Exception& e) {
        EXPECT_STREQ(e.ClassName(), "EHashError");
        EXPECT_EQ(e.Message(), "Invalid file name");
    }
}

}  // namespace
