#pragma once

#include <memory>
#include <string>

#include "engine/algorithms.h"

// The engine's entries that the table of algorithms points to, for
// algorithms.cpp and the engine's tests: a new message of each algorithm,
// keyed (HMAC) with `key` when given, and each one's lane objects.

namespace engine {

std::unique_ptr<MessageDigest> StartMd5(const std::string* key, std::size_t digestBytes);
std::unique_ptr<MessageDigest> StartSha1(const std::string* key, std::size_t digestBytes);
std::unique_ptr<MessageDigest> StartSha256(const std::string* key, std::size_t digestBytes);
std::unique_ptr<MessageDigest> StartSha512(const std::string* key, std::size_t digestBytes);
std::unique_ptr<MessageDigest> StartSha224(const std::string* key, std::size_t digestBytes);
std::unique_ptr<MessageDigest> StartSha384(const std::string* key, std::size_t digestBytes);
// CRC-32 is never keyed: the key is not read. `digestBytes` is the digest's
// length for BLAKE2b (0 for its 64 bytes); the others have one length and
// take no notice of it.
std::unique_ptr<MessageDigest> StartCrc32(const std::string* key, std::size_t digestBytes);
std::unique_ptr<MessageDigest> StartSha3_224(const std::string* key, std::size_t digestBytes);
std::unique_ptr<MessageDigest> StartSha3_256(const std::string* key, std::size_t digestBytes);
std::unique_ptr<MessageDigest> StartSha3_384(const std::string* key, std::size_t digestBytes);
std::unique_ptr<MessageDigest> StartSha3_512(const std::string* key, std::size_t digestBytes);
std::unique_ptr<MessageDigest> StartBlake2b(const std::string* key, std::size_t digestBytes);
std::unique_ptr<MessageDigest> StartBlake2s(const std::string* key, std::size_t digestBytes);
// BLAKE3 is never an HMAC: its key, of exactly 32 bytes, is its keyed mode's.
std::unique_ptr<MessageDigest> StartBlake3(const std::string* key, std::size_t digestBytes);


}  // namespace engine
