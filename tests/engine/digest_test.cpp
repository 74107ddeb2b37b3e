// The digests against published vectors, and against OpenSSL and zlib over
// padding boundaries and a seeded stream of random messages and keys, on
// every path the engine can take.
#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <zlib.h>

#include <climits>
#include <cstdio>
#include <cstring>
#include <random>
#include <string>

#include "engine/digest.h"
#include "path_setting.h"

namespace {

// Lower-case hex of raw bytes, apart from the engine's own formatter so that
// the checks do not rest on the code they check.
std::string Hex(const void* data, std::size_t count)
{
    std::string text;
    char pair[3];
    for (std::size_t i = 0; i < count; ++i) {
        std::snprintf(pair, sizeof pair, "%02x", static_cast<const unsigned char*>(data)[i]);
        text += pair;
    }
    return text;
}

struct Results {
    std::string md5, sha1, hmacMd5, hmacSha1;
    std::uint32_t crc = 0;
    std::string sha256, hmacSha256, sha512, hmacSha512;
    friend bool operator==(const Results&, const Results&) = default;
    friend std::ostream& operator<<(std::ostream& os, const Results& r)
    {
        return os << r.md5 << ' ' << r.sha1 << ' ' << r.hmacMd5 << ' ' << r.hmacSha1 << ' ' << std::hex << r.crc
                  << std::dec << ' ' << r.sha256 << ' ' << r.hmacSha256 << ' ' << r.sha512 << ' ' << r.hmacSha512;
    }
};

// The record starts out as `fill` garbage, so a digest must be written whole.
template <class Record, class Compute>
std::string Run(std::uint8_t fill, Compute compute)
{
    Record digest;
    std::memset(&digest, fill, sizeof digest);
    compute(digest);
    return Hex(digest.bytes, sizeof digest.bytes);
}

Results FromBuffer(const std::string& key, const void* buffer, std::int32_t length, std::uint8_t fill)
{
    return {Run<Md5Digest>(fill, [&](Md5Digest& d) { Md5OfBytes(buffer, length, d); }),
            Run<Sha1Digest>(fill, [&](Sha1Digest& d) { Sha1OfBytes(buffer, length, d); }),
            Run<Md5Digest>(fill, [&](Md5Digest& d) { HmacMd5OfBytes(key, buffer, length, d); }),
            Run<Sha1Digest>(fill, [&](Sha1Digest& d) { HmacSha1OfBytes(key, buffer, length, d); }),
            Crc32OfBytes(buffer, length),
            Run<Sha256Digest>(fill, [&](Sha256Digest& d) { Sha256OfBytes(buffer, length, d); }),
            Run<Sha256Digest>(fill, [&](Sha256Digest& d) { HmacSha256OfBytes(key, buffer, length, d); }),
            Run<Sha512Digest>(fill, [&](Sha512Digest& d) { Sha512OfBytes(buffer, length, d); }),
            Run<Sha512Digest>(fill, [&](Sha512Digest& d) { HmacSha512OfBytes(key, buffer, length, d); })};
}

Results FromText(const std::string& key, const std::string& text, std::uint8_t fill)
{
    return {Run<Md5Digest>(fill, [&](Md5Digest& d) { Md5OfText(text, d); }),
            Run<Sha1Digest>(fill, [&](Sha1Digest& d) { Sha1OfText(text, d); }),
            Run<Md5Digest>(fill, [&](Md5Digest& d) { HmacMd5OfText(key, text, d); }),
            Run<Sha1Digest>(fill, [&](Sha1Digest& d) { HmacSha1OfText(key, text, d); }),
            Crc32OfText(text),
            Run<Sha256Digest>(fill, [&](Sha256Digest& d) { Sha256OfText(text, d); }),
            Run<Sha256Digest>(fill, [&](Sha256Digest& d) { HmacSha256OfText(key, text, d); }),
            Run<Sha512Digest>(fill, [&](Sha512Digest& d) { Sha512OfText(text, d); }),
            Run<Sha512Digest>(fill, [&](Sha512Digest& d) { HmacSha512OfText(key, text, d); })};
}

Results Reference(const std::string& key, const std::string& message)
{
    const auto* data = reinterpret_cast<const unsigned char*>(message.data());
    const std::size_t size = message.size();
    const int keySize = static_cast<int>(key.size());
    unsigned char out[EVP_MAX_MD_SIZE];
    unsigned int outSize = 0;
    const auto hex = [&](bool done) {
        EXPECT_TRUE(done);
        return Hex(out, outSize);
    };
    return {hex(EVP_Digest(data, size, out, &outSize, EVP_md5(), nullptr) == 1),
            hex(EVP_Digest(data, size, out, &outSize, EVP_sha1(), nullptr) == 1),
            hex(HMAC(EVP_md5(), key.data(), keySize, data, size, out, &outSize) != nullptr),
            hex(HMAC(EVP_sha1(), key.data(), keySize, data, size, out, &outSize) != nullptr),
            static_cast<std::uint32_t>(crc32(0, data, static_cast<uInt>(size))),
            hex(EVP_Digest(data, size, out, &outSize, EVP_sha256(), nullptr) == 1),
            hex(HMAC(EVP_sha256(), key.data(), keySize, data, size, out, &outSize) != nullptr),
            hex(EVP_Digest(data, size, out, &outSize, EVP_sha512(), nullptr) == 1),
            hex(HMAC(EVP_sha512(), key.data(), keySize, data, size, out, &outSize) != nullptr)};
}

// Both forms meet the reference. The buffer form reads `offset` bytes into a
// larger buffer, so its blocks come at any alignment.
void ExpectSameAsReference(const std::string& key, const std::string& message, std::size_t offset, std::uint8_t fill)
{
    const Results want = Reference(key, message);
    const std::string shifted = std::string(offset, '\xEE') + message;
    EXPECT_EQ(FromText(key, message, fill), want);
    EXPECT_EQ(FromBuffer(key, shifted.data() + offset, static_cast<std::int32_t>(message.size()), fill), want);
}

std::string RandomBytes(std::mt19937& rng, std::size_t count)
{
    std::uniform_int_distribution<int> byte(0, 255);
    std::string s(count, '\0');
    for (char& c : s)
        c = static_cast<char>(byte(rng));
    return s;
}

using Digest = OnEveryPath;

// RFC 1321 A.5, FIPS 180-1, FIPS 180-4 (SHA-256 and SHA-512), RFC 2202 and
// RFC 4231; every vector also in the buffer form. RFC 4231's case 5
// publishes only the first 128 bits.
TEST_P(Digest, PublishedVectors)
{
    const std::string key80(80, '\xaa'),
        digits = "1234567890",
        counting =
            "\x01\x02\x03\x04\x05\x06\x07\x08\x09\x0a\x0b\x0c\x0d\x0e\x0f\x10\x11\x12\x13\x14\x15\x16\x17\x18\x19";
    const std::string hashKeyFirst = "Test Using Larger Than Block-Size Key - Hash Key First";
    const std::string twoBlocks = "Test Using Larger Than Block-Size Key and Larger Than One Block-Size Data";
    const std::string key131(131, '\xaa');
    const std::string hashKeyAndData =
        "This is a test using a larger than block-size key and a larger than block-size data. The key needs to be "
        "hashed before being used by the HMAC algorithm.";
    const struct {
        std::string Results::*kind;
        std::string key, text;
        const char* hex;
        bool truncated = false;
    } kVectors[] = {
        {&Results::md5, "", "", "d41d8cd98f00b204e9800998ecf8427e"},
        {&Results::md5, "", "a", "0cc175b9c0f1b6a831c399e269772661"},
        {&Results::md5, "", "abc", "900150983cd24fb0d6963f7d28e17f72"},
        {&Results::md5, "", "message digest", "f96b697d7cb7938d525a2f31aaf161d0"},
        {&Results::md5, "", "abcdefghijklmnopqrstuvwxyz", "c3fcd3d76192e4007dfb496cca67e13b"},
        {&Results::md5, "", "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789",
         "d174ab98d277d9f5a5611c2c9f419d9f"},
        {&Results::md5, "", digits + digits + digits + digits + digits + digits + digits + digits,
         "57edf4a22be3c955ac49da2e2107b67a"},
        {&Results::sha1, "", "abc", "a9993e364706816aba3e25717850c26c9cd0d89d"},
        {&Results::sha1, "", "abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
         "84983e441c3bd26ebaae4aa1f95129e5e54670f1"},
        {&Results::sha1, "", std::string(1000000, 'a'), "34aa973cd4c4daa4f61eeb2bdbad27316534016f"},
        {&Results::hmacMd5, std::string(16, '\x0b'), "Hi There", "9294727a3638bb1c13f48ef8158bfc9d"},
        {&Results::hmacMd5, "Jefe", "what do ya want for nothing?", "750c783e6ab0b503eaa86e310a5db738"},
        {&Results::hmacMd5, std::string(16, '\xaa'), std::string(50, '\xdd'), "56be34521d144c88dbb8c733f0e8b3f6"},
        {&Results::hmacMd5, counting, std::string(50, '\xcd'), "697eaf0aca3a3aea3a75164746ffaa79"},
        {&Results::hmacMd5, std::string(16, '\x0c'), "Test With Truncation", "56461ef2342edc00f9bab995690efd4c"},
        {&Results::hmacMd5, key80, hashKeyFirst, "6b1ab7fe4bd7bf8f0b62e6ce61b9d0cd"},
        {&Results::hmacMd5, key80, twoBlocks, "6f630fad67cda0ee1fb1f562db3aa53e"},
        {&Results::hmacSha1, std::string(20, '\x0b'), "Hi There", "b617318655057264e28bc0b6fb378c8ef146be00"},
        {&Results::hmacSha1, "Jefe", "what do ya want for nothing?", "effcdf6ae5eb2fa2d27416d5f184df9c259a7c79"},
        {&Results::hmacSha1, std::string(20, '\xaa'), std::string(50, '\xdd'),
         "125d7342b9ac11cd91a39af48aa17b4f63f175d3"},
        {&Results::hmacSha1, counting, std::string(50, '\xcd'), "4c9007f4026250c6bc8414f9bf50c86c2d7235da"},
        {&Results::hmacSha1, std::string(20, '\x0c'), "Test With Truncation",
         "4c1a03424b55e07fe7f27be1d58bb9324a9a5a04"},
        {&Results::hmacSha1, key80, hashKeyFirst, "aa4ae5e15272d00e95705637ce8a3b55ed402112"},
        {&Results::hmacSha1, key80, twoBlocks, "e8e99d0f45237d786d6bbaa7965c7808bbff1a91"},
        {&Results::sha256, "", "", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
        {&Results::sha256, "", "abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
        {&Results::sha256, "", "abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
         "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
        {&Results::sha256, "", std::string(1000000, 'a'),
         "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
        {&Results::hmacSha256, std::string(20, '\x0b'), "Hi There",
         "b0344c61d8db38535ca8afceaf0bf12b881dc200c9833da726e9376c2e32cff7"},
        {&Results::hmacSha256, "Jefe", "what do ya want for nothing?",
         "5bdcc146bf60754e6a042426089575c75a003f089d2739839dec58b964ec3843"},
        {&Results::hmacSha256, std::string(20, '\xaa'), std::string(50, '\xdd'),
         "773ea91e36800e46854db8ebd09181a72959098b3ef8c122d9635514ced565fe"},
        {&Results::hmacSha256, counting, std::string(50, '\xcd'),
         "82558a389a443c0ea4cc819899f2083a85f0faa3e578f8077a2e3ff46729665b"},
        {&Results::hmacSha256, std::string(20, '\x0c'), "Test With Truncation", "a3b6167473100ee06e0c796c2955552b",
         true},
        {&Results::hmacSha256, key131, hashKeyFirst,
         "60e431591ee0b67f0d8a26aacbf5b77f8e0bc6213728c5140546040f0ee37f54"},
        {&Results::hmacSha256, key131, hashKeyAndData,
         "9b09ffa71b942fcb27635fbcd5b0e944bfdc63644f0713938a7f51535c3a35e2"},
        {&Results::sha512, "", "abc",
         "ddaf35a193617abacc417349ae20413112e6fa4e89a97ea20a9eeee64b55d39a"
         "2192992a274fc1a836ba3c23a3feebbd454d4423643ce80e2a9ac94fa54ca49f"},
        {&Results::sha512, "",
         "abcdefghbcdefghicdefghijdefghijkefghijklfghijklmghijklmnhijklmnoijklmnopjklmnopqklmnopqrlmnopqrsmnopqrst"
         "nopqrstu",
         "8e959b75dae313da8cf4f72814fc143f8f7779c6eb9f7fa17299aeadb6889018"
         "501d289e4900f7e4331b99dec4b5433ac7d329eeb6dd26545e96e55b874be909"},
        {&Results::sha512, "", "",
         "cf83e1357eefb8bdf1542850d66d8007d620e4050b5715dc83f4a921d36ce9ce"
         "47d0d13c5d85f2b0ff8318d2877eec2f63b931bd47417a81a538327af927da3e"},
        {&Results::sha512, "", std::string(1000000, 'a'),
         "e718483d0ce769644e2e42c7bc15b4638e1f98b13b2044285632a803afa973eb"
         "de0ff244877ea60a4cb0432ce577c31beb009c5c2c49aa2e4eadb217ad8cc09b"},
        {&Results::hmacSha512, std::string(20, '\x0b'), "Hi There",
         "87aa7cdea5ef619d4ff0b4241a1d6cb02379f4e2ce4ec2787ad0b30545e17cde"
         "daa833b7d6b8a702038b274eaea3f4e4be9d914eeb61f1702e696c203a126854"},
        {&Results::hmacSha512, "Jefe", "what do ya want for nothing?",
         "164b7a7bfcf819e2e395fbe73b56e0a387bd64222e831fd610270cd7ea250554"
         "9758bf75c05a994a6d034f65f8f0e6fdcaeab1a34d4a6b4b636e070a38bce737"},
        {&Results::hmacSha512, std::string(20, '\xaa'), std::string(50, '\xdd'),
         "fa73b0089d56a284efb0f0756c890be9b1b5dbdd8ee81a3655f83e33b2279d39"
         "bf3e848279a722c806b485a47e67c807b946a337bee8942674278859e13292fb"},
        {&Results::hmacSha512, counting, std::string(50, '\xcd'),
         "b0ba465637458c6990e5a8c5f61d4af7e576d97ff94b872de76f8050361ee3db"
         "a91ca5c11aa25eb4d679275cc5788063a5f19741120c4f2de2adebeb10a298dd"},
        {&Results::hmacSha512, std::string(20, '\x0c'), "Test With Truncation", "415fad6271580a531d4179bc891d87a6",
         true},
        {&Results::hmacSha512, key131, hashKeyFirst,
         "80b24263c7c1a3ebb71493c1dd7be8b49b46d1f41b4aeec1121b013783f8f352"
         "6b56d037e05f2598bd0fd2215d6a1e5295e64f73f63f0aec8b915a985d786598"},
        {&Results::hmacSha512, key131, hashKeyAndData,
         "e37b6a775dc87dbaa4dfa9f96e5e3ffddebd71f8867289865df5a32d20cdc944"
         "b6022cac3c4982b10d5eeb55c3e4de15134676fb6de0446065c97440fa8c6a58"},
    };
    for (const auto& v : kVectors) {
        SCOPED_TRACE(v.hex);
        const Results text = FromText(v.key, v.text, 0xA5);
        const std::string& got = text.*v.kind;
        EXPECT_EQ(v.truncated ? got.substr(0, std::strlen(v.hex)) : got, v.hex);
        EXPECT_EQ(FromBuffer(v.key, v.text.data(), static_cast<std::int32_t>(v.text.size()), 0x5A), text);
    }
    EXPECT_EQ(Crc32OfText("123456789"), 0xCBF43926u);  // the CRC-32 check value
    EXPECT_EQ(Crc32OfText(std::string(1000000, 'a')), 0xDC25BFBCu);
}

// The buffer is never read: a null one would crash.
TEST_P(Digest, ZeroOrNegativeLengthIsTheEmptyMessage)
{
    const Results empty = Reference("key", "");
    const char bytes[] = "not hashed";
    for (std::int32_t length : {0, -1, -64, INT_MIN}) {
        EXPECT_EQ(FromBuffer("key", nullptr, length, 0xFF), empty) << length;
        EXPECT_EQ(FromBuffer("key", bytes, length, 0xFF), empty) << length;
    }
}

TEST_P(Digest, ZeroBytesAreDataInTheMessageAndTheKey)
{
    ExpectSameAsReference(std::string("k\0y", 3), std::string("ab\0cd\0\0ef\0", 10), 1, 0x00);
}

// The boundaries of the 64-byte blocks and of SHA-512's 128-byte ones, whose
// length field takes 16 bytes; keys about both block sizes.
TEST_P(Digest, PaddingBoundariesAndKeySizesMeetTheReference)
{
    std::mt19937 rng(1321);
    for (std::size_t length :
         {0, 1, 55, 56, 57, 63, 64, 65, 111, 112, 113, 119, 120, 121, 127, 128, 129, 239, 240, 241, 255, 256, 257}) {
        const std::string message = RandomBytes(rng, length);
        for (std::size_t keyLength : {0, 1, 63, 64, 65, 80, 127, 128, 129, 200}) {
            SCOPED_TRACE(testing::Message() << "length " << length << ", key " << keyLength);
            ExpectSameAsReference(RandomBytes(rng, keyLength), message, 0, 0xA5);
        }
    }
}

// Offsets 0 to 7 into the caller's buffer and every garbage byte in the records.
TEST_P(Digest, SeededRandomInputMeetsTheReference)
{
    std::mt19937 rng(2104);
    std::uniform_int_distribution<std::size_t> messageLength(0, 5000), keyLength(0, 300);
    for (int round = 0; round < 3000 && !HasFailure(); ++round) {
        const std::string message = RandomBytes(rng, messageLength(rng));
        const std::string key = RandomBytes(rng, keyLength(rng));
        SCOPED_TRACE(testing::Message() << "round " << round << ", length " << message.size() << ", key "
                                        << key.size());
        ExpectSameAsReference(key, message, static_cast<std::size_t>(round % 8), static_cast<std::uint8_t>(round));
    }
}

VELLUMARK_ON_EVERY_PATH(Digest);

}  // namespace
