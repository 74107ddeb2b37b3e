// Caja: "Checksums with Vellumark" on one selected file. Caja loads every
// module in its extension folder, calls caja_module_initialize, and asks
// each type listed by caja_module_list_types that is a menu provider for
// its items.
//
// caja-actions shows the FileManager-Actions entry that the vellumark
// package installs: where its menu plugin sits beside this module (Caja's
// extension folder), is not switched off in Caja's extension preferences,
// and that entry is in a data folder it reads, the entry is already there
// and this module offers nothing, so that it shows once.

#include <dlfcn.h>

#include <string>

#include <libcaja-extension/caja-extension-types.h>
#include <libcaja-extension/caja-file-info.h>
#include <libcaja-extension/caja-menu-provider.h>

#include "filemanagers/common/checksum_entry.h"

namespace {

namespace fm = vellumark::filemanagers;

GType providerType = G_TYPE_INVALID;

const fm::FileInfoReader kReader{
    [](gpointer info) { return caja_file_info_get_location(CAJA_FILE_INFO(info)); },
    [](gpointer info) { return caja_file_info_get_file_type(CAJA_FILE_INFO(info)); },
};

GObject* MakeItem()
{
    return G_OBJECT(caja_menu_item_new(fm::kEntryName, fm::kEntryLabel, fm::kEntryTip, fm::kEntryIcon));
}

bool Exists(const std::string& path)
{
    return g_file_test(path.c_str(), G_FILE_TEST_EXISTS);
}

constexpr const char* kCajaActionsMenu = "libcaja-actions-menu";

// caja-actions' menu plugin in the folder Caja loaded this module from.
bool CajaActionsBeside()
{
    Dl_info self{};
    if (dladdr(reinterpret_cast<const void*>(&CajaActionsBeside), &self) == 0 || self.dli_fname == nullptr)
        return false;
    const fm::GChars folder(g_path_get_dirname(self.dli_fname));
    return Exists(std::string(folder.get()) + "/" + kCajaActionsMenu + ".so");
}

// Caja loads every module in its folder but those its extension preferences
// switch off, which it names by their file without ".so".
bool SwitchedOff(const char* extension)
{
    static const fm::Ref<GSettings> settings = [] {
        GSettingsSchemaSource* source = g_settings_schema_source_get_default();
        GSettingsSchema* schema =
            source != nullptr ? g_settings_schema_source_lookup(source, "org.mate.caja.extensions", TRUE) : nullptr;
        if (schema == nullptr)
            return fm::Ref<GSettings>();
        g_settings_schema_unref(schema);
        return fm::Ref<GSettings>(g_settings_new("org.mate.caja.extensions"));
    }();
    if (!settings)
        return false;
    const std::unique_ptr<char*, void (*)(char**)> off(g_settings_get_strv(settings.get(), "disabled-extensions"),
                                                      g_strfreev);
    return g_strv_contains(off.get(), extension);
}

// Our FileManager-Actions entry where caja-actions reads such entries: the
// user's data folder and the system's (XDG_DATA_HOME, XDG_DATA_DIRS).
bool FileManagerActionsEntryInstalled()
{
    const std::string entry = std::string("/file-manager/actions/") + fm::kEntryIcon + ".desktop";
    if (Exists(g_get_user_data_dir() + entry))
        return true;
    for (const char* const* folder = g_get_system_data_dirs(); *folder != nullptr; ++folder) {
        if (Exists(*folder + entry))
            return true;
    }
    return false;
}

GList* GetFileItems(CajaMenuProvider*, GtkWidget*, GList* files)
{
    const bool shownByCajaActions =
        CajaActionsBeside() && !SwitchedOff(kCajaActionsMenu) && FileManagerActionsEntryInstalled();
    return fm::ChecksumItems("caja", files, kReader, MakeItem, !shownByCajaActions);
}

void InitMenuProvider(gpointer iface, gpointer)
{
    static_cast<CajaMenuProviderIface*>(iface)->get_file_items = GetFileItems;
}

}  // namespace

extern "C" {

G_MODULE_EXPORT void caja_module_initialize(GTypeModule* module)
{
    providerType = fm::RegisterMenuProvider(module, "VellumarkCajaMenu", CAJA_TYPE_MENU_PROVIDER, InitMenuProvider);
}

G_MODULE_EXPORT void caja_module_shutdown() {}

G_MODULE_EXPORT void caja_module_list_types(const GType** types, int* count)
{
    *types = &providerType;
    *count = 1;
}

}  // extern "C"
