#include "cli/report.h"

#include <cstdio>
#include <mutex>

#include "cli/progress.h"
#include "platform/text/shown_name.h"

void StdioReport::Out(const std::string& line)
{
    std::fwrite(line.data(), 1, line.size(), stdout);
    std::fputc('\n', stdout);
}

void StdioReport::Flush()
{
    const auto hold = progress_ != nullptr ? progress_->Hold() : std::unique_lock<std::mutex>();
    std::fflush(stdout);
}

void StdioReport::Err(const std::string& line)
{
    const auto hold = progress_ != nullptr ? progress_->Hold() : std::unique_lock<std::mutex>();
    std::fflush(stdout);
    std::fprintf(stderr, "vellumark-cli: %s\n", platform::ShownName(line).c_str());
}
