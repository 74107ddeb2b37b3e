#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string_view>

#include "platform/ipc/shared_region.h"

namespace platform {

// An event on one 32-bit word (1 = signalled) that threads sleep on with a
// futex. A named event keeps its word in a shared region of its own, so every
// process of this user that opens the name shares it; an unnamed one is
// private to this process.
class SharedEvent {
public:
    enum class WaitStatus { Signalled, TimedOut, Failed };

    // Throws std::system_error when a named event's region cannot be had.
    SharedEvent(std::string_view name, bool manualReset, bool initiallySignalled);
    SharedEvent(bool manualReset, bool initiallySignalled);
    SharedEvent(const SharedEvent&) = delete;
    SharedEvent& operator=(const SharedEvent&) = delete;

    bool AlreadyExisted() const noexcept { return existed_; }

    // Auto-reset: wakes one waiter, or stays signalled until one wait takes it.
    // Manual reset: wakes every waiter and stays signalled until Reset.
    void Set() noexcept;
    void Reset() noexcept;

    // No timeout waits for ever. On Failed, *error (if given) gets the errno.
    WaitStatus Wait(std::optional<std::chrono::milliseconds> timeout, int* error = nullptr) noexcept;

private:
    std::optional<SharedRegion> region_;
    MappedMemory view_;
    std::unique_ptr<std::int32_t> local_;
    std::int32_t* word_ = nullptr;
    bool manualReset_ = false;
    bool existed_ = false;
};

}  // namespace platform
