#include "platform/process/process_identity.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/base/retry.h"
#include "platform/base/unique_fd.h"

namespace platform {
namespace {

enum class StatResult { Read, Missing, Failed };

// Reads the state letter and start time (fields 3 and 22) of /proc/<pid>/stat.
// The command name in field 2 may hold spaces and parentheses, so fields are
// counted from the last ')'.
StatResult ReadProcessStat(std::int32_t pid, char& state, std::uint64_t& startTime)
{
    char path[64];
    std::snprintf(path, sizeof path, "/proc/%d/stat", static_cast<int>(pid));
    const UniqueFd fd(::open(path, O_RDONLY | O_CLOEXEC));
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

ProcessIdentity CurrentProcessIdentity() noexcept
{
    ProcessIdentity identity;
    identity.pid = static_cast<std::int32_t>(::getpid());
    char state = 0;
    if (ReadProcessStat(identity.pid, state, identity.startTime) != StatResult::Read)
        identity.startTime = 0;
    identity.pidNamespace = PidNamespace();
    return identity;
}

ProcessLiveness ProbeProcess(const ProcessIdentity& recorded) noexcept
{
    if (recorded.pid <= 0)
        return ProcessLiveness::Unknown;
    // Ids only mean something inside the namespace that issued them.
    if (recorded.pidNamespace == 0 || recorded.pidNamespace != PidNamespace())
        return ProcessLiveness::Unknown;
    char state = 0;
    std::uint64_t startTime = 0;
    switch (ReadProcessStat(recorded.pid, state, startTime)) {
    case StatResult::Missing:
        return ProcessLiveness::Gone;
    case StatResult::Failed:
        return ProcessLiveness::Unknown;
    case StatResult::Read:
        break;
    }
    // A zombie has ended; only its parent has not collected it yet.
    if (state == 'Z' || state == 'X' || state == 'x')
        return ProcessLiveness::Gone;
    // Same id, other start time: the id has been handed to a new process.
    if (recorded.startTime != 0 && startTime != recorded.startTime)
        return ProcessLiveness::Gone;
    return ProcessLiveness::Alive;
}

}  // namespace platform
