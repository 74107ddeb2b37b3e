#include "cli/digest_lines.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <iterator>

#include <unistd.h>

#include "platform/base/ascii.h"
#include "platform/base/exception.h"
#include "platform/base/retry.h"
#include "platform/text/shown_name.h"

namespace {

bool IsBlank(char c)
{
    return c == ' ' || c == '\t';
}

bool IsHexDigit(char c)
{
    return platform::HexDigitValue(c) >= 0;
}

bool AllHex(std::string_view text)
{
    for (const char c : text) {
        if (!IsHexDigit(c))
            return false;
    }
    return true;
}

// Letters, digits, "-" and "_": "SHA256", "SHA3-256", "GOST94-CRYPTOPRO".
bool IsTagCharacter(char c)
{
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' || c == '_';
}

// What other tools put after "=": hexadecimal, base32 or base64 digits.
bool LooksLikeADigest(std::string_view value)
{
    if (value.empty())
        return false;
    for (const char c : value) {
        if (!IsTagCharacter(c) && c != '+' && c != '/' && c != '=')
            return false;
    }
    return true;
}

// The lengths of other tools' hexadecimal digests (a 64-bit checksum up to
// SHA-512): a line with one of them is another algorithm's, not a broken one.
bool IsOtherDigestLength(std::size_t digits)
{
    return digits % 2 == 0 && digits >= 16 && digits <= 128;
}

}  // namespace

namespace {

// A byte's escape in a written line's name, or null for a byte written as
// it is.
const char* LineEscape(char c)
{
    switch (c) {
    case '\\':
        return "\\\\";
    case '\n':
        return "\\n";
    case '\r':
        return "\\r";
    default:
        return nullptr;
    }
}

}  // namespace

bool NeedsLineEscape(std::string_view name)
{
    return std::any_of(name.begin(), name.end(), [](char c) { return LineEscape(c) != nullptr; });
}

std::string EscapeLineName(std::string_view name)
{
    std::string out;
    out.reserve(name.size());
    for (const char c : name) {
        if (const char* escape = LineEscape(c))
            out += escape;
        else
            out += c;
    }
    return out;
}

std::optional<std::string> UnescapeLineName(std::string_view escaped)
{
    std::string name;
    name.reserve(escaped.size());
    for (std::size_t i = 0; i < escaped.size(); ++i) {
        if (escaped[i] != '\\') {
            name += escaped[i];
            continue;
        }
        if (++i == escaped.size())
            return std::nullopt;
        switch (escaped[i]) {
        case '\\':
            name += '\\';
            break;
        case 'n':
            name += '\n';
            break;
        case 'r':
            name += '\r';
            break;
        default:
            return std::nullopt;
        }
    }
    return name;
}

std::string TagLine(const AlgorithmRow& row, std::string_view name, std::string_view hex)
{
    const bool escape = NeedsLineEscape(name);
    std::string line = escape ? "\\" : "";
    line += LabelOf(row, hex.size());
    line += " (";
    line += escape ? EscapeLineName(name) : std::string(name);
    line += ") = ";
    line += hex;
    return line;
}

std::string SumLine(std::string_view hex, std::string_view name)
{
    const bool escape = NeedsLineEscape(name);
    std::string line = escape ? "\\" : "";
    line += hex;
    line += "  ";
    line += escape ? EscapeLineName(name) : std::string(name);
    return line;
}

std::string SfvLine(std::string_view name, std::string_view hex)
{
    std::string line(name);
    line += ' ';
    line += hex;
    return line;
}

std::string SfvNameRefusal(std::string_view name)
{
    if (name.find_first_of("\\\n\r") != std::string_view::npos)
        return "An SFV line cannot hold a name with a line feed, a carriage return or a backslash";
    // Other checkers take the blanks before the digest as the separator, all
    // of them: the name would lose its own.
    if (name.ends_with(' ') || name.ends_with('\t'))
        return "An SFV line with this name would be read back as another line";
    const std::string line = SfvLine(name, "00000000");
    const ListLine read = ListReader({}).Read(line);
    if (read.kind != ListLine::Kind::Digest || read.fileName != name ||
        read.candidates.front().row->algorithm != Algorithm::Crc32)
        return "An SFV line with this name would be read back as another line";
    return "";
}

std::string CheckedName(std::string_view name, platform::Charset charset)
{
    bool controls = false;
    for (std::size_t i = 0; i < name.size() && !controls;) {
        const platform::TerminalCharacter character = platform::TerminalCharacterAt(name, i, charset);
        controls = character.control;
        i += character.length;
    }
    if (!controls)
        return std::string(name);

    std::string out = "\\";
    for (std::size_t i = 0; i < name.size();) {
        const platform::TerminalCharacter character = platform::TerminalCharacterAt(name, i, charset);
        if (const char* escape = LineEscape(name[i]))
            out += escape;
        else if (character.control)
            platform::AppendEscapedBytes(out, name.substr(i, character.length));
        else
            out.append(name.substr(i, character.length));
        i += character.length;
    }
    return out;
}

namespace {

constexpr std::size_t kListChunk = 256 * 1024;

std::string_view WithoutCarriageReturn(std::string_view line)
{
    if (!line.empty() && line.back() == '\r')
        line.remove_suffix(1);
    return line;
}

}  // namespace

ListLines::ListLines(int fd) : fd_(fd) {}

ListLines::ListLines(std::string_view text) : data_(text), ended_(true) {}

// Moves what is not yet taken to the front and reads more behind it; false
// at the end of the list.
bool ListLines::Fill()
{
    if (ended_)
        return false;
    if (buffer_.size() < kListChunk + kMaxListLine + 2)
        buffer_.resize(kListChunk + kMaxListLine + 2);
    const std::size_t kept = data_.size();
    if (kept > 0)
        std::memmove(buffer_.data(), data_.data(), kept);
    const ssize_t got = platform::RetryOnInterrupt(
        [&] { return ::read(fd_, buffer_.data() + kept, std::min(kListChunk, buffer_.size() - kept)); });
    if (got < 0)
        throw Exception(std::strerror(errno));
    ended_ = got == 0;
    data_ = std::string_view(buffer_.data(), kept + static_cast<std::size_t>(got));
    return !ended_;
}

std::optional<ListLines::Line> ListLines::Next()
{
    bool skipping = false;  // through a line too long to keep
    for (;;) {
        const std::size_t lineFeed = data_.find('\n');
        if (lineFeed != std::string_view::npos) {
            const std::string_view line = WithoutCarriageReturn(data_.substr(0, lineFeed));
            data_.remove_prefix(lineFeed + 1);
            if (skipping || line.size() > kMaxListLine)
                return Line{{}, true};
            return Line{line, false};
        }
        // No line feed yet: a line this long with its CR cannot be kept.
        if (data_.size() > kMaxListLine + 1) {
            skipping = true;
            data_ = {};
        }
        if (!Fill()) {
            if (!skipping && data_.empty())
                return std::nullopt;
            const std::string_view line = WithoutCarriageReturn(data_);
            data_ = {};
            if (skipping || line.size() > kMaxListLine)
                return Line{{}, true};
            return Line{line, false};
        }
    }
}

ListReader::ListReader(AlgorithmSet chosen, std::string_view listPath) : chosen_(chosen)
{
    const std::string name = platform::AsciiLower(std::string(listPath.substr(listPath.rfind('/') + 1)));
    for (const AlgorithmRow& row : AlgorithmRows()) {
        for (std::string_view word : row.listWords) {
            const bool atStart = word.front() == '^';
            if (atStart)
                word.remove_prefix(1);
            if (atStart ? name.starts_with(word) : name.find(word) != std::string::npos)
                named_.emplace_back(word, &row);
        }
    }
    std::stable_sort(named_.begin(), named_.end(),
                     [](const auto& a, const auto& b) { return a.first.size() > b.first.size(); });
}

std::vector<Candidate> ListReader::CandidatesOf(std::size_t digits) const
{
    const auto fits = [digits](const AlgorithmRow& row) {
        return digits == row.digits || (digits >= row.fewestDigits && digits < row.digits && digits % 2 == 0);
    };
    std::vector<Candidate> candidates;
    if (!chosen_.Empty()) {
        for (const Algorithm algorithm : chosen_) {
            if (fits(RowOf(algorithm)))
                candidates.push_back({&RowOf(algorithm), digits});
        }
    } else {
        for (const auto& [word, row] : named_) {
            if (fits(*row))
                return {{row, digits}};
        }
        for (const AlgorithmRow& row : AlgorithmRows()) {
            if (std::find(row.unnamedDigits.begin(), row.unnamedDigits.end(), digits) != row.unnamedDigits.end())
                candidates.push_back({&row, digits});
        }
    }
    std::stable_sort(candidates.begin(), candidates.end(),
                     [](const Candidate& a, const Candidate& b) { return a.row->rank < b.row->rank; });
    return candidates;
}

ListLine ListReader::Read(std::string_view line)
{
    if (line.empty() || line.front() == '#' || line.front() == ';') {
        ListLine skipped;
        skipped.kind = ListLine::Kind::Skipped;
        return skipped;
    }
    // A name is a C string to every system call: one cut short at a NUL
    // would have another file checked in its place.
    if (line.find('\0') != std::string_view::npos)
        return {};

    std::size_t start = 0;
    while (start < line.size() && IsBlank(line[start]))
        ++start;
    const bool escaped = start < line.size() && line[start] == '\\';
    const std::string_view body = line.substr(start + (escaped ? 1 : 0));

    if (std::optional<ListLine> sum = ReadSumLine(body, escaped))
        return *std::move(sum);
    if (std::optional<ListLine> tagged = ReadTagLine(body, escaped))
        return *std::move(tagged);
    if (std::optional<ListLine> sfv = ReadSfvLine(line))
        return *std::move(sfv);
    return {};
}

// "hex  name", "hex *name" or "hex name"; nullopt for a line that is none of
// them, which leaves it to the other forms.
std::optional<ListLine> ListReader::ReadSumLine(std::string_view body, bool escaped)
{
    std::size_t digits = 0;
    while (digits < body.size() && IsHexDigit(body[digits]))
        ++digits;
    if (digits == 0 || digits == body.size() || !IsBlank(body[digits]))
        return std::nullopt;

    ListLine line;
    line.candidates = CandidatesOf(digits);
    if (line.candidates.empty()) {
        if (!chosen_.Empty() || !IsOtherDigestLength(digits))
            return std::nullopt;
        line.kind = ListLine::Kind::OtherAlgorithm;
        line.algorithmName = std::to_string(digits) + "-digit digest";
    }

    // After the digits and one blank: a mode character (" " or "*") and the
    // name, or the name alone. The list's first such line decides which, as
    // a name may itself begin with a space or a star.
    const std::string_view rest = body.substr(digits + 1);
    std::string_view name;
    if (layout_ != Layout::SingleBlank && rest.size() >= 2 && (rest[0] == ' ' || rest[0] == '*')) {
        name = rest.substr(1);
        layout_ = Layout::ModeCharacter;
    } else if (layout_ != Layout::ModeCharacter && !rest.empty()) {
        name = rest;
        layout_ = Layout::SingleBlank;
    } else {
        return std::nullopt;
    }
    if (line.kind == ListLine::Kind::OtherAlgorithm)
        return line;

    std::optional<std::string> fileName = escaped ? UnescapeLineName(name) : std::string(name);
    if (!fileName)
        return std::nullopt;
    line.kind = ListLine::Kind::Digest;
    line.fileName = *std::move(fileName);
    line.digest = std::string(body.substr(0, digits));
    return line;
}

// "TAG (name) = hex" with any spaces before the parenthesis and any blanks
// around "="; the name runs to the last ")". nullopt for another form.
std::optional<ListLine> ListReader::ReadTagLine(std::string_view body, bool escaped) const
{
    std::size_t tagEnd = 0;
    while (tagEnd < body.size() && IsTagCharacter(body[tagEnd]))
        ++tagEnd;
    std::size_t open = tagEnd;
    while (open < body.size() && body[open] == ' ')
        ++open;
    const std::size_t close = body.rfind(')');
    if (tagEnd == 0 || open >= body.size() || body[open] != '(' || close == std::string_view::npos || close < open)
        return std::nullopt;
    std::size_t at = close + 1;
    while (at < body.size() && IsBlank(body[at]))
        ++at;
    if (at == body.size() || body[at] != '=')
        return std::nullopt;
    ++at;
    while (at < body.size() && IsBlank(body[at]))
        ++at;
    const std::string_view tag = body.substr(0, tagEnd);
    const std::string_view value = body.substr(at);

    ListLine line;
    const TagMatch named = ReadTag(tag);
    if (named.row == nullptr) {
        if (!LooksLikeADigest(value))
            return std::nullopt;
        line.kind = ListLine::Kind::OtherAlgorithm;
        line.algorithmName = std::string(tag);
        return line;
    }
    line.candidates = {{named.row, named.digits}};
    if (value.size() != named.digits || !AllHex(value))
        return std::nullopt;
    const std::string_view name = body.substr(open + 1, close - open - 1);
    std::optional<std::string> fileName = escaped ? UnescapeLineName(name) : std::string(name);
    if (!fileName)
        return std::nullopt;
    line.kind = ListLine::Kind::Digest;
    line.fileName = *std::move(fileName);
    line.digest = std::string(value);
    return line;
}

// "name HEX": the CRC-32's 8 digits after the line's last space, the name
// before it, as it stands (SFV has no escapes). nullopt for another line.
std::optional<ListLine> ListReader::ReadSfvLine(std::string_view line)
{
    const std::size_t space = line.rfind(' ');
    const AlgorithmRow& crc32 = RowOf(Algorithm::Crc32);
    if (space == std::string_view::npos || space == 0)
        return std::nullopt;
    const std::string_view value = line.substr(space + 1);
    if (value.size() != crc32.digits || !AllHex(value))
        return std::nullopt;
    ListLine read;
    read.kind = ListLine::Kind::Digest;
    read.candidates = {{&crc32, crc32.digits}};
    read.fileName = std::string(line.substr(0, space));
    read.digest = std::string(value);
    return read;
}
