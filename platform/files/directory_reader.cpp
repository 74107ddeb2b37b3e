#include "platform/files/directory_reader.h"

#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstring>

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

namespace {

// As much as readdir asks for at a time.
constexpr std::size_t kBufferSize = 32 * 1024;

}  // namespace

DirectoryReader::DirectoryReader(int borrowed) : borrowed_(borrowed), buffer_(new char[kBufferSize]) {}

DirectoryReader DirectoryReader::Borrowing(int fd)
{
    return DirectoryReader(fd);
}

std::optional<DirectoryReader::Entry> DirectoryReader::NextBorrowed()
{
    if (at_ == filled_) {
        const ssize_t got = RetryOnInterrupt([&] { return ::getdents64(borrowed_, buffer_.get(), kBufferSize); });
        if (got <= 0) {
            error_ = got < 0 ? errno : 0;
            return std::nullopt;
        }
        filled_ = static_cast<std::size_t>(got);
        at_ = 0;
    }
    dirent64 entry {};
    // Records are aligned for their 64-bit fields, but copied all the same:
    // the buffer is only a char array.
    std::memcpy(&entry, buffer_.get() + at_, offsetof(dirent64, d_name));
    const char* name = buffer_.get() + at_ + offsetof(dirent64, d_name);
    at_ += entry.d_reclen;
    return Entry{std::string_view(name), entry.d_type};
}

std::optional<DirectoryReader::Entry> DirectoryReader::Next()
{
    for (;;) {
        std::string_view name;
        unsigned char type = DT_UNKNOWN;
        if (!dir_) {
            const std::optional<Entry> entry = NextBorrowed();
            if (!entry)
                return std::nullopt;
            name = entry->name;
            type = entry->type;
        } else {
            errno = 0;
            const dirent* entry = ::readdir(dir_.get());
            if (entry == nullptr) {
                error_ = errno;
                return std::nullopt;
            }
            name = entry->d_name;
            type = entry->d_type;
        }
        if (name == "." || name == "..")
            continue;
        return Entry{name, type};
    }
}

}  // namespace platform
