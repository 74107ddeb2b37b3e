#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <QCheckBox>
#include <QDir>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QMenuBar>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScreen>
#include <QStatusBar>
#include <QTabWidget>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include "about/about.h"
#include "app/main_form.h"
#include "app/startup.h"
#include "platform/files/file_reader.h"
#include "qt_test_support.h"

namespace {

constexpr const char* kEmptyMd5 = "D41D8CD98F00B204E9800998ECF8427E";
constexpr const char* kEmptySha1 = "DA39A3EE5E6B4B0D3255BFEF95601890AFD80709";
constexpr const char* kAbcMd5 = "900150983CD24FB0D6963F7D28E17F72";
constexpr const char* kAbcSha1 = "A9993E364706816ABA3E25717850C26C9CD0D89D";
constexpr const char* kAbcCrc = "352441C2";

class ScriptedDialog final : public OpenFileDialog {
public:
    explicit ScriptedDialog(std::optional<QString> answer) : answer_(std::move(answer)) {}
    std::optional<QString> Execute(QWidget*) override { return answer_; }

private:
    std::optional<QString> answer_;
};

class MainFormTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(dir_.isValid());
        // Settings go to a folder of the test's own, never the user's.
        qputenv("XDG_CONFIG_HOME", QFile::encodeName(dir_.filePath("config")));
        // As the program does at its start, so that files are read under a lease.
        ASSERT_TRUE(platform::IgnoreLeaseBreakSignal());
        frame_ = std::make_unique<AppFrameClass>("vellumark");
        frame_->SetPresenter(std::make_unique<RecordingPresenter>(shown_));
        form_ = CreateForm(*frame_, Form1);
    }

    template <class T>
    T& Control(const char* name)
    {
        T* control = form_->findChild<T*>(name);
        if (control == nullptr)
            throw std::runtime_error(std::string("no control ") + name);
        return *control;
    }
    QLineEdit& Edit(const char* name) { return Control<QLineEdit>(name); }
    QCheckBox& Tick(const char* name) { return Control<QCheckBox>(name); }
    QString Result(const char* name) { return Edit(name).text(); }

    QString WriteFile(const QString& name, const QByteArray& bytes)
    {
        const QString path = dir_.filePath(name);
        QFile file(path);
        EXPECT_TRUE(file.open(QIODevice::WriteOnly));
        file.write(bytes);
        return path;
    }

    void TickAlgorithms(bool md5, bool sha1, bool crc32)
    {
        Tick("CheckBoxMD5").setChecked(md5);
        Tick("CheckBoxSHA1").setChecked(sha1);
        Tick("CheckBoxCRC32").setChecked(crc32);
    }

    void FillResults()
    {
        Edit("ResultMD5").setText("m");
        Edit("ResultSHA1").setText("s");
        Edit("ResultCRC32").setText("c");
    }

    bool ResultsEmpty()
    {
        return Result("ResultMD5").isEmpty() && Result("ResultSHA1").isEmpty() && Result("ResultCRC32").isEmpty();
    }

    void UseTextPage(const QString& text)
    {
        Control<QTabWidget>("PageControl").setCurrentIndex(1);
        Control<QPlainTextEdit>("MemoText").setPlainText(text);
    }

    void Generate() { QTest::mouseClick(&Control<QPushButton>("BtnGenerate"), Qt::LeftButton); }

    std::vector<std::string> Errors()
    {
        std::vector<std::string> texts;
        for (const auto& shown : shown_)
            texts.push_back(shown.request.text);
        return texts;
    }

    QTemporaryDir dir_;
    std::vector<RecordingPresenter::Shown> shown_;
    std::unique_ptr<AppFrameClass> frame_;
    TForm1* form_ = nullptr;
};

TEST_F(MainFormTest, LayoutFollowsTheDesign)
{
    EXPECT_EQ(form_->objectName(), "Form1");
    EXPECT_EQ(form_->windowTitle(), "Vellumark");
    EXPECT_EQ(Form1, form_);
    EXPECT_EQ(form_->centralWidget()->size(), QSize(379, 334));
    EXPECT_EQ(form_->minimumSize(), form_->maximumSize()) << "the window has a fixed size";
    EXPECT_FALSE(form_->windowFlags() & Qt::WindowMaximizeButtonHint);
    EXPECT_TRUE(form_->windowFlags() & Qt::WindowMinimizeButtonHint);

    const std::vector<std::pair<const char*, QRect>> geometry = {
        {"PageControl", {8, 8, 361, 129}},   {"Label1", {8, 8, 45, 13}},          {"FNEdit", {8, 24, 337, 21}},
        {"BtnBrowse", {272, 48, 75, 25}},    {"Label2", {88, 140, 24, 13}},       {"CheckBoxHMAC", {8, 156, 65, 17}},
        {"EditKeyHMAC", {88, 156, 281, 21}}, {"Bevel1", {0, 188, 387, 2}},        {"CheckBoxMD5", {8, 200, 73, 17}},
        {"ResultMD5", {88, 200, 281, 21}},   {"CheckBoxSHA1", {8, 224, 73, 17}},  {"ResultSHA1", {88, 224, 281, 21}},
        {"CheckBoxCRC32", {8, 248, 73, 17}}, {"ResultCRC32", {88, 248, 281, 21}}, {"BtnGenerate", {296, 280, 75, 25}},
        {"StatusBar1", {0, 315, 379, 19}},
    };
    for (const auto& [name, rect] : geometry) {
        auto* widget = form_->findChild<QWidget*>(name);
        ASSERT_NE(widget, nullptr) << name;
        if (qobject_cast<QLabel*>(widget) != nullptr)
            EXPECT_EQ(widget->pos(), rect.topLeft()) << name << " (labels fit their text)";
        else
            EXPECT_EQ(widget->geometry(), rect) << name;
    }
    EXPECT_TRUE(Edit("ResultMD5").isReadOnly());
    EXPECT_NE(Edit("ResultMD5").focusPolicy(), Qt::NoFocus) << "results can be focused and copied";
    EXPECT_FALSE(Control<QPushButton>("BtnGenerate").isDefault());
    EXPECT_TRUE(Control<QPlainTextEdit>("MemoText").lineWrapMode() == QPlainTextEdit::NoWrap);
    EXPECT_FALSE(Control<QPlainTextEdit>("MemoText").tabChangesFocus());

    // Tab order within the window: page control, HMAC, key, then each tick
    // before its result, and Generate last.
    const std::vector<const char*> order = {"CheckBoxHMAC",  "EditKeyHMAC",  "CheckBoxMD5",
                                            "ResultMD5",     "CheckBoxSHA1", "ResultSHA1",
                                            "CheckBoxCRC32", "ResultCRC32",  "BtnGenerate"};
    for (std::size_t i = 0; i + 1 < order.size(); ++i) {
        QWidget* next = form_->findChild<QWidget*>(order[i])->nextInFocusChain();
        EXPECT_EQ(next->objectName(), order[i + 1]) << "after " << order[i];
    }
}

TEST_F(MainFormTest, StartsAtItsDefaultState)
{
    EXPECT_EQ(form_->pos(), QPoint(20, 20));
    EXPECT_EQ(Control<QTabWidget>("PageControl").currentIndex(), 0);
    EXPECT_TRUE(Tick("CheckBoxMD5").isChecked());
    EXPECT_FALSE(Tick("CheckBoxSHA1").isChecked());
    EXPECT_FALSE(Tick("CheckBoxCRC32").isChecked());
    EXPECT_FALSE(Tick("CheckBoxHMAC").isChecked());
    EXPECT_FALSE(Edit("EditKeyHMAC").isEnabled());
    EXPECT_FALSE(Control<QLabel>("Label2").isEnabled());
    EXPECT_TRUE(ResultsEmpty());
    EXPECT_TRUE(Edit("FNEdit").text().isEmpty());
    form_->show();
    QApplication::setActiveWindow(form_);
    EXPECT_EQ(form_->focusWidget(), &Edit("FNEdit"));
    EXPECT_TRUE(shown_.empty());
}

TEST_F(MainFormTest, OnlyRealChangesOfTheInputClearTheResults)
{
    // Setting the same text, the same tick or selecting a page from code is
    // no change.
    FillResults();
    Edit("FNEdit").setText("");
    SetEditText(Edit("FNEdit"), "");
    Tick("CheckBoxHMAC").setChecked(false);
    form_->SetInitialState();
    EXPECT_EQ(Result("ResultSHA1"), "s");

    // Algorithm ticks and the key never clear.
    Tick("CheckBoxMD5").setChecked(false);
    Tick("CheckBoxSHA1").setChecked(true);
    Edit("EditKeyHMAC").setText("key");
    EXPECT_EQ(Result("ResultMD5"), "m");

    QTest::keyClicks(&Edit("FNEdit"), "x");
    EXPECT_TRUE(ResultsEmpty());

    FillResults();
    Control<QTabWidget>("PageControl").setCurrentIndex(1);
    EXPECT_TRUE(ResultsEmpty()) << "user switched to the text page";
    FillResults();
    Control<QTabWidget>("PageControl").setCurrentIndex(0);
    EXPECT_TRUE(ResultsEmpty()) << "and back";

    FillResults();
    QTest::keyClicks(&Control<QPlainTextEdit>("MemoText"), "t");
    EXPECT_TRUE(ResultsEmpty());
}

TEST_F(MainFormTest, HmacTickDrivesTheKeyBoxAndKeepsTheKey)
{
    FillResults();
    QTest::mouseClick(&Tick("CheckBoxHMAC"), Qt::LeftButton);
    EXPECT_TRUE(Tick("CheckBoxHMAC").isChecked());
    EXPECT_TRUE(Edit("EditKeyHMAC").isEnabled());
    EXPECT_TRUE(Control<QLabel>("Label2").isEnabled());
    EXPECT_TRUE(ResultsEmpty());

    Edit("EditKeyHMAC").setText("secret");
    FillResults();
    Tick("CheckBoxHMAC").setChecked(false);  // a change made by code counts too
    EXPECT_FALSE(Edit("EditKeyHMAC").isEnabled());
    EXPECT_FALSE(Control<QLabel>("Label2").isEnabled());
    EXPECT_TRUE(ResultsEmpty());
    EXPECT_EQ(Edit("EditKeyHMAC").text(), "secret");
}

TEST_F(MainFormTest, GeneratesEmptyInputsAndPublishedDigests)
{
    TickAlgorithms(true, true, true);
    Edit("FNEdit").setText(WriteFile("empty", {}));
    Generate();
    EXPECT_EQ(Result("ResultMD5"), kEmptyMd5);
    EXPECT_EQ(Result("ResultSHA1"), kEmptySha1);
    EXPECT_EQ(Result("ResultCRC32"), "0");

    UseTextPage("");
    Generate();
    EXPECT_EQ(Result("ResultMD5"), kEmptyMd5);
    EXPECT_EQ(Result("ResultCRC32"), "0");

    UseTextPage("abc");
    Generate();
    EXPECT_EQ(Result("ResultMD5"), kAbcMd5);
    EXPECT_EQ(Result("ResultSHA1"), kAbcSha1);
    EXPECT_EQ(Result("ResultCRC32"), kAbcCrc);

    UseTextPage("c");
    Generate();
    EXPECT_EQ(Result("ResultCRC32"), "6B9DF6F");
    EXPECT_TRUE(shown_.empty());
    EXPECT_EQ(QGuiApplication::overrideCursor(), nullptr);
}

TEST_F(MainFormTest, TypedLineBreaksAreDigestedAsCrLfAndMatchTheSameFile)
{
    TickAlgorithms(true, true, true);
    Control<QTabWidget>("PageControl").setCurrentIndex(1);
    auto& memo = Control<QPlainTextEdit>("MemoText");
    QTest::keyClicks(&memo, "a");
    QTest::keyClick(&memo, Qt::Key_Return);
    QTest::keyClicks(&memo, "b");
    QTest::keyClick(&memo, Qt::Key_Return, Qt::ShiftModifier);
    QTest::keyClicks(&memo, "\t\u00A0c");
    Generate();
    const QString textMd5 = Result("ResultMD5");
    const QString textSha1 = Result("ResultSHA1");
    const QString textCrc = Result("ResultCRC32");

    Control<QTabWidget>("PageControl").setCurrentIndex(0);
    Edit("FNEdit").setText(WriteFile("crlf", QByteArray("a\r\nb\r\n\t\xC2\xA0"
                                                        "c")));
    Generate();
    EXPECT_EQ(Result("ResultMD5"), textMd5);
    EXPECT_EQ(Result("ResultSHA1"), textSha1);
    EXPECT_EQ(Result("ResultCRC32"), textCrc);
}

TEST_F(MainFormTest, HmacKeysMd5AndSha1ButNotCrc32)
{
    TickAlgorithms(true, true, true);
    UseTextPage("abc");
    Tick("CheckBoxHMAC").setChecked(true);  // empty key
    Generate();
    EXPECT_EQ(Result("ResultMD5"), "DD2701993D29FDD0B032C233CEC63403");
    EXPECT_EQ(Result("ResultSHA1"), "9B4A918F398D74D3E367970ABA3CBE54E4D2B5D9");
    EXPECT_EQ(Result("ResultCRC32"), kAbcCrc);
}

TEST_F(MainFormTest, TrimmedNameIsWrittenBackAndUntickedResultsStay)
{
    const QString path = WriteFile("abc.txt", "abc");
    TickAlgorithms(true, true, true);
    Edit("FNEdit").setText(path);
    Generate();
    EXPECT_EQ(Result("ResultSHA1"), kAbcSha1);

    // Only MD5 now: the other results stay as they were.
    TickAlgorithms(true, false, false);
    Edit("ResultMD5").clear();
    Generate();
    EXPECT_EQ(Result("ResultMD5"), kAbcMd5);
    EXPECT_EQ(Result("ResultSHA1"), kAbcSha1);
    EXPECT_EQ(Result("ResultCRC32"), kAbcCrc);

    // Blanks around the name: written back without them, which clears all
    // three; then only the ticked one is filled.
    {
        const QSignalBlocker quiet(&Edit("FNEdit"));
        Edit("FNEdit").setText("  \t" + path + " \n");
    }
    Generate();
    EXPECT_EQ(Edit("FNEdit").text(), path);
    EXPECT_EQ(Result("ResultMD5"), kAbcMd5);
    EXPECT_TRUE(Result("ResultSHA1").isEmpty());
    EXPECT_TRUE(Result("ResultCRC32").isEmpty());
}

TEST_F(MainFormTest, FileFailuresAreShownAndLeaveTheWindowUsable)
{
    TickAlgorithms(true, true, true);
    const QString existing = WriteFile("data.bin", "abc");
    Edit("FNEdit").setText(dir_.path());  // a directory
    Generate();
    Edit("FNEdit").setText("");
    Generate();
    Edit("FNEdit").setText(dir_.filePath("data.*"));  // a wildcard that matches
    Generate();
    ASSERT_EQ(shown_.size(), 3u);
    EXPECT_EQ(shown_[0].request.caption, "vellumark");
    EXPECT_EQ(shown_[0].request.style, 0x10u);
    EXPECT_EQ(Errors()[0], "Invalid file name.");
    EXPECT_EQ(Errors()[1], "Invalid file name.");
    EXPECT_EQ(shown_[2].request.text.rfind("Cannot open file \"" + dir_.filePath("data.*").toStdString() + "\". ", 0),
              0u)
        << shown_[2].request.text;
    EXPECT_TRUE(ResultsEmpty());
    EXPECT_EQ(QGuiApplication::overrideCursor(), nullptr) << "cursor restored after a failure";

    // Open for writing elsewhere: refused, not digested while it may change.
    const int writer = ::open(QFile::encodeName(existing).constData(), O_WRONLY);
    ASSERT_GE(writer, 0);
    Edit("FNEdit").setText(existing);
    Generate();
    ::close(writer);
    ASSERT_EQ(shown_.size(), 4u);
    EXPECT_EQ(shown_[3].request.text.rfind("Cannot open file \"" + existing.toStdString() + "\". ", 0), 0u)
        << shown_[3].request.text;
    EXPECT_TRUE(ResultsEmpty());

    Generate();
    EXPECT_EQ(Result("ResultMD5"), kAbcMd5);
    EXPECT_EQ(shown_.size(), 4u);
}

TEST_F(MainFormTest, BrowseClearsOnlyWhenTheNameChanges)
{
    const QString path = WriteFile("a", "a");
    Edit("FNEdit").setText(path);
    FillResults();
    form_->SetOpenDialog(std::make_unique<ScriptedDialog>(path));
    QTest::mouseClick(&Control<QPushButton>("BtnBrowse"), Qt::LeftButton);
    EXPECT_EQ(Result("ResultMD5"), "m");

    form_->SetOpenDialog(std::make_unique<ScriptedDialog>(std::nullopt));
    QTest::mouseClick(&Control<QPushButton>("BtnBrowse"), Qt::LeftButton);
    EXPECT_EQ(Edit("FNEdit").text(), path);
    EXPECT_EQ(Result("ResultMD5"), "m");

    const QString other = WriteFile("b", "b");
    form_->SetOpenDialog(std::make_unique<ScriptedDialog>(other));
    QTest::mouseClick(&Control<QPushButton>("BtnBrowse"), Qt::LeftButton);
    EXPECT_EQ(Edit("FNEdit").text(), other);
    EXPECT_TRUE(ResultsEmpty());
}

TEST_F(MainFormTest, ExitAndCloseEndTheLoop)
{
    form_->show();
    form_->findChild<QAction*>("MnExit")->trigger();
    EXPECT_EQ(frame_->Run(), 0);
    EXPECT_TRUE(frame_->Terminated());

    auto frame = std::make_unique<AppFrameClass>("vellumark");
    TForm1* second = CreateForm(*frame, Form1);
    second->show();
    EXPECT_TRUE(second->close());
    EXPECT_EQ(frame->Run(), 0);
    EXPECT_TRUE(frame->Terminated());
}

TEST_F(MainFormTest, HelpAboutShowsTheBoxModallyOverTheWindowAndEnterClosesIt)
{
    TAboutBox* box = CreateForm(*frame_, AboutBox);
    box->SetMainWindow(form_);
    EXPECT_FALSE(box->isVisible()) << "made hidden at start";
    form_->show();
    form_->move(200, 150);

    bool shownModally = false;
    QPoint shownAt;
    QPoint expectedAt;
    QTimer::singleShot(0, [&] {
        shownModally = box->isVisible() && QApplication::activeModalWidget() == box;
        shownAt = box->frameGeometry().topLeft();
        expectedAt = AboutBoxPlacement(box->frameGeometry().size(), form_->frameGeometry(),
                                       QGuiApplication::primaryScreen()->geometry().size());
        QTest::keyClick(box, Qt::Key_Return);
    });
    form_->findChild<QAction*>("MnAbout")->trigger();
    EXPECT_TRUE(shownModally);
    EXPECT_FALSE(box->isVisible()) << "Enter pressed OK";
    EXPECT_EQ(shownAt, expectedAt);
    EXPECT_TRUE(shown_.empty());
}

class MainFormSettingsTest : public MainFormTest {
protected:
    QString StorePath() { return dir_.filePath("config/vellumark/settings.reg"); }

    void WriteStore(const QByteArray& text)
    {
        QDir().mkpath(dir_.filePath("config/vellumark"));
        QFile file(StorePath());
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write(text);
    }

    // A second start: a new frame and window reading what the first left.
    TForm1* Restart()
    {
        frame_->ReleaseWindows();
        frame_ = std::make_unique<AppFrameClass>("vellumark");
        frame_->SetPresenter(std::make_unique<RecordingPresenter>(shown_));
        form_ = CreateForm(*frame_, Form1);
        return form_;
    }
};

TEST_F(MainFormSettingsTest, PositionAndTicksSurviveARestart)
{
    form_->move(140, 90);
    TickAlgorithms(false, true, true);
    Tick("CheckBoxHMAC").setChecked(true);
    form_->findChild<QAction*>("MnExit")->trigger();
    ASSERT_TRUE(shown_.empty());
    EXPECT_TRUE(QFile::exists(StorePath()));

    Restart();
    EXPECT_EQ(form_->pos(), QPoint(140, 90));
    EXPECT_FALSE(Tick("CheckBoxMD5").isChecked());
    EXPECT_TRUE(Tick("CheckBoxSHA1").isChecked());
    EXPECT_TRUE(Tick("CheckBoxCRC32").isChecked());
    EXPECT_FALSE(Tick("CheckBoxHMAC").isChecked()) << "HMAC is never stored";

    // Closing the window saves as well.
    form_->show();
    form_->move(60, 70);
    Tick("CheckBoxMD5").setChecked(true);
    EXPECT_TRUE(form_->close());
    Restart();
    EXPECT_EQ(form_->pos(), QPoint(60, 70));
    EXPECT_TRUE(Tick("CheckBoxMD5").isChecked());
}

TEST_F(MainFormSettingsTest, AFailedLoadIsReportedAndTheWindowStillOpens)
{
    WriteStore(
        "[\\Software\\Halvercraft\\Vellumark]\r\n"
        "\"FormLeft\"=dword:00000064\r\n"
        "\"FormTop\"=\"ab\"\r\n"
        "\"CBSHA1\"=dword:00000001\r\n");
    Restart();
    ASSERT_EQ(Errors(), (std::vector<std::string>{"Invalid data type for 'FormTop'"}));
    EXPECT_FALSE(form_->isVisible()) << "reported before the window shows";
    EXPECT_EQ(form_->pos(), QPoint(100, 20));
    EXPECT_FALSE(Tick("CheckBoxSHA1").isChecked()) << "values after the bad one are not read";
    EXPECT_EQ(frame_->MainWindow(), form_);
}

// A failed save keeps the window open once, so that the user can read why;
// the next Exit or close after it leaves without saving, whichever it is.
TEST_F(MainFormSettingsTest, AFailedSaveKeepsTheWindowOpenOnce)
{
    const std::string failed = "Failed to set data for 'FormLeft'";
    const auto unwritable = [&](bool on) {
        // A folder where the settings file should be: nothing can be written.
        QFile::remove(StorePath());
        QDir(StorePath()).removeRecursively();
        if (on) {
            ASSERT_TRUE(QDir().mkpath(StorePath()));
        }
    };
    const auto exit = [&] { form_->findChild<QAction*>("MnExit")->trigger(); };
    for (bool exitFirst : {true, false}) {
        SCOPED_TRACE(exitFirst ? "Exit, then close" : "close, then Exit");
        shown_.clear();
        unwritable(true);
        form_->show();
        if (exitFirst)
            exit();
        else
            EXPECT_FALSE(form_->close());
        QCoreApplication::processEvents();
        EXPECT_EQ(Errors(), std::vector<std::string>{failed});
        EXPECT_FALSE(frame_->Terminated());
        EXPECT_TRUE(form_->isVisible());

        if (exitFirst)
            EXPECT_TRUE(form_->close());
        else
            exit();
        QCoreApplication::processEvents();
        EXPECT_EQ(Errors(), (std::vector<std::string>{failed, failed}));
        EXPECT_TRUE(frame_->Terminated());
        unwritable(false);
        Restart();
    }

    // A save that works in between starts again from the first failure.
    shown_.clear();
    unwritable(true);
    form_->show();
    exit();
    unwritable(false);
    exit();
    EXPECT_TRUE(QFileInfo(StorePath()).isFile());
    unwritable(true);
    EXPECT_FALSE(form_->close());
    EXPECT_EQ(Errors(), (std::vector<std::string>{failed, failed}));
}

}  // namespace
