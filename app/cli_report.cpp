#include "app/cli_report.h"

#include <cstdint>
#include <cstdio>

#include "app/cli_progress.h"
#include "platform/base/ascii.h"

void StdioReport::Out(const std::string& line)
{
    const auto hold = progress_ != nullptr ? progress_->Hold() : std::unique_lock<std::mutex>();
    std::fwrite(line.data(), 1, line.size(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

void StdioReport::Err(const std::string& line)
{
    const auto hold = progress_ != nullptr ? progress_->Hold() : std::unique_lock<std::mutex>();
    std::fflush(stdout);
    std::fprintf(stderr, "vellumark-cli: %s\n", TerminalSafe(line).c_str());
}

std::string TerminalSafe(const std::string& text)
{
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const auto byte = static_cast<std::uint8_t>(text[i]);
        const bool c1 = byte == 0xC2 && i + 1 < text.size() && static_cast<std::uint8_t>(text[i + 1]) >= 0x80 &&
                        static_cast<std::uint8_t>(text[i + 1]) <= 0x9F;
        if (byte == '\\') {
            out += "\\\\";
        } else if (byte < 0x20 || byte == 0x7F || c1) {
            const auto escapeByte = [&out](std::uint8_t b) {
                out += "\\x";
                platform::AppendHexBytes(out, &b, 1, true);
            };
            escapeByte(byte);
            if (c1)
                escapeByte(static_cast<std::uint8_t>(text[++i]));
        } else {
            out += text[i];
        }
    }
    return out;
}
