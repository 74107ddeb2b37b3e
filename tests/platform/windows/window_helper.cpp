// The other process of the window tests: a Qt event loop, windows created on
// request, and commands on standard input. Its windows answer:
//   0x9000: sends 0x9001 (wParam) to the window in lParam and gives that
//           answer + 1000 (a send back to a sender that is itself waiting);
//   copy-data: prints kind, size, the first bytes and their sum, gives 1;
//   anything else: prints it and gives wParam + lParam.

#include <unistd.h>

#include <iostream>
#include <memory>
#include <numeric>
#include <sstream>
#include <string>
#include <vector>

#include <QCoreApplication>

#include "platform/base/ascii.h"
#include "platform/windows/message_window.h"
#include "platform/windows/registered_messages.h"
#include "tests/line_commands.h"

namespace {

using namespace platform;

void Say(const std::string& line)
{
    std::cout << line << std::endl;
}

std::intptr_t Procedure(const std::string& name, WindowMessage& message)
{
    if (message.Msg == 0x9000) {
        const SendResult back =
            SendMessageTimeout(static_cast<WindowHandle>(message.LParam), 0x9001, message.WParam, 0);
        return back.Answered() ? back.result + 1000 : -1;
    }
    if (message.Msg == kWmCopyData) {
        const auto* record = reinterpret_cast<const CopyDataStruct*>(message.LParam);
        const auto* bytes = static_cast<const std::uint8_t*>(record->data);
        std::string head;
        AppendHexBytes(head, bytes, std::min<std::size_t>(record->size, 4), false);
        Say("data " + name + " " + std::to_string(record->kind) + " " + std::to_string(record->size) + " " + head +
            " " + std::to_string(record->size == 0 ? 0u : std::accumulate(bytes, bytes + record->size, 0u)));
        return 1;
    }
    Say("got " + name + " " + std::to_string(message.Msg) + " " + std::to_string(message.WParam) + " " +
        std::to_string(message.LParam));
    return message.WParam + message.LParam;
}

}  // namespace

int main(int argc, char** argv)
{
    QCoreApplication application(argc, argv);
    std::vector<std::unique_ptr<MessageWindow>> windows;
    SetThreadMessageHandler([](const WindowMessage& message) {
        Say("thread " + std::to_string(message.Msg) + " " + std::to_string(message.WParam) + " " +
            std::to_string(message.LParam));
    });
    auto command = [&](const std::string& line) {
        std::istringstream in(line);
        std::string verb;
        in >> verb;
        if (verb == "window") {
            std::string name;
            in >> name;
            windows.push_back(std::make_unique<MessageWindow>(
                name, [name](WindowMessage& message) { return Procedure(name, message); }));
            Say("window " + std::to_string(windows.back()->Handle()) + " " + std::to_string(windows.back()->Thread()));
        } else if (verb == "register") {
            std::string name;
            in >> name;
            Say("number " + std::to_string(RegisterWindowMessage(name)));
        } else if (verb == "send") {
            WindowHandle window = 0;
            std::uint32_t message = 0;
            std::intptr_t wParam = 0, lParam = 0;
            in >> window >> message >> wParam >> lParam;
            const SendResult result = SendMessageTimeout(window, message, wParam, lParam);
            Say("result " + std::to_string(static_cast<int>(result.status)) + " " + std::to_string(result.result));
        }
    };
    const LineCommands commands(command);
    Say("ready " + std::to_string(::getpid()));
    return QCoreApplication::exec();
}
