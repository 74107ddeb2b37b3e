// The progress line's words for a run over many files, and the name it shows
// on a terminal.

#include "cli/progress.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <unistd.h>

#include <chrono>
#include <string>

#include <gtest/gtest.h>

namespace {

using namespace std::chrono_literals;

TEST(RunProgressText, FilesAndBytesOfTheWholeRunAndTheirTotalsOnceKnown)
{
    const std::uint64_t gb = 1000 * 1000 * 1000;
    // The list is known: files and bytes done of their totals, in the
    // total's unit, and the rate.
    EXPECT_EQ(RunProgressText({1234, 5000, true, 12 * gb / 10, 47 * gb / 10, true}, 1s),
              "1,234 of 5,000 files, 1.2 of 4.7 GB at 1.2 GB/s");
    EXPECT_EQ(RunProgressText({0, 1, true, 0, 3 * gb, true}, 2s), "0 of 1 file, 0.0 of 3.0 GB at 0 B/s");
    EXPECT_EQ(RunProgressText({999999, 1000000, true, 5 * 1000 * 1000, 20 * 1000, true}, 1s),
              "999,999 of 1,000,000 files, 20.0 of 20.0 kB at 5.0 MB/s");
    // Still counting (a walk, a list being read): no totals.
    EXPECT_EQ(RunProgressText({1234, 4000, false, 2 * gb, 3 * gb, true}, 2s), "1,234 files, 2.0 GB at 1.0 GB/s");
    // Standard input among them: no bytes' total.
    EXPECT_EQ(RunProgressText({1, 2, true, 5200 * 1000, 3, false}, 2s), "1 of 2 files, 5.2 MB at 2.6 MB/s");
}

// One input's line shows its name, escaped for the terminal's character set
// as the errors are: a byte 0x9B is CSI to a terminal not in UTF-8, also
// where it is the second byte of U+00DB, and no UTF-8 alone.
TEST(ProgressLine, ShowsTheNameEscapedForTheTerminalsCharacterSet)
{
    const std::string name =
        "evil\x9B"
        "8m \xC3\x9B";
    const std::pair<platform::Charset, std::string> cases[] = {
        {platform::Charset::Utf8, "\revil\\x9B8m \xC3\x9B: 42% of 4.7 GB"},
        {platform::Charset::EightBit, "\revil\\x9B8m \xC3\\x9B: 42% of 4.7 GB"},
    };
    for (const auto& [charset, expected] : cases) {
        int terminal = -1;
        int side = -1;
        ASSERT_EQ(::openpty(&terminal, &side, nullptr, nullptr, nullptr), 0);
        std::string shown;
        {
            ProgressLine line(side, charset);
            const ProgressLine::Shown run = line.Show([&](std::chrono::steady_clock::duration) {
                return ProgressLine::Text{name, "42% of 4.7 GB"};
            });
            const auto deadline = std::chrono::steady_clock::now() + 5s;
            while (shown.find("4.7 GB") == std::string::npos && std::chrono::steady_clock::now() < deadline) {
                pollfd ready{terminal, POLLIN, 0};
                if (::poll(&ready, 1, 100) == 1) {
                    char chunk[256];
                    const ssize_t got = ::read(terminal, chunk, sizeof chunk);
                    if (got > 0)
                        shown.append(chunk, static_cast<std::size_t>(got));
                }
            }
        }
        ::close(side);
        ::close(terminal);
        EXPECT_EQ(shown.substr(0, expected.size()), expected);
    }
}

}  // namespace
