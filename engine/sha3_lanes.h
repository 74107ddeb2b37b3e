#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>

#include "engine/lane_digests.h"

// Many SHA-3 messages digested side by side: eight with AVX-512, one per
// 64-bit lane of its registers; one at a time on the one-message path
// otherwise. The interface and its rules are LaneDigests' (lane_digests.h):
// Start, Feed in place, End, Step until a lane waits, TakeDigest, Abandon,
// Report; misuse throws std::logic_error and changes nothing. There are no
// keyed lanes: an HMAC goes through the one-message path. The results are
// Sha3Init, Sha3Update and Sha3Final's on the same bytes (engine/sha3.h).
//
// Not safe to share between threads: one object per thread. The object
// keeps the lane path that was in use when it was made (see ForcePath in
// path_choice.h).

namespace engine {

template <std::size_t kDigestBytes>
class Sha3LaneDigests {
public:
    static_assert(kDigestBytes == 28 || kDigestBytes == 32 || kDigestBytes == 48 || kDigestBytes == 64);
    using Digest = std::array<std::uint8_t, kDigestBytes>;

    Sha3LaneDigests();
    ~Sha3LaneDigests();
    Sha3LaneDigests(Sha3LaneDigests&&) noexcept;
    Sha3LaneDigests& operator=(Sha3LaneDigests&&) noexcept;
    Sha3LaneDigests(const Sha3LaneDigests&) = delete;
    Sha3LaneDigests& operator=(const Sha3LaneDigests&) = delete;

    std::size_t Width() const noexcept;
    const char* PathName() const noexcept;

    void Start(std::size_t lane);
    void Feed(std::size_t lane, const std::uint8_t* bytes, std::size_t size);
    void End(std::size_t lane);
    LaneReport Step();
    Digest TakeDigest(std::size_t lane);
    void Abandon(std::size_t lane);
    LaneReport Report() const noexcept;

    struct State;

private:
    std::unique_ptr<State> state_;
};

extern template class Sha3LaneDigests<28>;
extern template class Sha3LaneDigests<32>;
extern template class Sha3LaneDigests<48>;
extern template class Sha3LaneDigests<64>;
using Sha3_224Lanes = Sha3LaneDigests<28>;
using Sha3_256Lanes = Sha3LaneDigests<32>;
using Sha3_384Lanes = Sha3LaneDigests<48>;
using Sha3_512Lanes = Sha3LaneDigests<64>;

}  // namespace engine
