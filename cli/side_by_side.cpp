#include "cli/side_by_side.h"

#include <algorithm>
#include <condition_variable>
#include <exception>
#include <mutex>
#include <system_error>
#include <thread>
#include <vector>

namespace {

// What the threads and the caller share, under the mutex.
struct Board {
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<std::size_t> order;  // the items the threads run, heaviest first
    std::size_t next = 0;            // in order
    enum State : char { Waiting, Taken, Finished, Failed };
    std::vector<State> states;  // by item
    bool stop = false;
    std::exception_ptr failure;
};

void Work(const SideBySide& run, Board& board)
{
    for (;;) {
        std::size_t item = 0;
        {
            const std::lock_guard lock(board.mutex);
            if (board.stop || board.next == board.order.size())
                return;
            item = board.order[board.next++];
            board.states[item] = Board::Taken;
        }
        std::exception_ptr failure;
        try {
            run.work(item);
        } catch (...) {
            failure = std::current_exception();
        }
        {
            const std::lock_guard lock(board.mutex);
            board.states[item] = failure ? Board::Failed : Board::Finished;
            if (failure && !board.failure)
                board.failure = failure;
            if (failure)
                board.stop = true;
        }
        board.changed.notify_all();
    }
}

// Tells the threads to take no more items; declared after them, so that it
// acts before they are joined, on every way out.
struct StopOnExit {
    Board& board;
    ~StopOnExit()
    {
        const std::lock_guard lock(board.mutex);
        board.stop = true;
    }
};

void RunOneByOne(const SideBySide& run)
{
    for (std::size_t i = 0; i < run.count; ++i) {
        run.work(i);
        run.done(i);
    }
}

}  // namespace

void RunSideBySide(const SideBySide& run)
{
    const auto onCaller = [&run](std::size_t i) { return run.inOrder && run.inOrder(i); };
    if (run.threads == 0 || run.count <= 1)
        return RunOneByOne(run);

    Board board;
    board.states.assign(run.count, Board::Waiting);
    std::vector<std::uint64_t> weights(run.count, 0);
    for (std::size_t i = 0; i < run.count; ++i) {
        if (onCaller(i))
            continue;
        board.order.push_back(i);
        if (run.weight)
            weights[i] = run.weight(i);
    }
    std::stable_sort(board.order.begin(), board.order.end(),
                     [&weights](std::size_t a, std::size_t b) { return weights[a] > weights[b]; });

    std::vector<std::jthread> threads;
    const StopOnExit stopOnExit{board};
    const std::size_t wanted = std::min<std::size_t>(run.threads, board.order.size());
    try {
        while (threads.size() < wanted)
            threads.emplace_back([&run, &board] { Work(run, board); });
    } catch (const std::system_error&) {
        // Fewer threads then; with none at all, the caller does the work.
    }
    if (threads.empty())
        return RunOneByOne(run);

    for (std::size_t i = 0; i < run.count; ++i) {
        if (onCaller(i)) {
            run.work(i);
        } else {
            // Items that were taken before a failure still end and are
            // taken in turn; the run ends at the failed one or one never begun.
            std::unique_lock lock(board.mutex);
            board.changed.wait(lock, [&] {
                return board.states[i] == Board::Finished || board.states[i] == Board::Failed ||
                       (board.stop && board.states[i] == Board::Waiting);
            });
            if (board.states[i] != Board::Finished)
                std::rethrow_exception(board.failure);
        }
        run.done(i);
    }
}
