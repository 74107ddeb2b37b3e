// CRC-32 by folding 128 bits at a time with PCLMULQDQ. Built with -mpclmul
// and called only where the CPU has it (digest_paths.cpp); it includes
// nothing that could bring a shared inline function into this file. The
// fold is crc32_fold.h's.
#include "engine/digest_paths.h"

#if defined(VELLUMARK_ENGINE_X86)

#include "engine/crc32_fold.h"

namespace engine {

std::uint32_t Crc32UpdateClmul(std::uint32_t crc, const std::uint8_t* p, std::size_t length)
{
    // Eight lanes in flight hide the multiplier's latency.
    constexpr int kLanes = 8;
    // Below this the setup and the final reduction cost more than the table.
    if (length < 64)
        return Crc32UpdatePortable(crc, p, length);
    __m128i lane;
    if (length >= kLanes * 16) {
        lane = FoldStrides<16, kLanes>(crc, p, length);
    } else {
        // Too short for eight lanes: one.
        lane = FoldWidth<16>::Enter(FoldWidth<16>::Load(p), crc);
        p += 16;
        length -= 16;
    }
    return FinishFold<16>(lane, p, length);
}

}  // namespace engine

#endif
