#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>

// Work on the items of a list that runs on several cores while the results
// are taken in list order: files checked side by side, reported as listed.
struct SideBySide {
    std::size_t count = 0;
    // Threads besides the caller's. With none, or with one item, every item
    // runs on the calling thread, one after the other.
    unsigned threads = 0;
    // Heavier items start first (a file's size), so that the longest is not
    // the last to begin; equal weights keep the list's order. May be empty.
    std::function<std::uint64_t(std::size_t)> weight;
    // Items that run on the calling thread, in list order, each just before
    // it is taken (reading standard input, which two threads must not share).
    // May be empty.
    std::function<bool(std::size_t)> inOrder;
    // Runs item i. Called for several items at once, on any thread.
    std::function<void(std::size_t)> work;
    // Takes item i's result, on the calling thread, for i = 0, 1, 2... each
    // as soon as its work and that of every item before it is done.
    std::function<void(std::size_t)> done;
};

// Returns once every item is done. An exception from work or done ends the
// run: no other item starts, the threads are joined, and the first exception
// travels on from here.
void RunSideBySide(const SideBySide& run);
