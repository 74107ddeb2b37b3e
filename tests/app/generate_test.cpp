#include "app/generate.h"

#include <cerrno>
#include <chrono>
#include <cstring>
#include <ctime>
#include <fstream>
#include <functional>
#include <future>
#include <string>
#include <utility>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QTemporaryDir>
#include <gtest/gtest.h>

#include "engine/digest.h"

namespace {

using Results = std::vector<std::pair<Algorithm, std::string>>;

constexpr const char* kEmptyMd5 = "D41D8CD98F00B204E9800998ECF8427E";
constexpr const char* kEmptySha1 = "DA39A3EE5E6B4B0D3255BFEF95601890AFD80709";
constexpr const char* kAbcMd5 = "900150983CD24FB0D6963F7D28E17F72";
constexpr const char* kAbcSha1 = "A9993E364706816ABA3E25717850C26C9CD0D89D";
constexpr const char* kAbcCrc32 = "352441C2";

GenerateInput AllTicked(GenerateSource source)
{
    GenerateInput input;
    input.md5 = input.sha1 = input.crc32 = true;
    input.source = source;
    return input;
}

GenerateInput TextInput(std::string text)
{
    GenerateInput input = AllTicked(GenerateSource::Text);
    input.text = std::move(text);
    return input;
}

GenerateInput FileInput(std::string name)
{
    GenerateInput input = AllTicked(GenerateSource::File);
    input.fileName = std::move(name);
    return input;
}

Results Collect(const GenerateInput& input)
{
    Results results;
    Generate(input, [&](Algorithm algorithm, const std::string& text) { results.emplace_back(algorithm, text); });
    return results;
}

Results ThreeResults(const char* md5, const char* sha1, const char* crc32)
{
    return {{Algorithm::Md5, md5}, {Algorithm::Sha1, sha1}, {Algorithm::Crc32, crc32}};
}

// What a failing run reports: its message and whether it delivered any
// result before failing.
struct Failure {
    std::string message;
    std::string className;
    bool delivered = false;
};

Failure FailureOf(const GenerateInput& input)
{
    Failure failure;
    try {
        Generate(input, [&](Algorithm, const std::string&) { failure.delivered = true; });
    } catch (const Exception& error) {
        failure.message = error.Message();
        failure.className = error.ClassName();
    }
    return failure;
}

class GenerateFiles : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(dir_.isValid()); }

    std::string Path(const std::string& name) const { return dir_.path().toStdString() + "/" + name; }

    std::string MakeFile(const std::string& name, const std::string& bytes) const
    {
        const std::string path = Path(name);
        std::ofstream(path, std::ios::binary) << bytes;
        return path;
    }

private:
    QTemporaryDir dir_;
};

TEST_F(GenerateFiles, EmptyFileAndEmptyTextGiveTheEmptyDigests)
{
    const Results expected = ThreeResults(kEmptyMd5, kEmptySha1, "0");
    EXPECT_EQ(Collect(FileInput(MakeFile("empty.bin", ""))), expected);
    EXPECT_EQ(Collect(TextInput("")), expected);
}

TEST_F(GenerateFiles, AbcGivesThePublishedDigests)
{
    const Results expected = ThreeResults(kAbcMd5, kAbcSha1, kAbcCrc32);
    EXPECT_EQ(Collect(TextInput("abc")), expected);
    EXPECT_EQ(Collect(FileInput(MakeFile("abc.txt", "abc"))), expected);
}

TEST(Generate, Crc32IsShownWithoutLeadingZeros)
{
    GenerateInput input = TextInput("c");
    input.md5 = input.sha1 = false;
    EXPECT_EQ(Collect(input), (Results{{Algorithm::Crc32, "6B9DF6F"}}));
}

TEST_F(GenerateFiles, AFileAndATextWithTheSameBytesAgree)
{
    const std::string bytes("a\r\nb\0\xFF\x80 tail ", 13);
    const std::string path = MakeFile("same.bin", bytes);
    EXPECT_EQ(Collect(FileInput(path)), Collect(TextInput(bytes)));

    GenerateInput keyedFile = FileInput(path);
    GenerateInput keyedText = TextInput(bytes);
    keyedFile.hmac = keyedText.hmac = true;
    keyedFile.key = keyedText.key = std::string("k\0ey", 4);
    EXPECT_EQ(Collect(keyedFile), Collect(keyedText));

    // The bytes the text page gives for "a" and "b" on two lines.
    EXPECT_EQ(Collect(TextInput("a\r\nb")),
              ThreeResults("65D5F03C46E62E3F2BABBE712D2CE464", "EC6CB5B8C69F8B476A380C9B6E38E18C2733AE7B", "F35534D7"));
}

TEST_F(GenerateFiles, HmacKeysMd5AndSha1ButNeverCrc32)
{
    GenerateInput keyed = TextInput("abc");
    keyed.hmac = true;  // under the empty key
    EXPECT_EQ(Collect(keyed), ThreeResults("DD2701993D29FDD0B032C233CEC63403",
                                       "9B4A918F398D74D3E367970ABA3CBE54E4D2B5D9", kAbcCrc32));

    GenerateInput emptyKeyedFile = FileInput(MakeFile("empty.bin", ""));
    emptyKeyedFile.hmac = true;
    EXPECT_EQ(Collect(emptyKeyedFile), ThreeResults("74E6F7298A9C2D168935F58C001BAD88",
                                                "FBDB1D1B18AA6C08324B7D64B71FB76370690E1D", "0"));

    // The classic published pair, through a file.
    GenerateInput jefe = FileInput(MakeFile("jefe.txt", "what do ya want for nothing?"));
    jefe.hmac = true;
    jefe.key = "Jefe";
    jefe.crc32 = false;
    EXPECT_EQ(Collect(jefe), (Results{{Algorithm::Md5, "750C783E6AB0B503EAA86E310A5DB738"},
                                  {Algorithm::Sha1, "EFFCDF6AE5EB2FA2D27416D5F184DF9C259A7C79"}}));

    // A key without the HMAC tick is not used.
    GenerateInput ignoredKey = TextInput("abc");
    ignoredKey.key = "Jefe";
    EXPECT_EQ(Collect(ignoredKey), ThreeResults(kAbcMd5, kAbcSha1, kAbcCrc32));
}

TEST_F(GenerateFiles, OnlyTickedResultsAreDeliveredInTheirOrder)
{
    GenerateInput input = TextInput("abc");
    input.md5 = false;
    EXPECT_EQ(Collect(input), (Results{{Algorithm::Sha1, kAbcSha1}, {Algorithm::Crc32, kAbcCrc32}}));

    input.sha1 = false;
    EXPECT_EQ(Collect(input), (Results{{Algorithm::Crc32, kAbcCrc32}}));

    input.md5 = true;
    input.crc32 = false;
    EXPECT_EQ(Collect(input), (Results{{Algorithm::Md5, kAbcMd5}}));

    input.md5 = false;
    EXPECT_TRUE(Collect(input).empty());

    // Nothing ticked on the file page: the file is still read, so its
    // failures still show.
    GenerateInput noneTicked = FileInput(Path("missing.bin"));
    noneTicked.md5 = noneTicked.sha1 = noneTicked.crc32 = false;
    EXPECT_EQ(FailureOf(noneTicked).message, "Invalid file name");
}

TEST(Generate, NoPageComputesNothingAndTouchesNoFile)
{
    GenerateInput input = AllTicked(GenerateSource::Nothing);
    input.fileName = "/nonexistent/file";
    input.text = "abc";
    EXPECT_TRUE(Collect(input).empty());
}

TEST(Generate, ResultsArriveOneByOne)
{
    // Each result is handed on as soon as it is known, so a sink that fails
    // on the second has already seen the first.
    Results seen;
    struct Stop {};
    EXPECT_THROW(Generate(TextInput("abc"),
                          [&](Algorithm algorithm, const std::string& text) {
                              seen.emplace_back(algorithm, text);
                              if (algorithm == Algorithm::Sha1)
                                  throw Stop{};
                          }),
                 Stop);
    EXPECT_EQ(seen, (Results{{Algorithm::Md5, kAbcMd5}, {Algorithm::Sha1, kAbcSha1}}));
}

TEST_F(GenerateFiles, NamesThatAreNoFileGiveInvalidFileName)
{
    const std::string fifo = Path("pipe");
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    const std::string old = MakeFile("old.bin", "x");
    std::tm local{};
    local.tm_year = 75;
    local.tm_mon = 5;
    local.tm_mday = 1;
    local.tm_hour = 12;
    local.tm_isdst = -1;
    const std::time_t when = std::mktime(&local);
    const timespec times[2] = {{when, 0}, {when, 0}};
    ASSERT_EQ(::utimensat(AT_FDCWD, old.c_str(), times, 0), 0);

    const std::pair<const char*, std::string> names[] = {
        {"empty name", ""},
        {"missing file", Path("missing.bin")},
        {"directory", Path("")},
        {"pattern matching nothing", Path("*.none")},
        {"last write in 1975", old},
        {"FIFO", fifo},
    };
    for (const auto& [what, name] : names) {
        // A FIFO must be turned down, not opened: opening it would wait for
        // a writer for ever.
        std::future<Failure> failure = std::async(std::launch::async, [&] { return FailureOf(FileInput(name)); });
        if (failure.wait_for(std::chrono::seconds(5)) != std::future_status::ready) {
            const int writer = ::open(fifo.c_str(), O_RDWR | O_CLOEXEC);
            failure.wait();
            if (writer >= 0)
                ::close(writer);
            ADD_FAILURE() << what << ": Generate did not return";
            continue;
        }
        const Failure result = failure.get();
        EXPECT_EQ(result.message, "Invalid file name") << what;
        EXPECT_EQ(result.className, std::string("EHashError")) << what;
        EXPECT_FALSE(result.delivered) << what;
    }
}

TEST_F(GenerateFiles, AWildcardThatMatchesFailsAtOpening)
{
    MakeFile("match-me.bin", "abc");
    const Failure failure = FailureOf(FileInput(Path("match-*.bin")));
    EXPECT_EQ(failure.message, "Cannot open file \"" + Path("match-*.bin") + "\". No such file or directory");
    EXPECT_FALSE(failure.delivered);
}

TEST_F(GenerateFiles, AFileOpenForWritingFailsAtOpening)
{
    const std::string path = MakeFile("busy.bin", "abc");
    const int probe = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_GE(probe, 0);
    const bool leases = ::fcntl(probe, F_SETLEASE, F_RDLCK) == 0;
    ::close(probe);
    if (!leases)
        GTEST_SKIP() << "this file system grants no read leases";

    const int writer = ::open(path.c_str(), O_WRONLY | O_CLOEXEC);
    ASSERT_GE(writer, 0);
    const Failure failure = FailureOf(FileInput(path));
    ::close(writer);
    EXPECT_EQ(failure.message, "Cannot open file \"" + path + "\". The file is open for writing");
    EXPECT_FALSE(failure.delivered);

    EXPECT_EQ(Collect(FileInput(path)), ThreeResults(kAbcMd5, kAbcSha1, kAbcCrc32));
}

TEST(TrimFileName, DropsBytesBelow33FromBothEndsOnly)
{
    const std::pair<std::string, std::string> cases[] = {
        {"name.txt", "name.txt"},
        {"  name.txt  ", "name.txt"},
        {"\t\r\n name.txt\x01\x1F", "name.txt"},
        {"my file.txt", "my file.txt"},
        {" \t ", ""},
        {"", ""},
        {std::string("\0a\0", 3), "a"},
        {"\x7F" "a\x7F", "\x7F" "a\x7F"},
        {"\xC2\xA0" "a\xC2\xA0", "\xC2\xA0" "a\xC2\xA0"},  // non-breaking spaces are not blanks here
        {"!a!", "!a!"},
    };
    for (const auto& [name, trimmed] : cases)
        EXPECT_EQ(TrimFileName(name), trimmed) << '"' << name << '"';
}

}  // namespace
