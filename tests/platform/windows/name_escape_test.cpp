// Names in the line-based files of the peers folder and the message names:
// one field each, whatever bytes they hold.

#include "platform/windows/name_escape.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/base/ascii.h"
#include "platform/windows/peer_directory.h"

namespace {

using namespace platform;

TEST(NameEscapeTest, BlanksControlsBytesPastAsciiAndThePercentAreEscaped)
{
    for (int c = 0; c < 256; ++c) {
        const std::string byte(1, static_cast<char>(c));
        const bool kept = c > 0x20 && c < 0x7F && c != '%';
        std::string escaped = "%";
        const auto value = static_cast<unsigned char>(c);
        AppendHexBytes(escaped, &value, 1, true);
        EXPECT_EQ(EscapeName(byte), kept ? byte : escaped) << "byte " << c;
        EXPECT_EQ(UnescapeName(EscapeName(byte)), byte) << "byte " << c;
    }
    EXPECT_EQ(EscapeName("My Window\tClass"), "My%20Window%09Class");
    EXPECT_EQ(UnescapeName("My%20Window%09Class"), "My Window\tClass");
}

// A window's class name is one blank-separated field of its record: a blank
// kept as it is would make the record unreadable, and every window of the
// process unseen by the others.
TEST(NameEscapeTest, WindowClassesWithBlanksSurviveTheirRecord)
{
    constexpr std::int32_t kProcess = 4242;
    const auto handle = [](std::uint32_t serial) { return (static_cast<WindowHandle>(kProcess) << 32) | serial; };
    const std::vector<WindowInfo> windows = {
        {handle(1), "Instance Limit Window", kProcess, 7},
        {handle(2), " leading and trailing ", kProcess, 7},
        {handle(3), "100% sure\r\n", kProcess, 8},
    };
    const auto parsed = ParseRecord(EncodeRecord(kProcess, windows), kProcess);
    ASSERT_TRUE(parsed.has_value()) << EncodeRecord(kProcess, windows);
    ASSERT_EQ(parsed->size(), windows.size());
    for (std::size_t i = 0; i < windows.size(); ++i) {
        EXPECT_EQ((*parsed)[i].className, windows[i].className);
        EXPECT_EQ((*parsed)[i].handle, windows[i].handle);
        EXPECT_EQ((*parsed)[i].thread, windows[i].thread);
    }
}

}  // namespace
