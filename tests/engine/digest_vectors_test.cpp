// Published test vectors and the engine's own input rules.
#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <string>
#include <vector>

#include "engine/digest.h"
#include "hex.h"

namespace {

std::string Md5Hex(const std::string& text) {
    Md5Digest d;
    Md5OfText(text, d);
    return Hex(d);
}

std::string Sha1Hex(const std::string& text) {
    Sha1Digest d;
    Sha1OfText(text, d);
    return Hex(d);
}

std::string HmacMd5Hex(const std::string& key, const std::string& text) {
    Md5Digest d;
    HmacMd5OfText(key, text, d);
    return Hex(d);
}

std::string HmacSha1Hex(const std::string& key, const std::string& text) {
    Sha1Digest d;
    HmacSha1OfText(key, text, d);
    return Hex(d);
}

std::string Counting(unsigned from, unsigned to) {
    std::string s;
    for (unsigned b = from; b <= to; ++b) s += static_cast<char>(b);
    return s;
}

TEST(KnownAnswers, Rfc1321Md5Suite) {
    EXPECT_EQ(Md5Hex(""), "d41d8cd98f00b204e9800998ecf8427e");
    EXPECT_EQ(Md5Hex("a"), "0cc175b9c0f1b6a831c399e269772661");
    EXPECT_EQ(Md5Hex("abc"), "900150983cd24fb0d6963f7d28e17f72");
    EXPECT_EQ(Md5Hex("message digest"), "f96b697d7cb7938d525a2f31aaf161d0");
    EXPECT_EQ(Md5Hex("abcdefghijklmnopqrstuvwxyz"), "c3fcd3d76192e4007dfb496cca67e13b");
    EXPECT_EQ(Md5Hex("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789"),
              "d174ab98d277d9f5a5611c2c9f419d9f");
    EXPECT_EQ(Md5Hex("12345678901234567890123456789012345678901234567890123456789012345678901234567890"),
              "57edf4a22be3c955ac49da2e2107b67a");
}

TEST(KnownAnswers, Fips180Sha1Samples) {
    EXPECT_EQ(Sha1Hex("abc"), "a9993e364706816aba3e25717850c26c9cd0d89d");
    EXPECT_EQ(Sha1Hex("abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq"),
              "84983e441c3bd26ebaae4aa1f95129e5e54670f1");

    const std::vector<char> million(1000000, 'a');
    Sha1Digest d;
    Sha1OfBytes(million.data(), static_cast<std::int32_t>(million.size()), d);
    EXPECT_EQ(Hex(d), "34aa973cd4c4daa4f61eeb2bdbad27316534016f");
    EXPECT_EQ(Sha1Hex(""), "da39a3ee5e6b4b0d3255bfef95601890afd80709");
}

TEST(KnownAnswers, Rfc2202HmacMd5Cases) {
    const std::string key80(80, '\xaa');
    EXPECT_EQ(HmacMd5Hex(std::string(16, '\x0b'), "Hi There"), "9294727a3638bb1c13f48ef8158bfc9d");
    EXPECT_EQ(HmacMd5Hex("Jefe", "what do ya want for nothing?"), "750c783e6ab0b503eaa86e310a5db738");
    EXPECT_EQ(HmacMd5Hex(std::string(16, '\xaa'), std::string(50, '\xdd')), "56be34521d144c88dbb8c733f0e8b3f6");
    EXPECT_EQ(HmacMd5Hex(Counting(1, 25), std::string(50, '\xcd')), "697eaf0aca3a3aea3a75164746ffaa79");
    EXPECT_EQ(HmacMd5Hex(std::string(16, '\x0c'), "Test With Truncation"), "56461ef2342edc00f9bab995690efd4c");
    EXPECT_EQ(HmacMd5Hex(key80, "Test Using Larger Than Block-Size Key - Hash Key First"),
              "6b1ab7fe4bd7bf8f0b62e6ce61b9d0cd");
    EXPECT_EQ(HmacMd5Hex(key80, "Test Using Larger Than Block-Size Key and Larger Than One Block-Size Data"),
              "6f630fad67cda0ee1fb1f562db3aa53e");
}

TEST(KnownAnswers, Rfc2202HmacSha1Cases) {
    const std::string key80(80, '\xaa');
    EXPECT_EQ(HmacSha1Hex(std::string(20, '\x0b'), "Hi There"), "b617318655057264e28bc0b6fb378c8ef146be00");
    EXPECT_EQ(HmacSha1Hex("Jefe", "what do ya want for nothing?"), "effcdf6ae5eb2fa2d27416d5f184df9c259a7c79");
    EXPECT_EQ(HmacSha1Hex(std::string(20, '\xaa'), std::string(50, '\xdd')),
              "125d7342b9ac11cd91a39af48aa17b4f63f175d3");
    EXPECT_EQ(HmacSha1Hex(Counting(1, 25), std::string(50, '\xcd')), "4c9007f4026250c6bc8414f9bf50c86c2d7235da");
    EXPECT_EQ(HmacSha1Hex(std::string(20, '\x0c'), "Test With Truncation"),
              "4c1a03424b55e07fe7f27be1d58bb9324a9a5a04");
    EXPECT_EQ(HmacSha1Hex(key80, "Test Using Larger Than Block-Size Key - Hash Key First"),
              "aa4ae5e15272d00e95705637ce8a3b55ed402112");
    EXPECT_EQ(HmacSha1Hex(key80, "Test Using Larger Than Block-Size Key and Larger Than One Block-Size Data"),
              "e8e99d0f45237d786d6bbaa7965c7808bbff1a91");
}

TEST(KnownAnswers, Crc32CheckValue) {
    EXPECT_EQ(Crc32OfText("123456789"), 0xCBF43926u);
    EXPECT_EQ(Crc32OfText("The quick brown fox jumps over the lazy dog"), 0x414FA339u);
    EXPECT_EQ(Crc32OfText(""), 0u);
    EXPECT_EQ(Crc32OfBytes(nullptr, 0), 0u);
}

// A null buffer is read by nothing below: any access would crash the test.
TEST(InputRules, ZeroAndNegativeLengthsAreTheEmptyMessage) {
    const char bytes[] = "not hashed";
    for (std::int32_t length : {0, -1, -64, INT_MIN}) {
        SCOPED_TRACE(length);
        for (const void* buffer : {static_cast<const void*>(nullptr), static_cast<const void*>(bytes)}) {
            Md5Digest md5;
            Md5OfBytes(buffer, length, md5);
            EXPECT_EQ(Hex(md5), "d41d8cd98f00b204e9800998ecf8427e");

            Sha1Digest sha1;
            Sha1OfBytes(buffer, length, sha1);
            EXPECT_EQ(Hex(sha1), "da39a3ee5e6b4b0d3255bfef95601890afd80709");

            HmacMd5OfBytes("key", buffer, length, md5);
            EXPECT_EQ(Hex(md5), HmacMd5Hex("key", ""));

            HmacSha1OfBytes("key", buffer, length, sha1);
            EXPECT_EQ(Hex(sha1), HmacSha1Hex("key", ""));

            EXPECT_EQ(Crc32OfBytes(buffer, length), 0u);
        }
    }
}

// Zero bytes are data: the text form hashes the string's full length, like
// the buffer form over the same bytes, and differs from the cut-off string.
TEST(InputRules, TextFormEqualsBufferFormAndKeepsZeroBytes) {
    const std::string text("ab\0cd\0\0ef\0", 10), cut("ab"), key("k\0y", 3);
    const auto length = static_cast<std::int32_t>(text.size());
    Md5Digest md5;
    Sha1Digest sha1;

    Md5OfBytes(text.data(), length, md5);
    EXPECT_EQ(Hex(md5), Md5Hex(text));
    EXPECT_NE(Md5Hex(text), Md5Hex(cut));
    Sha1OfBytes(text.data(), length, sha1);
    EXPECT_EQ(Hex(sha1), Sha1Hex(text));
    EXPECT_NE(Sha1Hex(text), Sha1Hex(cut));
    HmacMd5OfBytes(key, text.data(), length, md5);
    EXPECT_EQ(Hex(md5), HmacMd5Hex(key, text));
    EXPECT_NE(HmacMd5Hex(key, text), HmacMd5Hex("k", text));
    HmacSha1OfBytes(key, text.data(), length, sha1);
    EXPECT_EQ(Hex(sha1), HmacSha1Hex(key, text));
    EXPECT_NE(HmacSha1Hex(key, text), HmacSha1Hex("k", text));
    EXPECT_EQ(Crc32OfBytes(text.data(), length), Crc32OfText(text));
    EXPECT_NE(Crc32OfText(text), Crc32OfText(cut));
}

TEST(InputRules, PreviousRecordContentsDoNotMatter) {
    const std::string message(100, 'm');
    for (std::uint8_t fill : {0x00, 0x5A, 0xFF}) {
        SCOPED_TRACE(static_cast<int>(fill));
        Md5Digest md5;
        std::memset(&md5, fill, sizeof md5);
        Md5OfText(message, md5);
        EXPECT_EQ(Hex(md5), Md5Hex(message));
        std::memset(&md5, fill, sizeof md5);
        HmacMd5OfText("key", message, md5);
        EXPECT_EQ(Hex(md5), HmacMd5Hex("key", message));

        Sha1Digest sha1;
        std::memset(&sha1, fill, sizeof sha1);
        Sha1OfText(message, sha1);
        EXPECT_EQ(Hex(sha1), Sha1Hex(message));
        std::memset(&sha1, fill, sizeof sha1);
        HmacSha1OfText("key", message, sha1);
        EXPECT_EQ(Hex(sha1), HmacSha1Hex("key", message));
    }
}

// K0 is the key zero-padded to 64 bytes, or the key's digest when it is
// longer: keys that lead to the same K0 must give the same HMAC.
TEST(InputRules, HmacKeyBlockRule) {
    const std::string message = "message";
    EXPECT_EQ(HmacMd5Hex("", message), HmacMd5Hex(std::string(64, '\0'), message));
    EXPECT_EQ(HmacSha1Hex("", message), HmacSha1Hex(std::string(64, '\0'), message));

    for (std::size_t size : {64u, 65u, 200u}) {
        SCOPED_TRACE(size);
        const std::string key = Counting(1, static_cast<unsigned>(size));
        Md5Digest md5Key;
        Md5OfText(key, md5Key);
        Sha1Digest sha1Key;
        Sha1OfText(key, sha1Key);
        const std::string md5KeyText(reinterpret_cast<const char*>(md5Key.bytes), sizeof md5Key.bytes);
        const std::string sha1KeyText(reinterpret_cast<const char*>(sha1Key.bytes), sizeof sha1Key.bytes);
        if (size > 64) {
            EXPECT_EQ(HmacMd5Hex(key, message), HmacMd5Hex(md5KeyText, message));
            EXPECT_EQ(HmacSha1Hex(key, message), HmacSha1Hex(sha1KeyText, message));
        } else {
            EXPECT_NE(HmacMd5Hex(key, message), HmacMd5Hex(md5KeyText, message));
            EXPECT_NE(HmacSha1Hex(key, message), HmacSha1Hex(sha1KeyText, message));
        }
    }
}

}  // namespace
