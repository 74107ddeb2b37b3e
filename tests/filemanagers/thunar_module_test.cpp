// Thunar's module, through stand-in file objects that implement
// ThunarxFileInfo as Thunar's own files do, and a loader that is the
// provider plugin Thunar hands its modules.

#include <gio/gio.h>
#include <gtk/gtk.h>

// Some of thunarx's headers declare their functions without C linkage;
// GLib's and GTK's headers, which hold C++ of their own, are in already.
extern "C" {
#include <thunarx/thunarx.h>
}

#include "tests/filemanagers/module_test.h"

namespace module_test {

namespace {

struct StandIn {
    GObject parent;
    GFile* location;
    GFileType type;
};

StandIn* Of(ThunarxFileInfo* info)
{
    return reinterpret_cast<StandIn*>(info);
}

GFile* Location(ThunarxFileInfo* info)
{
    return G_FILE(g_object_ref(Of(info)->location));
}

GFileInfo* Details(ThunarxFileInfo* info)
{
    GFileInfo* details = g_file_info_new();
    g_file_info_set_file_type(details, Of(info)->type);
    return details;
}

gboolean IsDirectory(ThunarxFileInfo* info)
{
    return Of(info)->type == G_FILE_TYPE_DIRECTORY;
}

gchar* Uri(ThunarxFileInfo* info)
{
    return g_file_get_uri(Of(info)->location);
}

void InitFileInfo(gpointer iface, gpointer)
{
    auto* fileInfo = static_cast<ThunarxFileInfoIface*>(iface);
    fileInfo->get_location = Location;
    fileInfo->get_file_info = Details;
    fileInfo->is_directory = IsDirectory;
    fileInfo->get_uri = Uri;
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
        const GType registered = g_type_register_static(G_TYPE_OBJECT, "TestThunarFile", &info, GTypeFlags{});
        static const GInterfaceInfo fileInfo{InitFileInfo, nullptr, nullptr};
        g_type_add_interface_static(registered, THUNARX_TYPE_FILE_INFO, &fileInfo);
        return registered;
    }();
    return type;
}

// The provider plugin: what Thunar's module class does, on a type module.
gboolean resident = FALSE;

void InitPlugin(gpointer iface, gpointer)
{
    auto* plugin = static_cast<ThunarxProviderPluginIface*>(iface);
    plugin->get_resident = [](const ThunarxProviderPlugin*) { return resident; };
    plugin->set_resident = [](ThunarxProviderPlugin*, gboolean value) { resident = value; };
    plugin->register_type = [](ThunarxProviderPlugin* self, GType parent, const gchar* name, const GTypeInfo* info,
                               GTypeFlags flags) {
        return g_type_module_register_type(G_TYPE_MODULE(self), parent, name, info, flags);
    };
    plugin->add_interface = [](ThunarxProviderPlugin* self, GType type, GType iface, const GInterfaceInfo* info) {
        g_type_module_add_interface(G_TYPE_MODULE(self), type, iface, info);
    };
    plugin->register_enum = [](ThunarxProviderPlugin* self, const gchar* name, const GEnumValue* values) {
        return g_type_module_register_enum(G_TYPE_MODULE(self), name, values);
    };
    plugin->register_flags = [](ThunarxProviderPlugin* self, const gchar* name, const GFlagsValue* values) {
        return g_type_module_register_flags(G_TYPE_MODULE(self), name, values);
    };
}

// The plugin's "resident" property, as Thunar's module class has it.
void InitPluginClass(GObjectClass* klass)
{
    klass->get_property = [](GObject*, guint, GValue* value, GParamSpec*) { g_value_set_boolean(value, resident); };
    klass->set_property = [](GObject*, guint, const GValue* value, GParamSpec*) {
        resident = g_value_get_boolean(value);
    };
    g_object_class_override_property(klass, 1, "resident");
}

}  // namespace

const char* const kFileManager = "thunar";
const char* const kModulePath = MODULE_PATH;
const char* const kModuleFile = "vellumark-thunar.so";

GObject* LoadMenuProvider(const std::string& path)
{
    static const GInterfaceInfo plugin{InitPlugin, nullptr, nullptr};
    GTypeModule* loader = NewLoader(path, "thunar_extension", THUNARX_TYPE_PROVIDER_PLUGIN, &plugin, InitPluginClass);
    if (!g_type_module_use(loader))
        return nullptr;
    // Its items call back into it: it must stay loaded.
    EXPECT_TRUE(resident);
    for (GType type : ListedTypes(loader)) {
        if (g_type_is_a(type, THUNARX_TYPE_MENU_PROVIDER))
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
    // Through the interface: thunarx_menu_provider_get_file_menu_items wants
    // a window, which needs a display; the module has no use for it.
    GList* items =
        THUNARX_MENU_PROVIDER_GET_IFACE(provider)->get_file_menu_items(THUNARX_MENU_PROVIDER(provider), nullptr, files);
    thunarx_file_info_list_free(files);
    std::vector<Ref<GObject>> owned;
    for (GList* item = items; item != nullptr; item = item->next) {
        EXPECT_TRUE(THUNARX_IS_MENU_ITEM(item->data));
        owned.emplace_back(G_OBJECT(item->data));
    }
    g_list_free(items);
    return owned;
}

void ActivateItem(GObject* item)
{
    thunarx_menu_item_activate(THUNARX_MENU_ITEM(item));
}

}  // namespace module_test
