#include "app/textbytes.h"

#include <string>

#include <gtest/gtest.h>

namespace {

TEST(TextPageBytes, EveryLineBreakBecomesCrLfAndNothingElseChanges)
{
    struct Case {
        std::u16string text;
        std::string bytes;
        const char* what;
    };
    const Case cases[] = {
        {u"a\nb", "a\r\nb", "LF"},
        {u"a\r\nb", "a\r\nb", "CR LF stays one break"},
        {u"a\rb", "a\r\nb", "lone CR"},
        {u"a\u2028b", "a\r\nb", "line separator, from Shift+Enter"},
        {u"a\u2029b", "a\r\nb", "paragraph separator, as a text document ends a block"},
        {u"a\n\rb", "a\r\n\r\nb", "LF then CR are two breaks"},
        {u"a\r\r\nb\n", "a\r\n\r\nb\r\n", "CR then CR LF are two breaks; a final break is kept"},
        {u"  a\tb  ", "  a\tb  ", "blanks and tabs are not trimmed"},
        {u"a\u00A0b",
         "a\xC2\xA0"
         "b",
         "a non-breaking space stays one"},
        {u"caf\u00E9\U0001F600", "caf\xC3\xA9\xF0\x9F\x98\x80", "UTF-8 for other characters"},
        {std::u16string(u"a\0b", 3), std::string("a\0b", 3), "NUL characters are kept"},
        {u"", "", "empty text"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(TextPageBytes(QString::fromStdU16String(c.text)), c.bytes) << c.what;
}

}  // namespace
