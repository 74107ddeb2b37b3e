#pragma once

#include <functional>
#include <new>
#include <string>

#include "platform/base/exception.h"

namespace platform {

// Who shows a failure that escaped an event handler. The application frame
// installs its error report here; until then failures go to standard error.
using ErrorReporter = std::function<void(const Exception&)>;
using ForeignErrorReporter = std::function<void(const std::string& what)>;
void SetErrorReporter(ErrorReporter reporter, ForeignErrorReporter foreign = {});
void ReportException(const Exception& error);
void ReportForeignException(const std::string& what);

// Every slot and event handler runs through here, so that no exception ever
// unwinds through Qt's frames. Returns true when the handler finished.
template <class Handler>
bool Guard(Handler&& handler) noexcept
{
    try {
        std::forward<Handler>(handler)();
        return true;
    } catch (const Exception& error) {
        ReportException(error);
    } catch (const std::bad_alloc&) {
        ReportException(Exception("Out of memory"));
    } catch (const std::exception& error) {
        ReportForeignException(error.what());
    } catch (...) {
        ReportForeignException("Unknown exception");
    }
    return false;
}

}  // namespace platform
