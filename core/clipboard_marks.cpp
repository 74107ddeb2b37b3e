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

const char* AlgorithmName(Algorithm algorithm)
{
    switch (algorithm) {
    case Algorithm::Md5:
        return "MD5";
    case Algorithm::Sha1:
        return "SHA-1";
    case Algorithm::Sha256:
        return "SHA-256";
    case Algorithm::Sha512:
        return "SHA-512";
    case Algorithm::Crc32:
        return "CRC-32";
    }
    return "";
}

}  // namespace

ClipboardDigests FindClipboardDigests(std::string_view text)
{
    text = text.substr(0, std::min(text.size(), kClipboardTextLimit));
    ClipboardDigests digests;
    std::size_t at = 0;
    while (at < text.size()) {
        if (platform::HexDigitValue(text[at]) < 0) {
            ++at;
            continue;
        }
        std::size_t end = at;
        while (end < text.size() && platform::HexDigitValue(text[end]) >= 0)
            ++end;
        const std::string_view run = text.substr(at, end - at);
        if (run.size() == 32)
            AddOnce(digests.md5, platform::AsciiUpper(std::string(run)));
        else if (run.size() == 40)
            AddOnce(digests.sha1, platform::AsciiUpper(std::string(run)));
        else if (run.size() == 8)
            AddOnce(digests.crc32, *HexValue(run));
        else if (run.size() == 64)
            AddOnce(digests.sha256, platform::AsciiUpper(std::string(run)));
        else if (run.size() == 128)
            AddOnce(digests.sha512, platform::AsciiUpper(std::string(run)));
        at = end;
    }
    const std::string upper = platform::AsciiUpper(std::string(text));
    const auto names = [&upper](const char* name) { return upper.find(name) != std::string::npos; };
    digests.namesSha256 = names("SHA256") || names("SHA-256");
    digests.namesSha512 = names("SHA512") || names("SHA-512");
    return digests;
}

ResultMark MarkFor(Algorithm algorithm, std::string_view boxText, const ClipboardDigests& digests)
{
    if (boxText.empty())
        return ResultMark::None;
    std::size_t candidates = 0;
    bool matches = false;
    switch (algorithm) {
    case Algorithm::Md5:
    case Algorithm::Sha1: {
        const auto& list = algorithm == Algorithm::Md5 ? digests.md5 : digests.sha1;
        const std::string shown = platform::AsciiUpper(std::string(boxText));
        candidates = list.size();
        matches = std::find(list.begin(), list.end(), shown) != list.end();
        break;
    }
    case Algorithm::Crc32: {
        const std::optional<std::uint32_t> shown = HexValue(boxText);
        candidates = digests.crc32.size();
        matches = shown && std::find(digests.crc32.begin(), digests.crc32.end(), *shown) != digests.crc32.end();
        break;
    }
    case Algorithm::Sha256:
    case Algorithm::Sha512:
        break;
    }
    if (matches)
        return ResultMark::Matches;
    return candidates == 1 ? ResultMark::DoesNotMatch : ResultMark::None;
}

ClipboardVerdict VerdictFor(Algorithm algorithm, const std::optional<std::string>& result,
                            const ClipboardDigests& digests)
{
    const bool sha512 = algorithm == Algorithm::Sha512;
    if (!sha512 && algorithm != Algorithm::Sha256)
        return ClipboardVerdict::None;
    const std::vector<std::string>& list = sha512 ? digests.sha512 : digests.sha256;
    if (list.empty())
        return ClipboardVerdict::None;
    if (!result)
        return ClipboardVerdict::NotComputed;
    if (std::find(list.begin(), list.end(), platform::AsciiUpper(*result)) != list.end())
        return ClipboardVerdict::Matches;
    if (list.size() > 1)
        return ClipboardVerdict::NoneOfThem;
    return (sha512 ? digests.namesSha512 : digests.namesSha256) ? ClipboardVerdict::DoesNotMatch
                                                                : ClipboardVerdict::NotThisOne;
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
            matching.emplace_back(AlgorithmName(algorithm));
        else if (mark == ResultMark::DoesNotMatch)
            notMatching.emplace_back(AlgorithmName(algorithm));
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
        const std::string name = AlgorithmName(algorithm);
        const std::string digits = algorithm == Algorithm::Sha512 ? "128-digit" : "64-digit";
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
