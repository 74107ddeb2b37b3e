#include "platform/files/file_reader.h"

#include <cerrno>
#include <cstring>
#include <fstream>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <iterator>

#include "tests/test_files.h"

namespace {

using platform::SharedReadFile;

using FileReader = TempDirTest;

// Root's privileges are set aside while it lives (nobody's user id as the
// effective one); an ordinary user has none to set aside.
class Unprivileged {
public:
    Unprivileged() : root_(::geteuid() == 0) { EXPECT_EQ(root_ ? ::seteuid(65534) : 0, 0); }
    ~Unprivileged() { EXPECT_EQ(root_ ? ::seteuid(0) : 0, 0); }

private:
    bool root_;
};

std::string OpenFailure(const std::string& name, const std::string& reason)
{
    return "Cannot open file \"" + name + "\". " + reason;
}

// The whole content through windows of the given size, or the message of the
// failure.
std::string ReadText(SharedReadFile& file, std::size_t window = 7)
{
    std::string text;
    const std::string failure = FailureOf([&] {
        std::string piece(window, '\0');
        for (;;) {
            const std::size_t got =
                file.ReadAt(text.size(), reinterpret_cast<unsigned char*>(piece.data()), piece.size());
            text.append(piece, 0, got);
            if (got < piece.size())
                break;
        }
    });
    return failure.empty() ? text : failure;
}

// Every byte from any offset; fewer than asked only at the end.
TEST_F(FileReader, ReadsEveryByteFromAnyOffset)
{
    ASSERT_TRUE(platform::IgnoreLeaseBreakSignal());
    std::string large(3 * 1024 * 1024 + 17, '\0');
    for (std::size_t i = 0; i < large.size(); ++i)
        large[i] = static_cast<char>(i % 251);
    for (const std::string& bytes : {std::string(), std::string("\0\x01\xFF" "abc\r\n", 8), large}) {
        SharedReadFile file(MakeFile("data.bin", bytes));
        EXPECT_EQ(file.Size(), bytes.size());
        EXPECT_TRUE(file.CanReadAgain());
        for (const std::size_t window : {std::size_t{1}, std::size_t{7}, std::size_t{1} << 20}) {
            if (bytes.size() < 100 || window > 1) {
                EXPECT_EQ(ReadText(file, window), bytes) << bytes.size() << " in windows of " << window;
            }
        }
        unsigned char piece[5] = {};
        if (bytes.size() > 10) {
            EXPECT_EQ(file.ReadAt(bytes.size() - 3, piece, sizeof piece), 3u);
            EXPECT_EQ(std::string(reinterpret_cast<char*>(piece), 3), bytes.substr(bytes.size() - 3));
        }
        EXPECT_EQ(file.ReadAt(bytes.size() + 100, piece, sizeof piece), 0u);
    }
}

// Holes are filled in rather than read: islands of data at the start, in the
// middle of a window, across a window's edge, and a hole at the end, read in
// windows that meet them in every way.
TEST_F(FileReader, ASparseFileReadsAsItsBytesWithTheHolesAsZeros)
{
    const std::size_t size = 3 * 1024 * 1024 + 7;
    std::string expected(size, '\0');
    const std::string path = Path("sparse.bin");
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::ftruncate(fd, static_cast<off_t>(size)), 0);
    // Data takes whole blocks: one island starts on a block's first byte.
    for (const std::size_t at : {std::size_t{0}, std::size_t{3 * 4096 + 5}, std::size_t{10 * 4096},
                                 std::size_t{1024 * 1024 - 2}, std::size_t{2 * 1024 * 1024 + 100}}) {
        const std::string island(5000, static_cast<char>('A' + at % 26));
        ASSERT_EQ(::pwrite(fd, island.data(), island.size(), static_cast<off_t>(at)), 5000);
        expected.replace(at, island.size(), island);
    }
    ::close(fd);
    SharedReadFile file(path);
    for (const std::size_t window : {std::size_t{4097}, std::size_t{1} << 20, size + 1})
        EXPECT_EQ(ReadText(file, window), expected) << "in windows of " << window;
}

TEST_F(FileReader, OpenFailuresNameTheAbsoluteFileAndNeverWait)
{
    const std::string folder = Path("folder");
    ASSERT_EQ(::mkdir(folder.c_str(), 0755), 0);
    const std::string fifo = Path("pipe");
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    MakeFile("match.bin");
    const std::string withNul = MakeFile("plain.bin") + std::string("\0tail", 5);

    const InDirectory here(Path(""));
    const std::pair<std::string, std::string> cases[] = {
        {".//sub/./../missing.bin", OpenFailure(Path("sub/../missing.bin"), "No such file or directory")},
        {"m*.bin", OpenFailure(Path("m*.bin"), "No such file or directory")},  // no wildcards here
        {withNul, OpenFailure(withNul, "Invalid argument")},
        {folder, OpenFailure(folder, "Is a directory")},
        {fifo, OpenFailure(fifo, "Not a regular file")},  // should a name turn into a FIFO
    };
    for (const auto& [name, message] : cases) {
        std::string failure;
        EXPECT_TRUE(FinishesPromptly([&] { failure = FailureOf([&] { SharedReadFile file(name); }); }, fifo))
            << name << ": the open blocked";
        EXPECT_EQ(failure, message);
    }

    const std::string secret = MakeFile("secret.bin");
    ASSERT_EQ(::chmod(secret.c_str(), 0), 0);
    const Unprivileged unprivileged;
    EXPECT_EQ(FailureOf([&] { SharedReadFile file(secret); }), OpenFailure(secret, "Permission denied"));
}

// A process of ours blocked in its open of the FIFO for writing, as it is
// until someone opens the FIFO to read.
pid_t BlockedWriter(const std::string& fifo)
{
    const pid_t writer = ::fork();
    if (writer == 0) {
        const int fd = ::open(fifo.c_str(), O_WRONLY | O_CLOEXEC);
        ::_exit(fd >= 0 ? 0 : 1);
    }
    // In the open, the system call it is in is openat's (257).
    for (int tries = 0; writer > 0 && tries < 2500; ++tries) {
        std::ifstream call("/proc/" + std::to_string(writer) + "/syscall");
        std::string number;
        if (call >> number && number == "257")
            break;
        ::usleep(2000);
    }
    return writer;
}

// Whether the writer is still blocked, given a tenth of a second to end
// should a reader have let it go; it is let go and waited for either way.
bool StillBlocked(pid_t writer, const std::string& fifo)
{
    int status = 0;
    bool blocked = true;
    for (int tries = 0; blocked && tries < 50; ++tries) {
        blocked = ::waitpid(writer, &status, WNOHANG) == 0;
        if (blocked)
            ::usleep(2000);
    }
    if (!blocked)
        return false;
    const int reader = ::open(fifo.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    ::waitpid(writer, &status, 0);
    if (reader >= 0)
        ::close(reader);
    return true;
}

// Opens for as long as it lives as where /proc/self/fd is missing.
struct WithoutProc {
    WithoutProc() { SharedReadFile::SetWithoutProcForTesting(true); }
    ~WithoutProc() { SharedReadFile::SetWithoutProcForTesting(false); }
};

// A FIFO is looked at, never opened: a writer waiting for a reader goes on
// waiting, by name (followed through a link too) and within a folder, with
// /proc/self/fd (held open or not) and without it; and only what the folder's listing found is
// read there: a link or another file in the entry's place is told as changed.
TEST_F(FileReader, AFifoIsNeverOpenedAndAFileInAFolderMustBeTheOneListed)
{
    ASSERT_TRUE(platform::IgnoreLeaseBreakSignal());
    const std::string fifo = Path("pipe");
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    ASSERT_EQ(::symlink("pipe", Path("to-pipe").c_str()), 0);
    const std::string file = MakeFile("file", "abc");
    ASSERT_EQ(::symlink("file", Path("to-file").c_str()), 0);
    MakeFile("other", "xyz");
    const platform::UniqueFd folder(::open(Path("").c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    ASSERT_TRUE(folder);
    struct stat listed {};
    ASSERT_EQ(::stat(file.c_str(), &listed), 0);
    const platform::FileIdentity identity = platform::IdentityOf(listed);
    const std::string changed = "Changed during the walk";
    const std::string shown = Path("shown");  // the name in messages

    for (const std::string how : {"through /proc/self/fd", "through /proc/self/fd held open", "without /proc"}) {
        std::optional<platform::SelfFdsHeld> held;
        std::optional<WithoutProc> without;
        if (how.ends_with("held open"))
            held.emplace();
        if (how.starts_with("without"))
            without.emplace();
        for (const std::string& name : {fifo, Path("to-pipe")}) {
            const pid_t writer = BlockedWriter(fifo);
            EXPECT_EQ(FailureOf([&] { SharedReadFile opened(name); }), OpenFailure(name, "Not a regular file"))
                << how;
            EXPECT_TRUE(StillBlocked(writer, fifo)) << name << " was opened " << how;
        }

        // As listed: a file, and a link to it, which is followed.
        SharedReadFile plain(shown, {folder.Get(), "file", false, identity});
        EXPECT_EQ(ReadText(plain), "abc") << how;
        SharedReadFile linked(shown, {folder.Get(), "to-file", true, identity});
        EXPECT_EQ(ReadText(linked), "abc") << how;
        // Not as listed: a link where the file was, another file, a FIFO
        // (through the link too), each told, and the FIFO never opened.
        const std::pair<platform::FileInFolder, std::string> cases[] = {
            {{folder.Get(), "to-file", false, identity}, "a link where a file was listed"},
            {{folder.Get(), "other", false, identity}, "another file"},
            {{folder.Get(), "pipe", false, identity}, "a FIFO"},
            {{folder.Get(), "to-pipe", true, identity}, "a link to a FIFO"},
            {{folder.Get(), "to-pipe", false, identity}, "a link to a FIFO, not followed"},
        };
        for (const auto& [at, what] : cases) {
            const pid_t writer = BlockedWriter(fifo);
            EXPECT_EQ(FailureOf([&] { SharedReadFile opened(shown, at); }), OpenFailure(shown, changed))
                << what << " " << how;
            EXPECT_TRUE(StillBlocked(writer, fifo)) << what << " was opened " << how;
        }
    }
}

TEST_F(FileReader, UnderTheLeaseWritersWaitUntilTheFileIsClosed)
{
    const std::string path = MakeFile("held.bin", "original");
    const auto writerAttempt = [&] { return WriterAttempt(path); };
    ASSERT_TRUE(platform::IgnoreLeaseBreakSignal());
    {
        SharedReadFile file(path);
        if (!file.HoldsLease())
            GTEST_SKIP() << "this file system grants no read leases";
        // The refused writer also makes the system send this process SIGIO,
        // which must not end it.
        EXPECT_EQ(writerAttempt(), EWOULDBLOCK);
    }
    // The lease is held for the object's whole life, not just while reading.
    {
        SharedReadFile file(path);
        EXPECT_EQ(ReadText(file), "original");
        EXPECT_EQ(writerAttempt(), EWOULDBLOCK);
        EXPECT_TRUE(file.HoldsLease());
        // A writer knocking has started the system's break of the lease, but
        // cannot write until the break time is over.
        EXPECT_TRUE(file.LeaseStillHeld());
        // With a break time that is over at once, the writer may be in.
        file.SetLeaseBreakTimeForTesting(std::chrono::milliseconds(0));
        EXPECT_FALSE(file.LeaseStillHeld());
        EXPECT_EQ(FailureOf([&] { file.ThrowChanged(); }),
                  OpenFailure(path, "The file changed while it was being read"));
    }
    EXPECT_EQ(writerAttempt(), 0) << "the lease goes with the file";

    // A lease that nobody knocked at holds however short the break time.
    {
        SharedReadFile file(path);
        file.SetLeaseBreakTimeForTesting(std::chrono::milliseconds(0));
        EXPECT_EQ(ReadText(file), "original");
        EXPECT_TRUE(file.LeaseStillHeld());
    }

    // A file that is already open for writing is not read at all.
    const int writer = ::open(path.c_str(), O_WRONLY | O_CLOEXEC);
    ASSERT_GE(writer, 0);
    EXPECT_EQ(FailureOf([&] { SharedReadFile file(path); }), OpenFailure(path, "The file is open for writing"));
    ::close(writer);
}

// The kernel's own files report a size that says nothing of their content.
TEST_F(FileReader, FilesWhoseSizeIsNotTheirContentAreReadToTheirEnd)
{
    std::string expected;
    {
        std::ifstream in("/proc/version", std::ios::binary);
        expected.assign(std::istreambuf_iterator<char>(in), {});
    }
    if (expected.empty())
        GTEST_SKIP() << "no /proc/version here";
    SharedReadFile file("/proc/version");
    EXPECT_EQ(file.Size(), 0u);
    EXPECT_EQ(ReadText(file), expected);
}

// A pipe on the standard input is read once, as it comes, from where it
// stands; the program's own standard input stays open.
TEST_F(FileReader, TheStandardInputIsReadOnceAsItComes)
{
    int pipeEnds[2];
    ASSERT_EQ(::pipe(pipeEnds), 0);
    ASSERT_EQ(::write(pipeEnds[1], "skip-piped bytes", 16), 16);
    ::close(pipeEnds[1]);
    const int saved = ::dup(STDIN_FILENO);
    ASSERT_GE(saved, 0);
    ASSERT_EQ(::dup2(pipeEnds[0], STDIN_FILENO), STDIN_FILENO);
    ::close(pipeEnds[0]);
    char skipped[5];
    ASSERT_EQ(::read(STDIN_FILENO, skipped, 5), 5);
    {
        SharedReadFile input = SharedReadFile::StandardInput();
        EXPECT_FALSE(input.CanReadAgain());
        EXPECT_FALSE(input.HoldsLease());
        EXPECT_FALSE(input.LeaseStillHeld());
        EXPECT_EQ(input.Size(), 0u);
        EXPECT_EQ(ReadText(input, 4), "piped bytes");
    }
    EXPECT_EQ(::fcntl(STDIN_FILENO, F_GETFD), 0) << "the standard input was closed";
    ASSERT_EQ(::dup2(saved, STDIN_FILENO), STDIN_FILENO);
    ::close(saved);
}

}  // namespace
