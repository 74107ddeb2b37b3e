#include "platform/process/process.h"

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <system_error>
#include <vector>

namespace platform {
namespace {

const char* AbsolutePathVariable(const char* name)
{
    const char* value = std::getenv(name);
    return value != nullptr && value[0] == '/' ? value : nullptr;
}

bool IsDirectory(const std::string& path)
{
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

}  // namespace

std::string ExecutablePath()
{
    std::error_code error;
    const std::filesystem::path path = std::filesystem::read_symlink("/proc/self/exe", error);
    return error ? std::string() : path.string();
}

std::string HomeDirectory()
{
    if (const char* home = AbsolutePathVariable("HOME"))
        return home;
    const long size = ::sysconf(_SC_GETPW_R_SIZE_MAX);
    std::vector<char> buffer(size > 0 ? static_cast<std::size_t>(size) : 16384);
    struct passwd entry {};
    struct passwd* found = nullptr;
    if (::getpwuid_r(::getuid(), &entry, buffer.data(), buffer.size(), &found) == 0 && found != nullptr &&
        found->pw_dir != nullptr && found->pw_dir[0] == '/')
        return found->pw_dir;
    return {};
}

std::string UserBaseDirectory(const char* variable, const char* homeRelative)
{
    std::string base;
    if (const char* value = AbsolutePathVariable(variable)) {
        base = value;
    } else {
        base = HomeDirectory();
        if (base.empty())
            return {};
        base += '/';
        base += homeRelative;
    }
    while (base.size() > 1 && base.back() == '/')
        base.pop_back();
    return base;
}

bool MakePrivateDirectories(const std::string& path)
{
    // std::filesystem::create_directories cannot give a new folder its mode
    // as it makes it; a chmod afterwards would leave a moment in which the
    // umask's mode lets others look in.
    if (IsDirectory(path))
        return true;
    for (std::size_t end = path.find('/', 1);; end = path.find('/', end + 1)) {
        const std::string prefix = path.substr(0, end);
        if (!prefix.empty() && prefix.back() != '/' && ::mkdir(prefix.c_str(), 0700) != 0) {
            if (errno != EEXIST)
                return false;
            if (!IsDirectory(prefix))
                return errno = ENOTDIR, false;
        }
        if (end == std::string::npos)
            return true;
    }
}

}  // namespace platform
