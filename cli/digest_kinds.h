#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "core/generate.h"

// The algorithms the command-line companion computes, one row each: the
// label of its lines and its BSD tag, its option, the digits of its digest
// at full width and the tick of a GenerateInput that runs it. Adding an
// algorithm to the companion is adding a row (and its tick to Generate).
struct DigestKind {
    Algorithm algorithm;
    std::string_view tag;     // "MD5": the label of plain lines, the tag of "MD5 (name) = HEX"
    std::string_view option;  // "--md5"
    std::size_t digits;       // hexadecimal digits with leading zeros, as other tools write them
    bool GenerateInput::*tick;
};

inline constexpr DigestKind kDigestKinds[] = {
    {Algorithm::Md5, "MD5", "--md5", 32, &GenerateInput::md5},
    {Algorithm::Sha1, "SHA1", "--sha1", 40, &GenerateInput::sha1},
    {Algorithm::Sha256, "SHA256", "--sha256", 64, &GenerateInput::sha256},
    {Algorithm::Sha512, "SHA512", "--sha512", 128, &GenerateInput::sha512},
    {Algorithm::Crc32, "CRC32", "--crc32", 8, &GenerateInput::crc32},
};

using DigestKinds = std::vector<const DigestKind*>;

const DigestKind& KindOf(Algorithm algorithm);

// Null when no row has the tag (exactly, case included) or the option.
const DigestKind* KindByTag(std::string_view tag);
const DigestKind* KindByOption(std::string_view option);

// The kinds whose ticks are set in input, in the rows' order.
DigestKinds TickedKinds(const GenerateInput& input);

// input with only kind's tick set.
GenerateInput OnlyTicked(const GenerateInput& input, const DigestKind& kind);

// A result as Generate hands it on (a CRC-32 without leading zeros) at the
// kind's full width.
std::string FullWidth(const DigestKind& kind, const std::string& result);
