#include "platform/windows/message_window.h"

#include <cstdint>
#include <memory>
#include <string>
#include <system_error>
#include <utility>

#include "platform/process/thread_identity.h"
#include "platform/ui/guard.h"
#include "platform/windows/message_hub.h"
#include "platform/windows/wire_frame.h"

namespace platform {
namespace {

using detail::Hub;

wire::Frame MakeFrame(wire::FrameKind kind, WindowHandle window, std::uint32_t message, std::intptr_t wParam,
                      std::intptr_t lParam)
{
    wire::Frame frame;
    frame.kind = kind;
    frame.window = window;
    frame.message = message;
    frame.wParam = wParam;
    frame.lParam = lParam;
    return frame;
}

}  // namespace

MessageWindow::MessageWindow(std::string className, WindowProcedure procedure)
    : className_(std::move(className)), procedure_(std::make_shared<const WindowProcedure>(std::move(procedure)))
{
    Hub& hub = Hub::Get();
    handle_ = hub.NewHandle();
    thread_ = static_cast<std::int32_t>(CurrentThreadId());
    hub.Add(*this);
}

MessageWindow::~MessageWindow()
{
    Hub::Get().Remove(*this);
}

std::intptr_t MessageWindow::Call(WindowMessage& message) const
{
    // A procedure may destroy its own window: it runs on a copy.
    const std::shared_ptr<const WindowProcedure> procedure = procedure_;
    std::intptr_t result = 0;
    if (*procedure)
        Guard([&] { result = (*procedure)(message); });
    return result;
}

std::vector<WindowInfo> TopLevelWindows()
{
    Hub& hub = Hub::Get();
    std::vector<WindowInfo> windows = hub.OwnWindows();
    try {
        UniqueFd scratch;
        const int peers = hub.Peers(scratch);
        for (const std::int32_t process : ListPeerProcesses(peers)) {
            if (hub.IsOwn(process))
                continue;
            if (auto others = ReadPeerRecord(peers, process))
                windows.insert(windows.end(), others->begin(), others->end());
        }
    } catch (const std::system_error&) {
        // Without a peers folder there are no other windows to see.
    }
    return windows;
}

std::vector<WindowInfo> ProcessWindows(std::int32_t process)
{
    Hub& hub = Hub::Get();
    if (hub.IsOwn(process))
        return hub.OwnWindows();
    try {
        UniqueFd scratch;
        if (auto windows = ReadPeerRecord(hub.Peers(scratch), process))
            return std::move(*windows);
    } catch (const std::system_error&) {
    }
    return {};
}

std::vector<WindowInfo> ThreadWindows(ThreadRef thread)
{
    std::vector<WindowInfo> windows = ProcessWindows(thread.process);
    std::erase_if(windows, [&](const WindowInfo& window) { return window.thread != thread.thread; });
    return windows;
}

std::optional<WindowInfo> FindWindowInfo(WindowHandle window)
{
    for (WindowInfo& info : ProcessWindows(HandleProcess(window)))
        if (info.handle == window)
            return std::move(info);
    return std::nullopt;
}

SendResult SendMessageTimeout(WindowHandle window, std::uint32_t message, std::intptr_t wParam, std::intptr_t lParam,
                              std::chrono::milliseconds timeout)
{
    Hub& hub = Hub::Get();
    if (hub.IsOwn(HandleProcess(window))) {
        const MessageWindow* own = hub.Find(window);
        if (own == nullptr)
            return {SendStatus::NoWindow, 0};
        WindowMessage call{message, wParam, lParam, 0};
        return {SendStatus::Answered, own->Call(call)};
    }
    // A pointer means nothing in another process.
    if (message == kWmCopyData || message == kWmBringToFront)
        return {SendStatus::Failed, 0};
    return hub.Send(MakeFrame(wire::FrameKind::Send, window, message, wParam, lParam), HandleProcess(window), timeout);
}

SendResult SendDataMessage(WindowHandle window, std::uint32_t message, std::intptr_t wParam, std::uint32_t kind,
                           const void* data, std::size_t size, std::chrono::milliseconds timeout)
{
    if ((message != kWmCopyData && message != kWmBringToFront) || size > wire::kMaxData ||
        (data == nullptr && size > 0))
        return {SendStatus::Failed, 0};
    Hub& hub = Hub::Get();
    if (hub.IsOwn(HandleProcess(window))) {
        const MessageWindow* own = hub.Find(window);
        if (own == nullptr)
            return {SendStatus::NoWindow, 0};
        CopyDataStruct record{kind, static_cast<std::uint32_t>(size), size > 0 ? data : nullptr};
        WindowMessage call{message, wParam, reinterpret_cast<std::intptr_t>(&record), 0};
        return {SendStatus::Answered, own->Call(call)};
    }
    wire::Frame frame = MakeFrame(wire::FrameKind::Send, window, message, wParam, 0);
    frame.hasData = true;
    frame.dataKind = kind;
    if (size > 0) {
        const auto* bytes = static_cast<const std::uint8_t*>(data);
        frame.data.assign(bytes, bytes + size);
    }
    return hub.Send(frame, HandleProcess(window), timeout);
}

bool SendNotifyMessage(WindowHandle window, std::uint32_t message, std::intptr_t wParam, std::intptr_t lParam)
{
    Hub& hub = Hub::Get();
    if (hub.IsOwn(HandleProcess(window))) {
        const MessageWindow* own = hub.Find(window);
        if (own == nullptr)
            return false;
        WindowMessage call{message, wParam, lParam, 0};
        own->Call(call);
        return true;
    }
    if (message == kWmCopyData || message == kWmBringToFront)
        return false;
    return hub.Deliver(MakeFrame(wire::FrameKind::Notify, window, message, wParam, lParam), HandleProcess(window)) ==
           PostStatus::Posted;
}

PostStatus PostThreadMessage(ThreadRef thread, std::uint32_t message, std::intptr_t wParam, std::intptr_t lParam)
{
    Hub& hub = Hub::Get();
    if (thread.process <= 0 || thread.thread <= 0 || message == kWmCopyData || message == kWmBringToFront)
        return PostStatus::InvalidThread;
    if (hub.IsOwn(thread.process)) {
        if (thread.thread != hub.GuiThread())
            return PostStatus::InvalidThread;
        hub.QueuePost({message, wParam, lParam, 0});
        return PostStatus::Posted;
    }
    wire::Frame frame = MakeFrame(wire::FrameKind::Post, 0, message, wParam, lParam);
    frame.thread = thread.thread;
    return hub.Deliver(frame, thread.process);
}

void SetThreadMessageHandler(std::function<void(const WindowMessage&)> handler)
{
    detail::ThreadHandler() = std::move(handler);
}

ThreadRef CurrentGuiThread()
{
    const Hub& hub = Hub::Get();
    return {hub.Process(), hub.GuiThread()};
}

}  // namespace platform
