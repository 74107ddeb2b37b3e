#include "instances/instance_limit.h"

#include <chrono>
#include <system_error>
#include <thread>

#include "instances/data_blocks.h"
#include "platform/ui/guard.h"

namespace {

// The first component of the process registers it; later ones do not.
bool FirstComponentPending = true;

// How long a start waits for an instance that has lost its window to leave
// the table: one that is ending does so within milliseconds.
constexpr int kEndingChecks = 50;
constexpr std::chrono::milliseconds kEndingCheckPause{20};

// Brings the oldest running instance to the front. False when that failed
// because the instances before this one have ended meanwhile (killed, or
// ending with their windows gone) and it is no longer one too many.
bool ActivateOldest(TAppInstances& table, int maxInstances)
{
    for (int check = 0;; ++check) {
        if (table.ActivateInstance(0))
            return true;
        // One that still has its window runs and stays; it will come
        // forward once it answers.
        if (table.ApplicationWindowAt(0) != 0 || check == kEndingChecks)
            return true;
        // Without its window it is gone, or ending and about to leave the
        // table. Counted again before each new try, so that the one tried
        // is never this process itself.
        if (table.RunningCountUpToSelf() <= maxInstances)
            return false;
        std::this_thread::sleep_for(kEndingCheckPause);
        if (table.RunningCountUpToSelf() <= maxInstances)
            return false;
    }
}

// Whether the instances before this one have ended, so that it is no longer
// one too many. After a hang-up it waits a moment for the one that hung up:
// a process that is ending closes its connections before it leaves the table.
bool EndedMeanwhile(TAppInstances& table, int maxInstances, bool hungUp)
{
    for (int check = 0;; ++check) {
        if (table.RunningCountUpToSelf() <= maxInstances)
            return true;
        if (!hungUp || check == kEndingChecks)
            return false;
        std::this_thread::sleep_for(kEndingCheckPause);
    }
}

}  // namespace

TInstanceLimit::TInstanceLimit(QObject* owner) : QObject(owner)
{
    try {
        window_ = std::make_unique<platform::MessageWindow>(kWindowClass, [this](TMessage& message) {
            HandleWindowMessage(message);
            return message.Result;
        });
    } catch (const std::system_error& error) {
        // The first thing of the program to reach the private directory:
        // its refusal, or any other failure, as the system failure it is.
        RaiseSystemError(error);
    }
    // Kept here, so that handling a notice never reaches for the table: the
    // table's own clean-up at program end sends this window notices while
    // the table object is being destroyed.
    TAppInstances& table = InstanceTable();
    noticeMessage_ = table.NoticeMessage();
    ownProcessId_ = table.OwnProcessId();
    if (FirstComponentPending) {
        FirstComponentPending = false;
        // Tells every listed process, this one too (whose window drops it).
        table.RegisterInstance(65535);
    }
    active_ = true;
    maxInstances_ = 1;
    autoActivate_ = true;
    sendCmdLine_ = true;
}

TInstanceLimit::~TInstanceLimit() = default;

void TInstanceLimit::Loaded()
{
    EnforceLimit();
}

void TInstanceLimit::EnforceLimit()
{
    if (!active_ || maxInstances_ <= 0)
        return;
    TAppInstances& table = InstanceTable();
    // Only the processes that came first count: among simultaneous starts
    // the earliest stays, instead of each seeing the others and all leaving.
    if (table.RunningCountUpToSelf() <= maxInstances_)
        return;
    if (!QueryPeersActive())
        return;
    FireRejected();
    // The oldest may be ending just now: with none left, this start goes on.
    if (autoActivate_ && !ActivateOldest(table, maxInstances_))
        return;
    if (sendCmdLine_) {
        const BlockSent sent = commandLine_ ? SendLines(kWindowClass, CommandLineKind, *commandLine_, WindowHandle())
                                            : SendCommandLine(kWindowClass, WindowHandle());
        // Nobody said it took the lines: they would be lost without a word.
        if (sent.taken == 0) {
            // The instances before this one have ended meanwhile: with none
            // left, this start goes on and acts on its command line itself.
            if (EndedMeanwhile(table, maxInstances_, sent.hungUp > 0))
                return;
            FireCmdLineNotTaken();
            TAppInstances::EndThisInstance(1);
        }
    }
    // The owner has no destroy handler to detach: nothing of it runs on the
    // way out.
    TAppInstances::EndThisInstance();
}

bool TInstanceLimit::QueryPeersActive()
{
    TAppInstances& table = InstanceTable();
    const int count = table.RunningCount();
    for (int i = 0; i < count && active_; ++i) {
        const std::uint32_t process = table.ProcessIdAt(i);
        if (process == table.OwnProcessId())
            continue;
        const TWindowHandle application = table.ApplicationWindowAt(i);
        if (application == 0)
            continue;
        const auto info = platform::FindWindowInfo(application);
        if (!info)
            continue;
        for (const platform::WindowInfo& window : platform::ThreadWindows({info->process, info->thread})) {
            // The answer comes back as a notice to our window while we wait.
            const platform::SendResult sent = platform::SendMessageTimeout(
                window.handle, table.NoticeMessage(), NoticeQueryActive, static_cast<std::intptr_t>(WindowHandle()));
            // A peer that does not answer counts as active: not asked again.
            if (!active_ || sent.status == platform::SendStatus::TimedOut)
                break;
        }
    }
    return active_;
}

void TInstanceLimit::HandleWindowMessage(TMessage& message)
{
    const bool handled = platform::Guard([&] {
        if (message.Msg == noticeMessage_) {
            HandleNotice(message);
            message.Result = platform::DefaultWindowProcedure(message);
            return;
        }
        const int kind = CopyDataKind(message, WindowHandle());
        if (kind == -1) {
            message.Result = platform::DefaultWindowProcedure(message);
            return;
        }
        if (kind == CommandLineKind) {
            // The sender learns whether its lines were taken; without a
            // handler nobody took them.
            std::vector<std::string> lines;
            ExtractCopyDataLines(message, lines);
            message.Result = FireCmdLineReceived(lines) ? 1 : 0;
            return;
        }
        if (OnDataAvailable) {
            const std::vector<std::uint8_t> copy = ExtractCopyDataBytes(message);
            FireDataAvailable(kind, copy.empty() ? nullptr : copy.data(), static_cast<int>(copy.size()));
        }
        message.Result = 1;
    });
    if (!handled)
        message.Result = platform::DefaultWindowProcedure(message);
}

void TInstanceLimit::HandleNotice(TMessage& message)
{
    const std::intptr_t value = message.LParam;
    switch (message.WParam) {
    case NoticeCreated:
        if (static_cast<std::uint32_t>(value) != ownProcessId_)
            FireInstanceCreated(static_cast<std::uint32_t>(value));
        break;
    case NoticeDestroyed:
        FireInstanceDestroyed(static_cast<std::uint32_t>(value));
        break;
    case NoticeUser:
        FireUserNotify(static_cast<int>(value));
        break;
    case NoticeQueryActive:
        platform::SendMessageTimeout(static_cast<TWindowHandle>(value), noticeMessage_, NoticeActiveReply,
                                     active_ ? 1 : 0);
        break;
    case NoticeActiveReply:
        active_ = value != 0;
        break;
    default:
        break;
    }
}

void TInstanceLimit::FireInstanceCreated(std::uint32_t processId)
{
    if (OnInstanceCreated)
        OnInstanceCreated(*this, processId);
}

void TInstanceLimit::FireInstanceDestroyed(std::uint32_t processId)
{
    if (OnInstanceDestroyed)
        OnInstanceDestroyed(*this, processId);
}

void TInstanceLimit::FireUserNotify(int value)
{
    if (OnUserNotify)
        OnUserNotify(*this, value);
}

void TInstanceLimit::FireDataAvailable(int kind, const void* data, int size)
{
    if (OnDataAvailable)
        OnDataAvailable(*this, kind, data, size);
}

bool TInstanceLimit::FireCmdLineReceived(const std::vector<std::string>& lines)
{
    return OnCmdLineReceived && OnCmdLineReceived(*this, lines);
}

void TInstanceLimit::FireRejected()
{
    if (OnRejected)
        OnRejected(*this);
}

void TInstanceLimit::FireCmdLineNotTaken()
{
    // The process ends right after: a failure here must not keep it.
    if (OnCmdLineNotTaken)
        platform::Guard([&] { OnCmdLineNotTaken(*this); });
}
