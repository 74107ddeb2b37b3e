#include "app/textbytes.h"

#include <gtest/gtest.h>

namespace {

struct TextCase {
    const char16_t* text;
    std::string bytes;
    const char* what;
};

TEST(TextPageBytes, EveryLineBreakBecomesCrLfAndNothingElseChanges)
{
    const TextCase cases[] = {
        {u"", "", "empty text"},
        {u"abc", "abc", "plain ASCII"},
        {u"a\nb", "a\r\nb", "LF"},
        {u"a\r\nb", "a\r\nb", "CR LF stays one break"},
        {u"a\rb", "a\r\nb", "lone CR"},
        {u"a\u2029b", "a\r\nb", "paragraph separator, as a text document ends a block"},
        {u"a\u2028b", "a\r\nb", "line separator, from Shift+Enter"},
        {u"a\n\nb", "a\r\n\r\nb", "empty line between"},
        {u"a\n\rb", "a\r\n\r\nb", "LF then CR are two breaks"},
        {u"a\r\r\nb", "a\r\n\r\nb", "CR then CR LF are two breaks"},
        {u"a\n", "a\r\n", "a final break is kept"},
        {u"\n", "\r\n", "a break alone"},
        {u"  a\tb  ", "  a\tb  ", "blanks and tabs are not trimmed"},
        {u"a\u00A0b", "a\xC2\xA0" "b", "a non-breaking space stays one"},
        {u"caf\u00E9", "caf\xC3\xA9", "UTF-8 for other characters"},
        {u"\u20AC", "\xE2\x82\xAC", "three-byte character"},
        {u"\U0001F600", "\xF0\x9F\x98\x80", "surrogate pair"},
    };
    for (const TextCase& c : cases)
        EXPECT_EQ(TextPageBytes(QString::fromUtf16(c.text)), c.bytes) << c.what;
}

TEST(TextPageBytes, KeepsNulCharacters)
{
    const QString text = QString::fromUtf16(u"a") + QChar(u'\0') + QString::fromUtf16(u"b");
    EXPECT_EQ(TextPageBytes(text), std::string("a\0b", 3));
}

}  // namespace
