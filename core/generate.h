#pragma once

#include <cstddef>
#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "core/run_control.h"
#include "engine/algorithms.h"
#include "platform/files/file_reader.h"

// The Generate command without a window: the window reads its controls into a
// GenerateInput, this core does the work, and the results are handed back in
// the table of algorithms' order (MD5, SHA-1, SHA-256, SHA-512, CRC-32), once
// all of them are known (a large input's digests run side by side). Failures
// are exceptions derived from Exception; a run that fails, or is cancelled
// (ERunCancelled), hands back no result.

// StandardInput is the companion's: the program's standard input, read once.
enum class GenerateSource { File, Text, StandardInput, Nothing };
// A request. Its keys are wiped when it goes, in every copy of it.
struct GenerateInput {
    ~GenerateInput();

    std::string key;  // bytes, exactly as typed; used only with hmac
    bool hmac = false;
    // The ticked algorithms. The window has boxes for MD5, SHA-1 and CRC-32;
    // it computes the others only to compare them with a digest the user
    // copied.
    AlgorithmSet algorithms;
    std::size_t blake2bBytes = 64;  // BLAKE2b's length, 1 to 64 bytes
    std::string blake3Key;          // BLAKE3's keyed mode's 32 bytes; empty for plain BLAKE3
    GenerateSource source = GenerateSource::Nothing;
    std::string fileName;  // bytes of the name, already trimmed
    std::string text;      // bytes to digest on the text page
};

using ResultSink = std::function<void(Algorithm, const std::string& resultText)>;

// Runs on the calling thread. The control, when given, shows how far the run
// has come and can stop it from any thread.
void Generate(const GenerateInput& input, const ResultSink& sink, RunControl* control = nullptr);

// Generate on input.fileName for a caller that has made the file's
// existence test itself (the companion looks at each name once, to order its
// work by size): `exists` is its answer, and all else is Generate's, the
// failures and their messages included.
void GenerateFromTestedFile(const GenerateInput& input, bool exists, const ResultSink& sink,
                            RunControl* control = nullptr);

// Generate on the file that `open` opens, for a caller that opens its files
// in its own way (the companion opens a walk's files within their folders):
// the failures of `open` are Generate's.
using FileOpener = std::function<platform::SharedReadFile()>;
void GenerateFromOpenedFile(const GenerateInput& input, const FileOpener& open, const ResultSink& sink,
                            RunControl* control = nullptr);

// Generate on many files at once, on the calling thread: their digests run
// side by side in the lanes of the vector unit (core/file_lanes.h).
// Each file gets what Generate on it would hand on, its failure and message
// included, under the same rules. Not for sharing between threads.
class FileLanes;
class GenerateInLanes {
public:
    // `possible` ticks the digests the files may have (none ticked: any).
    explicit GenerateInLanes(const GenerateInput& possible, RunControl* control = nullptr);
    ~GenerateInLanes();
    GenerateInLanes(const GenerateInLanes&) = delete;
    GenerateInLanes& operator=(const GenerateInLanes&) = delete;

    // Whether that is worth it on this processor: one of the digests
    // `possible` may tick has lanes here. Otherwise each file does as well
    // alone.
    static bool Worthwhile(const GenerateInput& possible);

    // Whether a file of `weight` bytes with the ticks of `request` does
    // better alone through Generate (see FileLanes::Alone).
    bool Alone(const GenerateInput& request, std::uint64_t weight, std::uint64_t beside, std::uint64_t share) const;

    // Files it takes now; the bytes not yet read of the one in flight that
    // has the most left.
    std::size_t Room() const noexcept;
    std::uint64_t WeightLeft() const noexcept;

    // Begins Generate on the file `fileName` (already trimmed) with the
    // ticks, HMAC tick and key of `request`, which are read in place until
    // the file has ended; `exists` is the caller's existence test, as for
    // GenerateFromTestedFile.
    void Begin(std::uint64_t tag, const std::string& fileName, const GenerateInput& request, bool exists);
    // The same with the file that `open` opens (see GenerateFromOpenedFile).
    void Begin(std::uint64_t tag, const FileOpener& open, const GenerateInput& request);

    struct Ended {
        std::uint64_t tag = 0;
        std::vector<std::pair<Algorithm, std::string>> results;  // as a ResultSink would take them
        std::exception_ptr failure;                              // as Generate would have thrown it
    };
    // Reads and digests until a file or more has ended, and puts those into
    // `ended`; at once for a file that failed before it was read.
    void Advance(std::vector<Ended>& ended);

private:
    RunControl own_;
    RunControl& control_;
    std::unique_ptr<FileLanes> lanes_;
    std::vector<std::pair<std::uint64_t, const GenerateInput*>> requests_;  // of the files in flight
    std::vector<Ended> failed_;                                             // before they were read
};

// The input with `algorithm` alone ticked.
GenerateInput OnlyTicked(const GenerateInput& input, Algorithm algorithm);

// Removes every byte below 33 (space and control characters) from both ends.
std::string TrimFileName(std::string_view name);
