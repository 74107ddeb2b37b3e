#pragma once

// Helpers shared by the tests that work on real files.

#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <future>
#include <string>
#include <utility>
#include <vector>

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <ftw.h>

#include <cerrno>
#include <cstdlib>

#include <gtest/gtest.h>

#include "platform/base/exception.h"

// A directory of its own, made under `parent` (TMPDIR, or /tmp), and removed
// with everything in it when the object goes: folders a test made unreadable
// are opened up first. Links inside are removed, never followed.
class TempDir {
public:
    explicit TempDir(const std::string& parent = {})
    {
        std::string base = parent;
        if (base.empty()) {
            const char* tmp = std::getenv("TMPDIR");
            base = tmp != nullptr && *tmp == '/' ? tmp : "/tmp";
        }
        std::string pattern = base + "/vellumark-test-XXXXXX";
        if (::mkdtemp(pattern.data()) != nullptr)
            path_ = pattern;
    }
    ~TempDir()
    {
        if (path_.empty())
            return;
        ::nftw(path_.c_str(), OpenUp, 16, FTW_PHYS);
        ::nftw(path_.c_str(), RemoveItem, 16, FTW_DEPTH | FTW_PHYS);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    bool IsValid() const noexcept { return !path_.empty(); }
    const std::string& Path() const noexcept { return path_; }

private:
    static int OpenUp(const char* item, const struct stat*, int type, FTW*)
    {
        if (type == FTW_D || type == FTW_DNR)
            ::chmod(item, 0700);
        return 0;
    }
    static int RemoveItem(const char* item, const struct stat*, int, FTW*)
    {
        ::remove(item);
        return 0;
    }

    std::string path_;
};

// A file's bytes mapped shared, to write to it as another program would,
// unmapped when the object goes.
struct SharedMapping {
    char* bytes = nullptr;
    std::size_t size = 0;

    // The first `length` bytes of the file at `path`; bytes stays null when
    // it cannot be mapped.
    SharedMapping(const std::string& path, std::size_t length)
    {
        const int fd = ::open(path.c_str(), O_RDWR | O_CLOEXEC);
        if (fd < 0)
            return;
        void* mapped = ::mmap(nullptr, length, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
        ::close(fd);
        if (mapped != MAP_FAILED) {
            bytes = static_cast<char*>(mapped);
            size = length;
        }
    }
    SharedMapping(const SharedMapping&) = delete;
    SharedMapping& operator=(const SharedMapping&) = delete;
    ~SharedMapping()
    {
        if (bytes != nullptr)
            ::munmap(bytes, size);
    }
};

// What a writer may do to the file at `path` of `size` bytes while it is read
// without a lease, and whether its digests then stand: nothing; bytes written
// over at its start; a byte at `mapped` flipped through `mapping`, which moves
// no time stamp; the file cut one byte short; the file grown.
inline std::vector<std::pair<std::function<void()>, bool>>
WritersBetweenReads(const std::string& path, std::size_t size, SharedMapping& mapping, std::size_t mapped)
{
    return {
        {[] {}, true},
        {[path] { std::ofstream(path, std::ios::binary | std::ios::in) << "ABCDEFGHIJ"; }, false},
        {[&mapping, mapped] { mapping.bytes[mapped] ^= 1; }, false},
        {[path, size] { ASSERT_EQ(::truncate(path.c_str(), static_cast<off_t>(size - 1)), 0); }, false},
        {[path] { std::ofstream(path, std::ios::binary | std::ios::app) << "more"; }, false},
    };
}

// A test with a directory of its own, removed afterwards, that any user may
// search and list.
class TempDirTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(dir_.IsValid());
        ASSERT_EQ(::chmod(dir_.Path().c_str(), 0755), 0);
    }

    std::string Path(const std::string& name) const { return dir_.Path() + "/" + name; }

    std::string MakeFile(const std::string& name, const std::string& bytes = "x") const
    {
        const std::string path = Path(name);
        std::ofstream(path, std::ios::binary) << bytes;
        return path;
    }

private:
    TempDir dir_;
};

// The message of the Exception that body throws, or "" when it throws none;
// className, when given, receives the exception's class name.
template <class Body>
std::string FailureOf(Body&& body, std::string* className = nullptr)
{
    try {
        body();
    } catch (const Exception& error) {
        if (className != nullptr)
            *className = error.ClassName();
        return error.Message();
    }
    return "";
}

// Runs work on another thread and waits five seconds for it. Should it hang
// in opening fifo, a writer comes and goes to release it, and the answer is
// false, so that the test fails instead of hanging.
template <class Work>
bool FinishesPromptly(Work work, const std::string& fifo)
{
    std::future<void> done = std::async(std::launch::async, std::move(work));
    if (done.wait_for(std::chrono::seconds(5)) == std::future_status::ready) {
        done.get();
        return true;
    }
    const int writer = ::open(fifo.c_str(), O_RDWR | O_CLOEXEC);
    if (writer >= 0)
        ::close(writer);
    done.wait();
    return false;
}

// Another process opens the file for writing without waiting: 0 when it
// may, otherwise the errno. Under a read lease its knock starts the system's
// break of the lease.
inline int WriterAttempt(const std::string& path)
{
    const pid_t pid = ::fork();
    if (pid == 0) {
        const int fd = ::open(path.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
        ::_exit(fd < 0 ? errno : 0);
    }
    int status = 0;
    ::waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// Makes directory the current one for the guard's lifetime.
class InDirectory {
public:
    explicit InDirectory(const std::string& directory) : saved_(std::filesystem::current_path())
    {
        std::filesystem::current_path(directory);
    }
    ~InDirectory() { std::filesystem::current_path(saved_); }

private:
    std::filesystem::path saved_;
};
