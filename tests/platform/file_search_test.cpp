#include "platform/file_search.h"

#include <cerrno>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <string>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QTemporaryDir>
#include <gtest/gtest.h>

namespace {

using platform::FileExistsByPattern;
using platform::MatchesWildcard;

class FileSearch : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(dir_.isValid()); }

    std::string Path(const std::string& name) const { return dir_.path().toStdString() + "/" + name; }

    std::string MakeFile(const std::string& name, const std::string& bytes = "x") const
    {
        const std::string path = Path(name);
        std::ofstream(path, std::ios::binary) << bytes;
        return path;
    }

    std::string MakeDirectory(const std::string& name) const
    {
        const std::string path = Path(name);
        EXPECT_EQ(::mkdir(path.c_str(), 0755), 0) << std::strerror(errno);
        return path;
    }

private:
    QTemporaryDir dir_;
};

std::time_t LocalTime(int year, int month, int day, int hour, int minute, int second)
{
    std::tm local{};
    local.tm_year = year - 1900;
    local.tm_mon = month - 1;
    local.tm_mday = day;
    local.tm_hour = hour;
    local.tm_min = minute;
    local.tm_sec = second;
    local.tm_isdst = -1;
    return std::mktime(&local);
}

// Sets the last-write time; false when the file system cannot hold it.
bool SetLastWrite(const std::string& path, std::time_t when)
{
    const timespec times[2] = {{when, 0}, {when, 0}};
    struct stat info{};
    return ::utimensat(AT_FDCWD, path.c_str(), times, 0) == 0 && ::stat(path.c_str(), &info) == 0
        && info.st_mtime == when;
}

TEST(MatchesWildcard, StarAndQuestionMarkOnly)
{
    struct Case {
        const char* pattern;
        const char* name;
        bool matches;
    };
    const Case cases[] = {
        {"*", "", true},
        {"*", "anything.at.all", true},
        {"?", "", false},
        {"?", "a", true},
        {"?", "ab", false},
        {"?", "\xC3\xA9", true},  // one character, two bytes
        {"??", "\xC3\xA9", false},
        {"caf?", "caf\xC3\xA9", true},
        {"a*c", "abc", true},
        {"a*c", "ac", true},
        {"a*c", "abcd", false},
        {"*.txt", "notes.txt", true},
        {"*.txt", "notes.txt.bak", false},
        {"*.txt", ".txt", true},
        {"a*b*c", "axxbyyc", true},
        {"a*b*c", "axxcyyb", false},
        {"*a", "bbba", true},
        {"report-??.csv", "report-07.csv", true},
        {"report-??.csv", "report-7.csv", false},
        {"ABC", "abc", false},   // case matters in Linux names
        {"[ab]", "a", false},    // brackets are ordinary characters
        {"[ab]", "[ab]", true},
        {"a\\*", "a\\bc", true}, // and so is the backslash
        {"*.*", "README", false},
    };
    for (const Case& c : cases)
        EXPECT_EQ(MatchesWildcard(c.pattern, c.name), c.matches) << c.pattern << " vs " << c.name;
}

TEST(MatchesWildcard, ManyStarsDoNotBlowUp)
{
    const std::string name(2000, 'a');
    EXPECT_FALSE(MatchesWildcard("*a*a*a*a*a*a*a*a*a*a*a*a*a*a*a*a*b", name));
    EXPECT_TRUE(MatchesWildcard("*a*a*a*a*a*a*a*a*a*a*a*a*a*a*a*a*", name));
}

TEST_F(FileSearch, RegularFilesPassAndEverythingElseFails)
{
    const std::string file = MakeFile("plain.bin");
    const std::string empty = MakeFile("empty.bin", "");
    const std::string directory = MakeDirectory("folder");
    const std::string fifo = Path("pipe");
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0) << std::strerror(errno);

    EXPECT_TRUE(FileExistsByPattern(file));
    EXPECT_TRUE(FileExistsByPattern(empty));
    EXPECT_FALSE(FileExistsByPattern(""));
    EXPECT_FALSE(FileExistsByPattern(Path("missing.bin")));
    EXPECT_FALSE(FileExistsByPattern(directory));
    EXPECT_FALSE(FileExistsByPattern(directory + "/"));
    EXPECT_FALSE(FileExistsByPattern(file + "/"));
    EXPECT_FALSE(FileExistsByPattern(fifo));
    EXPECT_FALSE(FileExistsByPattern("/dev/null"));
    EXPECT_FALSE(FileExistsByPattern(std::string(file) + std::string("\0tail", 5)));
}

TEST_F(FileSearch, SymbolicLinksAreFollowed)
{
    const std::string file = MakeFile("target.bin");
    const std::string directory = MakeDirectory("dir");
    ASSERT_EQ(::symlink(file.c_str(), Path("to-file").c_str()), 0);
    ASSERT_EQ(::symlink(directory.c_str(), Path("to-dir").c_str()), 0);
    ASSERT_EQ(::symlink(Path("nowhere").c_str(), Path("dangling").c_str()), 0);

    EXPECT_TRUE(FileExistsByPattern(Path("to-file")));
    EXPECT_FALSE(FileExistsByPattern(Path("to-dir")));
    EXPECT_FALSE(FileExistsByPattern(Path("dangling")));
}

TEST_F(FileSearch, RelativeNamesAreLookedUpInTheCurrentDirectory)
{
    MakeFile("here.bin");
    const std::filesystem::path saved = std::filesystem::current_path();
    std::filesystem::current_path(Path(""));
    const bool plain = FileExistsByPattern("here.bin");
    const bool pattern = FileExistsByPattern("h?re.*");
    const bool missing = FileExistsByPattern("there.bin");
    std::filesystem::current_path(saved);

    EXPECT_TRUE(plain);
    EXPECT_TRUE(pattern);
    EXPECT_FALSE(missing);
}

TEST_F(FileSearch, LastWriteMustLieIn1980To2107LocalTime)
{
    const std::string file = MakeFile("dated.bin");

    ASSERT_TRUE(SetLastWrite(file, LocalTime(1980, 1, 1, 0, 0, 0)));
    EXPECT_TRUE(FileExistsByPattern(file));
    ASSERT_TRUE(SetLastWrite(file, LocalTime(1979, 12, 31, 23, 59, 59)));
    EXPECT_FALSE(FileExistsByPattern(file));
    ASSERT_TRUE(SetLastWrite(file, LocalTime(1975, 6, 1, 12, 0, 0)));
    EXPECT_FALSE(FileExistsByPattern(file));

    if (!SetLastWrite(file, LocalTime(2107, 12, 31, 23, 59, 59)) || !SetLastWrite(file, LocalTime(2108, 1, 1, 0, 0, 0)))
        GTEST_SKIP() << "this file system cannot hold dates after 2038";
    EXPECT_FALSE(FileExistsByPattern(file));
    ASSERT_TRUE(SetLastWrite(file, LocalTime(2107, 12, 31, 23, 59, 59)));
    EXPECT_TRUE(FileExistsByPattern(file));
}

TEST_F(FileSearch, WildcardsInTheLastComponent)
{
    MakeFile("only.bin");
    MakeDirectory("sub");
    ASSERT_EQ(::mkfifo(Path("fifo").c_str(), 0600), 0);

    EXPECT_TRUE(FileExistsByPattern(Path("o*.bin")));
    EXPECT_TRUE(FileExistsByPattern(Path("only.?in")));
    EXPECT_FALSE(FileExistsByPattern(Path("*.none")));
    EXPECT_FALSE(FileExistsByPattern(Path("s?b")));   // only a directory matches
    EXPECT_FALSE(FileExistsByPattern(Path("f*")));    // only a FIFO matches
    EXPECT_FALSE(FileExistsByPattern(Path("nodir/*")));

    ASSERT_TRUE(SetLastWrite(Path("only.bin"), LocalTime(1975, 6, 1, 12, 0, 0)));
    EXPECT_FALSE(FileExistsByPattern(Path("o*.bin")));  // the match is too old
}

TEST_F(FileSearch, TheFirstMatchInDirectoryOrderDecides)
{
    MakeFile("m-file");
    MakeDirectory("m-dir");

    // Whichever of the two the listing gives first decides for "m-*".
    std::string first;
    DIR* listing = ::opendir(Path("").c_str());
    ASSERT_NE(listing, nullptr);
    while (const dirent* entry = ::readdir(listing)) {
        const std::string name = entry->d_name;
        if (name == "m-file" || name == "m-dir") {
            first = name;
            break;
        }
    }
    ::closedir(listing);
    ASSERT_FALSE(first.empty());

    EXPECT_EQ(FileExistsByPattern(Path("m-*")), first == "m-file");
}

TEST_F(FileSearch, ANameThatExistsAsWrittenIsTakenLiterally)
{
    // "a*" names a real file here, while the directory "abc" would match it
    // as a pattern.
    MakeDirectory("abc");
    MakeFile("a*");
    EXPECT_TRUE(FileExistsByPattern(Path("a*")));

    MakeFile("d?");
    MakeDirectory("da");
    EXPECT_TRUE(FileExistsByPattern(Path("d?")));
}

}  // namespace
