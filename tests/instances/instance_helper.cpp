// A program with an instance limit, for the multi-process tests: a shown
// main window, the application window and a TInstanceLimit whose properties
// come from the arguments (max=N active=0|1 auto=0|1 cmdline=0|1
// table=PROGRAM minimized=1 take=0|1|die: whether it answers that it took
// the command lines handed to it, or is killed as they arrive; the rest are
// plain arguments). It prints what
// happens to it, one line each, and takes commands on standard input.
// ending=kill|quit makes it end as soon as it has answered that it is
// active: killed on the spot, or the way an instance closes, its windows
// gone first and the table left a moment later.

#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <functional>
#include <iostream>
#include <memory>
#include <sstream>
#include <string>
#include <system_error>

#include <QApplication>
#include <QEvent>
#include <QTimer>
#include <QWidget>

#include "instances/data_blocks.h"
#include "instances/instance_limit.h"
#include "platform/base/ascii.h"
#include "platform/windows/application_window.h"
#include "tests/line_commands.h"

namespace {

void Say(const std::string& line)
{
    std::cout << line << std::endl;
}

// Reports the main window's activation and state changes.
class Watcher : public QObject {
public:
    bool eventFilter(QObject* object, QEvent* event) override
    {
        auto* widget = static_cast<QWidget*>(object);
        if (event->type() == QEvent::WindowActivate)
            Say("activated");
        else if (event->type() == QEvent::WindowStateChange)
            Say(std::string("state minimized=") + (widget->isMinimized() ? "1" : "0"));
        return false;
    }
};

std::string Hex(const void* data, int size)
{
    std::string text;
    platform::AppendHexBytes(text, static_cast<const std::uint8_t*>(data), static_cast<std::size_t>(size), false);
    return text;
}

// Ends the process once it has answered a start's question (see ending=).
class EndingLimit final : public TInstanceLimit {
public:
    EndingLimit(QObject* owner, std::string ending, std::function<void()> dropWindows)
        : TInstanceLimit(owner), ending_(std::move(ending)), dropWindows_(std::move(dropWindows))
    {}

protected:
    void HandleWindowMessage(TMessage& message) override
    {
        TInstanceLimit::HandleWindowMessage(message);
        if (message.Msg != InstanceTable().NoticeMessage() || message.WParam != NoticeQueryActive || ending_.empty())
            return;
        if (ending_ == "kill")
            ::raise(SIGKILL);
        ending_.clear();
        dropWindows_();
        QTimer::singleShot(300, [] { QApplication::quit(); });
    }

private:
    std::string ending_;
    std::function<void()> dropWindows_;
};

void Command(const std::string& line, TInstanceLimit& limit, QWidget& window)
{
    std::istringstream in(line);
    std::string verb;
    in >> verb;
    TAppInstances& table = InstanceTable();
    if (verb == "minimize") {
        window.showMinimized();
    } else if (verb == "other") {
        // Another window of this program takes the activation away.
        static QWidget other;
        other.show();
        other.activateWindow();
        QApplication::processEvents();
        Say(std::string("other active=") + (other.isActiveWindow() ? "1" : "0"));
    } else if (verb == "state") {
        Say(std::string("state minimized=") + (window.isMinimized() ? "1" : "0") +
            " active=" + (window.isActiveWindow() ? "1" : "0"));
    } else if (verb == "count") {
        Say("count " + std::to_string(table.RunningCount()));
    } else if (verb == "user") {
        int value = 0;
        in >> value;
        table.BroadcastNotice(NoticeUser, value);
        Say("sent");
    } else if (verb == "block") {
        // block KIND SIZE: SIZE bytes counting up from 0
        int kind = 0, size = 0;
        in >> kind >> size;
        std::string bytes(static_cast<std::size_t>(size), '\0');
        for (int i = 0; i < size; ++i)
            bytes[static_cast<std::size_t>(i)] = static_cast<char>(i);
        Say(std::string("sent ") + (SendBlock(TInstanceLimit::kWindowClass, kind, size > 0 ? bytes.data() : nullptr,
                                              size, limit.WindowHandle())
                                            .sent
                                        ? "1"
                                        : "0"));
    } else if (verb == "cmdblock" || verb == "longcmdblock") {
        // cmdblock HEX: a command-line block (kind 1) of exactly these bytes;
        // longcmdblock SIZE: one file URI line of SIZE bytes and an empty line
        std::string arg;
        in >> arg;
        std::string bytes;
        if (verb == "cmdblock") {
            for (std::size_t i = 0; i + 1 < arg.size(); i += 2)
                bytes += static_cast<char>(platform::HexDigitValue(arg[i]) * 16 + platform::HexDigitValue(arg[i + 1]));
        } else {
            bytes = "file:///" + std::string(std::stoul(arg) - 8, 'a') + "\r\n\r\n";
        }
        Say(std::string("sent ") +
            (SendBlock(TInstanceLimit::kWindowClass, CommandLineKind, bytes.empty() ? nullptr : bytes.data(),
                       static_cast<int>(bytes.size()), limit.WindowHandle())
                     .sent
                 ? "1"
                 : "0"));
    } else if (verb == "lines") {
        std::vector<std::string> lines;
        for (std::string word; in >> word;)
            lines.push_back(word);
        Say(std::string("sent ") +
            (SendLines(TInstanceLimit::kWindowClass, 7, lines, limit.WindowHandle()).sent ? "1" : "0"));
    } else if (verb == "query") {
        Say(std::string("peers active=") + (limit.QueryPeersActive() ? "1" : "0"));
    }
}

}  // namespace

int main(int argc, char** argv)
{
    QApplication application(argc, argv);
    int maxInstances = 1;
    bool active = true, autoActivate = true, cmdLine = false, minimized = false;
    std::string take = "1";
    std::string ending;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const std::string value = arg.substr(arg.find('=') + 1);
        if (arg.rfind("max=", 0) == 0)
            maxInstances = std::stoi(value);
        else if (arg.rfind("active=", 0) == 0)
            active = value == "1";
        else if (arg.rfind("auto=", 0) == 0)
            autoActivate = value == "1";
        else if (arg.rfind("cmdline=", 0) == 0)
            cmdLine = value == "1";
        else if (arg.rfind("minimized=", 0) == 0)
            minimized = value == "1";
        else if (arg.rfind("take=", 0) == 0)
            take = value;
        else if (arg.rfind("table=", 0) == 0)
            SetInstanceTableProgramPath(value);
        else if (arg.rfind("ending=", 0) == 0)
            ending = value;
    }

    auto window = std::make_unique<QWidget>();
    window->resize(200, 100);
    // As the application frame does: without it the program still runs.
    std::unique_ptr<platform::ApplicationWindow> applicationWindow;
    try {
        applicationWindow = std::make_unique<platform::ApplicationWindow>([&window] { return window.get(); });
    } catch (const std::system_error&) {
    }
    try {
        EndingLimit limit(&application, ending, [&] {
            applicationWindow.reset();
            window->hide();
        });
        limit.SetActive(active);
        limit.SetAutoActivate(autoActivate);
        limit.SetMaxInstances(maxInstances);
        limit.SetSendCmdLine(cmdLine);
        limit.OnInstanceCreated = [](TInstanceLimit&, std::uint32_t pid) { Say("created " + std::to_string(pid)); };
        limit.OnInstanceDestroyed = [](TInstanceLimit&, std::uint32_t pid) { Say("destroyed " + std::to_string(pid)); };
        limit.OnUserNotify = [](TInstanceLimit&, int value) { Say("user " + std::to_string(value)); };
        limit.OnDataAvailable = [](TInstanceLimit&, int kind, const void* data, int size) {
            Say("data " + std::to_string(kind) + " " + std::to_string(size) + " " + Hex(data, std::min(size, 8)));
        };
        limit.OnCmdLineReceived = [take](TInstanceLimit&, const std::vector<std::string>& lines) {
            std::string text = "cmdline " + std::to_string(lines.size());
            for (const std::string& line : lines)
                text += " [" + line + "]";
            Say(text);
            if (take == "die")
                ::raise(SIGKILL);
            return take == "1";
        };
        limit.OnRejected = [](TInstanceLimit&) { Say("rejected"); };
        limit.OnCmdLineNotTaken = [](TInstanceLimit&) { Say("not taken"); };
        platform::SetThreadMessageHandler([](const platform::WindowMessage& message) {
            if (message.Msg == InstanceTable().NoticeMessage())
                Say("thread " + std::to_string(message.WParam) + " " + std::to_string(message.LParam));
        });

        limit.Loaded();  // may end the process here
        if (minimized)
            window->showMinimized();
        else
            window->show();
        QApplication::processEvents();
        Watcher watcher;
        window->installEventFilter(&watcher);
        Say("admitted " + std::to_string(::getpid()) + " active=" + (limit.Active() ? "1" : "0"));

        const LineCommands commands([&](const std::string& line) {
            if (line == "quit")
                QApplication::quit();
            else
                Command(line, limit, *window);
        });
        QApplication::exec();
        window->removeEventFilter(&watcher);
    } catch (const Exception& error) {
        std::string message = error.Message();
        for (std::size_t at; (at = message.find("\r\n")) != std::string::npos;)
            message.replace(at, 2, " | ");
        Say(std::string("error ") + error.ClassName() + " " + message);
        return 3;
    }
    return 0;
}
