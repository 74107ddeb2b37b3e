#include "app/startup.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <QApplication>
#include <QIcon>

#include "about/about.h"
#include "app/arguments.h"
#include "app/main_form.h"
#include "platform/files/file_names.h"
#include "platform/files/file_reader.h"
#include "platform/process/process.h"
#include "platform/ui/session_end.h"

namespace {

bool Set(const char* name)
{
    const char* value = std::getenv(name);
    return value != nullptr && *value != '\0';
}

// Whether the user chose Qt's platform, in the environment or with Qt's own
// -platform argument.
bool PlatformChosen(int argc, char* argv[])
{
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "-platform") == 0 || std::strcmp(argv[i], "--platform") == 0)
            return true;
    }
    return Set("QT_QPA_PLATFORM");
}

// The window relies on absolute positions and on raising itself, which
// native Wayland does not allow: unless the user has chosen, X11 it is when
// an X server can be reached (XWayland in a Wayland session), and Wayland
// otherwise; Qt falls back to the next platform in the list when it cannot
// connect. Returns whether it set the choice, which the programs Vellumark
// starts must not inherit.
bool ChoosePlatform(int argc, char* argv[])
{
    if (PlatformChosen(argc, argv) || !Set("WAYLAND_DISPLAY"))
        return false;
    ::setenv("QT_QPA_PLATFORM", Set("DISPLAY") ? "xcb;wayland" : "wayland", 1);
    return true;
}

bool HasDisplay(int argc, char* argv[])
{
    return PlatformChosen(argc, argv) || Set("DISPLAY") || Set("WAYLAND_DISPLAY");
}

// What the program was told to show its window on, for the one line that says
// it could not.
std::string DisplayNamed()
{
    std::string named;
    for (const char* name : {"QT_QPA_PLATFORM", "WAYLAND_DISPLAY", "DISPLAY"}) {
        if (Set(name))
            named += std::string(named.empty() ? "" : ", ") + name + "=" + std::getenv(name);
    }
    return named.empty() ? "the default display" : named;
}

// Qt ends the program with its own lines and an abort when no display can be
// opened. While Qt connects, this handler keeps its messages off the terminal
// and turns that end into one line and exit code 1.
std::string displayNamed;

void QuietWhileConnecting(QtMsgType type, const QMessageLogContext&, const QString&)
{
    if (type != QtFatalMsg)
        return;
    std::fprintf(stderr, "vellumark: cannot open the display (%s)\n", displayNamed.c_str());
    std::_Exit(1);
}

}  // namespace

int RunVellumark(int argc, char* argv[])
{
    // The arguments come first: --help and --version answer without a
    // display, and a start that cannot be understood ends before anything.
    const ProgramArguments arguments =
        ParseProgramArguments(std::vector<std::string>(argv, argv + argc), platform::CurrentDirectory());
    switch (arguments.action) {
    case ProgramArguments::Action::Help:
        std::fputs(kProgramHelp, stdout);
        return std::fflush(stdout) == 0 ? 0 : 1;
    case ProgramArguments::Action::Version:
        std::fputs(ProgramVersionLine().c_str(), stdout);
        return std::fflush(stdout) == 0 ? 0 : 1;
    case ProgramArguments::Action::Usage:
        std::fprintf(stderr, "vellumark: %s; %s\n", arguments.problem.c_str(), kProgramUsage);
        return 2;
    case ProgramArguments::Action::Fail:
        std::fprintf(stderr, "vellumark: %s\n", arguments.problem.c_str());
        return 1;
    case ProgramArguments::Action::Run:
        break;
    }
    // Qt is given its own options only, so that a file named like one of
    // them stays a file; it keeps the array for its lifetime.
    std::vector<std::string> qtArguments = arguments.qtArguments;
    std::vector<char*> qtArgv;
    for (std::string& argument : qtArguments)
        qtArgv.push_back(argument.data());
    qtArgv.push_back(nullptr);
    int qtArgc = static_cast<int>(qtArguments.size());

    Q_INIT_RESOURCE(resources);
    // Files are read under a lease, whose break would otherwise end us.
    platform::IgnoreLeaseBreakSignal();
    if (!HasDisplay(qtArgc, qtArgv.data())) {
        std::fprintf(stderr,
                     "vellumark: no display to show the window on; "
                     "run it under a virtual one: xvfb-run -a %s\n",
                     argc > 0 ? argv[0] : "vellumark");
        return 1;
    }
    displayNamed = DisplayNamed();
    const bool platformChosenHere = ChoosePlatform(qtArgc, qtArgv.data());
    const QtMessageHandler previousHandler = qInstallMessageHandler(&QuietWhileConnecting);
    QApplication application(qtArgc, qtArgv.data());
    qInstallMessageHandler(previousHandler);
    if (platformChosenHere)
        ::unsetenv("QT_QPA_PLATFORM");
    // The frame ends the loop itself, after the close handler has run.
    QApplication::setQuitOnLastWindowClosed(false);
    QApplication::setWindowIcon(QIcon(QStringLiteral(":/vellumark/vellumark.svg")));
    // The installed desktop entry's name (packaging/): the desktop finds the
    // window's launcher and icon by it, on Wayland too.
    QApplication::setDesktopFileName(QStringLiteral(VELLUMARK_APP_ID));

    AppFrameClass frame(AppTitleFromPath(platform::ExecutablePath()));
    // A log-off or shutdown ends the loop without any close handler.
    const platform::SessionEndWatcher sessionEnd([&frame] { frame.Terminate(); });

    return RunFrame(frame, [&arguments] {
        CreateForm(*AppFrame, Form1, arguments.files);
        CreateForm(*AppFrame, AboutBox)->SetMainWindow(Form1);
    });
}

int RunFrame(AppFrameClass& frame, const std::function<void()>& createWindows)
{
    try {
        createWindows();
        return frame.Run();
    } catch (const Exception& error) {
        frame.ShowLastChanceError(error);
    } catch (const std::bad_alloc&) {
        frame.ShowLastChanceError(Exception("Out of memory"));
    } catch (const std::exception& error) {
        frame.ShowLastChanceError(Exception(error.what()));
    } catch (...) {
        // Whatever was thrown, the program still ends through the box.
        frame.ShowLastChanceError(Exception("Unknown exception"));
    }
    frame.ReleaseWindows();
    return 1;
}
