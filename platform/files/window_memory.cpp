#include "platform/files/window_memory.h"

#include <cstdint>
#include <new>

#include <sys/mman.h>

#include "platform/base/sanitizers.h"
#include "platform/files/file_reader.h"

namespace platform {
namespace {

constexpr std::size_t kHugePage = std::size_t{2} << 20;
constexpr std::size_t kHugeFrom = std::size_t{1} << 20;

}  // namespace

WindowMemory::WindowMemory(std::size_t size)
{
    // Under AddressSanitizer every window comes from new[], whose bounds it
    // checks; a mapping's it cannot.
#if !defined(VELLUMARK_ASAN)
    if (size >= kHugeFrom) {
        if (size > SIZE_MAX - 2 * kHugePage)
            throw ENoMemoryError();
        const std::size_t length = (size + kHugePage - 1) / kHugePage * kHugePage;
        // One huge page more than needed, so that an aligned run of them lies
        // within; what lies before and after it is given back.
        void* const mapping =
            mmap(nullptr, length + kHugePage, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (mapping == MAP_FAILED)
            throw ENoMemoryError();
        const auto start = reinterpret_cast<std::uintptr_t>(mapping);
        const std::uintptr_t aligned = (start + kHugePage - 1) & ~std::uintptr_t{kHugePage - 1};
        if (aligned > start)
            munmap(mapping, aligned - start);
        munmap(reinterpret_cast<void*>(aligned + length), start + kHugePage - aligned);
        mapped_ = {reinterpret_cast<unsigned char*>(aligned), Unmap{length}};
        // Only advice: without huge pages the window works in small ones.
        madvise(mapped_.get(), length, MADV_HUGEPAGE);
        return;
    }
#endif
    allocated_.reset(new (std::nothrow) unsigned char[size == 0 ? 1 : size]);
    if (!allocated_)
        throw ENoMemoryError();
}

void WindowMemory::Unmap::operator()(unsigned char* bytes) const noexcept
{
    munmap(bytes, length);
}

}  // namespace platform
