// Many files at once in the lanes of the vector unit: each file's digests
// against the one-shot operations, on every lane path, plain and keyed, with
// and without a lease; and each file's own guarantees while others go on
// beside it: a file changed between its two reads, a lease taken back, a read
// that fails, a cancel.
#include "core/file_lanes.h"

#include <map>
#include <random>
#include <string>
#include <vector>

#include <sys/mman.h>

#include "core/file_digests.h"
#include "engine/digest.h"
#include "engine/digest_paths.h"
#include "engine/path_choice.h"
#include "tests/digest_results.h"
#include "tests/test_files.h"

namespace {

using platform::SharedReadFile;

constexpr std::size_t kWindow = kFileWindowSize;

engine::WindowDigestChoice Every(bool hmac = false)
{
    return {.algorithms = {Algorithm::Md5, Algorithm::Sha1, Algorithm::Sha256, Algorithm::Sha512, Algorithm::Crc32},
            .hmac = hmac,
            .key = {}};
}

std::string Hex(const engine::DigestResults& r, const engine::WindowDigestChoice& choice)
{
    std::string text;
    if (choice.algorithms.Has(Algorithm::Md5))
        text += "md5 " + HexOf(r, Algorithm::Md5) + " ";
    if (choice.algorithms.Has(Algorithm::Sha1))
        text += "sha1 " + HexOf(r, Algorithm::Sha1) + " ";
    if (choice.algorithms.Has(Algorithm::Sha256))
        text += "sha256 " + HexOf(r, Algorithm::Sha256) + " ";
    if (choice.algorithms.Has(Algorithm::Sha512))
        text += "sha512 " + HexOf(r, Algorithm::Sha512) + " ";
    if (choice.algorithms.Has(Algorithm::Crc32))
        text += "crc32 " + std::to_string(Crc32Of(r));
    return text;
}

std::string OneShot(const std::string& bytes, const engine::WindowDigestChoice& choice, const std::string& key)
{
    Md5Digest md5;
    Sha1Digest sha1;
    Sha256Digest sha256;
    Sha512Digest sha512;
    if (choice.hmac) {
        HmacMd5OfText(key, bytes, md5);
        HmacSha1OfText(key, bytes, sha1);
        HmacSha256OfText(key, bytes, sha256);
        HmacSha512OfText(key, bytes, sha512);
    } else {
        Md5OfText(bytes, md5);
        Sha1OfText(bytes, sha1);
        Sha256OfText(bytes, sha256);
        Sha512OfText(bytes, sha512);
    }
    engine::DigestResults r;
    r.Set(Algorithm::Md5, BytesOf(md5));
    r.Set(Algorithm::Sha1, BytesOf(sha1));
    r.Set(Algorithm::Sha256, BytesOf(sha256));
    r.Set(Algorithm::Sha512, BytesOf(sha512));
    r.Set(Algorithm::Crc32, BytesOf(Crc32OfText(bytes)));
    return Hex(r, choice);
}

std::string RandomBytes(std::size_t size, std::mt19937& random)
{
    std::string bytes(size, '\0');
    for (char& c : bytes)
        c = static_cast<char>(random());
    return bytes;
}

// Sizes about the edges of MD5's and SHA-512's blocks and their padding, of
// the buffers a file of one window is read into, and of the window.
const std::vector<std::size_t> kSizes = {
    0,   1,   55,   56,   63,    64,    65,    111,         112,     119,         127,
    128, 129, 4095, 4096, 65535, 65536, 65537, kWindow - 1, kWindow, kWindow + 1, 2 * kWindow + 17};

class FileLanesTest : public TempDirTest {
protected:
    void SetUp() override
    {
        TempDirTest::SetUp();
        ASSERT_TRUE(platform::IgnoreLeaseBreakSignal());
    }
    void TearDown() override { engine::UseChosenPaths(); }

    struct File {
        std::string path;
        std::string bytes;
    };

    std::vector<File> MakeFiles(const std::vector<std::size_t>& sizes, unsigned seed)
    {
        std::mt19937 random(seed);
        std::vector<File> files;
        for (std::size_t i = 0; i < sizes.size(); ++i) {
            File file;
            file.bytes = RandomBytes(sizes[i], random);
            file.path = MakeFile("f" + std::to_string(i), file.bytes);
            files.push_back(std::move(file));
        }
        return files;
    }

    // Every file through the lanes, added as room comes free: each file's
    // digests (or its failure's message) by its number.
    std::map<std::uint64_t, std::string> DigestAll(FileLanes& lanes, const std::vector<std::string>& paths,
                                                   const engine::WindowDigestChoice& choice, const std::string& key,
                                                   SharedReadFile::Lease lease,
                                                   std::chrono::milliseconds breakTime = {})
    {
        std::map<std::uint64_t, std::string> out;
        std::vector<FileLanes::Ended> ended;
        std::size_t next = 0;
        while (next < paths.size() || !lanes.Empty()) {
            while (lanes.Room() > 0 && next < paths.size()) {
                SharedReadFile file(paths[next], lease);
                if (breakTime.count() > 0)
                    file.SetLeaseBreakTimeForTesting(breakTime);
                else if (breakTime.count() < 0)
                    file.SetLeaseBreakTimeForTesting(std::chrono::milliseconds(0));
                lanes.Add(next, std::move(file), choice, key, "");
                ++next;
            }
            lanes.Advance(ended);
            EXPECT_FALSE(ended.empty()) << "Advance came back with nothing ended";
            for (const FileLanes::Ended& e : ended) {
                EXPECT_EQ(out.count(e.tag), 0u) << "file " << e.tag << " ended twice";
                out[e.tag] = e.failure ? FailureOf([&] { std::rethrow_exception(e.failure); }) : Hex(e.results, choice);
            }
        }
        return out;
    }

    std::string Changed(const std::string& path) const
    {
        return "Cannot open file \"" + path + "\". The file changed while it was being read";
    }
};

struct LaneSetting {
    const char* name;
    engine::Md5LanePath md5;
    engine::Sha1LanePath sha1;
    engine::Sha256LanePath sha256;
    engine::Sha512LanePath sha512;
};

// The widest lanes, AVX2's (SHA-256 and SHA-512 one at a time beside them),
// and no lanes at all, where every digest runs on the side.
constexpr LaneSetting kLaneSettings[] = {
    {"AVX-512", engine::Md5LanePath::Avx512, engine::Sha1LanePath::Avx512, engine::Sha256LanePath::Avx512,
     engine::Sha512LanePath::Avx512},
    {"AVX2", engine::Md5LanePath::Avx2, engine::Sha1LanePath::Avx2, engine::Sha256LanePath::OneAtATime,
     engine::Sha512LanePath::OneAtATime},
    {"none", engine::Md5LanePath::Portable, engine::Sha1LanePath::OneAtATime, engine::Sha256LanePath::OneAtATime,
     engine::Sha512LanePath::OneAtATime},
};

// Every size about the edges, more files than there are lanes, each with
// every digest, plain and keyed (keys shorter than, of and longer than a
// block), read once under a lease and twice without one; the bytes read are
// counted.
TEST_F(FileLanesTest, EachFileGetsItsOwnDigestsOnEveryLanePath)
{
    std::vector<std::size_t> sizes = kSizes;
    for (std::size_t i = 0; i < 20; ++i)
        sizes.push_back(i * 997);  // many small files beside the large ones
    const std::vector<File> files = MakeFiles(sizes, 20261210);
    std::vector<std::string> paths;
    std::uint64_t total = 0;
    for (const File& file : files) {
        paths.push_back(file.path);
        total += file.bytes.size();
    }
    for (const LaneSetting& setting : kLaneSettings) {
        if (!engine::ForcePath(setting.md5) || !engine::ForcePath(setting.sha1) || !engine::ForcePath(setting.sha256) ||
            !engine::ForcePath(setting.sha512)) {
            std::cout << "[ SKIPPED  ] " << setting.name << ": this CPU cannot run it\n";
            continue;
        }
        EXPECT_EQ(FileLanes::Worthwhile(Every()), std::string(setting.name) != "none") << setting.name;
        for (const std::string& key :
             {std::string(), std::string("Jefe"), std::string(128, 'k'), std::string(200, 'q')}) {
            for (const bool hmac : {false, true}) {
                if (!hmac && !key.empty())
                    continue;
                for (const auto lease : {SharedReadFile::Lease::Try, SharedReadFile::Lease::Never}) {
                    RunControl control;
                    FileLanes lanes(Every(), control);
                    const auto digests = DigestAll(lanes, paths, Every(hmac), key, lease);
                    ASSERT_EQ(digests.size(), files.size());
                    for (std::size_t i = 0; i < files.size(); ++i)
                        EXPECT_EQ(digests.at(i), OneShot(files[i].bytes, Every(hmac), key))
                            << setting.name << ", " << files[i].bytes.size() << " bytes, keyed " << hmac << " ("
                            << key.size() << "), lease " << (lease == SharedReadFile::Lease::Try);
                    const bool leased = SharedReadFile(paths.front(), lease).HoldsLease();
                    EXPECT_EQ(control.Done(), (leased ? 1 : 2) * total) << setting.name;
                }
            }
        }
        engine::UseChosenPaths();
    }
}

// A large file goes alone when it would keep the whole vector unit at work
// for little company: sooner for SHA-256, whose lanes cost five times its
// one-message digest, than for MD5, whose cost one and a half; never a file
// of a window or less, nor one without lanes.
TEST_F(FileLanesTest, ALargeFileGoesAloneWhenItWouldHaveLittleCompany)
{
    if (!engine::ForcePath(engine::Md5LanePath::Avx512) || !engine::ForcePath(engine::Sha256LanePath::Avx512))
        GTEST_SKIP() << "this CPU has no AVX-512 lanes";
    constexpr std::uint64_t kMiB = kWindow;
    RunControl control;
    const FileLanes lanes(Every(), control);
    const engine::WindowDigestChoice md5{.algorithms = {Algorithm::Md5}, .key = {}};
    const engine::WindowDigestChoice sha256{.algorithms = {Algorithm::Sha256}, .key = {}};
    const engine::WindowDigestChoice crc32{.algorithms = {Algorithm::Crc32}, .key = {}};
    // A disc image beside small files.
    EXPECT_TRUE(lanes.Alone(md5, 1024 * kMiB, 1 * kMiB, 100 * kMiB));
    // Two images, one for each thread.
    EXPECT_TRUE(lanes.Alone(md5, 1024 * kMiB, 0, 512 * kMiB));
    // Files of the same size side by side.
    EXPECT_FALSE(lanes.Alone(md5, 100 * kMiB, 100 * kMiB, 400 * kMiB));
    // Half as much beside it: enough for MD5, not for SHA-256.
    EXPECT_FALSE(lanes.Alone(md5, 100 * kMiB, 50 * kMiB, 0));
    EXPECT_TRUE(lanes.Alone(sha256, 100 * kMiB, 50 * kMiB, 0));
    // The rest of the list spread over the lanes counts too.
    EXPECT_TRUE(lanes.Alone(md5, 100 * kMiB, 0, 16 * 20 * kMiB));
    EXPECT_FALSE(lanes.Alone(md5, 100 * kMiB, 0, 16 * 60 * kMiB));
    EXPECT_FALSE(lanes.Alone(md5, kWindow, 0, 0));
    EXPECT_TRUE(lanes.Alone(md5, kWindow + 1, 0, 0));
    EXPECT_FALSE(lanes.Alone(crc32, 1024 * kMiB, 0, 0));
}

// Files of one digest each, different ones side by side, as the lines of a
// list choose them; CRC-32 alone has no lanes and is read all the same.
TEST_F(FileLanesTest, FilesOfDifferentDigestsSideBySide)
{
    const std::vector<File> files = MakeFiles({100, kWindow + 3, 5000, 0, 3 * kWindow, 64}, 7);
    const engine::WindowDigestChoice choices[] = {
        {.algorithms = {Algorithm::Md5}, .key = {}},    {.algorithms = {Algorithm::Sha1}, .key = {}},
        {.algorithms = {Algorithm::Sha256}, .key = {}}, {.algorithms = {Algorithm::Sha512}, .key = {}},
        {.algorithms = {Algorithm::Crc32}, .key = {}},  {.algorithms = {Algorithm::Md5, Algorithm::Crc32}, .key = {}}};
    RunControl control;
    FileLanes lanes(Every(), control);
    std::vector<FileLanes::Ended> ended;
    std::map<std::uint64_t, std::string> out;
    for (std::size_t i = 0; i < files.size(); ++i)
        lanes.Add(i, SharedReadFile(files[i].path), choices[i], "", "");
    while (!lanes.Empty()) {
        lanes.Advance(ended);
        for (const FileLanes::Ended& e : ended) {
            ASSERT_FALSE(e.failure);
            out[e.tag] = Hex(e.results, choices[e.tag]);
        }
    }
    for (std::size_t i = 0; i < files.size(); ++i)
        EXPECT_EQ(out[i], OneShot(files[i].bytes, choices[i], "")) << i;
}

// Without a lease a file is read twice: a change between the reads, in
// place, through a shared mapping (no time stamp moves), by truncation or by
// appending, refuses that file and no other in the lanes beside it. A file
// of one window keeps its bytes; a larger one the fingerprints of its
// windows.
TEST_F(FileLanesTest, WithoutALeaseAFileChangedBetweenTheReadsIsRefusedAndTheOthersGoOn)
{
    for (const std::size_t size : {kWindow / 2, 2 * kWindow + 10}) {
        SCOPED_TRACE(std::to_string(size) + " bytes");
        std::vector<File> files = MakeFiles({size, 3000, size, kWindow + 1, 70}, 11);
        const std::size_t target = 2;
        const std::string& path = files[target].path;
        const std::size_t mapped = size - 5;  // a byte of the last window
        SharedMapping mapping(path, size);
        ASSERT_NE(mapping.bytes, nullptr);
        for (const auto& [change, stands] : WritersBetweenReads(path, size, mapping, mapped)) {
            MakeFile("f2", files[target].bytes);
            mapping.bytes[mapped] = files[target].bytes[mapped];  // written now, before the first read
            std::vector<std::string> paths;
            for (const File& file : files)
                paths.push_back(file.path);
            RunControl control;
            std::vector<std::uint64_t> between;
            FileLaneOptions options;
            options.beforeSecondRead = [&](std::uint64_t tag) {
                between.push_back(tag);
                if (tag == target)
                    change();
            };
            FileLanes lanes(Every(), control, options);
            const auto digests = DigestAll(lanes, paths, Every(), "", SharedReadFile::Lease::Never);
            EXPECT_EQ(between.size(), files.size()) << "every file is read a second time";
            for (std::size_t i = 0; i < files.size(); ++i) {
                const bool refused = i == target && !stands;
                EXPECT_EQ(digests.at(i), refused ? Changed(path) : OneShot(files[i].bytes, Every(), "")) << i;
            }
        }
    }
}

// A writer that knocks while the lease is held waits, and the digests stand.
// Once the system may have taken the lease back (a break time injected as
// over at once), that file fails, whether the knock came before its next
// window or after its last, and reads no further; the others go on.
TEST_F(FileLanesTest, ALeaseTakenBackFailsThatFileAlone)
{
    const std::vector<File> files = MakeFiles({3 * kWindow + 5, 9000, kWindow, 2 * kWindow, 10}, 13);
    {
        SharedReadFile probe(files[0].path);
        if (!probe.HoldsLease())
            GTEST_SKIP() << "this file system grants no read leases";
    }
    std::vector<std::string> paths;
    for (const File& file : files)
        paths.push_back(file.path);
    for (const std::uint64_t knockAfter : {std::uint64_t{0}, std::uint64_t{3}}) {
        for (const bool breakTimeOver : {false, true}) {
            RunControl control;
            std::vector<std::uint64_t> windowsRead;
            FileLaneOptions options;
            options.afterRead = [&](std::uint64_t tag, std::uint64_t window) {
                if (tag != 0)
                    return;
                windowsRead.push_back(window);
                if (window == knockAfter) {
                    EXPECT_EQ(WriterAttempt(files[0].path), EWOULDBLOCK);
                }
            };
            FileLanes lanes(Every(), control, options);
            const auto digests = DigestAll(lanes, paths, Every(), "", SharedReadFile::Lease::Try,
                                           breakTimeOver ? std::chrono::milliseconds(-1) : std::chrono::seconds(45));
            for (std::size_t i = 0; i < files.size(); ++i) {
                const bool refused = i == 0 && breakTimeOver;
                EXPECT_EQ(digests.at(i), refused ? Changed(files[0].path) : OneShot(files[i].bytes, Every(), ""))
                    << "file " << i << ", knock after window " << knockAfter << ", break time over " << breakTimeOver;
            }
            if (breakTimeOver && knockAfter == 0) {
                EXPECT_EQ(windowsRead, std::vector<std::uint64_t>{0}) << "read on past the lost lease";
            }
        }
    }
}

// A read that fails (the process's own memory at address 0 cannot be read)
// fails its file with the system's reason; the files beside it are digested.
TEST_F(FileLanesTest, AFileThatCannotBeReadFailsAloneAmongMany)
{
    const std::vector<File> files = MakeFiles({4000, kWindow + 7, 0, 77}, 17);
    std::vector<std::string> paths;
    for (const File& file : files)
        paths.push_back(file.path);
    paths.insert(paths.begin() + 2, "/proc/self/mem");
    for (const auto lease : {SharedReadFile::Lease::Try, SharedReadFile::Lease::Never}) {
        RunControl control;
        FileLanes lanes(Every(), control);
        const auto digests = DigestAll(lanes, paths, Every(), "", lease);
        EXPECT_EQ(digests.at(2), "Stream read error in file \"/proc/self/mem\". Input/output error");
        for (std::size_t i = 0, k = 0; i < paths.size(); ++i) {
            if (i == 2)
                continue;
            EXPECT_EQ(digests.at(i), OneShot(files[k].bytes, Every(), "")) << i;
            ++k;
        }
    }
}

// A cancel fails every file in flight, and no digest comes out.
TEST_F(FileLanesTest, ACancelEndsEveryFileWithoutDigests)
{
    const std::vector<File> files = MakeFiles({3 * kWindow, 100, 2 * kWindow, 5}, 19);
    std::vector<std::string> paths;
    for (const File& file : files)
        paths.push_back(file.path);
    RunControl control;
    FileLaneOptions options;
    options.afterRead = [&](std::uint64_t tag, std::uint64_t window) {
        if (tag == 0 && window == 1)
            control.Cancel();
    };
    FileLanes lanes(Every(), control, options);
    const auto digests = DigestAll(lanes, paths, Every(), "", SharedReadFile::Lease::Try);
    EXPECT_EQ(digests.at(0), "Cancelled");
    EXPECT_EQ(digests.at(2), "Cancelled");
}

}  // namespace
