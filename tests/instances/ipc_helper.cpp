// The second process of the multi-process tests. It takes a mode and its
// arguments and answers on standard output, one line at a time. A helper
// that has to stay alive waits to be killed; it dies with the test program.

#include <sched.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <iostream>
#include <numeric>
#include <string>
#include <thread>
#include <vector>

#include "instances/file_mapping.h"
#include "instances/optex.h"

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

}  // namespace

int main(int argc, char** argv)
{
    std::vector<std::string> a(argv, argv + argc);
    a.resize(6);
    try {
        if (a[1] == "region")
            return Region(a[2], std::stoull(a[3]), std::stoull(a[4]), std::stoi(a[5]));
        if (a[1] == "count")
            return Count(a[2], a[3], std::stoi(a[4]), std::stoi(a[5]));
        if (a[1] == "hold")
            return Hold(a[2]);
        if (a[1] == "acquire")
            return Acquire(a[2]);
    } catch (const ESystemError& error) {
        Say("error " + std::string(error.ClassName()) + " " + std::to_string(error.ErrorCode()));
        return 3;
    }
    return 2;
}
