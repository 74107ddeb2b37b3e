// Work side by side on a list read as it goes, with results in list order.

#include "cli/side_by_side.h"

#include <algorithm>
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

constexpr std::uint64_t kMiB = std::uint64_t{1} << 20;

// A list of made-up items: each slot holds its item's number, so that what
// work and done see can be told apart by item.
struct List {
    std::vector<ItemFacts> facts;
    Slots<std::size_t> slots;
    std::size_t listed = 0;
    std::atomic<bool> ended{false};

    explicit List(std::vector<ItemFacts> items) : facts(std::move(items)) {}
    explicit List(std::size_t count) : facts(count) {}

    void Into(SideBySide& run)
    {
        run.next = [this](std::size_t slot) -> std::optional<ItemFacts> {
            if (listed == facts.size()) {
                ended = true;
                return std::nullopt;
            }
            slots[slot] = listed;
            return facts[listed++];
        };
    }
};

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
        List list(kCount);
        Log log(kCount);
        SideBySide run;
        run.threads = threads;
        list.Into(run);
        // The first items take longest, so that later ones end first.
        run.work = [&](std::size_t slot) {
            const std::size_t i = list.slots[slot];
            std::this_thread::sleep_for(std::chrono::milliseconds(2 * (kCount - i)));
            const std::lock_guard lock(log.mutex);
            ++log.finished[i];
        };
        run.done = [&](std::size_t slot) {
            const std::size_t i = list.slots[slot];
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
    List list(2);
    SideBySide run;
    run.threads = 2;
    list.Into(run);
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

// Items heavier than one window each start alone, the heaviest first, once
// the list is known; standard input's items run on the caller, in turn;
// items without work are taken as they are.
TEST(SideBySide, TheHeaviestStartFirstAndInOrderItemsRunOnTheCallerInTurn)
{
    const std::vector<ItemFacts> facts = {
        {2 * kMiB, true, false, 0},  {50 * kMiB, true, false, 0},  {0, true, true, 0},
        {50 * kMiB, true, false, 0}, {900 * kMiB, true, false, 0}, {0, true, true, 0},
        {3 * kMiB, true, false, 0},  {0, false, false, 0},         {7 * kMiB, true, false, 0},
    };
    const std::size_t count = facts.size();
    List list(facts);
    Log log(count);
    std::vector<std::size_t> workOnCallerBeforeDone;
    std::vector<std::size_t> noWork;
    SideBySide run;
    run.threads = 1;  // one thread: the order it takes the items in shows
    list.Into(run);
    run.work = [&](std::size_t slot) {
        const std::size_t i = list.slots[slot];
        if (facts[i].onCaller) {
            const std::lock_guard lock(log.mutex);
            workOnCallerBeforeDone.push_back(log.done.size());
            log.workThread[i] = std::this_thread::get_id();
            return;
        }
        // The first job waits until the whole list is known, so that the
        // rest go by weight alone.
        for (int wait = 0; wait < 2000 && !list.ended; ++wait)
            std::this_thread::sleep_for(1ms);
        const std::lock_guard lock(log.mutex);
        log.workThread[i] = std::this_thread::get_id();
        log.started.push_back(i);
    };
    run.done = [&](std::size_t slot) {
        const std::lock_guard lock(log.mutex);
        log.done.push_back(list.slots[slot]);
    };
    RunSideBySide(run);

    ASSERT_EQ(log.started.size(), 6u);
    std::vector<std::size_t> rest;
    for (const std::size_t i : {4, 1, 3, 8, 6, 0})  // by weight, ties in list order
        if (i != log.started.front())
            rest.push_back(i);
    EXPECT_EQ(std::vector<std::size_t>(log.started.begin() + 1, log.started.end()), rest);
    EXPECT_EQ(log.done, (std::vector<std::size_t>{0, 1, 2, 3, 4, 5, 6, 7, 8}));
    EXPECT_EQ(workOnCallerBeforeDone, (std::vector<std::size_t>{2, 5})) << "each just before it is taken";
    for (const std::size_t i : {2, 5})
        EXPECT_EQ(log.workThread[i], std::this_thread::get_id()) << "item " << i;
    for (const std::size_t i : {0, 1, 3, 4, 6, 8})
        EXPECT_NE(log.workThread[i], std::this_thread::get_id()) << "item " << i;
}

// The list is read no further ahead of the oldest item not yet taken than
// the look-ahead allows, in items and in the list's bytes.
TEST(SideBySide, TheListIsReadNoFurtherThanTheLookAhead)
{
    for (const std::size_t bytes : {std::size_t{0}, std::size_t{1} << 20}) {
        const std::size_t count = bytes == 0 ? kLookAheadItems + 300 : 40;
        List list(std::vector<ItemFacts>(count, ItemFacts{1, true, false, bytes}));
        std::atomic<std::size_t> taken{0};
        std::size_t furthest = 0;
        std::atomic<std::size_t> listed{0};
        SideBySide run;
        run.threads = 2;
        list.Into(run);
        const auto listNext = run.next;
        run.next = [&](std::size_t slot) {
            furthest = std::max(furthest, list.listed - taken);
            const auto facts = listNext(slot);
            listed = list.listed;
            return facts;
        };
        const std::size_t bound = bytes == 0 ? kLookAheadItems : kLookAheadBytes / bytes;
        // The first item holds the others back until the list has filled
        // the look-ahead (or long enough to show it would not stop).
        run.work = [&](std::size_t slot) {
            for (int wait = 0; list.slots[slot] == 0 && wait < 2000 && listed < bound; ++wait)
                std::this_thread::sleep_for(1ms);
            if (list.slots[slot] == 0)
                std::this_thread::sleep_for(20ms);
        };
        run.done = [&](std::size_t) { ++taken; };
        RunSideBySide(run);
        EXPECT_EQ(taken, count);
        EXPECT_EQ(furthest, bound - 1) << "items of " << bytes << " bytes of list";
    }
}

TEST(SideBySide, AFailureStopsTheRunAndTravelsToTheCaller)
{
    struct Broken : std::runtime_error {
        Broken() : std::runtime_error("broken") {}
    };
    for (const unsigned threads : {0u, 1u}) {
        std::atomic<int> worked{0};
        std::vector<std::size_t> done;
        // Heavier than a window, so that each runs alone, in list order.
        List list(std::vector<ItemFacts>(6, ItemFacts{2 * kMiB, true, false, 0}));
        SideBySide run;
        run.threads = threads;
        list.Into(run);
        run.work = [&](std::size_t slot) {
            ++worked;
            if (list.slots[slot] == 2)
                throw Broken();
        };
        run.done = [&](std::size_t slot) { done.push_back(list.slots[slot]); };
        EXPECT_THROW(RunSideBySide(run), Broken) << threads << " threads";
        EXPECT_EQ(done, (std::vector<std::size_t>{0, 1})) << threads << " threads";
        EXPECT_EQ(worked.load(), 3) << "no item starts after the failure, " << threads << " threads";
    }

    // A failure in taking a result, or in reading the list, ends the run
    // just as well.
    for (const bool inList : {false, true}) {
        std::atomic<int> worked{0};
        List list(50);
        SideBySide run;
        run.threads = 2;
        list.Into(run);
        if (inList) {
            const auto listNext = run.next;
            run.next = [&list, listNext](std::size_t slot) {
                if (list.listed == 10)
                    throw Broken();
                return listNext(slot);
            };
        }
        run.work = [&](std::size_t) {
            ++worked;
            std::this_thread::sleep_for(1ms);
        };
        run.done = [&](std::size_t slot) {
            if (!inList && list.slots[slot] == 0)
                throw Broken();
        };
        EXPECT_THROW(RunSideBySide(run), Broken) << (inList ? "in the list" : "in taking");
        EXPECT_LT(worked.load(), inList ? 11 : 50);
    }
}

}  // namespace
