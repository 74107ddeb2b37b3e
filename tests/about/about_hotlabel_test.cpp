#include <memory>
#include <string>

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QEnterEvent>
#include <QHelpEvent>
#include <QSignalSpy>
#include <QTest>
#include <QToolTip>
#include <QWidget>

#include "about/zelhotlabel.h"
#include "about_test_support.h"

namespace {

const QString kDefault = QString::fromLatin1(DefaultURL);
const QColor kNavy(0x00, 0x00, 0x80);
const QColor kRed(0xFF, 0x00, 0x00);

QColor ShownColour(const TZelHotLabel& label)
{
    return label.palette().color(QPalette::Active, QPalette::WindowText);
}

void Enter(TZelHotLabel& label)
{
    QEnterEvent event(QPointF(1, 1), QPointF(1, 1), QPointF(1, 1));
    QCoreApplication::sendEvent(&label, &event);
}

void Leave(TZelHotLabel& label)
{
    QEvent event(QEvent::Leave);
    QCoreApplication::sendEvent(&label, &event);
}

std::string RejectionOf(const TZelHotLabel& label, const QString& url)
{
    try {
        label.CheckURL(url);
    } catch (const EZelURLError& error) {
        return error.Message();
    }
    return {};
}

class HotLabelTest : public testing::Test {
protected:
    QWidget window;
    TZelHotLabel* label = new TZelHotLabel(&window);
    FakeUrlOpener opener;
    platform::ScopedUrlOpener useFake{opener};
};

TEST_F(HotLabelTest, AcceptsTheFivePrefixesInAnyAsciiCase)
{
    for (const char* url : {"", "http://example.org/", "HTTP://EXAMPLE.ORG/", "https://example.org/",
                            "Ftp://files.example.org/", "file:///tmp/a.txt", "mailto:someone@example.org",
                            "mailtosomeone", "MailTo"}) {
        EXPECT_EQ(RejectionOf(*label, QString::fromUtf8(url)), "") << url;
    }
}

TEST_F(HotLabelTest, RejectsOtherSchemesBareHostsAndShortPrefixes)
{
    EXPECT_EQ(RejectionOf(*label, "news:comp.lang.misc"), "Protocol not recognised for URL \"news:comp.lang.misc\"");
    for (const char* url : {"www.example.org", "htt", "mailt", "ftp:/", " http://example.org/", "gopher://x"}) {
        EXPECT_NE(RejectionOf(*label, QString::fromUtf8(url)), "") << url;
    }
    // Only A to Z fold: a long s (U+017F) folds to "s" in Unicode but is no "s" here.
    EXPECT_NE(RejectionOf(*label, QString::fromUtf8("http\u017F://example.org/")), "");
}

TEST_F(HotLabelTest, StartsAsANavyUnderlinedLinkToTheDefaultURL)
{
    EXPECT_TRUE(QString::fromLatin1(DefaultURL).startsWith("http://"));
    EXPECT_EQ(label->URL(), kDefault);
    EXPECT_EQ(label->Caption(), kDefault);
    EXPECT_TRUE(label->ValidateURL() && label->CaptionIsURL() && !label->HighlightURL());
    EXPECT_EQ(label->cursor().shape(), Qt::PointingHandCursor);
    EXPECT_EQ(ShownColour(*label), kNavy);
    EXPECT_TRUE(label->font().underline());
    TZelHLFont red = label->Font();
    red.color = kRed;
    EXPECT_EQ(label->HighlightFont(), red);
}

TEST_F(HotLabelTest, CaptionAndURLStayEqualWhileCaptionIsURL)
{
    label->SetURL("https://example.org/a");
    EXPECT_EQ(label->Caption(), "https://example.org/a");
    label->SetCaption("ftp://example.org/b");
    EXPECT_EQ(label->URL(), "ftp://example.org/b");

    EXPECT_THROW(label->SetCaption("www.example.org"), EZelURLError);
    EXPECT_THROW(label->SetURL("news:x"), EZelURLError);
    EXPECT_EQ(label->Caption(), "ftp://example.org/b");
    EXPECT_EQ(label->URL(), "ftp://example.org/b");
}

TEST_F(HotLabelTest, WithCaptionIsURLOffAnyCaptionIsTakenAndTheURLStays)
{
    label->SetCaptionIsURL(false);
    label->SetCaption("Our home page");
    EXPECT_EQ(label->Caption(), "Our home page");
    EXPECT_EQ(label->URL(), kDefault);
    label->SetURL("https://example.org/");
    EXPECT_EQ(label->Caption(), "Our home page");

    label->SetCaptionIsURL(true);
    EXPECT_EQ(label->Caption(), "https://example.org/");
}

TEST_F(HotLabelTest, SwitchingValidationOnOverABadURLResetsToTheDefaultAndRaises)
{
    label->SetValidateURL(false);
    label->SetURL("www.example.org");
    EXPECT_EQ(label->Caption(), "www.example.org");

    EXPECT_THROW(label->SetValidateURL(true), EZelURLError);
    EXPECT_TRUE(label->ValidateURL());
    EXPECT_EQ(label->URL(), kDefault);
    EXPECT_EQ(label->Caption(), kDefault);
}

TEST_F(HotLabelTest, WhileLoadingNothingIsCheckedUntilLoaded)
{
    std::unique_ptr<TZelHotLabel> loaded;
    {
        TZelHotLabel::LayoutLoading loading;
        loaded = std::make_unique<TZelHotLabel>(&window);
    }
    ASSERT_TRUE(loaded->Loading());
    // The way a layout file sets it; the caption is left alone meanwhile.
    loaded->setProperty("URL", QString("www.example.org"));
    EXPECT_EQ(loaded->URL(), "www.example.org");
    EXPECT_EQ(loaded->Caption(), kDefault);
    EXPECT_THROW(loaded->Loaded(), EZelURLError);
    EXPECT_FALSE(loaded->Loading());
    loaded->SetValidateURL(false);
    loaded->SetURL("https://example.org/");
    EXPECT_EQ(loaded->Caption(), "https://example.org/");

}

TEST_F(HotLabelTest, HighlightsRedUnderTheMouseAndKeepsFontChangesForTheLeave)
{
    Enter(*label);
    EXPECT_EQ(ShownColour(*label), kNavy) << "no highlight while HighlightURL is off";

    label->SetHighlightURL(true);
    Enter(*label);
    EXPECT_TRUE(label->Highlighted());
    EXPECT_EQ(ShownColour(*label), kRed);
    EXPECT_EQ(label->Font().color, kNavy);
    Enter(*label);
    Leave(*label);
    EXPECT_FALSE(label->Highlighted());
    EXPECT_EQ(ShownColour(*label), kNavy);

    Enter(*label);
    TZelHLFont green = label->Font();
    green.color = Qt::darkGreen;
    green.font.setBold(true);
    label->SetFont(green);
    EXPECT_EQ(ShownColour(*label), kRed);
    EXPECT_FALSE(label->font().bold());
    EXPECT_EQ(label->Font(), green);
    Leave(*label);
    EXPECT_EQ(ShownColour(*label), QColor(Qt::darkGreen));
    EXPECT_TRUE(label->font().bold());
}

TEST_F(HotLabelTest, ALeaveOnlyUndoesAHighlightThatIsShowing)
{
    label->SetHighlightURL(true);
    Leave(*label);
    EXPECT_EQ(ShownColour(*label), kNavy);
    EXPECT_TRUE(label->font().underline());

    Enter(*label);
    label->SetHighlightURL(false);
    Leave(*label);
    EXPECT_EQ(ShownColour(*label), kNavy);
}

TEST_F(HotLabelTest, OpensOnlyOnAShellResultAbove32ThenRunsTheClickEvent)
{
    QSignalSpy clicked(label, &TZelHotLabel::clicked);
    opener.Answer(32);
    try {
        label->Click();
        ADD_FAILURE() << "a result of 32 must fail";
    } catch (const EZelURLError& error) {
        EXPECT_EQ(error.Message(), "Can't access URL \"http://localhost/\"");
    }
    EXPECT_EQ(clicked.count(), 0);
    EXPECT_EQ(label->URL(), kDefault);

    opener.Answer(33);
    label->Click();
    EXPECT_EQ(opener.opened, (std::vector<QString>{kDefault, kDefault}));
    EXPECT_EQ(clicked.count(), 1);
}

TEST_F(HotLabelTest, DisabledOrEmptyOpensNothingButStillRunsTheClickEvent)
{
    QSignalSpy clicked(label, &TZelHotLabel::clicked);
    label->setEnabled(false);
    label->Click();
    label->setEnabled(true);
    label->SetURL("");
    label->Click();
    EXPECT_TRUE(opener.opened.empty());
    EXPECT_EQ(clicked.count(), 2);
}

TEST_F(HotLabelTest, ALabelWithoutAWindowCannotOpen)
{
    TZelHotLabel lonely;
    lonely.setObjectName("Lonely");
    try {
        lonely.Click();
        ADD_FAILURE() << "expected an exception";
    } catch (const Exception& error) {
        EXPECT_STREQ(error.ClassName(), "Exception");
        EXPECT_EQ(error.Message(), "Control 'Lonely' has no parent window");
    }
    EXPECT_TRUE(opener.opened.empty());
}

TEST_F(HotLabelTest, HintStylesChooseTheHintText)
{
    window.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&window));
    label->setToolTip("Visit us");
    const auto hintShown = [&] {
        QToolTip::hideText();
        EXPECT_TRUE(QTest::qWaitFor([] { return !QToolTip::isVisible(); }));
        QHelpEvent event(QEvent::ToolTip, QPoint(1, 1), label->mapToGlobal(QPoint(1, 1)));
        QCoreApplication::sendEvent(label, &event);
        return QToolTip::isVisible() ? QToolTip::text() : QString();
    };

    EXPECT_EQ(hintShown(), "Visit us");
    label->SetHintStyle(TZelHLHintStyle::hsURL);
    EXPECT_EQ(hintShown(), kDefault);
    label->SetHintStyle(TZelHLHintStyle::hsCustom);
    EXPECT_EQ(hintShown(), "Visit us");
    label->SetOnCustomHint([&](QObject* sender, QString& hint) {
        EXPECT_EQ(sender, label);
        hint += " at home";
    });
    EXPECT_EQ(hintShown(), "Visit us at home");

    CaughtReports reports;
    label->SetOnCustomHint([](QObject*, QString&) { throw Exception("Hint failed"); });
    EXPECT_EQ(hintShown(), "");
    EXPECT_EQ(reports.messages, std::vector<std::string>{"Hint failed"});
    QToolTip::hideText();
}

}  // namespace
