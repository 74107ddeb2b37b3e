#pragma once

// The frame that every lane kernel runs its rounds in, whatever its vector
// width: the lanes' block pointers, the chaining words loaded once, then
// block after block loaded, transposed, given to the kernel's rounds and
// added in, and at the end only the lanes that ran written back. For the
// lane kernels' files alone, through lanes_avx2.h and lanes_avx512.h: all of
// it is in an unnamed namespace, so each of those files compiles a copy of
// its own with its own instruction set (see digest_paths.h).
//
// A width supplies:
//   Vector, kLanes        its register and how many lanes one holds;
//   Load(words)           one word of every lane from the states;
//   Add(x, y)             lane by lane, in the state's word size;
//   Keep(active)          the lanes to write back, as Store takes them;
//   Store(words, keep, v) one word of the lanes kept back into the states;
//   LoadTransposed<kBigEndian>(p, x)
//                         one block of every lane into sixteen registers,
//                         x[i] word i of every lane.
// A kernel supplies kBigEndian (how its message words are read) and
// Rounds(v, x): one block's rounds on the chaining words v, without the
// final addition, from the message words x, which it may overwrite.

#include "engine/digest_paths.h"

#define LANE_STEP [[gnu::always_inline]] inline

namespace engine {
namespace {

template <class Width, class Kernel, std::size_t kWords, class Word>
LANE_STEP void RunLanes(LaneStates<kWords, Word>& states, const std::uint8_t* const* blocks, LaneMask active,
                        std::size_t count)
{
    constexpr int kLanes = Width::kLanes;
    constexpr std::size_t kBlock = 16 * sizeof(Word);
    active &= (LaneMask{1} << kLanes) - 1;
    if (active == 0 || count == 0)
        return;
    // Lanes left out read one block of zeros over and over; their results
    // are never stored.
    alignas(64) static const std::uint8_t kIdle[kBlock] = {};
    const std::uint8_t* p[kLanes];
    std::size_t stride[kLanes];
    for (int l = 0; l < kLanes; ++l) {
        const bool on = (active >> l) & 1;
        p[l] = on ? blocks[l] : kIdle;
        stride[l] = on ? kBlock : 0;
    }

    using Vector = typename Width::Vector;
    // The chaining words stay in registers from one block to the next: the
    // loops over them are unrolled before the array is split into its words.
    Vector v[kWords];
#pragma GCC unroll 8
    for (std::size_t i = 0; i < kWords; ++i)
        v[i] = Width::Load(states.words[i]);
    for (; count > 0; --count) {
        Vector x[16];
        Width::template LoadTransposed<Kernel::kBigEndian>(p, x);
        for (int l = 0; l < kLanes; ++l)
            p[l] += stride[l];
        Vector start[kWords];
#pragma GCC unroll 8
        for (std::size_t i = 0; i < kWords; ++i)
            start[i] = v[i];
        Kernel::Rounds(v, x);
#pragma GCC unroll 8
        for (std::size_t i = 0; i < kWords; ++i)
            v[i] = Width::Add(v[i], start[i]);
    }
    const auto keep = Width::Keep(active);
#pragma GCC unroll 8
    for (std::size_t i = 0; i < kWords; ++i)
        Width::Store(states.words[i], keep, v[i]);
}

}  // namespace
}  // namespace engine
