// The lane objects against the one-shot operations: every lane count up to
// the width, messages of every length ending in every lane at every block
// while others start, bytes in pieces of any size, keyed lanes beside plain
// ones, a long message beside short ones; MD5, SHA-1, SHA-256 and SHA-512,
// on every lane path, each forced.
#include "engine/lane_digests.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <random>
#include <stdexcept>
#include <string>
#include <tuple>
#include <type_traits>
#include <vector>

#include "engine/digest.h"
#include "engine/digest_paths.h"
#include "engine/path_choice.h"
#include "tests/engine/lane_setting.h"

namespace {

using namespace engine;

// A byte counter mod 251 (blocks taken twice, out of order or from another
// lane change the answer), with room for the longest message at any offset.
const std::uint8_t* Counter()
{
    static const std::vector<std::uint8_t> bytes = [] {
        std::vector<std::uint8_t> b((std::size_t{8} << 20) + 4096);
        for (std::size_t i = 0; i < b.size(); ++i)
            b[i] = static_cast<std::uint8_t>(i % 251);
        return b;
    }();
    return bytes.data();
}

struct Job {
    Job(const std::uint8_t* d, std::size_t n) : data(d), length(n) {}

    const std::uint8_t* data;
    std::size_t length;
    bool keyed = false;
    std::string key;
};

template <class K>
std::string OneShot(const Job& job)
{
    typename K::Digest d;
    if (job.keyed)
        K::Keyed(job.key, job.data, static_cast<std::int32_t>(job.length), d);
    else
        K::Plain(job.data, static_cast<std::int32_t>(job.length), d);
    return DigestToHexText(d);
}

template <class K>
std::string OneShot(const std::uint8_t* data, std::size_t length)
{
    return OneShot<K>(Job(data, length));
}

// How the driver hands a lane its bytes: the size of the next piece (the
// rest of the message at most), and whether End follows a Feed at once
// rather than once the lane is hungry again.
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
        const Job& job = jobs[lane][next[lane]];
        if (job.keyed)
            lanes.StartKeyed(lane, job.key);
        else
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
                results[lane].push_back(DigestToHexText(lanes.TakeDigest(lane)));
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
void ExpectOneShotResults(const std::vector<std::vector<Job>>& jobs,
                          const std::vector<std::vector<std::string>>& results, const std::string& what)
{
    ASSERT_EQ(results.size(), jobs.size());
    for (std::size_t lane = 0; lane < jobs.size(); ++lane) {
        ASSERT_EQ(results[lane].size(), jobs[lane].size()) << what << ", lane " << lane;
        for (std::size_t j = 0; j < jobs[lane].size(); ++j) {
            const Job& job = jobs[lane][j];
            EXPECT_EQ(results[lane][j], OneShot<K>(job))
                << what << ", lane " << lane << ", message " << j << " of " << job.length << " bytes"
                << (job.keyed ? ", key of " + std::to_string(job.key.size()) : std::string());
        }
    }
}

std::string RandomKey(std::size_t length, std::mt19937& rng)
{
    std::string key(length, '\0');
    for (char& c : key)
        c = static_cast<char>(rng());
    return key;
}

class LanesTest : public OnEveryLanePath {};

template <class K>
void TakesTheWidthOfItsPath(typename K::Path path)
{
    typename K::Lanes lanes;
    EXPECT_EQ(lanes.Width(), LaneWidth(path));
    EXPECT_STREQ(lanes.PathName(), PathName(path));
    // The object keeps its path when another is forced after it is made.
    ForcePath(typename K::Path{});
    EXPECT_EQ(lanes.Width(), LaneWidth(path));
}

TEST_P(LanesTest, TakesTheWidthOfItsPath)
{
    ForTheDigest([&]<class K>() { TakesTheWidthOfItsPath<K>(static_cast<typename K::Path>(GetParam().path)); });
}

// With every number of lanes in use, each lane digests every length from 0
// to 1024, the lanes in different orders, so that messages end in every
// lane at every block of the others (64 bytes, or SHA-512's 128), and a new
// one starts there.
TEST_P(LanesTest, EveryLengthUpTo1024InEveryLaneCount)
{
    const auto body = [&]<class K>() {
        const std::size_t width = typename K::Lanes().Width();
        for (std::size_t used = 1; used <= width && !HasFailure(); ++used) {
            std::vector<std::vector<Job>> jobs(used);
            for (std::size_t lane = 0; lane < used; ++lane)
                for (std::size_t j = 0; j <= 1024; ++j) {
                    const std::size_t length = (j * (2 * lane + 1) + 97 * lane) % 1025;
                    jobs[lane].emplace_back(Counter() + (lane * 13 + j) % 4096, length);
                }
            typename K::Lanes lanes;
            ExpectOneShotResults<K>(jobs, Drive(lanes, jobs), std::to_string(used) + " lanes");
        }
    };
    ForTheDigest(body);
    if (CarriesTruncatedDigests())
        ForTheDigest<Md5Kind, Sha1Kind, Sha224Kind, Sha384Kind>(body);
}

// Pieces of random sizes, zero among them, a block begun in one piece and
// completed in the next; End sometimes right after the last piece, while
// the lane still holds it, sometimes once the lane is hungry again; Feed
// sometimes right after Start.
TEST_P(LanesTest, BytesInPiecesOfAnySize)
{
    ForTheDigest([&]<class K>() {
        std::mt19937 rng(1321);
        const std::size_t width = typename K::Lanes().Width();
        Feeding feeding;
        feeding.piece = [&](std::size_t) -> std::size_t {
            switch (rng() % 4) {
            case 0:
                return rng() % 8;
            case 1:
                return K::kBlock - 8 + rng() % 16;
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
            for (int j = 0; j < 60; ++j)
                jobs[lane].emplace_back(Counter() + rng() % 4096, rng() % 2 ? rng() % 200 : rng() % 20000);
        typename K::Lanes lanes;
        ExpectOneShotResults<K>(jobs, Drive(lanes, jobs, feeding), "random pieces");
    });
}

// Keys shorter than a block, of a block, and longer (hashed first), the
// empty key among them, keyed lanes beside plain ones; then RFC 2202's and
// RFC 4231's cases with a short and a hashed key in every lane at once.
// SHA-512's block, and so its keys' lengths, are twice the others'.
TEST_P(LanesTest, KeyedLanesGiveTheOneShotHmac)
{
    const auto body = [&]<class K>() {
        std::mt19937 rng(2104);
        const std::size_t width = typename K::Lanes().Width();
        constexpr std::size_t b = K::kBlock;
        const std::size_t keyLengths[] = {0, 1, 16, b - 1, b, b + 1, b + 36, 3 * b + 8};
        std::vector<std::vector<Job>> jobs(width);
        for (std::size_t lane = 0; lane < width; ++lane)
            for (std::size_t j = 0; j < 40; ++j) {
                Job& job =
                    jobs[lane].emplace_back(Counter() + rng() % 4096, rng() % 3 == 0 ? rng() % 3000 : rng() % 150);
                job.keyed = (lane + j) % 4 != 3;
                if (job.keyed)
                    job.key = RandomKey(keyLengths[(lane + j) % std::size(keyLengths)], rng);
            }
        typename K::Lanes lanes;
        Feeding feeding;
        feeding.piece = [&](std::size_t rest) { return rng() % 2 ? rest : 1 + rng() % 130; };
        ExpectOneShotResults<K>(jobs, Drive(lanes, jobs, feeding), "keyed");

        const std::string hi = "Hi There", larger = "Test Using Larger Than Block-Size Key - Hash Key First";
        std::vector<std::tuple<std::string, std::string, const char*>> cases;
        if constexpr (std::is_same_v<K, Md5Kind>) {
            cases = {{std::string(16, '\x0b'), hi, "9294727a3638bb1c13f48ef8158bfc9d"},
                     {std::string(80, '\xaa'), larger, "6b1ab7fe4bd7bf8f0b62e6ce61b9d0cd"}};
        } else if constexpr (std::is_same_v<K, Sha1Kind>) {
            cases = {{std::string(20, '\x0b'), hi, "b617318655057264e28bc0b6fb378c8ef146be00"},
                     {std::string(80, '\xaa'), larger, "aa4ae5e15272d00e95705637ce8a3b55ed402112"}};
        } else if constexpr (std::is_same_v<K, Sha256Kind>) {
            cases = {
                {std::string(20, '\x0b'), hi, "b0344c61d8db38535ca8afceaf0bf12b881dc200c9833da726e9376c2e32cff7"},
                {std::string(131, '\xaa'), larger, "60e431591ee0b67f0d8a26aacbf5b77f8e0bc6213728c5140546040f0ee37f54"}};
        } else if constexpr (std::is_same_v<K, Sha224Kind>) {
            cases = {{std::string(20, '\x0b'), hi, "896fb1128abbdf196832107cd49df33f47b4b1169912ba4f53684b22"},
                     {std::string(131, '\xaa'), larger, "95e9a0db962095adaebe9b2d6f0dbce2d499f112f2d2b7273fa6870e"}};
        } else if constexpr (std::is_same_v<K, Sha384Kind>) {
            cases = {{std::string(20, '\x0b'), hi,
                      "afd03944d84895626b0825f4ab46907f15f9dadbe4101ec682aa034c7cebc59c"
                      "faea9ea9076ede7f4af152e8b2fa9cb6"},
                     {std::string(131, '\xaa'), larger,
                      "4ece084485813e9088d2c63a041bc5b44f9ef1012a2b588f3cd11f05033ac4c6"
                      "0c2ef6ab4030fe8296248df163f44952"}};
        } else {
            cases = {{std::string(20, '\x0b'), hi,
                      "87aa7cdea5ef619d4ff0b4241a1d6cb02379f4e2ce4ec2787ad0b30545e17cde"
                      "daa833b7d6b8a702038b274eaea3f4e4be9d914eeb61f1702e696c203a126854"},
                     {std::string(131, '\xaa'), larger,
                      "80b24263c7c1a3ebb71493c1dd7be8b49b46d1f41b4aeec1121b013783f8f352"
                      "6b56d037e05f2598bd0fd2215d6a1e5295e64f73f63f0aec8b915a985d786598"}};
        }
        for (const auto& [key, text, hex] : cases) {
            for (std::size_t lane = 0; lane < width; ++lane) {
                lanes.StartKeyed(lane, key);
                lanes.Feed(lane, reinterpret_cast<const std::uint8_t*>(text.data()), text.size());
                lanes.End(lane);
            }
            while (lanes.Step().working != 0) {
            }
            for (std::size_t lane = 0; lane < width; ++lane)
                EXPECT_EQ(DigestToHexText(lanes.TakeDigest(lane)), hex) << "lane " << lane;
        }
    };
    ForTheDigest(body);
    if (CarriesTruncatedDigests())
        ForTheDigest<Md5Kind, Sha1Kind, Sha224Kind, Sha384Kind>(body);
}

// Lane 0 digests 5 MiB and some, fed in windows of 1 MiB, while the others
// go through short messages one after another.
TEST_P(LanesTest, ALongMessageBesideShortOnes)
{
    ForTheDigest([&]<class K>() {
        std::mt19937 rng(1024);
        const std::size_t width = typename K::Lanes().Width();
        std::vector<std::vector<Job>> jobs(width);
        jobs[0].emplace_back(Counter() + 5, (std::size_t{5} << 20) + 77);
        jobs[0].emplace_back(Counter() + 9, 100);
        for (std::size_t lane = 1; lane < width; ++lane)
            for (int j = 0; j < 300; ++j)
                jobs[lane].emplace_back(Counter() + rng() % 4096, rng() % 700);
        Feeding feeding;
        feeding.piece = [](std::size_t rest) { return std::min(rest, std::size_t{1} << 20); };
        typename K::Lanes lanes;
        ExpectOneShotResults<K>(jobs, Drive(lanes, jobs, feeding), "long beside short");
    });
}

// Once Step reports a lane hungry, its bytes are the caller's again: the
// lane has copied what it still needs of them.
TEST_P(LanesTest, AHungryLaneNoLongerReadsTheCallersBytes)
{
    ForTheDigest([&]<class K>() {
        const std::size_t width = typename K::Lanes().Width();
        std::vector<std::vector<std::uint8_t>> buffers(width);
        typename K::Lanes lanes;
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
            EXPECT_EQ(DigestToHexText(lanes.TakeDigest(lane)), OneShot<K>(Counter() + lane, 1000 + 61 * lane))
                << "lane " << lane;
    });
}

// A lane left hungry does not hold the others up; a lane abandoned or
// started anew mid-message forgets it.
TEST_P(LanesTest, LanesGoOnWithoutTheOthers)
{
    ForTheDigest([&]<class K>() {
        const std::size_t width = typename K::Lanes().Width();
        typename K::Lanes lanes;
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
        EXPECT_EQ(DigestToHexText(lanes.TakeDigest(last)), OneShot<K>(Counter(), 3000));
        if (width > 2) {
            EXPECT_EQ(DigestToHexText(lanes.TakeDigest(1)), OneShot<K>(Counter() + 3, 70));
        }
        if (width > 1) {
            EXPECT_TRUE(r.hungry & 1u) << "lane 0 still waits for its bytes";
        }
    });
}

// Step hands back as soon as one lane waits, while the others still have
// blocks: the caller refills that lane before the rest run dry.
TEST_P(LanesTest, StepReturnsAsSoonAsALaneWaits)
{
    ForTheDigest([&]<class K>() {
        const std::size_t width = typename K::Lanes().Width();
        if (width < 2)
            GTEST_SKIP() << "one lane: nothing runs beside it";
        typename K::Lanes lanes;
        const auto length = [](std::size_t lane) { return (lane == 0 ? 100 : 1000) * K::kBlock; };
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
            EXPECT_EQ(DigestToHexText(lanes.TakeDigest(lane)), OneShot<K>(Counter(), length(lane))) << "lane " << lane;
    });
}

// Misuse is refused and changes nothing.
TEST_P(LanesTest, MisuseIsRefused)
{
    ForTheDigest([&]<class K>() {
        const std::size_t width = typename K::Lanes().Width();
        typename K::Lanes lanes;
        const std::uint8_t* bytes = Counter();
        EXPECT_THROW(lanes.Start(width), std::logic_error);
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
        EXPECT_EQ(DigestToHexText(lanes.TakeDigest(0)), OneShot<K>(bytes, 200));
        EXPECT_THROW(lanes.TakeDigest(0), std::logic_error) << "taken twice";
    });
}

VELLUMARK_ON_EVERY_LANE_PATH(LanesTest);

// 512 MiB and a byte of zeros, fed as one window of 1 MiB over and over:
// the first length whose bit count needs more than 32 bits. The answers are
// md5sum's, sha1sum's, sha256sum's and sha512sum's over as many zeros from
// /dev/zero (the window digests' tests hold the same). The
// count and the padding are the lane object's, the same on every path; the
// one-lane paths digest a single message fastest.
template <class Lanes>
void ExpectZerosPast32Bits(const char* hex)
{
    const std::vector<std::uint8_t> zeros(std::size_t{1} << 20, 0);
    Lanes lanes;
    const std::size_t width = lanes.Width();
    std::vector<std::size_t> windows(width, 0);
    for (std::size_t lane = 0; lane < width; ++lane)
        lanes.Start(lane);
    for (;;) {
        const LaneReport r = lanes.Step();
        if (r.hungry == 0 && r.working == 0)
            break;
        for (std::size_t lane = 0; lane < width; ++lane)
            if ((r.hungry >> lane) & 1) {
                if (windows[lane] < 512) {
                    lanes.Feed(lane, zeros.data(), zeros.size());
                } else {
                    lanes.Feed(lane, zeros.data(), 1);
                    lanes.End(lane);
                }
                ++windows[lane];
            }
    }
    for (std::size_t lane = 0; lane < width; ++lane)
        EXPECT_EQ(DigestToHexText(lanes.TakeDigest(lane)), hex) << lanes.PathName() << ", lane " << lane;
}

TEST(LanesLong, CountsPastWhat32BitsHold)
{
    ForcePath(Md5LanePath::Portable);
    ForcePath(Sha1LanePath::OneAtATime);
    ForcePath(Sha256LanePath::OneAtATime);
    ForcePath(Sha512LanePath::OneAtATime);
    ExpectZerosPast32Bits<Md5Lanes>("ea3b62c6b93cb3625a1fd76777985f5a");
    ExpectZerosPast32Bits<Sha1Lanes>("3e1bb536d18494c32e66ef9f479d65bbe0d863de");
    ExpectZerosPast32Bits<Sha256Lanes>("7c40fe5ce847740d0f0d0cdde3949d6585804cdec3ae61a15b923165699c8137");
    ExpectZerosPast32Bits<Sha512Lanes>(
        "8165468866efe161e7d5394bcb5a72bb5dd30e8584ce00a5f87a89c861464ae5"
        "ee9bfbbe542d3a80f86f83f2ebeaf2757beffc96e4c0431395bd94284f3c766e");
    UseChosenPaths();
}

}  // namespace
