#include <gtest/gtest.h>

#include <signal.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <random>
#include <vector>

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QProcessEnvironment>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QThread>

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
        ::kill(static_cast<pid_t>(process.processId()), SIGTERM);
        EXPECT_TRUE(process.waitForFinished(20000));
        EXPECT_EQ(process.exitCode(), 0);
    }

    QTemporaryDir home_;
};

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
    auto second = Start(VELLUMARK_PATH, {"ignored-argument"}, Offscreen());
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
    // This program keeps its command line to itself.
    EXPECT_FALSE(std::any_of(seen.begin(), seen.end(), [](const QString& l) { return l.startsWith("cmdline"); }));
}

TEST_F(ProgramTest, AfterTheRunningOneWasKilledOfManySimultaneousStartsExactlyOneStays)
{
    SettingsWatch settings(home_.filePath("config/vellumark"));
    auto killed = Start(VELLUMARK_PATH, {}, Offscreen());
    ASSERT_TRUE(settings.Touched()) << "the first start did not come to its settings";
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
    const QString window =
        Tool("xdotool", {"search", "--sync", "--onlyvisible", "--pid", pid, "--name", "Vellumark"}).section('\n', 0, 0);
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

}  // namespace
