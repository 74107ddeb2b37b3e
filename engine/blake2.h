#pragma once

// BLAKE2b and BLAKE2s (RFC 7693), unkeyed: the streaming state, its block
// (compression) routines in each instruction set, and the choice among them,
// following digest_paths.h's pattern. BLAKE2b gives 1 to 64 bytes (64 by
// default), BLAKE2s 1 to 32 (32 is the one used).
//
// BLAKE2 marks the message's last block with a flag and counts the message
// bytes, not the padding: a last block is known only once the message ends.
// So Update compresses every block but the last one it has (full or not),
// which it keeps until more bytes come or Final compresses it, padded with
// zeros, with the flag set.
//
// Like digest_paths.h, this header holds declarations and constexpr data
// only: the accelerated routines' files include it under their own
// instruction sets.

#include <cstddef>
#include <cstdint>
#include <span>
#include <type_traits>

#include "engine/digest_paths.h"

namespace engine {

constexpr std::size_t kBlake2bBlockSize = 128;  // also HMAC-BLAKE2b's block
constexpr std::size_t kBlake2sBlockSize = 64;   // also HMAC-BLAKE2s's block
constexpr std::size_t kBlake2bMaxDigestSize = 64;
constexpr std::size_t kBlake2sMaxDigestSize = 32;

// The initial chaining values: SHA-512's and SHA-256's.
alignas(64) inline constexpr std::uint64_t kBlake2bIv[8] = {
    0x6A09E667F3BCC908, 0xBB67AE8584CAA73B, 0x3C6EF372FE94F82B, 0xA54FF53A5F1D36F1,
    0x510E527FADE682D1, 0x9B05688C2B3E6C1F, 0x1F83D9ABFB41BD6B, 0x5BE0CD19137E2179,
};
alignas(32) inline constexpr std::uint32_t kBlake2sIv[8] = {
    0x6A09E667, 0xBB67AE85, 0x3C6EF372, 0xA54FF53A, 0x510E527F, 0x9B05688C, 0x1F83D9AB, 0x5BE0CD19,
};

// The message schedule: round r takes its sixteen message words in the order
// kBlake2Sigma[r % 10]. BLAKE2b's twelve rounds run the first two again.
// clang-format off
inline constexpr std::uint8_t kBlake2Sigma[10][16] = {
    { 0,  1,  2,  3,  4,  5,  6,  7,  8,  9, 10, 11, 12, 13, 14, 15},
    {14, 10,  4,  8,  9, 15, 13,  6,  1, 12,  0,  2, 11,  7,  5,  3},
    {11,  8, 12,  0,  5,  2, 15, 13, 10, 14,  3,  6,  7,  1,  9,  4},
    { 7,  9,  3,  1, 13, 12, 11, 14,  2,  6,  5, 10,  4,  0, 15,  8},
    { 9,  0,  5,  7,  2,  4, 10, 15, 14,  1, 11, 12,  6,  8,  3, 13},
    { 2, 12,  6, 10,  0, 11,  8,  3,  4, 13,  7,  5, 15, 14,  1,  9},
    {12,  5,  1, 15, 14, 13,  4, 10,  0,  7,  6,  3,  9,  2,  8, 11},
    {13, 11,  7, 14, 12,  1,  3,  9,  5,  0, 15,  4,  8,  6,  2, 10},
    { 6, 15, 14,  9, 11,  3,  0,  8, 12,  2, 13,  7,  1,  4, 10,  5},
    {10,  2,  8,  4,  7,  6,  1,  5, 15, 11,  9, 14,  3, 12, 13,  0},
};
// clang-format on

// What the block routines carry from block to block: the chaining words h
// and the count of message bytes compressed so far, t = t[0] + 2^w * t[1]
// (w the word size: 128 bits for BLAKE2b, 64 for BLAKE2s).
struct Blake2bChain {
    std::uint64_t h[8];
    std::uint64_t t[2];
};
struct Blake2sChain {
    std::uint32_t h[8];
    std::uint32_t t[2];
};

// The streaming states: trivially copyable, no pointers, so that a keyed
// state can be copied and wiped as bytes. `buffered` bytes of `buffer` wait:
// up to a whole block, the last one held back for the final flag.
struct Blake2bState {
    alignas(64) std::uint8_t buffer[kBlake2bBlockSize];
    Blake2bChain chain;
    std::uint32_t buffered;
    std::uint32_t digestSize;
};
struct Blake2sState {
    alignas(64) std::uint8_t buffer[kBlake2sBlockSize];
    Blake2sChain chain;
    std::uint32_t buffered;
    std::uint32_t digestSize;
};

static_assert(std::is_trivially_copyable_v<Blake2bState> && std::is_trivially_copyable_v<Blake2sState>);

// `digestSize` bytes of digest: 1 to 64 (BLAKE2b), 1 to 32 (BLAKE2s); a size
// out of range is taken as the largest. The parameter block is the unkeyed
// sequential one: key length 0, fanout 1, depth 1, everything else zero.
void Blake2bInit(Blake2bState& state, std::size_t digestSize = kBlake2bMaxDigestSize);
void Blake2sInit(Blake2sState& state, std::size_t digestSize = kBlake2sMaxDigestSize);
// Any number of bytes at any address, zero allowed; the result does not
// depend on how a message is split into calls. Never allocates or throws.
void Blake2bUpdate(Blake2bState& state, const std::uint8_t* bytes, std::size_t size);
void Blake2sUpdate(Blake2sState& state, const std::uint8_t* bytes, std::size_t size);
// Writes the state's digest size in bytes. The state is spent afterwards.
void Blake2bFinal(Blake2bState& state, std::uint8_t* digest);
void Blake2sFinal(Blake2sState& state, std::uint8_t* digest);

// ---------------------------------------------------------------- block routines

// `count` blocks into `chain`, one after another from `blocks` (any
// address). Before each, the byte count t goes up by `bytes`: the block size
// for blocks within a message; for its last block, the message bytes in it
// (0 to the block size; the rest of that block is zeros). With `final`, the
// blocks are compressed with the last-block flag: callers then pass one.
// The chain stays in registers from one block to the next.
using Blake2bCompressFn = void (*)(Blake2bChain& chain, const std::uint8_t* blocks, std::size_t count,
                                   std::uint32_t bytes, bool final);
using Blake2sCompressFn = void (*)(Blake2sChain& chain, const std::uint8_t* blocks, std::size_t count,
                                   std::uint32_t bytes, bool final);

// Scalar code, the message schedule as constants and the rounds unrolled:
// the reference, and the path everywhere else.
void Blake2bCompressPortable(Blake2bChain& chain, const std::uint8_t* blocks, std::size_t count, std::uint32_t bytes,
                             bool final);
void Blake2sCompressPortable(Blake2sChain& chain, const std::uint8_t* blocks, std::size_t count, std::uint32_t bytes,
                             bool final);

// No vector routine for one message: one row of the state per register
// (BLAKE2b's four 64-bit words in 256 bits, BLAKE2s's in 128, the diagonal
// steps by turning three rows), with AVX2 and with AVX-512's rotations, ran
// at 1.7 to 2 times OpenSSL's time on the AMD EPYC (Zen 5) this was measured
// on, the scalar code at 0.9 to 0.96: there each vector instruction takes
// two cycles to give its result, a scalar one one, and a single message's
// rounds are a chain of dependent steps. Many messages at once are another
// matter: see the lanes below.
//
// Tried again for BLAKE2b with everything kept off that chain: AVX-512VL's
// rotations, a, c and d turned for the diagonals instead of b (G gives b
// last, so the others' lane permutes run while b's last steps do), each
// half round's message words gathered in advance from the block in two
// 512-bit registers by one two-source permute, all twelve rounds unrolled.
// It ran at 1.24 to 1.57 times OpenSSL's time on 1 MiB (the scalar routine
// at 0.90 to 0.93), 1.4 to 1.8 times the scalar routine's (1.37 to 1.51 ms
// against 0.78 to 0.87); no better at -O3, with the rotations split over
// the XOR (the old row's turn off the chain, the new one's as two shifts and
// a three-way XOR), with a dword shuffle for the turn by 32, nor with vpermq
// for the lane turns. The scalar routine takes some 330 cycles a block
// (91 to 94 ns at 3.55 GHz), against the 288 that twelve rounds of 24
// dependent one-cycle steps allow. Not for the compiler's spills of sixteen
// words into fifteen registers: a hand-written x86-64 routine with two words
// taking turns in one register ran as fast (100 ns against 99, on a day of
// 3.3 GHz), and so did one with no turns at all (a wrong digest, for the
// timing only: 99). Twelve rounds more added 93 ns, 26 cycles a round; with
// no message additions the block took 5% less. Each six-cycle step of the
// chain brings 28 instructions, and the ALUs are then busy enough that the
// chain waits now and then: no ordering of the code tried did better.

// ---------------------------------------------------------------- choice

// Widest last: the automatic choice takes the last one that qualifies (see
// path_choice.h).
enum class Blake2bPath { Portable };
inline constexpr Blake2bPath kBlake2bPaths[] = {Blake2bPath::Portable};
template <>
struct RoutineFamily<Blake2bPath> : FamilyOf<Blake2bCompressFn, kBlake2bPaths> {};

enum class Blake2sPath { Portable };
inline constexpr Blake2sPath kBlake2sPaths[] = {Blake2sPath::Portable};
template <>
struct RoutineFamily<Blake2sPath> : FamilyOf<Blake2sCompressFn, kBlake2sPaths> {};

// RFC 7693's "abc" example, and seven blocks of a byte counter whose digest
// b2sum (BLAKE2s: openssl dgst) gave, from an unaligned address, all at
// once and block by block.
// It calls the routine: ask only about routines the CPU runs.
bool ProvesItself(Blake2bCompressFn compress);
bool ProvesItself(Blake2sCompressFn compress);

// ---------------------------------------------------------------- lanes

// The chaining words and byte counts of up to kMaxLanes messages side by
// side, word-major: word w of lane l is h[w][l], the count t[0][l] +
// 2^w t[1][l]. A vector routine loads one word of every lane at once.
template <class Word>
struct Blake2LaneStates {
    alignas(64) Word h[8][kMaxLanes];
    alignas(64) Word t[2][kMaxLanes];
};
using Blake2bLaneStates = Blake2LaneStates<std::uint64_t>;
using Blake2sLaneStates = Blake2LaneStates<std::uint32_t>;

// `count` blocks into every lane in `active`: lane l's are blocks[l],
// blocks[l] + the block size, and so on. Before each, lane l's count goes
// up by the block size; for lanes in `last` it goes up by lastBytes[l]
// instead (0 to the block size) and the blocks are compressed with the
// last-block flag (callers then pass one). Lanes not in `active`, and lanes
// past the routine's width, are neither read nor written, nor are their
// pointers and lastBytes.
using Blake2bLanesFn = void (*)(Blake2bLaneStates& states, const std::uint8_t* const* blocks, LaneMask active,
                                std::size_t count, LaneMask last, const std::uint32_t* lastBytes);
using Blake2sLanesFn = void (*)(Blake2sLaneStates& states, const std::uint8_t* const* blocks, LaneMask active,
                                std::size_t count, LaneMask last, const std::uint32_t* lastBytes);

// One message per lane through the one-message routine in use, for any
// lanes up to kMaxLanes.
void Blake2bLanesOneAtATime(Blake2bLaneStates& states, const std::uint8_t* const* blocks, LaneMask active,
                            std::size_t count, LaneMask last, const std::uint32_t* lastBytes);
void Blake2sLanesOneAtATime(Blake2sLaneStates& states, const std::uint8_t* const* blocks, LaneMask active,
                            std::size_t count, LaneMask last, const std::uint32_t* lastBytes);
#if defined(VELLUMARK_ENGINE_X86)
// One message per lane of the vector registers: each step of G runs for
// every lane at once, and the four columns (diagonals) of a round give four
// independent chains to hide the vector unit's latency. AVX-512 (F): eight
// BLAKE2b messages in 64-bit lanes, sixteen BLAKE2s messages in 32-bit
// lanes. AVX2: four and eight.
void Blake2bLanesAvx2(Blake2bLaneStates& states, const std::uint8_t* const* blocks, LaneMask active, std::size_t count,
                      LaneMask last, const std::uint32_t* lastBytes);
void Blake2sLanesAvx2(Blake2sLaneStates& states, const std::uint8_t* const* blocks, LaneMask active, std::size_t count,
                      LaneMask last, const std::uint32_t* lastBytes);
void Blake2bLanesAvx512(Blake2bLaneStates& states, const std::uint8_t* const* blocks, LaneMask active,
                        std::size_t count, LaneMask last, const std::uint32_t* lastBytes);
void Blake2sLanesAvx512(Blake2sLaneStates& states, const std::uint8_t* const* blocks, LaneMask active,
                        std::size_t count, LaneMask last, const std::uint32_t* lastBytes);
#endif

// Widest last, as for the one-message paths. Each path's width (LaneWidth)
// is how many messages it takes side by side: 1 for one at a time.
enum class Blake2bLanePath { OneAtATime, Avx2, Avx512 };
inline constexpr Blake2bLanePath kBlake2bLanePaths[] = {Blake2bLanePath::OneAtATime, Blake2bLanePath::Avx2,
                                                        Blake2bLanePath::Avx512};
template <>
struct RoutineFamily<Blake2bLanePath> : FamilyOf<Blake2bLanesFn, kBlake2bLanePaths> {};

enum class Blake2sLanePath { OneAtATime, Avx2, Avx512 };
inline constexpr Blake2sLanePath kBlake2sLanePaths[] = {Blake2sLanePath::OneAtATime, Blake2sLanePath::Avx2,
                                                        Blake2sLanePath::Avx512};
template <>
struct RoutineFamily<Blake2sLanePath> : FamilyOf<Blake2sLanesFn, kBlake2sLanePaths> {};

// Every lane up to `width`: "abc" in all at once, then distinct messages of
// three blocks each from chains of their own against the portable
// one-message routine, with half the lanes left out at a time, which must
// keep their words and counts.
bool ProvesItself(Blake2bLanesFn lanes, std::size_t width);
bool ProvesItself(Blake2sLanesFn lanes, std::size_t width);

}  // namespace engine
