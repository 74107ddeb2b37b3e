#pragma once

// SHA3-224, SHA3-256, SHA3-384 and SHA3-512 (FIPS 202): the sponge over
// Keccak-f[1600], fed in pieces, and its block routines in each instruction
// set, chosen as the other block functions are (see digest_paths.h).
//
// The state holds 25 lanes of 64 bits, lane x + 5y at index x + 5y, as
// numbers; the message's bytes enter them least significant byte first. Each
// block of `rate` bytes is XORed into the first rate / 8 lanes, then the
// permutation runs. The digest is the first bytes of the lanes after the
// last block, which carries the padding: 0x06 after the message, zeros, and
// 0x80 in the block's last byte (0x86 when both fall on one byte).
//
// This header holds declarations and constant data only: the routines built
// for wider instruction sets include it.

#include <cstddef>
#include <cstdint>
#include <span>

#include "engine/digest_paths.h"

namespace engine {

// The widest block, SHA3-224's: 200 bytes of state less twice the digest.
constexpr std::size_t kSha3MaxRate = 144;

// Trivially copyable and holding no pointers: a copy is a second sponge that
// goes on from the same point, and overwriting its bytes wipes it.
struct Sha3State {
    alignas(64) std::uint64_t lanes[25];
    // Bytes of a block begun; the rest of the array is not read.
    std::uint8_t block[kSha3MaxRate];
    // Bytes per block, 200 - 2 * digestBytes: the HMAC's block size too.
    std::size_t rate;
    std::size_t digestBytes;
    std::size_t buffered;
};

// A new message. digestBytes is 28, 32, 48 or 64 (SHA3-224 to SHA3-512);
// any other size is a programming error and ends the process.
void Sha3Init(Sha3State& state, std::size_t digestBytes);

// The message's next bytes: any number, at any address, in as many calls as
// the caller likes; the digest is the same however the message is split.
void Sha3Update(Sha3State& state, const std::uint8_t* bytes, std::size_t size);

// Pads, runs the last block and writes state.digestBytes bytes. The state is
// spent: Sha3Init starts the next message.
void Sha3Final(Sha3State& state, std::uint8_t* digest);

// ---------------------------------------------------------------- the permutation

// Keccak-f[1600]'s round constants, the value iota XORs into lane 0 in each
// of the 24 rounds (FIPS 202, Algorithm 6). sha3.cpp checks them against the
// standard's LFSR when it is compiled.
inline constexpr std::uint64_t kKeccakRoundConstants[24] = {
    0x0000000000000001, 0x0000000000008082, 0x800000000000808A, 0x8000000080008000, 0x000000000000808B,
    0x0000000080000001, 0x8000000080008081, 0x8000000000008009, 0x000000000000008A, 0x0000000000000088,
    0x0000000080008009, 0x000000008000000A, 0x000000008000808B, 0x800000000000008B, 0x8000000000008089,
    0x8000000000008003, 0x8000000000008002, 0x8000000000000080, 0x000000000000800A, 0x800000008000000A,
    0x8000000080008081, 0x8000000000008080, 0x0000000080000001, 0x8000000080008008,
};

// rho's left rotation of lane x + 5y (FIPS 202, Algorithm 2), also checked
// when sha3.cpp is compiled.
inline constexpr int kKeccakRotations[25] = {
    0,  1,  62, 28, 27,  // y = 0
    36, 44, 6,  55, 20,  // y = 1
    3,  10, 43, 25, 39,  // y = 2
    41, 45, 15, 21, 8,   // y = 3
    18, 2,  61, 56, 14,  // y = 4
};

// `count` whole blocks of `rate` bytes, one after the other: each XORed into
// the first rate / 8 lanes, then the permutation. rate is a multiple of 8 up
// to 200 (SHA-3 uses 144, 136, 104 and 72); the blocks may sit at any address.
using Sha3BlocksFn = void (*)(std::uint64_t (&lanes)[25], const std::uint8_t* blocks, std::size_t count,
                              std::size_t rate);

// The lanes in local variables, two rounds at a time, pi done by naming.
void Sha3BlocksPortable(std::uint64_t (&lanes)[25], const std::uint8_t* blocks, std::size_t count, std::size_t rate);

#if defined(__x86_64__)
// The state in five 512-bit registers, one line of five lanes each (AVX-512F).
void Sha3BlocksAvx512(std::uint64_t (&lanes)[25], const std::uint8_t* blocks, std::size_t count, std::size_t rate);
#endif

// ---------------------------------------------------------------- choice

// Widest last: the automatic choice takes the last one that qualifies (see
// path_choice.h). No AVX2 path: without AVX-512's rotations and three-way
// logic it ran slower here than the portable one.
enum class Sha3Path { Portable, Avx512 };
inline constexpr Sha3Path kSha3Paths[] = {Sha3Path::Portable, Sha3Path::Avx512};
template <>
struct RoutineFamily<Sha3Path> : FamilyOf<Sha3BlocksFn, kSha3Paths> {};

// The known-vector check every routine passes before it is used: the
// standard's 1600-bit example for each of the four digests and a message of
// eight blocks, from an unaligned address, all blocks in one call and one
// block per call. It calls the routine: ask only about routines the CPU runs.
bool ProvesItself(Sha3BlocksFn blocks);

// ---------------------------------------------------------------- lanes

// The lanes of up to kMaxLanes messages side by side, word-major as the other
// lane states are: lane i of message l is words[i][l].
using Sha3LaneStates = LaneStates<25, std::uint64_t>;

// `count` blocks of `rate` bytes into every message in `active`: message l's
// are blocks[l], blocks[l] + rate, and so on. Messages not in `active`, and
// those past the routine's width, are neither read nor written, nor are
// their pointers.
using Sha3LanesFn = void (*)(Sha3LaneStates& states, const std::uint8_t* const* blocks, LaneMask active,
                             std::size_t count, std::size_t rate);

// One message after another through the block routine in use, for any
// messages up to kMaxLanes.
void Sha3LanesOneAtATime(Sha3LaneStates& states, const std::uint8_t* const* blocks, LaneMask active, std::size_t count,
                         std::size_t rate);
#if defined(__x86_64__)
// Eight messages, one per 64-bit lane of AVX-512F's registers, a register
// for each of the 25 lanes.
void Sha3LanesAvx512(Sha3LaneStates& states, const std::uint8_t* const* blocks, LaneMask active, std::size_t count,
                     std::size_t rate);
#endif

// Widest last. No AVX2 lanes: a CPU that has AVX-512 takes its eight. Each
// path's width (LaneWidth) is how many messages it takes side by side: 1
// where they go one at a time (its routine takes any number, but gains
// nothing from them).
enum class Sha3LanePath { OneAtATime, Avx512 };
inline constexpr Sha3LanePath kSha3LanePaths[] = {Sha3LanePath::OneAtATime, Sha3LanePath::Avx512};
template <>
struct RoutineFamily<Sha3LanePath> : FamilyOf<Sha3LanesFn, kSha3LanePaths> {};

// Every message up to `width`: the standard's 1600-bit example for SHA3-256
// and SHA3-512 in all at once, from unaligned copies; then each message from
// a state and bytes of its own against the portable block routine, with
// half the messages left out at a time, which must keep their lanes.
bool ProvesItself(Sha3LanesFn lanes, std::size_t width);

}  // namespace engine
