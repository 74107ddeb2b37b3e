#pragma once

// BLAKE3 with a 256-bit digest, plain and keyed (a 32-byte key), and its
// routines in each instruction set. The message is cut into chunks of 1024
// bytes, each compressed block by block (64 bytes) from the key; the chunks'
// chaining values are merged pairwise as a binary tree whose left subtree
// always holds the largest power of two of chunks that leaves at least one
// for the right, and the last compression (of the only chunk, or of the top
// parent node) carries the ROOT flag and gives the digest.
//
// For the engine's own files, its tests and its benchmark. Like
// digest_paths.h, this header holds declarations and data only, no inline
// function: the files built for wider instruction sets include it.

#include <cstddef>
#include <cstdint>
#include <span>

#include "engine/digest_paths.h"

namespace engine {

constexpr std::size_t kBlake3BlockSize = 64;
constexpr std::size_t kBlake3ChunkSize = 1024;
constexpr std::size_t kBlake3KeySize = 32;
constexpr std::size_t kBlake3DigestSize = 32;
// A 64-bit byte count has at most 2^54 chunks: the stack holds one chaining
// value per set bit of the chunk count, and one more pushed before merging.
constexpr std::size_t kBlake3MaxDepth = 56;

// The domain flags of each compression.
constexpr std::uint32_t kBlake3ChunkStart = 1u << 0;
constexpr std::uint32_t kBlake3ChunkEnd = 1u << 1;
constexpr std::uint32_t kBlake3Parent = 1u << 2;
constexpr std::uint32_t kBlake3Root = 1u << 3;
constexpr std::uint32_t kBlake3KeyedHash = 1u << 4;

// SHA-256's initial words: the key of the plain hash, and the third row of
// every compression's state.
alignas(32) inline constexpr std::uint32_t kBlake3Iv[8] = {0x6A09E667, 0xBB67AE85, 0x3C6EF372, 0xA54FF53A,
                                                           0x510E527F, 0x9B05688C, 0x1F83D9AB, 0x5BE0CD19};

// The message word each round takes in place of word i: round 0 takes the
// words in order, and each later round permutes the one before with
// (2, 6, 3, 10, 7, 0, 4, 13, 1, 11, 12, 5, 9, 14, 15, 8) (word i of round
// r + 1 is word kPermutation[i] of round r). blake3.cpp checks the table
// against the permutation at compile time.
alignas(64) inline constexpr std::uint8_t kBlake3Schedule[7][16] = {
    {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15}, {2, 6, 3, 10, 7, 0, 4, 13, 1, 11, 12, 5, 9, 14, 15, 8},
    {3, 4, 10, 12, 13, 2, 7, 14, 6, 5, 9, 0, 11, 15, 8, 1}, {10, 7, 12, 9, 14, 3, 13, 15, 4, 0, 11, 2, 5, 8, 1, 6},
    {12, 13, 9, 11, 15, 10, 14, 8, 7, 2, 5, 3, 0, 1, 6, 4}, {9, 14, 11, 5, 8, 12, 15, 1, 13, 3, 0, 10, 2, 6, 4, 7},
    {11, 15, 5, 0, 1, 9, 8, 6, 14, 10, 2, 12, 3, 4, 7, 13},
};

// A digest, as the lane objects return it.
struct Blake3Digest {
    std::uint8_t bytes[kBlake3DigestSize];
};

// Everything a hash in progress holds, with no pointer: copying the bytes
// copies the hash, and overwriting them forgets a keyed one's key.
struct alignas(64) Blake3State {
    // The chaining values of finished subtrees, left to right: the sizes of
    // the set bits of the chunks before the current one, largest first, and
    // for a moment one more. Neighbours are adjacent, so two of them are a
    // parent node's block as they lie.
    std::uint8_t stack[kBlake3MaxDepth][32];
    std::uint8_t block[kBlake3BlockSize];  // the current chunk's bytes not compressed yet
    std::uint32_t key[8];                  // the IV, or the key's words
    std::uint32_t cv[8];                   // the current chunk's chaining value so far
    std::uint64_t chunk;                   // the current chunk's index: chunks before it
    std::uint32_t flags;                   // kBlake3KeyedHash or nothing
    std::uint8_t blockLength;              // bytes in `block`
    std::uint8_t blocksDone;               // blocks of the current chunk compressed into `cv`
    std::uint8_t depth;                    // chaining values on the stack
};

void Blake3Init(Blake3State& state);
void Blake3InitKeyed(Blake3State& state, const std::uint8_t* key32);
// Any sizes, any number of calls, zero bytes allowed, any alignment; the
// result does not depend on how the message is split. Never allocates, never
// throws.
void Blake3Update(Blake3State& state, const std::uint8_t* bytes, std::size_t size);
// The same, digesting whole subtrees of a large update on up to `threads`
// threads in all (the caller's included), each on std::jthread; the result is
// the one-thread result, bit for bit. Below kBlake3ParallelMinimum bytes a
// subtree is not split. A thread that cannot be had (std::system_error, or no
// memory for it) leaves its share to the caller's thread; never throws.
void Blake3Update(Blake3State& state, const std::uint8_t* bytes, std::size_t size, unsigned threads);
// The digest of what was fed so far; the state stays as it was and may be
// fed on.
void Blake3Final(const Blake3State& state, std::uint8_t* digest32);

// A message hashed in far-apart pieces, each on a thread of the caller's:
// the chaining value of the whole subtree of `size` bytes from `bytes` (a
// power of two of chunks), whose first chunk is chunk `firstChunk` (a
// multiple of its chunk count), hashed with the key and flags of `state`,
// which it only reads (its key and flags: another thread may push into the
// state meanwhile); never the root, so bytes must follow it. The results
// are pushed in order: Blake3PushSubtree takes the one that starts where the
// state stands, as Blake3Update would take its bytes, when
// Blake3TakesSubtree says the state stands on a boundary of such subtrees
// with no bytes of a chunk held. A state that has had subtrees pushed must
// then be fed at least one byte before Blake3Final: the last subtree pushed
// is not the root.
void Blake3SubtreeCv(const Blake3State& state, const std::uint8_t* bytes, std::size_t size, std::uint64_t firstChunk,
                     std::uint8_t* cv32);
void Blake3PushSubtree(Blake3State& state, const std::uint8_t* cv32, std::size_t size);
bool Blake3TakesSubtree(const Blake3State& state, std::size_t size) noexcept;

// The smallest subtree, in bytes, that the threaded update splits between two
// threads: one half is worth a thread's start and join only when hashing it
// takes longer. Here (an AMD EPYC, 2 cores shared with other work,
// load average 4 to 8) a std::jthread's start and join took 27 to 29 us
// (median of 2000), and the sixteen lanes hash 1 MiB in the core's cache at
// 9.7 GB/s: half of 1 MiB takes 54 us and should pay, half of 512 KiB (27
// us) not. On that busy machine no split paid, since the second thread
// waited for a core: engine_bench's BLAKE3 summary (two threads' speedup,
// wall clock) read 0.16 on 1 MiB and 0.90 on 64 MiB; to be measured again
// on an idle one before a caller asks for threads.
constexpr std::size_t kBlake3ParallelMinimum = std::size_t{1} << 20;

// ---------------------------------------------------------------- routines

// One compression, in place: the chaining value `cv` (8 words) with one block
// of `length` bytes (zero-padded to 64 by the caller), the counter and the
// flags, becomes the first 8 words of the output, which is also the digest
// when the flags hold ROOT.
using Blake3CompressFn = void (*)(std::uint32_t* cv, const std::uint8_t* block, std::uint32_t length,
                                  std::uint64_t counter, std::uint32_t flags);

// Many independent inputs of the same shape, one per vector lane.
struct Blake3Batch {
    const std::uint8_t* const* inputs;  // `count` inputs of `blocks` whole 64-byte blocks each
    std::size_t count;
    std::size_t blocks;             // a chunk is 16, a parent node 1
    const std::uint32_t* key;       // the chaining value every input starts from
    const std::uint64_t* counters;  // each input's counter; null: 0 for all (parent nodes)
    std::uint32_t flags;            // on every block
    std::uint32_t startFlags;       // added on each input's first block
    std::uint32_t endFlags;         // added on each input's last block
};
// Input i's chaining value, 32 bytes, to out + 32 i. `out` does not overlap
// the inputs.
using Blake3ManyFn = void (*)(const Blake3Batch& batch, std::uint8_t* out);

// A path's two routines, and how many inputs its hash-many takes at once.
struct Blake3Routines {
    Blake3CompressFn compress;
    Blake3ManyFn many;
    std::size_t width;
};

void Blake3CompressPortable(std::uint32_t* cv, const std::uint8_t* block, std::uint32_t length, std::uint64_t counter,
                            std::uint32_t flags);
void Blake3ManyPortable(const Blake3Batch& batch, std::uint8_t* out);

#if defined(__x86_64__)
// Eight inputs side by side in the 32-bit lanes of AVX2's registers.
void Blake3ManyAvx2(const Blake3Batch& batch, std::uint8_t* out);
// Sixteen in AVX-512's, thirty-two at a time in two groups while there are
// more than sixteen. No path has a compression of its own: one block in
// 128-bit rows with AVX-512VL's rotations took 440 cycles here, as the
// portable one does (each vector step waits two cycles for the one before
// it on this CPU), and was not kept.
void Blake3ManyAvx512(const Blake3Batch& batch, std::uint8_t* out);
#endif

// ---------------------------------------------------------------- choice

// Widest last: the portable compression with the portable loop, eight lanes
// (AVX2) or sixteen (AVX-512F). A path's routines: null routines where this
// build has none.
enum class Blake3Path { Portable, Avx2, Avx512 };
inline constexpr Blake3Path kBlake3Paths[] = {Blake3Path::Portable, Blake3Path::Avx2, Blake3Path::Avx512};
template <>
struct RoutineFamily<Blake3Path> : FamilyOf<Blake3Routines, kBlake3Paths> {};

// Plain and keyed digests of messages that take every lane, partly filled
// calls, parent nodes in lanes and the single compression, computed from
// unaligned bytes, against digests b3sum gave. It calls the routines: ask
// only about routines the CPU runs.
bool ProvesItself(const Blake3Routines& routines);

}  // namespace engine
