#pragma once

#include <atomic>
#include <cassert>
#include <cstdint>
#include <type_traits>

namespace platform {

// Atomic operations on a 32-bit word that other processes may share: the word
// lives in shared memory, so it must never fall back to a lock of this process.
template <class T>
class BasicSharedWord {
    static_assert(sizeof(T) == 4 && std::is_integral_v<T>);
    static_assert(std::atomic_ref<T>::is_always_lock_free, "a shared word must be lock-free");

public:
    explicit BasicSharedWord(T& word) noexcept : ref_(word)
    {
        assert(reinterpret_cast<std::uintptr_t>(&word) % std::atomic_ref<T>::required_alignment == 0);
    }

    // Increment and Decrement give the new value, Exchange and
    // CompareExchange the old one.
    // Values from another process may be anything: the arithmetic wraps
    // instead of overflowing.
    T Increment() const noexcept { return Wrap(ref_.fetch_add(1), 1); }
    T Decrement() const noexcept { return Wrap(ref_.fetch_sub(1), Unsigned(-1)); }
    T Subtract(T amount) const noexcept { return Wrap(ref_.fetch_sub(amount), Unsigned(0) - Unsigned(amount)); }
    T Exchange(T value) const noexcept { return ref_.exchange(value); }
    T CompareExchange(T expected, T desired) const noexcept
    {
        ref_.compare_exchange_strong(expected, desired);
        return expected;
    }

    T Load(std::memory_order order = std::memory_order_seq_cst) const noexcept { return ref_.load(order); }
    void Store(T value, std::memory_order order = std::memory_order_seq_cst) const noexcept
    {
        ref_.store(value, order);
    }

private:
    using Unsigned = std::make_unsigned_t<T>;
    static T Wrap(T old, Unsigned delta) noexcept { return static_cast<T>(static_cast<Unsigned>(old) + delta); }

    std::atomic_ref<T> ref_;
};

using SharedWord = BasicSharedWord<std::int32_t>;
using SharedUWord = BasicSharedWord<std::uint32_t>;

}  // namespace platform
