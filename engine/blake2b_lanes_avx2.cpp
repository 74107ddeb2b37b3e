// Four BLAKE2b messages side by side, one in each 64-bit lane of the
// AVX2 registers. Built with -mavx2 and called only where the CPU and the
// operating system support it (blake2.cpp); it includes nothing that could
// bring a shared inline function into this file. The rounds are
// blake2_lane_rounds.h's, the width blake2_lanes_avx2.h's.
#include "engine/blake2.h"

#if defined(VELLUMARK_ENGINE_X86)

#include "engine/blake2_lanes_avx2.h"

namespace engine {

void Blake2bLanesAvx2(Blake2bLaneStates& states, const std::uint8_t* const* blocks, LaneMask active, std::size_t count,
                      LaneMask last, const std::uint32_t* lastBytes)
{
    RunBlake2Lanes<Avx2Blake2<std::uint64_t>>(states, blocks, active, count, last, lastBytes, kBlake2bIv);
}

}  // namespace engine

#endif
