#pragma once

#include <string>
#include <string_view>

namespace platform {

// The current folder, or empty (errno set) when it cannot be told: it was
// removed, or a folder above it cannot be searched.
std::string CurrentDirectory();

// The name made absolute against the current directory, with "." components
// and repeated slashes dropped; ".." stays, since a symbolic link before it
// would make dropping it name another file. Only for messages.
std::string AbsoluteFileName(const std::string& name);
// The same against the given directory (itself absolute); an empty one
// leaves a relative name relative.
std::string AbsoluteFileName(std::string_view name, std::string_view workingDirectory);

}  // namespace platform
