#include "app/settings.h"

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <map>
#include <string_view>

#include "tests/platform/settings/settings_test_support.h"

using namespace settings_test;

namespace {

const std::string kSection = "[\\Software\\Halvercraft\\Vellumark]\n";

// The main window as loading and saving see it, in its start-up state, with a
// log of every change in the order it was made.
struct FakeForm : FormSettingsTarget {
    int left = 20, top = 20;
    std::map<Algorithm, bool> ticks{{Algorithm::Md5, true}, {Algorithm::Sha1, false}, {Algorithm::Crc32, false}};
    std::string log;

    int Left() const override { return left; }
    int Top() const override { return top; }
    void SetLeft(int value) override { log += "left=" + std::to_string(left = value) + " "; }
    void SetTop(int value) override { log += "top=" + std::to_string(top = value) + " "; }
    bool Ticked(Algorithm algorithm) const override { return ticks.at(algorithm); }
    void SetTicked(Algorithm algorithm, bool ticked) override
    {
        const char* name = algorithm == Algorithm::Md5 ? "md5=" : algorithm == Algorithm::Sha1 ? "sha1=" : "crc32=";
        log += name + std::to_string(ticks.at(algorithm) = ticked) + " ";
    }
};

using FormSettingsTest = SettingsFolderTest;

TEST_F(FormSettingsTest, FirstStartCreatesAPrivateKeyAndSaveWritesAllFiveInOrder)
{
    const mode_t oldMask = ::umask(0);  // the modes must not depend on the umask
    FakeForm form;
    LoadFormSettings(form);  // at the default place, in the test's own XDG_CONFIG_HOME
    ::umask(oldMask);
    EXPECT_EQ(form.log, "");
    EXPECT_EQ(Stat(Folder()).st_mode & 07777, 0700u);
    EXPECT_EQ(Stat(File()).st_mode & 07777, 0600u);
    EXPECT_EQ(Stat(LockFile()).st_mode & 07777, 0600u);
    const std::string created = ReadFile(File());
    EXPECT_TRUE(created.starts_with("; ") && created.ends_with("\n\n" + kSection)) << created;

    form.left = 300;
    form.top = -5;
    form.ticks = {{Algorithm::Md5, false}, {Algorithm::Sha1, false}, {Algorithm::Crc32, true}};
    SaveFormSettings(form);
    EXPECT_EQ(ReadFile(File()), created +
                                    "\"FormLeft\"=dword:0000012c\n\"FormTop\"=dword:fffffffb\n"
                                    "\"CBMD5\"=dword:00000000\n\"CBSHA1\"=dword:00000000\n"
                                    "\"CBCRC32\"=dword:00000001\n");
    EXPECT_EQ(FilesInFolder(), 2);  // the file and its lock
}

// Each stored value is applied as soon as it is read and a missing one leaves
// its default; one that cannot be read as a 32-bit integer stops loading there.
// At most four bytes are read (a text's closing zero byte counts): a value that
// fits is then checked for its type, a longer one is not read at all. Loading
// from a file that has the key writes nothing.
TEST_F(FormSettingsTest, LoadAppliesValuesInOrderUntilOneCannotBeRead)
{
    const std::string left = "\"FormLeft\"=dword:00000064\n\"FormTop\"=";
    const std::string sha1 = "\n\"CBSHA1\"=dword:00000001\n";
    const struct {
        std::string stored, log, error;
    } cases[] = {
        {"\"CBSHA1\"=dword:00000001\n", "sha1=1 ", ""},
        {"\"CBMD5\"=dword:0\n\"CBSHA1\"=dword:0\n\"CBCRC32\"=dword:0\n\"FormLeft\"=dword:ffffff38\n",
         "left=-200 md5=0 sha1=0 crc32=0 ", ""},
        {left + "hex(4):07" + sha1, "left=100 top=7 sha1=1 ", ""},
        {left + "\"abcd\"" + sha1, "left=100 ", "Failed to get data for 'FormTop'"},
        {left + "hex(4):07,00,00,00,00" + sha1, "left=100 ", "Failed to get data for 'FormTop'"},
        {left + "\"abc\"" + sha1, "left=100 ", "Invalid data type for 'FormTop'"},
        {left + "hex:07,00,00,00" + sha1, "left=100 ", "Invalid data type for 'FormTop'"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.stored);
        WriteFile(File(), kSection + c.stored);
        const ino_t inode = Stat(File()).st_ino;  // a save puts a new file in place
        FakeForm form;
        EXPECT_EQ(FailureOf([&] { LoadFormSettings(form); }), c.error);
        EXPECT_EQ(form.log, c.log);
        EXPECT_EQ(Stat(File()).st_ino, inode);
    }
}

// A save replaces our values where they stand and adds the rest after our last
// value; foreign keys and values, comments, damaged lines and the file's line
// breaks stay as they were.
TEST_F(FormSettingsTest, SaveKeepsEverythingElseInTheFile)
{
    const std::string head =
        "; kept comment\r\n"
        "[\\Software\\Other]\r\n"
        "\"FormLeft\"=dword:00000063\r\n"
        "\r\n"
        "[\\Software\\Halvercraft\\Vellumark]\r\n";
    const std::string middle = "\"FormTop\"=dword:nothex\r\n\"Foreign\"=hex:01,\\\r\n  02\r\n";
    const std::string tail =
        "; closing comment\r\n"
        "[\\Software\\Halvercraft\\Vellumark\r\n"
        "\"CBSHA1\"=dword:1\r\n";
    WriteFile(File(), head + "  \"cbmd5\" = dword:00000007  \r\n" + middle + tail);
    FakeForm form;
    form.ticks[Algorithm::Md5] = false;
    LoadFormSettings(form);
    EXPECT_EQ(form.log, "md5=1 ");  // any value but 0 is ticked
    SaveFormSettings(form);
    EXPECT_EQ(ReadFile(File()), head + "\"CBMD5\"=dword:00000001\r\n" + middle +
                                    "\"FormLeft\"=dword:00000014\r\n\"FormTop\"=dword:00000014\r\n"
                                    "\"CBSHA1\"=dword:00000000\r\n\"CBCRC32\"=dword:00000000\r\n" +
                                    tail);
}

// A save that dies while writing a value (the disk fills up while the temporary
// file is written, or the rename into place fails) stops there: the values
// before it are stored, the file is byte for byte what the last good write
// left, and no temporary file stays behind.
TEST_F(FormSettingsTest, FailedWriteStopsThereAndKeepsTheLastGoodFile)
{
    // Each hook fails the first save that holds the fourth value, CBSHA1.
    auto holdsSha1 = [](std::string_view text) { return text.find("CBSHA1") != text.npos; };
    bool full = false;
    platform::SettingsFileHooks diskFull, renameFails;
    diskFull.write = [&](int fd, const void* data, std::size_t size) -> ssize_t {
        if (full)
            return errno = ENOSPC, -1;
        full = holdsSha1({static_cast<const char*>(data), size});
        return ::write(fd, data, full ? size / 2 : size);  // half fits, then no more
    };
    renameFails.rename = [&](const char* from, const char* to) {
        return holdsSha1(ReadFile(from)) ? (errno = EIO, -1) : std::rename(from, to);
    };
    for (const auto& hooks : {diskFull, renameFails}) {
        SCOPED_TRACE(hooks.write ? "disk full" : "rename failed");
        WriteFile(File(), kSection + "\"Foreign\"=\"kept\"\n");
        const FakeForm form;
        EXPECT_EQ(FailureOf([&] { SaveFormSettings(form, platform::SettingsFile(File(), hooks)); }),
                  "Failed to set data for 'CBSHA1'");
        EXPECT_EQ(ReadFile(File()), kSection +
                                        "\"Foreign\"=\"kept\"\n\"FormLeft\"=dword:00000014\n"
                                        "\"FormTop\"=dword:00000014\n\"CBMD5\"=dword:00000001\n");
        EXPECT_EQ(FilesInFolder(), 2);  // the file and its lock
    }
}

}  // namespace
