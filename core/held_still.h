#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "core/run_control.h"
#include "platform/files/file_reader.h"
#include "platform/files/fingerprint.h"

// The rule under which a file's digests are handed out, for the one-file
// pipeline and the file lanes alike: the bytes digested were the file's
// content at one moment. Under a read lease, the lease must still be held
// once the last digest is known. Without one, a file that can be read again
// (`readTwice`) is read a second time by `readAgain`, which throws when it
// finds other bytes, and the file's identity, size and times must stand
// unmoved around that read. Otherwise EFileOpenError "The file changed
// while it was being read". Standard input is read once and taken as it
// comes.
template <class ReadAgain>
void ConfirmHeldStill(platform::SharedReadFile& file, bool readTwice, ReadAgain&& readAgain)
{
    if (file.HoldsLease()) {
        if (!file.LeaseStillHeld())
            file.ThrowChanged();
    } else if (readTwice) {
        if (!file.SameStateAsBefore())
            file.ThrowChanged();
        readAgain();
        if (!file.SameStateAsBefore())
            file.ThrowChanged();
    }
}

// The second read of a file read in one go: `request` bytes asked for again
// into `again` must give back the `size` bytes `kept`, and no more.
void ReadAgainWhole(const platform::SharedReadFile& file, const unsigned char* kept, std::size_t size,
                    std::size_t request, unsigned char* again, RunControl& control);

// The second read of a larger file, a window at a time into `buffer`: each
// window must have the fingerprint the first read found, and the content
// must end where it ended (`length`). Stops with ERunCancelled once the
// control asks.
void ReadAgainByWindows(const platform::SharedReadFile& file, const platform::WindowFingerprint& fingerprint,
                        std::span<const std::uint64_t> fingerprints, std::uint64_t length, unsigned char* buffer,
                        std::size_t windowSize, RunControl& control);
