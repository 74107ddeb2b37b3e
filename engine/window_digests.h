#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "engine/digest_records.h"

// The file path's digests. A file is not held in memory whole: it arrives in
// windows, and each chosen digest takes them one after the other through the
// same block functions as the one-shot operations, counting the bytes in 64
// bits (of which SHA-512's 128-bit length field takes the bit count whole),
// so a file of any size gives what the one-shot operation would give for the
// same bytes. Nothing else in the program feeds a digest piece by
// piece.

namespace engine {

struct WindowDigestChoice {
    bool md5 = false;
    bool sha1 = false;
    bool sha256 = false;
    bool sha512 = false;
    bool crc32 = false;
    bool hmac = false;  // MD5, SHA-1, SHA-256 and SHA-512 keyed with key; CRC-32 never is
    std::string key;
};

struct WindowDigestResults {
    Md5Digest md5{};
    Sha1Digest sha1{};
    Sha256Digest sha256{};
    Sha512Digest sha512{};
    std::uint32_t crc32 = 0;
};

class WindowDigests {
public:
    explicit WindowDigests(const WindowDigestChoice& choice);
    ~WindowDigests();
    WindowDigests(const WindowDigests&) = delete;
    WindowDigests& operator=(const WindowDigests&) = delete;

    // The chosen digests are numbered from 0 in the order MD5, SHA-1, SHA-256,
    // SHA-512, CRC-32. Where the CPU has the SHA instructions, which carry
    // SHA-1 and SHA-256 but not SHA-512, MD5 and SHA-512 are the dearest;
    // without them SHA-256 costs the most.
    std::size_t Count() const noexcept { return digests_.size(); }

    // The next window of digest number `digest`. Different digests may be fed
    // on different threads at once; one digest from one thread at a time.
    void Feed(std::size_t digest, const std::uint8_t* bytes, std::size_t size);

    // Once every digest has had every window. Key material is wiped.
    WindowDigestResults Finish();

    class Digest;

private:
    std::vector<std::unique_ptr<Digest>> digests_;
};

}  // namespace engine
