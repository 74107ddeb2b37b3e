#include "core/clipboard_marks.h"

#include <algorithm>
#include <cmath>
#include <optional>

#include "platform/base/ascii.h"
#include "platform/text/word_list.h"

namespace {

template <class T>
void AddOnce(std::vector<T>& list, T value)
{
    if (std::find(list.begin(), list.end(), value) == list.end())
        list.push_back(std::move(value));
}

std::optional<std::uint32_t> HexValue(std::string_view digits)
{
    if (digits.empty() || digits.size() > 8)
        return std::nullopt;
    std::uint32_t value = 0;
    for (const char c : digits) {
        const int digit = platform::HexDigitValue(c);
        if (digit < 0)
            return std::nullopt;
        value = value << 4 | static_cast<std::uint32_t>(digit);
    }
    return value;
}

bool IsDigit(char c)
{
    return c >= '0' && c <= '9';
}

// The length a BLAKE2b tag in the (upper-case) text gives, the first that
// gives one: "BLAKE2B-256", "BLAKE2B256".
std::optional<std::size_t> TaggedBlake2bDigits(const std::string& upper)
{
    const std::string tag = platform::AsciiUpper(std::string(RowOf(Algorithm::Blake2b).name));
    for (std::size_t at = upper.find(tag); at != std::string::npos; at = upper.find(tag, at + 1)) {
        std::size_t end = at + tag.size();
        if (end < upper.size() && upper[end] == '-')
            ++end;
        std::size_t digitsEnd = end;
        while (digitsEnd < upper.size() && IsDigit(upper[digitsEnd]) && digitsEnd - end < 3)
            ++digitsEnd;
        if (digitsEnd == end || (digitsEnd < upper.size() && IsDigit(upper[digitsEnd])))
            continue;
        const TagMatch match = ReadTag(std::string_view(upper).substr(at, digitsEnd - at));
        if (match.row != nullptr && match.row->algorithm == Algorithm::Blake2b)
            return match.digits;
    }
    return std::nullopt;
}

// Whether the word stands in the (upper-case) text other than as the start
// of a tag with a length behind it.
bool NamesAsWord(const std::string& upper, std::string_view word)
{
    const std::string wanted = platform::AsciiUpper(std::string(word));
    for (std::size_t at = upper.find(wanted); at != std::string::npos; at = upper.find(wanted, at + 1)) {
        std::size_t end = at + wanted.size();
        if (end < upper.size() && (upper[end] == '-' || upper[end] == '_'))
            ++end;
        if (end >= upper.size() || !IsDigit(upper[end]))
            return true;
    }
    return false;
}

// Whether the clipboard names the algorithm as one of that length.
bool NamedAt(const ClipboardDigests& digests, const Candidate& candidate)
{
    if (!digests.Names(candidate.algorithm))
        return false;
    const std::optional<std::size_t> tagged =
        candidate.algorithm == Algorithm::Blake2b ? digests.Blake2bDigits() : std::nullopt;
    return !tagged || *tagged == candidate.digits;
}

bool Keyable(Algorithm algorithm)
{
    return RowOf(algorithm).hmacBlock != 0;
}

// The algorithms of a length that a Generate can compute, keyed or not.
std::vector<Candidate> Computable(std::size_t digits, bool hmac)
{
    std::vector<Candidate> candidates = CandidatesOfLength(digits);
    if (hmac)
        std::erase_if(candidates, [](const Candidate& candidate) { return !Keyable(candidate.algorithm); });
    return candidates;
}

// Those of a length a Generate computes now, for its digests on the
// clipboard.
std::vector<Candidate> WantedAt(const ClipboardDigests& digests, std::size_t digits, bool hmac)
{
    std::vector<Candidate> wanted;
    for (const Candidate& candidate : Computable(digits, hmac)) {
        if (NamedAt(digests, candidate))
            wanted.push_back(candidate);
    }
    if (wanted.empty()) {
        for (const Candidate& candidate : Computable(digits, hmac)) {
            const AlgorithmRow& row = RowOf(candidate.algorithm);
            if (row.windowUnasked && row.digits == digits)
                wanted.push_back(candidate);
        }
    }
    return wanted;
}

template <class Container, class T>
bool Contains(const Container& list, const T& value)
{
    return std::find(list.begin(), list.end(), value) != list.end();
}

std::vector<std::string> NamesOf(const std::vector<Candidate>& candidates)
{
    std::vector<std::string> names;
    for (const Candidate& candidate : candidates)
        names.push_back(CandidateName(candidate));
    return names;
}

// "A", "A and B", "A and 2 others"; with `alternative` "or".
std::string ShortList(const std::vector<std::string>& names, const char* joint)
{
    if (names.size() <= 2)
        return platform::WordList(names, joint);
    const std::size_t others = names.size() - 1;
    return names.front() + joint + std::to_string(others) + (others == 1 ? " other" : " others");
}

std::string VerdictSentence(const LengthVerdict& verdict, Digested digested)
{
    const std::size_t count = verdict.names.size();
    switch (verdict.kind) {
    case VerdictKind::Matches:
        if (count == 1)
            return verdict.names.front() + " matches the digest on the clipboard";
        return ShortList(verdict.names, " and ") + " match the clipboard";
    case VerdictKind::DoesNotMatch:
        if (count == 1)
            return verdict.names.front() + (verdict.several ? " matches no digest on the clipboard"
                                                            : " does not match the digest on the clipboard");
        if (count == 2)
            return "Neither " + verdict.names[0] + " nor " + verdict.names[1] + " matches the clipboard";
        return ShortList(verdict.names, " and ") + " do not match the clipboard";
    case VerdictKind::NotComputed:
        return "Press Generate again to compare";
    case VerdictKind::NotThisOne:
        break;
    }
    const std::string whose = digested == Digested::Text ? "this text's " : "this file's ";
    const std::string names = ShortList(verdict.names, " or ");
    if (verdict.several)
        return "None on the clipboard is " + whose + names;
    return "Not " + whose + names + "; copy the whole line";
}

LineMark MarkOf(VerdictKind kind)
{
    switch (kind) {
    case VerdictKind::Matches:
        return LineMark::Matches;
    case VerdictKind::DoesNotMatch:
        return LineMark::DoesNotMatch;
    case VerdictKind::NotComputed:
    case VerdictKind::NotThisOne:
        break;
    }
    return LineMark::Neutral;
}

int Priority(VerdictKind kind)
{
    switch (kind) {
    case VerdictKind::DoesNotMatch:
        return 0;
    case VerdictKind::Matches:
        return 1;
    case VerdictKind::NotComputed:
        return 2;
    case VerdictKind::NotThisOne:
        break;
    }
    return 3;
}

// A sentence after another: its first word in lower case, unless it is an
// algorithm's name.
std::string LowerFirst(std::string text)
{
    for (const std::string_view word : {"Not ", "None ", "Neither ", "Press "}) {
        if (text.starts_with(word))
            text.front() = platform::AsciiToLower(text.front());
    }
    return text;
}

// The boxes' sentence, whole and after another.
std::optional<StatusReport::Sentence> BoxSentence(const std::vector<std::pair<Algorithm, ResultMark>>& marks,
                                                  LineMark first)
{
    std::vector<std::string> matching, notMatching;
    for (const auto& [algorithm, mark] : marks) {
        if (mark == ResultMark::Matches)
            matching.emplace_back(RowOf(algorithm).name);
        else if (mark == ResultMark::DoesNotMatch)
            notMatching.emplace_back(RowOf(algorithm).name);
    }
    if (matching.empty() && notMatching.empty())
        return std::nullopt;
    const std::string match = platform::WordList(matching), differ = platform::WordList(notMatching);
    const bool oneMatches = matching.size() == 1, oneDiffers = notMatching.size() == 1;
    StatusReport::Sentence sentence;
    if (notMatching.empty()) {
        sentence.whole = match + (oneMatches ? " matches the digest on the clipboard" : " match the digests on the clipboard");
        sentence.after = match + (oneMatches ? " matches" : " match") + (first == LineMark::Matches ? " too" : "");
    } else if (matching.empty()) {
        sentence.whole = differ + (oneDiffers ? " does not match the digest on the clipboard" : " do not match the clipboard");
        sentence.after =
            differ + (oneDiffers ? " does not match" : " do not match") + (first == LineMark::DoesNotMatch ? " either" : "");
    } else {
        sentence.whole = differ + (oneDiffers ? " does not match the clipboard; " : " do not match the clipboard; ") + match +
                         (oneMatches ? " does" : " do");
        sentence.after = match + (oneMatches ? " matches, " : " match, ") + differ + (oneDiffers ? " does not" : " do not");
    }
    return sentence;
}

double Channel(std::uint32_t colour, int shift)
{
    const double c = ((colour >> shift) & 0xff) / 255.0;
    return c <= 0.04045 ? c / 12.92 : std::pow((c + 0.055) / 1.055, 2.4);
}

double Luminance(std::uint32_t colour)
{
    return 0.2126 * Channel(colour, 16) + 0.7152 * Channel(colour, 8) + 0.0722 * Channel(colour, 0);
}

// `share` of b over a, channel by channel.
std::uint32_t Mix(std::uint32_t a, std::uint32_t b, double share)
{
    std::uint32_t mixed = 0;
    for (const int shift : {16, 8, 0}) {
        const double value = ((a >> shift) & 0xff) * (1 - share) + ((b >> shift) & 0xff) * share;
        mixed |= static_cast<std::uint32_t>(std::lround(std::clamp(value, 0.0, 255.0))) << shift;
    }
    return mixed;
}

std::uint32_t HueOf(LineMark mark)
{
    switch (mark) {
    case LineMark::Matches:
        return 0x1f9d45;
    case LineMark::DoesNotMatch:
        return 0xd32f2f;
    case LineMark::Neutral:
    case LineMark::None:
        break;
    }
    return 0x7a7a7a;
}

}  // namespace

const std::vector<std::string>& ClipboardDigests::OfLength(std::size_t digits) const
{
    static const std::vector<std::string> kNone;
    for (const auto& [length, runs] : runs_) {
        if (length == digits)
            return runs;
    }
    return kNone;
}

ClipboardDigests FindClipboardDigests(std::string_view text)
{
    // What was cut at the limit is unknown beyond it.
    const bool cut = text.size() > kClipboardTextLimit;
    text = text.substr(0, std::min(text.size(), kClipboardTextLimit));
    ClipboardDigests digests;
    const auto addLength = [&digests](std::size_t digits) {
        if (std::none_of(digests.runs_.begin(), digests.runs_.end(),
                         [digits](const auto& runs) { return runs.first == digits; }))
            digests.runs_.emplace_back(digits, std::vector<std::string>{});
    };
    for (const AlgorithmRow& row : AlgorithmRows()) {
        addLength(row.digits);
        for (const std::size_t digits : row.unnamedDigits)
            addLength(digits);
    }
    std::size_t at = 0;
    while (at < text.size()) {
        if (platform::HexDigitValue(text[at]) < 0) {
            ++at;
            continue;
        }
        std::size_t end = at;
        while (end < text.size() && platform::HexDigitValue(text[end]) >= 0)
            ++end;
        if (!(cut && end == text.size())) {
            for (auto& [length, runs] : digests.runs_) {
                if (length == end - at)
                    AddOnce(runs, platform::AsciiUpper(std::string(text.substr(at, end - at))));
            }
        }
        at = end;
    }
    const std::string upper = platform::AsciiUpper(std::string(text));
    const auto names = [&upper](std::string_view name) {
        return upper.find(platform::AsciiUpper(std::string(name))) != std::string::npos;
    };
    for (const AlgorithmRow& row : AlgorithmRows()) {
        bool named = names(row.name) || names(row.label);
        for (const std::string_view tag : row.tags)
            named = named || names(tag);
        // A list's words, but not those that count only at the start of
        // its name ("b2"): two letters say nothing within a text. "sha3"
        // names each SHA-3, but not within another's tag ("SHA3-512").
        for (const std::string_view word : row.listWords)
            named = named || (!word.starts_with('^') && NamesAsWord(upper, word));
        digests.named_.Set(row.algorithm, named);
    }
    digests.blake2bDigits_ = TaggedBlake2bDigits(upper);
    return digests;
}

ResultMark MarkFor(Algorithm algorithm, std::string_view boxText, const ClipboardDigests& digests)
{
    if (boxText.empty())
        return ResultMark::None;
    const std::vector<std::string>& list = digests.Of(algorithm);
    bool matches = false;
    if (RowOf(algorithm).leadingZerosDropped) {
        // A number: compared by its value, whatever its width.
        const std::optional<std::uint32_t> shown = HexValue(boxText);
        matches = shown && std::any_of(list.begin(), list.end(),
                                       [&](const std::string& digest) { return HexValue(digest) == shown; });
    } else {
        matches = std::find(list.begin(), list.end(), platform::AsciiUpper(std::string(boxText))) != list.end();
    }
    if (matches)
        return ResultMark::Matches;
    return list.size() == 1 ? ResultMark::DoesNotMatch : ResultMark::None;
}

std::string CandidateName(const Candidate& candidate)
{
    const AlgorithmRow& row = RowOf(candidate.algorithm);
    if (candidate.digits == row.digits)
        return std::string(row.name);
    return std::string(row.name) + "-" + std::to_string(candidate.digits * 4);
}

std::vector<std::size_t> UnboxedLengths()
{
    std::vector<std::size_t> lengths;
    for (const AlgorithmRow& row : AlgorithmRows()) {
        if (row.windowUnasked)
            AddOnce(lengths, row.digits);
    }
    std::sort(lengths.begin(), lengths.end());
    return lengths;
}

std::vector<Candidate> CandidatesOfLength(std::size_t digits)
{
    std::vector<std::pair<int, Candidate>> ranked;
    for (const AlgorithmRow& row : AlgorithmRows()) {
        if (row.windowWhenNamed && Contains(row.unnamedDigits, digits))
            ranked.emplace_back(row.rank, Candidate{row.algorithm, digits});
    }
    std::stable_sort(ranked.begin(), ranked.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
    std::vector<Candidate> candidates;
    for (const auto& [rank, candidate] : ranked)
        candidates.push_back(candidate);
    return candidates;
}

UnboxedRequest UnboxedToCompute(const ClipboardDigests& digests, bool hmac)
{
    UnboxedRequest request;
    request.algorithms.Add(Algorithm::Sha256);
    std::vector<std::size_t> blake2bAt;
    for (const std::size_t digits : UnboxedLengths()) {
        if (digests.OfLength(digits).empty())
            continue;
        for (const Candidate& candidate : WantedAt(digests, digits, hmac)) {
            request.algorithms.Add(candidate.algorithm);
            if (candidate.algorithm == Algorithm::Blake2b)
                blake2bAt.push_back(candidate.digits);
        }
    }
    // One length of BLAKE2b a run: the one its tag names, else its own,
    // else the first it is named beside.
    const std::optional<std::size_t> tagged = digests.Blake2bDigits();
    const std::size_t own = RowOf(Algorithm::Blake2b).digits;
    std::optional<std::size_t> chosen;
    for (const std::optional<std::size_t> preferred : {tagged, std::optional<std::size_t>(own)}) {
        if (!chosen && preferred && Contains(blake2bAt, *preferred))
            chosen = preferred;
    }
    for (const std::size_t digits : {std::size_t{64}, std::size_t{96}, std::size_t{56}}) {
        if (!chosen && Contains(blake2bAt, digits))
            chosen = digits;
    }
    if (chosen)
        request.blake2bBytes = *chosen / 2;
    return request;
}

std::vector<LengthVerdict> UnboxedVerdicts(const UnboxedResults& results, const ClipboardDigests& digests)
{
    std::vector<LengthVerdict> verdicts;
    if (!results.present)
        return verdicts;
    for (const std::size_t digits : UnboxedLengths()) {
        const std::vector<std::string>& runs = digests.OfLength(digits);
        if (runs.empty())
            continue;
        const std::vector<Candidate> all = Computable(digits, results.hmac);
        std::vector<Candidate> computed, matched, named;
        LengthVerdict verdict;
        verdict.digits = digits;
        verdict.several = runs.size() > 1;
        for (const Candidate& candidate : all) {
            const std::optional<std::string>& result = results.results[IndexOf(candidate.algorithm)];
            if (!result || result->size() != digits)
                continue;
            computed.push_back(candidate);
            const std::string upper = platform::AsciiUpper(*result);
            if (Contains(runs, upper)) {
                matched.push_back(candidate);
                verdict.values.emplace_back(CandidateName(candidate), upper);
            }
        }
        for (const Candidate& candidate : all) {
            if (NamedAt(digests, candidate))
                named.push_back(candidate);
        }
        const std::vector<Candidate> wanted = WantedAt(digests, digits, results.hmac);
        const auto allComputed = [&computed](const std::vector<Candidate>& list) {
            return std::all_of(list.begin(), list.end(),
                               [&computed](const Candidate& candidate) { return Contains(computed, candidate); });
        };
        if (!matched.empty()) {
            verdict.kind = VerdictKind::Matches;
            verdict.names = NamesOf(matched);
        } else if (!named.empty() && allComputed(named)) {
            verdict.kind = VerdictKind::DoesNotMatch;
            verdict.names = NamesOf(named);
        } else if (!computed.empty() && allComputed(all)) {
            verdict.kind = VerdictKind::DoesNotMatch;
            verdict.names = NamesOf(computed);
        } else if (computed.empty() || !allComputed(wanted)) {
            verdict.kind = VerdictKind::NotComputed;
        } else {
            verdict.kind = VerdictKind::NotThisOne;
            verdict.names = NamesOf(computed);
        }
        verdicts.push_back(std::move(verdict));
    }
    std::stable_sort(verdicts.begin(), verdicts.end(),
                     [](const LengthVerdict& a, const LengthVerdict& b) { return Priority(a.kind) < Priority(b.kind); });
    return verdicts;
}

StatusReport ReportFor(const std::vector<std::pair<Algorithm, ResultMark>>& marks,
                       const std::vector<LengthVerdict>& verdicts, Digested digested, std::string note)
{
    StatusReport report;
    report.note = std::move(note);
    // Matches of several lengths are said in one sentence, and so are
    // mismatches: "SHA-256 and SHA-512 match the clipboard".
    std::vector<LengthVerdict> merged;
    for (const LengthVerdict& verdict : verdicts) {
        const auto same = std::find_if(merged.begin(), merged.end(), [&verdict](const LengthVerdict& said) {
            return said.kind == verdict.kind &&
                   (verdict.kind == VerdictKind::Matches || verdict.kind == VerdictKind::DoesNotMatch);
        });
        if (same == merged.end()) {
            merged.push_back(verdict);
            continue;
        }
        same->names.insert(same->names.end(), verdict.names.begin(), verdict.names.end());
        same->values.insert(same->values.end(), verdict.values.begin(), verdict.values.end());
        same->several = same->several || verdict.several;
    }
    for (const LengthVerdict& verdict : merged) {
        const std::string sentence = VerdictSentence(verdict, digested);
        if (report.sentences.empty())
            report.mark = MarkOf(verdict.kind);
        report.sentences.push_back({sentence, LowerFirst(sentence)});
        report.values.insert(report.values.end(), verdict.values.begin(), verdict.values.end());
    }
    if (const auto boxes = BoxSentence(marks, report.mark)) {
        if (report.sentences.empty())
            report.mark = boxes->whole.find(" not ") == std::string::npos ? LineMark::Matches : LineMark::DoesNotMatch;
        report.sentences.push_back(*boxes);
    }
    return report;
}

std::string LineOf(const StatusReport& report, const std::function<bool(std::string_view line)>& fits)
{
    if (report.sentences.empty())
        return report.note;
    std::string line = report.sentences.front().whole;
    for (std::size_t i = 1; i < report.sentences.size(); ++i) {
        std::string longer = line + "; " + report.sentences[i].after;
        if (fits(longer))
            line = std::move(longer);
    }
    if (!report.note.empty()) {
        std::string longer = line + "  " + report.note;
        if (fits(longer))
            line = std::move(longer);
    }
    return line;
}

std::string WholeText(const StatusReport& report)
{
    std::vector<std::string> lines;
    for (const StatusReport::Sentence& sentence : report.sentences)
        lines.push_back(sentence.whole + ".");
    for (const auto& [name, value] : report.values)
        lines.push_back(name + " = " + value);
    if (!report.note.empty())
        lines.push_back(report.note);
    std::string text;
    for (const std::string& line : lines)
        text += (text.empty() ? "" : "\n") + line;
    return text;
}

double ContrastRatio(std::uint32_t a, std::uint32_t b)
{
    const double la = Luminance(a), lb = Luminance(b);
    return (std::max(la, lb) + 0.05) / (std::min(la, lb) + 0.05);
}

std::uint32_t MarkColour(LineMark mark, std::uint32_t background)
{
    constexpr double kWanted = 4.5;
    const bool light = ContrastRatio(background, 0x000000) > ContrastRatio(background, 0xffffff);
    const std::uint32_t towards = light ? 0x000000 : 0xffffff;
    std::uint32_t colour = HueOf(mark);
    for (double share = 0.08; ContrastRatio(colour, background) < kWanted && share < 1.0; share += 0.08)
        colour = Mix(HueOf(mark), towards, share);
    return ContrastRatio(colour, background) < kWanted ? towards : colour;
}

std::uint32_t TintBehind(LineMark mark, std::uint32_t background)
{
    if (mark != LineMark::Matches && mark != LineMark::DoesNotMatch)
        return background;
    return Mix(background, HueOf(mark), 0.14);
}
