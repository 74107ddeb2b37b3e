#include "platform/files/file_search.h"

#include <ctime>
#include <string>
#include <tuple>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>

#include "tests/test_files.h"

namespace {

using platform::FileExistsByPattern;
using platform::MatchesWildcard;

using FileSearch = TempDirTest;

TEST(MatchesWildcard, StarAndQuestionMarkOnly)
{
    const std::string many(2000, 'a');
    const std::tuple<std::string, std::string, bool> cases[] = {
        {"*", "", true},
        {"?", "", false},
        {"?", "\xC3\xA9", true},  // one character, two bytes
        {"??", "\xC3\xA9", false},
        {"a*c", "abcd", false},
        {"*.txt", "notes.txt.bak", false},
        {"a*b*c", "axxbyyc", true},
        {"a*b*c", "axxcyyb", false},
        {"ABC", "abc", false},  // case matters in Linux names
        {"[ab]", "a", false},   // brackets and backslashes are ordinary characters
        {"a\\*", "a\\bc", true},
        {"*a*a*a*a*a*a*a*a*a*a*a*a*a*a*a*a*b", many, false},  // many stars must not blow up
        {"*a*a*a*a*a*a*a*a*a*a*a*a*a*a*a*a*", many, true},
    };
    for (const auto& [pattern, name, matches] : cases)
        EXPECT_EQ(MatchesWildcard(pattern, name), matches) << pattern << " vs " << name.substr(0, 20);
}

TEST_F(FileSearch, OnlyARegularFileOrItsFirstMatchPasses)
{
    const std::string file = MakeFile("plain.bin");
    ASSERT_EQ(::mkdir(Path("folder").c_str(), 0755), 0);
    ASSERT_EQ(::mkfifo(Path("pipe").c_str(), 0600), 0);
    ASSERT_EQ(::symlink(file.c_str(), Path("to-file").c_str()), 0);

    const InDirectory here(Path(""));
    const std::pair<std::string, bool> cases[] = {
        {file, true},
        {"to-file", true},
        {"", false},
        {"missing.bin", false},
        {"folder", false},
        {"pipe", false},
        {"/dev/null", false},
        {file + std::string("\0tail", 5), false},  // the name must not be cut at the NUL
        {Path("p*.bin"), true},
        {"pl?in.*", true},  // relative names start from the current directory
        {"*.none", false},
        {"fold?r", false},  // only a directory matches
        {"pi*", false},     // only a FIFO matches
        {"nodir/*", false},
    };
    for (const auto& [name, passes] : cases)
        EXPECT_EQ(FileExistsByPattern(name), passes) << '"' << name << '"';
}

// Adds directories named prefix0, prefix1, ... until the listing gives one
// of them before every other entry whose name starts with prefix.
void ListADirectoryFirst(const std::string& directory, const std::string& prefix)
{
    for (int i = 0; i < 100; ++i) {
        ASSERT_EQ(::mkdir((directory + prefix + std::to_string(i)).c_str(), 0755), 0);
        std::string first;
        DIR* listing = ::opendir(directory.c_str());
        ASSERT_NE(listing, nullptr);
        while (const dirent* entry = ::readdir(listing)) {
            if (first.empty() && std::string(entry->d_name).rfind(prefix, 0) == 0)
                first = entry->d_name;
        }
        ::closedir(listing);
        if (first.find_first_not_of("0123456789", prefix.size()) == std::string::npos)
            return;
    }
    FAIL() << "no directory is listed first";
}

TEST_F(FileSearch, WildcardsTakeTheFirstMatchUnlessTheNameExistsAsWritten)
{
    // The file matches too, but a directory comes first.
    MakeFile("m-file");
    ASSERT_NO_FATAL_FAILURE(ListADirectoryFirst(Path(""), "m-"));
    EXPECT_FALSE(FileExistsByPattern(Path("m-*")));
    EXPECT_TRUE(FileExistsByPattern(Path("m-f*")));

    // "a*" names a real file, while a directory would come first as a match.
    const std::string literal = MakeFile("a*");
    ASSERT_NO_FATAL_FAILURE(ListADirectoryFirst(Path(""), "a"));
    EXPECT_TRUE(FileExistsByPattern(literal));
}

// Reproducible builds and package stores date files to 1970; no last-write
// time keeps a regular file from being digested.
TEST_F(FileSearch, AnyLastWriteTimePasses)
{
    const std::string file = MakeFile("dated.bin");
    for (const char* date :
         {"1970-01-01 00:00:00", "1979-12-31 23:59:59", "1980-01-01 00:00:00", "2107-12-31 23:59:59",
          "2108-01-01 00:00:00"}) {
        std::tm local{};
        ASSERT_NE(::strptime(date, "%Y-%m-%d %H:%M:%S", &local), nullptr);
        local.tm_isdst = -1;
        const std::time_t when = std::mktime(&local);
        const timespec times[2] = {{when, 0}, {when, 0}};
        struct stat info {};
        if (::utimensat(AT_FDCWD, file.c_str(), times, 0) != 0 || ::stat(file.c_str(), &info) != 0 ||
            info.st_mtime != when) {
            ASSERT_GT(local.tm_year, 138) << "cannot set the last-write time to " << date;
            continue;  // this file system cannot hold dates after 2038
        }
        // The rule holds for a name as written and for a wildcard's match.
        EXPECT_TRUE(FileExistsByPattern(file)) << date;
        EXPECT_TRUE(FileExistsByPattern(Path("dat?d.*"))) << date;
    }
}

}  // namespace
