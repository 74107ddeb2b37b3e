#pragma once

#include <string>

namespace platform {

// The resolved path of the running program file, as bytes; empty when the
// system cannot tell.
std::string ExecutablePath();

}  // namespace platform
