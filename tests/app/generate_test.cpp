// The Generate core. The window's tests already show the published digests
// of empty input, "abc" and "c", CR LF text against the same file, HMAC under
// the empty key and the window's handling of failures; these cover what only
// the core shows.

#include "app/generate.h"

#include <string>
#include <utility>
#include <vector>

#include <sys/stat.h>

#include "tests/test_files.h"

namespace {

using Results = std::vector<std::pair<Algorithm, std::string>>;

constexpr const char* kAbcMd5 = "900150983CD24FB0D6963F7D28E17F72";
constexpr const char* kAbcSha1 = "A9993E364706816ABA3E25717850C26C9CD0D89D";
constexpr const char* kAbcCrc32 = "352441C2";

GenerateInput Input(GenerateSource source, std::string data, bool md5 = true, bool sha1 = true, bool crc32 = true)
{
    const bool file = source == GenerateSource::File;
    return {"", false, md5, sha1, crc32, source, file ? data : "", file ? "" : data};  // no key, no HMAC
}

Results Collect(const GenerateInput& input)
{
    Results results;
    Generate(input, [&](Algorithm algorithm, const std::string& text) { results.emplace_back(algorithm, text); });
    return results;
}

using GenerateFiles = TempDirTest;

TEST(Generate, DeliversOnlyTheTickedResultsOneByOneInTheirOrder)
{
    EXPECT_EQ(Collect(Input(GenerateSource::Text, "abc", false, true, true)),
              (Results{{Algorithm::Sha1, kAbcSha1}, {Algorithm::Crc32, kAbcCrc32}}));
    EXPECT_EQ(Collect(Input(GenerateSource::Text, "abc", true, false, false)), (Results{{Algorithm::Md5, kAbcMd5}}));
    EXPECT_TRUE(Collect(Input(GenerateSource::Text, "abc", false, false, false)).empty());

    // No page chosen: nothing is computed and no file is looked at.
    GenerateInput none = Input(GenerateSource::Text, "abc");
    none.source = GenerateSource::Nothing;
    none.fileName = "/nonexistent/file";
    EXPECT_TRUE(Collect(none).empty());

    // A sink that fails on the second result has already seen the first.
    Results seen;
    struct Stop {};
    EXPECT_THROW(Generate(Input(GenerateSource::Text, "abc"),
                          [&](Algorithm algorithm, const std::string& text) {
                              seen.emplace_back(algorithm, text);
                              if (algorithm == Algorithm::Sha1)
                                  throw Stop{};
                          }),
                 Stop);
    EXPECT_EQ(seen, (Results{{Algorithm::Md5, kAbcMd5}, {Algorithm::Sha1, kAbcSha1}}));
}

TEST_F(GenerateFiles, AFileAndATextWithTheSameBytesAgreeKeyedOrNot)
{
    // NUL bytes in the data and in the key count like any other byte.
    const std::string bytes("a\r\nb\0\xFF\x80 tail ", 13);
    const std::string path = MakeFile("same.bin", bytes);
    GenerateInput file = Input(GenerateSource::File, path);
    GenerateInput text = Input(GenerateSource::Text, bytes);
    EXPECT_EQ(Collect(file), Collect(text));
    file.hmac = text.hmac = true;
    std::vector<Results> keyed;
    for (const std::string& key : {std::string("k\0ey", 4), std::string("k")}) {
        file.key = text.key = key;
        keyed.push_back(Collect(text));
        EXPECT_EQ(Collect(file), keyed.back()) << key;
    }
    EXPECT_NE(keyed[0], keyed[1]) << "the key was cut at its NUL byte";

    // The published HMAC pair through a file; CRC-32 is never keyed.
    GenerateInput jefe = Input(GenerateSource::File, MakeFile("jefe.txt", "what do ya want for nothing?"));
    jefe.hmac = true;
    jefe.key = "Jefe";
    EXPECT_EQ(Collect(jefe), (Results{{Algorithm::Md5, "750C783E6AB0B503EAA86E310A5DB738"},
                                      {Algorithm::Sha1, "EFFCDF6AE5EB2FA2D27416D5F184DF9C259A7C79"},
                                      {Algorithm::Crc32, "6BC70A6C"}}));

    // A key without the HMAC tick is not used.
    GenerateInput ignoredKey = Input(GenerateSource::Text, "abc", true, false, false);
    ignoredKey.key = "Jefe";
    EXPECT_EQ(Collect(ignoredKey), (Results{{Algorithm::Md5, kAbcMd5}}));
}

TEST_F(GenerateFiles, NamesThatAreNoRegularFileGiveInvalidFileNamePromptly)
{
    const std::string fifo = Path("pipe");
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    const std::pair<const char*, GenerateInput> cases[] = {
        {"missing file", Input(GenerateSource::File, Path("missing.bin"))},
        {"FIFO, which must not be opened", Input(GenerateSource::File, fifo)},
        {"nothing ticked, yet the name is checked",
         Input(GenerateSource::File, Path("missing.bin"), false, false, false)},
    };
    for (const auto& [what, input] : cases) {
        std::string message;
        std::string className;
        bool delivered = false;
        EXPECT_TRUE(FinishesPromptly(
            [&] {
                message = FailureOf([&] { Generate(input, [&](Algorithm, const std::string&) { delivered = true; }); },
                                    &className);
            },
            fifo))
            << what << ": Generate did not return";
        EXPECT_EQ(message, "Invalid file name") << what;
        EXPECT_EQ(className, "EHashError") << what;
        EXPECT_FALSE(delivered) << what;
    }
}

TEST(TrimFileName, DropsBytesBelow33FromBothEndsOnly)
{
    const std::pair<std::string, std::string> cases[] = {
        {"\t\r\n my file.txt\x01\x1F ", "my file.txt"},
        {std::string("\0a\0", 3), "a"},
        {"!\x7F"
         "a\xC2\xA0",
         "!\x7F"
         "a\xC2\xA0"},  // 33, DEL and non-breaking spaces are no blanks here
    };
    for (const auto& [name, trimmed] : cases)
        EXPECT_EQ(TrimFileName(name), trimmed) << '"' << name << '"';
}

}  // namespace
