// Eight SHA-512 messages side by side, one in each 64-bit lane of the
// AVX-512 registers: AVX-512's rotations take one instruction each, and its
// three-way logic one for each of Ch, Maj and the XORs of the sigma
// functions. Built with -mavx512f -mavx512bw -mavx2 and called only where
// the CPU and the operating system support them (digest_paths.cpp); it
// includes nothing that could bring a shared inline function into this
// file. The rounds are sha2_lanes.h's, as SHA-256's; the loads, transposes,
// word operations and the frame around the rounds are lanes_avx512.h's.
//
// The eighty rounds are inlined into one run of code; the build compiles
// this file optimised even in debug builds, where inlined steps would each
// keep their values in slots of their own, a frame past the lanes' scrub.
#include "engine/digest_paths.h"

#if defined(VELLUMARK_ENGINE_X86)

#include "engine/lanes_avx512.h"
#include "engine/sha2_lanes.h"

namespace engine {

void Sha512LanesAvx512(Sha512LaneStates& states, const std::uint8_t* const* blocks, LaneMask active, std::size_t count)
{
    using Width = Avx512Lanes<std::uint64_t>;
    RunLanes<Width, Sha2LaneRounds<Width, Sha512Words>>(states, blocks, active, count);
}

}  // namespace engine

#endif
