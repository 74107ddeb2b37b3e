#include "platform/process/thread_identity.h"

#include <pthread.h>
#include <unistd.h>

#include <thread>

namespace platform {

namespace detail {
thread_local ThreadIdentity t_identity;
thread_local bool t_known = false;
}  // namespace detail

namespace {

// The child of a fork is a new thread with the same cached values.
void ForgetAfterFork()
{
    detail::t_known = false;
}

}  // namespace

const ThreadIdentity& detail::LearnCurrentThreadIdentity() noexcept
{
    static const bool registered = ::pthread_atfork(nullptr, nullptr, ForgetAfterFork) == 0;
    (void)registered;
    t_identity.pid = static_cast<std::int32_t>(::getpid());
    t_identity.tid = static_cast<std::int32_t>(::gettid());
    t_known = true;
    return t_identity;
}

unsigned ProcessorCount() noexcept
{
    const unsigned count = std::thread::hardware_concurrency();
    return count == 0 ? 1 : count;
}

}  // namespace platform
