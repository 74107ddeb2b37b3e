#include "app/settings.h"

#include <gtest/gtest.h>

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
#include <vector>

#include "platform/settings_store.h"

namespace fs = std::filesystem;

namespace {

// The main window as loading and saving see it, in its start-up state, with
// a log of every change in the order it was made.
class FakeForm : public FormSettingsTarget {
public:
    int left = 20;
    int top = 20;
    bool md5 = true;
    bool sha1 = false;
    bool crc32 = false;
    std::vector<std::string> changes;

    int Left() const override { return left; }
    int Top() const override { return top; }
    void SetLeft(int value) override
    {
        left = value;
        changes.push_back("left");
    }
    void SetTop(int value) override
    {
        top = value;
        changes.push_back("top");
    }
    bool Ticked(Algorithm algorithm) const override
    {
        return algorithm == Algorithm::Md5 ? md5 : algorithm == Algorithm::Sha1 ? sha1 : crc32;
    }
    void SetTicked(Algorithm algorithm, bool ticked) override
    {
        (algorithm == Algorithm::Md5 ? md5 : algorithm == Algorithm::Sha1 ? sha1 : crc32) = ticked;
        changes.push_back(algorithm == Algorithm::Md5 ? "md5" : algorithm == Algorithm::Sha1 ? "sha1" : "crc32");
    }
};

std::string ReadFile(const fs::path& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

template <class Action>
std::string FailureOf(Action&& action)
{
    try {
        action();
    } catch (const Exception& error) {
        return error.Message();
    }
    return "(no failure)";
}

constexpr const char* kSection = "[\\Software\\Halvercraft\\Vellumark]\n";

// Every test runs against its own XDG_CONFIG_HOME, never the user's.
class FormSettingsTest : public ::testing::Test {
protected:
    FormSettingsTest()
    {
        std::string pattern = (fs::temp_directory_path() / "form-settings-XXXXXX").string();
        root_ = ::mkdtemp(pattern.data());
        if (const char* old = std::getenv("XDG_CONFIG_HOME")) oldXdg_ = old;
        ::setenv("XDG_CONFIG_HOME", root_.c_str(), 1);
    }
    ~FormSettingsTest() override
    {
        if (oldXdg_)
            ::setenv("XDG_CONFIG_HOME", oldXdg_->c_str(), 1);
        else
            ::unsetenv("XDG_CONFIG_HOME");
        std::error_code ignored;
        fs::remove_all(root_, ignored);
    }

    fs::path File() const { return root_ / "vellumark" / "settings.reg"; }
    void Store(const std::string& values) const
    {
        fs::create_directories(File().parent_path());
        std::ofstream(File(), std::ios::binary) << kSection << values;
    }

    fs::path root_;
    std::optional<std::string> oldXdg_;
};

TEST_F(FormSettingsTest, FirstStartCreatesTheKeyAndExitWritesAllFive)
{
    FakeForm form;
    LoadFormSettings(form);
    EXPECT_TRUE(form.changes.empty());
    EXPECT_EQ(form.left, 20);
    EXPECT_TRUE(form.md5);
    const std::string created = ReadFile(File());
    EXPECT_TRUE(created.ends_with(std::string("\n") + kSection)) << created;

    form.left = 300;
    form.top = -5;
    form.md5 = false;
    form.crc32 = true;
    SaveFormSettings(form);
    EXPECT_EQ(ReadFile(File()), created +
                                    "\"FormLeft\"=dword:0000012c\n"
                                    "\"FormTop\"=dword:fffffffb\n"
                                    "\"CBMD5\"=dword:00000000\n"
                                    "\"CBSHA1\"=dword:00000000\n"
                                    "\"CBCRC32\"=dword:00000001\n");

    FakeForm next;
    LoadFormSettings(next);
    EXPECT_EQ(next.changes, (std::vector<std::string>{"left", "top", "md5", "sha1", "crc32"}));
    EXPECT_EQ(next.left, 300);
    EXPECT_EQ(next.top, -5);
    EXPECT_FALSE(next.md5);
    EXPECT_FALSE(next.sha1);
    EXPECT_TRUE(next.crc32);
}

TEST_F(FormSettingsTest, StoredValuesReplaceOnlyTheirOwnDefaults)
{
    Store("\"CBSHA1\"=dword:00000001\n");
    FakeForm onlySha1;
    LoadFormSettings(onlySha1);
    EXPECT_EQ(onlySha1.changes, std::vector<std::string>{"sha1"});
    EXPECT_EQ(onlySha1.left, 20);
    EXPECT_EQ(onlySha1.top, 20);
    EXPECT_TRUE(onlySha1.md5);
    EXPECT_TRUE(onlySha1.sha1);
    EXPECT_FALSE(onlySha1.crc32);

    Store("\"CBMD5\"=dword:00000000\n\"CBSHA1\"=dword:00000000\n\"CBCRC32\"=dword:00000000\n"
          "\"FormLeft\"=dword:ffffff38\n");
    FakeForm noTicks;
    LoadFormSettings(noTicks);
    EXPECT_FALSE(noTicks.md5 || noTicks.sha1 || noTicks.crc32);
    EXPECT_EQ(noTicks.left, -200);  // applied as it stands, on screen or not
}

TEST_F(FormSettingsTest, AnyNonZeroTickReadsAsTickedAndIsWrittenBackAsOne)
{
    Store("\"CBMD5\"=dword:00000007\n");
    FakeForm form;
    form.md5 = false;
    LoadFormSettings(form);
    EXPECT_TRUE(form.md5);
    SaveFormSettings(form);
    EXPECT_NE(ReadFile(File()).find("\"CBMD5\"=dword:00000001\n"), std::string::npos);
    EXPECT_EQ(ReadFile(File()).find("00000007"), std::string::npos);
}

// A text value holds its terminating zero byte: up to three characters fit
// the four bytes read and fail on their type, longer ones do not fit.
TEST_F(FormSettingsTest, TextWhereANumberBelongsStopsLoadingThere)
{
    Store("\"FormLeft\"=dword:00000064\n\"FormTop\"=\"abc\"\n\"CBMD5\"=dword:0\n\"CBSHA1\"=dword:1\n");
    FakeForm form;
    EXPECT_EQ(FailureOf([&] { LoadFormSettings(form); }), "Invalid data type for 'FormTop'");
    EXPECT_EQ(form.left, 100);
    EXPECT_EQ(form.top, 20);
    EXPECT_EQ(form.changes, std::vector<std::string>{"left"});
    EXPECT_TRUE(form.md5);
    EXPECT_FALSE(form.sha1);

    Store("\"FormLeft\"=dword:00000064\n\"FormTop\"=\"abcd\"\n");
    FakeForm longer;
    EXPECT_EQ(FailureOf([&] { LoadFormSettings(longer); }), "Failed to get data for 'FormTop'");
    EXPECT_EQ(longer.left, 100);

    // The damaged value is overwritten by the next save like any other.
    SaveFormSettings(longer);
    FakeForm after;
    LoadFormSettings(after);
    EXPECT_EQ(after.top, 20);
    EXPECT_EQ(after.changes.size(), 5u);
}

TEST_F(FormSettingsTest, UnopenableStoreLoadsNothingAndFailsTheSaveAtFormLeft)
{
    fs::create_directories(File());  // a folder where the file belongs
    FakeForm form;
    LoadFormSettings(form);
    EXPECT_TRUE(form.changes.empty());
    EXPECT_EQ(FailureOf([&] { SaveFormSettings(form); }), "Failed to set data for 'FormLeft'");
    EXPECT_TRUE(fs::is_directory(File()));
    EXPECT_TRUE(fs::is_empty(File()));
}

TEST_F(FormSettingsTest, FailedWriteKeepsTheValuesBeforeIt)
{
    Store("\"Foreign\"=\"kept\"\n");
    int renames = 0;
    platform::SettingsFileHooks hooks;
    hooks.rename = [&renames](const char* from, const char* to) {
        if (++renames == 4) {  // the fourth value, CBSHA1
            errno = ENOSPC;
            return -1;
        }
        return std::rename(from, to);
    };
    FakeForm form;
    form.left = 1;
    form.top = 2;
    const platform::SettingsFile store(File().string(), hooks);
    EXPECT_EQ(FailureOf([&] { SaveFormSettings(form, store); }), "Failed to set data for 'CBSHA1'");
    EXPECT_EQ(ReadFile(File()), std::string(kSection) +
                                    "\"Foreign\"=\"kept\"\n"
                                    "\"FormLeft\"=dword:00000001\n"
                                    "\"FormTop\"=dword:00000002\n"
                                    "\"CBMD5\"=dword:00000001\n");
}

}  // namespace
