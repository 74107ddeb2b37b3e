// What counts as a digest on the clipboard, and how a result box compares
// with it.
#include "core/clipboard_marks.h"

#include <gtest/gtest.h>

namespace {

constexpr const char* kMd5 = "900150983CD24FB0D6963F7D28E17F72";
constexpr const char* kSha1 = "A9993E364706816ABA3E25717850C26C9CD0D89D";
constexpr const char* kSha256 = "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad";
constexpr const char* kSha512 =
    "ddaf35a193617abacc417349ae20413112e6fa4e89a97ea20a9eeee64b55d39a"
    "2192992a274fc1a836ba3c23a3feebbd454d4423643ce80e2a9ac94fa54ca49f";
// The SHA-256 and SHA-512 of "abd", which differ from those of "abc".
constexpr const char* kOtherSha256 = "a52d159f262b2c6ddb724a61840befc36eb30c88877a4030b65cbe86298449c9";
constexpr const char* kOtherSha512 =
    "1a9840c27a5cf22dab060cdd8a83da2b0fbcb1aeb52d4f9d3894b639083e205a"
    "5ab3f6afaeeb21b8e99b5e0fe93daafaabeef274da5d6eadcc9db36e5b6f64c4";

std::string Lower(std::string text)
{
    for (char& c : text)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

std::string Upper(std::string text)
{
    for (char& c : text)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
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
        {Lower(md5) + "  ubuntu.iso\n", 1, 0, 0},         // md5sum's line
        {"SHA1 (ubuntu.iso) = " + Lower(sha1), 0, 1, 0},  // a BSD tag line
        {"The MD5 is " + md5 + ", the SHA-1 " + sha1 + ".", 1, 1, 0},
        {"CRC: 06b9df6f", 0, 0, 1},
        {std::string(kSha256), 0, 0, 0},                      // a SHA-256's 64 digits, found apart
        {"6b9df6f", 0, 0, 0},                                 // 7 digits
        {md5 + "0", 0, 0, 0},                                 // 33 digits
        {md5.substr(0, 16) + " " + md5.substr(16), 0, 0, 0},  // parted by a space
        {"90:01:50:98:3C:D2:4F:B0:D6:96:3F:7D:28:E1:7F:72", 0, 0, 0},
        {md5 + "\n" + Lower(md5) + "\n" + sha1, 1, 1, 0},  // the same digest once
        {"deadbeef cafebabe", 0, 0, 2},
        {std::string(64 * 1024 - 20, ' ') + md5, 0, 0, 0},  // past the first 64 KiB
        {std::string(64 * 1024 - 32, ' ') + md5, 1, 0, 0},
    };
    for (const auto& c : cases) {
        const ClipboardDigests found = FindClipboardDigests(c.text);
        EXPECT_EQ(found.Of(Algorithm::Md5).size(), c.md5) << c.text.substr(0, 80);
        EXPECT_EQ(found.Of(Algorithm::Sha1).size(), c.sha1) << c.text.substr(0, 80);
        EXPECT_EQ(found.Of(Algorithm::Crc32).size(), c.crc32) << c.text.substr(0, 80);
    }
    EXPECT_EQ(FindClipboardDigests(Lower(md5)).Of(Algorithm::Md5), std::vector<std::string>{md5})
        << "kept in upper case";
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

// Runs of 64 and 128 digits, SHA-256's and SHA-512's lengths, and whether
// the text names either algorithm.
TEST(ClipboardDigests, SixtyFourAndOneHundredTwentyEightDigitRunsAndTheNamesOfTheirAlgorithms)
{
    const std::string sha256 = kSha256, sha512 = kSha512;
    const struct {
        std::string text;
        std::size_t sha256, sha512;
        bool namesSha256, namesSha512;
    } cases[] = {
        {sha256, 1, 0, false, false},
        {sha256 + " *ubuntu.iso\n" + std::string(kOtherSha256) + "  other.iso\n", 2, 0, false, false},  // SHA256SUMS
        {"SHA256 (ubuntu.iso) = " + sha256, 1, 0, true, false},
        {"sha-256: " + Lower(sha256), 1, 0, true, false},
        {"Sha512 (a) = " + sha512, 0, 1, false, true},
        {"The SHA-512 checksum is\n" + sha512 + ".", 0, 1, false, true},
        {"See SHA512SUMS and " + sha256, 1, 0, false, true},  // a name counts anywhere
        {"SHA3-256 " + sha256 + ", SHA-2 " + sha512, 1, 1, false, false},
        {"SHA 256 " + sha256, 1, 0, false, false},                                    // parted by a space: no name
        {sha256 + "0", 0, 0, false, false},                                           // 65 digits
        {sha256.substr(1), 0, 0, false, false},                                       // 63 digits
        {sha512 + "a", 0, 0, false, false},                                           // 129 digits
        {sha256 + sha256, 0, 1, false, false},                                        // 128 digits are SHA-512's length
        {sha256 + "\n" + Lower(sha256) + "\n", 1, 0, false, false},                   // the same digest once
        {std::string(64 * 1024 - 60, ' ') + sha256 + " SHA256", 0, 0, false, false},  // past the first 64 KiB
        {std::string(64 * 1024 - 64, ' ') + sha256, 1, 0, false, false},
        {std::string(64 * 1024 - 6, ' ') + "SHA256", 0, 0, true, false},
        {std::string(64 * 1024 - 5, ' ') + "SHA256", 0, 0, false, false},
    };
    for (const auto& c : cases) {
        const ClipboardDigests found = FindClipboardDigests(c.text);
        const std::string shown = c.text.substr(c.text.find_first_not_of(' '), 80);
        EXPECT_EQ(found.Of(Algorithm::Sha256).size(), c.sha256) << shown;
        EXPECT_EQ(found.Of(Algorithm::Sha512).size(), c.sha512) << shown;
        EXPECT_EQ(found.Names(Algorithm::Sha256), c.namesSha256) << shown;
        EXPECT_EQ(found.Names(Algorithm::Sha512), c.namesSha512) << shown;
        EXPECT_TRUE(found.Of(Algorithm::Md5).empty() && found.Of(Algorithm::Sha1).empty() &&
                    found.Of(Algorithm::Crc32).empty())
            << shown;
    }
    EXPECT_EQ(FindClipboardDigests(Lower(sha256)).Of(Algorithm::Sha256), std::vector<std::string>{Upper(sha256)})
        << "kept in upper case";
}

// A digest shown in no box matches any digest of its length; it does not
// match only the one digest of a clipboard that names its algorithm, since
// other algorithms give digests of the same lengths.
TEST(ClipboardDigests, AVerdictSaysDoesNotMatchOnlyOfTheOneDigestOfANamedAlgorithm)
{
    using V = ClipboardVerdict;
    const std::string mine256 = Upper(kSha256), mine512 = Upper(kSha512);
    const std::string other256 = kOtherSha256, other512 = kOtherSha512;
    const struct {
        std::string text;
        V sha256, sha512;
    } cases[] = {
        {"", V::None, V::None},
        {"MD5 (a) = " + std::string(kMd5), V::None, V::None},
        {Lower(mine256) + "  a.iso\n", V::Matches, V::None},
        {other256 + "  b.iso\n" + Lower(mine256) + "  a.iso\n", V::Matches, V::None},  // SHA256SUMS
        {"SHA256 (a.iso) = " + other256, V::DoesNotMatch, V::None},
        {"sha-256 " + other256 + " / SHA-512 " + other512, V::DoesNotMatch, V::DoesNotMatch},
        {other256, V::NotThisOne, V::None},
        {"SHA512 (a.iso) = " + other256, V::NotThisOne, V::None},  // another name
        {"BLAKE2b " + other512, V::None, V::NotThisOne},
        {"SHA-256 (a.iso) = " + other512, V::None, V::NotThisOne},  // SHA-256's name is no SHA-512's
        {"SHA256 " + other256 + "\nSHA256 " + Upper(other256).replace(0, 1, "0"), V::NoneOfThem, V::None},
        {other512 + " " + Upper(mine512), V::None, V::Matches},
        {other512 + " " + Upper(other512).replace(0, 1, "0") + " SHA512", V::None, V::NoneOfThem},
    };
    for (const auto& c : cases) {
        const ClipboardDigests found = FindClipboardDigests(c.text);
        EXPECT_EQ(VerdictFor(Algorithm::Sha256, mine256, found), c.sha256) << c.text;
        EXPECT_EQ(VerdictFor(Algorithm::Sha512, mine512, found), c.sha512) << c.text;
        // Not computed: there is nothing to compare.
        EXPECT_EQ(VerdictFor(Algorithm::Sha512, std::nullopt, found), c.sha512 == V::None ? V::None : V::NotComputed)
            << c.text;
    }
    // The boxes' algorithms have marks, not verdicts.
    EXPECT_EQ(VerdictFor(Algorithm::Md5, kMd5, FindClipboardDigests(kMd5)), V::None);
}

TEST(ClipboardDigests, TheVerdictsJoinTheMarksInOneLine)
{
    using Marks = std::vector<std::pair<Algorithm, ResultMark>>;
    using Verdicts = std::vector<std::pair<Algorithm, ClipboardVerdict>>;
    using V = ClipboardVerdict;
    const Marks none{
        {Algorithm::Md5, ResultMark::None}, {Algorithm::Sha1, ResultMark::None}, {Algorithm::Crc32, ResultMark::None}};
    const Marks md5{{Algorithm::Md5, ResultMark::Matches},
                    {Algorithm::Sha1, ResultMark::None},
                    {Algorithm::Crc32, ResultMark::None}};
    const auto line = [](const Marks& marks, const Verdicts& verdicts, Digested digested = Digested::File) {
        return StatusLine(marks, verdicts, digested);
    };
    // Nothing of 64 or 128 digits: the marks' line as it always was.
    EXPECT_EQ(line(none, {{Algorithm::Sha256, V::None}}), "");
    EXPECT_EQ(line(md5, {{Algorithm::Sha256, V::None}, {Algorithm::Sha512, V::None}}),
              "MD5 matches the digest on the clipboard");

    EXPECT_EQ(line(none, {{Algorithm::Sha256, V::Matches}}), "SHA-256 matches the digest on the clipboard");
    EXPECT_EQ(line(md5, {{Algorithm::Sha256, V::Matches}}), "MD5 and SHA-256 match the digests on the clipboard");
    EXPECT_EQ(line(none, {{Algorithm::Sha256, V::DoesNotMatch}}), "SHA-256 does not match the digest on the clipboard");
    EXPECT_EQ(line(none, {{Algorithm::Sha256, V::None}, {Algorithm::Sha512, V::Matches}}),
              "SHA-512 matches the digest on the clipboard");
    EXPECT_EQ(line(none, {{Algorithm::Sha256, V::None}, {Algorithm::Sha512, V::DoesNotMatch}}),
              "SHA-512 does not match the digest on the clipboard");
    EXPECT_EQ(line(md5, {{Algorithm::Sha256, V::None}, {Algorithm::Sha512, V::DoesNotMatch}}),
              "MD5 matches, SHA-512 does not match the digests on the clipboard");
    EXPECT_EQ(line(Marks{{Algorithm::Md5, ResultMark::None},
                         {Algorithm::Sha1, ResultMark::DoesNotMatch},
                         {Algorithm::Crc32, ResultMark::Matches}},
                   {{Algorithm::Sha256, V::Matches}, {Algorithm::Sha512, V::DoesNotMatch}}),
              "SHA-256 and CRC-32 match, SHA-1 and SHA-512 do not match the digests on the clipboard");

    EXPECT_EQ(line(none, {{Algorithm::Sha256, V::NotThisOne}}),
              "The 64-digit digest on the clipboard is not this file's SHA-256");
    EXPECT_EQ(line(md5, {{Algorithm::Sha256, V::NotThisOne}}),
              "MD5 matches the digest on the clipboard; the 64-digit digest on the clipboard is not this file's "
              "SHA-256");
    EXPECT_EQ(line(none, {{Algorithm::Sha256, V::NoneOfThem}}, Digested::Text),
              "None of the 64-digit digests on the clipboard is this text's SHA-256");
    EXPECT_EQ(line(none, {{Algorithm::Sha256, V::NotThisOne}, {Algorithm::Sha512, V::NoneOfThem}}),
              "The 64-digit digest on the clipboard is not this file's SHA-256; none of the 128-digit digests on "
              "the clipboard is this file's SHA-512");
    EXPECT_EQ(line(none, {{Algorithm::Sha256, V::Matches}, {Algorithm::Sha512, V::NotThisOne}}, Digested::Text),
              "SHA-256 matches the digest on the clipboard; the 128-digit digest on the clipboard is not this "
              "text's SHA-512");

    // A SHA-512 that the run did not compute: say how to have it.
    EXPECT_EQ(line(none, {{Algorithm::Sha256, V::None}, {Algorithm::Sha512, V::NotComputed}}),
              "Press Generate again to compare this file's SHA-512 with the clipboard");
    EXPECT_EQ(line(md5, {{Algorithm::Sha256, V::NotThisOne}, {Algorithm::Sha512, V::NotComputed}}, Digested::Text),
              "MD5 matches the digest on the clipboard; the 64-digit digest on the clipboard is not this text's "
              "SHA-256; press Generate again to compare this text's SHA-512 with the clipboard");
}

}  // namespace
