#pragma once

#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include <QObject>
#include <QPointer>
#include <QWidget>

#include "platform/base/exception.h"

namespace platform {
class ApplicationWindow;
}

// The application frame: the title, the windows it owns, the one place where
// failures are shown, and the end of the message loop.

// What a message box shows. Style holds the classic flag values (0x10 is one
// OK button with the stop icon, 0x2000 makes it modal over the whole task).
struct MessageBoxRequest {
    std::string caption;
    std::string text;
    unsigned style = 0;
};

constexpr unsigned kMbOk = 0x0;
constexpr unsigned kMbIconStop = 0x10;
constexpr unsigned kMbTaskModal = 0x2000;

// Shows message boxes; tests replace it to read what would have been shown.
class MessagePresenter {
public:
    virtual ~MessagePresenter() = default;
    // owner may be null (no owner window).
    virtual void Show(QWidget* owner, const MessageBoxRequest& request) = 0;
};

// The title derived from a program file's path: the name after the last
// directory separator, cut at its first ".", lower case from the second byte.
std::string AppTitleFromPath(std::string_view path);

class AppFrameClass {
public:
    explicit AppFrameClass(std::string title);
    ~AppFrameClass();
    AppFrameClass(const AppFrameClass&) = delete;
    AppFrameClass& operator=(const AppFrameClass&) = delete;

    const std::string& AppTitle() const { return title_; }

    // Shows a failure that escaped an event handler; returns normally.
    void ReportError(const Exception& error);
    void ReportForeignError(const std::string& what);
    // The text and box shown when start-up itself fails.
    void ShowLastChanceError(const Exception& error);
    // A failure that ends a start before its window shows: on standard
    // error, and in the error box too unless standard error is a terminal
    // (a start from the desktop has nowhere else to say it).
    void ReportEndingError(const Exception& error);

    // Ends the message loop once control returns to it.
    void RequestQuit();
    // Ends the loop at once, without any close handler (the session ends).
    void Terminate();
    bool Terminated() const { return terminated_; }

    // Takes ownership of a created window; the first becomes the main window.
    void AdoptWindow(std::unique_ptr<QWidget> window);
    QWidget* MainWindow() const { return mainWindow_; }

    // Shows the main window and runs the loop; returns the exit code.
    int Run();
    // Destroys the owned windows, newest first.
    void ReleaseWindows();

    // Replaces the message box presenter; returns the previous one.
    std::unique_ptr<MessagePresenter> SetPresenter(std::unique_ptr<MessagePresenter> presenter);

private:
    std::string title_;
    std::vector<std::unique_ptr<QWidget>> windows_;
    QPointer<QWidget> mainWindow_;
    std::unique_ptr<MessagePresenter> presenter_;
    bool terminated_ = false;
    // How other processes find this one and bring its main window forward.
    std::unique_ptr<platform::ApplicationWindow> applicationWindow_;
    // Queued requests run in its context, so none outlives the frame.
    QObject context_;
};

// The one application frame of the process; null before it is created.
extern AppFrameClass* AppFrame;

// The text of the last-chance box for a failure that escaped start-up.
std::string LastChanceText(const Exception& error, const std::string& moduleName);
