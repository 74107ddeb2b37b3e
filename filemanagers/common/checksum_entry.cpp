#include "filemanagers/common/checksum_entry.h"

#include <cstdio>

namespace vellumark::filemanagers {

namespace {

void Record(const char* fileManager, guint items, bool offered)
{
    const char* log = g_getenv("VELLUMARK_MENU_LOG");
    if (log == nullptr || *log == '\0')
        return;
    const std::unique_ptr<FILE, int (*)(FILE*)> file(std::fopen(log, "ae"), std::fclose);
    if (file)
        std::fprintf(file.get(), "%s %u %s\n", fileManager, items, offered ? "offered" : "none");
}

void Activated(GObject*, gpointer path)
{
    StartVellumark(*static_cast<std::string*>(path));
}

void DeletePath(gpointer path, GClosure*)
{
    delete static_cast<std::string*>(path);
}

}  // namespace

std::optional<std::string> ChecksumTarget(GList* selection, const FileInfoReader& reader)
{
    if (selection == nullptr || selection->next != nullptr)
        return std::nullopt;
    if (reader.type(selection->data) != G_FILE_TYPE_REGULAR)
        return std::nullopt;
    const Ref<GFile> location(reader.location(selection->data));
    if (!location)
        return std::nullopt;
    const GChars path(g_file_get_path(location.get()));
    if (!path)
        return std::nullopt;
    return std::string(path.get());
}

bool StartVellumark(const std::string& path)
{
    char program[] = "vellumark";
    char* argv[] = {program, const_cast<char*>(path.c_str()), nullptr};
    GError* error = nullptr;
    // Without G_SPAWN_DO_NOT_REAP_CHILD GLib starts it through an
    // intermediate child that ends at once, so nobody has to wait for it.
    if (g_spawn_async(nullptr, argv, nullptr, G_SPAWN_SEARCH_PATH, nullptr, nullptr, nullptr, &error))
        return true;
    g_warning("Cannot start vellumark: %s", error->message);
    g_error_free(error);
    return false;
}

GList* ChecksumItems(const char* fileManager, GList* selection, const FileInfoReader& reader,
                     GObject* (*makeItem)(), bool offer)
{
    std::optional<std::string> path;
    if (offer)
        path = ChecksumTarget(selection, reader);
    Record(fileManager, g_list_length(selection), path.has_value());
    if (!path)
        return nullptr;
    GObject* item = makeItem();
    // The item owns its path: the closure deletes it when the item goes.
    g_signal_connect_data(item, "activate", G_CALLBACK(Activated), new std::string(std::move(*path)), DeletePath,
                          GConnectFlags{});
    return g_list_append(nullptr, item);
}

GType RegisterMenuProvider(GTypeModule* module, const char* typeName, GType menuInterface, GInterfaceInitFunc init)
{
    static const GTypeInfo info{sizeof(GObjectClass), nullptr, nullptr, nullptr, nullptr, nullptr,
                                sizeof(GObject),      0,       nullptr, nullptr};
    const GType type = g_type_module_register_type(module, G_TYPE_OBJECT, typeName, &info, GTypeFlags{});
    const GInterfaceInfo menu{init, nullptr, nullptr};
    g_type_module_add_interface(module, type, menuInterface, &menu);
    return type;
}

}  // namespace vellumark::filemanagers
