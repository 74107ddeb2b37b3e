#pragma once

#include <pthread.h>

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "instances/file_mapping.h"
#include "instances/sync_event.h"
#include "instances/system_error.h"
#include "platform/ipc/robust_mutex.h"

// The lock state every user of one lock shares (16 bytes, little-endian).
// It publishes who holds the lock; what decides is TOptexRobustState. The
// holder keeps it true while it holds the lock; whoever recovers the lock
// from a dead holder, or finds a dead waiter's count, repairs it. Holders is
// stored, not added to: each writer (the holder, or a waiter coming or going
// under the guard) stores the depth plus TOptexRobustState::Waiting as it
// sees them, so that taking and letting go of a lock nobody waits for cost
// no read-modify-write beyond the mutex's own. While a waiter comes or goes
// it can be off for a moment; it is never below 0, and the next holder puts
// it right.
struct alignas(8) TOptexState {
    std::int32_t SpinLimit;     // attempts a non-blocking try makes
    std::int32_t Holders;       // holder's depth + threads waiting; 0 = free
    std::uint32_t OwnerThread;  // holder's thread id; 0 = none
    std::int32_t Depth;         // holder's acquisitions not yet released
};
static_assert(sizeof(TOptexState) == 16);
static_assert(offsetof(TOptexState, Holders) == 4 && offsetof(TOptexState, OwnerThread) == 8 &&
              offsetof(TOptexState, Depth) == 12);

// What decides who holds the lock: robust mutexes, whose owner's death the
// kernel reports to the next taker, also when the owner died halfway through
// taking or letting go. Shared like TOptexState, in a region of its own.
struct TOptexRobustState {
    static constexpr std::uint32_t kMagic = 0x584F4D56;  // "VMOX"
    static constexpr std::uint32_t kVersion = 2;
    static constexpr int kWaiterSlots = 64;

    // One waiter: it holds the slot's mutex for as long as it waits, so a
    // waiter that dies is seen as dead; Counted (1) says that its count is
    // in Waiting. A waiter that finds no free slot waits uncounted.
    struct WaiterSlot {
        pthread_mutex_t Mutex;
        std::uint32_t Counted;
        std::uint32_t Reserved;
    };

    std::uint32_t Magic;
    std::uint32_t Version;
    std::uint32_t Size;       // sizeof(TOptexRobustState)
    std::uint32_t SlotsUsed;  // no slot at or past this was ever taken; changed under Guard
    // The waiters counted in: changed under Guard, or by a waiter that has
    // just taken the lock (its count becomes the holder's); rebuilt from the
    // slots by a recount.
    std::int32_t Waiting;
    std::uint32_t Reserved;
    pthread_mutex_t Owner;    // held by the lock's holder, across its recursion
    pthread_mutex_t Guard;    // held while a waiter takes or leaves a slot, and while the count is rebuilt
    WaiterSlot Slots[kWaiterSlots];
};

// The lock state cannot be created, or is damaged: it holds what no user of
// the lock can have left there.
class EOptexStateError : public ESystemError {
public:
    explicit EOptexStateError(std::uint32_t errorCode) : ESystemError("Failed to create optex state", errorCode) {}
    EOptexStateError(const std::string& text, std::uint32_t errorCode) : ESystemError(text, errorCode) {}
    const char* ClassName() const noexcept override { return "EOptexStateError"; }
};

// The holder kept the lock past the waiter's limit.
class EOptexTimeoutError : public ESystemError {
public:
    EOptexTimeoutError();
    const char* ClassName() const noexcept override { return "EOptexTimeoutError"; }
};

#ifdef VELLUMARK_OPTEX_STEPS
// Test builds only: called at every step of taking, keeping and letting go
// of a lock, with whether this thread then holds it. Defined by the test
// program that stops or ends itself at a chosen step.
void OptexStep(const char* step, bool holding);
#endif

struct TOptexHeld;

// A re-entrant lock that spins a bounded number of times before it sleeps.
// Named, it is shared by every process of this user that creates it with the
// same name; unnamed, by the threads of this process.
//
// Ownership is a robust mutex's: a holder or a waiter that dies at any
// instruction never leaves the lock unusable, and a living holder is never
// robbed. Each thread keeps its own depth for each lock it holds; the shared
// TOptexState is kept true from that. Waits end after the wait limit with
// EOptexTimeoutError; a state that no user of the lock can have left (another
// process wrote nonsense into it) is repaired and reported with
// EOptexStateError. The event is created for its name and AlreadyExisted;
// waiters sleep in the robust mutex, which the kernel wakes also when its
// holder dies.
class TOptex {
public:
    static constexpr int kDefaultSpinLimit = 4000;
    static constexpr std::chrono::milliseconds kDefaultWaitLimit{10000};

    // A negative spin limit means kDefaultSpinLimit. Raises EEventError or
    // EOptexStateError.
    TOptex(const std::string& name, int spinLimit);
    TOptex(const TOptex&) = delete;
    TOptex& operator=(const TOptex&) = delete;
    ~TOptex();

    // Raises EOptexTimeoutError after the wait limit and EOptexStateError for
    // a damaged state; the lock is then not held.
    void Acquire();
    // False also for a damaged state.
    bool TryAcquire() noexcept;
    void Release() noexcept;

    bool IsLocalOnly() const noexcept { return name_.empty(); }
    bool AlreadyExisted() const noexcept { return alreadyExisted_; }
    const std::string& Name() const noexcept { return name_; }

    // The longest that one Acquire waits.
    void SetWaitLimit(std::chrono::milliseconds limit) noexcept { waitLimitMs_ = limit.count(); }

    // The shared state as it is now, for diagnostics.
    TOptexState Snapshot() const noexcept;

private:
    struct Memory;
    enum class Outcome { Taken, Busy, Damaged, NoRoom };

    void AcquireAnyway(platform::RobustMutex::Status status, bool tried = true);
    void ReleaseAnyway() noexcept;
    void Claim();
    TOptexHeld* FindHeld() const noexcept;
    std::uint64_t OwnerAndDepth() const noexcept;
    Outcome Reenter(TOptexHeld& held) noexcept;
    Outcome TryTake() noexcept;
    Outcome Spin() noexcept;
    Outcome Take(platform::RobustMutex::Status status) noexcept;
    TOptexHeld& Hold() noexcept;
    Outcome TakeFromTheDead() noexcept;
    Outcome TakeRepairing(TOptexHeld& held, bool released) noexcept;
    std::int32_t Waiters() const noexcept;
    void PublishCount(std::int32_t depth, std::int32_t waiters) noexcept;
    void Wait();
    bool Recount(std::int32_t holderDepth) noexcept;
    void LetGo(TOptexHeld& held) noexcept;
    void ForceRelease(TOptexHeld& held) noexcept;
    void Publish(std::uint32_t owner, std::int32_t depth) noexcept;
    [[noreturn]] static void Raise(Outcome outcome);
    static void KeptForever(std::unique_ptr<Memory> memory) noexcept;

    TSyncEvent event_;
    bool alreadyExisted_ = false;
    std::unique_ptr<TSwapFileMapping> stateMapping_;
    std::unique_ptr<Memory> memory_;
    std::string name_;
    TOptexState* state_ = nullptr;
    TOptexRobustState* robust_ = nullptr;
    bool shared_ = false;
    platform::RobustMutex owner_{};
    // Which lock this is within the process, for every TOptex of the name.
    std::uint64_t key_ = 0;
    std::atomic<std::int64_t> waitLimitMs_{kDefaultWaitLimit.count()};
};
