// BLAKE3 on every path: against b3sum (plain and keyed) at the chunk and tree
// edges and on a few MiB, against the portable path at every length up to a
// chunk and every alignment, split into updates every way, on several
// threads; the routines themselves against the portable ones; and the choice
// of path.
#include <gtest/gtest.h>
#include <unistd.h>

#include <array>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <random>
#include <stdexcept>
#include <string>
#include <type_traits>
#include <vector>

#include "engine/blake3.h"
#include "engine/blake3_lanes.h"
#include "engine/digest_paths.h"
#include "engine/path_choice.h"
#include "tests/run_program.h"

namespace {

using namespace engine;

using Bytes = std::vector<std::uint8_t>;

static_assert(std::is_trivially_copyable_v<Blake3State>);

constexpr std::size_t kKiB = 1024;
constexpr std::size_t kMiB = kKiB * kKiB;

Bytes RandomBytes(std::size_t size, std::uint32_t seed)
{
    std::mt19937 rng(seed);
    Bytes b(size);
    for (auto& c : b)
        c = static_cast<std::uint8_t>(rng());
    return b;
}

const Bytes& Key()
{
    static const Bytes key = RandomBytes(kBlake3KeySize, 3232);
    return key;
}

std::string Hex(const std::uint8_t* bytes, std::size_t size)
{
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string text;
    for (std::size_t i = 0; i < size; ++i) {
        text += kDigits[bytes[i] >> 4];
        text += kDigits[bytes[i] & 15];
    }
    return text;
}

// The digest through the public operations on the path in use: fed in the
// given pieces (their sizes add up to `size`), on `threads` threads.
std::string Digest(const std::uint8_t* p, std::size_t size, bool keyed, const std::vector<std::size_t>& pieces = {},
                   unsigned threads = 1)
{
    Blake3State state;
    if (keyed)
        Blake3InitKeyed(state, Key().data());
    else
        Blake3Init(state);
    std::size_t at = 0;
    for (std::size_t piece : pieces) {
        Blake3Update(state, p + at, piece, threads);
        at += piece;
    }
    Blake3Update(state, p + at, size - at, threads);
    std::uint8_t digest[kBlake3DigestSize];
    Blake3Final(state, digest);
    return Hex(digest, sizeof digest);
}

// b3sum's digests of the messages, each written to a file of its own, in one
// run (plain, or keyed with Key() on its standard input).
std::vector<std::string> B3sum(const std::vector<Bytes>& messages, bool keyed)
{
    char folder[] = "/tmp/blake3_test_XXXXXX";
    if (::mkdtemp(folder) == nullptr)
        return {};
    Arguments arguments;
    if (keyed)
        arguments.push_back("--keyed");
    arguments.push_back("--no-names");
    std::vector<std::string> files;
    for (std::size_t i = 0; i < messages.size(); ++i) {
        files.push_back(std::string(folder) + "/" + std::to_string(i));
        std::ofstream(files.back(), std::ios::binary)
            .write(reinterpret_cast<const char*>(messages[i].data()), static_cast<std::streamsize>(messages[i].size()));
        arguments.push_back(files.back());
    }
    const std::string key(Key().begin(), Key().end());
    const Outcome outcome =
        RunProgram("/usr/bin/b3sum", arguments, "", keyed ? key : std::string(), {}, std::chrono::seconds(60));
    for (const std::string& file : files)
        std::remove(file.c_str());
    ::rmdir(folder);
    std::vector<std::string> digests;
    std::size_t start = 0;
    for (std::size_t end; (end = outcome.out.find('\n', start)) != std::string::npos; start = end + 1)
        digests.push_back(outcome.out.substr(start, end - start));
    EXPECT_EQ(outcome.exitCode, 0) << outcome.err;
    EXPECT_EQ(digests.size(), messages.size()) << outcome.out << outcome.err;
    return digests;
}

// ---------------------------------------------------------------- on every path

class Blake3OnEveryPath : public testing::TestWithParam<Blake3Path> {
protected:
    void SetUp() override
    {
        if (!ForcePath(GetParam()))
            GTEST_SKIP() << PathName(GetParam()) << ": this CPU or this build cannot run it";
    }
    void TearDown() override { UseChosenPaths(); }

    // The digests on the portable path, for comparison.
    template <class Body>
    static auto OnPortable(Body body)
    {
        EXPECT_TRUE(ForcePath(Blake3Path::Portable));
        auto result = body();
        UseChosenPaths();
        return result;
    }
    void Back() const { EXPECT_TRUE(ForcePath(GetParam())); }
};

// The value published with the algorithm for the empty message.
TEST_P(Blake3OnEveryPath, DigestsTheEmptyMessage)
{
    EXPECT_EQ(Digest(nullptr, 0, false), "af1349b9f5f9a1a6a0404dea36dcc9499bcb25c9adc112b7cc9a93cae41f3262");
}

// Where a block, a chunk or a subtree ends, one byte either side, and a few
// MiB: plain and keyed, against b3sum.
TEST_P(Blake3OnEveryPath, MatchesB3sumAtTheChunkAndTreeEdges)
{
    const std::size_t lengths[] = {0,     1,     63,    64,     65,   1023,     1024,           1025, 2048,
                                   2049,  3072,  3073,  4096,   4097, 5120,     8192,           8193, 16384,
                                   31744, 32768, 65536, 102400, kMiB, kMiB + 1, 3 * kMiB + 4321};
    std::vector<Bytes> messages;
    for (std::size_t length : lengths)
        messages.push_back(RandomBytes(length, static_cast<std::uint32_t>(length)));
    for (const bool keyed : {false, true}) {
        const std::vector<std::string> want = B3sum(messages, keyed);
        ASSERT_EQ(want.size(), messages.size());
        for (std::size_t i = 0; i < messages.size(); ++i)
            EXPECT_EQ(Digest(messages[i].data(), messages[i].size(), keyed), want[i])
                << "length " << lengths[i] << (keyed ? ", keyed" : "");
    }
}

// Every length up to a chunk from every start in a 64-byte line: the same
// bytes, so the portable digest of each length holds for all its starts.
TEST_P(Blake3OnEveryPath, MatchesThePortablePathAtEveryLengthAndAlignment)
{
    const Bytes message = RandomBytes(kBlake3ChunkSize, 1024);
    const auto want = OnPortable([&] {
        std::vector<std::string> plain, keyed;
        for (std::size_t length = 0; length <= kBlake3ChunkSize; ++length) {
            plain.push_back(Digest(message.data(), length, false));
            keyed.push_back(Digest(message.data(), length, true));
        }
        return std::make_pair(plain, keyed);
    });
    Back();
    std::vector<std::uint8_t> buffer(kBlake3ChunkSize + 64 + 64);
    std::uint8_t* const line = buffer.data() + (64 - reinterpret_cast<std::uintptr_t>(buffer.data()) % 64) % 64;
    for (std::size_t offset = 0; offset < 64 && !HasFailure(); ++offset) {
        std::memcpy(line + offset, message.data(), message.size());
        for (std::size_t length = 0; length <= kBlake3ChunkSize; ++length) {
            EXPECT_EQ(Digest(line + offset, length, false), want.first[length])
                << "length " << length << ", offset " << offset;
            if (length % 7 == offset % 7) {
                EXPECT_EQ(Digest(line + offset, length, true), want.second[length])
                    << "keyed, length " << length << ", offset " << offset;
            }
        }
    }
}

// Two updates split at every offset, and one byte at a time, give the digest
// of one update.
TEST_P(Blake3OnEveryPath, DoesNotDependOnHowTheMessageIsSplit)
{
    for (std::size_t length : {63, 64, 65, 1023, 1024, 1025, 2047, 2048, 2049, 4095, 4096, 4097}) {
        const Bytes message = RandomBytes(length, static_cast<std::uint32_t>(length) + 7);
        for (const bool keyed : {false, true}) {
            const std::string whole = Digest(message.data(), length, keyed);
            for (std::size_t split = 0; split <= length; ++split)
                ASSERT_EQ(Digest(message.data(), length, keyed, {split}), whole)
                    << "length " << length << " split at " << split << (keyed ? ", keyed" : "");
            ASSERT_EQ(Digest(message.data(), length, keyed, std::vector<std::size_t>(length, 1)), whole)
                << "length " << length << " byte by byte";
        }
    }
}

// A digest may be taken and the message fed on.
TEST_P(Blake3OnEveryPath, FinalLeavesTheStateToFeedOn)
{
    const Bytes message = RandomBytes(9000, 9000);
    for (std::size_t first : {0, 1, 1024, 2048, 4096, 5000}) {
        Blake3State state;
        Blake3Init(state);
        Blake3Update(state, message.data(), first);
        std::uint8_t early[32], late[32];
        Blake3Final(state, early);
        EXPECT_EQ(Hex(early, 32), Digest(message.data(), first, false)) << first;
        Blake3Update(state, message.data() + first, message.size() - first);
        Blake3Final(state, late);
        EXPECT_EQ(Hex(late, 32), Digest(message.data(), message.size(), false)) << first;
    }
}

// Subtrees shared out to threads, from chunk-aligned and unaligned starts,
// around the size where the update starts splitting them: the digest on one
// thread, bit for bit.
TEST_P(Blake3OnEveryPath, GivesTheSameDigestOnSeveralThreads)
{
    const Bytes message = RandomBytes(4 * kMiB + 3 * kKiB, 4);
    const std::size_t edge = kBlake3ParallelMinimum;
    for (std::size_t length :
         {edge - 1, edge, edge + 1, 2 * edge - kKiB, 2 * edge, 2 * edge + 1, 4 * edge + kKiB, 4 * kMiB + 3 * kKiB}) {
        for (std::size_t prefix : {std::size_t{0}, std::size_t{3}, kKiB, 3 * kKiB, edge}) {
            if (prefix >= length)
                continue;
            const std::string one = Digest(message.data(), length, prefix % 2 == 1, {prefix}, 1);
            for (unsigned threads : {2u, 4u})
                EXPECT_EQ(Digest(message.data(), length, prefix % 2 == 1, {prefix}, threads), one)
                    << "length " << length << ", first update " << prefix << ", " << threads << " threads";
        }
    }
}

// Pieces digested apart in any order, from a state fed before and fed after,
// then pushed in order: the digest of the whole, as fed in one. Pieces of one
// chunk, of one call of the lanes and of many; a state that stands inside a
// chunk, or off the pieces' boundary, takes none.
TEST_P(Blake3OnEveryPath, SubtreesDigestedApartGiveTheDigestOfTheWhole)
{
    const Bytes message = RandomBytes(9 * kMiB, 5);  // the longest: 3 + 4 pieces of 1 MiB and 1 MiB + 5
    for (const std::size_t piece : {kKiB, 16 * kKiB, 64 * kKiB, kMiB}) {
        for (const std::size_t before : {std::size_t{0}, 2 * piece, 3 * piece}) {
            for (const std::size_t after : {std::size_t{1}, kKiB - 1, kKiB, piece + 5}) {
                const std::size_t count = 4;
                const std::size_t length = before + count * piece + after;
                const bool keyed = before == 2 * piece;
                Blake3State state;
                if (keyed)
                    Blake3InitKeyed(state, Key().data());
                else
                    Blake3Init(state);
                Blake3Update(state, message.data(), before);
                std::vector<std::array<std::uint8_t, 32>> cvs(count);
                for (std::size_t i = count; i-- > 0;)
                    Blake3SubtreeCv(state, message.data() + before + i * piece, piece, (before + i * piece) / kKiB,
                                    cvs[i].data());
                for (std::size_t i = 0; i < count; ++i) {
                    ASSERT_TRUE(Blake3TakesSubtree(state, piece)) << piece << ", piece " << i;
                    Blake3PushSubtree(state, cvs[i].data(), piece);
                }
                Blake3Update(state, message.data() + before + count * piece, after);
                std::uint8_t digest[kBlake3DigestSize];
                Blake3Final(state, digest);
                EXPECT_EQ(Hex(digest, sizeof digest), Digest(message.data(), length, keyed))
                    << "pieces of " << piece << " after " << before << ", then " << after << " bytes";
            }
        }
        Blake3State inside;
        Blake3Init(inside);
        Blake3Update(inside, message.data(), 3);
        EXPECT_FALSE(Blake3TakesSubtree(inside, piece)) << piece;
        if (piece > kKiB) {
            Blake3State off;
            Blake3Init(off);
            Blake3Update(off, message.data(), piece + kKiB);
            EXPECT_FALSE(Blake3TakesSubtree(off, piece)) << piece;
            EXPECT_TRUE(Blake3TakesSubtree(off, kKiB)) << piece;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Paths, Blake3OnEveryPath, testing::ValuesIn(kBlake3Paths),
                         [](const testing::TestParamInfo<Blake3Path>& info) {
                             switch (info.param) {
                             case Blake3Path::Portable:
                                 return "Portable";
                             case Blake3Path::Avx2:
                                 return "Avx2";
                             default:
                                 return "Avx512";
                             }
                         });

// ---------------------------------------------------------------- lanes

// Messages through the lane objects as the file pipeline drives them: each
// lane takes the next message when its last is done, and is fed windows of
// the message's own size (the last one shorter) as it gets hungry.
std::vector<std::string> ThroughLanes(const std::vector<Bytes>& messages, const std::vector<std::size_t>& windows)
{
    Blake3Lanes lanes;
    std::vector<std::string> digests(messages.size());
    std::vector<std::size_t> owner(lanes.Width()), at(lanes.Width());
    std::size_t next = 0, finished = 0;
    const auto start = [&](std::size_t lane) {
        lanes.Start(lane);
        owner[lane] = next++;
        at[lane] = 0;
    };
    for (std::size_t lane = 0; lane < lanes.Width() && next < messages.size(); ++lane)
        start(lane);
    for (int steps = 0; finished < messages.size() && steps < 1000000; ++steps) {
        const LaneReport r = lanes.Step();
        for (std::size_t lane = 0; lane < lanes.Width(); ++lane) {
            if ((r.done >> lane) & 1) {
                const Blake3Digest d = lanes.TakeDigest(lane);
                digests[owner[lane]] = Hex(d.bytes, sizeof d.bytes);
                ++finished;
                if (next < messages.size())
                    start(lane);
            }
        }
        const LaneReport now = lanes.Report();
        for (std::size_t lane = 0; lane < lanes.Width(); ++lane) {
            if (((now.hungry >> lane) & 1) == 0)
                continue;
            const Bytes& m = messages[owner[lane]];
            const std::size_t n = std::min(windows[owner[lane]], m.size() - at[lane]);
            if (n > 0)
                lanes.Feed(lane, m.data() + at[lane], n);
            at[lane] += n;
            if (at[lane] == m.size())
                lanes.End(lane);
        }
    }
    return digests;
}

class Blake3LanesOnEveryPath : public Blake3OnEveryPath {};

// Lengths about the chunk and tree edges and random ones, in windows of
// every kind: a byte, less than a chunk, chunks and a half, whole chunks,
// 1 MiB; each against the one-message digest.
TEST_P(Blake3LanesOnEveryPath, GiveTheOneMessageDigests)
{
    std::mt19937 rng(77);
    std::vector<Bytes> messages;
    std::vector<std::size_t> windows;
    const std::size_t edges[] = {0,    1,    63,   64,   65,   1023, 1024,  1025,  2048,   2049,
                                 3072, 4096, 4097, 5120, 8192, 8193, 16384, 31744, 102400, kMiB + 1};
    const std::size_t kinds[] = {1, 100, 1000, 1536, 1024, 4096, kMiB};
    for (std::size_t i = 0; i < std::size(edges) * std::size(kinds); ++i) {
        const std::size_t length = edges[i % std::size(edges)];
        if (length > 200000 && i % 3 != 0)
            continue;
        messages.push_back(RandomBytes(length, static_cast<std::uint32_t>(i)));
        windows.push_back(kinds[(i / std::size(edges) + i) % std::size(kinds)]);
    }
    for (int i = 0; i < 60; ++i) {
        messages.push_back(RandomBytes(rng() % 20000, static_cast<std::uint32_t>(1000 + i)));
        windows.push_back(1 + rng() % 5000);
    }
    const std::vector<std::string> got = ThroughLanes(messages, windows);
    for (std::size_t i = 0; i < messages.size(); ++i)
        EXPECT_EQ(got[i], Digest(messages[i].data(), messages[i].size(), false))
            << "length " << messages[i].size() << " in windows of " << windows[i];
}

TEST_P(Blake3LanesOnEveryPath, TellMisuseAndChangeNothing)
{
    Blake3Lanes lanes;
    const Bytes message = RandomBytes(3000, 5);
    EXPECT_THROW(lanes.Start(lanes.Width()), std::logic_error);
    EXPECT_THROW(lanes.Feed(0, message.data(), 10), std::logic_error);  // idle
    EXPECT_THROW(lanes.TakeDigest(0), std::logic_error);
    lanes.Start(0);
    lanes.Feed(0, message.data(), 2500);
    EXPECT_THROW(lanes.Feed(0, message.data(), 10), std::logic_error);  // still holds bytes
    EXPECT_EQ(lanes.Report().working, 1u);
    EXPECT_EQ(lanes.Step().hungry, 1u);
    lanes.Feed(0, message.data() + 2500, 500);
    lanes.End(0);
    EXPECT_THROW(lanes.End(0), std::logic_error);
    EXPECT_THROW(lanes.Feed(0, message.data(), 1), std::logic_error);
    EXPECT_EQ(lanes.Step().done, 1u);
    EXPECT_EQ(Hex(lanes.TakeDigest(0).bytes, 32), Digest(message.data(), message.size(), false));
    EXPECT_EQ(lanes.Report().done | lanes.Report().hungry | lanes.Report().working, 0u);
}

// An abandoned lane forgets its message; the lane and the others go on.
TEST_P(Blake3LanesOnEveryPath, AbandonDropsTheLanesMessage)
{
    Blake3Lanes lanes;
    const Bytes message = RandomBytes(5000, 6);
    const std::size_t other = lanes.Width() - 1;
    lanes.Start(0);
    lanes.Feed(0, message.data(), 4000);
    if (other != 0) {
        lanes.Start(other);
        lanes.Feed(other, message.data(), 5000);
        lanes.End(other);
    }
    lanes.Step();
    lanes.Abandon(0);
    EXPECT_THROW(lanes.TakeDigest(0), std::logic_error);
    lanes.Start(0);
    lanes.Feed(0, message.data(), 1000);
    lanes.End(0);
    for (int i = 0; i < 4; ++i)
        lanes.Step();
    EXPECT_EQ(Hex(lanes.TakeDigest(0).bytes, 32), Digest(message.data(), 1000, false));
    if (other != 0) {
        EXPECT_EQ(Hex(lanes.TakeDigest(other).bytes, 32), Digest(message.data(), 5000, false));
    }
}

INSTANTIATE_TEST_SUITE_P(Paths, Blake3LanesOnEveryPath, testing::ValuesIn(kBlake3Paths),
                         [](const testing::TestParamInfo<Blake3Path>& info) {
                             switch (info.param) {
                             case Blake3Path::Portable:
                                 return "Portable";
                             case Blake3Path::Avx2:
                                 return "Avx2";
                             default:
                                 return "Avx512";
                             }
                         });

// ---------------------------------------------------------------- the routines

class Blake3Routine : public testing::TestWithParam<Blake3Path> {
protected:
    void SetUp() override
    {
        if (!CpuRuns(GetParam()))
            GTEST_SKIP() << PathName(GetParam()) << ": this CPU or this build cannot run it";
    }
};

// Any number of inputs, whole lanes and partly filled, chunks and parent
// nodes, counters past 32 bits, from unaligned bytes: as the portable loop.
TEST_P(Blake3Routine, HashManyMatchesThePortableLoop)
{
    const Bytes bytes = RandomBytes(40 * kBlake3ChunkSize + 64, 40);
    std::mt19937_64 rng(41);
    for (std::size_t count = 1; count <= 40; ++count)
        for (const std::size_t blocks : {std::size_t{1}, std::size_t{2}, std::size_t{16}}) {
            std::vector<const std::uint8_t*> inputs(count);
            std::vector<std::uint64_t> counters(count);
            for (std::size_t i = 0; i < count; ++i) {
                inputs[i] = bytes.data() + (rng() % (40 * kBlake3ChunkSize - blocks * 64));
                counters[i] = rng() >> (rng() % 64);
            }
            std::uint32_t key[8];
            for (auto& k : key)
                k = static_cast<std::uint32_t>(rng());
            const bool parents = blocks == 1 && count % 2 == 0;
            const Blake3Batch batch{inputs.data(),
                                    count,
                                    blocks,
                                    key,
                                    parents ? nullptr : counters.data(),
                                    static_cast<std::uint32_t>(rng() % 32),
                                    kBlake3ChunkStart,
                                    kBlake3ChunkEnd};
            std::vector<std::uint8_t> want(32 * count + 32, 0xA5), got(32 * count + 32, 0xA5);
            Blake3ManyPortable(batch, want.data());
            PathFunction(GetParam()).many(batch, got.data());
            EXPECT_EQ(Hex(got.data(), got.size()), Hex(want.data(), want.size()))
                << count << " inputs of " << blocks << " blocks";
        }
}

INSTANTIATE_TEST_SUITE_P(Paths, Blake3Routine, testing::Values(Blake3Path::Avx2, Blake3Path::Avx512),
                         [](const testing::TestParamInfo<Blake3Path>& info) {
                             return info.param == Blake3Path::Avx2 ? "Avx2" : "Avx512";
                         });

// ---------------------------------------------------------------- the choice

bool RunsEverywhere(Blake3Path)
{
    return true;
}

// The portable routines, and each with one lane's output spoiled.
void ManyWithAFault(const Blake3Batch& batch, std::uint8_t* out)
{
    Blake3ManyPortable(batch, out);
    if (batch.count > 5)
        out[32 * 5] ^= 1;
}

void CompressWithAFault(std::uint32_t* cv, const std::uint8_t* block, std::uint32_t length, std::uint64_t counter,
                        std::uint32_t flags)
{
    Blake3CompressPortable(cv, block, length, counter, flags);
    if ((flags & kBlake3Parent) != 0)
        cv[7] ^= 1;
}

Blake3Routines FaultyMany(Blake3Path path)
{
    if (path == Blake3Path::Portable)
        return PathFunction(path);
    return {Blake3CompressPortable, ManyWithAFault, 16};
}

Blake3Routines FaultyCompress(Blake3Path path)
{
    if (path == Blake3Path::Portable)
        return PathFunction(path);
    return {CompressWithAFault, Blake3ManyPortable, 16};
}

TEST(Blake3Choice, TakesTheWidestPathThatRunsAndProvesItself)
{
    Blake3Path widest = Blake3Path::Portable;
    for (Blake3Path path : kBlake3Paths)
        if (CpuRuns(path))
            widest = path;
    EXPECT_EQ(ChosenPath<Blake3Path>(), widest);
    for (Blake3Path path : kBlake3Paths) {
        if (CpuRuns(path)) {
            EXPECT_TRUE(ProvesItself(PathFunction(path))) << PathName(path);
        }
    }
}

TEST(Blake3Choice, PassesOverRoutinesThatGetTheKnownDigestsWrong)
{
    EXPECT_FALSE(ProvesItself({Blake3CompressPortable, ManyWithAFault, 16}));
    EXPECT_FALSE(ProvesItself({CompressWithAFault, Blake3ManyPortable, 16}));
    EXPECT_EQ(ChooseAmong(kBlake3Paths, RunsEverywhere, FaultyMany), Blake3Path::Portable);
    EXPECT_EQ(ChooseAmong(kBlake3Paths, RunsEverywhere, FaultyCompress), Blake3Path::Portable);
}

TEST(Blake3Choice, ForcingRoutesTheDigestsAndUseChosenPathsGoesBack)
{
    for (Blake3Path path : kBlake3Paths) {
        if (!ForcePath(path))
            continue;
        EXPECT_EQ(PathInUse<Blake3Path>(), path);
        EXPECT_EQ(RoutineInUse<Blake3Path>().many, PathFunction(path).many);
    }
    // Away from the chosen path (the last one forced may be it), and back.
    ASSERT_TRUE(ForcePath(Blake3Path::Portable));
    UseChosenPaths();
    EXPECT_EQ(PathInUse<Blake3Path>(), ChosenPath<Blake3Path>());
}

}  // namespace
