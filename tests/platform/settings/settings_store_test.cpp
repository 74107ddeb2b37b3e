#include "platform/settings/settings_store.h"

#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <vector>

#include <functional>
#include <tuple>

#include "tests/platform/settings/settings_test_support.h"

using platform::SettingsFile;
using platform::TSettingsAccessor;
using namespace settings_test;

namespace {

using SettingsStoreTest = SettingsFolderTest;

TEST_F(SettingsStoreTest, DefaultPlaceFollowsTheBaseDirectoryRules)
{
    EXPECT_EQ(platform::DefaultSettingsFilePath(), File().string());
    {
        const ScopedEnv slash("XDG_CONFIG_HOME", (root_.string() + "/").c_str());
        EXPECT_EQ(platform::DefaultSettingsFilePath(), File().string());
    }
    const ScopedEnv home("HOME", "/home/someone");
    for (const char* ignored : {"", "relative/config", static_cast<const char*>(nullptr)}) {
        const ScopedEnv xdg("XDG_CONFIG_HOME", ignored);
        EXPECT_EQ(platform::DefaultSettingsFilePath(), "/home/someone/.config/vellumark/settings.reg");
    }
}

// Whatever stands in the file's place, opening fails at once, nothing is read
// and nothing is written over it or beside it.
TEST_F(SettingsStoreTest, WhatIsNotAPlainFileIsNeitherReadNorReplaced)
{
    const std::string good = "[\\Software\\Halvercraft\\Vellumark]\n\"FormLeft\"=dword:1\n";
    const fs::path target = root_ / "elsewhere.reg";
    WriteFile(target, good);
    std::string huge = good;
    huge.resize(SettingsFile::kMaxSize + 1, '\n');
    const std::pair<const char*, std::function<void()>> cases[] = {
        {"symbolic link", [&] { fs::create_symlink(target, File()); }},
        {"folder", [&] { fs::create_directory(File()); }},
        {"pipe", [&] { ASSERT_EQ(::mkfifo(File().c_str(), 0600), 0); }},
        {"file over the size limit", [&] { WriteFile(File(), huge); }},
    };
    auto identity = [&] {  // changes when the thing is replaced or written to
        const struct stat s = Stat(File());
        return std::tuple(s.st_ino, s.st_mode, s.st_size, s.st_mtim.tv_sec, s.st_mtim.tv_nsec);
    };
    ::alarm(30);  // a wait on the pipe for a writer ends the run rather than hanging it
    for (const auto& [what, make] : cases) {
        SCOPED_TRACE(what);
        fs::create_directories(Folder());
        make();
        const auto before = identity();
        {
            TSettingsAccessor settings;  // at the default place, File()
            EXPECT_FALSE(settings.OpenKey("\\Software\\Halvercraft\\Vellumark", true));
            EXPECT_FALSE(settings.ValueExists("FormLeft"));
            EXPECT_EQ(FailureOf([&] { settings.ReadInteger("FormLeft"); }), "Failed to get data for 'FormLeft'");
            EXPECT_EQ(FailureOf([&] { settings.WriteBool("FormLeft", true); }), "Failed to set data for 'FormLeft'");
        }
        EXPECT_EQ(identity(), before);
        EXPECT_EQ(ReadFile(target), good);
        EXPECT_EQ(FilesInFolder(), 1);
        fs::remove_all(File());
    }
    ::alarm(0);

    huge.pop_back();  // a file of exactly the limit is read
    WriteFile(File(), huge);
    TSettingsAccessor settings;
    ASSERT_TRUE(settings.OpenKey("\\Software\\Halvercraft\\Vellumark", false));
    EXPECT_EQ(settings.ReadInteger("FormLeft"), 1);
}

// A save writes the whole text to a temporary file, flushes that file, puts
// it in place and then flushes the folder: without the first flush a crash
// can leave an empty file in place, without the last one the old file back.
// Temporary files of saves that were killed are gone after the next save,
// while one that a living save holds stays.
TEST_F(SettingsStoreTest, ASaveTakesEveryStepAndClearsWhatKilledSavesLeft)
{
    fs::create_directories(Folder());
    const fs::path killed = Folder() / ".settings.reg.Ab1234";  // as mkostemp names them
    const fs::path living = Folder() / ".settings.reg.Cd5678";
    const fs::path other = Folder() / ".settings.reg.notours";
    for (const fs::path& path : {killed, living, other})
        WriteFile(path, "partial");
    const int held = ::open(living.c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_GE(held, 0);
    ASSERT_EQ(::flock(held, LOCK_EX), 0);

    std::vector<std::string> steps;
    const auto kind = [](int fd) {
        struct stat info {};
        return ::fstat(fd, &info) != 0 ? "?" : S_ISDIR(info.st_mode) ? "folder" : "file";
    };
    platform::SettingsFileHooks hooks;
    hooks.write = [&](int fd, const void* data, std::size_t size) {
        steps.push_back(std::string("write ") + kind(fd));
        return ::write(fd, data, size);
    };
    hooks.fsync = [&](int fd) {
        steps.push_back(std::string("fsync ") + kind(fd));
        return ::fsync(fd);
    };
    hooks.rename = [&](const char* from, const char* to) {
        steps.push_back("rename");
        EXPECT_EQ(ReadFile(from), "new text");
        return std::rename(from, to);
    };
    ASSERT_TRUE(SettingsFile(File(), hooks).Save("new text"));
    EXPECT_EQ(steps, (std::vector<std::string>{"write file", "fsync file", "rename", "fsync folder"}));
    EXPECT_EQ(ReadFile(File()), "new text");
    EXPECT_FALSE(fs::exists(killed));
    EXPECT_TRUE(fs::exists(living));
    EXPECT_TRUE(fs::exists(other));
    ::close(held);

    // A failed flush of the file is a failed save: the old file stays.
    hooks.fsync = [&](int fd) { return std::string(kind(fd)) == "file" ? (errno = EIO, -1) : 0; };
    EXPECT_FALSE(SettingsFile(File(), hooks).Save("lost"));
    EXPECT_EQ(ReadFile(File()), "new text");

    // What a save writes must load again: past the read limit it is refused.
    const std::string tooLarge(SettingsFile::kMaxSize + 1, ';');
    EXPECT_FALSE(SettingsFile(File()).Save(tooLarge));
    EXPECT_EQ(ReadFile(File()), "new text");
    const std::string atLimit(SettingsFile::kMaxSize, ';');
    ASSERT_TRUE(SettingsFile(File()).Save(atLimit));
    std::string loaded;
    EXPECT_EQ(SettingsFile(File()).Load(loaded), SettingsFile::LoadStatus::Loaded);
    EXPECT_EQ(loaded.size(), atLimit.size());
}

}  // namespace
