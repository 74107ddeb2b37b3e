// The file path: a file read in windows and digested as it is read, on one
// thread or several, with and without a lease; the checks that keep a file
// that changed while it was read from being reported; cancelling; files
// larger than any 32-bit count; sparse files.
#include "core/file_digests.h"

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <filesystem>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/wait.h>

#include "engine/blake3.h"
#include "engine/digest.h"
#include "engine/digest_paths.h"
#include "engine/path_choice.h"
#include "platform/process/thread_identity.h"
#include "tests/digest_results.h"
#include "tests/test_files.h"

namespace {

using platform::SharedReadFile;

constexpr std::size_t kWindow = kFileWindowSize;

engine::WindowDigestChoice All(bool hmac = false, const std::string& key = "")
{
    return {.algorithms = {Algorithm::Md5, Algorithm::Sha1, Algorithm::Crc32}, .hmac = hmac, .key = key};
}

std::string Hex(const engine::DigestResults& r)
{
    return HexOf(r, Algorithm::Md5) + " " + HexOf(r, Algorithm::Sha1) + " " + std::to_string(Crc32Of(r));
}

std::string OneShot(const std::string& bytes, const engine::WindowDigestChoice& choice)
{
    Md5Digest md5;
    Sha1Digest sha1;
    if (choice.hmac) {
        HmacMd5OfText(choice.key, bytes, md5);
        HmacSha1OfText(choice.key, bytes, sha1);
    } else {
        Md5OfText(bytes, md5);
        Sha1OfText(bytes, sha1);
    }
    return DigestToHexText(md5) + " " + DigestToHexText(sha1) + " " + std::to_string(Crc32OfText(bytes));
}

// BLAKE3 alone: a file under a lease on two cores or more is read by every
// thread, each digesting its windows apart.
const engine::WindowDigestChoice kBlake3Alone{.algorithms = {Algorithm::Blake3}, .key = {}};

std::string Blake3OneShot(const std::string& bytes)
{
    engine::Blake3State state;
    engine::Blake3Init(state);
    engine::Blake3Update(state, reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
    std::uint8_t digest[engine::kBlake3DigestSize];
    engine::Blake3Final(state, digest);
    std::string text;
    platform::AppendHexBytes(text, digest, sizeof digest, false);
    return text;
}

std::string Counter(std::size_t size)
{
    std::string bytes(size, '\0');
    for (std::size_t i = 0; i < size; ++i)
        bytes[i] = static_cast<char>(i % 251);
    return bytes;
}

class FileDigests : public TempDirTest {
protected:
    void SetUp() override
    {
        TempDirTest::SetUp();
        ASSERT_TRUE(platform::IgnoreLeaseBreakSignal());
    }

    // The digests, or the failure's message.
    std::string Digest(SharedReadFile& file, const engine::WindowDigestChoice& choice, RunControl& control,
                       const FileDigestOptions& options = {})
    {
        std::string digests;
        const std::string failure = FailureOf([&] { digests = Hex(DigestFile(file, choice, control, options)); });
        return failure.empty() ? digests : failure;
    }

    std::string Changed(const std::string& path) const
    {
        return "Cannot open file \"" + path + "\". The file changed while it was being read";
    }
};

// Every size around the window's edges, on one thread (read and digested by
// turns), on two (a reader beside the digests) and on three; plain and keyed;
// with a lease and read twice without one. Progress counts every byte read.
TEST_F(FileDigests, WindowsGiveTheDigestsOfTheWholeFile)
{
    for (const std::size_t size :
         {std::size_t{0}, std::size_t{1}, kWindow - 1, kWindow, kWindow + 1, 3 * kWindow + 17, 4 * kWindow}) {
        const std::string bytes = Counter(size);
        const std::string path = MakeFile("data.bin", bytes);
        for (const auto& choice : {All(), All(true, std::string(100, 'k'))}) {
            const std::string expected = OneShot(bytes, choice);
            for (const unsigned cores : {1u, 2u, 3u}) {
                for (const auto lease : {SharedReadFile::Lease::Try, SharedReadFile::Lease::Never}) {
                    SharedReadFile file(path, lease);
                    RunControl control;
                    EXPECT_EQ(Digest(file, choice, control, {cores, {}, {}, {}}), expected)
                        << size << " bytes on " << cores << " cores, lease " << file.HoldsLease();
                    const std::uint64_t reads = file.HoldsLease() ? 1 : 2;
                    EXPECT_EQ(control.Total(), reads * size);
                    EXPECT_EQ(control.Done(), reads * size);
                }
            }
        }
        for (const unsigned cores : {1u, 2u, 3u}) {
            for (const auto lease : {SharedReadFile::Lease::Try, SharedReadFile::Lease::Never}) {
                SharedReadFile file(path, lease);
                RunControl control;
                std::string digest;
                EXPECT_EQ(
                    FailureOf([&] {
                        digest = HexOf(DigestFile(file, kBlake3Alone, control, {cores, {}, {}, {}}), Algorithm::Blake3);
                    }),
                    "");
                EXPECT_EQ(digest, Blake3OneShot(bytes))
                    << "BLAKE3, " << size << " bytes on " << cores << " cores, lease " << file.HoldsLease();
                EXPECT_EQ(control.Done(), (file.HoldsLease() ? 1 : 2) * size) << "BLAKE3, " << size << " bytes";
            }
        }
        // CRC-32 alone is read in smaller windows and fed as they are read.
        for (const auto lease : {SharedReadFile::Lease::Try, SharedReadFile::Lease::Never}) {
            SharedReadFile file(path, lease);
            RunControl control;
            EXPECT_EQ(Crc32Of(DigestFile(file, {.algorithms = {Algorithm::Crc32}, .key = {}}, control)),
                      Crc32OfText(bytes))
                << size;
        }
    }
}

// Files that wrap the ring of windows three times and end in the fourth
// turn's first window, or just after it, on two threads and on three: a
// digest thread that took a window past the last would find one of an
// earlier turn there, where a file of a few windows has an empty one.
TEST_F(FileDigests, FilesThatWrapTheRingOfWindowsGiveTheirDigests)
{
    const std::size_t ring = kFileRingWindows * kWindow;
    for (const std::size_t size : {3 * ring + 5, 3 * ring + kWindow}) {
        const std::string bytes = Counter(size);
        const std::string path = MakeFile("wraps.bin", bytes);
        const std::string expected = OneShot(bytes, All());
        for (const unsigned cores : {2u, 3u}) {
            SharedReadFile file(path);
            RunControl control;
            EXPECT_EQ(Digest(file, All(), control, {cores, {}, {}, {}}), expected)
                << size << " bytes on " << cores << " cores";
            EXPECT_EQ(control.Done(), (file.HoldsLease() ? 1 : 2) * size) << size << " bytes on " << cores << " cores";
        }
    }
}

// A writer that knocks while the lease is held waits, so the digests stand.
// Once the system may have taken the lease back (a break time injected as
// over at once), the run fails wherever the knock came: before the next
// window is read, or after the last one, before any digest is handed out.
// On one thread and with a reader thread alike.
TEST_F(FileDigests, ALeaseTheSystemTookBackFailsTheRun)
{
    const std::string bytes = Counter(3 * kWindow + 5);
    const std::string path = MakeFile("leased.bin", bytes);
    {
        SharedReadFile probe(path);
        if (!probe.HoldsLease())
            GTEST_SKIP() << "this file system grants no read leases";
    }
    // BLAKE3 alone has its windows read by every thread in turn.
    for (const bool blake3 : {false, true}) {
        const engine::WindowDigestChoice& choice = blake3 ? kBlake3Alone : All();
        const std::string digests = blake3 ? Blake3OneShot(bytes) : OneShot(bytes, All());
        for (const unsigned cores : {1u, 2u}) {
            for (const std::uint64_t knockAfter : {std::uint64_t{0}, std::uint64_t{3}}) {
                for (const bool breakTimeOver : {false, true}) {
                    SCOPED_TRACE(std::string(blake3 ? "BLAKE3, " : "") + std::to_string(cores) +
                                 " cores, knock after window " + std::to_string(knockAfter));
                    SharedReadFile file(path);
                    file.SetLeaseBreakTimeForTesting(breakTimeOver ? std::chrono::milliseconds(0)
                                                                   : std::chrono::milliseconds(45000));
                    std::vector<std::uint64_t> windowsRead;
                    FileDigestOptions options{cores,
                                              [&](std::uint64_t window) {
                                                  windowsRead.push_back(window);
                                                  if (window == knockAfter) {
                                                      EXPECT_EQ(WriterAttempt(path), EWOULDBLOCK);
                                                  }
                                              },
                                              {},
                                              {}};
                    RunControl control;
                    std::string got;
                    const std::string failure = FailureOf([&] {
                        const engine::DigestResults results = DigestFile(file, choice, control, options);
                        got = blake3 ? HexOf(results, Algorithm::Blake3) : Hex(results);
                    });
                    EXPECT_EQ(failure.empty() ? got : failure, breakTimeOver ? Changed(path) : digests);
                    if (breakTimeOver && knockAfter == 0) {
                        EXPECT_EQ(windowsRead, std::vector<std::uint64_t>{0}) << "read on past the lost lease";
                    }
                }
            }
        }
    }
}

// Without a lease (another user's file, a file system without leases) a file
// is read twice, keeping no more than a fingerprint of each window. A change
// made between the reads, as a writer at work during the read would make it,
// is refused: in place, through a shared mapping (which moves no time stamp),
// by truncation and by appending. Only an unchanged file gives digests.
TEST_F(FileDigests, WithoutALeaseAFileChangedBetweenTheReadsIsRefused)
{
    // Files of several windows keep fingerprints; a file of one keeps its bytes.
    for (const std::size_t size : {2 * kWindow + 10, kWindow / 2}) {
        SCOPED_TRACE(std::to_string(size) + " bytes");
        const std::string path = Path("shared.bin");
        const std::string bytes = Counter(size);
        const std::size_t mapped = size - 5;  // a byte of the last window
        MakeFile("shared.bin", bytes);
        SharedMapping mapping(path, size);
        ASSERT_NE(mapping.bytes, nullptr);
        for (const auto& [change, stands] : WritersBetweenReads(path, size, mapping, mapped)) {
            MakeFile("shared.bin", bytes);
            mapping.bytes[mapped] = bytes[mapped];  // the page is written now, before the reader looks
            for (const unsigned cores : {1u, 2u}) {
                SharedReadFile file(path, SharedReadFile::Lease::Never);
                RunControl control;
                bool betweenTheReads = false;
                const std::string result = Digest(file, All(), control,
                                                  {cores,
                                                   {},
                                                   [&] {
                                                       betweenTheReads = true;
                                                       change();
                                                   },
                                                   {}});
                EXPECT_TRUE(betweenTheReads);
                EXPECT_EQ(result, stands ? OneShot(bytes, All()) : Changed(path)) << cores << " cores";
                MakeFile("shared.bin", bytes);
            }
        }
    }
}

// The threads of this process, as the system counts them.
std::size_t ThreadCount()
{
    std::size_t count = 0;
    for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator("/proc/self/task"))
        ++count;
    return count;
}

// A file that fits in one window is read and digested on the calling thread,
// however many cores there are: a run over many small files starts no
// thread per file. A larger one has a reader of its own beside the digests.
TEST_F(FileDigests, AFileOfOneWindowIsReadOnTheCallingThreadAlone)
{
    const std::size_t before = ThreadCount();
    for (const std::size_t size : {std::size_t{0}, std::size_t{5}, kWindow - 1, kWindow, kWindow + 1}) {
        const std::string bytes = Counter(size);
        const std::string path = MakeFile("one.bin", bytes);
        for (const auto lease : {SharedReadFile::Lease::Try, SharedReadFile::Lease::Never}) {
            SharedReadFile file(path, lease);
            RunControl control;
            std::thread::id readOn;
            std::size_t threads = 0;
            const FileDigestOptions options{2,
                                            [&](std::uint64_t window) {
                                                if (window == 0) {
                                                    readOn = std::this_thread::get_id();
                                                    threads = ThreadCount();
                                                }
                                            },
                                            {},
                                            {}};
            EXPECT_EQ(Digest(file, All(), control, options), OneShot(bytes, All())) << size;
            const bool oneWindow = size <= kWindow;
            EXPECT_EQ(readOn == std::this_thread::get_id(), oneWindow) << size << " bytes";
            if (oneWindow) {
                EXPECT_EQ(threads, before) << size << " bytes: a thread was started";
            }
        }
    }
}

// A digest thread that falls the whole ring behind, held at its first
// window until the reader has read as far as it can (or a while longer),
// still gets every window as the file has it: the reader waits for it rather
// than fill the window it holds. Each lane in turn, the calling thread's
// among them, on two threads and on three.
TEST_F(FileDigests, ADigestThreadTheWholeRingBehindStillGetsItsWindows)
{
    const std::size_t windows = 3 * kFileRingWindows + 1;
    const std::string bytes = Counter(windows * kWindow - 100);
    const std::string path = MakeFile("ring.bin", bytes);
    const std::string expected = OneShot(bytes, All());
    for (const auto& [cores, slowLane] : {std::pair{2u, 0u}, std::pair{2u, 1u}, std::pair{3u, 1u}, std::pair{3u, 2u}}) {
        SharedReadFile file(path);
        RunControl control;
        std::mutex mutex;
        std::condition_variable read;
        std::uint64_t windowsRead = 0;
        std::uint64_t readWhileHeld = 0;
        bool held = false;
        FileDigestOptions options{cores,
                                  [&](std::uint64_t window) {
                                      const std::lock_guard lock(mutex);
                                      windowsRead = window + 1;
                                      read.notify_all();
                                  },
                                  {},
                                  [&](std::size_t lane, std::uint64_t window) {
                                      if (lane != slowLane || window != 0)
                                          return;
                                      std::unique_lock lock(mutex);
                                      read.wait_for(lock, std::chrono::milliseconds(300),
                                                    [&] { return windowsRead == windows; });
                                      readWhileHeld = windowsRead;
                                      held = true;
                                  }};
        EXPECT_EQ(Digest(file, All(), control, options), expected) << cores << " cores, lane " << slowLane << " slow";
        EXPECT_TRUE(held) << cores << " cores: no lane " << slowLane;
        EXPECT_LE(readWhileHeld, kFileRingWindows)
            << cores << " cores, lane " << slowLane << " slow: the reader went on past the ring";
    }
}

// A digest alone that keeps up with the reads (CRC-32; SHA-1 and SHA-256 on
// the SHA instructions) is read in small windows on the calling thread,
// which feeds each while it is in the core's cache; any other choice, CRC-32
// among others included, in whole windows, by a reader of its own where
// there is a core for it. Told by the windows read (a file of two windows
// and a byte) and the thread that read them.
TEST_F(FileDigests, OnlyADigestAloneThatKeepsUpIsReadAndFedOnTheCallingThread)
{
    const bool sha1Ni = engine::ChosenPath<engine::Sha1Path>() == engine::Sha1Path::ShaNi;
    const bool sha256Ni = engine::ChosenPath<engine::Sha256Path>() == engine::Sha256Path::ShaNi;
    const std::string bytes = Counter(2 * kWindow + 1);
    const std::string path = MakeFile("crc.bin", bytes);
    const bool readerThread = platform::ProcessorCount() > 1;
    const struct {
        const char* what;
        engine::WindowDigestChoice choice;
        bool alone;
    } cases[] = {
        {"CRC-32", {.algorithms = {Algorithm::Crc32}, .key = {}}, true},
        {"CRC-32 with a key, which it never takes", {.algorithms = {Algorithm::Crc32}, .hmac = true, .key = "k"}, true},
        {"MD5 and CRC-32", {.algorithms = {Algorithm::Md5, Algorithm::Crc32}, .key = {}}, false},
        {"SHA-1 and CRC-32", {.algorithms = {Algorithm::Sha1, Algorithm::Crc32}, .key = {}}, false},
        {"MD5", {.algorithms = {Algorithm::Md5}, .key = {}}, false},
        {"SHA-512", {.algorithms = {Algorithm::Sha512}, .key = {}}, false},
        {"SHA-1", {.algorithms = {Algorithm::Sha1}, .key = {}}, sha1Ni},
        {"SHA-256 with a key", {.algorithms = {Algorithm::Sha256}, .hmac = true, .key = "k"}, sha256Ni},
        {"SHA-1 and SHA-256", {.algorithms = {Algorithm::Sha1, Algorithm::Sha256}, .key = {}}, false},
    };
    for (const auto& [what, choice, alone] : cases) {
        SharedReadFile file(path);
        RunControl control;
        std::uint64_t windows = 0;
        bool onCaller = true;
        FileDigestOptions options;
        const std::thread::id caller = std::this_thread::get_id();
        options.afterRead = [&](std::uint64_t) {
            ++windows;
            onCaller = onCaller && std::this_thread::get_id() == caller;
        };
        const engine::DigestResults results = DigestFile(file, choice, control, options);
        EXPECT_EQ(Crc32Of(results), choice.algorithms.Has(Algorithm::Crc32) ? Crc32OfText(bytes) : 0u) << what;
        if (choice.algorithms.Has(Algorithm::Sha1) || choice.algorithms.Has(Algorithm::Sha256)) {
            engine::WindowDigests whole(choice);
            for (std::size_t d = 0; d < whole.Count(); ++d)
                whole.Feed(d, reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
            const engine::DigestResults expected = whole.Finish();
            EXPECT_EQ(HexOf(results, Algorithm::Sha1), HexOf(expected, Algorithm::Sha1)) << what;
            EXPECT_EQ(HexOf(results, Algorithm::Sha256), HexOf(expected, Algorithm::Sha256)) << what;
        }
        EXPECT_EQ(windows, alone ? (2 * kWindow) / (128 * 1024) + 1 : 3u) << what;
        EXPECT_EQ(onCaller, alone || !readerThread) << what;
    }
}

// Escape in the window, Ctrl+C in the companion: the run stops where it is
// and hands out nothing, whether the request comes before the first byte,
// in the middle of the file or in its last window.
TEST_F(FileDigests, ACancelledRunStopsAndHandsOutNothing)
{
    const std::string path = MakeFile("long.bin", Counter(6 * kWindow + 3));
    for (const unsigned cores : {1u, 2u}) {
        {
            SharedReadFile file(path);
            RunControl control;
            control.Cancel();
            bool read = false;
            EXPECT_EQ(Digest(file, All(), control, {cores, [&](std::uint64_t) { read = true; }, {}, {}}), "Cancelled");
            EXPECT_FALSE(read) << "a run cancelled before it began read the file";
        }
        for (const std::uint64_t at : {std::uint64_t{1}, std::uint64_t{6}}) {
            SharedReadFile file(path);
            RunControl control;
            std::uint64_t lastRead = 0;
            const FileDigestOptions options{cores,
                                            [&](std::uint64_t window) {
                                                lastRead = window;
                                                if (window == at)
                                                    control.Cancel();
                                            },
                                            {},
                                            {}};
            std::string className;
            EXPECT_EQ(FailureOf([&] { DigestFile(file, All(), control, options); }, &className), "Cancelled");
            EXPECT_EQ(className, "ERunCancelled");
            EXPECT_EQ(lastRead, at) << "read on after the cancel";
        }
    }
}

// A sparse file larger than any 32-bit count: 4 GiB of holes and one byte.
// Its holes are read as zeros without being stored anywhere. The known
// answers are those of sha1sum, sha256sum and rhash over the same bytes.
TEST_F(FileDigests, AFileOver4GiBIsDigestedExactly)
{
    const std::string path = Path("huge.bin");
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
    ASSERT_GE(fd, 0);
    const int sized = ::ftruncate(fd, (off_t{1} << 32) + 1);
    ::close(fd);
    if (sized != 0)
        GTEST_SKIP() << "cannot make a sparse file of 4 GiB here: " << std::strerror(errno);

    SharedReadFile file(path);
    RunControl control;
    const engine::DigestResults results =
        DigestFile(file, {.algorithms = {Algorithm::Sha1, Algorithm::Sha256, Algorithm::Crc32}, .key = {}}, control);
    EXPECT_EQ(HexOf(results, Algorithm::Sha1), "e7d747b75f76e0e41e83b75bce4642816136304f");
    EXPECT_EQ(HexOf(results, Algorithm::Sha256), "fbb82f7b353676bb562eb82157fcf0ea42c36492ca13ee56dbf82c08b6802c5c");
    EXPECT_EQ(Crc32Of(results), 0x41D912FFu);
    EXPECT_EQ(control.Done(), (std::uint64_t{1} << 32) + 1);
}

// Reading the holes of a sparse file on tmpfs takes no memory: a mapping of
// it would fill them (and fail, with the file system full).
TEST_F(FileDigests, HolesOnTmpfsAreReadWithoutFillingThem)
{
    struct statfs info {};
    if (::statfs("/dev/shm", &info) != 0 || info.f_type != 0x01021994 /* TMPFS_MAGIC */)
        GTEST_SKIP() << "no tmpfs at /dev/shm";
    const TempDir dir("/dev/shm");
    ASSERT_TRUE(dir.IsValid());
    const std::string path = dir.Path() + "/sparse.bin";
    const std::size_t size = 256 * kWindow;
    {
        std::ofstream out(path, std::ios::binary);
        out.seekp(static_cast<std::streamoff>(size - 1));
        out.put('!');
    }
    struct stat before {};
    ASSERT_EQ(::stat(path.c_str(), &before), 0);
    ASSERT_LE(before.st_blocks, 64) << "the file is not sparse";

    SharedReadFile file(path);
    RunControl control;
    const engine::DigestResults results = DigestFile(file, {.algorithms = {Algorithm::Crc32}, .key = {}}, control);
    EXPECT_EQ(Crc32Of(results), Crc32OfText(std::string(size - 1, '\0') + "!"));
    struct stat after {};
    ASSERT_EQ(::stat(path.c_str(), &after), 0);
    EXPECT_EQ(after.st_blocks, before.st_blocks) << "reading filled the holes";
}

}  // namespace
