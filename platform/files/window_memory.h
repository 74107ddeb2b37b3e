#pragma once

#include <cstddef>
#include <memory>

namespace platform {

// Memory that files are read into, a window at a time: owned, released on
// destruction, not zeroed. Windows of 1 MiB and more get whole 2 MiB pages
// where the system gives transparent huge pages on request: on the virtual
// machine this was measured on, each first touch of a 4 KiB page cost some
// 12 us (a ring of eight 1 MiB windows 24 ms, against 0.3 to 0.9 ms in huge
// pages), and reads through them ran slower after that too. A window so
// large is rounded up to whole huge pages, as the system would map them
// anyway. Throws ENoMemoryError when there is no memory for it.
class WindowMemory {
public:
    WindowMemory() noexcept = default;
    explicit WindowMemory(std::size_t size);

    unsigned char* get() const noexcept { return mapped_ ? mapped_.get() : allocated_.get(); }
    // Releases the memory; get() is null afterwards.
    void reset() noexcept
    {
        mapped_.reset();
        allocated_.reset();
    }

private:
    struct Unmap {
        std::size_t length;
        void operator()(unsigned char* bytes) const noexcept;
    };
    // One of the two holds the memory: a mapping of huge pages, or new[]'s.
    std::unique_ptr<unsigned char, Unmap> mapped_;
    std::unique_ptr<unsigned char[]> allocated_;
};

}  // namespace platform
