#include "instances/memory_stream.h"

#include <cstring>

std::int64_t TCustomMemoryStream::Seek(std::int64_t offset, TSeekOrigin origin) noexcept
{
    std::int64_t base = 0;
    if (origin == TSeekOrigin::soCurrent)
        base = position_;
    else if (origin == TSeekOrigin::soEnd)
        base = size_;
    std::int64_t target;
    if (__builtin_add_overflow(base, offset, &target) || target < 0)
        return -1;
    position_ = target;
    return position_;
}

std::int64_t TCustomMemoryStream::Available(std::int64_t count) const noexcept
{
    if (count <= 0 || position_ >= size_)
        return 0;
    return count < size_ - position_ ? count : size_ - position_;
}

std::int64_t TCustomMemoryStream::Read(void* buffer, std::int64_t count) noexcept
{
    const std::int64_t n = Available(count);
    if (n > 0) {
        std::memcpy(buffer, static_cast<const char*>(memory_) + position_, static_cast<std::size_t>(n));
        position_ += n;
    }
    return n;
}

std::int64_t TCustomMemoryStream::Write(const void* buffer, std::int64_t count) noexcept
{
    const std::int64_t n = writable_ ? Available(count) : 0;
    if (n > 0) {
        std::memcpy(static_cast<char*>(memory_) + position_, buffer, static_cast<std::size_t>(n));
        position_ += n;
    }
    return n;
}

void TCustomMemoryStream::SetPointer(void* memory, std::int64_t size, bool writable) noexcept
{
    memory_ = memory;
    size_ = size;
    writable_ = writable;
    position_ = 0;
}
