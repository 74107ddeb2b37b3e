#include "platform/settings_store.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>

namespace fs = std::filesystem;
using platform::ESettingsError;
using platform::SettingsFile;
using platform::SettingsFileHooks;
using platform::TSettingsAccessor;

namespace {

constexpr const char* kKey = "\\Software\\Halvercraft\\Vellumark";

std::string ReadFile(const fs::path& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

void WriteFile(const fs::path& path, const std::string& text)
{
    std::ofstream(path, std::ios::binary) << text;
}

// Environment variables for the length of a test.
class ScopedEnv {
public:
    ScopedEnv(const char* name, const char* value) : name_(name)
    {
        if (const char* old = std::getenv(name)) old_ = old;
        if (value)
            ::setenv(name, value, 1);
        else
            ::unsetenv(name);
    }
    ~ScopedEnv()
    {
        if (old_)
            ::setenv(name_, old_->c_str(), 1);
        else
            ::unsetenv(name_);
    }

private:
    const char* name_;
    std::optional<std::string> old_;
};

// A fresh config folder per test, also standing in as XDG_CONFIG_HOME, so
// that no test can reach the real one.
class SettingsStoreTest : public ::testing::Test {
protected:
    SettingsStoreTest()
    {
        std::string pattern = (fs::temp_directory_path() / "settings-store-XXXXXX").string();
        root_ = ::mkdtemp(pattern.data());
        xdg_.emplace("XDG_CONFIG_HOME", root_.c_str());
    }
    ~SettingsStoreTest() override
    {
        std::error_code ignored;
        fs::remove_all(root_, ignored);
    }

    fs::path Folder() const { return root_ / "vellumark"; }
    fs::path File() const { return Folder() / "settings.reg"; }
    SettingsFile Store(SettingsFileHooks hooks = {}) const
    {
        return SettingsFile(File().string(), std::move(hooks));
    }
    void Prepare(const std::string& text) const
    {
        fs::create_directories(Folder());
        WriteFile(File(), text);
    }
    // Files in the folder besides the settings file: leftovers of a save.
    int Strays() const
    {
        int count = 0;
        for (const auto& entry : fs::directory_iterator(Folder()))
            count += entry.path().filename() != "settings.reg";
        return count;
    }

    fs::path root_;
    std::optional<ScopedEnv> xdg_;
};

template <class Action>
std::string FailureOf(Action&& action)
{
    try {
        action();
    } catch (const ESettingsError& error) {
        EXPECT_STREQ(error.ClassName(), "ESettingsError");
        return error.Message();
    }
    return "(no failure)";
}

TEST_F(SettingsStoreTest, DefaultPlaceFollowsTheBaseDirectoryRules)
{
    EXPECT_EQ(platform::DefaultSettingsFilePath(), root_.string() + "/vellumark/settings.reg");
    {
        ScopedEnv slash("XDG_CONFIG_HOME", (root_.string() + "/").c_str());
        EXPECT_EQ(platform::DefaultSettingsFilePath(), root_.string() + "/vellumark/settings.reg");
    }
    ScopedEnv home("HOME", "/home/someone");
    for (const char* ignored : {"", "relative/config", static_cast<const char*>(nullptr)}) {
        ScopedEnv xdg("XDG_CONFIG_HOME", ignored);
        EXPECT_EQ(platform::DefaultSettingsFilePath(), "/home/someone/.config/vellumark/settings.reg");
    }
}

TEST_F(SettingsStoreTest, OpeningCreatesTheKeyInAPrivateFile)
{
    const mode_t oldMask = ::umask(0);  // the modes must not depend on the umask
    {
        TSettingsAccessor settings;  // the default place, under the test's folder
        EXPECT_TRUE(settings.OpenKey(kKey, true));
        EXPECT_TRUE(settings.HasCurrentKey());
        EXPECT_FALSE(settings.ValueExists("FormLeft"));
        EXPECT_EQ(FailureOf([&] { settings.ReadInteger("FormLeft"); }),
                  "Failed to get data for 'FormLeft'");
    }
    ::umask(oldMask);
    struct stat info {};
    ASSERT_EQ(::stat(Folder().c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 07777, 0700u);
    ASSERT_EQ(::stat(File().c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 07777, 0600u);
    EXPECT_NE(ReadFile(File()).find("\n[\\Software\\Halvercraft\\Vellumark]\n"), std::string::npos);
    EXPECT_EQ(Strays(), 0);

    // Opening an existing key, or failing to open a missing one without
    // leave to create it, writes nothing.
    const auto before = fs::last_write_time(File());
    TSettingsAccessor settings(Store());
    EXPECT_TRUE(settings.OpenKey(kKey, false));
    EXPECT_TRUE(settings.OpenKey("\\Software\\Halvercraft", false));
    EXPECT_FALSE(settings.OpenKey("\\Software\\Elsewhere", false));
    EXPECT_FALSE(settings.HasCurrentKey());
    EXPECT_FALSE(settings.OpenKey("\\Software\\\\Bad", true));
    EXPECT_EQ(fs::last_write_time(File()), before);
}

TEST_F(SettingsStoreTest, WritesPersistAndReplaceAnyType)
{
    Prepare("[\\Software\\Halvercraft\\Vellumark]\n\"FormTop\"=\"text\"\n");
    {
        TSettingsAccessor settings(Store());
        ASSERT_TRUE(settings.OpenKey(kKey, true));
        settings.WriteInteger("FormLeft", -20);
        settings.WriteInteger("FormTop", 2147483647);
        settings.WriteBool("CBMD5", true);
        settings.WriteBool("CBSHA1", false);
        settings.CloseKey();
        EXPECT_FALSE(settings.ValueExists("FormLeft"));
    }
    EXPECT_EQ(ReadFile(File()),
              "[\\Software\\Halvercraft\\Vellumark]\n"
              "\"FormTop\"=dword:7fffffff\n"
              "\"FormLeft\"=dword:ffffffec\n"
              "\"CBMD5\"=dword:00000001\n"
              "\"CBSHA1\"=dword:00000000\n");

    TSettingsAccessor settings(Store());
    ASSERT_TRUE(settings.OpenKey("\\Software", true));
    ASSERT_TRUE(settings.OpenKey("Halvercraft\\Vellumark", false));  // below the open key
    EXPECT_EQ(settings.ReadInteger("formleft"), -20);
    EXPECT_EQ(settings.ReadInteger("FormTop"), 2147483647);
    EXPECT_TRUE(settings.ReadBool("CBMD5"));
    EXPECT_FALSE(settings.ReadBool("CBSHA1"));
}

// The size rule: at most 4 bytes are read, and only then is the type checked.
// A text's size counts its terminating zero byte.
TEST_F(SettingsStoreTest, ReadingIntegersChecksSizeThenType)
{
    Prepare(
        "[\\Software\\Halvercraft\\Vellumark]\n"
        "\"Text3\"=\"abc\"\n"
        "\"Text4\"=\"abcd\"\n"
        "\"Empty\"=\"\"\n"
        "\"Bin4\"=hex:01,00,00,00\n"
        "\"Bin5\"=hex:01,00,00,00,00\n"
        "\"Short\"=hex(4):07\n"
        "\"Long\"=hex(4):07,00,00,00,00\n"
        "\"Seven\"=dword:00000007\n"
        "\"Zero\"=dword:0\n"
        "\"Bad\"=dword:100000000\n");
    TSettingsAccessor settings(Store());
    ASSERT_TRUE(settings.OpenKey(kKey, true));
    EXPECT_EQ(FailureOf([&] { settings.ReadInteger("Text3"); }), "Invalid data type for 'Text3'");
    EXPECT_EQ(FailureOf([&] { settings.ReadInteger("Empty"); }), "Invalid data type for 'Empty'");
    EXPECT_EQ(FailureOf([&] { settings.ReadInteger("Bin4"); }), "Invalid data type for 'Bin4'");
    EXPECT_EQ(FailureOf([&] { settings.ReadInteger("Text4"); }), "Failed to get data for 'Text4'");
    EXPECT_EQ(FailureOf([&] { settings.ReadBool("Bin5"); }), "Failed to get data for 'Bin5'");
    EXPECT_EQ(FailureOf([&] { settings.ReadInteger("Long"); }), "Failed to get data for 'Long'");
    EXPECT_EQ(FailureOf([&] { settings.ReadInteger("Missing"); }),
              "Failed to get data for 'Missing'");
    EXPECT_EQ(settings.ReadInteger("Short"), 7);
    EXPECT_TRUE(settings.ReadBool("Seven"));
    EXPECT_FALSE(settings.ReadBool("Zero"));
    // A number too large for 32 bits is damage: no such value.
    EXPECT_FALSE(settings.ValueExists("Bad"));
    EXPECT_TRUE(settings.ValueExists("Text4"));
}

// Whatever stands in the file's place, opening fails quickly, nothing is read
// and nothing is written over it.
TEST_F(SettingsStoreTest, WhatIsNotAPlainFileIsNeitherReadNorReplaced)
{
    fs::create_directories(Folder());
    const fs::path target = root_ / "elsewhere.reg";
    const std::string good = "[\\Software\\Halvercraft\\Vellumark]\n\"FormLeft\"=dword:1\n";
    WriteFile(target, good);

    auto expectRefused = [&](const char* what) {
        SCOPED_TRACE(what);
        TSettingsAccessor settings(Store());
        EXPECT_FALSE(settings.OpenKey(kKey, true));
        EXPECT_FALSE(settings.ValueExists("FormLeft"));
        EXPECT_EQ(FailureOf([&] { settings.ReadInteger("FormLeft"); }),
                  "Failed to get data for 'FormLeft'");
        EXPECT_EQ(FailureOf([&] { settings.WriteBool("FormLeft", true); }),
                  "Failed to set data for 'FormLeft'");
        EXPECT_EQ(Strays(), 0);
    };

    fs::create_symlink(target, File());
    expectRefused("symbolic link");
    EXPECT_TRUE(fs::is_symlink(File()));
    EXPECT_EQ(ReadFile(target), good);
    fs::remove(File());

    fs::create_directory(File());
    expectRefused("folder");
    EXPECT_TRUE(fs::is_directory(File()));
    fs::remove(File());

    ASSERT_EQ(::mkfifo(File().c_str(), 0600), 0);  // opening it must not wait for a writer
    expectRefused("pipe");
    fs::remove(File());

    std::string huge = good;
    huge.resize(SettingsFile::kMaxSize + 1, '\n');
    WriteFile(File(), huge);
    expectRefused("file over the size limit");
    EXPECT_EQ(fs::file_size(File()), SettingsFile::kMaxSize + 1);

    huge.resize(SettingsFile::kMaxSize);
    WriteFile(File(), huge);
    TSettingsAccessor settings(Store());
    ASSERT_TRUE(settings.OpenKey(kKey, true));
    EXPECT_EQ(settings.ReadInteger("FormLeft"), 1);
}

TEST_F(SettingsStoreTest, FolderThatCannotBeMadeFailsTheOpen)
{
    WriteFile(root_ / "vellumark", "a file where the folder should be");
    TSettingsAccessor settings(Store());
    EXPECT_FALSE(settings.OpenKey(kKey, true));
    EXPECT_EQ(FailureOf([&] { settings.WriteInteger("FormLeft", 1); }),
              "Failed to set data for 'FormLeft'");
    EXPECT_EQ(ReadFile(root_ / "vellumark"), "a file where the folder should be");
}

// What could not be parsed is kept verbatim around the values written.
TEST_F(SettingsStoreTest, DamagedTextSurvivesASave)
{
    const std::string damaged =
        "garbage \x01\x02\n"
        "[\\Software\\Halvercraft\\Vellumark]\n"
        "\"FormLeft\"=dword:nothex\n"
        "\"FormTop\"=dword:00000005\n"
        "[\\Software\\Halvercraft\\Vellumark\n"
        "\"CBMD5\"=dword:1\n";
    Prepare(damaged);
    TSettingsAccessor settings(Store());
    ASSERT_TRUE(settings.OpenKey(kKey, true));
    EXPECT_FALSE(settings.ValueExists("FormLeft"));
    EXPECT_FALSE(settings.ValueExists("CBMD5"));
    settings.WriteInteger("FormLeft", 40);
    settings.WriteBool("CBMD5", false);
    EXPECT_EQ(ReadFile(File()),
              "garbage \x01\x02\n"
              "[\\Software\\Halvercraft\\Vellumark]\n"
              "\"FormLeft\"=dword:nothex\n"
              "\"FormTop\"=dword:00000005\n"
              "\"FormLeft\"=dword:00000028\n"
              "\"CBMD5\"=dword:00000000\n"
              "[\\Software\\Halvercraft\\Vellumark\n"
              "\"CBMD5\"=dword:1\n");
}

// A save that dies part way (disk full while writing the temporary file, or
// a failure just before it is renamed into place) leaves the old file whole
// and no temporary file behind; the writes before it stay stored.
TEST_F(SettingsStoreTest, InterruptedSaveLeavesTheLastGoodFile)
{
    Prepare("; mine\n[\\Software\\Halvercraft\\Vellumark]\n\"FormLeft\"=dword:00000001\n");

    int writes = 0;
    int renames = 0;
    SettingsFileHooks hooks;
    hooks.write = [&writes](int fd, const void* data, std::size_t size) -> ssize_t {
        if (++writes > 1) {
            errno = ENOSPC;
            return -1;
        }
        return ::write(fd, data, size / 2);  // half of it fits, then the disk is full
    };
    {
        TSettingsAccessor settings(Store(hooks));
        ASSERT_TRUE(settings.OpenKey(kKey, true));
        const std::string before = ReadFile(File());
        EXPECT_EQ(FailureOf([&] { settings.WriteInteger("FormLeft", 99); }),
                  "Failed to set data for 'FormLeft'");
        EXPECT_EQ(ReadFile(File()), before);
        EXPECT_EQ(Strays(), 0);
        EXPECT_EQ(settings.ReadInteger("FormLeft"), 1);  // the failed write is not half-kept
    }

    hooks.write = nullptr;
    hooks.rename = [&renames](const char* from, const char* to) {
        if (++renames == 3) {
            errno = EIO;
            return -1;
        }
        return std::rename(from, to);
    };
    TSettingsAccessor settings(Store(hooks));
    ASSERT_TRUE(settings.OpenKey(kKey, true));
    settings.WriteInteger("FormLeft", 10);
    settings.WriteInteger("FormTop", 11);
    const std::string afterTwo = ReadFile(File());
    EXPECT_EQ(FailureOf([&] { settings.WriteBool("CBMD5", true); }),
              "Failed to set data for 'CBMD5'");
    EXPECT_EQ(ReadFile(File()), afterTwo);
    EXPECT_EQ(Strays(), 0);
    EXPECT_EQ(afterTwo,
              "; mine\n[\\Software\\Halvercraft\\Vellumark]\n"
              "\"FormLeft\"=dword:0000000a\n\"FormTop\"=dword:0000000b\n");
}

}  // namespace
