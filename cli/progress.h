#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

#include "platform/text/shown_name.h"

// The companion's progress line. While standard error is a terminal and a
// run has gone on for more than about a second, one line there shows how far
// it has come, redrawn a few times a second; it goes when the run ends.
// Nothing is shown when standard error is redirected. One input shows its
// name and share ("big.iso: 42% of 4.7 GB at 1.2 GB/s"); many show the whole
// run ("1,234 of 5,000 files, 1.2 of 4.7 GB at 1.2 GB/s").
class ProgressLine {
public:
    // fd: where to show it, when it is a terminal, whose character set a
    // name is shown for.
    ProgressLine(int fd, platform::Charset charset);
    ~ProgressLine();
    ProgressLine(const ProgressLine&) = delete;
    ProgressLine& operator=(const ProgressLine&) = delete;

    // What the line says: a name, which gives way from its front on a narrow
    // terminal (none for a whole run), and how far the run has come.
    struct Text {
        std::string name;
        std::string progress;
    };
    // Asked on the line's own thread, under its lock, at every redraw.
    using Describe = std::function<Text(std::chrono::steady_clock::duration elapsed)>;

    // A run shown while the returned object lives; one at a time.
    class Shown {
    public:
        Shown(Shown&& other) noexcept;
        ~Shown();
        Shown(const Shown&) = delete;
        Shown& operator=(const Shown&) = delete;
        Shown& operator=(Shown&&) = delete;

    private:
        friend class ProgressLine;
        explicit Shown(ProgressLine* line) : line_(line) {}
        ProgressLine* line_;
    };
    [[nodiscard]] Shown Show(Describe describe);

    // Erases the line, and keeps it away while the lock is held, so that the
    // caller's own lines on the terminal are not mixed with it.
    [[nodiscard]] std::unique_lock<std::mutex> Hold();

    // Ctrl+C (SIGINT), SIGTERM (sent by kill and timeout) and SIGHUP (the
    // terminal closed) end the program at once, by that signal, as other
    // tools end: with nothing printed for a file in progress, and the
    // progress line erased. A signal that was ignored at the start stays
    // ignored.
    static void EndOnSignals();

private:
    void Draw();
    void Erase();
    void Loop();

    const int fd_;
    const bool terminal_;
    const platform::Charset charset_;
    std::mutex mutex_;
    std::condition_variable wake_;
    Describe describe_;
    std::chrono::steady_clock::time_point started_;
    bool shown_ = false;
    bool ending_ = false;
    std::thread thread_;
};

// How far a run over many files has come: "1,234 of 5,000 files, 1.2 of 4.7
// GB at 1.2 GB/s"; while the list is still being read (a walk still
// counting) without the totals: "1,234 files, 1.2 GB at 1.2 GB/s", and
// without the bytes' total when a size is not known (standard input's).
struct RunCounts {
    std::uint64_t filesDone = 0;
    std::uint64_t filesListed = 0;
    bool listEnded = false;
    std::uint64_t bytesDone = 0;
    std::uint64_t bytesListed = 0;
    bool sizesKnown = true;
};
std::string RunProgressText(const RunCounts& counts, std::chrono::steady_clock::duration elapsed);
