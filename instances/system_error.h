#pragma once

#include <cstdint>
#include <string>

#include "platform/base/exception.h"

// The failures of the single-instance guard.
class EGuardError : public Exception {
public:
    using Exception::Exception;
    const char* ClassName() const noexcept override { return "EGuardError"; }
};

// A failure with a system error code: the message is the text, CR LF, then
// "Win32: <system text> (<code>)".
class ESystemError : public EGuardError {
public:
    ESystemError(const std::string& text, std::uint32_t errorCode);
    const char* ClassName() const noexcept override { return "ESystemError"; }
    std::uint32_t ErrorCode() const noexcept { return errorCode_; }

private:
    std::uint32_t errorCode_;
};
