#include "platform/process/thread_identity.h"

#include <fcntl.h>
#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "platform/base/retry.h"
#include "platform/base/unique_fd.h"

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

enum class StatResult { Read, Missing, Failed };

// Reads the state letter and start time (fields 3 and 22) of
// /proc/<pid>/task/<tid>/stat. The command name in field 2 may hold spaces
// and parentheses, so fields are counted from the last ')'.
StatResult ReadThreadStat(std::int32_t pid, std::int32_t tid, char& state, std::uint64_t& startTime)
{
    char path[64];
    std::snprintf(path, sizeof path, "/proc/%d/task/%d/stat", static_cast<int>(pid), static_cast<int>(tid));
    UniqueFd fd(::open(path, O_RDONLY | O_CLOEXEC));
    if (!fd)
        return errno == ENOENT || errno == ESRCH ? StatResult::Missing : StatResult::Failed;
    char buffer[1024];
    const ssize_t length = RetryOnInterrupt([&] { return ::read(fd.Get(), buffer, sizeof buffer - 1); });
    if (length < 0)
        return errno == ESRCH ? StatResult::Missing : StatResult::Failed;
    buffer[length] = '\0';
    const char* close = std::strrchr(buffer, ')');
    if (close == nullptr || close[1] != ' ' || close[2] == '\0')
        return StatResult::Failed;
    state = close[2];
    const char* field = close + 2;
    for (int index = 3; index < 22; ++index) {
        field = std::strchr(field, ' ');
        if (field == nullptr)
            return StatResult::Failed;
        ++field;
    }
    char* end = nullptr;
    errno = 0;
    startTime = std::strtoull(field, &end, 10);
    if (end == field || errno != 0)
        return StatResult::Failed;
    return StatResult::Read;
}

std::uint64_t PidNamespace()
{
    struct stat st {};
    if (::stat("/proc/self/ns/pid", &st) != 0)
        return 0;
    return static_cast<std::uint64_t>(st.st_ino);
}

}  // namespace

const ThreadIdentity& detail::LearnCurrentThreadIdentity() noexcept
{
    static const bool registered = ::pthread_atfork(nullptr, nullptr, ForgetAfterFork) == 0;
    (void)registered;
    ThreadIdentity identity;
    identity.pid = static_cast<std::int32_t>(::getpid());
    identity.tid = static_cast<std::int32_t>(::gettid());
    char state = 0;
    if (ReadThreadStat(identity.pid, identity.tid, state, identity.startTime) != StatResult::Read)
        identity.startTime = 0;
    identity.pidNamespace = PidNamespace();
    t_identity = identity;
    t_known = true;
    return t_identity;
}

ThreadIdentity CurrentProcessIdentity() noexcept
{
    ThreadIdentity identity;
    identity.pid = static_cast<std::int32_t>(::getpid());
    identity.tid = identity.pid;
    char state = 0;
    if (ReadThreadStat(identity.pid, identity.tid, state, identity.startTime) != StatResult::Read)
        identity.startTime = 0;
    identity.pidNamespace = PidNamespace();
    return identity;
}

ThreadLiveness ProbeThread(const ThreadIdentity& recorded) noexcept
{
    if (recorded.pid <= 0 || recorded.tid <= 0)
        return ThreadLiveness::Unknown;
    // Ids only mean something inside the namespace that issued them.
    const ThreadIdentity& self = CurrentThreadIdentity();
    if (recorded.pidNamespace == 0 || recorded.pidNamespace != self.pidNamespace)
        return ThreadLiveness::Unknown;
    char state = 0;
    std::uint64_t startTime = 0;
    switch (ReadThreadStat(recorded.pid, recorded.tid, state, startTime)) {
    case StatResult::Missing:
        return ThreadLiveness::Gone;
    case StatResult::Failed:
        return ThreadLiveness::Unknown;
    case StatResult::Read:
        break;
    }
    // A zombie has ended; only its parent has not collected it yet.
    if (state == 'Z' || state == 'X' || state == 'x')
        return ThreadLiveness::Gone;
    // Same id, other start time: the id has been handed to a new thread.
    if (recorded.startTime != 0 && startTime != recorded.startTime)
        return ThreadLiveness::Gone;
    return ThreadLiveness::Alive;
}

unsigned ProcessorCount() noexcept
{
    const unsigned count = std::thread::hardware_concurrency();
    return count == 0 ? 1 : count;
}

}  // namespace platform
