#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string_view>

#include "platform/base/unique_fd.h"

namespace platform {

// One mapping of part of a shared region; unmapped when it goes.
class MappedMemory {
public:
    MappedMemory() noexcept = default;
    MappedMemory(void* base, std::size_t length) noexcept : base_(base), length_(length) {}
    MappedMemory(MappedMemory&& other) noexcept;
    MappedMemory& operator=(MappedMemory&& other) noexcept;
    MappedMemory(const MappedMemory&) = delete;
    MappedMemory& operator=(const MappedMemory&) = delete;
    ~MappedMemory() { Reset(); }

    void* Data() const noexcept { return base_; }
    std::size_t Size() const noexcept { return length_; }
    void Reset() noexcept;
    // Gives up the mapping without unmapping it: for memory that must stay
    // mapped for as long as the process lives.
    void Abandon() noexcept;

private:
    void* base_ = nullptr;
    std::size_t length_ = 0;
};

// Named memory shared by the processes of this user: a file <name>.shm in the
// private directory. Whether anyone else has it open comes from flock, which
// the kernel drops when a process dies, so a region whose every user is gone
// (kill -9 included) is new again for the next opener, and zero-filled. Its
// blocks are allocated before anyone maps it, so that a full file system is
// an error here rather than SIGBUS at the first store.
// Failures throw std::system_error carrying the errno value.
class SharedRegion {
public:
    static constexpr std::chrono::milliseconds kDefaultOpenWait{5000};

    // Sets up a new region's zero-filled memory before any other process can
    // see it; it may throw, and then the region is not opened.
    using Initializer = std::function<void(void* memory, std::size_t size)>;

    // Creates the region or opens the existing one; a region found smaller
    // than `size` is grown to it. `openWait` bounds the wait for other openers.
    SharedRegion(std::string_view name, std::uint64_t size, std::chrono::milliseconds openWait = kDefaultOpenWait,
                 const Initializer& initialize = {});

    bool AlreadyExisted() const noexcept { return existed_; }

    // Which file the region is, as the kernel knows it: the same for every
    // opener of the same region, different for any other region.
    std::uint64_t Device() const noexcept { return device_; }
    std::uint64_t Inode() const noexcept { return inode_; }

    // The region's size now: another process may have changed it.
    std::uint64_t CurrentSize() const;

    // Maps `length` bytes at `offset` (a multiple of Granularity()); a length
    // of 0 maps the rest of the region. Refuses anything past the region's end.
    MappedMemory Map(std::uint64_t offset, std::uint64_t length, bool writable) const;

    // The alignment of a mapping offset.
    static std::uint64_t Granularity() noexcept;

private:
    UniqueFd fd_;
    bool existed_ = false;
    std::uint64_t device_ = 0;
    std::uint64_t inode_ = 0;
};

}  // namespace platform
