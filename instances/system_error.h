#pragma once

#include <cstdint>
#include <string>
#include <system_error>

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

// The private directory's refusal (platform::PrivateDirectoryRefused), met by
// whichever object first reaches the directory, raised as ESystemError with
// its own words: they name the folder, its mode and what to do. Does nothing
// for any other failure.
void RaiseIfRefused(const std::system_error& error);

// Any failure of the platform's services as ESystemError: the refusal as
// above, anything else with the service's text and the error code.
[[noreturn]] void RaiseSystemError(const std::system_error& error);
