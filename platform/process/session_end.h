#pragma once

#include <functional>
#include <memory>

namespace platform {

// Calls `onEnd` on the GUI thread when the session ends the process
// (SIGTERM or SIGHUP, as a log-off or shutdown sends them). One at a time.
class SessionEndWatcher {
public:
    explicit SessionEndWatcher(std::function<void()> onEnd);
    ~SessionEndWatcher();
    SessionEndWatcher(const SessionEndWatcher&) = delete;
    SessionEndWatcher& operator=(const SessionEndWatcher&) = delete;

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace platform
