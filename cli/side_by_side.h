#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

// Work on the items of a list that runs on all cores while the results are
// taken in list order: files named, listed or found in a folder, digested
// side by side and reported as they come in the list.
//
// The list is read as the work goes (a list of a million lines, a list on a
// pipe, a folder walk still counting), never further than a look-ahead
// ahead of the oldest item not yet taken: at most kLookAheadItems items, no
// more than kLookAheadBytes of the list's text, and no further than the
// descriptors its items hold allow. Within it the heaviest
// items start first, so that the largest file is not the last to begin;
// items of one window each go to a thread in batches of like size, one item
// heavier than that alone, or, with items in flight, each thread keeps
// several at once and takes more as they end. Each result is held only
// until every item before it is taken.

inline constexpr std::size_t kLookAheadItems = 4096;
inline constexpr std::size_t kLookAheadBytes = std::size_t{8} << 20;

// What the list tells of an item before it is worked on.
struct ItemFacts {
    // Bytes to read (a file's size): heavier items start first; equal ones
    // keep the list's order.
    std::uint64_t weight = 0;
    // False for an item with nothing to do (a comment, a broken line, an
    // error the list already told): it is taken in turn as it is.
    bool work = true;
    // Worked on the calling thread, in turn, just before it is taken
    // (standard input, which two threads must not share).
    bool onCaller = false;
    // What it holds of the list's text, toward the look-ahead's bound.
    std::size_t listBytes = 0;
};

// How far a run has come, for the progress line. Any thread may read it.
struct RunTally {
    std::atomic<std::uint64_t> filesListed{0};  // items with work, so far
    std::atomic<std::uint64_t> bytesListed{0};  // their weights, so far
    std::atomic<bool> listEnded{false};         // no more items will come
    std::atomic<bool> sizesUnknown{false};      // standard input is among them
    std::atomic<std::uint64_t> filesDone{0};
};

// Several items at once on one thread (files in the lanes of the vector
// unit): each worker makes one of its own, keeps it as full as the list
// allows and has it work while it takes more.
class ItemsInFlight {
public:
    virtual ~ItemsInFlight() = default;
    // Items it takes now.
    virtual std::size_t Room() const = 0;
    // What is left of the weight of its heaviest item at work; 0 when none.
    virtual std::uint64_t WeightLeft() const = 0;
    // Whether the item in `slot`, of `weight`, does better worked on alone
    // (through `work`) than here beside items of which the heaviest weighs
    // `beside`, with `share` more of other items' weight to come.
    virtual bool Alone(std::size_t slot, std::uint64_t weight, std::uint64_t beside, std::uint64_t share) const = 0;
    // Takes the item in `slot`.
    virtual void Begin(std::size_t slot) = 0;
    // Works until an item or more has ended and puts their slots into
    // `ended`; called only while it holds an item.
    virtual void Advance(std::vector<std::size_t>& ended) = 0;
};

struct SideBySide {
    // Threads that work besides the caller's.
    unsigned threads = 0;
    // Puts the next item of the list into `slot` and tells its facts;
    // nothing at the list's end. Runs on a thread of its own, one call after
    // the other, while the items before are worked on; a slot is used again
    // only once the item it held was taken.
    std::function<std::optional<ItemFacts>(std::size_t slot)> next;
    // Works on the item in `slot`. Called for several items at once, on any
    // thread.
    std::function<void(std::size_t slot)> work;
    // When given and it makes one, each worker works on items in flight:
    // all but an item they would rather see worked on alone, which goes to
    // `work` once the worker holds nothing else.
    std::function<std::unique_ptr<ItemsInFlight>()> inFlight;
    // Takes the item in `slot`, on the calling thread, in list order, each
    // as soon as its work and that of every item before it is done.
    std::function<void(std::size_t slot)> done;
    // Called on the calling thread when it has taken every item it can and
    // waits for more. May be empty.
    std::function<void()> caughtUp;
    // Counted as the run goes, when given.
    RunTally* tally = nullptr;
    // Descriptors the items in the look-ahead keep open (a walk's folders),
    // when given: the list is read no further while they are as many as the
    // limit, and is read again as items are taken.
    const std::atomic<std::size_t>* heldDescriptors = nullptr;
    std::size_t descriptorLimit = 0;
};

// Returns once every item is taken. An exception from next, work or done
// ends the run: no other item starts, the threads are joined, and the first
// exception travels on from here.
void RunSideBySide(const SideBySide& settings);

// Room for the items of a run, by slot, made as the run reaches them: a
// short list costs a few items, a long one no more than the look-ahead.
// A slot once made stays where it is, so that threads may hold on to it.
template <class Item>
class Slots {
public:
    Item& operator[](std::size_t slot)
    {
        std::unique_ptr<Item[]>& chunk = chunks_[slot / kChunk];
        if (!chunk)
            chunk = std::make_unique<Item[]>(kChunk);
        return chunk[slot % kChunk];
    }

private:
    static constexpr std::size_t kChunk = 64;
    std::array<std::unique_ptr<Item[]>, kLookAheadItems / kChunk> chunks_;
};
