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

// The key an algorithm's digest is keyed with, or null for its plain digest:
// under HMAC the HMAC's key, for an algorithm with a keyed mode of its own
// (BLAKE3) its own key when one is given.
inline const std::string* KeyFor(const AlgorithmRow& row, bool hmac, const std::string& key,
                                 const std::string& blake3Key) noexcept
{
    if (row.ownKeyedMode)
        return blake3Key.empty() ? nullptr : &blake3Key;
    return hmac && row.hmacBlock > 0 ? &key : nullptr;
}

// Every byte a string may have held overwritten as key material is, its
// spare room too, and then emptied: what holds a key before it goes.
void WipeString(std::string& text) noexcept;

// The digests to compute and how. Its keys are wiped when it goes, in
// every copy of it.
struct WindowDigestChoice {
    ~WindowDigestChoice() { WipeKeys(); }

    AlgorithmSet algorithms;
    bool hmac = false;  // each keyed with key (HMAC), but for those that have no HMAC
    std::string key{};
    std::size_t blake2bBytes = 64;  // BLAKE2b's length, 1 to 64
    std::string blake3Key{};        // BLAKE3's keyed mode's 32 bytes; empty for plain BLAKE3

    const std::string* KeyFor(const AlgorithmRow& row) const noexcept
    {
        return engine::KeyFor(row, hmac, key, blake3Key);
    }

    // Both keys' bytes overwritten, and the keys emptied.
    void WipeKeys() noexcept;
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

    // Pieces of digest number `digest` digested apart, as MessageDigest's
    // TakesApart, DigestApart and TakeApart say.
    bool TakesApart(std::size_t digest, std::size_t size) const noexcept
    {
        return digest < digests_.size() && digests_[digest].second->TakesApart(size);
    }
    void DigestApart(std::size_t digest, std::uint64_t offset, const std::uint8_t* bytes, std::size_t size,
                     std::uint8_t* summary) const
    {
        digests_.at(digest).second->DigestApart(offset, bytes, size, summary);
    }
    void TakeApart(std::size_t digest, const std::uint8_t* summary, std::size_t size)
    {
        digests_.at(digest).second->TakeApart(summary, size);
    }

    // Once every digest has had every window. Key material is wiped.
    DigestResults Finish();

private:
    std::vector<std::pair<Algorithm, std::unique_ptr<MessageDigest>>> digests_;
};

}  // namespace engine
