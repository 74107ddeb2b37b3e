#include "cli/report.h"

#include <cstdio>
#include <mutex>

#include "cli/progress.h"
#include "platform/text/shown_name.h"

namespace {

// Lines held back until the run waits for more, at most this much.
constexpr std::size_t kPendingLimit = 64 * 1024;

}  // namespace

void StdioReport::Out(const std::string& line)
{
    pending_ += line;
    pending_ += '\n';
    if (pending_.size() >= kPendingLimit)
        Flush();
}

void StdioReport::Flush()
{
    if (pending_.empty())
        return;
    const auto hold = progress_ != nullptr ? progress_->Hold() : std::unique_lock<std::mutex>();
    std::fwrite(pending_.data(), 1, pending_.size(), stdout);
    std::fflush(stdout);
    pending_.clear();
}

void StdioReport::Err(const std::string& line)
{
    Flush();
    const auto hold = progress_ != nullptr ? progress_->Hold() : std::unique_lock<std::mutex>();
    std::fprintf(stderr, "vellumark-cli: %s\n", platform::ShownName(line).c_str());
}
