#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "engine/algorithms.h"

// Comparing the window's results with a digest the user copied from a
// download page: what counts as a digest on the clipboard, which digests a
// Generate computes beside the ticked rows to compare with it, whether a
// result box matches it, and the status bar's line about it.

// The clipboard is looked at no further than this.
inline constexpr std::size_t kClipboardTextLimit = 64 * 1024;
// What a reader takes: one byte more, so that a text cut at the limit can
// be told from one that ends there.
inline constexpr std::size_t kClipboardReadLimit = kClipboardTextLimit + 1;

// The digests in a clipboard's text: maximal runs of hexadecimal digits
// (bounded by other characters or the text's ends) of a length that an
// algorithm's digest has (32 digits MD5, 40 SHA-1, exactly 8 CRC-32, 56, 64,
// 96 and 128 the longer ones), case ignored, each kept once. Runs of any
// other length (a 7-digit word) are none, and digits parted by spaces or
// colons are not joined. A text longer than kClipboardTextLimit is looked at
// no further, and a run that reaches that end is no digest: its rest was
// never read (40 digits cut to 32 are no MD5).
class ClipboardDigests {
public:
    // The runs of the algorithm's own length, in upper case.
    const std::vector<std::string>& Of(Algorithm algorithm) const { return OfLength(RowOf(algorithm).digits); }
    const std::vector<std::string>& OfLength(std::size_t digits) const;
    // Whether the text names the algorithm anywhere, in any case: by its
    // name, its label, a tag its tools write (SHA2-256, BLAKE2b-256) or a
    // word of a list's name (b2sum, b3sum, sha3).
    bool Names(Algorithm algorithm) const { return named_.Has(algorithm); }
    // The length a tag gives BLAKE2b ("BLAKE2b-256": 64 digits), if one does.
    std::optional<std::size_t> Blake2bDigits() const { return blake2bDigits_; }

private:
    friend ClipboardDigests FindClipboardDigests(std::string_view text);
    std::vector<std::pair<std::size_t, std::vector<std::string>>> runs_;  // by length
    AlgorithmSet named_;
    std::optional<std::size_t> blake2bDigits_;
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

// A digest that has no box: an algorithm at a length (BLAKE2b has several).
struct Candidate {
    Algorithm algorithm;
    std::size_t digits;
    bool operator==(const Candidate&) const = default;
};
// Its name in the window's words: "SHA-256", "BLAKE2b" at its own length,
// "BLAKE2b-256" at another.
std::string CandidateName(const Candidate& candidate);

// The lengths of digest without a box that the window compares (56, 64, 96
// and 128 digits), and the table's algorithms of one of them, in their rank
// order there (64: SHA-256, BLAKE3, SHA3-256, BLAKE2s, BLAKE2b-256).
std::vector<std::size_t> UnboxedLengths();
std::vector<Candidate> CandidatesOfLength(std::size_t digits);

// What a Generate computes beside the ticked rows, given the clipboard as
// last read: SHA-256 always; for each length that the clipboard holds a
// digest of, the algorithms of that length it names (b2sum or BLAKE2b
// beside 64 digits is BLAKE2b-256), else the fast ones the table computes
// unasked (64: SHA-256 and BLAKE3; 128: SHA-512 and BLAKE2b; 56: SHA-224;
// 96: SHA-384). Keyed (HMAC), none that has no HMAC (BLAKE3). BLAKE2b is
// computed at one length: the one its tag gives, else 128 digits, else the
// first of 64, 96 and 56 it is named beside.
struct UnboxedRequest {
    AlgorithmSet algorithms;
    std::size_t blake2bBytes = 64;
    bool operator==(const UnboxedRequest&) const = default;
};
UnboxedRequest UnboxedToCompute(const ClipboardDigests& digests, bool hmac);

// What the last Generate computed beside the boxes, to compare it with the
// clipboard: the results by algorithm, as their text.
enum class Digested { File, Text };
struct UnboxedResults {
    bool present = false;
    bool hmac = false;
    Digested digested = Digested::File;
    std::array<std::optional<std::string>, kAlgorithmCount> results;  // by algorithm
};

// How the digests without a box compare with the clipboard's digests of
// one length.
enum class VerdictKind {
    Matches,       // one of them equals one of the clipboard's digests
    DoesNotMatch,  // none does, and the clipboard names each algorithm compared, or all of the length were
    NotComputed,   // the clipboard now asks for one the run did not compute
    NotThisOne,    // none does, but the digests may be of an algorithm not computed
};
struct LengthVerdict {
    VerdictKind kind = VerdictKind::NotThisOne;
    std::size_t digits = 0;
    // Matches: those that match; DoesNotMatch and NotThisOne: those compared.
    std::vector<std::string> names;
    bool several = false;  // several digests of the length on the clipboard
    // Matches: the values that matched, as "BLAKE3 = …" says them.
    std::vector<std::pair<std::string, std::string>> values;
    bool operator==(const LengthVerdict&) const = default;
};
// One for each length the clipboard holds digests of, once results are
// there; in the order of the line: mismatches, matches, not computed, the
// others.
std::vector<LengthVerdict> UnboxedVerdicts(const UnboxedResults& results, const ClipboardDigests& digests);

// The mark before the status line, of its first sentence.
enum class LineMark { None, Matches, DoesNotMatch, Neutral };

// The status line in its parts: sentences in the order they are said, the
// first with the mark; the values that matched; the note on files not
// opened.
struct StatusReport {
    struct Sentence {
        std::string whole;  // as it stands first, and in the tooltip
        std::string after;  // shorter, after another on the line
    };
    LineMark mark = LineMark::None;
    std::vector<Sentence> sentences;
    std::vector<std::pair<std::string, std::string>> values;
    std::string note;
};
// The verdicts without a box come first, the boxes' marks next ("MD5
// matches the digest on the clipboard", "SHA-1 does not match the
// clipboard; MD5 and CRC-32 do"), the note last.
StatusReport ReportFor(const std::vector<std::pair<Algorithm, ResultMark>>& marks,
                       const std::vector<LengthVerdict>& verdicts, Digested digested, std::string note = {});

// The line the status bar shows: the first sentence whole, then each other
// part (after "; ", the note after two blanks) only where the line still
// fits: the rest is left to the tooltip. Empty when there is nothing to say.
std::string LineOf(const StatusReport& report, const std::function<bool(std::string_view line)>& fits);
// The whole of it, for the tooltip and screen readers: each sentence on a
// line of its own, the values that matched ("BLAKE3 = …"), the note.
std::string WholeText(const StatusReport& report);

// The mark's colours over a background (0xRRGGBB): its hue for the kind,
// dark enough over a light background or light enough over a dark one for
// a contrast of at least 4.5:1 (WCAG's relative luminance); and the tint of
// the bar behind a match or a mismatch.
std::uint32_t MarkColour(LineMark mark, std::uint32_t background);
std::uint32_t TintBehind(LineMark mark, std::uint32_t background);
double ContrastRatio(std::uint32_t a, std::uint32_t b);
