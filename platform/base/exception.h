#pragma once

#include <exception>
#include <string>

// The base of every failure Vellumark raises. The message is a byte string:
// it is stored and returned exactly as given, never converted.
class Exception : public std::exception {
public:
    explicit Exception(std::string message) : message_(std::move(message)) {}

    const char* what() const noexcept override { return message_.c_str(); }
    const std::string& Message() const noexcept { return message_; }

    // The class name shown by the last-chance error report.
    virtual const char* ClassName() const noexcept { return "Exception"; }

private:
    std::string message_;
};
