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
struct Sha3LanesState;  // sha3_lanes.cpp

template <std::size_t kDigestBytes>
class Sha3LaneDigests : public LaneObject<Sha3LanesState<kDigestBytes>, std::array<std::uint8_t, kDigestBytes>> {
public:
    static_assert(kDigestBytes == 28 || kDigestBytes == 32 || kDigestBytes == 48 || kDigestBytes == 64);
    using Digest = std::array<std::uint8_t, kDigestBytes>;

    void Start(std::size_t lane);
};

extern template class LaneObject<Sha3LanesState<28>, std::array<std::uint8_t, 28>>;
extern template class LaneObject<Sha3LanesState<32>, std::array<std::uint8_t, 32>>;
extern template class LaneObject<Sha3LanesState<48>, std::array<std::uint8_t, 48>>;
extern template class LaneObject<Sha3LanesState<64>, std::array<std::uint8_t, 64>>;
extern template class Sha3LaneDigests<28>;
extern template class Sha3LaneDigests<32>;
extern template class Sha3LaneDigests<48>;
extern template class Sha3LaneDigests<64>;
using Sha3_224Lanes = Sha3LaneDigests<28>;
using Sha3_256Lanes = Sha3LaneDigests<32>;
using Sha3_384Lanes = Sha3LaneDigests<48>;
using Sha3_512Lanes = Sha3LaneDigests<64>;

}  // namespace engine
