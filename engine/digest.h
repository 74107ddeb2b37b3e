#pragma once

#include <cstdint>
#include <string>

#include "engine/digest_records.h"
#include "platform/base/exception.h"

// One-shot MD5, SHA-1, SHA-256, SHA-512, their HMACs and CRC-32. Every operation takes
// the whole message at once; a Length of 0 or less means the empty message and
// the buffer is then never read. Digest records are written whole.

void Md5OfBytes(const void* buffer, std::int32_t length, Md5Digest& digest);
void Md5OfText(const std::string& text, Md5Digest& digest);
void Sha1OfBytes(const void* buffer, std::int32_t length, Sha1Digest& digest);
void Sha1OfText(const std::string& text, Sha1Digest& digest);
void HmacMd5OfBytes(const std::string& key, const void* buffer, std::int32_t length, Md5Digest& digest);
void HmacMd5OfText(const std::string& key, const std::string& text, Md5Digest& digest);
void HmacSha1OfBytes(const std::string& key, const void* buffer, std::int32_t length, Sha1Digest& digest);
void HmacSha1OfText(const std::string& key, const std::string& text, Sha1Digest& digest);
void Sha256OfBytes(const void* buffer, std::int32_t length, Sha256Digest& digest);
void Sha256OfText(const std::string& text, Sha256Digest& digest);
void HmacSha256OfBytes(const std::string& key, const void* buffer, std::int32_t length, Sha256Digest& digest);
void HmacSha256OfText(const std::string& key, const std::string& text, Sha256Digest& digest);
void Sha512OfBytes(const void* buffer, std::int32_t length, Sha512Digest& digest);
void Sha512OfText(const std::string& text, Sha512Digest& digest);
void HmacSha512OfBytes(const std::string& key, const void* buffer, std::int32_t length, Sha512Digest& digest);
void HmacSha512OfText(const std::string& key, const std::string& text, Sha512Digest& digest);
std::uint32_t Crc32OfBytes(const void* buffer, std::int32_t length);
std::uint32_t Crc32OfText(const std::string& text);

// Lower-case hexadecimal, two digits per byte, full width.
std::string DigestToHexText(const Md5Digest& digest);
std::string DigestToHexText(const Sha1Digest& digest);
std::string DigestToHexText(const Sha256Digest& digest);
std::string DigestToHexText(const Sha512Digest& digest);
std::string DigestToHexText(const Sha224Digest& digest);
std::string DigestToHexText(const Sha384Digest& digest);

// The engine's exception. The Generate command raises it with code 7.
class EHashError : public Exception {
public:
    EHashError(std::uint32_t errorCode, const std::string& message);
    const char* ClassName() const noexcept override { return "EHashError"; }

    std::uint32_t ErrorCode;
};
