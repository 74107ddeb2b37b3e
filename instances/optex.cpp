#include "instances/optex.h"

#include <algorithm>
#include <cerrno>
#include <mutex>
#include <system_error>

#include "platform/ipc/private_dir.h"
#include "platform/ipc/shared_word.h"

namespace {

using platform::SharedUWord;
using platform::SharedWord;
using platform::ThreadIdentity;
using platform::ThreadLiveness;

// More spinning than this is nonsense left in the shared state, not a choice.
constexpr std::int32_t kMaxSpins = 1 << 20;

std::int32_t Plus(std::int32_t value, std::int32_t delta)
{
    return static_cast<std::int32_t>(static_cast<std::uint32_t>(value) + static_cast<std::uint32_t>(delta));
}

std::unique_ptr<TSwapFileMapping> OpenStateRegion(const std::string& name, std::uint64_t size)
{
    try {
        auto mapping = std::make_unique<TSwapFileMapping>(name, PageReadWrite, size);
        mapping->MapView(FileMapWrite, size, 0);
        return mapping;
    } catch (const ESystemError& error) {
        throw EOptexStateError(error.ErrorCode());
    }
}

std::atomic_ref<std::uint64_t> Wide(std::uint64_t& word)
{
    static_assert(std::atomic_ref<std::uint64_t>::is_always_lock_free);
    return std::atomic_ref<std::uint64_t>(word);
}

}  // namespace

struct TOptex::LocalState {
    alignas(8) TOptexState state{};
    TOptexOwnerRecord owner{};
    std::mutex takeOver;
};

EOptexTimeoutError::EOptexTimeoutError()
    : ESystemError("Timed out waiting for a lock held by another thread", ETIMEDOUT)
{}

TOptex::TOptex(const std::string& name, int spinLimit)
    : event_(false, false, name.empty() ? std::string() : "Optex_Event_" + name), name_(name)
{
    alreadyExisted_ = event_.AlreadyExisted();
    if (name.empty()) {
        local_ = std::make_unique<LocalState>();
        state_ = &local_->state;
        owner_ = &local_->owner;
    } else {
        // Never run without a state: any failure here leaves Create.
        stateMapping_ = OpenStateRegion("Optex_MMF_" + name, sizeof(TOptexState));
        state_ = static_cast<TOptexState*>(stateMapping_->View(0).Memory());
        ownerMapping_ = OpenStateRegion("Optex_Owner_" + name, sizeof(TOptexOwnerRecord));
        owner_ = static_cast<TOptexOwnerRecord*>(ownerMapping_->View(0).Memory());
        takeOverFile_ = platform::ObjectFileName("Optex_Owner_" + name, ".takeover");
    }
    if (spinLimit < 0)
        spinLimit = kDefaultSpinLimit;
    // On one processor spinning only burns the holder's time slice.
    if (platform::ProcessorCount() > 1)
        SharedWord(state_->SpinLimit).Exchange(spinLimit);
}

TOptex::~TOptex() = default;

TOptexState TOptex::Snapshot() const noexcept
{
    TOptexState copy{};
    copy.SpinLimit = SharedWord(state_->SpinLimit).Load();
    copy.Holders = SharedWord(state_->Holders).Load();
    copy.OwnerThread = SharedUWord(state_->OwnerThread).Load();
    copy.Depth = SharedWord(state_->Depth).Load();
    return copy;
}

inline void TOptex::WriteOwnerRecord(const ThreadIdentity& me) noexcept
{
    const SharedUWord sequence(owner_->Sequence);
    // A writer that died halfway leaves the count odd; stay odd from there.
    const std::uint32_t writing = sequence.Load(std::memory_order_relaxed) | 1u;
    sequence.Store(writing, std::memory_order_relaxed);
    std::atomic_thread_fence(std::memory_order_release);
    SharedWord(owner_->Pid).Store(me.pid, std::memory_order_relaxed);
    SharedWord(owner_->Tid).Store(me.tid, std::memory_order_relaxed);
    Wide(owner_->StartTime).store(me.startTime, std::memory_order_relaxed);
    Wide(owner_->PidNamespace).store(me.pidNamespace, std::memory_order_relaxed);
    sequence.Store(writing + 1, std::memory_order_release);
}

bool TOptex::ReadOwnerRecord(ThreadIdentity& owner) const noexcept
{
    const SharedUWord sequence(owner_->Sequence);
    const std::uint32_t before = sequence.Load(std::memory_order_acquire);
    if (before & 1u)
        return false;
    owner.pid = SharedWord(owner_->Pid).Load(std::memory_order_relaxed);
    owner.tid = SharedWord(owner_->Tid).Load(std::memory_order_relaxed);
    owner.startTime = Wide(owner_->StartTime).load(std::memory_order_relaxed);
    owner.pidNamespace = Wide(owner_->PidNamespace).load(std::memory_order_relaxed);
    std::atomic_thread_fence(std::memory_order_acquire);
    return sequence.Load(std::memory_order_relaxed) == before;
}

std::uint64_t TOptex::ObserveOwner() const noexcept
{
    return (std::uint64_t{SharedUWord(state_->OwnerThread).Load(std::memory_order_relaxed)} << 32) |
           SharedUWord(owner_->Sequence).Load(std::memory_order_relaxed);
}

bool TOptex::IsOwner(const ThreadIdentity& me) const noexcept
{
    if (SharedUWord(state_->OwnerThread).Load(std::memory_order_relaxed) != static_cast<std::uint32_t>(me.tid))
        return false;
    // The id alone could be a dead holder's, reused for this thread.
    ThreadIdentity recorded;
    return ReadOwnerRecord(recorded) && recorded.pid == me.pid && recorded.tid == me.tid &&
           recorded.startTime == me.startTime && recorded.pidNamespace == me.pidNamespace;
}

inline void TOptex::BecomeOwner(const ThreadIdentity& me) noexcept
{
    WriteOwnerRecord(me);
    SharedUWord(state_->OwnerThread).Store(static_cast<std::uint32_t>(me.tid), std::memory_order_release);
    SharedWord(state_->Depth).Store(1, std::memory_order_relaxed);
}

// The uncontended case: one compare-exchange, no call.
inline bool TOptex::TryFirst(const ThreadIdentity& me) noexcept
{
    if (SharedWord(state_->Holders).CompareExchange(0, 1) != 0)
        return false;
    BecomeOwner(me);
    return true;
}

void TOptex::AddDepth() noexcept
{
    const SharedWord depth(state_->Depth);
    depth.Store(Plus(depth.Load(std::memory_order_relaxed), 1), std::memory_order_relaxed);
}

bool TOptex::Reenter(const ThreadIdentity& me) noexcept
{
    if (!IsOwner(me))
        return false;
    SharedWord(state_->Holders).Increment();
    AddDepth();
    return true;
}

bool TOptex::KeepTrying(const ThreadIdentity& me) noexcept
{
    // The first compare-exchange has failed already (TryFirst).
    if (Reenter(me))
        return true;
    const std::int32_t spins = std::min(SharedWord(state_->SpinLimit).Load(std::memory_order_relaxed), kMaxSpins);
    for (std::int32_t attempt = 2; attempt <= spins; ++attempt)
        if (TryFirst(me) || Reenter(me))
            return true;
    return false;
}

bool TOptex::TryAcquire() noexcept
{
    const ThreadIdentity& me = platform::CurrentThreadIdentity();
    return TryFirst(me) || KeepTrying(me);
}

void TOptex::Acquire()
{
    const ThreadIdentity& me = platform::CurrentThreadIdentity();
    if (TryFirst(me) || KeepTrying(me))
        return;
    if (SharedWord(state_->Holders).Increment() == 1) {
        BecomeOwner(me);
        return;
    }
    if (IsOwner(me)) {
        AddDepth();
        return;
    }
    WaitForHandOff(me);
}

void TOptex::Release() noexcept
{
    const SharedWord depth(state_->Depth);
    const std::int32_t left = Plus(depth.Load(std::memory_order_relaxed), -1);
    depth.Store(left, std::memory_order_relaxed);
    if (left > 0) {
        SharedWord(state_->Holders).Decrement();
        return;
    }
    // OwnerThread is cleared before the count drops: a waiter woken by the
    // signal below relies on finding it 0.
    SharedUWord(state_->OwnerThread).Store(0, std::memory_order_release);
    if (SharedWord(state_->Holders).Decrement() > 0)
        event_.SetEvent();
}

void TOptex::WaitForHandOff(const ThreadIdentity& me)
{
    // This thread is counted in Holders from here on: every way out either
    // becomes the holder or takes the count back (LeaveWaiters).
    using Clock = std::chrono::steady_clock;
    std::uint64_t observed = ObserveOwner();
    Clock::time_point since = Clock::now();
    for (;;) {
        int error = 0;
        const TWaitResult result = event_.WaitFor(kWaitSliceMs, &error);
        if (result == TWaitResult::WaitSignaled) {
            // A real hand-over finds no owner; a signal left over from a
            // waiter that gave up does not, and is dropped.
            if (SharedUWord(state_->OwnerThread).Load(std::memory_order_acquire) == 0) {
                BecomeOwner(me);
                return;
            }
            continue;
        }
        if (result != TWaitResult::WaitTimeout) {
            if (LeaveWaiters(me))
                throw EEventError("Failed to wait for event", static_cast<std::uint32_t>(error));
            return;
        }
        if (TakeOverFromDeadOwner(me))
            return;
        const std::uint64_t now = ObserveOwner();
        const Clock::time_point time = Clock::now();
        if (now != observed) {
            // The lock changed hands: nobody is stuck, start counting anew.
            observed = now;
            since = time;
        } else if (time - since >= std::chrono::milliseconds(waitLimitMs_.load())) {
            if (LeaveWaiters(me))
                throw EOptexTimeoutError();
            return;
        }
    }
}

bool TOptex::LeaveWaiters(const ThreadIdentity& me) noexcept
{
    const SharedWord holders(state_->Holders);
    for (;;) {
        const std::int32_t count = holders.Load();
        if (count <= 1) {
            // Only this thread is left counted: the holder has let go and its
            // signal is meant for us. Leaving now would strand that signal
            // for a later waiter, so take the lock instead.
            ClaimHandOff(me);
            return false;
        }
        if (holders.CompareExchange(count, count - 1) == count)
            return true;
    }
}

void TOptex::ClaimHandOff(const ThreadIdentity& me) noexcept
{
    using Clock = std::chrono::steady_clock;
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(waitLimitMs_.load());
    for (;;) {
        if (event_.WaitFor(kWaitSliceMs) != TWaitResult::WaitTimeout)
            break;
        // The record still names the last holder: a dead one never signals.
        ThreadIdentity last;
        if (ReadOwnerRecord(last) && platform::ProbeThread(last) == ThreadLiveness::Gone)
            break;
        if (Clock::now() >= deadline)
            break;
    }
    BecomeOwner(me);
}

bool TOptex::OwnerIsDead(std::uint32_t owner) const noexcept
{
    // Only a record that names this very owner says anything about it (a
    // holder writes its record before it publishes OwnerThread). Without a
    // published owner (a hand-over in progress, or a holder that has taken
    // the count but not yet published itself) nothing is judged.
    ThreadIdentity recorded;
    return owner != 0 && ReadOwnerRecord(recorded) && static_cast<std::uint32_t>(recorded.tid) == owner &&
           platform::ProbeThread(recorded) == ThreadLiveness::Gone;
}

bool TOptex::TakeOverFromDeadOwner(const ThreadIdentity& me) noexcept
{
    // A cheap look first; the decision is made again under the take-over lock.
    if (!OwnerIsDead(SharedUWord(state_->OwnerThread).Load(std::memory_order_acquire)))
        return false;
    try {
        if (local_) {
            std::unique_lock<std::mutex> lock(local_->takeOver, std::try_to_lock);
            return lock.owns_lock() && TakeOverLocked(me);
        }
        const platform::UniqueFd directory = platform::OpenPrivateDirectory();
        const auto lock = platform::PrivateFileLock::TryAcquire(directory.Get(), takeOverFile_);
        return lock && TakeOverLocked(me);
    } catch (...) {
        // Without the take-over lock nothing is taken; the wait goes on.
        return false;
    }
}

bool TOptex::TakeOverLocked(const ThreadIdentity& me) noexcept
{
    // A dead holder's lock changes hands only here, under this lock, so what
    // is judged now still holds when the owner is swapped below.
    const SharedUWord ownerThread(state_->OwnerThread);
    const std::uint32_t owner = ownerThread.Load(std::memory_order_acquire);
    if (!OwnerIsDead(owner))
        return false;
    // The dead holder's share of Holders is its depth; this thread's own
    // count stays in. Nonsense values are kept within what the count allows.
    const SharedWord holders(state_->Holders);
    const std::int64_t others = std::int64_t{holders.Load()} - 1;
    std::int64_t depth = SharedWord(state_->Depth).Load(std::memory_order_relaxed);
    depth = others < 1 ? std::max<std::int64_t>(others, 0) : std::clamp<std::int64_t>(depth, 1, others);
    WriteOwnerRecord(me);
    if (ownerThread.CompareExchange(owner, static_cast<std::uint32_t>(me.tid)) != owner)
        return false;
    SharedWord(state_->Depth).Store(1, std::memory_order_relaxed);
    if (depth > 0)
        holders.Subtract(static_cast<std::int32_t>(depth));
    return true;
}
