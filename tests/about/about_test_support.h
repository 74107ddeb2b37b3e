#pragma once

#include <string>
#include <utility>
#include <vector>

#include <QString>

#include "platform/guard.h"
#include "platform/shell.h"

// Stands in for the desktop: records what it was asked to open and answers
// with a chosen shell result.
class FakeUrlOpener final : public platform::UrlOpener {
public:
    explicit FakeUrlOpener(int result = platform::kShellOpened) : result_(result) {}

    int Open(std::uintptr_t /*owner*/, const QString& url) override
    {
        opened.push_back(url);
        return result_;
    }

    void Answer(int result) { result_ = result; }

    std::vector<QString> opened;

private:
    int result_;
};

// Catches what the guard reports while it lives.
class CaughtReports {
public:
    CaughtReports()
    {
        platform::SetErrorReporter([this](const Exception& error) { messages.push_back(error.Message()); },
                                   [this](const std::string& what) { messages.push_back(what); });
    }
    ~CaughtReports() { platform::SetErrorReporter({}); }

    CaughtReports(const CaughtReports&) = delete;
    CaughtReports& operator=(const CaughtReports&) = delete;

    std::vector<std::string> messages;
};
