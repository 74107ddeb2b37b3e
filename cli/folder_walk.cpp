#include "cli/folder_walk.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <utility>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/base/retry.h"
#include "platform/files/directory_reader.h"

namespace {

constexpr int kFolderFlags = O_RDONLY | O_DIRECTORY | O_CLOEXEC;

// A folder below an open one, never through a link.
platform::UniqueFd OpenBelow(int folder, const std::string& name)
{
    return platform::UniqueFd(
        platform::RetryOnInterrupt([&] { return ::openat(folder, name.c_str(), kFolderFlags | O_NOFOLLOW); }));
}

// The errno of a folder that could not be opened where one was listed:
// a link (ELOOP) or a file (ENOTDIR) in its place means it changed.
int FolderFailure(int error)
{
    return error == ELOOP || error == ENOTDIR ? FolderWalk::kChanged : error;
}

// Waits for the test at the seam (see AfterListing): one line out, then until
// "go" is opened for writing and closed.
void WaitAtSeam(const std::string& seam, const std::string& path)
{
    const platform::UniqueFd listed(::open((seam + "/listed").c_str(), O_WRONLY | O_CLOEXEC));
    const std::string line = path + "\n";
    if (!listed || ::write(listed.Get(), line.data(), line.size()) != static_cast<ssize_t>(line.size()))
        std::abort();
    const platform::UniqueFd go(::open((seam + "/go").c_str(), O_RDONLY | O_CLOEXEC));
    char byte = 0;
    while (go && platform::RetryOnInterrupt([&] { return ::read(go.Get(), &byte, 1); }) > 0) {
    }
}

}  // namespace

FolderWalk::Found FolderWalk::Told(std::string path, int error)
{
    Found found;
    found.path = std::move(path);
    found.error = error;
    return found;
}

OpenFolder::OpenFolder(platform::UniqueFd fd, std::atomic<std::size_t>& count) noexcept
    : fd_(std::move(fd)), count_(count)
{
    count_.fetch_add(1, std::memory_order_relaxed);
}

OpenFolder::~OpenFolder()
{
    fd_.Reset();
    count_.fetch_sub(1, std::memory_order_release);
}

FolderWalk::FolderWalk(std::string root, std::size_t levels, std::atomic<std::size_t>& open)
    : root_(std::move(root)), maxHeld_(std::max<std::size_t>(1, levels)), open_(open)
{
    // A seam for tests, to rename things in the tree at a known moment: with
    // VELLUMARK_TEST_WALK_SEAM naming a folder that holds two FIFOs, "listed"
    // and "go", the walk stops after it has listed each folder, before it
    // opens anything in it, writes the folder's path and a line feed to
    // "listed", and goes on once "go" has been opened for writing and closed.
    if (const char* seam = std::getenv("VELLUMARK_TEST_WALK_SEAM"))
        seam_ = seam;
}

void FolderWalk::AfterListing(const Level& level) const
{
    if (!seam_.empty())
        WaitAtSeam(seam_, PathOf(level));
}

int FolderWalk::List(Level& level)
{
    platform::DirectoryReader folder = platform::DirectoryReader::Borrowing(level.folder->Fd());
    const int fd = level.folder->Fd();
    while (const std::optional<platform::DirectoryReader::Entry> found = folder.Next()) {
        Entry entry;
        entry.key = std::string(found->name);
        unsigned char type = found->type;
        struct stat info {};
        // A FIFO, socket or device needs no more than its type; the others
        // are looked at for their identity (which the opener checks) and a
        // file's size, which orders the work.
        if (type == DT_UNKNOWN || type == DT_REG || type == DT_DIR || type == DT_LNK) {
            if (::fstatat(fd, entry.key.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0) {
                entry.error = errno;
                level.entries.push_back(std::move(entry));
                continue;
            }
            type = S_ISDIR(info.st_mode)   ? DT_DIR
                   : S_ISREG(info.st_mode) ? DT_REG
                   : S_ISLNK(info.st_mode) ? DT_LNK
                                           : DT_UNKNOWN;
        }
        if (type == DT_LNK) {
            // Followed to a file; not to a folder, which is no file of this one.
            if (::fstatat(fd, entry.key.c_str(), &info, 0) != 0)
                entry.error = errno;
            else if (S_ISDIR(info.st_mode))
                continue;
            entry.link = true;
            type = entry.error == 0 && S_ISREG(info.st_mode) ? DT_REG : DT_UNKNOWN;
        }
        if (type == DT_DIR) {
            entry.folder = true;
            entry.key += '/';
            entry.identity = platform::IdentityOf(info);
        } else if (entry.error == 0 && type != DT_REG) {
            entry.error = kNotRegular;
        } else if (entry.error == 0) {
            entry.size = static_cast<std::uint64_t>(info.st_size);
            entry.identity = platform::IdentityOf(info);
        }
        level.entries.push_back(std::move(entry));
    }
    std::sort(level.entries.begin(), level.entries.end(), [](const Entry& a, const Entry& b) { return a.key < b.key; });
    return folder.Error();
}

void FolderWalk::Trim()
{
    while (levels_.size() - heldFrom_ > maxHeld_)
        levels_[heldFrom_++].folder.reset();
}

std::optional<FolderWalk::Found> FolderWalk::Start()
{
    platform::UniqueFd fd(platform::RetryOnInterrupt([&] { return ::openat(AT_FDCWD, root_.c_str(), kFolderFlags); }));
    struct stat info {};
    if (!fd || ::fstat(fd.Get(), &info) != 0) {
        const int error = errno;
        return Told(root_, error);
    }
    path_ = root_;
    Level& level = levels_.emplace_back();
    level.pathLength = path_.size();
    level.identity = platform::IdentityOf(info);
    level.folder = std::make_shared<OpenFolder>(std::move(fd), open_);
    heldFrom_ = 0;
    const int failure = List(level);
    AfterListing(level);
    if (failure != 0)
        return Told(root_, failure);
    return std::nullopt;
}

std::optional<FolderWalk::Found> FolderWalk::Enter(const Entry& entry)
{
    const Level& parent = levels_.back();
    platform::UniqueFd fd = OpenBelow(parent.folder->Fd(), entry.key.substr(0, entry.key.size() - 1));
    struct stat info {};
    const int error = !fd ? FolderFailure(errno) : ::fstat(fd.Get(), &info) != 0 ? errno : 0;
    if (error != 0)
        return Told(path_, error);
    if (platform::IdentityOf(info) != entry.identity)
        return Told(path_, kChanged);
    const std::size_t nameAt = path_.size() - (entry.key.size() - 1);
    Level& level = levels_.emplace_back();
    level.pathLength = path_.size();
    level.nameAt = nameAt;
    level.identity = entry.identity;
    level.folder = std::make_shared<OpenFolder>(std::move(fd), open_);
    const int failure = List(level);
    AfterListing(level);
    Trim();
    if (failure != 0)
        return Told(path_, failure);
    return std::nullopt;
}

std::optional<FolderWalk::Found> FolderWalk::Reopen()
{
    // Nothing is held: the held levels run to the top, which is not.
    const std::size_t top = levels_.size() - 1;
    const std::size_t keepFrom = top + 1 > maxHeld_ ? top + 1 - maxHeld_ : 0;
    platform::UniqueFd fd(platform::RetryOnInterrupt([&] { return ::openat(AT_FDCWD, root_.c_str(), kFolderFlags); }));
    platform::UniqueFd parent;
    std::shared_ptr<OpenFolder> kept;
    for (std::size_t k = 0;; ++k) {
        Level& level = levels_[k];
        struct stat info {};
        int failure = 0;
        if (!fd)
            failure = FolderFailure(errno);
        else if (::fstat(fd.Get(), &info) != 0)
            failure = errno;
        else if (platform::IdentityOf(info) != level.identity)
            failure = kChanged;
        if (failure != 0) {
            // What was below it is out of reach: its files are not looked for.
            for (std::size_t below = k; below <= top; ++below)
                levels_[below].next = levels_[below].entries.size();
            if (k > keepFrom)
                heldFrom_ = keepFrom;
            return Told(PathOf(level), failure);
        }
        int at = fd.Get();
        if (k >= keepFrom) {
            level.folder = std::make_shared<OpenFolder>(std::move(fd), open_);
            at = level.folder->Fd();
            parent.Reset();
        } else {
            parent = std::move(fd);
        }
        if (k == top)
            break;
        fd = OpenBelow(at, NameOf(levels_[k + 1]));
    }
    heldFrom_ = keepFrom;
    return std::nullopt;
}

std::optional<FolderWalk::Found> FolderWalk::Next()
{
    if (!started_) {
        started_ = true;
        if (std::optional<Found> failed = Start())
            return failed;
    }
    while (!levels_.empty()) {
        Level& level = levels_.back();
        if (level.next == level.entries.size()) {
            levels_.pop_back();
            heldFrom_ = std::min(heldFrom_, levels_.size());
            continue;
        }
        if (!level.folder) {
            if (std::optional<Found> failed = Reopen())
                return failed;
            continue;
        }
        Entry entry = std::move(level.entries[level.next++]);
        path_.resize(level.pathLength);
        if (!path_.ends_with('/'))
            path_ += '/';
        const std::size_t entryAt = path_.size();
        if (entry.folder) {
            path_.append(entry.key, 0, entry.key.size() - 1);
            if (std::optional<Found> failed = Enter(entry))
                return failed;
            continue;
        }
        path_ += entry.key;
        Found found = Told(path_, entry.error);
        found.size = entry.size;
        if (entry.error == 0) {
            found.folder = level.folder;
            found.entryAt = entryAt;
            found.link = entry.link;
            found.identity = entry.identity;
        }
        return found;
    }
    return std::nullopt;
}
