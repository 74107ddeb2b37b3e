// BLAKE3: the portable routines, the hash's state from chunk to tree, the
// threads that share a large update, and the choice of routines.
#include "engine/blake3.h"

#include "engine/path_family.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <new>
#include <optional>
#include <system_error>
#include <thread>

namespace engine {
namespace {

// The table in the header is the permutation applied round after round.
constexpr bool ScheduleFollowsThePermutation()
{
    constexpr std::uint8_t kPermutation[16] = {2, 6, 3, 10, 7, 0, 4, 13, 1, 11, 12, 5, 9, 14, 15, 8};
    for (int i = 0; i < 16; ++i)
        if (kBlake3Schedule[0][i] != i)
            return false;
    for (int r = 1; r < 7; ++r)
        for (int i = 0; i < 16; ++i)
            if (kBlake3Schedule[r][i] != kBlake3Schedule[r - 1][kPermutation[i]])
                return false;
    return true;
}
static_assert(ScheduleFollowsThePermutation());

std::uint32_t LoadLe32(const std::uint8_t* p)
{
    return std::uint32_t{p[0]} | std::uint32_t{p[1]} << 8 | std::uint32_t{p[2]} << 16 | std::uint32_t{p[3]} << 24;
}

void StoreLe32(std::uint8_t* p, std::uint32_t v)
{
    p[0] = static_cast<std::uint8_t>(v);
    p[1] = static_cast<std::uint8_t>(v >> 8);
    p[2] = static_cast<std::uint8_t>(v >> 16);
    p[3] = static_cast<std::uint8_t>(v >> 24);
}

void StoreCv(std::uint8_t* out, const std::uint32_t* cv)
{
    for (int i = 0; i < 8; ++i)
        StoreLe32(out + 4 * i, cv[i]);
}

[[gnu::always_inline]] inline void G(std::uint32_t* v, int a, int b, int c, int d, std::uint32_t x, std::uint32_t y)
{
    v[a] = v[a] + v[b] + x;
    v[d] = std::rotr(v[d] ^ v[a], 16);
    v[c] = v[c] + v[d];
    v[b] = std::rotr(v[b] ^ v[c], 12);
    v[a] = v[a] + v[b] + y;
    v[d] = std::rotr(v[d] ^ v[a], 8);
    v[c] = v[c] + v[d];
    v[b] = std::rotr(v[b] ^ v[c], 7);
}

}  // namespace

// ---------------------------------------------------------------- portable routines

void Blake3CompressPortable(std::uint32_t* cv, const std::uint8_t* block, std::uint32_t length, std::uint64_t counter,
                            std::uint32_t flags)
{
    std::uint32_t m[16];
    for (int i = 0; i < 16; ++i)
        m[i] = LoadLe32(block + 4 * i);
    std::uint32_t v[16] = {cv[0],
                           cv[1],
                           cv[2],
                           cv[3],
                           cv[4],
                           cv[5],
                           cv[6],
                           cv[7],
                           kBlake3Iv[0],
                           kBlake3Iv[1],
                           kBlake3Iv[2],
                           kBlake3Iv[3],
                           static_cast<std::uint32_t>(counter),
                           static_cast<std::uint32_t>(counter >> 32),
                           length,
                           flags};
    for (const auto& s : kBlake3Schedule) {
        // The columns, then the diagonals.
        G(v, 0, 4, 8, 12, m[s[0]], m[s[1]]);
        G(v, 1, 5, 9, 13, m[s[2]], m[s[3]]);
        G(v, 2, 6, 10, 14, m[s[4]], m[s[5]]);
        G(v, 3, 7, 11, 15, m[s[6]], m[s[7]]);
        G(v, 0, 5, 10, 15, m[s[8]], m[s[9]]);
        G(v, 1, 6, 11, 12, m[s[10]], m[s[11]]);
        G(v, 2, 7, 8, 13, m[s[12]], m[s[13]]);
        G(v, 3, 4, 9, 14, m[s[14]], m[s[15]]);
    }
    for (int i = 0; i < 8; ++i)
        cv[i] = v[i] ^ v[i + 8];
}

void Blake3ManyPortable(const Blake3Batch& batch, std::uint8_t* out)
{
    for (std::size_t i = 0; i < batch.count; ++i) {
        std::uint32_t cv[8];
        std::memcpy(cv, batch.key, sizeof cv);
        const std::uint64_t counter = batch.counters != nullptr ? batch.counters[i] : 0;
        for (std::size_t b = 0; b < batch.blocks; ++b) {
            std::uint32_t flags = batch.flags;
            if (b == 0)
                flags |= batch.startFlags;
            if (b + 1 == batch.blocks)
                flags |= batch.endFlags;
            Blake3CompressPortable(cv, batch.inputs[i] + kBlake3BlockSize * b, kBlake3BlockSize, counter, flags);
        }
        StoreCv(out + 32 * i, cv);
    }
}

// ---------------------------------------------------------------- the hash

namespace {

constexpr std::size_t kChunk = kBlake3ChunkSize;
constexpr std::size_t kBlock = kBlake3BlockSize;
// The most chunks whose chaining values a subtree keeps at once (8 KiB of
// them on the stack): larger subtrees are split in halves first.
constexpr std::size_t kLeafBatch = 256;
static_assert(kBlake3ParallelMinimum >= 2 * kChunk, "a subtree shared out has two halves");

// A parent node's chaining value from the 64 bytes of its children's.
void Parent(const Blake3Routines& r, const std::uint32_t* key, std::uint32_t flags, const std::uint8_t* children,
            std::uint8_t* out)
{
    std::uint32_t cv[8];
    std::memcpy(cv, key, sizeof cv);
    r.compress(cv, children, kBlock, 0, flags | kBlake3Parent);
    StoreCv(out, cv);
}

// `count` whole chunks from `p`, the first with index `chunk`, through the
// hash-many routine: their chaining values to `out`, 32 bytes each.
void HashChunks(const Blake3Routines& r, const std::uint32_t* key, std::uint32_t flags, const std::uint8_t* p,
                std::size_t count, std::uint64_t chunk, std::uint8_t* out)
{
    const std::uint8_t* inputs[kLeafBatch];
    std::uint64_t counters[kLeafBatch];
    for (std::size_t i = 0; i < count; ++i) {
        inputs[i] = p + i * kChunk;
        counters[i] = chunk + i;
    }
    const Blake3Batch batch{inputs, count, kChunk / kBlock, key, counters, flags, kBlake3ChunkStart, kBlake3ChunkEnd};
    r.many(batch, out);
}

// `count` chaining values at `in`, adjacent pairs of them merged into
// count / 2 parents at `out`.
void HashParents(const Blake3Routines& r, const std::uint32_t* key, std::uint32_t flags, const std::uint8_t* in,
                 std::size_t count, std::uint8_t* out)
{
    const std::uint8_t* inputs[kLeafBatch / 2];
    for (std::size_t i = 0; i < count / 2; ++i)
        inputs[i] = in + 64 * i;
    const Blake3Batch batch{inputs, count / 2, 1, key, nullptr, flags | kBlake3Parent, 0, 0};
    r.many(batch, out);
}

// What a subtree's computation needs besides its bytes.
struct Tree {
    const Blake3Routines& r;
    const std::uint32_t* key;
    std::uint32_t flags;
};

// The chaining value of the subtree of `size` chunks (a power of two) from
// `p`, the first with index `chunk`, to `out`; with `splitTop`, its two
// halves' (64 bytes) instead, for a subtree that may be the whole message,
// whose top node must wait for the ROOT flag. Up to `threads` threads.
void Subtree(const Tree& t, const std::uint8_t* p, std::size_t size, std::uint64_t chunk, unsigned threads,
             bool splitTop, std::uint8_t* out)
{
    const unsigned away = threads > 1 && size * kChunk >= kBlake3ParallelMinimum ? threads / 2 : 0;
    if (size <= kLeafBatch && away == 0) {
        // Level by level, each in as few calls of the lanes as it takes.
        alignas(64) std::uint8_t level[2][kLeafBatch * 32];
        HashChunks(t.r, t.key, t.flags, p, size, chunk, level[0]);
        std::size_t nodes = size;
        int at = 0;
        const std::size_t top = splitTop ? 2 : 1;
        while (nodes > top) {
            HashParents(t.r, t.key, t.flags, level[at], nodes, level[at ^ 1]);
            nodes /= 2;
            at ^= 1;
        }
        std::memcpy(out, level[at], 32 * top);
        return;
    }
    const std::size_t half = size / 2;
    alignas(64) std::uint8_t children[64];
    const std::uint8_t* right = p + half * kChunk;
    std::optional<std::jthread> helper;
    if (away > 0) {
        try {
            helper.emplace([&] { Subtree(t, p, half, chunk, away, false, children); });
        } catch (const std::system_error&) {
            // No thread to be had: the left half is done here below.
        } catch (const std::bad_alloc&) {
        }
    }
    if (!helper)
        Subtree(t, p, half, chunk, 1, false, children);
    Subtree(t, right, half, chunk + half, away > 0 ? threads - away : 1, false, children + 32);
    helper.reset();  // joins: the left half is in
    if (splitTop)
        std::memcpy(out, children, 64);
    else
        Parent(t.r, t.key, t.flags, children, out);
}

// Merges the finished subtrees on the stack while they hold more than the
// set bits of `chunks`: what a chunk with that index finds complete before
// it. Merging is only done once something is known to follow, so that the
// top node is left for Final and its ROOT flag.
void MergeStack(Blake3State& s, const Blake3Routines& r, std::uint64_t chunks)
{
    const auto keep = static_cast<std::size_t>(std::popcount(chunks));
    while (s.depth > keep) {
        std::uint8_t* const left = s.stack[s.depth - 2];
        Parent(r, s.key, s.flags, left, left);
        --s.depth;
    }
}

// A finished subtree that starts at chunk `chunk`.
void Push(Blake3State& s, const Blake3Routines& r, const std::uint8_t* cv, std::uint64_t chunk)
{
    MergeStack(s, r, chunk);
    std::memcpy(s.stack[s.depth], cv, 32);
    ++s.depth;
}

// `count` whole chunks of the message from `p`, starting at the state's
// chunk, which holds no bytes yet; `more` says bytes follow them in this
// update. Large aligned subtrees go through Subtree; a few chunks, or chunks
// up to the next aligned one, through one call of the lanes, their chaining
// values pushed one by one.
void PushChunks(Blake3State& s, const Blake3Routines& r, const std::uint8_t* p, std::size_t count, bool more,
                unsigned threads)
{
    const std::size_t width = r.width;
    const Tree tree{r, s.key, s.flags};
    while (count > 0) {
        const std::uint64_t chunk = s.chunk;
        std::size_t done;
        if (count < 2 * width || chunk % width != 0) {
            done = std::min<std::size_t>(count, width - static_cast<std::size_t>(chunk % width));
            alignas(64) std::uint8_t cvs[kLeafBatch * 32];
            HashChunks(r, s.key, s.flags, p, done, chunk, cvs);
            for (std::size_t i = 0; i < done; ++i)
                Push(s, r, cvs + 32 * i, chunk + i);
        } else {
            done = std::bit_floor(count);
            if (chunk != 0)
                done = std::min<std::size_t>(done, static_cast<std::size_t>(chunk & (~chunk + 1)));
            alignas(64) std::uint8_t cvs[64];
            if (chunk == 0 && done == count && !more) {
                // Perhaps the whole message: its halves wait on the stack.
                Subtree(tree, p, done, chunk, threads, true, cvs);
                Push(s, r, cvs, chunk);
                Push(s, r, cvs + 32, chunk + done / 2);
            } else {
                Subtree(tree, p, done, chunk, threads, false, cvs);
                Push(s, r, cvs, chunk);
            }
        }
        s.chunk += done;
        p += done * kChunk;
        count -= done;
    }
}

// Bytes into the current chunk, at most what it has room for. Its last
// block waits in `block` until more bytes come: it may need CHUNK_END.
void ChunkUpdate(Blake3State& s, const Blake3Routines& r, const std::uint8_t* p, std::size_t n)
{
    while (n > 0) {
        if (s.blockLength == kBlock) {
            r.compress(s.cv, s.block, kBlock, s.chunk, s.flags | (s.blocksDone == 0 ? kBlake3ChunkStart : 0));
            ++s.blocksDone;
            s.blockLength = 0;
        }
        if (s.blockLength == 0) {
            while (n > kBlock) {
                r.compress(s.cv, p, kBlock, s.chunk, s.flags | (s.blocksDone == 0 ? kBlake3ChunkStart : 0));
                ++s.blocksDone;
                p += kBlock;
                n -= kBlock;
            }
        }
        const std::size_t take = std::min(n, kBlock - s.blockLength);
        std::memcpy(s.block + s.blockLength, p, take);
        s.blockLength = static_cast<std::uint8_t>(s.blockLength + take);
        p += take;
        n -= take;
    }
}

// The current chunk's last block compressed from its chaining value so far,
// with `extra` flags (ROOT for a message of one chunk).
void ChunkOutput(const Blake3State& s, const Blake3Routines& r, std::uint32_t extra, std::uint32_t* cv)
{
    alignas(64) std::uint8_t block[kBlock] = {};
    std::memcpy(block, s.block, s.blockLength);
    std::memcpy(cv, s.cv, 32);
    const std::uint32_t flags = s.flags | kBlake3ChunkEnd | (s.blocksDone == 0 ? kBlake3ChunkStart : 0) | extra;
    r.compress(cv, block, s.blockLength, s.chunk, flags);
}

void ResetChunk(Blake3State& s)
{
    std::memcpy(s.cv, s.key, sizeof s.cv);
    s.blockLength = 0;
    s.blocksDone = 0;
}

void Start(Blake3State& s, const std::uint32_t* key, std::uint32_t flags)
{
    std::memset(&s, 0, sizeof s);
    std::memcpy(s.key, key, sizeof s.key);
    s.flags = flags;
    ResetChunk(s);
}

void Update(Blake3State& s, const Blake3Routines& r, const std::uint8_t* p, std::size_t n, unsigned threads)
{
    while (n > 0) {
        const std::size_t have = std::size_t{s.blocksDone} * kBlock + s.blockLength;
        if (have == kChunk) {
            // The chunk is full and more follows: it is not the root.
            std::uint32_t cv[8];
            ChunkOutput(s, r, 0, cv);
            std::uint8_t bytes[32];
            StoreCv(bytes, cv);
            Push(s, r, bytes, s.chunk);
            ++s.chunk;
            ResetChunk(s);
            continue;
        }
        if (have == 0) {
            // Whole chunks straight from the caller's bytes; only a first
            // chunk that may be the whole message waits in the state.
            std::size_t whole = n / kChunk;
            if (s.chunk == 0 && n == kChunk)
                whole = 0;
            if (whole > 0) {
                PushChunks(s, r, p, whole, n > whole * kChunk, threads);
                p += whole * kChunk;
                n -= whole * kChunk;
                continue;
            }
            // A chunk begins: every subtree before it is complete.
            MergeStack(s, r, s.chunk);
        }
        const std::size_t take = std::min(n, kChunk - have);
        ChunkUpdate(s, r, p, take);
        p += take;
        n -= take;
    }
}

void Final(const Blake3State& s, const Blake3Routines& r, std::uint8_t* digest)
{
    std::uint32_t cv[8];
    alignas(64) std::uint8_t node[64];  // a parent's children
    std::size_t below = s.depth;
    const bool chunkHasBytes = s.blocksDone > 0 || s.blockLength > 0;
    if (chunkHasBytes || s.chunk == 0) {
        // The current chunk is the rightmost leaf (or, empty, the empty message).
        ChunkOutput(s, r, below == 0 ? kBlake3Root : 0, cv);
        if (below == 0) {
            StoreCv(digest, cv);
            return;
        }
        StoreCv(node + 32, cv);
    } else {
        // Every chunk went to the stack, the last subtree on top.
        --below;
        std::memcpy(node + 32, s.stack[below], 32);
    }
    while (below > 0) {
        --below;
        std::memcpy(node, s.stack[below], 32);
        std::memcpy(cv, s.key, 32);
        r.compress(cv, node, kBlock, 0, s.flags | kBlake3Parent | (below == 0 ? kBlake3Root : 0));
        StoreCv(node + 32, cv);
    }
    std::memcpy(digest, node + 32, 32);
}

// A digest b3sum gave for a byte counter mod 251 of `length` bytes, fed in
// two updates split at `split`, keyed with kProofKey or plain.
struct KnownDigest {
    std::size_t length;
    std::size_t split;
    bool keyed;
    std::uint8_t digest[32];
};

// Byte i is 7 i + 3.
constexpr std::uint8_t kProofKey[32] = {3,   10,  17,  24,  31,  38,  45,  52,  59,  66,  73,  80,  87,  94,  101, 108,
                                        115, 122, 129, 136, 143, 150, 157, 164, 171, 178, 185, 192, 199, 206, 213, 220};

// 65 bytes: a chunk of two blocks, the compression alone. 31 744 bytes are
// 31 chunks: every lane, then partly filled calls, the digest from the stack
// alone. 33 793 bytes: a subtree of 32 chunks with its parent nodes in the
// lanes, a chunk in one lane and a byte; keyed, its first byte alone first.
// 32 768 bytes: 32 chunks that may be the whole message, their two halves
// left apart for Final's root.
constexpr KnownDigest kKnownDigests[] = {
    {65, 0, false, {0xDE, 0x1E, 0x5F, 0xA0, 0xBE, 0x70, 0xDF, 0x6D, 0x2B, 0xE8, 0xFF, 0xFD, 0x0E, 0x99, 0xCE, 0xAA,
                    0x8E, 0xB6, 0xE8, 0xC9, 0x3A, 0x63, 0xF2, 0xD8, 0xD1, 0xC3, 0x0E, 0xCB, 0x6B, 0x26, 0x3D, 0xEE}},
    {31744, 0, false, {0x62, 0xB6, 0x96, 0x0E, 0x1A, 0x44, 0xBC, 0xC1, 0xEB, 0x1A, 0x61, 0x1A, 0x8D, 0x62, 0x35, 0xB6,
                       0xB4, 0xB7, 0x8F, 0x32, 0xE7, 0xAB, 0xC4, 0xFB, 0x4C, 0x6C, 0xDC, 0xCE, 0x94, 0x89, 0x5C, 0x47}},
    {33793, 0, false, {0xDF, 0xA4, 0x06, 0x47, 0x3E, 0x24, 0xF8, 0xDE, 0x75, 0x98, 0xB4, 0x7D, 0x2B, 0x1A, 0x60, 0x0C,
                       0x3F, 0xEB, 0x7A, 0xD6, 0x11, 0x1B, 0x54, 0x54, 0xCF, 0x5F, 0x49, 0xCC, 0x08, 0xBD, 0xA0, 0x53}},
    {32768, 0, false, {0x16, 0x21, 0x83, 0xD1, 0xF9, 0x18, 0x44, 0x74, 0xF5, 0xA5, 0xC9, 0xE6, 0x22, 0x4E, 0x66, 0x72,
                       0x0C, 0xDB, 0x65, 0x23, 0xF8, 0x22, 0xE5, 0x2D, 0x9B, 0x1E, 0xFA, 0x30, 0x89, 0x3F, 0x48, 0xF9}},
    {33793, 1, true, {0xD8, 0x16, 0x9E, 0x76, 0xF4, 0x60, 0x05, 0x49, 0xDC, 0x2A, 0x3C, 0xFF, 0xA2, 0x99, 0x14, 0xDA,
                      0x6C, 0xF4, 0xC6, 0x75, 0xB9, 0xE2, 0xBE, 0x31, 0x68, 0x89, 0xF3, 0x24, 0xF5, 0x06, 0xEF, 0x3C}},
};

}  // namespace

void Blake3Init(Blake3State& state)
{
    Start(state, kBlake3Iv, 0);
}

void Blake3InitKeyed(Blake3State& state, const std::uint8_t* key32)
{
    std::uint32_t key[8];
    for (int i = 0; i < 8; ++i)
        key[i] = LoadLe32(key32 + 4 * i);
    Start(state, key, kBlake3KeyedHash);
}

void Blake3Update(Blake3State& state, const std::uint8_t* bytes, std::size_t size)
{
    if (size > 0)
        Update(state, RoutineInUse<Blake3Path>(), bytes, size, 1);
}

void Blake3Update(Blake3State& state, const std::uint8_t* bytes, std::size_t size, unsigned threads)
{
    if (size > 0)
        Update(state, RoutineInUse<Blake3Path>(), bytes, size, std::max(threads, 1u));
}

void Blake3SubtreeCv(const Blake3State& state, const std::uint8_t* bytes, std::size_t size, std::uint64_t firstChunk,
                     std::uint8_t* cv32)
{
    const Tree tree{RoutineInUse<Blake3Path>(), state.key, state.flags};
    Subtree(tree, bytes, size / kChunk, firstChunk, 1, false, cv32);
}

void Blake3PushSubtree(Blake3State& state, const std::uint8_t* cv32, std::size_t size)
{
    Push(state, RoutineInUse<Blake3Path>(), cv32, state.chunk);
    state.chunk += size / kChunk;
}

bool Blake3TakesSubtree(const Blake3State& state, std::size_t size) noexcept
{
    const std::size_t chunks = size / kChunk;
    return size % kChunk == 0 && std::has_single_bit(chunks) && state.blocksDone == 0 && state.blockLength == 0 &&
           state.chunk % chunks == 0;
}

void Blake3Final(const Blake3State& state, std::uint8_t* digest32)
{
    Final(state, RoutineInUse<Blake3Path>(), digest32);
}

bool ProvesItself(const Blake3Routines& routines)
{
    if (routines.compress == nullptr || routines.many == nullptr || routines.width == 0 ||
        routines.width > kLeafBatch / 2)
        return false;
    // Static rather than on the stack of whichever thread hashes first; the
    // choice runs once, under its once_flag.
    alignas(64) static std::uint8_t buffer[64 + 33793];
    std::uint8_t* const message = buffer + 1;
    for (std::size_t i = 0; i < 33793; ++i)
        message[i] = static_cast<std::uint8_t>(i % 251);
    for (const KnownDigest& known : kKnownDigests) {
        Blake3State state;
        if (known.keyed)
            Blake3InitKeyed(state, kProofKey);
        else
            Blake3Init(state);
        Update(state, routines, message, known.split, 1);
        Update(state, routines, message + known.split, known.length - known.split, 1);
        std::uint8_t digest[32];
        Final(state, routines, digest);
        if (std::memcmp(digest, known.digest, sizeof digest) != 0)
            return false;
    }
    return true;
}

// ---------------------------------------------------------------- the choice

template <>
constexpr PathEntry<Blake3Path> kPathRows<Blake3Path>[] = {
    {Blake3Path::Portable, "portable", {Blake3CompressPortable, Blake3ManyPortable, 1}, &CpuFeatures::everywhere},
    {Blake3Path::Avx2, "AVX2", {Blake3CompressPortable, VELLUMARK_X86_ONLY(Blake3ManyAvx2), 8}, &CpuFeatures::avx2},
    {Blake3Path::Avx512,
     "AVX-512",
     {Blake3CompressPortable, VELLUMARK_X86_ONLY(Blake3ManyAvx512), 16},
     &CpuFeatures::avx512f},
};

// Each family's choice, compiled here and nowhere else.
template class PathChoice<Blake3Path>;

}  // namespace engine
