#include "platform/files/directory_reader.h"

#include <unistd.h>

#include <cerrno>

#include "platform/base/retry.h"

namespace platform {

std::optional<DirectoryReader> DirectoryReader::Open(int at, const std::string& name, bool followLink)
{
    const int flags = O_RDONLY | O_DIRECTORY | O_CLOEXEC | (followLink ? 0 : O_NOFOLLOW);
    const int fd = RetryOnInterrupt([&] { return ::openat(at, name.c_str(), flags); });
    if (fd < 0)
        return std::nullopt;
    DIR* dir = ::fdopendir(fd);
    if (dir == nullptr) {
        const int error = errno;
        ::close(fd);
        errno = error;
        return std::nullopt;
    }
    return DirectoryReader(dir);
}

std::optional<DirectoryReader::Entry> DirectoryReader::Next()
{
    for (;;) {
        errno = 0;
        const dirent* entry = ::readdir(dir_.get());
        if (entry == nullptr) {
            error_ = errno;
            return std::nullopt;
        }
        const std::string_view name(entry->d_name);
        if (name == "." || name == "..")
            continue;
        return Entry{name, entry->d_type};
    }
}

}  // namespace platform
