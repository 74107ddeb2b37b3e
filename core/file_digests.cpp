#include "core/file_digests.h"

#include <algorithm>
#include <array>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <exception>
#include <map>
#include <mutex>
#include <optional>
#include <system_error>
#include <thread>
#include <vector>

#include "core/held_still.h"
#include "platform/files/fingerprint.h"
#include "platform/files/window_memory.h"
#include "platform/process/thread_identity.h"

namespace {

// A window is large enough that handing it from thread to thread costs
// nothing next to digesting it, and the ring lets the reader run a few
// windows ahead of the slowest digest. A digest alone that runs about as
// fast as the page cache gives its bytes (CRC-32, and SHA-1 and SHA-256 on
// the SHA instructions) is fed on the thread that reads, each window while it
// is still in the core's own cache: from a reader on another core each window
// would have to come through the caches, which made SHA-1 or SHA-256 alone
// take 1.4 times as long on 512 MiB. That thread has no one to run ahead of,
// so it reads into one window over and over: the system's copy then writes
// to memory the core holds, where eight windows in turn would not fit its
// cache and the copy, for CRC-32 most of the cost, would be dearer.
constexpr std::size_t kWindowCount = kFileRingWindows;
constexpr std::size_t kCheapWindowSize = std::size_t{128} << 10;
// A lane that feeds several digests gives each this much of the window in
// turn, so that the next finds it in the core's own cache: with SHA-1,
// SHA-256 and CRC-32 on one lane that lane took 8 to 10% less processor
// time than with the whole window to each in turn.
constexpr std::size_t kFeedPiece = std::size_t{64} << 10;

// Waiting threads look at the control this often: a cancelled run lets go of
// its threads within this time (but for one stuck in a read).
constexpr auto kPollInterval = std::chrono::milliseconds(20);

struct Window {
    unsigned char* bytes = nullptr;  // in the ring's memory
    std::size_t size = 0;
};

// The windows between the reader and the lanes (the threads that feed the
// digests). Window n lives in slot n mod the ring's size; the reader fills a
// slot again only when every lane is done with what it held. The first
// failure, or a cancel, stops every thread at its next step.
class Ring {
public:
    Ring(std::size_t lanes, std::size_t windows, std::size_t windowSize, RunControl& control)
        : control_(control), memory_(windows * windowSize), windows_(windows), consumed_(lanes, 0)
    {
        // One piece of memory for them all, in as few huge pages as hold it.
        for (std::size_t w = 0; w < windows; ++w)
            windows_[w].bytes = memory_.get() + w * windowSize;
    }

    // The slot for window n, once it is free; null once the run stops. A
    // reader that has caught up with the lanes waits until half the ring is
    // free, and then fills it in one go: woken for each window, it cost the
    // lane that wakes it a system call and the reader's core a wake-up for
    // every window, some 2% of a BLAKE2b run's time on a virtual machine.
    Window* ForReading(std::uint64_t n)
    {
        std::unique_lock lock(mutex_);
        if (!Stopping() && n >= windows_.size() && FreeSlots(n) == 0)
            while (!Stopping() && FreeSlots(n) < RefillSlots())
                Wait(lock);
        return stopped_ ? nullptr : &windows_[n % windows_.size()];
    }

    void Publish(bool last)
    {
        {
            const std::lock_guard lock(mutex_);
            ++published_;
            ended_ = last;
        }
        changed_.notify_all();
    }

    // The lane's next window; null after the last one, or once the run stops.
    const Window* ForLane(std::size_t lane)
    {
        std::unique_lock lock(mutex_);
        const std::uint64_t n = consumed_[lane];
        while (!Stopping() && n >= published_ && !ended_)
            Wait(lock);
        return stopped_ || n >= published_ ? nullptr : &windows_[n % windows_.size()];
    }

    // The lane is done with its window; once every lane is, it counts as done.
    void Consumed(std::size_t lane)
    {
        bool refill = false;
        {
            const std::lock_guard lock(mutex_);
            const std::uint64_t before = SlowestLane();
            ++consumed_[lane];
            for (std::uint64_t n = before; n < SlowestLane(); ++n)
                control_.AddDone(windows_[n % windows_.size()].size);
            // The reader waits for its next window, published_, to have
            // RefillSlots() slots free: it is woken once, as they come to be.
            refill = SlowestLane() != before && FreeSlots(published_) == RefillSlots();
        }
        if (refill)
            changed_.notify_all();
    }

    void Stop(std::exception_ptr error)
    {
        {
            const std::lock_guard lock(mutex_);
            if (!error_)
                error_ = std::move(error);
            stopped_ = true;
        }
        changed_.notify_all();
    }

    // The first failure, once every thread has stopped.
    std::exception_ptr Error() const
    {
        const std::lock_guard lock(mutex_);
        return error_;
    }

    // For a run that ends up with fewer lanes than it set out with.
    void SetLanes(std::size_t lanes)
    {
        const std::lock_guard lock(mutex_);
        consumed_.resize(lanes);
    }

private:
    // Under the lock.
    bool Stopping()
    {
        if (!stopped_ && control_.Cancelled()) {
            stopped_ = true;
            error_ = std::make_exception_ptr(ERunCancelled());
            changed_.notify_all();
        }
        return stopped_;
    }

    std::uint64_t SlowestLane() const { return *std::min_element(consumed_.begin(), consumed_.end()); }

    // Slots that window n and those after it can be read into now.
    std::uint64_t FreeSlots(std::uint64_t n) const { return SlowestLane() + windows_.size() - n; }
    std::uint64_t RefillSlots() const { return (windows_.size() + 1) / 2; }

    void Wait(std::unique_lock<std::mutex>& lock) { changed_.wait_for(lock, kPollInterval); }

    RunControl& control_;
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    platform::WindowMemory memory_;
    std::vector<Window> windows_;
    std::vector<std::uint64_t> consumed_;  // windows each lane is done with
    std::uint64_t published_ = 0;
    bool ended_ = false;
    bool stopped_ = false;
    std::exception_ptr error_;
};

// Which digests each lane feeds. The first, the dearest, has a lane of its
// own on the calling thread; the others share what cores are left, or that
// lane too when there is only one.
std::vector<std::vector<std::size_t>> Lanes(std::size_t digests, unsigned cores)
{
    std::vector<std::vector<std::size_t>> lanes(1);
    for (std::size_t d = 0; d < digests; ++d) {
        if (d == 1 && cores > 1)
            lanes.emplace_back();
        else if (d > 1 && lanes.size() < cores)
            lanes.emplace_back();
        lanes.back().push_back(d);
    }
    return lanes;
}

class FileRun {
public:
    FileRun(platform::SharedReadFile& file, engine::WindowDigests& digests, RunControl& control,
            const FileDigestOptions& options, std::size_t windowSize, bool fingerprinted)
        : file_(file), digests_(digests), control_(control), options_(options), windowSize_(windowSize),
          fingerprinted_(fingerprinted)
    {}

    // The first read, with the digests fed as it goes.
    void ReadAndDigest(unsigned cores)
    {
        std::vector<std::vector<std::size_t>> lanes = Lanes(digests_.Count(), cores);
        Ring ring(lanes.size(), cores > 1 ? kWindowCount : 1, windowSize_, control_);
        {
            // Threads of their own for the other lanes and for reading, as far
            // as they can be had; this thread does what is left over.
            std::vector<std::jthread> threads;
            std::optional<std::jthread> reader;
            try {
                for (std::size_t lane = 1; lane < lanes.size(); ++lane)
                    threads.emplace_back(
                        [this, &ring, lane, mine = lanes[lane]] { Guarded(ring, [&] { Feed(ring, lane, mine); }); });
                if (cores > 1)
                    reader.emplace([this, &ring] { Guarded(ring, [&] { Read(ring, nullptr); }); });
            } catch (const std::system_error&) {
                for (std::size_t lane = threads.size() + 1; lane < lanes.size(); ++lane)
                    lanes.front().insert(lanes.front().end(), lanes[lane].begin(), lanes[lane].end());
                lanes.resize(threads.size() + 1);
                ring.SetLanes(lanes.size());
            }
            Guarded(ring, [&] {
                if (reader)
                    Feed(ring, 0, lanes.front());
                else
                    Read(ring, &lanes.front());
            });
            // Every thread stops at the end of the windows or at the first
            // failure, and is joined here.
        }
        if (const std::exception_ptr error = ring.Error())
            std::rethrow_exception(error);
    }

    // The second read of a file without a lease: every window as it was.
    void ReadAgainAndCompareAll()
    {
        if (options_.beforeSecondRead)
            options_.beforeSecondRead();
        const auto buffer = platform::WindowMemory(windowSize_);
        ReadAgainByWindows(file_, fingerprint_, fingerprints_, length_, buffer.get(), windowSize_, control_);
    }

private:
    template <class Work>
    void Guarded(Ring& ring, Work&& work) noexcept
    {
        try {
            work();
        } catch (...) {
            ring.Stop(std::current_exception());
        }
    }

    // Reads window after window to the end of the content. Without a reader
    // thread, the one that reads also feeds the first lane's digests.
    void Read(Ring& ring, const std::vector<std::size_t>* firstLane)
    {
        for (std::uint64_t n = 0;; ++n) {
            Window* window = ring.ForReading(n);
            if (window == nullptr)
                return;
            window->size = file_.ReadAt(length_, window->bytes, windowSize_);
            length_ += window->size;
            if (fingerprinted_)
                fingerprints_.push_back(fingerprint_.Of(window->bytes, window->size));
            // A writer past the lease may have changed what is still to come.
            if (file_.HoldsLease() && !file_.LeaseStillHeld())
                file_.ThrowChanged();
            if (options_.afterRead)
                options_.afterRead(n);
            const bool last = window->size < windowSize_;
            ring.Publish(last);
            if (firstLane != nullptr) {
                if (ring.ForLane(0) == nullptr)
                    return;
                if (options_.beforeFeed)
                    options_.beforeFeed(0, n);
                FeedAll(*firstLane, *window);
                ring.Consumed(0);
            }
            if (last)
                return;
        }
    }

    void FeedAll(const std::vector<std::size_t>& digests, const Window& window)
    {
        for (std::size_t at = 0; at < window.size; at += kFeedPiece) {
            const std::size_t size = std::min(kFeedPiece, window.size - at);
            for (const std::size_t d : digests)
                digests_.Feed(d, window.bytes + at, size);
        }
    }

    void Feed(Ring& ring, std::size_t lane, const std::vector<std::size_t>& digests)
    {
        for (std::uint64_t n = 0; const Window* window = ring.ForLane(lane); ++n) {
            if (options_.beforeFeed)
                options_.beforeFeed(lane, n);
            FeedAll(digests, *window);
            ring.Consumed(lane);
        }
    }

    platform::SharedReadFile& file_;
    engine::WindowDigests& digests_;
    RunControl& control_;
    const FileDigestOptions& options_;
    const std::size_t windowSize_;
    const bool fingerprinted_;
    const platform::WindowFingerprint fingerprint_;
    std::vector<std::uint64_t> fingerprints_;  // of the first read, one per window
    std::uint64_t length_ = 0;                 // of the content, as the first read found it
};

// A digest alone whose message is a tree of its own (plain BLAKE3), of a
// file under a lease: each thread reads a window and digests it apart at
// once, while its bytes are still in that core's cache, and the summaries
// are taken in order. The reads take turns on the one descriptor; what
// overlaps is the digesting. Handed from a reader to another core, 1 GiB
// took 0.20 s, 1.67 times as long as cat, and 0.14 s this way (AMD EPYC, 2
// cores): the reader's copies write to lines the other core has just read,
// and the hashing reads them from afar. The window that holds the last
// byte, and whatever the file has beyond it, is fed as it comes, so that the
// tree's top is the digest's own and a file that grew or shrank is found as
// with one reader.
//
// As the reads take turns, a thread more pays only while the others' reads
// leave room: a window's read takes about as long as its hashing, so beyond
// a few threads they would only wait, each holding a window of memory.
constexpr unsigned kApartThreads = 4;

class ApartRun {
public:
    ApartRun(platform::SharedReadFile& file, engine::WindowDigests& digests, RunControl& control,
             const FileDigestOptions& options)
        : file_(file), digests_(digests), control_(control), options_(options),
          apart_((file.Size() - 1) / kFileWindowSize)
    {}

    void Run(unsigned cores)
    {
        {
            std::vector<std::jthread> helpers;
            for (unsigned t = 1; t < cores; ++t) {
                try {
                    helpers.emplace_back([this] { Work(); });
                } catch (const std::system_error&) {
                    break;  // the threads there are do the work
                }
            }
            Work();
        }
        if (error_)
            std::rethrow_exception(error_);
        if (!control_.Cancelled())
            ReadRest();
    }

private:
    void Work() noexcept
    {
        try {
            const auto buffer = platform::WindowMemory(kFileWindowSize);
            for (;;) {
                std::uint64_t n;
                {
                    const std::lock_guard lock(mutex_);
                    if (error_ || control_.Cancelled() || next_ == apart_)
                        return;
                    n = next_++;
                    Read(n, buffer.get());
                }
                std::array<std::uint8_t, engine::MessageDigest::kApartSummarySize> summary;
                digests_.DigestApart(0, n * kFileWindowSize, buffer.get(), kFileWindowSize, summary.data());
                const std::lock_guard lock(mutex_);
                ready_.emplace(n, summary);
                while (!ready_.empty() && ready_.begin()->first == taken_) {
                    digests_.TakeApart(0, ready_.begin()->second.data(), kFileWindowSize);
                    ready_.erase(ready_.begin());
                    ++taken_;
                }
                control_.AddDone(kFileWindowSize);
            }
        } catch (...) {
            const std::lock_guard lock(mutex_);
            if (!error_)
                error_ = std::current_exception();
        }
    }

    // Window n, whole: the file is larger, as it was opened.
    void Read(std::uint64_t n, unsigned char* buffer)
    {
        if (file_.ReadAt(n * kFileWindowSize, buffer, kFileWindowSize) < kFileWindowSize || !file_.LeaseStillHeld())
            file_.ThrowChanged();
        if (options_.afterRead)
            options_.afterRead(n);
    }

    // From the window that holds the last byte to the end of the content.
    void ReadRest()
    {
        const auto buffer = platform::WindowMemory(kFileWindowSize);
        std::uint64_t length = apart_ * kFileWindowSize;
        for (std::uint64_t n = apart_;; ++n) {
            if (control_.Cancelled())
                return;
            const std::size_t size = file_.ReadAt(length, buffer.get(), kFileWindowSize);
            length += size;
            if (!file_.LeaseStillHeld())
                file_.ThrowChanged();
            if (options_.afterRead)
                options_.afterRead(n);
            digests_.Feed(0, buffer.get(), size);
            control_.AddDone(size);
            if (size < kFileWindowSize)
                break;
        }
        // Shorter than it was opened: the last summary would stand for the
        // whole, and the content is not what was opened anyway.
        if (length < file_.Size())
            file_.ThrowChanged();
    }

    platform::SharedReadFile& file_;
    engine::WindowDigests& digests_;
    RunControl& control_;
    const FileDigestOptions& options_;
    const std::uint64_t apart_;  // windows digested apart: all before the one with the last byte
    std::mutex mutex_;
    std::uint64_t next_ = 0;   // the next window to read
    std::uint64_t taken_ = 0;  // the next window whose summary the digest takes
    std::map<std::uint64_t, std::array<std::uint8_t, engine::MessageDigest::kApartSummarySize>> ready_;
    std::exception_ptr error_;
};

// A file that fits in one window is read whole and digested on the calling
// thread: no ring and no thread for it. Its buffers are the thread's own and
// serve every such file the thread reads (the companion's workers read
// thousands), and they grow only as far as the files need.
class OneWindow {
public:
    // Room for size bytes and one more, which tells a file that grew.
    static unsigned char* Buffer(int which, std::size_t size)
    {
        Scratch& scratch = t_scratch[which];
        if (scratch.size < size) {
            scratch.bytes.reset();
            scratch.size = 0;
            scratch.bytes = platform::WindowMemory(size);
            scratch.size = size;
        }
        return scratch.bytes.get();
    }

private:
    struct Scratch {
        platform::WindowMemory bytes;
        std::size_t size = 0;
    };
    static thread_local Scratch t_scratch[2];
};

thread_local OneWindow::Scratch OneWindow::t_scratch[2];

// The digests of a file read in one go, or nothing when it turned out larger
// than the request (a file of the kernel's, whose size says nothing, or one
// that grew since it was opened), which the windows then read from the start.
std::optional<engine::DigestResults> DigestInOneWindow(platform::SharedReadFile& file, engine::WindowDigests& digests,
                                                       RunControl& control, const FileDigestOptions& options)
{
    const std::size_t request = OneWindowRequest(file.Size());
    unsigned char* bytes = OneWindow::Buffer(0, request);
    const std::size_t size = file.ReadAt(0, bytes, request);
    if (size == request)
        return std::nullopt;
    if (file.HoldsLease() && !file.LeaseStillHeld())
        file.ThrowChanged();
    if (options.afterRead)
        options.afterRead(0);
    if (control.Cancelled())
        throw ERunCancelled();
    for (std::size_t d = 0; d < digests.Count(); ++d)
        digests.Feed(d, bytes, size);
    control.AddDone(size);

    // The bytes themselves are at hand: a second read must find them all again.
    ConfirmHeldStill(file, file.CanReadAgain(), [&] {
        if (options.beforeSecondRead)
            options.beforeSecondRead();
        ReadAgainWhole(file, bytes, size, request, OneWindow::Buffer(1, request), control);
    });
    if (control.Cancelled())
        throw ERunCancelled();
    return digests.Finish();
}

}  // namespace

std::size_t OneWindowRequest(std::uint64_t size)
{
    constexpr std::size_t kStep = std::size_t{64} << 10;
    const std::uint64_t steps = (size + 1 + kStep - 1) / kStep;
    return static_cast<std::size_t>(std::min<std::uint64_t>(steps * kStep, kFileWindowSize + 1));
}

namespace {

// Whether the one digest of `choice` keeps up with the reads (see above).
bool FedWhereRead(const engine::WindowDigestChoice& choice)
{
    return choice.algorithms.Count() == 1 && RowOf(*choice.algorithms.begin()).keepsUpWithReads();
}

}  // namespace

engine::DigestResults DigestFile(platform::SharedReadFile& file, const engine::WindowDigestChoice& choice,
                                 RunControl& control, const FileDigestOptions& options)
{
    if (control.Cancelled())
        throw ERunCancelled();
    engine::WindowDigests digests(choice);
    if (digests.Count() == 0)
        return digests.Finish();  // nothing to read the file for
    const bool readTwice = !file.HoldsLease() && file.CanReadAgain();
    control.SetTotal(file.Size() * (readTwice ? 2 : 1));
    if (file.CanReadAgain() && file.Size() <= kFileWindowSize) {
        if (std::optional<engine::DigestResults> results = DigestInOneWindow(file, digests, control, options))
            return *results;
    }

    const bool cheap = FedWhereRead(choice);
    const unsigned cores = options.cores != 0 ? options.cores : cheap ? 1 : platform::ProcessorCount();
    if (cores > 1 && file.HoldsLease() && file.Size() > kFileWindowSize && !options.beforeFeed &&
        digests.Count() == 1 && digests.TakesApart(0, kFileWindowSize)) {
        ApartRun(file, digests, control, options).Run(std::min(cores, kApartThreads));
        ConfirmHeldStill(file, false, [] {});
        if (control.Cancelled())
            throw ERunCancelled();
        return digests.Finish();
    }
    FileRun run(file, digests, control, options, cheap ? kCheapWindowSize : kFileWindowSize, readTwice);
    run.ReadAndDigest(cores);
    ConfirmHeldStill(file, readTwice, [&] { run.ReadAgainAndCompareAll(); });
    if (control.Cancelled())
        throw ERunCancelled();
    return digests.Finish();
}
