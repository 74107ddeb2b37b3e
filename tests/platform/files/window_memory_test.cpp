// The memory files are read into: every byte of it usable, large windows on
// huge-page boundaries, one owner at a time.
#include "platform/files/window_memory.h"

#include <cstdint>
#include <utility>

#include <gtest/gtest.h>

#include "platform/base/sanitizers.h"
#include "platform/files/file_reader.h"

namespace {

using platform::WindowMemory;

#if defined(VELLUMARK_ASAN)
constexpr bool kFromNew = true;  // so that AddressSanitizer checks the bounds
#else
constexpr bool kFromNew = false;
#endif

TEST(WindowMemory, EveryByteIsUsableAndLargeWindowsStartOnAHugePage)
{
    for (const std::size_t size : {std::size_t{1}, std::size_t{128} << 10, std::size_t{1} << 20,
                                   (std::size_t{1} << 20) + 1, std::size_t{8} << 20}) {
        WindowMemory memory(size);
        unsigned char* const bytes = memory.get();
        ASSERT_NE(bytes, nullptr) << size;
        for (std::size_t i = 0; i < size; ++i)
            bytes[i] = static_cast<unsigned char>(i * 7 + size);
        for (std::size_t i = 0; i < size; ++i)
            ASSERT_EQ(bytes[i], static_cast<unsigned char>(i * 7 + size)) << size << " bytes, at " << i;
        if (size >= (std::size_t{1} << 20) && !kFromNew) {
            EXPECT_EQ(reinterpret_cast<std::uintptr_t>(bytes) % (std::uintptr_t{2} << 20), 0u) << size;
        }
    }
}

TEST(WindowMemory, OneOwnerAtATimeAndNoneAfterReset)
{
    WindowMemory first(std::size_t{2} << 20);
    unsigned char* const bytes = first.get();
    bytes[0] = 1;
    WindowMemory second(std::move(first));
    EXPECT_EQ(first.get(), nullptr);
    EXPECT_EQ(second.get(), bytes);
    WindowMemory third(std::size_t{64} << 10);
    third = std::move(second);  // third's own memory is released
    EXPECT_EQ(second.get(), nullptr);
    ASSERT_EQ(third.get(), bytes);
    EXPECT_EQ(third.get()[0], 1);
    third.reset();
    EXPECT_EQ(third.get(), nullptr);
    third.reset();  // twice is harmless
    WindowMemory empty;
    EXPECT_EQ(empty.get(), nullptr);
}

TEST(WindowMemory, MoreThanTheAddressSpaceHoldsIsRefused)
{
    if (kFromNew)
        GTEST_SKIP() << "AddressSanitizer stops a new[] of that size itself";
    EXPECT_THROW(WindowMemory(SIZE_MAX), platform::ENoMemoryError);
    EXPECT_THROW(WindowMemory(SIZE_MAX / 2), platform::ENoMemoryError);
}

}  // namespace
