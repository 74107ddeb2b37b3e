#include "platform/process/process.h"

#include <limits.h>
#include <unistd.h>

#include <vector>

namespace platform {

std::string ExecutablePath()
{
    // readlink does not say whether it truncated, so grow until it fits.
    std::vector<char> buffer(PATH_MAX);
    for (;;) {
        const ssize_t length = ::readlink("/proc/self/exe", buffer.data(), buffer.size());
        if (length < 0)
            return {};
        if (static_cast<std::size_t>(length) < buffer.size())
            return std::string(buffer.data(), static_cast<std::size_t>(length));
        buffer.resize(buffer.size() * 2);
    }
}

}  // namespace platform
