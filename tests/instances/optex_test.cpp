#include "instances/optex.h"

#include <climits>
#include <cstring>
#include <deque>
#include <thread>
#include <tuple>

#include "ipc_test_support.h"

namespace {

using namespace ipc_test;
using Clock = std::chrono::steady_clock;

std::uint32_t Me()
{
    return platform::CurrentThreadId();
}

// Holders, Depth and OwnerThread, compared in one go.
using State = std::tuple<std::int32_t, std::int32_t, std::uint32_t>;

State Held(const TOptexState& s)
{
    return {s.Holders, s.Depth, s.OwnerThread};
}

template <class Condition>
bool Eventually(Condition condition, std::chrono::milliseconds limit)
{
    for (const auto deadline = Clock::now() + limit; !condition(); std::this_thread::sleep_for(2ms))
        if (Clock::now() >= deadline)
            return false;
    return true;
}

TEST(OptexTest, RecursionUnwindsToAFreeLock)
{
    for (const std::string& name : {std::string(), UniqueName("recursion")}) {
        SCOPED_TRACE(name.empty() ? "unnamed" : "named");
        TOptex lock(name, 10);
        lock.Acquire();
        lock.Acquire();
        ASSERT_TRUE(lock.TryAcquire());
        EXPECT_EQ(Held(lock.Snapshot()), State(3, 3, Me()));
        lock.Release();
        EXPECT_EQ(Held(lock.Snapshot()), State(2, 2, Me()));
        lock.Release();
        lock.Release();
        EXPECT_EQ(Held(lock.Snapshot()), State(0, 0, 0));
    }
}

TEST(OptexTest, AHeldLockIsTriedInVainThenWaitedForAndHandedOver)
{
    TOptex lock(UniqueName("edge"), -1);
    EXPECT_EQ(lock.Snapshot().SpinLimit, platform::ProcessorCount() > 1 ? 4000 : 0);
    lock.Acquire();
    std::atomic<int> stage{0};
    bool tried = true;
    TOptexState afterTry{}, whenHeld{};
    std::uint32_t other = 0;
    std::thread b([&] {
        other = Me();
        tried = lock.TryAcquire();
        afterTry = lock.Snapshot();
        stage = 1;
        lock.Acquire();
        whenHeld = lock.Snapshot();
        stage = 2;
        lock.Release();
    });
    EXPECT_TRUE(Eventually([&] { return stage == 1 && lock.Snapshot().Holders == 2; }, 5s));
    EXPECT_FALSE(tried);
    EXPECT_EQ(Held(afterTry), State(1, 1, Me()));  // the failed try changed nothing
    std::this_thread::sleep_for(120ms);            // a few wait slices
    EXPECT_EQ(stage, 1);
    EXPECT_EQ(Held(lock.Snapshot()), State(2, 1, Me()));
    lock.Release();
    EXPECT_TRUE(Eventually([&] { return stage == 2; }, 2s));  // woken, not timed out
    b.join();
    EXPECT_EQ(Held(whenHeld), State(1, 1, other));
    EXPECT_EQ(Held(lock.Snapshot()), State(0, 0, 0));
}

TEST(OptexTest, ProcessesAndThreadsLoseNoUpdate)
{
    const std::string lockName = UniqueName("count"), regionName = lockName + "_counter";
    constexpr int kProcesses = 3, kThreads = 3, kIterations = 2000;
    std::deque<Helper> helpers;
    for (int i = 0; i < kProcesses; ++i) {
        helpers.emplace_back(std::vector<std::string>{"count", lockName, regionName, std::to_string(kThreads),
                                                      std::to_string(kIterations)});
        ASSERT_EQ(helpers.back().ReadLine(), "ready");
    }
    TSwapFileMapping region(regionName, PageReadWrite, 8);
    TSyncEvent go(true, false, lockName + "_go");
    go.SetEvent();
    for (auto& helper : helpers)
        EXPECT_EQ(helper.ReadLine(20s), "done");  // bounded time
    std::uint64_t counter = 0;
    std::memcpy(&counter, region.MapView(FileMapRead, 8, 0).Memory(), sizeof counter);
    EXPECT_EQ(counter, static_cast<std::uint64_t>(kProcesses * kThreads * kIterations));
    EXPECT_EQ(Held(TOptex(lockName, -1).Snapshot()), State(0, 0, 0));
}

TEST(OptexTest, ALiveHolderEndsTheWaitInATimeoutAndAKilledOneIsTakenOver)
{
    const std::string name = UniqueName("holder");
    Helper holder({"hold", name});  // holds it twice, then never lets go
    const std::string held = holder.ReadLine();
    TOptex lock(name, 10);
    EXPECT_TRUE(lock.AlreadyExisted());
    EXPECT_EQ("held " + std::to_string(lock.Snapshot().OwnerThread), held);  // the same lock in both processes
    lock.SetWaitLimit(300ms);
    const auto start = Clock::now();
    try {
        lock.Acquire();
        ADD_FAILURE() << "took the lock of a live holder";
        lock.Release();
    } catch (const EOptexTimeoutError& error) {
        EXPECT_EQ(error.Message(),
                  "Timed out waiting for a lock held by another thread\r\nWin32: Connection timed out (110)");
    }
    EXPECT_GE(Clock::now() - start, 300ms);
    EXPECT_LT(Clock::now() - start, 3s);
    EXPECT_EQ(lock.Snapshot().Holders, 2);  // the waiter took its count back

    Helper waiter({"acquire", name});
    EXPECT_EQ(waiter.ReadLine(), "try 0 existed 1");
    std::this_thread::sleep_for(120ms);                            // asleep, past its first slice
    holder.Kill(false);                                            // left a zombie, as an uncollected child is
    EXPECT_EQ(waiter.ReadLine(3s), "acquired holders 1 depth 1");  // the dead holder's depth is gone
    EXPECT_EQ(waiter.Wait(), 0);
    EXPECT_EQ(Held(lock.Snapshot()), State(0, 0, 0));
}

TEST(OptexTest, AReusedThreadIdIsNotMistakenForTheHolder)
{
    const std::string name = UniqueName("reused");
    TOptex lock(name, 10);
    TSwapFileMapping stateRegion("Optex_MMF_" + name, PageReadWrite, 16);
    TSwapFileMapping ownerRegion("Optex_Owner_" + name, PageReadWrite, 32);
    auto* state = static_cast<TOptexState*>(stateRegion.MapView(FileMapWrite, 16, 0).Memory());
    auto* owner = static_cast<TOptexOwnerRecord*>(ownerRegion.MapView(FileMapWrite, 32, 0).Memory());
    // A holder that died, whose thread id this thread now carries.
    const platform::ThreadIdentity me = platform::CurrentThreadIdentity();
    ASSERT_NE(me.startTime, 0u) << "needs /proc";
    *owner = TOptexOwnerRecord{2, me.pid, me.tid, 0, me.startTime - 1, me.pidNamespace};
    *state = TOptexState{10, 1, Me(), 1};
    EXPECT_FALSE(lock.TryAcquire());
    EXPECT_EQ(Held(lock.Snapshot()), State(1, 1, Me()));
    lock.Acquire();  // taken over within the wait limit, or EOptexTimeoutError
    EXPECT_EQ(Held(lock.Snapshot()), State(1, 1, Me()));
    EXPECT_EQ(owner->StartTime, me.startTime);
    lock.Release();
    EXPECT_EQ(Held(lock.Snapshot()), State(0, 0, 0));
}

TEST(OptexTest, NonsenseInTheSharedStateStaysHarmless)
{
    // Another process may leave anything in the shared words: the lock may
    // refuse or time out, but must neither crash nor hang.
    const std::string name = UniqueName("nonsense");
    TOptex lock(name, 10);
    lock.SetWaitLimit(200ms);
    TSwapFileMapping stateRegion("Optex_MMF_" + name, PageReadWrite, 16);
    TSwapFileMapping ownerRegion("Optex_Owner_" + name, PageReadWrite, 32);
    auto* state = static_cast<TOptexState*>(stateRegion.MapView(FileMapWrite, 16, 0).Memory());
    auto* owner = static_cast<TOptexOwnerRecord*>(ownerRegion.MapView(FileMapWrite, 32, 0).Memory());
    *state = TOptexState{INT_MAX, INT_MIN, 0xFFFFFFFFu, INT_MAX};
    *owner = TOptexOwnerRecord{1, -1, INT_MIN, 0, ~0ull, 0};
    const auto start = Clock::now();
    EXPECT_FALSE(lock.TryAcquire());
    try {
        lock.Acquire();
        lock.Release();
    } catch (const ESystemError&) {
    }
    EXPECT_LT(Clock::now() - start, 3s);

    *state = TOptexState{-5, 0, 0, INT_MIN};
    *owner = TOptexOwnerRecord{0, 0, 0, 0, 0, 0};
    ASSERT_TRUE(lock.TryAcquire());
    lock.Release();
    EXPECT_EQ(Held(lock.Snapshot()), State(0, 0, 0));
}

}  // namespace
