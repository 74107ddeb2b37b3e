// GNOME Files (Nautilus 43, extensions-4): "Checksums with Vellumark" on
// one selected file. Nautilus loads every module in its extension folder,
// calls nautilus_module_initialize, and asks each type listed by
// nautilus_module_list_types that is a menu provider for its items.

#include <gio/gio.h>
#include <gmodule.h>

// nautilus-extension.h declares the entry points without C linkage; GLib's
// headers, which hold C++ of their own, are in already.
extern "C" {
#include <nautilus-extension.h>
}

#include "filemanagers/common/checksum_entry.h"

namespace {

namespace fm = vellumark::filemanagers;

GType providerType = G_TYPE_INVALID;

const fm::FileInfoReader kReader{
    [](gpointer info) { return nautilus_file_info_get_location(NAUTILUS_FILE_INFO(info)); },
    [](gpointer info) { return nautilus_file_info_get_file_type(NAUTILUS_FILE_INFO(info)); },
};

GObject* MakeItem()
{
    return G_OBJECT(nautilus_menu_item_new(fm::kEntryName, fm::kEntryLabel, fm::kEntryTip, fm::kEntryIcon));
}

GList* GetFileItems(NautilusMenuProvider*, GList* files)
{
    return fm::ChecksumItems("nautilus", files, kReader, MakeItem);
}

void InitMenuProvider(gpointer iface, gpointer)
{
    static_cast<NautilusMenuProviderInterface*>(iface)->get_file_items = GetFileItems;
}

}  // namespace

extern "C" {

G_MODULE_EXPORT void nautilus_module_initialize(GTypeModule* module)
{
    providerType =
        fm::RegisterMenuProvider(module, "VellumarkNautilusMenu", NAUTILUS_TYPE_MENU_PROVIDER, InitMenuProvider);
}

G_MODULE_EXPORT void nautilus_module_shutdown() {}

G_MODULE_EXPORT void nautilus_module_list_types(const GType** types, int* count)
{
    *types = &providerType;
    *count = 1;
}

}  // extern "C"
