// Sixteen SHA-1 messages side by side, one in each 32-bit lane of the
// AVX-512 registers. Built with -mavx512f -mavx512bw -mavx2 and called only
// where the CPU and the operating system support them (digest_paths.cpp);
// it includes nothing that could bring a shared inline function into this
// file. The rounds are sha1_lanes.h's; the loads, transposes, word
// operations (one VPTERNLOGD for each round function) and the frame around
// the rounds are lanes_avx512.h's.
#include "engine/digest_paths.h"

#if defined(VELLUMARK_ENGINE_X86)

#include "engine/lanes_avx512.h"
#include "engine/sha1_lanes.h"

namespace engine {

void Sha1LanesAvx512(Sha1LaneStates& states, const std::uint8_t* const* blocks, LaneMask active, std::size_t count)
{
    using Width = Avx512Lanes<std::uint32_t>;
    RunLanes<Width, Sha1LaneRounds<Width>>(states, blocks, active, count);
}

}  // namespace engine

#endif
