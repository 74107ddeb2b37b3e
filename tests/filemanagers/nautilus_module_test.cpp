// GNOME Files' module, through stand-in file objects that implement
// NautilusFileInfo as Nautilus's own files do.

#include <gmodule.h>

#include "tests/filemanagers/module_test.h"

extern "C" {
#include <nautilus-extension.h>
}

namespace module_test {

namespace {

struct StandIn {
    GObject parent;
    GFile* location;
    GFileType type;
};

GFile* Location(NautilusFileInfo* info)
{
    return G_FILE(g_object_ref(reinterpret_cast<StandIn*>(info)->location));
}

GFileType Type(NautilusFileInfo* info)
{
    return reinterpret_cast<StandIn*>(info)->type;
}

gboolean IsDirectory(NautilusFileInfo* info)
{
    return Type(info) == G_FILE_TYPE_DIRECTORY;
}

char* Uri(NautilusFileInfo* info)
{
    return g_file_get_uri(reinterpret_cast<StandIn*>(info)->location);
}

void InitFileInfo(gpointer iface, gpointer)
{
    auto* fileInfo = static_cast<NautilusFileInfoInterface*>(iface);
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
        const GType registered = g_type_register_static(G_TYPE_OBJECT, "TestNautilusFile", &info, GTypeFlags{});
        static const GInterfaceInfo fileInfo{InitFileInfo, nullptr, nullptr};
        g_type_add_interface_static(registered, NAUTILUS_TYPE_FILE_INFO, &fileInfo);
        return registered;
    }();
    return type;
}

}  // namespace

const char* const kFileManager = "nautilus";
const char* const kModulePath = MODULE_PATH;
const char* const kModuleFile = "libvellumark-nautilus.so";

GObject* LoadMenuProvider(const std::string& path)
{
    GTypeModule* loader = NewLoader(path, "nautilus_module");
    if (!g_type_module_use(loader))
        return nullptr;
    for (GType type : ListedTypes(loader)) {
        if (g_type_is_a(type, NAUTILUS_TYPE_MENU_PROVIDER))
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
    GList* items = nautilus_menu_provider_get_file_items(NAUTILUS_MENU_PROVIDER(provider), files);
    nautilus_file_info_list_free(files);
    std::vector<Ref<GObject>> owned;
    for (GList* item = items; item != nullptr; item = item->next) {
        EXPECT_TRUE(NAUTILUS_IS_MENU_ITEM(item->data));
        owned.emplace_back(G_OBJECT(item->data));
    }
    g_list_free(items);
    return owned;
}

void ActivateItem(GObject* item)
{
    nautilus_menu_item_activate(NAUTILUS_MENU_ITEM(item));
}

}  // namespace module_test
