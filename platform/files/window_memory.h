#pragma once

#include <cstddef>

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
    ~WindowMemory() { reset(); }
    WindowMemory(WindowMemory&& other) noexcept;
    WindowMemory& operator=(WindowMemory&& other) noexcept;
    WindowMemory(const WindowMemory&) = delete;
    WindowMemory& operator=(const WindowMemory&) = delete;

    unsigned char* get() const noexcept { return bytes_; }
    // Releases the memory; get() is null afterwards.
    void reset() noexcept;

private:
    unsigned char* bytes_ = nullptr;
    std::size_t mapped_ = 0;  // the mapping's length; 0 for memory from new[]
};

}  // namespace platform
