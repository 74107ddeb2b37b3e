#include "core/clipboard_marks.h"

#include <algorithm>
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

}  // namespace

const std::vector<std::string>& ClipboardDigests::Of(Algorithm algorithm) const
{
    static const std::vector<std::string> kNone;
    const std::size_t digits = RowOf(algorithm).digits;
    for (const auto& [length, runs] : runs_) {
        if (length == digits)
            return runs;
    }
    return kNone;
}

ClipboardDigests FindClipboardDigests(std::string_view text)
{
    text = text.substr(0, std::min(text.size(), kClipboardTextLimit));
    ClipboardDigests digests;
    for (const AlgorithmRow& row : AlgorithmRows()) {
        if (std::none_of(digests.runs_.begin(), digests.runs_.end(),
                         [&row](const auto& runs) { return runs.first == row.digits; }))
            digests.runs_.emplace_back(row.digits, std::vector<std::string>{});
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
        for (auto& [length, runs] : digests.runs_) {
            if (length == end - at)
                AddOnce(runs, platform::AsciiUpper(std::string(text.substr(at, end - at))));
        }
        at = end;
    }
    const std::string upper = platform::AsciiUpper(std::string(text));
    const auto names = [&upper](std::string_view name) {
        return upper.find(platform::AsciiUpper(std::string(name))) != std::string::npos;
    };
    for (const AlgorithmRow& row : AlgorithmRows()) {
        digests.named_.Set(row.algorithm, names(row.name) || names(row.label));
    }
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

ClipboardVerdict VerdictFor(Algorithm algorithm, const std::optional<std::string>& result,
                            const ClipboardDigests& digests)
{
    const std::vector<std::string>& list = digests.Of(algorithm);
    if (list.empty() || !UnboxedAlgorithms().Has(algorithm))
        return ClipboardVerdict::None;
    if (!result)
        return ClipboardVerdict::NotComputed;
    if (std::find(list.begin(), list.end(), platform::AsciiUpper(*result)) != list.end())
        return ClipboardVerdict::Matches;
    if (list.size() > 1)
        return ClipboardVerdict::NoneOfThem;
    return digests.Names(algorithm) ? ClipboardVerdict::DoesNotMatch : ClipboardVerdict::NotThisOne;
}

AlgorithmSet UnboxedAlgorithms()
{
    AlgorithmSet algorithms;
    for (const AlgorithmRow& row : AlgorithmRows()) {
        if (row.windowUnasked || row.windowWhenNamed)
            algorithms.Add(row.algorithm);
    }
    return algorithms;
}

AlgorithmSet UnboxedToCompute(const ClipboardDigests& digests)
{
    AlgorithmSet algorithms{Algorithm::Sha256};
    for (const AlgorithmRow& row : AlgorithmRows()) {
        if ((row.windowUnasked && !digests.Of(row.algorithm).empty()) ||
            (row.windowWhenNamed && digests.Names(row.algorithm)))
            algorithms.Add(row.algorithm);
    }
    return algorithms;
}

std::string StatusLine(const std::vector<std::pair<Algorithm, ResultMark>>& marks,
                       const std::vector<std::pair<Algorithm, ClipboardVerdict>>& verdicts, Digested digested)
{
    // Matches and mismatches of boxes and verdicts alike, in the algorithms'
    // order.
    std::vector<std::pair<Algorithm, ResultMark>> plain = marks;
    for (const auto& [algorithm, verdict] : verdicts) {
        if (verdict == ClipboardVerdict::Matches)
            plain.emplace_back(algorithm, ResultMark::Matches);
        else if (verdict == ClipboardVerdict::DoesNotMatch)
            plain.emplace_back(algorithm, ResultMark::DoesNotMatch);
    }
    std::stable_sort(plain.begin(), plain.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
    std::vector<std::string> matching, notMatching;
    for (const auto& [algorithm, mark] : plain) {
        if (mark == ResultMark::Matches)
            matching.emplace_back(RowOf(algorithm).name);
        else if (mark == ResultMark::DoesNotMatch)
            notMatching.emplace_back(RowOf(algorithm).name);
    }
    std::vector<std::string> clauses;
    if (!matching.empty() || !notMatching.empty()) {
        std::string clause;
        if (!matching.empty())
            clause = platform::WordList(matching) + (matching.size() == 1 ? " matches" : " match");
        if (!notMatching.empty())
            clause += (clause.empty() ? "" : ", ") + platform::WordList(notMatching) +
                      (notMatching.size() == 1 ? " does not match" : " do not match");
        const bool several = matching.size() + notMatching.size() > 1;
        clauses.push_back(clause + (several ? " the digests on the clipboard" : " the digest on the clipboard"));
    }

    // The verdicts that cannot say "does not match", then what to do for
    // one that was not computed.
    const std::string whose = digested == Digested::Text ? "this text's " : "this file's ";
    std::vector<std::string> later;
    for (const auto& [algorithm, verdict] : verdicts) {
        const AlgorithmRow& row = RowOf(algorithm);
        const std::string name(row.name);
        const std::string digits = std::to_string(row.digits) + "-digit";
        if (verdict == ClipboardVerdict::NotThisOne)
            clauses.push_back("the " + digits + " digest on the clipboard is not " + whose + name);
        else if (verdict == ClipboardVerdict::NoneOfThem)
            clauses.push_back("none of the " + digits + " digests on the clipboard is " + whose + name);
        else if (verdict == ClipboardVerdict::NotComputed)
            later.push_back("press Generate again to compare " + whose + name + " with the clipboard");
    }
    clauses.insert(clauses.end(), later.begin(), later.end());
    std::string line;
    for (const std::string& clause : clauses)
        line += (line.empty() ? "" : "; ") + clause;
    if (!line.empty())
        line.front() = platform::AsciiToUpper(line.front());
    return line;
}

std::string MarksLine(const std::vector<std::pair<Algorithm, ResultMark>>& marks)
{
    return StatusLine(marks, {}, Digested::File);
}
