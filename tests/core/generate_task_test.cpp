// A run of the Generate command on a thread of its own: when its owner hears
// of its end, what it hands back, and how it stops.

#include "core/generate_task.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace {

using namespace std::chrono_literals;
using Results = GenerateTask::Results;

// A job that waits until the test lets it go (or the run is cancelled), then
// hands out what it was given. The gate outlives the jobs it let in.
class Gate {
public:
    ~Gate()
    {
        Open();
        std::unique_lock lock(mutex_);
        changed_.wait(lock, [this] { return inside_ == 0; });
    }

    GenerateTask::Job Job(Results results = {})
    {
        {
            const std::lock_guard lock(mutex_);
            ++inside_;
        }
        return [this, results](RunControl& control, const ResultSink& sink) {
            struct Leave {
                Gate& gate;
                ~Leave()
                {
                    const std::lock_guard lock(gate.mutex_);
                    --gate.inside_;
                    gate.changed_.notify_all();
                }
            } leave{*this};
            {
                // A cancel is a flag, not a signal: looked at now and then.
                std::unique_lock lock(mutex_);
                while (!open_ && !control.Cancelled())
                    changed_.wait_for(lock, 1ms);
            }
            if (control.Cancelled())
                throw ERunCancelled();
            for (const auto& [algorithm, text] : results)
                sink(algorithm, text);
        };
    }

    void Open()
    {
        const std::lock_guard lock(mutex_);
        open_ = true;
        changed_.notify_all();
    }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    bool open_ = false;
    int inside_ = 0;
};

TEST(GenerateTaskTest, OnFinishedAfterTheRunEndedCallsAtOnce)
{
    GenerateTask task([](RunControl&, const ResultSink& sink) { sink(Algorithm::Md5, "M"); });
    ASSERT_TRUE(task.WaitFor(10s));
    EXPECT_TRUE(task.Finished());
    int calls = 0;
    task.OnFinished([&] { ++calls; });
    EXPECT_EQ(calls, 1) << "not called within OnFinished for a run that had ended";
    // Asked again, it is told again, at once.
    task.OnFinished([&] { ++calls; });
    EXPECT_EQ(calls, 2);
}

TEST(GenerateTaskTest, OnFinishedBeforeTheEndCallsOnceWhenTheRunEnds)
{
    Gate gate;
    GenerateTask task(gate.Job());
    std::atomic<int> calls{0};
    std::atomic<bool> onRunThread{false};
    const auto test = std::this_thread::get_id();
    task.OnFinished([&] {
        onRunThread = std::this_thread::get_id() != test;
        ++calls;
    });
    EXPECT_FALSE(task.WaitFor(50ms));
    EXPECT_FALSE(task.Finished());
    EXPECT_EQ(calls, 0);
    gate.Open();
    ASSERT_TRUE(task.WaitFor(10s));
    EXPECT_EQ(calls, 1);
    EXPECT_TRUE(onRunThread);
}

// Once OnFinished has returned, the callback it replaced is never called,
// even by a run that ends at that very moment; the new one is, once.
TEST(GenerateTaskTest, AReplacedCallbackIsNeverCalledAfterwards)
{
    {
        Gate gate;
        GenerateTask task(gate.Job());
        std::atomic<int> first{0};
        std::atomic<int> second{0};
        task.OnFinished([&] { ++first; });
        task.OnFinished([&] { ++second; });
        gate.Open();
        ASSERT_TRUE(task.WaitFor(10s));
        EXPECT_EQ(first, 0);
        EXPECT_EQ(second, 1);
        task.OnFinished(nullptr);  // taken back: nothing to call
        EXPECT_EQ(second, 1);
    }
    // The run ends while the callback is replaced, over and over.
    for (int round = 0; round < 300; ++round) {
        GenerateTask task([](RunControl&, const ResultSink&) {});
        std::atomic<int> old{0};
        std::atomic<int> replacement{0};
        task.OnFinished([&] { ++old; });
        task.OnFinished([&] { ++replacement; });
        const int oldCalls = old;
        ASSERT_TRUE(task.WaitFor(10s));
        task.OnFinished(nullptr);
        ASSERT_EQ(old, oldCalls) << "round " << round;
        ASSERT_LE(oldCalls, 1);
        // Whether the run ended before it was set or after: told once.
        ASSERT_EQ(replacement, 1) << "round " << round;
    }
}

TEST(GenerateTaskTest, ResultsComeInTheirOrderAndFailuresAreThrownAgain)
{
    GenerateInput input;
    input.algorithms = {Algorithm::Md5, Algorithm::Sha1, Algorithm::Sha256, Algorithm::Crc32};
    input.source = GenerateSource::Text;
    input.text = "abc";
    GenerateTask task(input);
    ASSERT_TRUE(task.WaitFor(10s));
    EXPECT_EQ(task.TakeResults(),
              (Results{{Algorithm::Md5, "900150983CD24FB0D6963F7D28E17F72"},
                       {Algorithm::Sha1, "A9993E364706816ABA3E25717850C26C9CD0D89D"},
                       {Algorithm::Sha256, "BA7816BF8F01CFEA414140DE5DAE2223B00361A396177A9CB410FF61F20015AD"},
                       {Algorithm::Crc32, "352441C2"}}));

    // As the job handed them out.
    Gate gate;
    const Results handed = {{Algorithm::Crc32, "C"}, {Algorithm::Md5, "M"}, {Algorithm::Sha1, "S"}};
    GenerateTask ordered(gate.Job(handed));
    gate.Open();
    ASSERT_TRUE(ordered.WaitFor(10s));
    EXPECT_EQ(ordered.TakeResults(), handed);

    GenerateTask failing([](RunControl&, const ResultSink& sink) {
        sink(Algorithm::Md5, "M");
        throw Exception("Cannot open file \"x\".");
    });
    ASSERT_TRUE(failing.WaitFor(10s));
    for (int again = 0; again < 2; ++again) {
        try {
            failing.TakeResults();
            ADD_FAILURE() << "no failure thrown";
        } catch (const Exception& error) {
            EXPECT_EQ(error.Message(), "Cannot open file \"x\".");
        }
    }
}

TEST(GenerateTaskTest, CancelStopsTheRunAndSoDoesLettingItGo)
{
    Gate gate;
    GenerateTask task(gate.Job({{Algorithm::Md5, "M"}}));
    EXPECT_FALSE(task.Control().Cancelled());
    EXPECT_FALSE(task.WaitFor(20ms));
    task.Cancel();
    EXPECT_TRUE(task.Control().Cancelled());
    ASSERT_TRUE(task.WaitFor(10s)) << "the job never heard of the cancel";
    EXPECT_THROW(task.TakeResults(), ERunCancelled);

    // A run whose owner lets it go is cancelled, and ends on its own.
    std::atomic<bool> sawCancel{false};
    {
        GenerateTask abandoned([&](RunControl& control, const ResultSink&) {
            while (!control.Cancelled())
                std::this_thread::sleep_for(1ms);
            sawCancel = true;
        });
    }
    for (int waited = 0; waited < 10000 && !sawCancel; ++waited)
        std::this_thread::sleep_for(1ms);
    EXPECT_TRUE(sawCancel);
}

TEST(GenerateTaskTest, ElapsedGrowsWhileTheRunWorks)
{
    Gate gate;
    GenerateTask task(gate.Job());
    const auto before = task.Elapsed();
    std::this_thread::sleep_for(20ms);
    EXPECT_GE(task.Elapsed() - before, 20ms);
    gate.Open();
    ASSERT_TRUE(task.WaitFor(10s));
}

}  // namespace
