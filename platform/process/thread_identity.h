#pragma once

#include <cstdint>

namespace platform {

// Who a thread is, in a form that survives the reuse of thread ids: the
// kernel hands a freed id to the next new thread, so an id alone cannot tell
// a dead thread from its successor, but the id together with the thread's
// start time (clock ticks since boot) can.
struct ThreadIdentity {
    std::int32_t pid = 0;
    std::int32_t tid = 0;
    std::uint64_t startTime = 0;     // 0 when /proc could not tell
    std::uint64_t pidNamespace = 0;  // inode of the pid namespace; 0 when unknown
};

namespace detail {
extern thread_local ThreadIdentity t_identity;
extern thread_local bool t_known;
const ThreadIdentity& LearnCurrentThreadIdentity() noexcept;
}  // namespace detail

// The calling thread's identity, read once per thread (again after fork).
// Inline: a lock's fast path asks for it on every acquisition.
inline const ThreadIdentity& CurrentThreadIdentity() noexcept
{
    if (!detail::t_known) [[unlikely]]
        return detail::LearnCurrentThreadIdentity();
    return detail::t_identity;
}

inline std::uint32_t CurrentThreadId() noexcept
{
    return static_cast<std::uint32_t>(CurrentThreadIdentity().tid);
}

// The identity of this process's main thread (tid = pid): its start time is
// the process's, so it tells the process from a later one with its id.
ThreadIdentity CurrentProcessIdentity() noexcept;

enum class ThreadLiveness { Alive, Gone, Unknown };

// Whether the thread that `recorded` describes still runs. Gone only when
// that is certain; whatever cannot be checked is Unknown.
ThreadLiveness ProbeThread(const ThreadIdentity& recorded) noexcept;

unsigned ProcessorCount() noexcept;

}  // namespace platform
