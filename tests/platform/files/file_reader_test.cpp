#include "platform/files/file_reader.h"

#include <cerrno>
#include <cstring>
#include <functional>
#include <memory>
#include <string>

#include <signal.h>
#include <sys/mman.h>
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

// The file's bytes, or the message of the failure.
std::string ReadText(SharedReadFile& file)
{
    std::string text;
    const std::string failure = FailureOf([&] {
        const platform::FileBlock block = file.ReadAll();
        text.assign(reinterpret_cast<const char*>(block.Data()), static_cast<std::size_t>(block.Size()));
    });
    return failure.empty() ? text : failure;
}

// Small files are copied into a block one byte longer, ending in zero; large
// ones under the lease are mapped, and the lease holds writers off until the
// block has been used.
TEST_F(FileReader, ReadsEveryByteCopiedOrMapped)
{
    ASSERT_TRUE(platform::IgnoreLeaseBreakSignal());
    std::string large(3 * 1024 * 1024 + 17, '\0');
    for (std::size_t i = 0; i < large.size(); ++i)
        large[i] = static_cast<char>(i % 251);
    for (const std::string& bytes : {std::string(),
                                     std::string("\0\x01\xFF"
                                                 "abc\r\n",
                                                 8),
                                     large}) {
        SharedReadFile file(MakeFile("data.bin", bytes));
        EXPECT_EQ(file.Size(), bytes.size());
        const platform::FileBlock block = file.ReadAll();
        ASSERT_EQ(block.Size(), static_cast<std::int32_t>(bytes.size()));
        ASSERT_NE(block.Data(), nullptr);
        EXPECT_EQ(std::memcmp(block.Data(), bytes.data(), bytes.size()), 0) << bytes.size();
        if (!block.Mapped()) {
            EXPECT_EQ(block.Data()[bytes.size()], 0) << bytes.size();
        }
        EXPECT_EQ(block.Mapped(), file.HoldsLease());
        EXPECT_EQ(block.Mapped(), bytes.size() == large.size() && file.HoldsLease());
        file.ConfirmUnchanged(block);
        EXPECT_FALSE(file.HoldsLease());
    }
}

// A file that shrinks under a mapping would end the process at the next
// touch of a page past its end; under the guard the range reads as zeros
// and the guard knows.
TEST_F(FileReader, AMappedFileThatShrinksEndsNoProcess)
{
    const std::size_t size = 4 * 4096;
    const std::string path = MakeFile("shrinks.bin", std::string(size, 'x'));
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    void* memory = ::mmap(nullptr, size, PROT_READ, MAP_SHARED, fd, 0);
    ::close(fd);
    ASSERT_NE(memory, MAP_FAILED);
    const auto* bytes = static_cast<const volatile unsigned char*>(memory);
    {
        platform::MappingFaultGuard guard(memory, size);
        EXPECT_EQ(bytes[size - 1], 'x');
        ASSERT_EQ(::truncate(path.c_str(), 4096), 0);
        EXPECT_EQ(bytes[size - 1], 0);
        EXPECT_TRUE(guard.Faulted());
        EXPECT_EQ(bytes[0], 0) << "the whole range is replaced, not just the page";
    }
    ::munmap(memory, size);

    // Without a guard the fault goes to the action there was before: the end.
    EXPECT_EXIT(
        {
            const int again = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
            auto* mapped =
                static_cast<const volatile unsigned char*>(::mmap(nullptr, size, PROT_READ, MAP_SHARED, again, 0));
            (void)mapped[size - 1];
            std::exit(0);
        },
        // SIGBUS itself, or the sanitizers' report of it when they run.
        [](int status) { return WIFSIGNALED(status) || (WIFEXITED(status) && WEXITSTATUS(status) != 0); }, "");
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

TEST_F(FileReader, UnderTheLeaseWritersWaitUntilTheFileHasBeenRead)
{
    const std::string path = MakeFile("held.bin", "original");
    // Another process opens the file for writing without waiting: 0 when it
    // may, otherwise the errno.
    const auto writerAttempt = [&] {
        const pid_t pid = ::fork();
        if (pid == 0) {
            const int fd = ::open(path.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
            ::_exit(fd < 0 ? errno : 0);
        }
        int status = 0;
        ::waitpid(pid, &status, 0);
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    };
    ASSERT_TRUE(platform::IgnoreLeaseBreakSignal());
    {
        SharedReadFile file(path);
        if (!file.HoldsLease())
            GTEST_SKIP() << "this file system grants no read leases";
        // The refused writer also makes the system send this process SIGIO,
        // which must not end it.
        EXPECT_EQ(writerAttempt(), EWOULDBLOCK);
        EXPECT_EQ(ReadText(file), "original");
        EXPECT_FALSE(file.HoldsLease());
        EXPECT_EQ(writerAttempt(), 0) << "once read, the file no longer holds writers off";
    }
    // A large file is mapped and digested in place: the lease holds writers
    // off until the block has been used. One that knocked meanwhile was held
    // off, so the bytes are still good.
    MakeFile("held.bin", std::string(2 * 1024 * 1024, 'h'));
    {
        SharedReadFile file(path);
        const platform::FileBlock block = file.ReadAll();
        ASSERT_TRUE(block.Mapped());
        EXPECT_EQ(writerAttempt(), EWOULDBLOCK);
        EXPECT_TRUE(file.HoldsLease());
        EXPECT_EQ(FailureOf([&] { file.ConfirmUnchanged(block); }), "");
        EXPECT_EQ(writerAttempt(), 0);
    }

    // A file that is already open for writing is not read at all.
    const int writer = ::open(path.c_str(), O_WRONLY | O_CLOEXEC);
    ASSERT_GE(writer, 0);
    EXPECT_EQ(FailureOf([&] { SharedReadFile file(path); }), OpenFailure(path, "The file is open for writing"));
    ::close(writer);
}

// Without a lease (another user's file, a file system without leases) the
// reader must still never digest bytes that were not the file's content at
// one moment. Each change is made just after the first read, as a writer at
// work during the read would make it; the file's times alone did not show a
// write through a mapping, nor one that was stamped before the read began.
TEST_F(FileReader, WithoutALeaseAFileChangedDuringTheReadIsRefused)
{
    const std::string path = Path("shared.bin");
    const std::string changed = OpenFailure(path, "The file changed while it was being read");
    // A page already written through a shared mapping takes further writes
    // without the file's times moving.
    struct Mapping {
        char* bytes = nullptr;
        ~Mapping()
        {
            if (bytes != nullptr)
                ::munmap(bytes, 10);
        }
    } mapping;
    const std::pair<std::function<void()>, std::string> cases[] = {
        {[] {}, "0123456789"},
        {[&] { std::ofstream(path, std::ios::binary | std::ios::in) << "ABCDEFGHIJ"; }, changed},
        {[&] { mapping.bytes[5] = 'X'; }, changed},
        {[&] { ASSERT_EQ(::truncate(path.c_str(), 4), 0); }, changed},
        {[&] { std::ofstream(path, std::ios::binary | std::ios::app) << "more"; }, changed},
    };
    for (const auto& [change, result] : cases) {
        MakeFile("shared.bin", "0123456789");
        if (mapping.bytes == nullptr) {
            const int fd = ::open(path.c_str(), O_RDWR | O_CLOEXEC);
            ASSERT_GE(fd, 0);
            mapping.bytes = static_cast<char*>(::mmap(nullptr, 10, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0));
            ::close(fd);
            ASSERT_NE(mapping.bytes, MAP_FAILED);
        }
        mapping.bytes[0] = '0';  // the page is written now, before the reader looks
        SharedReadFile file(path, SharedReadFile::Lease::Never);
        ASSERT_FALSE(file.HoldsLease());
        file.SetBeforeCheckForTesting(change);
        EXPECT_EQ(ReadText(file), result);
    }
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

    // Still refused past the limit, however small the reported size.
    SharedReadFile again("/proc/version");
    EXPECT_EQ(FailureOf([&] { again.ReadAll(expected.size() - 1); }),
              "File \"/proc/version\" is too large: the largest file that can be digested has 2147483647 bytes"
              " (2 GiB less one byte)");
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
    EXPECT_EQ(ReadText(file), "File \"" + path +
                                  "\" is too large: the largest file that can be digested has "
                                  "2147483647 bytes (2 GiB less one byte)");
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(2));
}

}  // namespace
