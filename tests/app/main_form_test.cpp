#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cmath>
#include <cstring>
#include <string_view>

#include <QAbstractButton>
#include <QAccessible>
#include <QBackingStore>
#include <QCheckBox>
#include <QCryptographicHash>
#include <QDialog>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLabel>
#include <QLineEdit>
#include <QMessageAuthenticationCode>
#include <QElapsedTimer>
#include <QMenu>
#include <QMenuBar>
#include <QMimeData>
#include <QPlainTextEdit>
#include <QProcess>
#include <QProcessEnvironment>
#include <QPushButton>
#include <QScopeGuard>
#include <QScreen>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QStatusBar>
#include <QStyleOptionButton>
#include <QTabBar>
#include <QTabWidget>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <QUrl>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>

#include "about/about.h"
#include "app/main_form.h"
#include "app/result_clipboard.h"
#include "app/startup.h"
#include "core/generate_task.h"
#include "core/text_bytes.h"
#include "instances/instance_limit.h"
#include "platform/files/file_reader.h"
#include "platform/windows/message_window.h"
#include "qt_test_support.h"

namespace {

constexpr const char* kEmptyMd5 = "D41D8CD98F00B204E9800998ECF8427E";
constexpr const char* kEmptySha1 = "DA39A3EE5E6B4B0D3255BFEF95601890AFD80709";
constexpr const char* kAbcMd5 = "900150983CD24FB0D6963F7D28E17F72";
constexpr const char* kAbcSha1 = "A9993E364706816ABA3E25717850C26C9CD0D89D";
constexpr const char* kAbcCrc = "352441C2";

std::string Lower(std::string_view text)
{
    std::string lower(text);
    for (char& c : lower)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return lower;
}

std::string Upper(std::string_view text)
{
    std::string upper(text);
    for (char& c : upper)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return upper;
}
// Why a name the name box would show as another name is refused.
constexpr const char* kNotShown =
    "its name holds a control character or a mark that reorders text, which the name "
    "box cannot show as it is.";

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

// One cycle through the whole window: the page control's tab bar, the selected
// page's controls, HMAC, the key (only while HMAC is ticked), each tick before
// its result, Generate, and round again; Shift+Tab walks it backwards.
TEST_F(MainFormTest, TabAndShiftTabWalkOneCycleThroughTheWindow)
{
    form_->show();
    QApplication::setActiveWindow(form_);
    ASSERT_TRUE(QTest::qWaitForWindowActive(form_));
    QWidget* tabBar = Control<QTabWidget>("PageControl").findChild<QTabBar*>();
    ASSERT_NE(tabBar, nullptr);
    auto& memo = Control<QPlainTextEdit>("MemoText");

    const auto focused = [&]() -> std::string {
        QWidget* widget = QApplication::focusWidget();
        if (widget == nullptr)
            return "(nothing)";
        return widget == tabBar ? "TabBar" : widget->objectName().toStdString();
    };
    // The text box takes Tab as text; Ctrl+Tab leaves it.
    const auto forward = [&] {
        QWidget* widget = QApplication::focusWidget();
        QTest::keyClick(widget, Qt::Key_Tab, widget == &memo ? Qt::ControlModifier : Qt::NoModifier);
    };
    // Twice round forward, so the step from Generate back to the tab bar
    // counts, then twice round backward.
    const auto walk = [&](const std::vector<std::string>& cycle) {
        tabBar->setFocus(Qt::TabFocusReason);
        for (std::size_t step = 0; step <= 2 * cycle.size(); ++step) {
            ASSERT_EQ(focused(), cycle[step % cycle.size()]) << "Tab, step " << step;
            forward();
        }
        for (std::size_t step = 2 * cycle.size() + 1; step-- > 0;) {
            QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab, Qt::ShiftModifier);
            ASSERT_EQ(focused(), cycle[step % cycle.size()]) << "Shift+Tab, step " << step;
        }
    };
    const auto cycle = [](std::vector<std::string> page, bool keyed) {
        page.insert(page.begin(), "TabBar");
        page.push_back("CheckBoxHMAC");
        if (keyed)
            page.push_back("EditKeyHMAC");
        for (const char* name :
             {"CheckBoxMD5", "ResultMD5", "CheckBoxSHA1", "ResultSHA1", "CheckBoxCRC32", "ResultCRC32", "BtnGenerate"})
            page.push_back(name);
        return page;
    };

    walk(cycle({"FNEdit", "BtnBrowse"}, false));
    Tick("CheckBoxHMAC").setChecked(true);
    walk(cycle({"FNEdit", "BtnBrowse"}, true));
    // The tab bar switches pages with the arrow keys.
    tabBar->setFocus(Qt::TabFocusReason);
    QTest::keyClick(tabBar, Qt::Key_Right);
    ASSERT_EQ(Control<QTabWidget>("PageControl").currentIndex(), 1);
    walk(cycle({"MemoText"}, true));

    // Tab in the text box types a tab; Enter in a box does not press Generate.
    memo.setFocus(Qt::TabFocusReason);
    QTest::keyClick(&memo, Qt::Key_Tab);
    EXPECT_EQ(focused(), "MemoText");
    EXPECT_EQ(memo.toPlainText(), "\t");
    Control<QTabWidget>("PageControl").setCurrentIndex(0);
    QTest::keyClick(&Edit("FNEdit"), Qt::Key_Return);
    EXPECT_TRUE(ResultsEmpty());
    EXPECT_TRUE(shown_.empty());
}

// The menu opens and runs from its access letters: Alt+F, then X for Exit.
TEST_F(MainFormTest, TheMenuWorksFromItsAccessLetters)
{
    form_->show();
    QApplication::setActiveWindow(form_);
    ASSERT_TRUE(QTest::qWaitForWindowActive(form_));
    bool exited = false;
    QObject::connect(form_->findChild<QAction*>("MnExit"), &QAction::triggered, [&] { exited = true; });
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_F, Qt::AltModifier);
    ASSERT_TRUE(QTest::qWaitFor([] { return qobject_cast<QMenu*>(QApplication::activePopupWidget()) != nullptr; }));
    QMenu* menu = qobject_cast<QMenu*>(QApplication::activePopupWidget());
    EXPECT_EQ(menu->objectName(), "MnFile");
    QTest::keyClick(menu, Qt::Key_X);
    EXPECT_TRUE(QTest::qWaitFor([&] { return exited; }));
    EXPECT_EQ(frame_->Run(), 0) << "Exit ended the loop";
}

// What a screen reader says for each control.
TEST_F(MainFormTest, EveryControlHasAnAccessibleName)
{
    const std::vector<std::pair<const char*, const char*>> names = {
        {"PageControl", "Input"},      {"FNEdit", "File name"},     {"BtnBrowse", "Browse"},
        {"MemoText", "Text"},          {"CheckBoxHMAC", "HMAC"},    {"EditKeyHMAC", "HMAC key"},
        {"CheckBoxMD5", "MD5"},        {"ResultMD5", "MD5 result"}, {"CheckBoxSHA1", "SHA1"},
        {"ResultSHA1", "SHA1 result"}, {"CheckBoxCRC32", "CRC32"},  {"ResultCRC32", "CRC32 result"},
        {"BtnGenerate", "Generate"},   {"Label1", "Filename:"},     {"Label2", "Key :"},
    };
    const auto spoken = [](QWidget* widget) {
        QAccessibleInterface* accessible = QAccessible::queryAccessibleInterface(widget);
        return accessible == nullptr ? QString() : accessible->text(QAccessible::Name);
    };
    for (const auto& [control, name] : names)
        EXPECT_EQ(spoken(&Control<QWidget>(control)), name) << control;
    // Whatever takes the focus, now or after a change to the window, is named.
    for (QWidget* widget : form_->findChildren<QWidget*>()) {
        if ((widget->focusPolicy() & Qt::TabFocus) && !widget->objectName().startsWith("qt_") &&
            !widget->objectName().startsWith("Scroll")) {
            EXPECT_FALSE(spoken(widget).isEmpty()) << widget->objectName().toStdString();
        }
    }
    EXPECT_EQ(qobject_cast<QLabel*>(&Control<QWidget>("Label1"))->buddy(), &Edit("FNEdit"));
    EXPECT_EQ(qobject_cast<QLabel*>(&Control<QWidget>("Label2"))->buddy(), &Edit("EditKeyHMAC"));
}

// Whether a line edit shows its whole text: with the cursor at the end the
// first character is still in view, and with it at the start the last one is.
// The edit scrolls its text when it paints, hence the grabs.
bool ShowsWholeText(QLineEdit& box)
{
    const int middle = box.height() / 2;
    box.setCursorPosition(static_cast<int>(box.text().size()));
    box.grab();
    const int firstInView = box.cursorPositionAt(QPoint(0, middle));
    box.setCursorPosition(0);
    box.grab();
    const int lastInView = box.cursorPositionAt(QPoint(box.width() - 1, middle));
    return firstInView == 0 && lastInView == box.text().size();
}

// Whether a button's or tick box's caption fits the room its style gives it.
bool CaptionFits(const QAbstractButton& button)
{
    QStyleOptionButton option;
    option.initFrom(&button);
    option.rect = button.rect();
    option.text = button.text();
    const bool tick = qobject_cast<const QCheckBox*>(&button) != nullptr;
    const QRect room = button.style()->subElementRect(
        tick ? QStyle::SE_CheckBoxContents : QStyle::SE_PushButtonContents, &option, &button);
    const QSize text = button.fontMetrics().size(Qt::TextShowMnemonic, button.text());
    return text.width() <= room.width() && text.height() <= room.height();
}

// Forty digits show whole in each result box, from the first digit, and no
// caption is cut or covered. ResultsAndCaptionsFitAtEveryScale runs this again
// at the scale factors of HiDPI desktops.
TEST_F(MainFormTest, ResultsAndCaptionsFitAtThisScale)
{
    SCOPED_TRACE("QT_SCALE_FACTOR=" + qEnvironmentVariable("QT_SCALE_FACTOR", "1").toStdString());
    form_->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(form_));

    TickAlgorithms(true, true, true);
    UseTextPage("abc");
    Generate();
    ASSERT_EQ(Result("ResultSHA1"), kAbcSha1);
    for (const char* name : {"ResultMD5", "ResultSHA1", "ResultCRC32"}) {
        QLineEdit& box = Edit(name);
        EXPECT_EQ(box.cursorPosition(), 0) << name << " shows its result from the first digit";
        EXPECT_TRUE(ShowsWholeText(box)) << name;
        for (const char digit : std::string_view("0123456789ABCDEF")) {
            box.setText(QString(40, QLatin1Char(digit)));
            EXPECT_TRUE(ShowsWholeText(box)) << name << " with forty " << digit;
        }
    }

    for (QAbstractButton* button : form_->findChildren<QAbstractButton*>()) {
        if (!button->text().isEmpty()) {
            EXPECT_TRUE(CaptionFits(*button)) << button->objectName().toStdString();
        }
    }
    for (const auto& [label, box] : {std::pair{"Label1", "FNEdit"}, std::pair{"Label2", "EditKeyHMAC"}}) {
        const QRect caption = Control<QLabel>(label).geometry();
        EXPECT_GE(caption.size().width(), Control<QLabel>(label).sizeHint().width()) << label;
        EXPECT_LE(caption.bottom(), Edit(box).geometry().top()) << label << " is not covered by its box";
    }

    // The About box's texts stay inside its panel and clear of each other.
    TAboutBox about;
    const QList<QLabel*> texts = about.Panel1()->findChildren<QLabel*>();
    for (QLabel* text : texts) {
        EXPECT_TRUE(about.Panel1()->contentsRect().contains(text->geometry())) << text->objectName().toStdString();
        EXPECT_GE(text->width(), text->sizeHint().width()) << text->objectName().toStdString();
        for (QLabel* other : texts) {
            if (other != text && text != about.ProgramIcon() && other != about.ProgramIcon()) {
                EXPECT_FALSE(text->geometry().intersects(other->geometry()))
                    << text->objectName().toStdString() << " and " << other->objectName().toStdString();
            }
        }
    }
}

// Runs one test of this program again in a process of its own, at a scale
// factor of a HiDPI desktop.
void RunAtScale(const char* test, const char* scale)
{
    QProcess child;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert("QT_QPA_PLATFORM", "offscreen");
    environment.insert("QT_SCALE_FACTOR", scale);
    child.setProcessEnvironment(environment);
    child.setProcessChannelMode(QProcess::MergedChannels);
    child.start(QCoreApplication::applicationFilePath(), {QString("--gtest_filter=") + test});
    ASSERT_TRUE(child.waitForFinished(60000)) << scale;
    const QString output = QString::fromLocal8Bit(child.readAll());
    EXPECT_EQ(child.exitCode(), 0) << "at scale " << scale << ":\n" << output.toStdString();
    EXPECT_TRUE(output.contains("[  PASSED  ] 1 test")) << output.toStdString();
}

TEST(MainFormScales, ResultsAndCaptionsFitAtEveryScale)
{
    for (const char* scale : {"1.25", "1.5", "2"})
        RunAtScale("MainFormTest.ResultsAndCaptionsFitAtThisScale", scale);
}

TEST(MainFormScales, StatusBarTextsAreWholeAtEveryScale)
{
    for (const char* scale : {"1.5", "2"})
        RunAtScale("MainFormTest.StatusBarTextsAreWholeAtThisScale", scale);
}

TEST_F(MainFormTest, StartsAtItsDefaultState)
{
    EXPECT_EQ(form_->windowTitle(), "Vellumark");
    EXPECT_EQ(form_->minimumSize(), form_->maximumSize()) << "a fixed size";
    EXPECT_FALSE(form_->windowFlags() & Qt::WindowMaximizeButtonHint);
    EXPECT_TRUE(form_->windowFlags() & Qt::WindowMinimizeButtonHint);
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
    Edit("FNEdit").setText("same");
    FillResults();
    QSignalSpy changes(&Edit("FNEdit"), &QLineEdit::textChanged);
    Edit("FNEdit").setText("same");
    EXPECT_EQ(changes.count(), 0);
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
    EXPECT_EQ(changes.count(), 1);

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

// The text box says how it digests its line breaks, to the eye and to a
// screen reader, and does as it says.
TEST_F(MainFormTest, TypedLineBreaksAreDigestedAsCrLfAndMatchTheSameFile)
{
    TickAlgorithms(true, true, true);
    Control<QTabWidget>("PageControl").setCurrentIndex(1);
    auto& memo = Control<QPlainTextEdit>("MemoText");
    EXPECT_EQ(memo.toolTip(), "Each line break is digested as CR LF (two bytes).");
    QAccessibleInterface* accessible = QAccessible::queryAccessibleInterface(&memo);
    ASSERT_NE(accessible, nullptr);
    EXPECT_EQ(accessible->text(QAccessible::Description), memo.toolTip());
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

// The window hands its text to the same function as the companion, as UTF-8:
// every kind of line break the box may hold comes out as CR LF in both.
TEST_F(MainFormTest, EveryKindOfLineBreakGivesTheCompanionsBytes)
{
    TickAlgorithms(true, false, false);
    Control<QTabWidget>("PageControl").setCurrentIndex(1);
    const std::string utf8 =
        "LF\nCR\rCRLF\r\nLS\xE2\x80\xA8PS\xE2\x80\xA9"
        "caf\xC3\xA9";
    const QByteArray crlf = "LF\r\nCR\r\nCRLF\r\nLS\r\nPS\r\ncaf\xC3\xA9";
    ASSERT_EQ(TextPageBytes(utf8), crlf.toStdString());
    // Pasted text keeps CR and U+2028 as they are; the box makes LF and
    // U+2029 into block ends.
    Control<QPlainTextEdit>("MemoText")
        .setPlainText(QString::fromUtf8(utf8.data(), static_cast<qsizetype>(utf8.size())));
    Generate();
    EXPECT_EQ(Result("ResultMD5"), QString(QCryptographicHash::hash(crlf, QCryptographicHash::Md5).toHex().toUpper()));
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

// A file dropped from a file manager is named on the File page as Browse
// would name it, and taken as a copy (a file manager deletes the source of an
// accepted move); whatever else other programs drop does nothing.
TEST_F(MainFormTest, ADroppedFileIsNamedOnTheFilePageAsBrowseWouldNameIt)
{
    const QString path = WriteFile("dropped.txt", "abc");
    const auto drop = [](QWidget& target, QMimeData& data, Qt::DropActions offered = Qt::CopyAction | Qt::MoveAction) {
        QDragEnterEvent enter(QPoint(2, 2), offered, &data, Qt::LeftButton, Qt::NoModifier);
        QCoreApplication::sendEvent(&target, &enter);
        if (!enter.isAccepted())
            return Qt::IgnoreAction;
        QDropEvent dropped(QPointF(2, 2), offered, &data, Qt::LeftButton, Qt::NoModifier);
        QCoreApplication::sendEvent(&target, &dropped);
        return dropped.isAccepted() ? dropped.dropAction() : Qt::IgnoreAction;
    };
    const auto files = [](const QStringList& paths) {
        auto data = std::make_unique<QMimeData>();
        QList<QUrl> urls;
        for (const QString& path : paths)
            urls.push_back(QUrl::fromLocalFile(path));
        data->setUrls(urls);
        data->setText(paths.join('\n'));  // file managers offer the names as text too
        return data;
    };

    UseTextPage("typed");
    FillResults();
    auto file = files({path});
    EXPECT_EQ(drop(*Control<QPlainTextEdit>("MemoText").viewport(), *file), Qt::CopyAction);
    EXPECT_EQ(Control<QTabWidget>("PageControl").currentIndex(), 0);
    EXPECT_EQ(Edit("FNEdit").text(), path);
    EXPECT_EQ(Control<QPlainTextEdit>("MemoText").toPlainText(), "typed");
    EXPECT_TRUE(ResultsEmpty());

    // The same file again changes nothing, so the results stay.
    FillResults();
    EXPECT_EQ(drop(*form_, *file), Qt::CopyAction);
    EXPECT_EQ(drop(Edit("ResultMD5"), *file), Qt::CopyAction);
    EXPECT_EQ(Result("ResultMD5"), "m");

    const QString other = WriteFile("other.txt", "x");
    auto two = files({path, other});
    auto folder = files({dir_.path()});
    auto gone = files({dir_.filePath("gone")});
    QMimeData web;
    web.setUrls({QUrl("http://www.halvercraft.example/")});
    QMimeData text;
    text.setText(other);
    for (QMimeData* data : {two.get(), folder.get(), gone.get(), &web, &text}) {
        for (QWidget* target : {static_cast<QWidget*>(form_), static_cast<QWidget*>(&Edit("FNEdit"))}) {
            EXPECT_EQ(drop(*target, *data), Qt::IgnoreAction) << data->text().toStdString();
        }
    }
    auto moveOnly = files({other});
    EXPECT_EQ(drop(Edit("FNEdit"), *moveOnly, Qt::MoveAction), Qt::IgnoreAction) << "never taken as a move";
    EXPECT_EQ(Edit("FNEdit").text(), path);
    EXPECT_EQ(Result("ResultMD5"), "m");
    EXPECT_TRUE(shown_.empty());
}

// Browse and a drop cannot give a name that the box would show as another
// ("nl\nname" as "nl name", which exists beside it): choosing or dropping
// one says why, and the name box and results stay as they were.
TEST_F(MainFormTest, ANameTheBoxWouldShowAsAnotherCannotBeBrowsedOrDropped)
{
    WriteFile("nl name", "the other file");
    const QString before = WriteFile("before", "abc");
    Edit("FNEdit").setText(before);
    FillResults();
    const std::string dir = QFile::encodeName(dir_.path()).toStdString();
    const auto refusal = [&](const std::string& shown) {
        return std::vector<std::string>{"Cannot take the file \"" + dir + "/" + shown + "\": " + kNotShown};
    };
    const std::vector<std::pair<QString, std::string>> names = {
        {"nl\nname", "nl\\x0Aname"},
        {QString::fromUtf8("\u202Etxt.exe"), "\\xE2\\x80\\xAEtxt.exe"},
        {QString::fromUtf8("a\u0085b"), "a\\xC2\\x85b"},
    };
    for (const auto& [name, shown] : names) {
        SCOPED_TRACE(shown);
        const QString path = WriteFile(name, "abc");

        shown_.clear();
        form_->SetOpenDialog(std::make_unique<ScriptedDialog>(path));
        QTest::mouseClick(&Control<QPushButton>("BtnBrowse"), Qt::LeftButton);
        EXPECT_EQ(Errors(), refusal(shown));
        EXPECT_EQ(Edit("FNEdit").text(), before);
        EXPECT_EQ(Result("ResultMD5"), "m");

        shown_.clear();
        QMimeData data;
        data.setUrls({QUrl::fromLocalFile(path)});
        QDragEnterEvent enter(QPoint(2, 2), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
        QCoreApplication::sendEvent(form_, &enter);
        QDropEvent dropped(QPointF(2, 2), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
        QCoreApplication::sendEvent(form_, &dropped);
        EXPECT_FALSE(dropped.isAccepted()) << "refused";
        ASSERT_TRUE(QTest::qWaitFor([&] { return !shown_.empty(); }));
        EXPECT_EQ(Errors(), refusal(shown));
        EXPECT_EQ(Edit("FNEdit").text(), before);
        EXPECT_EQ(Result("ResultMD5"), "m");
    }
}

// A file handed to the window (by its own start or by a later start) is named
// on the File page, as a drop names it, and digested with the ticks as they
// stand, as if Generate had been pressed.
TEST_F(MainFormTest, AHandedFileIsNamedOnTheFilePageAndDigestedWithTheTicksAsTheyStand)
{
    // The name is in the box already: only the page changes.
    const QString path = WriteFile("a b%c #1", "abc");
    Edit("FNEdit").setText(path);
    UseTextPage("xyz");
    TickAlgorithms(true, true, true);
    Generate();
    ASSERT_FALSE(Result("ResultSHA1").isEmpty());
    Tick("CheckBoxSHA1").setChecked(false);

    form_->HandFile(QFile::encodeName(path).toStdString());
    EXPECT_EQ(Control<QTabWidget>("PageControl").currentIndex(), 1) << "taken from the loop, not within the hand-over";
    ASSERT_TRUE(QTest::qWaitFor([&] { return Control<QTabWidget>("PageControl").currentIndex() == 0; }));
    EXPECT_EQ(Edit("FNEdit").text(), path);
    EXPECT_EQ(Control<QTabWidget>("PageControl").currentIndex(), 0);
    EXPECT_EQ(Result("ResultMD5"), kAbcMd5);
    EXPECT_EQ(Result("ResultSHA1"), "") << "the text's result went with the page";
    EXPECT_EQ(Result("ResultCRC32"), kAbcCrc);
    EXPECT_TRUE(shown_.empty());

    // A failure shows the usual error box.
    form_->HandFile(QFile::encodeName(dir_.filePath("gone")).toStdString());
    ASSERT_TRUE(QTest::qWaitFor([&] { return !shown_.empty(); }));
    EXPECT_EQ(Errors(), std::vector<std::string>{"Invalid file name."});
    EXPECT_EQ(Edit("FNEdit").text(), dir_.filePath("gone"));

    // The files named at the start: the first is opened once the loop runs.
    const QString first = WriteFile("first", "abc");
    TForm1* started =
        CreateForm(*frame_, Form1, std::vector<std::string>{QFile::encodeName(first).toStdString(), "/tmp/second"});
    auto* startedName = started->findChild<QLineEdit*>("FNEdit");
    ASSERT_TRUE(QTest::qWaitFor([&] { return startedName->text() == first; }));
    EXPECT_EQ(started->findChild<QLineEdit*>("ResultMD5")->text(), kAbcMd5);
}

// Generate would read a name with a blank or a control character at either
// end, or one that is not UTF-8, as another name, and the box would show one
// with a control character or a reordering mark within it as another name
// ("nl\nname" as "nl name"): such a name is reported, and neither named nor
// digested, even where the other name exists.
TEST_F(MainFormTest, AHandedNameTheBoxCannotHoldIsReportedAndNeverDigested)
{
    // Names that are not UTF-8 are beyond what QTemporaryDir removes.
    std::vector<std::string> made;
    const auto removeMade = qScopeGuard([&] {
        for (const std::string& path : made)
            ::unlink(path.c_str());
    });
    const auto rawFile = [&](const std::string& name, const char* content) {
        const std::string path = QFile::encodeName(dir_.path()).toStdString() + "/" + name;
        made.push_back(path);
        const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        EXPECT_GE(fd, 0) << path;
        EXPECT_EQ(::write(fd, content, std::strlen(content)), static_cast<ssize_t>(std::strlen(content)));
        ::close(fd);
        return path;
    };
    const std::string dir = QFile::encodeName(dir_.path()).toStdString();
    rawFile("x", "the other file");
    rawFile("\xEF\xBF\xBDx", "the other file");
    rawFile("nl name", "the other file");
    rawFile("xy", "the other file");
    TickAlgorithms(true, false, false);
    const QString before = WriteFile("before", "abc");
    Edit("FNEdit").setText(before);
    Generate();
    ASSERT_EQ(Result("ResultMD5"), kAbcMd5);

    struct Case {
        std::string name;
        std::string shown;
        const char* why;
    };
    const std::vector<Case> cases = {
        {"x ", "x ", "its name begins or ends with a blank or a control character, which the name box drops."},
        {"x\n", "x\\x0A", "its name begins or ends with a blank or a control character, which the name box drops."},
        {"x\t", "x\\x09", "its name begins or ends with a blank or a control character, which the name box drops."},
        {"\xFFx", "\\xFFx", "its name is not valid UTF-8, which the name box cannot hold."},
        {"nl\nname", "nl\\x0Aname", kNotShown},
        {"x\x7Fy", "x\\x7Fy", kNotShown},
        {"x\xC2\x85y", "x\\xC2\\x85y", kNotShown},
        {"\xE2\x80\xAEtxt.exe", "\\xE2\\x80\\xAEtxt.exe", kNotShown},
        {"x\xE2\x81\xA9y", "x\\xE2\\x81\\xA9y", kNotShown},
    };
    for (const Case& c : cases) {
        const std::string path = rawFile(c.name, "abc");
        shown_.clear();
        form_->HandFile(path);
        ASSERT_TRUE(QTest::qWaitFor([&] { return !shown_.empty(); })) << c.shown;
        EXPECT_EQ(Errors(), std::vector<std::string>{"Cannot take the file \"" + dir + "/" + c.shown + "\": " + c.why});
        EXPECT_EQ(Edit("FNEdit").text(), before);
        EXPECT_EQ(Result("ResultMD5"), kAbcMd5);
    }

    // Longer than the box takes: the box would cut it to another name.
    Edit("FNEdit").setMaxLength(static_cast<int>(before.size()));
    rawFile("beforeX", "abc");
    shown_.clear();
    form_->HandFile(dir + "/beforeX");
    ASSERT_TRUE(QTest::qWaitFor([&] { return !shown_.empty(); }));
    EXPECT_EQ(Errors(), std::vector<std::string>{"Cannot take the file \"" + dir +
                                                 "/beforeX\": its name is longer than the name box holds."});
    EXPECT_EQ(Edit("FNEdit").text(), before);
}

// A file handed while the window is busy (in Generate, which may run the loop
// while it reads a large file, or under a modal box) waits until the window
// is free; of the files handed meanwhile the last one is taken.
TEST_F(MainFormTest, AFileHandedWhileTheWindowIsBusyWaitsAndTheLastOneWins)
{
    const QString first = WriteFile("first", "first");
    const QString second = WriteFile("second", "abc");
    const QString typed = WriteFile("typed", "typed");
    QStringList names;
    QObject::connect(&Edit("FNEdit"), &QLineEdit::textChanged, [&](const QString& text) { names.push_back(text); });

    // Within Generate: its write-back of the trimmed name lets the loop run,
    // as a long Generate does.
    bool handedWithin = false;
    QObject::connect(&Edit("FNEdit"), &QLineEdit::textChanged, form_, [&](const QString& text) {
        if (text != typed || handedWithin)
            return;
        handedWithin = true;
        form_->HandFile(QFile::encodeName(first).toStdString());
        form_->HandFile(QFile::encodeName(second).toStdString());
        EXPECT_TRUE(form_->Busy());
        QTest::qWait(200);
    });
    Edit("FNEdit").setText("  " + typed);
    Generate();
    ASSERT_TRUE(handedWithin);
    EXPECT_EQ(Result("ResultMD5"), QCryptographicHash::hash("typed", QCryptographicHash::Md5).toHex().toUpper())
        << "Generate ran on the name it was pressed for";
    EXPECT_EQ(names, (QStringList{"  " + typed, typed})) << "nothing taken while Generate ran";
    ASSERT_TRUE(QTest::qWaitFor([&] { return Edit("FNEdit").text() == second; }));
    EXPECT_EQ(Result("ResultMD5"), kAbcMd5);
    EXPECT_FALSE(names.contains(first)) << "the last one handed wins";

    // Under a modal box.
    QDialog modal(form_);
    modal.setWindowModality(Qt::ApplicationModal);
    modal.show();
    ASSERT_EQ(QApplication::activeModalWidget(), &modal);
    form_->HandFile(QFile::encodeName(typed).toStdString());
    QTest::qWait(200);
    EXPECT_EQ(Edit("FNEdit").text(), second);
    modal.close();
    ASSERT_TRUE(QTest::qWaitFor([&] { return Edit("FNEdit").text() == typed; }));
    EXPECT_FALSE(form_->Busy());
    EXPECT_TRUE(shown_.empty());
}

// What another start hands over reaches the window as a block of lines: only
// a whole list of file URIs names a file; anything else changes nothing and
// shows nothing.
TEST_F(MainFormTest, OnlyAWholeListOfFilesFromAnotherStartIsTaken)
{
    platform::WindowHandle component = 0;
    for (const platform::WindowInfo& window : platform::ProcessWindows(static_cast<std::int32_t>(::getpid())))
        if (window.className == TInstanceLimit::kWindowClass)
            component = window.handle;
    ASSERT_NE(component, 0u);
    // The answer tells the start whether its list was taken.
    const auto hand = [&](const std::string& block, std::intptr_t taken) {
        // From another start's window, which is not this one.
        const platform::SendResult sent =
            platform::SendDataMessage(component, platform::kWmCopyData, 1, 1, block.data(), block.size());
        EXPECT_TRUE(sent.Answered());
        EXPECT_EQ(sent.result, taken) << testing::PrintToString(block);
    };
    const QString path = WriteFile("handed file", "abc");
    const std::string uri = "file://" + QUrl::toPercentEncoding(path, "/").toStdString();
    FillResults();
    for (const std::string& bad :
         {std::string(), std::string("\r\n"), uri, uri + "\r\n", uri.substr(0, uri.size() - 2) + "\r\n",
          uri + "\r\n" + uri.substr(0, 12), std::string("hello\r\n\r\n"), path.toStdString() + "\r\n\r\n",
          "file://elsewhere" + path.toStdString() + "\r\n\r\n", uri + "\r\n" + std::string(1, '\0') + "\r\n"}) {
        hand(bad, 0);
        QTest::qWait(20);
        EXPECT_EQ(Edit("FNEdit").text(), "") << testing::PrintToString(bad);
        EXPECT_EQ(Result("ResultMD5"), "m");
    }
    EXPECT_TRUE(shown_.empty());

    hand(uri + "\r\n\r\n", 1);
    ASSERT_TRUE(QTest::qWaitFor([&] { return Edit("FNEdit").text() == path; }));
    EXPECT_EQ(Result("ResultMD5"), kAbcMd5);
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

// A run of Generate that the test holds: it reports 42% of its work done,
// then waits until the test lets it go (or, when it heeds cancels, until it
// is cancelled), and hands out three results. It can be told to stay stuck
// through a cancel, as a read from a dead network share would.
class HeldRun {
public:
    explicit HeldRun(bool heedsCancel) : heedsCancel_(heedsCancel) {}
    ~HeldRun()
    {
        Release();
        std::unique_lock lock(mutex_);
        changed_.wait(lock, [this] { return ended_ == started_; });  // the threads are gone before we are
    }

    TForm1::GenerateStarter Starter()
    {
        return [this](const GenerateInput&) {
            {
                const std::lock_guard lock(mutex_);
                ++started_;
            }
            return std::make_unique<GenerateTask>(
                [this](RunControl& control, const ResultSink& sink) { Run(control, sink); });
        };
    }

    void Release()
    {
        const std::lock_guard lock(mutex_);
        released_ = true;
        changed_.notify_all();
    }
    // Releases the run after 5 s, from the loop, should the test's own way
    // of ending it fail: the test then fails rather than hangs.
    void ReleaseAtTheLatest()
    {
        safety_.setSingleShot(true);
        QObject::connect(&safety_, &QTimer::timeout, [this] { Release(); });
        safety_.start(5000);
    }
    int Started()
    {
        const std::lock_guard lock(mutex_);
        return started_;
    }
    bool SawCancel() const { return sawCancel_; }

private:
    void Run(RunControl& control, const ResultSink& sink)
    {
        control.SetTotal(1000);
        control.AddDone(420);
        {
            std::unique_lock lock(mutex_);
            while (!released_ && !(heedsCancel_ && control.Cancelled()))
                changed_.wait_for(lock, std::chrono::milliseconds(5));
            sawCancel_ = control.Cancelled();
        }
        sink(Algorithm::Md5, "M");
        sink(Algorithm::Sha1, "S");
        sink(Algorithm::Crc32, "C");
        const std::lock_guard lock(mutex_);
        ++ended_;
        changed_.notify_all();
    }

    const bool heedsCancel_;
    std::mutex mutex_;
    std::condition_variable changed_;
    bool released_ = false;
    int started_ = 0;
    int ended_ = 0;
    std::atomic<bool> sawCancel_{false};
    QTimer safety_;
};

// Past half a second the window paints and shows the run's progress, takes
// no input (typing, ticking, a second Generate, the menus' keys), greys
// nothing, and shows the results in their order once the run ends. The
// status bar is empty before and after.
TEST_F(MainFormTest, ALongGenerateShowsItsProgressAndTakesNoInput)
{
    HeldRun run(true);
    form_->SetGenerateStarter(run.Starter());
    form_->show();
    TickAlgorithms(true, false, false);
    Edit("FNEdit").setText("name");
    auto& status = Control<QStatusBar>("StatusBar1");
    EXPECT_EQ(status.currentMessage(), "");

    QString shown;
    bool allEnabled = true;
    QTimer::singleShot(700, [&] {
        shown = status.currentMessage();
        QTest::keyClicks(&Edit("FNEdit"), "typed");
        QTest::mouseClick(&Tick("CheckBoxSHA1"), Qt::LeftButton);
        QTest::keyClick(&Tick("CheckBoxCRC32"), Qt::Key_Space);
        QTest::mouseClick(&Control<QPushButton>("BtnGenerate"), Qt::LeftButton);
        QTest::keyClick(form_, Qt::Key_F, Qt::AltModifier);
        for (QWidget* widget : form_->findChildren<QWidget*>())
            allEnabled = allEnabled && (widget->isEnabled() || widget->objectName() == "EditKeyHMAC" ||
                                        widget->objectName() == "Label2");
        run.Release();
    });
    // Should a second Generate start inside the first, the test fails rather
    // than hangs.
    run.ReleaseAtTheLatest();
    Generate();

    EXPECT_TRUE(shown.startsWith("Digesting: 42% of 1.0 kB at ")) << shown.toStdString();
    EXPECT_TRUE(shown.endsWith("/s. Press Esc to cancel.")) << shown.toStdString();
    EXPECT_EQ(Edit("FNEdit").text(), "name") << "typing was taken during the run";
    EXPECT_FALSE(Tick("CheckBoxSHA1").isChecked());
    EXPECT_FALSE(Tick("CheckBoxCRC32").isChecked());
    EXPECT_EQ(run.Started(), 1) << "a second Generate ran";
    EXPECT_EQ(QApplication::activePopupWidget(), nullptr) << "a menu opened";
    EXPECT_TRUE(allEnabled) << "a control was greyed";
    EXPECT_EQ(Result("ResultMD5"), "M");
    EXPECT_EQ(Result("ResultSHA1"), "S");
    EXPECT_EQ(Result("ResultCRC32"), "C");
    EXPECT_EQ(status.currentMessage(), "");
    EXPECT_EQ(QGuiApplication::overrideCursor(), nullptr);
    EXPECT_TRUE(shown_.empty());
}

// A tab switches its page on the press of the mouse button, not on its
// release: during a run the press is not taken either.
TEST_F(MainFormTest, APressOnATabDuringALongGenerateDoesNotSwitchThePage)
{
    HeldRun run(true);
    form_->SetGenerateStarter(run.Starter());
    form_->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(form_));
    Edit("FNEdit").setText("name");
    auto& pages = Control<QTabWidget>("PageControl");
    QTabBar* tabs = pages.findChild<QTabBar*>();
    ASSERT_NE(tabs, nullptr);
    int pageDuringTheRun = -1;
    QTimer::singleShot(700, [&] {
        QTest::mousePress(tabs, Qt::LeftButton, Qt::NoModifier, tabs->tabRect(1).center());
        pageDuringTheRun = pages.currentIndex();
        QTest::mouseRelease(tabs, Qt::LeftButton, Qt::NoModifier, tabs->tabRect(1).center());
        run.Release();
    });
    run.ReleaseAtTheLatest();
    Generate();
    EXPECT_EQ(pageDuringTheRun, 0) << "the press switched the page";
    EXPECT_EQ(pages.currentIndex(), 0);
    EXPECT_EQ(Result("ResultMD5"), "M");

    // Outside a run the same press switches it.
    QTest::mousePress(tabs, Qt::LeftButton, Qt::NoModifier, tabs->tabRect(1).center());
    EXPECT_EQ(pages.currentIndex(), 1);
    QTest::mouseRelease(tabs, Qt::LeftButton, Qt::NoModifier, tabs->tabRect(1).center());
}

// Escape gives the window back at once, even from a run stuck in a read that
// will not notice: no result, no error box, the cursor back, the status bar
// empty. The stuck run ends later on its own, and its results go nowhere.
TEST_F(MainFormTest, EscapeGivesTheWindowBackFromALongGenerateAtOnce)
{
    HeldRun run(false);
    form_->SetGenerateStarter(run.Starter());
    form_->show();
    TickAlgorithms(true, true, true);
    Edit("FNEdit").setText("name");
    FillResults();
    std::chrono::steady_clock::time_point pressed;
    QTimer::singleShot(700, [&] {
        pressed = std::chrono::steady_clock::now();
        QTest::keyClick(&Edit("FNEdit"), Qt::Key_Escape);
    });
    // Should Escape be missed, the test fails rather than hangs.
    run.ReleaseAtTheLatest();
    Generate();
    const auto back = std::chrono::steady_clock::now() - pressed;

    EXPECT_LT(back, std::chrono::milliseconds(200));
    EXPECT_EQ(Result("ResultMD5"), "m");
    EXPECT_EQ(Result("ResultSHA1"), "s");
    EXPECT_EQ(Result("ResultCRC32"), "c");
    EXPECT_TRUE(shown_.empty());
    EXPECT_EQ(QGuiApplication::overrideCursor(), nullptr);
    EXPECT_EQ(Control<QStatusBar>("StatusBar1").currentMessage(), "");
    run.Release();
    QTest::qWait(50);
    QCoreApplication::processEvents();
    EXPECT_EQ(Result("ResultMD5"), "m") << "the abandoned run wrote a result";
}

// The close box (or Alt+F4) during a run cancels it and then closes the
// window as usual: once refused, while the settings cannot be saved (the run
// is cancelled all the same), then for good, settings saved.
TEST_F(MainFormTest, ClosingDuringALongGenerateCancelsItAndCloses)
{
    const QString store = dir_.filePath("config/vellumark/settings.reg");
    ASSERT_TRUE(QFile::remove(store));
    ASSERT_TRUE(QDir().mkpath(store));  // a folder where the file should be: no save
    for (const bool saves : {false, true}) {
        SCOPED_TRACE(saves ? "saved" : "not saved");
        if (saves) {
            ASSERT_TRUE(QDir(store).removeRecursively());
        }
        HeldRun run(true);
        form_->SetGenerateStarter(run.Starter());
        form_->show();
        bool closed = !saves;
        QTimer::singleShot(700, [&] { closed = form_->close(); });
        run.ReleaseAtTheLatest();
        Generate();
        EXPECT_EQ(closed, saves);
        EXPECT_EQ(form_->isVisible(), !saves);
        EXPECT_TRUE(ResultsEmpty()) << "the run was not cancelled";
        EXPECT_EQ(Errors().size(), 1u);
        EXPECT_EQ(QFileInfo(store).isFile(), saves);
    }
    EXPECT_EQ(frame_->Run(), 0);
}

// A clipboard the test writes. It counts how often the window looks at what
// was read last, and how often it asks for a new read.
class FakeClipboard final : public ResultClipboard {
public:
    std::optional<std::string> LastText() const override
    {
        ++looks;
        return own ? std::nullopt : text;
    }
    void OnRead(std::function<void()> read) override { read_ = std::move(read); }
    void ReadAgain() override { ++reads; }
    bool Unanswered() const override { return unanswered; }
    bool Reading() const override { return reading; }

    // Another program puts text there (or nothing), and a read of it ends.
    void Put(std::optional<std::string> put, bool ours = false)
    {
        text = std::move(put);
        own = ours;
        reading = false;
        read_();
    }

    std::optional<std::string> text;
    bool own = false;
    bool unanswered = false;  // the last read was given up
    bool reading = false;     // a read is under way
    mutable int looks = 0;
    int reads = 0;

private:
    std::function<void()> read_;
};

// A digest copied from a download page marks the result boxes: a green or
// red tint, an accessible description, one status line. Copying a result
// does not make it match itself; a box that changes loses its mark.
TEST_F(MainFormTest, ResultsAreComparedWithTheDigestOnTheClipboard)
{
    auto owned = std::make_unique<FakeClipboard>();
    FakeClipboard& clipboard = *owned;
    form_->SetClipboard(std::move(owned));
    auto& status = Control<QStatusBar>("StatusBar1");
    auto& md5 = Edit("ResultMD5");
    auto& sha1 = Edit("ResultSHA1");
    auto& crc = Edit("ResultCRC32");
    const QColor plain = md5.palette().color(QPalette::Base);
    const auto tint = [](const QLineEdit& box) { return box.palette().color(QPalette::Base); };
    const auto green = [&](const QLineEdit& box) { return tint(box).green() > tint(box).red() && tint(box) != plain; };
    const auto red = [&](const QLineEdit& box) { return tint(box).red() > tint(box).green() && tint(box) != plain; };

    // md5sum's line on the clipboard, then Generate: the results are compared.
    clipboard.Put("900150983cd24fb0d6963f7d28e17f72  abc.txt\n");
    TickAlgorithms(true, true, true);
    UseTextPage("abc");
    Generate();
    EXPECT_TRUE(green(md5));
    EXPECT_EQ(md5.accessibleDescription(), "Matches the digest on the clipboard");
    EXPECT_EQ(tint(sha1), plain) << "no SHA-1 on the clipboard";
    EXPECT_EQ(status.currentMessage(), "MD5 matches the digest on the clipboard");
    EXPECT_EQ(md5.text(), kAbcMd5) << "a mark never changes the text";

    // A BSD tag line of another file's SHA-1, and a CRC-32 with its leading
    // zero, though the box shows none.
    clipboard.Put("SHA1 (other) = 0000000000000000000000000000000000000000");
    EXPECT_EQ(tint(md5), plain);
    EXPECT_TRUE(red(sha1));
    EXPECT_EQ(sha1.accessibleDescription(), "Does not match the digest on the clipboard");
    EXPECT_EQ(status.currentMessage(), "SHA-1 does not match the digest on the clipboard");
    UseTextPage("c");
    Generate();
    clipboard.Put("The CRC is 06B9DF6F.");
    EXPECT_EQ(crc.text(), "6B9DF6F");
    EXPECT_TRUE(green(crc));
    EXPECT_EQ(status.currentMessage(), "CRC-32 matches the digest on the clipboard");

    // A SHA-256 (of "abc", not "c") has no box: none is marked, and the
    // status line alone speaks of it: SHA-256 differs, and BLAKE3, which
    // gives digests of the same length, was not computed.
    clipboard.Put("ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    for (const QLineEdit* box : {&md5, &sha1, &crc})
        EXPECT_EQ(tint(*box), plain);
    EXPECT_EQ(status.currentMessage(), "Press Generate again to compare");

    // The window's own copy of a result compares with nothing.
    clipboard.Put(md5.text().toStdString(), true);
    EXPECT_EQ(tint(md5), plain);
    EXPECT_EQ(status.currentMessage(), "");

    // Emptied, then cleared results: the marks go, the status line with them.
    clipboard.Put("The CRC is 06B9DF6F.");
    ASSERT_TRUE(green(crc));
    clipboard.Put(std::nullopt);
    EXPECT_EQ(tint(crc), plain);
    EXPECT_EQ(crc.accessibleDescription(), "");
    clipboard.Put("The CRC is 06B9DF6F.");
    ASSERT_TRUE(green(crc));
    Control<QTabWidget>("PageControl").setCurrentIndex(0);  // a real change of page clears the results
    EXPECT_EQ(tint(crc), plain);
    EXPECT_EQ(status.currentMessage(), "");
    EXPECT_TRUE(shown_.empty());
}

// The digests download pages publish beside MD5 and SHA-1: SHA-256, which
// every Generate computes beside the ticked digests, BLAKE3 with it and
// SHA-512 when the clipboard holds a digest of their length as the run
// starts. No box shows them; the status line says first how they compare
// with the clipboard, copied before the run or after it, and its tooltip
// and accessible description say all of it. A differing digest "does not
// match" only when the clipboard names its algorithm; otherwise it may be
// another algorithm's, and the line says what was compared.
TEST_F(MainFormTest, TheDigestsPeoplePublishAreComparedThoughNoBoxShowsThem)
{
    auto owned = std::make_unique<FakeClipboard>();
    FakeClipboard& clipboard = *owned;
    form_->SetClipboard(std::move(owned));
    std::vector<GenerateInput> inputs;
    form_->SetGenerateStarter([&](const GenerateInput& input) {
        inputs.push_back(input);
        return std::make_unique<GenerateTask>(input);
    });
    auto& bar = Control<QStatusBar>("StatusBar1");
    const auto line = [&] {
        EXPECT_EQ(bar.accessibleDescription(), bar.toolTip()) << "not what a screen reader is told";
        EXPECT_TRUE(bar.toolTip().startsWith(bar.currentMessage().section("; ", 0, 0)))
            << "the tooltip lacks the line's first sentence: " << bar.toolTip().toStdString();
        return bar.currentMessage().toStdString();
    };
    const auto hex = [](const QByteArray& bytes, QCryptographicHash::Algorithm algorithm) {
        return QCryptographicHash::hash(bytes, algorithm).toHex().toStdString();
    };
    const std::string abc256 = hex("abc", QCryptographicHash::Sha256);
    const std::string abd256 = hex("abd", QCryptographicHash::Sha256);
    const std::string xyz256 = hex("xyz", QCryptographicHash::Sha256);
    const std::string sums = abd256 + "  other.iso\n" + abc256 + " *ubuntu.iso\n" + xyz256 + "  third.iso\n";
    const QString file = WriteFile("ubuntu.iso", "abc");
    TickAlgorithms(true, false, false);
    Edit("FNEdit").setText(file);

    // A SHA256SUMS list copied before Generate: the file's line matches.
    clipboard.Put(sums);
    Generate();
    EXPECT_EQ(Result("ResultMD5"), kAbcMd5);
    EXPECT_EQ(line(), "SHA-256 matches the digest on the clipboard");
    EXPECT_EQ(Edit("ResultMD5").accessibleDescription(), "") << "MD5 is on no list here";
    ASSERT_EQ(inputs.size(), 1u);
    EXPECT_TRUE(inputs.back().algorithms.Has(Algorithm::Sha256));
    EXPECT_TRUE(inputs.back().algorithms.Has(Algorithm::Blake3)) << "no BLAKE3 for a list that names no algorithm";
    EXPECT_FALSE(inputs.back().algorithms.Has(Algorithm::Sha512)) << "SHA-512 computed with none on the clipboard";
    EXPECT_TRUE(inputs.back().algorithms.Has(Algorithm::Md5) && !inputs.back().algorithms.Has(Algorithm::Sha1) &&
                !inputs.back().algorithms.Has(Algorithm::Crc32))
        << "the ticks changed";

    // Copied after Generate, as a download page is read: a new read of the
    // clipboard gives the verdict.
    clipboard.Put(std::nullopt);
    EXPECT_EQ(line(), "");
    clipboard.Put(sums);
    EXPECT_EQ(line(), "SHA-256 matches the digest on the clipboard");
    // With the MD5 of an md5sum line: the box's after it.
    clipboard.Put(Lower(kAbcMd5) + "  ubuntu.iso\n" + sums);
    EXPECT_EQ(line(), "SHA-256 matches the digest on the clipboard; MD5 matches too");
    EXPECT_EQ(bar.toolTip().toStdString(), "SHA-256 matches the digest on the clipboard.\n"
                                           "MD5 matches the digest on the clipboard.\n"
                                           "SHA-256 = " + Upper(abc256));

    // The file changed since its digests were published.
    WriteFile("ubuntu.iso", "abd!");
    Generate();
    clipboard.Put("SHA256 (ubuntu.iso) = " + abc256 + "\n");
    EXPECT_EQ(line(), "SHA-256 does not match the digest on the clipboard");
    clipboard.Put("sha-256: " + abc256 + "\nMD5: " + Lower(kAbcMd5));
    EXPECT_EQ(line(), "SHA-256 does not match the digest on the clipboard");
    EXPECT_EQ(bar.toolTip().toStdString(), "SHA-256 does not match the digest on the clipboard.\n"
                                           "MD5 does not match the digest on the clipboard.");
    clipboard.Put(abc256);
    EXPECT_EQ(line(), "Not this file's SHA-256 or BLAKE3; copy the whole line");
    // BLAKE2s, named, was not computed: another Generate computes it.
    clipboard.Put("Checksum (BLAKE2s): " + abc256);
    EXPECT_EQ(line(), "Press Generate again to compare");
    clipboard.Put(Lower(kAbcMd5) + "  ubuntu.iso\n" + abc256 + "  ubuntu.iso\n");
    EXPECT_EQ(line(), "Not this file's SHA-256 or BLAKE3; copy the whole line");
    clipboard.Put(sums);
    EXPECT_EQ(line(), "None on the clipboard is this file's SHA-256 or BLAKE3");
    clipboard.Put("SHA256 (a) = " + abc256 + "\nSHA256 (b) = " + xyz256 + "\n");
    EXPECT_EQ(line(), "SHA-256 matches no digest on the clipboard");

    // Nothing ticked: SHA-256 all the same, of the file as it is again.
    TickAlgorithms(false, false, false);
    WriteFile("ubuntu.iso", "abc");
    Edit("FNEdit").setText(file + "x");
    Edit("FNEdit").setText(file);
    Generate();
    EXPECT_TRUE(ResultsEmpty());
    EXPECT_EQ(line(), "SHA-256 matches the digest on the clipboard");
    // That Generate had a SHA-256 named on the clipboard, and computed no
    // BLAKE3; the next one does.
    clipboard.Put(xyz256);
    EXPECT_EQ(line(), "Press Generate again to compare");
    Generate();
    EXPECT_EQ(line(), "Not this file's SHA-256 or BLAKE3; copy the whole line");
    clipboard.Put(sums);
    EXPECT_EQ(line(), "SHA-256 matches the digest on the clipboard");
    // A new name clears the results, and their verdicts with them.
    Edit("FNEdit").setText(file + "x");
    EXPECT_EQ(line(), "");
    Edit("FNEdit").setText(file);
    EXPECT_EQ(line(), "");

    // On the text page, of the text.
    TickAlgorithms(true, false, false);
    UseTextPage("abd!");
    Generate();
    EXPECT_EQ(line(), "None on the clipboard is this text's SHA-256 or BLAKE3");
    UseTextPage("abc");
    Generate();
    EXPECT_EQ(line(), "SHA-256 matches the digest on the clipboard");
    Tick("CheckBoxHMAC").setChecked(true);  // clears the results
    EXPECT_EQ(line(), "");

    // A SHA-512 on the clipboard as Generate starts is computed too, and
    // compared; one copied afterwards was not computed.
    const std::string abc512 = hex("abc", QCryptographicHash::Sha512);
    const std::string abd512 = hex("abd!", QCryptographicHash::Sha512);
    Tick("CheckBoxHMAC").setChecked(false);
    Control<QTabWidget>("PageControl").setCurrentIndex(0);
    clipboard.Put("SHA512 (ubuntu.iso) = " + abc512 + "\n");
    inputs.clear();
    Generate();
    ASSERT_EQ(inputs.size(), 1u);
    EXPECT_TRUE(inputs.back().algorithms.Has(Algorithm::Sha512));
    EXPECT_FALSE(inputs.back().algorithms.Has(Algorithm::Blake2b)) << "BLAKE2b for a digest named SHA-512";
    EXPECT_EQ(line(), "SHA-512 matches the digest on the clipboard");
    // A 128-digit digest that names no algorithm may be BLAKE2b's, which
    // was not computed.
    clipboard.Put(abd512 + "  ubuntu.iso\n" + sums);
    EXPECT_EQ(line(), "SHA-256 matches the digest on the clipboard");
    EXPECT_EQ(bar.toolTip().toStdString(), "SHA-256 matches the digest on the clipboard.\n"
                                           "Press Generate again to compare.\n"
                                           "SHA-256 = " + Upper(abc256));
    clipboard.Put("SHA-512: " + abd512);
    EXPECT_EQ(line(), "SHA-512 does not match the digest on the clipboard");
    clipboard.Put(std::nullopt);
    inputs.clear();
    Generate();
    ASSERT_EQ(inputs.size(), 1u);
    EXPECT_FALSE(inputs.back().algorithms.Has(Algorithm::Sha512));
    EXPECT_EQ(line(), "");
    clipboard.Put("SHA512 (ubuntu.iso) = " + abc512 + "\n");
    EXPECT_EQ(line(), "Press Generate again to compare");
    Generate();
    EXPECT_EQ(line(), "SHA-512 matches the digest on the clipboard");
    EXPECT_TRUE(shown_.empty());
}

// HMAC keys SHA-256 and SHA-512 as it keys the rows: the window's verdict
// agrees with `openssl dgst -hmac` on the same file and key.
TEST_F(MainFormTest, KeyedSha256AndSha512MatchWhatOpensslGivesForTheKey)
{
    if (QStandardPaths::findExecutable("openssl").isEmpty())
        GTEST_SKIP() << "openssl is not installed";
    auto owned = std::make_unique<FakeClipboard>();
    FakeClipboard& clipboard = *owned;
    form_->SetClipboard(std::move(owned));
    const QByteArray content = "The quick brown fox jumps over the lazy dog\n";
    const QString file = WriteFile("fox.txt", content);
    const QString key = "secret key";
    const auto openssl = [&](const char* algorithm) {
        QProcess process;
        process.start("openssl", {"dgst", algorithm, "-hmac", key, file});
        EXPECT_TRUE(process.waitForFinished(20000));
        return process.readAllStandardOutput().toStdString();
    };
    // "HMAC-SHA2-256(NAME)= hex": OpenSSL 3's names of SHA-256 and SHA-512.
    const std::string sha256 = openssl("-sha256"), sha512 = openssl("-sha512");
    ASSERT_NE(sha256.find("= "), std::string::npos) << sha256;
    auto& bar = Control<QStatusBar>("StatusBar1");
    TickAlgorithms(true, false, false);
    Edit("FNEdit").setText(file);
    Tick("CheckBoxHMAC").setChecked(true);
    Edit("EditKeyHMAC").setText(key);
    clipboard.Put(sha256);
    Generate();
    EXPECT_EQ(bar.currentMessage(), "SHA-256 matches the digest on the clipboard");
    clipboard.Put(sha512 + sha256);
    Generate();
    EXPECT_EQ(bar.currentMessage(), "SHA-256 and SHA-512 match the clipboard");

    // Another key, and none: the keyed digests are no longer the file's,
    // and the clipboard names the algorithms.
    Edit("EditKeyHMAC").setText("secret kez");
    Generate();
    EXPECT_EQ(bar.currentMessage(), "Neither SHA-256 nor SHA-512 matches the clipboard");
    Tick("CheckBoxHMAC").setChecked(false);
    Generate();
    EXPECT_EQ(bar.currentMessage(), "Neither SHA-256 nor SHA-512 matches the clipboard");
    clipboard.Put(QCryptographicHash::hash(content, QCryptographicHash::Sha256).toHex().toStdString());
    EXPECT_EQ(bar.currentMessage(), "SHA-256 matches the digest on the clipboard");
    EXPECT_TRUE(shown_.empty());
}

// While a Generate runs nothing is compared, and its progress keeps the
// status bar; the results are compared once they are shown, with what was
// read last. Generate never waits for the clipboard: a read could wait on
// its owner. The window asks when it becomes active, and Generate asks in
// the background only when the last read was given up (an owner too slow to
// answer then), so that its answer can still mark the results.
TEST_F(MainFormTest, GenerateNeverWaitsForTheClipboardAndComparesOnlyOnceItEnds)
{
    auto owned = std::make_unique<FakeClipboard>();
    FakeClipboard& clipboard = *owned;
    form_->SetClipboard(std::move(owned));
    HeldRun run(true);
    form_->SetGenerateStarter(run.Starter());
    form_->show();
    QApplication::setActiveWindow(form_);
    ASSERT_TRUE(QTest::qWaitForWindowActive(form_));
    EXPECT_EQ(clipboard.reads, 1) << "not asked when the window became active";
    Edit("FNEdit").setText("name");
    int looksDuringTheRun = -1;
    QString status;
    QTimer::singleShot(700, [&] {
        const int before = clipboard.looks;
        clipboard.Put("M");
        clipboard.Put(std::string(32, '0'));
        looksDuringTheRun = clipboard.looks - before;
        status = Control<QStatusBar>("StatusBar1").currentMessage();
        run.Release();
    });
    const int readsBefore = clipboard.reads;
    const int looksBefore = clipboard.looks;
    clipboard.unanswered = true;
    Generate();
    EXPECT_EQ(looksDuringTheRun, 0);
    EXPECT_TRUE(status.startsWith("Digesting: ")) << status.toStdString();
    EXPECT_EQ(clipboard.reads, readsBefore + 1) << "an owner that did not answer was not asked again";
    // Once as the run starts, for a SHA-512 to compute, and once when the
    // results were shown.
    EXPECT_EQ(clipboard.looks - looksBefore, 2) << "looked at during the run";
    EXPECT_EQ(Result("ResultMD5"), "M");
    EXPECT_EQ(Control<QStatusBar>("StatusBar1").currentMessage(), "MD5 does not match the digest on the clipboard");

    // A short run, as most are, asks no more than a long one; a clipboard
    // that was read, or had nothing to give, is not asked again.
    clipboard.unanswered = false;
    clipboard.Put(std::nullopt);
    form_->SetGenerateStarter([](const GenerateInput& input) { return std::make_unique<GenerateTask>(input); });
    UseTextPage("abc");
    Generate();
    ASSERT_EQ(Result("ResultMD5"), kAbcMd5);
    EXPECT_EQ(clipboard.reads, readsBefore + 1) << "Generate asked for a clipboard that had answered";
}

// A start or a hand-over that names several files opens the first, as one
// that names one file does, and the status line then says how many others
// were not opened, until the name box changes. The others are never tried:
// a FIFO among them would block whoever opened it, and a missing one would
// show an error box. The note follows the marks' line, and reaches screen
// readers with it.
TEST_F(MainFormTest, OfSeveralFilesHandedAtOnceTheFirstIsOpenedAndTheOthersCounted)
{
    auto owned = std::make_unique<FakeClipboard>();
    FakeClipboard& clipboard = *owned;
    form_->SetClipboard(std::move(owned));
    auto& bar = Control<QStatusBar>("StatusBar1");
    const auto spoken = [&] {
        QAccessibleInterface* accessible = QAccessible::queryAccessibleInterface(&bar);
        return accessible == nullptr ? QString() : accessible->text(QAccessible::Description);
    };
    const QString first = WriteFile("first", "abc");
    const QString fifo = dir_.filePath("fifo");
    ASSERT_EQ(::mkfifo(QFile::encodeName(fifo).constData(), 0600), 0);
    // Should the window open the FIFO, a writer lets it go, and says so.
    bool fifoOpened = false;
    QTimer writer;
    QObject::connect(&writer, &QTimer::timeout, [&] {
        const int fd = ::open(QFile::encodeName(fifo).constData(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
        if (fd >= 0) {
            fifoOpened = true;
            ::close(fd);
        }
    });
    writer.start(100);
    const QString missing = dir_.filePath("missing");
    const auto uri = [](const QString& path) { return "file://" + QUrl::toPercentEncoding(path, "/").toStdString(); };

    // Handed over by another start.
    platform::WindowHandle component = 0;
    for (const platform::WindowInfo& window : platform::ProcessWindows(static_cast<std::int32_t>(::getpid())))
        if (window.className == TInstanceLimit::kWindowClass)
            component = window.handle;
    ASSERT_NE(component, 0u);
    const std::string block = uri(first) + "\r\n" + uri(fifo) + "\r\n" + uri(missing) + "\r\n\r\n";
    const platform::SendResult sent =
        platform::SendDataMessage(component, platform::kWmCopyData, 1, 1, block.data(), block.size());
    ASSERT_TRUE(sent.Answered());
    ASSERT_TRUE(QTest::qWaitFor([&] { return Result("ResultMD5") == kAbcMd5; }));
    EXPECT_EQ(Edit("FNEdit").text(), first);
    EXPECT_EQ(bar.currentMessage(), "2 other files were not opened.");
    EXPECT_EQ(spoken(), "2 other files were not opened.");

    // A verdict comes first, and the note gives way to it where both do not
    // fit; the tooltip and screen readers have both.
    clipboard.Put(std::string(kAbcMd5) + "  first\n");
    const QString both = "MD5 matches the digest on the clipboard.\n2 other files were not opened.";
    EXPECT_EQ(bar.currentMessage(), "MD5 matches the digest on the clipboard");
    EXPECT_EQ(spoken(), both);
    EXPECT_EQ(bar.toolTip(), both);
    // Another Generate of the same name keeps it.
    Generate();
    EXPECT_EQ(spoken(), both);

    // A new name clears it; the marks go with the results.
    Edit("FNEdit").setText(first + "x");
    EXPECT_EQ(bar.currentMessage(), "");
    EXPECT_EQ(spoken(), "");

    // Named at a start, and refused: the note all the same.
    clipboard.Put(std::nullopt);
    form_->HandFile(QFile::encodeName(missing).toStdString(), 1);
    ASSERT_TRUE(QTest::qWaitFor([&] { return !shown_.empty(); }));
    EXPECT_EQ(Errors(), std::vector<std::string>{"Invalid file name."}) << "the missing file alone";
    EXPECT_EQ(bar.currentMessage(), "1 other file was not opened.");
    TForm1* started = CreateForm(
        *frame_, Form1,
        std::vector<std::string>{QFile::encodeName(first).toStdString(), QFile::encodeName(fifo).toStdString()});
    auto* startedBar = started->findChild<QStatusBar*>("StatusBar1");
    ASSERT_TRUE(QTest::qWaitFor([&] { return startedBar->currentMessage() == "1 other file was not opened."; }))
        << startedBar->currentMessage().toStdString();
    EXPECT_EQ(started->findChild<QLineEdit*>("ResultMD5")->text(), kAbcMd5);

    QTest::qWait(200);
    EXPECT_FALSE(fifoOpened) << "a file after the first was opened";
    EXPECT_EQ(Errors().size(), 1u);

    // A hand-over that comes during the long Generate of the one before:
    // each is told with its own count.
    HeldRun run(true);
    form_->SetGenerateStarter(run.Starter());
    const QString second = WriteFile("second", "abc");
    form_->HandFile(QFile::encodeName(first).toStdString(), 1);
    QString noteOfTheFirst;
    QTimer::singleShot(700, [&] {
        form_->HandFile(QFile::encodeName(second).toStdString(), 3);
        QObject::connect(&bar, &QStatusBar::messageChanged, form_, [&](const QString& message) {
            if (noteOfTheFirst.isEmpty() && message.endsWith("opened."))
                noteOfTheFirst = message;
        });
        run.Release();
    });
    ASSERT_TRUE(QTest::qWaitFor([&] { return Edit("FNEdit").text() == second; }, 10000));
    ASSERT_TRUE(QTest::qWaitFor([&] { return !bar.currentMessage().isEmpty(); }));
    EXPECT_EQ(noteOfTheFirst, "1 other file was not opened.");
    EXPECT_EQ(bar.currentMessage(), "3 other files were not opened.");
}

// The status bar as the window shows it, and as the window draws it afresh,
// in device pixels. What the window shows is its backing store, which holds
// what was painted and goes to the screen as it is.
std::pair<QImage, QImage> StatusBarShownAndFresh(QWidget& window, QStatusBar& bar)
{
    const auto* store = dynamic_cast<const QImage*>(window.backingStore()->paintDevice());
    if (store == nullptr)
        return {};
    // The whole window, so that a bar that begins between two device pixels
    // (at scale 1.5) lies on the same pixels in both.
    const QImage fresh = window.grab().toImage();
    const qreal ratio = store->devicePixelRatio();
    const QRect area(bar.mapTo(&window, QPoint(0, 0)) * ratio, bar.size() * ratio);
    return {store->copy(area).convertToFormat(QImage::Format_RGB32),
            fresh.copy(area).convertToFormat(QImage::Format_RGB32)};
}

// The first column of the image, from the left, that holds a pixel of the
// colour `ink` (text) more than of the background; -1 for none.
int FirstInkColumn(const QImage& image, const QColor& ink, const QColor& background)
{
    const auto distance = [](QRgb a, const QColor& b) {
        return std::abs(qRed(a) - b.red()) + std::abs(qGreen(a) - b.green()) + std::abs(qBlue(a) - b.blue());
    };
    // The text's middle half, clear of the bar's etched top line.
    for (int x = 0; x < image.width(); ++x)
        for (int y = image.height() / 4; y < image.height() * 3 / 4; ++y)
            if (distance(image.pixel(x, y), ink) < distance(image.pixel(x, y), background))
                return x;
    return -1;
}

// Every text of the status bar shows whole, as freshly drawn, whatever text
// it showed before (a paint that reaches only part of the bar leaves the
// rest as it was: the first letter cut, a stroke of the run's line behind),
// clear of the bar's left edge, in a light and a dark palette. Run again at
// the scales of HiDPI desktops by StatusBarTextsAreWholeAtEveryScale.
TEST_F(MainFormTest, StatusBarTextsAreWholeAtThisScale)
{
    SCOPED_TRACE("QT_SCALE_FACTOR=" + qEnvironmentVariable("QT_SCALE_FACTOR", "1").toStdString());
    auto owned = std::make_unique<FakeClipboard>();
    FakeClipboard& clipboard = *owned;
    form_->SetClipboard(std::move(owned));
    form_->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(form_));
    auto& bar = Control<QStatusBar>("StatusBar1");
    const QPalette light = QApplication::palette();
    QPalette dark = light;
    for (const auto& [role, colour] :
         {std::pair{QPalette::Window, QColor(45, 45, 48)}, std::pair{QPalette::WindowText, QColor(235, 235, 235)},
          std::pair{QPalette::Base, QColor(30, 30, 30)}, std::pair{QPalette::Text, QColor(235, 235, 235)},
          std::pair{QPalette::Button, QColor(55, 55, 58)}, std::pair{QPalette::ButtonText, QColor(235, 235, 235)},
          std::pair{QPalette::Light, QColor(90, 90, 95)}, std::pair{QPalette::Mid, QColor(25, 25, 25)}})
        dark.setColor(role, colour);
    const auto restore = qScopeGuard([&] { QApplication::setPalette(light); });

    const auto expectWhole = [&](const std::string& when) {
        QTest::qWait(30);  // the paints reach the screen
        const auto [shown, fresh] = StatusBarShownAndFresh(*form_, bar);
        ASSERT_FALSE(shown.isNull()) << "the window's backing store is no image";
        ASSERT_EQ(shown.size(), fresh.size()) << when;
        EXPECT_TRUE(shown == fresh) << when << ": the bar on the screen is not the bar freshly drawn";
        if (!bar.currentMessage().isEmpty()) {
            const int first =
                FirstInkColumn(fresh, bar.palette().color(QPalette::WindowText), bar.palette().color(QPalette::Window));
            EXPECT_GE(first, std::ceil(2.0 * fresh.width() / bar.width()))
                << when << ": the text touches the left edge";
        }
    };

    for (const auto& [which, palette] :
         {std::pair{std::string("light: "), light}, std::pair{std::string("dark: "), dark}}) {
        QApplication::setPalette(palette);
        TickAlgorithms(true, true, true);
        UseTextPage("abc");
        form_->SetGenerateStarter([](const GenerateInput& input) { return std::make_unique<GenerateTask>(input); });
        Generate();
        expectWhole(which + "no text");
        clipboard.Put("SHA1 (abc) = " + std::string(40, '0'));
        ASSERT_EQ(bar.currentMessage(), "SHA-1 does not match the digest on the clipboard");
        expectWhole(which + "SHA-1");
        clipboard.Put("MD5 (abc) = " + std::string(kAbcMd5));
        expectWhole(which + "MD5");
        clipboard.Put("CRC32 " + std::string(kAbcCrc) + " MD5 " + std::string(kAbcMd5));
        expectWhole(which + "MD5 and CRC-32");

        // A long run, its line, and the bar once it has ended.
        clipboard.Put(std::nullopt);
        HeldRun run(true);
        form_->SetGenerateStarter(run.Starter());
        QTimer::singleShot(700, [&] {
            expectWhole(which + "the run's line");
            // Drawn whole, as when the window shows or is uncovered during
            // a run started from the command line.
            form_->repaint();
            run.Release();
        });
        Generate();
        ASSERT_EQ(Result("ResultMD5"), "M");
        ASSERT_EQ(bar.currentMessage(), "");
        expectWhole(which + "after a run");
    }
}

// The digests other tools publish, which the window computes when the
// clipboard asks for them as Generate starts: BLAKE3 and BLAKE2b for a
// line that names no algorithm, SHA3-256 and BLAKE2b-256 where the
// clipboard names them, keyed as the rows are (BLAKE3, which has no HMAC,
// left out). The line names the algorithm that matched; the tooltip and
// the accessible description give its value.
TEST_F(MainFormTest, TheDigestsOtherToolsPublishAreComputedWhenTheClipboardAsks)
{
    auto owned = std::make_unique<FakeClipboard>();
    FakeClipboard& clipboard = *owned;
    form_->SetClipboard(std::move(owned));
    std::vector<GenerateInput> inputs;
    form_->SetGenerateStarter([&](const GenerateInput& input) {
        inputs.push_back(input);
        return std::make_unique<GenerateTask>(input);
    });
    auto& bar = Control<QStatusBar>("StatusBar1");
    const QByteArray content = "The quick brown fox jumps over the lazy dog\n";
    const QString file = WriteFile("fox.txt", content);
    const auto hex = [&](QCryptographicHash::Algorithm algorithm) {
        return QCryptographicHash::hash(content, algorithm).toHex().toStdString();
    };
    TickAlgorithms(true, false, false);
    Edit("FNEdit").setText(file);
    const auto generate = [&](const std::string& text) {
        clipboard.Put(text);
        inputs.clear();
        Generate();
        EXPECT_EQ(inputs.size(), 1u);
        return inputs.empty() ? GenerateInput{} : inputs.back();
    };

    // 128 digits that name no algorithm: SHA-512 and BLAKE2b-512.
    const std::string b2 = hex(QCryptographicHash::Blake2b_512);
    GenerateInput input = generate(b2 + "  fox.txt\n");
    EXPECT_TRUE(input.algorithms.Has(Algorithm::Sha512) && input.algorithms.Has(Algorithm::Blake2b));
    EXPECT_EQ(input.blake2bBytes, 64u);
    EXPECT_EQ(bar.currentMessage(), "BLAKE2b matches the digest on the clipboard");
    EXPECT_EQ(bar.toolTip().toStdString(), "BLAKE2b matches the digest on the clipboard.\nBLAKE2b = " + Upper(b2));
    EXPECT_EQ(bar.accessibleDescription(), bar.toolTip());

    // b2sum -l 256, and the same named by its tag: BLAKE2b-256.
    const std::string b2of256 = hex(QCryptographicHash::Blake2b_256);
    input = generate(b2of256 + "  fox.txt    (b2sum -l 256)\n");
    EXPECT_TRUE(input.algorithms.Has(Algorithm::Blake2b));
    EXPECT_FALSE(input.algorithms.Has(Algorithm::Blake3)) << "BLAKE3 for a digest named BLAKE2b";
    EXPECT_EQ(input.blake2bBytes, 32u);
    EXPECT_EQ(bar.currentMessage(), "BLAKE2b-256 matches the digest on the clipboard");
    clipboard.Put("BLAKE2b-256 (fox.txt) = " + std::string(64, '0'));
    EXPECT_EQ(bar.currentMessage(), "BLAKE2b-256 does not match the digest on the clipboard");

    // A sentence with a SHA3-256 and its name.
    const std::string sha3 = hex(QCryptographicHash::Sha3_256);
    input = generate("The SHA3-256 of fox.txt is " + sha3 + ".");
    EXPECT_TRUE(input.algorithms.Has(Algorithm::Sha3_256));
    EXPECT_FALSE(input.algorithms.Has(Algorithm::Blake3));
    EXPECT_EQ(bar.currentMessage(), "SHA3-256 matches the digest on the clipboard");
    // Named, compared, and differs: red, and said so.
    generate("The SHA3-256 of fox.txt is " + std::string(63, '0') + "1.");
    EXPECT_EQ(bar.currentMessage(), "SHA3-256 does not match the digest on the clipboard");

    // A b3sum line: BLAKE3 beside SHA-256, against b3sum's own digest.
    if (!QStandardPaths::findExecutable("b3sum").isEmpty()) {
        QProcess b3sum;
        b3sum.start("b3sum", {file});
        ASSERT_TRUE(b3sum.waitForFinished(20000));
        const std::string line = b3sum.readAllStandardOutput().toStdString();
        input = generate(line);
        EXPECT_TRUE(input.algorithms.Has(Algorithm::Blake3));
        EXPECT_EQ(bar.currentMessage(), "BLAKE3 matches the digest on the clipboard");
        EXPECT_TRUE(bar.toolTip().endsWith(QString::fromStdString("BLAKE3 = " + Upper(line.substr(0, 64)))))
            << bar.toolTip().toStdString();
    }
    generate(std::string(64, 'a') + "  fox.txt\n");
    EXPECT_EQ(bar.currentMessage(), "Not this file's SHA-256 or BLAKE3; copy the whole line");

    // Keyed: BLAKE3 has no HMAC; SHA3-256 and BLAKE2b are keyed as the rows.
    Tick("CheckBoxHMAC").setChecked(true);
    Edit("EditKeyHMAC").setText("key");
    input = generate(std::string(64, 'a') + "  fox.txt\n");
    EXPECT_FALSE(input.algorithms.Has(Algorithm::Blake3));
    EXPECT_EQ(bar.currentMessage(), "Not this file's SHA-256; copy the whole line");
    const std::string keyedSha3 =
        QMessageAuthenticationCode::hash(content, "key", QCryptographicHash::Sha3_256).toHex().toStdString();
    input = generate("HMAC-SHA3-256(fox.txt)= " + keyedSha3);
    EXPECT_TRUE(input.hmac && input.algorithms.Has(Algorithm::Sha3_256));
    EXPECT_EQ(bar.currentMessage(), "SHA3-256 matches the digest on the clipboard");
    const std::string keyedB2 =
        QMessageAuthenticationCode::hash(content, "key", QCryptographicHash::Blake2b_512).toHex().toStdString();
    generate(keyedB2 + "  fox.txt\n");
    EXPECT_EQ(bar.currentMessage(), "BLAKE2b matches the digest on the clipboard");
    EXPECT_TRUE(shown_.empty());
}

// A Generate that a start (or a hand-over) runs waits for a read of the
// clipboard under way, no longer than 0.2 s, so that a digest copied before
// the start is computed; one that no read holds up starts at once.
TEST_F(MainFormTest, AStartsGenerateWaitsAFifthOfASecondAtMostForTheClipboardsRead)
{
    auto owned = std::make_unique<FakeClipboard>();
    FakeClipboard& clipboard = *owned;
    form_->SetClipboard(std::move(owned));
    std::vector<GenerateInput> inputs;
    QElapsedTimer sinceHanded;
    std::vector<qint64> startedAfter;
    form_->SetGenerateStarter([&](const GenerateInput& input) {
        inputs.push_back(input);
        startedAfter.push_back(sinceHanded.elapsed());
        return std::make_unique<GenerateTask>(input);
    });
    const QString file = WriteFile("image.iso", "abc");
    const std::string name = QFile::encodeName(file).toStdString();
    const std::string sha512 = QCryptographicHash::hash("abc", QCryptographicHash::Sha512).toHex().toStdString();
    auto& bar = Control<QStatusBar>("StatusBar1");

    // The read ends 50 ms after the hand-over: the Generate waits for it,
    // and computes the SHA-512 the clipboard holds.
    clipboard.reading = true;
    sinceHanded.start();
    form_->HandFile(name);
    QTimer::singleShot(50, [&] { clipboard.Put("SHA512 (image.iso) = " + sha512); });
    ASSERT_TRUE(QTest::qWaitFor([&] { return !inputs.empty(); }, 2000));
    EXPECT_TRUE(inputs.back().algorithms.Has(Algorithm::Sha512));
    EXPECT_GE(startedAfter.back(), 45);
    EXPECT_LT(startedAfter.back(), 190) << "waited on after the read had ended";
    EXPECT_EQ(bar.currentMessage(), "SHA-512 matches the digest on the clipboard");

    // A read that does not end: 0.2 s, then the Generate with what was read
    // last.
    Edit("FNEdit").setText(QString());
    clipboard.reading = true;
    inputs.clear();
    sinceHanded.start();
    form_->HandFile(name);
    ASSERT_TRUE(QTest::qWaitFor([&] { return !inputs.empty(); }, 2000));
    EXPECT_GE(startedAfter.back(), 195) << "did not wait for the read";
    EXPECT_LT(startedAfter.back(), 400) << "waited too long";
    EXPECT_TRUE(inputs.back().algorithms.Has(Algorithm::Sha512)) << "what was read last";

    // No read under way (Wayland, or a clipboard read long ago): at once.
    Edit("FNEdit").setText(QString());
    clipboard.reading = false;
    inputs.clear();
    sinceHanded.start();
    form_->HandFile(name);
    ASSERT_TRUE(QTest::qWaitFor([&] { return !inputs.empty(); }, 2000));
    EXPECT_LT(startedAfter.back(), 100);
    // A press of the button never waits.
    clipboard.reading = true;
    inputs.clear();
    sinceHanded.start();
    Generate();
    ASSERT_EQ(inputs.size(), 1u);
    EXPECT_LT(startedAfter.back(), 100);
    EXPECT_TRUE(shown_.empty());
}

// Every line the window can say, for every combination of verdicts, box
// marks and the note on files not opened, fits the status bar beside its
// mark as the bar's own font measures it: 371 pixels less the mark at
// scale 1 (the window is 379 wide); EveryStatusLineFitsAtEveryScale runs
// this again at 1.5 and 2. The first sentence is always whole.
TEST_F(MainFormTest, EveryStatusLineFitsAtThisScale)
{
    SCOPED_TRACE("QT_SCALE_FACTOR=" + qEnvironmentVariable("QT_SCALE_FACTOR", "1").toStdString());
    form_->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(form_));
    auto& bar = Control<QStatusBar>("StatusBar1");
    ASSERT_EQ(bar.width(), 379);
    const QFontMetrics metrics = bar.fontMetrics();
    const int room = 371 - (metrics.height() + 4);
    EXPECT_EQ(form_->StatusLineRoom(), room);
    const auto width = [&](std::string_view text) {
        return metrics.horizontalAdvance(QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size())));
    };
    const auto fits = [&](std::string_view text) { return width(text) <= room; };

    // Each length's verdicts: every kind, of every set of its algorithms,
    // one digest or several.
    std::vector<std::vector<LengthVerdict>> verdictSets{{}};
    std::vector<LengthVerdict> longestOfEach;
    for (const std::size_t digits : UnboxedLengths()) {
        const std::vector<Candidate> candidates = CandidatesOfLength(digits);
        for (const VerdictKind kind :
             {VerdictKind::Matches, VerdictKind::DoesNotMatch, VerdictKind::NotThisOne, VerdictKind::NotComputed}) {
            for (unsigned subset = 1; subset < (1u << candidates.size()); ++subset) {
                for (const bool several : {false, true}) {
                    LengthVerdict verdict;
                    verdict.kind = kind;
                    verdict.digits = digits;
                    verdict.several = several;
                    for (std::size_t i = 0; i < candidates.size(); ++i)
                        if (subset & (1u << i))
                            verdict.names.push_back(CandidateName(candidates[i]));
                    if (kind == VerdictKind::NotComputed)
                        verdict.names.clear();
                    verdictSets.push_back({verdict});
                    longestOfEach.push_back(verdict);
                }
            }
        }
    }
    // Two lengths at once: each verdict before the longest of each kind of
    // the other lengths, the way the line orders them.
    const std::size_t singles = verdictSets.size();
    const auto sentenceWidth = [&](const LengthVerdict& verdict) {
        return width(ReportFor({}, {verdict}, Digested::Text).sentences.front().whole);
    };
    std::vector<LengthVerdict> longest;
    for (const LengthVerdict& verdict : longestOfEach) {
        const auto same = std::find_if(longest.begin(), longest.end(), [&](const LengthVerdict& kept) {
            return kept.digits == verdict.digits && kept.kind == verdict.kind && kept.several == verdict.several;
        });
        if (same == longest.end())
            longest.push_back(verdict);
        else if (sentenceWidth(verdict) > sentenceWidth(*same))
            *same = verdict;
    }
    std::vector<std::vector<LengthVerdict>> pairs;
    for (std::size_t i = 1; i < singles; ++i)
        for (const LengthVerdict& other : longest)
            if (verdictSets[i][0].digits != other.digits)
                pairs.push_back({verdictSets[i][0], other});

    using M = ResultMark;
    std::vector<std::vector<std::pair<Algorithm, M>>> boxes;
    for (const M md5 : {M::None, M::Matches, M::DoesNotMatch})
        for (const M sha1 : {M::None, M::Matches, M::DoesNotMatch})
            for (const M crc32 : {M::None, M::Matches, M::DoesNotMatch})
                boxes.push_back({{Algorithm::Md5, md5}, {Algorithm::Sha1, sha1}, {Algorithm::Crc32, crc32}});
    const std::vector<std::string> notes = {"", "1 other file was not opened.",
                                            "18446744073709551615 other files were not opened."};
    std::size_t lines = 0;
    int widest = 0;
    std::string widestLine;
    const auto measure = [&](const std::vector<std::pair<Algorithm, M>>& marks, std::vector<LengthVerdict> verdicts,
                             Digested digested, const std::string& note) {
        std::stable_sort(verdicts.begin(), verdicts.end(), [](const auto& a, const auto& b) {
            const auto rank = [](VerdictKind kind) {
                return kind == VerdictKind::DoesNotMatch ? 0
                       : kind == VerdictKind::Matches    ? 1
                       : kind == VerdictKind::NotComputed ? 2
                                                          : 3;
            };
            return rank(a.kind) < rank(b.kind);
        });
        const StatusReport report = ReportFor(marks, verdicts, digested, note);
        const std::string line = LineOf(report, fits);
        ++lines;
        const int w = width(line);
        if (w > widest) {
            widest = w;
            widestLine = line;
        }
        EXPECT_LE(w, room) << line;
        if (!report.sentences.empty()) {
            EXPECT_EQ(line.rfind(report.sentences.front().whole, 0), 0u) << "the first sentence is not whole: " << line;
        }
    };
    // Every verdict alone, on either page; on the text page ("this
    // text's", the wider) beside every set of box marks and with each note;
    // two lengths at once beside a few sets of marks and the longest note.
    for (std::size_t i = 0; i < singles; ++i)
        measure(boxes.front(), verdictSets[i], Digested::File, "");
    for (const auto& marks : boxes)
        for (const std::string& note : notes)
            for (std::size_t i = 0; i < singles; ++i)
                measure(marks, verdictSets[i], Digested::Text, note);
    for (const auto& marks : {boxes.front(), boxes[13], boxes[17], boxes.back()})
        for (const auto& verdicts : pairs)
            measure(marks, verdicts, Digested::Text, notes.back());
    std::printf("[ figures  ] %zu lines measured, room %d px, the widest %d px: \"%s\"\n", lines, room, widest,
                widestLine.c_str());
    EXPECT_GT(widest, room * 8 / 10) << "the lines measured are not the long ones";
}

TEST(MainFormScales, EveryStatusLineFitsAtEveryScale)
{
    for (const char* scale : {"1.5", "2"})
        RunAtScale("MainFormTest.EveryStatusLineFitsAtThisScale", scale);
}

// The mark before the status line, sampled from the bar as it is drawn: a
// green disc on a green tint for a match, a red one on a red tint for a
// mismatch, a grey one otherwise, each of a contrast of at least 3:1 with
// the bar behind it, in a light palette and a dark one (Fusion with a dark
// palette of its own: Qt follows no dark mode of the desktop on X11). The
// text starts after the mark.
TEST_F(MainFormTest, TheMarkStandsOutInALightAndADarkPalette)
{
    auto owned = std::make_unique<FakeClipboard>();
    FakeClipboard& clipboard = *owned;
    form_->SetClipboard(std::move(owned));
    QApplication::setStyle("Fusion");
    const QPalette before = QApplication::palette();
    const auto restore = qScopeGuard([&] { QApplication::setPalette(before); });
    const QPalette light = QApplication::style()->standardPalette();
    QPalette dark = light;
    for (const auto& [role, colour] :
         {std::pair{QPalette::Window, QColor(45, 45, 48)}, std::pair{QPalette::WindowText, QColor(235, 235, 235)},
          std::pair{QPalette::Base, QColor(30, 30, 30)}, std::pair{QPalette::Text, QColor(235, 235, 235)},
          std::pair{QPalette::Button, QColor(55, 55, 58)}, std::pair{QPalette::ButtonText, QColor(235, 235, 235)},
          std::pair{QPalette::Light, QColor(90, 90, 95)}, std::pair{QPalette::Mid, QColor(25, 25, 25)}})
        dark.setColor(role, colour);
    form_->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(form_));
    auto& bar = Control<QStatusBar>("StatusBar1");
    const std::string other64(64, 'a');
    TickAlgorithms(true, false, false);
    UseTextPage("abc");

    for (const auto& [which, palette] : {std::pair{"light", light}, std::pair{"dark", dark}}) {
        QApplication::setPalette(palette);
        QTest::qWait(30);  // the palette reaches the bar
        ASSERT_EQ(bar.palette().color(QPalette::Window), palette.color(QPalette::Window)) << which;
        const auto rgb = [](QRgb pixel) { return static_cast<std::uint32_t>(pixel) & 0xffffffu; };
        const QColor panel = bar.palette().color(QPalette::Window).darker(106);
        for (const auto& [kind, text] : {std::pair{LineMark::Matches, Lower(kAbcMd5)},
                                         std::pair{LineMark::DoesNotMatch, std::string(32, '0')},
                                         std::pair{LineMark::Neutral, other64}}) {
            clipboard.Put(std::nullopt);
            Generate();
            clipboard.Put(text);
            ASSERT_FALSE(bar.currentMessage().isEmpty());
            const QImage image = bar.grab().toImage().convertToFormat(QImage::Format_RGB32);
            const qreal ratio = image.devicePixelRatio();
            const int middle = image.height() / 2 + 1;
            // The bar behind the line: its right end, past the text.
            const std::uint32_t behind = rgb(image.pixel(image.width() - 3, middle));
            // The mark: of the pixels where it is drawn, the one that stands
            // out most (its disc; its symbol is cut out in the bar's colour).
            const int markEnd = qRound((4 + bar.fontMetrics().height()) * ratio);
            std::uint32_t mark = behind;
            int markRight = -1;
            for (int x = 0; x < markEnd + 2; ++x)
                for (int y = 2; y < image.height(); ++y) {
                    const std::uint32_t pixel = rgb(image.pixel(x, y));
                    if (ContrastRatio(pixel, behind) > 1.5)
                        markRight = std::max(markRight, x);
                    if (ContrastRatio(pixel, behind) > ContrastRatio(mark, behind))
                        mark = pixel;
                }
            const double contrast = ContrastRatio(mark, behind);
            std::printf("[ figures  ] %s palette, %s mark: #%06x on #%06x, contrast %.2f:1\n", which,
                        kind == LineMark::Matches        ? "match"
                        : kind == LineMark::DoesNotMatch ? "mismatch"
                                                         : "neutral",
                        mark, behind, contrast);
            EXPECT_GE(contrast, 3.0) << which << " " << bar.currentMessage().toStdString();
            const int red = (mark >> 16) & 0xff, green = (mark >> 8) & 0xff;
            if (kind == LineMark::Matches) {
                EXPECT_GT(green, red + 40) << which << ": the match's mark is not green";
                EXPECT_NE(behind, rgb(panel.rgb())) << which << ": no tint behind a match";
                EXPECT_GT((behind >> 8) & 0xff, (behind >> 16) & 0xff) << which << ": the tint is not green";
            } else if (kind == LineMark::DoesNotMatch) {
                EXPECT_GT(red, green + 40) << which << ": the mismatch's mark is not red";
                EXPECT_GT((behind >> 16) & 0xff, (behind >> 8) & 0xff) << which << ": the tint is not red";
            } else {
                EXPECT_LT(std::abs(red - green), 20) << which << ": the neutral mark is not grey";
                EXPECT_EQ(behind, rgb(panel.rgb())) << which << ": a tint behind a neutral line";
            }
            // The mark is where the room left for the text says it is, and
            // the text begins after it.
            EXPECT_GT(markRight, qRound(4 * ratio)) << which;
            EXPECT_LT(markRight, markEnd) << which;
            const std::uint32_t ink = rgb(bar.palette().color(QPalette::WindowText).rgb());
            int firstInk = -1;
            for (int x = markEnd; x < image.width() && firstInk < 0; ++x)
                for (int y = image.height() / 4; y < image.height() * 3 / 4; ++y)
                    if (ContrastRatio(rgb(image.pixel(x, y)), ink) < ContrastRatio(rgb(image.pixel(x, y)), behind)) {
                        firstInk = x;
                        break;
                    }
            EXPECT_GE(firstInk, markEnd) << which;
            EXPECT_LT(firstInk, markEnd + qRound(8 * ratio)) << which << ": the text is far from its mark";
        }
    }
    // No words, no mark and no tint.
    clipboard.Put(std::nullopt);
    const QImage empty = bar.grab().toImage().convertToFormat(QImage::Format_RGB32);
    const QColor panel = bar.palette().color(QPalette::Window).darker(106);
    for (int x = 0; x < empty.width(); x += 3)
        ASSERT_EQ(empty.pixel(x, empty.height() / 2 + 1) & 0xffffffu, panel.rgb() & 0xffffffu) << x;
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
