// Sixteen SHA-256 messages side by side, one in each 32-bit lane of the
// AVX-512 registers. Built with -mavx512f -mavx512bw -mavx2 and called only
// where the CPU and the operating system support them (digest_paths.cpp);
// it includes nothing that could bring a shared inline function into this
// file. The rounds are sha2_lanes.h's, as SHA-512's; the loads, transposes,
// word operations and the frame around the rounds are lanes_avx512.h's.
#include "engine/digest_paths.h"

#if defined(VELLUMARK_ENGINE_X86)

#include "engine/lanes_avx512.h"
#include "engine/sha2_lanes.h"

namespace engine {

void Sha256LanesAvx512(Sha256LaneStates& states, const std::uint8_t* const* blocks, LaneMask active, std::size_t count)
{
    using Width = Avx512Lanes<std::uint32_t>;
    RunLanes<Width, Sha2LaneRounds<Width, Sha256Words>>(states, blocks, active, count);
}

}  // namespace engine

#endif
