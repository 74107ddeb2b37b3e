#include "engine/window_digests.h"

#include "engine/digest_paths.h"

namespace engine {

void WipeString(std::string& text) noexcept
{
    // Within its capacity the string does not move: its spare room, which
    // may hold what a longer text held before, is written over too.
    text.resize(text.capacity());
    WipeKeyMaterial(text.data(), text.size());
    text.clear();
}

void WindowDigestChoice::WipeKeys() noexcept
{
    WipeString(key);
    WipeString(blake3Key);
}

WindowDigests::WindowDigests(const WindowDigestChoice& choice)
{
    for (const Algorithm algorithm : choice.algorithms) {
        const AlgorithmRow& row = RowOf(algorithm);
        digests_.emplace_back(algorithm, row.start(choice.KeyFor(row), choice.blake2bBytes));
    }
}

WindowDigests::~WindowDigests() = default;

void WindowDigests::Feed(std::size_t digest, const std::uint8_t* bytes, std::size_t size)
{
    if (size > 0)
        digests_.at(digest).second->Feed(bytes, size);
}

DigestResults WindowDigests::Finish()
{
    DigestResults results;
    for (const auto& [algorithm, digest] : digests_)
        results.Set(algorithm, digest->Finish());
    digests_.clear();  // the keyed ones wipe their key blocks as they go
    return results;
}

}  // namespace engine
