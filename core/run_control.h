#pragma once

#include <atomic>
#include <cstdint>

#include "platform/base/exception.h"

// What a run of the Generate command shares with whoever waits for it: how
// far it has come and a request to stop. Any thread may use it at any time.
class RunControl {
public:
    void Cancel() noexcept { cancelled_.store(true, std::memory_order_relaxed); }
    bool Cancelled() const noexcept { return cancelled_.load(std::memory_order_relaxed); }

    // Bytes worked through so far, of the total the run expects (0 while it
    // is not known, as for a pipe).
    std::uint64_t Done() const noexcept { return done_.load(std::memory_order_relaxed); }
    std::uint64_t Total() const noexcept { return total_.load(std::memory_order_relaxed); }
    void SetTotal(std::uint64_t total) noexcept { total_.store(total, std::memory_order_relaxed); }
    void AddDone(std::uint64_t bytes) noexcept { done_.fetch_add(bytes, std::memory_order_relaxed); }

private:
    std::atomic<bool> cancelled_{false};
    std::atomic<std::uint64_t> done_{0};
    std::atomic<std::uint64_t> total_{0};
};

// A run stopped at its owner's request. It is no failure: nobody shows it.
class ERunCancelled : public Exception {
public:
    ERunCancelled() : Exception("Cancelled") {}
    const char* ClassName() const noexcept override { return "ERunCancelled"; }
};
