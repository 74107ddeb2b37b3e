#include "instances/optex.h"

#include <sys/stat.h>

#include <climits>
#include <cstring>
#include <thread>

#include "ipc_test_support.h"
#include "platform/private_dir.h"

namespace {

using namespace ipc_test;

class OptexTest : public ::testing::Test {
protected:
    void SetUp() override { UseTestRuntimeDir(); }

    static std::uint32_t Me() { return platform::CurrentThreadId(); }

    template <class Condition>
    static bool Eventually(Condition condition, std::chrono::milliseconds limit = 5s)
    {
        const auto deadline = std::chrono::steady_clock::now() + limit;
        while (!condition()) {
            if (std::chrono::steady_clock::now() >= deadline)
                return false;
            std::this_thread::sleep_for(2ms);
        }
        return true;
    }

    // The raw shared bytes of a named lock, as another process sees them.
    struct RawLock {
        explicit RawLock(const std::string& name)
            : stateRegion("Optex_MMF_" + name, PageReadWrite, 16),
              ownerRegion("Optex_Owner_" + name, PageReadWrite, 32),
              state(static_cast<TOptexState*>(stateRegion.MapView(FileMapWrite, 16, 0).Memory())),
              owner(static_cast<TOptexOwnerRecord*>(ownerRegion.MapView(FileMapWrite, 32, 0).Memory()))
        {
        }
        TSwapFileMapping stateRegion;
        TSwapFileMapping ownerRegion;
        TOptexState* state;
        TOptexOwnerRecord* owner;
    };
};

void ExpectState(const TOptexState& state, std::int32_t holders, std::int32_t depth, std::uint32_t owner)
{
    EXPECT_EQ(state.Holders, holders);
    EXPECT_EQ(state.Depth, depth);
    EXPECT_EQ(state.OwnerThread, owner);
}

TEST_F(OptexTest, RecursionUnwindsToAFreeLock)
{
    for (const std::string& name : {std::string(), UniqueName("recursion")}) {
        TOptex lock(name, 10);
        EXPECT_EQ(lock.IsLocalOnly(), name.empty());
        lock.Acquire();
        lock.Acquire();
        ASSERT_TRUE(lock.TryAcquire());
        ExpectState(lock.Snapshot(), 3, 3, Me());
        lock.Release();
        ExpectState(lock.Snapshot(), 2, 2, Me());
        lock.Release();
        lock.Release();
        ExpectState(lock.Snapshot(), 0, 0, 0);
    }
}

TEST_F(OptexTest, AnotherThreadTriesInVainThenWaitsForTheHandOver)
{
    TOptex lock(UniqueName("edge"), 10);
    lock.Acquire();
    const TOptexState held = lock.Snapshot();
    std::atomic<bool> tried{false}, triedResult{true}, acquired{false}, release{false};
    std::atomic<std::uint32_t> otherId{0};
    TOptexState seenByOther{};
    std::thread other([&] {
        otherId = Me();
        triedResult = lock.TryAcquire();
        tried = true;
        lock.Acquire();
        seenByOther = lock.Snapshot();
        acquired = true;
        while (!release)
            std::this_thread::sleep_for(1ms);
        lock.Release();
    });
    ASSERT_TRUE(Eventually([&] { return tried.load(); }));
    EXPECT_FALSE(triedResult);
    ASSERT_TRUE(Eventually([&] { return lock.Snapshot().Holders == 2; }));
    ExpectState(lock.Snapshot(), 2, held.Depth, held.OwnerThread);
    EXPECT_FALSE(acquired);
    lock.Release();
    ASSERT_TRUE(Eventually([&] { return acquired.load(); }, 2s));
    ExpectState(seenByOther, 1, 1, otherId);
    release = true;
    other.join();
    ExpectState(lock.Snapshot(), 0, 0, 0);
}

TEST_F(OptexTest, SpinLimitAndStateAreSharedByName)
{
    const bool multiprocessor = platform::ProcessorCount() > 1;
    const std::string name = UniqueName("spin");
    TOptex first(name, -1);
    EXPECT_FALSE(first.AlreadyExisted());
    EXPECT_EQ(first.Snapshot().SpinLimit, multiprocessor ? 4000 : 0);
    TOptex second(name, 7);
    EXPECT_TRUE(second.AlreadyExisted());
    EXPECT_EQ(first.Snapshot().SpinLimit, multiprocessor ? 7 : 0);

    RawLock raw(name);
    EXPECT_TRUE(raw.stateRegion.AlreadyExisted());
    first.Acquire();
    ASSERT_TRUE(second.TryAcquire());  // the same thread, through another object of the name
    EXPECT_EQ(first.Snapshot().Depth, 2);
    second.Release();
    std::int32_t words[4];
    std::memcpy(words, raw.state, sizeof words);
    EXPECT_EQ(words[0], multiprocessor ? 7 : 0);
    EXPECT_EQ(words[1], 1);
    EXPECT_EQ(static_cast<std::uint32_t>(words[2]), Me());
    EXPECT_EQ(words[3], 1);
    first.Release();

    TOptex local("", -1);
    EXPECT_TRUE(local.IsLocalOnly());
    EXPECT_FALSE(local.AlreadyExisted());
}

TEST_F(OptexTest, ProcessesAndThreadsLoseNoUpdate)
{
    const std::string lockName = UniqueName("count");
    const std::string regionName = lockName + "_counter";
    constexpr int kProcesses = 3, kThreads = 3, kIterations = 2000;
    std::vector<std::unique_ptr<Helper>> helpers;
    for (int i = 0; i < kProcesses; ++i) {
        helpers.push_back(std::make_unique<Helper>(std::vector<std::string>{
            "count", lockName, regionName, std::to_string(kThreads), std::to_string(kIterations)}));
        ASSERT_EQ(helpers.back()->ReadLine(), "ready");
    }
    TSwapFileMapping region(regionName, PageReadWrite, 64);
    ASSERT_TRUE(region.AlreadyExisted());
    const auto start = std::chrono::steady_clock::now();
    for (auto& helper : helpers)
        helper->Send("go");
    for (auto& helper : helpers)
        EXPECT_EQ(helper->ReadLine(30s), "done 0");
    EXPECT_LT(std::chrono::steady_clock::now() - start, 30s);
    std::uint64_t counter = 0;
    std::memcpy(&counter, static_cast<char*>(region.MapView(FileMapRead, 64, 0).Memory()) + 8, sizeof counter);
    EXPECT_EQ(counter, static_cast<std::uint64_t>(kProcesses * kThreads * kIterations));
    TOptex lock(lockName, -1);
    ExpectState(lock.Snapshot(), 0, 0, 0);
}

TEST_F(OptexTest, TryAndAcquireAcrossProcesses)
{
    const std::string name = UniqueName("across");
    TOptex lock(name, 5);
    lock.Acquire();
    {
        Helper trier({"try", name});
        EXPECT_EQ(trier.ReadLine(), "try 0 existed 1");
    }
    lock.Release();
    {
        Helper trier({"try", name});
        EXPECT_EQ(trier.ReadLine(), "try 1 existed 1");
    }
    Helper holder({"hold", name});
    const std::string held = holder.ReadLine();
    ASSERT_EQ(held.rfind("held ", 0), 0u);
    EXPECT_EQ(std::to_string(lock.Snapshot().OwnerThread), held.substr(5));  // its system thread id
    EXPECT_FALSE(lock.TryAcquire());
    Helper waiter({"acquire", name, "5000"});
    ASSERT_EQ(waiter.ReadLine(), "waiting");
    holder.Send("release");
    EXPECT_EQ(holder.ReadLine(), "released");
    const std::string line = waiter.ReadLine(3s);
    EXPECT_NE(line.find(" holders 1 depth 1"), std::string::npos) << line;
    EXPECT_EQ(waiter.Wait(), 0);
    EXPECT_TRUE(lock.TryAcquire());
    lock.Release();
}

TEST_F(OptexTest, AHolderKilledWhileHoldingDoesNotBlockTheOthers)
{
    const std::string name = UniqueName("killed");
    Helper holder({"hold", name});
    ASSERT_EQ(holder.ReadLine().rfind("held ", 0), 0u);
    Helper waiter({"acquire", name, "10000"});
    ASSERT_EQ(waiter.ReadLine(), "waiting");
    std::this_thread::sleep_for(120ms);  // asleep, past its first slice
    holder.Signal(SIGKILL);              // not collected: it stays a zombie
    const std::string line = waiter.ReadLine(3s);
    EXPECT_EQ(line.rfind("acquired ", 0), 0u) << line;
    EXPECT_NE(line.find(" holders 1 depth 1"), std::string::npos) << line;
    EXPECT_EQ(waiter.Wait(), 0);
    TOptex lock(name, -1);
    ExpectState(lock.Snapshot(), 0, 0, 0);
    EXPECT_TRUE(lock.TryAcquire());
    lock.Release();
}

TEST_F(OptexTest, AWaiterKilledWhileWaitingLeavesTheLockUsable)
{
    const std::string name = UniqueName("waiter");
    TOptex lock(name, 10);
    lock.Acquire();
    Helper waiter({"acquire", name, "10000"});
    ASSERT_EQ(waiter.ReadLine(), "waiting");
    ASSERT_TRUE(Eventually([&] { return lock.Snapshot().Holders == 2; }));
    waiter.Kill();
    lock.Release();
    // Its count stays behind; later acquisitions must neither hang nor overlap.
    std::atomic<int> inside{0}, overlaps{0};
    auto work = [&] {
        for (int i = 0; i < 200; ++i) {
            lock.Acquire();
            overlaps += inside.exchange(1);
            inside = 0;
            lock.Release();
        }
    };
    const auto start = std::chrono::steady_clock::now();
    std::thread other(work);
    work();
    other.join();
    EXPECT_EQ(overlaps, 0);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);
}

TEST_F(OptexTest, ALiveHolderIsWaitedForAndAStuckOneEndsInAnError)
{
    const std::string name = UniqueName("live");
    Helper holder({"hold", name});
    ASSERT_EQ(holder.ReadLine().rfind("held ", 0), 0u);
    TOptex lock(name, -1);

    lock.SetWaitLimit(300ms);
    const auto start = std::chrono::steady_clock::now();
    try {
        lock.Acquire();
        ADD_FAILURE() << "took the lock of a live holder";
        lock.Release();
    } catch (const EOptexTimeoutError& error) {
        EXPECT_NE(error.Message().find("\r\nWin32: Connection timed out (110)"), std::string::npos);
    }
    const auto waited = std::chrono::steady_clock::now() - start;
    EXPECT_GE(waited, 300ms);
    EXPECT_LT(waited, 3s);
    EXPECT_EQ(lock.Snapshot().Holders, 1);  // the waiter took its count back

    lock.SetWaitLimit(10s);
    std::atomic<bool> acquired{false};
    std::thread waiter([&] {
        lock.Acquire();
        acquired = true;
        lock.Release();
    });
    std::this_thread::sleep_for(400ms);  // several slices and /proc checks
    EXPECT_FALSE(acquired);
    holder.Send("release");
    EXPECT_TRUE(Eventually([&] { return acquired.load(); }, 2s));
    waiter.join();
    ExpectState(lock.Snapshot(), 0, 0, 0);
}

TEST_F(OptexTest, AThreadThatEndsHoldingTheLockIsTakenOver)
{
    TOptex lock("", -1);
    std::thread([&] {
        lock.Acquire();
        lock.Acquire();
        ASSERT_TRUE(lock.TryAcquire());
    }).join();
    EXPECT_EQ(lock.Snapshot().Holders, 3);
    std::atomic<int> done{0};
    std::thread second([&] {
        lock.Acquire();
        ++done;
        lock.Release();
    });
    const auto start = std::chrono::steady_clock::now();
    lock.Acquire();
    EXPECT_LT(std::chrono::steady_clock::now() - start, 2s);
    EXPECT_EQ(lock.Snapshot().OwnerThread, Me());
    EXPECT_EQ(lock.Snapshot().Depth, 1);
    lock.Release();
    second.join();
    EXPECT_EQ(done, 1);
    ExpectState(lock.Snapshot(), 0, 0, 0);
}

TEST_F(OptexTest, AReusedThreadIdIsNotMistakenForTheHolder)
{
    const std::string name = UniqueName("reused");
    TOptex lock(name, 10);
    RawLock raw(name);
    // A holder that died, whose thread id this thread now carries.
    const platform::ThreadIdentity me = platform::CurrentThreadIdentity();
    ASSERT_NE(me.startTime, 0u) << "needs /proc";
    *raw.owner = TOptexOwnerRecord{2, me.pid, me.tid, 0, me.startTime - 1, me.pidNamespace};
    *raw.state = TOptexState{10, 1, Me(), 1};
    EXPECT_FALSE(lock.TryAcquire());
    ExpectState(lock.Snapshot(), 1, 1, Me());
    const auto start = std::chrono::steady_clock::now();
    lock.Acquire();
    EXPECT_LT(std::chrono::steady_clock::now() - start, 2s);
    ExpectState(lock.Snapshot(), 1, 1, Me());
    EXPECT_EQ(raw.owner->StartTime, me.startTime);
    lock.Release();
    ExpectState(lock.Snapshot(), 0, 0, 0);
}

TEST_F(OptexTest, NonsenseInTheSharedStateStaysHarmless)
{
    const std::string name = UniqueName("nonsense");
    TOptex lock(name, 10);
    lock.SetWaitLimit(200ms);
    RawLock raw(name);
    *raw.state = TOptexState{INT_MAX, INT_MIN, 0xFFFFFFFFu, INT_MAX};
    *raw.owner = TOptexOwnerRecord{1, -1, INT_MIN, 0, ~0ull, 0};
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(lock.TryAcquire());
    try {
        lock.Acquire();
        lock.Release();
    } catch (const ESystemError&) {
    }
    EXPECT_LT(std::chrono::steady_clock::now() - start, 3s);

    *raw.state = TOptexState{-5, 0, 0, INT_MIN};
    *raw.owner = TOptexOwnerRecord{0, 0, 0, 0, 0, 0};
    ASSERT_TRUE(lock.TryAcquire());
    lock.Release();
    ExpectState(lock.Snapshot(), 0, 0, 0);
}

TEST_F(OptexTest, CreateFailsWithoutAStateOrAnEvent)
{
    { TOptex made(UniqueName("dir"), -1); }  // the private directory exists now
    const std::string stateless = UniqueName("stateless");
    ASSERT_EQ(::mkdir((PrivateDir() + "/" + platform::ObjectFileName("Optex_MMF_" + stateless, ".shm")).c_str(), 0700), 0);
    try {
        TOptex lock(stateless, -1);
        ADD_FAILURE() << "a lock without a state";
    } catch (const EOptexStateError& error) {
        EXPECT_EQ(error.Message(), "Failed to create optex state\r\nWin32: Is a directory (21)");
    }
    const std::string eventless = UniqueName("eventless");
    ASSERT_EQ(::mkdir((PrivateDir() + "/" + platform::ObjectFileName("Optex_Event_" + eventless, ".shm")).c_str(), 0700), 0);
    EXPECT_THROW(TOptex(eventless, -1), EEventError);
}

}  // namespace
