#include "platform/files/window_memory.h"

#include <cstdint>
#include <new>
#include <utility>

#include <sys/mman.h>

#include "platform/files/file_reader.h"

namespace platform {
namespace {

constexpr std::size_t kHugePage = std::size_t{2} << 20;
constexpr std::size_t kHugeFrom = std::size_t{1} << 20;

#if defined(__SANITIZE_ADDRESS__)
constexpr bool kCheckedBounds = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
constexpr bool kCheckedBounds = true;
#else
constexpr bool kCheckedBounds = false;
#endif
#else
constexpr bool kCheckedBounds = false;
#endif

}  // namespace

WindowMemory::WindowMemory(std::size_t size)
{
    // Under AddressSanitizer every window comes from new[], whose bounds it
    // checks; a mapping's it cannot.
    if (kCheckedBounds || size < kHugeFrom) {
        bytes_ = new (std::nothrow) unsigned char[size == 0 ? 1 : size];
        if (bytes_ == nullptr)
            throw ENoMemoryError();
        return;
    }
    if (size > SIZE_MAX - 2 * kHugePage)
        throw ENoMemoryError();
    const std::size_t length = (size + kHugePage - 1) / kHugePage * kHugePage;
    // One huge page more than needed, so that an aligned run of them lies
    // within; what lies before and after it is given back.
    void* const mapping = mmap(nullptr, length + kHugePage, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (mapping == MAP_FAILED)
        throw ENoMemoryError();
    const auto start = reinterpret_cast<std::uintptr_t>(mapping);
    const std::uintptr_t aligned = (start + kHugePage - 1) & ~std::uintptr_t{kHugePage - 1};
    if (aligned > start)
        munmap(mapping, aligned - start);
    if (const std::size_t after = start + kHugePage - aligned; after > 0)
        munmap(reinterpret_cast<void*>(aligned + length), after);
    bytes_ = reinterpret_cast<unsigned char*>(aligned);
    mapped_ = length;
    // Only advice: without huge pages the window works in small ones.
    madvise(bytes_, length, MADV_HUGEPAGE);
}

WindowMemory::WindowMemory(WindowMemory&& other) noexcept
    : bytes_(std::exchange(other.bytes_, nullptr)), mapped_(std::exchange(other.mapped_, 0))
{}

WindowMemory& WindowMemory::operator=(WindowMemory&& other) noexcept
{
    if (this != &other) {
        reset();
        bytes_ = std::exchange(other.bytes_, nullptr);
        mapped_ = std::exchange(other.mapped_, 0);
    }
    return *this;
}

void WindowMemory::reset() noexcept
{
    if (bytes_ == nullptr)
        return;
    if (mapped_ > 0)
        munmap(bytes_, mapped_);
    else
        delete[] bytes_;
    bytes_ = nullptr;
    mapped_ = 0;
}

}  // namespace platform
