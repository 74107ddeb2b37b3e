// The Generate core. The window's tests already show the published digests
// of empty input, "abc" and "c", CR LF text against the same file, HMAC under
// the empty key and the window's handling of failures; these cover what only
// the core shows.

#include "core/generate.h"

#include <string>
#include <utility>
#include <vector>

#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include "platform/files/file_reader.h"

#include "tests/test_files.h"

namespace {

using Results = std::vector<std::pair<Algorithm, std::string>>;

constexpr const char* kAbcMd5 = "900150983CD24FB0D6963F7D28E17F72";
constexpr const char* kAbcSha1 = "A9993E364706816ABA3E25717850C26C9CD0D89D";
constexpr const char* kAbcCrc32 = "352441C2";

GenerateInput Input(GenerateSource source, std::string data, bool md5 = true, bool sha1 = true, bool crc32 = true)
{
    const bool file = source == GenerateSource::File;
    GenerateInput input;  // no key, no HMAC
    input.algorithms.Set(Algorithm::Md5, md5);
    input.algorithms.Set(Algorithm::Sha1, sha1);
    input.algorithms.Set(Algorithm::Crc32, crc32);
    input.source = source;
    (file ? input.fileName : input.text) = data;
    return input;
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

    // Large enough to be mapped and digested side by side: each result is
    // still the one a run of that algorithm alone gives, from a text too.
    std::string large(3 * 1024 * 1024 + 5, '\0');
    for (std::size_t i = 0; i < large.size(); ++i)
        large[i] = static_cast<char>(i % 251);
    Results alone;
    for (int ticked = 0; ticked < 3; ++ticked) {
        const Results one = Collect(Input(GenerateSource::Text, large, ticked == 0, ticked == 1, ticked == 2));
        alone.insert(alone.end(), one.begin(), one.end());
    }
    EXPECT_EQ(Collect(Input(GenerateSource::File, MakeFile("large.bin", large))), alone);
    EXPECT_EQ(Collect(Input(GenerateSource::Text, large)), alone);

    // A key without the HMAC tick is not used.
    GenerateInput ignoredKey = Input(GenerateSource::Text, "abc", true, false, false);
    ignoredKey.key = "Jefe";
    EXPECT_EQ(Collect(ignoredKey), (Results{{Algorithm::Md5, kAbcMd5}}));
}

// SHA-256 and SHA-512 come between SHA-1 and CRC-32, keyed under HMAC as
// the others are, the same from a file as from a text, also when the input is
// large enough to be digested side by side.
TEST_F(GenerateFiles, Sha256AndSha512ComeBetweenSha1AndCrc32KeyedOrNot)
{
    const auto all = [](GenerateInput input) {
        input.algorithms = input.algorithms | AlgorithmSet{Algorithm::Sha256, Algorithm::Sha512};
        return input;
    };
    // FIPS 180-4's "abc".
    const Results abc{
        {Algorithm::Md5, kAbcMd5},
        {Algorithm::Sha1, kAbcSha1},
        {Algorithm::Sha256, "BA7816BF8F01CFEA414140DE5DAE2223B00361A396177A9CB410FF61F20015AD"},
        {Algorithm::Sha512,
         "DDAF35A193617ABACC417349AE20413112E6FA4E89A97EA20A9EEEE64B55D39A"
         "2192992A274FC1A836BA3C23A3FEEBBD454D4423643CE80E2A9AC94FA54CA49F"},
        {Algorithm::Crc32, kAbcCrc32},
    };
    EXPECT_EQ(Collect(all(Input(GenerateSource::Text, "abc"))), abc);
    EXPECT_EQ(Collect(all(Input(GenerateSource::File, MakeFile("abc.txt", "abc")))), abc);

    // RFC 4231's second case; CRC-32 is never keyed.
    const std::string data = "what do ya want for nothing?";
    const Results jefe{
        {Algorithm::Sha256, "5BDCC146BF60754E6A042426089575C75A003F089D2739839DEC58B964EC3843"},
        {Algorithm::Sha512,
         "164B7A7BFCF819E2E395FBE73B56E0A387BD64222E831FD610270CD7EA250554"
         "9758BF75C05A994A6D034F65F8F0E6FDCAEAB1A34D4A6B4B636E070A38BCE737"},
        {Algorithm::Crc32, "6BC70A6C"},
    };
    for (GenerateInput keyed : {all(Input(GenerateSource::Text, data, false, false, true)),
                                all(Input(GenerateSource::File, MakeFile("jefe.txt", data), false, false, true))}) {
        keyed.hmac = true;
        keyed.key = "Jefe";
        EXPECT_EQ(Collect(keyed), jefe);
    }

    // Each result of a large input as a run of its algorithm alone gives it.
    std::string large(3 * 1024 * 1024 + 5, '\0');
    for (std::size_t i = 0; i < large.size(); ++i)
        large[i] = static_cast<char>(i * 7 % 253);
    Results alone;
    for (const Algorithm tick :
         {Algorithm::Md5, Algorithm::Sha1, Algorithm::Sha256, Algorithm::Sha512, Algorithm::Crc32}) {
        GenerateInput one = Input(GenerateSource::Text, large, false, false, false);
        one.algorithms.Add(tick);
        const Results result = Collect(one);
        ASSERT_EQ(result.size(), 1u);
        alone.push_back(result.front());
    }
    EXPECT_EQ(Collect(all(Input(GenerateSource::Text, large))), alone);
    EXPECT_EQ(Collect(all(Input(GenerateSource::File, MakeFile("large.bin", large)))), alone);

    // Keyed with a key longer than SHA-512's block of 128 bytes, a file of
    // several windows gives what the text of the same bytes gives.
    GenerateInput text = all(Input(GenerateSource::Text, large));
    text.hmac = true;
    text.key = std::string(200, 'k');
    GenerateInput file = text;
    file.source = GenerateSource::File;
    file.fileName = MakeFile("large.bin", large);
    const Results fromText = Collect(text);
    ASSERT_EQ(fromText.size(), 5u);
    EXPECT_EQ(fromText[3].second.size(), 128u);
    EXPECT_EQ(Collect(file), fromText);
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

// Another process keeps rewriting a large file while it is digested: each
// run gives the digests of one whole content or the file layer's refusal,
// never a mix, never a crash.
TEST_F(GenerateFiles, AFileRewrittenWhileDigestedGivesItsErrorOrTheRightResult)
{
    ASSERT_TRUE(platform::IgnoreLeaseBreakSignal());
    const std::string a(4 * 1024 * 1024, 'A'), b(3 * 1024 * 1024, 'B');
    const std::string path = MakeFile("busy.bin", a);
    const Results whole[] = {Collect(Input(GenerateSource::Text, a)), Collect(Input(GenerateSource::Text, b))};
    const pid_t writer = ::fork();
    if (writer == 0) {
        for (unsigned round = 0;; ++round) {
            const std::string& next = round % 2 ? a : b;
            const int fd = ::open(path.c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC);
            if (fd < 0 || ::write(fd, next.data(), next.size()) != static_cast<ssize_t>(next.size()))
                ::_exit(1);
            ::close(fd);
            ::usleep(3000);  // a moment in which a reader may come in
        }
    }
    ASSERT_GT(writer, 0);
    const std::string refusal = "Cannot open file \"" + path + "\". ";
    int digested = 0;
    for (int run = 0; run < 1000 && digested < 20; ++run) {
        Results results;
        const std::string failure = FailureOf([&] { results = Collect(Input(GenerateSource::File, path)); });
        if (!failure.empty()) {
            EXPECT_TRUE(failure == refusal + "The file is open for writing" ||
                        failure == refusal + "The file changed while it was being read")
                << failure;
            ::usleep(1000);
            continue;
        }
        ++digested;
        EXPECT_TRUE(results == whole[0] || results == whole[1]);
    }
    int status = 0;
    EXPECT_EQ(::waitpid(writer, &status, WNOHANG), 0) << "the writer ended early";
    ::kill(writer, SIGKILL);
    ::waitpid(writer, nullptr, 0);
    EXPECT_GT(digested, 0) << "the writer never let a reader in";
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
