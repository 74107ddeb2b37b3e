// The program's arguments, the names it makes absolute, and the file URIs a
// start hands over to the running instance.

#include "app/arguments.h"

#include <gtest/gtest.h>

#include <limits.h>

#include <QByteArray>

#include <string>
#include <vector>

namespace {

using Strings = std::vector<std::string>;
using Action = ProgramArguments::Action;

ProgramArguments Parse(Strings arguments, std::string_view workingDirectory = "/home/u")
{
    arguments.insert(arguments.begin(), "vellumark");
    return ParseProgramArguments(arguments, workingDirectory);
}

TEST(ProgramArgumentsTest, FilesAreMadeAbsoluteAndQtKeepsOnlyItsOwnOptions)
{
    const ProgramArguments plain = Parse({});
    EXPECT_EQ(plain.action, Action::Run);
    EXPECT_TRUE(plain.files.empty());
    EXPECT_EQ(plain.qtArguments, Strings{"vellumark"});

    const ProgramArguments mixed = Parse({"-platform", "offscreen", "disk.img", "--style=fusion", "-reverse", "/abs/b",
                                          "--display", ":3", "./sub//c", "-qmljsdebugger=port:1"});
    EXPECT_EQ(mixed.action, Action::Run);
    EXPECT_EQ(mixed.files, (Strings{"/home/u/disk.img", "/abs/b", "/home/u/sub/c"}));
    EXPECT_EQ(mixed.qtArguments, (Strings{"vellumark", "-platform", "offscreen", "--style=fusion", "-reverse",
                                          "--display", ":3", "-qmljsdebugger=port:1"}));

    // After "--" every argument is a file, also one named like an option;
    // "-" alone is a file too.
    const ProgramArguments ended = Parse({"--", "-platform", "--help", "-"});
    EXPECT_EQ(ended.action, Action::Run);
    EXPECT_EQ(ended.files, (Strings{"/home/u/-platform", "/home/u/--help", "/home/u/-"}));
    EXPECT_EQ(ended.qtArguments, Strings{"vellumark"});

    // A file manager's URI, escapes of either case.
    EXPECT_EQ(Parse({"file:///tmp/a%20b%2fc%0A"}).files, Strings{"/tmp/a b/c\n"});
    EXPECT_EQ(Parse({"FILE://localhost/x%c3%a9"}).files, Strings{"/x\xC3\xA9"});
}

TEST(ProgramArgumentsTest, HelpAndVersionWinAndAnythingElseUnknownIsBadUsage)
{
    EXPECT_EQ(Parse({"a", "--help", "--frobnicate"}).action, Action::Help);
    EXPECT_EQ(Parse({"--version"}).action, Action::Version);

    for (const Strings& bad : {Strings{"--frobnicate"}, Strings{"-x", "a"}, Strings{"-help"}, Strings{"a", "-platform"},
                               Strings{"file://elsewhere/tmp/a"}, Strings{"file:relative"}, Strings{"file:///a%zz"},
                               Strings{"file:///a%00b"}, Strings{"file:///a?b"}, Strings{""}}) {
        const ProgramArguments parsed = Parse(bad);
        EXPECT_EQ(parsed.action, Action::Usage) << testing::PrintToString(bad);
        EXPECT_FALSE(parsed.problem.empty());
        EXPECT_TRUE(parsed.files.empty());
    }
    // What the terminal is shown of a bad option cannot drive it.
    EXPECT_EQ(Parse({"-\x1B[2J"}).problem, "unknown option \"-\\x1B[2J\"");

    // Without a current folder only relative names fail.
    EXPECT_EQ(Parse({"/tmp/a", "file:///b"}, "").files, (Strings{"/tmp/a", "/b"}));
    EXPECT_EQ(Parse({"a"}, "").action, Action::Fail);
}

TEST(ProgramArgumentsTest, AbsoluteNamesDropOnlyWhatCannotChangeTheFile)
{
    EXPECT_EQ(AbsoluteName("a", "/w"), "/w/a");
    EXPECT_EQ(AbsoluteName("a", "/"), "/a");
    EXPECT_EQ(AbsoluteName("./a//b/./c", "/w/"), "/w/a/b/c");
    EXPECT_EQ(AbsoluteName("/x/../y", "/w"), "/x/../y");
    EXPECT_EQ(AbsoluteName("a/", "/w"), "/w/a/");
    EXPECT_EQ(AbsoluteName("a/.", "/w"), "/w/a/");
    EXPECT_EQ(AbsoluteName(".", "/w"), "/w/");
    EXPECT_EQ(AbsoluteName("/", "/w"), "/");
    EXPECT_EQ(AbsoluteName(" a b \n", "/w"), "/w/ a b \n");
}

TEST(FileUriTest, EveryNameTravelsAsPlainAsciiAndComesBackExactly)
{
    std::string every = "/";
    for (int byte = 1; byte < 256; ++byte)
        every += static_cast<char>(byte);
    for (const std::string& name : {every, std::string("/a b\r\nc"), std::string("/x/\xFF\xFE"), std::string("/")}) {
        const std::string uri = FileUri(name);
        for (const char c : uri) {
            const auto byte = static_cast<unsigned char>(c);
            EXPECT_TRUE(byte > 0x20 && byte < 0x7F) << uri;
        }
        EXPECT_EQ(FileFromUri(uri), name);
        // Any reader of URIs finds the same bytes.
        EXPECT_EQ(QByteArray::fromPercentEncoding(QByteArray::fromStdString(uri.substr(7))).toStdString(), name);
    }
    EXPECT_EQ(FileUri("/a b/%"), "file:///a%20b/%25");
}

TEST(FileUriTest, OnlyLocalAbsoluteWellFormedUrisNameAFile)
{
    EXPECT_EQ(FileFromUri("file:/a"), "/a");
    EXPECT_EQ(FileFromUri("file:///a/b"), "/a/b");
    EXPECT_EQ(FileFromUri("file://LocalHost/a"), "/a");
    EXPECT_EQ(FileFromUri("file:///a!$&'()*+,;=:@~"), "/a!$&'()*+,;=:@~");
    EXPECT_EQ(FileFromUri("file:///caf\xC3\xA9"), "/caf\xC3\xA9");
    for (const char* bad : {"", "file:", "file://", "http:///a", "file://host/a", "file:a", "file://a", "file:///a%",
                            "file:///a%4", "file:///a%4g", "file:///a%00", "file:///a b", "file:///a\nb", "file:///a#b",
                            "file:///a?b", "file:///a\"b", "file:///a\\b", "file:///a\x7F"}) {
        EXPECT_EQ(FileFromUri(bad), std::nullopt) << bad;
    }
    // The root folder is a name like any other.
    EXPECT_EQ(FileFromUri("file:///"), "/");
}

TEST(HandOverTest, TheLinesNameTheFilesAndACutListNamesNone)
{
    const Strings files{"/tmp/a b", "/tmp/c\nd"};
    const Strings lines = HandOverLines(files);
    EXPECT_EQ(lines, (Strings{"file:///tmp/a%20b", "file:///tmp/c%0Ad", ""}));
    EXPECT_EQ(HandedFiles(lines), files);

    // Each cut of the block (lines split at CR or LF, as the receiver splits
    // them), and each other list, names nothing.
    EXPECT_EQ(HandedFiles({}), std::nullopt);
    EXPECT_EQ(HandedFiles({""}), std::nullopt);
    EXPECT_EQ(HandedFiles({"file:///tmp/a%20b"}), std::nullopt);
    EXPECT_EQ(HandedFiles({"file:///tmp/a%20b", "file:///tmp/c%0"}), std::nullopt);
    EXPECT_EQ(HandedFiles({"file:///tmp/a%20b", "file:///tm"}), std::nullopt);
    EXPECT_EQ(HandedFiles({"file:///tmp/a%20b", "", "file:///x", ""}), std::nullopt);
    EXPECT_EQ(HandedFiles({"hello", ""}), std::nullopt);
    EXPECT_EQ(HandedFiles({"/tmp/a", ""}), std::nullopt);
    EXPECT_EQ(HandedFiles({"file://host/tmp/a", ""}), std::nullopt);
    // Longer than any path can be.
    EXPECT_EQ(HandedFiles({"file:///" + std::string(PATH_MAX, 'a'), ""}), std::nullopt);
    EXPECT_EQ(HandedFiles({"file:///" + std::string(PATH_MAX - 2, 'a'), ""}),
              Strings{"/" + std::string(PATH_MAX - 2, 'a')});
    EXPECT_EQ(HandedFiles({"file:///" + std::string(1 << 20, 'a'), ""}), std::nullopt);
}

}  // namespace
