#pragma once

// The engine's internals, for its own source files, its tests and its
// benchmark only: the block functions and CRC-32 routines in each
// instruction set, and the choice among them.
//
// Every variant of one routine has the same signature and the same results,
// bit for bit. The portable ones run everywhere and are the reference; the
// others are built only on x86-64, each in a file of its own that alone gets
// its instruction set's compiler flags. Those files include nothing but this
// header, the intrinsics and headers of their own: an inline function from a
// shared header compiled there could be the copy the linker keeps, and then
// run on a CPU without those instructions. What some of them share is in
// headers that only they include, with all their code in an unnamed
// namespace, so that each file compiles a copy of its own that no other can
// take.
//
// A variant is used only when the CPU and the operating system support it
// and it has computed a known vector right, from an unaligned address, in
// this process. The choice is made once, at the first use of the routine,
// by templates in path_choice.h and path_family.h, which those files never
// include: each family's choice is instantiated in the plain file that holds
// its table (digest_paths.cpp, sha3.cpp, blake2.cpp, blake3.cpp) and called
// from there. This header declares each family's paths and routine type
// beside its routines: data and declarations only.

#include <cstddef>
#include <cstdint>
#include <span>
#include <type_traits>

#include "engine/digest_records.h"

namespace engine {

constexpr std::size_t kBlockSize = 64;         // MD5, SHA-1, SHA-256 and their HMACs
constexpr std::size_t kSha512BlockSize = 128;  // SHA-512 and its HMAC

// SHA-256's round constants: the first 32 bits of the fractional parts of
// the cube roots of the first 64 primes. Aligned for the SHA instructions,
// which load them four at a time. Data only, so every path may share it.
alignas(16) inline constexpr std::uint32_t kSha256RoundConstants[64] = {
    0x428A2F98, 0x71374491, 0xB5C0FBCF, 0xE9B5DBA5, 0x3956C25B, 0x59F111F1, 0x923F82A4, 0xAB1C5ED5,
    0xD807AA98, 0x12835B01, 0x243185BE, 0x550C7DC3, 0x72BE5D74, 0x80DEB1FE, 0x9BDC06A7, 0xC19BF174,
    0xE49B69C1, 0xEFBE4786, 0x0FC19DC6, 0x240CA1CC, 0x2DE92C6F, 0x4A7484AA, 0x5CB0A9DC, 0x76F988DA,
    0x983E5152, 0xA831C66D, 0xB00327C8, 0xBF597FC7, 0xC6E00BF3, 0xD5A79147, 0x06CA6351, 0x14292967,
    0x27B70A85, 0x2E1B2138, 0x4D2C6DFC, 0x53380D13, 0x650A7354, 0x766A0ABB, 0x81C2C92E, 0x92722C85,
    0xA2BFE8A1, 0xA81A664B, 0xC24B8B70, 0xC76C51A3, 0xD192E819, 0xD6990624, 0xF40E3585, 0x106AA070,
    0x19A4C116, 0x1E376C08, 0x2748774C, 0x34B0BCB5, 0x391C0CB3, 0x4ED8AA4A, 0x5B9CCA4F, 0x682E6FF3,
    0x748F82EE, 0x78A5636F, 0x84C87814, 0x8CC70208, 0x90BEFFFA, 0xA4506CEB, 0xBEF9A3F7, 0xC67178F2,
};

// MD5's step constants: the integer parts of 2^32 * |sin(i)|, i = 1..64, as
// RFC 1321 lists them. Data only, shared by the one-message and lane routines.
alignas(64) inline constexpr std::uint32_t kMd5Sines[64] = {
    0xD76AA478, 0xE8C7B756, 0x242070DB, 0xC1BDCEEE, 0xF57C0FAF, 0x4787C62A, 0xA8304613, 0xFD469501,
    0x698098D8, 0x8B44F7AF, 0xFFFF5BB1, 0x895CD7BE, 0x6B901122, 0xFD987193, 0xA679438E, 0x49B40821,
    0xF61E2562, 0xC040B340, 0x265E5A51, 0xE9B6C7AA, 0xD62F105D, 0x02441453, 0xD8A1E681, 0xE7D3FBC8,
    0x21E1CDE6, 0xC33707D6, 0xF4D50D87, 0x455A14ED, 0xA9E3E905, 0xFCEFA3F8, 0x676F02D9, 0x8D2A4C8A,
    0xFFFA3942, 0x8771F681, 0x6D9D6122, 0xFDE5380C, 0xA4BEEA44, 0x4BDECFA9, 0xF6BB4B60, 0xBEBFBC70,
    0x289B7EC6, 0xEAA127FA, 0xD4EF3085, 0x04881D05, 0xD9D4D039, 0xE6DB99E5, 0x1FA27CF8, 0xC4AC5665,
    0xF4292244, 0x432AFF97, 0xAB9423A7, 0xFC93A039, 0x655B59C3, 0x8F0CCC92, 0xFFEFF47D, 0x85845DD1,
    0x6FA87E4F, 0xFE2CE6E0, 0xA3014314, 0x4E0811A1, 0xF7537E82, 0xBD3AF235, 0x2AD7D2BB, 0xEB86D391,
};

// SHA-512's round constants: the first 64 bits of the fractional parts of
// the cube roots of the first 80 primes. Aligned for the vector loads that
// add them to the message schedule.
alignas(64) inline constexpr std::uint64_t kSha512RoundConstants[80] = {
    0x428A2F98D728AE22, 0x7137449123EF65CD, 0xB5C0FBCFEC4D3B2F, 0xE9B5DBA58189DBBC, 0x3956C25BF348B538,
    0x59F111F1B605D019, 0x923F82A4AF194F9B, 0xAB1C5ED5DA6D8118, 0xD807AA98A3030242, 0x12835B0145706FBE,
    0x243185BE4EE4B28C, 0x550C7DC3D5FFB4E2, 0x72BE5D74F27B896F, 0x80DEB1FE3B1696B1, 0x9BDC06A725C71235,
    0xC19BF174CF692694, 0xE49B69C19EF14AD2, 0xEFBE4786384F25E3, 0x0FC19DC68B8CD5B5, 0x240CA1CC77AC9C65,
    0x2DE92C6F592B0275, 0x4A7484AA6EA6E483, 0x5CB0A9DCBD41FBD4, 0x76F988DA831153B5, 0x983E5152EE66DFAB,
    0xA831C66D2DB43210, 0xB00327C898FB213F, 0xBF597FC7BEEF0EE4, 0xC6E00BF33DA88FC2, 0xD5A79147930AA725,
    0x06CA6351E003826F, 0x142929670A0E6E70, 0x27B70A8546D22FFC, 0x2E1B21385C26C926, 0x4D2C6DFC5AC42AED,
    0x53380D139D95B3DF, 0x650A73548BAF63DE, 0x766A0ABB3C77B2A8, 0x81C2C92E47EDAEE6, 0x92722C851482353B,
    0xA2BFE8A14CF10364, 0xA81A664BBC423001, 0xC24B8B70D0F89791, 0xC76C51A30654BE30, 0xD192E819D6EF5218,
    0xD69906245565A910, 0xF40E35855771202A, 0x106AA07032BBD1B8, 0x19A4C116B8D2D0C8, 0x1E376C085141AB53,
    0x2748774CDF8EEB99, 0x34B0BCB5E19B48A8, 0x391C0CB3C5C95A63, 0x4ED8AA4AE3418ACB, 0x5B9CCA4F7763E373,
    0x682E6FF3D6B2B8A3, 0x748F82EE5DEFB2FC, 0x78A5636F43172F60, 0x84C87814A1F0AB72, 0x8CC702081A6439EC,
    0x90BEFFFA23631E28, 0xA4506CEBDE82BDE9, 0xBEF9A3F7B2C67915, 0xC67178F2E372532B, 0xCA273ECEEA26619C,
    0xD186B8C721C0C207, 0xEADA7DD6CDE0EB1E, 0xF57D4F7FEE6ED178, 0x06F067AA72176FBA, 0x0A637DC5A2C898A6,
    0x113F9804BEF90DAE, 0x1B710B35131C471B, 0x28DB77F523047D84, 0x32CAAB7B40C72493, 0x3C9EBE0A15C9BEBC,
    0x431D67C49C100D4C, 0x4CC5D4BECB3E42B6, 0x597F299CFC657E2A, 0x5FCB6FAB3AD6FAEC, 0x6C44198C4A475817,
};

// SHA-256 and SHA-512 are one algorithm on 32- and 64-bit words: they differ
// in their constants, their rounds, and the rotations and shifts of their
// sigma functions. Data only, for the portable block functions and the lanes.
struct Sha256Words {
    using Word = std::uint32_t;
    static constexpr int kRounds = 64;
    static constexpr const Word* kConstants = kSha256RoundConstants;
    // ROTR, ROTR, ROTR of Sigma0 and Sigma1 in the rounds; ROTR, ROTR, SHR of
    // sigma0 and sigma1 in the schedule.
    static constexpr int kBigSigma0[3] = {2, 13, 22}, kBigSigma1[3] = {6, 11, 25};
    static constexpr int kSmallSigma0[3] = {7, 18, 3}, kSmallSigma1[3] = {17, 19, 10};
};

struct Sha512Words {
    using Word = std::uint64_t;
    static constexpr int kRounds = 80;
    static constexpr const Word* kConstants = kSha512RoundConstants;
    static constexpr int kBigSigma0[3] = {28, 34, 39}, kBigSigma1[3] = {14, 18, 41};
    static constexpr int kSmallSigma0[3] = {1, 8, 7}, kSmallSigma1[3] = {19, 61, 6};
};

// `count` whole blocks (64 bytes, SHA-512's 128) into a chaining state; the
// state stays in registers from one block to the next.
using Md5CompressFn = void (*)(Md5Digest& state, const std::uint8_t* blocks, std::size_t count);
using Sha1CompressFn = void (*)(Sha1Digest& state, const std::uint8_t* blocks, std::size_t count);
using Sha256CompressFn = void (*)(Sha256Digest& state, const std::uint8_t* blocks, std::size_t count);
using Sha512CompressFn = void (*)(Sha512Digest& state, const std::uint8_t* blocks, std::size_t count);
// The reflected CRC-32 register advanced over `length` bytes: no inversion
// on the way in or out.
using Crc32UpdateFn = std::uint32_t (*)(std::uint32_t crc, const std::uint8_t* bytes, std::size_t length);

void Md5Compress(Md5Digest& state, const std::uint8_t* blocks, std::size_t count);

// ---------------------------------------------------------------- lanes

// The most messages a lane routine advances at once: the 32-bit lanes of an
// AVX-512 register (SHA-512's 64-bit words take eight).
constexpr std::size_t kMaxLanes = 16;

// A set of lanes, bit l for lane l.
using LaneMask = std::uint32_t;

// The chaining words of kMaxLanes messages side by side, word-major: word w
// of lane l is words[w][l], the words in the standard's order (MD5: A, B, C,
// D) as numbers. A vector routine loads one word of every lane at once.
template <std::size_t kWords, class Word = std::uint32_t>
struct LaneStates {
    alignas(64) Word words[kWords][kMaxLanes];
};
using Md5LaneStates = LaneStates<4>;
using Sha1LaneStates = LaneStates<5>;                   // H0..H4
using Sha256LaneStates = LaneStates<8>;                 // H0..H7
using Sha512LaneStates = LaneStates<8, std::uint64_t>;  // H0..H7

// `count` whole blocks into every lane in `active`: lane l's are blocks[l],
// blocks[l] + 64, and so on. Lanes not in `active`, and lanes past the
// routine's width, are neither read nor written, nor are their pointers.
using Md5LanesFn = void (*)(Md5LaneStates& states, const std::uint8_t* const* blocks, LaneMask active,
                            std::size_t count);

using Sha1LanesFn = void (*)(Sha1LaneStates& states, const std::uint8_t* const* blocks, LaneMask active,
                             std::size_t count);
using Sha256LanesFn = void (*)(Sha256LaneStates& states, const std::uint8_t* const* blocks, LaneMask active,
                               std::size_t count);
// SHA-512's blocks are 128 bytes: lane l's are blocks[l], blocks[l] + 128, ...
using Sha512LanesFn = void (*)(Sha512LaneStates& states, const std::uint8_t* const* blocks, LaneMask active,
                               std::size_t count);

// One message per lane through Md5Compress: the reference, for any lanes up
// to kMaxLanes.
void Md5LanesPortable(Md5LaneStates& states, const std::uint8_t* const* blocks, LaneMask active, std::size_t count);
// One message per lane through the one-message block function in use (the
// SHA instructions where the CPU has them), for any lanes up to kMaxLanes.
void Sha1LanesOneAtATime(Sha1LaneStates& states, const std::uint8_t* const* blocks, LaneMask active, std::size_t count);
void Sha256LanesOneAtATime(Sha256LaneStates& states, const std::uint8_t* const* blocks, LaneMask active,
                           std::size_t count);
void Sha512LanesOneAtATime(Sha512LaneStates& states, const std::uint8_t* const* blocks, LaneMask active,
                           std::size_t count);

void Sha1CompressPortable(Sha1Digest& state, const std::uint8_t* blocks, std::size_t count);
void Sha256CompressPortable(Sha256Digest& state, const std::uint8_t* blocks, std::size_t count);
void Sha512CompressPortable(Sha512Digest& state, const std::uint8_t* blocks, std::size_t count);
// Sixteen table lookups per sixteen bytes; the table is built at first use.
std::uint32_t Crc32UpdatePortable(std::uint32_t crc, const std::uint8_t* bytes, std::size_t length);

#if defined(__x86_64__)
#define VELLUMARK_ENGINE_X86 1
// SHA instructions (with SSSE3 and SSE4.1).
void Sha1CompressShaNi(Sha1Digest& state, const std::uint8_t* blocks, std::size_t count);
void Sha256CompressShaNi(Sha256Digest& state, const std::uint8_t* blocks, std::size_t count);
// SHA-512's rounds in 64-bit registers (BMI2's rotations), with the message
// schedule of the next two blocks made in vector registers between them:
// with AVX2, and with AVX-512's rotations on the same 256-bit registers.
void Sha512CompressAvx2(Sha512Digest& state, const std::uint8_t* blocks, std::size_t count);
void Sha512CompressAvx512(Sha512Digest& state, const std::uint8_t* blocks, std::size_t count);
// Eight MD5 lanes (AVX2) and sixteen (AVX-512F).
void Md5LanesAvx2(Md5LaneStates& states, const std::uint8_t* const* blocks, LaneMask active, std::size_t count);
void Md5LanesAvx512(Md5LaneStates& states, const std::uint8_t* const* blocks, LaneMask active, std::size_t count);
// Eight SHA-1 lanes (AVX2) and sixteen (AVX-512F and BW). SHA-256 has no
// AVX2 lanes: here they were slower than the SHA instructions on one message.
void Sha1LanesAvx2(Sha1LaneStates& states, const std::uint8_t* const* blocks, LaneMask active, std::size_t count);
void Sha1LanesAvx512(Sha1LaneStates& states, const std::uint8_t* const* blocks, LaneMask active, std::size_t count);
void Sha256LanesAvx512(Sha256LaneStates& states, const std::uint8_t* const* blocks, LaneMask active, std::size_t count);
// Eight SHA-512 lanes, one per 64-bit lane (AVX-512F and BW). None with
// AVX2: eight lanes in two sets of its sixteen registers ran slower here
// than one message at a time.
void Sha512LanesAvx512(Sha512LaneStates& states, const std::uint8_t* const* blocks, LaneMask active, std::size_t count);
// Carry-less multiply folding, 128 bits at a time (PCLMULQDQ).
std::uint32_t Crc32UpdateClmul(std::uint32_t crc, const std::uint8_t* bytes, std::size_t length);
// The same 256 bits at a time (VPCLMULQDQ with AVX2).
std::uint32_t Crc32UpdateVpclmulAvx2(std::uint32_t crc, const std::uint8_t* bytes, std::size_t length);
// The same 512 bits at a time (VPCLMULQDQ with AVX-512F).
std::uint32_t Crc32UpdateVpclmulAvx512(std::uint32_t crc, const std::uint8_t* bytes, std::size_t length);
#endif

// Key material overwritten with 0xAA, 0x55 and 0x00, no pass left out by
// the compiler as a dead store.
void WipeKeyMaterial(void* area, std::size_t count);

// What the HMAC does last, so that nothing of its key outlives it: the
// vector registers are zeroed (they held key blocks, and a later save of
// them, say by the dynamic linker's first call through a lazy binding,
// would put them in memory), then the stack below the caller's frame,
// where the block functions kept words of the key blocks, is overwritten.
void ClearVectorRegisters();
void ScrubStack();
// The same reaching less far, for MD5, whose block function keeps the
// fewest words in its frame.
void ScrubStackShallow();
// The same, as deep as the lane routines' frames reach: what the lane
// objects do after computing with key material.
void ScrubLaneStack();
// The same reaching further down, for SHA-512, whose wider block functions
// keep the schedules of several blocks in their frames.
void ScrubStackDeep();

// ---------------------------------------------------------------- choice

// What each family of paths runs: the type of its routines, and its paths,
// widest last (the automatic choice takes the last one that qualifies).
// Declared beside each family's path enum, here and in sha3.h, blake2.h and
// blake3.h; data only. path_choice.h chooses among them.
template <class Path>
struct RoutineFamily;

template <class RoutineT, const auto& kAll>
struct FamilyOf {
    using Routine = RoutineT;
    static constexpr std::span<const std::remove_cvref_t<decltype(kAll[0])>> kPaths{kAll};
};

enum class Sha1Path { Portable, ShaNi };
inline constexpr Sha1Path kSha1Paths[] = {Sha1Path::Portable, Sha1Path::ShaNi};
template <>
struct RoutineFamily<Sha1Path> : FamilyOf<Sha1CompressFn, kSha1Paths> {};

enum class Sha256Path { Portable, ShaNi };
inline constexpr Sha256Path kSha256Paths[] = {Sha256Path::Portable, Sha256Path::ShaNi};
template <>
struct RoutineFamily<Sha256Path> : FamilyOf<Sha256CompressFn, kSha256Paths> {};

enum class Sha512Path { Portable, Avx2, Avx512 };
inline constexpr Sha512Path kSha512Paths[] = {Sha512Path::Portable, Sha512Path::Avx2, Sha512Path::Avx512};
template <>
struct RoutineFamily<Sha512Path> : FamilyOf<Sha512CompressFn, kSha512Paths> {};

enum class Crc32Path { Portable, Clmul, VpclmulAvx2, VpclmulAvx512 };
inline constexpr Crc32Path kCrc32Paths[] = {Crc32Path::Portable, Crc32Path::Clmul, Crc32Path::VpclmulAvx2,
                                            Crc32Path::VpclmulAvx512};
template <>
struct RoutineFamily<Crc32Path> : FamilyOf<Crc32UpdateFn, kCrc32Paths> {};

enum class Md5LanePath { Portable, Avx2, Avx512 };
inline constexpr Md5LanePath kMd5LanePaths[] = {Md5LanePath::Portable, Md5LanePath::Avx2, Md5LanePath::Avx512};
template <>
struct RoutineFamily<Md5LanePath> : FamilyOf<Md5LanesFn, kMd5LanePaths> {};

enum class Sha1LanePath { OneAtATime, Avx2, Avx512 };
inline constexpr Sha1LanePath kSha1LanePaths[] = {Sha1LanePath::OneAtATime, Sha1LanePath::Avx2, Sha1LanePath::Avx512};
template <>
struct RoutineFamily<Sha1LanePath> : FamilyOf<Sha1LanesFn, kSha1LanePaths> {};

enum class Sha256LanePath { OneAtATime, Avx512 };
inline constexpr Sha256LanePath kSha256LanePaths[] = {Sha256LanePath::OneAtATime, Sha256LanePath::Avx512};
template <>
struct RoutineFamily<Sha256LanePath> : FamilyOf<Sha256LanesFn, kSha256LanePaths> {};

enum class Sha512LanePath { OneAtATime, Avx512 };
inline constexpr Sha512LanePath kSha512LanePaths[] = {Sha512LanePath::OneAtATime, Sha512LanePath::Avx512};
template <>
struct RoutineFamily<Sha512LanePath> : FamilyOf<Sha512LanesFn, kSha512LanePaths> {};

// The known-vector check every routine passes before it is used. It calls
// the routine: ask only about routines the CPU runs.
bool ProvesItself(Sha1CompressFn compress);
bool ProvesItself(Sha256CompressFn compress);
bool ProvesItself(Sha512CompressFn compress);
bool ProvesItself(Crc32UpdateFn update);
// Every lane up to `width`: the standard's two-block sample (RFC 1321's
// eighty digits; FIPS 180's 56 letters, SHA-512's 112) in all at once,
// distinct messages against the portable one-message block function, and
// lanes left out unchanged.
bool ProvesItself(Md5LanesFn lanes, std::size_t width);
bool ProvesItself(Sha1LanesFn lanes, std::size_t width);
bool ProvesItself(Sha256LanesFn lanes, std::size_t width);
bool ProvesItself(Sha512LanesFn lanes, std::size_t width);

}  // namespace engine
