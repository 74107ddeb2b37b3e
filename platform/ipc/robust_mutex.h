#pragma once

#include <pthread.h>
#include <time.h>

#include <cstddef>

namespace platform {

// A robust mutex (pthread's, error-checking) in memory that it does not own,
// typically shared with other processes of this user. When its owner dies,
// at any instruction and also halfway through taking or letting go, the
// kernel marks it, and the next taker learns so (OwnerDied) and repairs what
// it guards.
//
// The memory may have been written by anyone who can open it. Before pthread
// sees the mutex its type is checked, and before the holder lets go its type
// and owner are put right; its links in the thread's list of robust mutexes
// (which the thread's other robust mutexes rewrite, and which pthread
// follows when it lets go) must point at the list's head or into memory
// announced with AddMemory, or it is not let go at all. So nonsense written
// there cannot lead pthread to memory outside our mappings. (A writer racing
// pthread's own reads could still; such a process could as well debug us.)
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
