#pragma once

#include <memory>
#include <string>

#include "engine/algorithms.h"

// The engine's entries that the table of algorithms points to, for
// algorithms.cpp and the engine's tests: a new message of each algorithm,
// keyed (HMAC) with `key` when given, and each one's lane objects.

namespace engine {

std::unique_ptr<MessageDigest> StartMd5(const std::string* key);
std::unique_ptr<MessageDigest> StartSha1(const std::string* key);
std::unique_ptr<MessageDigest> StartSha256(const std::string* key);
std::unique_ptr<MessageDigest> StartSha512(const std::string* key);
std::unique_ptr<MessageDigest> StartSha224(const std::string* key);
std::unique_ptr<MessageDigest> StartSha384(const std::string* key);
// CRC-32 is never keyed: the key is not read.
std::unique_ptr<MessageDigest> StartCrc32(const std::string* key);

std::unique_ptr<DigestLanes> MakeMd5Lanes();
std::unique_ptr<DigestLanes> MakeSha1Lanes();
std::unique_ptr<DigestLanes> MakeSha256Lanes();
std::unique_ptr<DigestLanes> MakeSha512Lanes();
std::unique_ptr<DigestLanes> MakeSha224Lanes();
std::unique_ptr<DigestLanes> MakeSha384Lanes();

}  // namespace engine
