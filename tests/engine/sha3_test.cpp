// SHA-3: the standard's examples on every path, every path against the
// portable one and against OpenSSL (a black-box oracle), the sponge's
// independence of how a message is split, and the choice of block routine.
#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstring>
#include <random>
#include <string>
#include <type_traits>
#include <vector>

#include "engine/digest_paths.h"
#include "engine/path_choice.h"
#include "engine/sha3.h"

namespace {

using namespace engine;

constexpr std::size_t kDigestSizes[] = {28, 32, 48, 64};

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

// The digest of the pieces, one Update each, on the path in use.
std::string Sha3Hex(std::size_t digestBytes, const std::vector<std::pair<const std::uint8_t*, std::size_t>>& pieces)
{
    Sha3State state;
    Sha3Init(state, digestBytes);
    for (const auto& [bytes, size] : pieces)
        Sha3Update(state, bytes, size);
    std::uint8_t digest[64];
    Sha3Final(state, digest);
    return Hex(digest, digestBytes);
}

std::string Sha3Hex(std::size_t digestBytes, const std::uint8_t* bytes, std::size_t size)
{
    return Sha3Hex(digestBytes, {{bytes, size}});
}

std::string OpenSslHex(std::size_t digestBytes, const std::uint8_t* bytes, std::size_t size)
{
    const EVP_MD* md = digestBytes == 28   ? EVP_sha3_224()
                       : digestBytes == 32 ? EVP_sha3_256()
                       : digestBytes == 48 ? EVP_sha3_384()
                                           : EVP_sha3_512();
    std::uint8_t digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    EXPECT_EQ(EVP_Digest(bytes, size, digest, &length, md, nullptr), 1);
    return Hex(digest, length);
}

// A byte counter mod 251, so that blocks taken in the wrong order, or twice,
// change the answer. The returned start is 64-byte aligned, with room behind
// it for a MiB and more at any offset up to 63.
const std::uint8_t* Counter()
{
    static const std::vector<std::uint8_t> bytes = [] {
        std::vector<std::uint8_t> b((std::size_t{1} << 20) + 4096);
        for (std::size_t i = 0; i < b.size(); ++i)
            b[i] = static_cast<std::uint8_t>(i % 251);
        return b;
    }();
    const auto address = reinterpret_cast<std::uintptr_t>(bytes.data());
    return bytes.data() + (64 - address % 64) % 64;
}

std::string PathParamName(const testing::TestParamInfo<Sha3Path>& info)
{
    std::string name;
    for (const char c : std::string(PathName(info.param)))
        if (std::isalnum(static_cast<unsigned char>(c)))
            name += c;
    return name;
}

// ---------------------------------------------------------------- every path

// Forces the parameter's path for the test, or skips it where this CPU or
// this build cannot run it, and goes back to the automatic choice after it.
class Sha3OnEveryPath : public testing::TestWithParam<Sha3Path> {
protected:
    void SetUp() override
    {
        if (!ForcePath(GetParam()))
            GTEST_SKIP() << PathName(GetParam()) << ": this CPU or this build cannot run it";
    }
    void TearDown() override { UseChosenPaths(); }
};

// NIST's examples for FIPS 202: the empty message, "abc", and 1600 bits of
// 0xA3, which fills SHA3-224's block and a half, SHA3-512's nearly three.
TEST_P(Sha3OnEveryPath, GivesTheStandardsExamples)
{
    static const struct {
        std::size_t digestBytes, rate;
        const char *empty, *abc, *a3;
    } kExamples[] = {
        {28, 144, "6b4e03423667dbb73b6e15454f0eb1abd4597f9a1b078e3f5b5a6bc7",
         "e642824c3f8cf24ad09234ee7d3c766fc9a3a5168d0c94ad73b46fdf",
         "9376816aba503f72f96ce7eb65ac095deee3be4bf9bbc2a1cb7e11e0"},
        {32, 136, "a7ffc6f8bf1ed76651c14756a061d662f580ff4de43b49fa82d80a4b80f8434a",
         "3a985da74fe225b2045c172d6bd390bd855f086e3e9d525b46bfe24511431532",
         "79f38adec5c20307a98ef76e8324afbfd46cfd81b22e3973c65fa1bd9de31787"},
        {48, 104, "0c63a75b845e4f7d01107d852e4c2485c51a50aaaa94fc61995e71bbee983a2ac3713831264adb47fb6bd1e058d5f004",
         "ec01498288516fc926459f58e2c6ad8df9b473cb0fc08c2596da7cf0e49be4b298d88cea927ac7f539f1edf228376d25",
         "1881de2ca7e41ef95dc4732b8f5f002b189cc1e42b74168ed1732649ce1dbcdd76197a31fd55ee989f2d7050dd473e8f"},
        {64, 72,
         "a69f73cca23a9ac5c8b567dc185a756e97c982164fe25859e0d1dcc1475c80a6"
         "15b2123af1f5f94c11e3e9402c3ac558f500199d95b6d3e301758586281dcd26",
         "b751850b1a57168a5693cd924b6b096e08f621827444f70d884f5d0240d2712e"
         "10e116e9192af3c91a7ec57647e3934057340b4cf408d5a56592f8274eec53f0",
         "e76dfad22084a8b1467fcf2ffa58361bec7628edf5f3fdc0e4805dc48caeeca8"
         "1b7c13c30adf52a3659584739a2df46be589c51ca1a4a8416df6545a1ce8ba00"},
    };
    const std::vector<std::uint8_t> a3(200, 0xA3);
    for (const auto& e : kExamples) {
        // The HMAC takes the rate as its block size.
        Sha3State state;
        Sha3Init(state, e.digestBytes);
        EXPECT_EQ(state.rate, e.rate) << e.digestBytes;
        EXPECT_EQ(Sha3Hex(e.digestBytes, nullptr, 0), e.empty);
        EXPECT_EQ(Sha3Hex(e.digestBytes, reinterpret_cast<const std::uint8_t*>("abc"), 3), e.abc);
        EXPECT_EQ(Sha3Hex(e.digestBytes, a3.data(), a3.size()), e.a3);
        // The same bytes one at a time: the buffered route only.
        std::vector<std::pair<const std::uint8_t*, std::size_t>> bytes;
        for (std::size_t i = 0; i < a3.size(); ++i)
            bytes.emplace_back(a3.data() + i, 1);
        EXPECT_EQ(Sha3Hex(e.digestBytes, bytes), e.a3);
    }
}

TEST_P(Sha3OnEveryPath, MatchesOpenSslOnEveryLengthUpTo1024)
{
    for (std::size_t length = 0; length <= 1024 && !HasFailure(); ++length)
        for (const std::size_t d : kDigestSizes)
            EXPECT_EQ(Sha3Hex(d, Counter() + 1, length), OpenSslHex(d, Counter() + 1, length))
                << "SHA3-" << 8 * d << ", length " << length;
}

TEST_P(Sha3OnEveryPath, MatchesOpenSslOnRandomMessages)
{
    std::mt19937_64 rng(202);
    std::vector<std::uint8_t> buffer(8192 + 64);
    for (int round = 0; round < 300 && !HasFailure(); ++round) {
        const std::size_t length = rng() % 8192, offset = rng() % 64;
        for (std::size_t i = 0; i < length; ++i)
            buffer[offset + i] = static_cast<std::uint8_t>(rng());
        const std::size_t d = kDigestSizes[round % 4];
        EXPECT_EQ(Sha3Hex(d, buffer.data() + offset, length), OpenSslHex(d, buffer.data() + offset, length))
            << "SHA3-" << 8 * d << ", length " << length << ", offset " << offset;
    }
}

// Thousands of blocks in one call, and the same message in uneven windows
// as a file arrives.
TEST_P(Sha3OnEveryPath, MatchesOpenSslOnMessagesOfManyBlocks)
{
    for (const std::size_t length : {std::size_t{1} << 20, (std::size_t{1} << 20) + 71, (std::size_t{64} << 10) + 137})
        for (const std::size_t offset : {0, 3})
            for (const std::size_t d : kDigestSizes) {
                const std::uint8_t* const p = Counter() + offset;
                const std::string want = OpenSslHex(d, p, length);
                EXPECT_EQ(Sha3Hex(d, p, length), want) << "SHA3-" << 8 * d << ", length " << length;
                std::vector<std::pair<const std::uint8_t*, std::size_t>> windows;
                for (std::size_t at = 0, window = 4093; at < length; at += window, window = window * 3 % 65521)
                    windows.emplace_back(p + at, std::min(window, length - at));
                EXPECT_EQ(Sha3Hex(d, windows), want) << "SHA3-" << 8 * d << ", length " << length << " in windows";
            }
}

// Lengths about each rate and its double, split once at every offset, and in
// three pieces about the block edges.
TEST_P(Sha3OnEveryPath, DoesNotDependOnHowTheMessageIsSplit)
{
    static constexpr std::size_t kLengths[] = {71, 72, 73, 103, 104, 105, 135, 136, 137, 143, 144, 145, 287, 288, 289};
    const std::uint8_t* const p = Counter() + 5;
    for (const std::size_t d : kDigestSizes)
        for (const std::size_t length : kLengths) {
            const std::string whole = Sha3Hex(d, p, length);
            EXPECT_EQ(whole, OpenSslHex(d, p, length)) << "SHA3-" << 8 * d << ", length " << length;
            for (std::size_t split = 0; split <= length; ++split)
                EXPECT_EQ(Sha3Hex(d, {{p, split}, {p + split, length - split}}), whole)
                    << "SHA3-" << 8 * d << ", length " << length << ", split at " << split;
            const std::size_t rate = 200 - 2 * d;
            for (std::size_t first = 0; first <= std::min(length, rate + 1); ++first)
                for (const std::size_t second : {std::size_t{0}, std::size_t{1}, rate - 1, rate, rate + 1}) {
                    if (first + second > length)
                        continue;
                    const std::size_t third = length - first - second;
                    EXPECT_EQ(Sha3Hex(d, {{p, first}, {p + first, second}, {p + first + second, third}}), whole)
                        << "SHA3-" << 8 * d << ", length " << length << ", pieces " << first << ", " << second;
                }
        }
}

INSTANTIATE_TEST_SUITE_P(Paths, Sha3OnEveryPath, testing::ValuesIn(kSha3Paths), PathParamName);

// ---------------------------------------------------------------- against the portable path

// The accelerated paths, each against the portable one in the same process.
class Sha3Routine : public testing::TestWithParam<Sha3Path> {
protected:
    void SetUp() override
    {
        if (!CpuRuns(GetParam()))
            GTEST_SKIP() << PathName(GetParam()) << ": this CPU or this build cannot run it";
    }
    void TearDown() override { UseChosenPaths(); }

    static std::string On(Sha3Path path, std::size_t digestBytes, const std::uint8_t* bytes, std::size_t size)
    {
        EXPECT_TRUE(ForcePath(path));
        return Sha3Hex(digestBytes, bytes, size);
    }
};

TEST_P(Sha3Routine, MatchesThePortablePathOnEveryLengthAtEveryAlignment)
{
    for (std::size_t length = 0; length <= 1024 && !HasFailure(); ++length)
        for (std::size_t offset = 0; offset < 64; ++offset)
            for (const std::size_t d : kDigestSizes) {
                const std::uint8_t* const p = Counter() + offset;
                EXPECT_EQ(On(GetParam(), d, p, length), On(Sha3Path::Portable, d, p, length))
                    << "SHA3-" << 8 * d << ", length " << length << ", offset " << offset;
            }
}

// Runs of any number of blocks from random lanes, at every rate the routines
// take (multiples of 8 up to 200, SHA-3's four among them): the lanes must
// go from block to block and come out whole.
TEST_P(Sha3Routine, MatchesThePortableBlockRoutineFromAnyState)
{
    std::mt19937_64 rng(1600);
    const Sha3BlocksFn routine = PathFunction(GetParam());
    for (const std::size_t rate : {8, 72, 104, 136, 144, 168, 192, 200})
        for (std::size_t count = 0; count <= 12; ++count) {
            std::uint64_t want[25], got[25];
            for (int i = 0; i < 25; ++i)
                want[i] = got[i] = rng();
            const std::uint8_t* const blocks = Counter() + (rate + count) % 64;
            Sha3BlocksPortable(want, blocks, count, rate);
            routine(got, blocks, count, rate);
            EXPECT_EQ(0, std::memcmp(got, want, sizeof want)) << count << " blocks of " << rate << " bytes";
        }
}

INSTANTIATE_TEST_SUITE_P(Paths, Sha3Routine, testing::Values(Sha3Path::Avx512), PathParamName);

// ---------------------------------------------------------------- the sponge's state

// The HMAC keeps copies of keyed states and wipes them by overwriting their
// bytes: a copy taken mid-message goes on as the original does.
TEST(Sha3State, IsPlainDataThatACopyCarriesOn)
{
    static_assert(std::is_trivially_copyable_v<Sha3State>);
    const std::uint8_t* const p = Counter();
    for (const std::size_t d : kDigestSizes)
        for (const std::size_t cut : {std::size_t{0}, std::size_t{5}, 200 - 2 * d, std::size_t{700}}) {
            Sha3State original;
            Sha3Init(original, d);
            Sha3Update(original, p, cut);
            Sha3State copy;
            std::memcpy(&copy, &original, sizeof copy);
            Sha3Update(original, p + cut, 1000 - cut);
            Sha3Update(copy, p + cut, 1000 - cut);
            std::uint8_t a[64], b[64];
            Sha3Final(original, a);
            Sha3Final(copy, b);
            EXPECT_EQ(Hex(a, d), OpenSslHex(d, p, 1000)) << "SHA3-" << 8 * d << ", copied at " << cut;
            EXPECT_EQ(Hex(b, d), Hex(a, d)) << "SHA3-" << 8 * d << ", copied at " << cut;
        }
}

TEST(Sha3StateDeathTest, EndsTheProcessOnADigestSizeThatIsNotSha3s)
{
    Sha3State state;
    EXPECT_DEATH(Sha3Init(state, 20), "");
    EXPECT_DEATH(Sha3Init(state, 0), "");
}

// ---------------------------------------------------------------- the choice

TEST(Sha3PathChoice, TakesTheWidestPathThisCpuRuns)
{
    Sha3Path widest = Sha3Path::Portable;
    for (const Sha3Path path : kSha3Paths)
        if (CpuRuns(path)) {
            EXPECT_TRUE(ProvesItself(PathFunction(path))) << PathName(path);
            widest = path;
        }
    EXPECT_STREQ(PathName(ChosenPath<Sha3Path>()), PathName(widest));
    EXPECT_EQ(RoutineInUse<Sha3Path>(), PathFunction(ChosenPath<Sha3Path>()));
}

// The samples are several blocks at every rate, from an unaligned address,
// in one call and one block per call: a routine wrong in any of those ways
// is turned down.
TEST(Sha3PathChoice, RoutinesThatGoWrongDoNotProveThemselves)
{
    using Lanes = std::uint64_t[25];
    const Sha3BlocksFn firstBlockOnly = [](Lanes& l, const std::uint8_t* b, std::size_t n, std::size_t rate) {
        Sha3BlocksPortable(l, b, n > 0 ? 1 : 0, rate);
    };
    const Sha3BlocksFn lastBlockFirst = [](Lanes& l, const std::uint8_t* b, std::size_t n, std::size_t rate) {
        for (std::size_t i = n; i > 0; --i)
            Sha3BlocksPortable(l, b + (i - 1) * rate, 1, rate);
    };
    const Sha3BlocksFn alignedOnly = [](Lanes& l, const std::uint8_t* b, std::size_t n, std::size_t rate) {
        if (reinterpret_cast<std::uintptr_t>(b) % 16 == 0)
            Sha3BlocksPortable(l, b, n, rate);
    };
    const Sha3BlocksFn runsOnly = [](Lanes& l, const std::uint8_t* b, std::size_t n, std::size_t rate) {
        if (n > 1)
            Sha3BlocksPortable(l, b, n, rate);
    };
    // SHA3-256's rate whatever the caller asks: right for that digest alone.
    const Sha3BlocksFn oneRate = [](Lanes& l, const std::uint8_t* b, std::size_t n, std::size_t rate) {
        Sha3BlocksPortable(l, b, n * rate / 136, 136);
    };
    // Right for the 1600-bit samples, wrong past the eighth block.
    const Sha3BlocksFn stopsAfterEight = [](Lanes& l, const std::uint8_t* b, std::size_t n, std::size_t rate) {
        Sha3BlocksPortable(l, b, std::min<std::size_t>(n, 8), rate);
    };
    // The last lane of every block left out.
    const Sha3BlocksFn shortLane = [](Lanes& l, const std::uint8_t* b, std::size_t n, std::size_t rate) {
        for (std::size_t i = 0; i < n; ++i) {
            std::uint8_t block[200];
            std::memcpy(block, b + i * rate, rate);
            std::memset(block + rate - 8, 0, 8);
            Sha3BlocksPortable(l, block, 1, rate);
        }
    };
    EXPECT_TRUE(ProvesItself(Sha3BlocksPortable));
    EXPECT_FALSE(ProvesItself(firstBlockOnly));
    EXPECT_FALSE(ProvesItself(lastBlockFirst));
    EXPECT_FALSE(ProvesItself(alignedOnly));
    EXPECT_FALSE(ProvesItself(runsOnly));
    EXPECT_FALSE(ProvesItself(oneRate));
    EXPECT_FALSE(ProvesItself(stopsAfterEight));
    EXPECT_FALSE(ProvesItself(shortLane));
}

void BrokenSha3(std::uint64_t (&lanes)[25], const std::uint8_t* blocks, std::size_t count, std::size_t rate)
{
    Sha3BlocksPortable(lanes, blocks, count, rate);
    lanes[24] ^= 1;
}

// A path the CPU runs is still passed over when its routine does not prove
// itself; a path it does not run is never tried.
TEST(Sha3PathChoice, APathWhoseRoutineDoesNotProveItselfIsPassedOver)
{
    const auto everyPath = [](Sha3Path) { return true; };
    const auto portableOnly = [](Sha3Path p) { return p == Sha3Path::Portable; };
    const auto sound = [](Sha3Path) { return Sha3BlocksFn{Sha3BlocksPortable}; };
    const auto widestBroken = [](Sha3Path p) { return p == Sha3Path::Portable ? Sha3BlocksPortable : BrokenSha3; };
    EXPECT_EQ(ChooseAmong(kSha3Paths, everyPath, sound), Sha3Path::Avx512);
    EXPECT_EQ(ChooseAmong(kSha3Paths, everyPath, widestBroken), Sha3Path::Portable);
    EXPECT_EQ(ChooseAmong(kSha3Paths, portableOnly, sound), Sha3Path::Portable);
    // With nothing else to take, the first path, the reference, even broken.
    EXPECT_EQ(ChooseAmong(kSha3Paths, everyPath, [](Sha3Path) { return Sha3BlocksFn{BrokenSha3}; }),
              Sha3Path::Portable);
}

// What the differential tests rest on: a forced path is the one every
// computation takes, one the CPU cannot run is refused, and UseChosenPaths
// goes back to the automatic choice.
TEST(Sha3PathChoice, TheSeamRoutesEveryComputation)
{
    for (const Sha3Path path : kSha3Paths) {
        const Sha3BlocksFn before = RoutineInUse<Sha3Path>();
        EXPECT_EQ(ForcePath(path), CpuRuns(path)) << PathName(path);
        EXPECT_EQ(RoutineInUse<Sha3Path>(), CpuRuns(path) ? PathFunction(path) : before) << PathName(path);
    }
    ForcePath(Sha3Path::Portable);
    UseChosenPaths();
    EXPECT_EQ(RoutineInUse<Sha3Path>(), PathFunction(ChosenPath<Sha3Path>()));
}

}  // namespace
