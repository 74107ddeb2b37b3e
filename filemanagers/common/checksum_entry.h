// What the file managers' modules share: when "Checksums with Vellumark" is
// offered, the start of the window, and the record a test may ask for.
// Each module only tells how its file manager's file objects give their
// location and type, and how it makes a menu item.
#pragma once

#include <memory>
#include <optional>
#include <string>

#include <gio/gio.h>

namespace vellumark::filemanagers {

inline constexpr const char* kEntryName = "Vellumark::Checksums";
inline constexpr const char* kEntryLabel = "Checksums with Vellumark";
inline constexpr const char* kEntryTip = "Compute the checksums of the selected file";
inline constexpr const char* kEntryIcon = "com.halvercraft.Vellumark";

// A GObject reference of ours, given back when it goes.
struct Unref {
    void operator()(gpointer object) const { g_object_unref(object); }
};
template <class T>
using Ref = std::unique_ptr<T, Unref>;

// A string GLib gave us to free.
struct GFree {
    void operator()(gpointer memory) const { g_free(memory); }
};
using GChars = std::unique_ptr<char, GFree>;

// How a file manager's file objects tell where they are and what they are.
struct FileInfoReader {
    GFile* (*location)(gpointer info);  // a new reference, or null
    GFileType (*type)(gpointer info);   // as the file manager last read it
};

// The local path of the selection when it is exactly one regular file that
// has one (g_file_get_path gives one: a local file or a GVfs mount); nothing
// for a folder, several items, a mix or a file without a local path. The
// file manager's own idea of the type is taken, so that building a menu
// never waits for a slow mount.
std::optional<std::string> ChecksumTarget(GList* selection, const FileInfoReader& reader);

// Starts `vellumark PATH` as the desktop entry (Exec=vellumark %F) does: the
// program found on PATH, the path as one argument, no shell. The child is
// left to the system, so that the file manager keeps no zombie. A start
// that fails is logged as a warning; false then.
bool StartVellumark(const std::string& path);

// The menu items for `selection`: one, made by `makeItem` (a new menu item of
// the file manager's, whose "activate" signal starts Vellumark on the path),
// or none. `fileManager` names the caller in the test record: when the
// environment variable VELLUMARK_MENU_LOG names a file, each request appends
// "FILE_MANAGER ITEMS offered|none" to it, so that a test driving a real file
// manager can see that the menu was asked for and what the module answered.
// `offer` false leaves the entry out whatever the selection.
GList* ChecksumItems(const char* fileManager, GList* selection, const FileInfoReader& reader,
                     GObject* (*makeItem)(), bool offer = true);

// The module's one type, registered in `module` as `typeName`: a plain
// GObject that gives the file manager's menu-provider interface
// `menuInterface`, whose functions `init` fills in.
GType RegisterMenuProvider(GTypeModule* module, const char* typeName, GType menuInterface, GInterfaceInitFunc init);

}  // namespace vellumark::filemanagers
