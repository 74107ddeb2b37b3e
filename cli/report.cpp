#include "cli/report.h"

#include <clocale>
#include <cstdio>
#include <cstring>
#include <mutex>

#include <langinfo.h>

#include "cli/progress.h"
#include "platform/text/shown_name.h"

namespace {

// Lines held back until the run waits for more, at most this much.
constexpr std::size_t kPendingLimit = 64 * 1024;

}  // namespace

platform::Charset LocaleCharset()
{
    // A locale that cannot be had leaves "C", whose set is ASCII: 8 bits.
    std::setlocale(LC_CTYPE, "");
    const bool utf8 = std::strcmp(::nl_langinfo(CODESET), "UTF-8") == 0;
    std::setlocale(LC_CTYPE, "C");
    return utf8 ? platform::Charset::Utf8 : platform::Charset::EightBit;
}

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
    std::fprintf(stderr, "vellumark-cli: %s\n", platform::ShownName(line, charset_).c_str());
}
