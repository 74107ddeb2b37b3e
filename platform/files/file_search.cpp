#include "platform/files/file_search.h"

#include <fcntl.h>
#include <sys/stat.h>

#include "platform/files/directory_reader.h"

namespace platform {
namespace {

bool IsAcceptableMatch(const std::string& path)
{
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode);
}

// Bytes in the character that starts at index i: one for ASCII, otherwise
// the lead byte and the continuation bytes after it.
std::size_t CharacterLength(std::string_view text, std::size_t i)
{
    std::size_t length = 1;
    if (static_cast<unsigned char>(text[i]) < 0x80)
        return length;
    while (i + length < text.size() && (static_cast<unsigned char>(text[i + length]) & 0xC0) == 0x80)
        ++length;
    return length;
}

}  // namespace

bool MatchesWildcard(std::string_view pattern, std::string_view name)
{
    // Greedy matching that returns to the last "*" on a mismatch: linear in
    // practice and never exponential, however many stars the pattern holds.
    constexpr std::size_t kNone = std::string_view::npos;
    std::size_t p = 0;
    std::size_t n = 0;
    std::size_t starP = kNone;
    std::size_t starN = 0;
    while (n < name.size()) {
        if (p < pattern.size() && pattern[p] == '*') {
            starP = p++;
            starN = n;
        } else if (p < pattern.size() && pattern[p] == '?') {
            ++p;
            n += CharacterLength(name, n);
        } else if (p < pattern.size() && pattern[p] == name[n]) {
            ++p;
            ++n;
        } else if (starP != kNone) {
            // Let the last "*" swallow one more character and try again.
            p = starP + 1;
            starN += CharacterLength(name, starN);
            n = starN;
        } else {
            return false;
        }
    }
    while (p < pattern.size() && pattern[p] == '*')
        ++p;
    return p == pattern.size();
}

bool FileExistsByPattern(const std::string& name)
{
    struct stat info {};
    const bool found = !name.empty() && ::stat(name.c_str(), &info) == 0;
    return FileExistsByPattern(name, found ? &info : nullptr);
}

bool FileExistsByPattern(const std::string& name, const struct stat* info)
{
    // A NUL byte would silently cut the name short in every system call.
    if (name.empty() || name.find('\0') != std::string::npos)
        return false;
    if (info != nullptr)
        return S_ISREG(info->st_mode);

    const std::size_t slash = name.rfind('/');
    const std::string pattern = slash == std::string::npos ? name : name.substr(slash + 1);
    if (pattern.find_first_of("*?") == std::string::npos)
        return false;
    // The directory part keeps its trailing slash, so "/a*" searches "/".
    const std::string directory = slash == std::string::npos ? std::string() : name.substr(0, slash + 1);

    auto listing = DirectoryReader::Open(AT_FDCWD, directory.empty() ? "." : directory);
    if (!listing)
        return false;
    while (const auto entry = listing->Next()) {
        if (MatchesWildcard(pattern, entry->name))
            return IsAcceptableMatch(directory + std::string(entry->name));
    }
    return false;
}

}  // namespace platform
