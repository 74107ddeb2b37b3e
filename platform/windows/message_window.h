#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/windows/peer_directory.h"

// Top-level windows that receive messages, within this process and from the
// other processes of this user. A window here is no widget: it is a class
// name, an owning thread and a procedure, published in the peers folder so
// that others can enumerate it and send to it through this process's socket.
//
// Everything runs on the GUI thread: Qt's event loop reads the socket (a
// QSocketNotifier), and a blocking send waits in a nested poll() that still
// handles the sends and notifications that arrive meanwhile, so that two
// processes can send to each other without deadlock. Every wait on another
// process is bounded.
namespace platform {

// A message as a window procedure sees it; Result is what the procedure
// gives back to a blocking sender.
struct WindowMessage {
    std::uint32_t Msg = 0;
    std::intptr_t WParam = 0;
    std::intptr_t LParam = 0;
    std::intptr_t Result = 0;
};
static_assert(sizeof(std::intptr_t) == 8, "window handles travel in a message parameter");

// What LParam points to for a message that carries bytes: valid only while
// the procedure runs.
struct CopyDataStruct {
    std::uintptr_t kind = 0;     // the data kind
    std::uint32_t size = 0;      // in bytes
    const void* data = nullptr;  // the bytes; null when there are none
};

constexpr std::uint32_t kWmCopyData = 74;
constexpr std::uint32_t kWmSysCommand = 274;
constexpr std::intptr_t kScRestore = 0xF120;
// Requests to a process's application window from another process: whether
// its main window is minimised (result 1), and to bring it to the front (the
// data are the requester's activation tokens, see ActivationTokens).
constexpr std::uint32_t kWmIsIconic = 0x8101;
constexpr std::uint32_t kWmBringToFront = 0x8102;

// How long a blocking send waits for a peer that does not answer.
constexpr std::chrono::milliseconds kDefaultSendTimeout{3000};

struct ThreadRef {
    std::int32_t process = 0;
    std::int32_t thread = 0;
};

using WindowProcedure = std::function<std::intptr_t(WindowMessage&)>;

// The procedure of a window that handles nothing.
inline std::intptr_t DefaultWindowProcedure(const WindowMessage&) noexcept
{
    return 0;
}

class MessageWindow {
public:
    // Creates the window, owned by the calling thread, and publishes it.
    // Throws std::system_error when it cannot be published.
    MessageWindow(std::string className, WindowProcedure procedure);
    ~MessageWindow();
    MessageWindow(const MessageWindow&) = delete;
    MessageWindow& operator=(const MessageWindow&) = delete;

    WindowHandle Handle() const noexcept { return handle_; }
    const std::string& ClassName() const noexcept { return className_; }
    std::int32_t Thread() const noexcept { return thread_; }

    // Runs the procedure (exceptions go to the error report, result 0).
    std::intptr_t Call(WindowMessage& message) const;

private:
    WindowHandle handle_ = 0;
    std::string className_;
    std::int32_t thread_ = 0;
    std::shared_ptr<const WindowProcedure> procedure_;
};

// The top-level windows of every living process of this user: this
// process's own first, then the others by process id, each in creation order.
std::vector<WindowInfo> TopLevelWindows();
std::vector<WindowInfo> ProcessWindows(std::int32_t process);
std::vector<WindowInfo> ThreadWindows(ThreadRef thread);
std::optional<WindowInfo> FindWindowInfo(WindowHandle window);

enum class SendStatus { Answered, NoWindow, Refused, TimedOut, Failed };

struct SendResult {
    SendStatus status = SendStatus::Failed;
    std::intptr_t result = 0;
    bool Answered() const noexcept { return status == SendStatus::Answered; }
};

// Blocking sends: the procedure's result once it has run. A window of this
// process is called directly. Copy-data must go through SendDataMessage.
SendResult SendMessageTimeout(WindowHandle window, std::uint32_t message, std::intptr_t wParam, std::intptr_t lParam,
                              std::chrono::milliseconds timeout = kDefaultSendTimeout);
// A message whose LParam points to a CopyDataStruct over `data` (kWmCopyData
// or kWmBringToFront); at most wire::kMaxData bytes.
SendResult SendDataMessage(WindowHandle window, std::uint32_t message, std::intptr_t wParam, std::uint32_t kind,
                           const void* data, std::size_t size, std::chrono::milliseconds timeout = kDefaultSendTimeout);

// Never blocks: a window of this process is called before it returns, one
// of another process gets it when its owner next reads its socket.
bool SendNotifyMessage(WindowHandle window, std::uint32_t message, std::intptr_t wParam, std::intptr_t lParam);

// InvalidThread: no such thread is listening (the process is gone); Busy:
// it cannot take the message now, try again.
enum class PostStatus { Posted, InvalidThread, Busy, Failed };
PostStatus PostThreadMessage(ThreadRef thread, std::uint32_t message, std::intptr_t wParam, std::intptr_t lParam);

// Receives the messages posted to this process's GUI thread, from its event
// loop; without one they are discarded.
void SetThreadMessageHandler(std::function<void(const WindowMessage&)> handler);

// The thread that owns this process's windows (the calling thread before
// the first window exists).
ThreadRef CurrentGuiThread();

}  // namespace platform
