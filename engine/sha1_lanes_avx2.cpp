// Eight SHA-1 messages side by side, one in each 32-bit lane of the AVX2
// registers. Built with -mavx2 and called only where the CPU and the
// operating system support it (digest_paths.cpp); it includes nothing that
// could bring a shared inline function into this file. The rounds are
// sha1_lanes.h's; the loads, transposes, word operations and the frame
// around the rounds are lanes_avx2.h's.
#include "engine/digest_paths.h"

#if defined(VELLUMARK_ENGINE_X86)

#include "engine/lanes_avx2.h"
#include "engine/sha1_lanes.h"

namespace engine {

void Sha1LanesAvx2(Sha1LaneStates& states, const std::uint8_t* const* blocks, LaneMask active, std::size_t count)
{
    RunLanes<Avx2Lanes, Sha1LaneRounds<Avx2Lanes>>(states, blocks, active, count);
}

}  // namespace engine

#endif
