#include <climits>

#include <gtest/gtest.h>

#include <QPoint>
#include <QRect>
#include <QSize>

#include "about/placement.h"

namespace {

const QSize kScreen(1024, 768);
const QSize kBox(298, 231);

TEST(AboutBoxPlacement, CentresOverAMainWindowWhollyOnScreen)
{
    // (379 - 298) / 2 = 40 and (334 - 231) / 2 = 51.
    const QRect main(100, 100, 379, 334);
    EXPECT_EQ(AboutBoxPlacement(kBox, main, kScreen), QPoint(140, 151));
    EXPECT_EQ(FirstShowingPlacement(kBox, main), QPoint(140, 151));
}

TEST(AboutBoxPlacement, HalvesTruncateTowardZero)
{
    // (101 - 298) / 2 = -98 and (48 - 231) / 2 = -91; flooring gives -99, -92.
    const QRect main(500, 400, 101, 48);
    EXPECT_EQ(AboutBoxPlacement(kBox, main, kScreen), QPoint(402, 309));
    EXPECT_EQ(FirstShowingPlacement(kBox, main), QPoint(402, 309));
}

TEST(AboutBoxPlacement, StaysOffTheLeftAndTopEdges)
{
    EXPECT_EQ(AboutBoxPlacement(kBox, QRect(-300, -200, 379, 334), kScreen), QPoint(0, 0));
    EXPECT_EQ(AboutBoxPlacement(kBox, QRect(-300, 300, 379, 334), kScreen), QPoint(0, 351));
    EXPECT_EQ(FirstShowingPlacement(kBox, QRect(-300, -200, 379, 334)), QPoint(0, 0));
}

TEST(AboutBoxPlacement, EndsFlushWithTheRightAndBottomEdgesButNotOnTheFirstShowing)
{
    const QRect main(900, 700, 379, 334);
    EXPECT_EQ(AboutBoxPlacement(kBox, main, kScreen), QPoint(1024 - 298, 768 - 231));
    EXPECT_EQ(FirstShowingPlacement(kBox, main), QPoint(940, 751));
}

TEST(AboutBoxPlacement, ABoxLargerThanTheScreenEndsAtANegativePosition)
{
    const QSize big(1200, 900);
    // Clamped to 0 first, then pulled back flush with the right and bottom.
    EXPECT_EQ(AboutBoxPlacement(big, QRect(0, 0, 379, 334), kScreen), QPoint(-176, -132));
    EXPECT_EQ(FirstShowingPlacement(big, QRect(0, 0, 379, 334)), QPoint(0, 0));
}

TEST(AboutBoxPlacement, ExtremeCoordinatesDoNotOverflow)
{
    // Centring a wide box on a window at the far left runs below INT_MIN.
    const QRect main(INT_MIN + 10, INT_MIN + 10, 101, 48);
    EXPECT_EQ(AboutBoxPlacement(kBox, main, kScreen), QPoint(0, 0));
    EXPECT_EQ(FirstShowingPlacement(kBox, main), QPoint(0, 0));
}

}  // namespace
