#pragma once

#include <optional>
#include <string>
#include <string_view>
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
// a blank) would name another file, or none.
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

struct ListLine {
    enum class Kind {
        Skipped,         // empty, or a "#" comment
        Digest,          // a file to check
        OtherAlgorithm,  // a digest of an algorithm not computed here
        Improper,        // not a line of any form read here
    };
    Kind kind = Kind::Improper;
    const AlgorithmRow* row = nullptr;  // Digest: its algorithm
    std::string fileName;               // Digest: the listed name, taken literally
    std::string digest;                 // Digest: the hexadecimal digits as listed
    std::string algorithmName;          // OtherAlgorithm: its tag, or "N-digit digest"
    bool maybeSha512 = false;           // OtherAlgorithm: 128 digits without a tag
};

// Reads the lines of one list, in order. Accepted, each form tried in turn:
//   hex  name, hex *name   md5sum's and sha1sum's lines (also hex name, with
//                          one blank: whichever of the two a list's first
//                          such line uses, its later lines must use too)
//   TAG (name) = hex       BSD tag lines, any spaces before the parenthesis
//   TAG(name)= hex         the same without the spaces
//   name HEX               SFV lines: the last space-separated field is a
//                          CRC-32 of 8 digits, the name all before its space
// the first two possibly behind blanks, and behind a backslash for an
// escaped name; an SFV name is taken as it stands. Lines that start with "#"
// or ";" are comments. The tag decides the algorithm, and an SFV line is
// CRC-32; without either, the chosen algorithms decide by the number of
// digits. When none is chosen, every algorithm may, but for those that a
// list's file name must name (SHA-512: 128 digits are also BLAKE2b's, which
// b2sum writes without a tag): they may only when `namedByList` has them.
class ListReader {
public:
    explicit ListReader(AlgorithmSet chosen, AlgorithmSet namedByList = {}) : chosen_(chosen), namedByList_(namedByList)
    {}

    // One line, without its line break.
    ListLine Read(std::string_view line);

private:
    enum class Layout { Unknown, ModeCharacter, SingleBlank };

    std::optional<ListLine> ReadSumLine(std::string_view body, bool escaped);
    std::optional<ListLine> ReadTagLine(std::string_view body, bool escaped) const;
    static std::optional<ListLine> ReadSfvLine(std::string_view line);

    AlgorithmSet chosen_;
    AlgorithmSet namedByList_;
    Layout layout_ = Layout::Unknown;
};
