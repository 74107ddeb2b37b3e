#include "platform/files/file_names.h"

#include <limits.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace platform {

std::string CurrentDirectory()
{
    std::string buffer(PATH_MAX, '\0');
    for (;;) {
        if (::getcwd(buffer.data(), buffer.size()) != nullptr) {
            buffer.resize(std::strlen(buffer.c_str()));
            return buffer;
        }
        if (errno != ERANGE)
            return {};
        buffer.resize(buffer.size() * 2);
    }
}

std::string AbsoluteFileName(const std::string& name)
{
    return AbsoluteFileName(name, CurrentDirectory());
}

std::string AbsoluteFileName(std::string_view name, std::string_view workingDirectory)
{
    std::string whole;
    if ((name.empty() || name.front() != '/') && !workingDirectory.empty())
        whole.append(workingDirectory).append("/");
    whole.append(name);

    // Rebuild from the components, leaving out empty ones and ".".
    std::string result;
    std::size_t start = 0;
    while (start <= whole.size()) {
        std::size_t end = whole.find('/', start);
        if (end == std::string::npos)
            end = whole.size();
        const std::string_view component(whole.data() + start, end - start);
        if (!component.empty() && component != ".") {
            if (!result.empty() || whole.front() == '/')
                result += '/';
            result += component;
        }
        start = end + 1;
    }
    if (result.empty())
        result = whole.empty() || whole.front() != '/' ? whole : "/";
    return result;
}

}  // namespace platform
