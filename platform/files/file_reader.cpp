#include "platform/files/file_reader.h"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <string_view>
#include <system_error>

#include <fcntl.h>
#include <unistd.h>

#include "platform/base/retry.h"

namespace platform {
namespace {

std::string SystemText(int error)
{
    return std::strerror(error);
}

// A lease holder is told of a writer's open by SIGIO, whose default action
// ends the process. Nothing here waits for that signal (the writer simply
// waits until the file has been read), so it is ignored, unless the program
// has a use of its own for it.
void KeepLeaseBreaksHarmless() noexcept
{
    static const bool done = [] {
        struct sigaction current {};
        if (::sigaction(SIGIO, nullptr, &current) == 0 && current.sa_handler == SIG_DFL) {
            struct sigaction ignore {};
            ignore.sa_handler = SIG_IGN;
            sigemptyset(&ignore.sa_mask);
            ::sigaction(SIGIO, &ignore, nullptr);
        }
        return true;
    }();
    (void)done;
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

EFileTooLargeError::EFileTooLargeError(const std::string& fileName)
    : Exception("File \"" + AbsoluteFileName(fileName) +
                "\" is too large: the largest file that can be digested has 2147483647 bytes"
                " (2 GiB less one byte)")
{}

ENoMemoryError::ENoMemoryError() : Exception("Out of memory") {}

std::string AbsoluteFileName(const std::string& name)
{
    std::string whole = name;
    if (name.empty() || name.front() != '/') {
        std::error_code error;
        const std::filesystem::path current = std::filesystem::current_path(error);
        if (!error)
            whole = current.string() + "/" + name;
    }

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

SharedReadFile::SharedReadFile(const std::string& name) : name_(name)
{
    if (name.find('\0') != std::string::npos)
        throw EFileOpenError(name, SystemText(EINVAL));

    KeepLeaseBreaksHarmless();

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
    // one, and some file systems have none; without it the state taken
    // below is compared after the read.
    if (::fcntl(file.Get(), F_SETLEASE, F_RDLCK) == 0) {
        lease_ = true;
    } else if (errno == EAGAIN) {
        throw EFileOpenError(name, kOpenForWritingText);
    }

    // Closing the descriptor on the way out also ends the lease.
    if (::fstat(file.Get(), &before_) != 0)
        throw EFileOpenError(name, SystemText(errno));
    fd_ = std::move(file);
}

// Closing the descriptor also ends any lease still held.
SharedReadFile::~SharedReadFile() = default;

void SharedReadFile::ReleaseLease() noexcept
{
    if (lease_) {
        ::fcntl(fd_.Get(), F_SETLEASE, F_UNLCK);
        lease_ = false;
    }
}

FileBlock SharedReadFile::ReadAll()
{
    const std::uint64_t size = Size();
    if (size > kMaxWholeFileSize)
        throw EFileTooLargeError(name_);

    // calloc hands out fresh pages already zero, so a large file's block is
    // not written twice.
    std::unique_ptr<unsigned char, FileBlock::Free> block(
        static_cast<unsigned char*>(std::calloc(static_cast<std::size_t>(size) + 1, 1)));
    if (!block)
        throw ENoMemoryError();

    std::size_t done = 0;
    while (done < size) {
        const ssize_t got = RetryOnInterrupt([&] {
            return ::pread(fd_.Get(), block.get() + done, static_cast<std::size_t>(size) - done,
                           static_cast<off_t>(done));
        });
        if (got <= 0)
            throw EFileReadError();
        done += static_cast<std::size_t>(got);
    }

    struct stat after {};
    const bool stated = ::fstat(fd_.Get(), &after) == 0;
    ReleaseLease();
    if (!stated || !SameState(before_, after))
        throw EFileOpenError(name_, kChangedWhileReadText);

    return FileBlock(std::move(block), static_cast<std::int32_t>(size));
}

}  // namespace platform
