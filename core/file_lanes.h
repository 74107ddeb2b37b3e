#pragma once

#include <cstddef>
#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "core/run_control.h"
#include "engine/window_digests.h"
#include "platform/files/file_reader.h"

namespace platform {
class WindowFingerprint;
}

// Many files digested at once on the calling thread, each in a lane of the
// vector unit (engine/lane_digests.h): MD5 is one serial chain per file, but
// the chains of different files are independent, and one core runs 16 of
// them in little more than the time of one. The thread reads each file a
// window at a time into a buffer of the file's own, feeds it to the file's
// lanes and reads the next window once they have taken it in, so that it
// reads for some files while it waits for none. CRC-32, and a digest whose
// lanes on this processor are only one wide, take each window on the side,
// through the one-file digests, as it is read.
//
// Each file keeps the guarantees of DigestFile: under a read lease, the
// lease is looked at after every window and once more after the last digest;
// without one the file is read a second time once its digests are known, a
// file of one window compared byte for byte with the bytes it kept, a larger
// one window by window with the fingerprints of the first read, and the
// file's identity, size and times must stand around that read. Otherwise it
// fails with "The file changed while it was being read", and the other files
// go on.
//
// Memory: a buffer of at most a window (and a byte) per lane, grown only as
// far as the files need, and one more for the second read of a file of one
// window. Not for sharing between threads: one object per thread.

struct FileLaneOptions {
    // For tests: runs after each window of a file's first read has been read
    // (counted from 0), and between the two reads of a file read without a
    // lease; `tag` is the file's, as it was added.
    std::function<void(std::uint64_t tag, std::uint64_t window)> afterRead;
    std::function<void(std::uint64_t tag)> beforeSecondRead;
};

class FileLanes {
public:
    // `possible`: the digests a file may be given (its key is not used);
    // there are as many places for files as the widest of them has lanes.
    // The control counts the bytes read, and a cancel fails every file.
    FileLanes(const engine::WindowDigestChoice& possible, RunControl& control, FileLaneOptions options = {});
    ~FileLanes();
    FileLanes(const FileLanes&) = delete;
    FileLanes& operator=(const FileLanes&) = delete;

    // Whether lanes are worth it for the digests `possible` may tick: one of
    // them has more than one lane on this processor. Where none has, one file
    // at a time through DigestFile does at least as well.
    static bool Worthwhile(const engine::WindowDigestChoice& possible);

    // Whether a file of `weight` bytes, with the digests `ticks` chooses,
    // does better alone through DigestFile than here, beside files of which
    // the heaviest has `beside` bytes left and with `share` bytes more of
    // other files to come. A lane object costs about as much whatever its
    // lanes hold: a file left alone in it takes the whole vector unit for
    // each of its blocks, which costs more than the digest of one message
    // (about 1.5 times for MD5 with AVX-512, 5 times for SHA-256, whose
    // one-message digest has instructions of its own).
    bool Alone(const engine::WindowDigestChoice& ticks, std::uint64_t weight, std::uint64_t beside,
               std::uint64_t share) const;

    // Files it takes now, and what it holds.
    std::size_t Room() const noexcept;
    bool Empty() const noexcept;
    // Bytes not yet read of the file in flight that has the most left.
    std::uint64_t WeightLeft() const noexcept;

    // Takes the file, to digest what `ticks` chooses (its keys unused): with
    // its HMAC tick, keyed with `key`, and BLAKE3 with `blake3Key` when that
    // is not empty, both read in place; they must stay
    // as it is until the file has ended. Throws std::logic_error without
    // room.
    void Add(std::uint64_t tag, platform::SharedReadFile&& file, const engine::WindowDigestChoice& ticks,
             const std::string& key, const std::string& blake3Key);

    struct Ended {
        std::uint64_t tag = 0;
        engine::DigestResults results;  // when there is no failure
        std::exception_ptr failure;     // as DigestFile would have thrown it
    };
    // Reads and digests until a file or more has ended (or none is left),
    // and puts those into `ended`. The file is closed by then.
    void Advance(std::vector<Ended>& ended);

    class Bank;
    struct Place;

private:
    void Look();
    void ReadNext(std::size_t place);
    void TakeIn(std::size_t place, std::size_t size, bool last);
    void Finish(std::size_t place);
    void ReadAgainAndCompare(Place& file);
    void End(std::size_t place, std::vector<Ended>& ended);
    bool AllLanes(const Place& file, bool done) const;  // every lane of the file done, or else hungry

    RunControl& control_;
    const FileLaneOptions options_;
    std::vector<std::unique_ptr<Bank>> banks_;  // by algorithm; null for one without lanes or not yet met
    std::vector<Place> places_;
    std::unique_ptr<unsigned char[]> again_;  // the second read of a file of one window
    std::size_t againSize_ = 0;
    std::unique_ptr<platform::WindowFingerprint> fingerprint_;  // of the windows of files read twice
};
