// A lock user killed at any step of taking, keeping, letting go of or taking
// over the lock never leaves it unusable, and a living one is never robbed.
// The helper runs a script on the lock, reports every step it passes, and
// at step N stops itself as a debugger would ('s', then this test kills it)
// or ends on the spot ('x'). N runs from 1 until the script gets through.

#include <functional>
#include <sstream>
#include <tuple>

#include "instances/optex.h"
#include "ipc_test_support.h"
#include "platform/process/thread_identity.h"

namespace {

using namespace ipc_test;

std::uint32_t Me()
{
    return platform::CurrentThreadId();
}

using State = std::tuple<std::int32_t, std::int32_t, std::uint32_t>;

State Held(const TOptexState& s)
{
    return {s.Holders, s.Depth, s.OwnerThread};
}

struct Stop {
    bool stopped = false;  // false: the script got through
    int number = 0;
    std::string step;
    bool holding = false;
};

// Reads the helper's report up to its stop or its end; `onStep` sees every
// step passed before the stop.
Stop Follow(Helper& helper, const std::function<void(const std::string& step, bool holding)>& onStep)
{
    for (;;) {
        const std::string line = helper.ReadLine();
        std::istringstream words(line);
        std::string kind, step, holding;
        int number = 0;
        words >> kind >> number >> step;
        // Step names may hold spaces; the last word says whether it holds.
        for (std::string word; words >> word;) {
            if (!holding.empty())
                step += " " + holding;
            holding = word;
        }
        if (kind == "step") {
            onStep(step, holding == "holding");
        } else if (kind == "stopped") {
            return {true, number, step, holding == "holding"};
        } else if (kind == "done" || line.empty()) {
            EXPECT_EQ(line, "done") << "the helper fell silent";
            return {};
        }
    }
}

constexpr auto kBound = 3s;

// The helper has stopped at a step, or ended there. While it lives and holds
// the lock, nobody else gets it; once it is gone, this thread takes the lock
// within the bound, finds the shared state true, and leaves it free.
void ExpectTheLockToSurvive(TOptex& lock, Helper& helper, const Stop& stop, char action)
{
    SCOPED_TRACE(testing::Message() << "stopped at step " << stop.number << " (" << stop.step << ", "
                                    << (stop.holding ? "holding" : "not holding") << "), action " << action);
    if (action == 's' && stop.holding) {
        if (lock.TryAcquire()) {
            ADD_FAILURE() << "robbed a living holder";
            lock.Release();
        }
    }
    helper.Kill();
    try {
        lock.Acquire();
    } catch (const ESystemError& error) {
        ADD_FAILURE() << "the lock is unusable: " << error.Message();
        return;
    }
    EXPECT_EQ(Held(lock.Snapshot()), State(1, 1, Me()));
    lock.Release();
    EXPECT_EQ(Held(lock.Snapshot()), State(0, 0, 0));
    EXPECT_TRUE(lock.TryAcquire());
    lock.Release();
}

// Runs `scenario` for N = 1, 2, ... with both actions until the helper gets
// through its script; the scenario gives the helper's stop, or none.
void ForEveryStep(const std::function<bool(int stopAt, char action)>& scenario)
{
    for (const char action : {'s', 'x'}) {
        int stopAt = 1;
        for (; stopAt < 100 && scenario(stopAt, action); ++stopAt)
            if (testing::Test::HasFatalFailure())
                return;
        EXPECT_GT(stopAt, 5) << "too few steps reported";
        EXPECT_LT(stopAt, 100) << "the script never got through";
    }
}

TEST(OptexKillTest, AHolderKilledAtAnyStepOfTakingRecursingAndReleasing)
{
    for (const std::string script : {"aarr", "ttrr"}) {
        SCOPED_TRACE(script);
        ForEveryStep([&](int stopAt, char action) {
            const std::string name = UniqueName("holder");
            TOptex lock(name, 1);  // keeps the lock alive when the helper dies
            lock.SetWaitLimit(kBound);
            Helper helper({"steps", name, std::to_string(stopAt), std::string(1, action), script});
            const Stop stop = Follow(helper, [](const std::string&, bool) {});
            if (stop.stopped)
                ExpectTheLockToSurvive(lock, helper, stop, action);
            else
                EXPECT_EQ(Held(lock.Snapshot()), State(0, 0, 0));
            return stop.stopped;
        });
    }
}

TEST(OptexKillTest, AWaiterKilledAtAnyStepOfWaitingTakingAndReleasing)
{
    ForEveryStep([&](int stopAt, char action) {
        const std::string name = UniqueName("waiter");
        TOptex lock(name, 1);
        lock.SetWaitLimit(kBound);
        lock.Acquire();
        bool held = true;
        Helper helper({"steps", name, std::to_string(stopAt), std::string(1, action), "ar"});
        const auto onStep = [&](const std::string& step, bool holding) {
            EXPECT_FALSE(held && holding) << "two holders at step " << step;
            if (step == "waiting" && held) {  // about to sleep: let it have the lock
                lock.Release();
                held = false;
            }
        };
        const Stop stop = Follow(helper, onStep);
        EXPECT_FALSE(held && stop.holding) << "two holders at step " << stop.step;
        if (held)
            lock.Release();
        if (stop.stopped)
            ExpectTheLockToSurvive(lock, helper, stop, action);
        else
            EXPECT_EQ(Held(lock.Snapshot()), State(0, 0, 0));
        return stop.stopped;
    });
}

// The helper takes over the lock of a killed holder, trying ('t') or waiting
// ('a' while the holder is killed under it), and is killed at every step.
TEST(OptexKillTest, ATakerKilledAtAnyStepOfTakingOverADeadHoldersLock)
{
    for (const bool waits : {false, true}) {
        SCOPED_TRACE(waits ? "waiting taker" : "trying taker");
        ForEveryStep([&](int stopAt, char action) {
            const std::string name = UniqueName("takeover");
            TOptex lock(name, 1);
            lock.SetWaitLimit(kBound);
            Helper victim({"steps", name, "0", "s", "ah"});
            EXPECT_EQ(victim.ReadLine(), "holding");
            if (!waits)
                victim.Kill();
            bool victimLives = waits;
            Helper taker({"steps", name, std::to_string(stopAt), std::string(1, action), waits ? "ar" : "tr"});
            const Stop stop = Follow(taker, [&](const std::string& step, bool holding) {
                EXPECT_FALSE(victimLives && holding) << "robbed a living holder at step " << step;
                if (step == "waiting" && victimLives) {
                    victim.Kill();
                    victimLives = false;
                }
            });
            EXPECT_FALSE(victimLives && stop.holding) << "robbed a living holder at step " << stop.step;
            victim.Kill();
            if (stop.stopped)
                ExpectTheLockToSurvive(lock, taker, stop, action);
            else
                EXPECT_EQ(Held(lock.Snapshot()), State(0, 0, 0));
            return stop.stopped;
        });
    }
}

}  // namespace
