// The engine against the reference libraries, over boundary lengths and a
// seeded stream of random messages and keys.
#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <zlib.h>

#include <random>
#include <string>

#include "engine/digest.h"
#include "hex.h"

namespace {

struct Expected {
    std::string md5, sha1, hmacMd5, hmacSha1;
    std::uint32_t crc;
};

Expected Reference(const std::string& key, const std::string& message) {
    static const unsigned char kNoBytes = 0;
    const auto* data = message.empty() ? &kNoBytes : reinterpret_cast<const unsigned char*>(message.data());
    const void* keyData = key.empty() ? &kNoBytes : static_cast<const void*>(key.data());
    const int keyLength = static_cast<int>(key.size());
    unsigned char out[EVP_MAX_MD_SIZE];
    unsigned int outLength = 0;
    Expected e;

    EXPECT_EQ(EVP_Digest(data, message.size(), out, &outLength, EVP_md5(), nullptr), 1);
    e.md5 = Hex(out, outLength);
    EXPECT_EQ(EVP_Digest(data, message.size(), out, &outLength, EVP_sha1(), nullptr), 1);
    e.sha1 = Hex(out, outLength);
    EXPECT_NE(HMAC(EVP_md5(), keyData, keyLength, data, message.size(), out, &outLength), nullptr);
    e.hmacMd5 = Hex(out, outLength);
    EXPECT_NE(HMAC(EVP_sha1(), keyData, keyLength, data, message.size(), out, &outLength), nullptr);
    e.hmacSha1 = Hex(out, outLength);
    e.crc = static_cast<std::uint32_t>(crc32(0, data, static_cast<uInt>(message.size())));
    return e;
}

// Buffer forms for the plain results, text forms for the keyed ones, so
// that both entry points meet the reference on every input.
void ExpectSameAsReference(const std::string& key, const std::string& message) {
    const Expected want = Reference(key, message);
    const auto length = static_cast<std::int32_t>(message.size());
    Md5Digest md5;
    Sha1Digest sha1;

    Md5OfBytes(message.data(), length, md5);
    EXPECT_EQ(Hex(md5), want.md5);
    Sha1OfBytes(message.data(), length, sha1);
    EXPECT_EQ(Hex(sha1), want.sha1);
    HmacMd5OfText(key, message, md5);
    EXPECT_EQ(Hex(md5), want.hmacMd5);
    HmacSha1OfText(key, message, sha1);
    EXPECT_EQ(Hex(sha1), want.hmacSha1);
    EXPECT_EQ(Crc32OfBytes(message.data(), length), want.crc);
}

std::string RandomBytes(std::mt19937& rng, std::size_t count) {
    std::uniform_int_distribution<int> byte(0, 255);
    std::string s(count, '\0');
    for (char& c : s) c = static_cast<char>(byte(rng));
    return s;
}

TEST(Reference, PaddingBoundariesAndKeySizes) {
    std::mt19937 rng(1321);
    for (std::size_t length : {0, 1, 55, 56, 57, 63, 64, 65, 119, 120, 121, 127, 128, 129}) {
        const std::string message = RandomBytes(rng, length);
        for (std::size_t keyLength : {0, 1, 63, 64, 65, 80}) {
            SCOPED_TRACE(testing::Message() << "length " << length << ", key " << keyLength);
            ExpectSameAsReference(RandomBytes(rng, keyLength), message);
        }
    }
}

TEST(Reference, SeededRandomMessagesAndKeys) {
    std::mt19937 rng(2104);
    std::uniform_int_distribution<std::size_t> messageLength(0, 5000), keyLength(0, 200);
    for (int round = 0; round < 3000; ++round) {
        const std::string message = RandomBytes(rng, messageLength(rng));
        const std::string key = RandomBytes(rng, keyLength(rng));
        SCOPED_TRACE(testing::Message() << "round " << round << ", length " << message.size() << ", key "
                                        << key.size());
        ExpectSameAsReference(key, message);
        if (HasFailure()) break;  // one round's report says it all
    }
}

// Blocks straight from the caller's buffer must meet the reference at every
// alignment, not only where the allocator happens to put a string.
TEST(Reference, MisalignedLongMessages) {
    std::mt19937 rng(180);
    const std::string source = RandomBytes(rng, 70000);
    for (std::size_t offset = 1; offset < 4; ++offset) {
        SCOPED_TRACE(offset);
        const std::string message = source.substr(offset);
        const Expected want = Reference("", message);
        const auto length = static_cast<std::int32_t>(message.size());
        Md5Digest md5;
        Sha1Digest sha1;
        Md5OfBytes(source.data() + offset, length, md5);
        EXPECT_EQ(Hex(md5), want.md5);
        Sha1OfBytes(source.data() + offset, length, sha1);
        EXPECT_EQ(Hex(sha1), want.sha1);
        EXPECT_EQ(Crc32OfBytes(source.data() + offset, length), want.crc);
    }
}

}  // namespace
