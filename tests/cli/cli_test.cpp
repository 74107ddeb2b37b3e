// The command-line companion, run as a program.

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <functional>
#include <future>
#include <random>
#include <span>
#include <string>
#include <vector>

#include "tests/run_program.h"
#include "tests/test_files.h"

namespace {

// With `throughShell`, the arguments are a shell's words after the program,
// for bytes that are easier to write in the shell's quoting. Standard input
// holds `input`. The locale is a UTF-8 one, whatever the test's, for the
// names in messages are escaped by its character set.
Outcome RunCli(const Arguments& arguments, const std::string& workingDirectory = {}, bool throughShell = false,
               const std::string& input = {}, const std::string& locale = "C.UTF-8")
{
    const std::vector<std::string> environment{"LC_ALL=" + locale};
    if (throughShell)
        return RunProgram("/bin/sh", {"-c", "exec \"$0\" " + Joined(arguments), VELLUMARK_CLI_PATH}, workingDirectory,
                          input, environment);
    return RunProgram(VELLUMARK_CLI_PATH, arguments, workingDirectory, input, environment);
}

// A shell script run in workingDirectory, "$V" naming the program: for pipes
// and for the other tools, whose messages are not translated.
Outcome RunScript(const std::string& script, const std::string& workingDirectory)
{
    return RunProgram("/bin/sh", {"-c", script}, workingDirectory, {}, {"V=" VELLUMARK_CLI_PATH, "LC_ALL=C.UTF-8"},
                      std::chrono::seconds(60));
}

// md5sum's messages with this program's name in place of md5sum's.
std::string Renamed(const std::string& text)
{
    std::string renamed;
    std::size_t start = 0;
    for (std::size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1) {
        std::string line = text.substr(start, end + 1 - start);
        if (line.starts_with("md5sum: "))
            line.replace(0, 6, "vellumark-cli");
        renamed += line;
    }
    return renamed + text.substr(start);
}

using Cli = TempDirTest;

// A run of the companion with these arguments and this standard input, and
// what it must give.
struct RunCase {
    Arguments arguments;
    std::string input;
    int exitCode;
    std::string out;
    std::string err;
};

void ExpectRuns(std::span<const RunCase> cases, const std::string& workingDirectory)
{
    for (const RunCase& c : cases) {
        const Outcome run = RunCli(c.arguments, workingDirectory, false, c.input);
        const std::string shown = Joined(c.arguments);
        EXPECT_EQ(run.exitCode, c.exitCode) << shown;
        EXPECT_EQ(run.out, c.out) << shown;
        EXPECT_EQ(run.err, c.err) << shown;
    }
}

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
    const std::pair<Arguments, std::string> cases[] = {
        {{"--crc32", "--sha1", "--md5", "--text", "abc"}, kAbcAll},
        {{"--text", "abc"}, kAbcMd5},                              // MD5 alone by default
        {{"--md5", "--sha1", "--crc32", "  abc.txt\t"}, kAbcAll},  // trimmed, relative to the current directory
        {{"--", "-dash"}, kAbcMd5},
        {{"--hmac", "Jefe", "--md5", "--sha1", "--crc32", "--text", "what do ya want for nothing?"},
         "MD5 750C783E6AB0B503EAA86E310A5DB738\nSHA1 EFFCDF6AE5EB2FA2D27416D5F184DF9C259A7C79\nCRC32 6BC70A6C\n"},
        {{"--hmac", "", "--text", "abc"}, "MD5 DD2701993D29FDD0B032C233CEC63403\n"},
        // SHA-256, the companion's own, after SHA-1 and before CRC-32; keyed
        // as RFC 4231's second case has it.
        {{"--crc32", "--sha256", "--md5", "--sha1", "abc.txt"},
         "MD5 900150983CD24FB0D6963F7D28E17F72\nSHA1 A9993E364706816ABA3E25717850C26C9CD0D89D\n"
         "SHA256 BA7816BF8F01CFEA414140DE5DAE2223B00361A396177A9CB410FF61F20015AD\nCRC32 352441C2\n"},
        {{"--hmac", "Jefe", "--sha256", "--text", "what do ya want for nothing?"},
         "SHA256 5BDCC146BF60754E6A042426089575C75A003F089D2739839DEC58B964EC3843\n"},
        // SHA-512 after SHA-256, FIPS 180-4's and RFC 4231's.
        {{"--crc32", "--sha512", "--md5", "--sha256", "--sha1", "abc.txt"},
         "MD5 900150983CD24FB0D6963F7D28E17F72\nSHA1 A9993E364706816ABA3E25717850C26C9CD0D89D\n"
         "SHA256 BA7816BF8F01CFEA414140DE5DAE2223B00361A396177A9CB410FF61F20015AD\n"
         "SHA512 DDAF35A193617ABACC417349AE20413112E6FA4E89A97EA20A9EEEE64B55D39A2192992A274FC1A836BA3C23A3FEEBBD454D4"
         "423643CE80E2A9AC94FA54CA49F\nCRC32 352441C2\n"},
        {{"--hmac", "Jefe", "--sha512", "--text", "what do ya want for nothing?"},
         "SHA512 164B7A7BFCF819E2E395FBE73B56E0A387BD64222E831FD610270CD7EA2505549758BF75C05A994A6D034F65F8F0E6FDCAEAB"
         "1A34D4A6B4B636E070A38BCE737\n"},
        {{"crlf.txt"}, kCrLfMd5},
        {{"--text", "a\nb"}, kCrLfMd5},  // the text page's way to bytes
        {{"--text",
          "a\xC2\xA0"
          "b"},
         "MD5 7570C04097240E0563415B8D354C4607\n"},
    };
    for (const auto& [arguments, out] : cases) {
        const Outcome run = RunCli(arguments, Path(""));
        const std::string shown = Joined(arguments);
        EXPECT_EQ(run.exitCode, 0) << shown;
        EXPECT_EQ(run.out, out) << shown;
        EXPECT_EQ(run.err, "") << shown;
    }
}

TEST_F(Cli, FailuresTellWhyAsMd5sumDoesAndExit1Promptly)
{
    ASSERT_EQ(::mkfifo(Path("pipe").c_str(), 0600), 0);
    MakeFile("match-me.bin", "abc");
    MakeFile("x\x1B]2;owned\x07\x1B[2J\\\xC2\x9B.txt", "abc");
    const std::pair<std::string, std::string> cases[] = {
        {"   ", "vellumark-cli: '': No such file or directory\n"},  // the name as trimmed, as md5sum shows it
        {"missing.bin", "vellumark-cli: missing.bin: No such file or directory\n"},
        // Must return, not wait for a writer; a pipe is read as standard input.
        {"pipe", "vellumark-cli: pipe: Not a regular file (read a pipe with - and a redirection)\n"},
        // The wildcard finds a file for the window's existence test; the name opens none.
        {"match-*.bin", "vellumark-cli: match-*.bin: No such file or directory\n"},
        // A name's control characters would be commands to the terminal.
        {std::string("x\x1B]2;owned\x07\x1B[2J\\\xC2\x9B*"),
         "vellumark-cli: x\\x1B]2;owned\\x07\\x1B[2J\\\\\\xC2\\x9B*: No such file or directory\n"},
        // The text box never holds bytes that are no text in the locale's encoding.
        {"--text \"$(printf 'a\\377')\"",
         "vellumark-cli: The text holds bytes that are not valid UTF-8, the locale's encoding.\n"},
    };
    for (const auto& [name, message] : cases) {
        const bool shell = name.rfind("--text", 0) == 0;
        const Outcome run = RunCli({"--md5", "--sha1", name}, Path(""), shell);
        EXPECT_EQ(run.exitCode, 1) << name;
        EXPECT_EQ(run.err, message) << name;
        EXPECT_EQ(run.out, "") << name;
    }
}

// Where a file cannot be opened or read, the companion says what md5sum says,
// the system's words after the name: a missing file, an empty name, a folder,
// a loop of links, a read that fails (the kernel refuses to read a process's
// memory at address 0), alone and among others; and the same of a list that
// cannot be opened. Of a list that cannot be read md5sum says only "read
// error"; the companion says why.
TEST_F(Cli, CannotOpenOrReadAsMd5sumTellsIt)
{
    ASSERT_EQ(
        RunScript("mkdir folder && ln -s loop2 loop1 && ln -s loop1 loop2 && printf abc > abc", Path("")).exitCode, 0);
    const std::pair<bool, const char*> cases[] = {
        {false, "missing"},        {false, "''"},
        {false, "folder"},         {false, "loop1"},
        {false, "/proc/self/mem"}, {false, "abc missing folder loop1 abc"},
        {true, "missing"},         {true, "''"},
        {true, "loop1"},
    };
    for (const auto& [check, names] : cases) {
        const Outcome theirs = RunScript(std::string(check ? "exec md5sum -c " : "exec md5sum ") + names, Path(""));
        const std::string script = std::string(check ? "exec $V -c " : "exec $V --sum ") + names;
        const Outcome mine = RunScript(script, Path(""));
        EXPECT_EQ(mine.exitCode, theirs.exitCode) << script;
        EXPECT_EQ(mine.out, theirs.out) << script;
        EXPECT_EQ(mine.err, Renamed(theirs.err)) << script;
        EXPECT_NE(mine.err, "") << script;
    }
    for (const char* list : {"folder", "/proc/self/mem"}) {
        EXPECT_EQ(RunScript(std::string("exec md5sum -c ") + list, Path("")).err,
                  std::string("md5sum: ") + list + ": read error\n");
        const Outcome mine = RunScript(std::string("exec $V -c ") + list, Path(""));
        EXPECT_EQ(mine.exitCode, 1);
        EXPECT_EQ(mine.err, std::string("vellumark-cli: ") + list + ": " +
                                (list == std::string("folder") ? "Is a directory" : "Input/output error") + "\n");
    }
}

// A list can name a file "evil.iso: OK" followed by 9B 38 6D: a terminal not
// in UTF-8 takes 0x9B for CSI, and "CSI 8 m" hides what follows, the
// FAILED and the warnings, so that only "evil.iso: OK" showed. Such a
// terminal has every byte 0x80 to 0x9F escaped, also inside what would be a
// UTF-8 letter (U+00DB is C3 9B), and keeps its own letters (0xE9); a UTF-8
// one has what is no UTF-8 escaped and its letters kept. On standard output
// and in the errors alike, by the locale's character set.
TEST_F(Cli, ReportsAreEscapedForTheLocalesCharacterSet)
{
    const std::string evil =
        "evil.iso: OK\x9B"
        "8m";
    MakeFile("readme.txt", "abc");
    MakeFile(evil, "x");
    MakeFile("\xC3\x9B", "abc");
    MakeFile("caf\xE9", "abc");
    const std::string abc = "900150983cd24fb0d6963f7d28e17f72  ";
    MakeFile("list", abc + "readme.txt\n" + abc + evil + "\n" + abc + "\xC3\x9B\n" + abc + "caf\xE9\n" + abc +
                         "gone\x9B\n" + abc + "\xC3\x9B-gone\n");
    const std::string warnings =
        "vellumark-cli: WARNING: 2 listed files could not be read\n"
        "vellumark-cli: WARNING: 1 computed checksum did NOT match\n";
    const struct {
        const char* locale;
        std::string out, err;
    } cases[] = {
        {"C",
         "readme.txt: OK\n"
         "\\evil.iso: OK\\x9B8m: FAILED\n"
         "\\\xC3\\x9B: OK\n"
         "caf\xE9: OK\n"
         "\\gone\\x9B: FAILED open or read\n"
         "\\\xC3\\x9B-gone: FAILED open or read\n",
         "vellumark-cli: gone\\x9B: No such file or directory\n"
         "vellumark-cli: \xC3\\x9B-gone: No such file or directory\n" +
             warnings},
        {"C.UTF-8",
         "readme.txt: OK\n"
         "\\evil.iso: OK\\x9B8m: FAILED\n"
         "\xC3\x9B: OK\n"
         "\\caf\\xE9: OK\n"
         "\\gone\\x9B: FAILED open or read\n"
         "\xC3\x9B-gone: FAILED open or read\n",
         "vellumark-cli: gone\\x9B: No such file or directory\n"
         "vellumark-cli: \xC3\x9B-gone: No such file or directory\n" +
             warnings},
    };
    for (const auto& [locale, out, err] : cases) {
        const Outcome run = RunCli({"-c", "list"}, Path(""), false, {}, locale);
        EXPECT_EQ(run.exitCode, 1) << locale;
        EXPECT_EQ(run.out, out) << locale;
        EXPECT_EQ(run.err, err) << locale;
    }
}

// Reads what is there to read on fd without waiting, appending it to out.
void Drain(int fd, std::string& out)
{
    char chunk[4096];
    for (;;) {
        const ssize_t got = ::read(fd, chunk, sizeof chunk);
        if (got <= 0)
            return;
        out.append(chunk, static_cast<std::size_t>(got));
    }
}

// A long input (standard input, fed slowly) shows its progress on standard
// error once it has taken a second, and only on a terminal: alone, by its
// name and share; after another, as the whole run. Ctrl+C ends the program
// at once and by the signal, as other tools end, so that a shell loop around
// it stops too: the input before is printed, nothing of the one in
// progress, and the progress line is erased. So do SIGTERM (from kill, or
// timeout) and SIGHUP (the terminal closed).
TEST_F(Cli, ShowsProgressOnATerminalAndEndsByCtrlCSigtermAndSighup)
{
    MakeFile("small.bin", "abc");
    const struct {
        bool terminal;
        bool alone;
        int signal;
    } cases[] = {
        {true, false, SIGINT},  {false, false, SIGINT}, {true, true, SIGINT},
        {true, false, SIGTERM}, {true, true, SIGHUP},
    };
    for (const auto& [terminal, alone, signal] : cases) {
        SCOPED_TRACE(std::string(terminal ? "standard error on a terminal" : "standard error redirected") +
                     (alone ? ", standard input alone, " : ", after a file, ") + ::strsignal(signal));
        int feed[2], out[2], err[2];
        ASSERT_EQ(::pipe2(feed, O_CLOEXEC), 0);
        ASSERT_EQ(::pipe2(out, O_CLOEXEC | O_NONBLOCK), 0);
        ASSERT_EQ(::pipe2(err, O_CLOEXEC | O_NONBLOCK), 0);
        int pty = -1;
        const pid_t pid = terminal ? ::forkpty(&pty, nullptr, nullptr, nullptr) : ::fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            ::dup2(feed[0], STDIN_FILENO);
            ::dup2(out[1], STDOUT_FILENO);
            if (!terminal)
                ::dup2(err[1], STDERR_FILENO);
            if (::chdir(Path("").c_str()) != 0)
                ::_exit(126);
            if (alone)
                ::execl(VELLUMARK_CLI_PATH, VELLUMARK_CLI_PATH, "-", static_cast<char*>(nullptr));
            else
                ::execl(VELLUMARK_CLI_PATH, VELLUMARK_CLI_PATH, "small.bin", "-", static_cast<char*>(nullptr));
            ::_exit(127);
        }
        ::close(feed[0]);
        ::close(out[1]);
        ::close(err[1]);
        const int shownOn = terminal ? pty : err[0];
        if (terminal)
            ::fcntl(pty, F_SETFL, ::fcntl(pty, F_GETFL) | O_NONBLOCK);
        std::string printed, shown;
        const std::string block(64 * 1024, 'x');
        const auto started = std::chrono::steady_clock::now();
        while (std::chrono::steady_clock::now() - started < std::chrono::milliseconds(1700)) {
            ASSERT_EQ(::write(feed[1], block.data(), block.size()), static_cast<ssize_t>(block.size()));
            Drain(out[0], printed);
            Drain(shownOn, shown);
            ::usleep(20000);
        }
        const std::string shownWhileRunning = shown;
        const auto interrupted = std::chrono::steady_clock::now();
        ASSERT_EQ(::kill(pid, signal), 0);
        int status = 0;
        ASSERT_EQ(::waitpid(pid, &status, 0), pid);
        EXPECT_LT(std::chrono::steady_clock::now() - interrupted, std::chrono::milliseconds(500));
        Drain(out[0], printed);
        Drain(shownOn, shown);
        for (const int fd : {feed[1], out[0], err[0], pty})
            if (fd >= 0)
                ::close(fd);

        EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == signal) << "status " << status;
        EXPECT_EQ(printed, alone ? "" : "MD5 (small.bin) = 900150983CD24FB0D6963F7D28E17F72\n");
        if (terminal) {
            // Two inputs: the whole run, whose bytes have no total with standard input among them.
            EXPECT_NE(shownWhileRunning.find(alone ? "\rstandard input: " : "\r1 of 2 files, "), std::string::npos)
                << shownWhileRunning;
            EXPECT_NE(shownWhileRunning.find(" MB at "), std::string::npos) << shownWhileRunning;
            EXPECT_TRUE(shown.ends_with("\r\033[K")) << "the progress line was left standing";
        } else {
            EXPECT_EQ(shown, "");
        }
    }
}

TEST_F(Cli, SeveralFilesAndStandardInputInTagAndSumLines)
{
    MakeFile("abc", "abc");
    MakeFile("c", "c");
    MakeFile("back\\slash", "abc");
    MakeFile("key", "Jefe\r\n");
    MakeFile("two-lines", "Jefe\nmore\n");
    const std::string abcTag = "MD5 (abc) = 900150983CD24FB0D6963F7D28E17F72\n";
    const std::string hmacMd5 = "750C783E6AB0B503EAA86E310A5DB738";
    const RunCase cases[] = {
        {{"abc", "c"}, "", 0, abcTag + "MD5 (c) = 4A8A08F09D37B73795649038408B5F33\n", ""},
        {{"--tag", "abc"}, "", 0, abcTag, ""},
        {{"--tag", "--lower", "--crc32", "--md5", "c"},
         "",
         0,
         "MD5 (c) = 4a8a08f09d37b73795649038408b5f33\nCRC32 (c) = 06b9df6f\n",
         ""},
        {{"--lower", "--crc32", "c"}, "", 0, "CRC32 6b9df6f\n", ""},  // the box's digits, in lower case
        {{"--sum", "--crc32", "c", "abc"}, "", 0, "06b9df6f  c\n352441c2  abc\n", ""},
        {{"--sum", "back\\slash"}, "", 0, "\\900150983cd24fb0d6963f7d28e17f72  back\\\\slash\n", ""},
        {{"--sum", "--sha1"}, "abc", 0, "a9993e364706816aba3e25717850c26c9cd0d89d  -\n", ""},
        {{}, "abc", 0, "MD5 900150983CD24FB0D6963F7D28E17F72\n", ""},
        {{"-"}, "abc", 0, "MD5 900150983CD24FB0D6963F7D28E17F72\n", ""},
        // Standard input is read once, in turn: the second "-" finds it ended.
        {{"-", "abc", "-"},
         "abc",
         0,
         "MD5 (-) = 900150983CD24FB0D6963F7D28E17F72\n" + abcTag + "MD5 (-) = D41D8CD98F00B204E9800998ECF8427E\n",
         ""},
        {{"abc", "missing", "c"},
         "",
         1,
         abcTag + "MD5 (c) = 4A8A08F09D37B73795649038408B5F33\n",
         "vellumark-cli: missing: No such file or directory\n"},
        // The key from a file, or from the first line of standard input, whose rest is digested.
        {{"--hmac-key-file", "key", "--md5", "--crc32", "-"},
         "what do ya want for nothing?",
         0,
         "MD5 " + hmacMd5 + "\nCRC32 6BC70A6C\n",
         ""},
        {{"--hmac-key-file=-"}, "Jefe\r\nwhat do ya want for nothing?", 0, "MD5 " + hmacMd5 + "\n", ""},
        {{"--hmac-key-file", "two-lines", "abc"},
         "",
         1,
         "",
         "vellumark-cli: two-lines: The key file holds more than one line\n"},
        {{"--hmac-key-file", "nokey", "abc"}, "", 1, "", "vellumark-cli: nokey: No such file or directory\n"},
    };
    ExpectRuns(cases, Path(""));
}

// The path of a program, found as the shell finds it; "" when there is none.
std::string ProgramPath(const std::string& name)
{
    Outcome found = RunProgram("/bin/sh", {"-c", "command -v \"$0\"", name}, "");
    while (!found.out.empty() && found.out.back() == '\n')
        found.out.pop_back();
    return found.exitCode == 0 ? found.out : "";
}

// The lines of text, in order.
std::vector<std::string> LinesOf(const std::string& text)
{
    std::vector<std::string> lines;
    std::size_t start = 0;
    for (std::size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1)
        lines.push_back(text.substr(start, end - start));
    return lines;
}

// SHA-512 and HMAC-SHA-512 of files of random bytes and of random lengths,
// the edges of SHA-512's block of 128 bytes (111 and 112 bytes leave the
// padding's length field the last block, or push it into one more) and of
// the file pipeline's window of 1 MiB among them, against sha512sum and
// openssl under random keys, shorter than, of and longer than the block.
TEST_F(Cli, Sha512AndItsHmacAgreeWithSha512sumAndOpensslOnRandomLengths)
{
    const std::string openssl = ProgramPath("openssl");
    ASSERT_FALSE(openssl.empty()) << "openssl is not installed (scripts/common.sh installs it)";
    const unsigned seed = std::random_device()();
    SCOPED_TRACE("random seed " + std::to_string(seed));
    std::mt19937_64 random(seed);
    constexpr std::size_t kMiB = 1024 * 1024;
    std::vector<std::size_t> lengths = {0,   1,   111, 112,      127,  128,      129,
                                        239, 240, 256, kMiB - 1, kMiB, kMiB + 1, 3 * kMiB + 5};
    for (int i = 0; i < 10; ++i)
        lengths.push_back(random() % (300 * 1024));
    Arguments names;
    for (std::size_t i = 0; i < lengths.size(); ++i) {
        std::string bytes(lengths[i], '\0');
        for (char& byte : bytes)
            byte = static_cast<char>(random());
        names.push_back((i < 10 ? "f0" : "f") + std::to_string(i));
        MakeFile(names.back(), bytes);
    }

    const Outcome sha512sum = RunScript("sha512sum -- f*", Path(""));
    ASSERT_EQ(sha512sum.exitCode, 0) << sha512sum.err;
    const Outcome sums = RunScript("$V --sum --sha512 -- f*", Path(""));
    EXPECT_EQ(sums.exitCode, 0);
    EXPECT_EQ(sums.out, sha512sum.out);
    EXPECT_EQ(sums.err, "");
    EXPECT_EQ(RunScript("$V --tag --lower --sha512 -- f*", Path("")).out,
              RunScript("sha512sum --tag -- f*", Path("")).out);
    // One input's line, as the other labelled lines, in upper case.
    const std::string first = LinesOf(sha512sum.out).at(3).substr(0, 128);
    std::string upper = first;
    std::transform(upper.begin(), upper.end(), upper.begin(), [](char c) { return c >= 'a' ? c - 32 : c; });
    EXPECT_EQ(RunCli({"--sha512", names[3]}, Path("")).out, "SHA512 " + upper + "\n");

    std::vector<std::size_t> keyLengths = {1, 64, 127, 128, 129, 300};
    keyLengths.push_back(1 + random() % 400);
    for (const std::size_t length : keyLengths) {
        std::string key(length, '\0');
        for (char& byte : key)
            byte = static_cast<char>(1 + random() % 255);  // openssl takes the key as a C string
        SCOPED_TRACE("a key of " + std::to_string(length) + " bytes");
        Arguments theirArguments = {"dgst", "-sha512", "-hmac", key, "-r"};
        theirArguments.insert(theirArguments.end(), names.begin(), names.end());
        const Outcome theirs = RunProgram(openssl, theirArguments, Path(""), {}, {}, std::chrono::seconds(60));
        ASSERT_EQ(theirs.exitCode, 0) << theirs.err;
        Arguments ourArguments = {"--hmac", key, "--sha512", "--sum"};
        ourArguments.insert(ourArguments.end(), names.begin(), names.end());
        const Outcome ours = RunProgram(VELLUMARK_CLI_PATH, ourArguments, Path(""), {}, {}, std::chrono::seconds(60));
        EXPECT_EQ(ours.exitCode, 0) << ours.err;
        // openssl's -r lines are "hex *name".
        std::string expected = theirs.out;
        for (std::size_t at = 0; (at = expected.find(" *", at)) != std::string::npos; at += 2)
            expected[at + 1] = ' ';
        EXPECT_EQ(ours.out, expected);
    }
    // And a key from a file, whose line break is not the key's.
    std::string key(200, '\0');
    for (char& byte : key)
        byte = static_cast<char>(' ' + random() % 95);
    MakeFile("key", key + "\n");
    const Outcome theirs = RunProgram(openssl, {"dgst", "-sha512", "-hmac", key, "-r", names[5]}, Path(""));
    const Outcome ours = RunCli({"--hmac-key-file", "key", "--sha512", "--sum", names[5]}, Path(""));
    EXPECT_EQ(ours.out.substr(0, 128), theirs.out.substr(0, 128));
    EXPECT_EQ(ours.out.size(), 128 + 2 + names[5].size() + 1);
}

// A file larger than 4 GiB, made sparse in a moment, with bytes written at
// its start, on both sides of the 2^32nd byte and at its end, so that a
// length or offset kept in 32 bits anywhere from the file to the padding's
// length field shows. The reference is openssl for both digests: sha512sum
// reads the holes in small pieces and takes several times as long.
class CliSparse : public TempDirTest {
protected:
    void SetUp() override
    {
        TempDirTest::SetUp();
        constexpr std::uint64_t k4GiB = std::uint64_t{1} << 32;
        const std::string path = MakeFile("sparse", "start");
        const int fd = ::open(path.c_str(), O_WRONLY | O_CLOEXEC);
        ASSERT_GE(fd, 0);
        const std::pair<std::uint64_t, std::string> pieces[] = {{k4GiB - 3, "around"}, {k4GiB + 4096, "end"}};
        for (const auto& [offset, bytes] : pieces)
            ASSERT_EQ(::pwrite(fd, bytes.data(), bytes.size(), static_cast<off_t>(offset)),
                      static_cast<ssize_t>(bytes.size()));
        ASSERT_EQ(::close(fd), 0);
    }
};

TEST_F(CliSparse, Sha512AndItsHmacOfASparseFileOver4GiBAgreeWithOpenssl)
{
    const std::string openssl = ProgramPath("openssl");
    ASSERT_FALSE(openssl.empty()) << "openssl is not installed (scripts/common.sh installs it)";

    for (const bool keyed : {false, true}) {
        SCOPED_TRACE(keyed ? "keyed" : "plain");
        Arguments theirArguments = {"dgst", "-sha512", "-r", "sparse"};
        Arguments ourArguments = {"--sha512", "--sum", "sparse"};
        if (keyed) {
            theirArguments.insert(theirArguments.begin() + 2, {"-hmac", "a key"});
            ourArguments.insert(ourArguments.begin(), {"--hmac", "a key"});
        }
        const Outcome theirs = RunProgram(openssl, theirArguments, Path(""), {}, {}, std::chrono::seconds(280));
        ASSERT_EQ(theirs.exitCode, 0) << theirs.err;
        const Outcome ours = RunProgram(VELLUMARK_CLI_PATH, ourArguments, Path(""), {}, {}, std::chrono::seconds(280));
        EXPECT_EQ(ours.exitCode, 0) << ours.err;
        EXPECT_EQ(ours.out, theirs.out.substr(0, 128) + "  sparse\n");
    }
}

// Every algorithm in every form of line against its own tool, on files of
// random bytes whose lengths take in the edges of each one's blocks (SHA-3's
// rates of 72 to 144 bytes, BLAKE2's 64 and 128, BLAKE3's chunks of 1024
// and their trees) and of the file pipeline's window of 1 MiB: one file at
// a time, and many through the vector lanes.
TEST_F(Cli, EveryAlgorithmAgreesWithItsOwnToolInEveryForm)
{
    for (const char* tool : {"openssl", "b2sum", "b3sum", "sha224sum", "sha384sum"})
        ASSERT_FALSE(ProgramPath(tool).empty()) << tool << " is not installed (scripts/common.sh installs it)";
    const unsigned seed = std::random_device()();
    SCOPED_TRACE("random seed " + std::to_string(seed));
    std::mt19937_64 random(seed);
    constexpr std::size_t kMiB = 1024 * 1024;
    std::vector<std::size_t> lengths = {0,    1,    63,   64,    65,    71,       72,       103,         104,
                                        135,  136,  143,  144,   145,   1023,     1024,     1025,        2048,
                                        3072, 3073, 4096, 31744, 65537, kMiB - 1, kMiB + 1, 2 * kMiB + 3};
    for (int i = 0; i < 6; ++i)
        lengths.push_back(random() % 1025);
    std::string names;
    for (std::size_t i = 0; i < lengths.size(); ++i) {
        std::string bytes(lengths[i], '\0');
        for (char& byte : bytes)
            byte = static_cast<char>(random());
        const std::string name = (i < 10 ? "f0" : "f") + std::to_string(i);
        MakeFile(name, bytes);
        names += " " + name;
    }
    // openssl's "hex *name" lines as sum lines.
    const auto openssl = [&](const std::string& digest) {
        return RunScript("for f in" + names + "; do openssl dgst -" + digest + " -r \"$f\"; done | sed 's/ \\*/  /'",
                         Path(""))
            .out;
    };
    const std::pair<std::string, std::string> cases[] = {
        {"--sha224", "sha224sum" + names},
        {"--sha384", "sha384sum" + names},
        {"--blake2b", "b2sum" + names},
        {"--blake2b --length 256", "b2sum -l 256" + names},
        {"--blake2b --length 8", "b2sum -l 8" + names},
        {"--blake3", "b3sum" + names},
    };
    for (const auto& [ours, theirs] : cases) {
        const Outcome tool = RunScript(theirs, Path(""));
        ASSERT_EQ(tool.exitCode, 0) << theirs << tool.err;
        EXPECT_EQ(RunScript("$V --sum " + ours + " --" + names, Path("")).out, tool.out) << ours;
        // One at a time, through the one-file pipeline.
        EXPECT_EQ(RunScript("for f in" + names + "; do $V --sum " + ours + " -- \"$f\"; done", Path("")).out, tool.out)
            << ours << ", one at a time";
    }
    for (const auto& [ours, theirs] :
         {std::pair{"--sha3-224", "sha3-224"}, std::pair{"--sha3-256", "sha3-256"}, std::pair{"--sha3-384", "sha3-384"},
          std::pair{"--sha3-512", "sha3-512"}, std::pair{"--blake2s", "blake2s256"}}) {
        const std::string expected = openssl(theirs);
        EXPECT_EQ(RunScript(std::string("$V --sum ") + ours + " --" + names, Path("")).out, expected) << ours;
        EXPECT_EQ(
            RunScript(std::string("for f in") + names + "; do $V --sum " + ours + " -- \"$f\"; done", Path("")).out,
            expected)
            << ours << ", one at a time";
    }
    // Tag lines as b2sum --tag writes them, and the labelled line of one input.
    EXPECT_EQ(RunScript("$V --tag --lower --blake2b --length 256 --" + names, Path("")).out,
              RunScript("b2sum --tag -l 256" + names, Path("")).out);
    EXPECT_EQ(RunScript("$V --tag --lower --sha224 --" + names, Path("")).out,
              RunScript("sha224sum --tag" + names, Path("")).out);
    const Outcome one = RunCli({"--lower", "--sha3-256", "--blake2b", "--length", "128", "--blake3", "f03"}, Path(""));
    const std::vector<std::string> lines = LinesOf(one.out);
    ASSERT_EQ(lines.size(), 3u) << one.out;
    EXPECT_EQ(lines[0].substr(0, 9), "SHA3-256 ");
    EXPECT_EQ(lines[1], "BLAKE2b-128 " + LinesOf(RunScript("b2sum -l 128 f03", Path("")).out).at(0).substr(0, 32));
    EXPECT_EQ(lines[2], "BLAKE3 " + LinesOf(RunScript("b3sum --no-names f03", Path("")).out).at(0));
}

// HMACs against openssl dgst -hmac and Python's hmac over hashlib, BLAKE2b
// at every length; BLAKE3's keyed mode against b3sum --keyed, its key of 32
// raw bytes from a file or from standard input, and refused at any other
// length.
TEST_F(Cli, TheNewAlgorithmsKeyedAgreeWithOpensslPythonAndB3sum)
{
    const unsigned seed = std::random_device()();
    SCOPED_TRACE("random seed " + std::to_string(seed));
    std::mt19937_64 random(seed);
    std::string bytes(70000 + random() % 5000, '\0');
    for (char& byte : bytes)
        byte = static_cast<char>(random());
    MakeFile("data", bytes);
    for (const std::size_t length :
         {std::size_t{5}, std::size_t{72}, std::size_t{128}, std::size_t{145}, std::size_t{200}}) {
        std::string key(length, '\0');
        for (char& byte : key)
            byte = static_cast<char>('a' + random() % 26);
        SCOPED_TRACE("a key of " + std::to_string(length) + " bytes");
        for (const auto& [ours, theirs] :
             {std::pair{"--sha224", "sha224"}, std::pair{"--sha384", "sha384"}, std::pair{"--sha3-224", "sha3-224"},
              std::pair{"--sha3-256", "sha3-256"}, std::pair{"--sha3-384", "sha3-384"},
              std::pair{"--sha3-512", "sha3-512"}, std::pair{"--blake2b", "blake2b512"},
              std::pair{"--blake2s", "blake2s256"}}) {
            const Outcome tool =
                RunScript("openssl dgst -" + std::string(theirs) + " -hmac '" + key + "' -r data", Path(""));
            const Outcome run = RunScript("$V --sum --hmac '" + key + "' " + ours + " data", Path(""));
            EXPECT_EQ(run.out.substr(0, run.out.find(' ')), tool.out.substr(0, tool.out.find(' '))) << ours;
        }
        if (length != 5 && length != 200)
            continue;  // BLAKE2b's every length, under a short key and one hashed first
        const Outcome python = RunScript(
            "python3 -c \"import hashlib,hmac,sys\nd=open('data','rb').read()\nfor n in range(1,65): "
            "print(hmac.new(sys.argv[1].encode(),d,lambda b=b'': hashlib.blake2b(b,digest_size=n)).hexdigest())\" '" +
                key + "'",
            Path(""));
        ASSERT_EQ(python.exitCode, 0) << python.err;
        const Outcome ours = RunScript("for bits in $(seq 8 8 512); do $V --lower --hmac '" + key +
                                           "' --blake2b --length $bits data | cut -d' ' -f2; done",
                                       Path(""));
        EXPECT_EQ(ours.out, python.out);
    }

    std::string key(32, '\0');
    for (char& byte : key)
        byte = static_cast<char>(random());
    MakeFile("key32", key);
    const std::string theirs = RunScript("b3sum --keyed --no-names data < key32", Path("")).out;
    ASSERT_EQ(theirs.size(), 65u);
    EXPECT_EQ(RunScript("$V --sum --blake3 --blake3-key-file key32 data", Path("")).out,
              theirs.substr(0, 64) + "  data\n");
    EXPECT_EQ(RunScript("$V --sum --blake3 --blake3-key-file - data < key32", Path("")).out,
              theirs.substr(0, 64) + "  data\n");
    // Many files at once: keyed BLAKE3 beside plain MD5 and keyed lanes.
    EXPECT_EQ(RunScript("$V --tag --lower --blake3 --md5 --blake3-key-file key32 data data", Path("")).out,
              RunScript("for f in data data; do printf 'MD5 (%s) = %s\\nBLAKE3 (%s) = %s\\n' \"$f\" "
                        "\"$(md5sum < \"$f\" | cut -c1-32)\" \"$f\" \"$(b3sum --keyed --no-names \"$f\" < key32)\"; "
                        "done",
                        Path(""))
                  .out);
    for (const std::string& wrong : {key.substr(0, 31), key + "x", std::string()}) {
        MakeFile("bad", wrong);
        const Outcome run = RunCli({"--blake3", "--blake3-key-file", "bad", "data"}, Path(""));
        EXPECT_EQ(run.exitCode, 1);
        EXPECT_EQ(run.out, "");
        EXPECT_EQ(run.err, "vellumark-cli: bad: The BLAKE3 key must be exactly 32 bytes, and this one has " +
                               std::string(wrong.size() > 32 ? "more" : std::to_string(wrong.size())) + "\n");
    }
}

// Each example of the help, run as it stands in a folder that has what the
// examples name: a file, a folder of photos, an SFV list and a key file.
TEST_F(Cli, EveryExampleOfTheHelpRunsAsShown)
{
    MakeFile("ubuntu.iso", "an image");
    ASSERT_EQ(::mkdir(Path("photos").c_str(), 0755), 0);
    MakeFile("photos/a.jpg", "a");
    MakeFile("photos/b.jpg", "b");
    MakeFile("report.pdf", "a report");
    MakeFile("key.txt", "a key\n");
    ASSERT_EQ(RunScript("$V --sfv ubuntu.iso report.pdf > album.sfv", Path("")).exitCode, 0);
    const std::vector<std::string> help = LinesOf(RunCli({"--help"}).out);
    std::vector<std::string> examples;
    for (bool in = false; const std::string& line : help) {
        if (line == "Examples:") {
            in = true;
        } else if (in && line.empty()) {
            break;
        } else if (in && line.rfind("  vellumark-cli ", 0) == 0) {
            const std::size_t gap = line.find("   ", 2);
            examples.push_back(line.substr(2, gap == std::string::npos ? std::string::npos : gap - 2));
        }
    }
    ASSERT_EQ(examples.size(), 5u);
    for (const std::string& example : examples) {
        const Outcome run = RunScript("$V" + example.substr(std::string("vellumark-cli").size()), Path(""));
        EXPECT_EQ(run.exitCode, 0) << example << "\n" << run.err;
        EXPECT_EQ(run.err, "") << example;
        EXPECT_TRUE(!run.out.empty() || example.find('>') != std::string::npos) << example;
    }
    EXPECT_EQ(RunScript("cat SHA256SUMS", Path("")).out,
              RunScript("sha256sum photos/a.jpg photos/b.jpg", Path("")).out);
}

// The algorithms besides SHA-512 on the same file, in one run: their
// digests as sha224sum, sha384sum, openssl dgst -sha3-256 and -blake2s256,
// b2sum and b3sum gave them for it, run once and written down here (they
// take minutes over 4 GiB on a loaded machine).
TEST_F(CliSparse, TheOtherAlgorithmsOfASparseFileOver4GiBAgreeWithTheirTools)
{
    const Outcome ours =
        RunProgram(VELLUMARK_CLI_PATH,
                   {"--lower", "--sha224", "--sha384", "--sha3-256", "--blake2b", "--blake2s", "--blake3", "sparse"},
                   Path(""), {}, {}, std::chrono::seconds(600));
    EXPECT_EQ(ours.exitCode, 0) << ours.err;
    EXPECT_EQ(
        ours.out,
        "SHA224 9d91dcd3b3cac6fd8f701d73995cf4cb6d95263592ac4dcbf78e90d6\n"
        "SHA384 d041e8d12860890c525ba9421a3700b1199d13f0a96b0f15950474f5f745fae7cc51af0d71c67379a271391620e1b224\n"
        "SHA3-256 d50386354f8a4ad12e51258ce4a652a5c99154e1634848f0de625708cb709494\n"
        "BLAKE2b 2ff9e0713a71928e50d8c6e470440a06845f36995d65d9ad205c7b76ce7f74fe9588c35657b1a363453f3dcc255180c884"
        "c8655b2c2cb46aad33d1fc348f103d\n"
        "BLAKE2s 0f3fd3586523019cdfaa9f09e3b6320f2cad7ae183461b19c515e96fc731c4e7\n"
        "BLAKE3 49d668f876ea4ffb686b084237567b7b3879c203779429e61e4b8b30bd8e85d2\n");
}

// SFV lines: the name, a space and the CRC-32's 8 digits in upper case, for
// one file or many, standard input as "-". A name no SFV line can hold is
// refused by name and not read, and the other files go on.
TEST_F(Cli, SfvLinesAndTheNamesTheyCannotHold)
{
    MakeFile("abc", "abc");
    MakeFile("c", "c");
    MakeFile("a b", "abc");
    const std::string refused[] = {"back\\slash", "new\nline", "cr\rx", ";semi", "#hash", "deadbeef"};
    for (const std::string& name : refused)
        MakeFile(name, "abc");
    const std::string cannot = ": An SFV line cannot hold a name with a line feed, a carriage return or a backslash\n";
    const std::string misread = ": An SFV line with this name would be read back as another line\n";
    const RunCase cases[] = {
        {{"--sfv", "c"}, "", 0, "c 06B9DF6F\n", ""},
        {{"--sfv", "--crc32", "abc", "a b", "-"}, "c", 0, "abc 352441C2\na b 352441C2\n- 06B9DF6F\n", ""},
        {{"--sfv", "abc", "missing", "c"},
         "",
         1,
         "abc 352441C2\nc 06B9DF6F\n",
         "vellumark-cli: missing: No such file or directory\n"},
        {{"--sfv", "abc", refused[0], refused[1], refused[2], "c", refused[3], refused[4], refused[5], "a b"},
         "",
         1,
         "abc 352441C2\nc 06B9DF6F\na b 352441C2\n",
         "vellumark-cli: back\\\\slash" + cannot + "vellumark-cli: new\\x0Aline" + cannot + "vellumark-cli: cr\\x0Dx" +
             cannot + "vellumark-cli: ;semi" + misread + "vellumark-cli: #hash" + misread + "vellumark-cli: deadbeef" +
             misread},
    };
    ExpectRuns(cases, Path(""));

    // A refused name is not read: a file that is open for writing would
    // otherwise be reported as such.
    const int writer = ::open(Path(refused[0]).c_str(), O_WRONLY | O_CLOEXEC);
    ASSERT_GE(writer, 0);
    const Outcome run = RunCli({"--sfv", refused[0], "abc"}, Path(""));
    ::close(writer);
    EXPECT_EQ(run.err, "vellumark-cli: back\\\\slash" + cannot);
    EXPECT_EQ(run.out, "abc 352441C2\n");
}

// Files whose names md5sum must escape or could misread, in a folder of their
// own so that a shell's "*" names them all.
class CliCheck : public TempDirTest {
protected:
    void SetUp() override
    {
        TempDirTest::SetUp();
        ASSERT_EQ(::mkdir(Path("data").c_str(), 0755), 0);
        const std::pair<const char*, const char*> files[] = {
            {"abc", "abc"}, {"a b", "x"},   {"back\\slash", "y"}, {"new\nline", "z"}, {"cr\rx", "w"},
            {"-dash", "d"}, {"star*", "s"}, {"tab\tname", "t"},   {"empty", ""},      {"(x) = y", "p"},
        };
        for (const auto& [name, bytes] : files)
            MakeFile(std::string("data/") + name, bytes);
    }

    Outcome InData(const std::string& script) const { return RunScript(script, Path("data")); }

    static constexpr int kFiles = 10;
};

// How many lines of text end in ": OK".
int CountOk(const std::string& text)
{
    int count = 0;
    for (std::size_t at = 0; (at = text.find(": OK\n", at)) != std::string::npos; at += 5)
        ++count;
    return count;
}

// md5sum -c writes a name's carriage return and tab as they are;
// vellumark-cli escapes the first as md5sum does in the lines it writes, and
// a tab as every message of its own shows one, behind the backslash that
// marks an escaped name.
std::string WithControlsEscaped(const std::string& text)
{
    std::string out;
    std::size_t start = 0;
    for (std::size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1) {
        const std::string line = text.substr(start, end - start);
        const std::size_t colon = line.rfind(": ");
        std::string name = line.substr(0, colon);
        if (colon != std::string::npos && name.find_first_of("\r\t") != std::string::npos) {
            std::string escaped = name.starts_with('\\') ? "" : "\\";
            for (const char c : name)
                escaped += c == '\r' ? "\\r" : c == '\t' ? "\\x09" : std::string(1, c);
            name = escaped;
        }
        out += name + (colon != std::string::npos ? line.substr(colon) : "") + "\n";
    }
    return out + text.substr(start);
}

// The warnings about the list among the lines of standard error, named after
// vellumark-cli; the reasons a file cannot be read are the window's, not md5sum's.
std::string Warnings(const std::string& err, const std::string& tool = "md5sum")
{
    std::string warnings;
    std::size_t start = 0;
    for (std::size_t end; (end = err.find('\n', start)) != std::string::npos; start = end + 1) {
        std::string line = err.substr(start, end + 1 - start);
        if (line.rfind(tool + ": ", 0) == 0)
            line.replace(0, tool.size(), "vellumark-cli");
        for (const char* what : {"WARNING", "improperly", "no properly", "no file was"}) {
            if (line.find(what) != std::string::npos) {
                warnings += line;
                break;
            }
        }
    }
    return warnings;
}

// The lines of standard error that tell why a file could not be read, named
// after vellumark-cli: all but the warnings about the list and its lines,
// which differ where md5sum takes a line it cannot read for a broken one.
std::string FileErrors(const std::string& err, const std::string& list)
{
    std::string errors;
    const std::string warnings = Warnings(err);
    const std::string renamed = Renamed(err);
    std::size_t start = 0;
    for (std::size_t end; (end = renamed.find('\n', start)) != std::string::npos; start = end + 1) {
        const std::string line = renamed.substr(start, end + 1 - start);
        if (warnings.find(line) == std::string::npos && !line.starts_with("vellumark-cli: " + list + ": "))
            errors += line;
    }
    return errors;
}

TEST_F(CliCheck, ChecksListsThatMd5sumAndSha1sumWroteAsTheyDo)
{
    const std::pair<std::string, std::string> writers[] = {
        {"md5sum", "md5sum"}, {"sha1sum", "sha1sum"}, {"md5sum --tag", "md5sum"}, {"sha1sum --tag", "sha1sum"}};
    for (const auto& [writer, checker] : writers) {
        for (const char* ending : {"", "\r"}) {
            const std::string list = "../list";
            ASSERT_EQ(InData(writer + " -- * | sed 's/$/" + ending + "/' > " + list).exitCode, 0);
            const Outcome theirs = InData(checker + " -c " + list);
            const Outcome ours = InData("$V -c " + list);
            const std::string shown = writer + (*ending != 0 ? ", CR LF" : "");
            EXPECT_EQ(theirs.exitCode, 0) << shown << theirs.err;
            EXPECT_EQ(CountOk(theirs.out), kFiles) << shown << theirs.out;
            EXPECT_EQ(ours.exitCode, 0) << shown;
            EXPECT_EQ(ours.out, WithControlsEscaped(theirs.out)) << shown;
            EXPECT_EQ(ours.err, "") << shown;
        }
    }
}

TEST_F(CliCheck, MissingChangedAndUnreadableFilesBadLinesAndOtherAlgorithms)
{
    // A list with lines of every kind, another of md5sum's lines and those of
    // algorithms no one computes, then the files changed under them.
    ASSERT_EQ(InData("{ md5sum -- *; echo 'not a line'; echo; echo '# comment'; sha512sum -- abc; "
                     "sha384sum --tag -- 'a b'; printf 'SHA384 (abc) = 12ab\\n'; } > ../list && "
                     "{ md5sum -- *; echo 'not a line'; echo; printf 'WHIRLPOOL (abc) = 12ab\\n'; } > ../md5s && "
                     "rm abc && echo changed > 'a b' && rm empty && mkdir empty")
                  .exitCode,
              0);

    const Outcome ours = InData("$V -c ../list");
    EXPECT_EQ(ours.exitCode, 1);
    EXPECT_EQ(ours.err,
              "vellumark-cli: abc: No such file or directory\n"
              "vellumark-cli: empty: Is a directory\n"
              "vellumark-cli: abc: No such file or directory\n"
              "vellumark-cli: WARNING: 2 lines are improperly formatted\n"
              "vellumark-cli: WARNING: 3 listed files could not be read\n"
              "vellumark-cli: WARNING: 2 computed checksums did NOT match\n");
    for (const char* line :
         {"\nabc: FAILED open or read\n", "\na b: FAILED\n", "\nempty: FAILED open or read\n", "\n\\new\\nline: OK\n"})
        EXPECT_NE(("\n" + ours.out).find(line), std::string::npos) << line << " in\n" << ours.out;
    EXPECT_TRUE(ours.out.ends_with("abc: FAILED open or read\na b: FAILED\n")) << "SHA-512's and SHA-384's lines";

    // Standard output and the exit status as md5sum's, with every option that
    // changes them: the lines md5sum cannot read it counts as broken ones.
    const char* options[] = {"",
                             "--quiet",
                             "--status",
                             "--warn",
                             "--strict",
                             "--ignore-missing",
                             "--ignore-missing --quiet --strict",
                             "--status --ignore-missing"};
    for (const char* option : options) {
        const Outcome theirs = InData(std::string("md5sum -c ") + option + " ../md5s");
        const Outcome mine = InData(std::string("$V -c ") + option + " ../md5s");
        EXPECT_EQ(mine.exitCode, theirs.exitCode) << option;
        EXPECT_EQ(mine.out, WithControlsEscaped(theirs.out)) << option;
        EXPECT_EQ(FileErrors(mine.err, "../md5s"), FileErrors(theirs.err, "../md5s")) << option;
    }
    EXPECT_EQ(InData("$V -c --status ../list").err,
              "vellumark-cli: abc: No such file or directory\nvellumark-cli: empty: Is a directory\n"
              "vellumark-cli: abc: No such file or directory\n");
}

TEST_F(CliCheck, LinesAsMd5sumReadsThemOneByOne)
{
    // Each line alone in a list, checked by both: the forms, the blanks and
    // mode characters, escapes, comments and broken lines.
    const std::string h = "900150983cd24fb0d6963f7d28e17f72";
    const std::string lines[] = {
        h + "  abc",
        h + " *abc",
        h + " abc",
        h + "\tabc",
        " \t" + h + "  abc",
        h + "   abc",
        h + "  abc ",
        h + "  *abc",
        h + "\t\tabc",
        h + "  ",
        h + " *",
        h + "",
        h + " ",
        "MD5 (abc) = " + h,
        "MD5(abc)= " + h,
        "MD5 (abc)=" + h,
        "MD5 (abc)  =  " + h,
        "\\MD5 (abc) = " + h,
        "MD5 (abc) = " + h + " ",
        "MD5 (abc",
        "\\" + h + "  abc",
        "\\" + h + "  a\\bc",
        "\\" + h + "  abc\\",
        h + "  a\\bc",
        "#" + h + "  abc",
        " #" + h + "  abc",
        "",
        "   ",
        h + "0  abc",
        "900150983CD24FB0D6963F7D28E17F72  abc",
        "MD5 (abc) = 900150983CD24FB0D6963F7D28E17F72",
        h + "  (x) = y",
        "MD5 ((x) = y) = 83878c91171338902e0fe0fb97a8c47a",
    };
    for (const std::string& line : lines) {
        ASSERT_EQ(InData("cat > ../one <<'EOF'\n" + line + "\nEOF").exitCode, 0);
        const Outcome theirs = InData("md5sum -c --warn ../one");
        const Outcome ours = InData("$V -c --md5 --warn ../one");
        EXPECT_EQ(ours.exitCode, theirs.exitCode) << line;
        EXPECT_EQ(ours.out, WithControlsEscaped(theirs.out)) << line;
        EXPECT_EQ(Warnings(ours.err), Warnings(theirs.err)) << line;
    }
    // Where md5sum takes a tag in its own case only, a tag is read in any
    // case, as other tools write them.
    ASSERT_EQ(InData("echo 'md5 (abc) = " + h + "' > ../one").exitCode, 0);
    const Outcome lower = InData("$V -c --md5 --warn ../one");
    EXPECT_EQ(lower.exitCode, 0);
    EXPECT_EQ(lower.out, "abc: OK\n");
}

TEST_F(CliCheck, ChecksListsThatRhashWrote)
{
    if (RunScript("command -v rhash", Path("")).exitCode != 0)
        GTEST_SKIP() << "rhash is not installed (scripts/common.sh installs it)";
    // rhash takes a backslash for a folder's and writes line breaks raw: its
    // lists name the other files.
    for (const char* ending : {"", "\r"}) {
        ASSERT_EQ(InData(std::string("rhash --bsd --crc32 --md5 --sha1 --sha256 --sha384 --sha512 -- abc 'a b' -dash "
                                     "'star*' empty '(x) = y' 'tab\tname' | sed 's/$/") +
                         ending + "/' > ../list")
                      .exitCode,
                  0);
        const Outcome ours = InData("$V -c ../list");
        const std::string shown = *ending != 0 ? "CR LF" : "LF";
        EXPECT_EQ(ours.exitCode, 0) << shown;
        EXPECT_EQ(CountOk(ours.out), 7 * 6) << shown << ours.out;
        EXPECT_EQ(ours.out.rfind("abc: OK\nabc: OK\nabc: OK\nabc: OK\nabc: OK\nabc: OK\na b: OK\na b: OK\na b: OK\n"
                                 "a b: OK\na b: OK\na b: OK\n",
                                 0),
                  0u)
            << shown << ours.out;
        EXPECT_EQ(ours.err, "") << shown;
    }
    // And a changed file is FAILED for each of its six digests.
    ASSERT_EQ(InData("echo changed > 'a b'").exitCode, 0);
    const Outcome changed = InData("$V -c --quiet ../list");
    EXPECT_EQ(changed.exitCode, 1);
    EXPECT_EQ(changed.out, "a b: FAILED\na b: FAILED\na b: FAILED\na b: FAILED\na b: FAILED\na b: FAILED\n");
}

TEST_F(CliCheck, RoundTripsWithMd5sumSha1sumAndSha256sum)
{
    const std::pair<std::string, std::string> trips[] = {
        {"$V --sum --sha256 -- * | sha256sum -c", "sha256sum -c"},
        {"sha256sum -- * | $V -c", "sha256sum -c"},
        {"sha256sum --tag -- * | $V -c", "sha256sum -c"},
        {"$V --tag --sha256 -- * | $V -c", "own"},
        {"$V --sum --md5 -- * | md5sum -c", "md5sum -c"},
        {"$V --sum --sha1 -- * | sha1sum -c", "sha1sum -c"},
        {"$V --tag --md5 -- * | md5sum -c", "md5sum -c"},  // upper-case digits
        {"$V --tag --lower --sha1 -- * | sha1sum -c", "sha1sum -c"},
        {"md5sum -- * | $V -c", "md5sum -c"},
        {"sha1sum -- * | $V -c", "sha1sum -c"},
        {"md5sum --tag -- * | $V -c -", "md5sum -c"},
        {"$V --crc32 --md5 --sha1 -- * | $V -c", "own"},
        {"$V --sum --crc32 -- * | $V -c --crc32", "own"},
    };
    for (const auto& [script, checker] : trips) {
        const Outcome run = InData(script);
        EXPECT_EQ(run.exitCode, 0) << script << "\n" << run.err;
        EXPECT_EQ(run.err, "") << script;
        const int expected = checker == "own" && script.find("--md5 --sha1") != std::string::npos ? 3 * kFiles : kFiles;
        EXPECT_EQ(CountOk(run.out), expected) << script << "\n" << run.out;
    }
}

// What the major distributions publish for their disc images: SHA256SUMS
// lists, in sha256sum's form or its tag form, with CR LF as some download
// pages serve them. A changed file is FAILED; a line of 128 digits beside
// them, which a list of that name does not say to be SHA-512, is checked as
// each algorithm of its length, SHA-512 first.
TEST_F(CliCheck, ChecksSha256sumListsAndTheLinesOfOtherLengthsBesideThem)
{
    for (const char* ending : {"", "\r"}) {
        const std::string shown = *ending != 0 ? "CR LF" : "LF";
        ASSERT_EQ(InData(std::string("{ sha256sum -- abc 'a b'; sha256sum --tag -- empty; sha512sum -- abc; } | "
                                     "sed 's/$/") +
                         ending + "/' > ../SHA256SUMS")
                      .exitCode,
                  0);
        const Outcome good = InData("$V -c ../SHA256SUMS");
        EXPECT_EQ(good.exitCode, 0) << shown << good.err;
        EXPECT_EQ(good.out, "abc: OK\na b: OK\nempty: OK\nabc: OK\n") << shown;
        EXPECT_EQ(good.err, "") << shown;
    }
    ASSERT_EQ(InData("printf x >> 'a b'").exitCode, 0);
    const Outcome corrupt = InData("$V -c ../SHA256SUMS");
    EXPECT_EQ(corrupt.exitCode, 1);
    EXPECT_EQ(corrupt.out, "abc: OK\na b: FAILED\nempty: OK\nabc: OK\n");
    EXPECT_NE(corrupt.err.find("WARNING: 1 computed checksum did NOT match"), std::string::npos) << corrupt.err;
}

// Lists as the other algorithms' tools write them, plain and tagged, read
// in any case and mixed in one list: OK for each good file, and FAILED for
// a changed one, with md5sum's counts and exit statuses. An untagged list
// whose name says nothing (b3sum's) is told by the number of digits, once.
TEST_F(CliCheck, ChecksListsThatTheOtherAlgorithmsToolsWrote)
{
    ASSERT_EQ(InData("rhash --version > /dev/null && openssl version > /dev/null").exitCode, 0)
        << "rhash and openssl are needed (scripts/common.sh installs them)";
    const char* writers[] = {
        "b2sum -- abc 'a b' empty",
        "b2sum --tag -l 256 -- abc 'a b' empty",
        "b3sum -- abc 'a b' empty",
        "sha224sum -- abc 'a b' empty",
        "sha384sum --tag -- abc 'a b' empty",
        "rhash --sha3-256 --bsd -- abc 'a b' empty",
        "openssl dgst -sha256 abc 'a b' empty",
        "openssl dgst -sha3-512 abc 'a b' empty",
        "openssl dgst -blake2b512 abc 'a b' empty | tr A-Z a-z",
    };
    for (const char* writer : writers) {
        ASSERT_EQ(InData(std::string(writer) + " > ../list").exitCode, 0) << writer;
        const Outcome good = InData("$V -c ../list");
        EXPECT_EQ(good.exitCode, 0) << writer << "\n" << good.err;
        EXPECT_EQ(good.out, "abc: OK\na b: OK\nempty: OK\n") << writer;
        const std::string w = writer;
        const std::string told = w.starts_with("b3sum") ? "BLAKE3" : w.starts_with("b2sum -- ") ? "BLAKE2b" : "";
        EXPECT_EQ(good.err, told.empty() ? ""
                                         : "vellumark-cli: WARNING: 3 lines were checked as " + told +
                                               ", told by their number of digits\n")
            << writer;
        ASSERT_EQ(InData("cp 'a b' ../keep && echo changed > 'a b'").exitCode, 0);
        const Outcome changed = InData("$V -c ../list");
        EXPECT_EQ(changed.exitCode, 1) << writer;
        EXPECT_EQ(changed.out, "abc: OK\na b: FAILED\nempty: OK\n") << writer;
        EXPECT_NE(changed.err.find("vellumark-cli: WARNING: 1 computed checksum did NOT match\n"), std::string::npos)
            << writer << changed.err;
        ASSERT_EQ(InData("mv ../keep 'a b'").exitCode, 0);
    }
    // All of them in one list, and a SHA512SUMS list saved under a name
    // that says nothing.
    ASSERT_EQ(InData(std::string("{ ") + writers[0] + "; " + writers[4] + "; " + writers[5] + "; " + writers[8] +
                     "; sha512sum -- abc; } > ../CHECKSUMS.txt")
                  .exitCode,
              0);
    const Outcome mixed = InData("$V -c --quiet ../CHECKSUMS.txt");
    EXPECT_EQ(mixed.exitCode, 0) << mixed.err;
    EXPECT_EQ(mixed.out, "");
}

// SHA512SUMS lists as sha512sum writes them, plain or tagged, LF or CR LF:
// OK for every file, and once one file has changed and another has gone,
// the report, the warnings and the exit status of sha512sum -c under every
// option that changes them.
TEST_F(CliCheck, ChecksSha512sumListsAsSha512sumDoes)
{
    for (const char* writer : {"sha512sum", "sha512sum --tag"}) {
        for (const char* ending : {"", "\r"}) {
            const std::string shown = std::string(writer) + (*ending != 0 ? ", CR LF" : "");
            ASSERT_EQ(InData(std::string(writer) + " -- * | sed 's/$/" + ending + "/' > ../SHA512SUMS").exitCode, 0);
            const Outcome theirs = InData("sha512sum -c ../SHA512SUMS");
            const Outcome ours = InData("$V -c ../SHA512SUMS");
            EXPECT_EQ(theirs.exitCode, 0) << shown << theirs.err;
            EXPECT_EQ(CountOk(theirs.out), kFiles) << shown << theirs.out;
            EXPECT_EQ(ours.exitCode, 0) << shown;
            EXPECT_EQ(ours.out, WithControlsEscaped(theirs.out)) << shown;
            EXPECT_EQ(ours.err, "") << shown;
        }
    }
    ASSERT_EQ(InData("sha512sum -- * > ../SHA512SUMS && printf x >> 'a b' && rm empty").exitCode, 0);
    for (const char* option : {"", "--quiet", "--status", "--warn", "--strict", "--ignore-missing"}) {
        const Outcome theirs = InData(std::string("sha512sum -c ") + option + " ../SHA512SUMS");
        const Outcome ours = InData(std::string("$V -c ") + option + " ../SHA512SUMS");
        EXPECT_EQ(theirs.exitCode, 1) << option;
        EXPECT_EQ(ours.exitCode, theirs.exitCode) << option;
        EXPECT_EQ(ours.out, WithControlsEscaped(theirs.out)) << option;
        EXPECT_EQ(Warnings(ours.err), Warnings(theirs.err, "sha512sum")) << option;
        if (std::string(option) != "--status") {
            EXPECT_NE(ours.out.find("a b: FAILED\n"), std::string::npos) << option << ours.out;
        }
    }
}

// b2sum writes 128 digits without a tag too: a line of 128 digits that
// names no algorithm is checked as SHA-512 first, then as BLAKE2b and
// SHA3-512, so that a good file is never FAILED whatever the list's name;
// the lines told by their number of digits are said so once on standard
// error. With --sha512, or a list's name that says SHA-512, it is checked
// as sha512sum -c checks it.
TEST_F(CliCheck, UntaggedLinesOf128DigitsAreCheckedAsEachAlgorithmOfTheirLength)
{
    ASSERT_EQ(InData("sha512sum -- * > ../CHECKSUMS.txt && b2sum -- * > ../sums.txt && printf x >> 'a b'").exitCode, 0);
    const Outcome theirs = InData("sha512sum -c ../CHECKSUMS.txt");
    const Outcome ours = InData("$V -c ../CHECKSUMS.txt");
    EXPECT_EQ(ours.exitCode, 1);
    EXPECT_EQ(ours.out, WithControlsEscaped(theirs.out));
    EXPECT_EQ(Warnings(ours.err), Warnings(theirs.err, "sha512sum"));
    EXPECT_EQ(CountOk(ours.out), kFiles - 1);

    const Outcome b2 = InData("$V -c ../sums.txt");
    EXPECT_EQ(b2.exitCode, 1);
    EXPECT_EQ(b2.out, ours.out) << "b2sum's list, as sha512sum's";
    EXPECT_NE(b2.err.find("vellumark-cli: WARNING: " + std::to_string(kFiles - 1) +
                          " lines were checked as BLAKE2b, told by their number of digits\n"),
              std::string::npos)
        << b2.err;
    EXPECT_EQ(InData("$V -c --status ../sums.txt").err, "") << "--status leaves the warnings out";

    // Taken for SHA-512, the BLAKE2b list fails on every line.
    const Outcome forced = InData("$V -c --sha512 --quiet ../sums.txt");
    EXPECT_EQ(forced.exitCode, 1);
    EXPECT_EQ(CountOk(forced.out), 0);
    // A list whose file name holds "sha512", in any case, is of SHA-512; one
    // whose name holds "b2" at its start, of BLAKE2b.
    EXPECT_EQ(InData("cp ../CHECKSUMS.txt ../Files.Sha512 && $V -c ../Files.Sha512").out, ours.out);
    EXPECT_EQ(CountOk(InData("cp ../CHECKSUMS.txt ../B2SUMS && $V -c ../B2SUMS").out), 0);
}

// The SFV lists rhash writes, with their header of ";" comments, LF or CR
// LF: their files are reported as md5sum -c reports the same files from its
// own list, before and after one file changes and another goes, with
// rhash -c's exit status on the same list.
TEST_F(CliCheck, ChecksSfvListsThatRhashWroteAsMd5sumChecksItsOwn)
{
    if (ProgramPath("rhash").empty())
        GTEST_SKIP() << "rhash is not installed (scripts/common.sh installs it)";
    // Names rhash reads back: no backslash, line break or leading dash.
    const std::string files = "abc 'a b' 'star*' empty '(x) = y' 'tab\tname'";
    for (const char* ending : {"", "\r"}) {
        const std::string shown = *ending != 0 ? "CR LF" : "LF";
        ASSERT_EQ(InData("rhash --sfv -- " + files + " | sed 's/$/" + ending + "/' > ../list.sfv && md5sum -- " +
                         files + " > ../list.md5")
                      .exitCode,
                  0);
        ASSERT_NE(InData("head -1 ../list.sfv").out.rfind(";", 0), std::string::npos) << "rhash wrote no header";
        const Outcome md5sum = InData("md5sum -c ../list.md5");
        const Outcome ours = InData("$V -c ../list.sfv");
        EXPECT_EQ(CountOk(md5sum.out), 6) << md5sum.out;
        EXPECT_EQ(ours.exitCode, 0) << shown;
        EXPECT_EQ(ours.out, WithControlsEscaped(md5sum.out)) << shown;
        EXPECT_EQ(ours.err, "") << shown;
        EXPECT_EQ(InData("rhash -c ../list.sfv").exitCode, 0) << shown;
    }
    ASSERT_EQ(InData("printf x >> 'a b' && rm empty").exitCode, 0);
    for (const char* option : {"", "--quiet", "--status", "--warn", "--strict", "--ignore-missing"}) {
        const Outcome md5sum = InData(std::string("md5sum -c ") + option + " ../list.md5");
        const Outcome ours = InData(std::string("$V -c ") + option + " ../list.sfv");
        EXPECT_EQ(ours.exitCode, md5sum.exitCode) << option;
        EXPECT_EQ(ours.out, WithControlsEscaped(md5sum.out)) << option;
        EXPECT_EQ(Warnings(ours.err), Warnings(md5sum.err)) << option;
    }
    EXPECT_EQ(InData("rhash -c ../list.sfv").exitCode, 1);
    EXPECT_NE(InData("$V -c ../list.sfv").out.find("a b: FAILED\n"), std::string::npos);
}

// What --sfv writes, rhash -c checks, and rhash --sfv writes the same lines
// below its header; both checkers find the changed file.
TEST_F(CliCheck, RhashChecksSfvLinesAndWritesTheSame)
{
    if (ProgramPath("rhash").empty())
        GTEST_SKIP() << "rhash is not installed (scripts/common.sh installs it)";
    const std::string files = "abc 'a b' 'star*' empty '(x) = y' 'tab\tname'";
    const Outcome ours = InData("$V --sfv -- " + files + " | tee ../ours.sfv");
    ASSERT_EQ(ours.exitCode, 0) << ours.err;
    EXPECT_EQ(LinesOf(ours.out).size(), 6u);
    // The same lines below rhash's header, the digits compared in either case.
    const std::vector<std::string> theirs = LinesOf(InData("rhash --sfv -- " + files + " | grep -v '^;'").out);
    const std::vector<std::string> mine = LinesOf(ours.out);
    ASSERT_EQ(mine.size(), theirs.size()) << ours.out;
    for (std::size_t i = 0; i < mine.size(); ++i) {
        const std::size_t digits = mine[i].size() - 8;
        EXPECT_EQ(mine[i].substr(0, digits), theirs[i].substr(0, theirs[i].size() - 8));
        EXPECT_TRUE(std::equal(mine[i].begin() + digits, mine[i].end(), theirs[i].end() - 8, theirs[i].end(),
                               [](char a, char b) { return std::toupper(a) == std::toupper(b); }))
            << mine[i] << " against " << theirs[i];
    }
    const Outcome checked = InData("rhash -c ../ours.sfv");
    EXPECT_EQ(checked.exitCode, 0) << checked.out << checked.err;
    EXPECT_NE(checked.out.find("Everything OK"), std::string::npos) << checked.out;
    EXPECT_EQ(CountOk(InData("$V -c ../ours.sfv").out), 6);

    ASSERT_EQ(InData("printf x >> 'a b'").exitCode, 0);
    EXPECT_EQ(InData("rhash -c ../ours.sfv").exitCode, 1);
    const Outcome again = InData("$V -c --quiet ../ours.sfv");
    EXPECT_EQ(again.exitCode, 1);
    EXPECT_EQ(again.out, "a b: FAILED\n");
}

TEST_F(CliCheck, ListedFilesAreReadUnderTheUsualRules)
{
    // A file someone has open for writing is not checked, a FIFO is not
    // waited on, and a name is looked up as it stands: no trimming, no
    // wildcards.
    ASSERT_EQ(::mkfifo(Path("data/pipe").c_str(), 0600), 0);
    MakeFile("data/ blanks ", "abc");
    ASSERT_EQ(InData("md5sum abc ' blanks ' > ../list && printf '%s  pipe\\n%s  a*\\n' $(md5sum < abc | cut -c1-32) "
                     "$(md5sum < abc | cut -c1-32) >> ../list")
                  .exitCode,
              0);
    const int writer = ::open(Path("data/abc").c_str(), O_WRONLY | O_CLOEXEC);
    ASSERT_GE(writer, 0);
    const Outcome run = InData("exec $V -c ../list");
    ::close(writer);
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_EQ(run.out, "abc: FAILED open or read\n blanks : OK\npipe: FAILED open or read\na*: FAILED open or read\n");
    EXPECT_EQ(run.err,
              "vellumark-cli: abc: The file is open for writing\n"
              "vellumark-cli: pipe: Not a regular file\n"
              "vellumark-cli: a*: No such file or directory\n"
              "vellumark-cli: WARNING: 3 listed files could not be read\n");
    EXPECT_EQ(InData("$V -c ../list").out,
              "abc: OK\n blanks : OK\npipe: FAILED open or read\na*: FAILED open or read\n");
    // --ignore-missing passes over a name that is no file, wildcard or not.
    EXPECT_EQ(InData("$V -c --ignore-missing ../list").out, "abc: OK\n blanks : OK\npipe: FAILED open or read\n");
}

// Under the lowest descriptor limit at which md5sum -c reads every file of
// a list, and one more for the look before each open, every file is read:
// one at a time, where side by side would need more. So is a walk.
TEST_F(CliCheck, EveryFileIsReadUnderTheLimitMd5sumNeedsAndOneMore)
{
    ASSERT_EQ(
        InData("mkdir many && for i in $(seq 100); do echo $i > many/$i; done && md5sum many/* > ../many.md5").exitCode,
        0);
    // The limit depends on what descriptors the shell inherits here: 5 in a
    // bare session.
    int theirs = 4;
    while (theirs < 64 &&
           CountOk(InData("ulimit -n " + std::to_string(theirs) + " && md5sum -c ../many.md5").out) < 100)
        ++theirs;
    ASSERT_LT(theirs, 64) << "md5sum -c reads not every file under any limit";
#if defined(__SANITIZE_ADDRESS__)
    // The sanitizers' runtime opens a pipe of its own to learn whether
    // memory can be read, and reports a fault where it cannot.
    constexpr int kRuntime = 2;
#else
    constexpr int kRuntime = 0;
#endif
    const std::string limit = "ulimit -n " + std::to_string(theirs + 1 + kRuntime) + " && ";
    const Outcome ours = InData(limit + "$V -c ../many.md5");
    EXPECT_EQ(ours.exitCode, 0);
    EXPECT_EQ(CountOk(ours.out), 100) << ours.out;
    EXPECT_EQ(ours.err, "");
    const Outcome walk = InData(limit + "$V -r --sum --md5 many | md5sum -c --quiet");
    EXPECT_EQ(walk.exitCode, 0) << walk.out << walk.err;
    EXPECT_EQ(InData(limit + "$V -r --sum --md5 many | wc -l").out, "100\n");
}

TEST_F(CliCheck, ListsFromSeveralFilesAndStandardInput)
{
    ASSERT_EQ(InData("md5sum abc > ../good && md5sum empty > ../also && echo bad > ../bad").exitCode, 0);
    const Outcome run = InData("$V -c ../good ../nolist ../bad - ../also < ../good");
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_EQ(run.out, "abc: OK\nabc: OK\nempty: OK\n");
    EXPECT_EQ(run.err,
              "vellumark-cli: ../nolist: No such file or directory\n"
              "vellumark-cli: ../bad: no properly formatted checksum lines found\n");
    EXPECT_EQ(InData("echo bad | $V -c").err,
              "vellumark-cli: standard input: no properly formatted checksum lines found\n");
    // A keyed list, its key from a file.
    const Outcome keyed = InData(
        "printf 'Jefe\\n' > ../key && $V --hmac-key-file ../key --sum -- abc | "
        "$V -c --hmac-key-file ../key && $V --hmac Jefe --sum abc | $V -c");
    EXPECT_EQ(keyed.exitCode, 1) << "the list of keyed digests fails without its key";
    EXPECT_EQ(keyed.out, "abc: OK\nabc: FAILED\n");
}

// A folder walked with -r: its files in the order of `find | LC_ALL=C sort`
// ("a-" and "a.txt" before the files in "a/"), dot-files included, a link to
// a file digested under its own name, a link to a folder not followed, and
// what cannot be digested (a dangling link, a loop of links, a FIFO, which
// is never opened) told on standard error while the walk goes on.
class CliWalk : public TempDirTest {
protected:
    void SetUp() override
    {
        TempDirTest::SetUp();
        ASSERT_EQ(RunScript("mkdir -p tree/a tree/sub/deep tree/empty && cd tree && printf abc > a.txt && "
                            "printf b > a/b && printf dash > a- && printf h > .hidden && printf n > 'new\nline' && "
                            "printf t > \"$(printf 'tab\\tname')\" && printf x > sub/deep/x && ln -s a.txt link && "
                            "ln -s sub linkdir && ln -s nowhere dangling && ln -s loop2 loop1 && ln -s loop1 loop2 && "
                            "mkfifo pipe",
                            Path(""))
                      .exitCode,
                  0);
    }

    // The files the walk digests, in its order.
    static constexpr const char* kFound =
        "tree/.hidden tree/a- tree/a.txt tree/a/b tree/link \"$(printf 'tree/new\\nline')\" tree/sub/deep/x "
        "\"$(printf 'tree/tab\\tname')\"";
    static constexpr const char* kNotFound =
        "vellumark-cli: tree/dangling: No such file or directory\n"
        "vellumark-cli: tree/loop1: Too many levels of symbolic links\n"
        "vellumark-cli: tree/loop2: Too many levels of symbolic links\n"
        "vellumark-cli: tree/pipe: Not a regular file\n";
};

TEST_F(CliWalk, WalksAFolderInTheOrderOfItsWholePathsAndGoesOnPastWhatItCannotRead)
{
    // A writer waits in its open of the FIFO until someone opens it to read:
    // the walk must not.
    const pid_t writer = ::fork();
    ASSERT_GE(writer, 0);
    if (writer == 0) {
        const int fd = ::open(Path("tree/pipe").c_str(), O_WRONLY | O_CLOEXEC);
        ::_exit(fd >= 0 ? 0 : 1);
    }

    const Outcome md5sum = RunScript(std::string("md5sum --tag -- ") + kFound, Path(""));
    ASSERT_EQ(md5sum.exitCode, 0) << md5sum.err;
    const Outcome walk = RunScript("$V -r --lower tree", Path(""));
    EXPECT_EQ(walk.exitCode, 1);
    EXPECT_EQ(walk.out, md5sum.out);
    EXPECT_EQ(walk.err, kNotFound);

    int status = 0;
    EXPECT_EQ(::waitpid(writer, &status, WNOHANG), 0) << "the walk opened the FIFO";
    const int reader = ::open(Path("tree/pipe").c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    EXPECT_EQ(::waitpid(writer, &status, 0), writer);
    if (reader >= 0)
        ::close(reader);

    // Every form names each file, so that the lines check back from here,
    // with this program and with md5sum.
    for (const char* form : {"", "--tag", "--sum"}) {
        const Outcome lines = RunScript(std::string("$V -r ") + form + " tree > sums; $V -c sums", Path(""));
        EXPECT_EQ(lines.exitCode, 0) << form;
        EXPECT_EQ(CountOk(lines.out), 8) << form << "\n" << lines.out;
        EXPECT_EQ(lines.err, kNotFound) << form;
    }
    const Outcome sums = RunScript("$V -r --sum tree 2> /dev/null | md5sum -c --quiet", Path(""));
    EXPECT_EQ(sums.exitCode, 0) << sums.out << sums.err;
}

TEST_F(CliWalk, NamedFilesAndFoldersAsTheUserNamedThem)
{
    const std::string abc = "900150983CD24FB0D6963F7D28E17F72";
    const std::pair<std::string, Outcome> cases[] = {
        // One file found still carries its name.
        {"$V -r tree/a.txt", {0, "MD5 (tree/a.txt) = " + abc + "\n", ""}},
        {"$V -r tree/empty", {0, "", ""}},
        // A link named on the command line is followed, as md5sum would.
        {"$V -r --sha1 tree/linkdir",
         {0, "SHA1 (tree/linkdir/deep/x) = 11F6AD8EC52A2984ABAAFD7C3B516503785C2072\n", ""}},
        {"$V -r tree/sub/ tree/a",
         {0,
          "MD5 (tree/sub/deep/x) = 9DD4E461268C8034F5C8564E155C67A6\nMD5 (tree/a/b) = "
          "92EB5FFEE6AE2FEC3AD71C777531578F\n",
          ""}},
        {"$V -r tree/missing tree/a.txt",
         {1, "MD5 (tree/a.txt) = " + abc + "\n", "vellumark-cli: tree/missing: No such file or directory\n"}},
        // Without -r a folder is no file.
        {"$V tree/sub", {1, "", "vellumark-cli: tree/sub: Is a directory\n"}},
    };
    for (const auto& [script, expected] : cases) {
        const Outcome run = RunScript(script, Path(""));
        EXPECT_EQ(run.exitCode, expected.exitCode) << script;
        EXPECT_EQ(run.out, expected.out) << script;
        EXPECT_EQ(run.err, expected.err) << script;
    }
}

// --sfv with -r: a line for each file the walk finds, under its walked name,
// as rhash --sfv writes it for the same names; a found name that no SFV line
// can hold is told in the walk's order among what it cannot read. The lines
// check back from here, with -c and with rhash -c.
TEST_F(CliWalk, SfvLinesOfAWalkCheckBack)
{
    const Outcome walk = RunScript("$V --sfv -r tree | tee sums", Path(""));
    EXPECT_EQ(walk.exitCode, 0) << "tee's";
    const std::string notFound = kNotFound;
    const std::size_t pipe = notFound.find("vellumark-cli: tree/pipe");
    EXPECT_EQ(walk.err, notFound.substr(0, pipe) +
                            "vellumark-cli: tree/new\\x0Aline: An SFV line cannot hold a name with a line feed, a "
                            "carriage return or a backslash\n" +
                            notFound.substr(pipe));
    EXPECT_EQ(RunScript("$V --sfv -r tree > /dev/null 2>&1", Path("")).exitCode, 1);
    EXPECT_EQ(LinesOf(walk.out).size(), 7u) << walk.out;

    const Outcome checked = RunScript("$V -c sums", Path(""));
    EXPECT_EQ(checked.exitCode, 0) << checked.err;
    EXPECT_EQ(CountOk(checked.out), 7) << checked.out;
    EXPECT_EQ(checked.err, "");
    if (ProgramPath("rhash").empty())
        GTEST_SKIP() << "rhash is not installed (scripts/common.sh installs it)";
    const std::string found = kFound;
    const std::string others =
        found.substr(0, found.find(" \"$(printf 'tree/new")) + found.substr(found.find(" tree/sub/deep/x"));
    EXPECT_EQ(RunScript("rhash --sfv -- " + others + " | grep -v '^;'", Path("")).out, walk.out);
    const Outcome theirs = RunScript("rhash -c sums", Path(""));
    EXPECT_EQ(theirs.exitCode, 0) << theirs.out << theirs.err;
}

// A tree deeper than any open descriptor could hold, and a folder that
// cannot be read below it, walked under a limit of 32 open files.
TEST_F(CliWalk, ADeepTreeIsWalkedWithFewDescriptors)
{
    std::string path = Path("deep");
    constexpr int kDepth = 600;
    for (int level = 0; level < kDepth; ++level) {
        ASSERT_EQ(::mkdir(path.c_str(), 0755), 0) << level;
        path += "/d";
    }
    MakeFile(path.substr(Path("").size()) + "-file", "abc");
    const Outcome run = RunScript("ulimit -n 32 && $V -r deep | wc -l", Path(""));
    EXPECT_EQ(run.exitCode, 0) << run.err.substr(0, 300);
    EXPECT_EQ(run.out, "1\n");

    // Many folders of one file each: the files waiting in the look-ahead
    // hold their folders open, and no more of them than the limit allows.
    ASSERT_EQ(RunScript("mkdir wide && for i in $(seq 300); do mkdir wide/$i && echo $i > wide/$i/f; done", Path(""))
                  .exitCode,
              0);
    const Outcome wide = RunScript("ulimit -n 32 && $V -r --sum --md5 wide", Path(""));
    EXPECT_EQ(wide.exitCode, 0) << wide.err.substr(0, 300);
    EXPECT_EQ(wide.out, RunScript("find wide -type f -print0 | LC_ALL=C sort -z | xargs -0 md5sum", Path("")).out);
}

// Runs the script in `folder` with the walk's test seam on
// (VELLUMARK_TEST_WALK_SEAM, see cli/folder_walk.cpp): each time the walk has
// listed a folder, `listed` is called with the folder's path, and the walk
// goes on once it returns.
Outcome WalkWithSeam(const std::string& script, const std::string& folder,
                     const std::function<void(const std::string&)>& listed)
{
    const std::string seam = folder + "/seam";
    if (::mkdir(seam.c_str(), 0700) != 0 || ::mkfifo((seam + "/listed").c_str(), 0600) != 0 ||
        ::mkfifo((seam + "/go").c_str(), 0600) != 0) {
        ADD_FAILURE() << "cannot make the seam's FIFOs";
        return {};
    }
    // Open for reading and writing, the FIFO blocks neither side.
    const int lines = ::open((seam + "/listed").c_str(), O_RDWR | O_CLOEXEC);
    std::future<Outcome> run = std::async(
        std::launch::async, [&] { return RunScript("export VELLUMARK_TEST_WALK_SEAM=seam; " + script, folder); });
    const auto running = [&] { return run.wait_for(std::chrono::seconds(0)) != std::future_status::ready; };
    std::string pending;
    while (lines >= 0 && running()) {
        pollfd ready{lines, POLLIN, 0};
        char chunk[4096];
        const ssize_t got = ::poll(&ready, 1, 20) > 0 ? ::read(lines, chunk, sizeof chunk) : 0;
        pending.append(chunk, got > 0 ? static_cast<std::size_t>(got) : 0);
        for (std::size_t end; (end = pending.find('\n')) != std::string::npos;) {
            listed(pending.substr(0, end));
            pending.erase(0, end + 1);
            // The walk waits until "go" is opened for writing and closed.
            for (int go; running();) {
                if ((go = ::open((seam + "/go").c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC)) >= 0) {
                    ::close(go);
                    break;
                }
                ::usleep(1000);
            }
        }
    }
    if (lines >= 0)
        ::close(lines);
    return run.get();
}

// A process of ours blocked in its open of the FIFO for writing, as it is
// until someone opens the FIFO to read.
pid_t BlockedWriter(const std::string& fifo)
{
    const pid_t writer = ::fork();
    if (writer == 0) {
        const int fd = ::open(fifo.c_str(), O_WRONLY | O_CLOEXEC);
        ::_exit(fd >= 0 ? 0 : 1);
    }
    // In the open, the system call it is in is openat's (257).
    for (int tries = 0; writer > 0 && tries < 2500; ++tries) {
        std::ifstream call("/proc/" + std::to_string(writer) + "/syscall");
        std::string number;
        if (call >> number && number == "257")
            break;
        ::usleep(2000);
    }
    return writer;
}

// Whether the writer is still blocked, given a tenth of a second to end
// should a reader have let it go; it is let go and waited for either way.
bool StillBlocked(pid_t writer, const std::string& fifo)
{
    int status = 0;
    bool blocked = true;
    for (int tries = 0; blocked && tries < 50; ++tries) {
        blocked = ::waitpid(writer, &status, WNOHANG) == 0;
        if (blocked)
            ::usleep(2000);
    }
    if (!blocked)
        return false;
    const int reader = ::open(fifo.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    ::waitpid(writer, &status, 0);
    if (reader >= 0)
        ::close(reader);
    return true;
}

// A folder renamed and a link to a folder outside put in its place while the
// walk goes: after its parent was listed, the link is not entered but told,
// and nothing outside is read; after it was listed itself, its files are
// read from the folder itself, under their walked names; and a folder the
// walk let go of (one held at a time under this limit) and must reopen on
// its way back up is told, and nothing outside is read.
TEST_F(CliWalk, AFolderSwappedForALinkDuringTheWalkIsNeverFollowed)
{
    ASSERT_EQ(RunScript("mkdir -p in/tree/sub in/tree/a/b out/sub out/a/b && cd in/tree && printf one > sub/f1 && "
                        "printf two > sub/f2 && printf z > z.txt && printf b > a/b/f && printf y > a/y && "
                        "cd ../../out && printf evil1 > sub/f1 && printf evil2 > sub/f2 && printf evil > a/y && "
                        "printf evil > a/b/f",
                        Path(""))
                  .exitCode,
              0);
    const std::string in = Path("in");
    // tree/NAME becomes a link to out/NAME.
    const auto swapped = [&](const std::string& folder) {
        ASSERT_EQ(::rename((in + "/" + folder).c_str(), (in + "/" + folder + ".real").c_str()), 0);
        ASSERT_EQ(::symlink(("../../out/" + folder.substr(5)).c_str(), (in + "/" + folder).c_str()), 0);
    };
    const auto restored = [&](const std::string& folder) {
        ASSERT_EQ(::unlink((in + "/" + folder).c_str()), 0);
        ASSERT_EQ(::rename((in + "/" + folder + ".real").c_str(), (in + "/" + folder).c_str()), 0);
    };
    const std::string md5One = "f97c5d29941bfb1b2fdab0874906ab82", md5Two = "b8a9f715dbb64fd5c56e7783c6820a61";
    const std::string md5Z = "fbade9e36a3f36d3d676c1b808451dd7", md5B = "92eb5ffee6ae2fec3ad71c777531578f";
    const std::string md5Y = "415290769594460e2e485922904f345d";
    std::string swap;

    // Swapped once its parent was listed: told, and not entered.
    Outcome run = WalkWithSeam("$V -r --sum --md5 tree", in, [&](const std::string& folder) {
        if (folder == "tree")
            swapped(swap = "tree/sub");
    });
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_EQ(run.out, md5B + "  tree/a/b/f\n" + md5Y + "  tree/a/y\n" + md5Z + "  tree/z.txt\n");
    EXPECT_EQ(run.err, "vellumark-cli: tree/sub: Changed during the walk\n");
    restored(swap);
    ASSERT_EQ(::unlink((in + "/seam/listed").c_str()) | ::unlink((in + "/seam/go").c_str()) |
                  ::rmdir((in + "/seam").c_str()),
              0);

    // Swapped once it was listed itself: its own files, nothing of the link's.
    run = WalkWithSeam("$V -r --sum --md5 tree", in, [&](const std::string& folder) {
        if (folder == "tree/sub")
            swapped(swap = "tree/sub");
    });
    EXPECT_EQ(run.exitCode, 0) << run.err;
    EXPECT_EQ(run.out, md5B + "  tree/a/b/f\n" + md5Y + "  tree/a/y\n" + md5One + "  tree/sub/f1\n" + md5Two +
                           "  tree/sub/f2\n" + md5Z + "  tree/z.txt\n");
    EXPECT_EQ(run.err, "");
    restored(swap);
    ASSERT_EQ(::unlink((in + "/seam/listed").c_str()) | ::unlink((in + "/seam/go").c_str()) |
                  ::rmdir((in + "/seam").c_str()),
              0);

    // Under a limit that leaves the walk one folder at a time, "tree/a" is
    // let go while "tree/a/b" is read, and opened again for "tree/a/y".
    run = WalkWithSeam("ulimit -n 24 && $V -r --sum --md5 tree", in, [&](const std::string& folder) {
        if (folder == "tree/a/b")
            swapped(swap = "tree/a");
    });
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_EQ(run.out, md5B + "  tree/a/b/f\n" + md5One + "  tree/sub/f1\n" + md5Two + "  tree/sub/f2\n" + md5Z +
                           "  tree/z.txt\n");
    EXPECT_EQ(run.err, "vellumark-cli: tree/a: Changed during the walk\n");
    restored(swap);
}

// A file the walk listed, and the file a listed link led to, each replaced
// by a FIFO with a writer waiting on it before they are opened: neither is
// opened (the writers stay blocked), and each is told as changed.
TEST_F(CliWalk, AFifoSwappedInDuringTheWalkIsNeverOpened)
{
    ASSERT_EQ(RunScript("mkdir -p fifo/tree && cd fifo && printf abc > tree/f && printf abc > target && "
                        "ln -s ../target tree/link && printf z > tree/z",
                        Path(""))
                  .exitCode,
              0);
    const std::string file = Path("fifo/tree/f"), target = Path("fifo/target");
    pid_t writers[2] = {-1, -1};
    const Outcome run = WalkWithSeam("$V -r --sum --md5 tree", Path("fifo"), [&](const std::string& folder) {
        if (folder != "tree")
            return;
        ASSERT_EQ(::unlink(file.c_str()) | ::mkfifo(file.c_str(), 0600), 0);
        ASSERT_EQ(::unlink(target.c_str()) | ::mkfifo(target.c_str(), 0600), 0);
        writers[0] = BlockedWriter(file);
        writers[1] = BlockedWriter(target);
    });
    ASSERT_GT(writers[0], 0);
    ASSERT_GT(writers[1], 0);
    EXPECT_TRUE(StillBlocked(writers[0], file)) << "the walk opened the FIFO that took a file's place";
    EXPECT_TRUE(StillBlocked(writers[1], target)) << "the walk opened the FIFO that took a link's file's place";
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_EQ(run.out, "fbade9e36a3f36d3d676c1b808451dd7  tree/z\n");
    EXPECT_EQ(run.err,
              "vellumark-cli: tree/f: Changed during the walk\n"
              "vellumark-cli: tree/link: Changed during the walk\n");
}

// A tree 5,000 folders deep, its paths far longer than the system takes in
// one name, with files at five depths: every file, in the order of `find |
// LC_ALL=C sort`, under Debian's default limit of 1,024 descriptors. Made
// and removed through descriptors, as the helpers' paths could not reach it.
TEST_F(CliWalk, ATreeOf5000LevelsIsWalkedWhole)
{
    struct Removed {
        std::string folder;
        ~Removed() { RunScript("rm -rf deep", folder); }
    } removed{Path("")};
    int fd = ::open(Path("").c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    const std::string names[] = {"d", "deep"};
    for (int level = 0; fd >= 0 && level <= 5000; ++level) {
        const char* name = names[level == 0].c_str();
        ASSERT_EQ(::mkdirat(fd, name, 0755), 0) << level;
        const int below = ::openat(fd, name, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        ::close(fd);
        fd = below;
        if (level == 1 || level == 2 || level == 2500 || level == 4999 || level == 5000) {
            const int file = ::openat(fd, "f", O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
            const std::string text = "level " + std::to_string(level);
            ASSERT_EQ(::write(file, text.data(), text.size()), static_cast<ssize_t>(text.size()));
            ::close(file);
        }
    }
    ASSERT_GE(fd, 0);
    ::close(fd);
    const Outcome ours = RunScript("ulimit -n 1024 && $V -r --sum --md5 deep", Path(""));
    // md5sum cannot open names that long: each file's line is made from its
    // level, the folders above it.
    const Outcome found = RunScript("find deep -type f | LC_ALL=C sort", Path(""));
    ASSERT_EQ(found.exitCode, 0) << found.err.substr(0, 300);
    std::string lines;
    for (const std::string& path : LinesOf(found.out)) {
        const auto level = std::count(path.begin(), path.end(), '/') - 1;
        const Outcome md5 = RunScript("printf 'level " + std::to_string(level) + "' | md5sum", Path(""));
        lines += md5.out.substr(0, 32) + "  " + path + "\n";
    }
    EXPECT_EQ(ours.exitCode, 0);
    EXPECT_EQ(ours.err.substr(0, 300), "");
    EXPECT_EQ(LinesOf(ours.out).size(), 5u);
    EXPECT_EQ(ours.out, lines);
}

// What another user cannot read: a file and a folder, each told in the
// system's words while the walk goes on. Root reads everything, so the
// program runs as nobody when the test runs as root.
TEST_F(CliWalk, UnreadableFilesAndFoldersAreToldAndTheWalkGoesOn)
{
    ASSERT_EQ(RunScript("mkdir locked locked/closed && printf abc > locked/open && printf x > locked/secret && "
                        "printf y > locked/closed/inside && chmod 000 locked/secret locked/closed",
                        Path(""))
                  .exitCode,
              0);
    const int nobody = ::geteuid() == 0 ? 65534 : -1;
    const Outcome run = RunProgram(VELLUMARK_CLI_PATH, {"-r", "locked", "locked/secret"}, Path(""), {}, {},
                                   std::chrono::seconds(10), nobody);
    if (run.exitCode == 126)
        GTEST_SKIP() << "cannot run the program as another user here (setuid to 65534 refused)";
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_EQ(run.out, "MD5 (locked/open) = 900150983CD24FB0D6963F7D28E17F72\n");
    EXPECT_EQ(run.err,
              "vellumark-cli: locked/closed: Permission denied\n"
              "vellumark-cli: locked/secret: Permission denied\n"
              "vellumark-cli: locked/secret: Permission denied\n");
}

// A name that ends with a blank: other checkers take every blank before
// the digits for the separator, so its SFV line would not check back there.
// It is refused, not read, as the other names no SFV line can hold.
TEST_F(CliWalk, SfvRefusesANameThatEndsWithABlank)
{
    ASSERT_EQ(RunScript("mkdir blanks && printf abc > blanks/ok && printf abc > 'blanks/trail ' && "
                        "printf abc > \"$(printf 'blanks/tab\\t')\"",
                        Path(""))
                  .exitCode,
              0);
    const Outcome run = RunScript("$V --sfv -r blanks > sums", Path(""));
    EXPECT_EQ(run.exitCode, 1);
    const std::string misread = ": An SFV line with this name would be read back as another line\n";
    EXPECT_EQ(run.err, "vellumark-cli: blanks/tab\\x09" + misread + "vellumark-cli: blanks/trail " + misread);
    EXPECT_EQ(RunScript("cat sums", Path("")).out, "blanks/ok 352441C2\n");
    if (ProgramPath("rhash").empty())
        GTEST_SKIP() << "rhash is not installed (scripts/common.sh installs it)";
    const Outcome theirs = RunScript("rhash -c sums", Path(""));
    EXPECT_EQ(theirs.exitCode, 0) << theirs.out << theirs.err;
}

// Many files side by side: the lines come in the order named whatever order
// the files end in (the largest, named first, ends last), and one that
// fails in the middle is told while the others are digested.
TEST_F(Cli, ManyFilesInTheOrderNamedWithOneFailingInTheMiddle)
{
    ASSERT_EQ(RunScript("mkdir many && cd many && head -c 3000000 /dev/zero > m000 && "
                        "for i in $(seq 1 199); do printf \"%0${i}d\" 0 > m$(printf %03d $i); done && "
                        "rm m100 && mkdir m100",
                        Path(""))
                  .exitCode,
              0);
    const Outcome theirs = RunScript("cd many && md5sum -- *", Path(""));
    const Outcome ours = RunScript("cd many && $V --sum -- *", Path(""));
    EXPECT_EQ(theirs.exitCode, 1);
    EXPECT_EQ(ours.exitCode, 1);
    EXPECT_EQ(ours.out, theirs.out);
    EXPECT_EQ(ours.err, "vellumark-cli: m100: Is a directory\n");
    EXPECT_EQ(ours.err, Renamed(theirs.err));

    // The same as a list, read from a pipe as it comes.
    const Outcome piped = RunScript("cd many && { md5sum m001; sleep 0.3; md5sum m000 m199; } | $V -c", Path(""));
    EXPECT_EQ(piped.exitCode, 0) << piped.err;
    EXPECT_EQ(piped.out, "m001: OK\nm000: OK\nm199: OK\n");
    const Outcome all = RunScript("cd many && md5sum -- * 2> /dev/null | $V -c --quiet", Path(""));
    EXPECT_EQ(all.exitCode, 0) << all.err;
    EXPECT_EQ(all.out, "");
}

// A list line longer than 64 KiB names no file: it is improperly formatted,
// like any line that is no line of a list, and the lines around it count.
TEST_F(Cli, AListLineLongerThan64KiBIsImproperlyFormatted)
{
    MakeFile("abc", "abc");
    const std::string line = "900150983cd24fb0d6963f7d28e17f72  abc\n";
    MakeFile("list", line + "900150983cd24fb0d6963f7d28e17f72  " + std::string(70000, 'x') + "\n" + line);
    const Outcome run = RunCli({"-c", "list"}, Path(""));
    EXPECT_EQ(run.exitCode, 0);
    EXPECT_EQ(run.out, "abc: OK\nabc: OK\n");
    EXPECT_EQ(run.err, "vellumark-cli: WARNING: 1 line is improperly formatted\n");
    EXPECT_EQ(RunCli({"-c", "--strict", "--quiet", "list"}, Path("")).exitCode, 1);
}

TEST(CliUsage, BadUsageExits2WithAUsageLineAndHelpExits0)
{
    const std::string usage = "usage: vellumark-cli [OPTION]... [FILE... | --text TEXT]\n";
    const std::string tryHelp = "Try 'vellumark-cli --help' for more information.\n";
    const std::pair<Arguments, std::string> cases[] = {
        {{"--sum", "--md5", "--sha1", "file"}, "--sum takes exactly one algorithm"},
        {{"--unknown", "file"}, "unknown option --unknown"},
        {{"-cx"}, "unknown option -x"},
        {{"--md5=yes", "file"}, "unknown option --md5=yes"},
        {{"--text"}, "--text needs a value"},
        {{"--text", "a", "file"}, "give either FILE or --text, not both"},
        {{"--hmac", "k", "--hmac", "k", "--text", "a"}, "--hmac given more than once"},
        {{"--hmac", "k", "--hmac-key-file", "key", "file"}, "give either --hmac or --hmac-key-file, not both"},
        {{"--tag", "--sum", "file"}, "give either --tag or --sum, not both"},
        {{"--tag", "--text", "a"}, "--tag and --sum name files: give FILE, not --text"},
        {{"-c", "--tag", "list"}, "the --tag option is meaningless when verifying checksums"},
        {{"--check", "--text=a"}, "the --text option is meaningless when verifying checksums"},
        {{"--lower", "-c", "list"}, "the --lower option is meaningless when verifying checksums"},
        {{"--quiet", "file"}, "the --quiet option is meaningful only when verifying checksums"},
        {{"-w", "file"}, "the --warn option is meaningful only when verifying checksums"},
        {{"--ignore-missing", "file"}, "the --ignore-missing option is meaningful only when verifying checksums"},
        {{"-r", "-c", "list"}, "the --recursive option is meaningless when verifying checksums"},
        {{"--recursive", "--text", "a"}, "--recursive walks folders: give FILE, not --text"},
        // SFV lines hold a CRC-32 in upper case and nothing else.
        {{"--sfv", "--md5", "file"}, "--sfv writes CRC-32 alone, in upper case: it takes no --md5"},
        {{"--sha1", "--sfv", "file"}, "--sfv writes CRC-32 alone, in upper case: it takes no --sha1"},
        {{"--sfv", "--crc32", "--sha256", "file"}, "--sfv writes CRC-32 alone, in upper case: it takes no --sha256"},
        {{"-r", "--sfv", "--sha512", "dir"}, "--sfv writes CRC-32 alone, in upper case: it takes no --sha512"},
        {{"--sfv", "--hmac", "k", "file"}, "--sfv writes CRC-32 alone, in upper case: it takes no --hmac"},
        {{"--sfv", "--hmac-key-file=key", "file"},
         "--sfv writes CRC-32 alone, in upper case: it takes no --hmac-key-file"},
        {{"--sfv", "--tag", "file"}, "--sfv writes CRC-32 alone, in upper case: it takes no --tag"},
        {{"--sum", "--sfv", "file"}, "--sfv writes CRC-32 alone, in upper case: it takes no --sum"},
        {{"--sfv", "--lower", "file"}, "--sfv writes CRC-32 alone, in upper case: it takes no --lower"},
        {{"--sfv", "--text", "a"}, "--sfv names files: give FILE, not --text"},
        {{"-c", "--sfv", "list"}, "the --sfv option is meaningless when verifying checksums"},
        {{"--bogus"}, "unknown option --bogus"},
        {{"--hmac-key-file"}, "--hmac-key-file needs a value"},
        // BLAKE2b's length, and BLAKE3's key of its own.
        {{"--length", "256", "file"}, "--length is BLAKE2b's: give --blake2b too"},
        {{"--blake2b", "--length", "250", "file"},
         "--length takes a number of bits from 8 to 512, a multiple of 8: 250"},
        {{"--blake2b", "--length=520", "file"}, "--length takes a number of bits from 8 to 512, a multiple of 8: 520"},
        {{"--blake2b", "--length", "0", "file"}, "--length takes a number of bits from 8 to 512, a multiple of 8: 0"},
        {{"--blake2b", "--length", "x", "file"}, "--length takes a number of bits from 8 to 512, a multiple of 8: x"},
        {{"--blake3", "--hmac", "k", "file"}, "BLAKE3 has no HMAC: key it with --blake3-key-file"},
        {{"--blake3", "--md5", "--hmac-key-file", "key", "file"}, "BLAKE3 has no HMAC: key it with --blake3-key-file"},
        {{"--blake3-key-file", "key", "file"}, "--blake3-key-file keys BLAKE3: give --blake3 too"},
        {{"--blake3", "--blake3-key-file", "-"},
         "the BLAKE3 key is read from standard input, which then cannot also be read as an input"},
        {{"--blake3", "--blake3-key-file", "-", "a", "-"},
         "the BLAKE3 key is read from standard input, which then cannot also be read as an input"},
        {{"-c", "--blake3-key-file", "-"},
         "the BLAKE3 key is read from standard input, which then cannot also be read as an input"},
        {{"--sfv", "--crc32", "--length", "8", "file"}, "--length is BLAKE2b's: give --blake2b too"},
        {{"-c", "--blake3-key-file", "key", "--sfv", "list"},
         "the --sfv option is meaningless when verifying checksums"},
        {{"--blake3", "--sfv", "--blake3-key-file", "key", "file"},
         "--sfv writes CRC-32 alone, in upper case: it takes no --blake3"},
    };
    for (const auto& [arguments, problem] : cases) {
        const Outcome run = RunCli(arguments);
        const std::string shown = Joined(arguments);
        EXPECT_EQ(run.exitCode, 2) << shown;
        EXPECT_EQ(run.out, "") << shown;
        EXPECT_EQ(run.err, "vellumark-cli: " + problem + "\n" + tryHelp) << shown;
    }

    // The help names every option, in at most 60 lines of at most 80 columns.
    const Outcome help = RunCli({"--help"});
    EXPECT_EQ(help.exitCode, 0);
    EXPECT_EQ(help.err, "");
    EXPECT_EQ(help.out.rfind(usage, 0), 0u);
    const std::vector<std::string> lines = LinesOf(help.out);
    EXPECT_LE(lines.size(), 60u);
    for (const std::string& line : lines)
        EXPECT_LE(line.size(), 80u) << line;
    for (const char* option : {"--md5 ",
                               "--sha1 ",
                               "--sha224 ",
                               "--sha256 ",
                               "--sha384 ",
                               "--sha512\n",
                               "--sha3-224 ",
                               "--sha3-256 ",
                               "--sha3-384 ",
                               "--sha3-512\n",
                               "--blake2b ",
                               "--blake2s ",
                               "--blake3 ",
                               "--crc32\n",
                               "--length BITS ",
                               "--sfv ",
                               "--sum ",
                               "--tag ",
                               "--lower ",
                               "--hmac KEY ",
                               "--hmac-key-file KEYFILE\n",
                               "--blake3-key-file KEYFILE\n",
                               "--text TEXT ",
                               "--help",
                               "-c, --check ",
                               "-r, --recursive ",
                               "--version",
                               "--ignore-missing ",
                               "--quiet ",
                               "--status ",
                               "-w, --warn ",
                               "--strict ",
                               "\"--\""})
        EXPECT_NE(help.out.find(option), std::string::npos) << option;

    const Outcome version = RunCli({"--version"});
    EXPECT_EQ(version.exitCode, 0);
    EXPECT_EQ(version.out, "vellumark-cli (Vellumark) " VELLUMARK_VERSION "\n");
}

}  // namespace
