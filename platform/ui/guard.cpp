#include "platform/ui/guard.h"

#include <cstdio>

namespace platform {
namespace {

ErrorReporter& Reporter()
{
    static ErrorReporter reporter;
    return reporter;
}

ForeignErrorReporter& ForeignReporter()
{
    static ForeignErrorReporter reporter;
    return reporter;
}

}  // namespace

void SetErrorReporter(ErrorReporter reporter, ForeignErrorReporter foreign)
{
    Reporter() = std::move(reporter);
    ForeignReporter() = std::move(foreign);
}

void ReportException(const Exception& error)
{
    // A reporter that fails itself must not take the program down.
    try {
        if (Reporter()) {
            Reporter()(error);
            return;
        }
    } catch (...) {
    }
    std::fprintf(stderr, "%s\n", error.what());
}

void ReportForeignException(const std::string& what)
{
    try {
        if (ForeignReporter()) {
            ForeignReporter()(what);
            return;
        }
    } catch (...) {
    }
    std::fprintf(stderr, "%s\n", what.c_str());
}

}  // namespace platform
