#include "instances/system_error.h"

#include <system_error>

namespace {

std::string SystemErrorMessage(const std::string& text, std::uint32_t code)
{
    // generic_category's text is strerror's, without its thread-safety doubts.
    return text + "\r\nWin32: " + std::generic_category().message(static_cast<int>(code)) + " (" +
           std::to_string(code) + ")";
}

}  // namespace

ESystemError::ESystemError(const std::string& text, std::uint32_t errorCode)
    : EGuardError(SystemErrorMessage(text, errorCode)), errorCode_(errorCode)
{}
