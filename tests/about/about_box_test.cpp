#include <string>

#include <gtest/gtest.h>

#include <QGuiApplication>
#include <QLabel>
#include <QPushButton>
#include <QScreen>
#include <QTest>
#include <QTimer>

#include "about/about.h"
#include "about/zelhotlabel.h"
#include "about_test_support.h"

namespace {

class AboutBoxTest : public testing::Test {
protected:
    TAboutBox box;
    FakeUrlOpener opener;
    platform::ScopedUrlOpener useFake{opener};
};

TEST_F(AboutBoxTest, IsAFixedDialogWithItsPictureAndACheckedLink)
{
    EXPECT_EQ(box.windowTitle(), "About Vellumark");
    EXPECT_EQ(box.size(), QSize(298, 231));
    EXPECT_EQ(box.minimumSize(), box.maximumSize());
    EXPECT_FALSE(box.windowFlags() & (Qt::WindowMinimizeButtonHint | Qt::WindowMaximizeButtonHint));

    // The picture comes from this library's resources, which must be loaded.
    const QPixmap picture = box.ProgramIcon()->pixmap();
    EXPECT_EQ(picture.size(), QSize(85, 57));
    EXPECT_FALSE(picture.hasAlphaChannel());

    const TZelHotLabel* link = box.Homepage();
    EXPECT_FALSE(link->Loading());
    EXPECT_TRUE(link->URL().startsWith("http://"));
    EXPECT_NE(link->URL(), QString::fromLatin1(DefaultURL));
    EXPECT_EQ(link->Caption(), link->URL());
    EXPECT_TRUE(link->HighlightURL());
    EXPECT_EQ(box.Comments()->text().split('\n').size(), 3);
    EXPECT_TRUE(box.OKButton()->isDefault());
}

TEST_F(AboutBoxTest, EnterClosesWithOkAndEscapeDoesNothing)
{
    bool openAfterEscape = false;
    QTimer::singleShot(0, &box, [&] {
        QTest::keyClick(&box, Qt::Key_Escape);
        openAfterEscape = box.isVisible();
        QTest::keyClick(&box, Qt::Key_Return);
    });
    // Ends a showing the keys failed to end, so a fault cannot hang the test.
    QTimer::singleShot(5000, &box, [&] { box.done(99); });

    EXPECT_EQ(box.exec(), TAboutBox::mrOk);
    EXPECT_TRUE(openAfterEscape);
    EXPECT_FALSE(box.isVisible());
}

TEST_F(AboutBoxTest, TheCloseBoxEndsWithCancelAndTheBoxShowsTheSameNextTime)
{
    box.show();
    const QString address = box.Comments()->text();
    box.close();
    EXPECT_EQ(box.result(), TAboutBox::mrCancel);
    EXPECT_FALSE(box.isVisible());

    box.show();
    EXPECT_EQ(box.Comments()->text(), address);
    EXPECT_EQ(box.Homepage()->palette().color(QPalette::Active, QPalette::WindowText), QColor(0x00, 0x00, 0x80));
    box.OKButton()->click();
    EXPECT_EQ(box.result(), TAboutBox::mrOk);
}

TEST_F(AboutBoxTest, AFailedLinkIsReportedAndTheBoxStaysOpen)
{
    CaughtReports reports;
    opener.Answer(platform::kShellNotOpened);
    box.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&box));
    QTest::mouseClick(box.Homepage(), Qt::LeftButton);

    ASSERT_EQ(opener.opened.size(), 1u);
    ASSERT_EQ(reports.messages.size(), 1u);
    EXPECT_EQ(reports.messages[0], "Can't access URL \"" + box.Homepage()->URL().toStdString() + "\"");
    EXPECT_TRUE(box.isVisible());
}

TEST_F(AboutBoxTest, TheFirstShowingCentresAndLaterShowingsKeepToTheScreen)
{
    const QSize screen = QGuiApplication::primaryScreen()->geometry().size();
    QWidget main;
    main.setGeometry(screen.width() - 100, screen.height() - 100, 379, 334);
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
    box.hide();
}

}  // namespace
