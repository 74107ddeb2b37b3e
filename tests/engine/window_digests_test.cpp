// The file path's digests, fed window by window: on every path the same as
// the one-shot operations on the same bytes, wherever the windows split the
// message, and exact past the counts that 32 bits can hold.
#include "engine/window_digests.h"

#include <cstring>
#include <initializer_list>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "engine/digest.h"
#include "tests/digest_results.h"
#include "tests/engine/path_setting.h"

namespace {

using engine::DigestResults;
using engine::WindowDigestChoice;
using engine::WindowDigests;

WindowDigestChoice All(bool hmac = false, const std::string& key = "")
{
    return {.algorithms = {Algorithm::Md5, Algorithm::Sha1, Algorithm::Sha256, Algorithm::Sha512, Algorithm::Crc32},
            .hmac = hmac,
            .key = key};
}

DigestResults OneShot(const std::string& message, const WindowDigestChoice& choice)
{
    Md5Digest md5;
    Sha1Digest sha1;
    Sha256Digest sha256;
    Sha512Digest sha512;
    if (choice.hmac) {
        HmacMd5OfText(choice.key, message, md5);
        HmacSha1OfText(choice.key, message, sha1);
        HmacSha256OfText(choice.key, message, sha256);
        HmacSha512OfText(choice.key, message, sha512);
    } else {
        Md5OfText(message, md5);
        Sha1OfText(message, sha1);
        Sha256OfText(message, sha256);
        Sha512OfText(message, sha512);
    }
    DigestResults r;
    r.Set(Algorithm::Md5, BytesOf(md5));
    r.Set(Algorithm::Sha1, BytesOf(sha1));
    r.Set(Algorithm::Sha256, BytesOf(sha256));
    r.Set(Algorithm::Sha512, BytesOf(sha512));
    r.Set(Algorithm::Crc32, BytesOf(Crc32OfText(message)));
    return r;
}

// The message cut at the given offsets, each digest fed every piece.
DigestResults Windowed(const std::string& message, const std::vector<std::size_t>& cuts,
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

std::string Hex(const DigestResults& r)
{
    return HexOf(r, Algorithm::Md5) + " " + HexOf(r, Algorithm::Sha1) + " " + HexOf(r, Algorithm::Sha256) + " " +
           HexOf(r, Algorithm::Sha512) + " " + std::to_string(Crc32Of(r));
}

// A published vector: the message, the key where there is one, and the
// digest as far as it is published.
struct Vector {
    bool hmac;
    std::string key, text;
    const char* hex;
};

// One digest alone, keyed or not, over each vector cut once at every offset
// and fed byte by byte, and over the million "a" fed in pieces of the given
// sizes.
void ExpectVectorsSplitAnywhere(Algorithm tick, const std::vector<Vector>& vectors,
                                std::initializer_list<std::size_t> pieces, const char* millionHex)
{
    const auto hex = [&](const std::string& message, const std::vector<std::size_t>& cuts, bool hmac,
                         const std::string& key, std::size_t published) {
        const WindowDigestChoice choice{.algorithms = {tick}, .hmac = hmac, .key = key};
        return HexOf(Windowed(message, cuts, choice), tick).substr(0, published);
    };
    for (const Vector& v : vectors) {
        SCOPED_TRACE(v.hex);
        const std::size_t published = std::strlen(v.hex);
        for (std::size_t cut = 0; cut <= v.text.size(); ++cut)
            EXPECT_EQ(hex(v.text, {cut}, v.hmac, v.key, published), v.hex) << "cut at " << cut;
        std::vector<std::size_t> bytewise;
        for (std::size_t i = 1; i < v.text.size(); ++i)
            bytewise.push_back(i);
        EXPECT_EQ(hex(v.text, bytewise, v.hmac, v.key, published), v.hex);
    }

    const std::string million(1000000, 'a');
    for (std::size_t piece : pieces) {
        std::vector<std::size_t> cuts;
        for (std::size_t at = piece; at < million.size(); at += piece)
            cuts.push_back(at);
        EXPECT_EQ(hex(million, cuts, false, {}, std::strlen(millionHex)), millionHex) << "pieces of " << piece;
    }
}

class WindowDigestsTest : public OnEveryPath {};

// Each key rule (none, the empty key, a key of one block, a longer key that
// is hashed first, for 64-byte blocks and SHA-512's 128-byte ones) with the
// message cut once at every offset, byte by byte, and in pieces of random
// sizes around the block sizes.
TEST_P(WindowDigestsTest, AnySplitGivesTheOneShotDigests)
{
    std::string message(300, '\0');
    for (std::size_t i = 0; i < message.size(); ++i)
        message[i] = static_cast<char>(i % 251);
    std::mt19937 random(1);
    for (const WindowDigestChoice& choice :
         {All(), All(true, ""), All(true, std::string(64, 'k')), All(true, std::string(80, '\xAA')),
          All(true, std::string(128, 'K')), All(true, std::string(131, '\x5C'))}) {
        const std::string expected = Hex(OneShot(message, choice));
        for (std::size_t cut = 0; cut <= message.size() && !HasFailure(); ++cut)
            EXPECT_EQ(Hex(Windowed(message, {cut}, choice)), expected)
                << "cut at " << cut << ", key of " << choice.key.size();
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
    WindowDigests crcAlone({.algorithms = {Algorithm::Crc32}, .hmac = true, .key = "unused"});
    ASSERT_EQ(crcAlone.Count(), 1u);
    crcAlone.Feed(0, reinterpret_cast<const std::uint8_t*>("c"), 1);
    EXPECT_EQ(Crc32Of(crcAlone.Finish()), 0x06B9DF6Fu);
}

// SHA-256 alone, keyed or not, against FIPS 180-4's samples and RFC 4231's
// cases (the fifth publishes 128 bits), cut once at every offset and fed
// byte by byte. The million "a" is fed in pieces about the block size.
TEST_P(WindowDigestsTest, Sha256VectorsSplitAnywhere)
{
    const std::string key131(131, '\xaa');
    const std::vector<Vector> vectors = {
        {false, "", "", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
        {false, "", "abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
        {false, "", "abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
         "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
        {true, std::string(20, '\x0b'), "Hi There", "b0344c61d8db38535ca8afceaf0bf12b881dc200c9833da726e9376c2e32cff7"},
        {true, "Jefe", "what do ya want for nothing?",
         "5bdcc146bf60754e6a042426089575c75a003f089d2739839dec58b964ec3843"},
        {true, std::string(20, '\xaa'), std::string(50, '\xdd'),
         "773ea91e36800e46854db8ebd09181a72959098b3ef8c122d9635514ced565fe"},
        {true, "\x01\x02\x03\x04\x05\x06\x07\x08\x09\x0a\x0b\x0c\x0d\x0e\x0f\x10\x11\x12\x13\x14\x15\x16\x17\x18\x19",
         std::string(50, '\xcd'), "82558a389a443c0ea4cc819899f2083a85f0faa3e578f8077a2e3ff46729665b"},
        {true, std::string(20, '\x0c'), "Test With Truncation", "a3b6167473100ee06e0c796c2955552b"},
        {true, key131, "Test Using Larger Than Block-Size Key - Hash Key First",
         "60e431591ee0b67f0d8a26aacbf5b77f8e0bc6213728c5140546040f0ee37f54"},
        {true, key131,
         "This is a test using a larger than block-size key and a larger than block-size data. The key needs to be "
         "hashed before being used by the HMAC algorithm.",
         "9b09ffa71b942fcb27635fbcd5b0e944bfdc63644f0713938a7f51535c3a35e2"},
    };
    ExpectVectorsSplitAnywhere(Algorithm::Sha256, vectors, {1, 63, 64, 65, 4097},
                               "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0");
}

// SHA-512 likewise: FIPS 180-4's samples and RFC 4231's cases, whose keys
// of 131 bytes are longer than even SHA-512's block.
TEST_P(WindowDigestsTest, Sha512VectorsSplitAnywhere)
{
    const std::string key131(131, '\xaa');
    const std::vector<Vector> vectors = {
        {false, "", "",
         "cf83e1357eefb8bdf1542850d66d8007d620e4050b5715dc83f4a921d36ce9ce"
         "47d0d13c5d85f2b0ff8318d2877eec2f63b931bd47417a81a538327af927da3e"},
        {false, "", "abc",
         "ddaf35a193617abacc417349ae20413112e6fa4e89a97ea20a9eeee64b55d39a"
         "2192992a274fc1a836ba3c23a3feebbd454d4423643ce80e2a9ac94fa54ca49f"},
        {false, "",
         "abcdefghbcdefghicdefghijdefghijkefghijklfghijklmghijklmnhijklmnoijklmnopjklmnopqklmnopqrlmnopqrsmnopqrst"
         "nopqrstu",
         "8e959b75dae313da8cf4f72814fc143f8f7779c6eb9f7fa17299aeadb6889018"
         "501d289e4900f7e4331b99dec4b5433ac7d329eeb6dd26545e96e55b874be909"},
        {true, std::string(20, '\x0b'), "Hi There",
         "87aa7cdea5ef619d4ff0b4241a1d6cb02379f4e2ce4ec2787ad0b30545e17cde"
         "daa833b7d6b8a702038b274eaea3f4e4be9d914eeb61f1702e696c203a126854"},
        {true, "Jefe", "what do ya want for nothing?",
         "164b7a7bfcf819e2e395fbe73b56e0a387bd64222e831fd610270cd7ea250554"
         "9758bf75c05a994a6d034f65f8f0e6fdcaeab1a34d4a6b4b636e070a38bce737"},
        {true, std::string(20, '\xaa'), std::string(50, '\xdd'),
         "fa73b0089d56a284efb0f0756c890be9b1b5dbdd8ee81a3655f83e33b2279d39"
         "bf3e848279a722c806b485a47e67c807b946a337bee8942674278859e13292fb"},
        {true, "\x01\x02\x03\x04\x05\x06\x07\x08\x09\x0a\x0b\x0c\x0d\x0e\x0f\x10\x11\x12\x13\x14\x15\x16\x17\x18\x19",
         std::string(50, '\xcd'),
         "b0ba465637458c6990e5a8c5f61d4af7e576d97ff94b872de76f8050361ee3db"
         "a91ca5c11aa25eb4d679275cc5788063a5f19741120c4f2de2adebeb10a298dd"},
        {true, std::string(20, '\x0c'), "Test With Truncation", "415fad6271580a531d4179bc891d87a6"},
        {true, key131, "Test Using Larger Than Block-Size Key - Hash Key First",
         "80b24263c7c1a3ebb71493c1dd7be8b49b46d1f41b4aeec1121b013783f8f352"
         "6b56d037e05f2598bd0fd2215d6a1e5295e64f73f63f0aec8b915a985d786598"},
        {true, key131,
         "This is a test using a larger than block-size key and a larger than block-size data. The key needs to be "
         "hashed before being used by the HMAC algorithm.",
         "e37b6a775dc87dbaa4dfa9f96e5e3ffddebd71f8867289865df5a32d20cdc944"
         "b6022cac3c4982b10d5eeb55c3e4de15134676fb6de0446065c97440fa8c6a58"},
    };
    ExpectVectorsSplitAnywhere(Algorithm::Sha512, vectors, {1, 127, 128, 129, 4097},
                               "e718483d0ce769644e2e42c7bc15b4638e1f98b13b2044285632a803afa973eb"
                               "de0ff244877ea60a4cb0432ce577c31beb009c5c2c49aa2e4eadb217ad8cc09b");
}

// SHA-224 and SHA-384 likewise, through SHA-256's and SHA-512's block
// functions from their own start values, cut to their length also inside
// the HMAC: FIPS 180-4's samples and RFC 4231's cases.
TEST_P(WindowDigestsTest, Sha224AndSha384VectorsSplitAnywhere)
{
    const std::string key131(131, '\xaa');
    const std::string larger = "Test Using Larger Than Block-Size Key - Hash Key First";
    const std::string largerData =
        "This is a test using a larger than block-size key and a larger than block-size data. The key needs to be "
        "hashed before being used by the HMAC algorithm.";
    ExpectVectorsSplitAnywhere(
        Algorithm::Sha224,
        {{false, "", "", "d14a028c2a3a2bc9476102bb288234c415a2b01f828ea62ac5b3e42f"},
         {false, "", "abc", "23097d223405d8228642a477bda255b32aadbce4bda0b3f7e36c9da7"},
         {false, "", "abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
          "75388b16512776cc5dba5da1fd890150b0c6455cb4f58b1952522525"},
         {true, std::string(20, '\x0b'), "Hi There", "896fb1128abbdf196832107cd49df33f47b4b1169912ba4f53684b22"},
         {true, "Jefe", "what do ya want for nothing?", "a30e01098bc6dbbf45690f3a7e9e6d0f8bbea2a39e6148008fd05e44"},
         {true, key131, larger, "95e9a0db962095adaebe9b2d6f0dbce2d499f112f2d2b7273fa6870e"},
         {true, key131, largerData, "3a854166ac5d9f023f54d517d0b39dbd946770db9c2b95c9f6f565d1"}},
        {1, 64, 4097}, "20794655980c91d8bbb4c1ea97618a4bf03f42581948b2ee4ee7ad67");
    ExpectVectorsSplitAnywhere(
        Algorithm::Sha384,
        {{false, "", "",
          "38b060a751ac96384cd9327eb1b1e36a21fdb71114be07434c0cc7bf63f6e1da274edebfe76f65fbd51ad2f14898b95b"},
         {false, "", "abc",
          "cb00753f45a35e8bb5a03d699ac65007272c32ab0eded1631a8b605a43ff5bed8086072ba1e7cc2358baeca134c825a7"},
         {false, "",
          "abcdefghbcdefghicdefghijdefghijkefghijklfghijklmghijklmnhijklmnoijklmnopjklmnopqklmnopqrlmnopqrsmnopqrst"
          "nopqrstu",
          "09330c33f71147e83d192fc782cd1b4753111b173b3b05d22fa08086e3b0f712fcc7c71a557e2db966c3e9fa91746039"},
         {true, "Jefe", "what do ya want for nothing?",
          "af45d2e376484031617f78d2b58a6b1b9c7ef464f5a01b47e42ec3736322445e8e2240ca5e69e2c78b3239ecfab21649"},
         {true, key131, larger,
          "4ece084485813e9088d2c63a041bc5b44f9ef1012a2b588f3cd11f05033ac4c60c2ef6ab4030fe8296248df163f44952"},
         {true, key131, largerData,
          "6617178e941f020d351e2f254e8fd32c602420feb0b8fb9adccebb82461e99c5a678cc31e799176d3860e6110c46523e"}},
        {1, 128, 4097},
        "9d0e1809716474cb086e834e310a4a1ced149e9c00f248527972cec5704c2a5b07b8b3dc38ecc4ebae97ddd87f3d8985");
}

VELLUMARK_ON_EVERY_PATH(WindowDigestsTest);

// Zeros fed as one window of 1 MiB over and over, never 4 GiB at once. The
// known answers are those of md5sum, sha1sum, sha256sum, sha512sum and rhash
// over as many zeros from /dev/zero, run once and written down here. 512 MiB
// and a byte is the first length whose bit count needs more than 32 bits;
// 4 GiB and a byte needs more than 32 bits for the byte count itself.
TEST(WindowDigestsLong, CountsPastWhat32BitsHold)
{
    const std::vector<std::uint8_t> zeros(std::size_t{1} << 20, 0);
    const auto feedZeros = [&](WindowDigests& digests, std::size_t d, std::size_t windows) {
        for (std::size_t i = 0; i < windows; ++i)
            digests.Feed(d, zeros.data(), zeros.size());
        digests.Feed(d, zeros.data(), 1);
    };

    WindowDigests half(
        {.algorithms = {Algorithm::Md5, Algorithm::Sha1, Algorithm::Sha256, Algorithm::Sha512}, .key = {}});
    for (std::size_t d = 0; d < half.Count(); ++d)
        feedZeros(half, d, 512);
    const DigestResults halfResults = half.Finish();
    EXPECT_EQ(HexOf(halfResults, Algorithm::Md5), "ea3b62c6b93cb3625a1fd76777985f5a");
    EXPECT_EQ(HexOf(halfResults, Algorithm::Sha1), "3e1bb536d18494c32e66ef9f479d65bbe0d863de");
    EXPECT_EQ(HexOf(halfResults, Algorithm::Sha256),
              "7c40fe5ce847740d0f0d0cdde3949d6585804cdec3ae61a15b923165699c8137");
    EXPECT_EQ(HexOf(halfResults, Algorithm::Sha512),
              "8165468866efe161e7d5394bcb5a72bb5dd30e8584ce00a5f87a89c861464ae5"
              "ee9bfbbe542d3a80f86f83f2ebeaf2757beffc96e4c0431395bd94284f3c766e");

    WindowDigests large({.algorithms = {Algorithm::Sha1, Algorithm::Sha512, Algorithm::Crc32}, .key = {}});
    for (std::size_t d = 0; d < large.Count(); ++d)
        feedZeros(large, d, 4096);
    const DigestResults largeResults = large.Finish();
    EXPECT_EQ(HexOf(largeResults, Algorithm::Sha1), "e7d747b75f76e0e41e83b75bce4642816136304f");
    EXPECT_EQ(HexOf(largeResults, Algorithm::Sha512),
              "89fdc1f5c95f86d177144bc417b3513a669dae7f60c9e57fc2b39e0bfcd6dbb9"
              "efdf6b339d1762fe3f5e7914f1b64abb6a97a2ceec1bbb2a381e3eb0d3c43781");
    EXPECT_EQ(Crc32Of(largeResults), 0x41D912FFu);
}

}  // namespace
