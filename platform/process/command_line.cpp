#include "platform/process/command_line.h"

#include <fcntl.h>
#include <unistd.h>

#include "platform/base/retry.h"
#include "platform/base/unique_fd.h"

namespace platform {

std::vector<std::string> CommandLineArguments()
{
    std::vector<std::string> arguments;
    UniqueFd fd(::open("/proc/self/cmdline", O_RDONLY | O_CLOEXEC));
    if (!fd)
        return arguments;
    std::string text;
    char buffer[4096];
    for (;;) {
        const ssize_t got = RetryOnInterrupt([&] { return ::read(fd.Get(), buffer, sizeof buffer); });
        if (got < 0)
            return {};
        if (got == 0)
            break;
        text.append(buffer, static_cast<std::size_t>(got));
    }
    // Each argument ends with a zero byte.
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t end = text.find('\0', start);
        if (end == std::string::npos)
            end = text.size();
        arguments.emplace_back(text, start, end - start);
        start = end + 1;
    }
    return arguments;
}

}  // namespace platform
