// The link label: the URL check, how Caption, URL and ValidateURL go
// together, the highlight, opening through the shell, and the hints.
#include <chrono>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QEnterEvent>
#include <QFile>
#include <QHelpEvent>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QToolTip>
#include <QWidget>

#include "about/desktopopener.h"
#include "about/zelhotlabel.h"
#include "platform/ui/guard.h"
#include "platform/ui/shell.h"

// Readable failures: gtest prints Qt values through these.
inline void PrintTo(const QString& text, std::ostream* os)
{
    *os << '"' << text.toStdString() << '"';
}
inline void PrintTo(const QColor& colour, std::ostream* os)
{
    *os << colour.name().toStdString();
}

namespace {

const QString kDefault = QString::fromLatin1(DefaultURL);
const QColor kNavy(0x00, 0x00, 0x80);
const QColor kRed(0xFF, 0x00, 0x00);

// Stands in for the desktop: records what it is asked to open and answers with `result`.
struct FakeUrlOpener final : platform::UrlOpener {
    int Open(std::uintptr_t /*owner*/, const QString& url) override
    {
        opened.push_back(url);
        return result;
    }
    int result = platform::kShellOpened;
    std::vector<QString> opened;
};

// "Class: message" of what the action raises, or "" when it raises nothing.
template <class Action>
std::string FailureOf(Action&& action)
{
    try {
        action();
    } catch (const Exception& error) {
        return std::string(error.ClassName()) + ": " + error.Message();
    }
    return {};
}

class HotLabelTest : public testing::Test {
protected:
    HotLabelTest()
    {
        platform::SetErrorReporter([this](const Exception& e) { reports.push_back(e.Message()); });
    }
    ~HotLabelTest() override { platform::SetErrorReporter({}); }

    QColor Shown() const { return label->palette().color(QPalette::Active, QPalette::WindowText); }
    void Send(QEvent&& event) { QCoreApplication::sendEvent(label, &event); }
    void Enter() { Send(QEnterEvent(QPointF(1, 1), QPointF(1, 1), QPointF(1, 1))); }
    void Leave() { Send(QEvent(QEvent::Leave)); }

    QWidget window;
    TZelHotLabel* label = new TZelHotLabel(&window);
    FakeUrlOpener opener;
    platform::ScopedUrlOpener useFake{opener};
    std::vector<std::string> reports;
};

TEST_F(HotLabelTest, URLCheckTakesFivePrefixesInAsciiCaseOnly)
{
    const struct {
        const char* url;
        bool accepted;
    } kCases[] = {
        {"", true},
        {"HTTP://EXAMPLE.ORG/", true},
        {"https://example.org/", true},
        {"Ftp://files.example.org/", true},
        {"file:///tmp/a.txt", true},
        {"mailtosomeone", true},
        {"MailTo:someone@example.org", true},
        {"news:comp.lang.misc", false},
        {"www.example.org", false},
        {"htt", false},
        {"mailt", false},
        {"ftp:/", false},
        {" http://example.org/", false},
        // A long s (U+017F) folds to "s" in Unicode, but only A to Z fold here.
        {"http\u017F://example.org/", false},
    };
    for (const auto& [url, accepted] : kCases) {
        const std::string rejection = "EZelURLError: Protocol not recognised for URL \"" + std::string(url) + "\"";
        EXPECT_EQ(FailureOf([&] { label->CheckURL(QString::fromUtf8(url)); }), accepted ? "" : rejection) << url;
    }
}

TEST_F(HotLabelTest, CaptionURLAndValidateURLInTheirSettingOrders)
{
    // A hand-cursor, underlined link to the default URL; caption and URL are one.
    EXPECT_EQ(label->URL(), kDefault);
    EXPECT_EQ(label->Caption(), kDefault);
    EXPECT_EQ(label->cursor().shape(), Qt::PointingHandCursor);
    EXPECT_TRUE(label->font().underline());

    label->SetURL("https://example.org/a");
    EXPECT_EQ(label->Caption(), "https://example.org/a");
    label->SetCaption("ftp://example.org/b");
    EXPECT_EQ(label->URL(), "ftp://example.org/b");
    // A rejected caption or URL raises and changes neither.
    EXPECT_THROW(label->SetCaption("www.example.org"), EZelURLError);
    EXPECT_THROW(label->SetURL("news:x"), EZelURLError);
    EXPECT_EQ(label->Caption(), "ftp://example.org/b");
    EXPECT_EQ(label->URL(), "ftp://example.org/b");

    // With CaptionIsURL off any caption is taken and the URL stays.
    label->SetCaptionIsURL(false);
    label->SetCaption("Our home page");
    EXPECT_EQ(label->Caption(), "Our home page");
    EXPECT_EQ(label->URL(), "ftp://example.org/b");
    label->SetURL("https://example.org/");
    EXPECT_EQ(label->Caption(), "Our home page");
    label->SetCaptionIsURL(true);
    EXPECT_EQ(label->Caption(), "https://example.org/");

    // Validation switched on over a bare host raises and puts the default URL back.
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
    TZelHotLabel* loaded = nullptr;
    {
        TZelHotLabel::LayoutLoading loading;
        loaded = new TZelHotLabel(&window);
    }
    ASSERT_TRUE(loaded->Loading());
    // Set the way a layout file sets it; the caption waits for Loaded().
    EXPECT_TRUE(loaded->setProperty("URL", QString("www.example.org")));
    EXPECT_EQ(loaded->URL(), "www.example.org");
    EXPECT_EQ(loaded->Caption(), kDefault);
    EXPECT_THROW(loaded->Loaded(), EZelURLError);
    EXPECT_FALSE(loaded->Loading());
    EXPECT_THROW(loaded->SetURL("news:x"), EZelURLError);
}

TEST_F(HotLabelTest, HighlightsRedUnderTheMouseAndKeepsAFontSetMeanwhileForTheLeave)
{
    Enter();
    EXPECT_EQ(Shown(), kNavy) << "no highlight while HighlightURL is off";
    label->SetHighlightURL(true);
    Leave();
    EXPECT_EQ(Shown(), kNavy) << "a leave with no highlight showing changes nothing";

    Enter();
    EXPECT_EQ(Shown(), kRed);
    EXPECT_EQ(label->Font().color, kNavy);
    Enter();
    Leave();
    EXPECT_EQ(Shown(), kNavy);

    Enter();
    TZelHLFont green = label->Font();
    green.color = Qt::darkGreen;
    green.font.setBold(true);
    label->SetFont(green);
    EXPECT_EQ(Shown(), kRed);
    EXPECT_EQ(label->Font(), green);
    Leave();
    EXPECT_EQ(Shown(), QColor(Qt::darkGreen));
    EXPECT_TRUE(label->font().bold());

    Enter();
    label->SetHighlightURL(false);
    Leave();
    EXPECT_EQ(Shown(), QColor(Qt::darkGreen)) << "HighlightURL switched off under the mouse";
}

TEST_F(HotLabelTest, OpensOnAShellResultAbove32AndEmitsClickedUnlessOpeningFails)
{
    window.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&window));
    QSignalSpy clicked(label, &TZelHotLabel::clicked);
    opener.result = 32;
    EXPECT_EQ(FailureOf([&] { label->Click(); }), "EZelURLError: Can't access URL \"http://localhost/\"");
    // A mouse click runs through the guard: the failure is reported, not raised.
    QTest::mouseClick(label, Qt::LeftButton);
    EXPECT_EQ(reports, std::vector<std::string>{"Can't access URL \"http://localhost/\""});
    EXPECT_EQ(clicked.count(), 0);
    opener.result = 33;
    QTest::mouseClick(label, Qt::LeftButton);
    EXPECT_EQ(opener.opened, (std::vector<QString>{kDefault, kDefault, kDefault}));
    EXPECT_EQ(clicked.count(), 1);

    // Disabled, or without a URL, it opens nothing but still emits clicked.
    label->setEnabled(false);
    label->Click();
    EXPECT_EQ(clicked.count(), 2);
    label->setEnabled(true);
    label->SetURL("");
    label->Click();
    EXPECT_EQ(clicked.count(), 3);
    EXPECT_EQ(opener.opened.size(), 3u);

    TZelHotLabel lonely;
    lonely.setObjectName("Lonely");
    EXPECT_EQ(FailureOf([&] { lonely.Click(); }), "Exception: Control 'Lonely' has no parent window");
    EXPECT_EQ(opener.opened.size(), 3u);
}

// The desktop's own opener, with xdg-open replaced by scripts on PATH: the
// label reports what xdg-open reports, and Qt says nothing on the terminal.
class DesktopOpenerTest : public testing::Test {
protected:
    DesktopOpenerTest()
    {
        platform::SetErrorReporter([this](const Exception& e) { reports.push_back(e.Message()); });
        previousHandler_ = qInstallMessageHandler(&RecordQtMessage);
        QtMessages().clear();
        qputenv("PATH", QFile::encodeName(bin_.path()));
    }
    ~DesktopOpenerTest() override
    {
        qputenv("PATH", path_);
        qInstallMessageHandler(previousHandler_);
        platform::SetErrorReporter({});
    }

    // An xdg-open that writes its arguments next to itself, runs body and
    // exits with its status.
    void FakeXdgOpen(const char* body)
    {
        QFile script(bin_.filePath("xdg-open"));
        ASSERT_TRUE(script.open(QIODevice::WriteOnly));
        script.write(QByteArray("#!/bin/sh\nPATH=/usr/bin:/bin\nprintf '%s\\n' \"$@\" > \"$(dirname \"$0\")/args\"\n") +
                     body + "\n");
        script.close();
        ASSERT_TRUE(script.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));
    }
    QString Arguments() const
    {
        QFile args(bin_.filePath("args"));
        return args.open(QIODevice::ReadOnly) ? QString::fromUtf8(args.readAll()) : QString();
    }
    void Click()
    {
        window.show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(&window));
        QTest::mouseClick(label, Qt::LeftButton);
    }

    static std::vector<std::string>& QtMessages()
    {
        static std::vector<std::string> messages;
        return messages;
    }
    static void RecordQtMessage(QtMsgType, const QMessageLogContext&, const QString& message)
    {
        QtMessages().push_back(message.toStdString());
    }

    QTemporaryDir bin_;
    const QByteArray path_ = qgetenv("PATH");
    QtMessageHandler previousHandler_ = nullptr;
    QWidget window;
    TZelHotLabel* label = new TZelHotLabel(&window);
    QSignalSpy clicked{label, &TZelHotLabel::clicked};
    std::vector<std::string> reports;
};

TEST_F(DesktopOpenerTest, AnXdgOpenThatFailsOrIsMissingIsReportedAsTheLinksFailure)
{
    const std::string failure = "Can't access URL \"" + std::string(DefaultURL) + "\"";
    FakeXdgOpen("exit 0");
    Click();
    EXPECT_EQ(Arguments(), kDefault + "\n") << "the URL alone, as one argument";
    EXPECT_TRUE(reports.empty());
    EXPECT_EQ(clicked.count(), 1);

    FakeXdgOpen("exit 1");  // no handler for the scheme
    Click();
    EXPECT_EQ(Arguments(), kDefault + "\n");
    EXPECT_EQ(reports, std::vector<std::string>{failure});

    QFile::remove(bin_.filePath("xdg-open"));
    Click();
    EXPECT_EQ(reports, (std::vector<std::string>{failure, failure}));
    EXPECT_EQ(clicked.count(), 1) << "a failed open skips the click event";
    EXPECT_EQ(QtMessages(), std::vector<std::string>{});
}

TEST_F(DesktopOpenerTest, AHandlerStillRunningAfterTheWaitHasTakenTheURLAndIsLeftToRun)
{
    // Like a browser started in the foreground: it ends when the test says so.
    FakeXdgOpen(
        "while [ ! -e \"$(dirname \"$0\")/release\" ]; do sleep 0.05; done; echo > \"$(dirname \"$0\")/ended\"");
    DesktopUrlOpener opener(std::chrono::milliseconds(100));
    const platform::ScopedUrlOpener useIt(opener);
    Click();
    EXPECT_TRUE(reports.empty());
    EXPECT_EQ(clicked.count(), 1);
    EXPECT_EQ(DesktopUrlOpener::KeptHandlers(), 1);
    QFile release(bin_.filePath("release"));
    ASSERT_TRUE(release.open(QIODevice::WriteOnly));
    release.close();
    EXPECT_TRUE(QTest::qWaitFor([&] { return QFile::exists(bin_.filePath("ended")); }, 20000)) << "not killed";
    // Released once it has ended: nothing of it is left when the program
    // ends (which the leak checker would report).
    EXPECT_TRUE(QTest::qWaitFor([] { return DesktopUrlOpener::KeptHandlers() == 0; }, 20000)) << "never released";
    EXPECT_EQ(QtMessages(), std::vector<std::string>{});
}

TEST_F(HotLabelTest, HintStylesChooseTheHintText)
{
    window.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&window));
    label->setToolTip("Visit us");
    const auto hint = [&] {
        QToolTip::hideText();
        EXPECT_TRUE(QTest::qWaitFor([] { return !QToolTip::isVisible(); }));
        QHelpEvent event(QEvent::ToolTip, QPoint(1, 1), label->mapToGlobal(QPoint(1, 1)));
        QCoreApplication::sendEvent(label, &event);
        return QToolTip::isVisible() ? QToolTip::text() : QString();
    };
    EXPECT_EQ(hint(), "Visit us");
    label->SetHintStyle(TZelHLHintStyle::hsURL);
    EXPECT_EQ(hint(), kDefault);
    label->SetHintStyle(TZelHLHintStyle::hsCustom);
    EXPECT_EQ(hint(), "Visit us");
    label->SetOnCustomHint([&](QObject* sender, QString& text) { text += sender == label ? " at home" : " from?"; });
    EXPECT_EQ(hint(), "Visit us at home");
    label->SetOnCustomHint([](QObject*, QString&) { throw Exception("Hint failed"); });
    EXPECT_EQ(hint(), "");
    EXPECT_EQ(reports, std::vector<std::string>{"Hint failed"});
    QToolTip::hideText();
}

}  // namespace
