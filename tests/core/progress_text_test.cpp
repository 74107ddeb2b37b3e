// Sizes and progress in words, as the window's status bar and the
// companion's progress line show them.
#include "core/progress_text.h"

#include <gtest/gtest.h>

namespace {

using namespace std::chrono_literals;

// A size moves to the next unit once its one decimal would round to 1000:
// "1000.0 kB" is never shown.
TEST(SizeText, EachSizeInTheLargestUnitBelowAThousandAfterRounding)
{
    EXPECT_EQ(SizeText(0), "0 B");
    EXPECT_EQ(SizeText(999), "999 B");
    EXPECT_EQ(SizeText(999.4), "999 B");
    EXPECT_EQ(SizeText(999.6), "1.0 kB") << "not 1000 B";
    EXPECT_EQ(SizeText(1000), "1.0 kB");
    EXPECT_EQ(SizeText(1540), "1.5 kB");
    EXPECT_EQ(SizeText(999940), "999.9 kB");
    EXPECT_EQ(SizeText(999960), "1.0 MB");
    EXPECT_EQ(SizeText(999960000), "1.0 GB");
    EXPECT_EQ(SizeText(1.9e9), "1.9 GB");
    EXPECT_EQ(SizeText(2e21), "2000.0 EB") << "the largest unit takes what is left";
}

TEST(ProgressText, ShareOfTheTotalWhenKnownAndTheRate)
{
    EXPECT_EQ(ProgressText(420, 1000, 1s), "42% of 1.0 kB at 420 B/s");
    EXPECT_EQ(ProgressText(2000, 1000, 1s), "100% of 1.0 kB at 2.0 kB/s") << "a file that grew";
    EXPECT_EQ(ProgressText(1900000000, 0, 2s), "1.9 GB at 950.0 MB/s");
    EXPECT_EQ(ProgressText(5, 10, 0s), "50% of 10 B");
}

}  // namespace
