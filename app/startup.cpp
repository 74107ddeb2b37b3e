#include "app/startup.h"

#include <cstdio>
#include <cstdlib>

#include <QApplication>
#include <QIcon>

#include "about/about.h"
#include "app/main_form.h"
#include "platform/files/file_reader.h"
#include "platform/process/process.h"
#include "platform/process/session_end.h"

namespace {

bool Set(const char* name)
{
    const char* value = std::getenv(name);
    return value != nullptr && *value != '\0';
}

// The window relies on absolute positions and on raising itself, which
// native Wayland does not allow; prefer X11 when the user has not chosen.
void ChoosePlatform()
{
    if (!Set("QT_QPA_PLATFORM") && Set("WAYLAND_DISPLAY") && Set("DISPLAY"))
        ::setenv("QT_QPA_PLATFORM", "xcb", 1);
}

bool HasDisplay()
{
    return Set("QT_QPA_PLATFORM") || Set("DISPLAY") || Set("WAYLAND_DISPLAY");
}

}  // namespace

int RunVellumark(int argc, char* argv[])
{
    Q_INIT_RESOURCE(resources);
    // Files are read under a lease, whose break would otherwise end us.
    platform::IgnoreLeaseBreakSignal();
    ChoosePlatform();
    if (!HasDisplay()) {
        std::fprintf(stderr,
                     "vellumark: no display to show the window on; "
                     "run it under a virtual one: xvfb-run -a %s\n",
                     argc > 0 ? argv[0] : "vellumark");
        return 1;
    }
    QApplication application(argc, argv);
    // The frame ends the loop itself, after the close handler has run.
    QApplication::setQuitOnLastWindowClosed(false);
    QApplication::setWindowIcon(QIcon(QStringLiteral(":/vellumark/vellumark.svg")));
    QApplication::setDesktopFileName(QStringLiteral("vellumark"));

    AppFrameClass frame(AppTitleFromPath(platform::ExecutablePath()));
    // A log-off or shutdown ends the loop without any close handler.
    const platform::SessionEndWatcher sessionEnd([&frame] { frame.Terminate(); });

    return RunFrame(frame, [] {
        CreateForm(*AppFrame, Form1);
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
