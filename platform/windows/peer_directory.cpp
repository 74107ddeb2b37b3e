#include "platform/windows/peer_directory.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <system_error>
#include <utility>

#include "platform/base/ascii.h"
#include "platform/base/retry.h"
#include "platform/files/directory_reader.h"
#include "platform/ipc/private_dir.h"
#include "platform/windows/name_escape.h"

namespace platform {
namespace {

constexpr const char* kHeader = "vellumark-peer 1 ";
constexpr std::size_t kMaxRecordSize = 64 * 1024;
constexpr std::size_t kMaxWindows = 1024;
constexpr const char* kDirectoryLock = "peers.lock";
constexpr std::chrono::milliseconds kLockWait{2000};

[[noreturn]] void Fail(int error, const char* what)
{
    throw std::system_error(error, std::generic_category(), what);
}

std::string RecordFileName(std::int32_t process)
{
    return std::to_string(process) + ".rec";
}

template <class Number>
bool ParseNumber(std::string_view text, Number& value, int base = 10)
{
    if (text.empty())
        return false;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value, base);
    return error == std::errc() && end == text.data() + text.size();
}

std::vector<std::string_view> Split(std::string_view text, char separator)
{
    std::vector<std::string_view> parts;
    std::size_t start = 0;
    for (;;) {
        const std::size_t end = text.find(separator, start);
        if (end == std::string_view::npos) {
            parts.push_back(text.substr(start));
            return parts;
        }
        parts.push_back(text.substr(start, end - start));
        start = end + 1;
    }
}

// Regular, ours, no other link: anything else was not written by us.
bool IsOwnRecordFile(const struct stat& st)
{
    return S_ISREG(st.st_mode) && st.st_uid == ::getuid() && (st.st_mode & (S_IRWXG | S_IRWXO)) == 0 &&
           st.st_nlink == 1;
}

enum class Probe { Live, Stale, Missing };

// Opens a record and tells from its lock whether its owner lives; a live
// record's text goes to `text`.
Probe ProbeRecord(int peers, const std::string& name, std::string& text, struct stat& st)
{
    UniqueFd fd(::openat(peers, name.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK));
    if (!fd)
        return Probe::Missing;
    if (::fstat(fd.Get(), &st) != 0 || !IsOwnRecordFile(st) || static_cast<std::size_t>(st.st_size) > kMaxRecordSize)
        return Probe::Missing;
    if (RetryOnInterrupt([&] { return ::flock(fd.Get(), LOCK_EX | LOCK_NB); }) == 0)
        return Probe::Stale;
    if (errno != EWOULDBLOCK)
        return Probe::Missing;
    text.assign(kMaxRecordSize + 1, '\0');
    std::size_t filled = 0;
    while (filled < text.size()) {
        const ssize_t got =
            RetryOnInterrupt([&] { return ::pread(fd.Get(), text.data() + filled, text.size() - filled, filled); });
        if (got < 0)
            return Probe::Missing;
        if (got == 0)
            break;
        filled += static_cast<std::size_t>(got);
    }
    if (filled > kMaxRecordSize)
        return Probe::Missing;
    text.resize(filled);
    return Probe::Live;
}

}  // namespace

std::string SocketFileName(std::int32_t process)
{
    return std::to_string(process) + ".sock";
}

UniqueFd OpenPeerDirectory()
{
    const UniqueFd directory = OpenPrivateDirectory();
    if (::mkdirat(directory.Get(), "peers", 0700) != 0 && errno != EEXIST)
        Fail(errno, "cannot create the peers folder");
    UniqueFd peers(::openat(directory.Get(), "peers", O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!peers)
        Fail(errno, "cannot open the peers folder");
    struct stat st {};
    if (::fstat(peers.Get(), &st) != 0)
        Fail(errno, "cannot inspect the peers folder");
    if (!S_ISDIR(st.st_mode) || st.st_uid != ::getuid() || (st.st_mode & (S_IRWXG | S_IRWXO)) != 0)
        Fail(EACCES, "the peers folder is not private");
    return peers;
}

std::string EncodeRecord(std::int32_t process, const std::vector<WindowInfo>& windows)
{
    std::string text = kHeader + std::to_string(process) + "\n";
    for (const WindowInfo& window : windows)
        text += "window " + HexWord(window.handle, 16, false) + " " + std::to_string(window.thread) + " " +
                EscapeName(window.className) + "\n";
    return text;
}

std::optional<std::vector<WindowInfo>> ParseRecord(std::string_view text, std::int32_t process)
{
    if (text.empty() || text.back() != '\n')
        return std::nullopt;
    text.remove_suffix(1);
    const std::vector<std::string_view> lines = Split(text, '\n');
    std::int32_t recorded = 0;
    if (lines.front().substr(0, std::char_traits<char>::length(kHeader)) != kHeader ||
        !ParseNumber(lines.front().substr(std::char_traits<char>::length(kHeader)), recorded) || recorded != process ||
        lines.size() - 1 > kMaxWindows)
        return std::nullopt;
    std::vector<WindowInfo> windows;
    for (std::size_t i = 1; i < lines.size(); ++i) {
        const std::vector<std::string_view> fields = Split(lines[i], ' ');
        WindowInfo window;
        window.process = process;
        if (fields.size() != 4 || fields[0] != "window" || fields[1].size() != 16 ||
            !ParseNumber(fields[1], window.handle, 16) || HandleProcess(window.handle) != process ||
            !ParseNumber(fields[2], window.thread) || window.thread <= 0)
            return std::nullopt;
        auto className = UnescapeName(fields[3]);
        if (!className)
            return std::nullopt;
        window.className = std::move(*className);
        windows.push_back(std::move(window));
    }
    return windows;
}

UniqueFd WritePeerRecord(int peers, std::int32_t process, const std::vector<WindowInfo>& windows)
{
    const std::string temporary = std::to_string(process) + ".tmp";
    ::unlinkat(peers, temporary.c_str(), 0);
    UniqueFd fd(::openat(peers, temporary.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (!fd)
        Fail(errno, "cannot create a peer record");
    // Locked before anyone can find it under its real name.
    if (RetryOnInterrupt([&] { return ::flock(fd.Get(), LOCK_SH); }) != 0)
        Fail(errno, "cannot lock a peer record");
    const std::string text = EncodeRecord(process, windows);
    std::size_t written = 0;
    while (written < text.size()) {
        const ssize_t put =
            RetryOnInterrupt([&] { return ::write(fd.Get(), text.data() + written, text.size() - written); });
        if (put <= 0)
            Fail(put < 0 ? errno : EIO, "cannot write a peer record");
        written += static_cast<std::size_t>(put);
    }
    // Renames and removals of records take turns, so that a record judged
    // stale is never swapped for a live one before it is removed.
    const PrivateFileLock turn = PrivateFileLock::Acquire(peers, kDirectoryLock, kLockWait);
    if (::renameat(peers, temporary.c_str(), peers, RecordFileName(process).c_str()) != 0)
        Fail(errno, "cannot publish a peer record");
    return fd;
}

std::optional<std::vector<WindowInfo>> ReadPeerRecord(int peers, std::int32_t process)
{
    if (process <= 0)
        return std::nullopt;
    const std::string name = RecordFileName(process);
    for (int attempt = 0; attempt < 2; ++attempt) {
        std::string text;
        struct stat st {};
        switch (ProbeRecord(peers, name, text, st)) {
        case Probe::Missing:
            return std::nullopt;
        case Probe::Live:
            return ParseRecord(text, process);
        case Probe::Stale:
            break;
        }
        // The owner may just have replaced the record: decide again under
        // the folder's lock, where no record changes hands.
        try {
            const PrivateFileLock turn = PrivateFileLock::Acquire(peers, kDirectoryLock, kLockWait);
            struct stat now {};
            if (::fstatat(peers, name.c_str(), &now, AT_SYMLINK_NOFOLLOW) != 0)
                return std::nullopt;
            if (now.st_ino != st.st_ino || now.st_dev != st.st_dev)
                continue;  // replaced meanwhile: read the new one
            UniqueFd fd(::openat(peers, name.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK));
            if (fd && RetryOnInterrupt([&] { return ::flock(fd.Get(), LOCK_EX | LOCK_NB); }) == 0) {
                ::unlinkat(peers, SocketFileName(process).c_str(), 0);
                ::unlinkat(peers, name.c_str(), 0);
            }
        } catch (const std::system_error&) {
            // Cleaning up is a courtesy; the record counts as gone either way.
        }
        return std::nullopt;
    }
    return std::nullopt;
}

std::vector<std::int32_t> ListPeerProcesses(int peers)
{
    std::vector<std::int32_t> processes;
    auto dir = DirectoryReader::Open(peers, ".");
    if (!dir)
        return processes;
    while (const auto entry = dir->Next()) {
        const std::string_view name = entry->name;
        std::int32_t process = 0;
        if (name.size() > 4 && name.substr(name.size() - 4) == ".rec" &&
            ParseNumber(name.substr(0, name.size() - 4), process) && process > 0)
            processes.push_back(process);
    }
    std::sort(processes.begin(), processes.end());
    return processes;
}

void SweepStalePeers(int peers, std::int32_t self)
{
    std::vector<std::pair<std::int32_t, std::string>> others;
    auto dir = DirectoryReader::Open(peers, ".");
    if (!dir)
        return;
    while (const auto entry = dir->Next()) {
        const std::string_view name = entry->name;
        const std::size_t dot = name.rfind('.');
        std::int32_t process = 0;
        if (dot == std::string_view::npos || !ParseNumber(name.substr(0, dot), process) || process <= 0 ||
            process == self)
            continue;
        const std::string_view suffix = name.substr(dot);
        if (suffix == ".rec" || suffix == ".sock" || suffix == ".tmp")
            others.emplace_back(process, std::string(suffix));
    }

    // Records first: reading a stale record removes it, and its socket.
    for (const auto& [process, suffix] : others)
        if (suffix == ".rec")
            (void)ReadPeerRecord(peers, process);
    for (const auto& [process, suffix] : others) {
        if (suffix == ".rec")
            continue;
        // A socket or a temporary record left without its record: its
        // process only counts as gone when no process has its id at all;
        // an id handed on leaves it in place.
        if (::kill(process, 0) == 0 || errno != ESRCH)
            continue;
        try {
            const PrivateFileLock turn = PrivateFileLock::Acquire(peers, kDirectoryLock, kLockWait);
            struct stat st {};
            if (::fstatat(peers, RecordFileName(process).c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0)
                continue;  // its process published a record meanwhile
            const std::string name = std::to_string(process) + suffix;
            if (::fstatat(peers, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && st.st_uid == ::getuid() &&
                (suffix == ".sock" ? S_ISSOCK(st.st_mode) : S_ISREG(st.st_mode)))
                ::unlinkat(peers, name.c_str(), 0);
        } catch (const std::system_error&) {
            return;  // the folder is busy: the next start sweeps
        }
    }
}

void RemoveOwnPeerFiles(int peers, std::int32_t process, std::uint64_t socketInode)
{
    struct stat st {};
    const std::string socket = SocketFileName(process);
    if (socketInode != 0 && ::fstatat(peers, socket.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 &&
        static_cast<std::uint64_t>(st.st_ino) == socketInode)
        ::unlinkat(peers, socket.c_str(), 0);
    try {
        const PrivateFileLock turn = PrivateFileLock::Acquire(peers, kDirectoryLock, kLockWait);
        ::unlinkat(peers, RecordFileName(process).c_str(), 0);
    } catch (const std::system_error&) {
        // Left behind, it reads as stale once this process is gone.
    }
}

}  // namespace platform
