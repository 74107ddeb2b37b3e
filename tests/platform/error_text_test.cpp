#include "platform/error_text.h"

#include <gtest/gtest.h>

namespace {

struct FullStopCase {
    const char* message;
    const char* shown;
};

TEST(WithFullStop, AddsAFullStopOnlyAfterCharactersThatSortAfterIt)
{
    const FullStopCase cases[] = {
        {"Invalid file name", "Invalid file name."},
        {"Error 42", "Error 42."},
        {"Really?", "Really?."},
        {"Note:", "Note:."},
        {"a;", "a;."},
        {"/", "/."},  // 0x2F, the first byte after "."
        {"Done.", "Done."},
        {"Stop!", "Stop!"},
        {"Cannot open URL \"x\"", "Cannot open URL \"x\""},
        {"it's'", "it's'"},
        {"(see above)", "(see above)"},
        {"a,", "a,"},
        {"a-", "a-"},
        {"trailing space ", "trailing space "},
        {"line\r\n", "line\r\n"},
        {"", ""},
        {"caf\xC3\xA9", "caf\xC3\xA9."},  // a multi-byte character's bytes are all above "."
        {"\xFF", "\xFF."},
    };
    for (const FullStopCase& c : cases)
        EXPECT_EQ(platform::WithFullStop(c.message), c.shown) << "message: \"" << c.message << "\"";
}

TEST(WithFullStop, KeepsEmbeddedNulBytes)
{
    const std::string message("a\0b", 3);
    EXPECT_EQ(platform::WithFullStop(message), std::string("a\0b.", 4));
}

}  // namespace
