// Work side by side on a list read as it goes, with results in list order.

#include "cli/side_by_side.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdlib>
#include <functional>
#include <future>
#include <map>
#include <memory>
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

// Items that hold a descriptor each until they are taken (a walk's files
// their folders): the list is read only while they hold fewer than the
// limit, and on once items are taken.
TEST(SideBySide, TheListIsReadNoFurtherThanItsDescriptorsAllow)
{
    for (const unsigned threads : {0u, 2u}) {
        constexpr std::size_t kCount = 300;
        constexpr std::size_t kLimit = 7;
        List list(std::vector<ItemFacts>(kCount, ItemFacts{1, true, false, 10}));
        std::atomic<std::size_t> held{0};
        std::atomic<std::size_t> most{0};
        std::atomic<std::size_t> taken{0};
        SideBySide run;
        run.threads = threads;
        run.heldDescriptors = &held;
        run.descriptorLimit = kLimit;
        list.Into(run);
        const auto listNext = run.next;
        run.next = [&](std::size_t slot) {
            const auto facts = listNext(slot);
            if (facts)
                most = std::max<std::size_t>(most, ++held);
            return facts;
        };
        // The first item holds the others back long enough for the list to
        // run past the limit, would it.
        run.work = [&](std::size_t slot) {
            if (list.slots[slot] == 0)
                std::this_thread::sleep_for(50ms);
        };
        run.done = [&](std::size_t) {
            ++taken;
            --held;
        };
        RunSideBySide(run);
        EXPECT_EQ(taken, kCount) << threads;
        EXPECT_EQ(most, threads == 0 ? 1u : kLimit) << threads;
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

// Items in flight, made up: at most `width` at once, each ending after a
// number of Advance calls of its own, so that they end out of list order.
struct Flight {
    std::mutex mutex;
    std::vector<int> begun;  // by item
    std::size_t mostHeld = 0;
    std::vector<std::size_t> heldAtWork;  // what the worker's flight held as `work` ran, per item sent there
    // Items of this weight and more are better alone; the first question
    // about each such item, with what would be beside it.
    std::uint64_t aloneFrom = UINT64_MAX;
    std::map<std::size_t, std::pair<std::uint64_t, std::uint64_t>> asked;
    std::function<void(std::size_t item)> onBegin;
    std::function<void(const std::vector<std::size_t>& held)> onAdvance;
};

class MadeUpFlight : public ItemsInFlight {
public:
    MadeUpFlight(List& list, Flight& flight, std::size_t width) : list_(list), flight_(flight), width_(width) {}
    ~MadeUpFlight() override
    {
        const std::lock_guard lock(mutex_);
        t_current = nullptr;
    }

    std::size_t Room() const override { return width_ - held_.size(); }
    std::uint64_t WeightLeft() const override
    {
        std::uint64_t most = 0;
        for (const auto& [slot, rounds] : held_)
            most = std::max(most, list_.facts[list_.slots[slot]].weight);
        return most;
    }
    bool Alone(std::size_t slot, std::uint64_t weight, std::uint64_t beside, std::uint64_t share) const override
    {
        const std::lock_guard lock(flight_.mutex);
        flight_.asked.emplace(list_.slots[slot], std::pair{beside, share});
        return weight >= flight_.aloneFrom;
    }
    void Begin(std::size_t slot) override
    {
        t_current = this;
        const std::size_t item = list_.slots[slot];
        if (flight_.onBegin)
            flight_.onBegin(item);
        held_.emplace_back(slot, 1 + (list_.facts.size() - item) % 5);
        const std::lock_guard lock(flight_.mutex);
        ++flight_.begun.at(item);
        flight_.mostHeld = std::max(flight_.mostHeld, held_.size());
    }
    void Advance(std::vector<std::size_t>& ended) override
    {
        if (flight_.onAdvance) {
            std::vector<std::size_t> items;
            for (const auto& [slot, rounds] : held_)
                items.push_back(list_.slots[slot]);
            flight_.onAdvance(items);
        }
        while (ended.empty()) {
            for (auto it = held_.begin(); it != held_.end();) {
                if (--it->second == 0) {
                    ended.push_back(it->first);
                    it = held_.erase(it);
                } else {
                    ++it;
                }
            }
        }
    }
    // The flight of the calling worker, if it has begun an item.
    static std::size_t HeldByThisThread() { return t_current == nullptr ? 0 : t_current->held_.size(); }

private:
    static thread_local MadeUpFlight* t_current;
    std::mutex mutex_;
    List& list_;
    Flight& flight_;
    const std::size_t width_;
    std::vector<std::pair<std::size_t, std::size_t>> held_;  // slot, Advance calls left
};

thread_local MadeUpFlight* MadeUpFlight::t_current = nullptr;

// Runs the list and fails, rather than hangs, should it not end in time.
template <class Body>
void WithinTenSeconds(Body&& body)
{
    auto done = std::async(std::launch::async, std::forward<Body>(body));
    if (done.wait_for(10s) != std::future_status::ready) {
        ADD_FAILURE() << "the run did not end";
        std::_Exit(1);
    }
    done.get();
}

// An item heavier than a window wakes an idle worker at once, even while
// another worker is busy and no batch of lighter items has gathered.
TEST(SideBySide, AHeavyItemStartsAtOnceOnAnIdleWorker)
{
    const std::vector<ItemFacts> facts = {
        {1024, true, false, 0}, {1024, true, false, 0}, {2 * kMiB, true, false, 0}, {1024, true, false, 0}};
    List list(facts);
    std::mutex mutex;
    std::condition_variable changed;
    bool secondDone = false;
    bool heavyStarted = false;
    bool firstWaitedInVain = false;
    SideBySide run;
    run.threads = 2;
    list.Into(run);
    // The heavy item comes once the worker that did the second item has had
    // time to go idle, while the first item still holds the other worker;
    // the list goes on only once it has started (the list's end would wake
    // every worker).
    const auto listNext = run.next;
    run.next = [&](std::size_t slot) {
        if (list.listed == 2) {
            std::unique_lock lock(mutex);
            changed.wait_for(lock, 5s, [&] { return secondDone; });
            lock.unlock();
            std::this_thread::sleep_for(100ms);
        } else if (list.listed == 3) {
            std::unique_lock lock(mutex);
            changed.wait_for(lock, 4s, [&] { return heavyStarted; });
        }
        return listNext(slot);
    };
    run.work = [&](std::size_t slot) {
        std::unique_lock lock(mutex);
        switch (list.slots[slot]) {
        case 0:
            firstWaitedInVain = !changed.wait_for(lock, 3s, [&] { return heavyStarted; });
            break;
        case 1:
            secondDone = true;
            break;
        case 2:
            heavyStarted = true;
            break;
        default:
            break;
        }
        changed.notify_all();
    };
    run.done = [](std::size_t) {};
    WithinTenSeconds([&] { RunSideBySide(run); });
    EXPECT_FALSE(firstWaitedInVain) << "the heavy item waited for a busy worker while another was idle";
}

// With items in flight each worker keeps several at once, no more than it
// has room for; every item is begun once and taken in list order, whatever
// order they end in.
TEST(SideBySide, ItemsInFlightAreTakenInListOrder)
{
    for (const unsigned threads : {1u, 2u}) {
        constexpr std::size_t kCount = 700;
        std::vector<ItemFacts> facts(kCount);
        for (std::size_t i = 0; i < kCount; ++i)
            facts[i] = {(i * 7919) % (kMiB + 1), true, false, 10};
        List list(facts);
        Flight flight;
        flight.begun.assign(kCount, 0);
        std::vector<std::size_t> done;
        std::atomic<int> worked{0};
        SideBySide run;
        run.threads = threads;
        list.Into(run);
        run.work = [&](std::size_t) { ++worked; };
        run.inFlight = [&] { return std::make_unique<MadeUpFlight>(list, flight, 16); };
        run.done = [&](std::size_t slot) { done.push_back(list.slots[slot]); };
        WithinTenSeconds([&] { RunSideBySide(run); });
        std::vector<std::size_t> expected(kCount);
        for (std::size_t i = 0; i < kCount; ++i)
            expected[i] = i;
        EXPECT_EQ(done, expected) << threads << " threads";
        EXPECT_EQ(flight.begun, std::vector<int>(kCount, 1)) << threads << " threads";
        EXPECT_EQ(worked.load(), 0) << "no item of a window or less goes alone";
        EXPECT_LE(flight.mostHeld, 16u);
        EXPECT_GT(flight.mostHeld, 1u);
    }
}

// An item that the items in flight would rather see worked on alone goes to
// `work`, by a worker that holds nothing else; they are asked about items
// heavier than a window, with the heaviest that would be beside it (held,
// taken with it, or next when enough wait for every worker) and the
// worker's share of the rest.
TEST(SideBySide, AnItemBetterAloneIsWorkedOnAlone)
{
    std::vector<ItemFacts> facts(4, ItemFacts{3 * kMiB, true, false, 0});
    facts.resize(104, ItemFacts{1024, true, false, 0});
    facts.push_back({900 * kMiB, true, false, 0});
    facts.resize(200, ItemFacts{2048, true, false, 0});
    for (const unsigned threads : {1u, 2u}) {
        List list(facts);
        Flight flight;
        flight.begun.assign(facts.size(), 0);
        flight.aloneFrom = 500 * kMiB;
        std::mutex mutex;
        std::vector<std::size_t> alone;
        std::vector<std::size_t> done;
        SideBySide run;
        run.threads = threads;
        list.Into(run);
        run.work = [&](std::size_t slot) {
            const std::lock_guard lock(mutex);
            alone.push_back(list.slots[slot]);
            flight.heldAtWork.push_back(MadeUpFlight::HeldByThisThread());
        };
        // The workers wait until the whole list is known, so that the
        // weights alone decide.
        run.inFlight = [&] {
            for (int wait = 0; wait < 2000 && !list.ended; ++wait)
                std::this_thread::sleep_for(1ms);
            return std::make_unique<MadeUpFlight>(list, flight, 16);
        };
        run.done = [&](std::size_t slot) { done.push_back(list.slots[slot]); };
        WithinTenSeconds([&] { RunSideBySide(run); });
        EXPECT_EQ(alone, std::vector<std::size_t>{104}) << threads << " threads";
        EXPECT_EQ(flight.heldAtWork, std::vector<std::size_t>{0}) << "the worker held items as it went alone";
        EXPECT_EQ(done.size(), facts.size());
        for (std::size_t i = 0; i < facts.size(); ++i)
            EXPECT_EQ(flight.begun[i], i == 104 ? 0 : 1) << "item " << i;
        std::vector<std::size_t> asked;
        for (const auto& [item, question] : flight.asked)
            asked.push_back(item);
        EXPECT_EQ(asked, (std::vector<std::size_t>{0, 1, 2, 3, 104})) << "asked about items of a window or less";
        if (threads == 1) {
            // Asked first, with the whole list waiting behind it.
            EXPECT_EQ(flight.asked[104].first, 3 * kMiB);
            EXPECT_EQ(flight.asked[104].second, 4 * 3 * kMiB + 100 * 1024 + 95 * 2048);
        }
    }

    // The next heaviest is the heavier of the top's two children in the
    // heap: here the lighter of them was listed first.
    List list(
        {{900 * kMiB, true, false, 0}, {2 * kMiB, true, false, 0}, {3 * kMiB, true, false, 0}, {1024, true, false, 0}});
    Flight flight;
    flight.begun.assign(4, 0);
    flight.aloneFrom = 500 * kMiB;
    SideBySide run;
    run.threads = 1;
    list.Into(run);
    run.work = [](std::size_t) {};
    run.inFlight = [&] {
        for (int wait = 0; wait < 2000 && !list.ended; ++wait)
            std::this_thread::sleep_for(1ms);
        return std::make_unique<MadeUpFlight>(list, flight, 16);
    };
    run.done = [](std::size_t) {};
    WithinTenSeconds([&] { RunSideBySide(run); });
    ASSERT_EQ(flight.asked.count(0), 1u);
    EXPECT_EQ(flight.asked[0].first, 3 * kMiB) << "the next heaviest was looked for in one child only";
}

// A failure of the items in flight ends the run: the items taken before it
// are those that ended before it, in list order; the worker begins no item
// after it; the failure travels to the caller.
TEST(SideBySide, AFailureInFlightStopsTheRun)
{
    struct Broken : std::runtime_error {
        Broken() : std::runtime_error("broken") {}
    };
    for (const auto& [inBegin, threads] : {std::pair{false, 1u}, std::pair{true, 1u}, std::pair{false, 2u}}) {
        SCOPED_TRACE(std::string(inBegin ? "in Begin, " : "in Advance, ") + std::to_string(threads) + " threads");
        List list(std::vector<ItemFacts>(300, ItemFacts{4096, true, false, 0}));
        Flight flight;
        flight.begun.assign(300, 0);
        std::atomic<bool> failed{false};
        std::atomic<int> begunAfter{0};
        if (inBegin) {
            flight.onBegin = [&](std::size_t item) {
                if (failed)
                    ++begunAfter;
                if (item == 40) {
                    failed = true;
                    throw Broken();
                }
            };
        } else {
            flight.onAdvance = [&](const std::vector<std::size_t>& held) {
                if (std::find(held.begin(), held.end(), 40) != held.end()) {
                    failed = true;
                    throw Broken();
                }
            };
            flight.onBegin = [&](std::size_t) {
                if (failed)
                    ++begunAfter;
            };
        }
        std::vector<std::size_t> done;
        SideBySide run;
        run.threads = threads;
        list.Into(run);
        run.work = [](std::size_t) {};
        run.inFlight = [&] { return std::make_unique<MadeUpFlight>(list, flight, 16); };
        run.done = [&](std::size_t slot) { done.push_back(list.slots[slot]); };
        WithinTenSeconds([&] { EXPECT_THROW(RunSideBySide(run), Broken); });
        EXPECT_LT(done.size(), 41u);
        for (std::size_t i = 0; i < done.size(); ++i)
            EXPECT_EQ(done[i], i);
        // Another worker may begin items until it hears of the failure.
        if (threads == 1) {
            EXPECT_EQ(begunAfter.load(), 0);
        }
    }
}

// One at a time, a failing item ends the run even when a lighter item of
// its batch, begun after it, comes before it in the list.
TEST(SideBySide, AFailureEndsTheRunWhateverTheOrderOfItsBatch)
{
    struct Broken : std::runtime_error {
        Broken() : std::runtime_error("broken") {}
    };
    std::vector<ItemFacts> facts;
    for (std::size_t i = 0; i < 40; ++i)
        facts.push_back({100 + i, true, false, 0});  // heavier down the list: a batch begins at its end
    List list(facts);
    std::vector<std::size_t> done;
    SideBySide run;
    run.threads = 1;
    list.Into(run);
    run.work = [&](std::size_t slot) {
        if (list.slots[slot] > 0)
            throw Broken();
    };
    run.done = [&](std::size_t slot) { done.push_back(list.slots[slot]); };
    WithinTenSeconds([&] { EXPECT_THROW(RunSideBySide(run), Broken); });
    EXPECT_LE(done.size(), 1u);
}

}  // namespace
