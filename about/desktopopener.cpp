#include "about/desktopopener.h"

#include <algorithm>
#include <memory>
#include <vector>

#include <QProcess>

namespace {

// Handlers still running when their wait ended. Each is released when it
// ends; one still running when the program ends is neither killed (it may be
// the browser's parent) nor destroyed (QProcess would kill it, with a warning).
std::vector<QProcess*>& RunningHandlers()
{
    static std::vector<QProcess*> running;
    return running;
}

int& KeptHandlerCount()
{
    static int kept = 0;
    return kept;
}

void KeepUntilFinished(std::unique_ptr<QProcess> handler)
{
    QProcess* running = handler.release();
    RunningHandlers().push_back(running);
    ++KeptHandlerCount();
    QObject::connect(running, &QObject::destroyed, [] { --KeptHandlerCount(); });
    QObject::connect(running, &QProcess::finished, running, [running] {
        std::erase(RunningHandlers(), running);
        running->deleteLater();
    });
}

}  // namespace

int DesktopUrlOpener::Open(std::uintptr_t /*owner*/, const QString& url)
{
    // xdg-open would read a leading "-" as an option of its own.
    if (url.isEmpty() || url.startsWith(QLatin1Char('-'))) {
        return platform::kShellNotOpened;
    }
    // The desktop picks the handler and its window; xdg-open says whether it
    // found one. It reads nothing, and what it or the browser it starts
    // writes is dropped: a failure is the error box's to tell, and the
    // program writes no log to the terminal.
    auto handler = std::make_unique<QProcess>();
    handler->setProgram(QStringLiteral("xdg-open"));
    handler->setArguments({url});
    handler->setStandardInputFile(QProcess::nullDevice());
    handler->setStandardOutputFile(QProcess::nullDevice());
    handler->setStandardErrorFile(QProcess::nullDevice());
    handler->start();
    // The window waits without handling events, so only briefly.
    if (!handler->waitForFinished(static_cast<int>(wait_.count()))) {
        if (handler->state() == QProcess::NotRunning) {
            return platform::kShellNotOpened;  // xdg-open missing or not runnable
        }
        KeepUntilFinished(std::move(handler));
        return platform::kShellOpened;
    }
    const bool opened = handler->exitStatus() == QProcess::NormalExit && handler->exitCode() == 0;
    return opened ? platform::kShellOpened : platform::kShellNotOpened;
}

int DesktopUrlOpener::KeptHandlers() noexcept
{
    return KeptHandlerCount();
}

platform::UrlOpener& UrlOpenerInUse()
{
    if (platform::UrlOpener* installed = platform::InstalledUrlOpener()) {
        return *installed;
    }
    static DesktopUrlOpener desktop;
    return desktop;
}
