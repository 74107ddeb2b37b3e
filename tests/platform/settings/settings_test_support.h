#pragma once

// Shared by the settings tests: whole-file helpers and a fixture that gives
// each test a fresh XDG_CONFIG_HOME, so that no test can reach the user's own.

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>

#include "platform/settings/settings_store.h"

namespace settings_test {

namespace fs = std::filesystem;

inline std::string ReadFile(const fs::path& path)
{
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

inline void WriteFile(const fs::path& path, const std::string& text)
{
    fs::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary) << text;
}

inline struct stat Stat(const fs::path& path)
{
    struct stat info {};
    EXPECT_EQ(::lstat(path.c_str(), &info), 0) << path;
    return info;
}

// The message of the ESettingsError that action throws; empty when none.
template <class Action>
std::string FailureOf(Action&& action)
{
    try {
        action();
    } catch (const platform::ESettingsError& error) {
        EXPECT_STREQ(error.ClassName(), "ESettingsError");
        return error.Message();
    }
    return "";
}

// Sets an environment variable (unsets it for null) while in scope.
class ScopedEnv {
public:
    ScopedEnv(const char* name, const char* value) : name_(name)
    {
        if (const char* old = std::getenv(name))
            old_ = old;
        value ? ::setenv(name, value, 1) : ::unsetenv(name);
    }
    ~ScopedEnv() { old_ ? ::setenv(name_, old_->c_str(), 1) : ::unsetenv(name_); }

private:
    const char* name_;
    std::optional<std::string> old_;
};

class SettingsFolderTest : public ::testing::Test {
protected:
    static fs::path MakeRoot()
    {
        std::string pattern = (fs::temp_directory_path() / "vellumark-settings-XXXXXX").string();
        EXPECT_NE(::mkdtemp(pattern.data()), nullptr);
        return pattern;
    }
    ~SettingsFolderTest() override { fs::remove_all(root_, ignored_); }

    fs::path Folder() const { return root_ / "vellumark"; }
    fs::path File() const { return Folder() / "settings.reg"; }
    // The lock that each change holds; made once, never removed.
    fs::path LockFile() const { return Folder() / ".settings.reg.lock"; }
    // What the folder holds: after a save, the settings file, its lock and no
    // leftovers.
    long FilesInFolder() const { return std::distance(fs::directory_iterator(Folder()), {}); }

    const fs::path root_ = MakeRoot();
    const ScopedEnv xdg_{"XDG_CONFIG_HOME", root_.c_str()};
    std::error_code ignored_;
};

}  // namespace settings_test
