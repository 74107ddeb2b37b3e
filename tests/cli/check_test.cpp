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
// SHA-384, which vellumark-cli does not compute.
constexpr const char* kSha384 =
    "cb00753f45a35e8bb5a03d699ac65007272c32ab0eded1631a8b605a43ff5bed8086072ba1e7cc2358baeca134c825a7";

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
        return digests;
    }

    std::map<std::string, File> files = {
        {"abc", {kAbcMd5, kAbcSha1, "352441C2", "", 0, kSha256, kSha512}},
        {"c",
         {"4a8a08f09d37b73795649038408b5f33", "84a516841ba77a5b4648de2cd0dfcb30ea46dbb4", "6B9DF6F", "", 0,
          "2e7d2c03a9507ae265ecf5b5356885a53393a2029d241394997265a1a25aefc6"}},
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
    "SHA384 (abc) = "s + kSha384,                           // another algorithm
    md5 + "  missing",                                      // could not be read
    "00000000000000000000000000000000  abc",                // FAILED
    kSha512 + "  abc"s,                                     // 128 digits: not without --sha512
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
                                 "err: missing: No such file or directory",
                                 "out: missing: FAILED open or read",
                                 "out: abc: FAILED",
                                 "out: c: FAILED",
                                 "err: locked: The file is open for writing",
                                 "out: locked: FAILED open or read",
                                 "err: WARNING: 1 line is improperly formatted",
                                 "err: WARNING: 2 lines use an algorithm vellumark-cli does not compute: SHA384, "
                                 "128-digit digest",
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
                  "err: WARNING: 2 lines use an algorithm vellumark-cli does not compute: SHA384, 128-digit digest",
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
    const std::string unchecked = md5 + "  abc\nbad\n" + kSha512 + "  abc\nSHA384 (abc) = 12\n";
    const Outcome warned = Check(unchecked, warn);
    EXPECT_TRUE(warned.passed) << "lines not checked fail a list only with --strict";
    EXPECT_EQ(warned.lines,
              (Lines{
                  "out: abc: OK",
                  "err: list: 2: improperly formatted checksum line",
                  "err: list: 3: line uses an algorithm vellumark-cli does not compute: 128-digit digest "
                  "(--sha512 checks it as SHA-512)",
                  "err: list: 4: line uses an algorithm vellumark-cli does not compute: SHA384",
                  "err: WARNING: 1 line is improperly formatted",
                  "err: WARNING: 2 lines use an algorithm vellumark-cli does not compute: 128-digit digest, SHA384",
              }));
    CheckOptions strict;
    strict.strict = true;
    EXPECT_FALSE(Check(unchecked, strict).passed);
    EXPECT_FALSE(Check(md5 + "  abc\nbad\n", strict).passed);
    EXPECT_FALSE(Check(md5 + "  abc\n"s + kSha512 + "  abc\n", strict).passed);
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
    const Outcome others = Check("SHA384 (abc) = "s + kSha384 + "\r\n" + kSha512 + "  abc\r\n");
    EXPECT_FALSE(others.passed);
    EXPECT_EQ(others.lines,
              (Lines{
                  "err: WARNING: 2 lines use an algorithm vellumark-cli does not compute: SHA384, 128-digit digest",
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

// 128 digits without a tag may be BLAKE2b's, as b2sum writes them: they are
// SHA-512 when --sha512 is given or the list's file name says so, and
// otherwise never FAILED, nor read.
TEST(CheckList, LinesOf128DigitsWithoutATagAreSha512OnlyWhenSaid)
{
    const std::string list = kSha512 + "  abc\n"s + std::string(128, '0') + "  abc\n";
    const Lines checked = {"out: abc: OK", "out: abc: FAILED", "err: WARNING: 1 computed checksum did NOT match"};
    for (const char* name : {"SHA512SUMS", "../sums/my.Sha512.txt", "x-sha512"}) {
        MadeUpFiles files;
        const Outcome outcome = Check(list, {}, files, name);
        EXPECT_FALSE(outcome.passed) << name;
        EXPECT_EQ(outcome.lines, checked) << name;
        ASSERT_EQ(files.requests.size(), 2u) << name;
        EXPECT_EQ(files.requests[0].algorithms, AlgorithmSet{Algorithm::Sha512}) << name;
    }
    CheckOptions chosen;
    chosen.request.algorithms.Add(Algorithm::Sha512);
    EXPECT_EQ(Check(list, chosen, MadeUpFiles(), "list.txt").lines, checked) << "--sha512";

    for (const char* name : {"list.txt", "sha512/list.txt", "SHA-512SUMS"}) {
        MadeUpFiles files;
        CheckOptions warn;
        warn.warn = true;
        const Outcome outcome = Check(list, warn, files, name);
        EXPECT_FALSE(outcome.passed) << name;
        const std::string said = std::string("err: ") + name + ": ";
        const std::string why =
            ": line uses an algorithm vellumark-cli does not compute: 128-digit digest (--sha512 checks it as SHA-512)";
        EXPECT_EQ(outcome.lines,
                  (Lines{said + "1" + why, said + "2" + why,
                         "err: WARNING: 2 lines use an algorithm vellumark-cli does not compute: 128-digit digest",
                         said + "no file was verified"}))
            << name;
        EXPECT_TRUE(files.requests.empty()) << name;
    }

    // A tag says SHA-512 whatever the name; with another algorithm chosen,
    // 128 digits without a tag are broken, as md5sum has it.
    CheckOptions md5Only;
    md5Only.request.algorithms.Add(Algorithm::Md5);
    EXPECT_EQ(
        Check("SHA512 (abc) = "s + kSha512 + "\n" + kSha512 + "  abc\n", md5Only, MadeUpFiles(), "list.txt").lines,
        (Lines{"out: abc: OK", "err: WARNING: 1 line is improperly formatted"}));
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
