#include "platform/settings/settings_document.h"

#include <gtest/gtest.h>

#include <strings.h>

#include <random>
#include <string>
#include <vector>

using namespace std::string_literals;
using platform::SettingsDocument;
using platform::SettingsValue;

namespace {

const std::string kKey = "Software\\Halvercraft\\Vellumark";

// A file as a person might have left it: comments, a foreign key, every kind
// of value, a hex list over three lines, odd spacing and case, damaged lines
// (each under a name of its own, so that any taken for a value shows) and a
// later section of our key that overrides the first.
const std::string kSample =
    "REGEDIT4\n"
    "[\\Software\\Other]\n"
    "\"Colour\"=\"dark \\\"blue\\\" \\\\ grey\"\n"
    "\n"
    "[\\Software\\Halvercraft\\Vellumark]\n"
    "\"FormLeft\"=dword:00000014\n"
    "  \"formtop\" = dword:FFFFFFEC  \n"
    "\"Blob\"=hex:01,02,\\\n"
    "  03,04,\\\n"
    "  ff\n"
    "\"Multi\"=hex(7):41,00,00\n"
    "@=dword:1\n"
    "\"Empty\"=\"\"\n"
    "\"Wide\"=dword:123456789\n"  // does not fit 32 bits
    "\"NotHex\"=dword:zz\n"
    "\"NoEnd\"=\"no end\n"
    "\"Escape\"=\"bad \\q escape\"\n"
    "\"Gap\"=hex:1,,2\n"
    "\"Type\"=hex(100000000):00\n"
    "\"Dash\"=-\n"
    "\x01\x02\xff junk\n"
    "; end of ours\n"
    "\"Cut\"=hex:01,\\\n"                    // continued into a header: not a value
    "[\\Software\\Halvercraft\\Vellumark\n"  // no bracket: what follows is no key's
    "\"Lost\"=dword:1\n"
    "[\\Software\\\\Twice]\n"
    "\"Lost\"=dword:2\n"
    "[\\SOFTWARE\\halvercraft\\Vellumark]\n"
    "\"FORMLEFT\"=dword:1e";  // no line break at the end

TEST(SettingsDocumentTest, ReadsEveryKindOfValueSkipsDamageAndTheLastOneWins)
{
    const auto doc = SettingsDocument::Parse(kSample);
    EXPECT_EQ(doc.Serialize(), kSample);
    const std::pair<const char*, SettingsValue> expected[] = {
        {"formleft", SettingsValue::Dword(30)},
        {"FORMTOP", SettingsValue::Dword(0xffffffecu)},
        {"Blob", {platform::kSettingsBinary, "\x01\x02\x03\x04\xff"s}},
        {"Multi", {7, "A\0\0"s}},
        {"", SettingsValue::Dword(1)},
        {"Empty", {platform::kSettingsText, "\0"s}},
    };
    for (const auto& [name, value] : expected)
        EXPECT_EQ(doc.Find(kKey, name), value) << name;
    EXPECT_EQ(doc.Values(kKey).size(), std::size(expected));
    EXPECT_EQ(doc.Values("Software\\Other"),
              (std::vector{std::pair{"Colour"s, SettingsValue::Text("dark \"blue\" \\ grey")}}));
    // Writing replaces the line in force where it stands, without adding a line break.
    auto written = doc;
    ASSERT_TRUE(written.SetValue(kKey, "FormLeft", SettingsValue::Dword(7)));
    EXPECT_EQ(written.Serialize(), kSample.substr(0, kSample.rfind('\n') + 1) + "\"FormLeft\"=dword:00000007");

    // A key is there through a section of its own or one below it.
    EXPECT_TRUE(doc.KeyExists("SOFTWARE\\HALVERCRAFT"));
    EXPECT_FALSE(doc.KeyExists("Software\\Halver"));
    EXPECT_FALSE(doc.KeyExists(kKey + "\\Sub"));
}

// Every truncation of the sample, edits of it, random bytes and random text of
// the file's own symbols: parsing gives the bytes back unchanged, and writing a
// value changes that value and nothing else.
TEST(SettingsDocumentTest, FuzzedFilesRoundTripAndSurviveAWrite)
{
    std::mt19937 random(20240611);
    const std::string alphabet = "[]\\\"@=:,;() \t\r\n0123456789abcdefABCDEFhexdwordSoftware\x00\xff"s;
    auto pick = [&](std::size_t n) { return std::uniform_int_distribution<std::size_t>(0, n - 1)(random); };
    auto otherValues = [](const SettingsDocument& doc) {  // all but our FormLeft
        auto values = doc.Values(kKey);
        std::erase_if(values, [](auto& v) { return ::strcasecmp(v.first.c_str(), "FormLeft") == 0; });
        for (auto& value : doc.Values("Software\\Other"))
            values.push_back(value);
        return values;
    };
    std::vector<std::string> inputs;
    // Files with CR LF line ends too: a cut between CR and LF leaves a lone CR.
    std::string crlf;
    for (char c : kSample)
        crlf += c == '\n' ? "\r\n" : std::string(1, c);
    for (const std::string& sample : {kSample, crlf})
        for (std::size_t cut = 0; cut <= sample.size(); ++cut)
            inputs.push_back(sample.substr(0, cut));
    for (int i = 0; i < 4500; ++i) {
        std::string text;
        if (i % 3 == 0) {  // the sample with a few characters inserted, dropped or replaced
            text = kSample;
            for (std::size_t edits = 1 + pick(8); edits > 0; --edits) {
                const std::size_t at = pick(text.size());
                switch (pick(3)) {
                case 0:
                    text.insert(at, 1, alphabet[pick(alphabet.size())]);
                    break;
                case 1:
                    text.erase(at, 1);
                    break;
                default:
                    text[at] = alphabet[pick(alphabet.size())];
                }
            }
        } else {  // random bytes, or random text of the file's own symbols
            for (std::size_t size = pick(600); size > 0; --size)
                text.push_back(i % 3 == 1 ? static_cast<char>(pick(256)) : alphabet[pick(alphabet.size())]);
        }
        inputs.push_back(std::move(text));
    }

    for (const std::string& text : inputs) {
        auto doc = SettingsDocument::Parse(text);
        ASSERT_EQ(doc.Serialize(), text);
        const auto others = otherValues(doc);
        const auto written = SettingsValue::Dword(static_cast<std::uint32_t>(random()));
        ASSERT_TRUE(doc.SetValue(kKey, "FormLeft", written));
        const auto reread = SettingsDocument::Parse(doc.Serialize());
        ASSERT_EQ(reread.Find(kKey, "FormLeft"), written) << text;
        ASSERT_EQ(otherValues(reread), others) << text;
    }
}

// Near the size limit, one value continued over thousands of lines behind a
// long name. Each line once cost a parse of everything joined so far, which
// took minutes; the program loads and saves such a file at start and Exit.
TEST(SettingsDocumentTest, AValueContinuedOverManyLinesParsesInOnePass)
{
    std::string text = "[\\" + kKey + "]\n\"" + std::string(400000, 'n') + "\"=hex:01,\\\n";
    std::string expected = "\x01";
    while (text.size() < 1000000) {
        text += "  02,\\\n";
        expected += '\x02';
    }
    text += "  03\n";
    expected += '\x03';
    auto doc = SettingsDocument::Parse(text);
    EXPECT_EQ(doc.Find(kKey, std::string(400000, 'n')), (SettingsValue{platform::kSettingsBinary, expected}));
    ASSERT_TRUE(doc.SetValue(kKey, "FormLeft", SettingsValue::Dword(1)));
    EXPECT_EQ(SettingsDocument::Parse(doc.Serialize()).Find(kKey, "FormLeft"), SettingsValue::Dword(1));
}

}  // namespace
