// The BLAKE2 lane objects: per lane, where its next blocks come from (the
// caller's bytes in place, or the block of its own that it holds back), and
// its last block, flagged, queued so that it too runs side by side.
#include "engine/blake2_lanes.h"
#include "engine/lane_object_impl.h"

#include <algorithm>
#include <cstring>
#include <stdexcept>
#include <string>

#include "engine/blake2.h"
#include "engine/path_choice.h"

namespace engine {
namespace {

template <class Digest>
struct Traits;

template <>
struct Traits<Blake2bDigest> {
    using Word = std::uint64_t;
    using Path = Blake2bLanePath;
    using LanesFn = Blake2bLanesFn;
    static constexpr std::size_t kBlock = kBlake2bBlockSize;
    static constexpr const Word* kIv = kBlake2bIv;
    static Path PathInUse() { return engine::PathInUse<Blake2bLanePath>(); }
};

template <>
struct Traits<Blake2sDigest> {
    using Word = std::uint32_t;
    using Path = Blake2sLanePath;
    using LanesFn = Blake2sLanesFn;
    static constexpr std::size_t kBlock = kBlake2sBlockSize;
    static constexpr const Word* kIv = kBlake2sIv;
    static Path PathInUse() { return engine::PathInUse<Blake2sLanePath>(); }
};

}  // namespace

template <class Digest>
struct Blake2LanesState {
    [[noreturn]] static void Misuse(const char* what) { LaneMisuse("BLAKE2 lanes", what); }

    using T = Traits<Digest>;
    using Word = typename T::Word;
    static constexpr std::size_t kBlock = T::kBlock;

    // Message: taking bytes until End, and their blocks; Last: the last
    // block, padded, waits in `own`; Done: the digest waits.
    enum class Phase : std::uint8_t { Idle, Message, Last, Done };

    struct Lane {
        // The block held back (`held` bytes of it): the last one a window
        // brought, which is the message's last unless more bytes follow.
        alignas(64) std::uint8_t own[kBlock];
        const std::uint8_t* span;  // the caller's bytes not taken in yet
        std::size_t spanSize;
        std::size_t held;
        std::size_t digestSize;
        Phase phase;
        bool ownFull;  // `own` is whole and more bytes followed it: it goes in next, unflagged
        bool ended;
    };

    Blake2LaneStates<Word> words;
    Lane lanes[kMaxLanes];
    typename T::LanesFn routine;
    std::size_t width;
    typename T::Path path;

    Blake2LanesState()
    {
        path = T::PathInUse();
        routine = PathFunction(path);
        width = LaneWidth(path);
        std::memset(&words, 0, sizeof words);
        std::memset(lanes, 0, sizeof lanes);
    }

    Lane& At(std::size_t lane)
    {
        if (lane >= width)
            Misuse("no such lane");
        return lanes[lane];
    }

    void Clear(std::size_t lane)
    {
        std::memset(&lanes[lane], 0, sizeof(Lane));
        for (auto& word : words.h)
            word[lane] = 0;
        words.t[0][lane] = words.t[1][lane] = 0;
        lanes[lane].phase = Phase::Idle;
    }

    // Whole blocks to compress now: the held block once more bytes came, the
    // caller's blocks but the last one, or the flagged last block.
    static bool Working(const Lane& l)
    {
        return (l.phase == Phase::Message && (l.ownFull || l.spanSize > kBlock)) || l.phase == Phase::Last;
    }

    LaneReport Report() const { return ReportLanes(*this); }

    // Once nothing whole is left to compress from the caller's bytes: the
    // rest (up to a block) is copied, so that the caller's buffer is free,
    // and after End it is padded as the last block.
    void Settle(std::size_t lane)
    {
        Lane& l = lanes[lane];
        if (l.phase != Phase::Message || Working(l))
            return;
        KeepTail(l, l.held);
        if (!l.ended)
            return;
        std::memset(l.own + l.held, 0, kBlock - l.held);
        l.phase = Phase::Last;
    }

    void Start(std::size_t lane, std::size_t digestSize)
    {
        At(lane);
        if (digestSize == 0 || digestSize > sizeof(Digest::bytes))
            Misuse("Start with a digest length BLAKE2 does not give");
        Clear(lane);
        Lane& l = lanes[lane];
        l.phase = Phase::Message;
        l.digestSize = digestSize;
        // The unkeyed sequential parameter block: digest length, fanout 1, depth 1.
        for (std::size_t w = 0; w < 8; ++w)
            words.h[w][lane] = T::kIv[w];
        words.h[0][lane] ^= static_cast<Word>(0x01010000u | digestSize);
    }

    // Feed once LaneObject has checked the call, with bytes to take.
    void Take(std::size_t lane, const std::uint8_t* bytes, std::size_t size)
    {
        Lane& l = lanes[lane];
        if (l.held > 0) {
            const std::size_t take = std::min(kBlock - l.held, size);
            std::memcpy(l.own + l.held, bytes, take);
            l.held += take;
            bytes += take;
            size -= take;
            if (size == 0)
                return;
            // Bytes follow the held block: it is not the last.
            l.ownFull = true;
            l.held = 0;
        }
        l.span = bytes;
        l.spanSize = size;
        Settle(lane);
    }

    LaneReport Step()
    {
        const LaneReport before = Report();
        for (;;) {
            const std::uint8_t* blocks[kMaxLanes];
            std::uint32_t lastBytes[kMaxLanes];
            LaneMask active = 0, last = 0;
            std::size_t count = ~std::size_t{0};
            for (std::size_t i = 0; i < width; ++i) {
                Lane& l = lanes[i];
                if (!Working(l))
                    continue;
                std::size_t available = 1;
                if (l.phase == Phase::Last) {
                    blocks[i] = l.own;
                    lastBytes[i] = static_cast<std::uint32_t>(l.held);
                    last |= LaneMask{1} << i;
                } else if (l.ownFull) {
                    blocks[i] = l.own;
                } else {
                    blocks[i] = l.span;
                    available = (l.spanSize - 1) / kBlock;
                }
                active |= LaneMask{1} << i;
                count = std::min(count, available);
            }
            if (active == 0)
                break;
            routine(words, blocks, active, count, last, lastBytes);
            for (std::size_t i = 0; i < width; ++i) {
                if (((active >> i) & 1) == 0)
                    continue;
                Lane& l = lanes[i];
                if (l.phase == Phase::Last) {
                    l.phase = Phase::Done;
                } else if (l.ownFull) {
                    l.ownFull = false;
                } else {
                    l.span += count * kBlock;
                    l.spanSize -= count * kBlock;
                }
                Settle(i);
            }
            if ((before.working & ~Report().working) != 0)
                break;
        }
        return Report();
    }

    Digest TakeDigest(std::size_t lane)
    {
        Lane& l = At(lane);
        if (l.phase != Phase::Done)
            Misuse("TakeDigest on a lane that is not done");
        Digest digest{};
        std::uint8_t all[8 * sizeof(Word)];
        for (std::size_t w = 0; w < 8; ++w)
            for (std::size_t b = 0; b < sizeof(Word); ++b)
                all[sizeof(Word) * w + b] = static_cast<std::uint8_t>(words.h[w][lane] >> (8 * b));
        std::memcpy(digest.bytes, all, l.digestSize);
        digest.size = l.digestSize;
        Clear(lane);
        return digest;
    }
};

template <class Digest>
void Blake2Lanes<Digest>::Start(std::size_t lane, std::size_t digestSize)
{
    this->state_->Start(lane, digestSize);
}

template class LaneObject<Blake2LanesState<Blake2bDigest>, Blake2bDigest>;
template class LaneObject<Blake2LanesState<Blake2sDigest>, Blake2sDigest>;
template class Blake2Lanes<Blake2bDigest>;
template class Blake2Lanes<Blake2sDigest>;

}  // namespace engine
