#include "platform/settings/settings_store.h"

#include <unistd.h>

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

}  // namespace
