#pragma once

#include <cstdint>

namespace platform {

// The calling thread's process and thread ids.
struct ThreadIdentity {
    std::int32_t pid = 0;
    std::int32_t tid = 0;
};

namespace detail {
extern thread_local ThreadIdentity t_identity;
extern thread_local bool t_known;
const ThreadIdentity& LearnCurrentThreadIdentity() noexcept;
}  // namespace detail

// The calling thread's identity, asked of the system once per thread (again
// after fork). Inline: a lock's fast path asks for it on every acquisition.
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

unsigned ProcessorCount() noexcept;

}  // namespace platform
