#include "app/clipboard_marks.h"

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
        at = end;
    }
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

std::string MarksLine(const std::vector<std::pair<Algorithm, ResultMark>>& marks)
{
    std::vector<std::string> matching, notMatching;
    for (const auto& [algorithm, mark] : marks) {
        if (mark == ResultMark::Matches)
            matching.emplace_back(AlgorithmName(algorithm));
        else if (mark == ResultMark::DoesNotMatch)
            notMatching.emplace_back(AlgorithmName(algorithm));
    }
    if (matching.empty() && notMatching.empty())
        return {};
    std::string line;
    if (!matching.empty())
        line = platform::WordList(matching) + (matching.size() == 1 ? " matches" : " match");
    if (!notMatching.empty())
        line += (line.empty() ? "" : ", ") + platform::WordList(notMatching) +
                (notMatching.size() == 1 ? " does not match" : " do not match");
    const bool several = matching.size() + notMatching.size() > 1;
    return line + (several ? " the digests on the clipboard" : " the digest on the clipboard");
}
