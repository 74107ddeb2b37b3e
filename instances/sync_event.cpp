#include "instances/sync_event.h"

#include <chrono>
#include <optional>
#include <system_error>

TWaitResult TDispatcherObject::WaitFor(std::uint32_t timeoutMs, int* error) noexcept
{
    std::optional<std::chrono::milliseconds> timeout;
    if (timeoutMs != InfiniteWait)
        timeout = std::chrono::milliseconds(timeoutMs);
    switch (handle_->Wait(timeout, error)) {
    case platform::SharedEvent::WaitStatus::Signalled:
        return TWaitResult::WaitSignaled;
    case platform::SharedEvent::WaitStatus::TimedOut:
        return TWaitResult::WaitTimeout;
    case platform::SharedEvent::WaitStatus::Failed:
        break;
    }
    return TWaitResult::WaitError;
}

TSyncEvent::TSyncEvent(bool manualReset, bool initialState, const std::string& name) : TDispatcherObject(name)
{
    if (name.empty()) {
        handle_ = std::make_unique<platform::SharedEvent>(manualReset, initialState);
        return;
    }
    try {
        handle_ = std::make_unique<platform::SharedEvent>(name, manualReset, initialState);
    } catch (const std::system_error& error) {
        RaiseIfRefused(error);
        throw EEventError(static_cast<std::uint32_t>(error.code().value()));
    }
    alreadyExisted_ = handle_->AlreadyExisted();
}
