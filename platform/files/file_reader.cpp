#include "platform/files/file_reader.h"

#include <algorithm>
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

// What the system waits for a lease holder before it lets a writer in.
std::chrono::milliseconds SystemLeaseBreakTime() noexcept
{
    long seconds = 0;
    if (std::FILE* file = std::fopen("/proc/sys/fs/lease-break-time", "re")) {
        if (std::fscanf(file, "%ld", &seconds) != 1)
            seconds = 0;
        std::fclose(file);
    }
    return std::chrono::seconds(seconds);
}

// The system counts the break time in its own ticks; a writer is not let in
// earlier than this much before the break time is over.
constexpr std::chrono::milliseconds kLeaseBreakMargin{1000};

// A lease is taken only when a writer's arrival cannot end the process.
bool LeaseBreaksAreHarmless() noexcept
{
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

}  // namespace

EFileOpenError::EFileOpenError(const std::string& fileName, const std::string& reason)
    : Exception("Cannot open file \"" + AbsoluteFileName(fileName) + "\". " + reason)
{}

EFileReadError::EFileReadError() : Exception("Stream read error") {}

EFileReadError::EFileReadError(const std::string& fileName, int error)
    : Exception("Stream read error in file \"" + AbsoluteFileName(fileName) + "\". " + SystemText(error))
{}

ENoMemoryError::ENoMemoryError() : Exception("Out of memory") {}

bool IgnoreLeaseBreakSignal() noexcept
{
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    sigemptyset(&ignore.sa_mask);
    return ::sigaction(SIGIO, &ignore, nullptr) == 0;
}

SharedReadFile::SharedReadFile(const std::string& name, Lease lease) : name_(name), breakTime_(SystemLeaseBreakTime())
{
    if (name.find('\0') != std::string::npos)
        throw EFileOpenError(name, SystemText(EINVAL));

    // O_NONBLOCK: should the name have become a FIFO since the existence
    // test, the open must not wait for a writer; and a file under another
    // holder's write lease is refused at once instead of after the lease
    // break time, during which the window could not repaint.
    UniqueFd file(::open(name.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
    if (file.Get() < 0) {
        const int error = errno;
        throw EFileOpenError(name, error == EWOULDBLOCK ? kOpenForWritingText : SystemText(error));
    }

    struct stat info {};
    if (::fstat(file.Get(), &info) != 0)
        throw EFileOpenError(name, SystemText(errno));
    if (!S_ISREG(info.st_mode))
        throw EFileOpenError(name, S_ISDIR(info.st_mode) ? SystemText(EISDIR) : kNotRegularText);
    const int flags = ::fcntl(file.Get(), F_GETFL);
    if (flags >= 0)
        ::fcntl(file.Get(), F_SETFL, flags & ~O_NONBLOCK);

    // The read lease is the sharing rule itself: it cannot be had while
    // anyone has the file open for writing, and while it is held a writer's
    // open waits. Only the file's owner (or a process with CAP_LEASE) gets
    // one, and some file systems have none.
    if (lease == Lease::Try && LeaseBreaksAreHarmless()) {
        if (::fcntl(file.Get(), F_SETLEASE, F_RDLCK) == 0) {
            lease_ = true;
            lastSeenHeld_ = std::chrono::steady_clock::now();
        } else if (errno == EAGAIN) {
            throw EFileOpenError(name, kOpenForWritingText);
        }
    }

    if (::fstat(file.Get(), &before_) != 0)
        throw EFileOpenError(name, SystemText(errno));
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
    const auto now = std::chrono::steady_clock::now();
    if (::fcntl(fd_.Get(), F_GETLEASE) == F_RDLCK) {
        lastSeenHeld_ = now;
        return true;
    }
    // The system is breaking the lease, or has broken it: a writer knocked
    // after the last time it was seen held, and waits the break time.
    return now - lastSeenHeld_ < breakTime_ - kLeaseBreakMargin;
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
