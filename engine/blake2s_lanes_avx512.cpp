// Sixteen BLAKE2s messages side by side, one in each 32-bit lane of the
// AVX-512 registers. Built with -mavx512f -mavx2 and called only where
// the CPU and the operating system support them (blake2.cpp); it
// includes nothing that could bring a shared inline function into this
// file. The rounds are blake2_lane_rounds.h's, the loads and transposes
// lanes_avx512.h's.
#include "engine/blake2.h"

#if defined(VELLUMARK_ENGINE_X86)

#include "engine/blake2_lanes_avx512.h"

namespace engine {

void Blake2sLanesAvx512(Blake2sLaneStates& states, const std::uint8_t* const* blocks, LaneMask active,
                        std::size_t count, LaneMask last, const std::uint32_t* lastBytes)
{
    RunBlake2Lanes<Avx512Blake2<std::uint32_t>>(states, blocks, active, count, last, lastBytes, kBlake2sIv);
}

}  // namespace engine

#endif
