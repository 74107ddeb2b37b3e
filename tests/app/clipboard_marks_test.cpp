// What counts as a digest on the clipboard, and how a result box compares
// with it.
#include "app/clipboard_marks.h"

#include <gtest/gtest.h>

namespace {

constexpr const char* kMd5 = "900150983CD24FB0D6963F7D28E17F72";
constexpr const char* kSha1 = "A9993E364706816ABA3E25717850C26C9CD0D89D";
constexpr const char* kSha256 = "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad";

std::string Lower(std::string text)
{
    for (char& c : text)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

// The forms people copy from download pages, and what is no digest.
TEST(ClipboardDigests, AreMaximalRunsOfHexDigitsOfADigestsLength)
{
    const std::string md5 = kMd5, sha1 = kSha1;
    const struct {
        std::string text;
        std::size_t md5, sha1, crc32;
    } cases[] = {
        {md5, 1, 0, 0},
        {Lower(md5) + "  ubuntu.iso\n", 1, 0, 0},              // md5sum's line
        {"SHA1 (ubuntu.iso) = " + Lower(sha1), 0, 1, 0},         // a BSD tag line
        {"The MD5 is " + md5 + ", the SHA-1 " + sha1 + ".", 1, 1, 0},
        {"CRC: 06b9df6f", 0, 0, 1},
        {std::string(kSha256), 0, 0, 0},                        // a SHA-256's 64 digits
        {"6b9df6f", 0, 0, 0},                                   // 7 digits
        {md5 + "0", 0, 0, 0},                                   // 33 digits
        {md5.substr(0, 16) + " " + md5.substr(16), 0, 0, 0},    // parted by a space
        {"90:01:50:98:3C:D2:4F:B0:D6:96:3F:7D:28:E1:7F:72", 0, 0, 0},
        {md5 + "\n" + Lower(md5) + "\n" + sha1, 1, 1, 0},       // the same digest once
        {"deadbeef cafebabe", 0, 0, 2},
        {std::string(64 * 1024 - 20, ' ') + md5, 0, 0, 0},      // past the first 64 KiB
        {std::string(64 * 1024 - 32, ' ') + md5, 1, 0, 0},
    };
    for (const auto& c : cases) {
        const ClipboardDigests found = FindClipboardDigests(c.text);
        EXPECT_EQ(found.md5.size(), c.md5) << c.text.substr(0, 80);
        EXPECT_EQ(found.sha1.size(), c.sha1) << c.text.substr(0, 80);
        EXPECT_EQ(found.crc32.size(), c.crc32) << c.text.substr(0, 80);
    }
    EXPECT_EQ(FindClipboardDigests(Lower(md5)).md5, std::vector<std::string>{md5}) << "kept in upper case";
}

TEST(ClipboardDigests, ABoxMatchesOneOfItsKindOrDiffersFromTheOnlyOne)
{
    const ClipboardDigests one = FindClipboardDigests(Lower(kMd5) + " 06b9df6f");
    EXPECT_EQ(MarkFor(Algorithm::Md5, kMd5, one), ResultMark::Matches);
    EXPECT_EQ(MarkFor(Algorithm::Md5, "D41D8CD98F00B204E9800998ECF8427E", one), ResultMark::DoesNotMatch);
    EXPECT_EQ(MarkFor(Algorithm::Sha1, kSha1, one), ResultMark::None) << "no SHA-1 on the clipboard";
    EXPECT_EQ(MarkFor(Algorithm::Md5, "", one), ResultMark::None) << "an empty box";
    // The box shows a CRC-32 without its leading zeros.
    EXPECT_EQ(MarkFor(Algorithm::Crc32, "6B9DF6F", one), ResultMark::Matches);
    EXPECT_EQ(MarkFor(Algorithm::Crc32, "352441C2", one), ResultMark::DoesNotMatch);

    // Of several digests of its kind, one that matches marks the box; none
    // that does leaves it unmarked, since which one was meant is unknown.
    const ClipboardDigests two = FindClipboardDigests(std::string(kMd5) + " D41D8CD98F00B204E9800998ECF8427E");
    EXPECT_EQ(MarkFor(Algorithm::Md5, kMd5, two), ResultMark::Matches);
    EXPECT_EQ(MarkFor(Algorithm::Md5, "0CC175B9C0F1B6A831C399E269772661", two), ResultMark::None);
}

TEST(ClipboardDigests, TheStatusLineNamesEachVerdictInWords)
{
    using Marks = std::vector<std::pair<Algorithm, ResultMark>>;
    EXPECT_EQ(MarksLine({}), "");
    EXPECT_EQ(MarksLine(Marks{{Algorithm::Md5, ResultMark::None}}), "");
    EXPECT_EQ(MarksLine(Marks{{Algorithm::Md5, ResultMark::Matches}}), "MD5 matches the digest on the clipboard");
    EXPECT_EQ(MarksLine(Marks{{Algorithm::Crc32, ResultMark::DoesNotMatch}}),
              "CRC-32 does not match the digest on the clipboard");
    EXPECT_EQ(MarksLine(Marks{{Algorithm::Md5, ResultMark::Matches},
                              {Algorithm::Sha1, ResultMark::DoesNotMatch},
                              {Algorithm::Crc32, ResultMark::Matches}}),
              "MD5 and CRC-32 match, SHA-1 does not match the digests on the clipboard");
}

}  // namespace
