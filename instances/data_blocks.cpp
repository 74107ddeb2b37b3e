#include "instances/data_blocks.h"

#include <climits>
#include <cstring>
#include <set>

#include "platform/process/command_line.h"
#include "platform/windows/wire_frame.h"

namespace {

// Class names are compared as the first 200 bytes that a look-up reads.
constexpr std::size_t kClassNameLimit = 200;

const platform::CopyDataStruct* CopyData(const TMessage& message)
{
    if (message.Msg != platform::kWmCopyData || message.LParam == 0)
        return nullptr;
    return reinterpret_cast<const platform::CopyDataStruct*>(message.LParam);
}

}  // namespace

BlockSent SendCommandLine(const std::string& windowClass, TWindowHandle originator)
{
    std::vector<std::string> arguments = platform::CommandLineArguments();
    if (!arguments.empty())
        arguments.erase(arguments.begin());
    return SendLines(windowClass, CommandLineKind, arguments, originator);
}

BlockSent SendLines(const std::string& windowClass, int kind, const std::vector<std::string>& lines,
                    TWindowHandle originator)
{
    std::string text;
    for (const std::string& line : lines) {
        text += line;
        text += "\r\n";
        if (text.size() > platform::wire::kMaxData)
            return {};
    }
    return SendBlock(windowClass, kind, text.empty() ? nullptr : text.data(), static_cast<int>(text.size()),
                     originator);
}

BlockSent SendBlock(const std::string& windowClass, int kind, const void* data, int size, TWindowHandle originator)
{
    if (size < 0 || (size > 0 && data == nullptr) || static_cast<std::uint64_t>(size) > platform::wire::kMaxData)
        return {};
    BlockSent outcome{true, 0};
    TAppInstances& table = InstanceTable();
    // A process that did not answer one window is not waited for again.
    std::set<std::int32_t> unanswered;
    for (const platform::WindowInfo& window : platform::TopLevelWindows()) {
        if (window.className.empty() || window.className.substr(0, kClassNameLimit) != windowClass)
            continue;
        if (unanswered.count(window.process) != 0 || !table.IsListed(static_cast<std::uint32_t>(window.process)))
            continue;
        const platform::SendResult result =
            platform::SendDataMessage(window.handle, platform::kWmCopyData, static_cast<std::intptr_t>(originator),
                                      static_cast<std::uint32_t>(kind), data, static_cast<std::size_t>(size));
        if (result.status == platform::SendStatus::TimedOut)
            unanswered.insert(window.process);
        else if (result.Answered() && result.result != 0)
            ++outcome.taken;
        else if (!result.Answered())
            ++outcome.hungUp;
    }
    return outcome;
}

int CopyDataKind(TMessage& message, TWindowHandle ignoredWindow)
{
    const platform::CopyDataStruct* record = CopyData(message);
    if (record == nullptr || static_cast<TWindowHandle>(message.WParam) == ignoredWindow) {
        message.Result = 0;
        return -1;
    }
    message.Result = 1;
    return static_cast<int>(static_cast<std::uint32_t>(record->kind));
}

std::vector<std::uint8_t> ExtractCopyDataBytes(const TMessage& message)
{
    const platform::CopyDataStruct* record = CopyData(message);
    if (record == nullptr || record->data == nullptr || record->size == 0)
        return {};
    const auto* bytes = static_cast<const std::uint8_t*>(record->data);
    return std::vector<std::uint8_t>(bytes, bytes + record->size);
}

void ExtractCopyDataLines(const TMessage& message, std::vector<std::string>& lines)
{
    lines.clear();
    const platform::CopyDataStruct* record = CopyData(message);
    if (record == nullptr || record->data == nullptr)
        return;
    lines = SplitTextLines(static_cast<const char*>(record->data), record->size);
}

std::vector<std::string> SplitTextLines(const char* text, std::size_t size)
{
    std::vector<std::string> lines;
    if (text == nullptr)
        return lines;
    if (const void* zero = std::memchr(text, '\0', size))
        size = static_cast<std::size_t>(static_cast<const char*>(zero) - text);
    std::size_t i = 0;
    while (i < size) {
        const std::size_t start = i;
        while (i < size && text[i] != '\r' && text[i] != '\n')
            ++i;
        lines.emplace_back(text + start, i - start);
        if (i < size && text[i] == '\r')
            ++i;
        if (i < size && text[i] == '\n')
            ++i;
    }
    return lines;
}
