#pragma once

#include <string>

namespace platform {

// The resolved path of the running program file, as bytes; empty when the
// system cannot tell.
std::string ExecutablePath();

// The user's home: $HOME when it is an absolute path, else what the user
// database says; empty when neither tells.
std::string HomeDirectory();

// A base directory of the user's (XDG_CONFIG_HOME, XDG_STATE_HOME, ...): the
// variable when it holds an absolute path (relative and empty ones are to be
// ignored), else homeRelative below the home; no trailing slash. Empty when
// there is no home either.
std::string UserBaseDirectory(const char* variable, const char* homeRelative);

// Like mkdir -p, with mode 0700 for each folder it makes, so that nothing of
// ours is readable by others even for a moment; folders already there (or
// links to folders) stay as they are. False, with errno set, on failure.
bool MakePrivateDirectories(const std::string& path);

}  // namespace platform
