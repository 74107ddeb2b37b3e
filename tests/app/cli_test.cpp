// The command-line companion, run as a program.

#include <sys/stat.h>

#include <string>

#include <QProcess>
#include <QStringList>

#include "tests/test_files.h"

namespace {

struct Outcome {
    int exitCode = -1;  // also when the program did not finish
    std::string out;
    std::string err;
};

// With `throughShell`, the arguments are a shell's words after the program,
// for bytes that a QString cannot carry.
Outcome RunCli(const QStringList& arguments, const std::string& workingDirectory = {}, bool throughShell = false)
{
    QProcess process;
    process.setWorkingDirectory(QString::fromStdString(workingDirectory));
    if (throughShell)
        process.start("/bin/sh", {"-c", "exec \"$0\" " + arguments.join(' '), QStringLiteral(VELLUMARK_CLI_PATH)});
    else
        process.start(QStringLiteral(VELLUMARK_CLI_PATH), arguments);
    if (!process.waitForFinished(10000)) {
        process.kill();
        process.waitForFinished(5000);
        return {};
    }
    return {process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1,
            process.readAllStandardOutput().toStdString(), process.readAllStandardError().toStdString()};
}

using Cli = TempDirTest;

constexpr const char* kAbcMd5 = "MD5 900150983CD24FB0D6963F7D28E17F72\n";
constexpr const char* kAbcAll =
    "MD5 900150983CD24FB0D6963F7D28E17F72\n"
    "SHA1 A9993E364706816ABA3E25717850C26C9CD0D89D\n"
    "CRC32 352441C2\n";
// "a" and "b" on two lines: 61 0D 0A 62.
constexpr const char* kCrLfMd5 = "MD5 65D5F03C46E62E3F2BABBE712D2CE464\n";

TEST_F(Cli, PrintsOneLabelledLinePerAlgorithmInTheWindowsOrder)
{
    MakeFile("abc.txt", "abc");
    MakeFile("-dash", "abc");
    MakeFile("crlf.txt", "a\r\nb");
    const std::pair<QStringList, std::string> cases[] = {
        {{"--crc32", "--sha1", "--md5", "--text", "abc"}, kAbcAll},
        {{"--text", "abc"}, kAbcMd5},                              // MD5 alone by default
        {{"--md5", "--sha1", "--crc32", "  abc.txt\t"}, kAbcAll},  // trimmed, relative to the current directory
        {{"--", "-dash"}, kAbcMd5},
        {{"--hmac", "Jefe", "--md5", "--sha1", "--crc32", "--text", "what do ya want for nothing?"},
         "MD5 750C783E6AB0B503EAA86E310A5DB738\nSHA1 EFFCDF6AE5EB2FA2D27416D5F184DF9C259A7C79\nCRC32 6BC70A6C\n"},
        {{"--hmac", "", "--text", "abc"}, "MD5 DD2701993D29FDD0B032C233CEC63403\n"},
        {{"crlf.txt"}, kCrLfMd5},
        {{"--text", "a\nb"}, kCrLfMd5},  // the text page's way to bytes
        {{"--text", QString::fromUtf16(u"a\u00A0b")}, "MD5 7570C04097240E0563415B8D354C4607\n"},
    };
    for (const auto& [arguments, out] : cases) {
        const Outcome run = RunCli(arguments, Path(""));
        const std::string shown = arguments.join(' ').toStdString();
        EXPECT_EQ(run.exitCode, 0) << shown;
        EXPECT_EQ(run.out, out) << shown;
        EXPECT_EQ(run.err, "") << shown;
    }
}

TEST_F(Cli, FailuresShowTheErrorBoxMessageAndExit1Promptly)
{
    ASSERT_EQ(::mkfifo(Path("pipe").c_str(), 0600), 0);
    MakeFile("match-me.bin", "abc");
    MakeFile("x\x1B]2;owned\x07\x1B[2J\\\xC2\x9B.txt", "abc");
    const std::pair<QString, std::string> cases[] = {
        {"   ", "Invalid file name.\n"},
        {"missing.bin", "Invalid file name.\n"},
        {"pipe", "Invalid file name.\n"},  // must return, not wait for a writer
        {"match-*.bin", "Cannot open file \"" + Path("match-*.bin") + "\". No such file or directory.\n"},
        // A name's control characters would be commands to the terminal.
        {QString::fromUtf8("x\x1B]2;owned\x07\x1B[2J\\\xC2\x9B*"),
         "Cannot open file \"" + Path("") +
             "x\\x1B]2;owned\\x07\\x1B[2J\\\\\\xC2\\x9B*\". No such file or directory.\n"},
        // The text box never holds bytes that are no text in the locale's encoding.
        {"--text \"$(printf 'a\\377')\"", "The text holds bytes that are not valid UTF-8, the locale's encoding.\n"},
    };
    for (const auto& [name, message] : cases) {
        const bool shell = name.startsWith("--text");
        const Outcome run = RunCli({"--md5", "--sha1", name}, Path(""), shell);
        EXPECT_EQ(run.exitCode, 1) << name.toStdString();
        EXPECT_EQ(run.err, message) << name.toStdString();
        EXPECT_EQ(run.out, "") << name.toStdString();
    }
}

TEST(CliUsage, BadUsageExits2WithAUsageLineAndHelpExits0)
{
    const std::string usage = "usage: vellumark-cli [--md5] [--sha1] [--crc32] [--hmac KEY] (FILE | --text TEXT)\n";
    const QStringList cases[] = {
        {}, {"--unknown", "file"}, {"--text"}, {"--text", "a", "file"}, {"--hmac", "k", "--hmac", "k", "--text", "a"},
    };
    for (const QStringList& arguments : cases) {
        const Outcome run = RunCli(arguments);
        const std::string shown = arguments.join(' ').toStdString();
        EXPECT_EQ(run.exitCode, 2) << shown;
        EXPECT_EQ(run.out, "") << shown;
        EXPECT_NE(run.err.find(usage), std::string::npos) << shown << ": " << run.err;
    }

    const Outcome help = RunCli({"--help"});
    EXPECT_EQ(help.exitCode, 0);
    EXPECT_EQ(help.err, "");
    EXPECT_EQ(help.out.rfind(usage, 0), 0u);
    for (const char* option : {"\n  --hmac KEY", "\n  --text TEXT", "\n  --help"})
        EXPECT_NE(help.out.find(option), std::string::npos) << option;
}

}  // namespace
