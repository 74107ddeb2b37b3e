#include <gtest/gtest.h>

#include <QFile>
#include <QProcess>
#include <QProcessEnvironment>
#include <QTemporaryDir>
#include <QThread>

#include <signal.h>

#include <utility>
#include <vector>

namespace {

// The real program, started as a user would start it.
class ProgramTest : public ::testing::Test {
protected:
    QProcessEnvironment Environment() const
    {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"})
            env.remove(name);
        env.insert("HOME", home_.path());
        env.insert("XDG_CONFIG_HOME", home_.filePath("config"));
        env.insert("XDG_RUNTIME_DIR", home_.path());
        return env;
    }

    QTemporaryDir home_;
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
    QProcessEnvironment env = Environment();
    env.insert("QT_QPA_PLATFORM", "offscreen");
    program.setProcessEnvironment(env);
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

}  // namespace
