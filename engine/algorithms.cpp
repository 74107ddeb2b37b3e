#include "engine/algorithms.h"

#include "engine/blake2.h"
#include "engine/blake2_lanes.h"
#include "engine/blake3_lanes.h"
#include "engine/digest_paths.h"
#include "engine/entries.h"
#include "engine/lane_digests.h"
#include "engine/numtext.h"
#include "engine/path_choice.h"
#include "engine/sha3_lanes.h"
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
    return ChosenPath<Sha1Path>() == Sha1Path::ShaNi;
}

bool Sha256KeepsUp()
{
    return ChosenPath<Sha256Path>() == Sha256Path::ShaNi;
}

// Each row's tags, lengths and list words.
constexpr std::string_view kMd5Tags[] = {"MD5"};
constexpr std::string_view kSha1Tags[] = {"SHA1", "SHA-1"};
constexpr std::string_view kSha224Tags[] = {"SHA224", "SHA2-224", "SHA-224"};
constexpr std::string_view kSha256Tags[] = {"SHA256", "SHA2-256", "SHA-256"};
constexpr std::string_view kSha384Tags[] = {"SHA384", "SHA2-384", "SHA-384"};
constexpr std::string_view kSha512Tags[] = {"SHA512", "SHA2-512", "SHA-512"};
constexpr std::string_view kSha3_224Tags[] = {"SHA3-224"};
constexpr std::string_view kSha3_256Tags[] = {"SHA3-256"};
constexpr std::string_view kSha3_384Tags[] = {"SHA3-384"};
constexpr std::string_view kSha3_512Tags[] = {"SHA3-512"};
constexpr std::string_view kBlake2bTags[] = {"BLAKE2b"};
constexpr std::string_view kBlake2sTags[] = {"BLAKE2s", "BLAKE2s-256", "BLAKE2s256"};
constexpr std::string_view kBlake3Tags[] = {"BLAKE3"};
constexpr std::string_view kCrc32Tags[] = {"CRC32"};

constexpr std::size_t k8[] = {8}, k32[] = {32}, k40[] = {40}, k56[] = {56}, k64[] = {64}, k96[] = {96}, k128[] = {128};
// BLAKE2b is a candidate at the lengths of the others that lists are
// published in; a shorter one is checked only when a line is said to be
// BLAKE2b.
constexpr std::size_t kBlake2bUnnamed[] = {56, 64, 96, 128};

constexpr std::string_view kSha224Words[] = {"sha224"};
constexpr std::string_view kSha256Words[] = {"sha256"};
constexpr std::string_view kSha384Words[] = {"sha384"};
constexpr std::string_view kSha512Words[] = {"sha512"};
constexpr std::string_view kSha3_224Words[] = {"sha3-224", "sha3_224", "sha3"};
constexpr std::string_view kSha3_256Words[] = {"sha3-256", "sha3_256", "sha3"};
constexpr std::string_view kSha3_384Words[] = {"sha3-384", "sha3_384", "sha3"};
constexpr std::string_view kSha3_512Words[] = {"sha3-512", "sha3_512", "sha3"};
constexpr std::string_view kBlake2bWords[] = {"blake2b", "b2sum", "^b2"};
constexpr std::string_view kBlake2sWords[] = {"blake2s"};
constexpr std::string_view kBlake3Words[] = {"blake3", "b3sum", "^b3"};

// The rows in the algorithms' order: each row's place is its algorithm's
// number. The columns are AlgorithmRow's, in its order: the algorithm; its
// name, label and option; its tags; its digits, fewest digits and the
// lengths at which a line without a tag may be of it, with its rank among
// the others there (56 digits: SHA-224, SHA3-224, BLAKE2b-224; 64: SHA-256,
// BLAKE3, SHA3-256, BLAKE2s, BLAKE2b-256; 96: SHA-384, SHA3-384,
// BLAKE2b-384; 128: SHA-512, BLAKE2b, SHA3-512); the words of a list's name;
// its HMAC block (SHA-3's is its rate), whether it has a keyed mode of its
// own, whether it is shown as a number; its engine entry, lanes and whether
// it keeps up with the reads; when the window computes it unticked: the
// fast ones of each length people publish (64 digits: SHA-256 and BLAKE3;
// 128: SHA-512 and BLAKE2b; 56: SHA-224; 96: SHA-384) when the clipboard
// holds a digest of their length, and every one of those lengths when the
// clipboard names it beside such a digest.
// clang-format off
const AlgorithmRow kRows[] = {
    {Algorithm::Md5,       "MD5",       "MD5",       "--md5",       kMd5Tags,       32,   32,   k32,              0,  {},              kBlockSize,         false,  false,  StartMd5,       MakeLanes<Md5Lanes>,            Never,          false,  false},
    {Algorithm::Sha1,      "SHA-1",     "SHA1",      "--sha1",      kSha1Tags,      40,   40,   k40,              0,  {},              kBlockSize,         false,  false,  StartSha1,      MakeLanes<Sha1Lanes>,           Sha1KeepsUp,    false,  false},
    {Algorithm::Sha224,    "SHA-224",   "SHA224",    "--sha224",    kSha224Tags,    56,   56,   k56,              0,  kSha224Words,    kBlockSize,         false,  false,  StartSha224,    MakeLanes<Sha224Lanes>,         Sha256KeepsUp,  true,   true},
    {Algorithm::Sha256,    "SHA-256",   "SHA256",    "--sha256",    kSha256Tags,    64,   64,   k64,              0,  kSha256Words,    kBlockSize,         false,  false,  StartSha256,    MakeLanes<Sha256Lanes>,         Sha256KeepsUp,  true,   true},
    {Algorithm::Sha384,    "SHA-384",   "SHA384",    "--sha384",    kSha384Tags,    96,   96,   k96,              0,  kSha384Words,    kSha512BlockSize,   false,  false,  StartSha384,    MakeLanes<Sha384Lanes>,         Never,          true,   true},
    {Algorithm::Sha512,    "SHA-512",   "SHA512",    "--sha512",    kSha512Tags,    128,  128,  k128,             0,  kSha512Words,    kSha512BlockSize,   false,  false,  StartSha512,    MakeLanes<Sha512Lanes>,         Never,          true,   true},
    {Algorithm::Sha3_224,  "SHA3-224",  "SHA3-224",  "--sha3-224",  kSha3_224Tags,  56,   56,   k56,              1,  kSha3_224Words,  144,                false,  false,  StartSha3_224,  MakeLanes<Sha3_224Lanes>,       Never,          false,  true},
    {Algorithm::Sha3_256,  "SHA3-256",  "SHA3-256",  "--sha3-256",  kSha3_256Tags,  64,   64,   k64,              2,  kSha3_256Words,  136,                false,  false,  StartSha3_256,  MakeLanes<Sha3_256Lanes>,       Never,          false,  true},
    {Algorithm::Sha3_384,  "SHA3-384",  "SHA3-384",  "--sha3-384",  kSha3_384Tags,  96,   96,   k96,              1,  kSha3_384Words,  104,                false,  false,  StartSha3_384,  MakeLanes<Sha3_384Lanes>,       Never,          false,  true},
    {Algorithm::Sha3_512,  "SHA3-512",  "SHA3-512",  "--sha3-512",  kSha3_512Tags,  128,  128,  k128,             5,  kSha3_512Words,  72,                 false,  false,  StartSha3_512,  MakeLanes<Sha3_512Lanes>,       Never,          false,  true},
    {Algorithm::Blake2b,   "BLAKE2b",   "BLAKE2b",   "--blake2b",   kBlake2bTags,   128,  2,    kBlake2bUnnamed,  4,  kBlake2bWords,   kBlake2bBlockSize,  false,  false,  StartBlake2b,   MakeLanes<Blake2bLanes, true>,  Never,          true,   true},
    {Algorithm::Blake2s,   "BLAKE2s",   "BLAKE2s",   "--blake2s",   kBlake2sTags,   64,   64,   k64,              3,  kBlake2sWords,   kBlake2sBlockSize,  false,  false,  StartBlake2s,   MakeLanes<Blake2sLanes>,        Never,          false,  true},
    {Algorithm::Blake3,    "BLAKE3",    "BLAKE3",    "--blake3",    kBlake3Tags,    64,   64,   k64,              1,  kBlake3Words,    0,                  true,   false,  StartBlake3,    MakeLanes<Blake3Lanes>,         Never,          true,   true},
    {Algorithm::Crc32,     "CRC-32",    "CRC32",     "--crc32",     kCrc32Tags,     8,    8,    k8,               0,  {},              0,                  false,  true,   StartCrc32,     nullptr,                        Always,         false,  false},
};
// clang-format on
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

TagMatch ReadTag(std::string_view tag) noexcept
{
    for (const AlgorithmRow& row : kRows) {
        for (const std::string_view rowTag : row.tags) {
            if (platform::SameAsciiNoCase(rowTag, tag))
                return {&row, row.digits};
            // Other lengths behind the tag, in bits: "-256" or "256".
            if (row.fewestDigits == row.digits || tag.size() <= rowTag.size() ||
                !platform::SameAsciiNoCase(rowTag, tag.substr(0, rowTag.size())))
                continue;
            std::string_view bits = tag.substr(rowTag.size());
            if (bits.front() == '-')
                bits.remove_prefix(1);
            std::size_t value = 0;
            if (bits.empty() || bits.size() > 3 || bits.front() == '0')
                continue;
            for (const char c : bits) {
                if (c < '0' || c > '9') {
                    value = 0;
                    break;
                }
                value = value * 10 + static_cast<std::size_t>(c - '0');
            }
            if (value % 8 == 0 && value / 4 >= row.fewestDigits && value / 4 <= row.digits)
                return {&row, value / 4};
        }
    }
    return {};
}

std::string LabelOf(const AlgorithmRow& row, std::size_t digits)
{
    if (digits == row.digits)
        return std::string(row.label);
    return std::string(row.label) + "-" + std::to_string(digits * 4);
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
    if (!row.leadingZerosDropped || result.size() >= row.digits)
        return result;
    return std::string(row.digits - result.size(), '0') + result;
}
