#include "instances/sync_event.h"

#include <fcntl.h>
#include <unistd.h>

#include <thread>

#include "ipc_test_support.h"

namespace {

using namespace ipc_test;

class SyncEventTest : public ::testing::Test {
protected:
    void SetUp() override { UseTestRuntimeDir(); }
};

TEST_F(SyncEventTest, OneSignalWakesExactlyOneOfTwoWaiters)
{
    for (const std::string& name : {std::string(), UniqueName("one")}) {
        TSyncEvent event(false, false, name);
        TWaitResult results[2] = {};
        std::thread a([&] { results[0] = event.WaitFor(400); });
        std::thread b([&] { results[1] = event.WaitFor(400); });
        std::this_thread::sleep_for(50ms);
        event.SetEvent();
        a.join();
        b.join();
        const int woken = (results[0] == TWaitResult::WaitSignaled) + (results[1] == TWaitResult::WaitSignaled);
        const int timedOut = (results[0] == TWaitResult::WaitTimeout) + (results[1] == TWaitResult::WaitTimeout);
        EXPECT_EQ(woken, 1) << "name '" << name << "'";
        EXPECT_EQ(timedOut, 1);
    }
}

TEST_F(SyncEventTest, ASignalBeforeTheWaitIsKeptForOneWait)
{
    TSyncEvent event(false, false, UniqueName("early"));
    event.SetEvent();
    event.SetEvent();  // an event already set stays set once
    EXPECT_EQ(event.WaitFor(0), TWaitResult::WaitSignaled);
    EXPECT_EQ(event.WaitFor(0), TWaitResult::WaitTimeout);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(event.WaitFor(60), TWaitResult::WaitTimeout);
    EXPECT_GE(std::chrono::steady_clock::now() - start, 55ms);
}

TEST_F(SyncEventTest, ManualResetStaysSignalledUntilReset)
{
    TSyncEvent event(true, true, "");
    EXPECT_EQ(event.WaitFor(0), TWaitResult::WaitSignaled);
    EXPECT_EQ(event.WaitFor(InfiniteWait), TWaitResult::WaitSignaled);
    event.ResetEvent();
    EXPECT_EQ(event.WaitFor(0), TWaitResult::WaitTimeout);
}

TEST_F(SyncEventTest, ANamedEventWakesAnotherProcess)
{
    const std::string name = UniqueName("cross");
    TSyncEvent event(false, false, name);
    EXPECT_FALSE(event.AlreadyExisted());
    Helper waiter({"wait-event", name, "10000"});
    ASSERT_EQ(waiter.ReadLine(), "ready existed 1");
    std::this_thread::sleep_for(20ms);
    event.SetEvent();
    EXPECT_EQ(waiter.ReadLine(3s), "signaled");
    EXPECT_EQ(event.WaitFor(0), TWaitResult::WaitTimeout);  // the waiter took it
    EXPECT_EQ(waiter.Wait(), 0);
}

TEST_F(SyncEventTest, AnEventThatCannotBeCreatedRaisesEEventError)
{
    const std::string saved = UseTestRuntimeDir();
    const std::string file = saved + "/not-a-directory";
    ::close(::open(file.c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0600));
    ::setenv("XDG_RUNTIME_DIR", file.c_str(), 1);
    try {
        TSyncEvent event(false, false, UniqueName("broken"));
        ADD_FAILURE() << "created an event without a private directory";
    } catch (const EEventError& error) {
        EXPECT_EQ(error.Message(), "Failed to create event\r\nWin32: Not a directory (20)");
    }
    ::setenv("XDG_RUNTIME_DIR", saved.c_str(), 1);
}

}  // namespace
