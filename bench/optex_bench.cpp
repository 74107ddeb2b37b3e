// Acquire + release of the named optex against std::mutex, a process-shared
// pthread mutex and a process-shared robust one (what the optex's ownership
// rests on), uncontended and with a second process hammering the same lock.
// A summary after the rows gives the uncontended optex's time divided by the
// robust mutex's, the median of interleaved rounds of thread CPU time, with
// its goal: a lock that survives its holder's death cannot be cheaper than
// that mutex, and should not cost much more.
//   optex_bench                  the rows, then the summary
//   optex_bench --summary_only   the summary alone

#include <pthread.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>

#include "bench/run_directory.h"
#include "bench/summary_option.h"

#include "instances/optex.h"

namespace {

std::string LockName(const char* tag)
{
    return "bench" + std::to_string(::getpid()) + "_" + tag;
}

// A page shared with a forked child: a stop flag and a process-shared mutex.
struct SharedPage {
    std::atomic<int> stop;
    std::atomic<int> ready;
    pthread_mutex_t mutex;
};

SharedPage* MakeSharedPage(bool robust = false)
{
    void* memory = ::mmap(nullptr, sizeof(SharedPage), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    if (memory == MAP_FAILED)
        std::abort();
    auto* page = new (memory) SharedPage{};
    pthread_mutexattr_t attributes;
    pthread_mutexattr_init(&attributes);
    pthread_mutexattr_setpshared(&attributes, PTHREAD_PROCESS_SHARED);
    if (robust) {
        pthread_mutexattr_setrobust(&attributes, PTHREAD_MUTEX_ROBUST);
        pthread_mutexattr_settype(&attributes, PTHREAD_MUTEX_ERRORCHECK);
    }
    pthread_mutex_init(&page->mutex, &attributes);
    pthread_mutexattr_destroy(&attributes);
    return page;
}

void FreeSharedPage(SharedPage* page)
{
    pthread_mutex_destroy(&page->mutex);
    ::munmap(page, sizeof(SharedPage));
}

// Runs `body` (lock, tiny work, unlock) in a forked child until told to stop.
template <class Body>
pid_t StartRival(SharedPage* page, Body body)
{
    const pid_t child = ::fork();
    if (child == 0) {
        page->ready = 1;
        while (page->stop.load(std::memory_order_relaxed) == 0)
            body();
        ::_exit(0);
    }
    while (page->ready.load() == 0)
        ::usleep(100);
    return child;
}

void StopRival(SharedPage* page, pid_t child)
{
    page->stop = 1;
    ::waitpid(child, nullptr, 0);
}

void BM_StdMutex(benchmark::State& state)
{
    std::mutex mutex;
    for (auto _ : state) {
        mutex.lock();
        mutex.unlock();
    }
}
BENCHMARK(BM_StdMutex);

void BM_SharedPthreadMutex(benchmark::State& state)
{
    SharedPage* page = MakeSharedPage();
    for (auto _ : state) {
        pthread_mutex_lock(&page->mutex);
        pthread_mutex_unlock(&page->mutex);
    }
    FreeSharedPage(page);
}
BENCHMARK(BM_SharedPthreadMutex);

void BM_SharedRobustPthreadMutex(benchmark::State& state)
{
    SharedPage* page = MakeSharedPage(true);
    for (auto _ : state) {
        pthread_mutex_lock(&page->mutex);
        pthread_mutex_unlock(&page->mutex);
    }
    FreeSharedPage(page);
}
BENCHMARK(BM_SharedRobustPthreadMutex);

void BM_NamedOptex(benchmark::State& state)
{
    TOptex lock(LockName("uncontended"), -1);
    for (auto _ : state) {
        lock.Acquire();
        lock.Release();
    }
}
BENCHMARK(BM_NamedOptex);

void BM_LocalOptex(benchmark::State& state)
{
    TOptex lock("", -1);
    for (auto _ : state) {
        lock.Acquire();
        lock.Release();
    }
}
BENCHMARK(BM_LocalOptex);

void BM_NamedOptexRecursive(benchmark::State& state)
{
    TOptex lock(LockName("recursive"), -1);
    lock.Acquire();
    for (auto _ : state) {
        lock.Acquire();
        lock.Release();
    }
    lock.Release();
}
BENCHMARK(BM_NamedOptexRecursive);

void BM_SharedPthreadMutexTwoProcesses(benchmark::State& state)
{
    SharedPage* page = MakeSharedPage();
    const pid_t rival = StartRival(page, [page] {
        pthread_mutex_lock(&page->mutex);
        benchmark::ClobberMemory();
        pthread_mutex_unlock(&page->mutex);
    });
    for (auto _ : state) {
        pthread_mutex_lock(&page->mutex);
        benchmark::ClobberMemory();
        pthread_mutex_unlock(&page->mutex);
    }
    StopRival(page, rival);
    FreeSharedPage(page);
}
BENCHMARK(BM_SharedPthreadMutexTwoProcesses)->UseRealTime();

void BM_NamedOptexTwoProcesses(benchmark::State& state)
{
    const std::string name = LockName("contended");
    TOptex lock(name, -1);
    SharedPage* page = MakeSharedPage();
    const pid_t rival = StartRival(page, [&lock] {
        lock.Acquire();
        benchmark::ClobberMemory();
        lock.Release();
    });
    for (auto _ : state) {
        lock.Acquire();
        benchmark::ClobberMemory();
        lock.Release();
    }
    StopRival(page, rival);
    FreeSharedPage(page);
}
BENCHMARK(BM_NamedOptexTwoProcesses)->UseRealTime();

// ---------------------------------------------------------------- the summary

// The thread's CPU time rather than the wall clock: the machines this runs
// on are shared, and time spent preempted belongs to neither side.
double ThreadNanoseconds()
{
    timespec t{};
    ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) * 1e9 + static_cast<double>(t.tv_nsec);
}

template <class Body>
double NanosecondsPerPair(Body body, std::int64_t pairs)
{
    const double start = ThreadNanoseconds();
    for (std::int64_t i = 0; i < pairs; ++i)
        body();
    return (ThreadNanoseconds() - start) / static_cast<double>(pairs);
}

double Median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

void PrintSummary()
{
    constexpr int kRounds = 21;
    constexpr std::int64_t kPairs = 500000;  // about 10 ms a side
    constexpr double kGoal = 1.5;
    TOptex optex(LockName("summary"), -1);
    SharedPage* robust = MakeSharedPage(true);
    std::mutex plain;
    const auto optexPair = [&] {
        optex.Acquire();
        optex.Release();
    };
    const auto robustPair = [&] {
        pthread_mutex_lock(&robust->mutex);
        pthread_mutex_unlock(&robust->mutex);
    };
    const auto plainPair = [&] {
        plain.lock();
        plain.unlock();
    };
    std::vector<double> optexTimes, robustTimes, plainTimes, ratios, plainRatios;
    for (int round = 0; round < kRounds; ++round) {
        double optexNs = 0, robustNs = 0, plainNs = 0;
        if (round % 2 == 0) {
            optexNs = NanosecondsPerPair(optexPair, kPairs);
            robustNs = NanosecondsPerPair(robustPair, kPairs);
            plainNs = NanosecondsPerPair(plainPair, kPairs);
        } else {
            plainNs = NanosecondsPerPair(plainPair, kPairs);
            robustNs = NanosecondsPerPair(robustPair, kPairs);
            optexNs = NanosecondsPerPair(optexPair, kPairs);
        }
        optexTimes.push_back(optexNs);
        robustTimes.push_back(robustNs);
        plainTimes.push_back(plainNs);
        ratios.push_back(optexNs / robustNs);
        plainRatios.push_back(optexNs / plainNs);
    }
    FreeSharedPage(robust);
    const double ratio = Median(ratios);
    std::printf("\nUncontended acquire + release (thread CPU time), median of %d interleaved rounds:\n", kRounds);
    std::printf("  named optex                        %6.1f ns\n", Median(optexTimes));
    std::printf("  process-shared robust pthread mutex %5.1f ns   optex / it: %.2f (goal <= %.2f: %s)\n",
                Median(robustTimes), ratio, kGoal, ratio <= kGoal ? "met" : "NOT MET");
    std::printf("  std::mutex                         %6.1f ns   optex / it: %.2f\n", Median(plainTimes),
                Median(plainRatios));
}

}  // namespace

int main(int argc, char** argv)
{
    const RunDirectory directory;
    const bool summaryOnly = TakeSummaryOnly(argc, argv);
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    if (!summaryOnly)
        benchmark::RunSpecifiedBenchmarks();
    PrintSummary();
    benchmark::Shutdown();
    return 0;
}
