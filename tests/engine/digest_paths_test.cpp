// Every accelerated routine against the portable one, and the choice among
// them: the widest path the CPU runs is taken, a routine that gets the known
// vector wrong is not, and the test seam really routes the computations.
#include <gtest/gtest.h>

#include <cctype>
#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "engine/digest.h"
#include "engine/digest_paths.h"
#include "engine/path_choice.h"

namespace {

using namespace engine;

// A byte counter mod 251, so that blocks or lanes taken in the wrong order,
// or twice, change the answer. The returned start is 64-byte aligned, with
// room behind it for the largest message at any offset up to 63.
const std::uint8_t* Counter()
{
    static const std::vector<std::uint8_t> bytes = [] {
        std::vector<std::uint8_t> b((std::size_t{1} << 20) + 256);
        for (std::size_t i = 0; i < b.size(); ++i)
            b[i] = static_cast<std::uint8_t>(i % 251);
        return b;
    }();
    const auto address = reinterpret_cast<std::uintptr_t>(bytes.data());
    return bytes.data() + (64 - address % 64) % 64;
}

// A routine's path as the parameter; a path this CPU or this build cannot
// run is skipped, saying so.
template <class Path>
class PathRoutine : public testing::TestWithParam<Path> {
protected:
    void SetUp() override
    {
        if (!CpuRuns(this->GetParam()))
            GTEST_SKIP() << PathName(this->GetParam()) << ": this CPU or this build cannot run it";
    }
};

// ---------------------------------------------------------------- CRC-32

class Crc32Routine : public PathRoutine<Crc32Path> {
protected:
    // The routine and the table agree from this register over these bytes.
    void ExpectSame(std::uint32_t start, std::size_t offset, std::size_t length)
    {
        const std::uint8_t* p = Counter() + offset;
        EXPECT_EQ(PathFunction(GetParam())(start, p, length), Crc32UpdatePortable(start, p, length))
            << "length " << length << ", offset " << offset << ", register " << std::hex << start;
    }
};

// Any register, not only the usual start: it enters the first lane.
TEST_P(Crc32Routine, MatchesTheTableOnEveryLengthUpTo1024)
{
    for (std::size_t length = 0; length <= 1024 && !HasFailure(); ++length)
        for (std::uint32_t start : {0xFFFFFFFFu, 0u, 0x9E3779B9u})
            ExpectSame(start, length % 64, length);
}

TEST_P(Crc32Routine, MatchesTheTableAtEveryAlignment)
{
    for (std::size_t length : {63, 64, 127, 128, 255, 256, 257, 511, 512, 513, 767, 1000, 2049})
        for (std::size_t offset = 0; offset < 64; ++offset)
            ExpectSame(0xFFFFFFFFu, offset, length);
}

TEST_P(Crc32Routine, MatchesTheTableOnLargeMessages)
{
    for (std::size_t length : {(std::size_t{64} << 10) + 5, std::size_t{1} << 20, (std::size_t{1} << 20) + 63})
        for (std::size_t offset : {0, 1, 33})
            ExpectSame(0xFFFFFFFFu, offset, length);
}

INSTANTIATE_TEST_SUITE_P(Paths, Crc32Routine,
                         testing::Values(Crc32Path::Clmul, Crc32Path::VpclmulAvx2, Crc32Path::VpclmulAvx512),
                         [](const testing::TestParamInfo<Crc32Path>& info) {
                             switch (info.param) {
                             case Crc32Path::Clmul:
                                 return "Clmul";
                             case Crc32Path::VpclmulAvx2:
                                 return "VpclmulAvx2";
                             default:
                                 return "VpclmulAvx512";
                             }
                         });

// ---------------------------------------------------------------- one message

// A one-message block function's path against the portable one: its public
// operations, plain and keyed, and the block function itself.
template <class Path, class Digest, auto kPlain, auto kKeyed, auto kPortable>
class OneMessageRoutine : public PathRoutine<Path> {
protected:
    void TearDown() override { UseChosenPaths(); }

    struct Results {
        Digest plain, keyed;
    };
    // The public operations over the counter on the given path.
    static Results On(Path path, const std::string& key, std::size_t offset, std::size_t length)
    {
        EXPECT_TRUE(ForcePath(path));
        Results r;
        kPlain(Counter() + offset, static_cast<std::int32_t>(length), r.plain);
        kKeyed(key, Counter() + offset, static_cast<std::int32_t>(length), r.keyed);
        return r;
    }
    void ExpectSame(const std::string& key, std::size_t offset, std::size_t length)
    {
        const Results want = On(Path::Portable, key, offset, length);
        const Results got = On(this->GetParam(), key, offset, length);
        EXPECT_EQ(DigestToHexText(got.plain), DigestToHexText(want.plain))
            << "length " << length << ", offset " << offset;
        EXPECT_EQ(DigestToHexText(got.keyed), DigestToHexText(want.keyed))
            << "length " << length << ", offset " << offset << ", key " << key.size();
    }

    // Runs of any number of blocks from random states: the state must travel
    // from block to block in the registers and come out whole, however the
    // routine groups the blocks and whatever block is left over after them.
    void ExpectTheBlockFunctionFromAnyState(std::uint32_t seed)
    {
        std::mt19937 rng(seed);
        for (std::size_t count = 0; count <= 20; ++count)
            for (int round = 0; round < 4; ++round) {
                Digest start;
                for (auto& b : start.bytes)
                    b = static_cast<std::uint8_t>(rng());
                Digest want = start, got = start;
                const std::uint8_t* blocks = Counter() + (count * 7 + static_cast<std::size_t>(round)) % 64;
                kPortable(want, blocks, count);
                PathFunction(this->GetParam())(got, blocks, count);
                EXPECT_EQ(0, std::memcmp(got.bytes, want.bytes, sizeof want.bytes)) << count << " blocks";
            }
    }

    // Keys of every length below keyLengths: short, whole-block and hashed.
    void ExpectEveryLengthUpTo1024(std::uint32_t seed, std::size_t keyLengths)
    {
        std::mt19937 rng(seed);
        for (std::size_t length = 0; length <= 1024 && !this->HasFailure(); ++length) {
            std::string key(length % keyLengths, '\0');
            for (char& c : key)
                c = static_cast<char>(rng());
            ExpectSame(key, length % 64, length);
        }
    }

    // Every start in a 64-byte line.
    void ExpectEveryAlignment(std::initializer_list<std::size_t> lengths)
    {
        for (std::size_t length : lengths)
            for (std::size_t offset = 0; offset < 64; ++offset)
                ExpectSame("key", offset, length);
    }

    void ExpectLargeMessages(std::initializer_list<std::size_t> lengths)
    {
        for (std::size_t length : lengths)
            for (std::size_t offset : {0, 5})
                ExpectSame("key", offset, length);
    }
};

// ---------------------------------------------------------------- SHA-1

using Sha1Routine = OneMessageRoutine<Sha1Path, Sha1Digest, Sha1OfBytes, HmacSha1OfBytes, Sha1CompressPortable>;

TEST_P(Sha1Routine, MatchesThePortableBlockFunctionFromAnyState)
{
    ExpectTheBlockFunctionFromAnyState(180);
}

TEST_P(Sha1Routine, MatchesThePortablePathOnEveryLengthUpTo1024)
{
    ExpectEveryLengthUpTo1024(181, 131);
}

TEST_P(Sha1Routine, MatchesThePortablePathOnLargeMessages)
{
    ExpectLargeMessages({(std::size_t{1} << 20) + 61});
}

INSTANTIATE_TEST_SUITE_P(Paths, Sha1Routine, testing::Values(Sha1Path::ShaNi),
                         [](const testing::TestParamInfo<Sha1Path>&) { return "ShaNi"; });

// ---------------------------------------------------------------- SHA-256

using Sha256Routine =
    OneMessageRoutine<Sha256Path, Sha256Digest, Sha256OfBytes, HmacSha256OfBytes, Sha256CompressPortable>;

TEST_P(Sha256Routine, MatchesThePortableBlockFunctionFromAnyState)
{
    ExpectTheBlockFunctionFromAnyState(1804);
}

TEST_P(Sha256Routine, MatchesThePortablePathOnEveryLengthUpTo1024)
{
    ExpectEveryLengthUpTo1024(1805, 131);
}

// Lengths about the padding's boundaries.
TEST_P(Sha256Routine, MatchesThePortablePathAtEveryAlignment)
{
    ExpectEveryAlignment({55, 56, 64, 119, 120, 128, 200, 1000});
}

TEST_P(Sha256Routine, MatchesThePortablePathOnLargeMessages)
{
    ExpectLargeMessages({std::size_t{64} << 10, std::size_t{1} << 20, (std::size_t{1} << 20) + 61});
}

INSTANTIATE_TEST_SUITE_P(Paths, Sha256Routine, testing::Values(Sha256Path::ShaNi),
                         [](const testing::TestParamInfo<Sha256Path>&) { return "ShaNi"; });

// ---------------------------------------------------------------- lanes

// Every lane from random chaining words over runs of blocks, each lane its
// own, with random sets of lanes left out: the lanes that run meet the
// portable one-message block function, the others keep their words. The
// pointers of lanes left out and past the width are null, so a routine that
// read them would crash.
template <std::size_t kWords, class Word, class Digest>
void ExpectEveryLaneMeetsTheOneMessageFunction(void (*lanes)(LaneStates<kWords, Word>&, const std::uint8_t* const*,
                                                             LaneMask, std::size_t),
                                               std::size_t width,
                                               void (*compress)(Digest&, const std::uint8_t*, std::size_t))
{
    static_assert(sizeof(Digest) == sizeof(Word) * kWords);
    std::mt19937_64 rng(1321);
    for (std::size_t count = 0; count <= 9; ++count)
        for (int round = 0; round < 8; ++round) {
            const LaneMask active = round == 0 ? ~LaneMask{0} : static_cast<LaneMask>(rng());
            LaneStates<kWords, Word> start, got;
            const std::uint8_t* blocks[kMaxLanes];
            for (std::size_t lane = 0; lane < kMaxLanes; ++lane) {
                for (auto& words : start.words)
                    words[lane] = static_cast<Word>(rng());
                const bool runs = lane < width && ((active >> lane) & 1);
                blocks[lane] =
                    runs ? Counter() + (lane * 67 + count * 7 + static_cast<std::size_t>(round)) % 251 : nullptr;
            }
            got = start;
            lanes(got, blocks, active, count);
            for (std::size_t lane = 0; lane < kMaxLanes; ++lane) {
                Digest want;  // the words little-endian, as this host has them
                for (std::size_t w = 0; w < kWords; ++w)
                    std::memcpy(want.bytes + sizeof(Word) * w, &start.words[w][lane], sizeof(Word));
                if (blocks[lane] != nullptr)
                    compress(want, blocks[lane], count);
                for (std::size_t w = 0; w < kWords; ++w) {
                    Word word;
                    std::memcpy(&word, want.bytes + sizeof(Word) * w, sizeof(Word));
                    EXPECT_EQ(got.words[w][lane], word) << "lane " << lane << ", word " << w << ", " << count
                                                        << " blocks, lanes " << std::hex << active;
                }
            }
        }
}

// The first path's routine takes every lane, one after another, though the
// lane objects give it one.
template <class Path>
std::size_t RoutineWidth(Path path)
{
    return path == Path{} ? kMaxLanes : LaneWidth(path);
}

using Md5LanesRoutine = PathRoutine<Md5LanePath>;
using Sha1LanesRoutine = PathRoutine<Sha1LanePath>;
using Sha256LanesRoutine = PathRoutine<Sha256LanePath>;
using Sha512LanesRoutine = PathRoutine<Sha512LanePath>;

TEST_P(Md5LanesRoutine, MatchesTheOneMessageBlockFunctionInEveryLane)
{
    ExpectEveryLaneMeetsTheOneMessageFunction(PathFunction(GetParam()), RoutineWidth(GetParam()), Md5Compress);
}

TEST_P(Sha1LanesRoutine, MatchesThePortableBlockFunctionInEveryLane)
{
    ExpectEveryLaneMeetsTheOneMessageFunction(PathFunction(GetParam()), RoutineWidth(GetParam()), Sha1CompressPortable);
}

TEST_P(Sha256LanesRoutine, MatchesThePortableBlockFunctionInEveryLane)
{
    ExpectEveryLaneMeetsTheOneMessageFunction(PathFunction(GetParam()), RoutineWidth(GetParam()),
                                              Sha256CompressPortable);
}

TEST_P(Sha512LanesRoutine, MatchesThePortableBlockFunctionInEveryLane)
{
    ExpectEveryLaneMeetsTheOneMessageFunction(PathFunction(GetParam()), RoutineWidth(GetParam()),
                                              Sha512CompressPortable);
}

template <class Path>
std::string LanePathParamName(const testing::TestParamInfo<Path>& info)
{
    std::string name;
    for (const char c : std::string(PathName(info.param)))
        if (std::isalnum(static_cast<unsigned char>(c)))
            name += c;
    return name;
}

INSTANTIATE_TEST_SUITE_P(Paths, Md5LanesRoutine, testing::ValuesIn(kMd5LanePaths), LanePathParamName<Md5LanePath>);
INSTANTIATE_TEST_SUITE_P(Paths, Sha1LanesRoutine, testing::ValuesIn(kSha1LanePaths), LanePathParamName<Sha1LanePath>);
INSTANTIATE_TEST_SUITE_P(Paths, Sha256LanesRoutine, testing::ValuesIn(kSha256LanePaths),
                         LanePathParamName<Sha256LanePath>);
INSTANTIATE_TEST_SUITE_P(Paths, Sha512LanesRoutine, testing::ValuesIn(kSha512LanePaths),
                         LanePathParamName<Sha512LanePath>);

// ---------------------------------------------------------------- SHA-512

using Sha512Routine =
    OneMessageRoutine<Sha512Path, Sha512Digest, Sha512OfBytes, HmacSha512OfBytes, Sha512CompressPortable>;

TEST_P(Sha512Routine, MatchesThePortableBlockFunctionFromAnyState)
{
    ExpectTheBlockFunctionFromAnyState(1805);
}

TEST_P(Sha512Routine, MatchesThePortablePathOnEveryLengthUpTo1024)
{
    ExpectEveryLengthUpTo1024(1806, 259);
}

// Lengths about the padding's boundaries.
TEST_P(Sha512Routine, MatchesThePortablePathAtEveryAlignment)
{
    ExpectEveryAlignment({111, 112, 127, 128, 239, 240, 256, 383, 512, 1000});
}

TEST_P(Sha512Routine, MatchesThePortablePathOnLargeMessages)
{
    ExpectLargeMessages({std::size_t{64} << 10, std::size_t{1} << 20, (std::size_t{1} << 20) + 61});
}

INSTANTIATE_TEST_SUITE_P(Paths, Sha512Routine, testing::Values(Sha512Path::Avx2, Sha512Path::Avx512),
                         [](const testing::TestParamInfo<Sha512Path>& info) {
                             return info.param == Sha512Path::Avx2 ? "Avx2" : "Avx512";
                         });

// ---------------------------------------------------------------- the choice

// The widest of the paths (widest last) that this CPU runs, each of which
// proves itself: a lane routine in as many lanes as it takes.
template <class Path, std::size_t kCount>
Path WidestProvingItself(const Path (&paths)[kCount])
{
    Path widest = paths[0];
    for (Path path : paths)
        if (CpuRuns(path)) {
            if constexpr (requires { ProvesItself(PathFunction(path), LaneWidth(path)); })
                EXPECT_TRUE(ProvesItself(PathFunction(path), RoutineWidth(path))) << PathName(path);
            else
                EXPECT_TRUE(ProvesItself(PathFunction(path))) << PathName(path);
            widest = path;
        }
    return widest;
}

TEST(PathChoice, TakesTheWidestPathThisCpuRuns)
{
    EXPECT_STREQ(PathName(ChosenPath<Sha1Path>()), PathName(WidestProvingItself(kSha1Paths)));
    EXPECT_STREQ(PathName(ChosenPath<Sha256Path>()), PathName(WidestProvingItself(kSha256Paths)));
    EXPECT_STREQ(PathName(ChosenPath<Sha512Path>()), PathName(WidestProvingItself(kSha512Paths)));
    EXPECT_STREQ(PathName(ChosenPath<Crc32Path>()), PathName(WidestProvingItself(kCrc32Paths)));
    EXPECT_STREQ(PathName(ChosenPath<Md5LanePath>()), PathName(WidestProvingItself(kMd5LanePaths)));
    EXPECT_STREQ(PathName(ChosenPath<Sha1LanePath>()), PathName(WidestProvingItself(kSha1LanePaths)));
    EXPECT_STREQ(PathName(ChosenPath<Sha256LanePath>()), PathName(WidestProvingItself(kSha256LanePaths)));
    EXPECT_STREQ(PathName(ChosenPath<Sha512LanePath>()), PathName(WidestProvingItself(kSha512LanePaths)));
    EXPECT_EQ(PathInUse<Md5LanePath>(), ChosenPath<Md5LanePath>());
    EXPECT_EQ(PathInUse<Sha1LanePath>(), ChosenPath<Sha1LanePath>());
    EXPECT_EQ(PathInUse<Sha256LanePath>(), ChosenPath<Sha256LanePath>());
    EXPECT_EQ(PathInUse<Sha512LanePath>(), ChosenPath<Sha512LanePath>());
    EXPECT_EQ(RoutineInUse<Sha1Path>(), PathFunction(ChosenPath<Sha1Path>()));
    EXPECT_EQ(RoutineInUse<Sha256Path>(), PathFunction(ChosenPath<Sha256Path>()));
    EXPECT_EQ(RoutineInUse<Sha512Path>(), PathFunction(ChosenPath<Sha512Path>()));
    EXPECT_EQ(RoutineInUse<Crc32Path>(), PathFunction(ChosenPath<Crc32Path>()));
}

// The known vectors are long, unaligned and several blocks: a routine wrong
// in any of those ways is turned down.
TEST(PathChoice, RoutinesThatGoWrongDoNotProveThemselves)
{
    const Sha1CompressFn firstBlockOnly = [](Sha1Digest& s, const std::uint8_t* b, std::size_t n) {
        Sha1CompressPortable(s, b, n > 0 ? 1 : 0);
    };
    const Sha1CompressFn lastBlockFirst = [](Sha1Digest& s, const std::uint8_t* b, std::size_t n) {
        for (std::size_t i = n; i > 0; --i)
            Sha1CompressPortable(s, b + (i - 1) * kBlockSize, 1);
    };
    const Sha1CompressFn alignedOnly = [](Sha1Digest& s, const std::uint8_t* b, std::size_t n) {
        if (reinterpret_cast<std::uintptr_t>(b) % 16 == 0)
            Sha1CompressPortable(s, b, n);
    };
    // Right over two blocks at once, wrong when a call has an odd one left:
    // only blocks handed over one by one show it.
    const Sha1CompressFn pairsOnly = [](Sha1Digest& s, const std::uint8_t* b, std::size_t n) {
        Sha1CompressPortable(s, b, n - n % 2);
    };
    EXPECT_TRUE(ProvesItself(Sha1CompressPortable));
    EXPECT_FALSE(ProvesItself(firstBlockOnly));
    EXPECT_FALSE(ProvesItself(lastBlockFirst));
    EXPECT_FALSE(ProvesItself(alignedOnly));
    EXPECT_FALSE(ProvesItself(pairsOnly));

    // SHA-256 likewise, and a routine right for one block at a time only, or
    // for runs of blocks only, fails one of the two ways of calling it.
    const Sha256CompressFn firstBlockOnly256 = [](Sha256Digest& s, const std::uint8_t* b, std::size_t n) {
        Sha256CompressPortable(s, b, n > 0 ? 1 : 0);
    };
    const Sha256CompressFn lastBlockFirst256 = [](Sha256Digest& s, const std::uint8_t* b, std::size_t n) {
        for (std::size_t i = n; i > 0; --i)
            Sha256CompressPortable(s, b + (i - 1) * kBlockSize, 1);
    };
    const Sha256CompressFn alignedOnly256 = [](Sha256Digest& s, const std::uint8_t* b, std::size_t n) {
        if (reinterpret_cast<std::uintptr_t>(b) % 16 == 0)
            Sha256CompressPortable(s, b, n);
    };
    const Sha256CompressFn runsOnly256 = [](Sha256Digest& s, const std::uint8_t* b, std::size_t n) {
        if (n > 1)
            Sha256CompressPortable(s, b, n);
    };
    EXPECT_TRUE(ProvesItself(Sha256CompressPortable));
    EXPECT_FALSE(ProvesItself(firstBlockOnly256));
    EXPECT_FALSE(ProvesItself(lastBlockFirst256));
    EXPECT_FALSE(ProvesItself(alignedOnly256));
    EXPECT_FALSE(ProvesItself(runsOnly256));

    // SHA-512's routines take blocks in groups: one that goes wrong on a
    // group of four, or on what is left after groups of two, is turned down
    // too, as is one wrong on any block after the first.
    const Sha512CompressFn firstBlockOnly512 = [](Sha512Digest& s, const std::uint8_t* b, std::size_t n) {
        Sha512CompressPortable(s, b, n > 0 ? 1 : 0);
    };
    const Sha512CompressFn lastBlockFirst512 = [](Sha512Digest& s, const std::uint8_t* b, std::size_t n) {
        for (std::size_t i = n; i > 0; --i)
            Sha512CompressPortable(s, b + (i - 1) * kSha512BlockSize, 1);
    };
    const Sha512CompressFn alignedOnly512 = [](Sha512Digest& s, const std::uint8_t* b, std::size_t n) {
        if (reinterpret_cast<std::uintptr_t>(b) % 16 == 0)
            Sha512CompressPortable(s, b, n);
    };
    const Sha512CompressFn pairsOnly512 = [](Sha512Digest& s, const std::uint8_t* b, std::size_t n) {
        Sha512CompressPortable(s, b, n - n % 2);
    };
    const Sha512CompressFn stopsAfterFour512 = [](Sha512Digest& s, const std::uint8_t* b, std::size_t n) {
        Sha512CompressPortable(s, b, n > 4 ? 4 : n);
    };
    const Sha512CompressFn runsOnly512 = [](Sha512Digest& s, const std::uint8_t* b, std::size_t n) {
        if (n > 1)
            Sha512CompressPortable(s, b, n);
    };
    EXPECT_TRUE(ProvesItself(Sha512CompressPortable));
    EXPECT_FALSE(ProvesItself(firstBlockOnly512));
    EXPECT_FALSE(ProvesItself(lastBlockFirst512));
    EXPECT_FALSE(ProvesItself(alignedOnly512));
    EXPECT_FALSE(ProvesItself(pairsOnly512));
    EXPECT_FALSE(ProvesItself(stopsAfterFour512));
    EXPECT_FALSE(ProvesItself(runsOnly512));

    const Crc32UpdateFn dropsTheLastByte = [](std::uint32_t crc, const std::uint8_t* p, std::size_t n) {
        return Crc32UpdatePortable(crc, p, n > 0 ? n - 1 : 0);
    };
    const Crc32UpdateFn shortOnly = [](std::uint32_t crc, const std::uint8_t* p, std::size_t n) {
        return n <= 256 ? Crc32UpdatePortable(crc, p, n) : crc;
    };
    const Crc32UpdateFn longOnly = [](std::uint32_t crc, const std::uint8_t* p, std::size_t n) {
        return n >= 256 ? Crc32UpdatePortable(crc, p, n) : crc;
    };
    const Crc32UpdateFn alignedOnlyCrc = [](std::uint32_t crc, const std::uint8_t* p, std::size_t n) {
        return reinterpret_cast<std::uintptr_t>(p) % 16 == 0 ? Crc32UpdatePortable(crc, p, n) : crc;
    };
    // MD5 lanes: the portable routine takes any lanes, so each broken one
    // is asked about at the widest width.
    const Md5LanesFn everyLane = [](Md5LaneStates& s, const std::uint8_t* const* b, LaneMask, std::size_t n) {
        const std::uint8_t* all[kMaxLanes];
        for (std::size_t lane = 0; lane < kMaxLanes; ++lane)
            all[lane] = b[lane] != nullptr ? b[lane] : b[0];
        Md5LanesPortable(s, all, ~LaneMask{0}, n);
    };
    const Md5LanesFn firstTwoSwapped = [](Md5LaneStates& s, const std::uint8_t* const* b, LaneMask m, std::size_t n) {
        const std::uint8_t* swapped[kMaxLanes];
        std::memcpy(swapped, b, sizeof swapped);
        std::swap(swapped[0], swapped[1]);
        Md5LanesPortable(s, swapped, m, n);
    };
    const Md5LanesFn lastLaneBroken = [](Md5LaneStates& s, const std::uint8_t* const* b, LaneMask m, std::size_t n) {
        Md5LanesPortable(s, b, m, n);
        s.words[2][kMaxLanes - 1] ^= (m >> (kMaxLanes - 1)) & 1;
    };
    const Md5LanesFn firstBlockOnlyLanes = [](Md5LaneStates& s, const std::uint8_t* const* b, LaneMask m,
                                              std::size_t n) { Md5LanesPortable(s, b, m, n > 0 ? 1 : 0); };
    const Md5LanesFn runsOnlyLanes = [](Md5LaneStates& s, const std::uint8_t* const* b, LaneMask m, std::size_t n) {
        if (n > 1)
            Md5LanesPortable(s, b, m, n);
    };
    EXPECT_TRUE(ProvesItself(Md5LanesPortable, kMaxLanes));
    EXPECT_FALSE(ProvesItself(everyLane, kMaxLanes));
    EXPECT_FALSE(ProvesItself(firstTwoSwapped, kMaxLanes));
    EXPECT_FALSE(ProvesItself(lastLaneBroken, kMaxLanes));
    EXPECT_TRUE(ProvesItself(lastLaneBroken, kMaxLanes - 1)) << "the lanes past the width are not asked about";
    EXPECT_FALSE(ProvesItself(firstBlockOnlyLanes, kMaxLanes));
    EXPECT_FALSE(ProvesItself(runsOnlyLanes, kMaxLanes));
    EXPECT_FALSE(ProvesItself(Md5LanesPortable, 0));
    EXPECT_FALSE(ProvesItself(Md5LanesPortable, kMaxLanes + 1));
    // SHA-1's and SHA-256's against their own samples: a routine of the
    // other digest, or one off in a single lane, is turned down.
    const Sha1LanesFn sha1LastLaneBroken = [](Sha1LaneStates& s, const std::uint8_t* const* b, LaneMask m,
                                              std::size_t n) {
        Sha1LanesOneAtATime(s, b, m, n);
        s.words[4][kMaxLanes - 1] ^= (m >> (kMaxLanes - 1)) & 1;
    };
    EXPECT_TRUE(ProvesItself(Sha1LanesOneAtATime, kMaxLanes));
    EXPECT_FALSE(ProvesItself(sha1LastLaneBroken, kMaxLanes));
    const Sha256LanesFn sha256FirstBlockOnly = [](Sha256LaneStates& s, const std::uint8_t* const* b, LaneMask m,
                                                  std::size_t n) { Sha256LanesOneAtATime(s, b, m, n > 0 ? 1 : 0); };
    EXPECT_TRUE(ProvesItself(Sha256LanesOneAtATime, kMaxLanes));
    EXPECT_FALSE(ProvesItself(sha256FirstBlockOnly, kMaxLanes));
    // SHA-512's, in 128-byte blocks: one that steps 64 bytes at a time, or
    // is off in the last of eight lanes, is turned down.
    const Sha512LanesFn sha512HalfBlocks = [](Sha512LaneStates& s, const std::uint8_t* const* b, LaneMask m,
                                              std::size_t n) {
        for (std::size_t i = 0; i < n; ++i) {
            const std::uint8_t* at[kMaxLanes];
            for (std::size_t lane = 0; lane < kMaxLanes; ++lane)
                at[lane] = b[lane] != nullptr ? b[lane] + i * kBlockSize : nullptr;
            Sha512LanesOneAtATime(s, at, m, 1);
        }
    };
    const Sha512LanesFn sha512EighthLaneBroken = [](Sha512LaneStates& s, const std::uint8_t* const* b, LaneMask m,
                                                    std::size_t n) {
        Sha512LanesOneAtATime(s, b, m, n);
        s.words[7][7] ^= std::uint64_t{(m >> 7) & 1} << 63;
    };
    EXPECT_TRUE(ProvesItself(Sha512LanesOneAtATime, kMaxLanes));
    EXPECT_FALSE(ProvesItself(sha512HalfBlocks, kMaxLanes));
    EXPECT_FALSE(ProvesItself(sha512EighthLaneBroken, 8));
    EXPECT_TRUE(ProvesItself(sha512EighthLaneBroken, 7)) << "the lanes past the width are not asked about";

    EXPECT_TRUE(ProvesItself(Crc32UpdatePortable));
    EXPECT_FALSE(ProvesItself(dropsTheLastByte));
    EXPECT_FALSE(ProvesItself(shortOnly));
    EXPECT_FALSE(ProvesItself(longOnly));
    EXPECT_FALSE(ProvesItself(alignedOnlyCrc));
}

// Stand-ins for the paths' routines: sound (the portable ones) and broken.
void BrokenSha1(Sha1Digest& state, const std::uint8_t* blocks, std::size_t count)
{
    Sha1CompressPortable(state, blocks, count);
    state.bytes[0] ^= 1;
}
void BrokenSha512(Sha512Digest& state, const std::uint8_t* blocks, std::size_t count)
{
    Sha512CompressPortable(state, blocks, count);
    state.bytes[63] ^= 0x80;
}
std::uint32_t BrokenCrc32(std::uint32_t crc, const std::uint8_t* bytes, std::size_t length)
{
    return Crc32UpdatePortable(crc, bytes, length) ^ 1;
}

// A path the CPU runs is still passed over when its routine does not prove
// itself: the choice falls back to the widest one that does.
TEST(PathChoice, APathWhoseRoutineDoesNotProveItselfIsPassedOver)
{
    const auto everyPath = [](auto) { return true; };
    const auto noPath = [](auto) { return false; };
    EXPECT_EQ(ChooseAmong(kSha1Paths, everyPath, [](Sha1Path) { return Sha1CompressFn{Sha1CompressPortable}; }),
              Sha1Path::ShaNi);
    EXPECT_EQ(ChooseAmong(kSha1Paths, everyPath,
                          [](Sha1Path p) { return p == Sha1Path::ShaNi ? BrokenSha1 : Sha1CompressPortable; }),
              Sha1Path::Portable);
    EXPECT_EQ(ChooseAmong(kSha1Paths, noPath, [](Sha1Path) { return Sha1CompressFn{Sha1CompressPortable}; }),
              Sha1Path::Portable);

    EXPECT_EQ(ChooseAmong(kSha512Paths, everyPath, [](Sha512Path) { return Sha512CompressFn{Sha512CompressPortable}; }),
              kSha512Paths[std::size(kSha512Paths) - 1]);
    EXPECT_EQ(
        ChooseAmong(kSha512Paths, everyPath,
                    [](Sha512Path p) { return p == Sha512Path::Portable ? Sha512CompressPortable : BrokenSha512; }),
        Sha512Path::Portable);
    EXPECT_EQ(ChooseAmong(kSha512Paths, noPath, [](Sha512Path) { return Sha512CompressFn{Sha512CompressPortable}; }),
              Sha512Path::Portable);

    const auto widestTwoBroken = [](Crc32Path p) {
        return p == Crc32Path::VpclmulAvx512 || p == Crc32Path::VpclmulAvx2 ? BrokenCrc32 : Crc32UpdatePortable;
    };
    EXPECT_EQ(ChooseAmong(kCrc32Paths, everyPath, widestTwoBroken), Crc32Path::Clmul);
    EXPECT_EQ(ChooseAmong(kCrc32Paths, everyPath, [](Crc32Path) { return Crc32UpdateFn{Crc32UpdatePortable}; }),
              Crc32Path::VpclmulAvx512);
    // What the CPU does not run is never tried, however sound its routine.
    const auto upToAvx2 = [](Crc32Path p) { return p != Crc32Path::VpclmulAvx512; };
    EXPECT_EQ(ChooseAmong(kCrc32Paths, upToAvx2, [](Crc32Path) { return Crc32UpdateFn{Crc32UpdatePortable}; }),
              Crc32Path::VpclmulAvx2);
    // The lane routine of each path is asked about at that path's width.
    const auto sixteenWrongInLane8 = [](Md5LanePath p) -> Md5LanesFn {
        if (p != Md5LanePath::Avx512)
            return Md5LanesPortable;
        return [](Md5LaneStates& s, const std::uint8_t* const* b, LaneMask m, std::size_t n) {
            Md5LanesPortable(s, b, m & ~LaneMask{1u << 8}, n);
        };
    };
    EXPECT_EQ(ChooseAmong(kMd5LanePaths, everyPath, [](Md5LanePath) { return Md5LanesFn{Md5LanesPortable}; }),
              Md5LanePath::Avx512);
    EXPECT_EQ(ChooseAmong(kMd5LanePaths, everyPath, sixteenWrongInLane8), Md5LanePath::Avx2);
    EXPECT_EQ(ChooseAmong(kMd5LanePaths, noPath, [](Md5LanePath) { return Md5LanesFn{Md5LanesPortable}; }),
              Md5LanePath::Portable);
    EXPECT_EQ(ChooseAmong(kSha1LanePaths, everyPath, [](Sha1LanePath) { return Sha1LanesFn{Sha1LanesOneAtATime}; }),
              Sha1LanePath::Avx512);
    const auto sha256Broken = [](Sha256LanePath p) -> Sha256LanesFn {
        if (p == Sha256LanePath::OneAtATime)
            return Sha256LanesOneAtATime;
        return [](Sha256LaneStates& s, const std::uint8_t* const* b, LaneMask m, std::size_t n) {
            Sha256LanesOneAtATime(s, b, m, n);
            s.words[0][0] += 1;
        };
    };
    EXPECT_EQ(ChooseAmong(kSha256LanePaths, everyPath, sha256Broken), Sha256LanePath::OneAtATime);
    EXPECT_EQ(
        ChooseAmong(kSha512LanePaths, everyPath, [](Sha512LanePath) { return Sha512LanesFn{Sha512LanesOneAtATime}; }),
        Sha512LanePath::Avx512);
    const auto sha512Broken = [](Sha512LanePath p) -> Sha512LanesFn {
        if (p == Sha512LanePath::OneAtATime)
            return Sha512LanesOneAtATime;
        return [](Sha512LaneStates& s, const std::uint8_t* const* b, LaneMask m, std::size_t n) {
            Sha512LanesOneAtATime(s, b, m, n);
            s.words[3][5] += 1;
        };
    };
    EXPECT_EQ(ChooseAmong(kSha512LanePaths, everyPath, sha512Broken), Sha512LanePath::OneAtATime);

    // With nothing else to take, the first path, the reference, even broken.
    EXPECT_EQ(ChooseAmong(kCrc32Paths, everyPath, [](Crc32Path) { return Crc32UpdateFn{BrokenCrc32}; }),
              Crc32Path::Portable);
}

// What the engine's differential tests rest on: a forced path is the one
// every computation takes, and one the CPU cannot run is refused.
TEST(PathChoice, TheSeamRoutesEveryComputation)
{
    for (Sha1Path path : kSha1Paths) {
        const Sha1CompressFn before = RoutineInUse<Sha1Path>();
        EXPECT_EQ(ForcePath(path), CpuRuns(path)) << PathName(path);
        EXPECT_EQ(RoutineInUse<Sha1Path>(), CpuRuns(path) ? PathFunction(path) : before) << PathName(path);
    }
    for (Sha256Path path : kSha256Paths) {
        const Sha256CompressFn before = RoutineInUse<Sha256Path>();
        EXPECT_EQ(ForcePath(path), CpuRuns(path)) << PathName(path);
        EXPECT_EQ(RoutineInUse<Sha256Path>(), CpuRuns(path) ? PathFunction(path) : before) << PathName(path);
    }
    for (Sha512Path path : kSha512Paths) {
        const Sha512CompressFn before = RoutineInUse<Sha512Path>();
        EXPECT_EQ(ForcePath(path), CpuRuns(path)) << PathName(path);
        EXPECT_EQ(RoutineInUse<Sha512Path>(), CpuRuns(path) ? PathFunction(path) : before) << PathName(path);
    }
    for (Crc32Path path : kCrc32Paths) {
        const Crc32UpdateFn before = RoutineInUse<Crc32Path>();
        EXPECT_EQ(ForcePath(path), CpuRuns(path)) << PathName(path);
        EXPECT_EQ(RoutineInUse<Crc32Path>(), CpuRuns(path) ? PathFunction(path) : before) << PathName(path);
    }
    for (Md5LanePath path : kMd5LanePaths) {
        const Md5LanePath before = PathInUse<Md5LanePath>();
        EXPECT_EQ(ForcePath(path), CpuRuns(path)) << PathName(path);
        EXPECT_EQ(PathInUse<Md5LanePath>(), CpuRuns(path) ? path : before) << PathName(path);
    }
    for (Sha1LanePath path : kSha1LanePaths) {
        const Sha1LanePath before = PathInUse<Sha1LanePath>();
        EXPECT_EQ(ForcePath(path), CpuRuns(path)) << PathName(path);
        EXPECT_EQ(PathInUse<Sha1LanePath>(), CpuRuns(path) ? path : before) << PathName(path);
    }
    for (Sha256LanePath path : kSha256LanePaths) {
        const Sha256LanePath before = PathInUse<Sha256LanePath>();
        EXPECT_EQ(ForcePath(path), CpuRuns(path)) << PathName(path);
        EXPECT_EQ(PathInUse<Sha256LanePath>(), CpuRuns(path) ? path : before) << PathName(path);
    }
    for (Sha512LanePath path : kSha512LanePaths) {
        const Sha512LanePath before = PathInUse<Sha512LanePath>();
        EXPECT_EQ(ForcePath(path), CpuRuns(path)) << PathName(path);
        EXPECT_EQ(PathInUse<Sha512LanePath>(), CpuRuns(path) ? path : before) << PathName(path);
    }
    // Away from the chosen paths (the last ones forced may be those), and back.
    ForcePath(Sha1Path::Portable);
    ForcePath(Sha256Path::Portable);
    ForcePath(Sha512Path::Portable);
    ForcePath(Crc32Path::Portable);
    ForcePath(Md5LanePath::Portable);
    ForcePath(Sha1LanePath::OneAtATime);
    ForcePath(Sha256LanePath::OneAtATime);
    ForcePath(Sha512LanePath::OneAtATime);
    UseChosenPaths();
    EXPECT_EQ(PathInUse<Md5LanePath>(), ChosenPath<Md5LanePath>());
    EXPECT_EQ(PathInUse<Sha1LanePath>(), ChosenPath<Sha1LanePath>());
    EXPECT_EQ(PathInUse<Sha256LanePath>(), ChosenPath<Sha256LanePath>());
    EXPECT_EQ(PathInUse<Sha512LanePath>(), ChosenPath<Sha512LanePath>());
    EXPECT_EQ(RoutineInUse<Sha1Path>(), PathFunction(ChosenPath<Sha1Path>()));
    EXPECT_EQ(RoutineInUse<Sha256Path>(), PathFunction(ChosenPath<Sha256Path>()));
    EXPECT_EQ(RoutineInUse<Sha512Path>(), PathFunction(ChosenPath<Sha512Path>()));
    EXPECT_EQ(RoutineInUse<Crc32Path>(), PathFunction(ChosenPath<Crc32Path>()));
}

}  // namespace
