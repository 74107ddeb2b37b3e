#pragma once

#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <memory>
#include <span>
#include <string>
#include <string_view>

// What each algorithm is, one row each: its names as the window and the
// companion write them, the tags its lines are read under, its digits, its
// HMAC block, its engine entry and lanes, and when the window computes it
// unticked. The engine's dispatch, the companion's options and output
// order, the reading of lists and the window's verdicts all read this
// table: adding an algorithm is adding a row and its engine code.

// In the order results are handed on, printed and named in a line of words.
enum class Algorithm : std::uint8_t {
    Md5,
    Sha1,
    Sha224,
    Sha256,
    Sha384,
    Sha512,
    Sha3_224,
    Sha3_256,
    Sha3_384,
    Sha3_512,
    Blake2b,
    Blake2s,
    Blake3,
    Crc32,
};
inline constexpr std::size_t kAlgorithmCount = 14;

constexpr std::size_t IndexOf(Algorithm algorithm) noexcept
{
    return static_cast<std::size_t>(algorithm);
}

// A set of algorithms, gone through in the table's order.
class AlgorithmSet {
public:
    constexpr AlgorithmSet() = default;
    constexpr AlgorithmSet(std::initializer_list<Algorithm> algorithms)
    {
        for (const Algorithm algorithm : algorithms)
            Add(algorithm);
    }

    constexpr bool Has(Algorithm algorithm) const noexcept { return ((bits_ >> IndexOf(algorithm)) & 1u) != 0; }
    constexpr void Add(Algorithm algorithm) noexcept { bits_ |= 1u << IndexOf(algorithm); }
    constexpr void Remove(Algorithm algorithm) noexcept { bits_ &= ~(1u << IndexOf(algorithm)); }
    constexpr void Set(Algorithm algorithm, bool in) noexcept { in ? Add(algorithm) : Remove(algorithm); }
    constexpr bool Empty() const noexcept { return bits_ == 0; }
    constexpr std::size_t Count() const noexcept { return static_cast<std::size_t>(std::popcount(bits_)); }
    constexpr AlgorithmSet operator|(AlgorithmSet other) const noexcept { return FromBits(bits_ | other.bits_); }
    constexpr AlgorithmSet operator&(AlgorithmSet other) const noexcept { return FromBits(bits_ & other.bits_); }
    constexpr bool operator==(const AlgorithmSet&) const = default;

    class Iterator {
    public:
        constexpr explicit Iterator(std::uint32_t rest) : rest_(rest) {}
        constexpr Algorithm operator*() const noexcept { return static_cast<Algorithm>(std::countr_zero(rest_)); }
        constexpr Iterator& operator++() noexcept
        {
            rest_ &= rest_ - 1;
            return *this;
        }
        constexpr bool operator==(const Iterator&) const = default;

    private:
        std::uint32_t rest_;
    };
    constexpr Iterator begin() const noexcept { return Iterator(bits_); }
    constexpr Iterator end() const noexcept { return Iterator(0); }

private:
    static constexpr AlgorithmSet FromBits(std::uint32_t bits) noexcept
    {
        AlgorithmSet set;
        set.bits_ = bits;
        return set;
    }

    std::uint32_t bits_ = 0;
};

namespace engine {

// A digest's bytes in the standard's order; CRC-32's word most significant
// byte first, as its hexadecimal digits are written.
struct DigestBytes {
    std::array<std::uint8_t, 64> bytes{};
    std::size_t size = 0;

    const std::uint8_t* data() const noexcept { return bytes.data(); }
    bool operator==(const DigestBytes&) const = default;
};

// The digests of one message, by algorithm.
struct DigestResults {
    std::array<DigestBytes, kAlgorithmCount> digests{};
    AlgorithmSet present;

    const DigestBytes& operator[](Algorithm algorithm) const noexcept { return digests[IndexOf(algorithm)]; }
    void Set(Algorithm algorithm, const DigestBytes& digest) noexcept
    {
        digests[IndexOf(algorithm)] = digest;
        present.Add(algorithm);
    }
};

// One message fed piece by piece, through the same block functions as the
// one-shot operations of digest.h, counting its bytes in 64 bits, so that a
// message of any size gives what the one-shot operation would give for the
// same bytes.
class MessageDigest {
public:
    virtual ~MessageDigest() = default;
    // The next piece, of any size. Keyed, the words the key leaves in the
    // vector registers and below the caller's frame are cleared before it
    // returns.
    virtual void Feed(const std::uint8_t* bytes, std::size_t size) = 0;
    // Once, after the last piece. Key material is wiped.
    virtual DigestBytes Finish() = 0;

    // Pieces digested apart, where the message is a tree of its own (plain
    // BLAKE3): whether the next piece of `size` bytes can be. A piece far
    // from the message's end, at `offset` (a multiple of `size`), may then be
    // digested on any thread into a summary of kApartSummarySize bytes, even
    // while the digest takes other summaries; and TakeApart takes the
    // summary of the next piece in order in place of its bytes. Bytes must
    // be fed after the last summary taken. None by default.
    static constexpr std::size_t kApartSummarySize = 32;
    virtual bool TakesApart(std::size_t) const noexcept { return false; }
    virtual void DigestApart(std::uint64_t, const std::uint8_t*, std::size_t, std::uint8_t*) const {}
    virtual void TakeApart(const std::uint8_t*, std::size_t) {}
};

class DigestLanes;  // lane_digests.h

}  // namespace engine

struct AlgorithmRow {
    Algorithm algorithm;
    std::string_view name;    // "SHA-256": in the window's words
    std::string_view label;   // "SHA256": the companion's label of its lines, and the tag it writes
    std::string_view option;  // "--sha256"
    // What its tag lines are read under, in any case: the tags its tools
    // write (coreutils' and BSD's, rhash's, OpenSSL 3's such as SHA2-256 and
    // OpenSSL 1.1's). One with other lengths (BLAKE2b) is also read with the
    // length in bits behind its tag: BLAKE2b-256, BLAKE2B-512, BLAKE2b512.
    std::span<const std::string_view> tags;
    std::size_t digits;        // hexadecimal digits at full width, its own length
    std::size_t fewestDigits;  // the shortest it has (BLAKE2b's 2), or its digits
    // Lengths in digits at which a line that names no algorithm may be of
    // this one; it is tried among the others of that length in rank order,
    // lower first.
    std::span<const std::size_t> unnamedDigits;
    int rank;
    // Words of a list's file name (lower case) that name it, "^" before one
    // that counts only at the start of the name.
    std::span<const std::string_view> listWords;
    std::size_t hmacBlock;     // bytes; 0 for one that has no HMAC
    bool ownKeyedMode;         // keyed by a key of its own mode's rather than an HMAC's (BLAKE3)
    bool leadingZerosDropped;  // shown as a number in its result box (CRC-32)
    // The engine's entry: a new message, keyed with `key` when given (HMAC,
    // or its own keyed mode), `digestBytes` long where the algorithm has
    // several lengths (0: its own).
    std::unique_ptr<engine::MessageDigest> (*start)(const std::string* key, std::size_t digestBytes);
    // An object for many messages side by side, or null where it has none.
    std::unique_ptr<engine::DigestLanes> (*lanes)();
    // Whether this digest alone keeps up with the reads of a file in the
    // page cache on this processor, so that it is best fed where it is read.
    bool (*keepsUpWithReads)();
    // The window computes it beside the ticked rows when the clipboard as
    // last read holds a digest of its own length and names no algorithm of
    // that length (unasked), or names it beside a digest of a length it has
    // (when named).
    bool windowUnasked;
    bool windowWhenNamed;
};

// Every row, in the algorithms' order.
std::span<const AlgorithmRow> AlgorithmRows() noexcept;
const AlgorithmRow& RowOf(Algorithm algorithm) noexcept;
// Null when no row has the option.
const AlgorithmRow* RowByOption(std::string_view option) noexcept;

// The algorithm and length a line's tag names, in any case; no row when
// none does.
struct TagMatch {
    const AlgorithmRow* row = nullptr;
    std::size_t digits = 0;
};
TagMatch ReadTag(std::string_view tag) noexcept;

// The label of a digest of `digits` digits: the row's, and for another
// length than its own the length in bits behind it, as b2sum --tag writes
// it ("BLAKE2b-256").
std::string LabelOf(const AlgorithmRow& row, std::size_t digits);

// The digest as text: upper-case hexadecimal, two digits a byte; a number
// shown without its leading zeros (CRC-32) as its result box shows it.
std::string ResultText(const AlgorithmRow& row, const engine::DigestBytes& digest);
// A result as ResultText gives it, at the row's full width.
std::string FullWidth(const AlgorithmRow& row, const std::string& result);
