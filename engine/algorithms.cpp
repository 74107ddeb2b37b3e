#include "engine/algorithms.h"

#include "engine/digest_paths.h"
#include "engine/entries.h"
#include "engine/lane_digests.h"
#include "engine/numtext.h"
#include "platform/base/ascii.h"

namespace {

using namespace engine;

bool Never()
{
    return false;
}

bool Always()
{
    return true;
}

// SHA-1 and SHA-256 on the SHA instructions digest about as fast as the
// page cache gives a file's bytes.
bool Sha1KeepsUp()
{
    return ChosenSha1Path() == Sha1Path::ShaNi;
}

bool Sha256KeepsUp()
{
    return ChosenSha256Path() == Sha256Path::ShaNi;
}

constexpr std::string_view kMd5Tags[] = {"MD5"};
constexpr std::string_view kSha1Tags[] = {"SHA1"};
constexpr std::string_view kSha256Tags[] = {"SHA256"};
constexpr std::string_view kSha512Tags[] = {"SHA512"};
constexpr std::string_view kCrc32Tags[] = {"CRC32"};
constexpr std::string_view kSha224Tags[] = {"SHA224"};
constexpr std::string_view kSha384Tags[] = {"SHA384"};
constexpr std::string_view kSha512ListWords[] = {"sha512"};
constexpr std::string_view kSha224ListWords[] = {"sha224"};
constexpr std::string_view kSha384ListWords[] = {"sha384"};

// The rows in the algorithms' order: each row's place is its algorithm's number.
const AlgorithmRow kRows[] = {
    {.algorithm = Algorithm::Md5,
     .name = "MD5",
     .label = "MD5",
     .option = "--md5",
     .tags = kMd5Tags,
     .digits = 32,
     .listWords = {},
     .rank = 0,
     .hmacBlock = kBlockSize,
     .leadingZerosDropped = false,
     .start = StartMd5,
     .lanes = MakeMd5Lanes,
     .keepsUpWithReads = Never,
     .windowUnasked = false,
     .windowWhenNamed = false},
    {.algorithm = Algorithm::Sha1,
     .name = "SHA-1",
     .label = "SHA1",
     .option = "--sha1",
     .tags = kSha1Tags,
     .digits = 40,
     .listWords = {},
     .rank = 0,
     .hmacBlock = kBlockSize,
     .leadingZerosDropped = false,
     .start = StartSha1,
     .lanes = MakeSha1Lanes,
     .keepsUpWithReads = Sha1KeepsUp,
     .windowUnasked = false,
     .windowWhenNamed = false},
    {.algorithm = Algorithm::Sha224,
     .name = "SHA-224",
     .label = "SHA224",
     .option = "--sha224",
     .tags = kSha224Tags,
     .digits = 56,
     .listWords = kSha224ListWords,
     .rank = 0,
     .hmacBlock = kBlockSize,
     .leadingZerosDropped = false,
     .start = StartSha224,
     .lanes = MakeSha224Lanes,
     .keepsUpWithReads = Sha256KeepsUp,
     .windowUnasked = false,
     .windowWhenNamed = false},
    {.algorithm = Algorithm::Sha256,
     .name = "SHA-256",
     .label = "SHA256",
     .option = "--sha256",
     .tags = kSha256Tags,
     .digits = 64,
     .listWords = {},
     .rank = 0,
     .hmacBlock = kBlockSize,
     .leadingZerosDropped = false,
     .start = StartSha256,
     .lanes = MakeSha256Lanes,
     .keepsUpWithReads = Sha256KeepsUp,
     .windowUnasked = true,
     .windowWhenNamed = false},
    {.algorithm = Algorithm::Sha384,
     .name = "SHA-384",
     .label = "SHA384",
     .option = "--sha384",
     .tags = kSha384Tags,
     .digits = 96,
     .listWords = kSha384ListWords,
     .rank = 0,
     .hmacBlock = kSha512BlockSize,
     .leadingZerosDropped = false,
     .start = StartSha384,
     .lanes = MakeSha384Lanes,
     .keepsUpWithReads = Never,
     .windowUnasked = false,
     .windowWhenNamed = false},
    // SHA-512 costs as much as MD5: the window computes it unticked only
    // when the clipboard holds a digest of its length.
    {.algorithm = Algorithm::Sha512,
     .name = "SHA-512",
     .label = "SHA512",
     .option = "--sha512",
     .tags = kSha512Tags,
     .digits = 128,
     .listWords = kSha512ListWords,
     .rank = 0,
     .hmacBlock = kSha512BlockSize,
     .leadingZerosDropped = false,
     .start = StartSha512,
     .lanes = MakeSha512Lanes,
     .keepsUpWithReads = Never,
     .windowUnasked = true,
     .windowWhenNamed = false},
    {.algorithm = Algorithm::Crc32,
     .name = "CRC-32",
     .label = "CRC32",
     .option = "--crc32",
     .tags = kCrc32Tags,
     .digits = 8,
     .listWords = {},
     .rank = 0,
     .hmacBlock = 0,
     .leadingZerosDropped = true,
     .start = StartCrc32,
     .lanes = nullptr,
     .keepsUpWithReads = Always,
     .windowUnasked = false,
     .windowWhenNamed = false},
};
static_assert(std::size(kRows) == kAlgorithmCount, "a row for every algorithm");

}  // namespace

std::span<const AlgorithmRow> AlgorithmRows() noexcept
{
    return kRows;
}

const AlgorithmRow& RowOf(Algorithm algorithm) noexcept
{
    return kRows[IndexOf(algorithm)];
}

const AlgorithmRow* RowByOption(std::string_view option) noexcept
{
    for (const AlgorithmRow& row : kRows) {
        if (row.option == option)
            return &row;
    }
    return nullptr;
}

const AlgorithmRow* RowByTag(std::string_view tag) noexcept
{
    for (const AlgorithmRow& row : kRows) {
        for (const std::string_view rowTag : row.tags) {
            if (rowTag == tag)
                return &row;
        }
    }
    return nullptr;
}

std::string ResultText(const AlgorithmRow& row, const DigestBytes& digest)
{
    if (row.leadingZerosDropped) {
        std::uint32_t word = 0;
        for (std::size_t i = 0; i < digest.size && i < 4; ++i)
            word = word << 8 | digest.bytes[i];
        return WordToHexText(word, 0, true);
    }
    std::string text;
    text.reserve(2 * digest.size);
    platform::AppendHexBytes(text, digest.data(), digest.size, true);
    return text;
}

std::string FullWidth(const AlgorithmRow& row, const std::string& result)
{
    if (result.size() >= row.digits)
        return result;
    return std::string(row.digits - result.size(), '0') + result;
}
