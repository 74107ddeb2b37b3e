#pragma once

#include <string>
#include <vector>

namespace platform {

// The program's arguments as it was started, argument 0 (the program) first,
// as bytes: what the kernel keeps in /proc/self/cmdline, before any toolkit
// took its own options out. Empty when the system cannot tell.
std::vector<std::string> CommandLineArguments();

}  // namespace platform
