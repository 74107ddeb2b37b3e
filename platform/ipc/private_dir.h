#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>
#include <utility>

#include "platform/base/unique_fd.h"

// The per-user directory in which named cross-process objects live as files.
// No other user can reach it: it is created 0700 and refused unless it is a
// real directory owned by us with no group or other bits. Failures throw
// std::system_error carrying the errno value.
namespace platform {

// The private directory is there, but it is not ours alone: Advice() says
// which folder, its mode, and what to do, in words for the user.
class PrivateDirectoryRefused : public std::system_error {
public:
    PrivateDirectoryRefused(int error, std::string advice)
        : std::system_error(error, std::generic_category(), advice), advice_(std::move(advice))
    {}
    const std::string& Advice() const noexcept { return advice_; }

private:
    std::string advice_;
};

// $XDG_RUNTIME_DIR/vellumark; when that variable is unset, empty or not
// absolute, $XDG_STATE_HOME/vellumark/run, by default
// ~/.local/state/vellumark/run. Throws when there is no home directory.
std::string PrivateDirectoryPath();

// Creates the directory when missing (and, in a home, its missing parents,
// 0700 each), checks it and opens it. A directory that is not ours alone
// throws PrivateDirectoryRefused.
UniqueFd OpenPrivateDirectory();

// The file name that stands for the object called `name`: bytes a file name
// cannot hold are escaped so that different names never share a file, and a
// name too long for the file system is shortened with a hash of all of it.
std::string ObjectFileName(std::string_view name, std::string_view suffix);

// Opens or creates a file in the private directory (no links followed, not
// inherited across exec, mode 0600) and refuses anything but a regular file
// that belongs to us alone and has no other name (EMLINK).
UniqueFd OpenPrivateFile(int directory, const std::string& fileName);

// An exclusive flock on a file of the private directory. Each lock opens the
// file anew, so that two threads of one process exclude each other too; the
// kernel drops the lock when its owner dies.
class PrivateFileLock {
public:
    // flock has no timeout, so this polls; ETIMEDOUT once `wait` has passed.
    static PrivateFileLock Acquire(int directory, const std::string& fileName, std::chrono::milliseconds wait);
    // Empty when someone else holds the lock.
    static std::optional<PrivateFileLock> TryAcquire(int directory, const std::string& fileName);

private:
    explicit PrivateFileLock(UniqueFd fd) noexcept : fd_(std::move(fd)) {}
    UniqueFd fd_;
};

}  // namespace platform
