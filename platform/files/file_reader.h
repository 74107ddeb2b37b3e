#pragma once

#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>
#include <utility>

#include <sys/stat.h>

#include "platform/base/exception.h"

#include "platform/base/unique_fd.h"

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

// The name made absolute against the current directory, with "." components
// and repeated slashes dropped; ".." stays, since a symbolic link before it
// would make dropping it name another file. Only for messages.
std::string AbsoluteFileName(const std::string& name);

// A whole file in memory, followed by one zero byte that is not counted.
class FileBlock {
public:
    const unsigned char* Data() const noexcept { return data_.get(); }
    std::int32_t Size() const noexcept { return size_; }

private:
    friend class SharedReadFile;
    struct Free {
        void operator()(unsigned char* data) const noexcept { std::free(data); }
    };
    FileBlock(std::unique_ptr<unsigned char, Free> data, std::int32_t size) noexcept
        : data_(std::move(data)), size_(size)
    {}

    std::unique_ptr<unsigned char, Free> data_;
    std::int32_t size_;
};

// An existing file opened for reading while other processes may read it but
// not write it. Where the system grants a read lease, a writer's open waits
// until the file has been read (and fails at once if it asks not to wait);
// a file that someone already has open for writing cannot be opened. Where
// no lease can be had (the file belongs to another user, or its file system
// has no leases), a file that changes while it is read is refused instead of
// being digested torn.
class SharedReadFile {
public:
    // Throws EFileOpenError.
    explicit SharedReadFile(const std::string& name);
    ~SharedReadFile();
    SharedReadFile(const SharedReadFile&) = delete;
    SharedReadFile& operator=(const SharedReadFile&) = delete;

    // The size when the file was opened.
    std::uint64_t Size() const noexcept { return static_cast<std::uint64_t>(before_.st_size); }

    // Whether writers are being held off by a lease.
    bool HoldsLease() const noexcept { return lease_; }

    // Reads the whole file from offset 0 into a zero-filled block one byte
    // longer than the file, then gives up the lease so that waiting writers
    // can go on. Throws EFileTooLargeError before allocating, ENoMemoryError,
    // EFileReadError when fewer bytes arrive than the size, and
    // EFileOpenError when the file changed meanwhile.
    FileBlock ReadAll();

private:
    void ReleaseLease() noexcept;

    std::string name_;
    UniqueFd fd_;
    bool lease_ = false;
    struct stat before_ {};
};

}  // namespace platform
