// The CRC table is built by the first CRC of the process. Threads that all
// make that first call at once must each get the right checksum.
#include <gtest/gtest.h>
#include <zlib.h>

#include <cstdint>
#include <latch>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "engine/digest.h"

namespace {

TEST(Crc32FirstUse, RacingFirstCallersAllSeeAWholeTable)
{
    std::mt19937 rng(802);
    std::uniform_int_distribution<int> byte(0, 255);
    std::string message(1 << 16, '\0');
    for (char& c : message)
        c = static_cast<char>(byte(rng));
    const auto expected = static_cast<std::uint32_t>(
        crc32(0, reinterpret_cast<const Bytef*>(message.data()), static_cast<uInt>(message.size())));

    constexpr int kThreads = 4;
    std::vector<std::uint32_t> results(kThreads, 0);
    std::latch start(kThreads);
    std::vector<std::thread> threads;
    for (int i = 0; i < kThreads; ++i)
        threads.emplace_back([&, i] {
            start.arrive_and_wait();
            results[static_cast<std::size_t>(i)] = Crc32OfText(message);
        });
    for (auto& t : threads)
        t.join();

    for (int i = 0; i < kThreads; ++i)
        EXPECT_EQ(results[static_cast<std::size_t>(i)], expected) << "thread " << i;
    EXPECT_EQ(Crc32OfText(message), expected);
}

}  // namespace
