#pragma once

// The lane paths of every digest, one test parameter each, and what the lane
// tests need of each digest. A test on a path this CPU cannot run is
// skipped, saying so.
#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <ostream>
#include <string>

#include "engine/algorithms.h"
#include "engine/digest.h"
#include "engine/digest_paths.h"
#include "engine/lane_digests.h"
#include "engine/path_choice.h"

// Each digest's lane object, one-shot operations and lane paths.
struct Md5Kind {
    using Lanes = engine::Md5Lanes;
    using Digest = Md5Digest;
    using Path = engine::Md5LanePath;
    static constexpr std::size_t kBlock = engine::kBlockSize;
    static void Plain(const void* p, std::int32_t n, Digest& d) { Md5OfBytes(p, n, d); }
    static void Keyed(const std::string& k, const void* p, std::int32_t n, Digest& d) { HmacMd5OfBytes(k, p, n, d); }
};
struct Sha1Kind {
    using Lanes = engine::Sha1Lanes;
    using Digest = Sha1Digest;
    using Path = engine::Sha1LanePath;
    static constexpr std::size_t kBlock = engine::kBlockSize;
    static void Plain(const void* p, std::int32_t n, Digest& d) { Sha1OfBytes(p, n, d); }
    static void Keyed(const std::string& k, const void* p, std::int32_t n, Digest& d) { HmacSha1OfBytes(k, p, n, d); }
};
struct Sha256Kind {
    using Lanes = engine::Sha256Lanes;
    using Digest = Sha256Digest;
    using Path = engine::Sha256LanePath;
    static constexpr std::size_t kBlock = engine::kBlockSize;
    static void Plain(const void* p, std::int32_t n, Digest& d) { Sha256OfBytes(p, n, d); }
    static void Keyed(const std::string& k, const void* p, std::int32_t n, Digest& d) { HmacSha256OfBytes(k, p, n, d); }
};
struct Sha512Kind {
    using Lanes = engine::Sha512Lanes;
    using Digest = Sha512Digest;
    using Path = engine::Sha512LanePath;
    static constexpr std::size_t kBlock = engine::kSha512BlockSize;
    static void Plain(const void* p, std::int32_t n, Digest& d) { Sha512OfBytes(p, n, d); }
    static void Keyed(const std::string& k, const void* p, std::int32_t n, Digest& d) { HmacSha512OfBytes(k, p, n, d); }
};

// SHA-224 and SHA-384 ride on SHA-256's and SHA-512's lanes from other
// start values. The one-message digest they are held to is the engine's,
// through the table of algorithms.
template <Algorithm kAlgorithm, class LanesT, class DigestT, class PathT, std::size_t kBlockT>
struct TableKind {
    using Lanes = LanesT;
    using Digest = DigestT;
    using Path = PathT;
    static constexpr std::size_t kBlock = kBlockT;
    static void Plain(const void* p, std::int32_t n, Digest& d) { Run(nullptr, p, n, d); }
    static void Keyed(const std::string& k, const void* p, std::int32_t n, Digest& d) { Run(&k, p, n, d); }

private:
    static void Run(const std::string* key, const void* p, std::int32_t n, Digest& d)
    {
        const auto message = RowOf(kAlgorithm).start(key, 0);
        message->Feed(static_cast<const std::uint8_t*>(p), n > 0 ? static_cast<std::size_t>(n) : 0);
        const engine::DigestBytes bytes = message->Finish();
        std::memcpy(d.bytes, bytes.data(), sizeof d.bytes);
    }
};
using Sha224Kind =
    TableKind<Algorithm::Sha224, engine::Sha224Lanes, Sha224Digest, engine::Sha256LanePath, engine::kBlockSize>;
using Sha384Kind =
    TableKind<Algorithm::Sha384, engine::Sha384Lanes, Sha384Digest, engine::Sha512LanePath, engine::kSha512BlockSize>;

struct LaneSetting {
    const char* name;
    int kind;  // 0 MD5, 1 SHA-1, 2 SHA-256, 3 SHA-512
    int path;  // the value of the digest's lane path
    friend std::ostream& operator<<(std::ostream& os, const LaneSetting& s) { return os << s.name; }
};

inline constexpr LaneSetting kLaneSettings[] = {
    {"Md5Portable", 0, static_cast<int>(engine::Md5LanePath::Portable)},
    {"Md5Avx2", 0, static_cast<int>(engine::Md5LanePath::Avx2)},
    {"Md5Avx512", 0, static_cast<int>(engine::Md5LanePath::Avx512)},
    {"Sha1OneAtATime", 1, static_cast<int>(engine::Sha1LanePath::OneAtATime)},
    {"Sha1Avx2", 1, static_cast<int>(engine::Sha1LanePath::Avx2)},
    {"Sha1Avx512", 1, static_cast<int>(engine::Sha1LanePath::Avx512)},
    {"Sha256OneAtATime", 2, static_cast<int>(engine::Sha256LanePath::OneAtATime)},
    {"Sha256Avx512", 2, static_cast<int>(engine::Sha256LanePath::Avx512)},
    {"Sha512OneAtATime", 3, static_cast<int>(engine::Sha512LanePath::OneAtATime)},
    {"Sha512Avx512", 3, static_cast<int>(engine::Sha512LanePath::Avx512)},
};

// Forces the parameter's lane path for the test, for the lane objects made
// in it, and goes back to the automatic choice after it.
class OnEveryLanePath : public testing::TestWithParam<LaneSetting> {
protected:
    void SetUp() override
    {
        bool forced = false;
        ForTheDigest([&]<class K>() { forced = engine::ForcePath(static_cast<typename K::Path>(GetParam().path)); });
        if (!forced)
            GTEST_SKIP() << GetParam().name << ": this CPU or this build cannot run it";
    }
    void TearDown() override { engine::UseChosenPaths(); }

    // Whether the parameter's path carries SHA-256 or SHA-512, and so
    // SHA-224 or SHA-384 too.
    bool CarriesTruncatedDigests() const { return GetParam().kind >= 2; }

    // Calls body.template operator()<K>() with the parameter's digest's kind:
    // Md5Kind and the others, or what a test adds to them, given in the
    // same order.
    template <class Md5K = Md5Kind, class Sha1K = Sha1Kind, class Sha256K = Sha256Kind, class Sha512K = Sha512Kind,
              class Body>
    void ForTheDigest(Body body)
    {
        switch (GetParam().kind) {
        case 0:
            body.template operator()<Md5K>();
            break;
        case 1:
            body.template operator()<Sha1K>();
            break;
        case 2:
            body.template operator()<Sha256K>();
            break;
        default:
            body.template operator()<Sha512K>();
            break;
        }
    }
};

#define VELLUMARK_ON_EVERY_LANE_PATH(suite)                                                                            \
    INSTANTIATE_TEST_SUITE_P(Paths, suite, testing::ValuesIn(kLaneSettings),                                           \
                             [](const testing::TestParamInfo<LaneSetting>& info) { return info.param.name; })
