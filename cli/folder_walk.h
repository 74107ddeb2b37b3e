#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

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
// A folder is read whole and closed before the walk goes on, so that one
// descriptor at most is open, and the folders on the way down are kept in a
// list rather than on the stack: any depth is walked.
class FolderWalk {
public:
    // root: a folder, named as it is to be written in the paths found
    // ("dir", "dir/", "."); a link there is followed, as the user named it.
    explicit FolderWalk(std::string root);

    struct Found {
        std::string path;
        // 0 for a regular file; otherwise the errno, or kNotRegular.
        int error = 0;
        std::uint64_t size = 0;  // a regular file's, as stat(2) found it
    };
    static constexpr int kNotRegular = -1;

    // The next file found, or the next that could not be; nothing at the end.
    std::optional<Found> Next();

private:
    struct Entry {
        std::string key;  // the name, with a "/" behind a folder's: the sort order
        bool folder = false;
        int error = 0;
        std::uint64_t size = 0;
    };
    struct Level {
        std::string path;  // the folder's, to which the names are joined
        std::vector<Entry> entries;
        std::size_t next = 0;
    };

    // Reads a folder into a new level, or tells why it cannot be read.
    std::optional<Found> Enter(const std::string& path, bool followLink);

    std::string root_;
    bool started_ = false;
    std::vector<Level> levels_;
};
