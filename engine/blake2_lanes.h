#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "engine/lane_digests.h"

// Many BLAKE2b or BLAKE2s messages digested side by side, one per lane of
// the vector unit: eight BLAKE2b messages in AVX-512's 64-bit lanes,
// sixteen BLAKE2s messages in its 32-bit lanes; one lane, one message at a
// time on the one-message path, where the CPU has no AVX-512. Plain
// messages only (a keyed file goes through the one-file path), each lane
// with a digest length of its own. The results are those of
// Blake2bInit/Update/Final (blake2.h) on the same bytes.
//
// The interface and its use are engine::LaneDigests' (lane_digests.h): the
// same Start, Feed, End, Step, TakeDigest, Abandon and Report, the same
// ownership of the caller's bytes (Feed reads them in place until Step
// reports the lane hungry), the same misuse errors (std::logic_error,
// nothing changed), and the object keeps the lane path in use when it was
// made. Start also takes the digest length.
//
// What BLAKE2 changes inside: its last block carries a flag and the count
// of message bytes, so a lane never compresses the last block it was fed
// before End or more bytes say whether it is the message's last. A lane
// fed a window takes in every block of it but the last one (full or not),
// which it copies, and is then hungry: the caller's buffer is free again.

namespace engine {

// A digest of `size` bytes, the first `size` of `bytes`.
struct Blake2bDigest {
    std::uint8_t bytes[64];
    std::size_t size;
};
struct Blake2sDigest {
    std::uint8_t bytes[32];
    std::size_t size;
};

template <class Digest>
struct Blake2LanesState;  // blake2_lanes.cpp

// As many lanes as the lane path in use takes side by side: BLAKE2b 8 with
// AVX-512, BLAKE2s 16, 1 otherwise.
template <class Digest>
class Blake2Lanes : public LaneObject<Blake2LanesState<Digest>, Digest> {
public:
    // A new message in `lane` with a digest of `digestSize` bytes (1 to 64
    // for BLAKE2b, 1 to 32 for BLAKE2s; another size is misuse), which drops
    // whatever message the lane still held.
    void Start(std::size_t lane, std::size_t digestSize = sizeof(Digest::bytes));
};

extern template class LaneObject<Blake2LanesState<Blake2bDigest>, Blake2bDigest>;
extern template class LaneObject<Blake2LanesState<Blake2sDigest>, Blake2sDigest>;
extern template class Blake2Lanes<Blake2bDigest>;
extern template class Blake2Lanes<Blake2sDigest>;
using Blake2bLanes = Blake2Lanes<Blake2bDigest>;
using Blake2sLanes = Blake2Lanes<Blake2sDigest>;

}  // namespace engine
