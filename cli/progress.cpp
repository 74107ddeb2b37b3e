#include "cli/progress.h"

#include <algorithm>
#include <atomic>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <system_error>
#include <utility>

#include <sys/ioctl.h>
#include <unistd.h>

#include "core/progress_text.h"
#include "platform/base/retry.h"
#include "platform/text/shown_name.h"

namespace {

// The progress line waits this long before it shows a run, and is redrawn
// at the second interval.
constexpr std::chrono::milliseconds kShowAfter{1000};
constexpr std::chrono::milliseconds kRedraw{200};

constexpr char kEraseLine[] = "\r\033[K";
constexpr char kClearToEnd[] = "\033[K";

// Where a progress line is shown just now, for the interrupt handler; -1
// for nowhere.
std::atomic<int> g_shownOn{-1};

void WriteAll(int fd, const char* text, std::size_t size)
{
    while (size > 0) {
        const ssize_t written = platform::RetryOnInterrupt([&] { return ::write(fd, text, size); });
        if (written <= 0)
            return;
        text += written;
        size -= static_cast<std::size_t>(written);
    }
}

// The signals that end the program with the progress line erased.
constexpr int kEndingSignals[] = {SIGINT, SIGTERM, SIGHUP};

extern "C" void EndBySignal(int signal)
{
    // Only what a signal handler may do: write, and the default action.
    const int fd = g_shownOn.load();
    // A line that cannot be erased stays; nothing else can be done here.
    if (fd >= 0 && ::write(fd, kEraseLine, sizeof kEraseLine - 1) < 0) {
    }
    struct sigaction action {};
    action.sa_handler = SIG_DFL;
    sigemptyset(&action.sa_mask);
    ::sigaction(signal, &action, nullptr);
    ::raise(signal);
}

}  // namespace

ProgressLine::ProgressLine(int fd, platform::Charset charset) : fd_(fd), terminal_(::isatty(fd) == 1), charset_(charset)
{}

ProgressLine::~ProgressLine()
{
    {
        const std::lock_guard lock(mutex_);
        ending_ = true;
    }
    wake_.notify_all();
    if (thread_.joinable())
        thread_.join();
    const std::lock_guard lock(mutex_);
    Erase();
}

ProgressLine::Shown::Shown(Shown&& other) noexcept : line_(std::exchange(other.line_, nullptr)) {}

ProgressLine::Shown::~Shown()
{
    if (line_ == nullptr)
        return;
    const std::lock_guard lock(line_->mutex_);
    line_->Erase();
    line_->describe_ = nullptr;
}

ProgressLine::Shown ProgressLine::Show(Describe describe)
{
    const std::lock_guard lock(mutex_);
    describe_ = std::move(describe);
    started_ = std::chrono::steady_clock::now();
    // The line's thread starts with the first run a terminal can show.
    if (terminal_ && !thread_.joinable()) {
        try {
            thread_ = std::thread([this] { Loop(); });
        } catch (const std::system_error&) {
            // No line then: the run goes on all the same.
        }
    }
    return Shown(this);
}

std::unique_lock<std::mutex> ProgressLine::Hold()
{
    std::unique_lock lock(mutex_);
    Erase();
    return lock;
}

void ProgressLine::EndOnSignals()
{
    struct sigaction action {};
    action.sa_handler = EndBySignal;
    // One at a time: a second signal waits until the first has ended us.
    sigemptyset(&action.sa_mask);
    for (const int signal : kEndingSignals)
        sigaddset(&action.sa_mask, signal);
    for (const int signal : kEndingSignals) {
        struct sigaction before {};
        if (::sigaction(signal, nullptr, &before) == 0 && before.sa_handler != SIG_IGN)
            ::sigaction(signal, &action, nullptr);
    }
}

// Under the lock.
void ProgressLine::Draw()
{
    if (!describe_)
        return;
    const auto elapsed = std::chrono::steady_clock::now() - started_;
    if (elapsed < kShowAfter)
        return;
    const Text text = describe_(elapsed);
    // One row of the terminal, or the carriage return would not get back to
    // its start: a long name gives way, from its front.
    winsize size {};
    const std::size_t columns = ::ioctl(fd_, TIOCGWINSZ, &size) == 0 && size.ws_col > 0 ? size.ws_col : 80;
    std::string line = "\r";
    if (!text.name.empty()) {
        const std::string progress = ": " + text.progress;
        std::string name = platform::ShownName(text.name, charset_);
        if (name.size() + progress.size() >= columns) {
            const std::size_t keep = columns > progress.size() + 4 ? columns - progress.size() - 4 : 0;
            name = "..." + name.substr(name.size() - std::min(keep, name.size()));
        }
        line += name + progress;
    } else {
        line += text.progress.substr(0, columns > 1 ? columns - 1 : 0);
    }
    line += kClearToEnd;
    g_shownOn.store(fd_);
    shown_ = true;
    WriteAll(fd_, line.data(), line.size());
}

// Under the lock.
void ProgressLine::Erase()
{
    if (!shown_)
        return;
    WriteAll(fd_, kEraseLine, sizeof kEraseLine - 1);
    shown_ = false;
    g_shownOn.store(-1);
}

void ProgressLine::Loop()
{
    std::unique_lock lock(mutex_);
    while (!ending_) {
        wake_.wait_for(lock, kRedraw);
        if (!ending_)
            Draw();
    }
}

namespace {

// "5,000": digits in groups of three, as the line is read in English.
std::string Grouped(std::uint64_t number)
{
    std::string digits = std::to_string(number);
    for (std::size_t at = digits.size(); at > 3; at -= 3)
        digits.insert(at - 3, ",");
    return digits;
}

// bytes in the unit SizeText gives `in`: "1.2" of "4.7 GB".
std::string SizeIn(double bytes, double in)
{
    double scale = 1;
    while (in >= 999.95 && scale < 1e18) {
        in /= 1000;
        scale *= 1000;
    }
    char text[32];
    std::snprintf(text, sizeof text, scale == 1 ? "%.0f" : "%.1f", bytes / scale);
    return text;
}

}  // namespace

std::string RunProgressText(const RunCounts& counts, std::chrono::steady_clock::duration elapsed)
{
    std::string text = Grouped(counts.filesDone);
    if (counts.listEnded)
        text += " of " + Grouped(counts.filesListed);
    text += (counts.listEnded ? counts.filesListed : counts.filesDone) == 1 ? " file, " : " files, ";
    if (counts.listEnded && counts.sizesKnown) {
        const double done = static_cast<double>(std::min(counts.bytesDone, counts.bytesListed));
        const double total = static_cast<double>(counts.bytesListed);
        text += SizeIn(done, total) + " of " + SizeText(total);
    } else {
        text += SizeText(static_cast<double>(counts.bytesDone));
    }
    const double seconds = std::chrono::duration<double>(elapsed).count();
    if (seconds > 0)
        text += " at " + SizeText(static_cast<double>(counts.bytesDone) / seconds) + "/s";
    return text;
}
