// The progress line's words for a run over many files.

#include "cli/progress.h"

#include <chrono>

#include <gtest/gtest.h>

namespace {

using namespace std::chrono_literals;

TEST(RunProgressText, FilesAndBytesOfTheWholeRunAndTheirTotalsOnceKnown)
{
    const std::uint64_t gb = 1000 * 1000 * 1000;
    // The list is known: files and bytes done of their totals, in the
    // total's unit, and the rate.
    EXPECT_EQ(RunProgressText({1234, 5000, true, 12 * gb / 10, 47 * gb / 10, true}, 1s),
              "1,234 of 5,000 files, 1.2 of 4.7 GB at 1.2 GB/s");
    EXPECT_EQ(RunProgressText({0, 1, true, 0, 3 * gb, true}, 2s), "0 of 1 file, 0.0 of 3.0 GB at 0 B/s");
    EXPECT_EQ(RunProgressText({999999, 1000000, true, 5 * 1000 * 1000, 20 * 1000, true}, 1s),
              "999,999 of 1,000,000 files, 20.0 of 20.0 kB at 5.0 MB/s");
    // Still counting (a walk, a list being read): no totals.
    EXPECT_EQ(RunProgressText({1234, 4000, false, 2 * gb, 3 * gb, true}, 2s), "1,234 files, 2.0 GB at 1.0 GB/s");
    // Standard input among them: no bytes' total.
    EXPECT_EQ(RunProgressText({1, 2, true, 5200 * 1000, 3, false}, 2s), "1 of 2 files, 5.2 MB at 2.6 MB/s");
}

}  // namespace
