#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "core/generate.h"

// A run of the Generate command on a thread of its own, for the window, which
// must stay with the user while it works: it keeps painting, shows progress
// and takes Escape. A caller that gives up does not wait for the thread: a
// run stuck in a read (a dead network share) is left to end on its own, and
// whatever it finds is thrown away.
class GenerateTask {
public:
    using Results = std::vector<std::pair<Algorithm, std::string>>;
    // What the thread runs; Generate over an input unless a test says else.
    using Job = std::function<void(RunControl& control, const ResultSink& sink)>;

    // Starts at once. Should no thread be had, the run is done here, now.
    explicit GenerateTask(const GenerateInput& input);
    explicit GenerateTask(Job job);
    // Cancels the run; does not wait for it.
    ~GenerateTask();
    GenerateTask(const GenerateTask&) = delete;
    GenerateTask& operator=(const GenerateTask&) = delete;

    // True once the run has ended, within the timeout or before.
    bool WaitFor(std::chrono::milliseconds timeout) const;
    bool Finished() const;

    void Cancel() noexcept;
    const RunControl& Control() const noexcept;
    std::chrono::steady_clock::duration Elapsed() const noexcept;

    // When the run ends (at once, should it have ended already), notify is
    // called on the run's thread. Calling this again replaces it; once it has
    // returned, the one before is not called any more, not even by a run
    // ending at that moment.
    void OnFinished(std::function<void()> notify);

    // Once finished: the results in Generate's order, or the
    // run's failure thrown again.
    Results TakeResults();

private:
    struct State;
    std::shared_ptr<State> state_;
};
