#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "engine/algorithms.h"

// The chosen digests of one file, which is not held in memory whole: it
// arrives in windows, and each chosen digest takes them one after the other
// (a MessageDigest of the algorithm's row), so a file of any size gives what
// the one-shot operation would give for the same bytes.

namespace engine {

struct WindowDigestChoice {
    AlgorithmSet algorithms;
    bool hmac = false;  // each keyed with key, but for those that never are (CRC-32)
    std::string key;
    std::size_t blake2bBytes = 64;  // BLAKE2b's length, 1 to 64
};

class WindowDigests {
public:
    explicit WindowDigests(const WindowDigestChoice& choice);
    ~WindowDigests();
    WindowDigests(const WindowDigests&) = delete;
    WindowDigests& operator=(const WindowDigests&) = delete;

    // The chosen digests are numbered from 0 in the table's order.
    std::size_t Count() const noexcept { return digests_.size(); }
    Algorithm AlgorithmOf(std::size_t digest) const { return digests_.at(digest).first; }

    // The next window of digest number `digest`. Different digests may be fed
    // on different threads at once; one digest from one thread at a time.
    void Feed(std::size_t digest, const std::uint8_t* bytes, std::size_t size);

    // Once every digest has had every window. Key material is wiped.
    DigestResults Finish();

private:
    std::vector<std::pair<Algorithm, std::unique_ptr<MessageDigest>>> digests_;
};

}  // namespace engine
