// Caja's module, through stand-in file objects that implement
// CajaFileInfo as Caja's own files do.

#include <libcaja-extension/caja-file-info.h>
#include <libcaja-extension/caja-menu-provider.h>

#include "tests/filemanagers/module_test.h"

namespace module_test {

namespace {

struct StandIn {
    GObject parent;
    GFile* location;
    GFileType type;
};

GFile* Location(CajaFileInfo* info)
{
    return G_FILE(g_object_ref(reinterpret_cast<StandIn*>(info)->location));
}

GFileType Type(CajaFileInfo* info)
{
    return reinterpret_cast<StandIn*>(info)->type;
}

gboolean IsDirectory(CajaFileInfo* info)
{
    return Type(info) == G_FILE_TYPE_DIRECTORY;
}

char* Uri(CajaFileInfo* info)
{
    return g_file_get_uri(reinterpret_cast<StandIn*>(info)->location);
}

void InitFileInfo(gpointer iface, gpointer)
{
    auto* fileInfo = static_cast<CajaFileInfoIface*>(iface);
    fileInfo->get_location = Location;
    fileInfo->get_file_type = Type;
    fileInfo->is_directory = IsDirectory;
    fileInfo->get_uri = Uri;
    fileInfo->get_activation_uri = Uri;
}

void Finalize(GObject* object)
{
    g_object_unref(reinterpret_cast<StandIn*>(object)->location);
    G_OBJECT_CLASS(g_type_class_peek(G_TYPE_OBJECT))->finalize(object);
}

void InitClass(gpointer klass, gpointer)
{
    G_OBJECT_CLASS(klass)->finalize = Finalize;
}

GType StandInType()
{
    static const GType type = [] {
        static const GTypeInfo info{sizeof(GObjectClass), nullptr, nullptr, InitClass, nullptr, nullptr,
                                    sizeof(StandIn),      0,       nullptr,   nullptr};
        const GType registered = g_type_register_static(G_TYPE_OBJECT, "TestCajaFile", &info, GTypeFlags{});
        static const GInterfaceInfo fileInfo{InitFileInfo, nullptr, nullptr};
        g_type_add_interface_static(registered, CAJA_TYPE_FILE_INFO, &fileInfo);
        return registered;
    }();
    return type;
}

}  // namespace

const char* const kFileManager = "caja";
const char* const kModulePath = MODULE_PATH;
const char* const kModuleFile = "libvellumark-caja.so";

GObject* LoadMenuProvider(const std::string& path)
{
    GTypeModule* loader = NewLoader(path, "caja_module");
    if (!g_type_module_use(loader))
        return nullptr;
    for (GType type : ListedTypes(loader)) {
        if (g_type_is_a(type, CAJA_TYPE_MENU_PROVIDER))
            return G_OBJECT(g_object_new(type, nullptr));
    }
    ADD_FAILURE() << "the module lists no menu provider";
    return nullptr;
}

std::vector<Ref<GObject>> FileItems(GObject* provider, const std::vector<Selected>& selection)
{
    GList* files = nullptr;
    for (const Selected& selected : selection) {
        auto* file = static_cast<StandIn*>(g_object_new(StandInType(), nullptr));
        file->location = G_FILE(g_object_ref(selected.location.get()));
        file->type = selected.type;
        files = g_list_append(files, file);
    }
    GList* items = caja_menu_provider_get_file_items(CAJA_MENU_PROVIDER(provider), nullptr, files);
    caja_file_info_list_free(files);
    std::vector<Ref<GObject>> owned;
    for (GList* item = items; item != nullptr; item = item->next) {
        EXPECT_TRUE(G_TYPE_CHECK_INSTANCE_TYPE(item->data, CAJA_TYPE_MENU_ITEM));
        owned.emplace_back(G_OBJECT(item->data));
    }
    g_list_free(items);
    return owned;
}

void ActivateItem(GObject* item)
{
    caja_menu_item_activate(CAJA_MENU_ITEM(item));
}

// caja-actions shows the FileManager-Actions entry where its menu plugin is
// in Caja's extension folder, not switched off in Caja's preferences, and
// the entry in a data folder it reads: then the module offers nothing, so
// that the entry shows once.
TEST_F(ModuleTest, NothingWhereCajaActionsShowsTheEntry)
{
    GSettingsSchemaSource* source = g_settings_schema_source_get_default();
    GSettingsSchema* schema =
        source != nullptr ? g_settings_schema_source_lookup(source, "org.mate.caja.extensions", TRUE) : nullptr;
    if (schema == nullptr)
        GTEST_SKIP() << "Caja's settings schema is not installed";
    g_settings_schema_unref(schema);
    const Ref<GSettings> extensions(g_settings_new("org.mate.caja.extensions"));

    const fs::path file = File("disk.iso");
    const fs::path plugin = Extensions() / "libcaja-actions-menu.so";
    const fs::path entry = "file-manager/actions/com.halvercraft.Vellumark.desktop";
    const fs::path systemEntry = *root_ / "system-data" / entry;
    const fs::path userEntry = *root_ / "user-data" / entry;
    struct Case {
        const char* what;
        bool plugin;
        fs::path entry;
        std::vector<const char*> switchedOff;
        bool offered;
    };
    const Case cases[] = {
        {"neither", false, {}, {}, true},
        {"the plugin alone", true, {}, {}, true},
        {"the entry alone", false, systemEntry, {}, true},
        {"the plugin and the system's entry", true, systemEntry, {}, false},
        {"the plugin and the user's entry", true, userEntry, {}, false},
        {"both, the plugin switched off", true, systemEntry, {"libcaja-wallpaper", "libcaja-actions-menu"}, true},
        {"both, another plugin switched off", true, systemEntry, {"libcaja-wallpaper"}, false},
    };
    for (const Case& c : cases) {
        std::vector<const char*> off = c.switchedOff;
        off.push_back(nullptr);
        ASSERT_TRUE(g_settings_set_strv(extensions.get(), "disabled-extensions", off.data()));
        if (c.plugin)
            std::ofstream{plugin};
        if (!c.entry.empty()) {
            fs::create_directories(c.entry.parent_path());
            std::ofstream{c.entry} << "[Desktop Entry]\nType=Action\n";
        }
        EXPECT_EQ(FileItems(provider_, Selection(Local(file, G_FILE_TYPE_REGULAR))).size(), c.offered ? 1u : 0u)
            << c.what;
        fs::remove(plugin);
        if (!c.entry.empty())
            fs::remove(c.entry);
    }
}

}  // namespace module_test
