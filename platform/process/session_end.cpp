#include "platform/process/session_end.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

#include <QSocketNotifier>

#include "platform/ui/guard.h"

namespace platform {
namespace {

// Written by the signal handler, read on the GUI thread: the only thing a
// handler may safely do is write to a descriptor.
int g_signalWriteEnd = -1;

void OnSignal(int)
{
    const int saved = errno;
    const char byte = 1;
    [[maybe_unused]] const ssize_t ignored = ::write(g_signalWriteEnd, &byte, 1);
    errno = saved;
}

}  // namespace

struct SessionEndWatcher::Impl {
    int fds[2] = {-1, -1};
    std::unique_ptr<QSocketNotifier> notifier;
    struct sigaction oldTerm {};
    struct sigaction oldHup {};
};

SessionEndWatcher::SessionEndWatcher(std::function<void()> onEnd) : impl_(std::make_unique<Impl>())
{
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0, impl_->fds) != 0)
        return;  // without it the default action (ending at once) stays
    g_signalWriteEnd = impl_->fds[0];
    impl_->notifier = std::make_unique<QSocketNotifier>(impl_->fds[1], QSocketNotifier::Read);
    QObject::connect(impl_->notifier.get(), &QSocketNotifier::activated, [this, onEnd = std::move(onEnd)] {
        char buffer[16];
        while (::read(impl_->fds[1], buffer, sizeof buffer) > 0) {
        }
        Guard(onEnd);
    });
    struct sigaction action {};
    action.sa_handler = OnSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    sigaction(SIGTERM, &action, &impl_->oldTerm);
    sigaction(SIGHUP, &action, &impl_->oldHup);
}

SessionEndWatcher::~SessionEndWatcher()
{
    if (impl_->notifier) {
        sigaction(SIGTERM, &impl_->oldTerm, nullptr);
        sigaction(SIGHUP, &impl_->oldHup, nullptr);
        g_signalWriteEnd = -1;
        impl_->notifier.reset();
    }
    for (int fd : impl_->fds) {
        if (fd >= 0)
            ::close(fd);
    }
}

}  // namespace platform
