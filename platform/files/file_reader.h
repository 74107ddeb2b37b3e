#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>

#include <sys/stat.h>

#include "platform/base/exception.h"
#include "platform/base/unique_fd.h"

namespace platform {

// "Cannot open file "<absolute name>". <reason>"
class EFileOpenError : public Exception {
public:
    // found: the type bits (S_IFMT) of what the name turned out to be, when
    // it was no file to read; 0 otherwise.
    EFileOpenError(const std::string& fileName, const std::string& reason, mode_t found = 0);
    const char* ClassName() const noexcept override { return "EFileOpenError"; }
    // The reason alone: the system's message, or one of the texts below.
    const std::string& Reason() const noexcept { return reason_; }
    mode_t Found() const noexcept { return found_; }

private:
    std::string reason_;
    mode_t found_;
};

// "Stream read error", and with a file name and the system's reason when a
// read fails: "Stream read error in file "<absolute name>". <reason>".
class EFileReadError : public Exception {
public:
    EFileReadError();
    EFileReadError(const std::string& fileName, int error);
    const char* ClassName() const noexcept override { return "EFileReadError"; }
    // The system's message alone, or the whole message when there is none.
    const std::string& Reason() const noexcept { return reason_; }

private:
    std::string reason_;
};

// "Out of memory": a buffer for the file could not be had.
class ENoMemoryError : public Exception {
public:
    ENoMemoryError();
    const char* ClassName() const noexcept override { return "ENoMemoryError"; }
};

// Texts that stand in for a system message where there is no errno.
inline constexpr const char* kOpenForWritingText = "The file is open for writing";
inline constexpr const char* kChangedWhileReadText = "The file changed while it was being read";
inline constexpr const char* kNotRegularText = "Not a regular file";
inline constexpr const char* kChangedDuringWalkText = "Changed during the walk";

// A file's identity on the system: its device and inode.
struct FileIdentity {
    dev_t device = 0;
    ino_t inode = 0;
    bool operator==(const FileIdentity&) const = default;
};

inline FileIdentity IdentityOf(const struct stat& info) noexcept
{
    return {info.st_dev, info.st_ino};
}

// A file found in a folder's listing, to be opened relative to the folder's
// open descriptor: what the listing found must still be there.
struct FileInFolder {
    int folder = -1;         // the folder's descriptor
    std::string_view entry;  // the name in it
    // Listed as a symbolic link to a file: followed. Otherwise a link found
    // in its place is not.
    bool followLink = false;
    FileIdentity listed;  // of the regular file the listing found (behind the link)
};

// While one lives, SharedReadFile reopens what it looked at through a
// descriptor of /proc/self/fd held open, which takes one name to look up
// rather than four: for a program that opens many files and has a
// descriptor to spare. One at a time; it must outlive the opens under it.
class SelfFdsHeld {
public:
    SelfFdsHeld() noexcept;
    ~SelfFdsHeld();
    SelfFdsHeld(const SelfFdsHeld&) = delete;
    SelfFdsHeld& operator=(const SelfFdsHeld&) = delete;

private:
    UniqueFd fd_;
};

// A lease holder is told of a writer's open by SIGIO, whose default action
// ends the process. Nothing here waits for that signal (the writer simply
// waits until the file has been read), so a program that reads files sets it
// to be ignored once, at its start. False when the system refused.
bool IgnoreLeaseBreakSignal() noexcept;

// An existing file opened for reading while other processes may read it but
// not write it, read a window at a time, as often as the reader likes.
//
// Where the system grants a read lease, a writer's open waits while the lease
// is held, and a file that someone already has open for writing cannot be
// opened. The lease is held until this object goes. The system takes it back
// from a holder that keeps a writer waiting longer than its lease break time;
// LeaseStillHeld tells whether that can have happened.
//
// Where no lease can be had (the file belongs to another user, or its file
// system has no leases), whoever reads the file must read it twice and
// compare; SameStateAsBefore adds what the file's size and times tell.
//
// The standard input is read once, from where it stands, with no lease: it
// may be a pipe, which cannot be read again.
//
// A FIFO, socket or device is never opened for reading, even when it takes
// a name's place between any look at it and the open: the name is first
// looked at through a descriptor that reads nothing (O_PATH, whose open
// cannot block or wake a FIFO's writer or start a device), and only a
// regular file found there is opened for reading, as that very file,
// through /proc/self/fd. Where /proc/self/fd is missing the name is opened
// again itself, without waiting (O_NONBLOCK), and must be the file the look
// found: a FIFO put there at that instant may be opened, but is never read.
class SharedReadFile {
public:
    // Never is for tests: the reading that a file without a lease gets.
    enum class Lease { Try, Never };

    // The file `name`, links followed. Throws EFileOpenError.
    explicit SharedReadFile(const std::string& name, Lease lease = Lease::Try);
    // A file of an open folder, named `name` in messages: refused as
    // kChangedDuringWalkText when the entry has become a link (unless it was
    // listed as one), anything but a regular file, or another file than
    // `at.listed`. Throws EFileOpenError.
    SharedReadFile(const std::string& name, const FileInFolder& at, Lease lease = Lease::Try);
    static SharedReadFile StandardInput();

    // For tests: open as where /proc/self/fd is missing (true), or find out
    // again (false).
    static void SetWithoutProcForTesting(bool without) noexcept;
    SharedReadFile(SharedReadFile&&) noexcept = default;
    ~SharedReadFile();

    const std::string& Name() const noexcept { return name_; }

    // The size the file reported when it was opened: where a regular file's
    // content ends. Files of the kernel's own (procfs, sysfs) report 0 or a
    // page whatever they hold, and a pipe reports nothing; they are read to
    // the end of their content.
    std::uint64_t Size() const noexcept { return static_cast<std::uint64_t>(before_.st_size); }

    // Whether writers are being held off by a lease.
    bool HoldsLease() const noexcept { return lease_; }

    // Whether the content can be read a second time (not the standard input).
    bool CanReadAgain() const noexcept { return !stream_; }

    // Fills buffer with the bytes from offset on: fewer than size only at the
    // end of the content. The standard input ignores offset and goes on where
    // the last read ended. Throws EFileReadError. May be called from any one
    // thread at a time.
    std::size_t ReadAt(std::uint64_t offset, unsigned char* buffer, std::size_t size) const;

    // Whether no writer can yet have got past the lease: the lease is still
    // held, or the system has been breaking it for less than its lease break
    // time (a writer knocks after the last moment it was seen held, and waits
    // that long). False without a lease. Call it from one thread at a time,
    // as the read goes on and once more after the last digest.
    bool LeaseStillHeld();

    // The file's identity, size and times are as they were when it was opened.
    bool SameStateAsBefore() const noexcept;

    // "Cannot open file "<name>". The file changed while it was being read"
    [[noreturn]] void ThrowChanged() const;

    // For tests: the lease break time to assume, in place of the system's.
    void SetLeaseBreakTimeForTesting(std::chrono::milliseconds breakTime) { breakTime_ = breakTime; }

private:
    SharedReadFile() = default;
    // Opens `path` relative to `at` for reading, as the constructors say;
    // `expected` is the listed identity, when there is one.
    void Open(int at, const char* path, bool followLink, const FileIdentity* expected, Lease lease);
    // From offset on, within limit: how many bytes of a hole come first, and
    // when none, how many of data follow before the next hole.
    std::pair<std::size_t, std::size_t> HoleAndDataAt(std::uint64_t offset, std::size_t limit) const;

    std::string name_;
    UniqueFd fd_;
    bool lease_ = false;
    bool stream_ = false;
    mutable bool seekHoles_ = true;
    // Where data was last found to run without a hole, from and to.
    mutable std::pair<std::uint64_t, std::uint64_t> knownData_{0, 0};
    std::chrono::steady_clock::time_point lastSeenHeld_;
    std::chrono::milliseconds breakTime_{0};
    struct stat before_ {};
};

}  // namespace platform
