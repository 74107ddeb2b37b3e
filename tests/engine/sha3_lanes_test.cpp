// SHA-3's lane objects against the one-message sponge: every lane count up
// to the width, messages of every length ending in every lane at every
// block while others start, bytes in pieces of any size, a long message
// beside short ones; the four digests on every lane path, each forced. Then
// the lane routines against the portable block routine, and their choice.
#include "engine/sha3_lanes.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <functional>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "engine/path_choice.h"
#include "engine/sha3.h"

namespace {

using namespace engine;

// A byte counter mod 251 (blocks taken twice, out of order or from another
// lane change the answer), with room for the longest message at any offset.
const std::uint8_t* Counter()
{
    static const std::vector<std::uint8_t> bytes = [] {
        std::vector<std::uint8_t> b((std::size_t{5} << 20) + 8192);
        for (std::size_t i = 0; i < b.size(); ++i)
            b[i] = static_cast<std::uint8_t>(i % 251);
        return b;
    }();
    return bytes.data();
}

template <std::size_t kSize>
std::string Hex(const std::array<std::uint8_t, kSize>& digest)
{
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string text;
    for (const std::uint8_t b : digest) {
        text += kDigits[b >> 4];
        text += kDigits[b & 15];
    }
    return text;
}

// The one-message sponge's digest, the reference.
template <std::size_t kDigestBytes>
std::string OneShot(const std::uint8_t* bytes, std::size_t size)
{
    Sha3State state;
    Sha3Init(state, kDigestBytes);
    Sha3Update(state, bytes, size);
    std::array<std::uint8_t, kDigestBytes> digest;
    Sha3Final(state, digest.data());
    return Hex(digest);
}

struct Job {
    const std::uint8_t* data;
    std::size_t length;
};

// How the driver hands a lane its bytes: the size of the next piece (the
// rest of the message at most), whether End follows a Feed at once rather
// than once the lane is hungry again, and whether Feed follows Start at once.
struct Feeding {
    std::function<std::size_t(std::size_t rest)> piece = [](std::size_t rest) { return rest; };
    std::function<bool()> endAtOnce = [] { return false; };
    std::function<bool()> feedAtStart = [] { return false; };
};

// Runs each lane's jobs in order, as a caller would: a lane that is done is
// started on its next job, a hungry one gets its next piece. Returns each
// job's digest, lane by lane.
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
        lanes.Start(lane);
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
                results[lane].push_back(Hex(lanes.TakeDigest(lane)));
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

template <std::size_t kDigestBytes>
void ExpectOneShotResults(const std::vector<std::vector<Job>>& jobs,
                          const std::vector<std::vector<std::string>>& results, const std::string& what)
{
    ASSERT_EQ(results.size(), jobs.size());
    for (std::size_t lane = 0; lane < jobs.size(); ++lane) {
        ASSERT_EQ(results[lane].size(), jobs[lane].size()) << what << ", lane " << lane;
        for (std::size_t j = 0; j < jobs[lane].size(); ++j)
            EXPECT_EQ(results[lane][j], OneShot<kDigestBytes>(jobs[lane][j].data, jobs[lane][j].length))
                << "SHA3-" << 8 * kDigestBytes << ", " << what << ", lane " << lane << ", message " << j << " of "
                << jobs[lane][j].length << " bytes";
    }
}

std::string PathParamName(const testing::TestParamInfo<Sha3LanePath>& info)
{
    std::string name;
    for (const char c : std::string(PathName(info.param)))
        if (std::isalnum(static_cast<unsigned char>(c)))
            name += c;
    return name;
}

// Forces the parameter's lane path for the lane objects made in the test,
// or skips it where this CPU or this build cannot run it.
class Sha3LanesTest : public testing::TestWithParam<Sha3LanePath> {
protected:
    void SetUp() override
    {
        if (!ForcePath(GetParam()))
            GTEST_SKIP() << PathName(GetParam()) << ": this CPU or this build cannot run it";
    }
    void TearDown() override { UseChosenPaths(); }

    // body.template operator()<kDigestBytes>() for each of the four digests.
    template <class Body>
    static void ForEveryDigest(Body body)
    {
        body.template operator()<28>();
        body.template operator()<32>();
        body.template operator()<48>();
        body.template operator()<64>();
    }
};

TEST_P(Sha3LanesTest, TakesTheWidthOfItsPath)
{
    Sha3_256Lanes lanes;
    EXPECT_EQ(lanes.Width(), LaneWidth(GetParam()));
    EXPECT_STREQ(lanes.PathName(), PathName(GetParam()));
    // The object keeps its path when another is forced after it is made.
    ForcePath(Sha3LanePath::OneAtATime);
    EXPECT_EQ(lanes.Width(), LaneWidth(GetParam()));
}

// With every number of lanes in use, each lane digests every length from 0
// to 1024, the lanes in different orders, so that messages end in every
// lane at every block of the others, and a new one starts there.
TEST_P(Sha3LanesTest, EveryLengthUpTo1024InEveryLaneCount)
{
    ForEveryDigest([&]<std::size_t kDigestBytes>() {
        const std::size_t width = Sha3LaneDigests<kDigestBytes>().Width();
        for (std::size_t used = 1; used <= width && !HasFailure(); ++used) {
            std::vector<std::vector<Job>> jobs(used);
            for (std::size_t lane = 0; lane < used; ++lane)
                for (std::size_t j = 0; j <= 1024; ++j)
                    jobs[lane].push_back({Counter() + (lane * 13 + j) % 4096, (j * (2 * lane + 1) + 97 * lane) % 1025});
            Sha3LaneDigests<kDigestBytes> lanes;
            ExpectOneShotResults<kDigestBytes>(jobs, Drive(lanes, jobs), std::to_string(used) + " lanes");
        }
    });
}

// Pieces of random sizes, zero among them, a block begun in one piece and
// completed in the next; End sometimes right after the last piece, while
// the lane still holds it, sometimes once the lane is hungry again; Feed
// sometimes right after Start.
TEST_P(Sha3LanesTest, BytesInPiecesOfAnySize)
{
    ForEveryDigest([&]<std::size_t kDigestBytes>() {
        constexpr std::size_t kRate = 200 - 2 * kDigestBytes;
        std::mt19937 rng(202);
        const std::size_t width = Sha3LaneDigests<kDigestBytes>().Width();
        Feeding feeding;
        feeding.piece = [&](std::size_t) -> std::size_t {
            switch (rng() % 4) {
            case 0:
                return rng() % 8;
            case 1:
                return kRate - 8 + rng() % 16;
            case 2:
                return rng() % 300;
            default:
                return 1 + rng() % 5000;
            }
        };
        feeding.endAtOnce = [&] { return rng() % 2 == 0; };
        feeding.feedAtStart = [&] { return rng() % 3 == 0; };
        std::vector<std::vector<Job>> jobs(width);
        for (std::size_t lane = 0; lane < width; ++lane)
            for (int j = 0; j < 40; ++j)
                jobs[lane].push_back({Counter() + rng() % 4096, rng() % 2 ? rng() % 300 : rng() % 20000});
        Sha3LaneDigests<kDigestBytes> lanes;
        ExpectOneShotResults<kDigestBytes>(jobs, Drive(lanes, jobs, feeding), "random pieces");
    });
}

// Lane 0 digests 5 MiB and some, fed in windows of 1 MiB, while the others
// go through short messages one after another.
TEST_P(Sha3LanesTest, ALongMessageBesideShortOnes)
{
    std::mt19937 rng(1024);
    std::vector<std::vector<Job>> jobs(Sha3_256Lanes().Width());
    jobs[0].push_back({Counter() + 5, (std::size_t{5} << 20) + 77});
    jobs[0].push_back({Counter() + 9, 100});
    for (std::size_t lane = 1; lane < jobs.size(); ++lane)
        for (int j = 0; j < 300; ++j)
            jobs[lane].push_back({Counter() + rng() % 4096, rng() % 700});
    Feeding feeding;
    feeding.piece = [](std::size_t rest) { return std::min(rest, std::size_t{1} << 20); };
    Sha3_256Lanes lanes;
    ExpectOneShotResults<32>(jobs, Drive(lanes, jobs, feeding), "long beside short");
}

// Once Step reports a lane hungry, its bytes are the caller's again: the
// lane has copied what it still needs of them.
TEST_P(Sha3LanesTest, AHungryLaneNoLongerReadsTheCallersBytes)
{
    ForEveryDigest([&]<std::size_t kDigestBytes>() {
        Sha3LaneDigests<kDigestBytes> lanes;
        const std::size_t width = lanes.Width();
        std::vector<std::vector<std::uint8_t>> buffers(width);
        for (std::size_t lane = 0; lane < width; ++lane) {
            const std::size_t length = 1000 + 61 * lane;
            buffers[lane].assign(Counter() + lane, Counter() + lane + length);
            lanes.Start(lane);
            lanes.Feed(lane, buffers[lane].data(), length);
        }
        LaneMask hungry = 0;
        const LaneMask all = (LaneMask{1} << width) - 1;
        while (hungry != all) {
            const LaneReport r = lanes.Step();
            for (std::size_t lane = 0; lane < width; ++lane)
                if ((r.hungry >> lane) & 1 && !((hungry >> lane) & 1)) {
                    std::fill(buffers[lane].begin(), buffers[lane].end(), 0xEE);
                    lanes.End(lane);
                }
            hungry |= r.hungry;
            ASSERT_NE(r.hungry | r.working | r.done, 0u);
        }
        while (lanes.Step().working != 0) {
        }
        for (std::size_t lane = 0; lane < width; ++lane)
            EXPECT_EQ(Hex(lanes.TakeDigest(lane)), OneShot<kDigestBytes>(Counter() + lane, 1000 + 61 * lane))
                << "SHA3-" << 8 * kDigestBytes << ", lane " << lane;
    });
}

// A lane left hungry does not hold the others up; a lane abandoned or
// started anew mid-message forgets it.
TEST_P(Sha3LanesTest, LanesGoOnWithoutTheOthers)
{
    Sha3_384Lanes lanes;
    const std::size_t width = lanes.Width();
    const LaneReport fresh = lanes.Report();
    EXPECT_EQ(fresh.hungry | fresh.done | fresh.working, 0u) << "a new object's lanes are idle";
    EXPECT_EQ(lanes.Step().working, 0u);

    for (std::size_t lane = 0; lane < width; ++lane)
        lanes.Start(lane);
    EXPECT_EQ(lanes.Report().hungry, (LaneMask{1} << width) - 1) << "started lanes with no bytes are hungry";
    // Lane 0 stays hungry; lane 1 is fed, abandoned and started anew.
    const std::size_t last = width - 1;
    lanes.Feed(last, Counter(), 3000);
    lanes.End(last);
    if (width > 2) {
        lanes.Feed(1, Counter() + 1, 5000);
        lanes.Step();
        lanes.Abandon(1);
        EXPECT_FALSE((lanes.Report().hungry | lanes.Report().working) & 2u);
        lanes.Start(1);
        lanes.Feed(1, Counter() + 2, 10000);
        lanes.Start(1);  // again: the 10000 bytes are dropped
        lanes.Feed(1, Counter() + 3, 70);
        lanes.End(1);
    }
    LaneReport r;
    do
        r = lanes.Step();
    while (r.working != 0);
    EXPECT_TRUE(r.done & (LaneMask{1} << last));
    EXPECT_EQ(Hex(lanes.TakeDigest(last)), OneShot<48>(Counter(), 3000));
    if (width > 2) {
        EXPECT_EQ(Hex(lanes.TakeDigest(1)), OneShot<48>(Counter() + 3, 70));
    }
    if (width > 1) {
        EXPECT_TRUE(r.hungry & 1u) << "lane 0 still waits for its bytes";
    }
}

// Step hands back as soon as one lane waits, while the others still have
// blocks: the caller refills that lane before the rest run dry.
TEST_P(Sha3LanesTest, StepReturnsAsSoonAsALaneWaits)
{
    Sha3_512Lanes lanes;
    const std::size_t width = lanes.Width();
    if (width < 2)
        GTEST_SKIP() << "one lane: nothing runs beside it";
    const auto length = [](std::size_t lane) { return (lane == 0 ? 100 : 1000) * std::size_t{72}; };
    for (std::size_t lane = 0; lane < width; ++lane) {
        lanes.Start(lane);
        lanes.Feed(lane, Counter(), length(lane));
    }
    LaneReport r = lanes.Step();
    EXPECT_EQ(r.hungry, 1u);
    EXPECT_EQ(r.working, ((LaneMask{1} << width) - 1) & ~LaneMask{1});
    // Lane 0 left hungry: the others go on to their own end.
    r = lanes.Step();
    EXPECT_EQ(r.hungry, (LaneMask{1} << width) - 1);
    EXPECT_EQ(r.working, 0u);
    for (std::size_t lane = 0; lane < width; ++lane)
        lanes.End(lane);
    while (lanes.Step().working != 0) {
    }
    for (std::size_t lane = 0; lane < width; ++lane)
        EXPECT_EQ(Hex(lanes.TakeDigest(lane)), OneShot<64>(Counter(), length(lane))) << "lane " << lane;
}

// Misuse is refused and changes nothing.
TEST_P(Sha3LanesTest, MisuseIsRefused)
{
    Sha3_224Lanes lanes;
    const std::size_t width = lanes.Width();
    const std::uint8_t* bytes = Counter();
    EXPECT_THROW(lanes.Start(width), std::logic_error);
    EXPECT_THROW(lanes.Abandon(width), std::logic_error);
    EXPECT_THROW(lanes.Feed(0, bytes, 10), std::logic_error) << "not started";
    EXPECT_THROW(lanes.End(0), std::logic_error) << "not started";
    EXPECT_THROW(lanes.TakeDigest(0), std::logic_error) << "not started";
    lanes.Start(0);
    lanes.Feed(0, bytes, 200);
    EXPECT_THROW(lanes.Feed(0, bytes + 200, 10), std::logic_error) << "still holds bytes";
    EXPECT_THROW(lanes.TakeDigest(0), std::logic_error) << "not done";
    lanes.End(0);
    EXPECT_THROW(lanes.End(0), std::logic_error) << "ended twice";
    EXPECT_THROW(lanes.Feed(0, bytes, 0), std::logic_error) << "ended";
    while (lanes.Step().working != 0) {
    }
    EXPECT_EQ(Hex(lanes.TakeDigest(0)), OneShot<28>(bytes, 200));
    EXPECT_THROW(lanes.TakeDigest(0), std::logic_error) << "taken twice";
}

INSTANTIATE_TEST_SUITE_P(Paths, Sha3LanesTest, testing::ValuesIn(kSha3LanePaths), PathParamName);

// ---------------------------------------------------------------- the lane routines

// Every message from random lanes over runs of blocks, each its own, with
// random sets of messages left out, at every rate: the messages that run
// meet the portable block routine, the others keep their lanes. The
// pointers of messages left out and past the width are null, so a routine
// that read them would crash.
class Sha3LaneRoutine : public testing::TestWithParam<Sha3LanePath> {
protected:
    void SetUp() override
    {
        if (!CpuRuns(GetParam()))
            GTEST_SKIP() << PathName(GetParam()) << ": this CPU or this build cannot run it";
    }
};

TEST_P(Sha3LaneRoutine, MatchesThePortableBlockRoutineInEveryLane)
{
    const Sha3LanesFn routine = PathFunction(GetParam());
    // The first path's routine takes any messages, one after another.
    const std::size_t width = GetParam() == Sha3LanePath::OneAtATime ? kMaxLanes : LaneWidth(GetParam());
    std::mt19937_64 rng(1600);
    for (const std::size_t rate : {8, 72, 104, 136, 144, 168, 200})
        for (std::size_t count = 0; count <= 6; ++count)
            for (int round = 0; round < 6; ++round) {
                const LaneMask active = round == 0 ? ~LaneMask{0} : static_cast<LaneMask>(rng());
                Sha3LaneStates start, got;
                const std::uint8_t* blocks[kMaxLanes];
                for (std::size_t lane = 0; lane < kMaxLanes; ++lane) {
                    for (auto& words : start.words)
                        words[lane] = rng();
                    const bool runs = lane < width && ((active >> lane) & 1);
                    blocks[lane] =
                        runs ? Counter() + (lane * 67 + count * 7 + static_cast<std::size_t>(round)) % 251 : nullptr;
                }
                got = start;
                routine(got, blocks, active, count, rate);
                for (std::size_t lane = 0; lane < kMaxLanes; ++lane) {
                    std::uint64_t want[25];
                    for (std::size_t i = 0; i < 25; ++i)
                        want[i] = start.words[i][lane];
                    if (blocks[lane] != nullptr)
                        Sha3BlocksPortable(want, blocks[lane], count, rate);
                    for (std::size_t i = 0; i < 25; ++i)
                        EXPECT_EQ(got.words[i][lane], want[i])
                            << "message " << lane << ", lane " << i << ", " << count << " blocks of " << rate
                            << ", messages " << std::hex << active;
                }
            }
}

INSTANTIATE_TEST_SUITE_P(Paths, Sha3LaneRoutine, testing::ValuesIn(kSha3LanePaths), PathParamName);

// ---------------------------------------------------------------- the choice

TEST(Sha3LaneChoice, TakesTheWidestPathThisCpuRuns)
{
    Sha3LanePath widest = Sha3LanePath::OneAtATime;
    for (const Sha3LanePath path : kSha3LanePaths)
        if (CpuRuns(path)) {
            EXPECT_TRUE(ProvesItself(PathFunction(path), LaneWidth(path))) << PathName(path);
            widest = path;
        }
    EXPECT_STREQ(PathName(ChosenPath<Sha3LanePath>()), PathName(widest));
    EXPECT_EQ(PathInUse<Sha3LanePath>(), ChosenPath<Sha3LanePath>());
}

// The samples run in every lane at once and lanes left out must keep their
// state: a routine wrong in one lane, one that also writes lanes left out,
// one that swaps two messages or steps a block of the wrong size is turned
// down; lanes past the width are not asked about.
TEST(Sha3LaneChoice, RoutinesThatGoWrongDoNotProveThemselves)
{
    using Blocks = const std::uint8_t* const*;
    const Sha3LanesFn lastLaneBroken = [](Sha3LaneStates& s, Blocks b, LaneMask m, std::size_t n, std::size_t rate) {
        Sha3LanesOneAtATime(s, b, m, n, rate);
        s.words[3][7] ^= (m >> 7) & 1;
    };
    const Sha3LanesFn everyLane = [](Sha3LaneStates& s, Blocks b, LaneMask, std::size_t n, std::size_t rate) {
        const std::uint8_t* all[kMaxLanes];
        for (std::size_t lane = 0; lane < kMaxLanes; ++lane)
            all[lane] = b[lane] != nullptr ? b[lane] : b[0] != nullptr ? b[0] : b[1];
        Sha3LanesOneAtATime(s, all, ~LaneMask{0}, n, rate);
    };
    const Sha3LanesFn firstTwoSwapped = [](Sha3LaneStates& s, Blocks b, LaneMask m, std::size_t n, std::size_t rate) {
        const std::uint8_t* swapped[kMaxLanes];
        std::memcpy(swapped, b, sizeof swapped);
        std::swap(swapped[0], swapped[1]);
        Sha3LanesOneAtATime(s, swapped, m, n, rate);
    };
    const Sha3LanesFn oneRate = [](Sha3LaneStates& s, Blocks b, LaneMask m, std::size_t n, std::size_t rate) {
        Sha3LanesOneAtATime(s, b, m, n * rate / 136, 136);
    };
    EXPECT_TRUE(ProvesItself(Sha3LanesOneAtATime, kMaxLanes));
    EXPECT_FALSE(ProvesItself(lastLaneBroken, 8));
    EXPECT_TRUE(ProvesItself(lastLaneBroken, 7)) << "the lanes past the width are not asked about";
    EXPECT_FALSE(ProvesItself(everyLane, 8));
    EXPECT_FALSE(ProvesItself(firstTwoSwapped, 8));
    EXPECT_FALSE(ProvesItself(oneRate, 8));
    EXPECT_FALSE(ProvesItself(Sha3LanesOneAtATime, 0));
    EXPECT_FALSE(ProvesItself(Sha3LanesOneAtATime, kMaxLanes + 1));
}

void BrokenLanes(Sha3LaneStates& states, const std::uint8_t* const* blocks, LaneMask active, std::size_t count,
                 std::size_t rate)
{
    Sha3LanesOneAtATime(states, blocks, active, count, rate);
    states.words[0][0] += 1;
}

TEST(Sha3LaneChoice, APathWhoseRoutineDoesNotProveItselfIsPassedOver)
{
    const auto everyPath = [](Sha3LanePath) { return true; };
    const auto firstOnly = [](Sha3LanePath p) { return p == Sha3LanePath::OneAtATime; };
    const auto sound = [](Sha3LanePath) { return Sha3LanesFn{Sha3LanesOneAtATime}; };
    const auto widestBroken = [](Sha3LanePath p) {
        return p == Sha3LanePath::OneAtATime ? Sha3LanesOneAtATime : BrokenLanes;
    };
    EXPECT_EQ(ChooseAmong(kSha3LanePaths, everyPath, sound), Sha3LanePath::Avx512);
    EXPECT_EQ(ChooseAmong(kSha3LanePaths, everyPath, widestBroken), Sha3LanePath::OneAtATime);
    EXPECT_EQ(ChooseAmong(kSha3LanePaths, firstOnly, sound), Sha3LanePath::OneAtATime);
}

TEST(Sha3LaneChoice, TheSeamRoutesTheLaneObjects)
{
    for (const Sha3LanePath path : kSha3LanePaths) {
        const Sha3LanePath before = PathInUse<Sha3LanePath>();
        EXPECT_EQ(ForcePath(path), CpuRuns(path)) << PathName(path);
        EXPECT_EQ(PathInUse<Sha3LanePath>(), CpuRuns(path) ? path : before) << PathName(path);
        if (CpuRuns(path)) {
            EXPECT_EQ(Sha3_256Lanes().Width(), LaneWidth(path)) << PathName(path);
        }
    }
    ForcePath(Sha3LanePath::OneAtATime);
    UseChosenPaths();
    EXPECT_EQ(PathInUse<Sha3LanePath>(), ChosenPath<Sha3LanePath>());
}

}  // namespace
