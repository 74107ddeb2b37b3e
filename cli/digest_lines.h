#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "engine/algorithms.h"
#include "platform/text/shown_name.h"

// Lines of digests as md5sum, sha1sum and the BSD tools write them, and as
// `vellumark-cli --check` reads them.

// Names in written lines. A name that holds a backslash, a line feed or a
// carriage return is written with those as \\, \n and \r, and its line
// starts with a backslash, so that every name fits on its line and reads
// back as it was. Other names are written as they are.
bool NeedsLineEscape(std::string_view name);
std::string EscapeLineName(std::string_view name);

// The name of an escaped line back; nullopt for an escape other than \\, \n
// and \r, or a backslash at the end.
std::optional<std::string> UnescapeLineName(std::string_view escaped);

// "MD5 (name) = HEX" and "hex  name", with the leading backslash of an
// escaped name. hex is used as given.
std::string TagLine(const AlgorithmRow& row, std::string_view name, std::string_view hex);
std::string SumLine(std::string_view hex, std::string_view name);

// "name HEX", as SFV checkers read it: SFV has no escapes, so the name is
// written as it stands, and SfvNameRefusal tells the names it cannot hold.
std::string SfvLine(std::string_view name, std::string_view hex);

// Why no SFV line can hold the name, or "" when one can: a line break would
// split the line, a backslash is a folder separator to SFV checkers
// elsewhere, and a name whose line a check here would read as a comment or
// as a line of another form (one that begins with "#", ";", or digits and
// a blank), or one that ends with a blank, whose line other checkers read
// without it, would name another file, or none.
std::string SfvNameRefusal(std::string_view name);

// A listed name as a check reports it ("name: OK") on a terminal of that
// character set. A name with a line break or any other control character
// (as platform::TerminalCharacterAt finds them: a tab, the set's C1
// controls, and in UTF-8 a byte that is no UTF-8) is written as an escaped
// line's name is, each other control character as \xHH, behind a
// backslash: a name from someone else's list must not drive the terminal,
// and could otherwise pass a failed file off as a good one. Other names,
// backslashes included, are written as they are.
std::string CheckedName(std::string_view name, platform::Charset charset);

// The longest list line that can name a file: a longer one is improperly
// formatted, and is never held whole.
inline constexpr std::size_t kMaxListLine = 64 * 1024;

// The lines of a list as they are read, from a file or a pipe, or from a
// text held whole: without their line feeds, and one carriage return before
// a line feed (or at the end) goes too, so that CR LF lists read alike.
// Memory stays a few lines' worth, whatever the list.
class ListLines {
public:
    // Reads from fd, which stays open.
    explicit ListLines(int fd);
    explicit ListLines(std::string_view text);

    struct Line {
        std::string_view text;  // valid until the next call; empty when too long
        bool tooLong = false;   // longer than kMaxListLine, skipped to its end
    };
    // The next line; nothing at the end. Throws Exception with the system's
    // message when the list cannot be read.
    std::optional<Line> Next();

private:
    bool Fill();

    int fd_ = -1;
    std::string buffer_;
    std::string_view data_;  // what is read and not yet taken
    bool ended_ = false;
};

// An algorithm a line may be of, and the digest's length in digits (which
// differs from the algorithm's own only for BLAKE2b).
struct Candidate {
    const AlgorithmRow* row = nullptr;
    std::size_t digits = 0;
    bool operator==(const Candidate&) const = default;
};

struct ListLine {
    enum class Kind {
        Skipped,         // empty, or a "#" comment
        Digest,          // a file to check
        OtherAlgorithm,  // a digest of an algorithm not computed here
        Improper,        // not a line of any form read here
    };
    Kind kind = Kind::Improper;
    // Digest: the algorithms it may be of in rank order; one when the line
    // names its algorithm (its tag, the option, the list's file name), more
    // when only its number of digits tells, which other algorithms share.
    std::vector<Candidate> candidates;
    std::string fileName;       // Digest: the listed name, taken literally
    std::string digest;         // Digest: the hexadecimal digits as listed
    std::string algorithmName;  // OtherAlgorithm: its tag, or "N-digit digest"
};

// Reads the lines of one list, in order. Accepted, each form tried in turn:
//   hex  name, hex *name   md5sum's and sha1sum's lines (also hex name, with
//                          one blank: whichever of the two a list's first
//                          such line uses, its later lines must use too)
//   TAG (name) = hex       BSD tag lines, any spaces before the parenthesis
//   TAG(name)= hex         the same without the spaces (openssl dgst's)
//   name HEX               SFV lines: the last space-separated field is a
//                          CRC-32 of 8 digits, the name all before its space
// the first two possibly behind blanks, and behind a backslash for an
// escaped name; an SFV name is taken as it stands. Lines that start with "#"
// or ";" are comments. The algorithm of a line: its tag, in any spelling its
// tools write and in any case; an SFV line's is CRC-32; else the chosen
// algorithms of that number of digits; else the list's file name (its last
// part, lower case), whose words are matched longest first, a word whose
// algorithm has another number of digits deciding nothing; else each
// algorithm whose digests a line of that many digits may hold, in rank
// order (56, 64, 96 and 128 digits are shared by several).
class ListReader {
public:
    explicit ListReader(AlgorithmSet chosen, std::string_view listPath = {});

    // One line, without its line break.
    ListLine Read(std::string_view line);

private:
    enum class Layout { Unknown, ModeCharacter, SingleBlank };

    std::optional<ListLine> ReadSumLine(std::string_view body, bool escaped);
    std::optional<ListLine> ReadTagLine(std::string_view body, bool escaped) const;
    static std::optional<ListLine> ReadSfvLine(std::string_view line);
    // The algorithms a line of so many digits without a tag may be of.
    std::vector<Candidate> CandidatesOf(std::size_t digits) const;

    AlgorithmSet chosen_;
    // The list name's words that name an algorithm, longest first.
    std::vector<std::pair<std::string_view, const AlgorithmRow*>> named_;
    Layout layout_ = Layout::Unknown;
};
