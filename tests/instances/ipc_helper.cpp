// A second process for the multi-process tests. It takes a mode and its
// arguments, answers on standard output one line at a time, and takes
// further orders on standard input.

#include <fcntl.h>
#include <sched.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <string>
#include <thread>
#include <vector>

#include "instances/file_mapping.h"
#include "instances/optex.h"
#include "instances/sync_event.h"

namespace {

void Say(const std::string& line)
{
    std::cout << line << std::endl;
}

std::string Describe(const Exception& error)
{
    const auto* system = dynamic_cast<const ESystemError*>(&error);
    return std::string(error.ClassName()) + " " + std::to_string(system ? system->ErrorCode() : 0);
}

// region NAME SIZE: open, report, then "set OFFSET VALUE" / "get OFFSET".
int Region(const std::string& name, std::uint64_t size)
{
    TSwapFileMapping mapping(name, PageReadWrite, size);
    auto& view = mapping.MapView(FileMapAllAccess, size, 0);
    auto* bytes = static_cast<unsigned char*>(view.Memory());
    unsigned sum = 0;
    for (std::uint64_t i = 0; i < size; ++i)
        sum += bytes[i];
    Say("existed " + std::to_string(mapping.AlreadyExisted()) + " sum " + std::to_string(sum));
    std::string command;
    std::uint64_t offset = 0;
    while (std::cin >> command >> offset) {
        if (offset >= size)
            return 2;
        if (command == "set") {
            unsigned value = 0;
            std::cin >> value;
            bytes[offset] = static_cast<unsigned char>(value);
            Say("ok");
        } else {
            Say("value " + std::to_string(bytes[offset]));
        }
    }
    return 0;
}

// count LOCK REGION THREADS ITERATIONS: after "go", every thread adds 1 to a
// shared counter ITERATIONS times under the lock, sometimes re-entering it.
// The counter is read and written separately, so a lost update shows.
int Count(const std::string& lock, const std::string& region, int threads, int iterations)
{
    TOptex optex(lock, -1);
    TSwapFileMapping mapping(region, PageReadWrite, 64);
    auto* base = static_cast<char*>(mapping.MapView(FileMapWrite, 64, 0).Memory());
    std::atomic_ref<std::int32_t> inside(*reinterpret_cast<std::int32_t*>(base));
    std::atomic_ref<std::uint64_t> counter(*reinterpret_cast<std::uint64_t*>(base + 8));
    Say("ready");
    std::string go;
    std::cin >> go;
    std::atomic<int> overlaps{0};
    std::vector<std::thread> workers;
    for (int t = 0; t < threads; ++t)
        workers.emplace_back([&] {
            for (int i = 0; i < iterations; ++i) {
                const bool nested = i % 8 == 0;
                optex.Acquire();
                if (nested)
                    optex.Acquire();
                if (inside.exchange(1, std::memory_order_relaxed) != 0)
                    ++overlaps;
                const std::uint64_t seen = counter.load(std::memory_order_relaxed);
                if (i % 16 == 0)
                    sched_yield();
                counter.store(seen + 1, std::memory_order_relaxed);
                inside.store(0, std::memory_order_relaxed);
                if (nested)
                    optex.Release();
                optex.Release();
            }
        });
    for (auto& worker : workers)
        worker.join();
    Say("done " + std::to_string(overlaps.load()));
    return 0;
}

// hold LOCK: acquire and keep it until "release" or the end of input.
int Hold(const std::string& lock)
{
    TOptex optex(lock, -1);
    optex.Acquire();
    Say("held " + std::to_string(platform::CurrentThreadId()));
    std::string command;
    while (std::cin >> command)
        if (command == "release") {
            optex.Release();
            Say("released");
        }
    return 0;
}

// acquire LOCK LIMIT_MS: wait for the lock, report, release.
int Acquire(const std::string& lock, int limitMs)
{
    TOptex optex(lock, -1);
    optex.SetWaitLimit(std::chrono::milliseconds(limitMs));
    Say("waiting");
    const auto start = std::chrono::steady_clock::now();
    optex.Acquire();
    const auto waited =
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);
    const TOptexState state = optex.Snapshot();
    Say("acquired " + std::to_string(waited.count()) + " holders " + std::to_string(state.Holders) + " depth " +
        std::to_string(state.Depth));
    optex.Release();
    return 0;
}

// try LOCK: one non-blocking try.
int Try(const std::string& lock)
{
    TOptex optex(lock, -1);
    const bool taken = optex.TryAcquire();
    Say("try " + std::to_string(taken) + " existed " + std::to_string(optex.AlreadyExisted()));
    if (taken)
        optex.Release();
    return 0;
}

// wait-event NAME LIMIT_MS
int WaitEvent(const std::string& name, std::uint32_t limitMs)
{
    TSyncEvent event(false, false, name);
    Say("ready existed " + std::to_string(event.AlreadyExisted()));
    const TWaitResult result = event.WaitFor(limitMs);
    Say(result == TWaitResult::WaitSignaled ? "signaled" : result == TWaitResult::WaitTimeout ? "timeout" : "error");
    return 0;
}

// foreign NAME PATH: what another user gets when it reaches for our objects.
int Foreign(const std::string& name, const std::string& path)
{
    try {
        TSwapFileMapping mapping(name, PageReadWrite, 64);
        Say("region opened");
    } catch (const Exception& error) {
        Say("region " + Describe(error));
    }
    try {
        TOptex optex(name, -1);
        Say("optex opened");
    } catch (const Exception& error) {
        Say("optex " + Describe(error));
    }
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    Say("open " + std::to_string(fd >= 0 ? 0 : errno));
    if (fd >= 0)
        ::close(fd);
    return 0;
}

}  // namespace

int main(int argc, char** argv)
{
    const std::vector<std::string> args(argv + 1, argv + argc);
    auto arg = [&](std::size_t i) { return i < args.size() ? args[i] : std::string(); };
    try {
        const std::string mode = arg(0);
        if (mode == "region")
            return Region(arg(1), std::stoull(arg(2)));
        if (mode == "count")
            return Count(arg(1), arg(2), std::stoi(arg(3)), std::stoi(arg(4)));
        if (mode == "hold")
            return Hold(arg(1));
        if (mode == "acquire")
            return Acquire(arg(1), std::stoi(arg(2)));
        if (mode == "try")
            return Try(arg(1));
        if (mode == "wait-event")
            return WaitEvent(arg(1), static_cast<std::uint32_t>(std::stoul(arg(2))));
        if (mode == "foreign")
            return Foreign(arg(1), arg(2));
    } catch (const Exception& error) {
        Say("error " + Describe(error));
        return 3;
    } catch (const std::exception& error) {
        Say(std::string("error ") + error.what());
        return 4;
    }
    return 2;
}
