#pragma once

#include <functional>
#include <memory>

namespace platform {

// Calls `onEnd` on the GUI thread when the session ends the process
// (SIGTERM or SIGHUP, as a log-off or shutdown sends them). The signals'
// dispositions belong to one watcher at a time: a second one while the first
// lives is refused with an Exception. Should the system refuse the handlers,
// the watcher stays inactive and the signals keep their default action (the
// process ends at once).
class SessionEndWatcher {
public:
    explicit SessionEndWatcher(std::function<void()> onEnd);
    ~SessionEndWatcher();
    SessionEndWatcher(const SessionEndWatcher&) = delete;
    SessionEndWatcher& operator=(const SessionEndWatcher&) = delete;

    bool Active() const noexcept;

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace platform
