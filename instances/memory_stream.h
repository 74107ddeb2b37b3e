#pragma once

#include <cstdint>

enum class TSeekOrigin { soBeginning, soCurrent, soEnd };

// A stream over a block of memory that someone else owns: it reads and writes
// inside the block and never grows it. Only ever a part of a stream that
// supplies the block (TFileMappingView), never destroyed on its own.
class TCustomMemoryStream {
public:
    TCustomMemoryStream(const TCustomMemoryStream&) = delete;
    TCustomMemoryStream& operator=(const TCustomMemoryStream&) = delete;

    void* Memory() const noexcept { return memory_; }
    std::int64_t Size() const noexcept { return size_; }
    std::int64_t Position() const noexcept { return position_; }
    void SetPosition(std::int64_t position) noexcept { Seek(position, TSeekOrigin::soBeginning); }

    // The new position; a target before the start leaves the position alone
    // and gives -1. Positions past the end are allowed and read nothing.
    std::int64_t Seek(std::int64_t offset, TSeekOrigin origin) noexcept;

    // Both give the number of bytes moved: at most what lies between the
    // position and the end; nothing is written to read-only memory.
    std::int64_t Read(void* buffer, std::int64_t count) noexcept;
    std::int64_t Write(const void* buffer, std::int64_t count) noexcept;

protected:
    TCustomMemoryStream() = default;
    ~TCustomMemoryStream() = default;
    void SetPointer(void* memory, std::int64_t size, bool writable) noexcept;

private:
    std::int64_t Available(std::int64_t count) const noexcept;

    void* memory_ = nullptr;
    std::int64_t size_ = 0;
    std::int64_t position_ = 0;
    bool writable_ = false;
};
