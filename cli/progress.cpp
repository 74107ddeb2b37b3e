#include "cli/progress.h"

#include <algorithm>
#include <atomic>
#include <csignal>
#include <cstring>
#include <iterator>
#include <utility>

#include <sys/ioctl.h>
#include <unistd.h>

#include "app/generate/progress_text.h"
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

extern "C" void EndByInterrupt(int signal)
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

ProgressLine::ProgressLine(int fd) : fd_(fd), terminal_(::isatty(fd) == 1)
{
    if (terminal_)
        thread_ = std::thread([this] { Loop(); });
}

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

ProgressLine::Tracked::Tracked(Tracked&& other) noexcept
    : line_(std::exchange(other.line_, nullptr)), run_(other.run_)
{}

ProgressLine::Tracked::~Tracked()
{
    if (line_ == nullptr)
        return;
    const std::lock_guard lock(line_->mutex_);
    // The run shown goes, and its line with it until the next redraw.
    if (run_ == line_->runs_.begin())
        line_->Erase();
    line_->runs_.erase(run_);
}

ProgressLine::Tracked ProgressLine::Track(std::string name, const RunControl& control)
{
    const std::lock_guard lock(mutex_);
    runs_.push_back({std::move(name), &control, std::chrono::steady_clock::now()});
    return Tracked(this, std::prev(runs_.end()));
}

std::unique_lock<std::mutex> ProgressLine::Hold()
{
    std::unique_lock lock(mutex_);
    Erase();
    return lock;
}

void ProgressLine::EndOnInterrupt()
{
    struct sigaction before {};
    if (::sigaction(SIGINT, nullptr, &before) != 0 || before.sa_handler == SIG_IGN)
        return;
    struct sigaction action {};
    action.sa_handler = EndByInterrupt;
    sigemptyset(&action.sa_mask);
    ::sigaction(SIGINT, &action, nullptr);
}

// Under the lock.
void ProgressLine::Show()
{
    if (runs_.empty())
        return;
    const Tracked::Run& run = runs_.front();
    const auto elapsed = std::chrono::steady_clock::now() - run.started;
    if (elapsed < kShowAfter)
        return;
    const std::string progress = ": " + ProgressText(run.control->Done(), run.control->Total(), elapsed);
    // One row of the terminal, or the carriage return would not get back to
    // its start: a long name gives way, from its front.
    winsize size {};
    const std::size_t columns = ::ioctl(fd_, TIOCGWINSZ, &size) == 0 && size.ws_col > 0 ? size.ws_col : 80;
    std::string name = platform::ShownName(run.name);
    if (name.size() + progress.size() >= columns) {
        const std::size_t keep = columns > progress.size() + 4 ? columns - progress.size() - 4 : 0;
        name = "..." + name.substr(name.size() - std::min(keep, name.size()));
    }
    const std::string line = "\r" + name + progress + kClearToEnd;
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
            Show();
    }
}
