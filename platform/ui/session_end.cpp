#include "platform/ui/session_end.h"

#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>

#include <QSocketNotifier>

#include "platform/base/exception.h"
#include "platform/base/retry.h"
#include "platform/base/unique_fd.h"
#include "platform/ui/guard.h"

namespace platform {
namespace {

// The handler's only state, written on the GUI thread and read in the
// handler: a lock-free atomic is safe to read there, a plain int is not.
std::atomic<int> g_signalWriteEnd{-1};
static_assert(std::atomic<int>::is_always_lock_free);

// Whether a watcher owns the signals now.
std::atomic<bool> g_watching{false};

void OnSignal(int)
{
    // Writing to a descriptor is all a handler may safely do.
    const int saved = errno;
    const int fd = g_signalWriteEnd.load(std::memory_order_relaxed);
    if (fd >= 0) {
        const char byte = 1;
        [[maybe_unused]] const ssize_t ignored = ::write(fd, &byte, 1);
    }
    errno = saved;
}

}  // namespace

struct SessionEndWatcher::Impl {
    UniqueFd writeEnd;
    UniqueFd readEnd;
    std::unique_ptr<QSocketNotifier> notifier;
    struct sigaction oldTerm {};
    struct sigaction oldHup {};
    bool termInstalled = false;
    bool hupInstalled = false;
};

SessionEndWatcher::SessionEndWatcher(std::function<void()> onEnd) : impl_(std::make_unique<Impl>())
{
    // Everything here runs on the GUI thread, so a look and a later store do.
    if (g_watching.load())
        throw Exception("The session's end is already being watched");

    int fds[2] = {-1, -1};
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0, fds) != 0) {
        g_watching.store(true);
        return;  // inactive: the default action (ending at once) stays
    }
    impl_->writeEnd.Reset(fds[0]);
    impl_->readEnd.Reset(fds[1]);
    impl_->notifier = std::make_unique<QSocketNotifier>(fds[1], QSocketNotifier::Read);
    QObject::connect(impl_->notifier.get(), &QSocketNotifier::activated, [this, onEnd = std::move(onEnd)] {
        char buffer[16];
        while (RetryOnInterrupt([&] { return ::read(impl_->readEnd.Get(), buffer, sizeof buffer); }) > 0) {
        }
        Guard(onEnd);
    });

    g_signalWriteEnd.store(fds[0]);
    struct sigaction action {};
    action.sa_handler = OnSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    impl_->termInstalled = ::sigaction(SIGTERM, &action, &impl_->oldTerm) == 0;
    impl_->hupInstalled = impl_->termInstalled && ::sigaction(SIGHUP, &action, &impl_->oldHup) == 0;
    if (!impl_->hupInstalled) {
        // Half a watcher would end the session one way and not the other.
        if (impl_->termInstalled)
            ::sigaction(SIGTERM, &impl_->oldTerm, nullptr);
        impl_->termInstalled = false;
        g_signalWriteEnd.store(-1);
        impl_->notifier.reset();
    }
    g_watching.store(true);
}

SessionEndWatcher::~SessionEndWatcher()
{
    if (impl_->hupInstalled) {
        ::sigaction(SIGHUP, &impl_->oldHup, nullptr);
        ::sigaction(SIGTERM, &impl_->oldTerm, nullptr);
    }
    g_signalWriteEnd.store(-1);
    impl_->notifier.reset();
    impl_.reset();
    g_watching.store(false);
}

bool SessionEndWatcher::Active() const noexcept
{
    return impl_->hupInstalled;
}

}  // namespace platform
