// The About box: its texts and picture, its keys, and where it is placed.
#include <climits>

#include <gtest/gtest.h>

#include <QGuiApplication>
#include <QLabel>
#include <QScreen>
#include <QTest>
#include <QTimer>
#include <QWindow>

#include "about/about.h"
#include "about/placement.h"
#include "about/zelhotlabel.h"

inline void PrintTo(const QPoint& point, std::ostream* os)
{
    *os << '(' << point.x() << ", " << point.y() << ')';
}

namespace {

TEST(AboutBox, ShowsProductVersionMakerAddressLinkAndPicture)
{
    const TAboutBox box;
    EXPECT_EQ(box.windowTitle(), "About Vellumark");
    EXPECT_EQ(box.ProductName()->text(), "Vellumark");
    EXPECT_EQ(box.Version()->text(), "1.2.0");
    EXPECT_EQ(box.Copyright()->text(), "Halvercraft");
    EXPECT_EQ(box.Comments()->text(), "12 Weavers Yard, Mill Lane\nKettlebridge KB4 7RD\nUnited Kingdom");
    const TZelHotLabel* link = box.Homepage();
    EXPECT_FALSE(link->Loading());
    EXPECT_EQ(link->URL(), "http://www.halvercraft.example/");
    EXPECT_EQ(link->Caption(), link->URL());
    EXPECT_TRUE(link->HighlightURL());
    // The picture comes from this library's resources, which must be loaded.
    EXPECT_EQ(box.ProgramIcon()->pixmap().size(), QSize(85, 57));
    EXPECT_EQ(box.minimumSize(), box.maximumSize());
    EXPECT_FALSE(box.windowFlags() & (Qt::WindowMinimizeButtonHint | Qt::WindowMaximizeButtonHint));
}

// Window managers minimise a dialog together with the window it belongs to;
// one that belongs to the whole program could be minimised alone, leaving the
// main window blocked with nothing visible.
TEST(AboutBox, BelongsToTheMainWindowWithoutMinimiseOrMaximise)
{
    QWidget main;
    main.show();
    TAboutBox box;
    box.SetMainWindow(&main);
    box.show();
    ASSERT_NE(box.windowHandle(), nullptr);
    EXPECT_EQ(box.windowHandle()->transientParent(), main.windowHandle());
    const Qt::WindowFlags flags = box.windowHandle()->flags();
    EXPECT_EQ(flags & Qt::WindowType_Mask, Qt::Dialog);
    EXPECT_TRUE(flags & Qt::CustomizeWindowHint) << "only the hints given";
    EXPECT_FALSE(flags & (Qt::WindowMinimizeButtonHint | Qt::WindowMaximizeButtonHint));
    EXPECT_TRUE(flags & Qt::WindowCloseButtonHint);
}

TEST(AboutBox, EnterClosesWithOkEscapeDoesNothingAndTheCloseBoxCancels)
{
    TAboutBox box;
    bool openAfterEscape = false;
    QTimer::singleShot(0, &box, [&] {
        QTest::keyClick(&box, Qt::Key_Escape);
        openAfterEscape = box.isVisible();
        QTest::keyClick(&box, Qt::Key_Return);
    });
    // Ends a showing the keys failed to end, so a fault cannot hang the test.
    QTimer::singleShot(5000, &box, [&] { box.done(99); });
    EXPECT_EQ(box.exec(), 1);
    EXPECT_TRUE(openAfterEscape);

    box.show();
    box.close();
    EXPECT_EQ(box.result(), 2);
    EXPECT_FALSE(box.isVisible());
}

// Halves truncate toward zero; the box is 298x231 and the screen 1024x768.
TEST(AboutBoxPlacement, CentresOverTheMainWindowThenKeepsToTheScreen)
{
    const QSize box(298, 231), big(1200, 900), screen(1024, 768);
    const struct {
        QSize box;
        QRect main;
        QPoint placed, firstShowing;
    } kCases[] = {
        {box, {100, 100, 379, 334}, {140, 151}, {140, 151}},  // wholly on screen: (379-298)/2, (334-231)/2
        {box, {500, 400, 101, 48}, {402, 309}, {402, 309}},   // (101-298)/2 = -98, (48-231)/2 = -91
        {box, {-300, -200, 379, 334}, {0, 0}, {0, 0}},        // past the left and top
        {box, {-300, 300, 379, 334}, {0, 351}, {0, 351}},     // past the left only
        {box, {900, 700, 379, 334}, {726, 537}, {940, 751}},  // past right and bottom: flush, not on first showing
        {big, {0, 0, 379, 334}, {-176, -132}, {0, 0}},        // larger than the screen
        {box, {INT_MIN + 10, INT_MIN + 10, 101, 48}, {0, 0}, {0, 0}},  // no overflow on the way
    };
    for (const auto& c : kCases) {
        SCOPED_TRACE(testing::Message() << "main at " << c.main.x() << "," << c.main.y());
        EXPECT_EQ(AboutBoxPlacement(c.box, c.main, screen), c.placed);
        EXPECT_EQ(FirstShowingPlacement(c.box, c.main), c.firstShowing);
    }
}

TEST(AboutBoxPlacement, TheFirstShowingCentresOnTheMainWindowLaterOnesKeepThePlaceGiven)
{
    const QSize screen = QGuiApplication::primaryScreen()->geometry().size();
    QWidget main;
    main.setGeometry(screen.width() - 100, screen.height() - 100, 379, 334);
    TAboutBox box;
    box.SetMainWindow(&main);

    PlaceAboutBox(box, main);
    const QSize boxSize = box.frameGeometry().size();
    const QPoint flush(screen.width() - boxSize.width(), screen.height() - boxSize.height());
    EXPECT_EQ(box.pos(), flush);
    box.show();
    EXPECT_EQ(box.pos(), FirstShowingPlacement(boxSize, main.frameGeometry()));
    EXPECT_GT(box.pos().x(), flush.x());
    box.hide();

    PlaceAboutBox(box, main);
    box.show();
    EXPECT_EQ(box.pos(), AboutBoxPlacement(box.frameGeometry().size(), main.frameGeometry(), screen));
}

}  // namespace
