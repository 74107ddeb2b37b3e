// Taking received blocks apart; sending them between processes is in
// instance_limit_test.

#include "instances/data_blocks.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using Lines = std::vector<std::string>;

Lines Split(const std::string& text)
{
    return SplitTextLines(text.data(), text.size());
}

TEST(DataBlocksTest, LinesEndAtCrLfOrCrLfAndAZeroByteEndsTheText)
{
    EXPECT_EQ(Split("a\r\nb\r\n"), (Lines{"a", "b"}));
    EXPECT_EQ(Split("a\n\nb"), (Lines{"a", "", "b"}));
    EXPECT_EQ(Split("a\rb\nc"), (Lines{"a", "b", "c"}));
    EXPECT_EQ(Split("a\r\r\nb"), (Lines{"a", "", "b"}));
    EXPECT_EQ(Split("last"), (Lines{"last"}));
    EXPECT_EQ(Split("\r\n"), (Lines{""}));
    EXPECT_EQ(Split(""), Lines{});
    EXPECT_EQ(Split(std::string("a\r\nb\0c\r\n", 8)), (Lines{"a", "b"}));
    EXPECT_EQ(SplitTextLines(nullptr, 5), Lines{});
}

TEST(DataBlocksTest, OnlyCopyDataFromAnotherWindowIsABlockAndIsCopiedExactly)
{
    const std::string bytes("x\r\ny\0z", 6);
    platform::CopyDataStruct record{42, static_cast<std::uint32_t>(bytes.size()), bytes.data()};
    TMessage message{platform::kWmCopyData, 7, reinterpret_cast<std::intptr_t>(&record), 99};

    EXPECT_EQ(CopyDataKind(message, 7), -1);  // sent by the ignored window itself
    EXPECT_EQ(message.Result, 0);
    EXPECT_EQ(CopyDataKind(message, 8), 42);
    EXPECT_EQ(message.Result, 1);

    const std::vector<std::uint8_t> copy = ExtractCopyDataBytes(message);
    EXPECT_EQ(std::string(copy.begin(), copy.end()), bytes);
    EXPECT_NE(static_cast<const void*>(copy.data()), static_cast<const void*>(bytes.data()));
    Lines lines{"old"};
    ExtractCopyDataLines(message, lines);
    EXPECT_EQ(lines, (Lines{"x", "y"}));

    // Any other message is no block, whatever its parameters hold.
    TMessage other{platform::kWmSysCommand, 0, reinterpret_cast<std::intptr_t>(&record), 5};
    EXPECT_EQ(CopyDataKind(other, 7), -1);
    EXPECT_EQ(other.Result, 0);
    EXPECT_TRUE(ExtractCopyDataBytes(other).empty());
    ExtractCopyDataLines(other, lines);
    EXPECT_TRUE(lines.empty());

    // An empty block, as a command line without arguments gives.
    platform::CopyDataStruct empty{1, 0, nullptr};
    TMessage none{platform::kWmCopyData, 3, reinterpret_cast<std::intptr_t>(&empty), 0};
    EXPECT_EQ(CopyDataKind(none, 0), 1);
    EXPECT_TRUE(ExtractCopyDataBytes(none).empty());
    ExtractCopyDataLines(none, lines);
    EXPECT_TRUE(lines.empty());
}

TEST(DataBlocksTest, ABlockThatCannotBeSentIsRefusedBeforeAnythingGoes)
{
    const char byte = 'x';
    EXPECT_FALSE(SendBlock("InstanceLimit_WindowClass", 2, &byte, -1, 0).sent);
    EXPECT_FALSE(SendBlock("InstanceLimit_WindowClass", 2, nullptr, 1, 0).sent);
    EXPECT_FALSE(SendBlock("InstanceLimit_WindowClass", 2, &byte, (16 << 20) + 1, 0).sent);
}

}  // namespace
