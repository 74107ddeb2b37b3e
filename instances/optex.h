#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "instances/file_mapping.h"
#include "instances/sync_event.h"
#include "instances/system_error.h"
#include "platform/process/thread_identity.h"

// The lock state every user of one lock shares (16 bytes, little-endian).
struct TOptexState {
    std::int32_t SpinLimit;     // attempts a non-blocking try makes
    std::int32_t Holders;       // holder's depth + threads waiting or trying; 0 = free
    std::uint32_t OwnerThread;  // holder's thread id; 0 = none
    std::int32_t Depth;         // holder's acquisitions not yet released
};
static_assert(sizeof(TOptexState) == 16);
static_assert(offsetof(TOptexState, Holders) == 4 && offsetof(TOptexState, OwnerThread) == 8 &&
              offsetof(TOptexState, Depth) == 12);

// Who holds the lock, in more detail than a thread id, so that a waiter can
// tell a holder that died from a live one, also once the id has been reused.
// The holder writes it before it publishes OwnerThread.
struct TOptexOwnerRecord {
    std::uint32_t Sequence;  // odd while the holder rewrites the record
    std::int32_t Pid;
    std::int32_t Tid;
    std::uint32_t Reserved;
    std::uint64_t StartTime;
    std::uint64_t PidNamespace;
};
static_assert(sizeof(TOptexOwnerRecord) == 32);

// The lock state cannot be created or mapped.
class EOptexStateError : public ESystemError {
public:
    explicit EOptexStateError(std::uint32_t errorCode) : ESystemError("Failed to create optex state", errorCode) {}
    const char* ClassName() const noexcept override { return "EOptexStateError"; }
};

// One holder kept the lock longer than the waiter's limit.
class EOptexTimeoutError : public ESystemError {
public:
    EOptexTimeoutError();
    const char* ClassName() const noexcept override { return "EOptexTimeoutError"; }
};

// A re-entrant lock that spins a bounded number of times before it sleeps on
// an event. Named, it is shared by every process of this user that creates
// it with the same name; unnamed, by the threads of this process.
//
// A waiter sleeps in slices. After a slice it checks whether the recorded
// holder still lives and takes over the lock of a dead one; a live holder
// that keeps the lock past the wait limit ends the wait with
// EOptexTimeoutError.
class TOptex {
public:
    static constexpr int kDefaultSpinLimit = 4000;
    static constexpr std::chrono::milliseconds kDefaultWaitLimit{10000};
    static constexpr std::uint32_t kWaitSliceMs = 50;

    // A negative spin limit means kDefaultSpinLimit. Raises EEventError or
    // EOptexStateError.
    TOptex(const std::string& name, int spinLimit);
    TOptex(const TOptex&) = delete;
    TOptex& operator=(const TOptex&) = delete;
    ~TOptex();

    void Acquire();
    bool TryAcquire() noexcept;
    void Release() noexcept;

    bool IsLocalOnly() const noexcept { return name_.empty(); }
    bool AlreadyExisted() const noexcept { return alreadyExisted_; }
    const std::string& Name() const noexcept { return name_; }

    // How long Acquire waits behind one unchanged live holder.
    void SetWaitLimit(std::chrono::milliseconds limit) noexcept { waitLimitMs_ = limit.count(); }

    // The shared state as it is now, for diagnostics.
    TOptexState Snapshot() const noexcept;

private:
    struct LocalState;

    bool TryFirst(const platform::ThreadIdentity& me) noexcept;
    bool KeepTrying(const platform::ThreadIdentity& me) noexcept;
    bool Reenter(const platform::ThreadIdentity& me) noexcept;
    void AddDepth() noexcept;
    bool IsOwner(const platform::ThreadIdentity& me) const noexcept;
    void BecomeOwner(const platform::ThreadIdentity& me) noexcept;
    void WaitForHandOff(const platform::ThreadIdentity& me);
    bool LeaveWaiters(const platform::ThreadIdentity& me) noexcept;
    void ClaimHandOff(const platform::ThreadIdentity& me) noexcept;
    bool OwnerIsDead(std::uint32_t owner) const noexcept;
    bool TakeOverFromDeadOwner(const platform::ThreadIdentity& me) noexcept;
    bool TakeOverLocked(const platform::ThreadIdentity& me) noexcept;
    bool ReadOwnerRecord(platform::ThreadIdentity& owner) const noexcept;
    void WriteOwnerRecord(const platform::ThreadIdentity& me) noexcept;
    std::uint64_t ObserveOwner() const noexcept;

    TSyncEvent event_;
    bool alreadyExisted_ = false;
    std::unique_ptr<TSwapFileMapping> stateMapping_;
    std::unique_ptr<TSwapFileMapping> ownerMapping_;
    std::unique_ptr<LocalState> local_;
    std::string name_;
    std::string takeOverFile_;
    TOptexState* state_ = nullptr;
    TOptexOwnerRecord* owner_ = nullptr;
    std::atomic<std::int64_t> waitLimitMs_{kDefaultWaitLimit.count()};
};
