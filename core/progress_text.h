#pragma once

#include <chrono>
#include <cstdint>
#include <string>

// How far a run has come, in words, as the window's status bar and the
// companion's progress line show it: "42% of 1.9 GB at 812 MB/s", or, with
// no total known (a pipe), "1.9 GB at 812 MB/s". Sizes in SI units.
std::string ProgressText(std::uint64_t done, std::uint64_t total, std::chrono::steady_clock::duration elapsed);

// "812 B", "1.5 kB", "812.3 MB", "1.9 GB".
std::string SizeText(double bytes);
