#pragma once

#include <pthread.h>
#include <time.h>

#include <cstddef>

namespace platform {

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

    Status TryLock() const noexcept;
    // `deadline` is on CLOCK_MONOTONIC.
    Status LockUntil(const struct timespec& deadline) const noexcept;
    // After OwnerDied, once what the mutex guards is sound again.
    void MarkConsistent() const noexcept;
    // False when the mutex was not let go (its links lead elsewhere) or no
    // longer names the caller as its owner: then it may still be linked into
    // the calling thread's list of robust mutexes, and its memory must stay
    // mapped for as long as the process lives.
    bool Unlock() const noexcept;

    // The thread id that the mutex names as its owner; 0 when free.
    int OwnerTid() const noexcept;

    const pthread_mutex_t* Address() const noexcept { return mutex_; }

private:
    bool SoundKind() const noexcept;
    static Status Taken(int result) noexcept;

    pthread_mutex_t* mutex_;
    int kind_;
};

}  // namespace platform
