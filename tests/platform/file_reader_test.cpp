#include "platform/file_reader.h"

#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <future>
#include <string>

#include <fcntl.h>
#include <grp.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QTemporaryDir>
#include <gtest/gtest.h>

namespace {

using platform::EFileOpenError;
using platform::SharedReadFile;

constexpr uid_t kNobody = 65534;

class FileReader : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(dir_.isValid());
        // Let an unprivileged child process reach the files.
        ::chmod(dir_.path().toLocal8Bit().constData(), 0755);
    }

    std::string Path(const std::string& name) const { return dir_.path().toStdString() + "/" + name; }

    std::string MakeFile(const std::string& name, const std::string& bytes) const
    {
        const std::string path = Path(name);
        std::ofstream(path, std::ios::binary) << bytes;
        return path;
    }

private:
    QTemporaryDir dir_;
};

std::string OpenFailure(const std::string& name, const std::string& reason)
{
    return "Cannot open file \"" + name + "\". " + reason;
}

// The message of the exception that body throws, or "" when it throws none.
template <class Body>
std::string FailureOf(Body&& body)
{
    try {
        body();
    } catch (const Exception& error) {
        return error.Message();
    }
    return "";
}

std::string ReadWhole(const std::string& path)
{
    SharedReadFile file(path);
    const platform::FileBlock block = file.ReadAll();
    return std::string(reinterpret_cast<const char*>(block.Data()), static_cast<std::size_t>(block.Size()));
}

// Whether this file system grants this process a read lease at all.
bool LeasesWork(const std::string& path)
{
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    const bool granted = ::fcntl(fd, F_SETLEASE, F_RDLCK) == 0;
    ::close(fd);
    return granted;
}

void WriteAll(int fd, const std::string& text)
{
    std::size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n <= 0)
            return;
        done += static_cast<std::size_t>(n);
    }
}

std::string ReadToEnd(int fd)
{
    std::string text;
    char buffer[512];
    ssize_t n;
    while ((n = ::read(fd, buffer, sizeof buffer)) > 0 || (n < 0 && errno == EINTR)) {
        if (n > 0)
            text.append(buffer, static_cast<std::size_t>(n));
    }
    return text;
}

// Runs body in a child process as an ordinary user without privileges and
// returns the last line it reports. body gets a descriptor to read the
// parent's word from and one to report progress on; parent, when given, runs
// meanwhile with the other ends.
struct ChildResult {
    std::string report;
    bool exited = false;
};

ChildResult RunAsNobody(const std::function<std::string(int fromParent, int toParent)>& body,
                        const std::function<void(int toChild, int fromChild)>& parent = {})
{
    int report[2];
    int command[2];
    if (::pipe(report) != 0)
        return {"pipe failed", false};
    if (::pipe(command) != 0) {
        ::close(report[0]);
        ::close(report[1]);
        return {"pipe failed", false};
    }
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::close(report[0]);
        ::close(command[1]);
        std::string out;
        if (::setgroups(0, nullptr) != 0 || ::setgid(kNobody) != 0 || ::setuid(kNobody) != 0) {
            out = "could not drop privileges";
        } else {
            try {
                out = body(command[0], report[1]);
            } catch (const Exception& error) {
                out = error.Message();
            } catch (...) {
                out = "unexpected exception";
            }
        }
        WriteAll(report[1], "\n" + out);
        ::_exit(0);
    }
    ::close(report[1]);
    ::close(command[0]);
    if (parent)
        parent(command[1], report[0]);
    ::close(command[1]);
    ChildResult result;
    result.report = ReadToEnd(report[0]);
    ::close(report[0]);
    int status = 0;
    ::waitpid(pid, &status, 0);
    result.exited = WIFEXITED(status) && WEXITSTATUS(status) == 0;
    const std::size_t last = result.report.rfind('\n');
    if (last != std::string::npos)
        result.report.erase(0, last + 1);
    return result;
}

// Runs work on another thread and waits up to timeout; an open that hangs is
// released by unblock so that the test can report it instead of hanging.
template <class Work>
bool FinishesWithin(std::chrono::seconds timeout, Work work, const std::function<void()>& unblock)
{
    std::future<void> done = std::async(std::launch::async, std::move(work));
    if (done.wait_for(timeout) == std::future_status::ready) {
        done.get();
        return true;
    }
    unblock();
    done.wait();
    return false;
}

TEST_F(FileReader, ReadsEveryByteIntoABlockOneLonger)
{
    std::string bytes("\0\x01\xFF" "abc\r\n", 8);
    const std::string path = MakeFile("bytes.bin", bytes);

    SharedReadFile file(path);
    EXPECT_EQ(file.Size(), bytes.size());
    const platform::FileBlock block = file.ReadAll();
    ASSERT_EQ(block.Size(), static_cast<std::int32_t>(bytes.size()));
    EXPECT_EQ(std::memcmp(block.Data(), bytes.data(), bytes.size()), 0);
    EXPECT_EQ(block.Data()[bytes.size()], 0) << "the extra byte is zero";
}

TEST_F(FileReader, AnEmptyFileGivesANonEmptyBlockOfSizeZero)
{
    const std::string path = MakeFile("empty.bin", "");
    SharedReadFile file(path);
    const platform::FileBlock block = file.ReadAll();
    EXPECT_EQ(block.Size(), 0);
    ASSERT_NE(block.Data(), nullptr);
    EXPECT_EQ(block.Data()[0], 0);
}

TEST_F(FileReader, ALargerFileArrivesIntact)
{
    std::string bytes(3 * 1024 * 1024 + 17, '\0');
    for (std::size_t i = 0; i < bytes.size(); ++i)
        bytes[i] = static_cast<char>(i % 251);
    const std::string path = MakeFile("large.bin", bytes);
    EXPECT_TRUE(ReadWhole(path) == bytes);
}

TEST_F(FileReader, OpenFailuresNameTheAbsoluteFileAndTheSystemText)
{
    const std::filesystem::path saved = std::filesystem::current_path();
    std::filesystem::current_path(Path(""));
    const std::string missing = FailureOf([] { SharedReadFile file("./sub/../missing.bin"); });
    const std::string wildcard = FailureOf([] { SharedReadFile file("m*.bin"); });
    std::filesystem::current_path(saved);

    EXPECT_EQ(missing, OpenFailure(Path("sub/../missing.bin"), "No such file or directory"));
    EXPECT_EQ(wildcard, OpenFailure(Path("m*.bin"), "No such file or directory"));
}

TEST(AbsoluteFileName, DropsDotsAndRepeatedSlashesOnly)
{
    const std::string current = std::filesystem::current_path().string();
    EXPECT_EQ(platform::AbsoluteFileName("/a//b/./c"), "/a/b/c");
    EXPECT_EQ(platform::AbsoluteFileName("/a/../b"), "/a/../b");
    EXPECT_EQ(platform::AbsoluteFileName("/"), "/");
    EXPECT_EQ(platform::AbsoluteFileName("x.bin"), current + "/x.bin");
    EXPECT_EQ(platform::AbsoluteFileName("./x.bin"), current + "/x.bin");
    EXPECT_EQ(platform::AbsoluteFileName("dir/"), current + "/dir");
}

TEST_F(FileReader, DirectoriesAndFifosAreRefusedWithoutWaiting)
{
    const std::string folder = Path("folder");
    ASSERT_EQ(::mkdir(folder.c_str(), 0755), 0);
    EXPECT_EQ(FailureOf([&] { SharedReadFile file(folder); }), OpenFailure(folder, "Is a directory"));

    // Should a name turn into a FIFO after the existence test, the open must
    // not wait for a writer that never comes.
    const std::string fifo = Path("pipe");
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    std::string message;
    const bool prompt = FinishesWithin(
        std::chrono::seconds(5), [&] { message = FailureOf([&] { SharedReadFile file(fifo); }); },
        [&] {
            const int writer = ::open(fifo.c_str(), O_RDWR | O_CLOEXEC);
            if (writer >= 0)
                ::close(writer);
        });
    EXPECT_TRUE(prompt) << "opening a FIFO blocked";
    EXPECT_EQ(message, OpenFailure(fifo, "Not a regular file"));
}

TEST_F(FileReader, WritersAreHeldOffUntilTheFileHasBeenRead)
{
    const std::string path = MakeFile("held.bin", "original");
    if (!LeasesWork(path))
        GTEST_SKIP() << "this file system grants no read leases";

    // Another process tries to open the file for writing without waiting;
    // reports 0 on success, otherwise the errno.
    const auto writerAttempt = [&] {
        const pid_t pid = ::fork();
        if (pid == 0) {
            const int fd = ::open(path.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
            if (fd < 0)
                ::_exit(errno);
            WriteAll(fd, "CHANGED!");
            ::_exit(0);
        }
        int status = 0;
        ::waitpid(pid, &status, 0);
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    };

    SharedReadFile file(path);
    ASSERT_TRUE(file.HoldsLease());
    // The refused writer also makes the system signal this process, which
    // must survive it.
    EXPECT_EQ(writerAttempt(), EWOULDBLOCK);
    const platform::FileBlock block = file.ReadAll();
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(block.Data()), 8), "original");

    // Read done: the writer no longer has to wait, although the file is
    // still open here.
    EXPECT_FALSE(file.HoldsLease());
    EXPECT_EQ(writerAttempt(), 0);
}

TEST_F(FileReader, AFileThatCannotBeReadFailsToOpen)
{
    const std::string path = MakeFile("secret.bin", "secret");
    ASSERT_EQ(::chmod(path.c_str(), 0), 0);
    if (::geteuid() != 0) {
        EXPECT_EQ(FailureOf([&] { SharedReadFile file(path); }), OpenFailure(path, "Permission denied"));
        return;
    }
    // Permissions do not bind root; an unprivileged child meets them.
    const ChildResult child = RunAsNobody([&](int, int) {
        SharedReadFile file(path);
        return std::string("opened");
    });
    EXPECT_TRUE(child.exited);
    EXPECT_EQ(child.report, OpenFailure(path, "Permission denied"));
}

// Without a lease (the file belongs to someone else) the reader compares the
// file's state before and after the read.
class FileReaderWithoutLease : public FileReader {
protected:
    void SetUp() override
    {
        FileReader::SetUp();
        if (::geteuid() != 0)
            GTEST_SKIP() << "needs root to hand a file to another user";
        path_ = MakeFile("shared.bin", "0123456789");
        ASSERT_EQ(::chmod(path_.c_str(), 0644), 0);
        // An old time, so that any write after it shows in the last-write time
        // whatever the clock's resolution.
        const timespec old[2] = {{1000000000, 0}, {1000000000, 0}};
        ASSERT_EQ(::utimensat(AT_FDCWD, path_.c_str(), old, 0), 0);
    }

    // The child opens the file and says so; the parent then makes its
    // change and lets the child read.
    ChildResult OpenChangeRead(const std::function<void()>& change)
    {
        const std::string path = path_;
        return RunAsNobody(
            [path](int fromParent, int toParent) {
                SharedReadFile file(path);
                if (file.HoldsLease())
                    return std::string("unexpectedly holds a lease");
                WriteAll(toParent, "opened\n");
                char go = 0;
                if (::read(fromParent, &go, 1) != 1)
                    return std::string("parent went away");
                const platform::FileBlock block = file.ReadAll();
                return std::string(reinterpret_cast<const char*>(block.Data()),
                                   static_cast<std::size_t>(block.Size()));
            },
            [change](int toChild, int fromChild) {
                char mark = 0;
                while (::read(fromChild, &mark, 1) == 1 && mark != '\n') {
                }
                change();
                WriteAll(toChild, "g");
            });
    }

    std::string path_;
};

TEST_F(FileReaderWithoutLease, AnUnchangedFileIsRead)
{
    const ChildResult child = OpenChangeRead([] {});
    EXPECT_TRUE(child.exited);
    EXPECT_EQ(child.report, "0123456789");
}

TEST_F(FileReaderWithoutLease, AFileChangedWhileOpenIsRefused)
{
    const std::string changed = OpenFailure(path_, platform::kChangedWhileReadText);
    const std::string path = path_;

    // Same size, other bytes: only the times tell.
    ChildResult child = OpenChangeRead([path] {
        const int fd = ::open(path.c_str(), O_WRONLY | O_CLOEXEC);
        WriteAll(fd, "ABCDEFGHIJ");
        ::close(fd);
    });
    EXPECT_TRUE(child.exited);
    EXPECT_EQ(child.report, changed);

    // Grown: the file has more bytes than when it was opened.
    child = OpenChangeRead([path] {
        const int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);
        WriteAll(fd, "more");
        ::close(fd);
    });
    EXPECT_TRUE(child.exited);
    EXPECT_EQ(child.report, changed);
}

TEST_F(FileReaderWithoutLease, AFileThatShrankGivesAStreamReadError)
{
    const std::string path = path_;
    const ChildResult child = OpenChangeRead([path] { ::truncate(path.c_str(), 4); });
    EXPECT_TRUE(child.exited);
    EXPECT_EQ(child.report, "Stream read error");
}

TEST_F(FileReader, FilesOf2GiBOrMoreAreRefusedBeforeReading)
{
    const std::string path = Path("huge.bin");
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
    ASSERT_GE(fd, 0);
    const int sized = ::ftruncate(fd, off_t{1} << 31);
    ::close(fd);
    if (sized != 0)
        GTEST_SKIP() << "cannot make a sparse file of 2 GiB here: " << std::strerror(errno);

    SharedReadFile file(path);
    EXPECT_EQ(file.Size(), std::uint64_t{1} << 31);
    const auto started = std::chrono::steady_clock::now();
    EXPECT_EQ(FailureOf([&] { (void)file.ReadAll(); }),
              "File \"" + path + "\" is too large: the largest file that can be digested has 2147483647 bytes"
              " (2 GiB less one byte)");
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(2));
}

}  // namespace
