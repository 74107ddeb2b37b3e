#include "platform/ipc/private_dir.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <system_error>
#include <thread>

#include "platform/base/ascii.h"
#include "platform/base/retry.h"
#include "platform/process/process.h"

namespace platform {
namespace {

[[noreturn]] void Fail(int error, const char* what)
{
    throw std::system_error(error, std::generic_category(), what);
}

std::string OctalMode(mode_t mode)
{
    std::string digits;
    for (int shift = 9; shift >= 0; shift -= 3)
        digits += static_cast<char>('0' + ((mode >> shift) & 7));
    return digits;
}

// The private directory as found, refused: which folder, its mode, and what
// to do about it.
void CheckPrivateDirectory(const std::string& path, const struct stat& st)
{
    const std::string mode = OctalMode(st.st_mode & 07777);
    if (S_ISLNK(st.st_mode))
        throw PrivateDirectoryRefused(ELOOP, "The private folder " + path + " is a symbolic link (mode " + mode +
                                                 "), not a folder: remove it");
    if (!S_ISDIR(st.st_mode))
        throw PrivateDirectoryRefused(ENOTDIR,
                                      "The private folder " + path + " is not a folder (mode " + mode + "): remove it");
    if (st.st_uid != ::getuid())
        throw PrivateDirectoryRefused(EACCES, "The private folder " + path + " (mode " + mode +
                                                  ") belongs to another user: remove it");
    if ((st.st_mode & (S_IRWXG | S_IRWXO)) != 0)
        throw PrivateDirectoryRefused(EACCES, "The private folder " + path + " has mode " + mode +
                                                  ", open to other users: remove it, or make it mode 0700");
}

// Refuses a file in the private directory that another user could have
// planted or could read, and one with a second name: truncating a region
// that is also someone's document would destroy the document.
void CheckPrivateFile(const struct stat& st)
{
    if (!S_ISREG(st.st_mode))
        Fail(S_ISLNK(st.st_mode) ? ELOOP : EINVAL, "not a private object");
    if (st.st_uid != ::getuid() || (st.st_mode & (S_IRWXG | S_IRWXO)) != 0)
        Fail(EACCES, "not private to this user");
    if (st.st_nlink != 1)
        Fail(EMLINK, "a private file with more than one name");
}

// An environment variable that names an absolute path, or nullptr.
const char* AbsolutePathVariable(const char* name)
{
    const char* value = std::getenv(name);
    return value != nullptr && value[0] == '/' ? value : nullptr;
}

// Two independent 64-bit hashes: a shortened name keeps 128 bits of the whole.
std::string NameHash(std::string_view name)
{
    std::uint64_t fnv = 0xcbf29ce484222325ULL;
    std::uint64_t mix = 0x9e3779b97f4a7c15ULL ^ name.size();
    for (unsigned char c : name) {
        fnv = (fnv ^ c) * 0x100000001b3ULL;
        mix = (mix ^ c) * 0xff51afd7ed558ccdULL;
        mix ^= mix >> 29;
    }
    mix ^= mix >> 33;
    mix *= 0xc4ceb9fe1a85ec53ULL;
    mix ^= mix >> 33;
    return HexWord(fnv, 16, false) + HexWord(mix, 16, false);
}

}  // namespace

std::string PrivateDirectoryPath()
{
    if (const char* runtime = AbsolutePathVariable("XDG_RUNTIME_DIR"))
        return std::string(runtime) + "/vellumark";
    // Not a name in a shared directory such as /dev/shm: another user could
    // create it first, and its sticky bit would keep us from removing it.
    const std::string state = UserBaseDirectory("XDG_STATE_HOME", ".local/state");
    if (state.empty())
        Fail(ENOENT, "no home directory for the private directory");
    return state + "/vellumark/run";
}

UniqueFd OpenPrivateDirectory()
{
    const std::string path = PrivateDirectoryPath();
    // The runtime directory is the session's to make; a home is ours.
    if (AbsolutePathVariable("XDG_RUNTIME_DIR") == nullptr && !MakePrivateDirectories(path.substr(0, path.rfind('/'))))
        Fail(errno, "cannot create the private directory's parents");
    if (::mkdir(path.c_str(), 0700) != 0 && errno != EEXIST)
        Fail(errno, "cannot create the private directory");
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0)
        Fail(errno, "cannot inspect the private directory");
    CheckPrivateDirectory(path, st);
    UniqueFd fd(::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!fd)
        Fail(errno, "cannot open the private directory");
    // The name could have been swapped between lstat and open: check what we got.
    struct stat opened {};
    if (::fstat(fd.Get(), &opened) != 0)
        Fail(errno, "cannot inspect the private directory");
    CheckPrivateDirectory(path, opened);
    if (opened.st_dev != st.st_dev || opened.st_ino != st.st_ino)
        Fail(EAGAIN, "the private directory changed while it was opened");
    return fd;
}

std::string ObjectFileName(std::string_view name, std::string_view suffix)
{
    // '%' and '~' are escaped too, so the escaping is one-to-one and '~' only
    // ever appears in front of the hash of a shortened name.
    std::string escaped;
    escaped.reserve(name.size());
    for (unsigned char c : name) {
        if (c == '/' || c == '\0' || c == '%' || c == '~') {
            escaped += '%';
            AppendHexBytes(escaped, &c, 1, true);
        } else {
            escaped += static_cast<char>(c);
        }
    }
    constexpr std::size_t kMaxFileName = NAME_MAX;
    if (escaped.size() + suffix.size() <= kMaxFileName)
        return escaped + std::string(suffix);

    const std::string hash = NameHash(name);
    std::size_t keep = kMaxFileName - suffix.size() - 1 - hash.size();
    // Do not leave half an escape at the cut.
    for (std::size_t back = 1; back <= 2 && back <= keep; ++back)
        if (escaped[keep - back] == '%') {
            keep -= back;
            break;
        }
    return escaped.substr(0, keep) + '~' + hash + std::string(suffix);
}

UniqueFd OpenPrivateFile(int directory, const std::string& fileName)
{
    UniqueFd fd(::openat(directory, fileName.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (!fd)
        Fail(errno, "cannot open a private file");
    struct stat st {};
    if (::fstat(fd.Get(), &st) != 0)
        Fail(errno, "cannot inspect a private file");
    CheckPrivateFile(st);
    return fd;
}

PrivateFileLock PrivateFileLock::Acquire(int directory, const std::string& fileName, std::chrono::milliseconds wait)
{
    UniqueFd fd = OpenPrivateFile(directory, fileName);
    const auto deadline = std::chrono::steady_clock::now() + wait;
    auto pause = std::chrono::microseconds(200);
    for (;;) {
        if (RetryOnInterrupt([&] { return ::flock(fd.Get(), LOCK_EX | LOCK_NB); }) == 0)
            return PrivateFileLock(std::move(fd));
        if (errno != EWOULDBLOCK)
            Fail(errno, "cannot lock a private file");
        if (std::chrono::steady_clock::now() >= deadline)
            Fail(ETIMEDOUT, "timed out waiting for a private file lock");
        std::this_thread::sleep_for(pause);
        pause = std::min<std::chrono::microseconds>(pause * 2, std::chrono::milliseconds(10));
    }
}

std::optional<PrivateFileLock> PrivateFileLock::TryAcquire(int directory, const std::string& fileName)
{
    UniqueFd fd = OpenPrivateFile(directory, fileName);
    if (RetryOnInterrupt([&] { return ::flock(fd.Get(), LOCK_EX | LOCK_NB); }) == 0)
        return PrivateFileLock(std::move(fd));
    if (errno != EWOULDBLOCK)
        Fail(errno, "cannot lock a private file");
    return std::nullopt;
}

}  // namespace platform
