#pragma once

#include <chrono>
#include <functional>
#include <string>
#include <string_view>

#include "platform/windows/message_window.h"

class QWidget;

// The application window of a process: the top-level window of class
// "TApplication" through which other processes find its GUI thread and ask
// it to come to the front. Being brought to the front is done by the owner
// itself, on request: un-minimise, show, raise and activate the main window.
namespace platform {

inline constexpr const char* kApplicationWindowClass = "TApplication";

class ApplicationWindow {
public:
    // `mainWindow` gives the window to restore and raise, or null while there
    // is none yet. Throws std::system_error when it cannot be published.
    explicit ApplicationWindow(std::function<QWidget*()> mainWindow);

    WindowHandle Handle() const noexcept { return window_.Handle(); }

private:
    std::intptr_t Procedure(WindowMessage& message);

    std::function<QWidget*()> mainWindow_;
    MessageWindow window_;
};

// This process's activation tokens, XDG_ACTIVATION_TOKEN and
// DESKTOP_STARTUP_ID, as NAME=value lines; the compositor lets the window
// that presents one come to the front.
std::string ActivationTokens();

// Un-minimises, shows, raises and activates `window`, and a modal dialog
// above it; `tokens` are the requester's.
void BringToFront(QWidget& window, std::string_view tokens);

// Asks another process's application window whether its main window is
// minimised (result 1), and to come to the front (result 1 when it did).
SendResult QueryIconic(WindowHandle window, std::chrono::milliseconds timeout = kDefaultSendTimeout);
SendResult RequestBringToFront(WindowHandle window, std::chrono::milliseconds timeout = kDefaultSendTimeout);

}  // namespace platform
