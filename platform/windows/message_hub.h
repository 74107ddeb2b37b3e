#pragma once

// The hub behind the windows of platform/windows/message_window.h, for that
// file alone: the process's windows, its socket and the connections it is
// reading. Nothing else includes this.

#include <unistd.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <vector>

#include <QObject>
#include <QSocketNotifier>
#include <QTimer>

#include "platform/base/unique_fd.h"
#include "platform/process/thread_identity.h"
#include "platform/windows/message_window.h"
#include "platform/windows/wire_frame.h"

namespace platform::detail {

using Clock = std::chrono::steady_clock;

struct NotifierDeleter {
    void operator()(QObject* object) const
    {
        if (auto* notifier = qobject_cast<QSocketNotifier*>(object))
            notifier->setEnabled(false);
        object->deleteLater();
    }
};
template <class T>
using QtOwned = std::unique_ptr<T, NotifierDeleter>;

struct Incoming {
    UniqueFd fd;
    wire::FrameReader reader;
    std::optional<wire::Frame> ready;
    QtOwned<QSocketNotifier> notifier;
    Clock::time_point deadline;
    bool busy = false;
    std::size_t dispatching = 0;  // the data of the frame being handled, while busy

    // What this connection makes the process hold.
    std::size_t Held() const noexcept { return reader.Held() + (ready ? ready->data.capacity() : 0) + dispatching; }
};

// Receives the messages posted to this process's GUI thread.
std::function<void(const WindowMessage&)>& ThreadHandler();

// The process's side of the windows: its windows, its socket and the
// connections it is reading. One per process, alive to the very end: the
// instance table's clean-up at exit still sends through it.
class Hub {
public:
    static Hub& Get()
    {
        static Hub* const hub = new Hub;
        return *hub;
    }

    std::int32_t Process() const { return static_cast<std::int32_t>(::getpid()); }
    std::int32_t GuiThread() const
    {
        return guiThread_ != 0 && pid_ == Process() ? guiThread_ : static_cast<std::int32_t>(CurrentThreadId());
    }

    WindowHandle NewHandle() { return (static_cast<std::uint64_t>(Process()) << 32) | (serial_++ & 0xFFFFFFFFu); }

    void Add(MessageWindow& window);
    void Remove(MessageWindow& window) noexcept;
    const MessageWindow* Find(WindowHandle handle) const
    {
        for (const MessageWindow* window : windows_)
            if (window->Handle() == handle)
                return window;
        return nullptr;
    }
    std::vector<WindowInfo> OwnWindows() const;
    bool IsOwn(std::int32_t process) const { return process == Process(); }

    // The peers folder: the one this process publishes in, or a fresh look.
    int Peers(UniqueFd& scratch) const;

    SendResult Send(const wire::Frame& frame, std::int32_t process, std::chrono::milliseconds timeout);
    PostStatus Deliver(const wire::Frame& frame, std::int32_t process);
    void QueuePost(const WindowMessage& message);
    void AtExit() noexcept;

private:
    Hub();

    void Publish();
    void Listen();
    void StopListening() noexcept;
    void OnListenReady();
    void AcceptAll();
    void Read(std::uint64_t id, bool nested);
    void Dispatch(std::uint64_t id);
    void Close(std::uint64_t id);
    // Closes the oldest connection that has neither a whole frame waiting
    // nor one being handled; false when there is none.
    bool DropOldestIdle();
    void ExpireIncoming();
    // What the connections being read hold, all together.
    std::size_t InFlight() const noexcept;
    // Waits until `fd` shows `events` or the deadline passes, serving our
    // own socket meanwhile. Gives the events seen on `fd`.
    short Wait(int fd, short events, Clock::time_point deadline);

    std::int32_t pid_ = 0;
    std::int32_t guiThread_ = 0;
    std::uint32_t serial_ = 1;
    std::uint32_t sequence_ = 1;
    std::vector<MessageWindow*> windows_;
    UniqueFd peers_;
    UniqueFd record_;
    UniqueFd listen_;
    std::uint64_t socketInode_ = 0;
    QtOwned<QSocketNotifier> listenNotifier_;
    QtOwned<QTimer> expiry_;
    std::map<std::uint64_t, std::unique_ptr<Incoming>> incoming_;
    std::uint64_t nextIncoming_ = 1;
    int nesting_ = 0;
    bool atExitRegistered_ = false;
};

}  // namespace platform::detail
