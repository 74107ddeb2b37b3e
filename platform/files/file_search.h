#pragma once

#include <string>
#include <string_view>

#include <sys/stat.h>

namespace platform {

// The Generate command's existence test. The name is taken as a search
// pattern: "*" and "?" in its last component act as wildcards and the first
// entry of the directory listing that matches decides. A name that exists as
// written is taken literally first, since "*" and "?" are ordinary characters
// in Linux file names. The test passes only for a regular file (after
// following symbolic links), whatever its last-write time: a directory, FIFO,
// socket or device fails, because opening some of those blocks or never ends.
bool FileExistsByPattern(const std::string& name);

// The same test for a caller that has already looked at the name with
// stat(2): `info` is what stat found, or null when it failed. The search
// pattern is looked at only then.
bool FileExistsByPattern(const std::string& name, const struct stat* info);

// Whether name matches pattern, where "*" stands for any run of characters,
// "?" for exactly one character (a whole UTF-8 sequence) and every other byte
// for itself. Case matters, as it does in Linux file names.
bool MatchesWildcard(std::string_view pattern, std::string_view name);

}  // namespace platform
