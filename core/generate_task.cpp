#include "core/generate_task.h"

#include <condition_variable>
#include <exception>
#include <mutex>
#include <system_error>
#include <thread>

struct GenerateTask::State {
    RunControl control;
    const std::chrono::steady_clock::time_point started = std::chrono::steady_clock::now();
    mutable std::mutex mutex;
    mutable std::condition_variable ended;
    bool finished = false;
    Results results;
    std::exception_ptr failure;
    std::function<void()> notify;

    void Run(const Job& job)
    {
        Results found;
        std::exception_ptr error;
        try {
            job(control,
                [&found](Algorithm algorithm, const std::string& text) { found.emplace_back(algorithm, text); });
        } catch (...) {
            error = std::current_exception();
        }
        // Told under the lock, so that whoever takes notify back is never
        // called once that has returned.
        const std::lock_guard lock(mutex);
        results = std::move(found);
        failure = error;
        finished = true;
        ended.notify_all();
        if (notify)
            notify();
    }
};

GenerateTask::GenerateTask(const GenerateInput& input)
    : GenerateTask(Job([input](RunControl& control, const ResultSink& sink) { Generate(input, sink, &control); }))
{}

GenerateTask::GenerateTask(Job job) : state_(std::make_shared<State>())
{
    try {
        // The thread owns the state with this object: whichever goes last
        // frees it. The job is copied, so that it is still here should the
        // thread not start.
        std::thread([state = state_, job] { state->Run(job); }).detach();
    } catch (const std::system_error&) {
        state_->Run(job);
    }
}

GenerateTask::~GenerateTask()
{
    Cancel();
    OnFinished(nullptr);
}

bool GenerateTask::WaitFor(std::chrono::milliseconds timeout) const
{
    std::unique_lock lock(state_->mutex);
    return state_->ended.wait_for(lock, timeout, [this] { return state_->finished; });
}

bool GenerateTask::Finished() const
{
    const std::lock_guard lock(state_->mutex);
    return state_->finished;
}

void GenerateTask::Cancel() noexcept
{
    state_->control.Cancel();
}

const RunControl& GenerateTask::Control() const noexcept
{
    return state_->control;
}

std::chrono::steady_clock::duration GenerateTask::Elapsed() const noexcept
{
    return std::chrono::steady_clock::now() - state_->started;
}

void GenerateTask::OnFinished(std::function<void()> notify)
{
    const std::lock_guard lock(state_->mutex);
    state_->notify = std::move(notify);
    if (state_->finished && state_->notify)
        state_->notify();
}

GenerateTask::Results GenerateTask::TakeResults()
{
    const std::lock_guard lock(state_->mutex);
    if (state_->failure)
        std::rethrow_exception(state_->failure);
    return std::move(state_->results);
}
