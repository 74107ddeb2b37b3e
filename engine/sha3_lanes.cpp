// The SHA-3 lane objects: per lane, where its next blocks come from (its own
// block, or the caller's bytes in place) and its padding, queued as a block
// of its own so that it too runs beside the others.
#include "engine/sha3_lanes.h"
#include "engine/lane_object_impl.h"

#include <algorithm>
#include <cstring>
#include <stdexcept>
#include <string>

#include "engine/path_choice.h"
#include "engine/sha3.h"

namespace engine {
template <std::size_t kDigestBytes>
struct Sha3LanesState {
    [[noreturn]] static void Misuse(const char* what) { LaneMisuse("SHA-3 lane digests", what); }

    using Digest = std::array<std::uint8_t, kDigestBytes>;
    static constexpr std::size_t kRate = 200 - 2 * kDigestBytes;

    // Message: taking bytes until End; Final: its last block queued; Done:
    // the digest waits.
    enum class Phase : std::uint8_t { Idle, Message, Final, Done };

    struct Lane {
        // A block begun (`partial` bytes), then completed from a window or
        // padded: queued when whole.
        std::uint8_t own[kRate];
        const std::uint8_t* span;  // the caller's bytes not taken in yet
        std::size_t spanSize;
        std::size_t partial;
        bool queued;
        Phase phase;
        bool ended;
    };

    Sha3LaneStates words;
    Lane lanes[kMaxLanes];
    Sha3LanesFn routine;
    std::size_t width;
    Sha3LanePath path;

    Sha3LanesState()
    {
        path = PathInUse<Sha3LanePath>();
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
        std::memset(&lanes[lane], 0, sizeof lanes[lane]);
        lanes[lane].phase = Phase::Idle;
    }

    bool Working(const Lane& l) const
    {
        return (l.phase == Phase::Message || l.phase == Phase::Final) && (l.queued || l.spanSize >= kRate);
    }

    LaneReport Report() const { return ReportLanes(*this); }

    // After the lane's blocks moved on: what it does next, once nothing
    // whole is left where it was reading.
    void Settle(std::size_t lane)
    {
        Lane& l = lanes[lane];
        if (l.queued)
            return;
        switch (l.phase) {
        case Phase::Message:
            if (l.spanSize >= kRate)
                return;
            // A block begun: copied, so the caller's buffer is free.
            KeepTail(l, l.partial);
            if (!l.ended)
                return;
            // FIPS 202's padding: 0x06 after the message, 0x80 at the end.
            std::memset(l.own + l.partial, 0, kRate - l.partial);
            l.own[l.partial] ^= 0x06;
            l.own[kRate - 1] ^= 0x80;
            l.partial = 0;
            l.queued = true;
            l.phase = Phase::Final;
            return;
        case Phase::Final:
            l.phase = Phase::Done;
            return;
        default:
            return;
        }
    }

    void Start(std::size_t lane)
    {
        At(lane);
        Clear(lane);
        lanes[lane].phase = Phase::Message;
        for (std::size_t i = 0; i < 25; ++i)
            words.words[i][lane] = 0;
    }

    // Feed once LaneObject has checked the call, with bytes to take.
    void Take(std::size_t lane, const std::uint8_t* bytes, std::size_t size)
    {
        Lane& l = lanes[lane];
        if (l.partial > 0) {
            const std::size_t take = std::min(kRate - l.partial, size);
            std::memcpy(l.own + l.partial, bytes, take);
            l.partial += take;
            bytes += take;
            size -= take;
            if (l.partial < kRate)
                return;
            l.partial = 0;
            l.queued = true;
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
            LaneMask active = 0;
            std::size_t count = ~std::size_t{0};
            for (std::size_t i = 0; i < width; ++i) {
                Lane& l = lanes[i];
                if (!Working(l))
                    continue;
                std::size_t available;
                if (l.queued) {
                    blocks[i] = l.own;
                    available = 1;
                } else {
                    blocks[i] = l.span;
                    available = l.spanSize / kRate;
                }
                active |= LaneMask{1} << i;
                count = std::min(count, available);
            }
            if (active == 0)
                break;
            routine(words, blocks, active, count, kRate);
            for (std::size_t i = 0; i < width; ++i) {
                if (((active >> i) & 1) == 0)
                    continue;
                Lane& l = lanes[i];
                if (l.queued) {
                    l.queued = false;
                } else {
                    l.span += count * kRate;
                    l.spanSize -= count * kRate;
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
        if (At(lane).phase != Phase::Done)
            Misuse("TakeDigest on a lane that is not done");
        Digest digest;
        for (std::size_t i = 0; i < kDigestBytes; ++i)
            digest[i] = static_cast<std::uint8_t>(words.words[i / 8][lane] >> (8 * (i % 8)));
        Clear(lane);
        return digest;
    }
};

template <std::size_t kDigestBytes>
void Sha3LaneDigests<kDigestBytes>::Start(std::size_t lane)
{
    this->state_->Start(lane);
}

template class LaneObject<Sha3LanesState<28>, std::array<std::uint8_t, 28>>;
template class LaneObject<Sha3LanesState<32>, std::array<std::uint8_t, 32>>;
template class LaneObject<Sha3LanesState<48>, std::array<std::uint8_t, 48>>;
template class LaneObject<Sha3LanesState<64>, std::array<std::uint8_t, 64>>;
template class Sha3LaneDigests<28>;
template class Sha3LaneDigests<32>;
template class Sha3LaneDigests<48>;
template class Sha3LaneDigests<64>;

}  // namespace engine
