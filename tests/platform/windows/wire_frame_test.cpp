// The frame reader sees bytes from other processes: whatever they are, it
// must neither read nor write outside what it was given, nor take anything
// for a frame that is not exactly one.

#include "platform/windows/wire_frame.h"

#include <gtest/gtest.h>

#include <random>

namespace {

using namespace platform::wire;
using State = FrameReader::State;

Frame Sample(std::size_t dataSize)
{
    Frame frame;
    frame.kind = FrameKind::Send;
    frame.hasData = dataSize > 0;
    frame.sequence = 0x01020304;
    frame.message = 0xC123;
    frame.window = 0x0000123400000042ULL;
    frame.thread = 4321;
    frame.dataKind = 0xFFFFFFFF;
    frame.wParam = -2;
    frame.lParam = 0x7FFFFFFFFFFFFFFFLL;
    frame.data.resize(dataSize);
    for (std::size_t i = 0; i < dataSize; ++i)
        frame.data[i] = static_cast<std::uint8_t>(i * 7);
    return frame;
}

void ExpectSame(const Frame& a, const Frame& b)
{
    EXPECT_EQ(a.kind, b.kind);
    EXPECT_EQ(a.hasData, b.hasData);
    EXPECT_EQ(a.status, b.status);
    EXPECT_EQ(a.sequence, b.sequence);
    EXPECT_EQ(a.message, b.message);
    EXPECT_EQ(a.window, b.window);
    EXPECT_EQ(a.thread, b.thread);
    EXPECT_EQ(a.dataKind, b.dataKind);
    EXPECT_EQ(a.wParam, b.wParam);
    EXPECT_EQ(a.lParam, b.lParam);
    EXPECT_EQ(a.result, b.result);
    EXPECT_EQ(a.data, b.data);
}

// Feeds the bytes in pieces of the given sizes (cycled), as a socket might.
State FeedInPieces(FrameReader& reader, const std::vector<std::uint8_t>& bytes, const std::vector<std::size_t>& pieces,
                   std::size_t& consumed)
{
    consumed = 0;
    State state = State::NeedMore;
    for (std::size_t at = 0, piece = 0; at < bytes.size() && state == State::NeedMore; ++piece) {
        const std::size_t size = std::min(pieces[piece % pieces.size()], bytes.size() - at);
        std::size_t used = 0;
        state = reader.Feed(bytes.data() + at, size, used);
        EXPECT_LE(used, size);
        consumed += used;
        at += size;
    }
    return state;
}

TEST(WireFrameTest, AFrameComesBackWholeHoweverItsBytesArePieced)
{
    for (const std::size_t size : {std::size_t{0}, std::size_t{1}, std::size_t{70000}}) {
        const Frame sent = Sample(size);
        std::vector<std::uint8_t> bytes = Encode(sent);
        ASSERT_EQ(bytes.size(), kHeaderSize + size);
        bytes.push_back(0xEE);  // a byte past the frame is never taken
        for (const auto& pieces : std::vector<std::vector<std::size_t>>{{bytes.size()}, {1}, {63, 2}, {4096, 5}}) {
            FrameReader reader;
            std::size_t consumed = 0;
            ASSERT_EQ(FeedInPieces(reader, bytes, pieces, consumed), State::Ready);
            EXPECT_EQ(consumed, bytes.size() - 1);
            ExpectSame(reader.Take(), sent);
            EXPECT_EQ(reader.Current(), State::NeedMore);
        }
    }
}

TEST(WireFrameTest, AnythingOutOfPlaceInTheHeaderMakesItMalformed)
{
    const std::vector<std::uint8_t> good = Encode(Sample(3));
    struct Case {
        const char* what;
        std::size_t offset;
        std::uint8_t value;
    };
    const Case cases[] = {
        {"magic", 0, 0x00},
        {"kind 0", 4, 0},
        {"kind 5", 4, 5},
        {"unknown flag", 5, 0x03},
        {"no data flag, size 3", 5, 0x00},
        {"status on a send", 6, 1},
        {"reserved byte", 7, 1},
        {"size over the limit", 59, 0x02},
        {"reserved word", 60, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::vector<std::uint8_t> bytes = good;
        bytes[c.offset] = c.value;
        FrameReader reader;
        std::size_t used = 0;
        EXPECT_EQ(reader.Feed(bytes.data(), bytes.size(), used), State::Malformed);
        EXPECT_LE(used, kHeaderSize);
        EXPECT_EQ(reader.Feed(bytes.data(), bytes.size(), used), State::Malformed);
        EXPECT_EQ(used, 0u);
    }
    // A reply carries no data.
    Frame reply = Sample(0);
    reply.kind = FrameKind::Reply;
    std::vector<std::uint8_t> bytes = Encode(reply);
    bytes[5] = 0x01;
    FrameReader reader;
    std::size_t used = 0;
    EXPECT_EQ(reader.Feed(bytes.data(), bytes.size(), used), State::Malformed);
    // What cannot be a frame is not encoded.
    Frame huge = Sample(0);
    huge.hasData = true;
    huge.data.resize(kMaxData + 1);
    EXPECT_TRUE(Encode(huge).empty());
}

// A header costs nothing but itself: memory for the data is taken as the
// data arrives, so peers that declare large frames and send nothing more
// cannot make a process hold what they declared.
TEST(WireFrameTest, MemoryForTheDataGrowsWithTheBytesNotWithTheDeclaredSize)
{
    Frame sample = Sample(0);
    sample.hasData = true;
    sample.data.assign(kMaxData, 0x5A);
    const std::vector<std::uint8_t> bytes = Encode(sample);
    FrameReader reader;
    std::size_t used = 0;
    ASSERT_EQ(reader.Feed(bytes.data(), kHeaderSize, used), State::NeedMore);
    EXPECT_EQ(reader.Held(), 0u) << "room made for the declared size";
    std::size_t at = kHeaderSize;
    for (const std::size_t piece : {std::size_t{1000}, std::size_t{100000}, std::size_t{1} << 20}) {
        ASSERT_EQ(reader.Feed(bytes.data() + at, piece, used), State::NeedMore);
        at += used;
        const std::size_t received = at - kHeaderSize;
        EXPECT_LE(reader.Held(), 2 * received) << received;
        EXPECT_GE(reader.Held(), received);
    }
    // The rest in one go: exactly the declared size, never more.
    ASSERT_EQ(reader.Feed(bytes.data() + at, bytes.size() - at, used), State::Ready);
    EXPECT_EQ(at + used, bytes.size());
    EXPECT_EQ(reader.Held(), std::size_t{kMaxData});
    EXPECT_EQ(reader.Take().data, sample.data);
}

// Within a budget the frame is read whole; data that would need more memory
// than the budget allows stops the frame.
TEST(WireFrameTest, AFrameNeedingMoreThanTheRoomGivenIsOverBudget)
{
    const Frame sent = Sample(70000);
    const std::vector<std::uint8_t> bytes = Encode(sent);
    for (const std::size_t piece : {std::size_t{4096}, bytes.size()}) {
        SCOPED_TRACE(piece);
        FrameReader tight;
        State state = State::NeedMore;
        std::size_t used = 0;
        for (std::size_t at = 0; at < bytes.size() && state == State::NeedMore; at += used) {
            state = tight.Feed(bytes.data() + at, std::min(piece, bytes.size() - at), used, 70000);
            EXPECT_LE(tight.Held(), 70000u);
        }
        ASSERT_EQ(state, State::Ready);
        ExpectSame(tight.Take(), sent);

        FrameReader over;
        state = State::NeedMore;
        for (std::size_t at = 0; at < bytes.size() && state == State::NeedMore; at += used) {
            state = over.Feed(bytes.data() + at, std::min(piece, bytes.size() - at), used, 69999);
            EXPECT_LE(over.Held(), 69999u);
        }
        EXPECT_EQ(state, State::OverBudget);
        EXPECT_EQ(over.Feed(bytes.data(), 1, used, 70000), State::OverBudget);
        EXPECT_EQ(used, 0u);
    }
}

TEST(WireFrameTest, TruncatedFramesNeverCountAsFrames)
{
    const std::vector<std::uint8_t> bytes = Encode(Sample(200));
    for (std::size_t length = 0; length < bytes.size(); ++length) {
        FrameReader reader;
        std::size_t used = 0;
        EXPECT_EQ(reader.Feed(bytes.data(), length, used), State::NeedMore) << length;
        EXPECT_EQ(used, length);
    }
}

TEST(WireFrameTest, RandomAndMutatedBytesAreReadSafely)
{
    std::mt19937 random(20240611);
    const std::vector<std::uint8_t> good = Encode(Sample(40));
    for (int round = 0; round < 20000; ++round) {
        std::vector<std::uint8_t> bytes;
        if (round % 2 == 0) {
            bytes.resize(random() % 200);
            for (auto& byte : bytes)
                byte = static_cast<std::uint8_t>(random());
            // Often a plausible start, so that the later checks are reached.
            if (bytes.size() >= 8 && round % 4 == 0)
                std::copy(good.begin(), good.begin() + 8, bytes.begin());
        } else {
            bytes = good;
            for (int flips = 1 + static_cast<int>(random() % 4); flips > 0; --flips)
                bytes[random() % bytes.size()] = static_cast<std::uint8_t>(random());
            bytes.resize(random() % (bytes.size() + 1));
        }
        FrameReader reader;
        std::size_t consumed = 0;
        const std::vector<std::size_t> pieces{1 + random() % 70, 1 + random() % 70};
        const State state = FeedInPieces(reader, bytes, pieces, consumed);
        ASSERT_LE(consumed, bytes.size());
        if (state == State::Ready) {
            const Frame frame = reader.Take();
            ASSERT_EQ(consumed, kHeaderSize + frame.data.size());
            ASSERT_LE(frame.data.size(), kMaxData);
            // What was read is exactly what was sent.
            ASSERT_TRUE(std::equal(frame.data.begin(), frame.data.end(), bytes.begin() + kHeaderSize));
        }
    }
}

}  // namespace
