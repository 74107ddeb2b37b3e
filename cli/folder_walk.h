#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/base/unique_fd.h"
#include "platform/files/file_reader.h"

// A folder the walk opened, shared by the files found in it until they have
// been opened within it; counted while it is open.
class OpenFolder {
public:
    OpenFolder(platform::UniqueFd fd, std::atomic<std::size_t>& count) noexcept;
    ~OpenFolder();
    OpenFolder(const OpenFolder&) = delete;
    OpenFolder& operator=(const OpenFolder&) = delete;

    int Fd() const noexcept { return fd_.Get(); }

private:
    platform::UniqueFd fd_;
    std::atomic<std::size_t>& count_;
};

// The files under a folder, in the order in which `find FOLDER | LC_ALL=C
// sort` lists their paths: bytewise by the whole path, so that "a.txt" comes
// before the files in "a/" ('.' is 0x2E, '/' 0x2F). Dot-files are included.
// A regular file is found, and a symbolic link to one is found as that file
// under the link's name; a link to a folder is not followed, and a folder is
// entered only as itself. What cannot be found (a folder or link that cannot
// be read, a dangling link, a loop of links) is told with the system's error,
// and anything else (a FIFO, a socket, a device) as not a regular file,
// never opened; the walk goes on past both.
//
// The walk never leaves the tree, whatever is renamed in it meanwhile: each
// folder is opened within its parent's open descriptor, without following a
// link, and must be the folder its parent's listing found (device and
// inode); each file is found with its folder's descriptor, which the file's
// opener uses (platform::FileInFolder). A folder that has become a link or
// another folder is told as kChanged and not entered.
//
// Descriptors: the walk holds the folders it is in open, the deepest
// `levels` of them; to go back up to a folder it let go, it opens it again
// from the named root down, one component at a time, each checked as it was
// listed. The files found hold their folder open until they are let go, and
// `open` counts every folder open. Memory grows with the depth (the names
// left to visit on the way down), the stack does not.
class FolderWalk {
public:
    // root: a folder, named as it is to be written in the paths found
    // ("dir", "dir/", "."); a link there is followed, as the user named it.
    // levels: at least 1.
    FolderWalk(std::string root, std::size_t levels, std::atomic<std::size_t>& open);

    struct Found {
        std::string path;
        // 0 for a regular file; otherwise the errno, kNotRegular or kChanged.
        int error = 0;
        std::uint64_t size = 0;  // a regular file's, as stat(2) found it
        // A regular file's folder, open; where its name there begins in
        // `path`; whether it was listed as a link to a file; and the file's
        // identity as listed (behind the link).
        std::shared_ptr<const OpenFolder> folder;
        std::size_t entryAt = 0;
        bool link = false;
        platform::FileIdentity identity;
    };
    static constexpr int kNotRegular = -1;
    static constexpr int kChanged = -2;

    // The next file found, or the next that could not be; nothing at the end.
    std::optional<Found> Next();

private:
    struct Entry {
        std::string key;  // the name, with a "/" behind a folder's: the sort order
        bool folder = false;
        bool link = false;
        int error = 0;
        std::uint64_t size = 0;
        platform::FileIdentity identity;
    };
    struct Level {
        std::size_t pathLength = 0;  // of path_, up to the folder's name
        std::size_t nameAt = 0;      // where its name begins in path_
        platform::FileIdentity identity;
        std::vector<Entry> entries;
        std::size_t next = 0;
        std::shared_ptr<OpenFolder> folder;  // null while it is not held
    };

    static Found Told(std::string path, int error);
    // Opens the root and reads it into the first level, or tells why not.
    std::optional<Found> Start();
    // Opens the folder entry (path_ names it) in the top level's folder and
    // reads it into a new level, or tells why not.
    std::optional<Found> Enter(const Entry& entry);
    // Opens the top level's folder again, from the root down.
    std::optional<Found> Reopen();
    // Reads the level's folder; its errno when a read failed, else 0.
    int List(Level& level);
    // Lets go of the shallowest folders held beyond `levels_`.
    void Trim();
    std::string PathOf(const Level& level) const { return path_.substr(0, level.pathLength); }
    std::string NameOf(const Level& level) const
    {
        return path_.substr(level.nameAt, level.pathLength - level.nameAt);
    }
    void AfterListing(const Level& level) const;

    std::string root_;
    std::size_t maxHeld_;
    std::atomic<std::size_t>& open_;
    std::string seam_;
    bool started_ = false;
    std::string path_;  // the path to the current entry, each level's a prefix of it
    std::vector<Level> levels_;
    std::size_t heldFrom_ = 0;  // the levels from here to the top are held
};
