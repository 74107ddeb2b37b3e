// The cases every file manager's module passes: the entry for one local
// regular file and for nothing else, and its activation starting
// `vellumark` with exactly that path.

#include "tests/filemanagers/module_test.h"

#include <dlfcn.h>

namespace module_test {

namespace {

struct LoaderModule {
    GTypeModule parent;
    void* handle;
};

// The module a test program loads, one for the process, as its file
// manager keeps it: its file and its entry points' prefix.
struct Loaded {
    std::string path;
    std::string prefix;
};

Loaded& Module()
{
    static Loaded loaded;
    return loaded;
}

struct LoaderModuleClass {
    GTypeModuleClass parent;
};

template <class Function>
Function EntryPoint(LoaderModule* self, const char* name)
{
    void* symbol = dlsym(self->handle, (Module().prefix + name).c_str());
    EXPECT_NE(symbol, nullptr) << Module().prefix << name << " is not exported";
    return reinterpret_cast<Function>(symbol);
}

gboolean Load(GTypeModule* module)
{
    auto* self = reinterpret_cast<LoaderModule*>(module);
    self->handle = dlopen(Module().path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (self->handle == nullptr) {
        ADD_FAILURE() << dlerror();
        return FALSE;
    }
    auto initialize = EntryPoint<void (*)(GTypeModule*)>(self, "_initialize");
    if (initialize == nullptr)
        return FALSE;
    initialize(module);
    return TRUE;
}

// File managers never unload these modules while they run.
void Unload(GTypeModule*) {}

void InitClass(gpointer klass, gpointer extraClassInit)
{
    auto* moduleClass = G_TYPE_MODULE_CLASS(klass);
    moduleClass->load = Load;
    moduleClass->unload = Unload;
    if (extraClassInit != nullptr)
        reinterpret_cast<void (*)(GObjectClass*)>(extraClassInit)(G_OBJECT_CLASS(klass));
}

GType LoaderType(GType extraInterface, const GInterfaceInfo* extraInfo, void (*extraClassInit)(GObjectClass*))
{
    static const GType type = [&] {
        static const GTypeInfo info{sizeof(LoaderModuleClass),
                                    nullptr,
                                    nullptr,
                                    InitClass,
                                    nullptr,
                                    reinterpret_cast<gconstpointer>(extraClassInit),
                                    sizeof(LoaderModule),
                                    0,
                                    nullptr,
                                    nullptr};
        const GType registered = g_type_register_static(G_TYPE_TYPE_MODULE, "TestLoaderModule", &info, GTypeFlags{});
        if (extraInterface != 0)
            g_type_add_interface_static(registered, extraInterface, extraInfo);
        return registered;
    }();
    return type;
}

TEST_F(ModuleTest, OneLocalFileStartsVellumarkWithItsPath)
{
    ExpectEntryStartsVellumarkOn(File("disk.iso"));
    EXPECT_EQ(LastRecordLine(), std::string(kFileManager) + " 1 offered");
    // Blanks, a leading dash, UTF-8 and a byte that is no UTF-8 reach it as
    // they are, in one argument.
    ExpectEntryStartsVellumarkOn(File("-n  two blanks \xc3\xa9t\xc3\xa9 \xff.bin"));
}

TEST_F(ModuleTest, NoEntryForFoldersSeveralItemsOrRemoteFiles)
{
    const fs::path a = File("a.iso");
    const fs::path b = File("b.iso");
    fs::create_directory(folder_ / "photos");
    struct Case {
        const char* what;
        std::vector<Selected> selection;
    };
    Case cases[] = {
        {"nothing", {}},
        {"two files", Selection(Local(a, G_FILE_TYPE_REGULAR), Local(b, G_FILE_TYPE_REGULAR))},
        {"a folder", Selection(Local(folder_ / "photos", G_FILE_TYPE_DIRECTORY))},
        {"a file and a folder",
         Selection(Local(a, G_FILE_TYPE_REGULAR), Local(folder_ / "photos", G_FILE_TYPE_DIRECTORY))},
        {"a folder and a file",
         Selection(Local(folder_ / "photos", G_FILE_TYPE_DIRECTORY), Local(a, G_FILE_TYPE_REGULAR))},
        {"a remote file",
         Selection({Ref<GFile>(g_file_new_for_uri("sftp://example.org/disk.iso")), G_FILE_TYPE_REGULAR})},
        {"a FIFO", Selection(Local(a, G_FILE_TYPE_SPECIAL))},
    };
    for (Case& c : cases) {
        EXPECT_TRUE(FileItems(provider_, c.selection).empty()) << c.what;
        EXPECT_EQ(LastRecordLine(), std::string(kFileManager) + " " + std::to_string(c.selection.size()) + " none")
            << c.what;
    }
    EXPECT_FALSE(fs::exists(folder_ / "argv")) << "vellumark was started";
}

}  // namespace

fs::path* ModuleTest::root_ = nullptr;
GObject* ModuleTest::provider_ = nullptr;

GTypeModule* NewLoader(const std::string& path, const std::string& prefix, GType extraInterface,
                       const GInterfaceInfo* extraInfo, void (*extraClassInit)(GObjectClass*))
{
    auto* loader = static_cast<LoaderModule*>(
        g_object_new(LoaderType(extraInterface, extraInfo, extraClassInit), nullptr));
    Module() = {path, prefix};
    g_type_module_set_name(G_TYPE_MODULE(loader), path.c_str());
    return G_TYPE_MODULE(loader);
}

std::vector<GType> ListedTypes(GTypeModule* loader)
{
    auto* self = reinterpret_cast<LoaderModule*>(loader);
    const GType* types = nullptr;
    int count = 0;
    if (auto list = EntryPoint<void (*)(const GType**, int*)>(self, "_list_types"))
        list(&types, &count);
    return std::vector<GType>(types, types + count);
}

}  // namespace module_test
