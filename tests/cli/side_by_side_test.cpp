// Work side by side with results in list order.

#include "cli/side_by_side.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <stdexcept>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

namespace {

using namespace std::chrono_literals;

// What a run did, safe to note from any thread.
struct Log {
    std::mutex mutex;
    std::vector<std::size_t> started;
    std::vector<std::size_t> done;
    std::vector<std::thread::id> workThread;
    std::vector<int> finished;

    explicit Log(std::size_t count) : workThread(count), finished(count, 0) {}
};

TEST(SideBySide, ResultsAreTakenInListOrderWhateverOrderTheWorkEndsIn)
{
    for (const unsigned threads : {0u, 1u, 2u, 4u}) {
        constexpr std::size_t kCount = 12;
        Log log(kCount);
        SideBySide run;
        run.count = kCount;
        run.threads = threads;
        // The first items take longest, so that later ones end first.
        run.work = [&](std::size_t i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(2 * (kCount - i)));
            const std::lock_guard lock(log.mutex);
            ++log.finished[i];
        };
        run.done = [&](std::size_t i) {
            const std::lock_guard lock(log.mutex);
            EXPECT_EQ(log.finished[i], 1) << "item " << i << " is taken before its work ended";
            log.done.push_back(i);
        };
        RunSideBySide(run);
        std::vector<std::size_t> expected(kCount);
        for (std::size_t i = 0; i < kCount; ++i)
            expected[i] = i;
        EXPECT_EQ(log.done, expected) << threads << " threads";
        EXPECT_EQ(log.finished, std::vector<int>(kCount, 1)) << threads << " threads";
    }
}

TEST(SideBySide, ItemsRunAtTheSameTime)
{
    // Each of two items waits for the other to have begun: one after the
    // other, the first would wait in vain.
    std::mutex mutex;
    std::condition_variable arrived;
    int begun = 0;
    bool bothMet = true;
    SideBySide run;
    run.count = 2;
    run.threads = 2;
    run.work = [&](std::size_t) {
        std::unique_lock lock(mutex);
        ++begun;
        arrived.notify_all();
        if (!arrived.wait_for(lock, 10s, [&] { return begun == 2; }))
            bothMet = false;
    };
    run.done = [](std::size_t) {};
    RunSideBySide(run);
    EXPECT_TRUE(bothMet);
}

TEST(SideBySide, TheHeaviestStartFirstAndInOrderItemsRunOnTheCallerInTurn)
{
    constexpr std::size_t kCount = 7;
    const std::uint64_t weights[kCount] = {1, 50, 0, 50, 900, 0, 3};
    const bool inOrder[kCount] = {false, false, true, false, false, true, false};
    Log log(kCount);
    std::vector<std::size_t> doneOnCaller;
    std::vector<std::size_t> workOnCallerBeforeDone;
    SideBySide run;
    run.count = kCount;
    run.threads = 1;  // one thread: the order it takes the items in shows
    run.weight = [&](std::size_t i) { return weights[i]; };
    run.inOrder = [&](std::size_t i) { return inOrder[i]; };
    run.work = [&](std::size_t i) {
        const std::lock_guard lock(log.mutex);
        log.workThread[i] = std::this_thread::get_id();
        if (!inOrder[i])
            log.started.push_back(i);
        else
            workOnCallerBeforeDone.push_back(log.done.size());
    };
    run.done = [&](std::size_t i) {
        const std::lock_guard lock(log.mutex);
        log.done.push_back(i);
    };
    RunSideBySide(run);

    EXPECT_EQ(log.started, (std::vector<std::size_t>{4, 1, 3, 6, 0}));  // by weight, ties in list order
    EXPECT_EQ(log.done, (std::vector<std::size_t>{0, 1, 2, 3, 4, 5, 6}));
    EXPECT_EQ(workOnCallerBeforeDone, (std::vector<std::size_t>{2, 5})) << "each just before it is taken";
    for (std::size_t i = 0; i < kCount; ++i)
        EXPECT_EQ(log.workThread[i] == std::this_thread::get_id(), inOrder[i]) << "item " << i;
}

TEST(SideBySide, AFailureStopsTheRunAndTravelsToTheCaller)
{
    struct Broken : std::runtime_error {
        Broken() : std::runtime_error("broken") {}
    };
    for (const unsigned threads : {0u, 1u}) {
        std::atomic<int> worked{0};
        std::vector<std::size_t> done;
        SideBySide run;
        run.count = 6;
        run.threads = threads;
        run.work = [&](std::size_t i) {
            ++worked;
            if (i == 2)
                throw Broken();
        };
        run.done = [&](std::size_t i) { done.push_back(i); };
        EXPECT_THROW(RunSideBySide(run), Broken) << threads << " threads";
        EXPECT_EQ(done, (std::vector<std::size_t>{0, 1})) << threads << " threads";
        EXPECT_EQ(worked.load(), 3) << "no item starts after the failure, " << threads << " threads";
    }

    // A failure in taking a result ends the run just as well.
    std::atomic<int> worked{0};
    SideBySide run;
    run.count = 50;
    run.threads = 2;
    run.work = [&](std::size_t) {
        ++worked;
        std::this_thread::sleep_for(1ms);
    };
    run.done = [](std::size_t i) {
        if (i == 0)
            throw Broken();
    };
    EXPECT_THROW(RunSideBySide(run), Broken);
    EXPECT_LT(worked.load(), 50);
}

}  // namespace
