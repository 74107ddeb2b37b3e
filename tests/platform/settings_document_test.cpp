#include "platform/settings_document.h"

#include <gtest/gtest.h>

#include <cctype>
#include <random>
#include <string>

using platform::NormalizeKeyPath;
using platform::SettingsDocument;
using platform::SettingsValue;

namespace {

constexpr const char* kKey = "Software\\Halvercraft\\Vellumark";

std::string Bytes(std::initializer_list<unsigned> bytes)
{
    std::string out;
    for (unsigned b : bytes) out.push_back(static_cast<char>(b));
    return out;
}

// A file as a person might have left it: comments, a foreign key, every kind
// of value, a hex list over three lines, odd spacing and odd case.
const std::string kSample =
    "; my settings\n"
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
    "; end of ours\n";

TEST(SettingsDocumentTest, ReadsEveryKindOfValue)
{
    const auto doc = SettingsDocument::Parse(kSample);
    EXPECT_EQ(doc.Find(kKey, "FormLeft"), SettingsValue::Dword(20));
    EXPECT_EQ(doc.Find(kKey, "FORMTOP"), SettingsValue::Dword(0xffffffecu));
    EXPECT_EQ(doc.Find(kKey, "Blob"),
              (SettingsValue{platform::kSettingsBinary, Bytes({1, 2, 3, 4, 0xff})}));
    EXPECT_EQ(doc.Find(kKey, "Multi"), (SettingsValue{7, Bytes({0x41, 0, 0})}));
    EXPECT_EQ(doc.Find(kKey, ""), SettingsValue::Dword(1));
    EXPECT_EQ(doc.Find(kKey, "Empty"), (SettingsValue{platform::kSettingsText, Bytes({0})}));
    EXPECT_EQ(doc.Find("software\\other", "Colour"),
              SettingsValue::Text("dark \"blue\" \\ grey"));

    // Values belong to their own key only.
    EXPECT_FALSE(doc.Find(kKey, "Colour"));
    EXPECT_FALSE(doc.Find("Software\\Other", "FormLeft"));

    // A key is there through a section of its own or one below it.
    EXPECT_TRUE(doc.KeyExists("Software"));
    EXPECT_TRUE(doc.KeyExists("SOFTWARE\\HALVERCRAFT"));
    EXPECT_TRUE(doc.KeyExists(""));
    EXPECT_FALSE(doc.KeyExists("Software\\Halver"));
    EXPECT_FALSE(doc.KeyExists("Software\\Halvercraft\\Vellumark\\Sub"));

    const auto values = doc.Values(kKey);
    ASSERT_EQ(values.size(), 6u);
    EXPECT_EQ(values[0].first, "FormLeft");
    EXPECT_EQ(values[5].first, "Empty");
}

TEST(SettingsDocumentTest, LaterLinesAndSectionsWin)
{
    const auto doc = SettingsDocument::Parse(
        "[\\A]\r\n\"x\"=dword:1\r\n[\\B]\r\n\"x\"=dword:2\r\n[\\a]\r\n\"X\"=dword:3\r\n");
    EXPECT_EQ(doc.Find("A", "x"), SettingsValue::Dword(3));
    EXPECT_EQ(doc.Find("B", "x"), SettingsValue::Dword(2));
    EXPECT_EQ(doc.Values("A").size(), 1u);
}

TEST(SettingsDocumentTest, DamagedLinesStandForNoValueAndAreKept)
{
    const std::string text =
        "REGEDIT4\n"
        "\"Stray\"=dword:1\n"  // before any key
        "[\\Software\\Halvercraft\\Vellumark]\n"
        "\"FormLeft\"=dword:123456789\n"  // does not fit 32 bits
        "\"FormTop\"=dword:zz\n"
        "\"CBMD5\"=\"no end\n"
        "\"CBSHA1\"=\"bad \\q escape\"\n"
        "\"CBCRC32\"=hex:1,,2\n"
        "\"A\"=hex(100000000):00\n"
        "\"B\"=-\n"
        "\"C\"=hex:01,\\\n"  // continued into a header: not a value
        "[\\Software\\Halvercraft\\Vellumark\n"  // header without its bracket
        "\"D\"=dword:1\n"
        "[\\Software\\\\Twice]\n"
        "\"E\"=dword:1\n"
        "\"Good\"=dword:1\n"
        "\x01\x02\xff junk\n"
        "[\\Software\\Halvercraft\\Vellumark]\n"
        "\"Good\"=dword:2";  // no line break at the end
    const auto doc = SettingsDocument::Parse(text);
    EXPECT_EQ(doc.Serialize(), text);
    const auto values = doc.Values(kKey);
    ASSERT_EQ(values.size(), 1u);
    EXPECT_EQ(values[0].first, "Good");
    EXPECT_EQ(values[0].second, SettingsValue::Dword(2));
}

TEST(SettingsDocumentTest, KeyPaths)
{
    EXPECT_EQ(NormalizeKeyPath("\\Software\\Halvercraft\\Vellumark"), kKey);
    EXPECT_EQ(NormalizeKeyPath("Software\\Halvercraft\\Vellumark\\"), kKey);
    EXPECT_EQ(NormalizeKeyPath("\\"), "");
    EXPECT_EQ(NormalizeKeyPath(""), "");
    EXPECT_FALSE(NormalizeKeyPath("\\\\Software"));
    EXPECT_FALSE(NormalizeKeyPath("Software\\\\Vellumark"));
    EXPECT_FALSE(NormalizeKeyPath("Software\\a]b"));
    EXPECT_FALSE(NormalizeKeyPath("Software\\a\nb"));
    EXPECT_FALSE(NormalizeKeyPath("Software\\" + std::string(256, 'k')));
    EXPECT_TRUE(NormalizeKeyPath("Software\\" + std::string(255, 'k')));
}

TEST(SettingsDocumentTest, WritingChangesOnlyTheValuesWritten)
{
    const std::string text =
        "; keep me\r\n"
        "[\\Software\\Other]\r\n"
        "\"Colour\"=\"blue\"\r\n"
        "[\\Software\\Halvercraft\\Vellumark]\r\n"
        "  \"FormLeft\"  =  dword:00000001  \r\n"
        "\"FormTop\"=dword:zz\r\n"
        "\"Unknown\"=hex:00\r\n"
        "; trailing comment\r\n"
        "\r\n"
        "[\\Software\\Later]\r\n"
        "@=\"x\"";
    auto doc = SettingsDocument::Parse(text);
    ASSERT_TRUE(doc.SetValue(kKey, "formleft", SettingsValue::Dword(0xfffffff6u)));
    ASSERT_TRUE(doc.SetValue(kKey, "FormTop", SettingsValue::Dword(30)));
    ASSERT_TRUE(doc.SetValue("Software\\Later", "Text", SettingsValue::Text("a\"b\\c")));
    ASSERT_TRUE(doc.SetValue("Software\\New", "Bytes", SettingsValue{3, Bytes({0, 0xab})}));
    ASSERT_TRUE(doc.SetValue("Software\\New", "Odd", SettingsValue{1, Bytes({'a', '\n', 0})}));
    ASSERT_TRUE(doc.SetValue("Software\\New", "Short", SettingsValue{4, Bytes({7})}));
    EXPECT_EQ(doc.Serialize(),
              "; keep me\r\n"
              "[\\Software\\Other]\r\n"
              "\"Colour\"=\"blue\"\r\n"
              "[\\Software\\Halvercraft\\Vellumark]\r\n"
              "\"formleft\"=dword:fffffff6\r\n"
              "\"FormTop\"=dword:zz\r\n"
              "\"Unknown\"=hex:00\r\n"
              "\"FormTop\"=dword:0000001e\r\n"
              "; trailing comment\r\n"
              "\r\n"
              "[\\Software\\Later]\r\n"
              "@=\"x\"\r\n"
              "\"Text\"=\"a\\\"b\\\\c\"\r\n"
              "\r\n"
              "[\\Software\\New]\r\n"
              "\"Bytes\"=hex:00,ab\r\n"
              "\"Odd\"=hex(1):61,0a,00\r\n"
              "\"Short\"=hex(4):07\r\n");

    // A replaced line keeps its own ending, or the lack of one.
    auto last = SettingsDocument::Parse("[\\A]\r\n\"x\"=dword:1");
    ASSERT_TRUE(last.SetValue("A", "x", SettingsValue::Dword(2)));
    EXPECT_EQ(last.Serialize(), "[\\A]\r\n\"x\"=dword:00000002");
    EXPECT_FALSE(doc.SetValue(kKey, "bad\nname", SettingsValue::Dword(1)));
}

TEST(SettingsDocumentTest, KeysAreCreatedAfterWhatIsThere)
{
    auto doc = SettingsDocument::NewFile();
    doc.CreateKey(kKey);
    doc.CreateKey("Software\\Halvercraft");  // there already, through the key below
    const std::string text = doc.Serialize();
    EXPECT_TRUE(text.starts_with("; "));
    EXPECT_TRUE(text.ends_with("\n\n[\\Software\\Halvercraft\\Vellumark]\n")) << text;
    const auto reread = SettingsDocument::Parse(text);
    EXPECT_TRUE(reread.KeyExists(kKey));
    EXPECT_TRUE(reread.Values(kKey).empty());

    // A key there only through one below it gets a section of its own.
    ASSERT_TRUE(doc.SetValue("Software\\Halvercraft", "Parent", SettingsValue::Dword(5)));
    EXPECT_EQ(SettingsDocument::Parse(doc.Serialize()).Find("Software\\Halvercraft", "Parent"),
              SettingsValue::Dword(5));
}

// Files near the size limit built from the shapes that could make a parser
// slow: a hex list continued over thousands of lines, thousands of values and
// sections, and one very long line.
TEST(SettingsDocumentTest, LargeFilesParseInOnePass)
{
    std::string text = "[\\Software\\Halvercraft\\Vellumark]\n\"Long\"=hex:";
    std::size_t continued = 0;
    for (; text.size() < 300'000; ++continued) text += "01,\\\n  ";
    text += "02\n";
    int values = 0;
    for (; text.size() < 600'000; ++values) text += "\"v" + std::to_string(values) + "\"=dword:1\n";
    for (int i = 0; text.size() < 900'000; ++i) text += "[\\Software\\K" + std::to_string(i) + "]\n";
    text += std::string(100'000, 'x');

    auto doc = SettingsDocument::Parse(text);
    EXPECT_EQ(doc.Serialize(), text);
    ASSERT_TRUE(doc.Find(kKey, "Long"));
    EXPECT_EQ(doc.Find(kKey, "Long")->data.size(), continued + 1);
    EXPECT_EQ(doc.Values(kKey).size(), static_cast<std::size_t>(values) + 1);
    ASSERT_TRUE(doc.SetValue(kKey, "FormLeft", SettingsValue::Dword(7)));
    EXPECT_EQ(SettingsDocument::Parse(doc.Serialize()).Find(kKey, "FormLeft"),
              SettingsValue::Dword(7));
}

// Every value a document holds, by key, for comparing two documents.
std::vector<std::pair<std::string, SettingsValue>> AllValues(const SettingsDocument& doc)
{
    std::vector<std::pair<std::string, SettingsValue>> all;
    for (const char* key : {kKey, "Software\\Other", "Software\\Halvercraft"}) {
        for (auto& [name, value] : doc.Values(key)) all.emplace_back(key + ("/" + name), value);
    }
    return all;
}

bool IsFormLeft(const std::pair<std::string, SettingsValue>& value)
{
    std::string name = value.first;
    for (char& c : name) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return name == "software\\halvercraft\\vellumark/formleft";
}

// Random, damaged and truncated files: parsing never fails, gives the bytes
// back unchanged, and writing a value changes that value and nothing else.
TEST(SettingsDocumentTest, FuzzedFilesParseAndSurviveAWrite)
{
    std::mt19937 random(20240611);
    using namespace std::string_literals;
    const std::string alphabet = "[]\\\"@=:,;() \t\r\n0123456789abcdefABCDEFhexdwordSoftware\x00\xff"s;
    auto pick = [&](std::size_t n) {
        return std::uniform_int_distribution<std::size_t>(0, n - 1)(random);
    };

    std::vector<std::string> inputs;
    for (std::size_t cut = 0; cut <= kSample.size(); ++cut) inputs.push_back(kSample.substr(0, cut));
    for (int i = 0; i < 6000; ++i) {
        std::string text;
        if (i % 3 == 0) {
            const std::size_t size = pick(600);
            for (std::size_t j = 0; j < size; ++j) text.push_back(static_cast<char>(pick(256)));
        } else if (i % 3 == 1) {
            const std::size_t size = pick(600);
            for (std::size_t j = 0; j < size; ++j) text.push_back(alphabet[pick(alphabet.size())]);
        } else {
            text = kSample;
            const std::size_t edits = 1 + pick(8);
            for (std::size_t j = 0; j < edits; ++j) {
                const std::size_t at = pick(text.size() + 1);
                switch (pick(3)) {
                case 0: text.insert(at, 1, alphabet[pick(alphabet.size())]); break;
                case 1: if (at < text.size()) text.erase(at, 1); break;
                default: if (at < text.size()) text[at] = alphabet[pick(alphabet.size())]; break;
                }
            }
        }
        inputs.push_back(std::move(text));
    }

    for (const std::string& text : inputs) {
        auto doc = SettingsDocument::Parse(text);
        ASSERT_EQ(doc.Serialize(), text);

        auto expected = AllValues(doc);
        const auto written = SettingsValue::Dword(static_cast<std::uint32_t>(random()));
        ASSERT_TRUE(doc.SetValue(kKey, "FormLeft", written));
        const auto reread = SettingsDocument::Parse(doc.Serialize());
        ASSERT_EQ(reread.Find(kKey, "FormLeft"), written) << text;

        auto actual = AllValues(reread);
        std::erase_if(expected, IsFormLeft);
        std::erase_if(actual, IsFormLeft);
        ASSERT_EQ(actual, expected) << text;
    }
}

}  // namespace
