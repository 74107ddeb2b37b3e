#pragma once

#include <cstddef>

namespace platform {

// Keeps a mapping of a file from ending the process when the file shrinks
// under it. Touching a mapped page past a file's end raises SIGBUS, whose
// default action kills the process; while a guard lives, a fault inside its
// range replaces the whole range with zero pages instead and marks the guard,
// so that whoever reads the mapping goes on and then learns the file changed.
// Faults elsewhere still get the action that was there before.
//
// Guards may be used on any thread; a few can live at once (a process reads
// one file at a time).
class MappingFaultGuard {
public:
    // Throws Exception when every slot is taken or the handler cannot be had.
    MappingFaultGuard(void* begin, std::size_t length);
    ~MappingFaultGuard();
    MappingFaultGuard(const MappingFaultGuard&) = delete;
    MappingFaultGuard& operator=(const MappingFaultGuard&) = delete;

    // Whether a fault hit the range (its bytes are zeros from there on).
    bool Faulted() const noexcept;

private:
    int slot_;
};

}  // namespace platform
