// CRC-32 by folding 256 bits at a time with VPCLMULQDQ on AVX2 registers.
// Built with -mvpclmulqdq -mavx2 -mpclmul and called only where the CPU and
// the operating system support them (digest_paths.cpp); it includes nothing
// that could bring a shared inline function into this file. The fold is
// crc32_fold.h's.
#include "engine/digest_paths.h"

#if defined(VELLUMARK_ENGINE_X86)

#include "engine/crc32_fold.h"

namespace engine {

std::uint32_t Crc32UpdateVpclmulAvx2(std::uint32_t crc, const std::uint8_t* p, std::size_t length)
{
    // Eight registers of two lanes in flight hide the multiplier's latency.
    constexpr int kRegisters = 8;
    // Short messages gain nothing from the wide registers.
    if (length < 2 * kRegisters * 32)
        return Crc32UpdateClmul(crc, p, length);
    const auto lanes = FoldStrides<32, kRegisters>(crc, p, length);
    return FinishFold<32>(lanes, p, length);
}

}  // namespace engine

#endif
