#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "engine/blake3.h"
#include "engine/lane_digests.h"

// Many plain BLAKE3 messages side by side: their whole chunks, and then
// their parent nodes level by level, go through the hash-many routine
// together, one per vector lane, so that sixteen small files fill the
// AVX-512 lanes that one file of four chunks would leave mostly empty. The
// public interface and its semantics are engine::LaneDigests' (see
// lane_digests.h: Start, Feed, End, Step, TakeDigest, Abandon, Report; the
// caller's bytes read in place until the lane is reported hungry; misuse
// throws std::logic_error and changes nothing), without StartKeyed: keyed
// messages go through Blake3State one at a time.
//
// Width() is the hash-many routine's (16 with AVX-512, 8 with AVX2, 1 on
// the portable path). A lane copies only the bytes of a window that do not
// make a whole chunk, and a first chunk that may be the whole message until
// more bytes or the end come. The last chunk of a message that does not end
// on a chunk boundary, and a message of one chunk, are compressed block by
// block on the lane's own, as Blake3State does.
//
// Not safe to share between threads: one object per thread. The object
// keeps the path that was in use when it was made.

namespace engine {

struct Blake3LanesState;  // blake3_lanes.cpp

class Blake3Lanes : public LaneObject<Blake3LanesState, Blake3Digest> {
public:
    void Start(std::size_t lane);
};

extern template class LaneObject<Blake3LanesState, Blake3Digest>;

}  // namespace engine
