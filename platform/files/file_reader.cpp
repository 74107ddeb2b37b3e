#include "platform/files/file_reader.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <new>
#include <string_view>
#include <system_error>

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include "platform/base/retry.h"

namespace platform {
namespace {

std::string SystemText(int error)
{
    return std::strerror(error);
}

// How much a file whose reported size says nothing (procfs, sysfs) is read
// at first; the block grows as the content turns out longer.
constexpr std::size_t kFirstGuess = 64 * 1024;

// Compared a piece at a time, so that checking costs no second block.
constexpr std::size_t kCompareChunk = 1024 * 1024;

// Files from this size on are mapped rather than read under a lease.
constexpr std::uint64_t kMapAtLeast = 1024 * 1024;

struct Free {
    void operator()(unsigned char* data) const noexcept { std::free(data); }
};

// What the system waits for a lease holder before it lets a writer in.
std::chrono::seconds LeaseBreakTime() noexcept
{
    long seconds = 0;
    if (std::FILE* file = std::fopen("/proc/sys/fs/lease-break-time", "re")) {
        if (std::fscanf(file, "%ld", &seconds) != 1)
            seconds = 0;
        std::fclose(file);
    }
    return std::chrono::seconds(seconds);
}

// An empty file's block still points somewhere.
unsigned char g_emptyByte = 0;

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

FileBlock::FileBlock(unsigned char* data, std::size_t length, std::int32_t size, bool mapped)
    : data_(data), length_(length), size_(size), mapped_(mapped)
{
    if (mapped_) {
        try {
            guard_ = std::make_unique<MappingFaultGuard>(data_, length_);
        } catch (...) {
            Reset();
            throw;
        }
    }
    if (data_ == nullptr)
        data_ = &g_emptyByte;
}

FileBlock::FileBlock(FileBlock&& other) noexcept
    : data_(std::exchange(other.data_, &g_emptyByte)), length_(std::exchange(other.length_, 0)),
      size_(std::exchange(other.size_, 0)), mapped_(std::exchange(other.mapped_, false)),
      guard_(std::move(other.guard_))
{}

FileBlock& FileBlock::operator=(FileBlock&& other) noexcept
{
    if (this != &other) {
        Reset();
        data_ = std::exchange(other.data_, &g_emptyByte);
        length_ = std::exchange(other.length_, 0);
        size_ = std::exchange(other.size_, 0);
        mapped_ = std::exchange(other.mapped_, false);
        guard_ = std::move(other.guard_);
    }
    return *this;
}

FileBlock::~FileBlock()
{
    Reset();
}

void FileBlock::Reset() noexcept
{
    // The guard goes first: once the mapping is gone its range is no longer ours.
    guard_.reset();
    if (length_ > 0) {
        if (mapped_)
            ::munmap(data_, length_);
        else
            std::free(data_);
    }
    data_ = &g_emptyByte;
    length_ = 0;
    size_ = 0;
    mapped_ = false;
}

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

bool IgnoreLeaseBreakSignal() noexcept
{
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    sigemptyset(&ignore.sa_mask);
    return ::sigaction(SIGIO, &ignore, nullptr) == 0;
}

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

SharedReadFile::SharedReadFile(const std::string& name, Lease lease) : name_(name)
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
    // one, and some file systems have none; without it the state taken
    // below is compared after the read.
    if (lease == Lease::Try && LeaseBreaksAreHarmless()) {
        if (::fcntl(file.Get(), F_SETLEASE, F_RDLCK) == 0) {
            lease_ = true;
            leaseTaken_ = std::chrono::steady_clock::now();
        } else if (errno == EAGAIN) {
            throw EFileOpenError(name, kOpenForWritingText);
        }
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

FileBlock SharedReadFile::ReadAll(std::uint64_t limit)
{
    if (Size() > limit)
        throw EFileTooLargeError(name_);
    // Only under the lease can no writer shrink the file under the mapping
    // or change it behind the digests. Small files read as fast as they map,
    // and the kernel's own files, whose size says nothing, are all small.
    if (lease_ && Size() >= kMapAtLeast) {
        FileBlock block = Map();
        if (block.Mapped())
            return block;
    }
    return Read(limit);
}

FileBlock SharedReadFile::Map()
{
    const auto length = static_cast<std::size_t>(Size());
    // Populated at once: far cheaper than a fault per page while digesting.
    void* memory = ::mmap(nullptr, length, PROT_READ, MAP_SHARED | MAP_POPULATE, fd_.Get(), 0);
    if (memory == MAP_FAILED)
        return FileBlock(nullptr, 0, 0, false);  // not mappable here: read instead
    try {
        return FileBlock(static_cast<unsigned char*>(memory), length, static_cast<std::int32_t>(length), true);
    } catch (const Exception&) {
        return FileBlock(nullptr, 0, 0, false);  // unguarded it is not safe: read instead
    }
}

void SharedReadFile::ConfirmUnchanged(const FileBlock& block)
{
    if (!block.Mapped())
        return;
    const bool faulted = block.guard_->Faulted();
    // A writer that arrived meanwhile waits in its open while the lease is
    // being broken, for the system's lease break time; only past that may it
    // have written.
    const bool held = ::fcntl(fd_.Get(), F_GETLEASE) == F_RDLCK ||
                      std::chrono::steady_clock::now() - leaseTaken_ < LeaseBreakTime() - std::chrono::seconds(1);
    ReleaseLease();
    if (faulted || !held)
        throw EFileOpenError(name_, kChangedWhileReadText);
}

FileBlock SharedReadFile::Read(std::uint64_t limit)
{
    // A regular file's size is where its content ends; files of the kernel's
    // own (procfs, sysfs) report 0 or a page whatever they hold. So the read
    // goes on to the end of the content, the size being only a first guess.
    std::size_t capacity = static_cast<std::size_t>(Size() > 0 ? Size() : std::min<std::uint64_t>(kFirstGuess, limit));
    // calloc hands out fresh pages already zero, so a large file's block is
    // not written twice.
    std::unique_ptr<unsigned char, Free> block(static_cast<unsigned char*>(std::calloc(capacity + 1, 1)));
    if (!block)
        throw ENoMemoryError();

    std::size_t done = 0;
    for (;;) {
        if (done == capacity) {
            // The block is full: one byte more tells whether the file goes on.
            unsigned char probe = 0;
            const ssize_t more =
                RetryOnInterrupt([&] { return ::pread(fd_.Get(), &probe, 1, static_cast<off_t>(done)); });
            if (more < 0)
                throw EFileReadError();
            if (more == 0)
                break;
            if (done >= limit)
                throw EFileTooLargeError(name_);
            const std::size_t grown =
                static_cast<std::size_t>(std::min<std::uint64_t>(2 * std::uint64_t{capacity} + kFirstGuess, limit));
            auto* bigger = static_cast<unsigned char*>(std::realloc(block.get(), grown + 1));
            if (bigger == nullptr)
                throw ENoMemoryError();
            block.release();
            block.reset(bigger);
            std::memset(bigger + capacity, 0, grown + 1 - capacity);
            bigger[done++] = probe;
            capacity = grown;
            continue;
        }
        const ssize_t got = RetryOnInterrupt(
            [&] { return ::pread(fd_.Get(), block.get() + done, capacity - done, static_cast<off_t>(done)); });
        if (got < 0)
            throw EFileReadError();
        if (got == 0)
            break;
        done += static_cast<std::size_t>(got);
    }

    // Under the lease no writer can have been at work. Without it, the bytes
    // count only if they were the file's content at one moment: the file's
    // state must not have moved, and a second read must find the same bytes,
    // since neither a write already under way when the read began nor one
    // through a shared mapping moves the file's times.
    if (!lease_ && beforeCheck_)
        beforeCheck_();
    const bool unchanged = lease_ || (SameStateAsBefore() && ReadsTheSame(block.get(), done) && SameStateAsBefore());
    ReleaseLease();
    if (!unchanged)
        throw EFileOpenError(name_, kChangedWhileReadText);

    return FileBlock(block.release(), capacity + 1, static_cast<std::int32_t>(done), false);
}

bool SharedReadFile::SameStateAsBefore() const noexcept
{
    struct stat now {};
    return ::fstat(fd_.Get(), &now) == 0 && SameState(before_, now);
}

bool SharedReadFile::ReadsTheSame(const unsigned char* bytes, std::size_t size) const
{
    const std::unique_ptr<unsigned char[]> chunk(new (std::nothrow) unsigned char[kCompareChunk + 1]);
    if (!chunk)
        throw ENoMemoryError();
    std::size_t done = 0;
    for (;;) {
        // One byte past the end is asked for too: the content must end where it did.
        const std::size_t want = std::min(kCompareChunk, size - done) + (size - done <= kCompareChunk ? 1 : 0);
        const ssize_t got =
            RetryOnInterrupt([&] { return ::pread(fd_.Get(), chunk.get(), want, static_cast<off_t>(done)); });
        if (got < 0)
            throw EFileReadError();
        if (got == 0)
            return done == size;
        if (static_cast<std::size_t>(got) > size - done ||
            std::memcmp(chunk.get(), bytes + done, static_cast<std::size_t>(got)) != 0)
            return false;
        done += static_cast<std::size_t>(got);
    }
}

}  // namespace platform
