#include "instances/optex.h"

#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <bit>
#include <cerrno>
#include <climits>
#include <map>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <system_error>
#include <vector>

#include "platform/ipc/shared_region.h"
#include "platform/ipc/shared_word.h"
#include "platform/process/thread_identity.h"

#ifdef VELLUMARK_OPTEX_STEPS
#define OPTEX_STEP(step, holding) OptexStep(step, holding)
#else
#define OPTEX_STEP(step, holding) ((void)0)
#endif

using platform::RobustMutex;
using platform::SharedUWord;
using platform::SharedWord;
using Status = RobustMutex::Status;

// One lock that this thread holds. The entries are the authority on
// re-entry and depth; the shared fields only publish them, so nonsense
// written there cannot make a thread believe it holds a lock.
struct TOptexHeld {
    std::uint64_t key;
    RobustMutex owner;  // the owner mutex as this thread took it
    std::uint32_t tid;  // this thread, as the mutex names it
    std::int32_t depth;
};

namespace {

// More spinning than this is nonsense left in the shared state, not a choice.
constexpr std::int32_t kMaxSpins = 1 << 20;
// Different locks one thread may hold at once.
constexpr int kMaxHeld = 16;

// Trivially destructible on purpose: a thread that ends holding a lock
// leaves its entry, and the kernel hands the lock on as a dead owner's.
// Initial-exec: the libraries are built position-independent, which would
// reach these through a call on every access, and they are only ever linked
// into programs.
[[gnu::tls_model("initial-exec")]] constinit thread_local TOptexHeld t_held[kMaxHeld] = {};
[[gnu::tls_model("initial-exec")]] constinit thread_local int t_heldCount = 0;

// The child of a fork holds none of its parent's locks.
void ForgetHeldAfterFork()
{
    t_heldCount = 0;
}

// Mutexes that pthread could not let go of may still be linked into a
// thread's robust list: their memory is never unmapped.
std::mutex& PinnedLock()
{
    static std::mutex lock;
    return lock;
}

std::vector<const void*>& Pinned()
{
    static auto* pinned = new std::vector<const void*>;
    return *pinned;
}

[[gnu::noinline]] void Pin(const RobustMutex& mutex) noexcept
{
    try {
        const std::lock_guard<std::mutex> lock(PinnedLock());
        Pinned().push_back(mutex.Address());
    } catch (...) {
        // Out of memory: the destructor's owner check still keeps it mapped
        // while another thread of ours is named as its owner.
    }
}

inline void Unlock(const RobustMutex& mutex) noexcept
{
    if (!mutex.Unlock()) [[unlikely]]
        Pin(mutex);
}

void Unlock(pthread_mutex_t& mutex, bool shared) noexcept
{
    Unlock(RobustMutex(mutex, shared));
}

bool AnyPinnedIn(const void* begin, std::size_t size)
{
    const std::lock_guard<std::mutex> lock(PinnedLock());
    const auto* first = static_cast<const char*>(begin);
    return std::any_of(Pinned().begin(), Pinned().end(), [&](const void* pinned) {
        const auto* at = static_cast<const char*>(pinned);
        return at >= first && at < first + size;
    });
}

// A number for each lock of this process, the same for every TOptex of one
// name (its robust region's file), never handed out twice.
std::mutex& LockNumbersLock()
{
    static std::mutex lock;
    return lock;
}

std::uint64_t& NextLockNumber()
{
    static std::uint64_t next = 1;
    return next;
}

std::uint64_t NewLockNumber()
{
    const std::lock_guard<std::mutex> guard(LockNumbersLock());
    return NextLockNumber()++;
}

std::uint64_t LockNumber(std::uint64_t device, std::uint64_t inode)
{
    static auto* numbers = new std::map<std::pair<std::uint64_t, std::uint64_t>, std::uint64_t>;
    const std::lock_guard<std::mutex> guard(LockNumbersLock());
    const auto [at, added] = numbers->try_emplace({device, inode}, NextLockNumber());
    if (added)
        ++NextLockNumber();
    return at->second;
}

bool IsThreadOfThisProcess(int tid)
{
    return ::access(("/proc/self/task/" + std::to_string(tid)).c_str(), F_OK) == 0;
}

struct timespec DeadlineAfter(std::int64_t ms)
{
    constexpr std::int64_t kLongest = std::int64_t{1} << 40;  // decades
    ms = std::clamp<std::int64_t>(ms, 0, kLongest);
    struct timespec deadline {};
    ::clock_gettime(CLOCK_MONOTONIC, &deadline);
    deadline.tv_sec += static_cast<time_t>(ms / 1000);
    deadline.tv_nsec += static_cast<long>(ms % 1000) * 1000000L;
    if (deadline.tv_nsec >= 1000000000L) {
        deadline.tv_sec += 1;
        deadline.tv_nsec -= 1000000000L;
    }
    return deadline;
}

void InitializeRobustState(TOptexRobustState& robust, bool shared)
{
    const auto initialize = [shared](pthread_mutex_t& mutex) {
        if (const int error = RobustMutex::Initialize(mutex, shared); error != 0)
            throw std::system_error(error, std::generic_category(), "cannot set up a robust mutex");
    };
    initialize(robust.Owner);
    initialize(robust.Guard);
    for (auto& slot : robust.Slots)
        initialize(slot.Mutex);
    robust.Size = sizeof(TOptexRobustState);
    robust.Version = TOptexRobustState::kVersion;
    robust.Magic = TOptexRobustState::kMagic;
}

std::unique_ptr<TSwapFileMapping> OpenStateRegion(const std::string& name)
{
    try {
        auto mapping = std::make_unique<TSwapFileMapping>(name, PageReadWrite, sizeof(TOptexState));
        mapping->MapView(FileMapWrite, sizeof(TOptexState), 0);
        return mapping;
    } catch (const EFileMappingError& error) {
        throw EOptexStateError(error.ErrorCode());
    } catch (const EFileMappingViewError& error) {
        throw EOptexStateError(error.ErrorCode());
    }
}

}  // namespace

// Where the robust part lives: a shared region for a named lock, this
// process's heap for an unnamed one.
struct TOptex::Memory {
    struct Local {
        TOptexState state{};
        TOptexRobustState robust{};
    };
    Memory() = default;
    Memory(const Memory&) = delete;
    Memory& operator=(const Memory&) = delete;
    ~Memory()
    {
        if (announced != nullptr)
            RobustMutex::RemoveMemory(announced);
    }

    // Tells the robust mutexes that links into this memory are ours.
    void Announce(TOptexRobustState* robust)
    {
        if (!RobustMutex::AddMemory(robust, sizeof *robust))
            throw EOptexStateError(ENOLCK);
        announced = robust;
    }

    std::optional<platform::SharedRegion> region;
    platform::MappedMemory view;
    std::unique_ptr<Local> local;
    const void* announced = nullptr;
};

EOptexTimeoutError::EOptexTimeoutError()
    : ESystemError("Timed out waiting for a lock held by another thread", ETIMEDOUT)
{}

TOptex::TOptex(const std::string& name, int spinLimit)
    : event_(false, false, name.empty() ? std::string() : "Optex_Event_" + name), memory_(std::make_unique<Memory>()),
      name_(name)
{
    static const bool forkHandled = ::pthread_atfork(nullptr, nullptr, ForgetHeldAfterFork) == 0;
    (void)forkHandled;
    // Every mutex would be Damaged: say why, once, rather than that.
    if (!platform::RobustMutex::LayoutHolds())
        throw EOptexStateError("The C library's mutexes are not laid out as this program reads them", ENOTSUP);
    alreadyExisted_ = event_.AlreadyExisted();
    try {
        if (name.empty()) {
            memory_->local = std::make_unique<Memory::Local>();
            state_ = &memory_->local->state;
            robust_ = &memory_->local->robust;
            InitializeRobustState(*robust_, false);
            key_ = NewLockNumber();
        } else {
            shared_ = true;
            // Never run without a state: any failure here leaves Create.
            stateMapping_ = OpenStateRegion("Optex_MMF_" + name);
            state_ = static_cast<TOptexState*>(stateMapping_->View(0).Memory());
            TOptexState* state = state_;
            memory_->region.emplace("Optex_Robust_" + name, sizeof(TOptexRobustState),
                                    platform::SharedRegion::kDefaultOpenWait, [state](void* memory, std::size_t) {
                                        InitializeRobustState(*static_cast<TOptexRobustState*>(memory), true);
                                        // Nobody holds or waits for a lock whose robust part is
                                        // new: what the fields say is left by users now gone.
                                        SharedWord(state->Holders).Store(0);  // and Waiting is 0
                                        SharedUWord(state->OwnerThread).Store(0);
                                        SharedWord(state->Depth).Store(0);
                                    });
            memory_->view = memory_->region->Map(0, sizeof(TOptexRobustState), true);
            robust_ = static_cast<TOptexRobustState*>(memory_->view.Data());
            key_ = LockNumber(memory_->region->Device(), memory_->region->Inode());
        }
    } catch (const std::system_error& error) {
        RaiseIfRefused(error);
        throw EOptexStateError(static_cast<std::uint32_t>(error.code().value()));
    }
    if (robust_->Magic != TOptexRobustState::kMagic || robust_->Version != TOptexRobustState::kVersion ||
        robust_->Size != sizeof(TOptexRobustState))
        Raise(Outcome::Damaged);
    memory_->Announce(robust_);
    owner_ = RobustMutex(robust_->Owner, shared_);
    if (spinLimit < 0)
        spinLimit = kDefaultSpinLimit;
    // On one processor spinning only burns the holder's time slice.
    if (platform::ProcessorCount() > 1)
        SharedWord(state_->SpinLimit).Exchange(spinLimit);
}

// Memory that must outlive its lock object: owned here until the process ends.
void TOptex::KeptForever(std::unique_ptr<Memory> memory) noexcept
{
    static auto* kept = new std::vector<std::unique_ptr<Memory>>;
    try {
        const std::lock_guard<std::mutex> lock(PinnedLock());
        kept->push_back(std::move(memory));
    } catch (...) {
        (void)memory.release();  // out of memory: unowned, but still mapped
    }
}

TOptex::~TOptex()
{
    // This thread's acquisitions end with the object.
    if (TOptexHeld* held = FindHeld())
        ForceRelease(*held);
    // A holder's robust list links into this memory: with another thread of
    // ours holding the lock (or a mutex here that could not be let go),
    // unmapping it would leave pthread and the kernel writing to whatever
    // comes there next. Keep it, announced, for the life of the process.
    const int owner = owner_.OwnerTid();
    if ((owner != 0 && IsThreadOfThisProcess(owner)) || AnyPinnedIn(robust_, sizeof(TOptexRobustState)))
        KeptForever(std::move(memory_));
}

[[noreturn]] void TOptex::Raise(Outcome outcome)
{
    if (outcome == Outcome::NoRoom)
        throw EOptexStateError("Too many optex acquisitions held by one thread", ENOLCK);
    throw EOptexStateError("Optex state is damaged", ENOTRECOVERABLE);
}

TOptexState TOptex::Snapshot() const noexcept
{
    TOptexState copy{};
    copy.SpinLimit = SharedWord(state_->SpinLimit).Load();
    copy.Holders = SharedWord(state_->Holders).Load();
    copy.OwnerThread = SharedUWord(state_->OwnerThread).Load();
    copy.Depth = SharedWord(state_->Depth).Load();
    return copy;
}

inline TOptexHeld* TOptex::FindHeld() const noexcept
{
    for (int i = 0; i < t_heldCount; ++i)
        if (t_held[i].key == key_)
            return &t_held[i];
    return nullptr;
}

// OwnerThread and Depth side by side, in one aligned 64-bit word, the owner
// in the low half.
using TOptexOwnerAndDepth = std::uint64_t __attribute__((may_alias));
static_assert(std::endian::native == std::endian::little && alignof(TOptexState) == 8 &&
              offsetof(TOptexState, Depth) == offsetof(TOptexState, OwnerThread) + 4);

inline std::uint64_t TOptex::OwnerAndDepth() const noexcept
{
    return __atomic_load_n(reinterpret_cast<const TOptexOwnerAndDepth*>(&state_->OwnerThread), __ATOMIC_RELAXED);
}

// One store for both: whoever reads either field reads it as it was or as
// it is now, never torn.
inline void TOptex::Publish(std::uint32_t owner, std::int32_t depth) noexcept
{
    const std::uint64_t both = owner | std::uint64_t{static_cast<std::uint32_t>(depth)} << 32;
    __atomic_store_n(reinterpret_cast<TOptexOwnerAndDepth*>(&state_->OwnerThread), both, __ATOMIC_RELAXED);
    OPTEX_STEP("published", true);
}

// The waiters counted in, as a count: nonsense written there counts none.
inline std::int32_t TOptex::Waiters() const noexcept
{
    return std::max(SharedWord(robust_->Waiting).Load(std::memory_order_relaxed), std::int32_t{0});
}

inline void TOptex::PublishCount(std::int32_t depth, std::int32_t waiters) noexcept
{
    const std::int64_t sum = std::int64_t{std::max(depth, std::int32_t{0})} + std::max(waiters, std::int32_t{0});
    SharedWord(state_->Holders)
        .Store(static_cast<std::int32_t>(std::min<std::int64_t>(sum, INT_MAX)), std::memory_order_relaxed);
}

TOptex::Outcome TOptex::Reenter(TOptexHeld& held) noexcept
{
    if (held.depth == INT_MAX)
        return Outcome::NoRoom;
    const std::uint32_t me = held.tid;
    if (SharedUWord(state_->OwnerThread).Load(std::memory_order_relaxed) != me ||
        SharedWord(state_->Depth).Load(std::memory_order_relaxed) != held.depth ||
        SharedWord(state_->Holders).Load(std::memory_order_relaxed) < 0) {
        // Written from outside while this thread holds the lock: put the
        // truth back, and say so.
        Publish(me, held.depth);
        Recount(held.depth);
        return Outcome::Damaged;
    }
    ++held.depth;
    SharedWord(state_->Depth).Store(held.depth, std::memory_order_relaxed);
    OPTEX_STEP("recursion published", true);
    PublishCount(held.depth, Waiters());
    OPTEX_STEP("recursion counted", true);
    return Outcome::Taken;
}

// The first attempt is the usual one, and inline; spinning is not.
[[gnu::always_inline]] inline TOptex::Outcome TOptex::TryTake() noexcept
{
    if (t_heldCount == kMaxHeld) [[unlikely]]
        return Outcome::NoRoom;
    const Status status = owner_.TryLock();
    if (status != Status::Busy) [[likely]]
        return Take(status);
    return Spin();
}

[[gnu::noinline]] TOptex::Outcome TOptex::Spin() noexcept
{
    const std::int32_t spins =
        std::clamp(SharedWord(state_->SpinLimit).Load(std::memory_order_relaxed), std::int32_t{1}, kMaxSpins);
    for (std::int32_t attempt = 1; attempt < spins; ++attempt) {
        // After a failed attempt, look before trying again: an attempt
        // writes, and takes the line from the holder each time.
        if (owner_.OwnerTid() != 0)
            continue;
        const Status status = owner_.TryLock();
        if (status != Status::Busy)
            return Take(status);
    }
    return Outcome::Busy;
}

// The owner mutex has just been locked (or not). A waiter that took it has
// already taken its count out of Waiting.
[[gnu::always_inline]] inline TOptex::Outcome TOptex::Take(Status status) noexcept
{
    if (status != Status::Acquired) [[unlikely]]
        return status == Status::OwnerDied ? TakeFromTheDead() : Outcome::Damaged;
    TOptexHeld& held = Hold();
    // Every holder clears the fields before it lets go, and one that dies is
    // reported as dead: anything else was written from outside.
    const bool released = SharedUWord(state_->OwnerThread).Load(std::memory_order_relaxed) == 0 &&
                          SharedWord(state_->Depth).Load(std::memory_order_relaxed) == 0 &&
                          SharedWord(state_->Holders).Load(std::memory_order_relaxed) >= 0;
    const std::int32_t waiting = SharedWord(robust_->Waiting).Load(std::memory_order_relaxed);
    Publish(held.tid, 1);
    PublishCount(1, waiting);
    OPTEX_STEP("counted", true);
    if (!released || waiting != 0) [[unlikely]]
        return TakeRepairing(held, released);
    return Outcome::Taken;
}

// This thread's entry for the lock it has just taken.
[[gnu::always_inline]] inline TOptexHeld& TOptex::Hold() noexcept
{
    // The mutex names its owner by the id the system gives this thread.
    std::uint32_t me = static_cast<std::uint32_t>(owner_.OwnerTid());
    if (me == 0) [[unlikely]]
        me = platform::CurrentThreadId();
    TOptexHeld& held = t_held[t_heldCount++];
    held.key = key_;
    held.owner = owner_;
    held.tid = me;
    held.depth = 1;
    OPTEX_STEP("taken", true);
    return held;
}

[[gnu::noinline]] TOptex::Outcome TOptex::TakeFromTheDead() noexcept
{
    TOptexHeld& held = Hold();
    // The last holder died, with whatever it was writing: publish this
    // thread, then count afresh.
    Publish(held.tid, 1);
    Recount(1);
    owner_.MarkConsistent();
    OPTEX_STEP("consistent", true);
    return Outcome::Taken;
}

[[gnu::noinline]] TOptex::Outcome TOptex::TakeRepairing(TOptexHeld& held, bool released) noexcept
{
    if (!released) {
        ForceRelease(held);
        return Outcome::Damaged;
    }
    Recount(1);  // waiters, or the count of one that died
    return Outcome::Taken;
}

bool TOptex::TryAcquire() noexcept
{
    if (TOptexHeld* held = FindHeld()) [[unlikely]]
        return Reenter(*held) == Outcome::Taken;
    return TryTake() == Outcome::Taken;
}

// Kept small, for the usual case: a thread that holds no lock takes one
// nobody holds. Everything else is AcquireAnyway's.
void TOptex::Acquire()
{
    if (t_heldCount != 0) [[unlikely]]
        return AcquireAnyway(Status::Busy, false);
    const Status status = owner_.TryLock();
    if (status != Status::Acquired) [[unlikely]]
        return AcquireAnyway(status);
    // The rest in a function of its own, jumped to: only this function's own
    // few registers live across the call above.
    return Claim();
}

// The owner mutex has just been taken by a thread that holds no lock.
[[gnu::noinline]] void TOptex::Claim()
{
    // The mutex names its owner by the id the system gives this thread.
    const auto me = static_cast<std::uint32_t>(owner_.OwnerTid());
    // Free and nobody waiting: a holder clears all four before it lets go.
    const SharedWord holders(state_->Holders);
    const auto waiting = static_cast<std::uint32_t>(SharedWord(robust_->Waiting).Load(std::memory_order_relaxed));
    const std::uint64_t left =
        OwnerAndDepth() | static_cast<std::uint32_t>(holders.Load(std::memory_order_relaxed)) | waiting;
    if (me == 0 || left != 0) [[unlikely]]
        return AcquireAnyway(Status::Acquired);
    TOptexHeld& held = t_held[0];
    t_heldCount = 1;
    held.key = key_;
    held.owner = owner_;
    held.tid = me;
    held.depth = 1;
    OPTEX_STEP("taken", true);
    Publish(me, 1);
    holders.Store(1, std::memory_order_relaxed);
    OPTEX_STEP("counted", true);
}

// `status` is what a first try gave, when `tried`.
[[gnu::noinline]] void TOptex::AcquireAnyway(Status status, bool tried)
{
    if (!tried) {
        if (TOptexHeld* held = FindHeld()) {
            if (const Outcome outcome = Reenter(*held); outcome != Outcome::Taken)
                Raise(outcome);
            return;
        }
    }
    Outcome outcome = Outcome::Busy;
    if (!tried)
        outcome = TryTake();
    else if (status != Status::Busy)
        outcome = Take(status);
    else
        outcome = Spin();
    switch (outcome) {
    case Outcome::Taken:
        return;
    case Outcome::Busy:
        Wait();
        return;
    default:
        Raise(outcome);
    }
}

void TOptex::Wait()
{
    const struct timespec deadline = DeadlineAfter(waitLimitMs_.load(std::memory_order_relaxed));
    TOptexRobustState& robust = *robust_;

    // Count this thread in, under the guard, in a slot whose mutex it holds
    // while it waits: if it dies, the next recount sees so.
    const RobustMutex guard(robust.Guard, shared_);
    switch (guard.LockUntil(deadline)) {
    case Status::Acquired:
        break;
    case Status::OwnerDied:
        // A waiter died taking or leaving a slot; the next recount repairs
        // whatever it left half done.
        guard.MarkConsistent();
        break;
    case Status::TimedOut:
        throw EOptexTimeoutError();
    default:
        Raise(Outcome::Damaged);
    }
    OPTEX_STEP("guarded", false);
    int slot = -1;
    for (int i = 0; i < TOptexRobustState::kWaiterSlots && slot < 0; ++i) {
        const RobustMutex waiter(robust.Slots[i].Mutex, shared_);
        switch (waiter.TryLock()) {
        case Status::OwnerDied:
            waiter.MarkConsistent();
            slot = i;
            break;
        case Status::Acquired:
            slot = i;
            break;
        default:
            break;
        }
    }
    const SharedWord waiting(robust.Waiting);
    if (slot >= 0) {
        const SharedUWord used(robust.SlotsUsed);
        if (used.Load(std::memory_order_relaxed) <= static_cast<std::uint32_t>(slot))
            used.Store(static_cast<std::uint32_t>(slot) + 1, std::memory_order_relaxed);
        OPTEX_STEP("slot taken", false);
        SharedUWord(robust.Slots[slot].Counted).Store(1);
        OPTEX_STEP("slot marked", false);
        const std::int32_t waiters = waiting.Increment();
        OPTEX_STEP("waiter counted", false);
        PublishCount(SharedWord(state_->Depth).Load(std::memory_order_relaxed), waiters);
        OPTEX_STEP("waiter published", false);
    }
    Unlock(robust.Guard, shared_);
    OPTEX_STEP("waiting", false);

    const Status status = owner_.LockUntil(deadline);
    const bool taken = status == Status::Acquired || status == Status::OwnerDied;
    if (slot >= 0) {
        const SharedUWord counted(robust.Slots[slot].Counted);
        if (taken) {
            // The count becomes the holder's depth. Only a holder recounts,
            // and that is this thread now, so no guard is needed.
            counted.Store(0);
            OPTEX_STEP("slot unmarked", true);
            waiting.Decrement();
            OPTEX_STEP("waiter uncounted", true);
        } else {
            switch (guard.TryLock()) {
            case Status::OwnerDied:
                guard.MarkConsistent();
                [[fallthrough]];
            case Status::Acquired:
                if (counted.Load() == 1) {
                    counted.Store(0);
                    OPTEX_STEP("slot unmarked", false);
                    const std::int32_t waiters = waiting.Decrement();
                    OPTEX_STEP("waiter uncounted", false);
                    PublishCount(SharedWord(state_->Depth).Load(std::memory_order_relaxed), waiters);
                    OPTEX_STEP("waiter unpublished", false);
                }
                Unlock(robust.Guard, shared_);
                break;
            default:
                // Without the guard the count stays until the next recount,
                // which finds the slot free and leaves it out.
                break;
            }
        }
        Unlock(robust.Slots[slot].Mutex, shared_);
        OPTEX_STEP("slot left", taken);
    }
    if (status == Status::TimedOut)
        throw EOptexTimeoutError();
    if (const Outcome outcome = Take(status); outcome != Outcome::Taken)
        Raise(outcome);
}

// Makes Waiting the waiters that live, and Holders the holder's depth plus
// those, clearing the slots of those that died. Only the holder of the owner mutex recounts,
// and only under the guard, so no count changes meanwhile. False when a
// waiter has the guard: the next recount will do.
bool TOptex::Recount(std::int32_t holderDepth) noexcept
{
    TOptexRobustState& robust = *robust_;
    const RobustMutex guard(robust.Guard, shared_);
    switch (guard.TryLock()) {
    case Status::OwnerDied:
        guard.MarkConsistent();
        break;
    case Status::Acquired:
        break;
    default:
        return false;
    }
    OPTEX_STEP("recounting", true);
    std::int32_t waiters = 0;
    const std::uint32_t used = std::min<std::uint32_t>(SharedUWord(robust.SlotsUsed).Load(std::memory_order_relaxed),
                                                       TOptexRobustState::kWaiterSlots);
    for (auto& slot : std::span(robust.Slots, used)) {
        const SharedUWord counted(slot.Counted);
        if (counted.Load(std::memory_order_relaxed) == 0)
            continue;
        const RobustMutex waiter(slot.Mutex, shared_);
        const Status status = waiter.TryLock();
        if (status == Status::Busy) {
            ++waiters;
            continue;
        }
        // Its waiter died, or gave up without the guard.
        counted.Store(0);
        if (status == Status::OwnerDied)
            waiter.MarkConsistent();
        if (status == Status::Acquired || status == Status::OwnerDied)
            Unlock(slot.Mutex, shared_);
    }
    SharedWord(robust.Waiting).Store(waiters);
    PublishCount(holderDepth, waiters);
    OPTEX_STEP("recounted", true);
    Unlock(robust.Guard, shared_);
    return true;
}

// Kept small, for the usual case: the one lock this thread holds, once,
// with nobody waiting. Everything else is ReleaseAnyway's.
void TOptex::Release() noexcept
{
    if (t_heldCount == 1) [[likely]] {
        TOptexHeld& held = t_held[0];
        const bool once = held.key == key_ && held.depth == 1;
        if (once && SharedWord(robust_->Waiting).Load(std::memory_order_relaxed) == 0) [[likely]] {
            Publish(0, 0);
            SharedWord(state_->Holders).Store(0, std::memory_order_relaxed);
            OPTEX_STEP("uncounted", true);
            Unlock(held.owner);
            t_heldCount = 0;
            OPTEX_STEP("released", false);
            return;
        }
    }
    ReleaseAnyway();
}

[[gnu::noinline]] void TOptex::ReleaseAnyway() noexcept
{
    TOptexHeld* held = FindHeld();
    if (held == nullptr) [[unlikely]]
        return;  // not held by this thread: nothing to undo
    if (held->depth > 1) [[unlikely]] {
        --held->depth;
        SharedWord(state_->Depth).Store(held->depth, std::memory_order_relaxed);
        OPTEX_STEP("recursion unpublished", true);
        PublishCount(held->depth, Waiters());
        OPTEX_STEP("recursion uncounted", true);
        return;
    }
    const std::int32_t waiting = SharedWord(robust_->Waiting).Load(std::memory_order_relaxed);
    Publish(0, 0);
    PublishCount(0, waiting);
    OPTEX_STEP("uncounted", true);
    if (waiting != 0) [[unlikely]]
        Recount(0);  // waiters, or the count of one that died
    LetGo(*held);
}

inline void TOptex::LetGo(TOptexHeld& held) noexcept
{
    Unlock(held.owner);
    // No copy of an entry onto itself: reading back what was just written,
    // in other widths, stalls.
    TOptexHeld& last = t_held[--t_heldCount];
    if (&held != &last)
        held = last;
    OPTEX_STEP("released", false);
}

void TOptex::ForceRelease(TOptexHeld& held) noexcept
{
    Publish(0, 0);
    if (!Recount(0))
        PublishCount(0, Waiters());
    LetGo(held);
}
