#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <QObject>

#include "instances/app_instances.h"
#include "platform/windows/message_window.h"

// The component that keeps the number of running instances of the program
// within a limit. Placed on a window, it registers the process when the
// first such component is built, and once its owner has finished loading it
// counts the instances: one too many brings the oldest to the front and ends
// the process before its window ever shows. A hidden window of its own turns
// the table's notices and received data blocks into events.
class TInstanceLimit : public QObject {
public:
    static constexpr const char* kWindowClass = "InstanceLimit_WindowClass";

    using TInstanceChangeEvent = std::function<void(TInstanceLimit& sender, std::uint32_t processId)>;
    using TUserNotifyEvent = std::function<void(TInstanceLimit& sender, int param)>;
    using TDataAvailableEvent = std::function<void(TInstanceLimit& sender, int kind, const void* data, int size)>;
    // Returns whether the lines were taken, which is the answer the start
    // that sent them waits for.
    using TCmdLineReceivedEvent = std::function<bool(TInstanceLimit& sender, const std::vector<std::string>& cmdLine)>;
    using TNotifyEvent = std::function<void(TInstanceLimit& sender)>;

    // Raises what creating the instance table raises.
    explicit TInstanceLimit(QObject* owner);
    ~TInstanceLimit() override;

    bool Active() const noexcept { return active_; }
    void SetActive(bool active) noexcept { active_ = active; }
    bool AutoActivate() const noexcept { return autoActivate_; }
    void SetAutoActivate(bool autoActivate) noexcept { autoActivate_ = autoActivate; }
    // 0 or less: no limit.
    int MaxInstances() const noexcept { return maxInstances_; }
    void SetMaxInstances(int maxInstances) noexcept { maxInstances_ = maxInstances; }
    bool SendCmdLine() const noexcept { return sendCmdLine_; }
    void SetSendCmdLine(bool sendCmdLine) noexcept { sendCmdLine_ = sendCmdLine; }
    // The lines that SendCmdLine hands over: unless set, the arguments the
    // process was started with. A program that reads its arguments itself
    // hands over its own reading of them.
    void SetCommandLine(std::vector<std::string> lines) { commandLine_ = std::move(lines); }

    TInstanceChangeEvent OnInstanceCreated;
    TInstanceChangeEvent OnInstanceDestroyed;
    TUserNotifyEvent OnUserNotify;
    TDataAvailableEvent OnDataAvailable;
    TCmdLineReceivedEvent OnCmdLineReceived;
    TNotifyEvent OnRejected;
    // A start that was turned away and handed its command line over, which
    // no running instance took: fired before the process ends with exit
    // code 1.
    TNotifyEvent OnCmdLineNotTaken;

    // The owner has loaded: the limit check. May end the process.
    virtual void Loaded();
    void EnforceLimit();
    // True unless a peer's component answers that it is inactive.
    bool QueryPeersActive();

    TWindowHandle WindowHandle() const noexcept { return window_->Handle(); }

protected:
    virtual void HandleWindowMessage(TMessage& message);
    virtual void FireInstanceCreated(std::uint32_t processId);
    virtual void FireInstanceDestroyed(std::uint32_t processId);
    virtual void FireUserNotify(int value);
    virtual void FireDataAvailable(int kind, const void* data, int size);
    virtual bool FireCmdLineReceived(const std::vector<std::string>& lines);
    virtual void FireRejected();
    virtual void FireCmdLineNotTaken();

private:
    void HandleNotice(TMessage& message);

    std::unique_ptr<platform::MessageWindow> window_;
    std::uint32_t noticeMessage_ = 0;
    std::uint32_t ownProcessId_ = 0;
    bool active_ = true;
    bool autoActivate_ = true;
    int maxInstances_ = 1;
    bool sendCmdLine_ = true;
    std::optional<std::vector<std::string>> commandLine_;
};
