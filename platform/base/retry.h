#pragma once

#include <cerrno>

namespace platform {

// Repeats a system call that a signal interrupted (-1 with EINTR) and gives
// its final result; errno is the call's own on failure.
template <class Call>
auto RetryOnInterrupt(Call&& call)
{
    for (;;) {
        const auto result = call();
        if (!(result == -1 && errno == EINTR))
            return result;
    }
}

}  // namespace platform
