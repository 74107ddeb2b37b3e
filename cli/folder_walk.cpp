#include "cli/folder_walk.h"

#include <algorithm>
#include <cerrno>
#include <utility>

#include <fcntl.h>
#include <sys/stat.h>

#include "platform/files/directory_reader.h"

namespace {

// As find writes a path below the one it was given.
std::string Joined(const std::string& folder, std::string_view name)
{
    std::string path = folder;
    if (!path.ends_with('/'))
        path += '/';
    path.append(name);
    return path;
}

}  // namespace

FolderWalk::FolderWalk(std::string root) : root_(std::move(root)) {}

std::optional<FolderWalk::Found> FolderWalk::Enter(const std::string& path, bool followLink)
{
    std::optional<platform::DirectoryReader> folder = platform::DirectoryReader::Open(AT_FDCWD, path, followLink);
    if (!folder)
        return Found{path, errno, 0};
    Level level{path, {}, 0};
    while (const std::optional<platform::DirectoryReader::Entry> found = folder->Next()) {
        Entry entry;
        entry.key = std::string(found->name);
        unsigned char type = found->type;
        struct stat info {};
        // A folder's type is all it needs; a file's size orders the work.
        if (type != DT_DIR && (type == DT_UNKNOWN || type == DT_REG || type == DT_LNK)) {
            if (::fstatat(folder->Fd(), entry.key.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0) {
                entry.error = errno;
                level.entries.push_back(std::move(entry));
                continue;
            }
            type = S_ISDIR(info.st_mode)   ? DT_DIR
                   : S_ISREG(info.st_mode) ? DT_REG
                   : S_ISLNK(info.st_mode) ? DT_LNK
                                           : DT_UNKNOWN;
        }
        if (type == DT_LNK) {
            // Followed to a file; not to a folder, which is no file of this one.
            if (::fstatat(folder->Fd(), entry.key.c_str(), &info, 0) != 0)
                entry.error = errno;
            else if (S_ISDIR(info.st_mode))
                continue;
            type = entry.error == 0 && S_ISREG(info.st_mode) ? DT_REG : DT_UNKNOWN;
        }
        if (type == DT_DIR) {
            entry.folder = true;
            entry.key += '/';
        } else if (entry.error == 0 && type != DT_REG) {
            entry.error = kNotRegular;
        } else {
            entry.size = static_cast<std::uint64_t>(info.st_size);
        }
        level.entries.push_back(std::move(entry));
    }
    const int failure = folder->Error();
    folder.reset();
    std::sort(level.entries.begin(), level.entries.end(), [](const Entry& a, const Entry& b) { return a.key < b.key; });
    levels_.push_back(std::move(level));
    if (failure != 0)
        return Found{path, failure, 0};
    return std::nullopt;
}

std::optional<FolderWalk::Found> FolderWalk::Next()
{
    if (!started_) {
        started_ = true;
        if (std::optional<Found> failed = Enter(root_, true))
            return failed;
    }
    while (!levels_.empty()) {
        Level& level = levels_.back();
        if (level.next == level.entries.size()) {
            levels_.pop_back();
            continue;
        }
        Entry entry = std::move(level.entries[level.next++]);
        if (entry.folder) {
            entry.key.pop_back();
            if (std::optional<Found> failed = Enter(Joined(level.path, entry.key), false))
                return failed;
            continue;
        }
        return Found{Joined(level.path, entry.key), entry.error, entry.size};
    }
    return std::nullopt;
}
