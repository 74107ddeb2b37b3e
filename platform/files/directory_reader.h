#pragma once

#include <dirent.h>
#include <fcntl.h>

#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace platform {

// The entries of one folder, read once, in the order the file system keeps
// them; "." and ".." are left out. Every listing of a folder in the program
// goes through it: the existence test's wildcard search, the sweeps of the
// private folder and of the settings folder, and the companion's folder walk.
class DirectoryReader {
public:
    struct Entry {
        std::string_view name;  // valid until the next call of Next
        unsigned char type;     // DT_REG, DT_DIR, DT_LNK, ...; DT_UNKNOWN where the file system does not say
    };

    // The folder `name` relative to the folder open as `at` (AT_FDCWD: the
    // current one). With `followLink` false, a symbolic link in its last
    // component is refused (ELOOP) instead of followed. Nothing, with errno
    // set, when it cannot be opened or is not a folder.
    static std::optional<DirectoryReader> Open(int at, const std::string& name, bool followLink = true);

    // The folder open as `fd`, read from where its position stands (the
    // start, once opened); the descriptor stays open and is the caller's,
    // and must outlive the reader.
    static DirectoryReader Borrowing(int fd);

    // The next entry, or nothing at the end; after a failed read, Error()
    // holds its errno.
    std::optional<Entry> Next();
    int Error() const noexcept { return error_; }

    // The folder's own descriptor, to open entries relative to it.
    int Fd() const noexcept { return dir_ ? ::dirfd(dir_.get()) : borrowed_; }

private:
    struct Closer {
        void operator()(DIR* dir) const noexcept { ::closedir(dir); }
    };
    explicit DirectoryReader(DIR* dir) : dir_(dir) {}
    explicit DirectoryReader(int borrowed);

    // The next entry of the borrowed descriptor's, "." and ".." included.
    std::optional<Entry> NextBorrowed();

    std::unique_ptr<DIR, Closer> dir_;
    // Without a DIR (which would close the descriptor with it): the
    // descriptor's entries, a buffer of them at a time.
    int borrowed_ = -1;
    std::unique_ptr<char[]> buffer_;
    std::size_t filled_ = 0;
    std::size_t at_ = 0;
    int error_ = 0;
};

}  // namespace platform
