#pragma once

#include <linux/futex.h>
#include <pthread.h>
#include <time.h>

#include <atomic>
#include <cerrno>
#include <cstddef>
#include <cstdint>

// The GNU C library's mutex, whose fields the checks below read: its type,
// its lock word and its robust-list links (see robust_mutex.cpp for the
// checks of its layout).
#if defined(__GLIBC__) && __PTHREAD_MUTEX_HAVE_PREV
#define VELLUMARK_GLIBC_MUTEX 1
#endif

namespace platform {

namespace robust_detail {
// The calling thread's list of robust mutexes as the kernel has it
// registered, looked up once per thread. Initial-exec, as the optex's own
// records: no call on every access from position-independent code.
[[gnu::tls_model("initial-exec")]] inline thread_local std::uintptr_t t_listHead = 0;
std::uintptr_t RegisteredListHead() noexcept;
inline std::uintptr_t ListHead() noexcept
{
    std::uintptr_t head = t_listHead;
    if (head == 0) [[unlikely]]
        head = t_listHead = RegisteredListHead();
    return head;
}
}  // namespace robust_detail

// A robust mutex (pthread's, error-checking) in memory that it does not own,
// typically shared with other processes of this user. When its owner dies,
// at any instruction and also halfway through taking or letting go, the
// kernel marks it, and the next taker learns so (OwnerDied), repairs what it
// guards and says so with MarkConsistent; a mutex let go without that is
// unrecoverable for good (Damaged).
//
// The memory may have been written by anyone who can open it. Before pthread
// sees the mutex its type is checked, and before the holder lets go its type
// is put right; its links in the thread's list of robust mutexes (which the
// thread's other robust mutexes rewrite, and which pthread follows when it
// lets go) must point at the list's head or into memory announced with
// AddMemory, or it is not let go at all. So nonsense written there cannot
// lead pthread to memory outside our mappings. (A writer racing pthread's own
// reads could still; such a process could as well debug us.)
//
// pthread's interface cannot tell a mutex's type or links, so with the GNU C
// library those checks read its mutex's fields. Their layout is checked when
// this is built, and proved at the first use on a mutex of our own
// (LayoutHolds); a library whose mutexes behave otherwise is never trusted
// with a mutex here: every one is Damaged, none is ever taken.
class RobustMutex {
public:
    enum class Status {
        Acquired,   // held now
        OwnerDied,  // held now; the last owner died holding it: repair, then MarkConsistent
        Busy,       // someone else holds it
        TimedOut,   // still held by someone else at the deadline
        Damaged,    // the memory does not hold a sound mutex of this kind
    };

    // Sets up a mutex in fresh memory. 0 or the errno value.
    static int Initialize(pthread_mutex_t& mutex, bool processShared) noexcept;

    // Where the fields that the checks read lie in a pthread_mutex_t: the
    // lock word, the owner, the type and the two robust-list links.
    struct Layout {
        std::size_t lock, owner, kind, next, prev;
    };
    // The layout this build reads, and whether the C library's mutexes keep
    // to it: tried once, at the first call, on a mutex of our own.
    static const Layout& BuiltLayout() noexcept;
    static bool LayoutHolds() noexcept;
    // Whether a mutex of this C library, taken and let go, shows in `layout`
    // what it must: this thread as its owner in the lock word and the owner
    // field, its type unchanged, its links at the head of this thread's list
    // of robust mutexes as the kernel has it. For tests: a changed layout
    // fails it.
    static bool ProbeLayout(const Layout& layout) noexcept;

    // Memory that holds robust mutexes of this process, announced while it is
    // mapped. False when too many are announced.
    static bool AddMemory(const void* begin, std::size_t size) noexcept;
    static void RemoveMemory(const void* begin) noexcept;

    // Uninitialised, to be assigned: trivial, so that it can live in
    // zero-initialised thread-local storage.
    RobustMutex() noexcept = default;
    RobustMutex(pthread_mutex_t& mutex, bool processShared) noexcept;

    Status TryLock() const noexcept
    {
        if (!SoundKind()) [[unlikely]]
            return Status::Damaged;
        const int result = ::pthread_mutex_trylock(mutex_);
        if (result == 0) [[likely]]
            return Status::Acquired;
        return Taken(result);
    }
    // `deadline` is on CLOCK_MONOTONIC.
    Status LockUntil(const struct timespec& deadline) const noexcept;
    // After OwnerDied, once what the mutex guards is sound again.
    void MarkConsistent() const noexcept;
    // False when the mutex was not let go (its links lead elsewhere) or no
    // longer names the caller as its owner: then it may still be linked into
    // the calling thread's list of robust mutexes, and its memory must stay
    // mapped for as long as the process lives.
    bool Unlock() const noexcept
    {
#if defined(VELLUMARK_GLIBC_MUTEX)
        // The usual case, checked at once: the type as it was, and the
        // mutex the only one in this thread's list.
        using Link = __pthread_list_t*;
        const std::uintptr_t head = robust_detail::ListHead();
        if (kind_ == -1 || std::atomic_ref<int>(mutex_->__data.__kind).load(std::memory_order_relaxed) != kind_ ||
            reinterpret_cast<std::uintptr_t>(
                std::atomic_ref<Link>(mutex_->__data.__list.__next).load(std::memory_order_relaxed)) != head ||
            reinterpret_cast<std::uintptr_t>(
                std::atomic_ref<Link>(mutex_->__data.__list.__prev).load(std::memory_order_relaxed)) != head)
            [[unlikely]]
            return UnlockChecked();
#endif
        return ::pthread_mutex_unlock(mutex_) == 0;
    }

    // The thread id that the mutex names as its owner; 0 when free.
    int OwnerTid() const noexcept
    {
#if defined(VELLUMARK_GLIBC_MUTEX)
        return std::atomic_ref<int>(mutex_->__data.__lock).load(std::memory_order_relaxed) & FUTEX_TID_MASK;
#else
        return 0;
#endif
    }

    const pthread_mutex_t* Address() const noexcept { return mutex_; }

private:
    bool SoundKind() const noexcept
    {
#if defined(VELLUMARK_GLIBC_MUTEX)
        // Another type (priority-protected, say) would take pthread down
        // paths that this memory was never set up for.
        return kind_ != -1 && std::atomic_ref<int>(mutex_->__data.__kind).load(std::memory_order_relaxed) == kind_;
#else
        return true;
#endif
    }
    static Status Taken(int result) noexcept
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
    bool UnlockChecked() const noexcept;

    pthread_mutex_t* mutex_;
    int kind_;
};

}  // namespace platform
