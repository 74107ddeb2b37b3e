#include "platform/settings/settings_file.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <system_error>
#include <thread>
#include <utility>

#include "platform/base/retry.h"
#include "platform/base/unique_fd.h"
#include "platform/files/directory_reader.h"
#include "platform/process/process.h"

namespace platform {
namespace {

// Removes a temporary file unless it has been put in place.
class TemporaryFile {
public:
    explicit TemporaryFile(std::string path) : path_(std::move(path)) {}
    ~TemporaryFile()
    {
        if (!path_.empty())
            ::unlink(path_.c_str());
    }
    TemporaryFile(const TemporaryFile&) = delete;
    TemporaryFile& operator=(const TemporaryFile&) = delete;

    void Keep() noexcept { path_.clear(); }

private:
    std::string path_;
};

}  // namespace

std::string DefaultSettingsFilePath()
{
    const std::string base = UserBaseDirectory("XDG_CONFIG_HOME", ".config");
    return base.empty() ? std::string() : base + "/vellumark/settings.reg";
}

SettingsFile::SettingsFile(std::string path, SettingsFileHooks hooks, std::chrono::milliseconds lockWait)
    : path_(std::move(path)), hooks_(std::move(hooks)), lockWait_(lockWait)
{}

SettingsFile SettingsFile::Default()
{
    return SettingsFile(DefaultSettingsFilePath());
}

SettingsFile::LoadStatus SettingsFile::Load(std::string& contents) const
{
    contents.clear();
    if (path_.empty())
        return LoadStatus::Unreadable;
    // O_NONBLOCK so that a pipe put in the file's place cannot stop us.
    UniqueFd fd(::open(path_.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    if (!fd)
        return errno == ENOENT ? LoadStatus::Missing : LoadStatus::Unreadable;
    struct stat info {};
    if (::fstat(fd.Get(), &info) != 0 || !S_ISREG(info.st_mode) || info.st_size > static_cast<off_t>(kMaxSize))
        return LoadStatus::Unreadable;

    // The size can change while we read; the cap holds regardless.
    std::string buffer;
    char chunk[65536];
    while (buffer.size() <= kMaxSize) {
        const ssize_t got = RetryOnInterrupt([&] { return ::read(fd.Get(), chunk, sizeof chunk); });
        if (got < 0)
            return LoadStatus::Unreadable;
        if (got == 0)
            break;
        buffer.append(chunk, static_cast<std::size_t>(got));
    }
    if (buffer.size() > kMaxSize)
        return LoadStatus::Unreadable;
    contents = std::move(buffer);
    return LoadStatus::Loaded;
}

bool SettingsFile::Save(std::string_view contents) const
{
    // What is saved must load again: a file past the read limit never would.
    if (contents.size() > kMaxSize)
        return false;
    const std::size_t slash = path_.rfind('/');
    const std::string dir = slash == std::string::npos ? "." : slash == 0 ? "/" : path_.substr(0, slash);
    const std::string name = slash == std::string::npos ? path_ : path_.substr(slash + 1);
    if (name.empty() || !MakePrivateDirectories(dir))
        return false;
    RemoveStaleTemporaryFiles(dir, name);

    std::string temporaryPath = dir + "/" + TemporaryPrefix(name) + "XXXXXX";
    UniqueFd fd(::mkostemp(temporaryPath.data(), O_CLOEXEC));
    if (!fd)
        return false;
    TemporaryFile temporary(temporaryPath);
    // Held until the file is in place, so that no other save takes it for
    // one left behind by a save that was killed.
    if (RetryOnInterrupt([&] { return ::flock(fd.Get(), LOCK_EX | LOCK_NB); }) != 0)
        return false;
    // Whatever the umask, the settings are the user's alone.
    if (::fchmod(fd.Get(), 0600) != 0)
        return false;

    const char* data = contents.data();
    std::size_t left = contents.size();
    while (left > 0) {
        const ssize_t wrote = RetryOnInterrupt(
            [&] { return hooks_.write ? hooks_.write(fd.Get(), data, left) : ::write(fd.Get(), data, left); });
        if (wrote <= 0)
            return false;
        data += wrote;
        left -= static_cast<std::size_t>(wrote);
    }
    // fsync reports any error of writing back, which close would not add to.
    if (Sync(fd.Get()) != 0)
        return false;

    const int renamed = hooks_.rename ? hooks_.rename(temporaryPath.c_str(), path_.c_str())
                                      : std::rename(temporaryPath.c_str(), path_.c_str());
    if (renamed != 0)
        return false;
    temporary.Keep();
    fd.Reset();
    // The new file is in place either way; this only makes the rename durable.
    const UniqueFd folder(::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (folder)
        Sync(folder.Get());
    return true;
}

std::optional<UniqueFd> SettingsFile::LockForChange() const
{
    const std::size_t slash = path_.rfind('/');
    if (path_.empty() || slash == std::string::npos || slash + 1 == path_.size())
        return std::nullopt;
    const std::string dir = slash == 0 ? "/" : path_.substr(0, slash);
    if (!MakePrivateDirectories(dir))
        return std::nullopt;
    const std::string lockPath = dir + "/." + path_.substr(slash + 1) + ".lock";
    UniqueFd fd(::open(lockPath.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC, 0600));
    struct stat info {};
    if (!fd || ::fstat(fd.Get(), &info) != 0 || !S_ISREG(info.st_mode))
        return std::nullopt;
    // flock has no timeout: poll, a little less often as the wait goes on.
    const auto deadline = std::chrono::steady_clock::now() + lockWait_;
    auto pause = std::chrono::microseconds(200);
    for (;;) {
        if (RetryOnInterrupt([&] { return ::flock(fd.Get(), LOCK_EX | LOCK_NB); }) == 0)
            return fd;
        if (errno == ENOLCK || errno == EOPNOTSUPP || errno == ENOSYS)
            return fd;  // no locks here: each change still merges, unguarded
        if (errno != EWOULDBLOCK || std::chrono::steady_clock::now() >= deadline)
            return std::nullopt;
        std::this_thread::sleep_for(pause);
        pause = std::min<std::chrono::microseconds>(pause * 2, std::chrono::milliseconds(10));
    }
}

int SettingsFile::Sync(int fd) const
{
    return hooks_.fsync ? hooks_.fsync(fd) : ::fsync(fd);
}

std::string SettingsFile::TemporaryPrefix(const std::string& name)
{
    return "." + name + ".";
}

void SettingsFile::RemoveStaleTemporaryFiles(const std::string& dir, const std::string& name) const
{
    const std::string prefix = TemporaryPrefix(name);
    auto listing = DirectoryReader::Open(AT_FDCWD, dir);
    if (!listing)
        return;
    while (const auto entry = listing->Next()) {
        const std::string_view candidate = entry->name;
        // Exactly what mkostemp makes of the pattern, nothing else.
        if (candidate.size() != prefix.size() + 6 || !candidate.starts_with(prefix))
            continue;
        const std::string path = dir + "/" + std::string(candidate);
        const UniqueFd fd(::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
        struct stat info {};
        if (!fd || ::fstat(fd.Get(), &info) != 0 || !S_ISREG(info.st_mode) || info.st_uid != ::geteuid())
            continue;
        // A living save holds its file locked; the kernel let go of a dead one's.
        if (RetryOnInterrupt([&] { return ::flock(fd.Get(), LOCK_EX | LOCK_NB); }) != 0)
            continue;
        // Only the very file that was judged: the name may have moved on.
        struct stat now {};
        if (::lstat(path.c_str(), &now) == 0 && now.st_dev == info.st_dev && now.st_ino == info.st_ino)
            ::unlink(path.c_str());
    }
}

}  // namespace platform
