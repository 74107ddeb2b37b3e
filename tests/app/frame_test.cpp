#include <gtest/gtest.h>

#include <QApplication>
#include <QEventLoop>
#include <QLabel>
#include <QMessageBox>
#include <QTimer>
#include <QWindow>

#include "app/frame.h"
#include "app/startup.h"
#include "platform/ui/guard.h"
#include "qt_test_support.h"

namespace {

class Failure : public Exception {
public:
    using Exception::Exception;
    const char* ClassName() const noexcept override { return "EFailure"; }
};

TEST(AppTitle, TakesTheFileNameUpToTheFirstDotWithTheFirstLetterKept)
{
    EXPECT_EQ(AppTitleFromPath("/usr/bin/vellumark"), "vellumark");
    EXPECT_EQ(AppTitleFromPath("/opt/Tools/VELLUMARK"), "Vellumark");
    EXPECT_EQ(AppTitleFromPath("/home/u/a.b.exe"), "a");
    EXPECT_EQ(AppTitleFromPath("relative/Name.sh"), "Name");
    EXPECT_EQ(AppTitleFromPath("NoDirectory"), "Nodirectory");
    EXPECT_EQ(AppTitleFromPath("/x/.hidden"), "");
    // Non-ASCII bytes of a UTF-8 name are left alone.
    EXPECT_EQ(AppTitleFromPath("/x/\xC3\x89T\xC3\x89"), "\xC3\x89t\xC3\x89");
}

TEST(LastChance, NamesClassModuleAndMessageWithItsOwnFullStopRule)
{
    EXPECT_EQ(LastChanceText(Failure("Broken"), "vellumark"),
              "Exception EFailure in module vellumark at 00000000.\r\nBroken.\r\n");
    // Unlike the error box, anything but a final "." gets one.
    EXPECT_EQ(LastChanceText(Failure("Why \"x\""), "m"),
              "Exception EFailure in module m at 00000000.\r\nWhy \"x\".\r\n");
    EXPECT_EQ(LastChanceText(Failure("Done."), "m"), "Exception EFailure in module m at 00000000.\r\nDone.\r\n");
    EXPECT_EQ(LastChanceText(Failure(""), "m"), "Exception EFailure in module m at 00000000.\r\n\r\n");
}

class FrameTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        frame_ = std::make_unique<AppFrameClass>("vellumark");
        frame_->SetPresenter(std::make_unique<RecordingPresenter>(shown_));
    }

    std::vector<RecordingPresenter::Shown> shown_;
    std::unique_ptr<AppFrameClass> frame_;
};

TEST_F(FrameTest, GuardRoutesEscapingFailuresToTheErrorBox)
{
    EXPECT_FALSE(platform::Guard([] { throw Failure("Invalid file name"); }));
    EXPECT_FALSE(platform::Guard([] { throw std::bad_alloc(); }));
    EXPECT_TRUE(platform::Guard([] {}));
    ASSERT_EQ(shown_.size(), 2u);
    EXPECT_EQ(shown_[0].request.caption, "vellumark");
    EXPECT_EQ(shown_[0].request.text, "Invalid file name.");
    EXPECT_EQ(shown_[0].request.style, 0x10u);
    EXPECT_EQ(shown_[1].request.text, "Out of memory.");
}

TEST_F(FrameTest, ErrorBoxAppliesTheFullStopRule)
{
    // The rule itself is tested with its function; here, that the box uses it.
    for (const char* message : {"Really?", "Done.", "Can't access URL \"x\""})
        frame_->ReportError(Exception(message));
    ASSERT_EQ(shown_.size(), 3u);
    EXPECT_EQ(shown_[0].request.text, "Really?.");
    EXPECT_EQ(shown_[1].request.text, "Done.");
    EXPECT_EQ(shown_[2].request.text, "Can't access URL \"x\"");
}

// The real error box: modal, owned by the window it reports for, with
// nothing that could minimise it away from that window, and showing a message
// that quotes a file name looking like markup as it is written.
TEST(ErrorBox, IsADialogOfItsOwnerWithoutMinimiseOrMaximise)
{
    AppFrameClass frame("vellumark");
    QWidget owner;
    owner.show();
    frame.AdoptWindow(std::make_unique<QWidget>());
    QWidget* shown = nullptr;
    Qt::WindowFlags flags;
    QWindow* transientParent = nullptr;
    QString text;
    Qt::TextFormat format = Qt::AutoText;
    QTimer::singleShot(0, [&] {
        shown = QApplication::activeModalWidget();
        if (shown != nullptr) {
            flags = shown->windowHandle()->flags();
            transientParent = shown->windowHandle()->transientParent();
            text = shown->findChild<QLabel*>("qt_msgbox_label")->text();
            if (auto* box = qobject_cast<QMessageBox*>(shown))
                format = box->textFormat();
            shown->close();
        }
    });
    QApplication::setActiveWindow(&owner);
    const std::string message = "Cannot open file \"<h1><font color=green>Checksum*\". No such file or directory";
    frame.ReportError(Exception(message));
    ASSERT_NE(shown, nullptr);
    EXPECT_EQ(text.toStdString(), message + ".");
    EXPECT_EQ(format, Qt::PlainText);
    EXPECT_EQ(transientParent, owner.windowHandle());
    EXPECT_EQ(flags & Qt::WindowType_Mask, Qt::Dialog);
    EXPECT_TRUE(flags & Qt::CustomizeWindowHint) << "only the hints given";
    EXPECT_FALSE(flags & (Qt::WindowMinimizeButtonHint | Qt::WindowMaximizeButtonHint));
    EXPECT_TRUE(flags & Qt::WindowCloseButtonHint);
}

TEST_F(FrameTest, QuitRequestedBeforeTheLoopStartsEndsItAtItsFirstTurn)
{
    auto window = std::make_unique<QWidget>();
    QWidget* main = window.get();
    frame_->AdoptWindow(std::move(window));
    frame_->AdoptWindow(std::make_unique<QWidget>());
    EXPECT_EQ(frame_->MainWindow(), main);

    frame_->RequestQuit();
    EXPECT_FALSE(frame_->Terminated());
    EXPECT_EQ(frame_->Run(), 0);
    EXPECT_TRUE(frame_->Terminated());
}

// A window whose construction fails outside its create handler.
class BrokenWindow : public QWidget {
public:
    BrokenWindow() { throw Failure("Layout damaged"); }
};

// A window whose create handler fails: reported, and the window is kept.
class FailingCreateWindow : public QWidget {
public:
    void FormCreate() { throw Failure("Invalid data type for 'FormTop'"); }
};

TEST_F(FrameTest, ACreateHandlerFailureIsReportedAndStartUpGoesOn)
{
    FailingCreateWindow* reference = nullptr;
    FailingCreateWindow* created = CreateForm(*frame_, reference);
    EXPECT_EQ(reference, created);
    EXPECT_EQ(frame_->MainWindow(), created);
    ASSERT_EQ(shown_.size(), 1u);
    EXPECT_EQ(shown_[0].request.text, "Invalid data type for 'FormTop'");
    EXPECT_FALSE(created->isVisible()) << "reported before the window shows";
}

TEST_F(FrameTest, AFailureEscapingStartUpEndsInTheLastChanceBoxWithExitCodeOne)
{
    BrokenWindow* reference = reinterpret_cast<BrokenWindow*>(this);  // anything but null
    const int code = RunFrame(*frame_, [&] { CreateForm(*frame_, reference); });
    EXPECT_EQ(code, 1);
    EXPECT_EQ(reference, nullptr) << "the reference of a window that failed to build is reset";
    ASSERT_EQ(shown_.size(), 1u);
    EXPECT_EQ(shown_[0].owner, nullptr);
    EXPECT_EQ(shown_[0].request.caption, "Application Error");
    EXPECT_EQ(shown_[0].request.style, 0x2010u);
    EXPECT_EQ(shown_[0].request.text, "Exception EFailure in module frame_test at 00000000.\r\nLayout damaged.\r\n");

    // Something that is not an exception class at all ends the same way.
    EXPECT_EQ(RunFrame(*frame_, [] { throw 42; }), 1);
    ASSERT_EQ(shown_.size(), 2u);
    EXPECT_EQ(shown_[1].request.caption, "Application Error");
    EXPECT_EQ(shown_[1].request.text,
              "Exception Exception in module frame_test at 00000000.\r\nUnknown exception.\r\n");
}

TEST_F(FrameTest, AQuitRequestDiesWithItsFrame)
{
    auto frame = std::make_unique<AppFrameClass>("vellumark");
    frame->RequestQuit();
    frame.reset();
    QCoreApplication::processEvents();  // must not reach the destroyed frame
    EXPECT_FALSE(frame_->Terminated());
}

TEST_F(FrameTest, WindowsAreDestroyedNewestFirst)
{
    std::vector<std::string> destroyed;
    for (const char* name : {"Form1", "AboutBox"}) {
        auto window = std::make_unique<QWidget>();
        window->setObjectName(name);
        QObject::connect(window.get(), &QObject::destroyed, [&destroyed, name] { destroyed.push_back(name); });
        frame_->AdoptWindow(std::move(window));
    }
    frame_->ReleaseWindows();
    EXPECT_EQ(destroyed, (std::vector<std::string>{"AboutBox", "Form1"}));
}

}  // namespace

#include "app/snap.h"

namespace {

TEST(ScreenSnap, PullsEdgesCloserThanTheDistanceOntoTheWorkArea)
{
    const QRect area(0, 30, 1024, 738);  // a panel above the work area
    const QSize size(395, 380);
    auto snap = [&](int x, int y) { return SnapToWorkArea(QRect(QPoint(x, y), size), area, 15); };
    EXPECT_EQ(snap(100, 100), QPoint(100, 100));
    EXPECT_EQ(snap(14, 44), QPoint(0, 30));
    EXPECT_EQ(snap(-14, 16), QPoint(0, 30));
    EXPECT_EQ(snap(15, 45), QPoint(15, 45)) << "exactly the distance away stays";
    EXPECT_EQ(snap(1024 - 395 - 10, 768 - 380 + 7), QPoint(1024 - 395, 768 - 380));
    EXPECT_EQ(snap(1024 - 395 + 14, 200), QPoint(1024 - 395, 200));
}

}  // namespace
