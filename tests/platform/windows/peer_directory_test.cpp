// The sweep of the peers folder, as another user than the one the tests run
// as: only there does the system refuse to say whether a process lives.

#include "platform/windows/peer_directory.h"

#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <string>

namespace {

using namespace platform;

constexpr uid_t kNobody = 65534;

// What the child says with its exit code.
enum Verdict { kKeptAndSwept = 0, kNoDrop = 10, kNotRefused = 11, kNoFiles = 12, kRemoved = 13, kNotSwept = 14 };

// A socket file and a temporary record, as a process leaves them now and
// then without its record (between starting to listen and publishing it).
bool LeaveFilesOf(const std::string& folder, pid_t process)
{
    const std::string socket = folder + "/" + SocketFileName(process);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (socket.size() >= sizeof address.sun_path)
        return false;
    std::memcpy(address.sun_path, socket.c_str(), socket.size() + 1);
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const bool bound = fd >= 0 && ::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
    if (fd >= 0)
        ::close(fd);
    const int record =
        ::open((folder + "/" + std::to_string(process) + ".tmp").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
    if (record >= 0)
        ::close(record);
    return bound && record >= 0;
}

bool Exists(const std::string& path)
{
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0;
}

// Runs in a child that has become another user, on a folder of its own.
[[noreturn]] void SweepAsNobody(const std::string& folder, pid_t live, pid_t gone)
{
    if (::setgroups(0, nullptr) != 0 || ::setgid(kNobody) != 0 || ::setuid(kNobody) != 0)
        ::_exit(kNoDrop);
    // The case at hand: a live process of another user, which this one may
    // not signal.
    if (::kill(live, 0) == 0 || errno != EPERM)
        ::_exit(kNotRefused);
    if (!LeaveFilesOf(folder, live) || !LeaveFilesOf(folder, gone))
        ::_exit(kNoFiles);
    const int peers = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    SweepStalePeers(peers, static_cast<std::int32_t>(::getpid()));
    const std::string liveName = folder + "/" + std::to_string(live);
    const std::string goneName = folder + "/" + std::to_string(gone);
    if (!Exists(liveName + ".sock") || !Exists(liveName + ".tmp"))
        ::_exit(kRemoved);
    if (Exists(goneName + ".sock") || Exists(goneName + ".tmp"))
        ::_exit(kNotSwept);
    ::_exit(kKeptAndSwept);
}

void RemoveFolder(const std::string& folder)
{
    if (DIR* dir = ::opendir(folder.c_str())) {
        while (const dirent* entry = ::readdir(dir))
            if (std::strcmp(entry->d_name, ".") != 0 && std::strcmp(entry->d_name, "..") != 0)
                ::unlink((folder + "/" + entry->d_name).c_str());
        ::closedir(dir);
    }
    ::rmdir(folder.c_str());
}

// kill(pid, 0) says EPERM for a live process of another user: that process
// lives, and what it left in the folder stays; what a process that is gone
// left goes.
TEST(SweepStalePeersTest, AnotherUsersLiveProcessIsNotTakenForGone)
{
    if (::getuid() != 0)
        GTEST_SKIP() << "needs root to run the sweep as another user";
    char name[] = "/tmp/peer_directory_test-XXXXXX";
    ASSERT_NE(::mkdtemp(name), nullptr);
    const std::string folder = name;
    ASSERT_EQ(::chown(name, kNobody, kNobody), 0);

    // This test process lives, and is root's; a child that has ended and
    // been reaped is gone.
    const pid_t live = ::getpid();
    const pid_t gone = ::fork();
    if (gone == 0)
        ::_exit(0);
    ASSERT_GT(gone, 0);
    ASSERT_EQ(::waitpid(gone, nullptr, 0), gone);

    const pid_t child = ::fork();
    if (child == 0)
        SweepAsNobody(folder, live, gone);
    ASSERT_GT(child, 0);
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    RemoveFolder(folder);
    ASSERT_TRUE(WIFEXITED(status));
    switch (WEXITSTATUS(status)) {
    case kKeptAndSwept:
        break;
    case kRemoved:
        ADD_FAILURE() << "the live process's socket or temporary record was removed";
        break;
    case kNotSwept:
        ADD_FAILURE() << "what the process that is gone left was not removed";
        break;
    default:
        ADD_FAILURE() << "the child could not set the case up: exit code " << WEXITSTATUS(status);
        break;
    }
}

}  // namespace
