// What counts as a digest on the clipboard, and how a result box compares
// with it.
#include "core/clipboard_marks.h"

#include <gtest/gtest.h>

namespace {

constexpr const char* kMd5 = "900150983CD24FB0D6963F7D28E17F72";
constexpr const char* kSha1 = "A9993E364706816ABA3E25717850C26C9CD0D89D";
constexpr const char* kSha256 = "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad";
constexpr const char* kSha512 =
    "ddaf35a193617abacc417349ae20413112e6fa4e89a97ea20a9eeee64b55d39a"
    "2192992a274fc1a836ba3c23a3feebbd454d4423643ce80e2a9ac94fa54ca49f";
// The SHA-256 and SHA-512 of "abd", which differ from those of "abc".
constexpr const char* kOtherSha256 = "a52d159f262b2c6ddb724a61840befc36eb30c88877a4030b65cbe86298449c9";
constexpr const char* kOtherSha512 =
    "1a9840c27a5cf22dab060cdd8a83da2b0fbcb1aeb52d4f9d3894b639083e205a"
    "5ab3f6afaeeb21b8e99b5e0fe93daafaabeef274da5d6eadcc9db36e5b6f64c4";

std::string Lower(std::string text)
{
    for (char& c : text)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

std::string Upper(std::string text)
{
    for (char& c : text)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return text;
}

// The forms people copy from download pages, and what is no digest.
TEST(ClipboardDigests, AreMaximalRunsOfHexDigitsOfADigestsLength)
{
    const std::string md5 = kMd5, sha1 = kSha1;
    const struct {
        std::string text;
        std::size_t md5, sha1, crc32;
    } cases[] = {
        {md5, 1, 0, 0},
        {Lower(md5) + "  ubuntu.iso\n", 1, 0, 0},         // md5sum's line
        {"SHA1 (ubuntu.iso) = " + Lower(sha1), 0, 1, 0},  // a BSD tag line
        {"The MD5 is " + md5 + ", the SHA-1 " + sha1 + ".", 1, 1, 0},
        {"CRC: 06b9df6f", 0, 0, 1},
        {std::string(kSha256), 0, 0, 0},                      // a SHA-256's 64 digits, found apart
        {"6b9df6f", 0, 0, 0},                                 // 7 digits
        {md5 + "0", 0, 0, 0},                                 // 33 digits
        {md5.substr(0, 16) + " " + md5.substr(16), 0, 0, 0},  // parted by a space
        {"90:01:50:98:3C:D2:4F:B0:D6:96:3F:7D:28:E1:7F:72", 0, 0, 0},
        {md5 + "\n" + Lower(md5) + "\n" + sha1, 1, 1, 0},  // the same digest once
        {"deadbeef cafebabe", 0, 0, 2},
        {std::string(64 * 1024 - 20, ' ') + md5, 0, 0, 0},  // past the first 64 KiB
        {std::string(64 * 1024 - 32, ' ') + md5, 1, 0, 0},
    };
    for (const auto& c : cases) {
        const ClipboardDigests found = FindClipboardDigests(c.text);
        EXPECT_EQ(found.Of(Algorithm::Md5).size(), c.md5) << c.text.substr(0, 80);
        EXPECT_EQ(found.Of(Algorithm::Sha1).size(), c.sha1) << c.text.substr(0, 80);
        EXPECT_EQ(found.Of(Algorithm::Crc32).size(), c.crc32) << c.text.substr(0, 80);
    }
    EXPECT_EQ(FindClipboardDigests(Lower(md5)).Of(Algorithm::Md5), std::vector<std::string>{md5})
        << "kept in upper case";
}

TEST(ClipboardDigests, ABoxMatchesOneOfItsKindOrDiffersFromTheOnlyOne)
{
    const ClipboardDigests one = FindClipboardDigests(Lower(kMd5) + " 06b9df6f");
    EXPECT_EQ(MarkFor(Algorithm::Md5, kMd5, one), ResultMark::Matches);
    EXPECT_EQ(MarkFor(Algorithm::Md5, "D41D8CD98F00B204E9800998ECF8427E", one), ResultMark::DoesNotMatch);
    EXPECT_EQ(MarkFor(Algorithm::Sha1, kSha1, one), ResultMark::None) << "no SHA-1 on the clipboard";
    EXPECT_EQ(MarkFor(Algorithm::Md5, "", one), ResultMark::None) << "an empty box";
    // The box shows a CRC-32 without its leading zeros.
    EXPECT_EQ(MarkFor(Algorithm::Crc32, "6B9DF6F", one), ResultMark::Matches);
    EXPECT_EQ(MarkFor(Algorithm::Crc32, "352441C2", one), ResultMark::DoesNotMatch);

    // Of several digests of its kind, one that matches marks the box; none
    // that does leaves it unmarked, since which one was meant is unknown.
    const ClipboardDigests two = FindClipboardDigests(std::string(kMd5) + " D41D8CD98F00B204E9800998ECF8427E");
    EXPECT_EQ(MarkFor(Algorithm::Md5, kMd5, two), ResultMark::Matches);
    EXPECT_EQ(MarkFor(Algorithm::Md5, "0CC175B9C0F1B6A831C399E269772661", two), ResultMark::None);
}


// A run that the 64 KiB limit cuts is no digest: its digits go on past what
// was read. A text that ends at the limit is whole.
TEST(ClipboardDigests, ARunCutByTheLimitIsNoDigest)
{
    const std::string sha1 = kSha1;
    const std::string upToLimit(kClipboardTextLimit - 32, ' ');
    // 40 digits of which the limit keeps 32: no MD5, and no SHA-1 either.
    const ClipboardDigests cut = FindClipboardDigests(upToLimit + sha1 + "\n");
    EXPECT_TRUE(cut.Of(Algorithm::Md5).empty());
    EXPECT_TRUE(cut.Of(Algorithm::Sha1).empty());
    // One byte more than the limit, as a reader takes it, with the run
    // ending right at the limit: whether it goes on is unknown.
    EXPECT_TRUE(FindClipboardDigests(upToLimit + std::string(kMd5) + "x").Of(Algorithm::Md5).empty());
    // The same run in a text that ends at the limit, or goes on after a
    // blank within it.
    EXPECT_EQ(FindClipboardDigests(upToLimit + std::string(kMd5)).Of(Algorithm::Md5).size(), 1u);
    EXPECT_EQ(FindClipboardDigests(std::string(kClipboardTextLimit - 33, ' ') + std::string(kMd5) + " x")
                  .Of(Algorithm::Md5)
                  .size(),
              1u);
    // A 64-digit run cut to 56 is no SHA-224.
    EXPECT_TRUE(FindClipboardDigests(std::string(kClipboardTextLimit - 56, ' ') + kSha256).OfLength(56).empty());
}

// Runs of the longer lengths, and whether the text names an algorithm: by
// its name, label, a tag its tools write or a word of a list's name.
TEST(ClipboardDigests, LongRunsAndTheNamesOfTheirAlgorithms)
{
    const std::string sha256 = kSha256, sha512 = kSha512;
    const struct {
        std::string text;
        std::size_t sha256, sha512;
        bool namesSha256, namesSha512;
    } cases[] = {
        {sha256, 1, 0, false, false},
        {sha256 + " *ubuntu.iso\n" + std::string(kOtherSha256) + "  other.iso\n", 2, 0, false, false},  // SHA256SUMS
        {"SHA256 (ubuntu.iso) = " + sha256, 1, 0, true, false},
        {"sha-256: " + Lower(sha256), 1, 0, true, false},
        {"SHA2-256(ubuntu.iso)= " + sha256, 1, 0, true, false},  // OpenSSL 3
        {"Sha512 (a) = " + sha512, 0, 1, false, true},
        {"The SHA-512 checksum is\n" + sha512 + ".", 0, 1, false, true},
        {"HMAC-SHA2-512(a)= " + sha512, 0, 1, false, true},
        {"See SHA512SUMS and " + sha256, 1, 0, false, true},  // a name counts anywhere
        {"SHA3-256 " + sha256 + ", SHA-2 " + sha512, 1, 1, false, false},
        {"SHA 256 " + sha256, 1, 0, false, false},                   // parted by a space: no name
        {sha256 + "0", 0, 0, false, false},                          // 65 digits
        {sha256.substr(1), 0, 0, false, false},                      // 63 digits
        {sha512 + "a", 0, 0, false, false},                          // 129 digits
        {sha256 + sha256, 0, 1, false, false},                       // 128 digits are SHA-512's length
        {sha256 + "\n" + Lower(sha256) + "\n", 1, 0, false, false},  // the same digest once
        {std::string(64 * 1024 - 60, ' ') + sha256 + " SHA256", 0, 0, false, false},  // past the first 64 KiB
        {std::string(64 * 1024 - 64, ' ') + sha256, 1, 0, false, false},
        {std::string(64 * 1024 - 6, ' ') + "SHA256", 0, 0, true, false},
        {std::string(64 * 1024 - 5, ' ') + "SHA256", 0, 0, false, false},
    };
    for (const auto& c : cases) {
        const ClipboardDigests found = FindClipboardDigests(c.text);
        const std::string shown = c.text.substr(c.text.find_first_not_of(' '), 80);
        EXPECT_EQ(found.Of(Algorithm::Sha256).size(), c.sha256) << shown;
        EXPECT_EQ(found.Of(Algorithm::Sha512).size(), c.sha512) << shown;
        EXPECT_EQ(found.Names(Algorithm::Sha256), c.namesSha256) << shown;
        EXPECT_EQ(found.Names(Algorithm::Sha512), c.namesSha512) << shown;
        EXPECT_TRUE(found.Of(Algorithm::Md5).empty() && found.Of(Algorithm::Sha1).empty() &&
                    found.Of(Algorithm::Crc32).empty())
            << shown;
    }
    EXPECT_EQ(FindClipboardDigests(Lower(sha256)).Of(Algorithm::Sha256), std::vector<std::string>{Upper(sha256)})
        << "kept in upper case";
    EXPECT_EQ(FindClipboardDigests(std::string(56, 'a')).OfLength(56).size(), 1u);
    EXPECT_EQ(FindClipboardDigests(std::string(96, 'a')).OfLength(96).size(), 1u);

    // The other tools' words; "b2" and "b3", which count only at the start
    // of a list's name, say nothing within a text.
    const struct {
        std::string text;
        Algorithm algorithm;
        bool named;
    } words[] = {
        {"b2sum -l 256 gives", Algorithm::Blake2b, true},
        {"from b2sums.txt", Algorithm::Blake2b, true},
        {"BLAKE2B-256 (x) = ", Algorithm::Blake2b, true},
        {"b3sum output", Algorithm::Blake3, true},
        {"Blake3: ", Algorithm::Blake3, true},
        {"its SHA3-256 is", Algorithm::Sha3_256, true},
        {"sha3_256sum", Algorithm::Sha3_256, true},
        {"BLAKE2s256(x)= ", Algorithm::Blake2s, true},
        {"file.b2 ab", Algorithm::Blake2b, false},
        {"b3 and b2", Algorithm::Blake3, false},
        {"BLAKE2s (x) = ", Algorithm::Blake2b, false},
        {"SHA3 checksum", Algorithm::Sha3_256, true},
        {"SHA3-512 (x) = ", Algorithm::Sha3_256, false},
        {"SHA3-256 (x) = ", Algorithm::Sha256, false},
    };
    for (const auto& w : words)
        EXPECT_EQ(FindClipboardDigests(w.text).Names(w.algorithm), w.named) << w.text;

    // The length a BLAKE2b tag gives.
    EXPECT_EQ(FindClipboardDigests("BLAKE2b-256 (x) = ").Blake2bDigits(), std::optional<std::size_t>(64));
    EXPECT_EQ(FindClipboardDigests("blake2b384").Blake2bDigits(), std::optional<std::size_t>(96));
    EXPECT_EQ(FindClipboardDigests("BLAKE2b (x) = ").Blake2bDigits(), std::nullopt);
    EXPECT_EQ(FindClipboardDigests("b2sum").Blake2bDigits(), std::nullopt);
    EXPECT_EQ(FindClipboardDigests("BLAKE2b-2560").Blake2bDigits(), std::nullopt);
}

std::string Hex(char digit, std::size_t digits)
{
    return std::string(digits, digit);
}

AlgorithmSet Set(std::initializer_list<Algorithm> algorithms)
{
    return AlgorithmSet(algorithms);
}

// Beside the ticked rows, a Generate computes SHA-256, and for each length
// on the clipboard the algorithms it names there, else the table's fast
// ones of that length; keyed, none without HMAC.
TEST(ClipboardDigests, AGenerateComputesTheCandidatesTheClipboardAsksFor)
{
    using A = Algorithm;
    const std::string d56 = Hex('a', 56), d64 = Hex('b', 64), d96 = Hex('c', 96), d128 = Hex('d', 128);
    const struct {
        std::string text;
        AlgorithmSet plain, keyed;
        std::size_t blake2bBytes;
    } cases[] = {
        {"", Set({A::Sha256}), Set({A::Sha256}), 64},
        {"MD5 " + Hex('e', 32), Set({A::Sha256}), Set({A::Sha256}), 64},
        {"BLAKE3 and SHA3-256, no digest", Set({A::Sha256}), Set({A::Sha256}), 64},
        {d64 + "  a.iso", Set({A::Sha256, A::Blake3}), Set({A::Sha256}), 64},
        {d128 + "  a.iso", Set({A::Sha256, A::Sha512, A::Blake2b}), Set({A::Sha256, A::Sha512, A::Blake2b}), 64},
        {d56, Set({A::Sha256, A::Sha224}), Set({A::Sha256, A::Sha224}), 64},
        {d96, Set({A::Sha256, A::Sha384}), Set({A::Sha256, A::Sha384}), 64},
        {"SHA256 (a) = " + d64, Set({A::Sha256}), Set({A::Sha256}), 64},
        {"SHA2-512(a)= " + d128, Set({A::Sha256, A::Sha512}), Set({A::Sha256, A::Sha512}), 64},
        {"SHA3-256 (a) = " + d64, Set({A::Sha256, A::Sha3_256}), Set({A::Sha256, A::Sha3_256}), 64},
        {"The BLAKE3 is " + d64, Set({A::Sha256, A::Blake3}), Set({A::Sha256}), 64},
        {d64 + "  a.iso  (b3sum)", Set({A::Sha256, A::Blake3}), Set({A::Sha256}), 64},
        {"b2sum -l 256: " + d64, Set({A::Sha256, A::Blake2b}), Set({A::Sha256, A::Blake2b}), 32},
        {"BLAKE2b-384 (a) = " + d96, Set({A::Sha256, A::Blake2b}), Set({A::Sha256, A::Blake2b}), 48},
        {"BLAKE2s (a) = " + d64, Set({A::Sha256, A::Blake2s}), Set({A::Sha256, A::Blake2s}), 64},
        {"SHA3-512 " + d128, Set({A::Sha256, A::Sha3_512}), Set({A::Sha256, A::Sha3_512}), 64},
        // Both lengths: each its own.
        {d64 + "\n" + d128, Set({A::Sha256, A::Blake3, A::Sha512, A::Blake2b}),
         Set({A::Sha256, A::Sha512, A::Blake2b}), 64},
        // BLAKE2b named beside 64 and 128 digits: its own length; its tag's
        // where one gives it.
        {"b2sum " + d64 + " " + d128, Set({A::Sha256, A::Blake2b}), Set({A::Sha256, A::Blake2b}), 64},
        {"BLAKE2b-256 " + d64 + " " + d128, Set({A::Sha256, A::Blake2b, A::Sha512}),
         Set({A::Sha256, A::Blake2b, A::Sha512}), 32},
        // Named at another length than the clipboard's digests.
        {"SHA3-512 " + d64, Set({A::Sha256, A::Blake3}), Set({A::Sha256}), 64},
    };
    for (const auto& c : cases) {
        const ClipboardDigests digests = FindClipboardDigests(c.text);
        const UnboxedRequest plain = UnboxedToCompute(digests, false), keyed = UnboxedToCompute(digests, true);
        EXPECT_TRUE(plain.algorithms == c.plain) << c.text;
        EXPECT_TRUE(keyed.algorithms == c.keyed) << c.text << " keyed";
        if (c.plain.Has(A::Blake2b)) {
            EXPECT_EQ(plain.blake2bBytes, c.blake2bBytes) << c.text;
        }
    }

    // The table's algorithms of each length, in their rank order.
    const auto names = [](std::size_t digits) {
        std::vector<std::string> list;
        for (const Candidate& candidate : CandidatesOfLength(digits))
            list.push_back(CandidateName(candidate));
        return list;
    };
    EXPECT_EQ(UnboxedLengths(), (std::vector<std::size_t>{56, 64, 96, 128}));
    EXPECT_EQ(names(64), (std::vector<std::string>{"SHA-256", "BLAKE3", "SHA3-256", "BLAKE2s", "BLAKE2b-256"}));
    EXPECT_EQ(names(128), (std::vector<std::string>{"SHA-512", "BLAKE2b", "SHA3-512"}));
    EXPECT_EQ(names(56), (std::vector<std::string>{"SHA-224", "SHA3-224", "BLAKE2b-224"}));
    EXPECT_EQ(names(96), (std::vector<std::string>{"SHA-384", "SHA3-384", "BLAKE2b-384"}));
}

// Results as a Generate would leave them: each algorithm's digest, here a
// run of one digit, of its length.
UnboxedResults Results(std::initializer_list<std::pair<Algorithm, std::string>> results, bool hmac = false,
                       Digested digested = Digested::File)
{
    UnboxedResults unboxed;
    unboxed.present = true;
    unboxed.hmac = hmac;
    unboxed.digested = digested;
    for (const auto& [algorithm, text] : results)
        unboxed.results[IndexOf(algorithm)] = text;
    return unboxed;
}

// Each length's verdict: a match names what matched; a mismatch is said
// only of what the clipboard names, or when every algorithm of the length
// was computed; a digest the run did not compute asks for another Generate;
// otherwise the words say what was compared, and no more.
TEST(ClipboardDigests, EachLengthsVerdictSaysWhatWasCompared)
{
    using A = Algorithm;
    using K = VerdictKind;
    const std::string mine64 = Hex('1', 64), other64 = Hex('2', 64), third64 = Hex('3', 64);
    const std::string mine128 = Hex('4', 128), other128 = Hex('5', 128);
    // SHA-256 and BLAKE3 of the run, as computed with a 64-digit digest
    // on the clipboard; BLAKE3's is the one that is "mine" here.
    const UnboxedResults fast64 = Results({{A::Sha256, other64}, {A::Blake3, mine64}});
    const struct {
        std::string text;
        UnboxedResults results;
        K kind;
        std::vector<std::string> names;
        bool several;
    } cases[] = {
        {Lower(mine64) + "  a.iso", fast64, K::Matches, {"BLAKE3"}, false},
        {third64 + "  b.iso\n" + mine64 + "  a.iso", fast64, K::Matches, {"BLAKE3"}, true},
        {third64, fast64, K::NotThisOne, {"SHA-256", "BLAKE3"}, false},
        {third64 + "\n" + Hex('6', 64), fast64, K::NotThisOne, {"SHA-256", "BLAKE3"}, true},
        // Named: SHA-256 alone was computed, and compared.
        {"SHA256 (a) = " + third64, Results({{A::Sha256, other64}}), K::DoesNotMatch, {"SHA-256"}, false},
        {"SHA256 (a) = " + third64 + "\nSHA256 (b) = " + mine64, Results({{A::Sha256, other64}}), K::DoesNotMatch,
         {"SHA-256"}, true},
        {"SHA3-256: " + third64, Results({{A::Sha256, other64}, {A::Sha3_256, mine64}}), K::DoesNotMatch,
         {"SHA3-256"}, false},
        {"SHA3-256: " + mine64, Results({{A::Sha256, other64}, {A::Sha3_256, mine64}}), K::Matches, {"SHA3-256"},
         false},
        {"b2sum -l 256 " + mine64, Results({{A::Sha256, other64}, {A::Blake2b, mine64}}), K::Matches,
         {"BLAKE2b-256"}, false},
        // Named, but copied after a Generate that did not compute it.
        {"SHA3-256: " + third64, fast64, K::NotComputed, {}, false},
        {"SHA512 (a) = " + mine128, fast64, K::NotComputed, {}, false},
        // An unnamed digest copied after a Generate that had none: SHA-256
        // differs, BLAKE3 is still to come.
        {third64, Results({{A::Sha256, other64}}), K::NotComputed, {}, false},
        // SHA-256 matches whatever else was or was not computed.
        {other64, Results({{A::Sha256, other64}}), K::Matches, {"SHA-256"}, false},
        // Every algorithm of the length computed: a mismatch, named or not.
        {third64,
         Results({{A::Sha256, other64},
                  {A::Blake3, other64},
                  {A::Sha3_256, other64},
                  {A::Blake2s, other64},
                  {A::Blake2b, other64}}),
         K::DoesNotMatch, {"SHA-256", "BLAKE3", "SHA3-256", "BLAKE2s", "BLAKE2b-256"}, false},
        // 128 digits: SHA-512 and BLAKE2b; BLAKE2b of another length is none.
        {mine128, Results({{A::Sha256, other64}, {A::Sha512, other128}, {A::Blake2b, mine128}}), K::Matches,
         {"BLAKE2b"}, false},
        {other128 + "x", Results({{A::Sha256, other64}, {A::Sha512, mine128}, {A::Blake2b, mine128}}), K::NotThisOne,
         {"SHA-512", "BLAKE2b"}, false},
        {mine128, Results({{A::Sha256, other64}, {A::Sha512, other128}, {A::Blake2b, mine64}}), K::NotComputed, {},
         false},
    };
    for (const auto& c : cases) {
        const std::vector<LengthVerdict> verdicts = UnboxedVerdicts(c.results, FindClipboardDigests(c.text));
        ASSERT_EQ(verdicts.size(), 1u) << c.text;
        EXPECT_EQ(verdicts[0].kind, c.kind) << c.text;
        EXPECT_EQ(verdicts[0].names, c.names) << c.text;
        EXPECT_EQ(verdicts[0].several, c.several) << c.text;
    }

    // Keyed, BLAKE3 has no HMAC: SHA-256 alone is all there is to compute
    // beside it, and it is not all of the length.
    const auto keyed = UnboxedVerdicts(Results({{A::Sha256, other64}}, true), FindClipboardDigests(third64));
    ASSERT_EQ(keyed.size(), 1u);
    EXPECT_EQ(keyed[0].kind, K::NotThisOne);
    EXPECT_EQ(keyed[0].names, std::vector<std::string>{"SHA-256"});
    const auto keyedNamed = UnboxedVerdicts(Results({{A::Sha256, other64}}, true), FindClipboardDigests("BLAKE3 " + third64));
    ASSERT_EQ(keyedNamed.size(), 1u);
    EXPECT_EQ(keyedNamed[0].kind, K::NotThisOne) << "asks for a BLAKE3 no Generate can give keyed";

    // The values that matched, and each length's verdict, mismatches first.
    const auto both = UnboxedVerdicts(Results({{A::Sha256, mine64}, {A::Sha512, other128}}),
                                      FindClipboardDigests(Lower(mine64) + "\nSHA512 " + mine128));
    ASSERT_EQ(both.size(), 2u);
    EXPECT_EQ(both[0].kind, K::DoesNotMatch);
    EXPECT_EQ(both[0].digits, 128u);
    EXPECT_EQ(both[1].kind, K::Matches);
    EXPECT_EQ(both[1].values, (std::vector<std::pair<std::string, std::string>>{{"SHA-256", mine64}}));

    // None before a Generate, none of the boxes' lengths.
    EXPECT_TRUE(UnboxedVerdicts(UnboxedResults{}, FindClipboardDigests(mine64)).empty());
    EXPECT_TRUE(UnboxedVerdicts(fast64, FindClipboardDigests(kMd5)).empty());
}

using Marks = std::vector<std::pair<Algorithm, ResultMark>>;

LengthVerdict Verdict(VerdictKind kind, std::vector<std::string> names, bool several = false)
{
    LengthVerdict verdict;
    verdict.kind = kind;
    verdict.digits = 64;
    verdict.names = std::move(names);
    verdict.several = several;
    return verdict;
}

// Whatever fits: the test's own measure, in characters.
std::string Line(const StatusReport& report, std::size_t room = 1000)
{
    return LineOf(report, [room](std::string_view line) { return line.size() <= room; });
}

// The words of each verdict, the boxes' sentence, and the line: the first
// sentence with its mark, the others and the note only where they fit.
TEST(ClipboardDigests, TheLineSaysTheVerdictFirstInPlainWords)
{
    using K = VerdictKind;
    using M = ResultMark;
    const Marks none{{Algorithm::Md5, M::None}, {Algorithm::Sha1, M::None}, {Algorithm::Crc32, M::None}};
    const Marks md5{{Algorithm::Md5, M::Matches}, {Algorithm::Sha1, M::None}, {Algorithm::Crc32, M::None}};
    const Marks mixed{{Algorithm::Md5, M::Matches}, {Algorithm::Sha1, M::DoesNotMatch}, {Algorithm::Crc32, M::Matches}};
    const Marks differ{{Algorithm::Md5, M::DoesNotMatch}, {Algorithm::Sha1, M::DoesNotMatch}, {Algorithm::Crc32, M::None}};
    const auto say = [](const Marks& marks, std::vector<LengthVerdict> verdicts, Digested digested = Digested::File,
                        std::string note = {}) { return ReportFor(marks, verdicts, digested, std::move(note)); };

    // Nothing to say, or the note alone.
    EXPECT_EQ(Line(say(none, {})), "");
    EXPECT_EQ(say(none, {}).mark, LineMark::None);
    EXPECT_EQ(Line(say(none, {}, Digested::File, "2 other files were not opened.")), "2 other files were not opened.");

    const struct {
        StatusReport report;
        LineMark mark;
        std::string line;
    } cases[] = {
        {say(md5, {}), LineMark::Matches, "MD5 matches the digest on the clipboard"},
        {say(mixed, {}), LineMark::DoesNotMatch, "SHA-1 does not match the clipboard; MD5 and CRC-32 do"},
        {say(differ, {}), LineMark::DoesNotMatch, "MD5 and SHA-1 do not match the clipboard"},
        {say(Marks{{Algorithm::Md5, M::Matches}, {Algorithm::Sha1, M::Matches}, {Algorithm::Crc32, M::Matches}}, {}),
         LineMark::Matches, "MD5, SHA-1 and CRC-32 match the digests on the clipboard"},
        {say(none, {Verdict(K::Matches, {"BLAKE2b"})}), LineMark::Matches, "BLAKE2b matches the digest on the clipboard"},
        {say(none, {Verdict(K::Matches, {"SHA-256", "BLAKE3"})}), LineMark::Matches,
         "SHA-256 and BLAKE3 match the clipboard"},
        {say(none, {Verdict(K::DoesNotMatch, {"SHA3-256"})}), LineMark::DoesNotMatch,
         "SHA3-256 does not match the digest on the clipboard"},
        {say(none, {Verdict(K::DoesNotMatch, {"SHA-256"}, true)}), LineMark::DoesNotMatch,
         "SHA-256 matches no digest on the clipboard"},
        {say(none, {Verdict(K::DoesNotMatch, {"SHA-256", "BLAKE3"})}), LineMark::DoesNotMatch,
         "Neither SHA-256 nor BLAKE3 matches the clipboard"},
        {say(none, {Verdict(K::DoesNotMatch, {"SHA-256", "BLAKE3", "SHA3-256", "BLAKE2s", "BLAKE2b-256"})}),
         LineMark::DoesNotMatch, "SHA-256 and 4 others do not match the clipboard"},
        {say(none, {Verdict(K::NotThisOne, {"SHA-256", "BLAKE3"})}), LineMark::Neutral,
         "Not this file's SHA-256 or BLAKE3; copy the whole line"},
        {say(none, {Verdict(K::NotThisOne, {"SHA-256"})}, Digested::Text), LineMark::Neutral,
         "Not this text's SHA-256; copy the whole line"},
        {say(none, {Verdict(K::NotThisOne, {"SHA-512", "BLAKE2b"}, true)}), LineMark::Neutral,
         "None on the clipboard is this file's SHA-512 or BLAKE2b"},
        {say(none, {Verdict(K::NotThisOne, {"SHA-256", "BLAKE3", "SHA3-256"}, true)}, Digested::Text), LineMark::Neutral,
         "None on the clipboard is this text's SHA-256 or 2 others"},
        {say(none, {Verdict(K::NotComputed, {})}), LineMark::Neutral, "Press Generate again to compare"},
        // The verdict without a box first, with its mark; the boxes' after it.
        {say(md5, {Verdict(K::Matches, {"SHA-256"})}), LineMark::Matches,
         "SHA-256 matches the digest on the clipboard; MD5 matches too"},
        {say(differ, {Verdict(K::DoesNotMatch, {"SHA-256"})}), LineMark::DoesNotMatch,
         "SHA-256 does not match the digest on the clipboard; MD5 and SHA-1 do not match either"},
        {say(mixed, {Verdict(K::NotComputed, {})}), LineMark::Neutral,
         "Press Generate again to compare; MD5 and CRC-32 match, SHA-1 does not"},
        {say(md5, {Verdict(K::NotThisOne, {"SHA-256"})}), LineMark::Neutral,
         "Not this file's SHA-256; copy the whole line; MD5 matches"},
        // Several lengths: matches in one sentence, mismatches in another.
        {say(none, {Verdict(K::Matches, {"SHA-256"}), Verdict(K::Matches, {"SHA-512"})}), LineMark::Matches,
         "SHA-256 and SHA-512 match the clipboard"},
        {say(none, {Verdict(K::DoesNotMatch, {"SHA-256"}), Verdict(K::DoesNotMatch, {"SHA-512"})}),
         LineMark::DoesNotMatch, "Neither SHA-256 nor SHA-512 matches the clipboard"},
        {say(none, {Verdict(K::DoesNotMatch, {"SHA-512"}), Verdict(K::NotThisOne, {"SHA-256"})}), LineMark::DoesNotMatch,
         "SHA-512 does not match the digest on the clipboard; not this file's SHA-256; copy the whole line"},
        {say(md5, {Verdict(K::Matches, {"SHA-256"})}, Digested::File, "1 other file was not opened."), LineMark::Matches,
         "SHA-256 matches the digest on the clipboard; MD5 matches too  1 other file was not opened."},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(Line(c.report), c.line);
        EXPECT_EQ(c.report.mark, c.mark) << c.line;
    }

    // Short of room the first sentence stays whole, and what follows gives
    // way: the boxes' sentence, then the note.
    const StatusReport report = say(md5, {Verdict(K::Matches, {"SHA-256"})}, Digested::File, "3 other files were not opened.");
    EXPECT_EQ(Line(report, 60), "SHA-256 matches the digest on the clipboard; MD5 matches too");
    EXPECT_EQ(Line(report, 50), "SHA-256 matches the digest on the clipboard");
    EXPECT_EQ(Line(report, 10), "SHA-256 matches the digest on the clipboard");
    EXPECT_EQ(Line(say(none, {Verdict(K::Matches, {"SHA-256"})}, Digested::File, "3 other files were not opened."), 60),
              "SHA-256 matches the digest on the clipboard");
}

// The tooltip and screen readers have it all: each sentence, the value that
// matched, the note.
TEST(ClipboardDigests, TheWholeTextHoldsEverySentenceAndTheValueThatMatched)
{
    LengthVerdict blake3 = Verdict(VerdictKind::Matches, {"BLAKE3"});
    blake3.values = {{"BLAKE3", Hex('A', 64)}};
    const StatusReport report =
        ReportFor(Marks{{Algorithm::Md5, ResultMark::DoesNotMatch}}, {blake3}, Digested::File, "1 other file was not opened.");
    EXPECT_EQ(WholeText(report),
              "BLAKE3 matches the digest on the clipboard.\n"
              "MD5 does not match the digest on the clipboard.\n"
              "BLAKE3 = " +
                  Hex('A', 64) + "\n1 other file was not opened.");
    EXPECT_EQ(WholeText(ReportFor(Marks{}, {}, Digested::File)), "");
}

// The mark's colour stands out of any background by at least 4.5:1, keeps
// its hue, and the tint behind it stays a tint.
TEST(ClipboardDigests, TheMarksColourStandsOutOfLightAndDarkBackgrounds)
{
    const auto green = [](std::uint32_t c) { return ((c >> 8) & 0xff) > ((c >> 16) & 0xff); };
    const auto red = [](std::uint32_t c) { return ((c >> 16) & 0xff) > ((c >> 8) & 0xff); };
    for (const std::uint32_t background : {0xffffffu, 0xefefefu, 0xe2e2e2u, 0x808080u, 0x2d2d30u, 0x1e1e1eu, 0x000000u}) {
        for (const LineMark mark : {LineMark::Matches, LineMark::DoesNotMatch, LineMark::Neutral}) {
            const std::uint32_t behind = TintBehind(mark, background);
            const std::uint32_t colour = MarkColour(mark, behind);
            EXPECT_GE(ContrastRatio(colour, behind), 4.5) << std::hex << background << " " << static_cast<int>(mark);
        }
        const std::uint32_t matches = MarkColour(LineMark::Matches, TintBehind(LineMark::Matches, background));
        const std::uint32_t differs = MarkColour(LineMark::DoesNotMatch, TintBehind(LineMark::DoesNotMatch, background));
        if (background != 0x808080u) {
            EXPECT_TRUE(green(matches)) << std::hex << background << " " << matches;
            EXPECT_TRUE(red(differs)) << std::hex << background << " " << differs;
        }
        EXPECT_LT(ContrastRatio(TintBehind(LineMark::Matches, background), background), 1.3) << std::hex << background;
        EXPECT_EQ(TintBehind(LineMark::Neutral, background), background);
    }
    EXPECT_NEAR(ContrastRatio(0xffffff, 0x000000), 21.0, 1e-9);
    EXPECT_NEAR(ContrastRatio(0x777777, 0xffffff), 4.48, 0.01);
}

}  // namespace
