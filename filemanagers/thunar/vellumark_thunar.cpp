// Thunar: "Checksums with Vellumark" on one selected file. Thunar loads
// every module in its extension folder through libthunarx, calls
// thunar_extension_initialize with the module as a provider plugin, and
// asks each type listed by thunar_extension_list_types that is a menu
// provider for its items.

#include <gio/gio.h>
#include <gtk/gtk.h>

// Some of thunarx's headers declare their functions without C linkage;
// GLib's and GTK's headers, which hold C++ of their own, are in already.
extern "C" {
#include <thunarx/thunarx.h>
}

#include "filemanagers/common/checksum_entry.h"

namespace {

namespace fm = vellumark::filemanagers;

GType providerType = G_TYPE_INVALID;

GFileType TypeOf(gpointer info)
{
    const fm::Ref<GFileInfo> details(thunarx_file_info_get_file_info(THUNARX_FILE_INFO(info)));
    return details ? g_file_info_get_file_type(details.get()) : G_FILE_TYPE_UNKNOWN;
}

const fm::FileInfoReader kReader{
    [](gpointer info) { return thunarx_file_info_get_location(THUNARX_FILE_INFO(info)); },
    TypeOf,
};

GObject* MakeItem()
{
    return G_OBJECT(thunarx_menu_item_new(fm::kEntryName, fm::kEntryLabel, fm::kEntryTip, fm::kEntryIcon));
}

GList* GetFileItems(ThunarxMenuProvider*, GtkWidget*, GList* files)
{
    return fm::ChecksumItems("thunar", files, kReader, MakeItem);
}

void InitMenuProvider(gpointer iface, gpointer)
{
    static_cast<ThunarxMenuProviderIface*>(iface)->get_file_menu_items = GetFileItems;
}

}  // namespace

extern "C" {

G_MODULE_EXPORT void thunar_extension_initialize(ThunarxProviderPlugin* plugin)
{
    if (const gchar* mismatch = thunarx_check_version(THUNARX_MAJOR_VERSION, THUNARX_MINOR_VERSION,
                                                      THUNARX_MICRO_VERSION)) {
        g_warning("Version mismatch: %s", mismatch);
        return;
    }
    // Activated items call into this module: it must never be unloaded.
    thunarx_provider_plugin_set_resident(plugin, TRUE);
    static const GTypeInfo info{sizeof(GObjectClass), nullptr, nullptr, nullptr, nullptr, nullptr,
                                sizeof(GObject),      0,       nullptr, nullptr};
    providerType = thunarx_provider_plugin_register_type(plugin, G_TYPE_OBJECT, "VellumarkThunarMenu", &info,
                                                         GTypeFlags{});
    static const GInterfaceInfo menu{InitMenuProvider, nullptr, nullptr};
    thunarx_provider_plugin_add_interface(plugin, providerType, THUNARX_TYPE_MENU_PROVIDER, &menu);
}

G_MODULE_EXPORT void thunar_extension_shutdown() {}

G_MODULE_EXPORT void thunar_extension_list_types(const GType** types, gint* count)
{
    *types = &providerType;
    *count = 1;
}

}  // extern "C"
