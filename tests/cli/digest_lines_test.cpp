// Lines of digests: how names are escaped in written lines and reports, and
// how each line of a list is read. The forms and their corner cases are the
// ones md5sum -c reads; where this reader goes further (padded tags, lines
// of other algorithms, NUL bytes), the case says so.

#include "cli/digest_lines.h"

#include <string>
#include <vector>

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <thread>

#include <gtest/gtest.h>

#include "platform/text/shown_name.h"

namespace {

using namespace std::string_literals;

constexpr const char* kMd5 = "900150983cd24fb0d6963f7d28e17f72";
constexpr const char* kSha1 = "a9993e364706816aba3e25717850c26c9cd0d89d";
constexpr const char* kSha256 = "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad";

// A line as read, in one string: "MD5 <name> hex", "other <algorithm>",
// "improper" or "skipped", the name between angle brackets; a line that
// may be of several algorithms has their labels parted by "|", in the
// order they are tried.
std::string Shown(const ListLine& line)
{
    switch (line.kind) {
    case ListLine::Kind::Skipped:
        return "skipped";
    case ListLine::Kind::Improper:
        return "improper";
    case ListLine::Kind::OtherAlgorithm:
        return "other " + line.algorithmName;
    case ListLine::Kind::Digest: {
        std::string labels;
        for (const Candidate& candidate : line.candidates)
            labels += (labels.empty() ? "" : "|") + LabelOf(*candidate.row, candidate.digits);
        return labels + " <" + line.fileName + "> " + line.digest;
    }
    }
    return "?";
}

// The lines of one list, read in order by one reader.
std::vector<std::string> ReadAll(const std::vector<std::string>& lines, AlgorithmSet chosen = {},
                                 std::string_view listName = {})
{
    ListReader reader(chosen, listName);
    std::vector<std::string> shown;
    for (const std::string& line : lines)
        shown.push_back(Shown(reader.Read(line)));
    return shown;
}

std::string ReadOne(const std::string& line, AlgorithmSet chosen = {})
{
    return ReadAll({line}, chosen).front();
}

const std::string md5 = kMd5;
const std::string sha1 = kSha1;

TEST(ListLines, ReadsEachFormOfOneLineAsMd5sumDoes)
{
    const std::pair<std::string, std::string> cases[] = {
        // md5sum's and sha1sum's lines: a blank, then a mode character or not.
        {md5 + "  a", "MD5 <a> " + md5},
        {md5 + " *a", "MD5 <a> " + md5},
        {md5 + " a", "MD5 <a> " + md5},
        {md5 + "\ta", "MD5 <a> " + md5},
        {md5 + "\t a", "MD5 <a> " + md5},
        {md5 + "\t*a", "MD5 <a> " + md5},
        {md5 + "   a", "MD5 < a> " + md5},  // names are taken literally: no trimming
        {md5 + "  *a", "MD5 <*a> " + md5},
        {md5 + " **a", "MD5 <*a> " + md5},
        {md5 + "\t\ta", "MD5 <\ta> " + md5},
        {md5 + "  a b\t ", "MD5 <a b\t > " + md5},
        {md5 + "  ", "MD5 < > " + md5},  // a name of one space rather than an empty one
        {md5 + " *", "MD5 <*> " + md5},
        {md5 + "  a*?[x]", "MD5 <a*?[x]> " + md5},  // no wildcards either
        {" \t" + md5 + "  a", "MD5 <a> " + md5},
        {"900150983CD24FB0D6963F7D28E17F72  a", "MD5 <a> 900150983CD24FB0D6963F7D28E17F72"},
        {sha1 + "  a", "SHA1 <a> " + sha1},
        // As sha256sum writes it: 64 digits, which other algorithms also have.
        {kSha256 + "  a"s, "SHA256|BLAKE3|SHA3-256|BLAKE2s|BLAKE2b-256 <a> "s + kSha256},
        {kSha256 + " *a"s, "SHA256|BLAKE3|SHA3-256|BLAKE2s|BLAKE2b-256 <a> "s + kSha256},
        {"SHA256 (a) = "s + kSha256, "SHA256 <a> "s + kSha256},
        {"SHA256  (a) = "s + kSha256, "SHA256 <a> "s + kSha256},  // rhash --bsd pads the tag
        {"SHA256 (a) = " + md5, "improper"},
        {"352441c2  a", "CRC32 <a> 352441c2"},
        // Tag lines, also as rhash --bsd pads them and as openssl writes them.
        {"MD5 (a) = " + md5, "MD5 <a> " + md5},
        {"MD5  (a) = " + md5, "MD5 <a> " + md5},  // md5sum takes one space only
        {"CRC32 (a b) = 352441C2", "CRC32 <a b> 352441C2"},
        {"SHA1  (a) = " + sha1, "SHA1 <a> " + sha1},
        {"MD5(a)= " + md5, "MD5 <a> " + md5},
        {"MD5(a)=" + md5, "MD5 <a> " + md5},
        {"MD5 (a)\t=\t" + md5, "MD5 <a> " + md5},
        {"MD5 (a)  =  " + md5, "MD5 <a> " + md5},
        {"MD5 ( a) = " + md5, "MD5 < a> " + md5},
        {"MD5 (a) b) = " + md5, "MD5 <a) b> " + md5},  // the name runs to the last ")"
        {"MD5 (a) = b) = " + md5, "MD5 <a) = b> " + md5},
        {"MD5 () = " + md5, "MD5 <> " + md5},
        {" MD5 (a) = " + md5, "MD5 <a> " + md5},
        // Escaped names.
        {"\\" + md5 + "  a\\\\b\\nc\\rd", "MD5 <a\\b\nc\rd> " + md5},
        {"\\MD5 (a\\nb) = " + md5, "MD5 <a\nb> " + md5},
        {"MD5 (a\\nb) = " + md5, "MD5 <a\\nb> " + md5},  // not escaped without the leading backslash
        {md5 + "  \\x", "MD5 <\\x> " + md5},
        // Not lines to check.
        {"", "skipped"},
        {"# " + md5 + "  a", "skipped"},
        {" # comment", "improper"},  // a comment starts the line
        {"   ", "improper"},
        {md5, "improper"},
        {md5 + " ", "improper"},
        {md5 + "\t", "improper"},
        {md5 + "0  a", "improper"},
        {md5.substr(1) + "  a", "improper"},
        {md5 + "\\  a", "improper"},
        {"\\ " + md5 + "  a", "improper"},
        {"\\" + md5 + "  a\\tb", "improper"},
        {"\\" + md5 + "  a\\", "improper"},
        {"md5 (a) = " + md5, "MD5 <a> " + md5},  // tags in any case
        {"MD5\t(a) = " + md5, "improper"},
        {"MD5 (a = " + md5, "improper"},
        {"MD5 a) = " + md5, "improper"},
        {"MD5 (a)", "improper"},
        {"MD5 (a) =", "improper"},
        {"MD5 (a) = " + md5 + " ", "improper"},
        {"MD5 (a) = " + md5 + "0", "improper"},
        {"MD5 (a) = " + sha1, "improper"},
        {"SHA1 (a) = " + md5, "improper"},
        // A NUL would cut the name short: md5sum checks "a" for this line.
        {md5 + "  a\0b"s, "improper"},
    };
    for (const auto& [line, expected] : cases)
        EXPECT_EQ(ReadOne(line), expected) << line;
}

TEST(ListLines, LinesOfOtherAlgorithmsAreToldApartFromBrokenOnes)
{
    const std::pair<std::string, std::string> cases[] = {
        {"WHIRLPOOL (a) = "s + std::string(128, 'e'), "other WHIRLPOOL"},
        {"WHIRLPOOL(a)= "s + std::string(128, 'e'), "other WHIRLPOOL"},
        {"\\WHIRLPOOL (a\\nb) = abc", "other WHIRLPOOL"},
        {"SM3 (a) = "s + std::string(64, 'e'), "other SM3"},
        {"TTH   (a) = asd4ujseh5m47pdyb46kbtsqtsgdklbhyxomuia", "other TTH"},  // rhash's base32
        {"BLAKE2bp (a) = abcd", "other BLAKE2bp"},
        {"BLAKE2b-257 (a) = abcd", "other BLAKE2b-257"},  // no length in bits of BLAKE2b's
        {"MD4   (a) = "s + kMd5, "other MD4"},            // the tag decides, not the number of digits
        {std::string(80, 'e') + "  a", "other 80-digit digest"},
        {std::string(80, 'e') + " *a", "other 80-digit digest"},
        {"0123456789abcdef  a", "other 16-digit digest"},
        {std::string(130, 'e') + "  a", "improper"},
        {std::string(31, 'e') + "  a", "improper"},
        {std::string(12, 'e') + "  a", "improper"},
        {"WHIRLPOOL (a) = ", "improper"},
        {"WHIRLPOOL (a) = a b", "improper"},
        {"WHIRLPOOL (a) = a;b", "improper"},
    };
    for (const auto& [line, expected] : cases)
        EXPECT_EQ(ReadOne(line), expected) << line;
}

TEST(ListLines, TheFirstLineWithoutATagDecidesWhetherAModeCharacterFollowsTheBlank)
{
    // As md5sum reads them: a name may start with a space or a star, so a
    // list uses one layout throughout.
    EXPECT_EQ(ReadAll({md5 + "  a", md5 + " b"}), (std::vector<std::string>{"MD5 <a> " + md5, "improper"}));
    EXPECT_EQ(ReadAll({md5 + " *a", md5 + " b"}), (std::vector<std::string>{"MD5 <a> " + md5, "improper"}));
    EXPECT_EQ(ReadAll({md5 + "  a", md5 + "\ta"}), (std::vector<std::string>{"MD5 <a> " + md5, "improper"}));
    EXPECT_EQ(ReadAll({md5 + "  a", md5 + "  "}), (std::vector<std::string>{"MD5 <a> " + md5, "improper"}));
    EXPECT_EQ(ReadAll({md5 + " b", md5 + "  a", md5 + " *a"}),
              (std::vector<std::string>{"MD5 <b> " + md5, "MD5 < a> " + md5, "MD5 <*a> " + md5}));
    EXPECT_EQ(ReadAll({md5 + "\ta", md5 + "  a"}), (std::vector<std::string>{"MD5 <a> " + md5, "MD5 < a> " + md5}));
    EXPECT_EQ(ReadAll({md5 + "  ", md5 + " b"}), (std::vector<std::string>{"MD5 < > " + md5, "MD5 <b> " + md5}));
    EXPECT_EQ(ReadAll({md5 + "  *", md5 + " b"}), (std::vector<std::string>{"MD5 <*> " + md5, "improper"}));

    // Tag lines, comments and lines with the wrong number of digits leave the
    // layout open; a bad escape does not.
    EXPECT_EQ(ReadAll({"MD5 (a) = " + md5, "#", md5 + "0 *a", "zz *a", md5 + " b"}),
              (std::vector<std::string>{"MD5 <a> " + md5, "skipped", "improper", "improper", "MD5 <b> " + md5}));
    EXPECT_EQ(ReadAll({"\\" + md5 + "  a\\q", md5 + " b"}), (std::vector<std::string>{"improper", "improper"}));

    // Each list starts afresh.
    EXPECT_EQ(ReadAll({md5 + " b"}), (std::vector<std::string>{"MD5 <b> " + md5}));
}

TEST(ListLines, ChosenAlgorithmsDecideLinesWithoutATagOnly)
{
    const AlgorithmSet md5Only{ReadTag("MD5").row->algorithm};
    EXPECT_EQ(ReadOne(md5 + "  a", md5Only), "MD5 <a> " + md5);
    EXPECT_EQ(ReadOne(sha1 + "  a", md5Only), "improper");  // as md5sum has it
    EXPECT_EQ(ReadOne("352441c2  a", md5Only), "improper");
    EXPECT_EQ(ReadOne(kSha256 + "  a"s, md5Only), "improper");
    EXPECT_EQ(ReadOne("SHA1 (a) = " + sha1, md5Only), "SHA1 <a> " + sha1);
    EXPECT_EQ(ReadOne("SHA256 (a) = "s + kSha256, md5Only), "SHA256 <a> "s + kSha256);
    EXPECT_EQ(ReadOne("SHA512 (a) = "s + std::string(128, 'e'), md5Only), "SHA512 <a> "s + std::string(128, 'e'));
    EXPECT_EQ(ReadOne("SHA384 (a) = "s + std::string(96, 'e'), md5Only), "SHA384 <a> "s + std::string(96, 'e'));
    EXPECT_EQ(ReadOne("WHIRLPOOL (a) = "s + std::string(128, 'e'), md5Only), "other WHIRLPOOL");

    const AlgorithmSet both{ReadTag("MD5").row->algorithm, ReadTag("SHA1").row->algorithm};
    EXPECT_EQ(ReadAll({md5 + "  a", sha1 + "  b", "352441c2  c"}, both),
              (std::vector<std::string>{"MD5 <a> " + md5, "SHA1 <b> " + sha1, "improper"}));
}

// A tag says SHA-512 whatever is chosen; 128 digits without one may be
// SHA-512's, BLAKE2b's or SHA3-512's, unless the option or the list's file
// name says which.
TEST(ListLines, Sha512LinesWithATagAlwaysAndWithoutOneAmongOthersOfTheirLength)
{
    const std::string sha512(128, 'e');
    const std::string sha256 = kSha256;
    EXPECT_EQ(ReadOne("SHA512 (a) = " + sha512), "SHA512 <a> " + sha512);
    EXPECT_EQ(ReadOne("SHA512(a)= " + sha512), "SHA512 <a> " + sha512);  // as openssl writes it
    EXPECT_EQ(ReadOne("\\SHA512 (a\\nb) = " + sha512), "SHA512 <a\nb> " + sha512);
    EXPECT_EQ(ReadOne("SHA512 (a) = " + sha256), "improper");
    EXPECT_EQ(ReadOne("SHA512 (a) = " + sha512 + "0"), "improper");

    EXPECT_EQ(ReadOne(sha512 + "  a"), "SHA512|BLAKE2b|SHA3-512 <a> " + sha512);
    EXPECT_EQ(ReadAll({sha512 + "  a", sha512 + " *b", sha256 + "  c", md5 + "  d"}, {}, "/x/SHA512SUMS"),
              (std::vector<std::string>{"SHA512 <a> " + sha512, "SHA512 <b> " + sha512,
                                        "SHA256|BLAKE3|SHA3-256|BLAKE2s|BLAKE2b-256 <c> " + sha256, "MD5 <d> " + md5}));

    const AlgorithmSet chosen{RowByOption("--sha512")->algorithm};
    EXPECT_EQ(ReadOne(sha512 + "  a", chosen), "SHA512 <a> " + sha512);
    EXPECT_EQ(ReadOne(sha256 + "  a", chosen), "improper");
    EXPECT_EQ(ReadOne(sha512 + "  a", AlgorithmSet{Algorithm::Md5}), "improper");
    EXPECT_EQ(ReadAll({sha512 + "  a", md5 + "  b"}, AlgorithmSet{Algorithm::Sha512, Algorithm::Md5}),
              (std::vector<std::string>{"SHA512 <a> " + sha512, "MD5 <b> " + md5}));
}

// The tags each tool writes name their algorithm in any case: coreutils'
// and BSD's, rhash's, b2sum's with the length in bits, OpenSSL 3's and 1.1's.
TEST(ListLines, EveryToolsTagNamesItsAlgorithmInAnyCase)
{
    const std::string e56(56, 'e'), e64(64, 'e'), e96(96, 'e'), e128(128, 'e');
    const std::pair<std::string, std::string> cases[] = {
        {"md5 (a) = "s + kMd5, "MD5 <a> "s + kMd5},
        {"Sha1 (a) = "s + kSha1, "SHA1 <a> "s + kSha1},
        {"SHA2-224(a)= " + e56, "SHA224 <a> " + e56},
        {"SHA224 (a) = " + e56, "SHA224 <a> " + e56},
        {"SHA2-256(a)= " + e64, "SHA256 <a> " + e64},
        {"SHA-256 (a) = " + e64, "SHA256 <a> " + e64},
        {"SHA384 (a) = " + e96, "SHA384 <a> " + e96},
        {"sha2-512(a)= " + e128, "SHA512 <a> " + e128},
        {"SHA3-224 (a) = " + e56, "SHA3-224 <a> " + e56},
        {"sha3-256(a)= " + e64, "SHA3-256 <a> " + e64},
        {"SHA3-384 (a) = " + e96, "SHA3-384 <a> " + e96},
        {"SHA3-512(a)= " + e128, "SHA3-512 <a> " + e128},
        {"BLAKE2b (a) = " + e128, "BLAKE2b <a> " + e128},
        {"BLAKE2b-256 (a) = " + e64, "BLAKE2b-256 <a> " + e64},
        {"BLAKE2b-8 (a) = ee", "BLAKE2b-8 <a> ee"},
        {"BLAKE2B-512(a)= " + e128, "BLAKE2b <a> " + e128},
        {"BLAKE2b512(a)= " + e128, "BLAKE2b <a> " + e128},
        {"BLAKE2s (a) = " + e64, "BLAKE2s <a> " + e64},
        {"BLAKE2S-256(a)= " + e64, "BLAKE2s <a> " + e64},
        {"BLAKE2s256(a)= " + e64, "BLAKE2s <a> " + e64},
        {"BLAKE3 (a) = " + e64, "BLAKE3 <a> " + e64},
        {"crc32 (a) = 352441c2", "CRC32 <a> 352441c2"},
        {"BLAKE2b-256 (a) = " + e128, "improper"},  // the digits must be the tag's length
        {"BLAKE2s-128 (a) = " + e64.substr(32), "other BLAKE2s-128"},
    };
    for (const auto& [line, expected] : cases)
        EXPECT_EQ(ReadOne(line), expected) << line;
}

// Without a tag: each algorithm of the line's number of digits, in rank
// order; the list's file name, matched longest word first, names one where
// it has that number of digits.
TEST(ListLines, ANumberOfDigitsSharedBySeveralAlgorithmsLeavesEachToBeTried)
{
    const std::string e32(32, 'e'), e56(56, 'e'), e64(64, 'e'), e96(96, 'e'), e128(128, 'e');
    EXPECT_EQ(ReadAll({e32 + "  a", e56 + "  a", e64 + "  a", e96 + "  a", e128 + "  a", "352441c2  a"}),
              (std::vector<std::string>{"MD5 <a> " + e32, "SHA224|SHA3-224|BLAKE2b-224 <a> " + e56,
                                        "SHA256|BLAKE3|SHA3-256|BLAKE2s|BLAKE2b-256 <a> " + e64,
                                        "SHA384|SHA3-384|BLAKE2b-384 <a> " + e96, "SHA512|BLAKE2b|SHA3-512 <a> " + e128,
                                        "CRC32 <a> 352441c2"}));
    const auto named = [&](std::string_view list, const std::string& line) {
        return ReadAll({line}, {}, list).front();
    };
    EXPECT_EQ(named("B2SUMS", e128 + "  a"), "BLAKE2b <a> " + e128);
    EXPECT_EQ(named("b2sums.txt", e64 + "  a"), "BLAKE2b-256 <a> " + e64);
    EXPECT_EQ(named("/B2SUMS", e32 + "  a"), "BLAKE2b-128 <a> " + e32) << "a BLAKE2b of another length, named";
    EXPECT_EQ(named("my.b2sums", e64 + "  a"), "BLAKE2b-256 <a> " + e64);
    EXPECT_EQ(named("xb2.txt", e64 + "  a"), "SHA256|BLAKE3|SHA3-256|BLAKE2s|BLAKE2b-256 <a> " + e64)
        << "b2 only at the start of the name";
    EXPECT_EQ(named("SHA3-256SUMS", e64 + "  a"), "SHA3-256 <a> " + e64);
    EXPECT_EQ(named("SHA3-256SUMS", e56 + "  a"), "SHA3-224 <a> " + e56) << "sha3-256 does not decide 56 digits";
    EXPECT_EQ(named("sha3_512.txt", e128 + "  a"), "SHA3-512 <a> " + e128);
    EXPECT_EQ(named("BLAKE2s.sums", e64 + "  a"), "BLAKE2s <a> " + e64);
    EXPECT_EQ(named("sha256sums", e128 + "  a"), "SHA512|BLAKE2b|SHA3-512 <a> " + e128);
    EXPECT_EQ(named("CHECKSUMS.txt", e128 + "  a"), "SHA512|BLAKE2b|SHA3-512 <a> " + e128);
    EXPECT_EQ(named("b3sums.txt", e64 + "  a"), "BLAKE3 <a> " + e64);
    EXPECT_EQ(named("release.blake3", e64 + "  a"), "BLAKE3 <a> " + e64);
    EXPECT_EQ(named("sha224sums", e56 + "  a"), "SHA224 <a> " + e56);
    EXPECT_EQ(named("SHA384SUMS", e96 + "  a"), "SHA384 <a> " + e96);
}

// SFV lines: the name, the last space, 8 digits of CRC-32; the name taken
// as it stands, spaces, backslashes and all. They come after the other
// forms, mix with them in one list, and ";" starts a comment.
TEST(ListLines, SfvLinesAfterTheOtherForms)
{
    const std::pair<std::string, std::string> cases[] = {
        {"a 352441C2", "CRC32 <a> 352441C2"},
        {"abc 352441c2", "CRC32 <abc> 352441c2"},  // a name of hexadecimal digits, too short for a digest
        {"a b c 352441C2", "CRC32 <a b c> 352441C2"},
        {"a  352441C2", "CRC32 <a > 352441C2"},  // one space is the separator
        {" lead 352441C2", "CRC32 < lead> 352441C2"},
        {"tab\tname 352441C2", "CRC32 <tab\tname> 352441C2"},
        {"dir\\file 352441C2", "CRC32 <dir\\file> 352441C2"},  // no escapes
        {"\\x 352441C2", "CRC32 <\\x> 352441C2"},
        {"(x) = y 352441C2", "CRC32 <(x) = y> 352441C2"},
        {"a;b 352441C2", "CRC32 <a;b> 352441C2"},
        {"; Generated by a tool", "skipped"},
        {";a 352441C2", "skipped"},
        {";", "skipped"},
        {"a 352441C", "improper"},
        {"a 352441C20", "improper"},
        {"a 352441CG", "improper"},
        {"a 352441C2 ", "improper"},
        {"a\t352441C2", "improper"},
        {" 352441C2", "improper"},
        {"352441C2", "improper"},
        // The forms before it win: these are CRC-32 lines of md5sum's form
        // and a tag line.
        {"deadbeef x 352441C2", "CRC32 <x 352441C2> deadbeef"},
        {"CRC32 (x) = 352441C2", "CRC32 <x> 352441C2"},
    };
    for (const auto& [line, expected] : cases)
        EXPECT_EQ(ReadOne(line), expected) << line;
    // Whatever is chosen: the form says CRC-32, as a tag does.
    EXPECT_EQ(ReadOne("a b 352441C2", AlgorithmSet{Algorithm::Md5}), "CRC32 <a b> 352441C2");

    EXPECT_EQ(ReadAll({"; header", md5 + "  a", "b c 352441C2", "SHA1 (d) = " + sha1, "e 0006B9DF", md5 + "  f"}),
              (std::vector<std::string>{"skipped", "MD5 <a> " + md5, "CRC32 <b c> 352441C2", "SHA1 <d> " + sha1,
                                        "CRC32 <e> 0006B9DF", "MD5 <f> " + md5}));
}

// Every name an SFV line is written for reads back whole; the others are
// refused: line breaks and backslashes, which SFV cannot hold, and names
// whose line a check would read as a comment or as another form's line.
TEST(ListLines, SfvLinesHoldOnlyNamesThatReadBack)
{
    EXPECT_EQ(SfvLine("a b", "352441C2"), "a b 352441C2");
    const std::string fine[] = {"a",   "a b",    " lead",    "tab\tname",   "(x) = y", "caf\xC3\xA9",
                                "a;b", "x#",     "*star",    "-dash",       "dir/file", "abc",
                                "deadbeef.bin", "ab cd.x", "MD5 (x)", "e\x1B[1mx"};
    for (const std::string& name : fine) {
        EXPECT_EQ(SfvNameRefusal(name), "") << name;
        EXPECT_EQ(ReadOne(SfvLine(name, "0006B9DF")), "CRC32 <" + name + "> 0006B9DF") << name;
    }
    const std::string unholdable = "An SFV line cannot hold a name with a line feed, a carriage return or a backslash";
    for (const std::string name : {"new\nline", "cr\rx", "back\\slash", "\\", "trail\n"})
        EXPECT_EQ(SfvNameRefusal(name), unholdable) << name;
    const std::string misread = "An SFV line with this name would be read back as another line";
    // A name of 8 hexadecimal digits reads as a CRC-32 of md5sum's form; a
    // blank at the end goes with the blank before the digits to other checkers.
    for (const std::string name : {"#x", ";x", "deadbeef", "deadbeef x", "900150983cd24fb0d6963f7d28e17f72 *x",
                                   "CRC32 (y) =", "trail ", "trail\t", "a b  ", " "})
        EXPECT_EQ(SfvNameRefusal(name), misread) << name;
}

TEST(ListLines, WrittenLinesReadBackWithTheirNamesWhole)
{
    const AlgorithmRow& md5Kind = *ReadTag("MD5").row;
    // As md5sum and md5sum --tag write them.
    EXPECT_EQ(SumLine(md5, "a b"), md5 + "  a b");
    EXPECT_EQ(SumLine(md5, "back\\slash"), "\\" + md5 + "  back\\\\slash");
    EXPECT_EQ(SumLine(md5, "new\nline"), "\\" + md5 + "  new\\nline");
    EXPECT_EQ(SumLine(md5, "cr\rx"), "\\" + md5 + "  cr\\rx");
    EXPECT_EQ(TagLine(md5Kind, "a", md5), "MD5 (a) = " + md5);
    EXPECT_EQ(TagLine(md5Kind, "b\\\\x\ny", md5), "\\MD5 (b\\\\\\\\x\\ny) = " + md5);
    EXPECT_EQ(TagLine(*ReadTag("CRC32").row, "e\x1B[1mx", "0006B9DF"), "CRC32 (e\x1B[1mx) = 0006B9DF");

    const std::string names[] = {"a",         "a b",   " lead",       "trail ",   "*star",   "back\\slash", "\\",
                                 "new\nline", "cr\rx", "\\n literal", "\r\n\\\\", "(x) = y", "x)"};
    for (const std::string& name : names) {
        EXPECT_EQ(ReadOne(SumLine(md5, name)), "MD5 <" + name + "> " + md5) << name;
        EXPECT_EQ(ReadOne(TagLine(md5Kind, name, md5)), "MD5 <" + name + "> " + md5) << name;
        const std::optional<std::string> back = UnescapeLineName(EscapeLineName(name));
        ASSERT_TRUE(back.has_value()) << name;
        EXPECT_EQ(*back, name);
    }
    EXPECT_FALSE(UnescapeLineName("a\\").has_value());
    EXPECT_FALSE(UnescapeLineName("a\\x41").has_value());
}

TEST(ListLines, ReportedNamesCannotDriveTheTerminal)
{
    using platform::Charset;
    for (const Charset charset : {Charset::Utf8, Charset::EightBit}) {
        SCOPED_TRACE(charset == Charset::Utf8 ? "UTF-8" : "8-bit");
        // Backslashes alone stay as they are, as md5sum -c shows them.
        EXPECT_EQ(CheckedName("a b", charset), "a b");
        EXPECT_EQ(CheckedName("back\\slash", charset), "back\\slash");
        EXPECT_EQ(CheckedName("caf\xC3\xA9", charset), "caf\xC3\xA9");
        // A line break, and any other control character, escapes the whole name.
        EXPECT_EQ(CheckedName("b\\x\ny", charset), "\\b\\\\x\\ny");
        EXPECT_EQ(CheckedName("cr\rx", charset), "\\cr\\rx");
        EXPECT_EQ(CheckedName("ok\x1B[8m\\", charset), "\\ok\\x1B[8m\\\\");
        EXPECT_EQ(CheckedName("bell\x07\x7F", charset), "\\bell\\x07\\x7F");
        // A tab is a control character here as in every message: the same name
        // reads alike in a check's report and in an error about it.
        EXPECT_EQ(CheckedName("tab\tx", charset), "\\tab\\x09x");
        EXPECT_EQ(CheckedName("tab\tx", charset), "\\" + platform::ShownName("tab\tx", charset));
        EXPECT_EQ(CheckedName("nul"s + '\0', charset), "\\nul\\x00");
        // A CSI byte alone is no UTF-8, and an 8-bit terminal's C1 control.
        EXPECT_EQ(CheckedName("evil.iso: OK\x9B"
                              "8m",
                              charset),
                  "\\evil.iso: OK\\x9B8m");
    }
    // U+009B, CSI in UTF-8; its second byte alone is CSI to an 8-bit terminal.
    EXPECT_EQ(CheckedName("csi\xC2\x9B"
                          "2J",
                          Charset::Utf8),
              "\\csi\\xC2\\x9B2J");
    EXPECT_EQ(CheckedName("csi\xC2\x9B"
                          "2J",
                          Charset::EightBit),
              "\\csi\xC2\\x9B2J");
    // U+00DB is C3 9B: a letter in UTF-8, a letter and CSI to an 8-bit terminal.
    EXPECT_EQ(CheckedName("\xC3\x9B.txt", Charset::Utf8), "\xC3\x9B.txt");
    EXPECT_EQ(CheckedName("\xC3\x9B.txt", Charset::EightBit), "\\\xC3\\x9B.txt");
    // A Latin-1 letter: no UTF-8, but the 8-bit set's own.
    EXPECT_EQ(CheckedName("caf\xE9", Charset::Utf8), "\\caf\\xE9");
    EXPECT_EQ(CheckedName("caf\xE9", Charset::EightBit), "caf\xE9");
}

// Every line of a text or of what a pipe carries, "<too long>" for one
// that is.
std::vector<std::string> LinesOf(ListLines& lines)
{
    std::vector<std::string> all;
    while (const std::optional<ListLines::Line> line = lines.Next())
        all.push_back(line->tooLong ? "<too long>" : std::string(line->text));
    return all;
}

std::vector<std::string> SplitListLines(std::string_view text)
{
    ListLines lines(text);
    return LinesOf(lines);
}

// The same text through a pipe, written in pieces of `piece` bytes.
std::vector<std::string> LinesThroughAPipe(const std::string& text, std::size_t piece)
{
    int pipe[2];
    EXPECT_EQ(::pipe2(pipe, O_CLOEXEC), 0);
    std::thread writer([&] {
        for (std::size_t at = 0; at < text.size(); at += piece)
            EXPECT_GT(::write(pipe[1], text.data() + at, std::min(piece, text.size() - at)), 0);
        ::close(pipe[1]);
    });
    ListLines lines(pipe[0]);
    std::vector<std::string> all = LinesOf(lines);
    writer.join();
    ::close(pipe[0]);
    return all;
}

TEST(ListLines, ListsSplitIntoLinesWithTheirCrLfEndingsGone)
{
    using Lines = std::vector<std::string>;
    EXPECT_EQ(SplitListLines(""), Lines{});
    EXPECT_EQ(SplitListLines("a"), Lines{"a"});
    EXPECT_EQ(SplitListLines("a\n"), Lines{"a"});
    EXPECT_EQ(SplitListLines("a\r\nb\r\n"), (Lines{"a", "b"}));
    EXPECT_EQ(SplitListLines("a\r\n\r\n\nb"), (Lines{"a", "", "", "b"}));
    EXPECT_EQ(SplitListLines("a\r\r\nb\rc\r"), (Lines{"a\r", "b\rc"}));  // one CR only, and at a line's end
}

// A line longer than 64 KiB names no file: it is skipped to its end without
// being held, whether the list is held whole or comes through a pipe in
// pieces of any size, and the lines after it read as they are.
TEST(ListLines, ALineLongerThan64KiBIsSkippedNotHeld)
{
    using Lines = std::vector<std::string>;
    const std::string longest(kMaxListLine, 'x');
    const std::string tooLong(kMaxListLine + 1, 'y');
    const std::string huge(5 * kMaxListLine + 3, 'z');
    const std::string text = "a\n" + longest + "\r\n" + tooLong + "\nb\n" + huge + "\r\n" + longest + "\n" + huge;
    const Lines expected = {"a", longest, "<too long>", "b", "<too long>", longest, "<too long>"};
    EXPECT_EQ(SplitListLines(text), expected);
    for (const std::size_t piece : {std::size_t{1000}, std::size_t{65536}, std::size_t{1} << 20})
        EXPECT_EQ(LinesThroughAPipe(text, piece), expected) << "pieces of " << piece;
    EXPECT_EQ(LinesThroughAPipe("c\r\nd", 1), (Lines{"c", "d"}));
}

}  // namespace
