// The file managers' modules loaded as their file managers load them: the
// module opened with dlopen, its entry points called with a type module of
// the test's, its menu provider asked for the items of selections made of
// stand-in file objects, and an item activated with a recording stand-in
// `vellumark` first on PATH. module_test.cpp holds the cases every module
// must pass; each file manager's test supplies what is its own below.
#pragma once

#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <thread>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include <gio/gio.h>

#include "filemanagers/common/checksum_entry.h"

namespace module_test {

using vellumark::filemanagers::Ref;

// One selected item: where it is and what its file manager says it is.
struct Selected {
    Ref<GFile> location;
    GFileType type;
};

// A type module that opens a module with dlopen and calls its
// PREFIX_initialize, PREFIX_list_types and PREFIX_shutdown, as the file
// managers' own module classes do. `extraInterface`, when not 0, is an
// interface the loader class implements with `extraInfo`, its class set up
// further by `extraClassInit` (Thunar's modules are handed a provider
// plugin, which has a property).
GTypeModule* NewLoader(const std::string& path, const std::string& prefix, GType extraInterface = 0,
                       const GInterfaceInfo* extraInfo = nullptr, void (*extraClassInit)(GObjectClass*) = nullptr);

// The types the loaded module lists.
std::vector<GType> ListedTypes(GTypeModule* loader);

// Supplied by each file manager's test.
extern const char* const kFileManager;  // as the module's record names it
extern const char* const kModulePath;   // the built module
extern const char* const kModuleFile;   // its name in the file manager's folder
GObject* LoadMenuProvider(const std::string& path);
std::vector<Ref<GObject>> FileItems(GObject* provider, const std::vector<Selected>& selection);
void ActivateItem(GObject* item);

namespace fs = std::filesystem;

// Every test gets a folder of its own, a recording `vellumark` first on
// PATH, and the module copied into a folder standing for the file
// manager's, loaded once for the process as the file manager loads it.
class ModuleTest : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        // Only local files have paths: URIs of other schemes stay remote,
        // whatever GVfs backends the machine has.
        g_setenv("GIO_USE_VFS", "local", TRUE);
        // Settings the modules read are the test's to set, in memory; their
        // schemas are the system's, outside the data folders set below.
        g_setenv("GSETTINGS_BACKEND", "memory", TRUE);
        g_setenv("GSETTINGS_SCHEMA_DIR", "/usr/share/glib-2.0/schemas", TRUE);
        char pattern[] = "/tmp/vellumark-module-test-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        root_ = new fs::path(pattern);
        fs::create_directories(Bin());
        fs::create_directories(Extensions());
        std::ofstream(Bin() / "vellumark") << "#!/bin/sh\n"
                                              "printf '%s\\0' \"$@\" >\"$VELLUMARK_RECORD.part\"\n"
                                              "mv \"$VELLUMARK_RECORD.part\" \"$VELLUMARK_RECORD\"\n";
        fs::permissions(Bin() / "vellumark", fs::perms::owner_all);
        g_setenv("PATH", (Bin().string() + ":" + g_getenv("PATH")).c_str(), TRUE);
        g_setenv("VELLUMARK_MENU_LOG", (*root_ / "menu.log").c_str(), TRUE);
        g_setenv("XDG_DATA_HOME", (*root_ / "user-data").c_str(), TRUE);
        g_setenv("XDG_DATA_DIRS", (*root_ / "system-data").c_str(), TRUE);
        fs::copy_file(kModulePath, Extensions() / kModuleFile);
        provider_ = LoadMenuProvider(Extensions() / kModuleFile);
    }

    static void TearDownTestSuite()
    {
        if (provider_ != nullptr)
            g_object_unref(provider_);
        fs::remove_all(*root_);
        delete root_;
    }

    void SetUp() override
    {
        ASSERT_NE(provider_, nullptr);
        folder_ = *root_ / ::testing::UnitTest::GetInstance()->current_test_info()->name();
        fs::create_directories(folder_);
        g_setenv("VELLUMARK_RECORD", (folder_ / "argv").c_str(), TRUE);
    }

    static fs::path Bin() { return *root_ / "bin"; }
    static fs::path Extensions() { return *root_ / "extensions"; }

    fs::path File(const std::string& name)
    {
        const fs::path path = folder_ / name;
        std::ofstream(path) << "abc";
        return path;
    }

    static Selected Local(const fs::path& path, GFileType type)
    {
        return {Ref<GFile>(g_file_new_for_path(path.c_str())), type};
    }

    static std::vector<Selected> Selection(Selected one)
    {
        std::vector<Selected> selection;
        selection.push_back(std::move(one));
        return selection;
    }

    static std::vector<Selected> Selection(Selected one, Selected two)
    {
        std::vector<Selected> selection = Selection(std::move(one));
        selection.push_back(std::move(two));
        return selection;
    }

    static std::string Label(GObject* item)
    {
        char* label = nullptr;
        g_object_get(item, "label", &label, nullptr);
        std::string text = label != nullptr ? label : "";
        g_free(label);
        return text;
    }

    // The arguments the recording `vellumark` was started with, waited for
    // up to 5 s and taken; empty when it was not started.
    std::vector<std::string> Recorded()
    {
        const fs::path record = folder_ / "argv";
        const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        while (!fs::exists(record) && std::chrono::steady_clock::now() < until)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        std::ifstream in(record, std::ios::binary);
        const std::string bytes{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
        fs::remove(record);
        std::vector<std::string> arguments;
        for (std::size_t start = 0, end; (end = bytes.find('\0', start)) != std::string::npos; start = end + 1)
            arguments.push_back(bytes.substr(start, end - start));
        return arguments;
    }

    // The entry for one regular file, activated: vellumark gets its path.
    void ExpectEntryStartsVellumarkOn(const fs::path& path)
    {
        const std::vector<Ref<GObject>> items = FileItems(provider_, Selection(Local(path, G_FILE_TYPE_REGULAR)));
        ASSERT_EQ(items.size(), 1u) << path;
        EXPECT_EQ(Label(items[0].get()), "Checksums with Vellumark");
        ActivateItem(items[0].get());
        EXPECT_EQ(Recorded(), std::vector<std::string>{path.string()});
    }

    static std::string LastRecordLine()
    {
        std::ifstream in(*root_ / "menu.log");
        std::string line, last;
        while (std::getline(in, line))
            last = line;
        return last;
    }

    static fs::path* root_;
    static GObject* provider_;
    fs::path folder_;
};

}  // namespace module_test
