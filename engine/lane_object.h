#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <stdexcept>
#include <string>

#include "engine/algorithms.h"

// What every kind of lane object shares (LaneDigests, Blake2Lanes,
// Sha3LaneDigests, Blake3Lanes): the report of where the lanes stand, the
// object that owns a kind's state and hands each call to it, and the one
// interface the table of algorithms makes them behind. The calls and their
// rules are LaneDigests' (lane_digests.h).

namespace engine {

// A set of lanes, bit l for lane l (as in digest_paths.h).
using LaneMask = std::uint32_t;

// What Step leaves for the caller. Idle lanes (never started, or whose
// digest was taken) are in none of the three.
struct LaneReport {
    LaneMask hungry = 0;   // every byte fed is taken in: Feed more, or End
    LaneMask done = 0;     // the digest is ready: TakeDigest
    LaneMask working = 0;  // still has blocks to digest: the next Step goes on with them
};

// How a kind's misuse errors read: "BLAKE2 lanes: End on a lane that ...".
[[noreturn]] inline void LaneMisuse(const char* kind, const char* what)
{
    throw std::logic_error(std::string(kind) + ": " + what);
}

// The bytes of the caller's window that the lane has not taken in (fewer
// than a block), copied into the lane's own block after the `kept` bytes
// it holds, so that the caller's buffer is free again.
template <class Lane>
void KeepTail(Lane& l, std::size_t& kept)
{
    if (l.spanSize > 0)
        std::memcpy(l.own + kept, l.span, l.spanSize);
    kept += l.spanSize;
    l.span = nullptr;
    l.spanSize = 0;
}

// The report of a kind's state, whose lanes each have a phase (Message
// while taking bytes, Done with the digest waiting) and an `ended` flag,
// and which says which lanes have blocks to digest now (Working).
template <class State>
LaneReport ReportLanes(const State& state)
{
    LaneReport r;
    for (std::size_t i = 0; i < state.width; ++i) {
        const auto& l = state.lanes[i];
        const LaneMask bit = LaneMask{1} << i;
        if (state.Working(l))
            r.working |= bit;
        else if (l.phase == State::Phase::Message && !l.ended)
            r.hungry |= bit;
        else if (l.phase == State::Phase::Done)
            r.done |= bit;
    }
    return r;
}

// The calls every kind takes alike, handed to its State, which its own .cpp
// defines (with width, path, Misuse, At, Clear, Settle, Take, Step,
// TakeDigest and Report) and where this template is instantiated; each
// kind adds its own Start. A State that holds key material wipes it in its
// destructor, which also runs when a moved-to object drops the state it had.
template <class State, class Digest>
class LaneObject {
public:
    std::size_t Width() const noexcept;
    // The lane path's name, as the benchmark prints it ("AVX-512", ...).
    const char* PathName() const noexcept;
    void Feed(std::size_t lane, const std::uint8_t* bytes, std::size_t size);
    void End(std::size_t lane);
    LaneReport Step();
    Digest TakeDigest(std::size_t lane);
    void Abandon(std::size_t lane);
    LaneReport Report() const noexcept;

protected:
    LaneObject();
    ~LaneObject();
    LaneObject(LaneObject&&) noexcept;
    LaneObject& operator=(LaneObject&&) noexcept;

    std::unique_ptr<State> state_;
};

// A lane object of any algorithm behind one interface, as the table of
// algorithms makes them (AlgorithmRow::lanes): the calls and rules of
// LaneDigests, the key given to Start (keyed when not null, where the lanes
// take keys) with the digest's length (0 for the algorithm's own; only
// BLAKE2b has others), and the digest handed out as bytes.
class DigestLanes {
public:
    virtual ~DigestLanes() = default;
    virtual std::size_t Width() const noexcept = 0;
    virtual const char* PathName() const noexcept = 0;
    virtual bool TakesKeys() const noexcept = 0;
    virtual void Start(std::size_t lane, const std::string* key, std::size_t digestBytes) = 0;
    virtual void Feed(std::size_t lane, const std::uint8_t* bytes, std::size_t size) = 0;
    virtual void End(std::size_t lane) = 0;
    virtual LaneReport Step() = 0;
    virtual DigestBytes TakeDigest(std::size_t lane) = 0;
    virtual void Abandon(std::size_t lane) = 0;
    virtual LaneReport Report() const noexcept = 0;
};

// Lanes of one kind behind DigestLanes. Kinds without StartKeyed take no
// keys (a keyed message goes through the one-message path). With
// `kOtherLengths` (BLAKE2b), Start gives the lanes the digest's length, its
// longest for 0; the other kinds have one length, and Start leaves it at
// that whatever length it is given.
template <class Lanes, bool kOtherLengths = false>
class LanesBehind final : public DigestLanes {
public:
    std::size_t Width() const noexcept override { return lanes_.Width(); }
    const char* PathName() const noexcept override { return lanes_.PathName(); }
    bool TakesKeys() const noexcept override { return kKeyed; }
    void Start(std::size_t lane, const std::string* key, std::size_t digestBytes) override
    {
        if (key != nullptr) {
            if constexpr (kKeyed)
                lanes_.StartKeyed(lane, *key);
            else
                throw std::logic_error("lane digests: these lanes take no key");
        } else if constexpr (kOtherLengths) {
            if (digestBytes != 0)
                lanes_.Start(lane, digestBytes);
            else
                lanes_.Start(lane);
        } else {
            lanes_.Start(lane);
        }
    }
    void Feed(std::size_t lane, const std::uint8_t* bytes, std::size_t size) override
    {
        lanes_.Feed(lane, bytes, size);
    }
    void End(std::size_t lane) override { lanes_.End(lane); }
    LaneReport Step() override { return lanes_.Step(); }
    DigestBytes TakeDigest(std::size_t lane) override
    {
        const auto digest = lanes_.TakeDigest(lane);
        DigestBytes bytes;
        if constexpr (requires { digest.data(); }) {  // a std::array
            std::memcpy(bytes.bytes.data(), digest.data(), digest.size());
            bytes.size = digest.size();
        } else if constexpr (requires { digest.size; }) {  // a record with its length
            std::memcpy(bytes.bytes.data(), digest.bytes, digest.size);
            bytes.size = digest.size;
        } else {
            std::memcpy(bytes.bytes.data(), digest.bytes, sizeof digest.bytes);
            bytes.size = sizeof digest.bytes;
        }
        return bytes;
    }
    void Abandon(std::size_t lane) override { lanes_.Abandon(lane); }
    LaneReport Report() const noexcept override { return lanes_.Report(); }

private:
    static constexpr bool kKeyed = requires(Lanes& l, const std::string& key) { l.StartKeyed(0, key); };
    Lanes lanes_;
};

template <class Lanes, bool kOtherLengths = false>
std::unique_ptr<DigestLanes> MakeLanes()
{
    return std::make_unique<LanesBehind<Lanes, kOtherLengths>>();
}

}  // namespace engine
