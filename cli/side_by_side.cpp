#include "cli/side_by_side.h"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <exception>
#include <mutex>
#include <system_error>
#include <thread>
#include <vector>

#include "core/file_digests.h"

namespace {

// A batch is as many items of one window each as keep a thread busy for a
// while without leaving the others idle at the end of the list.
constexpr std::size_t kBatchItems = 64;
constexpr std::uint64_t kBatchBytes = std::uint64_t{4} << 20;

// The caller is woken for finished small items a few at a time, and the
// producer, once the look-ahead was full, for room enough for many: woken
// for each item, each thread would spend more time in the system's waits
// and wakes than a small file costs to read.
constexpr std::size_t kWakeItems = 32;
constexpr std::size_t kRefillItems = kLookAheadItems / 8;
constexpr std::size_t kRefillBytes = kLookAheadBytes / 8;

enum class State : unsigned char { Pending, Taken, Finished, Failed };

struct Slot {
    ItemFacts facts;
    // Set under the lock, but for what a worker stores once it has let the
    // lock go (the lock is taken once a job, not once an item): Finished or
    // Failed as its items end, and Pending for those of its job it never
    // began after a failure.
    std::atomic<State> state{State::Pending};
};

// A list with no thread to spare: each item in turn, on the calling thread.
void RunOneByOne(const SideBySide& settings)
{
    while (const std::optional<ItemFacts> facts = settings.next(0)) {
        if (facts->work) {
            settings.work(0);
            if (settings.tally != nullptr)
                ++settings.tally->filesDone;
        }
        settings.done(0);
        if (settings.caughtUp)
            settings.caughtUp();
    }
}

// What a worker's items in flight took from the heap.
enum class Taken { InFlight, Alone };

// One run of RunSideBySide: the producer reading the list, the workers and
// the caller taking the items in order.
class SideBySideRun {
public:
    explicit SideBySideRun(const SideBySide& settings) : settings_(settings), slots_(kLookAheadItems) {}

    void Go()
    {
        {
            // The producer, then the workers it started, are joined on every
            // way out; they are told to stop first.
            struct Joined {
                SideBySideRun& run;
                std::jthread producer;
                ~Joined()
                {
                    run.Stop();
                    if (producer.joinable())
                        producer.join();
                    run.workers_.clear();
                }
            } joined{*this, {}};
            try {
                joined.producer = std::jthread([this] { Guarded([&] { Produce(); }); });
            } catch (const std::system_error&) {
                return RunOneByOne(settings_);
            }
            Guarded([&] { TakeInOrder(); });
        }
        if (failure_)
            std::rethrow_exception(failure_);
    }

private:
    Slot& SlotOf(std::uint64_t item) { return slots_[item % kLookAheadItems]; }

    template <class Body>
    void Guarded(Body&& body) noexcept
    {
        try {
            body();
        } catch (...) {
            const std::lock_guard lock(mutex_);
            if (!failure_)
                failure_ = std::current_exception();
            SetStop();
        }
    }

    void Stop()
    {
        const std::lock_guard lock(mutex_);
        SetStop();
    }

    // Under the lock: the run ends.
    void SetStop()
    {
        stop_ = true;
        stopping_.store(true, std::memory_order_relaxed);
        WakeAll();
    }

    // Under the lock.
    void WakeAll()
    {
        workCv_.notify_all();
        headCv_.notify_all();
        roomCv_.notify_all();
    }

    // Heavier first; of equal weight, the earlier in the list.
    bool Lighter(std::uint64_t a, std::uint64_t b)
    {
        const std::uint64_t wa = SlotOf(a).facts.weight;
        const std::uint64_t wb = SlotOf(b).facts.weight;
        return wa < wb || (wa == wb && a > b);
    }

    // Whether the look-ahead takes another item; with `margin`, whether it
    // has room for many, to wake a producer that waits.
    bool HasRoom(bool margin = false) const
    {
        if (tail_ == head_)
            return true;
        const std::size_t items = margin ? kRefillItems : 1;
        const std::size_t bytes = margin ? kRefillBytes : 1;
        const std::size_t descriptors = margin ? settings_.descriptorLimit / 4 + 1 : 1;
        return tail_ - head_ + items <= kLookAheadItems && bytes_ + bytes <= kLookAheadBytes &&
               (settings_.heldDescriptors == nullptr ||
                settings_.heldDescriptors->load(std::memory_order_acquire) + descriptors <= settings_.descriptorLimit);
    }

    void Produce()
    {
        for (;;) {
            {
                std::unique_lock lock(mutex_);
                if (!stop_ && !HasRoom()) {
                    // A caller with a lone item waiting for workers works on it now.
                    producerWaiting_ = true;
                    headCv_.notify_one();
                    roomCv_.wait(lock, [&] { return stop_ || HasRoom(true); });
                    producerWaiting_ = false;
                }
                if (stop_)
                    return;
            }
            const std::uint64_t item = tail_;  // only this thread moves the tail
            const std::optional<ItemFacts> facts = settings_.next(item % kLookAheadItems);
            bool startWorkers = false;
            {
                const std::lock_guard lock(mutex_);
                if (!facts) {
                    ended_ = true;
                    if (settings_.tally != nullptr)
                        settings_.tally->listEnded = true;
                    WakeAll();
                    return;
                }
                Slot& slot = SlotOf(item);
                slot.facts = *facts;
                slot.state.store(facts->work ? State::Pending : State::Finished, std::memory_order_relaxed);
                bytes_ += facts->listBytes;
                ++tail_;
                if (facts->work && settings_.tally != nullptr) {
                    ++settings_.tally->filesListed;
                    settings_.tally->bytesListed += facts->weight;
                    if (facts->onCaller)
                        settings_.tally->sizesUnknown = true;
                }
                if (facts->work && !facts->onCaller) {
                    heap_.push_back(item);
                    heapBytes_ += facts->weight;
                    std::push_heap(heap_.begin(), heap_.end(), [this](auto a, auto b) { return Lighter(a, b); });
                    startWorkers = ++workItems_ == 2;
                    // A worker that is busy takes the next job itself: an
                    // idle one is woken for the first item, for a heavy
                    // one, or once there is a batch to share.
                    const bool heavy = facts->weight > kFileWindowSize;
                    if (idle_ > 0 && (idle_ == workers_.size() || heavy || heap_.size() >= kBatchItems))
                        workCv_.notify_one();
                }
                if (item == head_ || !workersStarted_)
                    headCv_.notify_one();
                if (startWorkers)
                    workersStarted_ = true;
            }
            if (startWorkers)
                StartWorkers();
        }
    }

    // From the second item with work on: alone, an item is done by the caller.
    void StartWorkers()
    {
        try {
            for (unsigned i = 0; i < settings_.threads; ++i)
                workers_.emplace_back([this] { Guarded([&] { Work(); }); });
        } catch (const std::system_error&) {
            // Fewer threads then; with none at all, the caller does the work.
        }
        if (workers_.empty()) {
            const std::lock_guard lock(mutex_);
            workersStarted_ = false;
            headCv_.notify_one();
        }
    }

    // Under the lock: the heaviest item waiting, taken.
    std::uint64_t PopHeaviest()
    {
        std::pop_heap(heap_.begin(), heap_.end(), [this](auto a, auto b) { return Lighter(a, b); });
        const std::uint64_t item = heap_.back();
        heap_.pop_back();
        heapBytes_ -= SlotOf(item).facts.weight;
        SlotOf(item).state.store(State::Taken, std::memory_order_relaxed);
        return item;
    }

    // Under the lock: the weight of the heaviest item waiting but one.
    std::uint64_t SecondHeaviest()
    {
        std::uint64_t weight = 0;
        for (std::size_t child = 1; child <= 2 && child < heap_.size(); ++child)
            weight = std::max(weight, SlotOf(heap_[child]).facts.weight);
        return weight;
    }

    // Under the lock: items for a worker's items in flight, heaviest first,
    // as many as it has room for and no more than its share of those
    // waiting; or an item to work on alone, taken only by a worker that
    // holds nothing. Beside an item would be what the worker holds and takes
    // with it, and the next heaviest when enough wait for each worker to
    // take one; then its share of the rest.
    Taken TakeInFlight(std::vector<std::uint64_t>& job, const ItemsInFlight& flight, bool holding)
    {
        job.clear();
        const std::size_t threads = std::max<std::size_t>(1, settings_.threads);
        const std::size_t share = std::min((heap_.size() + threads - 1) / threads, flight.Room());
        std::uint64_t beside = flight.WeightLeft();
        while (!heap_.empty() && job.size() < share) {
            const std::uint64_t item = heap_.front();
            const std::uint64_t weight = SlotOf(item).facts.weight;
            if (weight > kFileWindowSize) {
                const std::uint64_t next = heap_.size() > threads ? SecondHeaviest() : 0;
                const std::uint64_t rest = (heapBytes_ - weight) / threads;
                if (flight.Alone(item % kLookAheadItems, weight, std::max(beside, next), rest)) {
                    if (holding || !job.empty())
                        return Taken::InFlight;
                    job.push_back(PopHeaviest());
                    return Taken::Alone;
                }
            }
            job.push_back(PopHeaviest());
            beside = std::max(beside, weight);
        }
        return Taken::InFlight;
    }

    // Under the lock: the next job, heaviest first, as a batch of items of
    // one window each, or a heavier item alone.
    void TakeJob(std::vector<std::uint64_t>& job)
    {
        job.clear();
        const std::size_t threads = std::max<std::size_t>(1, settings_.threads);
        const std::size_t share = std::clamp<std::size_t>((heap_.size() + threads - 1) / threads, 1, kBatchItems);
        std::uint64_t bytes = 0;
        while (!heap_.empty() && job.size() < share && bytes < kBatchBytes) {
            const std::uint64_t weight = SlotOf(heap_.front()).facts.weight;
            if (weight > kFileWindowSize && !job.empty())
                break;
            job.push_back(PopHeaviest());
            bytes += weight;
            if (weight > kFileWindowSize)
                break;
        }
    }

    // Works on the job's items, the lock released; the caller is woken at
    // the end, should the oldest item be done or given back, and at a
    // failure.
    void DoJob(std::unique_lock<std::mutex>& lock, const std::vector<std::uint64_t>& job)
    {
        lock.unlock();
        for (std::size_t k = 0; k < job.size(); ++k) {
            const std::uint64_t item = job[k];
            if (stopping_.load(std::memory_order_relaxed)) {
                // After a failure no item starts: these were never begun.
                for (; k < job.size(); ++k)
                    SlotOf(job[k]).state.store(State::Pending, std::memory_order_release);
                break;
            }
            try {
                settings_.work(item % kLookAheadItems);
            } catch (...) {
                SlotOf(item).state.store(State::Failed, std::memory_order_release);
                // Those after it in the job are never begun; one of them
                // may come before it in the list.
                for (++k; k < job.size(); ++k)
                    SlotOf(job[k]).state.store(State::Pending, std::memory_order_release);
                lock.lock();
                throw;
            }
            if (settings_.tally != nullptr)
                ++settings_.tally->filesDone;
            SlotOf(item).state.store(State::Finished, std::memory_order_release);
        }
        lock.lock();
        WakeCallerForHead(false);
    }

    // Under the lock, after a worker's items changed state without it: the
    // caller waits for the oldest item while it is taken, and after a
    // failure an item never begun is given back as pending. Finished items
    // wake it once there are a few in a row, or the list has ended, or the
    // worker is `idle` (about to wait for more): whatever waits on the
    // caller then has it.
    void WakeCallerForHead(bool idle)
    {
        if (head_ >= tail_)
            return;
        const State state = SlotOf(head_).state.load(std::memory_order_acquire);
        if (state == State::Taken)
            return;
        if (state == State::Finished && !idle && !ended_ && !stop_) {
            std::uint64_t item = head_;
            std::uint64_t bytes = 0;
            while (item < tail_ && item - head_ < kWakeItems && bytes < kBatchBytes &&
                   SlotOf(item).state.load(std::memory_order_acquire) == State::Finished)
                bytes += SlotOf(item++).facts.weight;
            // Not for a few small files: unless the one they wait for is
            // standard input, which the caller reads, or a large file, whose
            // wait may be long.
            if (item - head_ < kWakeItems && bytes < kBatchBytes && item < tail_ && !SlotOf(item).facts.onCaller &&
                SlotOf(item).facts.weight <= kFileWindowSize)
                return;
        }
        headCv_.notify_one();
    }

    void Work()
    {
        if (settings_.inFlight) {
            if (const std::unique_ptr<ItemsInFlight> flight = settings_.inFlight())
                return WorkInFlight(*flight);
        }
        std::vector<std::uint64_t> job;
        std::unique_lock lock(mutex_);
        for (;;) {
            if (heap_.empty())
                WakeCallerForHead(true);
            ++idle_;
            workCv_.wait(lock, [&] { return stop_ || !heap_.empty() || ended_; });
            --idle_;
            if (stop_ || heap_.empty())
                return;
            TakeJob(job);
            DoJob(lock, job);
        }
    }

    // A worker with items in flight: it takes items as room comes free and
    // has them work meanwhile, and waits only while it holds none. After a
    // failure it takes no more, and what it holds still ends; should the
    // items in flight fail, every one of them counts as failed.
    void WorkInFlight(ItemsInFlight& flight)
    {
        std::vector<std::uint64_t> job;
        std::vector<std::uint64_t> held;
        std::vector<std::size_t> ended;
        const auto failAll = [&](std::size_t from) {
            for (const std::uint64_t item : held)
                SlotOf(item).state.store(State::Failed, std::memory_order_release);
            for (std::size_t k = from; k < job.size(); ++k)
                SlotOf(job[k]).state.store(State::Pending, std::memory_order_release);
        };
        std::unique_lock lock(mutex_);
        for (;;) {
            if (held.empty()) {
                if (heap_.empty())
                    WakeCallerForHead(true);
                ++idle_;
                workCv_.wait(lock, [&] { return stop_ || !heap_.empty() || ended_; });
                --idle_;
                if (stop_ || heap_.empty())
                    return;
            }
            job.clear();
            if (!stop_ && TakeInFlight(job, flight, !held.empty()) == Taken::Alone) {
                DoJob(lock, job);
                continue;
            }
            lock.unlock();
            for (std::size_t k = 0; k < job.size(); ++k) {
                if (stopping_.load(std::memory_order_relaxed)) {
                    for (; k < job.size(); ++k)
                        SlotOf(job[k]).state.store(State::Pending, std::memory_order_release);
                    break;
                }
                try {
                    flight.Begin(job[k] % kLookAheadItems);
                } catch (...) {
                    SlotOf(job[k]).state.store(State::Failed, std::memory_order_release);
                    failAll(k + 1);
                    lock.lock();
                    throw;
                }
                held.push_back(job[k]);
            }
            job.clear();
            if (!held.empty()) {
                ended.clear();
                try {
                    flight.Advance(ended);
                } catch (...) {
                    failAll(0);
                    lock.lock();
                    throw;
                }
                for (const std::size_t slot : ended) {
                    const auto item = std::find_if(held.begin(), held.end(),
                                                   [&](std::uint64_t i) { return i % kLookAheadItems == slot; });
                    if (settings_.tally != nullptr)
                        ++settings_.tally->filesDone;
                    SlotOf(*item).state.store(State::Finished, std::memory_order_release);
                    held.erase(item);
                }
            }
            lock.lock();
            WakeCallerForHead(false);
        }
    }

    // The caller's part: each item taken in list order; standard input's
    // worked on here in turn; and the work itself while no worker runs.
    void TakeInOrder()
    {
        std::vector<std::uint64_t> job;
        std::unique_lock lock(mutex_);
        for (;;) {
            const auto headIs = [&](State state) {
                return head_ < tail_ && SlotOf(head_).state.load(std::memory_order_acquire) == state;
            };
            const auto onCaller = [&] { return headIs(State::Pending) && SlotOf(head_).facts.onCaller; };
            // A list with one file has no workers: the caller digests it
            // once the list has ended, or has no room left for a second.
            const auto mustWork = [&] { return !workersStarted_ && !heap_.empty() && (ended_ || producerWaiting_); };
            // After a failure, the items begun before it still end and are
            // taken in turn; the run ends at the failed one, or one never begun.
            const auto ready = [&] {
                if (stop_)
                    return !headIs(State::Taken);
                return headIs(State::Finished) || onCaller() || (ended_ && head_ == tail_) || mustWork();
            };
            if (!ready()) {
                lock.unlock();
                CaughtUp();
                lock.lock();
            }
            headCv_.wait(lock, ready);
            if (!headIs(State::Finished)) {
                if (stop_ || (ended_ && head_ == tail_)) {
                    const bool stopped = stop_;
                    lock.unlock();
                    if (!stopped)
                        CaughtUp();
                    return;
                }
                if (onCaller()) {
                    // What was taken before is seen while this one takes its time.
                    Slot& first = SlotOf(head_);
                    first.state.store(State::Taken, std::memory_order_relaxed);
                    lock.unlock();
                    CaughtUp();
                    settings_.work(head_ % kLookAheadItems);
                    if (settings_.tally != nullptr)
                        ++settings_.tally->filesDone;
                    lock.lock();
                    first.state.store(State::Finished, std::memory_order_relaxed);
                } else {
                    TakeJob(job);
                    lock.unlock();
                    CaughtUp();
                    lock.lock();
                    DoJob(lock, job);
                    continue;
                }
            }
            // Every finished item from the head on is taken in one go.
            std::uint64_t end = head_;
            std::size_t bytes = 0;
            while (end < tail_ && SlotOf(end).state.load(std::memory_order_acquire) == State::Finished) {
                bytes += SlotOf(end).facts.listBytes;
                ++end;
            }
            const std::uint64_t from = head_;
            lock.unlock();
            for (std::uint64_t item = from; item < end; ++item)
                settings_.done(item % kLookAheadItems);
            lock.lock();
            head_ = end;
            bytes_ -= bytes;
            if (producerWaiting_ && HasRoom(true))
                roomCv_.notify_one();
        }
    }

    void CaughtUp()
    {
        if (settings_.caughtUp)
            settings_.caughtUp();
    }

    const SideBySide& settings_;
    std::mutex mutex_;
    std::condition_variable workCv_;   // workers wait for items
    std::condition_variable headCv_;   // the caller waits for the oldest item
    std::condition_variable roomCv_;   // the producer waits for room
    std::vector<Slot> slots_;          // by item number modulo the look-ahead
    std::uint64_t head_ = 0;           // the oldest item not yet taken
    std::uint64_t tail_ = 0;           // the next item to come
    std::size_t bytes_ = 0;            // of the list, from head to tail
    std::vector<std::uint64_t> heap_;  // items waiting for a worker, heaviest on top
    std::uint64_t heapBytes_ = 0;      // their weights
    std::uint64_t workItems_ = 0;
    unsigned idle_ = 0;
    bool ended_ = false;
    bool stop_ = false;
    std::atomic<bool> stopping_{false};  // stop_, for workers between items
    bool workersStarted_ = false;
    bool producerWaiting_ = false;  // for room in the look-ahead
    std::exception_ptr failure_;
    std::vector<std::jthread> workers_;
};

}  // namespace

void RunSideBySide(const SideBySide& settings)
{
    if (settings.threads == 0)
        return RunOneByOne(settings);
    SideBySideRun(settings).Go();
}
