#include "instances/sync_event.h"

#include <atomic>
#include <optional>
#include <thread>

#include <gtest/gtest-spi.h>

#include "ipc_test_support.h"

namespace {

using namespace ipc_test;

// The helpers' support, which every multi-process test relies on: an order
// to a helper that has already ended is a failure of the test that sends
// it, and the test program goes on.
TEST(HelperTest, AnOrderToAHelperThatHasEndedFailsTheTestNotTheProgram)
{
    Helper ended({"no-such-mode"});
    ASSERT_EQ(ended.Wait(), 2);  // the helper's answer to a mode it does not know
    EXPECT_NONFATAL_FAILURE(ended.Send("anything"), "the helper does not read its input");
}

TEST(SyncEventTest, OneSignalWakesOneWaiterOfAnAutoResetEventAndAllOfAManualOne)
{
    struct Case {
        bool manual, named;
        int woken;
    };
    for (const Case c : {Case{false, false, 1}, Case{false, true, 1}, Case{true, false, 2}, Case{true, true, 2}}) {
        SCOPED_TRACE(testing::Message() << "manual " << c.manual << " named " << c.named);
        const std::string name = c.named ? UniqueName("one") : "";
        TSyncEvent event(c.manual, false, name);
        // A named event is waited for through a second object of the name.
        std::optional<TSyncEvent> byName;
        TSyncEvent& waited = c.named ? byName.emplace(c.manual, false, name) : event;
        EXPECT_EQ(waited.AlreadyExisted(), c.named);
        std::atomic<int> woken{0};
        const auto wait = [&] { woken += waited.WaitFor(300) == TWaitResult::WaitSignaled; };
        std::thread a(wait), b(wait);
        std::this_thread::sleep_for(50ms);
        event.SetEvent();
        a.join();
        b.join();
        EXPECT_EQ(woken, c.woken);
        EXPECT_EQ(waited.WaitFor(0), c.manual ? TWaitResult::WaitSignaled : TWaitResult::WaitTimeout);
        waited.ResetEvent();
        EXPECT_EQ(waited.WaitFor(0), TWaitResult::WaitTimeout);
    }
}

TEST(SyncEventTest, ASignalBeforeTheWaitIsKeptForOneWait)
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

}  // namespace
