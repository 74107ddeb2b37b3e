#include "core/held_still.h"

#include <cstring>

void ReadAgainWhole(const platform::SharedReadFile& file, const unsigned char* kept, std::size_t size,
                    std::size_t request, unsigned char* again, RunControl& control)
{
    if (file.ReadAt(0, again, request) != size || std::memcmp(kept, again, size) != 0)
        file.ThrowChanged();
    control.AddDone(size);
}

void ReadAgainByWindows(const platform::SharedReadFile& file, const platform::WindowFingerprint& fingerprint,
                        std::span<const std::uint64_t> fingerprints, std::uint64_t length, unsigned char* buffer,
                        std::size_t windowSize, RunControl& control)
{
    std::uint64_t offset = 0;
    for (const std::uint64_t expected : fingerprints) {
        if (control.Cancelled())
            throw ERunCancelled();
        const std::size_t size = file.ReadAt(offset, buffer, windowSize);
        if (fingerprint.Of(buffer, size) != expected)
            file.ThrowChanged();
        offset += size;
        control.AddDone(size);
    }
    // The first read ended in a short window: so must this one have.
    unsigned char probe = 0;
    if (offset != length || file.ReadAt(offset, &probe, 1) != 0)
        file.ThrowChanged();
}
