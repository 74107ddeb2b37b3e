#pragma once

#include <chrono>
#include <condition_variable>
#include <list>
#include <mutex>
#include <string>
#include <thread>

#include "app/generate/run_control.h"

// The companion's progress line. While standard error is a terminal and a
// file has been digested for more than about a second, one line there shows
// how far it has come ("big.iso: 42% of 4.7 GB at 1.2 GB/s"), redrawn a few
// times a second; it goes when the run ends. Nothing is shown when standard
// error is redirected. Of files digested side by side, the one that began
// first is shown.
class ProgressLine {
public:
    // fd: where to show it, when it is a terminal.
    explicit ProgressLine(int fd);
    ~ProgressLine();
    ProgressLine(const ProgressLine&) = delete;
    ProgressLine& operator=(const ProgressLine&) = delete;

    // A run shown while the returned object lives.
    class Tracked {
    public:
        Tracked(Tracked&& other) noexcept;
        ~Tracked();
        Tracked(const Tracked&) = delete;
        Tracked& operator=(const Tracked&) = delete;
        Tracked& operator=(Tracked&&) = delete;

    private:
        friend class ProgressLine;
        struct Run {
            std::string name;
            const RunControl* control;
            std::chrono::steady_clock::time_point started;
        };
        Tracked(ProgressLine* line, std::list<Run>::iterator run) : line_(line), run_(run) {}
        ProgressLine* line_;
        std::list<Run>::iterator run_;
    };
    [[nodiscard]] Tracked Track(std::string name, const RunControl& control);

    // Erases the line, and keeps it away while the lock is held, so that the
    // caller's own lines on the terminal are not mixed with it.
    [[nodiscard]] std::unique_lock<std::mutex> Hold();

    // Ctrl+C ends the program at once, by the signal, as other tools end:
    // with nothing printed for a file in progress, and the progress line
    // erased. A signal that was ignored at the start stays ignored.
    static void EndOnInterrupt();

private:
    void Show();
    void Erase();
    void Loop();

    const int fd_;
    const bool terminal_;
    std::mutex mutex_;
    std::condition_variable wake_;
    std::list<Tracked::Run> runs_;
    bool shown_ = false;
    bool ending_ = false;
    std::thread thread_;
};
