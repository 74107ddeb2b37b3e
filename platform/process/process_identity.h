#pragma once

#include <cstdint>

namespace platform {

// Who a process is, in a form that survives the reuse of process ids: the
// kernel hands a freed id to the next new process, so an id alone cannot tell
// a dead process from its successor, but the id together with the process's
// start time (clock ticks since boot) can.
struct ProcessIdentity {
    std::int32_t pid = 0;
    std::uint64_t startTime = 0;     // 0 when /proc could not tell
    std::uint64_t pidNamespace = 0;  // inode of the pid namespace; 0 when unknown
};

ProcessIdentity CurrentProcessIdentity() noexcept;

enum class ProcessLiveness { Alive, Gone, Unknown };

// Whether the process that `recorded` describes still runs. Gone only when
// that is certain; whatever cannot be checked is Unknown.
ProcessLiveness ProbeProcess(const ProcessIdentity& recorded) noexcept;

}  // namespace platform
