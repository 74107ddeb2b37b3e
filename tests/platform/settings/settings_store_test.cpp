#include "platform/settings/settings_store.h"

#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <thread>
#include <vector>

#include <functional>
#include <tuple>

#include "tests/platform/settings/settings_test_support.h"

using platform::SettingsAccessor;
using platform::SettingsFile;
using namespace settings_test;
using namespace std::chrono_literals;

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
            SettingsAccessor settings;  // at the default place, File()
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
    SettingsAccessor settings;
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

const char* const kKey = "\\Software\\Halvercraft\\Vellumark";

// A write keeps what other programs wrote after the key was opened: each
// write merges its one value into the file as it stands at that moment.
TEST_F(SettingsStoreTest, EachWriteMergesWithTheFileAsItStandsThen)
{
    WriteFile(File(), "[\\Software\\Halvercraft\\Vellumark]\n\"FormLeft\"=dword:00000001\n");
    SettingsAccessor ours{SettingsFile(File())};
    ASSERT_TRUE(ours.OpenKey(kKey, true));
    {
        SettingsAccessor theirs{SettingsFile(File())};
        ASSERT_TRUE(theirs.OpenKey(kKey, false));
        theirs.WriteInteger("CBSHA1", 1);
    }
    WriteFile(File(), ReadFile(File()) + "; by hand\n[\\Software\\Other]\n\"X\"=dword:00000002\n");
    ours.WriteInteger("FormTop", 5);
    ours.WriteInteger("FormLeft", 7);
    EXPECT_EQ(ReadFile(File()),
              "[\\Software\\Halvercraft\\Vellumark]\n\"FormLeft\"=dword:00000007\n\"CBSHA1\"=dword:00000001\n"
              "\"FormTop\"=dword:00000005\n; by hand\n[\\Software\\Other]\n\"X\"=dword:00000002\n");
    // A file that can no longer be read (here a symbolic link has taken its
    // place) is not written over.
    const std::string merged = ReadFile(File());
    const fs::path elsewhere = root_ / "elsewhere.reg";
    fs::rename(File(), elsewhere);
    fs::create_symlink(elsewhere, File());
    EXPECT_EQ(FailureOf([&] { ours.WriteInteger("CBMD5", 1); }), "Failed to set data for 'CBMD5'");
    EXPECT_TRUE(fs::is_symlink(File()));
    EXPECT_EQ(ReadFile(elsewhere), merged);
}

// Every write holds the change lock from reading to saving. One that cannot
// have it within the wait fails and leaves the file alone; one whose wait
// sees the lock released goes through.
TEST_F(SettingsStoreTest, AWriteWaitsABoundedTimeForTheLock)
{
    SettingsAccessor settings{SettingsFile(File(), {}, 200ms)};
    ASSERT_TRUE(settings.OpenKey(kKey, true));
    const int held = ::open(LockFile().c_str(), O_RDWR | O_CLOEXEC);
    ASSERT_GE(held, 0);
    ASSERT_EQ(::flock(held, LOCK_EX), 0);
    const std::string before = ReadFile(File());
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(FailureOf([&] { settings.WriteInteger("FormLeft", 1); }), "Failed to set data for 'FormLeft'");
    const auto waited = std::chrono::steady_clock::now() - start;
    EXPECT_GE(waited, 200ms);
    EXPECT_LT(waited, 2s);
    EXPECT_EQ(ReadFile(File()), before);

    std::thread releaser([&] {
        std::this_thread::sleep_for(50ms);
        ::close(held);
    });
    EXPECT_EQ(FailureOf([&] { settings.WriteInteger("FormLeft", 2); }), "");
    releaser.join();
    EXPECT_NE(ReadFile(File()).find("\"FormLeft\"=dword:00000002"), std::string::npos);
}

// Two programs that save at the same moment keep every value of both.
TEST_F(SettingsStoreTest, ProgramsWritingAtOnceLoseNothing)
{
    constexpr int kValues = 40;
    {
        SettingsAccessor settings{SettingsFile(File())};
        ASSERT_TRUE(settings.OpenKey(kKey, true));
    }
    const auto writeAll = [&](const std::string& prefix) {
        SettingsAccessor settings{SettingsFile(File())};
        if (!settings.OpenKey(kKey, false))
            return false;
        for (int i = 0; i < kValues; ++i)
            settings.WriteInteger(prefix + std::to_string(i), i);
        return true;
    };
    const pid_t child = ::fork();
    if (child == 0) {
        bool written = false;
        try {
            written = writeAll("Child");
        } catch (...) {
        }
        ::_exit(written ? 0 : 1);
    }
    EXPECT_TRUE(writeAll("Parent"));
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    SettingsAccessor settings{SettingsFile(File())};
    ASSERT_TRUE(settings.OpenKey(kKey, false));
    for (const char* prefix : {"Parent", "Child"})
        for (int i = 0; i < kValues; ++i)
            EXPECT_TRUE(settings.ValueExists(prefix + std::to_string(i))) << prefix << i;
}

}  // namespace
