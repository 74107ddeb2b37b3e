#include "platform/files/file_reader.h"

#include <cerrno>
#include <cstring>
#include <functional>
#include <memory>
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
