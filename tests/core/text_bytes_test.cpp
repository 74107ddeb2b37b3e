#include "core/text_bytes.h"

#include <string>

#include <gtest/gtest.h>

namespace {

TEST(TextPageBytes, EveryLineBreakBecomesCrLfAndNothingElseChanges)
{
    struct Case {
        std::string text;
        std::string bytes;
        const char* what;
    };
    const Case cases[] = {
        {"a\nb", "a\r\nb", "LF"},
        {"a\r\nb", "a\r\nb", "CR LF stays one break"},
        {"a\rb", "a\r\nb", "lone CR"},
        {"a\xE2\x80\xA8"
         "b",
         "a\r\nb", "line separator, from Shift+Enter"},
        {"a\xE2\x80\xA9"
         "b",
         "a\r\nb", "paragraph separator, as a text document ends a block"},
        {"a\n\rb", "a\r\n\r\nb", "LF then CR are two breaks"},
        {"a\r\r\nb\n", "a\r\n\r\nb\r\n", "CR then CR LF are two breaks; a final break is kept"},
        {"\r", "\r\n", "a lone CR at the very end"},
        {"\xE2\x80\xA9", "\r\n", "a separator alone"},
        {"\xE2\x80", "\xE2\x80", "the start of a separator cut short stays as it is"},
        {"\xE2\x80\xAA\xE2\x81\xA8", "\xE2\x80\xAA\xE2\x81\xA8", "characters beside the separators stay"},
        {"  a\tb  ", "  a\tb  ", "blanks and tabs are not trimmed"},
        {"a\xC2\xA0"
         "b",
         "a\xC2\xA0"
         "b",
         "a non-breaking space stays one"},
        {"caf\xC3\xA9\xF0\x9F\x98\x80", "caf\xC3\xA9\xF0\x9F\x98\x80", "other characters as they are"},
        {std::string("a\0b", 3), std::string("a\0b", 3), "NUL characters are kept"},
        {"", "", "empty text"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(TextPageBytes(c.text), c.bytes) << c.what;
}

}  // namespace
