#include "platform/ipc/shared_region.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <limits>
#include <string>
#include <system_error>
#include <utility>

#include "platform/base/retry.h"
#include "platform/ipc/private_dir.h"

namespace platform {
namespace {

[[noreturn]] void Fail(int error, const char* what)
{
    throw std::system_error(error, std::generic_category(), what);
}

int Flock(int fd, int operation)
{
    return RetryOnInterrupt([&] { return ::flock(fd, operation); });
}

void Truncate(int fd, std::uint64_t size)
{
    if (RetryOnInterrupt([&] { return ::ftruncate(fd, static_cast<off_t>(size)); }) != 0)
        Fail(errno, "cannot size a shared region");
}

// Makes the file `size` bytes long with every block allocated: a store into
// a hole that the file system cannot fill is SIGBUS, not an error. Bytes
// before `oldSize` may be in use by other processes and are never written.
void AllocateBlocks(int fd, std::uint64_t oldSize, std::uint64_t size)
{
    // Mode 0 allocates without touching data already there. (Not
    // posix_fallocate: where the file system lacks the call, its fallback
    // writes over bytes that others may be using.)
    if (RetryOnInterrupt([&] { return ::fallocate(fd, 0, 0, static_cast<off_t>(size)); }) == 0)
        return;
    if (errno != EOPNOTSUPP)
        Fail(errno, "cannot allocate a shared region");
    // Nobody maps past the old end yet: zeros written there allocate it.
    static constexpr char kZeros[4096] = {};
    for (std::uint64_t at = oldSize; at < size;) {
        const std::size_t chunk = static_cast<std::size_t>(std::min<std::uint64_t>(sizeof kZeros, size - at));
        const ssize_t written = RetryOnInterrupt([&] { return ::pwrite(fd, kZeros, chunk, static_cast<off_t>(at)); });
        if (written <= 0)
            Fail(written < 0 ? errno : ENOSPC, "cannot allocate a shared region");
        at += static_cast<std::uint64_t>(written);
    }
}

void RunInitializer(int fd, std::uint64_t size, const SharedRegion::Initializer& initialize)
{
    void* memory = ::mmap(nullptr, static_cast<std::size_t>(size), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    if (memory == MAP_FAILED)
        Fail(errno, "cannot map a shared region");
    const MappedMemory mapped(memory, static_cast<std::size_t>(size));
    initialize(memory, static_cast<std::size_t>(size));
}

}  // namespace

MappedMemory::MappedMemory(MappedMemory&& other) noexcept
    : base_(std::exchange(other.base_, nullptr)), length_(std::exchange(other.length_, 0))
{}

MappedMemory& MappedMemory::operator=(MappedMemory&& other) noexcept
{
    if (this != &other) {
        Reset();
        base_ = std::exchange(other.base_, nullptr);
        length_ = std::exchange(other.length_, 0);
    }
    return *this;
}

void MappedMemory::Abandon() noexcept
{
    base_ = nullptr;
    length_ = 0;
}

void MappedMemory::Reset() noexcept
{
    if (base_ != nullptr)
        ::munmap(base_, length_);
    base_ = nullptr;
    length_ = 0;
}

SharedRegion::SharedRegion(std::string_view name, std::uint64_t size, std::chrono::milliseconds openWait,
                           const Initializer& initialize)
{
    if (size == 0)
        Fail(EINVAL, "a shared region needs a size");
    if (size > static_cast<std::uint64_t>(std::numeric_limits<off_t>::max()) ||
        size > std::numeric_limits<std::size_t>::max())
        Fail(EFBIG, "shared region too large");

    const UniqueFd directory = OpenPrivateDirectory();
    // Openers take turns, so "new" is decided, sized and downgraded by one of
    // them at a time; the lock goes with `init` at the end of this scope.
    const PrivateFileLock init = PrivateFileLock::Acquire(directory.Get(), ObjectFileName(name, ".init"), openWait);
    UniqueFd fd = OpenPrivateFile(directory.Get(), ObjectFileName(name, ".shm"));

    if (Flock(fd.Get(), LOCK_EX | LOCK_NB) == 0) {
        // Nobody alive has it: whatever a dead user left is discarded.
        existed_ = false;
        Truncate(fd.Get(), 0);
        AllocateBlocks(fd.Get(), 0, size);
        if (initialize)
            RunInitializer(fd.Get(), size, initialize);
        if (Flock(fd.Get(), LOCK_SH) != 0)
            Fail(errno, "cannot share a shared region");
    } else {
        if (errno != EWOULDBLOCK)
            Fail(errno, "cannot lock a shared region");
        existed_ = true;
        // Others hold it shared and no opener holds it exclusively now.
        if (Flock(fd.Get(), LOCK_SH | LOCK_NB) != 0)
            Fail(errno, "cannot share a shared region");
        struct stat st {};
        if (::fstat(fd.Get(), &st) != 0)
            Fail(errno, "cannot inspect a shared region");
        AllocateBlocks(fd.Get(), std::min(static_cast<std::uint64_t>(st.st_size), size), size);
    }
    struct stat st {};
    if (::fstat(fd.Get(), &st) != 0)
        Fail(errno, "cannot inspect a shared region");
    device_ = static_cast<std::uint64_t>(st.st_dev);
    inode_ = static_cast<std::uint64_t>(st.st_ino);
    fd_ = std::move(fd);
}

std::uint64_t SharedRegion::CurrentSize() const
{
    struct stat st {};
    if (::fstat(fd_.Get(), &st) != 0)
        Fail(errno, "cannot inspect a shared region");
    return static_cast<std::uint64_t>(st.st_size);
}

MappedMemory SharedRegion::Map(std::uint64_t offset, std::uint64_t length, bool writable) const
{
    if (offset % Granularity() != 0)
        Fail(EINVAL, "misaligned view offset");
    // Never trust a size recorded earlier: map only what the file holds now.
    const std::uint64_t size = CurrentSize();
    if (offset >= size)
        Fail(EINVAL, "view offset past the end of the region");
    if (length == 0)
        length = size - offset;
    if (length > size - offset)
        Fail(EINVAL, "view past the end of the region");
    if (length > std::numeric_limits<std::size_t>::max())
        Fail(ENOMEM, "view too large");
    const int protection = writable ? PROT_READ | PROT_WRITE : PROT_READ;
    void* base = ::mmap(nullptr, static_cast<std::size_t>(length), protection, MAP_SHARED, fd_.Get(),
                        static_cast<off_t>(offset));
    if (base == MAP_FAILED)
        Fail(errno, "cannot map a shared region");
    return MappedMemory(base, static_cast<std::size_t>(length));
}

std::uint64_t SharedRegion::Granularity() noexcept
{
    static const std::uint64_t page = [] {
        const long size = ::sysconf(_SC_PAGESIZE);
        return size > 0 ? static_cast<std::uint64_t>(size) : 4096u;
    }();
    return page;
}

}  // namespace platform
