#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <QMainWindow>
#include <QString>
#include <QTimer>

#include <array>

#include <QPalette>

#include "app/open_dialog.h"
#include "app/result_clipboard.h"
#include "core/clipboard_marks.h"

namespace Ui {
class TForm1;
}
class QEventLoop;
class QLineEdit;
class GenerateTask;
struct GenerateInput;
class TInstanceLimit;

// The main window: input on the File and Text pages, the algorithm and HMAC
// ticks, the result boxes and the Generate button.
class TForm1 : public QMainWindow {
    Q_OBJECT

public:
    explicit TForm1(QWidget* parent = nullptr);
    // With the files named at the program's start (absolute names): a start
    // that the instance limit turns away hands them over to the running
    // instance; one that stays opens the first once its window is up.
    explicit TForm1(std::vector<std::string> files, QWidget* parent = nullptr);
    ~TForm1() override;

    // Runs once the window and its components are completely built.
    void FormCreate();

    // Event handlers. They may throw; the connections run them through the
    // error guard.
    void FormClose();
    void MnExitClick();
    void MnAboutClick();
    void BtnBrowseClick();
    void BtnGenerateClick();
    void PageControlChange();
    void FNEditChange();
    void MemoTextChange();
    void CheckBoxHMACClick();

    void ClearResults();
    void SetInitialState();
    void LoadSettings();
    void SaveSettings();
    // SaveSettings for Exit and close: throws on a failure, except when the
    // last attempt failed too, which is shown and then let go.
    void SaveSettingsBeforeLeaving();

    // Names the file on the File page and runs Generate on it, as the button
    // does. A name that the name box cannot hold exactly as it is raises an
    // error naming the file, and the window stays as it was.
    void OpenFile(const std::string& name);
    // A file handed to the window, by its own start or by a later start:
    // opened from the loop once the window is not busy; of the files handed
    // meanwhile, the last one wins. `others` counts the files named with it,
    // which are never opened: the status bar says so once it is.
    void HandFile(std::string name, std::size_t others = 0);
    // Within Generate or a handler that runs a dialog, or while a modal box
    // is up: a handed file waits.
    bool Busy() const;

    // Replaces the open-file dialog; returns the previous one.
    std::unique_ptr<OpenFileDialog> SetOpenDialog(std::unique_ptr<OpenFileDialog> dialog);

    // For tests: what starts a run of Generate in place of the real command.
    using GenerateStarter = std::function<std::unique_ptr<GenerateTask>(const GenerateInput&)>;
    void SetGenerateStarter(GenerateStarter starter);

    // Replaces the clipboard the results are compared with.
    void SetClipboard(std::unique_ptr<ResultClipboard> clipboard);
    // Compares the result boxes, and the digests that have no box, with the
    // digests on the clipboard, as it was last read, and marks them and says
    // so in the status line: when results are shown and whenever a read
    // of the clipboard ends (it is read when it changes and when the window
    // becomes active). Never while a Generate runs, and never waiting for
    // the clipboard.
    void MarkResults();

    // The room the status line's text has beside its mark, in pixels.
    int StatusLineRoom() const;

protected:
    void closeEvent(QCloseEvent* event) override;
    void moveEvent(QMoveEvent* event) override;
    void dragEnterEvent(QDragEnterEvent* event) override;
    void dragMoveEvent(QDragMoveEvent* event) override;
    void dropEvent(QDropEvent* event) override;
    void changeEvent(QEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

    // One instance at a time: a second start brings this window forward.
    TInstanceLimit* InstanceLimit1 = nullptr;

private:
    class SettingsView;
    class BusyScope;
    // The steps of building the window, in their order.
    void CreateComponents();
    void LayOut();
    void SetUpResultBoxes();
    void TakeDroppedFiles();
    void UseSystemServices();
    void ConnectHandlers();
    void OpenStartFile();
    void MemoTextEdited();
    GenerateInput ReadGenerateInput();
    void WaitWhileWorking(GenerateTask& task);
    void CancelRun();
    void ShowProgress(const GenerateTask& task);
    void ShowResult(QLineEdit& box, const QString& text);
    void DropFile(const QString& path);
    bool CmdLineReceived(const std::vector<std::string>& lines);
    void TakeHandedFile();
    void SetMark(std::size_t box, ResultMark mark);
    void ShowStatusLine();

    std::unique_ptr<Ui::TForm1> ui_;
    std::unique_ptr<OpenFileDialog> openDialog_;
    GenerateStarter startGenerate_;
    // While a long Generate runs: the run, and the loop that waits for it.
    GenerateTask* runningTask_ = nullptr;
    QEventLoop* runLoop_ = nullptr;
    // The text page's text as last seen, so that only a real change of the
    // text (not of its formatting or undo state) clears the results.
    QString memoText_;
    bool snapping_ = false;
    bool saveFailed_ = false;
    std::vector<std::string> startFiles_;
    std::optional<std::string> handedFile_;
    // How many files came with the handed file, and were left unopened.
    std::size_t handedOthers_ = 0;
    // The status line's note on those files, until the name box changes.
    std::string othersNote_;
    // Handlers running that keep the window busy (BusyScope).
    int busy_ = 0;
    // Looks again for a handed file that had to wait.
    QTimer handedRetry_;
    // The result boxes in the order MD5, SHA-1, CRC-32, their marks, and
    // their palette before any mark tinted it.
    std::array<QLineEdit*, 3> resultBoxes_{};
    std::array<ResultMark, 3> marks_{};
    QPalette resultPalette_;
    // What the last Generate computed beside the boxes and shows in none, to
    // compare it with digests of its length on the clipboard (SHA-256
    // always, others as the clipboard asked as the run started), kept until
    // the results are cleared; their verdicts, in the line's order.
    UnboxedResults unboxed_;
    std::vector<LengthVerdict> verdicts_;
    // The mark the status line shows before its text.
    LineMark lineMark_ = LineMark::None;
    // A start's (or hand-over's) Generate waits for a read of the clipboard
    // under way until then, at most.
    std::optional<std::chrono::steady_clock::time_point> clipboardWait_;
    std::unique_ptr<ResultClipboard> clipboard_;
};

class TAboutBox;

// The program's two windows; each is set while it is being built.
extern TForm1* Form1;
extern TAboutBox* AboutBox;
