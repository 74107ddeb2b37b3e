#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "engine/algorithms.h"

// Comparing the window's results with a digest the user copied from a
// download page: what counts as a digest on the clipboard, whether a result
// box matches it, and the status bar's line about it.

// The clipboard is looked at no further than this.
inline constexpr std::size_t kClipboardTextLimit = 64 * 1024;

// The digests in a clipboard's text: maximal runs of hexadecimal digits
// (bounded by other characters or the text's ends) of a length that an
// algorithm's digest has (32 digits MD5, 40 SHA-1, exactly 8 CRC-32, 64
// SHA-256, 128 SHA-512), case ignored, each kept once. Runs of any other
// length (a 7-digit word) are none, and digits parted by spaces or colons
// are not joined.
class ClipboardDigests {
public:
    // The runs of the algorithm's length, in upper case.
    const std::vector<std::string>& Of(Algorithm algorithm) const;
    // Whether the text names the algorithm anywhere, in any case, by its
    // name or its label: SHA-256 or SHA256.
    bool Names(Algorithm algorithm) const { return named_.Has(algorithm); }

private:
    friend ClipboardDigests FindClipboardDigests(std::string_view text);
    std::vector<std::pair<std::size_t, std::vector<std::string>>> runs_;  // by length
    AlgorithmSet named_;
};
ClipboardDigests FindClipboardDigests(std::string_view text);

enum class ResultMark { None, Matches, DoesNotMatch };

// A result box's mark: it matches when its text equals a clipboard digest
// of its kind (a CRC-32 box shows no leading zeros, so 6B9DF6F matches
// 06B9DF6F); it does not match when it differs from the only digest of its
// kind on the clipboard; otherwise, or when it is empty, it has none.
ResultMark MarkFor(Algorithm algorithm, std::string_view boxText, const ClipboardDigests& digests);

// The boxes' accessible descriptions.
inline constexpr const char* kMatchesText = "Matches the digest on the clipboard";
inline constexpr const char* kDoesNotMatchText = "Does not match the digest on the clipboard";

// How a digest that has no box (SHA-256, SHA-512) compares with the digests
// of its length on the clipboard. BLAKE2, BLAKE3 and SHA-3 give digests of
// the same lengths, so one that differs is said not to match only when the
// clipboard holds that one alone and names the algorithm.
enum class ClipboardVerdict {
    None,          // no digest of its length on the clipboard
    Matches,       // equals one of them (a SHA256SUMS list: the file's line)
    DoesNotMatch,  // differs from the only one, and the clipboard names the algorithm
    NotThisOne,    // differs from the only one, which may be another algorithm's
    NoneOfThem,    // differs from each of several
    NotComputed,   // digests of its length, but the run did not compute it
};
ClipboardVerdict VerdictFor(Algorithm algorithm, const std::optional<std::string>& result,
                            const ClipboardDigests& digests);

// The algorithms without a result box that a Generate of the window may
// compute, to compare them with a digest the user copied: those the table
// says it computes unticked.
AlgorithmSet UnboxedAlgorithms();

// Which of them a Generate computes beside the ticked rows, given the
// clipboard as last read: SHA-256 always; one that costs more (SHA-512
// costs as much as MD5) only when the clipboard holds a digest of its
// length, or names it where the table says so.
AlgorithmSet UnboxedToCompute(const ClipboardDigests& digests);

// What the results were computed from, as the status line names it.
enum class Digested { File, Text };

// One line naming each verdict in words. The marks and the verdicts that
// match or do not match come first, in the order MD5, SHA-1, SHA-256,
// SHA-512, CRC-32: "MD5 and SHA-256 match the digests on the clipboard",
// "MD5 matches, SHA-1 does not match the digests on the clipboard". The
// others follow after semicolons: "the 64-digit digest on the clipboard is
// not this file's SHA-256". Empty when there is nothing to say.
std::string StatusLine(const std::vector<std::pair<Algorithm, ResultMark>>& marks,
                       const std::vector<std::pair<Algorithm, ClipboardVerdict>>& verdicts, Digested digested);

// The line of the boxes' marks alone, as StatusLine gives it.
std::string MarksLine(const std::vector<std::pair<Algorithm, ResultMark>>& marks);
