#include <gtest/gtest.h>

#include <QProcess>
#include <QProcessEnvironment>
#include <QTemporaryDir>
#include <QThread>

#include <signal.h>

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
