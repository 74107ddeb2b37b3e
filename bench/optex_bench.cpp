// Acquire + release of the named optex against std::mutex, a process-shared
// pthread mutex and a process-shared robust one (what the optex's ownership
// rests on), uncontended and with a second process hammering the same lock.

#include <pthread.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <mutex>
#include <string>

#include <benchmark/benchmark.h>

#include "bench/run_directory.h"

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

}  // namespace

int main(int argc, char** argv)
{
    const RunDirectory directory;
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
