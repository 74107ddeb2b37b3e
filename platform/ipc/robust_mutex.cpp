#include "platform/ipc/robust_mutex.h"

#include <linux/futex.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdint>

namespace platform {
namespace {

#if defined(__GLIBC__)
// What pthread's unlock reads besides the lock word and the links: the type,
// and the owner field, whose "inconsistent" mark would make the mutex
// unrecoverable. A holder's owner field is its thread id.
constexpr int kInconsistent = 0x7fffffff;

// Announced mutex memory; an entry is live while its end is set.
constexpr int kMaxMemories = 256;
struct MemoryRange {
    std::atomic<std::uintptr_t> begin{0};
    std::atomic<std::uintptr_t> end{0};
};
MemoryRange g_memories[kMaxMemories];
std::atomic<int> g_memoriesUsed{0};

// The calling thread's list head, as the kernel has it registered.
std::uintptr_t ListHead() noexcept
{
    thread_local std::uintptr_t head = [] {
        void* registered = nullptr;
        std::size_t length = 0;
        return ::syscall(SYS_get_robust_list, 0, &registered, &length) == 0
                   ? reinterpret_cast<std::uintptr_t>(registered)
                   : std::uintptr_t{0};
    }();
    return head;
}

// pthread takes a link as the address of a list entry's second word and
// writes the entry's two words: both must lie in our mutex memory, or the
// link must be the list head.
bool SoundLink(const void* link) noexcept
{
    const auto at = reinterpret_cast<std::uintptr_t>(link);
    if (at == ListHead() && at != 0)
        return true;
    constexpr std::uintptr_t kBefore = offsetof(__pthread_list_t, __next);
    if (at < kBefore || at > UINTPTR_MAX - sizeof(void*))
        return false;
    const int used = g_memoriesUsed.load(std::memory_order_acquire);
    for (int i = 0; i < used; ++i) {
        const std::uintptr_t end = g_memories[i].end.load(std::memory_order_acquire);
        const std::uintptr_t begin = g_memories[i].begin.load(std::memory_order_acquire);
        if (end != 0 && at - kBefore >= begin && at + sizeof(void*) <= end)
            return true;
    }
    return false;
}
#endif

struct Attributes {
    explicit Attributes(bool processShared) noexcept
    {
        error = ::pthread_mutexattr_init(&attributes);
        if (error == 0)
            error = ::pthread_mutexattr_settype(&attributes, PTHREAD_MUTEX_ERRORCHECK);
        if (error == 0)
            error = ::pthread_mutexattr_setrobust(&attributes, PTHREAD_MUTEX_ROBUST);
        if (error == 0)
            error = ::pthread_mutexattr_setpshared(&attributes,
                                                   processShared ? PTHREAD_PROCESS_SHARED : PTHREAD_PROCESS_PRIVATE);
    }
    ~Attributes() { ::pthread_mutexattr_destroy(&attributes); }
    Attributes(const Attributes&) = delete;
    Attributes& operator=(const Attributes&) = delete;

    pthread_mutexattr_t attributes;
    int error = 0;
};

// What a sound mutex of our kind has in its type field, learnt from a
// mutex set up here.
int ExpectedKind(bool processShared) noexcept
{
#if defined(__GLIBC__)
    static const int kinds[2] = {[] {
                                     pthread_mutex_t probe{};
                                     return RobustMutex::Initialize(probe, false) == 0 ? probe.__data.__kind : -1;
                                 }(),
                                 [] {
                                     pthread_mutex_t probe{};
                                     return RobustMutex::Initialize(probe, true) == 0 ? probe.__data.__kind : -1;
                                 }()};
    return kinds[processShared ? 1 : 0];
#else
    (void)processShared;
    return 0;
#endif
}

}  // namespace

int RobustMutex::Initialize(pthread_mutex_t& mutex, bool processShared) noexcept
{
    const Attributes attributes(processShared);
    if (attributes.error != 0)
        return attributes.error;
    return ::pthread_mutex_init(&mutex, &attributes.attributes);
}

bool RobustMutex::AddMemory(const void* begin, std::size_t size) noexcept
{
#if defined(__GLIBC__)
    const auto first = reinterpret_cast<std::uintptr_t>(begin);
    for (int i = 0; i < kMaxMemories; ++i) {
        std::uintptr_t empty = 0;
        if (!g_memories[i].begin.compare_exchange_strong(empty, first))
            continue;
        g_memories[i].end.store(first + size, std::memory_order_release);
        int used = g_memoriesUsed.load();
        while (used < i + 1 && !g_memoriesUsed.compare_exchange_weak(used, i + 1)) {
        }
        return true;
    }
    return false;
#else
    (void)begin;
    (void)size;
    return true;
#endif
}

void RobustMutex::RemoveMemory(const void* begin) noexcept
{
#if defined(__GLIBC__)
    const auto first = reinterpret_cast<std::uintptr_t>(begin);
    for (auto& memory : g_memories)
        if (memory.begin.load() == first && memory.end.load() != 0) {
            memory.end.store(0);
            memory.begin.store(0);
            return;
        }
#else
    (void)begin;
#endif
}

RobustMutex::RobustMutex(pthread_mutex_t& mutex, bool processShared) noexcept
    : mutex_(&mutex), kind_(ExpectedKind(processShared))
{}

bool RobustMutex::SoundKind() const noexcept
{
#if defined(__GLIBC__)
    // Another type (priority-protected, say) would take pthread down paths
    // that this memory was never set up for.
    return kind_ != -1 && std::atomic_ref<int>(mutex_->__data.__kind).load(std::memory_order_relaxed) == kind_;
#else
    return true;
#endif
}

RobustMutex::Status RobustMutex::Taken(int result) noexcept
{
    switch (result) {
    case 0:
        return Status::Acquired;
    case EOWNERDEAD:
        return Status::OwnerDied;
    case EBUSY:
        return Status::Busy;
    case ETIMEDOUT:
        return Status::TimedOut;
    default:
        // EDEADLK: the word names the caller, who does not hold it;
        // ENOTRECOVERABLE, EINVAL, EAGAIN: nonsense in the fields.
        return Status::Damaged;
    }
}

RobustMutex::Status RobustMutex::TryLock() const noexcept
{
    if (!SoundKind())
        return Status::Damaged;
    return Taken(::pthread_mutex_trylock(mutex_));
}

RobustMutex::Status RobustMutex::LockUntil(const struct timespec& deadline) const noexcept
{
    if (!SoundKind())
        return Status::Damaged;
    return Taken(::pthread_mutex_clocklock(mutex_, CLOCK_MONOTONIC, &deadline));
}

void RobustMutex::MarkConsistent() const noexcept
{
    // It fails only for a mutex that was not inconsistent; either way the
    // caller holds it.
    ::pthread_mutex_consistent(mutex_);
}

bool RobustMutex::Unlock() const noexcept
{
#if defined(__GLIBC__)
    const std::atomic_ref<int> kind(mutex_->__data.__kind);
    if (kind.load(std::memory_order_relaxed) != kind_ && kind_ != -1)
        kind.store(kind_, std::memory_order_relaxed);
    // Only a holder that died leaves the mark; this one lives.
    const std::atomic_ref<int> owner(mutex_->__data.__owner);
    if (owner.load(std::memory_order_relaxed) == kInconsistent)
        owner.store(OwnerTid(), std::memory_order_relaxed);
    using Link = __pthread_list_t*;
    if (!SoundLink(std::atomic_ref<Link>(mutex_->__data.__list.__next).load(std::memory_order_relaxed)) ||
        !SoundLink(std::atomic_ref<Link>(mutex_->__data.__list.__prev).load(std::memory_order_relaxed)))
        return false;
#endif
    return ::pthread_mutex_unlock(mutex_) == 0;
}

int RobustMutex::OwnerTid() const noexcept
{
#if defined(__GLIBC__)
    return std::atomic_ref<int>(mutex_->__data.__lock).load(std::memory_order_relaxed) & FUTEX_TID_MASK;
#else
    return 0;
#endif
}

}  // namespace platform
