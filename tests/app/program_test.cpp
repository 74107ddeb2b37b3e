#include <gtest/gtest.h>

#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <signal.h>
#include <sys/inotify.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <cstring>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <tuple>
#include <vector>

#include <QCryptographicHash>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QProcessEnvironment>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QThread>
#include <QUrl>

#include "instances/instance_limit.h"
#include "platform/base/unique_fd.h"
#include "platform/windows/message_window.h"
#include "platform/windows/peer_directory.h"
#include "platform/windows/wire_frame.h"

#include <utility>

namespace {

// The real program, started as a user would start it.
class ProgramTest : public ::testing::Test {
protected:
    ProgramTest()
    {
        // A settings file to read, so that a start which reads it shows.
        QDir().mkpath(home_.filePath("config/vellumark"));
        QFile file(home_.filePath("config/vellumark/settings.reg"));
        if (file.open(QIODevice::WriteOnly))
            file.write("[\\Software\\Halvercraft\\Vellumark]\n\"CBSHA1\"=dword:00000001\n");
    }

    QProcessEnvironment Environment() const
    {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"})
            env.remove(name);
        env.insert("HOME", home_.path());
        env.insert("XDG_CONFIG_HOME", home_.filePath("config"));
        env.insert("XDG_RUNTIME_DIR", home_.path());
        // Under LeakSanitizer a turned-away start reports only what it
        // leaks itself.
        env.insert("LSAN_OPTIONS", "suppressions=" LSAN_SUPPRESSIONS_PATH);
        return env;
    }

    QProcessEnvironment Offscreen() const
    {
        QProcessEnvironment env = Environment();
        env.insert("QT_QPA_PLATFORM", "offscreen");
        return env;
    }

    std::unique_ptr<QProcess> Start(const QString& program, const QStringList& args, const QProcessEnvironment& env)
    {
        auto process = std::make_unique<QProcess>();
        process->setProcessEnvironment(env);
        process->setProcessChannelMode(QProcess::ForwardedErrorChannel);
        process->start(program, args);
        EXPECT_TRUE(process->waitForStarted(20000));
        return process;
    }

    // The helper program joined to the real program's table: it stands for
    // a running instance and says what reaches it.
    std::unique_ptr<QProcess> StartObserver(const QStringList& extra = {})
    {
        const QString program = QFileInfo(VELLUMARK_PATH).canonicalFilePath();
        auto observer = Start(INSTANCE_HELPER_PATH, QStringList{"table=" + program} + extra, Offscreen());
        EXPECT_TRUE(ReadUntil(*observer, "admitted ").startsWith("admitted "));
        return observer;
    }

    static QString ReadLine(QProcess& process, int timeoutMs = 20000)
    {
        QElapsedTimer timer;
        timer.start();
        while (!process.canReadLine()) {
            if (timer.elapsed() > timeoutMs || process.state() != QProcess::Running ||
                !process.waitForReadyRead(static_cast<int>(timeoutMs - timer.elapsed())))
                if (!process.canReadLine())
                    return {};
        }
        return QString::fromUtf8(process.readLine()).trimmed();
    }

    static QString ReadUntil(QProcess& process, const QString& prefix, QStringList* seen = nullptr)
    {
        for (;;) {
            const QString line = ReadLine(process);
            if (seen != nullptr)
                seen->push_back(line);
            if (line.isEmpty() || line.startsWith(prefix))
                return line;
        }
    }

    static void EndGently(QProcess& process)
    {
        // A process that has ended has no id (0), and kill(0) would end the
        // whole process group: the test and whoever runs it.
        const auto pid = static_cast<pid_t>(process.processId());
        if (process.state() != QProcess::Running || pid <= 0) {
            ADD_FAILURE() << "it had ended already, with exit code " << process.exitCode();
            return;
        }
        ::kill(pid, SIGTERM);
        EXPECT_TRUE(process.waitForFinished(20000));
        EXPECT_EQ(process.exitCode(), 0);
    }

    // The real program with a line to the test (program_probe), as the
    // program at VELLUMARK_PATH; a start that stays says "ready".
    std::unique_ptr<QProcess> StartProbe(const QStringList& args, const QString& workingDirectory = {},
                                         const QProcessEnvironment* env = nullptr, bool waitUntilReady = true)
    {
        auto probe = std::make_unique<QProcess>();
        probe->setProcessEnvironment(env != nullptr ? *env : Offscreen());
        probe->setProcessChannelMode(QProcess::ForwardedErrorChannel);
        probe->setWorkingDirectory(workingDirectory.isEmpty() ? home_.path() : workingDirectory);
        probe->start(PROBE_PATH, args);
        EXPECT_TRUE(probe->waitForStarted(20000));
        if (waitUntilReady) {
            EXPECT_TRUE(ReadUntil(*probe, "ready ").startsWith("ready ")) << "the probe did not come up";
        }
        return probe;
    }

    using WindowState = std::map<QString, QString>;

    // What the probe's window shows once it has done what it was asked
    // before; the other lines it said meanwhile go to `seen`.
    static WindowState State(QProcess& probe, QStringList* seen = nullptr)
    {
        probe.write("state\n");
        const QString line = ReadUntil(probe, "state ", seen);
        if (seen != nullptr && !seen->isEmpty())
            seen->pop_back();
        WindowState state;
        for (const QString& field : line.mid(6).split(' ', Qt::SkipEmptyParts))
            state[field.section('=', 0, 0)] = field.section('=', 1);
        return state;
    }

    // The window as it shows the file `name` (bytes) that holds `content`:
    // MD5 and SHA-1 are ticked (the settings tick SHA1), CRC32 is not.
    static WindowState Showing(const std::string& name, const QByteArray& content)
    {
        return {{"page", "0"},
                {"md5", QCryptographicHash::hash(content, QCryptographicHash::Md5).toHex().toUpper()},
                {"sha1", QCryptographicHash::hash(content, QCryptographicHash::Sha1).toHex().toUpper()},
                {"crc32", ""},
                {"windows", "1"},
                {"boxes", "0"},
                {"name", QUrl::toPercentEncoding(QFile::decodeName(QByteArray::fromStdString(name)))}};
    }

    // Waits until the probe's window shows `expected`; false, with what it
    // showed last in `last`, when it does not within the time.
    static bool Shows(QProcess& probe, const WindowState& expected, WindowState& last, QStringList* seen = nullptr)
    {
        QElapsedTimer timer;
        timer.start();
        while ((last = State(probe, seen)) != expected) {
            if (timer.elapsed() > 20000 || probe.state() != QProcess::Running)
                return false;
            QThread::msleep(20);
        }
        return true;
    }

    // A file in the test's home whose name is any bytes; its absolute name.
    std::string MakeFile(const std::string& name, const QByteArray& content)
    {
        const std::string path = QFile::encodeName(home_.path()).toStdString() + "/" + name;
        const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        EXPECT_GE(fd, 0) << path;
        EXPECT_EQ(::write(fd, content.constData(), static_cast<std::size_t>(content.size())), content.size());
        ::close(fd);
        made_.push_back(path);
        return path;
    }

    // Runs the real program from `workingDirectory` with arguments as bytes
    // (a name need not be UTF-8, which QProcess requires), its standard
    // error on `errorFd` unless that is -1; its exit code, -1 when it did not
    // end in time.
    int RunProgram(const std::vector<std::string>& args, const std::string& workingDirectory = "/", int errorFd = -1)
    {
        std::vector<std::string> strings{VELLUMARK_PATH};
        strings.insert(strings.end(), args.begin(), args.end());
        std::vector<std::string> environment;
        for (const QString& variable : Offscreen().toStringList())
            environment.push_back(variable.toLocal8Bit().toStdString());
        std::vector<char*> argv;
        for (std::string& arg : strings)
            argv.push_back(arg.data());
        argv.push_back(nullptr);
        std::vector<char*> envp;
        for (std::string& variable : environment)
            envp.push_back(variable.data());
        envp.push_back(nullptr);
        const pid_t child = ::fork();
        if (child < 0)
            return -1;
        if (child == 0) {
            if ((errorFd < 0 || ::dup2(errorFd, 2) == 2) && ::chdir(workingDirectory.c_str()) == 0)
                ::execve(VELLUMARK_PATH, argv.data(), envp.data());
            ::_exit(127);
        }
        int status = 0;
        QElapsedTimer timer;
        timer.start();
        while (::waitpid(child, &status, WNOHANG) == 0) {
            if (timer.elapsed() > 30000) {
                ::kill(child, SIGKILL);
                ::waitpid(child, &status, 0);
                return -1;
            }
            QThread::msleep(5);
        }
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

    ~ProgramTest() override
    {
        // Names that are not UTF-8 are beyond what QTemporaryDir removes.
        for (const std::string& path : made_)
            ::unlink(path.c_str());
    }

    QTemporaryDir home_;
    std::vector<std::string> made_;
};

std::string Describe(const std::map<QString, QString>& state)
{
    std::string text;
    for (const auto& [key, value] : state)
        text += key.toStdString() + "=" + value.toStdString() + " ";
    return text;
}

// Counts what happens in the settings folder: opening the folder or any
// file in it, creating, writing or renaming anything there.
class SettingsWatch {
public:
    explicit SettingsWatch(const QString& folder) : fd_(::inotify_init1(IN_NONBLOCK | IN_CLOEXEC))
    {
        const QByteArray path = QFile::encodeName(folder);
        EXPECT_GE(::inotify_add_watch(fd_, path.constData(), IN_OPEN | IN_CREATE | IN_MODIFY | IN_MOVED_TO), 0);
    }
    ~SettingsWatch() { ::close(fd_); }

    int Events()
    {
        alignas(struct inotify_event) char buffer[4096];
        for (ssize_t got; (got = ::read(fd_, buffer, sizeof buffer)) > 0;)
            for (char* p = buffer; p < buffer + got;
                 p += sizeof(struct inotify_event) + reinterpret_cast<struct inotify_event*>(p)->len)
                ++events_;
        return events_;
    }

    // Waits until something happened there.
    bool Touched(int timeoutMs = 20000)
    {
        QElapsedTimer timer;
        timer.start();
        while (Events() == 0 && timer.elapsed() < timeoutMs)
            QThread::msleep(5);
        return events_ > 0;
    }

private:
    int fd_;
    int events_ = 0;
};

TEST_F(ProgramTest, WithoutADisplayItSaysSoInOneLineAndFails)
{
    QProcess program;
    program.setProcessEnvironment(Environment());
    program.start(VELLUMARK_PATH, {});
    ASSERT_TRUE(program.waitForFinished(20000));
    EXPECT_EQ(program.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(program.exitCode(), 1);
    const QString error = QString::fromLocal8Bit(program.readAllStandardError());
    EXPECT_TRUE(error.contains("no display")) << error.toStdString();
    EXPECT_TRUE(error.contains("xvfb-run")) << error.toStdString();
    EXPECT_EQ(error.count('\n'), 1) << error.toStdString();
}

// An X display number that nothing serves: no socket and no lock file. From
// 99 up, the number a user is told about most often.
QString DeadDisplay()
{
    for (int number = 99;; ++number) {
        const QString n = QString::number(number);
        if (!QFile::exists("/tmp/.X11-unix/X" + n) && !QFile::exists("/tmp/.X" + n + "-lock"))
            return ":" + n;
    }
}

TEST_F(ProgramTest, ADisplayThatCannotBeOpenedIsNamedInOneLineAndFails)
{
    const QString dead = DeadDisplay();
    const std::vector<std::vector<std::pair<const char*, QString>>> cases = {
        {{"DISPLAY", dead}},
        // A Wayland session whose X server is gone: X11 first, then Wayland.
        {{"DISPLAY", dead}, {"WAYLAND_DISPLAY", "vellumark-test-none"}},
        {{"WAYLAND_DISPLAY", "vellumark-test-none"}},
        {{"QT_QPA_PLATFORM", "vellumark-test-none"}},
    };
    for (const auto& settings : cases) {
        QProcessEnvironment env = Environment();
        for (const auto& [name, value] : settings)
            env.insert(name, value);
        QProcess program;
        program.setProcessEnvironment(env);
        program.start(VELLUMARK_PATH, {});
        ASSERT_TRUE(program.waitForFinished(20000));
        const QString error = QString::fromLocal8Bit(program.readAllStandardError());
        SCOPED_TRACE(error.toStdString());
        EXPECT_EQ(program.exitStatus(), QProcess::NormalExit) << "no abort";
        EXPECT_EQ(program.exitCode(), 1);
        EXPECT_TRUE(error.startsWith("vellumark: cannot open the display (")) << settings.front().first;
        EXPECT_TRUE(error.contains(settings.front().second));
        EXPECT_EQ(error.count('\n'), 1);
    }
}

TEST_F(ProgramTest, SessionEndEndsTheProgramWithExitCodeZero)
{
    QProcess program;
    program.setProcessEnvironment(Offscreen());
    program.start(VELLUMARK_PATH, {});
    ASSERT_TRUE(program.waitForStarted(20000));
    // Let it reach its message loop before the session ends.
    QThread::msleep(1500);
    ASSERT_EQ(program.state(), QProcess::Running) << program.readAllStandardError().toStdString();
    ::kill(static_cast<pid_t>(program.processId()), SIGTERM);
    ASSERT_TRUE(program.waitForFinished(20000));
    EXPECT_EQ(program.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(program.exitCode(), 0) << program.readAllStandardError().toStdString();
}

TEST_F(ProgramTest, ASecondStartLeavesWithoutItsSettingsAndBringsTheRunningOneForward)
{
    auto running = StartObserver();
    running->write("other\nminimize\n");
    ASSERT_EQ(ReadUntil(*running, "state "), "state minimized=1");

    SettingsWatch settings(home_.filePath("config/vellumark"));
    auto second = Start(VELLUMARK_PATH, {"-platform", "offscreen"}, Offscreen());
    const QString id = QString::number(second->processId());
    ASSERT_TRUE(second->waitForFinished(20000));
    EXPECT_EQ(second->exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(second->exitCode(), 0);
    // It never came to its create handler: the settings were not even opened.
    EXPECT_EQ(settings.Events(), 0);

    QStringList seen;
    ReadUntil(*running, "destroyed " + id, &seen);
    // Qt may deliver the activation after the departure notice.
    if (!seen.contains("activated"))
        ReadUntil(*running, "activated", &seen);
    running->write("state\n");
    ReadUntil(*running, "state ", &seen);
    const auto at = [&](const QString& line) { return seen.indexOf(line); };
    ASSERT_GE(at("created " + id), 0) << seen.join(" | ").toStdString();
    EXPECT_GT(at("state minimized=0"), at("created " + id)) << seen.join(" | ").toStdString();
    EXPECT_GT(at("activated"), at("created " + id)) << seen.join(" | ").toStdString();
    EXPECT_GT(at("destroyed " + id), at("state minimized=0")) << seen.join(" | ").toStdString();
    EXPECT_EQ(seen.back(), "state minimized=0 active=1");
    // A start without a file hands nothing over, Qt's options included.
    EXPECT_FALSE(std::any_of(seen.begin(), seen.end(), [](const QString& l) { return l.startsWith("cmdline"); }));
}

TEST_F(ProgramTest, AfterTheRunningOneWasKilledOfManySimultaneousStartsExactlyOneStays)
{
    SettingsWatch settings(home_.filePath("config/vellumark"));
    auto killed = Start(VELLUMARK_PATH, {}, Offscreen());
    ASSERT_TRUE(settings.Touched()) << "the first start did not come to its settings";
    // Never kill(0): that would end the whole process group.
    ASSERT_GT(killed->processId(), 0) << "it had ended already";
    ::kill(static_cast<pid_t>(killed->processId()), SIGKILL);
    ASSERT_TRUE(killed->waitForFinished(20000));

    SettingsWatch again(home_.filePath("config/vellumark"));
    constexpr int kStarts = 4;
    std::vector<std::unique_ptr<QProcess>> starts;
    for (int i = 0; i < kStarts; ++i)
        starts.push_back(Start(VELLUMARK_PATH, {}, Offscreen()));
    const auto ended = [&] {
        return std::count_if(starts.begin(), starts.end(),
                             [](const auto& start) { return start->state() == QProcess::NotRunning; });
    };
    QElapsedTimer timer;
    timer.start();
    while (ended() < kStarts - 1 && timer.elapsed() < 30000)
        for (auto& start : starts)
            start->waitForFinished(10);
    QProcess* survivor = nullptr;
    int turnedAway = 0;
    for (auto& start : starts) {
        if (start->state() == QProcess::Running)
            survivor = start.get();
        else if (start->exitStatus() == QProcess::NormalExit && start->exitCode() == 0)
            ++turnedAway;
    }
    EXPECT_EQ(turnedAway, kStarts - 1);
    ASSERT_NE(survivor, nullptr);
    EXPECT_TRUE(again.Touched()) << "the one that stayed did not come to its settings";
    EndGently(*survivor);
}

TEST_F(ProgramTest, HelpVersionAndBadUsageAnswerBeforeAnyDisplayOrInstance)
{
    // A running instance, which a start that got as far as its instance
    // check would meet.
    auto running = StartObserver();
    for (const QProcessEnvironment& env : {Environment(), Offscreen()}) {
        const auto run = [&](const QStringList& args) {
            QProcess program;
            program.setProcessEnvironment(env);
            program.start(VELLUMARK_PATH, args);
            EXPECT_TRUE(program.waitForFinished(20000));
            return std::make_tuple(program.exitCode(), QString::fromLocal8Bit(program.readAllStandardOutput()),
                                   QString::fromLocal8Bit(program.readAllStandardError()));
        };
        const auto [helpCode, help, helpError] = run({"--help", "-platform", "offscreen", "a"});
        EXPECT_EQ(helpCode, 0);
        EXPECT_TRUE(help.startsWith("usage: vellumark [FILE]\n")) << help.toStdString();
        EXPECT_TRUE(help.contains("--version")) << help.toStdString();
        EXPECT_EQ(helpError, "");
        const auto [versionCode, version, versionError] = run({"--version"});
        EXPECT_EQ(versionCode, 0);
        EXPECT_TRUE(QRegularExpression("^vellumark \\d+\\.\\d+\\.\\d+\n$").match(version).hasMatch())
            << version.toStdString();
        for (const QStringList& bad :
             {QStringList{"--frobnicate"}, QStringList{"a", "-x"}, QStringList{"file://elsewhere/a"}}) {
            const auto [code, out, error] = run(bad);
            EXPECT_EQ(code, 2) << bad.join(' ').toStdString();
            EXPECT_EQ(out, "");
            EXPECT_TRUE(error.startsWith("vellumark: ")) << error.toStdString();
            EXPECT_TRUE(error.endsWith("; usage: vellumark [FILE]\n")) << error.toStdString();
            EXPECT_EQ(error.count('\n'), 1) << error.toStdString();
        }
    }
    // None of them came as far as the instance check.
    running->write("count\n");
    QStringList seen;
    EXPECT_EQ(ReadUntil(*running, "count ", &seen), "count 1");
    EXPECT_FALSE(seen.join('\n').contains("created ")) << seen.join(" | ").toStdString();
    running->closeWriteChannel();  // the end of its input ends it
    EXPECT_TRUE(running->waitForFinished(20000));
}

// Qt's options work beside a file, which is named from the folder the
// program was started in.
TEST_F(ProgramTest, AFirstStartWithAFileShowsItsDigests)
{
    QDir(home_.path()).mkdir("data");
    const std::string file = MakeFile("data/a file.bin", "abc");
    QProcessEnvironment env = Environment();
    auto probe = StartProbe({"-platform", "offscreen", "a file.bin"}, home_.filePath("data"), &env);
    WindowState last;
    EXPECT_TRUE(Shows(*probe, Showing(file, "abc"), last)) << Describe(last);
    EndGently(*probe);
}

// A second start with a file hands it to the running window, which shows
// its digests; whatever the name holds, it arrives as it was given.
TEST_F(ProgramTest, ASecondStartHandsItsFileToTheRunningWindow)
{
    const std::string first = MakeFile("first", "first");
    auto probe = StartProbe({QFile::decodeName(QByteArray::fromStdString(first))});
    WindowState last;
    ASSERT_TRUE(Shows(*probe, Showing(first, "first"), last)) << Describe(last);

    QDir(home_.path()).mkdir("other");
    const std::string home = QFile::encodeName(home_.path()).toStdString();
    const std::string spaced = MakeFile("other/with spaces.iso", "spaced");
    const std::string accented = MakeFile("caf\xC3\xA9 \xE2\x82\xAC", "accented");
    const std::string escaped = MakeFile("100% sure #1", "escaped");
    struct Case {
        std::vector<std::string> args;
        std::string workingDirectory;
        std::string name;
        QByteArray content;
    };
    const std::vector<Case> cases = {
        {{"with spaces.iso"}, home + "/other", spaced, "spaced"},
        {{accented}, "/", accented, "accented"},
        // As file managers pass them, with escapes of either case.
        {{"file://" + home + "/100%25%20sure%20%231"}, "/", escaped, "escaped"},
        {{"file://localhost" + home + "/caf%C3%a9%20%e2%82%AC"}, "/", accented, "accented"},
        // Of several files the first, after Qt's options.
        {{"-platform", "offscreen", "./with spaces.iso", first}, home + "/other", spaced, "spaced"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.args.front());
        EXPECT_EQ(RunProgram(c.args, c.workingDirectory), 0);
        EXPECT_TRUE(Shows(*probe, Showing(c.name, c.content), last)) << Describe(last);
    }
    EXPECT_EQ(probe->state(), QProcess::Running);
    EndGently(*probe);
}

// Why a name the name box would show as another name is refused.
const char* const kNotShown =
    "its name holds a control character or a mark that reorders text, which the name box cannot show as it is.";

// A name that the name box cannot hold as it is (Generate would drop a blank
// at its end; the box holds text, not any bytes; it would show a line feed
// as a blank) is reported, naming the file, and nothing else is digested in
// its place.
TEST_F(ProgramTest, AHandedNameTheBoxCannotHoldIsReportedByTheRunningWindow)
{
    const std::string first = MakeFile("first", "first");
    MakeFile("trailing", "not this one");
    MakeFile("nl name", "not this one");
    auto probe = StartProbe({QFile::decodeName(QByteArray::fromStdString(first))});
    WindowState last;
    ASSERT_TRUE(Shows(*probe, Showing(first, "first"), last)) << Describe(last);
    const std::string home = QFile::encodeName(home_.path()).toStdString();
    const std::string dropped =
        "its name begins or ends with a blank or a control character, which the name box drops.";
    for (const auto& [name, shown, why] :
         {std::tuple<std::string, std::string, std::string>{"trailing ", "trailing ", dropped},
          {"trailing\t", "trailing\\x09", dropped},
          {"\xFFtrailing", "\\xFFtrailing", "its name is not valid UTF-8, which the name box cannot hold."},
          {"nl\nname", "nl\\x0Aname", kNotShown}}) {
        const std::string path = MakeFile(name, "abc");
        EXPECT_EQ(RunProgram({path}), 0);
        QStringList seen;
        EXPECT_EQ(ReadUntil(*probe, "box ", &seen),
                  QString::fromStdString("box Cannot take the file \"" + home + "/" + shown + "\": " + why));
        EXPECT_FALSE(std::any_of(seen.begin(), seen.end(), [](const QString& l) { return l.startsWith("name "); }))
            << seen.join(" | ").toStdString();
        WindowState boxUp = Showing(first, "first");
        boxUp["boxes"] = "1";
        EXPECT_EQ(Describe(State(*probe)), Describe(boxUp));
        probe->write("ok\n");
        EXPECT_EQ(ReadUntil(*probe, "closed"), "closed");
    }
    EXPECT_EQ(Describe(State(*probe)), Describe(Showing(first, "first")));
    EndGently(*probe);
}

// `vellumark "$(printf 'DIR/nl\nname')"`: the name box would show the name
// as "DIR/nl name", a file that exists beside it, with the digests of the
// other. The start says why it cannot take it and names and digests nothing.
TEST_F(ProgramTest, AFirstStartWithANameTheBoxWouldShowAsAnotherSaysSo)
{
    MakeFile("nl name", "not this one");
    const std::string name = MakeFile("nl\nname", "abc");
    const std::string home = QFile::encodeName(home_.path()).toStdString();
    auto probe = StartProbe({QFile::decodeName(QByteArray::fromStdString(name))});
    QStringList seen;
    EXPECT_EQ(ReadUntil(*probe, "box ", &seen),
              QString::fromStdString("box Cannot take the file \"" + home + "/nl\\x0Aname\": " + kNotShown));
    EXPECT_FALSE(std::any_of(seen.begin(), seen.end(), [](const QString& l) { return l.startsWith("name "); }))
        << seen.join(" | ").toStdString();
    const WindowState nothing = {{"page", "0"},    {"md5", ""},    {"sha1", ""}, {"crc32", ""},
                                 {"windows", "1"}, {"boxes", "1"}, {"name", ""}};
    EXPECT_EQ(Describe(State(*probe)), Describe(nothing));
    probe->write("ok\n");
    EXPECT_EQ(ReadUntil(*probe, "closed"), "closed");
    WindowState closed = nothing;
    closed["boxes"] = "0";
    EXPECT_EQ(Describe(State(*probe)), Describe(closed));
    EndGently(*probe);
}

// A process of the same user that holds the window's connections open and
// idles (here the test, with more of them than the window reads at once)
// cannot keep a start's file out: the oldest idle connection gives way.
TEST_F(ProgramTest, IdleConnectionsHeldOpenDoNotKeepAHandedFileOut)
{
    const std::string first = MakeFile("first", "first");
    const std::string handed = MakeFile("handed", "handed");
    auto probe = StartProbe({QFile::decodeName(QByteArray::fromStdString(first))});
    WindowState last;
    ASSERT_TRUE(Shows(*probe, Showing(first, "first"), last)) << Describe(last);

    const std::string socket =
        QFile::encodeName(home_.filePath("vellumark/peers/%1.sock").arg(probe->processId())).toStdString();
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    ASSERT_LT(socket.size(), sizeof address.sun_path);
    std::memcpy(address.sun_path, socket.c_str(), socket.size() + 1);
    // The window reads 64 connections at once; these are more.
    constexpr std::size_t kHeld = 80;
    std::vector<platform::UniqueFd> held;
    QElapsedTimer timer;
    timer.start();
    while (held.size() < kHeld && timer.elapsed() < 20000) {
        platform::UniqueFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
        ASSERT_TRUE(fd);
        if (::connect(fd.Get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0)
            held.push_back(std::move(fd));
        else if (errno == EAGAIN)
            QThread::msleep(2);  // its queue is full until it accepts
        else
            FAIL() << "cannot connect: " << std::strerror(errno);
    }
    ASSERT_EQ(held.size(), kHeld);
    // Once the window has hung up on one of them, it holds all it reads.
    const auto hungUp = [&] {
        char byte = 0;
        return std::any_of(held.begin(), held.end(),
                           [&](const platform::UniqueFd& fd) { return ::recv(fd.Get(), &byte, 1, MSG_DONTWAIT) == 0; });
    };
    while (!hungUp() && timer.elapsed() < 20000)
        QThread::msleep(5);
    ASSERT_TRUE(hungUp()) << "the window never had its fill";

    EXPECT_EQ(RunProgram({handed}), 0);
    EXPECT_TRUE(Shows(*probe, Showing(handed, "handed"), last)) << Describe(last);
    EndGently(*probe);
}

// A running instance that answers that it did not take the file: the start
// says so on standard error and, since that is no terminal here, in the
// program's error box, and ends with exit code 1.
TEST_F(ProgramTest, AStartWhoseFileIsNotTakenSaysSoAndFails)
{
    auto running = StartObserver({"take=0"});
    const std::string file = MakeFile("file", "abc");
    QProcess start;
    start.setProcessEnvironment(Offscreen());
    start.start(PROBE_PATH, {QFile::decodeName(QByteArray::fromStdString(file))});
    ASSERT_TRUE(start.waitForStarted(20000));
    EXPECT_EQ(ReadUntil(start, "box "), "box The running Vellumark did not take the file.");
    start.write("ok\n");
    ASSERT_TRUE(start.waitForFinished(20000));
    EXPECT_EQ(start.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(start.exitCode(), 1);
    const QString error = QString::fromLocal8Bit(start.readAllStandardError());
    EXPECT_EQ(error.count("vellumark: The running Vellumark did not take the file.\n"), 1) << error.toStdString();
    // It did reach the running one, which did not take it.
    EXPECT_TRUE(ReadUntil(*running, "cmdline ").startsWith("cmdline 2 [file://")) << "nothing reached it";
    running->closeWriteChannel();  // the end of its input ends it
    EXPECT_TRUE(running->waitForFinished(20000));
}

// A running instance that takes the connection and never answers (stopped
// here): within bounded waits the start says so on the terminal its
// standard error is (and shows no box there, which would keep it), and ends
// with exit code 1.
TEST_F(ProgramTest, AStartWhoseRunningInstanceNeverAnswersSaysSoOnItsTerminal)
{
    auto running = StartObserver();
    const auto pid = static_cast<pid_t>(running->processId());
    ASSERT_GT(pid, 0);
    const std::string file = MakeFile("file", "abc");
    const platform::UniqueFd terminal(::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC));
    ASSERT_TRUE(terminal);
    ASSERT_EQ(::grantpt(terminal.Get()), 0);
    ASSERT_EQ(::unlockpt(terminal.Get()), 0);
    const platform::UniqueFd side(::open(::ptsname(terminal.Get()), O_RDWR | O_NOCTTY | O_CLOEXEC));
    ASSERT_TRUE(side);

    ::kill(pid, SIGSTOP);
    QElapsedTimer timer;
    timer.start();
    const int code = RunProgram({file}, "/", side.Get());
    const qint64 took = timer.elapsed();
    ::kill(pid, SIGCONT);
    EXPECT_EQ(code, 1) << "-1: it did not end within 30 s";
    // What it wrote waits in the terminal until read.
    std::string said;
    pollfd waiting{terminal.Get(), POLLIN, 0};
    char buffer[4096];
    ssize_t got = 0;
    while (::poll(&waiting, 1, 0) > 0 && (got = ::read(terminal.Get(), buffer, sizeof buffer)) > 0)
        said.append(buffer, static_cast<std::size_t>(got));
    EXPECT_NE(said.find("vellumark: The running Vellumark did not take the file."), std::string::npos) << said;
    std::printf("the start ended after %.1f s\n", static_cast<double>(took) / 1000);
    running->closeWriteChannel();
    EXPECT_TRUE(running->waitForFinished(20000));
}

TEST_F(ProgramTest, ASecondStartWithoutAFileChangesNothingInTheRunningWindow)
{
    const std::string first = MakeFile("first", "first");
    auto probe = StartProbe({QFile::decodeName(QByteArray::fromStdString(first))});
    WindowState last;
    ASSERT_TRUE(Shows(*probe, Showing(first, "first"), last)) << Describe(last);
    EXPECT_EQ(RunProgram({}), 0);
    EXPECT_EQ(RunProgram({"-platform", "offscreen", "--"}), 0);
    QStringList seen;
    EXPECT_EQ(Describe(State(*probe, &seen)), Describe(Showing(first, "first")));
    EXPECT_TRUE(seen.isEmpty()) << seen.join(" | ").toStdString();
    EndGently(*probe);
}

TEST_F(ProgramTest, OfFiveSimultaneousStartsWithAFileEachOneWindowShowsTheDigestsOfOneOfThem)
{
    constexpr int kStarts = 5;
    std::vector<std::string> files;
    std::vector<std::unique_ptr<QProcess>> starts;
    for (int i = 0; i < kStarts; ++i)
        files.push_back(MakeFile("file" + std::to_string(i), QByteArray::number(i)));
    for (int i = 0; i < kStarts; ++i)
        starts.push_back(StartProbe({QFile::decodeName(QByteArray::fromStdString(files[i]))}, {}, nullptr, false));
    const auto ended = [&] {
        return std::count_if(starts.begin(), starts.end(),
                             [](const auto& start) { return start->state() == QProcess::NotRunning; });
    };
    QElapsedTimer timer;
    timer.start();
    while (ended() < kStarts - 1 && timer.elapsed() < 60000)
        for (auto& start : starts)
            start->waitForFinished(10);
    QProcess* survivor = nullptr;
    for (auto& start : starts) {
        if (start->state() == QProcess::Running) {
            EXPECT_EQ(survivor, nullptr) << "more than one window";
            survivor = start.get();
        } else {
            EXPECT_EQ(start->exitStatus(), QProcess::NormalExit);
            EXPECT_EQ(start->exitCode(), 0);
        }
    }
    ASSERT_NE(survivor, nullptr);
    ASSERT_TRUE(ReadUntil(*survivor, "ready ").startsWith("ready "));
    // Every start has handed over its file by now; the window settles on one.
    WindowState state;
    QStringList seen;
    std::size_t shown = files.size();
    timer.restart();
    do {
        QThread::msleep(100);
        state = State(*survivor, &seen);
        for (std::size_t i = 0; i < files.size(); ++i)
            if (state == Showing(files[i], QByteArray::number(static_cast<int>(i))))
                shown = i;
    } while (shown == files.size() && timer.elapsed() < 20000);
    EXPECT_LT(shown, files.size()) << Describe(state);
    EXPECT_FALSE(seen.join('\n').contains("box ")) << seen.join(" | ").toStdString();
    EndGently(*survivor);
}

// Another process of the same user may send the window any block: one that
// is not a whole list of file URIs (cut short, too long, something else)
// changes nothing and shows nothing. The same sender's proper list is taken.
TEST_F(ProgramTest, AHostileBlockOfTheSameUserChangesNothing)
{
    const std::string first = MakeFile("first", "first");
    const std::string handed = MakeFile("handed", "handed");
    auto probe = StartProbe({QFile::decodeName(QByteArray::fromStdString(first))});
    WindowState last;
    ASSERT_TRUE(Shows(*probe, Showing(first, "first"), last)) << Describe(last);
    auto sender = StartObserver({"max=0"});

    const QByteArray uri = "file://" + QByteArray::fromStdString(handed);
    const std::vector<QByteArray> blocks = {
        uri,                                             // cut before its end
        uri + "\r\n",                                    // cut before the list's end
        uri + "\r\n" + uri.left(12),                     // cut within its second name
        "file:///tmp/%4\r\n\r\n",                        // cut within an escape
        "hello\r\n\r\n",                                 // no URI
        QByteArray::fromStdString(handed) + "\r\n\r\n",  // a name, not a URI
        "file://elsewhere" + QByteArray::fromStdString(handed) + "\r\n\r\n",
        uri + "\r\n" + QByteArray(1, '\0') + "\r\n",  // a zero byte ends it early
        "\r\n",                                       // a start without a file
    };
    for (const QByteArray& block : blocks) {
        sender->write("cmdblock " + block.toHex() + "\n");
        EXPECT_EQ(ReadUntil(*sender, "sent "), "sent 1");
    }
    sender->write("cmdblock\n");  // an empty block
    EXPECT_EQ(ReadUntil(*sender, "sent "), "sent 1");
    sender->write("longcmdblock 1048576\n");  // a name longer than any path
    EXPECT_EQ(ReadUntil(*sender, "sent "), "sent 1");
    QStringList seen;
    EXPECT_EQ(Describe(State(*probe, &seen)), Describe(Showing(first, "first")));
    EXPECT_TRUE(seen.isEmpty()) << seen.join(" | ").toStdString();

    sender->write("cmdblock " + (uri + "\r\n\r\n").toHex() + "\n");
    EXPECT_EQ(ReadUntil(*sender, "sent "), "sent 1");
    EXPECT_TRUE(Shows(*probe, Showing(handed, "handed"), last)) << Describe(last);
    EndGently(*probe);
    sender->closeWriteChannel();  // the end of its input ends it
    EXPECT_TRUE(sender->waitForFinished(20000));
}

// Only the user's own processes are listened to. Here another user reaches
// the window's socket, opened up by mistake, with a proper list: it is
// dropped unread, while the very same bytes from the user are taken.
TEST_F(ProgramTest, OnlyTheSameUserCanHandAFileOver)
{
    if (::getuid() != 0)
        GTEST_SKIP() << "needs root to run a process as another user";
    const std::string first = MakeFile("first", "first");
    const std::string handed = MakeFile("handed", "handed");
    ASSERT_EQ(::chmod(handed.c_str(), 0644), 0);
    auto probe = StartProbe({QFile::decodeName(QByteArray::fromStdString(first))});
    WindowState last;
    ASSERT_TRUE(Shows(*probe, Showing(first, "first"), last)) << Describe(last);

    const auto pid = static_cast<std::int32_t>(probe->processId());
    const platform::UniqueFd peers(
        ::open(QFile::encodeName(home_.filePath("vellumark/peers")).constData(), O_DIRECTORY | O_CLOEXEC));
    ASSERT_TRUE(peers);
    const auto windows = platform::ReadPeerRecord(peers.Get(), pid);
    ASSERT_TRUE(windows);
    platform::WindowHandle component = 0;
    for (const platform::WindowInfo& window : *windows)
        if (window.className == TInstanceLimit::kWindowClass)
            component = window.handle;
    ASSERT_NE(component, 0u);
    platform::wire::Frame frame;
    frame.kind = platform::wire::FrameKind::Send;
    frame.window = component;
    frame.message = platform::kWmCopyData;
    frame.hasData = true;
    frame.dataKind = 1;
    const std::string block = "file://" + handed + "\r\n\r\n";
    frame.data.assign(block.begin(), block.end());
    const std::vector<std::uint8_t> bytes = platform::wire::Encode(frame);

    const std::string socket = QFile::encodeName(home_.filePath("vellumark/peers/%1.sock").arg(pid)).toStdString();
    ASSERT_EQ(::chmod(socket.c_str(), 0666), 0);
    const platform::UniqueFd path(::open(socket.c_str(), O_PATH | O_CLOEXEC));
    ASSERT_TRUE(path);
    // Sends the frame through the socket as `uid`: 1 when an answer came.
    const auto sendAs = [&](uid_t uid) {
        const pid_t child = ::fork();
        if (child == 0) {
            if (uid != ::getuid() && (::setgroups(0, nullptr) != 0 || ::setgid(uid) != 0 || ::setuid(uid) != 0))
                ::_exit(10);
            const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
            sockaddr_un address{};
            address.sun_family = AF_UNIX;
            std::snprintf(address.sun_path, sizeof address.sun_path, "/proc/self/fd/%d", path.Get());
            if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0)
                ::_exit(11);
            // A peer that refuses us may hang up before the frame is all
            // sent: that is no answer either.
            if (::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(bytes.size()))
                ::_exit(0);
            char reply[64];
            ::_exit(::recv(fd, reply, sizeof reply, 0) > 0 ? 1 : 0);
        }
        int status = 0;
        ::waitpid(child, &status, 0);
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    };
    constexpr uid_t kNobody = 65534;
    EXPECT_EQ(sendAs(kNobody), 0) << "the other user got an answer";
    QStringList seen;
    EXPECT_EQ(Describe(State(*probe, &seen)), Describe(Showing(first, "first")));
    EXPECT_TRUE(seen.isEmpty()) << seen.join(" | ").toStdString();

    EXPECT_EQ(sendAs(::getuid()), 1);
    EXPECT_TRUE(Shows(*probe, Showing(handed, "handed"), last)) << Describe(last);
    EndGently(*probe);
}

// Under a real X server and window manager: the second start raises and
// activates the minimised window of the first, and never maps one itself.
class DisplayTest : public ProgramTest {
protected:
    void SetUp() override
    {
        for (const char* tool : {"Xvfb", "openbox", "xdotool", "xprop"})
            if (QStandardPaths::findExecutable(tool).isEmpty())
                GTEST_SKIP() << tool << " is not installed";
        // A display number of its own: others (in other sandboxes too) tend
        // to take the low ones. One that is taken makes Xvfb end at once.
        std::random_device random;
        QString number;
        for (int attempt = 0; attempt < 5 && number.isEmpty(); ++attempt) {
            const QString candidate = QString::number(1000 + random() % 30000);
            xvfb_ =
                Start("Xvfb", {":" + candidate, "-displayfd", "1", "-screen", "0", "1280x1024x24", "-nolisten", "tcp"},
                      Environment());
            number = ReadLine(*xvfb_);
        }
        ASSERT_FALSE(number.isEmpty()) << "Xvfb did not start";
        env_ = Environment();
        env_.insert("DISPLAY", ":" + number);
        // Now and then the window manager never takes the display (it keeps
        // running, but does not announce itself); a new one then does.
        for (int attempt = 0; attempt < 3; ++attempt) {
            if (wm_ != nullptr)
                End(*wm_);
            wm_ = Start("openbox", {}, env_);
            if (Eventually(
                    [&] {
                        return Tool("xprop", {"-root", "_NET_SUPPORTING_WM_CHECK"}).contains("window id");
                    },
                    5000))
                return;
        }
        GTEST_SKIP() << "the window manager did not start on :" << number.toStdString();
    }

    void TearDown() override
    {
        // Ended gently, the X server removes its lock and socket.
        for (auto* process : {wm_.get(), xvfb_.get()})
            if (process != nullptr)
                End(*process);
    }

    static void End(QProcess& process)
    {
        process.terminate();
        if (!process.waitForFinished(5000)) {
            process.kill();
            process.waitForFinished(5000);
        }
    }

    QString Tool(const QString& tool, const QStringList& args)
    {
        QProcess process;
        process.setProcessEnvironment(env_);
        process.start(tool, args);
        if (!process.waitForFinished(20000)) {
            ADD_FAILURE() << tool.toStdString() << " did not finish";
            process.kill();
            process.waitForFinished(5000);
        }
        return QString::fromUtf8(process.readAllStandardOutput()).trimmed();
    }

    // The shown Vellumark window of a process, found within 20 s; empty if
    // none shows. Asked again and again rather than with xdotool's --sync,
    // which was seen to find nothing for 20 s on a loaded machine.
    QString WindowOf(const QProcess& process)
    {
        QString window;
        Eventually(
            [&] {
                window = Tool("xdotool", {"search", "--onlyvisible", "--pid", QString::number(process.processId()),
                                          "--name", "^Vellumark$"})
                             .section('\n', 0, 0);
                return !window.isEmpty();
            },
            20000);
        return window;
    }

    // The probe's shown window, as it tells it; empty if it shows none.
    static QString ProbeWindow(QProcess& probe)
    {
        probe.write("window\n");
        const QString window = ReadUntil(probe, "window ").section(' ', 1);
        return window == "0" ? QString() : window;
    }

    template <class Condition>
    static bool Eventually(Condition condition, int milliseconds = 10000)
    {
        for (int waited = 0; waited < milliseconds; waited += 25, QThread::msleep(25))
            if (condition())
                return true;
        return false;
    }

    QProcessEnvironment env_;
    std::unique_ptr<QProcess> xvfb_;
    std::unique_ptr<QProcess> wm_;
};

TEST_F(DisplayTest, TheSecondStartRaisesTheMinimisedFirstWindowAndShowsNoneOfItsOwn)
{
    auto first = Start(VELLUMARK_PATH, {}, env_);
    const QString pid = QString::number(first->processId());
    const QString window = WindowOf(*first);
    ASSERT_FALSE(window.isEmpty()) << "the first window did not show";
    const auto state = [&] { return Tool("xprop", {"-id", window, "WM_STATE"}); };
    const auto active = [&] { return Tool("xprop", {"-root", "_NET_ACTIVE_WINDOW"}); };
    const QString hex = QString::number(window.toULongLong(), 16);
    Tool("xdotool", {"windowminimize", window});
    ASSERT_TRUE(Eventually([&] { return state().contains("Iconic"); })) << state().toStdString();

    // Every change of the window manager's client list, as it happens.
    auto spy = Start("xprop", {"-root", "-spy", "_NET_CLIENT_LIST"}, env_);
    auto second = Start(VELLUMARK_PATH, {}, env_);
    ASSERT_TRUE(second->waitForFinished(20000));
    EXPECT_EQ(second->exitCode(), 0);

    EXPECT_TRUE(Eventually([&] { return state().contains("Normal"); })) << state().toStdString();
    EXPECT_TRUE(Eventually([&] { return active().endsWith("0x" + hex); })) << active().toStdString();
    spy->kill();
    spy->waitForFinished(5000);
    const QStringList lists = QString::fromUtf8(spy->readAllStandardOutput()).split('\n', Qt::SkipEmptyParts);
    EXPECT_FALSE(lists.isEmpty());
    for (const QString& list : lists)
        EXPECT_TRUE(list.endsWith("# 0x" + hex)) << "another window was managed: " << list.toStdString();
    EndGently(*first);
}

// The desktop entry, installed as a package installs it and started by the
// desktop's launcher with a file: the window shows that file's digests, read
// from it as a user would read them, by copying them.
TEST_F(DisplayTest, TheInstalledDesktopEntryOpensTheWindowWithTheFilesDigests)
{
    for (const char* tool : {"gtk-launch", "xclip"})
        if (QStandardPaths::findExecutable(tool).isEmpty())
            GTEST_SKIP() << tool << " is not installed";
    const QString prefix = home_.filePath("prefix");
    QProcess install;
    install.start(CMAKE_COMMAND_PATH, {"--install", BUILD_DIR, "--prefix", prefix});
    ASSERT_TRUE(install.waitForFinished(60000));
    ASSERT_EQ(install.exitCode(), 0) << install.readAllStandardError().toStdString();
    env_.insert("XDG_DATA_DIRS", prefix + "/share");
    env_.insert("XDG_DATA_HOME", home_.filePath("data-home"));
    env_.insert("PATH", prefix + "/bin:" + env_.value("PATH"));

    const std::string file = MakeFile("disk image.iso", "abc");
    Tool("gtk-launch", {"com.halvercraft.Vellumark", QString::fromStdString(file)});
    const QString window =
        Tool("xdotool", {"search", "--sync", "--onlyvisible", "--name", "^Vellumark$"}).section('\n', 0, 0);
    ASSERT_FALSE(window.isEmpty()) << "no window showed";
    const int pid = Tool("xdotool", {"getwindowpid", window}).toInt();
    ASSERT_GT(pid, 0);
    const QString proc = "/proc/" + QString::number(pid);
    ASSERT_EQ(QFileInfo(proc + "/exe").symLinkTarget(), QFileInfo(prefix + "/bin/vellumark").canonicalFilePath());

    // The focus starts in the name box; from there Tab walks Browse, HMAC and
    // the MD5 tick to the MD5 result, and Shift+Tab walks back.
    const auto copyResult = [&](int tabs) {
        QStringList keys{"key", "--delay", "30"};
        for (int i = 0; i < tabs; ++i)
            keys << "Tab";
        keys << "ctrl+a"
             << "ctrl+c";
        for (int i = 0; i < tabs; ++i)
            keys << "shift+Tab";
        Tool("xdotool", {"windowactivate", "--sync", window});
        Tool("xdotool", keys);
        return Tool("xclip", {"-o", "-selection", "clipboard"});
    };
    const WindowState expected = Showing(file, "abc");
    QString md5;
    EXPECT_TRUE(Eventually([&] { return (md5 = copyResult(4)) == expected.at("md5"); })) << md5.toStdString();
    EXPECT_EQ(copyResult(6), expected.at("sha1"));

    ::kill(pid, SIGTERM);
    EXPECT_TRUE(Eventually([&] { return !QFileInfo::exists(proc); }));
}

// On a real display: a digest that another program put on the clipboard
// marks the result box it matches, and one that differs marks it as not
// matching; a result the user copies from its box is the window's own and
// compares with nothing, not even itself.
TEST_F(DisplayTest, ADigestOnTheClipboardMarksTheResultsButACopiedResultDoesNot)
{
    if (QStandardPaths::findExecutable("xclip").isEmpty())
        GTEST_SKIP() << "xclip is not installed";
    const std::string file = MakeFile("abc.bin", "abc");
    auto probe = StartProbe({QFile::decodeName(QByteArray::fromStdString(file))}, {}, &env_);
    WindowState last;
    ASSERT_TRUE(Shows(*probe, Showing(file, "abc"), last)) << Describe(last);
    const auto marks = [&] {
        probe->write("marks\n");
        return QUrl::fromPercentEncoding(ReadUntil(*probe, "marks ").toUtf8());
    };
    // Another program owns the clipboard for as long as it runs (xclip
    // -quiet stays in the foreground, where the test can end it).
    std::unique_ptr<QProcess> owner;
    const auto put = [&](const QByteArray& text) {
        if (owner != nullptr)
            End(*owner);
        owner = Start("xclip", {"-quiet", "-selection", "clipboard"}, env_);
        owner->write(text);
        owner->waitForBytesWritten(5000);  // no event loop here to write it later
        owner->closeWriteChannel();
    };
    const QString matches =
        "md5=Matches the digest on the clipboard sha1= crc32= "
        "status=MD5 matches the digest on the clipboard";
    put("900150983cd24fb0d6963f7d28e17f72  abc.bin\n");
    QString seen;
    EXPECT_TRUE(Eventually([&] { return (seen = marks()) == "marks " + matches; })) << seen.toStdString();

    put("SHA1 (abc.bin) = 0000000000000000000000000000000000000000\n");
    EXPECT_TRUE(Eventually([&] {
        return (seen = marks()) ==
               "marks md5= sha1=Does not match the digest on the clipboard crc32= "
               "status=SHA-1 does not match the digest on the clipboard";
    })) << seen.toStdString();

    // The MD5 result copied from its box (Tab walks Browse, HMAC and the MD5
    // tick to it): the clipboard is the window's own now.
    const QString window = ProbeWindow(*probe);
    ASSERT_FALSE(window.isEmpty());
    Tool("xdotool", {"windowactivate", "--sync", window});
    Tool("xdotool", {"key", "--delay", "30", "Tab", "Tab", "Tab", "Tab", "ctrl+a", "ctrl+c"});
    EXPECT_TRUE(Eventually([&] { return Tool("xclip", {"-o", "-selection", "clipboard"}) == last["md5"]; }));
    EXPECT_TRUE(Eventually([&] { return (seen = marks()) == "marks md5= sha1= crc32= status="; }))
        << seen.toStdString();
    if (owner != nullptr)
        End(*owner);
    EndGently(*probe);
}

// The window on a real display, with the commands that drive its clipboard:
// xclip owns the clipboard with a text for as long as it runs, and a helper
// owns it without ever answering.
class ClipboardTest : public DisplayTest {
protected:
    void SetUp() override
    {
        DisplayTest::SetUp();
        if (IsSkipped())
            return;
        if (QStandardPaths::findExecutable("xclip").isEmpty())
            GTEST_SKIP() << "xclip is not installed";
        file_ = MakeFile("abc.bin", "abc");
        Look(env_);
        probe_ = StartProbe({QFile::decodeName(QByteArray::fromStdString(file_))}, {}, &env_);
        WindowState last;
        ASSERT_TRUE(Shows(*probe_, Showing(file_, "abc"), last)) << Describe(last);
        md5_ = last["md5"];
    }

    void TearDown() override
    {
        for (auto* process : {owner_.get(), silent_.get()})
            if (process != nullptr && process->state() == QProcess::Running)
                End(*process);
        if (probe_ != nullptr)
            EndGently(*probe_);
        DisplayTest::TearDown();
    }

    // How the window is to look: its scale and palette.
    virtual void Look(QProcessEnvironment&) {}

    // The result boxes' marks and the status line, as the window tells them.
    QString Marks()
    {
        probe_->write("marks\n");
        return QUrl::fromPercentEncoding(ReadUntil(*probe_, "marks ").toUtf8());
    }

    bool MarksBecome(const QString& expected, QString& seen)
    {
        return Eventually([&] { return (seen = Marks()) == expected; });
    }

    // Another program takes the clipboard with this text (xclip -quiet stays
    // in the foreground, where the test can end it).
    void Put(const QByteArray& text)
    {
        if (owner_ != nullptr)
            End(*owner_);
        owner_ = Start("xclip", {"-quiet", "-selection", "clipboard"}, env_);
        for (qint64 written = 0; written < text.size();) {
            const qint64 wrote = owner_->write(text.constData() + written, text.size() - written);
            ASSERT_GT(wrote, 0);
            written += wrote;
            owner_->waitForBytesWritten(5000);  // no event loop here to write it later
        }
        while (owner_->bytesToWrite() > 0 && owner_->waitForBytesWritten(5000)) {
        }
        owner_->closeWriteChannel();
    }

    // A helper takes the clipboard and never answers for it.
    void TakeSilently()
    {
        silent_ = Start(SILENT_OWNER_PATH, {}, env_);
        ASSERT_EQ(ReadLine(*silent_), "owning");
    }

    // Presses Generate; the milliseconds until its results were shown and
    // compared.
    qint64 Generate()
    {
        probe_->write("generate\n");
        bool ok = false;
        const qint64 ms = ReadUntil(*probe_, "generated ").section(' ', 1).toLongLong(&ok);
        EXPECT_TRUE(ok);
        return ms;
    }

    // The longest the window's loop stalled since this was last asked.
    qint64 Gap()
    {
        probe_->write("gap\n");
        return ReadUntil(*probe_, "gap ").section(' ', 1).toLongLong();
    }

    static qint64 Median(std::vector<qint64> values)
    {
        std::sort(values.begin(), values.end());
        return values[values.size() / 2];
    }

    std::string file_;
    QString md5_;
    std::unique_ptr<QProcess> probe_;
    std::unique_ptr<QProcess> owner_;
    std::unique_ptr<QProcess> silent_;
    const QString matches_ =
        "marks md5=Matches the digest on the clipboard sha1= crc32= "
        "status=MD5 matches the digest on the clipboard";
    const QString unmarked_ = "marks md5= sha1= crc32= status=";
};

// An owner that never answers stalls neither Generate nor the window: the
// window asks, goes on, gives the question up within a fraction of a second
// and asks once more a second later; Generate compares with what the
// clipboard held when last read and never waits. A digest copied after
// Generate, as a download page is read, marks its box as usual.
TEST_F(ClipboardTest, AnOwnerThatNeverAnswersStallsNeitherGenerateNorTheWindow)
{
    QString seen;
    Put(md5_.toLower().toUtf8() + "  abc.bin\n");
    ASSERT_TRUE(MarksBecome(matches_, seen)) << seen.toStdString();
    std::vector<qint64> answered;
    for (int round = 0; round < 5; ++round)
        answered.push_back(Generate());
    EXPECT_EQ(Marks().toStdString(), matches_.toStdString());

    Gap();
    QElapsedTimer taken;
    TakeSilently();
    taken.start();
    const QString request = ReadLine(*silent_);
    EXPECT_EQ(request.section(' ', 0, 0), "request") << "the window did not ask the new owner";
    ASSERT_TRUE(MarksBecome(unmarked_, seen)) << seen.toStdString();
    const qint64 givenUp = taken.elapsed();
    EXPECT_LT(givenUp, 1000) << "the question to the silent owner was not given up";
    EXPECT_GE(givenUp, 150) << "the silent owner was not waited for";
    // Measured from the question's arrival to the line's change, with the
    // window's loop otherwise idle: a fifth of a second.
    probe_->write("statuschanged\n");
    const qint64 changedAt = ReadUntil(*probe_, "statuschanged ").section(' ', 1).toLongLong();
    const qint64 patience = (changedAt - request.section(' ', 1).toLongLong()) / 1000;
    EXPECT_GE(patience, 190) << "given up too soon";
    EXPECT_LE(patience, 300) << "given up too late";
    // A slow owner gets a second question, a second later, and no third.
    EXPECT_EQ(ReadLine(*silent_, 3000).section(' ', 0, 0), "request") << "the silent owner was not asked a second time";
    EXPECT_GE(taken.elapsed(), givenUp + 900);
    EXPECT_EQ(ReadLine(*silent_, 2500), "") << "the silent owner was asked a third time";

    // Coming back to the window asks again, and does not wait either.
    const QString window = ProbeWindow(*probe_);
    ASSERT_FALSE(window.isEmpty());
    Tool("xdotool", {"windowactivate", "--sync", window});
    std::vector<qint64> silent;
    for (int round = 0; round < 5; ++round)
        silent.push_back(Generate());
    const qint64 longestStall = Gap();
    std::printf(
        "[ figures  ] Generate with an owner that answers: median %lld ms, with one that never answers: "
        "median %lld ms, worst %lld ms; question given up after %lld ms (%lld ms after it reached the owner); "
        "longest stall of the loop %lld ms\n",
        static_cast<long long>(Median(answered)), static_cast<long long>(Median(silent)),
        static_cast<long long>(*std::max_element(silent.begin(), silent.end())), static_cast<long long>(givenUp),
        static_cast<long long>(patience), static_cast<long long>(longestStall));
    for (const qint64 ms : silent)
        EXPECT_LT(ms, Median(answered) + 300);
    EXPECT_LT(longestStall, 500);

    // Copied after Generate, from an owner that answers.
    Put("MD5 (abc.bin) = " + md5_.toUtf8() + "\n");
    EXPECT_TRUE(MarksBecome(matches_, seen)) << seen.toStdString();

    // Copied while the question to a silent owner is in flight: the newer
    // answer counts, and giving the older question up changes nothing.
    TakeSilently();
    EXPECT_EQ(ReadLine(*silent_).section(' ', 0, 0), "request");
    Put("SHA1 (abc.bin) = " + QByteArray(40, '0') + "\n");
    const QString differs =
        "marks md5= sha1=Does not match the digest on the clipboard crc32= "
        "status=SHA-1 does not match the digest on the clipboard";
    EXPECT_TRUE(MarksBecome(differs, seen)) << seen.toStdString();
    QThread::msleep(2 * 200);
    EXPECT_EQ(Marks().toStdString(), differs.toStdString());
}

// A clipboard of 50 MB is read no further than its first 64 KiB (and a
// byte, to tell a run of digits that the limit cuts), and its owner is not
// left waiting on the window for the rest: another program still gets the
// whole text afterwards. Generate does not read it at all.
TEST_F(ClipboardTest, ALargeClipboardIsReadNoFurtherThanItsFirst64KiB)
{
    QString seen;
    std::vector<qint64> small;
    Put(md5_.toLower().toUtf8() + "  abc.bin\n");
    ASSERT_TRUE(MarksBecome(matches_, seen)) << seen.toStdString();
    for (int round = 0; round < 5; ++round)
        small.push_back(Generate());

    // The digest past the first 64 KiB: not seen.
    const QByteArray line = "MD5 (abc.bin) = " + md5_.toUtf8() + "\n";
    Put(QByteArray(64 * 1024, 'x') + "\n" + line);
    ASSERT_TRUE(MarksBecome(unmarked_, seen)) << seen.toStdString();
    QThread::msleep(500);
    EXPECT_EQ(Marks().toStdString(), unmarked_.toStdString());

    // The file's MD5 where the limit cuts a longer run of digits: whether
    // the run goes on is read (64 KiB and one byte), and a cut run is no
    // digest; the same MD5 that ends within the limit is one.
    Put(QByteArray(64 * 1024 - 32, 'x') + md5_.toUtf8() + "0123abcd\n");
    ASSERT_TRUE(MarksBecome(unmarked_, seen)) << seen.toStdString();
    QThread::msleep(500);
    EXPECT_EQ(Marks().toStdString(), unmarked_.toStdString()) << "a run cut by the limit was taken for a digest";
    Put(QByteArray(64 * 1024 - 33, 'x') + md5_.toUtf8() + " 0123abcd\n");
    EXPECT_TRUE(MarksBecome(matches_, seen)) << seen.toStdString();

    // At the start of 50 MB, which comes in pieces.
    const QByteArray large = line + QByteArray(50 * 1000 * 1000, 'x');
    Put(large);
    ASSERT_TRUE(MarksBecome(matches_, seen)) << seen.toStdString();
    std::vector<qint64> big;
    for (int round = 0; round < 5; ++round)
        big.push_back(Generate());
    std::printf("[ figures  ] Generate with a clipboard of 50 bytes: median %lld ms; of 50 MB: median %lld ms\n",
                static_cast<long long>(Median(small)), static_cast<long long>(Median(big)));
    for (const qint64 ms : big)
        EXPECT_LT(ms, Median(small) + 300);

    // xclip serves one reader at a time and drops the questions of others
    // meanwhile: one that comes while the window takes the rest off unread
    // is lost, and asked again.
    const auto readWhole = [&] {
        QProcess reader;
        reader.setProcessEnvironment(env_);
        reader.start("xclip", {"-o", "-selection", "clipboard"});
        qint64 got = 0;
        while (reader.waitForReadyRead(3000))
            got += reader.readAll().size();
        got += reader.readAll().size();
        if (!reader.waitForFinished(0)) {
            reader.kill();
            reader.waitForFinished(5000);
        }
        return got;
    };
    qint64 got = 0;
    for (int attempt = 0; attempt < 3 && got != large.size(); ++attempt)
        got = readWhole();
    EXPECT_EQ(got, large.size()) << "the owner was left waiting for the window";
}

// The digests download pages publish beside MD5 and SHA-1, on a real
// clipboard: a SHA256SUMS list copied after the window's Generate (here, the
// one of its start) or before the next; a file changed since, against a tag
// line that names SHA-256 and against a bare digest that could be another
// algorithm's; a SHA-512, computed when it is on the clipboard as Generate
// starts; a keyed SHA-256 as openssl gives it for the same key.
TEST_F(ClipboardTest, PublishedSha256AndSha512DigestsAreComparedCopiedBeforeOrAfterGenerate)
{
    const auto hex = [](const QByteArray& bytes, QCryptographicHash::Algorithm algorithm) {
        return QCryptographicHash::hash(bytes, algorithm).toHex();
    };
    const auto status = [](const QString& line) { return "marks md5= sha1= crc32= status=" + line; };
    const QByteArray abc256 = hex("abc", QCryptographicHash::Sha256);
    const QByteArray other256 = hex("other", QCryptographicHash::Sha256);
    const QByteArray name = QFileInfo(QString::fromStdString(file_)).fileName().toUtf8();
    const QByteArray sums = other256 + "  other.iso\n" + abc256 + "  " + name + "\n";
    const QString matches = status("SHA-256 matches the digest on the clipboard");
    QString seen;

    // After Generate, then before the next.
    Put(sums);
    EXPECT_TRUE(MarksBecome(matches, seen)) << seen.toStdString();
    Generate();
    EXPECT_EQ(Marks().toStdString(), matches.toStdString());

    // The file changes; the tag line copied before names SHA-256 (read by
    // the time the line changes from none to its verdict).
    Put("no digest");
    ASSERT_TRUE(MarksBecome(unmarked_, seen)) << seen.toStdString();
    Put("SHA256 (" + name + ") = " + abc256 + "\n");
    ASSERT_TRUE(MarksBecome(matches, seen)) << seen.toStdString();
    MakeFile(QFileInfo(QString::fromStdString(file_)).fileName().toStdString(), "abd");
    Generate();
    EXPECT_EQ(Marks().toStdString(), status("SHA-256 does not match the digest on the clipboard").toStdString());
    // A digest that names no algorithm may be BLAKE3's, which that Generate
    // did not compute (the clipboard named SHA-256): the next one does.
    Put(abc256 + "\n");
    EXPECT_TRUE(MarksBecome(status("Press Generate again to compare"), seen)) << seen.toStdString();
    Generate();
    EXPECT_EQ(Marks().toStdString(), status("Not this file's SHA-256 or BLAKE3; copy the whole line").toStdString());
    Put(sums);
    EXPECT_TRUE(MarksBecome(status("None on the clipboard is this file's SHA-256 or BLAKE3"), seen))
        << seen.toStdString();
    MakeFile(QFileInfo(QString::fromStdString(file_)).fileName().toStdString(), "abc");
    Generate();
    EXPECT_EQ(Marks().toStdString(), matches.toStdString());

    // A SHA-512 copied after Generate was not computed; the next Generate
    // computes it.
    Put("SHA512 (" + name + ") = " + hex("abc", QCryptographicHash::Sha512) + "\n");
    EXPECT_TRUE(MarksBecome(status("Press Generate again to compare"), seen)) << seen.toStdString();
    Generate();
    EXPECT_EQ(Marks().toStdString(), status("SHA-512 matches the digest on the clipboard").toStdString());
    Put("SHA512 (" + name + ") = " + hex("abd", QCryptographicHash::Sha512) + "\n");
    EXPECT_TRUE(MarksBecome(status("SHA-512 does not match the digest on the clipboard"), seen)) << seen.toStdString();

    // Keyed: what openssl gives for the file and the key.
    if (QStandardPaths::findExecutable("openssl").isEmpty())
        GTEST_SKIP() << "openssl is not installed";
    const QString key = "k\u00E9y with blanks";
    const QString keyed = Tool("openssl", {"dgst", "-sha256", "-hmac", key, QString::fromStdString(file_)});
    ASSERT_TRUE(keyed.contains("= ")) << keyed.toStdString();
    probe_->write("hmac " + QUrl::toPercentEncoding(key) + "\n");
    ASSERT_EQ(ReadUntil(*probe_, "hmac"), "hmac");
    EXPECT_EQ(Marks().toStdString(), unmarked_.toStdString()) << "results shown after HMAC was ticked";
    Generate();
    Put(keyed.toUtf8() + "\n");
    EXPECT_TRUE(MarksBecome(matches, seen)) << seen.toStdString();
    Put(sums);
    EXPECT_TRUE(MarksBecome(status("None on the clipboard is this file's SHA-256"), seen)) << seen.toStdString();
}

// How the window looks in a run of PublishedFormsTest.
struct Appearance {
    const char* name;
    const char* scale;
    bool dark;
};

// The forms digests are published in, each copied from its page onto a real
// clipboard as a user would, with and without HMAC, matching the file and
// after one byte of the file changed: the status line names the algorithm
// and its verdict, carries the mark of that verdict (read from the drawn
// bar's pixels) and fits beside it, at scale 1 and 2, light and dark. A
// SHA512SUMS list is copied before a start with the file, whose own
// Generate compares it. With VELLUMARK_SCREENSHOTS naming a folder, the
// window is saved there as the screen shows it, for each step.
class PublishedFormsTest : public ClipboardTest, public ::testing::WithParamInterface<Appearance> {
protected:
    void Look(QProcessEnvironment& env) override
    {
        env.insert("QT_SCALE_FACTOR", GetParam().scale);
        if (GetParam().dark)
            env.insert("VELLUMARK_PROBE_LOOK", "dark");
    }

    // The status line as the window draws it: mark, whether it is whole,
    // tooltip and words.
    struct Line {
        QString mark, tip, status;
        bool whole = false;
        std::string Describe() const
        {
            return "mark=" + mark.toStdString() + " whole=" + (whole ? "1" : "0") + " status=" + status.toStdString();
        }
    };
    Line ReadLineOfWindow()
    {
        probe_->write("line\n");
        const QStringList fields = ReadUntil(*probe_, "line ").split(' ');
        Line line;
        for (const QString& field : fields) {
            const QString value = QUrl::fromPercentEncoding(field.section('=', 1).toUtf8());
            if (field.startsWith("mark="))
                line.mark = value;
            else if (field.startsWith("whole="))
                line.whole = value == "1";
            else if (field.startsWith("tip="))
                line.tip = value;
            else if (field.startsWith("status="))
                line.status = value;
        }
        return line;
    }
    bool LineBecomes(const QString& status, const QString& mark, Line& seen)
    {
        return Eventually([&] {
            seen = ReadLineOfWindow();
            return seen.status == status && seen.mark == mark && seen.whole;
        });
    }

    QString Output(const QString& program, const QStringList& args)
    {
        QProcess process;
        process.start(program, args);
        if (!process.waitForFinished(20000))
            ADD_FAILURE() << program.toStdString() << " did not finish";
        return QString::fromUtf8(process.readAllStandardOutput()).trimmed();
    }

    void Shot(const QString& name)
    {
        const QString folder = qEnvironmentVariable("VELLUMARK_SCREENSHOTS");
        if (folder.isEmpty())
            return;
        QDir().mkpath(folder);
        const QString path = QDir(folder).filePath(QString(GetParam().name) + "-" + name + ".png");
        probe_->write("shot " + QUrl::toPercentEncoding(path) + "\n");
        EXPECT_EQ(ReadUntil(*probe_, "shot "), "shot ok") << path.toStdString();
    }
};

TEST_P(PublishedFormsTest, EachFormGetsItsVerdictWholeWithItsMark)
{
    for (const char* tool : {"b2sum", "b3sum", "md5sum", "sha256sum", "sha512sum", "openssl", "python3"})
        if (QStandardPaths::findExecutable(tool).isEmpty())
            GTEST_SKIP() << tool << " is not installed";
    const QString path = QString::fromStdString(file_);
    const QString name = QFileInfo(path).fileName();
    const QString key = "key";
    // The file's digest as its tool writes it, or keyed, as Python's hmac
    // gives it.
    const auto hexOf = [&](const QString& tool, const QStringList& args) {
        // "hex  name", or OpenSSL's "SHA3-256(name)= hex".
        const QString line = Output(tool, args + QStringList{path});
        return (line.contains("= ") ? line.section("= ", -1) : line.section(' ', 0, 0)).trimmed().toUtf8();
    };
    const auto keyed = [&](const char* algorithm) {
        return Output("python3", {"-c",
                                  "import hmac, sys; print(hmac.new(sys.argv[1].encode(), open(sys.argv[2], 'rb')"
                                  ".read(), sys.argv[3]).hexdigest())",
                                  key, path, algorithm})
            .toUtf8();
    };
    const QByteArray other256(64, 'e'), other512(128, 'e');
    struct Form {
        const char* name;
        std::function<QByteArray(bool keyed)> text;
        QString matches[2], changed[2];       // the line without and with HMAC
        const char* changedMark[2];           // the mark after the change
        QString value[2];                     // the algorithm whose value the tooltip gives
    };
    const std::vector<Form> forms = {
        {"sha256sums",
         [&](bool k) {
             return other256 + "  other.iso\n" + (k ? keyed("sha256") : hexOf("sha256sum", {})) + "  " + name.toUtf8() +
                    "\n";
         },
         {"SHA-256 matches the digest on the clipboard", "SHA-256 matches the digest on the clipboard"},
         {"None on the clipboard is this file's SHA-256 or BLAKE3", "None on the clipboard is this file's SHA-256"},
         {"neutral", "neutral"},
         {"SHA-256", "SHA-256"}},
        {"sha512sums-before-start",
         [&](bool k) {
             return other512 + "  other.iso\n" + (k ? keyed("sha512") : hexOf("sha512sum", {})) + "  " + name.toUtf8() +
                    "\n";
         },
         {"SHA-512 matches the digest on the clipboard", "SHA-512 matches the digest on the clipboard"},
         {"None on the clipboard is this file's SHA-512 or BLAKE2b",
          "None on the clipboard is this file's SHA-512 or BLAKE2b"},
         {"neutral", "neutral"},
         {"SHA-512", "SHA-512"}},
        {"b2sums-line",
         [&](bool k) { return (k ? keyed("blake2b") : hexOf("b2sum", {})) + "  " + name.toUtf8() + "\n"; },
         {"BLAKE2b matches the digest on the clipboard", "BLAKE2b matches the digest on the clipboard"},
         {"Not this file's SHA-512 or BLAKE2b; copy the whole line",
          "Not this file's SHA-512 or BLAKE2b; copy the whole line"},
         {"neutral", "neutral"},
         {"BLAKE2b", "BLAKE2b"}},
        // BLAKE3 has no HMAC: keyed, the plain line is compared with the
        // keyed SHA-256 alone.
        {"b3sum-line", [&](bool) { return hexOf("b3sum", {}) + "  " + name.toUtf8() + "\n"; },
         {"BLAKE3 matches the digest on the clipboard", "Not this file's SHA-256; copy the whole line"},
         {"Not this file's SHA-256 or BLAKE3; copy the whole line", "Not this file's SHA-256; copy the whole line"},
         {"neutral", "neutral"},
         {"BLAKE3", ""}},
        {"sha3-256-sentence",
         [&](bool k) {
             return "The SHA3-256 checksum of " + name.toUtf8() + " is " +
                    (k ? keyed("sha3_256") : hexOf("openssl", {"dgst", "-sha3-256"})) + ".";
         },
         {"SHA3-256 matches the digest on the clipboard", "SHA3-256 matches the digest on the clipboard"},
         {"SHA3-256 does not match the digest on the clipboard", "SHA3-256 does not match the digest on the clipboard"},
         {"mismatch", "mismatch"},
         {"SHA3-256", "SHA3-256"}},
        {"md5sums-line", [&](bool k) { return (k ? keyed("md5") : hexOf("md5sum", {})) + "  " + name.toUtf8() + "\n"; },
         {"MD5 matches the digest on the clipboard", "MD5 matches the digest on the clipboard"},
         {"MD5 does not match the digest on the clipboard", "MD5 does not match the digest on the clipboard"},
         {"mismatch", "mismatch"},
         {"", ""}},
    };
    Line seen;
    for (const bool hmac : {false, true}) {
        for (const Form& form : forms) {
            SCOPED_TRACE(std::string(form.name) + (hmac ? " with HMAC" : ""));
            const QString step = QString(form.name) + (hmac ? "-hmac" : "");
            MakeFile(name.toStdString(), "abc");
            const QByteArray text = form.text(hmac);
            if (!hmac && std::string_view(form.name) == "sha512sums-before-start") {
                // Copied, then the window started with the file: its own
                // Generate reads the clipboard first.
                EndGently(*probe_);
                Put(text);
                probe_ = StartProbe({path}, {}, &env_);
            } else {
                if (hmac && std::string_view(form.name) == "sha256sums") {
                    probe_->write("hmac " + QUrl::toPercentEncoding(key) + "\n");
                    ASSERT_EQ(ReadUntil(*probe_, "hmac"), "hmac");
                }
                // Copied while the window looks on: it reads the clipboard
                // as it changes, within its patience with the owner, and the
                // user then presses Generate.
                Put(text);
                QThread::msleep(2 * 200);
                Generate();
            }
            const QString match = form.matches[hmac];
            const QString markOfMatch = match.contains(" matches the digest") ? "match" : "neutral";
            EXPECT_TRUE(LineBecomes(match, markOfMatch, seen)) << seen.Describe();
            if (!form.value[hmac].isEmpty()) {
                EXPECT_TRUE(seen.tip.contains(form.value[hmac] + " = ")) << seen.tip.toStdString();
            }
            Shot(step + "-matching");

            // One byte of the file changes.
            MakeFile(name.toStdString(), "abd");
            Generate();
            EXPECT_TRUE(LineBecomes(form.changed[hmac], form.changedMark[hmac], seen)) << seen.Describe();
            Shot(step + "-changed");
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Looks, PublishedFormsTest,
                         ::testing::Values(Appearance{"scale1-light", "1", false}, Appearance{"scale1-dark", "1", true},
                                           Appearance{"scale2-light", "2", false},
                                           Appearance{"scale2-dark", "2", true}),
                         [](const ::testing::TestParamInfo<Appearance>& info) {
                             std::string name = info.param.name;
                             std::replace(name.begin(), name.end(), '-', '_');
                             return name;
                         });

}  // namespace
