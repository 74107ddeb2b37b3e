// BLAKE2b and BLAKE2s: RFC 7693's examples on every path, every length up to
// 1024 at every alignment against the portable path, every BLAKE2b digest
// length and random messages against OpenSSL and libb2, the result whatever
// the split into Update calls, the block routines from any state, and the
// choice of path.
#include "engine/blake2.h"
#include "engine/path_choice.h"

#include <gtest/gtest.h>
#include <openssl/evp.h>

#if defined(VELLUMARK_HAVE_LIBB2)
#include <blake2.h>
#endif

#include <cstdint>
#include <cstring>
#include <random>
#include <string>
#include <vector>

namespace {

using namespace engine;

// A byte counter mod 251, so that blocks taken twice or out of order change
// the answer; 64-byte aligned, with room for the longest message at any
// offset up to 63.
const std::uint8_t* Counter()
{
    static const std::vector<std::uint8_t> bytes = [] {
        std::vector<std::uint8_t> b((std::size_t{2} << 20) + 256);
        for (std::size_t i = 0; i < b.size(); ++i)
            b[i] = static_cast<std::uint8_t>(i % 251);
        return b;
    }();
    const auto address = reinterpret_cast<std::uintptr_t>(bytes.data());
    return bytes.data() + (64 - address % 64) % 64;
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

// The engine's digests, the message given to Update in pieces at `splits`
// (offsets, in order; none means one call).
std::string Blake2b(const std::uint8_t* p, std::size_t n, std::size_t digestSize = 64,
                    const std::vector<std::size_t>& splits = {})
{
    Blake2bState state;
    Blake2bInit(state, digestSize);
    std::size_t at = 0;
    for (std::size_t split : splits) {
        Blake2bUpdate(state, p + at, split - at);
        at = split;
    }
    Blake2bUpdate(state, p + at, n - at);
    std::uint8_t digest[64];
    Blake2bFinal(state, digest);
    return Hex(digest, digestSize);
}

std::string Blake2s(const std::uint8_t* p, std::size_t n, std::size_t digestSize = 32,
                    const std::vector<std::size_t>& splits = {})
{
    Blake2sState state;
    Blake2sInit(state, digestSize);
    std::size_t at = 0;
    for (std::size_t split : splits) {
        Blake2sUpdate(state, p + at, split - at);
        at = split;
    }
    Blake2sUpdate(state, p + at, n - at);
    std::uint8_t digest[32];
    Blake2sFinal(state, digest);
    return Hex(digest, digestSize);
}

std::string OpenSsl(const EVP_MD* md, const std::uint8_t* p, std::size_t n)
{
    std::uint8_t out[EVP_MAX_MD_SIZE];
    unsigned int size = 0;
    EXPECT_EQ(EVP_Digest(p, n, out, &size, md, nullptr), 1);
    return Hex(out, size);
}

// ---------------------------------------------------------------- every path

struct PathSetting {
    const char* name;
    Blake2bPath b;
    Blake2sPath s;
};

// One message has the portable routines alone (see blake2.h); a routine
// added for it gets a setting here.
constexpr PathSetting kSettings[] = {
    {"Portable", Blake2bPath::Portable, Blake2sPath::Portable},
};

class Blake2OnEveryPath : public testing::TestWithParam<PathSetting> {
protected:
    void SetUp() override
    {
        if (!ForcePath(GetParam().b) || !ForcePath(GetParam().s))
            GTEST_SKIP() << GetParam().name << ": this CPU or this build cannot run it";
    }
    void TearDown() override { UseChosenPaths(); }
};

TEST_P(Blake2OnEveryPath, GivesTheRfcExamples)
{
    const auto* abc = reinterpret_cast<const std::uint8_t*>("abc");
    EXPECT_EQ(Blake2b(abc, 3),
              "ba80a53f981c4d0d6a2797b69f12f6e94c212f14685ac4b74b12bb6fdbffa2d1"
              "7d87c5392aab792dc252d5de4533cc9518d38aa8dbf1925ab92386edd4009923");
    EXPECT_EQ(Blake2s(abc, 3), "508c5e8c327c14e2e1a72ba34eeb452f37458b209ed63a294d999b4c86675982");
    // The empty message: one block of zeros, flagged last, counting nothing.
    EXPECT_EQ(Blake2b(abc, 0),
              "786a02f742015903c6c6fd852552d272912f4740e15847618a86e217f71f5419"
              "d25e1031afee585313896444934eb04b903a685b1448b755d56f701afe9be2ce");
    EXPECT_EQ(Blake2s(abc, 0), "69217a3079908094e11121d042354a7c1f55b6482ca1a51e1b250dfd1ed0eef9");
}

// Lengths 0 to 1024 (every block edge up to eight BLAKE2b blocks) from every
// start in a 64-byte line, against the portable path on the same bytes.
TEST_P(Blake2OnEveryPath, MatchesThePortablePathOnEveryLengthAtEveryAlignment)
{
    std::vector<std::string> wantB, wantS;
    ForcePath(Blake2bPath::Portable);
    ForcePath(Blake2sPath::Portable);
    for (std::size_t length = 0; length <= 1024; ++length) {
        wantB.push_back(Blake2b(Counter(), length));
        wantS.push_back(Blake2s(Counter(), length, 32));
    }
    ForcePath(GetParam().b);
    ForcePath(GetParam().s);
    alignas(64) std::uint8_t buffer[64 + 1024];
    for (std::size_t offset = 0; offset < 64 && !HasFailure(); ++offset) {
        std::memcpy(buffer + offset, Counter(), 1024);
        for (std::size_t length = 0; length <= 1024; ++length) {
            EXPECT_EQ(Blake2b(buffer + offset, length), wantB[length]) << "length " << length << ", offset " << offset;
            EXPECT_EQ(Blake2s(buffer + offset, length), wantS[length]) << "length " << length << ", offset " << offset;
        }
    }
}

// Around every block edge, and an exact multiple of both blocks (its last
// block, full, must still be the one flagged): split in two at every
// offset, and fed byte by byte.
TEST_P(Blake2OnEveryPath, GivesTheSameDigestWhateverTheSplit)
{
    for (std::size_t length : {63, 64, 65, 127, 128, 129, 255, 256, 257, 384, 1024}) {
        const std::uint8_t* p = Counter() + 3;
        const std::string wantB = Blake2b(p, length), wantS = Blake2s(p, length);
        EXPECT_EQ(wantB, OpenSsl(EVP_blake2b512(), p, length)) << length;
        EXPECT_EQ(wantS, OpenSsl(EVP_blake2s256(), p, length)) << length;
        for (std::size_t split = 0; split <= length; ++split) {
            EXPECT_EQ(Blake2b(p, length, 64, {split}), wantB) << "length " << length << ", split at " << split;
            EXPECT_EQ(Blake2s(p, length, 32, {split}), wantS) << "length " << length << ", split at " << split;
        }
        std::vector<std::size_t> everyByte;
        for (std::size_t i = 0; i <= length; ++i)
            everyByte.push_back(i);
        EXPECT_EQ(Blake2b(p, length, 64, everyByte), wantB) << "length " << length << " byte by byte";
        EXPECT_EQ(Blake2s(p, length, 32, everyByte), wantS) << "length " << length << " byte by byte";
    }
}

// Many blocks through the routine at once, in windows of a file's size and
// in pieces that leave a block begun at each call.
TEST_P(Blake2OnEveryPath, MatchesOpenSslOnMessagesOfManyBlocks)
{
    for (std::size_t length : {std::size_t{1} << 20, (std::size_t{1} << 20) + 61, std::size_t{65536 * 3 + 1}}) {
        const std::uint8_t* p = Counter() + 5;
        const std::string wantB = OpenSsl(EVP_blake2b512(), p, length);
        const std::string wantS = OpenSsl(EVP_blake2s256(), p, length);
        EXPECT_EQ(Blake2b(p, length), wantB) << length;
        EXPECT_EQ(Blake2s(p, length), wantS) << length;
        std::vector<std::size_t> pieces;
        for (std::size_t at = 1000; at < length; at += 65536 + 77)
            pieces.push_back(at);
        EXPECT_EQ(Blake2b(p, length, 64, pieces), wantB) << length << " in pieces";
        EXPECT_EQ(Blake2s(p, length, 32, pieces), wantS) << length << " in pieces";
    }
}

// The block routines alone, from random chains and byte counts (the low
// word of the count near its end, so that it carries into the high word),
// for any number of blocks, flagged last or not, against the portable ones.
TEST_P(Blake2OnEveryPath, BlockRoutinesMatchThePortableOnesFromAnyState)
{
    std::mt19937_64 rng(7693);
    for (std::size_t count = 0; count <= 12; ++count)
        for (int round = 0; round < 8; ++round) {
            const bool final = round % 2 == 1;
            const std::uint8_t* blocks = Counter() + (count * 7 + static_cast<std::size_t>(round)) % 64;
            Blake2bChain b;
            for (auto& w : b.h)
                w = rng();
            b.t[0] = round < 4 ? rng() : ~std::uint64_t{0} - rng() % 512;
            b.t[1] = rng();
            const auto bBytes = static_cast<std::uint32_t>(final ? rng() % 129 : 128);
            Blake2bChain wantB = b, gotB = b;
            Blake2bCompressPortable(wantB, blocks, count, bBytes, final);
            PathFunction(GetParam().b)(gotB, blocks, count, bBytes, final);
            EXPECT_EQ(0, std::memcmp(&gotB, &wantB, sizeof wantB)) << "BLAKE2b, " << count << " blocks";

            Blake2sChain s;
            for (auto& w : s.h)
                w = static_cast<std::uint32_t>(rng());
            s.t[0] = static_cast<std::uint32_t>(round < 4 ? rng() : ~std::uint32_t{0} - rng() % 512);
            s.t[1] = static_cast<std::uint32_t>(rng());
            const auto sBytes = static_cast<std::uint32_t>(final ? rng() % 65 : 64);
            Blake2sChain wantS = s, gotS = s;
            Blake2sCompressPortable(wantS, blocks, count, sBytes, final);
            PathFunction(GetParam().s)(gotS, blocks, count, sBytes, final);
            EXPECT_EQ(0, std::memcmp(&gotS, &wantS, sizeof wantS)) << "BLAKE2s, " << count << " blocks";
        }
}

INSTANTIATE_TEST_SUITE_P(Paths, Blake2OnEveryPath, testing::ValuesIn(kSettings),
                         [](const testing::TestParamInfo<PathSetting>& info) { return info.param.name; });

// ---------------------------------------------------------------- the oracles

// The count of message bytes is t[0] + 2^w t[1]: a block that carries the
// low word over must give what the same count written directly gives.
TEST(Blake2Count, CarriesIntoItsHighWord)
{
    const std::uint8_t* block = Counter();
    Blake2bChain carried{}, direct{};
    carried.t[0] = ~std::uint64_t{0} - 63;  // 2^64 - 64, then 128 more
    direct.t[0] = 64;
    direct.t[1] = 1;
    Blake2bCompressPortable(carried, block, 1, 128, false);
    Blake2bCompressPortable(direct, block, 1, 0, false);
    EXPECT_EQ(0, std::memcmp(&carried, &direct, sizeof direct));

    Blake2sChain carriedS{}, directS{};
    carriedS.t[0] = ~std::uint32_t{0} - 31;
    directS.t[0] = 32;
    directS.t[1] = 1;
    Blake2sCompressPortable(carriedS, block, 1, 64, false);
    Blake2sCompressPortable(directS, block, 1, 0, false);
    EXPECT_EQ(0, std::memcmp(&carriedS, &directS, sizeof directS));
}

TEST(Blake2Oracles, MatchOpenSslOnRandomMessages)
{
    std::mt19937 rng(2);
    std::vector<std::uint8_t> message(5000);
    for (int i = 0; i < 300 && !HasFailure(); ++i) {
        for (auto& c : message)
            c = static_cast<std::uint8_t>(rng());
        const std::size_t length = rng() % message.size();
        EXPECT_EQ(Blake2b(message.data(), length), OpenSsl(EVP_blake2b512(), message.data(), length)) << length;
        EXPECT_EQ(Blake2s(message.data(), length), OpenSsl(EVP_blake2s256(), message.data(), length)) << length;
    }
}

#if defined(VELLUMARK_HAVE_LIBB2)
// Every BLAKE2b digest length, as b2sum -l writes it, and BLAKE2s's, on
// random messages: the length is in the parameter block, so every length
// gives different bytes, not a prefix of the longest.
TEST(Blake2Oracles, EveryDigestLengthMatchesLibb2)
{
    std::mt19937 rng(64);
    std::vector<std::uint8_t> message(700);
    for (std::size_t size = 1; size <= 64 && !HasFailure(); ++size)
        for (int i = 0; i < 6; ++i) {
            for (auto& c : message)
                c = static_cast<std::uint8_t>(rng());
            const std::size_t length = i == 0 ? 0 : rng() % message.size();
            std::vector<std::uint8_t> want(size);
            ASSERT_EQ(blake2b(want.data(), message.data(), nullptr, size, length, 0), 0);
            EXPECT_EQ(Blake2b(message.data(), length, size), Hex(want.data(), want.size()))
                << "BLAKE2b-" << 8 * size << ", " << length;
            if (size > 32)
                continue;
            ASSERT_EQ(blake2s(want.data(), message.data(), nullptr, size, length, 0), 0);
            EXPECT_EQ(Blake2s(message.data(), length, size), Hex(want.data(), want.size()))
                << "BLAKE2s-" << 8 * size << ", " << length;
        }
}
#else
TEST(Blake2Oracles, EveryDigestLengthMatchesLibb2)
{
    GTEST_SKIP() << "libb2 was not found when this test was built";
}
#endif

// A size out of range is taken as the largest, not written past.
TEST(Blake2Init, TakesAnOutOfRangeDigestSizeAsTheLargest)
{
    const std::uint8_t* p = Counter();
    for (const std::size_t size : {std::size_t{0}, std::size_t{65}, std::size_t{1000}}) {
        Blake2bState b;
        Blake2bInit(b, size);
        Blake2bUpdate(b, p, 100);
        std::uint8_t digest[65] = {};
        Blake2bFinal(b, digest);
        EXPECT_EQ(Hex(digest, 65), Blake2b(p, 100, 64) + "00") << size;

        Blake2sState s;
        Blake2sInit(s, size == 65 ? 33 : size);
        Blake2sUpdate(s, p, 100);
        std::uint8_t digestS[33] = {};
        Blake2sFinal(s, digestS);
        EXPECT_EQ(Hex(digestS, 33), Blake2s(p, 100, 32) + "00") << size;
    }
}

// ---------------------------------------------------------------- the choice

void BrokenBlake2b(Blake2bChain& chain, const std::uint8_t* blocks, std::size_t count, std::uint32_t bytes, bool final)
{
    Blake2bCompressPortable(chain, blocks, count, bytes, final);
    chain.h[7] ^= count > 1 ? 1 : 0;  // wrong only on runs of blocks
}

void BrokenBlake2s(Blake2sChain& chain, const std::uint8_t* blocks, std::size_t count, std::uint32_t bytes, bool final)
{
    Blake2sCompressPortable(chain, blocks, count, bytes, final);
    chain.h[0] ^= final ? 0x100 : 0;  // wrong only on last blocks
}

TEST(Blake2Choice, EveryRoutineTheCpuRunsProvesItself)
{
    for (Blake2bPath path : kBlake2bPaths) {
        if (CpuRuns(path)) {
            EXPECT_TRUE(ProvesItself(PathFunction(path))) << PathName(path);
        }
    }
    for (Blake2sPath path : kBlake2sPaths) {
        if (CpuRuns(path)) {
            EXPECT_TRUE(ProvesItself(PathFunction(path))) << PathName(path);
        }
    }
    EXPECT_FALSE(ProvesItself(BrokenBlake2b));
    EXPECT_FALSE(ProvesItself(BrokenBlake2s));
}

// The seam really routes Update and Final, and UseChosenPaths undoes it.
TEST(Blake2Choice, ForcedPathsAreTheOnesInUse)
{
    for (Blake2bPath path : kBlake2bPaths) {
        if (ForcePath(path)) {
            EXPECT_EQ(RoutineInUse<Blake2bPath>(), PathFunction(path)) << PathName(path);
        }
    }
    for (Blake2sPath path : kBlake2sPaths) {
        if (ForcePath(path)) {
            EXPECT_EQ(RoutineInUse<Blake2sPath>(), PathFunction(path)) << PathName(path);
        }
    }
    UseChosenPaths();
    EXPECT_EQ(RoutineInUse<Blake2bPath>(), PathFunction(ChosenPath<Blake2bPath>()));
    EXPECT_EQ(RoutineInUse<Blake2sPath>(), PathFunction(ChosenPath<Blake2sPath>()));
}

}  // namespace
