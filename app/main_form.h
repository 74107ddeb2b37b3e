#pragma once

#include <functional>
#include <memory>

#include <QMainWindow>
#include <QString>

#include "app/open_dialog.h"

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

    // Replaces the open-file dialog; returns the previous one.
    std::unique_ptr<OpenFileDialog> SetOpenDialog(std::unique_ptr<OpenFileDialog> dialog);

    // For tests: what starts a run of Generate in place of the real command.
    using GenerateStarter = std::function<std::unique_ptr<GenerateTask>(const GenerateInput&)>;
    void SetGenerateStarter(GenerateStarter starter);

protected:
    void closeEvent(QCloseEvent* event) override;
    void moveEvent(QMoveEvent* event) override;
    void dragEnterEvent(QDragEnterEvent* event) override;
    void dragMoveEvent(QDragMoveEvent* event) override;
    void dropEvent(QDropEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

    // One instance at a time: a second start brings this window forward.
    TInstanceLimit* InstanceLimit1 = nullptr;

private:
    class SettingsView;
    void CreateComponents();
    void ConnectHandlers();
    void MemoTextEdited();
    GenerateInput ReadGenerateInput();
    void WaitWhileWorking(GenerateTask& task);
    void CancelRun();
    void ShowProgress(const GenerateTask& task);
    void ShowResult(QLineEdit& box, const QString& text);
    void DropFile(const QString& path);

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
};

class TAboutBox;

// The program's two windows; each is set while it is being built.
extern TForm1* Form1;
extern TAboutBox* AboutBox;
