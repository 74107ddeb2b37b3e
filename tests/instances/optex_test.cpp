#include "instances/optex.h"
#include "platform/process/thread_identity.h"

#include <sys/mman.h>
#include <unistd.h>

#include <climits>
#include <cstring>
#include <deque>
#include <memory>
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

// Two objects of one name are one lock: the thread that holds it through
// one re-enters it through the other; objects of other names, or unnamed
// ones, are locks of their own.
TEST(OptexTest, ObjectsOfOneNameAreOneLockForTheThreadThatHoldsIt)
{
    const std::string name = UniqueName("twice");
    TOptex first(name, 1);
    const auto second = std::make_unique<TOptex>(name, 1);
    TOptex other(UniqueName("other"), 1);
    TOptex unnamed("", 1), unnamedToo("", 1);
    first.Acquire();
    ASSERT_TRUE(second->TryAcquire()) << "the holder was refused its own lock";
    EXPECT_EQ(Held(second->Snapshot()), State(2, 2, Me()));
    ASSERT_TRUE(other.TryAcquire());
    EXPECT_EQ(Held(other.Snapshot()), State(1, 1, Me()));
    ASSERT_TRUE(unnamed.TryAcquire());
    ASSERT_TRUE(unnamedToo.TryAcquire());
    EXPECT_EQ(Held(unnamed.Snapshot()), State(1, 1, Me()));
    EXPECT_EQ(Held(unnamedToo.Snapshot()), State(1, 1, Me()));
    unnamedToo.Release();
    unnamed.Release();
    other.Release();
    second->Release();
    EXPECT_EQ(Held(first.Snapshot()), State(1, 1, Me()));
    std::thread([&] { EXPECT_FALSE(TOptex(name, 1).TryAcquire()); }).join();
    first.Release();
    EXPECT_EQ(Held(first.Snapshot()), State(0, 0, 0));
    std::thread([&] {
        TOptex again(name, 1);
        EXPECT_TRUE(again.TryAcquire());
        again.Release();
    }).join();
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
    std::this_thread::sleep_for(120ms);            // asleep, not taking it
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

TEST(OptexTest, ALiveHolderEndsTheWaitInATimeoutAndKilledOnesLeaveTheLockUsable)
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
    EXPECT_TRUE(Eventually([&] { return lock.Snapshot().Holders == 3; }, 3s));  // counted in, asleep
    holder.Kill(false);                                            // left a zombie, as an uncollected child is
    EXPECT_EQ(waiter.ReadLine(3s), "acquired holders 1 depth 1");  // the dead holder's depth is gone
    EXPECT_EQ(waiter.Wait(), 0);
    EXPECT_EQ(Held(lock.Snapshot()), State(0, 0, 0));

    // A waiter killed in its sleep leaves no count behind.
    lock.SetWaitLimit(3s);
    lock.Acquire();
    Helper doomed({"acquire", name});
    EXPECT_EQ(doomed.ReadLine(), "try 0 existed 1");
    EXPECT_TRUE(Eventually([&] { return lock.Snapshot().Holders == 2; }, 3s));
    doomed.Kill();
    lock.Release();
    EXPECT_EQ(Held(lock.Snapshot()), State(0, 0, 0));
    Helper next({"acquire", name});
    EXPECT_EQ(next.ReadLine(), "try 1 existed 1");
    EXPECT_EQ(next.ReadLine(), "acquired holders 1 depth 1");
}

TEST(OptexTest, AThreadIdLeftByADeadHolderIsNotTakenForOurs)
{
    // The kernel hands a dead thread's id to a new thread: a dead holder's
    // id in OwnerThread may be this thread's own.
    const std::string name = UniqueName("reused");
    TOptex lock(name, 1);
    Helper holder({"hold", name});
    ASSERT_EQ(holder.ReadLine().rfind("held ", 0), 0u);
    holder.Kill();
    TSwapFileMapping stateRegion("Optex_MMF_" + name, PageReadWrite, 16);
    auto* state = static_cast<TOptexState*>(stateRegion.MapView(FileMapWrite, 16, 0).Memory());
    state->OwnerThread = Me();
    ASSERT_TRUE(lock.TryAcquire());  // taken over, not re-entered
    EXPECT_EQ(Held(lock.Snapshot()), State(1, 1, Me()));
    lock.Release();
    EXPECT_EQ(Held(lock.Snapshot()), State(0, 0, 0));
}

// Another process of this user may write anything into the shared words.
// Whatever it writes, nobody takes the lock from a living holder, no wait
// passes its limit, and a state that no user of the lock can leave is
// reported (EOptexStateError) and repaired.
class OptexNonsenseTest : public testing::Test {
protected:
    static constexpr auto kLimit = 500ms;
    // Past the limit, but well short of twice it.
    static constexpr auto kLatest = kLimit + 400ms;

    void SetUp() override
    {
        lock_.SetWaitLimit(kLimit);
        other_.SetWaitLimit(kLimit);
    }

    TOptexState* State() { return static_cast<TOptexState*>(stateRegion_.MapView(FileMapWrite, 16, 0).Memory()); }

    // Runs `body` on another thread (a thread of its own, as another holder
    // would be) and gives the time it took.
    template <class Body>
    Clock::duration OnOtherThread(Body body)
    {
        const auto start = Clock::now();
        std::thread([&] { body(); }).join();
        return Clock::now() - start;
    }

    const std::string name_ = UniqueName("nonsense");
    TOptex lock_{name_, 10};
    TOptex other_{name_, 10};
    TSwapFileMapping stateRegion_{"Optex_MMF_" + name_, PageReadWrite, 16};
};

TEST_F(OptexNonsenseTest, NoCountLetsASecondHolderInOrAWaitPassItsLimit)
{
    TOptexState* state = State();
    lock_.Acquire();
    for (const std::int32_t holders : {0, -1, -2, INT_MIN, INT_MAX}) {
        SCOPED_TRACE(holders);
        state->Holders = holders;
        state->SpinLimit = INT_MAX;  // one try must still end soon
        const auto took = OnOtherThread([&] {
            EXPECT_FALSE(other_.TryAcquire()) << "a second holder";
            try {
                other_.Acquire();
                ADD_FAILURE() << "a second holder";
                other_.Release();
            } catch (const EOptexTimeoutError&) {
            }
        });
        EXPECT_LT(took, kLatest + kLimit);  // one try and one wait
        EXPECT_EQ(state->OwnerThread, Me());
    }
    lock_.Release();
    state->SpinLimit = 10;
}

TEST_F(OptexNonsenseTest, AnImpossibleStateIsReportedThenRepaired)
{
    TOptexState* state = State();
    const TOptexState nonsense[] = {
        {10, -1, 0, 0},          // a negative count on a free lock
        {10, 0, Me() + 1, 0},    // an owner nobody published
        {10, 0, 0, INT_MIN},     // a depth without an owner
        {-5, INT_MIN, ~0u, -1},  // all of it
    };
    for (const TOptexState& written : nonsense) {
        SCOPED_TRACE(testing::Message() << written.Holders << " " << written.OwnerThread << " " << written.Depth);
        *state = written;
        EXPECT_FALSE(lock_.TryAcquire());
        EXPECT_EQ(Held(*state), ::State(0, 0, 0));  // repaired
        *state = written;
        try {
            lock_.Acquire();
            ADD_FAILURE() << "nonsense taken in silence";
            lock_.Release();
        } catch (const EOptexStateError& error) {
            EXPECT_EQ(error.Message(), "Optex state is damaged\r\nWin32: State not recoverable (131)");
        }
        lock_.Acquire();
        EXPECT_EQ(Held(*state), ::State(1, 1, Me()));
        lock_.Release();
    }
    // Written under a holder: its next acquisition reports it and puts back
    // the truth, and its releases still balance.
    lock_.Acquire();
    state->Depth = 7;
    state->Holders = -3;
    EXPECT_THROW(lock_.Acquire(), EOptexStateError);
    EXPECT_EQ(Held(*state), ::State(1, 1, Me()));
    lock_.Release();
    EXPECT_EQ(Held(*state), ::State(0, 0, 0));
    EXPECT_TRUE(other_.TryAcquire());
    other_.Release();
}

#if defined(__GLIBC__)
TEST_F(OptexNonsenseTest, NonsenseInTheMutexesNeverLeadsOutsideOurMappings)
{
    // Addresses that fault when touched: if pthread followed a link written
    // into the shared mutexes, this process would die of SIGSEGV.
    const std::size_t page = static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
    void* trap = ::mmap(nullptr, page, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    ASSERT_NE(trap, MAP_FAILED);
    auto* link = static_cast<__pthread_list_t*>(trap) + 1;
    TSwapFileMapping robustRegion("Optex_Robust_" + name_, PageReadWrite, sizeof(TOptexRobustState));
    auto* robust =
        static_cast<TOptexRobustState*>(robustRegion.MapView(FileMapWrite, sizeof(TOptexRobustState), 0).Memory());
    const pthread_mutex_t sound = robust->Owner;

    // Every field but the lock word, on a free lock and on a waiter's path
    // (the guard and the slots are met only by a waiter).
    for (pthread_mutex_t* mutex : {&robust->Owner, &robust->Guard, &robust->Slots[0].Mutex}) {
        const pthread_mutex_t before = *mutex;
        for (std::size_t at = sizeof(int); at + sizeof link <= sizeof *mutex; at += sizeof link)
            std::memcpy(reinterpret_cast<char*>(mutex) + at, &link, sizeof link);
        const auto took = OnOtherThread([&] {
            try {
                lock_.Acquire();
            } catch (const EOptexStateError&) {
                EXPECT_EQ(mutex, &robust->Owner) << "only a damaged owner mutex stops the holder";
                return;
            }
            OnOtherThread([&] {
                try {
                    other_.Acquire();
                    ADD_FAILURE() << "a second holder";
                    other_.Release();
                } catch (const ESystemError& error) {
                    EXPECT_TRUE(std::string(error.ClassName()) == "EOptexStateError" ||
                                std::string(error.ClassName()) == "EOptexTimeoutError")
                        << error.ClassName();
                }
            });
            lock_.Release();
        });
        EXPECT_LT(took, kLatest);
        *mutex = before;
        EXPECT_TRUE(lock_.TryAcquire());
        lock_.Release();
    }

    // A lock word naming a live thread that never lets go: a bounded wait.
    std::atomic<int> foreign{0};
    std::atomic<bool> done{false};
    std::thread sleeper([&] {
        foreign = static_cast<int>(Me());
        while (!done)
            std::this_thread::sleep_for(5ms);
    });
    ASSERT_TRUE(Eventually([&] { return foreign != 0; }, 2s));
    robust->Owner.__data.__lock = foreign;
    const auto start = Clock::now();
    EXPECT_THROW(lock_.Acquire(), EOptexTimeoutError);
    EXPECT_LT(Clock::now() - start, kLatest);
    done = true;
    sleeper.join();
    robust->Owner = sound;

    // The holder's links, rewritten while it holds the lock: it cannot let
    // go, so the lock stays its holder's, refused to everyone else within
    // the limit, until the holder's thread ends and the kernel frees it.
    OnOtherThread([&] {
        lock_.Acquire();
        robust->Owner.__data.__list.__next = link;
        robust->Owner.__data.__list.__prev = link;
        robust->Owner.__data.__owner = 0x3FFFFFFF;
        lock_.Release();
        EXPECT_THROW(lock_.Acquire(), EOptexStateError);  // it is still this thread's
        const auto start = Clock::now();
        std::thread([&] { EXPECT_THROW(other_.Acquire(), EOptexTimeoutError); }).join();
        EXPECT_LT(Clock::now() - start, kLatest);
    });
    EXPECT_TRUE(other_.TryAcquire());
    EXPECT_EQ(Held(other_.Snapshot()), ::State(1, 1, Me()));
    other_.Release();
    ::munmap(trap, page);
}
#endif

}  // namespace
