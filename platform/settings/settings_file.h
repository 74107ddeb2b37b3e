#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "platform/base/unique_fd.h"

namespace platform {

// The per-user settings file: $XDG_CONFIG_HOME/vellumark/settings.reg, where
// an unset, empty or relative XDG_CONFIG_HOME means ~/.config. Empty when no
// home directory can be found either.
std::string DefaultSettingsFilePath();

// Stand-ins for write(2), fsync(2) and rename(2) while a save runs; empty
// means the real call. Tests use them to fill the disk, to stop a save between
// writing the temporary file and putting it in place, and to see that every
// step that makes a save durable is taken.
struct SettingsFileHooks {
    std::function<ssize_t(int fd, const void* data, std::size_t size)> write;
    std::function<int(int fd)> fsync;
    std::function<int(const char* from, const char* to)> rename;
};

// Reads and replaces the settings file as a whole.
class SettingsFile {
public:
    // Larger files are not read at all: they are not ours, and a save could
    // not keep what was never read.
    static constexpr std::size_t kMaxSize = 1024 * 1024;

    // How long a change waits for another program's change to the file.
    static constexpr std::chrono::milliseconds kLockWait{2000};

    enum class LoadStatus { Missing, Loaded, Unreadable };

    explicit SettingsFile(std::string path, SettingsFileHooks hooks = {},
                          std::chrono::milliseconds lockWait = kLockWait);
    static SettingsFile Default();

    const std::string& Path() const noexcept { return path_; }

    // Missing when neither the file nor its folder is there. Unreadable for
    // anything that is not a regular file of at most kMaxSize bytes that can
    // be read: a symbolic link (never followed), a folder, a device or pipe
    // (never waited on), no permission, an error while reading.
    LoadStatus Load(std::string& contents) const;

    // Replaces the file with contents, or leaves it exactly as it was: the new
    // text goes to a temporary file in the same folder (mode 0600), is flushed
    // to disk and renamed over the old one, then the folder is flushed. A
    // missing folder is made with mode 0700. Temporary files that saves killed
    // on the way left behind are removed first. False when anything fails,
    // and for contents larger than kMaxSize, which could not be loaded again.
    bool Save(std::string_view contents) const;

    // The lock that a change holds from reading the file to saving it, so
    // that programs changing it at once never lose each other's values: an
    // exclusive flock on .<name>.lock beside the file (made 0600 in a folder
    // made 0700, and never removed), waited for at most the lock wait. Empty
    // when it cannot be had in that time or the lock file cannot be opened.
    // A file system that has no locks at all gives a descriptor unlocked.
    std::optional<UniqueFd> LockForChange() const;

private:
    static std::string TemporaryPrefix(const std::string& name);
    void RemoveStaleTemporaryFiles(const std::string& dir, const std::string& name) const;
    int Sync(int fd) const;

    std::string path_;
    SettingsFileHooks hooks_;
    std::chrono::milliseconds lockWait_;
};

}  // namespace platform
