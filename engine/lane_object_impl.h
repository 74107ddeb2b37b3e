#pragma once

// The members of LaneObject, for the .cpp files that define a kind's State
// and instantiate its objects there.

#include <utility>

#include "engine/lane_object.h"
#include "engine/path_choice.h"

namespace engine {

template <class State, class Digest>
LaneObject<State, Digest>::LaneObject() : state_(std::make_unique<State>())
{}

template <class State, class Digest>
LaneObject<State, Digest>::~LaneObject() = default;

template <class State, class Digest>
LaneObject<State, Digest>::LaneObject(LaneObject&&) noexcept = default;

template <class State, class Digest>
LaneObject<State, Digest>& LaneObject<State, Digest>::operator=(LaneObject&&) noexcept = default;

template <class State, class Digest>
std::size_t LaneObject<State, Digest>::Width() const noexcept
{
    return state_->width;
}

template <class State, class Digest>
const char* LaneObject<State, Digest>::PathName() const noexcept
{
    return engine::PathName(state_->path);
}

template <class State, class Digest>
void LaneObject<State, Digest>::Feed(std::size_t lane, const std::uint8_t* bytes, std::size_t size)
{
    auto& l = state_->At(lane);
    if (l.phase != State::Phase::Message || l.ended)
        State::Misuse("Feed on a lane that takes no bytes");
    if (l.spanSize > 0)
        State::Misuse("Feed on a lane that still holds bytes");
    if (size > 0)
        state_->Take(lane, bytes, size);
}

template <class State, class Digest>
void LaneObject<State, Digest>::End(std::size_t lane)
{
    auto& l = state_->At(lane);
    if (l.phase != State::Phase::Message || l.ended)
        State::Misuse("End on a lane that takes no bytes");
    l.ended = true;
    state_->Settle(lane);
}

template <class State, class Digest>
LaneReport LaneObject<State, Digest>::Step()
{
    return state_->Step();
}

template <class State, class Digest>
Digest LaneObject<State, Digest>::TakeDigest(std::size_t lane)
{
    return state_->TakeDigest(lane);
}

template <class State, class Digest>
void LaneObject<State, Digest>::Abandon(std::size_t lane)
{
    state_->At(lane);
    state_->Clear(lane);
}

template <class State, class Digest>
LaneReport LaneObject<State, Digest>::Report() const noexcept
{
    return ReportLanes(*state_);
}

}  // namespace engine
