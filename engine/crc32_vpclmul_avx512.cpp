// CRC-32 by folding 512 bits at a time with VPCLMULQDQ on AVX-512 registers.
// Built with -mvpclmulqdq -mavx512f -mavx2 -mpclmul and called only where
// the CPU and the operating system support them (digest_paths.cpp); it
// includes nothing that could bring a shared inline function into this
// file. The fold is crc32_fold.h's.
#include "engine/digest_paths.h"

#if defined(VELLUMARK_ENGINE_X86)

// GCC 12's AVX-512 headers fill unused lanes from a variable initialised
// with itself, which -Wmaybe-uninitialized reports wherever the intrinsics
// are inlined (GCC bug 105593, mended in GCC 13).
#if defined(__GNUC__) && !defined(__clang__) && __GNUC__ < 13
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif

#include "engine/crc32_fold.h"

namespace engine {

std::uint32_t Crc32UpdateVpclmulAvx512(std::uint32_t crc, const std::uint8_t* p, std::size_t length)
{
    // Four registers of four lanes in flight hide the multiplier's latency.
    constexpr int kRegisters = 4;
    // Short messages gain nothing from the wide registers.
    if (length < 2 * kRegisters * 64)
        return Crc32UpdateVpclmulAvx2(crc, p, length);
    const auto lanes = FoldStrides<64, kRegisters>(crc, p, length);
    return FinishFold<64>(lanes, p, length);
}

}  // namespace engine

#endif
