#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

// The frames that carry window messages between the processes of one user,
// one frame per connection (a reply goes back on the same connection).
//
// Layout, little-endian, 64 bytes of header and then the data bytes:
//    0 u32 magic "VMK1"      4 u8 kind       5 u8 flags (bit 0: has data)
//    6 u8 status (replies)   7 u8 zero       8 u32 sequence
//   12 u32 message          16 u64 window   24 i32 thread
//   28 u32 data kind        32 i64 wParam   40 i64 lParam
//   48 i64 result           56 u32 data size 60 u32 zero
// The reader trusts nothing in it: anything out of place makes the frame
// malformed, a declared size is checked before any byte is stored, and room
// for the data is made as the bytes arrive, never for what a header merely
// declares.
namespace platform::wire {

enum class FrameKind : std::uint8_t { Post = 1, Notify = 2, Send = 3, Reply = 4 };

// How a blocking send ended on the receiving side.
enum class ReplyStatus : std::uint8_t { Handled = 0, NoWindow = 1 };

constexpr std::uint32_t kMagic = 0x314B4D56;  // "VMK1"
constexpr std::size_t kHeaderSize = 64;
// The most data one frame may carry: a command line or any block a user
// hands over fits many times; more would let a peer make us allocate freely.
constexpr std::uint32_t kMaxData = 16u << 20;
// The most bytes of frames that one process holds at once, over all the
// connections it is reading: several of the largest frames, far more than
// the program ever sends, and still a bound on what peers can make it hold.
constexpr std::size_t kMaxInFlight = 64u << 20;

struct Frame {
    FrameKind kind = FrameKind::Post;
    bool hasData = false;
    ReplyStatus status = ReplyStatus::Handled;
    std::uint32_t sequence = 0;
    std::uint32_t message = 0;
    std::uint64_t window = 0;
    std::int32_t thread = 0;
    std::uint32_t dataKind = 0;
    std::int64_t wParam = 0;
    std::int64_t lParam = 0;
    std::int64_t result = 0;
    std::vector<std::uint8_t> data;
};

// The bytes of a frame. A frame whose data is larger than kMaxData, or that
// carries data it says it has not, gives an empty vector.
std::vector<std::uint8_t> Encode(const Frame& frame);

// Collects the bytes of one frame as they arrive, in any pieces.
class FrameReader {
public:
    // OverBudget: the frame's data would need more memory than `room` allows.
    enum class State { NeedMore, Ready, Malformed, OverBudget };

    // Takes up to `count` bytes and says how many it used; it never takes
    // bytes past the end of its frame. Once Malformed, OverBudget or Ready it
    // takes none. The data never holds more than `room` bytes of memory.
    State Feed(const std::uint8_t* bytes, std::size_t count, std::size_t& used, std::size_t room = SIZE_MAX);
    State Current() const noexcept { return state_; }

    // The memory the reader holds for the frame's data.
    std::size_t Held() const noexcept { return frame_.data.capacity(); }

    // The frame, once Ready; the reader is then empty again.
    Frame Take();

private:
    State CheckHeader();

    State state_ = State::NeedMore;
    std::array<std::uint8_t, kHeaderSize> header_{};
    std::size_t headerFill_ = 0;
    Frame frame_;
    std::size_t dataSize_ = 0;  // as the header declares it
};

}  // namespace platform::wire
