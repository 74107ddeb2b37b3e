#include "platform/text/error_text.h"

#include <string>
#include <utility>

#include <gtest/gtest.h>

namespace {

TEST(WithFullStop, AddsAFullStopOnlyAfterALastByteThatSortsAfterIt)
{
    const std::pair<std::string, std::string> cases[] = {
        {"Invalid file name", "Invalid file name."},
        {"Error 42", "Error 42."},
        {"Really?", "Really?."},
        {"/", "/."},                      // 0x2F, the first byte after "."
        {"caf\xC3\xA9", "caf\xC3\xA9."},  // a multi-byte character's bytes all sort after "."
        {"Done.", "Done."},
        {"a-", "a-"},  // 0x2D, the last byte before "."
        {"Stop!", "Stop!"},
        {"Cannot open URL \"x\"", "Cannot open URL \"x\""},
        {"(see above)", "(see above)"},
        {"line\r\n", "line\r\n"},
        {"", ""},
        {std::string("a\0b", 3), std::string("a\0b.", 4)},
    };
    for (const auto& [message, shown] : cases)
        EXPECT_EQ(platform::WithFullStop(message), shown) << "message: \"" << message << "\"";
}

}  // namespace
