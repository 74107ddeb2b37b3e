// The second process of the multi-process tests. It takes a mode and its
// arguments and answers on standard output, one line at a time. A helper
// that has to stay alive waits to be killed; it dies with the test program.
// Its lock is built with stop points (OptexStep) at every step.

#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <iostream>
#include <numeric>
#include <string>
#include <thread>
#include <vector>

#include "instances/file_mapping.h"
#include "instances/optex.h"
#include "platform/process/thread_identity.h"

namespace {

void Say(const std::string& line)
{
    std::cout << line << std::endl;
}

[[noreturn]] void StayAlive()
{
    for (;;)
        ::pause();
}

// Which step to stop at (0: none), and how: 's' stops the process as a
// debugger would (the test then kills it), 'x' ends it on the spot.
struct Stepping {
    bool report = false;
    int stopAt = 0;
    char action = 's';
    int count = 0;
} g_stepping;

}  // namespace

void OptexStep(const char* step, bool holding)
{
    if (!g_stepping.report)
        return;
    const int number = ++g_stepping.count;
    const std::string where = std::to_string(number) + " " + step + " " + (holding ? "holding" : "not-holding");
    if (number != g_stepping.stopAt) {
        Say("step " + where);
        return;
    }
    Say("stopped " + where);
    if (g_stepping.action == 'x')
        ::_exit(9);
    ::raise(SIGSTOP);
}

namespace {

// region NAME SIZE OFFSET VALUE: sets that byte, then reports whether the
// region existed and the sum of its bytes.
int Region(const std::string& name, std::uint64_t size, std::uint64_t offset, int value)
{
    TSwapFileMapping mapping(name, PageReadWrite, size);
    auto* bytes = static_cast<unsigned char*>(mapping.MapView(FileMapAllAccess, size, 0).Memory());
    bytes[offset] = static_cast<unsigned char>(value);
    Say("existed " + std::to_string(mapping.AlreadyExisted()) + " sum " +
        std::to_string(std::accumulate(bytes, bytes + size, 0u)));
    StayAlive();
}

// count LOCK REGION THREADS ITERATIONS: once the event LOCK_go is set, every
// thread adds 1 to a shared counter ITERATIONS times under the lock, at times
// re-entering it. The counter is read, yielded over and written back, so that
// a lost update shows in the total.
int Count(const std::string& lock, const std::string& region, int threads, int iterations)
{
    TOptex optex(lock, -1);
    TSwapFileMapping mapping(region, PageReadWrite, 8);
    std::atomic_ref<std::uint64_t> counter(*static_cast<std::uint64_t*>(mapping.MapView(FileMapWrite, 8, 0).Memory()));
    TSyncEvent go(true, false, lock + "_go");
    Say("ready");
    go.WaitFor(InfiniteWait);
    std::vector<std::thread> workers;
    for (int t = 0; t < threads; ++t)
        workers.emplace_back([&] {
            for (int i = 0; i < iterations; ++i) {
                const bool nested = i % 8 == 0;
                optex.Acquire();
                if (nested)
                    optex.Acquire();
                const std::uint64_t seen = counter.load(std::memory_order_relaxed);
                if (i % 16 == 0)
                    sched_yield();
                counter.store(seen + 1, std::memory_order_relaxed);
                if (nested)
                    optex.Release();
                optex.Release();
            }
        });
    for (auto& worker : workers)
        worker.join();
    Say("done");
    return 0;
}

// hold LOCK: takes the lock twice and never lets go.
int Hold(const std::string& lock)
{
    TOptex optex(lock, -1);
    optex.Acquire();
    optex.Acquire();
    Say("held " + std::to_string(platform::CurrentThreadId()));
    StayAlive();
}

// acquire LOCK: one try, then a wait for the lock; reports both.
int Acquire(const std::string& lock)
{
    TOptex optex(lock, -1);
    const bool taken = optex.TryAcquire();
    Say("try " + std::to_string(taken) + " existed " + std::to_string(optex.AlreadyExisted()));
    if (!taken)
        optex.Acquire();
    const TOptexState state = optex.Snapshot();
    Say("acquired holders " + std::to_string(state.Holders) + " depth " + std::to_string(state.Depth));
    optex.Release();
    return 0;
}

// steps LOCK STOP ACTION SCRIPT: runs SCRIPT on the lock (spin limit 1),
// reporting every step and stopping at step STOP (see Stepping; 0: neither
// reports nor stops). SCRIPT:
// a = Acquire, t = TryAcquire, r = Release, h = say "holding" and stay.
int Steps(const std::string& lock, int stopAt, char action, const std::string& script)
{
    TOptex optex(lock, 1);
    optex.SetWaitLimit(std::chrono::seconds(10));
    g_stepping = Stepping{stopAt > 0, stopAt, action, 0};
    for (const char op : script) {
        if (op == 'a')
            optex.Acquire();
        else if (op == 't')
            Say(std::string("try ") + (optex.TryAcquire() ? "1" : "0"));
        else if (op == 'r')
            optex.Release();
        else if (op == 'h') {
            g_stepping.report = false;
            Say("holding");
            StayAlive();
        }
    }
    g_stepping.report = false;
    Say("done");
    return 0;
}

// fullfs DIR FSBYTES NAME SIZE: on a tmpfs of FSBYTES mounted at DIR (in a
// mount namespace of this process alone), creates region NAME of SIZE bytes
// and stores into every page of it. "skip" when no tmpfs can be mounted.
int FullFileSystem(const std::string& dir, const std::string& fsBytes, const std::string& name, std::uint64_t size)
{
    if (::unshare(CLONE_NEWNS) != 0 || ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
        ::mount("tmpfs", dir.c_str(), "tmpfs", MS_NOSUID | MS_NODEV, ("size=" + fsBytes + ",mode=0755").c_str()) != 0) {
        Say("skip " + std::to_string(errno));
        return 4;
    }
    ::setenv("XDG_RUNTIME_DIR", dir.c_str(), 1);
    TSwapFileMapping mapping(name, PageReadWrite, size);
    auto* bytes = static_cast<unsigned char*>(mapping.MapView(FileMapWrite, size, 0).Memory());
    for (std::uint64_t at = 0; at < size; at += 4096)
        bytes[at] = 1;
    Say("stored");
    return 0;
}

}  // namespace

int main(int argc, char** argv)
{
    std::vector<std::string> a(argv, argv + argc);
    a.resize(7);
    try {
        if (a[1] == "region")
            return Region(a[2], std::stoull(a[3]), std::stoull(a[4]), std::stoi(a[5]));
        if (a[1] == "count")
            return Count(a[2], a[3], std::stoi(a[4]), std::stoi(a[5]));
        if (a[1] == "hold")
            return Hold(a[2]);
        if (a[1] == "acquire")
            return Acquire(a[2]);
        if (a[1] == "steps")
            return Steps(a[2], std::stoi(a[3]), a[4].empty() ? 's' : a[4][0], a[5]);
        if (a[1] == "fullfs")
            return FullFileSystem(a[2], a[3], a[4], std::stoull(a[5]));
    } catch (const ESystemError& error) {
        Say("error " + std::string(error.ClassName()) + " " + std::to_string(error.ErrorCode()));
        return 3;
    }
    return 2;
}
