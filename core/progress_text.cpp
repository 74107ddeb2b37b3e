#include "core/progress_text.h"

#include <algorithm>
#include <cstdio>

std::string SizeText(double bytes)
{
    static constexpr const char* kUnits[] = {"B", "kB", "MB", "GB", "TB", "PB", "EB"};
    // On to the next unit once the number would round to 1000: bytes are
    // shown whole, the larger units to one decimal.
    std::size_t unit = 0;
    while (bytes >= (unit == 0 ? 999.5 : 999.95) && unit + 1 < std::size(kUnits)) {
        bytes /= 1000;
        ++unit;
    }
    char text[32];
    std::snprintf(text, sizeof text, unit == 0 ? "%.0f %s" : "%.1f %s", bytes, kUnits[unit]);
    return text;
}

std::string ProgressText(std::uint64_t done, std::uint64_t total, std::chrono::steady_clock::duration elapsed)
{
    std::string text;
    if (total > 0)
        text = std::to_string(static_cast<unsigned>(
                   std::min(100.0, 100.0 * static_cast<double>(done) / static_cast<double>(total)))) +
               "% of " + SizeText(static_cast<double>(total));
    else
        text = SizeText(static_cast<double>(done));
    const double seconds = std::chrono::duration<double>(elapsed).count();
    if (seconds > 0)
        text += " at " + SizeText(static_cast<double>(done) / seconds) + "/s";
    return text;
}
