#pragma once

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <functional>
#include <memory>
#include <string>
#include <utility>

#include <sys/stat.h>

#include "platform/base/exception.h"

#include "platform/base/unique_fd.h"
#include "platform/files/fault_guard.h"

namespace platform {

// "Cannot open file "<absolute name>". <reason>"
class EFileOpenError : public Exception {
public:
    EFileOpenError(const std::string& fileName, const std::string& reason);
    const char* ClassName() const noexcept override { return "EFileOpenError"; }
};

// "Stream read error": fewer bytes arrived than the file's size.
class EFileReadError : public Exception {
public:
    EFileReadError();
    const char* ClassName() const noexcept override { return "EFileReadError"; }
};

// The file is larger than a block with a signed 32-bit count can hold.
class EFileTooLargeError : public Exception {
public:
    explicit EFileTooLargeError(const std::string& fileName);
    const char* ClassName() const noexcept override { return "EFileTooLargeError"; }
};

// "Out of memory": the block for the file could not be had.
class ENoMemoryError : public Exception {
public:
    ENoMemoryError();
    const char* ClassName() const noexcept override { return "ENoMemoryError"; }
};

// The largest file that can be read whole: its size must fit the signed
// 32-bit count that the digest operations take. The block holds one byte
// more, which a size_t has room for.
inline constexpr std::uint64_t kMaxWholeFileSize = 0x7FFFFFFF;

// Texts that stand in for a system message where there is no errno.
inline constexpr const char* kOpenForWritingText = "The file is open for writing";
inline constexpr const char* kChangedWhileReadText = "The file changed while it was being read";
inline constexpr const char* kNotRegularText = "Not a regular file";

// A lease holder is told of a writer's open by SIGIO, whose default action
// ends the process. Nothing here waits for that signal (the writer simply
// waits until the file has been read), so a program that reads files sets it
// to be ignored once, at its start. False when the system refused.
bool IgnoreLeaseBreakSignal() noexcept;

// The name made absolute against the current directory, with "." components
// and repeated slashes dropped; ".." stays, since a symbolic link before it
// would make dropping it name another file. Only for messages.
std::string AbsoluteFileName(const std::string& name);

// A whole file in memory: a private copy, or (a large file under a read
// lease) the file's pages mapped read-only, which costs no copy. Data() is
// never null, also for an empty file.
class FileBlock {
public:
    FileBlock(FileBlock&&) noexcept;
    FileBlock& operator=(FileBlock&&) noexcept;
    ~FileBlock();

    const unsigned char* Data() const noexcept { return data_; }
    std::int32_t Size() const noexcept { return size_; }
    bool Mapped() const noexcept { return guard_ != nullptr; }

private:
    friend class SharedReadFile;
    FileBlock(unsigned char* data, std::size_t length, std::int32_t size, bool mapped);
    void Reset() noexcept;

    unsigned char* data_ = nullptr;
    std::size_t length_ = 0;  // of the memory behind data_; 0 for none
    std::int32_t size_ = 0;
    bool mapped_ = false;  // munmap, not free
    std::unique_ptr<MappingFaultGuard> guard_;
};

// An existing file opened for reading while other processes may read it but
// not write it. Where the system grants a read lease, a writer's open waits
// until the file has been read (and fails at once if it asks not to wait);
// a file that someone already has open for writing cannot be opened. Where
// no lease can be had (the file belongs to another user, or its file system
// has no leases), the file is read twice, and a file whose content was not
// the same both times is refused instead of being digested torn.
class SharedReadFile {
public:
    // Never is for tests: the reading that a file without a lease gets.
    enum class Lease { Try, Never };

    // Throws EFileOpenError.
    explicit SharedReadFile(const std::string& name, Lease lease = Lease::Try);
    ~SharedReadFile();
    SharedReadFile(const SharedReadFile&) = delete;
    SharedReadFile& operator=(const SharedReadFile&) = delete;

    // The size the file reported when it was opened.
    std::uint64_t Size() const noexcept { return static_cast<std::uint64_t>(before_.st_size); }

    // Whether writers are being held off by a lease.
    bool HoldsLease() const noexcept { return lease_; }

    // The whole file from offset 0, to the end of its content (which may
    // differ from the reported size for the kernel's own files). A large file
    // under the lease is mapped and the lease kept while the block is used;
    // otherwise it is read into memory and the lease given up at once, so
    // that waiting writers can go on. Throws EFileTooLargeError when the
    // content is longer than limit (before allocating, when the reported size
    // says so), ENoMemoryError, EFileReadError when reading fails, and
    // EFileOpenError when the file changed while it was read.
    FileBlock ReadAll(std::uint64_t limit = kMaxWholeFileSize);

    // Once the block's bytes have been used: throws EFileOpenError when a
    // mapped file may have changed meanwhile (it shrank under the mapping, or
    // a writer got past the lease), and gives up the lease.
    void ConfirmUnchanged(const FileBlock& block);

    // For tests only: runs between the first read and the check of a file
    // read without a lease, where another process could change the file.
    void SetBeforeCheckForTesting(std::function<void()> hook) { beforeCheck_ = std::move(hook); }

private:
    void ReleaseLease() noexcept;
    FileBlock Map();
    FileBlock Read(std::uint64_t limit);
    bool SameStateAsBefore() const noexcept;
    bool ReadsTheSame(const unsigned char* bytes, std::size_t size) const;

    std::string name_;
    UniqueFd fd_;
    bool lease_ = false;
    std::chrono::steady_clock::time_point leaseTaken_;
    struct stat before_ {};
    std::function<void()> beforeCheck_;
};

}  // namespace platform
