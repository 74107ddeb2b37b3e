#include "platform/windows/application_window.h"

#include <cstdlib>

#include <QApplication>
#include <QGuiApplication>
#include <QWidget>

namespace platform {
namespace {

constexpr std::size_t kMaxToken = 1024;

const char* const kTokenNames[] = {"XDG_ACTIVATION_TOKEN", "DESKTOP_STARTUP_ID"};

bool PlausibleToken(std::string_view value)
{
    if (value.empty() || value.size() > kMaxToken)
        return false;
    for (const char c : value)
        if (c <= 0x20 || c >= 0x7F)
            return false;
    return true;
}

// The value of NAME in the requester's lines, when it is plausible.
std::string TokenValue(std::string_view tokens, std::string_view name)
{
    while (!tokens.empty()) {
        const std::size_t end = tokens.find('\n');
        const std::string_view line = tokens.substr(0, end);
        if (line.size() > name.size() && line.substr(0, name.size()) == name && line[name.size()] == '=') {
            const std::string_view value = line.substr(name.size() + 1);
            return PlausibleToken(value) ? std::string(value) : std::string();
        }
        if (end == std::string_view::npos)
            break;
        tokens.remove_prefix(end + 1);
    }
    return {};
}

void Restore(QWidget& window)
{
    if (window.isMinimized())
        window.setWindowState(window.windowState() & ~Qt::WindowMinimized);
    window.show();
}

}  // namespace

std::string ActivationTokens()
{
    std::string lines;
    for (const char* name : kTokenNames) {
        const char* value = std::getenv(name);
        if (value != nullptr && PlausibleToken(value))
            lines += std::string(name) + "=" + value + "\n";
    }
    return lines;
}

void BringToFront(QWidget& window, std::string_view tokens)
{
    Restore(window);
    window.raise();
    // Qt's Wayland backend presents this token with the activation request
    // and then drops it. The X11 backend asks the window manager with its
    // own time stamp and has no use for the startup id of another process.
    if (QGuiApplication::platformName().startsWith(QLatin1String("wayland"))) {
        const std::string token = TokenValue(tokens, kTokenNames[0]);
        if (!token.empty())
            qputenv(kTokenNames[0], QByteArray::fromStdString(token));
    }
    window.activateWindow();
    if (QWidget* modal = QApplication::activeModalWidget(); modal != nullptr && modal != &window) {
        modal->raise();
        modal->activateWindow();
    }
}

ApplicationWindow::ApplicationWindow(std::function<QWidget*()> mainWindow)
    : mainWindow_(std::move(mainWindow)),
      window_(kApplicationWindowClass, [this](WindowMessage& message) { return Procedure(message); })
{}

std::intptr_t ApplicationWindow::Procedure(WindowMessage& message)
{
    QWidget* window = mainWindow_ ? mainWindow_() : nullptr;
    switch (message.Msg) {
    case kWmSysCommand:
        if (window != nullptr && (message.WParam & 0xFFF0) == kScRestore)
            Restore(*window);
        return 0;
    case kWmIsIconic:
        return window != nullptr && window->isMinimized() ? 1 : 0;
    case kWmBringToFront: {
        if (window == nullptr)
            return 0;
        const auto* record = reinterpret_cast<const CopyDataStruct*>(message.LParam);
        std::string_view tokens;
        if (record != nullptr && record->data != nullptr)
            tokens = std::string_view(static_cast<const char*>(record->data), record->size);
        BringToFront(*window, tokens);
        return 1;
    }
    default:
        return DefaultWindowProcedure(message);
    }
}

SendResult QueryIconic(WindowHandle window, std::chrono::milliseconds timeout)
{
    return SendMessageTimeout(window, kWmIsIconic, 0, 0, timeout);
}

SendResult RequestBringToFront(WindowHandle window, std::chrono::milliseconds timeout)
{
    const std::string tokens = ActivationTokens();
    return SendDataMessage(window, kWmBringToFront, 0, 0, tokens.data(), tokens.size(), timeout);
}

}  // namespace platform
