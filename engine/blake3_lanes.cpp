// BLAKE3 lanes: per lane, where its next chunks come from (a chunk of its
// own, or the caller's bytes in place) and its stack of finished subtrees;
// each round hashes every lane's ready chunks in one call of the hash-many
// routine, then merges the lanes' subtrees level by level, a parent node of
// every lane that has one in each call.
#include "engine/blake3_lanes.h"
#include "engine/lane_object_impl.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <stdexcept>
#include <string>

#include "engine/path_choice.h"

namespace engine {
namespace {

constexpr std::size_t kChunk = kBlake3ChunkSize;
constexpr std::size_t kBlock = kBlake3BlockSize;
// The most chunks one lane gives a round: a window of 1 MiB goes in 64
// rounds, each a few calls of the lanes, with its merges between them.
constexpr std::size_t kChunksPerLane = 16;
// The widest hash-many routine's lanes.
constexpr std::size_t kMostLanes = 16;

void StoreCv(std::uint8_t* out, const std::uint32_t* cv)
{
    for (int i = 0; i < 8; ++i)
        for (int j = 0; j < 4; ++j)
            out[4 * i + j] = static_cast<std::uint8_t>(cv[i] >> (8 * j));
}

// A chunk of `size` bytes (0 to 1024) compressed block by block: the last
// chunk of a message that does not end on a chunk boundary, or its only one
// (`extra` then ROOT).
void ChunkOnItsOwn(const Blake3Routines& r, const std::uint8_t* bytes, std::size_t size, std::uint64_t index,
                   std::uint32_t extra, std::uint8_t* out)
{
    std::uint32_t cv[8];
    std::memcpy(cv, kBlake3Iv, sizeof cv);
    const std::size_t blocks = std::max<std::size_t>(1, (size + kBlock - 1) / kBlock);
    for (std::size_t b = 0; b < blocks; ++b) {
        alignas(64) std::uint8_t block[kBlock] = {};
        const std::size_t length = std::min(kBlock, size - b * kBlock);
        if (length > 0)
            std::memcpy(block, bytes + b * kBlock, length);
        std::uint32_t flags = b == 0 ? kBlake3ChunkStart : 0;
        if (b + 1 == blocks)
            flags |= kBlake3ChunkEnd | extra;
        r.compress(cv, block, static_cast<std::uint32_t>(length), index, flags);
    }
    StoreCv(out, cv);
}

}  // namespace

struct Blake3LanesState {
    [[noreturn]] static void Misuse(const char* what) { LaneMisuse("BLAKE3 lanes", what); }

    enum class Phase : std::uint8_t { Idle, Message, Done };

    struct Lane {
        // Finished subtrees, left to right, as Blake3State keeps them.
        alignas(64) std::uint8_t stack[kBlake3MaxDepth][32];
        // The current chunk's bytes when they are copied: a chunk begun in
        // one window, a window's tail, or a first chunk that may be the
        // whole message.
        alignas(64) std::uint8_t own[kChunk];
        std::uint8_t last[32];  // the last chunk's chaining value, when it was hashed on its own
        std::uint8_t digest[32];
        const std::uint8_t* span;  // the caller's bytes not taken in yet
        std::size_t spanSize;
        std::size_t partial;   // bytes in `own`
        std::uint64_t chunks;  // chunks taken: the index of the next
        std::size_t depth;
        // Chaining values waiting to go on the stack, the first of chunk
        // `queueIndex`.
        const std::uint8_t* queue;
        std::size_t queued;
        std::uint64_t queueIndex;
        Phase phase;
        bool ended;
        bool finishing;  // ended, every byte taken: the last chunk is due
        bool folding;    // every chunk on the stack: merging it down to the root
    };

    Lane lanes[kMostLanes];
    Blake3Routines routines;
    Blake3Path path;
    std::size_t width;
    // One round's chunks and their chaining values; one level's parents.
    const std::uint8_t* inputs[kMostLanes * kChunksPerLane];
    std::uint64_t counters[kMostLanes * kChunksPerLane];
    alignas(64) std::uint8_t cvs[kMostLanes * kChunksPerLane * 32];
    alignas(64) std::uint8_t merged[kMostLanes * 32];

    Blake3LanesState()
    {
        path = PathInUse<Blake3Path>();
        routines = PathFunction(path);
        width = std::min(routines.width, kMostLanes);
        std::memset(lanes, 0, sizeof lanes);
    }

    Lane& At(std::size_t lane)
    {
        if (lane >= width)
            Misuse("no such lane");
        return lanes[lane];
    }

    // Its bookkeeping: the stack and the chunk of its own hold nothing
    // secret (no keyed messages here), and are written before they are read.
    void Clear(std::size_t lane)
    {
        Lane& l = lanes[lane];
        l.span = nullptr;
        l.spanSize = 0;
        l.partial = 0;
        l.chunks = 0;
        l.depth = 0;
        l.queue = nullptr;
        l.queued = 0;
        l.queueIndex = 0;
        l.phase = Phase::Idle;
        l.ended = false;
        l.finishing = false;
        l.folding = false;
    }

    // A whole chunk the lane can hash now: not one that may be the whole
    // message (chunk 0 with nothing after it yet).
    static bool HasChunk(const Lane& l)
    {
        if (l.phase != Phase::Message)
            return false;
        if (l.partial == kChunk)
            return l.chunks > 0 || l.spanSize > 0;
        if (l.partial > 0)
            return false;
        return l.spanSize > kChunk || (l.spanSize == kChunk && l.chunks > 0);
    }

    static bool Working(const Lane& l)
    {
        return l.phase == Phase::Message && (HasChunk(l) || l.queued > 0 || l.finishing || l.folding);
    }

    LaneReport Report() const { return ReportLanes(*this); }

    // Once the lane has no chunk to hash: the window's tail into its own
    // chunk, so that the caller's buffer is free, and at the end of the
    // message the last chunk is due.
    void Settle(std::size_t lane) { Settle(lanes[lane]); }
    void Settle(Lane& l)
    {
        if (l.phase != Phase::Message || l.queued > 0 || l.finishing || l.folding || HasChunk(l))
            return;
        KeepTail(l, l.partial);
        if (l.ended)
            l.finishing = true;
    }

    // Chaining values onto the stacks, each after the merges that the chunk
    // it starts at finds complete, and the stacks of ended messages merged
    // down to their roots: a level of every lane per call of the lanes.
    void Merge()
    {
        for (;;) {
            std::size_t parents[kMostLanes], roots[kMostLanes];
            std::size_t parentCount = 0, rootCount = 0;
            for (std::size_t i = 0; i < width; ++i) {
                Lane& l = lanes[i];
                if (l.phase != Phase::Message)
                    continue;
                while (l.queued > 0 && l.depth <= static_cast<std::size_t>(std::popcount(l.queueIndex))) {
                    std::memcpy(l.stack[l.depth++], l.queue, 32);
                    l.queue += 32;
                    --l.queued;
                    ++l.queueIndex;
                }
                if (l.queued > 0)
                    parents[parentCount++] = i;
                else if (l.folding)
                    (l.depth == 2 ? roots[rootCount++] : parents[parentCount++]) = i;
            }
            if (parentCount == 0 && rootCount == 0)
                return;
            for (const bool root : {false, true}) {
                const std::size_t* which = root ? roots : parents;
                const std::size_t count = root ? rootCount : parentCount;
                if (count == 0)
                    continue;
                for (std::size_t k = 0; k < count; ++k) {
                    const Lane& l = lanes[which[k]];
                    inputs[k] = l.stack[l.depth - 2];
                }
                const std::uint32_t flags = kBlake3Parent | (root ? kBlake3Root : 0);
                routines.many({inputs, count, 1, kBlake3Iv, nullptr, flags, 0, 0}, merged);
                for (std::size_t k = 0; k < count; ++k) {
                    Lane& l = lanes[which[k]];
                    if (root) {
                        std::memcpy(l.digest, merged + 32 * k, 32);
                        l.folding = false;
                        l.phase = Phase::Done;
                    } else {
                        std::memcpy(l.stack[l.depth - 2], merged + 32 * k, 32);
                    }
                    --l.depth;
                }
            }
        }
    }

    // The ended lane's last chunk: the whole message when it is the first,
    // and then the digest; otherwise its chaining value goes on the stack,
    // which then folds to the root.
    void Finish(Lane& l)
    {
        l.finishing = false;
        if (l.chunks == 0) {
            ChunkOnItsOwn(routines, l.own, l.partial, 0, kBlake3Root, l.digest);
            l.phase = Phase::Done;
            return;
        }
        if (l.partial > 0) {
            ChunkOnItsOwn(routines, l.own, l.partial, l.chunks, 0, l.last);
            l.queue = l.last;
            l.queued = 1;
            l.queueIndex = l.chunks;
            ++l.chunks;
            l.partial = 0;
        }
        l.folding = true;
    }

    // Every lane's ready chunks, at most kChunksPerLane each, in one call,
    // their merges, and what the lanes do next.
    void Round()
    {
        std::size_t count = 0;
        std::size_t firstItem[kMostLanes], taken[kMostLanes];
        bool ownTaken[kMostLanes];
        for (std::size_t i = 0; i < width; ++i) {
            Lane& l = lanes[i];
            firstItem[i] = count;
            taken[i] = 0;
            ownTaken[i] = false;
            if (!HasChunk(l) || l.queued > 0)
                continue;
            std::size_t n = 0;
            if (l.partial == kChunk) {
                inputs[count + n] = l.own;
                counters[count + n] = l.chunks;
                ++n;
                ownTaken[i] = true;
            }
            for (std::size_t offset = 0; n < kChunksPerLane && l.spanSize - offset >= kChunk; offset += kChunk) {
                const std::uint64_t index = l.chunks + n;
                if (index == 0 && l.spanSize - offset == kChunk)
                    break;  // perhaps the whole message: it waits
                inputs[count + n] = l.span + offset;
                counters[count + n] = index;
                ++n;
            }
            taken[i] = n;
            count += n;
        }
        if (count > 0)
            routines.many({inputs, count, kChunk / kBlock, kBlake3Iv, counters, 0, kBlake3ChunkStart, kBlake3ChunkEnd},
                          cvs);
        for (std::size_t i = 0; i < width; ++i) {
            if (taken[i] == 0)
                continue;
            Lane& l = lanes[i];
            const std::size_t fromSpan = taken[i] - (ownTaken[i] ? 1 : 0);
            if (ownTaken[i])
                l.partial = 0;
            l.span += fromSpan * kChunk;
            l.spanSize -= fromSpan * kChunk;
            l.queue = cvs + 32 * firstItem[i];
            l.queued = taken[i];
            l.queueIndex = l.chunks;
            l.chunks += taken[i];
        }
        Merge();
        bool finished = false;
        for (std::size_t i = 0; i < width; ++i) {
            Lane& l = lanes[i];
            Settle(l);
            if (l.finishing) {
                Finish(l);
                finished = true;
            }
        }
        if (finished)
            Merge();
    }

    LaneReport Step()
    {
        const LaneReport before = Report();
        while (Report().working != 0) {
            Round();
            if ((before.working & ~Report().working) != 0)
                break;
        }
        return Report();
    }

    void Start(std::size_t lane)
    {
        At(lane);
        Clear(lane);
        lanes[lane].phase = Phase::Message;
    }

    // Feed once LaneObject has checked the call, with bytes to take.
    void Take(std::size_t lane, const std::uint8_t* bytes, std::size_t size)
    {
        Lane& l = lanes[lane];
        if (l.partial > 0 && l.partial < kChunk) {
            // A chunk begun in an earlier window is completed at once.
            const std::size_t take = std::min(kChunk - l.partial, size);
            std::memcpy(l.own + l.partial, bytes, take);
            l.partial += take;
            bytes += take;
            size -= take;
        }
        l.span = size > 0 ? bytes : nullptr;
        l.spanSize = size;
        Settle(l);
    }

    Blake3Digest TakeDigest(std::size_t lane)
    {
        Lane& l = At(lane);
        if (l.phase != Phase::Done)
            Misuse("TakeDigest on a lane that is not done");
        Blake3Digest digest;
        std::memcpy(digest.bytes, l.digest, sizeof digest.bytes);
        Clear(lane);
        return digest;
    }
};

void Blake3Lanes::Start(std::size_t lane)
{
    state_->Start(lane);
}

template class LaneObject<Blake3LanesState, Blake3Digest>;

}  // namespace engine
