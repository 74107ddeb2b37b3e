// The file path's digests, fed window by window: on every path the same as
// the one-shot operations on the same bytes, wherever the windows split the
// message, and exact past the counts that 32 bits can hold.
#include "engine/window_digests.h"

#include <cstring>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "engine/digest.h"
#include "tests/engine/path_setting.h"

namespace {

using engine::WindowDigestChoice;
using engine::WindowDigestResults;
using engine::WindowDigests;

WindowDigestChoice All(bool hmac = false, const std::string& key = "")
{
    return {true, true, true, hmac, key};
}

WindowDigestResults OneShot(const std::string& message, const WindowDigestChoice& choice)
{
    WindowDigestResults r;
    if (choice.hmac) {
        HmacMd5OfText(choice.key, message, r.md5);
        HmacSha1OfText(choice.key, message, r.sha1);
    } else {
        Md5OfText(message, r.md5);
        Sha1OfText(message, r.sha1);
    }
    r.crc32 = Crc32OfText(message);
    return r;
}

// The message cut at the given offsets, each digest fed every piece.
WindowDigestResults Windowed(const std::string& message, const std::vector<std::size_t>& cuts,
                             const WindowDigestChoice& choice)
{
    WindowDigests digests(choice);
    for (std::size_t d = 0; d < digests.Count(); ++d) {
        std::size_t from = 0;
        for (const std::size_t cut : cuts) {
            digests.Feed(d, reinterpret_cast<const std::uint8_t*>(message.data()) + from, cut - from);
            from = cut;
        }
        digests.Feed(d, reinterpret_cast<const std::uint8_t*>(message.data()) + from, message.size() - from);
    }
    return digests.Finish();
}

std::string Hex(const WindowDigestResults& r)
{
    return DigestToHexText(r.md5) + " " + DigestToHexText(r.sha1) + " " + std::to_string(r.crc32);
}

class WindowDigestsTest : public OnEveryPath {};

// Each key rule (none, the empty key, a key of one block, a longer key that
// is hashed first) with the message cut once at every offset, byte by byte,
// and in pieces of random sizes around the block size.
TEST_P(WindowDigestsTest, AnySplitGivesTheOneShotDigests)
{
    std::string message(300, '\0');
    for (std::size_t i = 0; i < message.size(); ++i)
        message[i] = static_cast<char>(i % 251);
    std::mt19937 random(1);
    for (const WindowDigestChoice& choice :
         {All(), All(true, ""), All(true, std::string(64, 'k')), All(true, std::string(80, '\xAA'))}) {
        const std::string expected = Hex(OneShot(message, choice));
        for (std::size_t cut = 0; cut <= message.size() && !HasFailure(); ++cut)
            EXPECT_EQ(Hex(Windowed(message, {cut}, choice)), expected) << "cut at " << cut << ", key of "
                                                                       << choice.key.size();
        std::vector<std::size_t> bytewise, pieces;
        for (std::size_t i = 1; i < message.size(); ++i)
            bytewise.push_back(i);
        for (std::size_t at = random() % 130; at < message.size(); at += random() % 130)
            pieces.push_back(at);
        EXPECT_EQ(Hex(Windowed(message, bytewise, choice)), expected);
        EXPECT_EQ(Hex(Windowed(message, pieces, choice)), expected);
    }
    // Nothing chosen, nothing computed; one digest alone is numbered 0.
    EXPECT_EQ(WindowDigests(WindowDigestChoice{}).Count(), 0u);
    WindowDigests crcAlone({false, false, true, true, "unused"});
    ASSERT_EQ(crcAlone.Count(), 1u);
    crcAlone.Feed(0, reinterpret_cast<const std::uint8_t*>("c"), 1);
    EXPECT_EQ(crcAlone.Finish().crc32, 0x06B9DF6Fu);
}

VELLUMARK_ON_EVERY_PATH(WindowDigestsTest);

// Zeros fed as one window of 1 MiB over and over, never 4 GiB at once. The
// known answers are those of md5sum, sha1sum and rhash over as many zeros
// from /dev/zero. 512 MiB and a byte is the first length whose bit count
// needs more than 32 bits; 4 GiB and a byte needs more than 32 bits for the
// byte count itself.
TEST(WindowDigestsLong, CountsPastWhat32BitsHold)
{
    const std::vector<std::uint8_t> zeros(std::size_t{1} << 20, 0);
    const auto feedZeros = [&](WindowDigests& digests, std::size_t d, std::size_t windows) {
        for (std::size_t i = 0; i < windows; ++i)
            digests.Feed(d, zeros.data(), zeros.size());
        digests.Feed(d, zeros.data(), 1);
    };

    WindowDigests half({true, true, false, false, ""});
    feedZeros(half, 0, 512);
    feedZeros(half, 1, 512);
    const WindowDigestResults halfResults = half.Finish();
    EXPECT_EQ(DigestToHexText(halfResults.md5), "ea3b62c6b93cb3625a1fd76777985f5a");
    EXPECT_EQ(DigestToHexText(halfResults.sha1), "3e1bb536d18494c32e66ef9f479d65bbe0d863de");

    WindowDigests large({false, true, true, false, ""});
    feedZeros(large, 0, 4096);
    feedZeros(large, 1, 4096);
    const WindowDigestResults largeResults = large.Finish();
    EXPECT_EQ(DigestToHexText(largeResults.sha1), "e7d747b75f76e0e41e83b75bce4642816136304f");
    EXPECT_EQ(largeResults.crc32, 0x41D912FFu);
}

}  // namespace
