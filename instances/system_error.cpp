#include "instances/system_error.h"

#include <system_error>

#include "platform/ipc/private_dir.h"

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

void RaiseIfRefused(const std::system_error& error)
{
    if (const auto* refused = dynamic_cast<const platform::PrivateDirectoryRefused*>(&error))
        throw ESystemError(refused->Advice(), static_cast<std::uint32_t>(refused->code().value()));
}

void RaiseSystemError(const std::system_error& error)
{
    RaiseIfRefused(error);
    // what() is the text, ": " and the system's text, which the message
    // gives on a line of its own.
    std::string text = error.what();
    const std::string systemText = ": " + error.code().message();
    if (text.size() >= systemText.size() &&
        text.compare(text.size() - systemText.size(), std::string::npos, systemText) == 0)
        text.resize(text.size() - systemText.size());
    throw ESystemError(text, static_cast<std::uint32_t>(error.code().value()));
}
