#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "instances/system_error.h"
#include "platform/ipc/shared_event.h"

// The outcome of waiting on a dispatcher object, in the system's order. An
// event here is never abandoned and no wait is alertable, so WaitFor gives
// only WaitSignaled, WaitTimeout and WaitError; the other two keep their
// places so that the values stay those of the design.
enum class TWaitResult { WaitAbandoned, WaitError, WaitIoCompletion, WaitSignaled, WaitTimeout };

// The time limit that means "no limit".
constexpr std::uint32_t InfiniteWait = 0xFFFFFFFF;

class EEventError : public ESystemError {
public:
    EEventError(const std::string& text, std::uint32_t errorCode) : ESystemError(text, errorCode) {}
    explicit EEventError(std::uint32_t errorCode) : ESystemError("Failed to create event", errorCode) {}
    const char* ClassName() const noexcept override { return "EEventError"; }
};

// A waitable system object, closed when it goes. Only ever a part of a
// TSyncEvent, never destroyed on its own.
class TDispatcherObject {
public:
    TDispatcherObject(const TDispatcherObject&) = delete;
    TDispatcherObject& operator=(const TDispatcherObject&) = delete;

    bool AlreadyExisted() const noexcept { return alreadyExisted_; }
    const std::string& Name() const noexcept { return name_; }

    // Waits at most `timeoutMs` milliseconds (InfiniteWait: no limit). On
    // WaitError, *error (if given) gets the system error code.
    TWaitResult WaitFor(std::uint32_t timeoutMs, int* error = nullptr) noexcept;

protected:
    explicit TDispatcherObject(std::string name) : name_(std::move(name)) {}
    ~TDispatcherObject() = default;

    bool alreadyExisted_ = false;
    std::unique_ptr<platform::SharedEvent> handle_;

private:
    std::string name_;
};

// An event, named (shared by every process of this user that opens the name)
// or unnamed. Raises EEventError when it cannot be created or opened.
class TSyncEvent final : public TDispatcherObject {
public:
    TSyncEvent(bool manualReset, bool initialState, const std::string& name);

    void SetEvent() noexcept { handle_->Set(); }
    void ResetEvent() noexcept { handle_->Reset(); }
};
