#include "platform/files/file_reader.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <string_view>
#include <system_error>

#include <fcntl.h>
#include <unistd.h>

#include "platform/base/retry.h"
#include "platform/files/file_names.h"

namespace platform {
namespace {

std::string SystemText(int error)
{
    return std::strerror(error);
}

// What the system waits for a lease holder before it lets a writer in. Read
// again at most once a second, not once a file: a run over many files would
// otherwise open one more file for each.
std::chrono::milliseconds SystemLeaseBreakTime() noexcept
{
    using Clock = std::chrono::steady_clock;
    static std::atomic<Clock::rep> readAt{0};
    static std::atomic<long> known{-1};
    const Clock::rep now = Clock::now().time_since_epoch().count();
    const Clock::rep last = readAt.load(std::memory_order_acquire);
    long seconds = known.load(std::memory_order_relaxed);
    if (seconds < 0 || now - last >= Clock::duration(std::chrono::seconds(1)).count()) {
        seconds = 0;
        if (std::FILE* file = std::fopen("/proc/sys/fs/lease-break-time", "re")) {
            if (std::fscanf(file, "%ld", &seconds) != 1 || seconds < 0)
                seconds = 0;
            std::fclose(file);
        }
        known.store(seconds, std::memory_order_relaxed);
        readAt.store(now, std::memory_order_release);
    }
    return std::chrono::seconds(seconds);
}

// The system counts the break time in its own ticks; a writer is not let in
// earlier than this much before the break time is over.
constexpr std::chrono::milliseconds kLeaseBreakMargin{1000};

// Set once this process has had SIGIO ignored through IgnoreLeaseBreakSignal.
std::atomic<bool> g_leaseBreaksIgnored{false};

// A lease is taken only when a writer's arrival cannot end the process.
bool LeaseBreaksAreHarmless() noexcept
{
    if (g_leaseBreaksIgnored.load(std::memory_order_relaxed))
        return true;
    struct sigaction current {};
    return ::sigaction(SIGIO, nullptr, &current) == 0 &&
           ((current.sa_flags & SA_SIGINFO) != 0 || current.sa_handler != SIG_DFL);
}

bool SameState(const struct stat& a, const struct stat& b) noexcept
{
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino && a.st_size == b.st_size &&
           a.st_mtim.tv_sec == b.st_mtim.tv_sec && a.st_mtim.tv_nsec == b.st_mtim.tv_nsec &&
           a.st_ctim.tv_sec == b.st_ctim.tv_sec && a.st_ctim.tv_nsec == b.st_ctim.tv_nsec;
}

// Whether /proc/self/fd opens a descriptor's file: learnt at the first open
// that finds it missing.
enum class ProcFds { Unknown, Missing };
std::atomic<ProcFds> g_procFds{ProcFds::Unknown};
// /proc/self/fd, while a SelfFdsHeld holds it open.
std::atomic<int> g_selfFds{-1};

}  // namespace

EFileOpenError::EFileOpenError(const std::string& fileName, const std::string& reason, mode_t found)
    : Exception("Cannot open file \"" + AbsoluteFileName(fileName) + "\". " + reason), reason_(reason), found_(found)
{}

EFileReadError::EFileReadError() : Exception("Stream read error"), reason_(Message()) {}

EFileReadError::EFileReadError(const std::string& fileName, int error)
    : Exception("Stream read error in file \"" + AbsoluteFileName(fileName) + "\". " + SystemText(error)),
      reason_(SystemText(error))
{}

ENoMemoryError::ENoMemoryError() : Exception("Out of memory") {}

SelfFdsHeld::SelfFdsHeld() noexcept
{
    if (g_selfFds.load(std::memory_order_acquire) >= 0)
        return;
    fd_.Reset(::open("/proc/self/fd", O_PATH | O_DIRECTORY | O_CLOEXEC));
    int none = -1;
    if (fd_ && !g_selfFds.compare_exchange_strong(none, fd_.Get(), std::memory_order_acq_rel))
        fd_.Reset();
}

SelfFdsHeld::~SelfFdsHeld()
{
    if (fd_)
        g_selfFds.store(-1, std::memory_order_release);
}

bool IgnoreLeaseBreakSignal() noexcept
{
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    sigemptyset(&ignore.sa_mask);
    const bool ignored = ::sigaction(SIGIO, &ignore, nullptr) == 0;
    g_leaseBreaksIgnored.store(ignored, std::memory_order_relaxed);
    return ignored;
}

SharedReadFile::SharedReadFile(const std::string& name, Lease lease) : name_(name), breakTime_(SystemLeaseBreakTime())
{
    if (name.find('\0') != std::string::npos)
        throw EFileOpenError(name, SystemText(EINVAL));
    Open(AT_FDCWD, name.c_str(), true, nullptr, lease);
}

SharedReadFile::SharedReadFile(const std::string& name, const FileInFolder& at, Lease lease)
    : name_(name), breakTime_(SystemLeaseBreakTime())
{
    const std::string entry(at.entry);
    if (entry.find('\0') != std::string::npos)
        throw EFileOpenError(name, SystemText(EINVAL));
    Open(at.folder, entry.c_str(), at.followLink, &at.listed, lease);
}

void SharedReadFile::SetWithoutProcForTesting(bool without) noexcept
{
    g_procFds.store(without ? ProcFds::Missing : ProcFds::Unknown, std::memory_order_relaxed);
}

void SharedReadFile::Open(int at, const char* path, bool followLink, const FileIdentity* expected, Lease lease)
{
    const int noFollow = followLink ? 0 : O_NOFOLLOW;
    // The look: a descriptor that reads nothing, whose open neither waits
    // for a FIFO's writer nor lets one go, nor starts a device.
    UniqueFd look(RetryOnInterrupt([&] { return ::openat(at, path, O_PATH | O_CLOEXEC | noFollow); }));
    if (look.Get() < 0)
        throw EFileOpenError(name_, SystemText(errno));
    // One look at the file serves the type test, the size, the state a
    // second read without a lease compares with, and whether it may have
    // holes at all: the file opened below is this very one.
    if (::fstat(look.Get(), &before_) != 0)
        throw EFileOpenError(name_, SystemText(errno));
    const mode_t type = before_.st_mode & S_IFMT;
    if (expected != nullptr && (type != S_IFREG || IdentityOf(before_) != *expected))
        throw EFileOpenError(name_, kChangedDuringWalkText, type);
    if (type != S_IFREG)
        throw EFileOpenError(name_, type == S_IFDIR ? SystemText(EISDIR) : kNotRegularText, type);

    // O_NONBLOCK: a file under another holder's write lease is refused at
    // once instead of after the lease break time, during which the window
    // could not repaint.
    constexpr int kReadFlags = O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK;
    UniqueFd file;
    if (g_procFds.load(std::memory_order_relaxed) != ProcFds::Missing) {
        const int selfFds = g_selfFds.load(std::memory_order_acquire);
        char self[32];
        std::snprintf(self, sizeof self, selfFds >= 0 ? "%d" : "/proc/self/fd/%d", look.Get());
        file.Reset(RetryOnInterrupt([&] { return ::openat(selfFds >= 0 ? selfFds : AT_FDCWD, self, kReadFlags); }));
        // The descriptor is open: only a missing /proc can make its name missing.
        if (!file && (errno == ENOENT || errno == ENOTDIR))
            g_procFds.store(ProcFds::Missing, std::memory_order_relaxed);
        else if (!file)
            throw EFileOpenError(name_, errno == EWOULDBLOCK ? kOpenForWritingText : SystemText(errno));
    }
    if (!file) {
        file.Reset(RetryOnInterrupt([&] { return ::openat(at, path, kReadFlags | noFollow); }));
        if (!file)
            throw EFileOpenError(name_, errno == EWOULDBLOCK ? kOpenForWritingText : SystemText(errno));
        struct stat opened {};
        if (::fstat(file.Get(), &opened) != 0)
            throw EFileOpenError(name_, SystemText(errno));
        const mode_t now = opened.st_mode & S_IFMT;
        if (now != S_IFREG || IdentityOf(opened) != IdentityOf(before_)) {
            if (expected != nullptr)
                throw EFileOpenError(name_, kChangedDuringWalkText, now);
            throw EFileOpenError(name_, now == S_IFDIR ? SystemText(EISDIR) : now != S_IFREG ? kNotRegularText
                                                                                               : kChangedWhileReadText,
                                 now);
        }
    }
    look.Reset();

    // O_NONBLOCK stays set: it is a FIFO's, a socket's or a device's, and
    // reads of a regular file do not look at it (since the system dropped
    // mandatory locks); clearing it cost a call a file.
    // A file with as many blocks as bytes has no holes worth asking about:
    // reading one is correct all the same, it only costs the copy of zeros.
    seekHoles_ = static_cast<std::uint64_t>(before_.st_blocks) * 512 < static_cast<std::uint64_t>(before_.st_size);

    // The read lease is the sharing rule itself: it cannot be had while
    // anyone has the file open for writing, and while it is held a writer's
    // open waits. Only the file's owner (or a process with CAP_LEASE) gets
    // one, and some file systems have none. A writer let in before it was
    // granted has closed the file again: what is read from here on is one
    // content.
    if (lease == Lease::Try && LeaseBreaksAreHarmless()) {
        const auto asked = std::chrono::steady_clock::now();
        if (::fcntl(file.Get(), F_SETLEASE, F_RDLCK) == 0) {
            lease_ = true;
            lastSeenHeld_ = asked;
        } else if (errno == EAGAIN) {
            throw EFileOpenError(name_, kOpenForWritingText);
        }
    }
    fd_ = std::move(file);
}

SharedReadFile SharedReadFile::StandardInput()
{
    SharedReadFile input;
    input.name_ = "-";
    input.stream_ = true;
    // A descriptor of its own, so that closing it leaves the standard input be.
    input.fd_.Reset(::fcntl(STDIN_FILENO, F_DUPFD_CLOEXEC, 0));
    if (!input.fd_)
        throw EFileReadError(input.name_, errno);
    if (::fstat(input.fd_.Get(), &input.before_) != 0 || !S_ISREG(input.before_.st_mode))
        input.before_.st_size = 0;
    return input;
}

// Closing the descriptor also ends the lease.
SharedReadFile::~SharedReadFile() = default;

std::size_t SharedReadFile::ReadAt(std::uint64_t offset, unsigned char* buffer, std::size_t size) const
{
    std::size_t done = 0;
    while (done < size) {
        std::size_t want = size - done;
        if (!stream_) {
            // The holes of a sparse file (a virtual machine's disk, say) are
            // zeros that no one has to copy: they are filled in here and only
            // the data between them is read.
            const auto [zeros, data] = HoleAndDataAt(offset + done, want);
            std::memset(buffer + done, 0, zeros);
            done += zeros;
            if (zeros > 0)
                continue;
            want = data;
        }
        const ssize_t got = RetryOnInterrupt([&] {
            return stream_ ? ::read(fd_.Get(), buffer + done, want)
                           : ::pread(fd_.Get(), buffer + done, want, static_cast<off_t>(offset + done));
        });
        if (got < 0)
            throw EFileReadError(name_, errno);
        if (got == 0)
            break;
        done += static_cast<std::size_t>(got);
        // A short read that ends where the file ended when it was opened has
        // reached its end, and a read more would only say so. Whatever grew
        // since is a writer's, which the lease keeps out and the second read
        // without one finds.
        if (!stream_ && static_cast<std::size_t>(got) < want && before_.st_size > 0 &&
            offset + done == static_cast<std::uint64_t>(before_.st_size))
            break;
    }
    return done;
}

std::pair<std::size_t, std::size_t> SharedReadFile::HoleAndDataAt(std::uint64_t offset, std::size_t limit) const
{
    if (!seekHoles_)
        return {0, limit};
    // Data already known to run on from here needs no new question: a dense
    // file is asked about once, not once a window. A read that starts over
    // (the second of a file without a lease) asks afresh.
    if (offset >= knownData_.first && offset < knownData_.second)
        return {0, static_cast<std::size_t>(std::min<std::uint64_t>(limit, knownData_.second - offset))};
    knownData_ = {0, 0};
    const auto at = static_cast<off_t>(offset);
    const off_t data = ::lseek(fd_.Get(), at, SEEK_DATA);
    if (data < 0) {
        struct stat now {};
        if (errno != ENXIO || ::fstat(fd_.Get(), &now) != 0) {
            seekHoles_ = false;  // a file system that cannot tell (procfs): read it all
            return {0, limit};
        }
        // No data from here on: what is left of the file is a hole.
        const std::uint64_t end = static_cast<std::uint64_t>(now.st_size);
        return {static_cast<std::size_t>(std::min<std::uint64_t>(limit, end > offset ? end - offset : 0)), limit};
    }
    if (data > at)
        return {static_cast<std::size_t>(std::min<std::uint64_t>(limit, static_cast<std::uint64_t>(data - at))), 0};
    const off_t hole = ::lseek(fd_.Get(), at, SEEK_HOLE);
    if (hole <= at)
        return {0, limit};
    knownData_ = {offset, static_cast<std::uint64_t>(hole)};
    return {0, static_cast<std::size_t>(std::min<std::uint64_t>(limit, static_cast<std::uint64_t>(hole - at)))};
}

bool SharedReadFile::LeaseStillHeld()
{
    if (!lease_)
        return false;
    // A writer knocks no earlier than the last moment the lease was seen
    // held, and then waits the break time: until that is nearly over, no
    // writer can have got in, and the system need not be asked.
    const auto now = std::chrono::steady_clock::now();
    if (now - lastSeenHeld_ < breakTime_ - kLeaseBreakMargin)
        return true;
    if (::fcntl(fd_.Get(), F_GETLEASE) == F_RDLCK) {
        lastSeenHeld_ = now;
        return true;
    }
    return false;
}

bool SharedReadFile::SameStateAsBefore() const noexcept
{
    struct stat now {};
    return ::fstat(fd_.Get(), &now) == 0 && SameState(before_, now);
}

void SharedReadFile::ThrowChanged() const
{
    throw EFileOpenError(name_, kChangedWhileReadText);
}

}  // namespace platform
