#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>

#include "core/run_control.h"
#include "engine/window_digests.h"
#include "platform/files/file_reader.h"

// The Generate command's file path. The file is read once, a window at a
// time into a few buffers that are used over and over, so memory stays small
// whatever the file's size; every chosen digest takes every window. The
// dearest digest (MD5 when it is chosen) is fed on the calling thread, the
// others on threads beside it, and a thread of its own reads ahead. A file
// that fits in one window is read and digested on the calling thread alone,
// in buffers the thread keeps for the next such file.
//
// The digests are handed back only when the bytes were the file's content
// at one moment: under a read lease that the system has not taken back
// before the last digest, or, without one, when a second read finds every
// window with the same fingerprint (a file of one window: the same bytes)
// and the file's size and times unmoved.
// Otherwise EFileOpenError "The file changed while it was being read". The
// standard input is read once and taken as it comes. ERunCancelled once the
// control asks to stop; no digest comes out of a cancelled run.

// The window a file is read in (but for CRC-32 alone), and how many windows
// the reader may be ahead of the slowest digest thread, for the tests of
// their edges.
inline constexpr std::size_t kFileWindowSize = std::size_t{1} << 20;
inline constexpr std::size_t kFileRingWindows = 8;

// What to ask for when a file of `size` bytes (as it was opened) is read in
// one go: its size and one byte more, which tells a file that grew, in steps
// that keep a buffer from growing for every file a little larger than the
// last; never more than a window and that byte.
std::size_t OneWindowRequest(std::uint64_t size);

struct FileDigestOptions {
    // Threads to use: 0 for one per processor. With 1, everything runs on the
    // calling thread.
    unsigned cores = 0;
    // For tests: runs after each window of the first read has been read
    // (counted from 0), on the thread that read it; and between the two reads
    // of a file read without a lease.
    std::function<void(std::uint64_t window)> afterRead;
    std::function<void()> beforeSecondRead;
    // For tests: runs on the thread of each lane (a thread that feeds some of
    // the digests; lane 0 feeds the first on the calling thread) once it
    // holds window n of the first read, before it feeds it.
    std::function<void(std::size_t lane, std::uint64_t window)> beforeFeed;
};

engine::DigestResults DigestFile(platform::SharedReadFile& file, const engine::WindowDigestChoice& choice,
                                 RunControl& control, const FileDigestOptions& options = {});
