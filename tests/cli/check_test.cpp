// The check loop on lists, with made-up files: what it prints where, in
// which order, what it counts and when a list passes, as md5sum -c has it.
// The program itself, on real files and real tools' lists, is cli_test's.

#include "cli/check.h"

#include <cerrno>
#include <chrono>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "cli/sums.h"
#include "engine/algorithms.h"
#include "platform/base/ascii.h"

namespace {

using namespace std::string_literals;

constexpr const char* kAbcMd5 = "900150983cd24fb0d6963f7d28e17f72";
constexpr const char* kAbcSha1 = "a9993e364706816aba3e25717850c26c9cd0d89d";
constexpr const char* kSha256 = "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad";
constexpr const char* kSha512 =
    "ddaf35a193617abacc417349ae20413112e6fa4e89a97ea20a9eeee64b55d39a2192992a274fc1a836ba3c23a3feebbd454d4423643ce80e2a"
    "9ac94fa54ca49f";
constexpr const char* kSha384 =
    "cb00753f45a35e8bb5a03d699ac65007272c32ab0eded1631a8b605a43ff5bed8086072ba1e7cc2358baeca134c825a7";
// BLAKE2b-512 of "abc", which shares SHA-512's length.
constexpr const char* kBlake2b =
    "ba80a53f981c4d0d6a2797b69f12f6e94c212f14685ac4b74b12bb6fdbffa2d17d87c5392aab792dc252d5de4533cc9518d38aa8dbf1925ab9"
    "2386edd4009923";
// WHIRLPOOL of "abc", an algorithm vellumark-cli does not compute.
constexpr const char* kWhirlpool =
    "4e2448a4c6f486bb16b6562c73b4020bf3043e3a731bce721ae1b303d97e6d4c7181eebdb6c57e277d0e34957114cbd6c797fc9d95d8b582d2"
    "25292076d4eef5";

// Both streams in one transcript, so that their order shows.
class Transcript : public Report {
public:
    void Out(const std::string& line) override { lines.push_back("out: " + line); }
    void Err(const std::string& line) override { lines.push_back("err: " + line); }
    std::vector<std::string> lines;
};

// Files by name, with the results Generate would hand on for them; a name
// not known is missing. A file may take its time, so that later ones end first.
class MadeUpFiles : public DigestInputs {
public:
    struct File {
        std::string md5, sha1, crc32;
        std::string reason;  // unreadable, for this reason
        int milliseconds = 0;
        std::string sha256 = {};
        std::string sha512 = {};
        // The bytes, from which the engine gives the other algorithms'.
        std::string content = {};
    };

    Looked Look(const std::string& name) const override
    {
        Looked looked;
        const auto found = files.find(name);
        if (found == files.end()) {
            looked.error = ENOENT;
        } else {
            looked.info.st_mode = S_IFREG;
            looked.info.st_size = static_cast<off_t>(found->second.md5.size());
        }
        return looked;
    }

    InputDigests Digest(const std::string& name, const Looked&, const GenerateInput& request) const override
    {
        {
            const std::lock_guard lock(mutex_);
            requests.push_back(request);
        }
        InputDigests digests;
        const auto found = files.find(name);
        if (found == files.end()) {
            digests.failed = true;
            digests.reason = "No such file or directory";
            digests.missing = true;
            return digests;
        }
        const File& file = found->second;
        std::this_thread::sleep_for(std::chrono::milliseconds(file.milliseconds));
        if (!file.reason.empty()) {
            digests.failed = true;
            digests.reason = file.reason;
            return digests;
        }
        // In upper case and the CRC-32 without leading zeros, as Generate has them.
        const AlgorithmSet& ticked = request.algorithms;
        if (ticked.Has(Algorithm::Md5))
            digests.results.emplace_back(Algorithm::Md5, platform::AsciiUpper(file.md5));
        if (ticked.Has(Algorithm::Sha1))
            digests.results.emplace_back(Algorithm::Sha1, platform::AsciiUpper(file.sha1));
        if (ticked.Has(Algorithm::Sha256))
            digests.results.emplace_back(Algorithm::Sha256, platform::AsciiUpper(file.sha256));
        if (ticked.Has(Algorithm::Sha512))
            digests.results.emplace_back(Algorithm::Sha512, platform::AsciiUpper(file.sha512));
        if (ticked.Has(Algorithm::Crc32))
            digests.results.emplace_back(Algorithm::Crc32, file.crc32);
        const AlgorithmSet given{Algorithm::Md5, Algorithm::Sha1, Algorithm::Sha256, Algorithm::Sha512,
                                 Algorithm::Crc32};
        for (const Algorithm algorithm : ticked) {
            if (given.Has(algorithm))
                continue;
            const auto message = RowOf(algorithm).start(nullptr, request.blake2bBytes);
            message->Feed(reinterpret_cast<const std::uint8_t*>(file.content.data()), file.content.size());
            digests.results.emplace_back(algorithm, ResultText(RowOf(algorithm), message->Finish()));
        }
        return digests;
    }

    std::map<std::string, File> files = {
        {"abc", {kAbcMd5, kAbcSha1, "352441C2", "", 0, kSha256, kSha512, "abc"}},
        {"c",
         {"4a8a08f09d37b73795649038408b5f33", "84a516841ba77a5b4648de2cd0dfcb30ea46dbb4", "6B9DF6F", "", 0,
          "2e7d2c03a9507ae265ecf5b5356885a53393a2029d241394997265a1a25aefc6", "", "c"}},
        {"dir", {"", "", "", "Is a directory", 0}},
        {"locked", {"", "", "", "The file is open for writing", 0}},
    };
    mutable std::vector<GenerateInput> requests;

private:
    mutable std::mutex mutex_;
};

struct Outcome {
    bool passed = false;
    std::vector<std::string> lines;
};

Outcome Check(const std::string& list, CheckOptions options = {}, const MadeUpFiles& files = MadeUpFiles(),
              const std::string& listName = "list")
{
    Transcript transcript;
    const bool passed = CheckList(listName, list, options, files, transcript);
    return {passed, transcript.lines};
}

using Lines = std::vector<std::string>;

const std::string md5 = kAbcMd5;

std::string Joined(const std::vector<std::string>& lines)
{
    std::string list;
    for (const std::string& line : lines)
        list += line + "\n";
    return list;
}

// One list with a line of every kind.
const std::string kMixed = Joined({
    md5 + "  abc",                                          // OK
    "SHA1 (c) = 84A516841BA77A5B4648DE2CD0DFCB30EA46DBB4",  // OK, in upper case
    "bad line",                                             // improper
    "# a comment",                                          //
    "CRC32 (c) = 06b9df6f",                                 // OK: the leading zero
    "SHA256 (abc) = "s + kSha256,                           // OK
    "SHA512 (abc) = "s + kSha512,                           // OK
    "SHA384 (abc) = "s + kSha384,                           // OK
    "WHIRLPOOL (abc) = "s + kWhirlpool,                     // another algorithm
    md5 + "  missing",                                      // could not be read
    "00000000000000000000000000000000  abc",                // FAILED
    kSha512 + "  abc"s,                                     // OK: 128 digits, SHA-512 first
    "SHA256 (c) = "s + kSha256,                             // FAILED
    md5 + "  locked",                                       // could not be read
});

TEST(CheckList, ReportsEachFileInListOrderAndSumsUpOnStandardError)
{
    const Outcome outcome = Check(kMixed);
    EXPECT_FALSE(outcome.passed);
    EXPECT_EQ(outcome.lines, (Lines{
                                 "out: abc: OK",
                                 "out: c: OK",
                                 "out: c: OK",
                                 "out: abc: OK",
                                 "out: abc: OK",
                                 "out: abc: OK",
                                 "err: missing: No such file or directory",
                                 "out: missing: FAILED open or read",
                                 "out: abc: FAILED",
                                 "out: abc: OK",
                                 "out: c: FAILED",
                                 "err: locked: The file is open for writing",
                                 "out: locked: FAILED open or read",
                                 "err: WARNING: 1 line is improperly formatted",
                                 "err: WARNING: 1 line uses an algorithm vellumark-cli does not compute: WHIRLPOOL",
                                 "err: WARNING: 2 listed files could not be read",
                                 "err: WARNING: 2 computed checksums did NOT match",
                             }));
}

TEST(CheckList, QuietStatusWarnStrictAndIgnoreMissingAsMd5sumHasThem)
{
    CheckOptions quiet;
    quiet.quiet = true;
    EXPECT_EQ(Check(kMixed, quiet).lines,
              (Lines{
                  "err: missing: No such file or directory",
                  "out: missing: FAILED open or read",
                  "out: abc: FAILED",
                  "out: c: FAILED",
                  "err: locked: The file is open for writing",
                  "out: locked: FAILED open or read",
                  "err: WARNING: 1 line is improperly formatted",
                  "err: WARNING: 1 line uses an algorithm vellumark-cli does not compute: WHIRLPOOL",
                  "err: WARNING: 2 listed files could not be read",
                  "err: WARNING: 2 computed checksums did NOT match",
              }));

    // Only why a file could not be read.
    CheckOptions status;
    status.status = true;
    const Outcome silent = Check(kMixed, status);
    EXPECT_FALSE(silent.passed);
    EXPECT_EQ(silent.lines,
              (Lines{"err: missing: No such file or directory", "err: locked: The file is open for writing"}));

    CheckOptions warn;
    warn.warn = true;
    const std::string unchecked =
        md5 + "  abc\nbad\n" + std::string(80, 'e') + "  abc\nWHIRLPOOL (abc) = 12\n" + kBlake2b + "  abc\n";
    const Outcome warned = Check(unchecked, warn);
    EXPECT_TRUE(warned.passed) << "lines not checked fail a list only with --strict";
    EXPECT_EQ(warned.lines,
              (Lines{
                  "out: abc: OK",
                  "err: list: 2: improperly formatted checksum line",
                  "err: list: 3: line uses an algorithm vellumark-cli does not compute: 80-digit digest",
                  "err: list: 4: line uses an algorithm vellumark-cli does not compute: WHIRLPOOL",
                  "out: abc: OK",
                  "err: WARNING: 1 line is improperly formatted",
                  "err: WARNING: 2 lines use an algorithm vellumark-cli does not compute: 80-digit digest, WHIRLPOOL",
                  "err: WARNING: 1 line was checked as BLAKE2b, told by its number of digits",
              }));
    CheckOptions strict;
    strict.strict = true;
    EXPECT_FALSE(Check(unchecked, strict).passed);
    EXPECT_FALSE(Check(md5 + "  abc\nbad\n", strict).passed);
    EXPECT_FALSE(Check(md5 + "  abc\n"s + std::string(80, 'e') + "  abc\n", strict).passed);
    EXPECT_TRUE(Check(md5 + "  abc\n"s + kSha512 + "  abc\n" + kBlake2b + "  abc\n", strict).passed)
        << "lines told by their number of digits are checked";
    status.status = true;
    EXPECT_EQ(Check(kBlake2b + "  abc\n"s, status).lines, Lines{}) << "--status leaves the warning out";
    EXPECT_TRUE(Check(md5 + "  abc\n# comment\n\n", strict).passed);

    // Missing files pass unseen; unreadable ones do not.
    CheckOptions ignore;
    ignore.ignoreMissing = true;
    const Outcome ignored = Check(md5 + "  abc\n" + md5 + "  missing\n", ignore);
    EXPECT_TRUE(ignored.passed);
    EXPECT_EQ(ignored.lines, (Lines{"out: abc: OK"}));
    const Outcome unreadable = Check(md5 + "  missing\n" + md5 + "  dir\n", ignore);
    EXPECT_FALSE(unreadable.passed);
    EXPECT_EQ(unreadable.lines, (Lines{
                                    "err: dir: Is a directory",
                                    "out: dir: FAILED open or read",
                                    "err: WARNING: 1 listed file could not be read",
                                    "err: list: no file was verified",
                                }));
    ignore.status = true;
    const Outcome nothing = Check(md5 + "  missing\n", ignore);
    EXPECT_FALSE(nothing.passed) << "no file was compared";
    EXPECT_EQ(nothing.lines, Lines{});
}

TEST(CheckList, AListWithNothingToCompareNeverPasses)
{
    const Outcome empty = Check("");
    EXPECT_FALSE(empty.passed);
    EXPECT_EQ(empty.lines, Lines{"err: list: no properly formatted checksum lines found"});

    CheckOptions status;
    status.status = true;
    const Outcome broken = Check("# only\nbad\n\n", status);
    EXPECT_FALSE(broken.passed);
    EXPECT_EQ(broken.lines, Lines{"err: list: no properly formatted checksum lines found"}) << "even with --status";

    // Lines of other algorithms alone: none of them is FAILED, and no file is
    // said to have passed either.
    const Outcome others = Check("WHIRLPOOL (abc) = "s + kWhirlpool + "\r\n" + std::string(80, '0') + "  abc\r\n");
    EXPECT_FALSE(others.passed);
    EXPECT_EQ(others.lines,
              (Lines{
                  "err: WARNING: 2 lines use an algorithm vellumark-cli does not compute: WHIRLPOOL, 80-digit digest",
                  "err: list: no file was verified",
              }));
}

TEST(CheckList, EachFileIsDigestedForItsOwnLinesAlgorithmWithTheKey)
{
    MadeUpFiles files;
    CheckOptions options;
    options.request.hmac = true;
    options.request.key = "Jefe";
    options.request.algorithms.Add(Algorithm::Md5);  // chosen: lines without a tag are MD5
    const Outcome outcome = Check(md5 + "  abc\nCRC32 (abc) = 352441c2\n" + kAbcSha1 + "  abc\n", options, files);
    EXPECT_EQ(outcome.lines, (Lines{"out: abc: OK", "out: abc: OK", "err: WARNING: 1 line is improperly formatted"}));
    ASSERT_EQ(files.requests.size(), 2u);
    for (const GenerateInput& request : files.requests) {
        EXPECT_TRUE(request.hmac);
        EXPECT_EQ(request.key, "Jefe");
        EXPECT_EQ(request.algorithms.Count(), 1u);
    }
    EXPECT_TRUE(files.requests[0].algorithms.Has(Algorithm::Md5));
    EXPECT_TRUE(files.requests[1].algorithms.Has(Algorithm::Crc32));

    // As md5sum names its own algorithm when one is chosen.
    options.warn = true;
    EXPECT_EQ(Check("bad\n" + md5 + "  abc\n", options).lines,
              (Lines{"err: list: 1: improperly formatted MD5 checksum line", "out: abc: OK",
                     "err: WARNING: 1 line is improperly formatted"}));
}

// 128 digits without a tag are SHA-512's, BLAKE2b's or SHA3-512's: the
// file is digested with SHA-512 first, and read again for the others only
// when that does not match. A good file is never FAILED; a match by another
// than the first is told once on standard error. A line named SHA-512 (by
// the option or the list's file name) is checked as SHA-512 alone.
TEST(CheckList, LinesOf128DigitsWithoutATagAreTriedAsEachAlgorithmOfTheirLength)
{
    const std::string list = kSha512 + "  abc\n"s + std::string(128, '0') + "  abc\n" + kBlake2b + "  abc\n";
    MadeUpFiles files;
    const Outcome outcome = Check(list, {}, files, "list.txt");
    EXPECT_FALSE(outcome.passed);
    EXPECT_EQ(outcome.lines, (Lines{"out: abc: OK", "out: abc: FAILED", "out: abc: OK",
                                    "err: WARNING: 1 computed checksum did NOT match",
                                    "err: WARNING: 1 line was checked as BLAKE2b, told by its number of digits"}));
    ASSERT_EQ(files.requests.size(), 5u);
    EXPECT_EQ(files.requests[0].algorithms, AlgorithmSet{Algorithm::Sha512});
    const AlgorithmSet others{Algorithm::Blake2b, Algorithm::Sha3_512};
    EXPECT_EQ(files.requests[2].algorithms, others) << "read again for the others, all at once";
    EXPECT_EQ(files.requests[2].blake2bBytes, 64u);

    const Lines named = {"out: abc: OK", "out: abc: FAILED", "out: abc: FAILED",
                         "err: WARNING: 2 computed checksums did NOT match"};
    for (const char* name : {"SHA512SUMS", "../sums/my.Sha512.txt", "x-sha512"}) {
        MadeUpFiles namedFiles;
        EXPECT_EQ(Check(list, {}, namedFiles, name).lines, named) << name;
        for (const GenerateInput& request : namedFiles.requests)
            EXPECT_EQ(request.algorithms, AlgorithmSet{Algorithm::Sha512}) << name;
    }
    CheckOptions chosen;
    chosen.request.algorithms.Add(Algorithm::Sha512);
    EXPECT_EQ(Check(list, chosen, MadeUpFiles(), "list.txt").lines, named) << "--sha512";

    // A tag says SHA-512 whatever the name; with another algorithm chosen,
    // 128 digits without a tag are broken, as md5sum has it.
    CheckOptions md5Only;
    md5Only.request.algorithms.Add(Algorithm::Md5);
    EXPECT_EQ(
        Check("SHA512 (abc) = "s + kSha512 + "\n" + kSha512 + "  abc\n", md5Only, MadeUpFiles(), "list.txt").lines,
        (Lines{"out: abc: OK", "err: WARNING: 1 line is improperly formatted"}));
}

// Once a line has matched by another candidate than the first, that one is
// tried first for the list's later lines of its length: a b2sum list is read
// once a file after its first line, not twice.
TEST(CheckList, TheCandidateThatMatchedIsTriedFirstForTheRest)
{
    MadeUpFiles files;
    for (const char* name : {"a", "b", "d"})
        files.files[name] = files.files["abc"];
    const std::string list = kBlake2b + "  abc\n"s + kBlake2b + "  a\n" + kBlake2b + "  b\n" + kSha512 + "  d\n";
    const Outcome outcome = Check(list, {}, files, "list.txt");
    EXPECT_TRUE(outcome.passed);
    EXPECT_EQ(outcome.lines, (Lines{"out: abc: OK", "out: a: OK", "out: b: OK", "out: d: OK",
                                    "err: WARNING: 3 lines were checked as BLAKE2b, told by their number of digits"}));
    ASSERT_EQ(files.requests.size(), 6u);
    EXPECT_EQ(files.requests[0].algorithms, AlgorithmSet{Algorithm::Sha512});
    EXPECT_EQ(files.requests[2].algorithms, AlgorithmSet{Algorithm::Blake2b});
    EXPECT_EQ(files.requests[3].algorithms, AlgorithmSet{Algorithm::Blake2b});
    EXPECT_EQ(files.requests[4].algorithms, AlgorithmSet{Algorithm::Blake2b}) << "SHA-512's line tries BLAKE2b first";
    EXPECT_EQ(files.requests[5].algorithms, (AlgorithmSet{Algorithm::Sha512, Algorithm::Sha3_512}));
}

// SFV lines, as rhash --sfv writes them, among the other forms: its ";"
// comments skipped, names with spaces, CR LF endings, and the CRC-32 after
// the last space in either case.
TEST(CheckList, SfvLinesAreCheckedAndCountedAsTheOthersAre)
{
    MadeUpFiles files;
    files.files["a b"] = files.files["c"];
    const std::string list =
        "; Generated by some tool\r\n"
        ";\r\n"
        "abc 352441C2\r\n" +
        md5 +
        "  abc\r\n"
        "a b 06b9df6f\r\n"
        "c 352441C2\r\n"
        "missing 00000000\r\n"
        "abc 352441C\r\n";
    CheckOptions warn;
    warn.warn = true;
    const Outcome outcome = Check(list, warn, files);
    EXPECT_FALSE(outcome.passed);
    EXPECT_EQ(outcome.lines, (Lines{
                                 "out: abc: OK",
                                 "out: abc: OK",
                                 "out: a b: OK",
                                 "out: c: FAILED",
                                 "err: missing: No such file or directory",
                                 "out: missing: FAILED open or read",
                                 "err: list: 8: improperly formatted checksum line",
                                 "err: WARNING: 1 line is improperly formatted",
                                 "err: WARNING: 1 listed file could not be read",
                                 "err: WARNING: 1 computed checksum did NOT match",
                             }));
    EXPECT_EQ(files.requests[0].algorithms, AlgorithmSet{Algorithm::Crc32});

    CheckOptions strict;
    strict.strict = true;
    EXPECT_TRUE(Check("; only comments and\nabc 352441c2\n", strict).passed);
    EXPECT_FALSE(Check("; only comments\n", strict).passed);
}

TEST(CheckList, FilesCheckedSideBySideAreStillReportedInListOrder)
{
    MadeUpFiles files;
    std::string list;
    Lines expected;
    for (int i = 0; i < 8; ++i) {
        const std::string name = "f" + std::to_string(i);
        files.files[name] = {md5, "", "", i % 3 == 1 ? "Input/output error" : "", 5 * (8 - i)};
        list += (i == 5 ? "11111111111111111111111111111111" : md5) + "  " + name + "\n";
        if (i % 3 == 1)
            expected.insert(expected.end(),
                            {"err: " + name + ": Input/output error", "out: " + name + ": FAILED open or read"});
        else
            expected.push_back("out: " + name + (i == 5 ? ": FAILED" : ": OK"));
    }
    expected.insert(expected.end(), {"err: WARNING: 3 listed files could not be read",
                                     "err: WARNING: 1 computed checksum did NOT match"});
    CheckOptions options;
    options.threads = 3;
    const Outcome outcome = Check(list, options, files);
    EXPECT_FALSE(outcome.passed);
    EXPECT_EQ(outcome.lines, expected);
}

TEST(CheckList, NamesInTheReportAreEscapedAndNoNulCutsOneShort)
{
    MadeUpFiles files;
    files.files["new\nline"] = files.files["abc"];
    files.files["ok\x1B[8m"] = files.files["abc"];
    files.files["back\\slash"] = files.files["abc"];
    const Outcome outcome =
        Check("\\" + md5 + "  new\\nline\n" + md5 + "  ok\x1B[8m\n" + md5 + "  back\\slash\n" + md5 + "  abc\0x\n"s, {},
              files);
    EXPECT_EQ(outcome.lines, (Lines{"out: \\new\\nline: OK", "out: \\ok\\x1B[8m: OK", "out: back\\slash: OK",
                                    "err: WARNING: 1 line is improperly formatted"}));
}

// The report is escaped for the terminal's character set: U+00DB, C3 9B, is
// a letter in UTF-8, and its second byte a C1 control (CSI) to an 8-bit
// terminal, whose own letters (0xE9, é in ISO 8859-1) are no UTF-8.
TEST(CheckList, NamesInTheReportAreEscapedForTheTerminalsCharacterSet)
{
    MadeUpFiles files;
    files.files["\xC3\x9B"] = files.files["abc"];
    files.files["caf\xE9"] = files.files["abc"];
    const std::string list = md5 + "  \xC3\x9B\n" + md5 + "  caf\xE9\n";
    CheckOptions options;
    options.charset = platform::Charset::Utf8;
    EXPECT_EQ(Check(list, options, files).lines, (Lines{"out: \xC3\x9B: OK", "out: \\caf\\xE9: OK"}));
    options.charset = platform::Charset::EightBit;
    EXPECT_EQ(Check(list, options, files).lines, (Lines{"out: \\\xC3\\x9B: OK", "out: caf\xE9: OK"}));
}

TEST(ResultLines, EachFormAsItsReadersExpectIt)
{
    const AlgorithmRow& md5Kind = RowOf(Algorithm::Md5);
    const AlgorithmRow& crcKind = RowOf(Algorithm::Crc32);
    const std::string upper = "900150983CD24FB0D6963F7D28E17F72";
    // Plain lines stay as the result box shows them, byte for byte.
    EXPECT_EQ(ResultLine(LineForm::Plain, false, md5Kind, "x", upper), "MD5 " + upper);
    EXPECT_EQ(ResultLine(LineForm::Plain, false, crcKind, "x", "6B9DF6F"), "CRC32 6B9DF6F");
    EXPECT_EQ(ResultLine(LineForm::Plain, true, crcKind, "x", "6B9DF6F"), "CRC32 6b9df6f");
    EXPECT_EQ(ResultLine(LineForm::Tag, false, crcKind, "a b", "6B9DF6F"), "CRC32 (a b) = 06B9DF6F");
    EXPECT_EQ(ResultLine(LineForm::Tag, true, md5Kind, "a\nb", upper), "\\MD5 (a\\nb) = " + md5);
    EXPECT_EQ(ResultLine(LineForm::Sum, false, md5Kind, "a", upper), md5 + "  a");
    EXPECT_EQ(ResultLine(LineForm::Sum, false, crcKind, "back\\slash", "0"), "\\00000000  back\\\\slash");
}

TEST(PrintDigests, EveryInputInTheOrderNamedAndFailuresOnStandardError)
{
    MadeUpFiles files;
    SumOptions options;
    options.form = LineForm::Tag;
    options.request.algorithms.Add(Algorithm::Md5);
    options.request.algorithms.Add(Algorithm::Crc32);
    options.threads = 2;
    files.files["abc"].milliseconds = 40;
    Transcript transcript;
    EXPECT_FALSE(PrintDigests({"abc", "missing", "c"}, options, files, transcript));
    EXPECT_EQ(transcript.lines, (Lines{
                                    "out: MD5 (abc) = 900150983CD24FB0D6963F7D28E17F72",
                                    "out: CRC32 (abc) = 352441C2",
                                    "err: missing: No such file or directory",
                                    "out: MD5 (c) = 4A8A08F09D37B73795649038408B5F33",
                                    "out: CRC32 (c) = 06B9DF6F",
                                }));
    Transcript good;
    EXPECT_TRUE(PrintDigests({"c"}, options, files, good));
}

}  // namespace
