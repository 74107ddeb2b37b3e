// The BLAKE2 lane objects against the one-message state (blake2.h): every
// lane count up to the width, messages of every length ending in every lane
// at every block while others start, digest lengths of every size, bytes in
// pieces of any size, a long message beside short ones, misuse; BLAKE2b and
// BLAKE2s on every lane path, each forced. Then the lane routines' choice.
#include "engine/blake2_lanes.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <ostream>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "engine/blake2.h"
#include "engine/path_choice.h"

namespace {

using namespace engine;

// A byte counter mod 251, with room for the longest message at any offset.
const std::uint8_t* Counter()
{
    static const std::vector<std::uint8_t> bytes = [] {
        std::vector<std::uint8_t> b((std::size_t{4} << 20) + 8192);
        for (std::size_t i = 0; i < b.size(); ++i)
            b[i] = static_cast<std::uint8_t>(i % 251);
        return b;
    }();
    return bytes.data();
}

std::string Hex(const std::uint8_t* bytes, std::size_t size)
{
    static const char kDigits[] = "0123456789abcdef";
    std::string text;
    for (std::size_t i = 0; i < size; ++i) {
        text += kDigits[bytes[i] >> 4];
        text += kDigits[bytes[i] & 15];
    }
    return text;
}

struct Blake2bKind {
    using Lanes = Blake2bLanes;
    using Path = Blake2bLanePath;
    static constexpr std::size_t kBlock = kBlake2bBlockSize;
    static constexpr std::size_t kLargest = 64;
    static std::string OneMessage(const std::uint8_t* p, std::size_t n, std::size_t size)
    {
        Blake2bState state;
        Blake2bInit(state, size);
        Blake2bUpdate(state, p, n);
        std::uint8_t digest[64];
        Blake2bFinal(state, digest);
        return Hex(digest, size);
    }
};

struct Blake2sKind {
    using Lanes = Blake2sLanes;
    using Path = Blake2sLanePath;
    static constexpr std::size_t kBlock = kBlake2sBlockSize;
    static constexpr std::size_t kLargest = 32;
    static std::string OneMessage(const std::uint8_t* p, std::size_t n, std::size_t size)
    {
        Blake2sState state;
        Blake2sInit(state, size);
        Blake2sUpdate(state, p, n);
        std::uint8_t digest[32];
        Blake2sFinal(state, digest);
        return Hex(digest, size);
    }
};

struct Job {
    const std::uint8_t* data;
    std::size_t length;
    std::size_t digestSize;
};

// How the driver hands a lane its bytes: the size of the next piece (the
// rest of the message at most), whether End follows the last Feed at once,
// and whether the first piece goes in right after Start.
struct Feeding {
    std::function<std::size_t(std::size_t rest)> piece = [](std::size_t rest) { return rest; };
    std::function<bool()> endAtOnce = [] { return false; };
    std::function<bool()> feedAtStart = [] { return false; };
};

// Runs each lane's jobs in order, as a caller would; returns each job's
// digest, lane by lane.
template <class Lanes>
std::vector<std::vector<std::string>> Drive(Lanes& lanes, const std::vector<std::vector<Job>>& jobs,
                                            const Feeding& feeding = {})
{
    const std::size_t count = jobs.size();
    std::vector<std::vector<std::string>> results(count);
    std::vector<std::size_t> next(count, 0), fed(count, 0);
    std::vector<bool> ended(count, false);
    const auto feed = [&](std::size_t lane) {
        const Job& job = jobs[lane][next[lane]];
        const std::size_t rest = job.length - fed[lane];
        if (rest == 0) {
            lanes.End(lane);
            ended[lane] = true;
            return;
        }
        const std::size_t size = std::min(rest, feeding.piece(rest));
        lanes.Feed(lane, job.data + fed[lane], size);
        fed[lane] += size;
        if (fed[lane] == job.length && feeding.endAtOnce()) {
            lanes.End(lane);
            ended[lane] = true;
        }
    };
    const auto start = [&](std::size_t lane) {
        lanes.Start(lane, jobs[lane][next[lane]].digestSize);
        fed[lane] = 0;
        ended[lane] = false;
        if (feeding.feedAtStart())
            feed(lane);
    };
    for (std::size_t lane = 0; lane < count; ++lane)
        if (!jobs[lane].empty())
            start(lane);
    for (;;) {
        const LaneReport r = lanes.Step();
        if ((r.hungry | r.done | r.working) == 0)
            break;
        for (std::size_t lane = 0; lane < count; ++lane) {
            const LaneMask bit = LaneMask{1} << lane;
            if (r.done & bit) {
                EXPECT_TRUE(ended[lane]) << "lane " << lane << " done before its end";
                const auto digest = lanes.TakeDigest(lane);
                results[lane].push_back(Hex(digest.bytes, digest.size));
                if (++next[lane] < jobs[lane].size())
                    start(lane);
            } else if (r.hungry & bit) {
                EXPECT_FALSE(ended[lane]) << "lane " << lane << " hungry after its end";
                feed(lane);
            }
        }
    }
    return results;
}

template <class K>
void ExpectOneMessageResults(const std::vector<std::vector<Job>>& jobs,
                             const std::vector<std::vector<std::string>>& results, const std::string& what)
{
    ASSERT_EQ(results.size(), jobs.size());
    for (std::size_t lane = 0; lane < jobs.size(); ++lane) {
        ASSERT_EQ(results[lane].size(), jobs[lane].size()) << what << ", lane " << lane;
        for (std::size_t j = 0; j < jobs[lane].size(); ++j) {
            const Job& job = jobs[lane][j];
            EXPECT_EQ(results[lane][j], K::OneMessage(job.data, job.length, job.digestSize))
                << what << ", lane " << lane << ", message " << j << " of " << job.length << " bytes, digest of "
                << job.digestSize;
        }
    }
}

// ---------------------------------------------------------------- every lane path

struct LaneSetting {
    const char* name;
    bool blake2b;
    int path;
    friend std::ostream& operator<<(std::ostream& os, const LaneSetting& s) { return os << s.name; }
};

constexpr LaneSetting kSettings[] = {
    {"Blake2bOneAtATime", true, static_cast<int>(Blake2bLanePath::OneAtATime)},
    {"Blake2bAvx2", true, static_cast<int>(Blake2bLanePath::Avx2)},
    {"Blake2bAvx512", true, static_cast<int>(Blake2bLanePath::Avx512)},
    {"Blake2sOneAtATime", false, static_cast<int>(Blake2sLanePath::OneAtATime)},
    {"Blake2sAvx2", false, static_cast<int>(Blake2sLanePath::Avx2)},
    {"Blake2sAvx512", false, static_cast<int>(Blake2sLanePath::Avx512)},
};

class Blake2LanesTest : public testing::TestWithParam<LaneSetting> {
protected:
    void SetUp() override
    {
        bool forced = false;
        ForTheDigest([&]<class K>() { forced = ForcePath(static_cast<typename K::Path>(GetParam().path)); });
        if (!forced)
            GTEST_SKIP() << GetParam().name << ": this CPU or this build cannot run it";
    }
    void TearDown() override { UseChosenPaths(); }

    template <class Body>
    void ForTheDigest(Body body)
    {
        if (GetParam().blake2b)
            body.template operator()<Blake2bKind>();
        else
            body.template operator()<Blake2sKind>();
    }
};

TEST_P(Blake2LanesTest, TakesTheWidthOfItsPath)
{
    ForTheDigest([&]<class K>() {
        const auto path = static_cast<typename K::Path>(GetParam().path);
        typename K::Lanes lanes;
        EXPECT_EQ(lanes.Width(), LaneWidth(path));
        EXPECT_STREQ(lanes.PathName(), PathName(path));
        // The object keeps its path when another is forced after it is made.
        ForcePath(typename K::Path{});
        EXPECT_EQ(lanes.Width(), LaneWidth(path));
    });
}

// RFC 7693's examples in every lane at once.
TEST_P(Blake2LanesTest, GivesTheRfcExampleInEveryLane)
{
    ForTheDigest([&]<class K>() {
        const std::string want = K::kLargest == 64 ? "ba80a53f981c4d0d6a2797b69f12f6e94c212f14685ac4b74b12bb6fdbffa2d1"
                                                     "7d87c5392aab792dc252d5de4533cc9518d38aa8dbf1925ab92386edd4009923"
                                                   : "508c5e8c327c14e2e1a72ba34eeb452f37458b209ed63a294d999b4c86675982";
        typename K::Lanes lanes;
        std::vector<std::vector<Job>> jobs(lanes.Width());
        for (auto& lane : jobs)
            lane.push_back({reinterpret_cast<const std::uint8_t*>("abc"), 3, K::kLargest});
        const auto results = Drive(lanes, jobs);
        for (std::size_t lane = 0; lane < jobs.size(); ++lane) {
            ASSERT_EQ(results[lane].size(), 1u);
            EXPECT_EQ(results[lane][0], want) << "lane " << lane;
        }
    });
}

// With every number of lanes in use, each lane digests every length from 0
// to 1024, the lanes in different orders, so that messages end in every
// lane at every block of the others and a new one starts there; digest
// lengths of every size among them.
TEST_P(Blake2LanesTest, EveryLengthUpTo1024InEveryLaneCount)
{
    ForTheDigest([&]<class K>() {
        const std::size_t width = typename K::Lanes().Width();
        for (std::size_t used = 1; used <= width && !HasFailure(); ++used) {
            std::vector<std::vector<Job>> jobs(used);
            for (std::size_t lane = 0; lane < used; ++lane)
                for (std::size_t j = 0; j <= 1024; ++j) {
                    const std::size_t length = (j * (2 * lane + 1) + 97 * lane) % 1025;
                    const std::size_t size = j % 3 == 0 ? K::kLargest : 1 + (j + lane) % K::kLargest;
                    jobs[lane].push_back({Counter() + (lane * 13 + j) % 4096, length, size});
                }
            typename K::Lanes lanes;
            ExpectOneMessageResults<K>(jobs, Drive(lanes, jobs), std::to_string(used) + " lanes");
        }
    });
}

// Pieces of random sizes, zero among them, a block begun in one piece and
// finished in the next, pieces that end on a block edge (whose block must
// wait for what follows), End right after the last piece or only once the
// lane asks again, and the first piece right after Start.
TEST_P(Blake2LanesTest, BytesInPiecesOfAnySize)
{
    ForTheDigest([&]<class K>() {
        std::mt19937 rng(7693);
        Feeding feeding;
        feeding.piece = [&](std::size_t rest) {
            switch (rng() % 4) {
            case 0:
                return std::size_t{0};
            case 1:
                return K::kBlock * (1 + rng() % 3);
            case 2:
                return std::size_t{1} + rng() % (2 * K::kBlock);
            default:
                return rest;
            }
        };
        feeding.endAtOnce = [&] { return rng() % 2 == 0; };
        feeding.feedAtStart = [&] { return rng() % 2 == 0; };
        typename K::Lanes lanes;
        std::vector<std::vector<Job>> jobs(lanes.Width());
        for (std::size_t lane = 0; lane < jobs.size(); ++lane)
            for (int j = 0; j < 60; ++j)
                jobs[lane].push_back({Counter() + rng() % 4096, rng() % (9 * K::kBlock), K::kLargest});
        ExpectOneMessageResults<K>(jobs, Drive(lanes, jobs, feeding), "random pieces");
    });
}

// A long message in one lane, in windows of 1 MiB and a short tail, while
// the others digest many short ones: it goes on beside them throughout.
TEST_P(Blake2LanesTest, ALongMessageBesideShortOnes)
{
    ForTheDigest([&]<class K>() {
        typename K::Lanes lanes;
        std::vector<std::vector<Job>> jobs(lanes.Width());
        jobs[0].push_back({Counter() + 3, (std::size_t{3} << 20) + 77, K::kLargest});
        for (std::size_t lane = 1; lane < jobs.size(); ++lane)
            for (std::size_t j = 0; j < 40; ++j)
                jobs[lane].push_back({Counter() + lane + j, (lane * 331 + j * 97) % 5000, K::kLargest});
        Feeding feeding;
        feeding.piece = [](std::size_t rest) { return std::min(rest, std::size_t{1} << 20); };
        ExpectOneMessageResults<K>(jobs, Drive(lanes, jobs, feeding), "long beside short");
    });
}

// A message of exactly one block, fed in one piece and then ended: the
// block waits until End says it is the last, and is then flagged.
TEST_P(Blake2LanesTest, HoldsAWholeBlockUntilTheEnd)
{
    ForTheDigest([&]<class K>() {
        typename K::Lanes lanes;
        lanes.Start(0);
        lanes.Feed(0, Counter(), K::kBlock);
        LaneReport r = lanes.Step();
        EXPECT_EQ(r.hungry, 1u);
        EXPECT_EQ(r.done, 0u);
        lanes.End(0);
        r = lanes.Step();
        ASSERT_EQ(r.done, 1u);
        const auto digest = lanes.TakeDigest(0);
        EXPECT_EQ(Hex(digest.bytes, digest.size), K::OneMessage(Counter(), K::kBlock, K::kLargest));
    });
}

TEST_P(Blake2LanesTest, MisuseThrowsAndChangesNothing)
{
    ForTheDigest([&]<class K>() {
        typename K::Lanes lanes;
        const std::size_t width = lanes.Width();
        EXPECT_THROW(lanes.Start(width), std::logic_error);
        EXPECT_THROW(lanes.Start(0, 0), std::logic_error);
        EXPECT_THROW(lanes.Start(0, K::kLargest + 1), std::logic_error);
        EXPECT_THROW(lanes.Feed(0, Counter(), 10), std::logic_error);  // idle
        EXPECT_THROW(lanes.End(0), std::logic_error);
        EXPECT_THROW(lanes.TakeDigest(0), std::logic_error);
        lanes.Start(0, 20);
        lanes.Feed(0, Counter(), 5 * K::kBlock);
        EXPECT_THROW(lanes.Feed(0, Counter(), 10), std::logic_error);  // still holds bytes
        EXPECT_THROW(lanes.TakeDigest(0), std::logic_error);
        lanes.End(0);
        EXPECT_THROW(lanes.End(0), std::logic_error);
        EXPECT_THROW(lanes.Feed(0, Counter(), 10), std::logic_error);
        const LaneReport r = lanes.Step();
        ASSERT_EQ(r.done, 1u);
        const auto digest = lanes.TakeDigest(0);
        EXPECT_EQ(Hex(digest.bytes, digest.size), K::OneMessage(Counter(), 5 * K::kBlock, 20));
        EXPECT_THROW(lanes.TakeDigest(0), std::logic_error);
    });
}

// Start on a lane that holds a message begun (with a block held back and a
// byte count under way) drops it: the new message is digested from scratch.
TEST_P(Blake2LanesTest, StartDropsTheMessageHeld)
{
    ForTheDigest([&]<class K>() {
        typename K::Lanes lanes;
        lanes.Start(0);
        lanes.Feed(0, Counter() + 7, 3 * K::kBlock + 5);
        lanes.Step();
        lanes.Start(0, 16);
        lanes.Feed(0, Counter(), 2 * K::kBlock);
        lanes.End(0);
        LaneReport r;
        do
            r = lanes.Step();
        while (r.done == 0);
        const auto digest = lanes.TakeDigest(0);
        EXPECT_EQ(Hex(digest.bytes, digest.size), K::OneMessage(Counter(), 2 * K::kBlock, 16));
    });
}

// An abandoned lane is idle and its bytes no longer read; the others go on.
TEST_P(Blake2LanesTest, AbandonLeavesTheOthers)
{
    ForTheDigest([&]<class K>() {
        typename K::Lanes lanes;
        const std::size_t last = lanes.Width() - 1;
        lanes.Start(0);
        lanes.Feed(0, Counter(), 1000);
        lanes.End(0);
        if (last > 0) {
            lanes.Start(last);
            lanes.Feed(last, Counter() + 1, 3000);
        }
        lanes.Abandon(0);
        EXPECT_EQ(lanes.Report().working & 1u, 0u);
        EXPECT_EQ(lanes.Report().done & 1u, 0u);
        if (last == 0)
            return;
        lanes.End(last);
        LaneReport r;
        do
            r = lanes.Step();
        while (r.done == 0);
        EXPECT_EQ(r.done, LaneMask{1} << last);
        const auto digest = lanes.TakeDigest(last);
        EXPECT_EQ(Hex(digest.bytes, digest.size), K::OneMessage(Counter() + 1, 3000, K::kLargest));
    });
}

// The lane routine alone, from random chains and counts (some near the
// carry into the count's high word), with random lanes left out and random
// lanes on their last block, against the portable one-message routine. The
// one-at-a-time routine takes any lanes up to kMaxLanes.
TEST_P(Blake2LanesTest, TheRoutineMatchesThePortableOneFromAnyState)
{
    std::mt19937_64 rng(64);
    const auto check =
        [&]<class Word, class Chain>(auto lanesFn, std::size_t width, std::size_t block,
                                     void (*portable)(Chain&, const std::uint8_t*, std::size_t, std::uint32_t, bool)) {
            for (int round = 0; round < 64 && !HasFailure(); ++round) {
                Blake2LaneStates<Word> states;
                for (auto& row : states.h)
                    for (auto& w : row)
                        w = static_cast<Word>(rng());
                for (auto& w : states.t[0])
                    w = static_cast<Word>(round % 2 ? rng() : ~Word{0} - rng() % (3 * block));
                for (auto& w : states.t[1])
                    w = static_cast<Word>(rng());
                const Blake2LaneStates<Word> before = states;
                const auto active = static_cast<LaneMask>(rng());
                const auto last = static_cast<LaneMask>(round % 3 == 0 ? rng() : 0);
                const std::size_t count = last ? 1 : 1 + rng() % 4;
                const std::uint8_t* blocks[kMaxLanes];
                std::uint32_t lastBytes[kMaxLanes];
                for (std::size_t lane = 0; lane < kMaxLanes; ++lane) {
                    blocks[lane] = Counter() + rng() % 4096;
                    lastBytes[lane] = static_cast<std::uint32_t>(rng() % (block + 1));
                }
                lanesFn(states, blocks, active, count, last, lastBytes);
                for (std::size_t lane = 0; lane < kMaxLanes; ++lane) {
                    Chain want;
                    for (int i = 0; i < 8; ++i)
                        want.h[i] = before.h[i][lane];
                    want.t[0] = before.t[0][lane];
                    want.t[1] = before.t[1][lane];
                    if (lane < width && ((active >> lane) & 1)) {
                        const bool final = (last >> lane) & 1;
                        portable(want, blocks[lane], count, final ? lastBytes[lane] : static_cast<std::uint32_t>(block),
                                 final);
                    }
                    for (int i = 0; i < 8; ++i)
                        EXPECT_EQ(states.h[i][lane], want.h[i]) << "lane " << lane << ", word " << i;
                    EXPECT_EQ(states.t[0][lane], want.t[0]) << "lane " << lane;
                    EXPECT_EQ(states.t[1][lane], want.t[1]) << "lane " << lane;
                }
            }
        };
    if (GetParam().blake2b) {
        const auto path = static_cast<Blake2bLanePath>(GetParam().path);
        check.template operator()<std::uint64_t, Blake2bChain>(
            PathFunction(path), path == Blake2bLanePath::OneAtATime ? kMaxLanes : LaneWidth(path), kBlake2bBlockSize,
            Blake2bCompressPortable);
    } else {
        const auto path = static_cast<Blake2sLanePath>(GetParam().path);
        check.template operator()<std::uint32_t, Blake2sChain>(
            PathFunction(path), path == Blake2sLanePath::OneAtATime ? kMaxLanes : LaneWidth(path), kBlake2sBlockSize,
            Blake2sCompressPortable);
    }
}

INSTANTIATE_TEST_SUITE_P(Paths, Blake2LanesTest, testing::ValuesIn(kSettings),
                         [](const testing::TestParamInfo<LaneSetting>& info) { return info.param.name; });

// ---------------------------------------------------------------- the choice

void BrokenBlake2bLanes(Blake2bLaneStates& states, const std::uint8_t* const* blocks, LaneMask active,
                        std::size_t count, LaneMask last, const std::uint32_t* lastBytes)
{
    Blake2bLanesOneAtATime(states, blocks, active, count, last, lastBytes);
    if (active & 0x80)
        states.h[3][7] ^= 1;  // wrong in the last AVX-512 lane only
}

void BrokenBlake2sLanes(Blake2sLaneStates& states, const std::uint8_t* const* blocks, LaneMask active,
                        std::size_t count, LaneMask last, const std::uint32_t* lastBytes)
{
    Blake2sLanesOneAtATime(states, blocks, active, count, last, lastBytes);
    states.t[1][0] ^= active & 1;  // the count of lane 0 wrong
}

TEST(Blake2LaneChoice, EveryRoutineTheCpuRunsProvesItself)
{
    for (Blake2bLanePath path : kBlake2bLanePaths) {
        if (CpuRuns(path)) {
            EXPECT_TRUE(ProvesItself(PathFunction(path), LaneWidth(path))) << PathName(path);
        }
    }
    for (Blake2sLanePath path : kBlake2sLanePaths) {
        if (CpuRuns(path)) {
            EXPECT_TRUE(ProvesItself(PathFunction(path), LaneWidth(path))) << PathName(path);
        }
    }
    EXPECT_TRUE(ProvesItself(BrokenBlake2bLanes, 7));
    EXPECT_FALSE(ProvesItself(BrokenBlake2bLanes, 8));
    EXPECT_FALSE(ProvesItself(BrokenBlake2sLanes, 1));
    EXPECT_FALSE(ProvesItself(Blake2sLanesOneAtATime, 0));
}

TEST(Blake2LaneChoice, TakesTheWidestThatRunsAndProvesItself)
{
    const auto all = [](Blake2bLanePath) { return true; };
    const auto broken = [](Blake2bLanePath path) -> Blake2bLanesFn {
        return path == Blake2bLanePath::Avx512 ? BrokenBlake2bLanes : Blake2bLanesOneAtATime;  // fails at width 8
    };
    EXPECT_EQ(ChooseAmong(kBlake2bLanePaths, all, broken), Blake2bLanePath::Avx2);
    const auto sound = [](Blake2bLanePath) -> Blake2bLanesFn { return Blake2bLanesOneAtATime; };
    EXPECT_EQ(ChooseAmong(kBlake2bLanePaths, all, sound), Blake2bLanePath::Avx512);
    const auto none = [](Blake2sLanePath path) { return path == Blake2sLanePath::OneAtATime; };
    EXPECT_EQ(ChooseAmong(kBlake2sLanePaths, none, PathFunction), Blake2sLanePath::OneAtATime);

    // Here, the widest the CPU runs.
    Blake2bLanePath widestB = Blake2bLanePath::OneAtATime;
    for (Blake2bLanePath path : kBlake2bLanePaths)
        widestB = CpuRuns(path) ? path : widestB;
    EXPECT_EQ(ChosenPath<Blake2bLanePath>(), widestB);
    Blake2sLanePath widestS = Blake2sLanePath::OneAtATime;
    for (Blake2sLanePath path : kBlake2sLanePaths)
        widestS = CpuRuns(path) ? path : widestS;
    EXPECT_EQ(ChosenPath<Blake2sLanePath>(), widestS);
}

TEST(Blake2LaneChoice, UseChosenPathsUndoesAForcedOne)
{
    ForcePath(Blake2bLanePath::OneAtATime);
    ForcePath(Blake2sLanePath::OneAtATime);
    EXPECT_EQ(PathInUse<Blake2bLanePath>(), Blake2bLanePath::OneAtATime);
    UseChosenPaths();
    EXPECT_EQ(PathInUse<Blake2bLanePath>(), ChosenPath<Blake2bLanePath>());
    EXPECT_EQ(PathInUse<Blake2sLanePath>(), ChosenPath<Blake2sLanePath>());
}

}  // namespace
