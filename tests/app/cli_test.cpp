// The command-line companion, run as a program.

#include <sys/stat.h>

#include <fstream>
#include <string>

#include <QProcess>
#include <QStringList>
#include <QTemporaryDir>
#include <gtest/gtest.h>

namespace {

struct Outcome {
    bool finished = false;
    int exitCode = -1;
    std::string out;
    std::string err;
};

Outcome RunCli(const QStringList& arguments, const QString& workingDirectory = {})
{
    QProcess process;
    if (!workingDirectory.isEmpty())
        process.setWorkingDirectory(workingDirectory);
    process.start(QStringLiteral(VELLUMARK_CLI_PATH), arguments);
    Outcome outcome;
    if (!process.waitForStarted(10000))
        return outcome;
    process.closeWriteChannel();
    outcome.finished = process.waitForFinished(10000);
    if (!outcome.finished) {
        process.kill();
        process.waitForFinished(5000);
        return outcome;
    }
    outcome.exitCode = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    outcome.out = process.readAllStandardOutput().toStdString();
    outcome.err = process.readAllStandardError().toStdString();
    return outcome;
}

class Cli : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(dir_.isValid()); }

    QString Dir() const { return dir_.path(); }
    std::string Path(const std::string& name) const { return dir_.path().toStdString() + "/" + name; }

    QString MakeFile(const std::string& name, const std::string& bytes) const
    {
        std::ofstream(Path(name), std::ios::binary) << bytes;
        return QString::fromStdString(Path(name));
    }

private:
    QTemporaryDir dir_;
};

constexpr const char* kAbcAll =
    "MD5 900150983CD24FB0D6963F7D28E17F72\n"
    "SHA1 A9993E364706816ABA3E25717850C26C9CD0D89D\n"
    "CRC32 352441C2\n";

TEST_F(Cli, PrintsThePublishedDigestsInTheWindowsOrder)
{
    Outcome run = RunCli({"--crc32", "--sha1", "--md5", "--text", "abc"});
    EXPECT_EQ(run.exitCode, 0);
    EXPECT_EQ(run.out, kAbcAll);
    EXPECT_EQ(run.err, "");

    run = RunCli({"--md5", "--sha1", "--crc32", MakeFile("abc.txt", "abc")});
    EXPECT_EQ(run.exitCode, 0);
    EXPECT_EQ(run.out, kAbcAll);

    run = RunCli({"--md5", "--sha1", "--crc32", MakeFile("empty.bin", "")});
    EXPECT_EQ(run.out, "MD5 D41D8CD98F00B204E9800998ECF8427E\n"
                       "SHA1 DA39A3EE5E6B4B0D3255BFEF95601890AFD80709\n"
                       "CRC32 0\n");

    run = RunCli({"--crc32", "--text", "c"});
    EXPECT_EQ(run.out, "CRC32 6B9DF6F\n");
}

TEST_F(Cli, WithoutAnAlgorithmItComputesMd5Alone)
{
    const Outcome run = RunCli({"--text", "abc"});
    EXPECT_EQ(run.exitCode, 0);
    EXPECT_EQ(run.out, "MD5 900150983CD24FB0D6963F7D28E17F72\n");
}

TEST_F(Cli, HmacKeysMd5AndSha1)
{
    Outcome run = RunCli({"--md5", "--sha1", "--crc32", "--hmac", "Jefe", "--text", "what do ya want for nothing?"});
    EXPECT_EQ(run.exitCode, 0);
    EXPECT_EQ(run.out, "MD5 750C783E6AB0B503EAA86E310A5DB738\n"
                       "SHA1 EFFCDF6AE5EB2FA2D27416D5F184DF9C259A7C79\n"
                       "CRC32 6BC70A6C\n");

    run = RunCli({"--hmac", "", "--text", "abc"});
    EXPECT_EQ(run.out, "MD5 DD2701993D29FDD0B032C233CEC63403\n");
}

TEST_F(Cli, TextTakesThePagesWayToBytes)
{
    // "a" and "b" on two lines are 61 0D 0A 62 whether the line ends in LF or CR LF.
    const std::string crlf = "MD5 65D5F03C46E62E3F2BABBE712D2CE464\n";
    EXPECT_EQ(RunCli({"--text", "a\nb"}).out, crlf);
    EXPECT_EQ(RunCli({"--text", "a\r\nb"}).out, crlf);
    EXPECT_EQ(RunCli({MakeFile("crlf.txt", "a\r\nb")}).out, crlf);

    // A non-breaking space is digested as typed.
    EXPECT_EQ(RunCli({"--text", QString::fromUtf16(u"a\u00A0b")}).out, "MD5 7570C04097240E0563415B8D354C4607\n");
}

TEST_F(Cli, FileNamesAreTrimmedAndMayFollowDoubleDash)
{
    MakeFile("abc.txt", "abc");
    Outcome run = RunCli({"--md5", "--sha1", "--crc32", "  abc.txt\t"}, Dir());
    EXPECT_EQ(run.exitCode, 0);
    EXPECT_EQ(run.out, kAbcAll);

    MakeFile("-dash", "abc");
    run = RunCli({"--", "-dash"}, Dir());
    EXPECT_EQ(run.exitCode, 0);
    EXPECT_EQ(run.out, "MD5 900150983CD24FB0D6963F7D28E17F72\n");
}

TEST_F(Cli, FailuresShowTheErrorBoxMessageAndExit1)
{
    ASSERT_EQ(::mkfifo(Path("pipe").c_str(), 0600), 0);
    MakeFile("match-me.bin", "abc");
    ::mkdir(Path("folder").c_str(), 0755);

    struct Case {
        QString name;
        std::string message;
    };
    const Case cases[] = {
        {"", "Invalid file name.\n"},
        {"   ", "Invalid file name.\n"},
        {"missing.bin", "Invalid file name.\n"},
        {"folder", "Invalid file name.\n"},
        {"pipe", "Invalid file name.\n"},  // must return, not wait for a writer
        {"match-*.bin", "Cannot open file \"" + Path("match-*.bin") + "\". No such file or directory.\n"},
    };
    for (const Case& c : cases) {
        const Outcome run = RunCli({"--md5", "--sha1", c.name}, Dir());
        ASSERT_TRUE(run.finished) << c.name.toStdString() << ": did not finish";
        EXPECT_EQ(run.exitCode, 1) << c.name.toStdString();
        EXPECT_EQ(run.err, c.message) << c.name.toStdString();
        EXPECT_EQ(run.out, "") << c.name.toStdString();
    }
}

TEST_F(Cli, BadUsageExits2WithAUsageLine)
{
    const QStringList cases[] = {
        {},
        {"--md5"},
        {"--unknown", "file"},
        {"-x"},
        {"--text"},
        {"--hmac"},
        {"--text", "a", "file"},
        {"one", "two"},
        {"--text", "a", "--text", "b"},
        {"--hmac", "k", "--hmac", "k", "--text", "a"},
    };
    for (const QStringList& arguments : cases) {
        const Outcome run = RunCli(arguments);
        const std::string shown = arguments.join(' ').toStdString();
        EXPECT_EQ(run.exitCode, 2) << shown;
        EXPECT_EQ(run.out, "") << shown;
        EXPECT_NE(run.err.find("usage: vellumark-cli [--md5] [--sha1] [--crc32] [--hmac KEY] (FILE | --text TEXT)\n"),
                  std::string::npos)
            << shown << ": " << run.err;
    }
}

TEST_F(Cli, HelpExplainsOnStandardOutput)
{
    const Outcome run = RunCli({"--help"});
    EXPECT_EQ(run.exitCode, 0);
    EXPECT_EQ(run.err, "");
    EXPECT_EQ(run.out.rfind("usage: vellumark-cli ", 0), 0u);
    for (const char* option : {"--md5", "--sha1", "--crc32", "--hmac KEY", "--text TEXT", "FILE"})
        EXPECT_NE(run.out.find(option), std::string::npos) << option;
}

}  // namespace
