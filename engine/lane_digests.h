#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "engine/algorithms.h"
#include "engine/digest_records.h"
#include "engine/lane_object.h"

// Many messages digested side by side, one per lane of the vector unit: MD5
// is one serial chain per message, but the chains of different messages are
// independent, and one core runs 16 of them (AVX-512) or 8 (AVX2) in about
// the time of one. SHA-1 likewise (16 or 8 lanes), and SHA-256 with AVX-512
// (16 lanes): there they beat the SHA instructions run on one message.
// SHA-512 with AVX-512 runs 8, one per 64-bit lane, in its 128-byte blocks.
// Where a digest has no lanes on the CPU, its object has one lane, and
// digests one message at a time on the one-message path. Each lane holds
// one message at a time, plain or keyed (HMAC); any lane may end its
// message and start another at any block while the others go on. The
// results are those of the one-shot operations in digest.h on the same
// bytes and keys, for messages of any length (the padding carries the count
// in 64 bits, SHA-512's in 128).
//
// How a caller with one thread per core drives it, each thread with an
// object of its own and its own share of the files:
//
//     Md5Lanes lanes;                          // Width() lanes, all idle
//     for each lane l, while files are left:   // one file per lane
//         lanes.Start(l);                      //   (or StartKeyed(l, key))
//     for (;;) {
//         const LaneReport r = lanes.Step();   // digests until a lane waits
//         for each l in r.done:                // a digest is ready:
//             record lanes.TakeDigest(l);      //   the lane is idle again,
//             if files are left: lanes.Start(l) with the next one
//         for each l in r.hungry:              // l's bytes are all taken in:
//             read the file's next window into l's buffer (1 MiB, or the
//             rest of a small file); lanes.Feed(l, buffer, n) if n > 0,
//             lanes.End(l) at the end of the file (both if the read reached it)
//         if (r.hungry == 0 && r.done == 0 && r.working == 0)
//             break;                           // every lane idle: all done
//     }
//
// A started lane with no bytes is hungry, so the first Step reports every
// lane for its first window. Each lane needs one buffer of the caller's,
// which the lane reads in place: the object copies only the few bytes of a
// window that do not fill a block (and its own padding and key blocks).
//
// Ownership of the caller's bytes: Feed does not copy them. They must stay
// valid and unchanged until Step reports the lane hungry (it has then taken
// in every byte; the buffer is the caller's again), or until the lane is
// started anew, abandoned or the object destroyed. A lane holds at most one
// such span: Feed a lane only right after Start or once it is reported
// hungry, and before End.
//
// Step advances every lane that has whole blocks to digest, all by the same
// number of blocks at a time: as many as the lane with the fewest has.
// Lanes with nothing to do are left out of the computation (the vector
// routine gives them a dummy block whose result is not kept). It goes on
// until a lane that had work has none left (its bytes are all taken in, or
// its digest is ready), or until no lane has work, and then says which
// lanes wait for the caller. Lanes already waiting do not stop it, so a
// caller that leaves a lane hungry for a while still gets the others
// digested, though the lane's share of the vector unit goes unused.
//
// Keyed lanes digest the HMAC of RFC 2104: the key block XORed with 0x36
// goes in before the message, and when the message ends the lane goes on
// by itself with the outer hash (the key block XORed with 0x5C, then the
// inner digest), so the key blocks also run side by side. Key material (the
// key blocks, the chaining words of a keyed lane, the inner digest) is
// overwritten with 0xAA, 0x55 and 0x00 when its lane's digest is taken, when
// the lane is started anew or abandoned, and when the object is destroyed;
// after every call that computed with key material, the vector registers
// and the stack below the call are cleared as the one-shot HMACs do.
//
// Misuse (a lane past the width, Feed on a lane that still holds bytes or has
// ended, End on a lane that is not taking bytes, TakeDigest on a lane that is
// not done) throws std::logic_error and changes nothing.
//
// Not safe to share between threads: one object per thread. The object
// keeps the lane path that was in use when it was made (see ForcePath in
// path_choice.h).

namespace engine {

template <class Digest>
struct LaneDigestsState;  // lane_digests.cpp

// As many lanes as the lane path in use takes side by side: 16 with
// AVX-512 (SHA-512: 8), 8 with AVX2 (MD5 and SHA-1), 1 otherwise.
template <class Digest>
class LaneDigests : public LaneObject<LaneDigestsState<Digest>, Digest> {
public:
    // A new message in `lane`, which drops (and wipes) whatever message the
    // lane still held. The keyed form digests the HMAC with `key`, of any
    // length (a key longer than a block is hashed first, here, on one chain).
    void Start(std::size_t lane);
    void StartKeyed(std::size_t lane, const std::string& key);

    // Feed(lane, bytes, size): the lane's next `size` bytes, read in place
    // (see above). Zero bytes do nothing. Whole blocks wait for Step; a block
    // begun in an earlier window is completed from these bytes at once.
    //
    // End(lane): no more bytes. Once it has taken in what it was fed, the
    // lane digests its padding (and, keyed, the outer hash), and is then
    // done. Allowed while fed bytes are still waiting.
    //
    // Step(): digests until a lane waits for the caller or none has work.
    // TakeDigest(lane): the digest of a done lane, which is then idle.
    // Abandon(lane): drops the lane's message, if any (say, its file could
    // not be read): the lane is idle, its key material wiped, its bytes no
    // longer read.
    // Report(): the lanes as they stand, without computing.
};

extern template class LaneObject<LaneDigestsState<Md5Digest>, Md5Digest>;
extern template class LaneObject<LaneDigestsState<Sha1Digest>, Sha1Digest>;
extern template class LaneObject<LaneDigestsState<Sha256Digest>, Sha256Digest>;
extern template class LaneObject<LaneDigestsState<Sha512Digest>, Sha512Digest>;
extern template class LaneObject<LaneDigestsState<Sha224Digest>, Sha224Digest>;
extern template class LaneObject<LaneDigestsState<Sha384Digest>, Sha384Digest>;
extern template class LaneDigests<Md5Digest>;
extern template class LaneDigests<Sha1Digest>;
extern template class LaneDigests<Sha256Digest>;
extern template class LaneDigests<Sha512Digest>;
extern template class LaneDigests<Sha224Digest>;
extern template class LaneDigests<Sha384Digest>;
using Md5Lanes = LaneDigests<Md5Digest>;
using Sha1Lanes = LaneDigests<Sha1Digest>;
using Sha256Lanes = LaneDigests<Sha256Digest>;
using Sha512Lanes = LaneDigests<Sha512Digest>;
using Sha224Lanes = LaneDigests<Sha224Digest>;
using Sha384Lanes = LaneDigests<Sha384Digest>;

// Test seam, for the wipe tests only: when set, called by Step as each
// keyed lane's outer hash begins (its outer key block and inner digest
// queued, the inner pad block no longer needed), with the lane, so that a
// test can look at what the objects hold at that point. Null, the default,
// calls nothing. Not safe while other threads compute.
using LaneOuterHashSeen = void (*)(std::size_t lane);
void WatchLaneOuterHashes(LaneOuterHashSeen seen);

}  // namespace engine
