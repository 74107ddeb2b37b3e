#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "app/generate/generate.h"

// Comparing the window's results with a digest the user copied from a
// download page: what counts as a digest on the clipboard, whether a result
// box matches it, and the status bar's line about it.

// The clipboard is looked at no further than this.
inline constexpr std::size_t kClipboardTextLimit = 64 * 1024;

// The digests in a clipboard's text: maximal runs of hexadecimal digits
// (bounded by other characters or the text's ends) of 32 digits (MD5), 40
// (SHA-1) or exactly 8 (CRC-32), case ignored, each kept once. Runs of any
// other length (a SHA-256's 64, a 7-digit word) are none, and digits parted
// by spaces or colons are not joined.
struct ClipboardDigests {
    std::vector<std::string> md5;   // upper case
    std::vector<std::string> sha1;  // upper case
    std::vector<std::uint32_t> crc32;
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

// One line naming the marked algorithms and their verdicts in words, in the
// boxes' order: "MD5 matches the digest on the clipboard", "MD5 matches,
// SHA-1 does not match the digests on the clipboard". Empty without marks.
std::string MarksLine(const std::vector<std::pair<Algorithm, ResultMark>>& marks);
