#include "platform/windows/registered_messages.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <string>
#include <system_error>

#include "platform/base/retry.h"
#include "platform/ipc/private_dir.h"
#include "platform/windows/name_escape.h"

namespace platform {
namespace {

constexpr std::chrono::milliseconds kLockWait{5000};
// Every number taken, by names of the longest escaped length, stays below.
constexpr off_t kMaxFileSize = 64 << 20;

[[noreturn]] void Fail(int error, const char* what)
{
    throw std::system_error(error, std::generic_category(), what);
}

std::string ReadAll(int fd)
{
    struct stat st {};
    if (::fstat(fd, &st) != 0)
        Fail(errno, "cannot inspect the message names");
    if (st.st_size > kMaxFileSize)
        Fail(EFBIG, "the message names file is too large");
    std::string text(static_cast<std::size_t>(st.st_size), '\0');
    std::size_t filled = 0;
    while (filled < text.size()) {
        const ssize_t got =
            RetryOnInterrupt([&] { return ::pread(fd, text.data() + filled, text.size() - filled, filled); });
        if (got < 0)
            Fail(errno, "cannot read the message names");
        if (got == 0)
            break;
        filled += static_cast<std::size_t>(got);
    }
    text.resize(filled);
    return text;
}

}  // namespace

std::uint32_t RegisterWindowMessage(std::string_view name)
{
    const UniqueFd directory = OpenPrivateDirectory();
    const PrivateFileLock turn = PrivateFileLock::Acquire(directory.Get(), "messages.lock", kLockWait);
    const UniqueFd fd = OpenPrivateFile(directory.Get(), "messages");
    const std::string text = ReadAll(fd.Get());
    const std::string wanted = EscapeName(name);

    // Every line is a name, also a last one without its line break.
    std::uint32_t index = 0;
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t end = text.find('\n', start);
        if (end == std::string::npos)
            end = text.size();
        if (std::string_view(text).substr(start, end - start) == wanted)
            return kFirstRegisteredMessage + index;
        ++index;
        start = end + 1;
    }
    if (kFirstRegisteredMessage + index > kLastRegisteredMessage)
        Fail(ENOSPC, "every message number is taken");

    std::string line = (!text.empty() && text.back() != '\n' ? "\n" : "") + wanted + "\n";
    std::size_t written = 0;
    while (written < line.size()) {
        const ssize_t put = RetryOnInterrupt([&] {
            return ::pwrite(fd.Get(), line.data() + written, line.size() - written,
                            static_cast<off_t>(text.size() + written));
        });
        if (put <= 0)
            Fail(put < 0 ? errno : EIO, "cannot write the message names");
        written += static_cast<std::size_t>(put);
    }
    return kFirstRegisteredMessage + index;
}

}  // namespace platform
