#include "platform/windows/wire_frame.h"

#include <algorithm>
#include <cstring>

namespace platform::wire {
namespace {

constexpr std::uint8_t kHasData = 0x01;

void Put(std::uint8_t* at, std::uint64_t value, int bytes)
{
    for (int i = 0; i < bytes; ++i)
        at[i] = static_cast<std::uint8_t>(value >> (8 * i));
}

std::uint64_t Get(const std::uint8_t* at, int bytes)
{
    std::uint64_t value = 0;
    for (int i = bytes - 1; i >= 0; --i)
        value = (value << 8) | at[i];
    return value;
}

}  // namespace

std::vector<std::uint8_t> Encode(const Frame& frame)
{
    if (frame.data.size() > kMaxData || (!frame.hasData && !frame.data.empty()))
        return {};
    std::vector<std::uint8_t> bytes(kHeaderSize + frame.data.size(), 0);
    std::uint8_t* h = bytes.data();
    Put(h + 0, kMagic, 4);
    h[4] = static_cast<std::uint8_t>(frame.kind);
    h[5] = frame.hasData ? kHasData : 0;
    h[6] = static_cast<std::uint8_t>(frame.status);
    Put(h + 8, frame.sequence, 4);
    Put(h + 12, frame.message, 4);
    Put(h + 16, frame.window, 8);
    Put(h + 24, static_cast<std::uint32_t>(frame.thread), 4);
    Put(h + 28, frame.dataKind, 4);
    Put(h + 32, static_cast<std::uint64_t>(frame.wParam), 8);
    Put(h + 40, static_cast<std::uint64_t>(frame.lParam), 8);
    Put(h + 48, static_cast<std::uint64_t>(frame.result), 8);
    Put(h + 56, frame.data.size(), 4);
    if (!frame.data.empty())
        std::memcpy(h + kHeaderSize, frame.data.data(), frame.data.size());
    return bytes;
}

FrameReader::State FrameReader::CheckHeader()
{
    const std::uint8_t* h = header_.data();
    const std::uint8_t kind = h[4];
    const std::uint8_t flags = h[5];
    const std::uint8_t status = h[6];
    const auto size = static_cast<std::uint32_t>(Get(h + 56, 4));
    const bool hasData = (flags & kHasData) != 0;
    const bool reply = kind == static_cast<std::uint8_t>(FrameKind::Reply);
    if (Get(h, 4) != kMagic || kind < 1 || kind > 4 || (flags & ~kHasData) != 0 || h[7] != 0 || Get(h + 60, 4) != 0 ||
        size > kMaxData || (!hasData && size != 0) || (reply && hasData) ||
        status > static_cast<std::uint8_t>(ReplyStatus::NoWindow) || (!reply && status != 0))
        return State::Malformed;
    frame_ = Frame{};
    frame_.kind = static_cast<FrameKind>(kind);
    frame_.hasData = hasData;
    frame_.status = static_cast<ReplyStatus>(status);
    frame_.sequence = static_cast<std::uint32_t>(Get(h + 8, 4));
    frame_.message = static_cast<std::uint32_t>(Get(h + 12, 4));
    frame_.window = Get(h + 16, 8);
    frame_.thread = static_cast<std::int32_t>(static_cast<std::uint32_t>(Get(h + 24, 4)));
    frame_.dataKind = static_cast<std::uint32_t>(Get(h + 28, 4));
    frame_.wParam = static_cast<std::int64_t>(Get(h + 32, 8));
    frame_.lParam = static_cast<std::int64_t>(Get(h + 40, 8));
    frame_.result = static_cast<std::int64_t>(Get(h + 48, 8));
    dataSize_ = size;
    return size == 0 ? State::Ready : State::NeedMore;
}

FrameReader::State FrameReader::Feed(const std::uint8_t* bytes, std::size_t count, std::size_t& used, std::size_t room)
{
    used = 0;
    if (state_ != State::NeedMore)
        return state_;
    if (headerFill_ < kHeaderSize) {
        const std::size_t take = std::min(count, kHeaderSize - headerFill_);
        if (take > 0)
            std::memcpy(header_.data() + headerFill_, bytes, take);
        headerFill_ += take;
        used += take;
        if (headerFill_ < kHeaderSize)
            return state_;
        state_ = CheckHeader();
        if (state_ != State::NeedMore)
            return state_;
    }
    std::vector<std::uint8_t>& data = frame_.data;
    const std::size_t take = std::min(count - used, dataSize_ - data.size());
    if (data.size() + take > data.capacity()) {
        if (data.size() + take > room)
            return state_ = State::OverBudget;
        // At least double, so that a frame in many small pieces is copied a
        // few times only; never past the declared size or the room.
        const std::size_t wanted = std::min(dataSize_, std::max(data.size() + take, 2 * data.capacity()));
        data.reserve(std::min(wanted, room));
    }
    data.insert(data.end(), bytes + used, bytes + used + take);
    used += take;
    if (data.size() == dataSize_)
        state_ = State::Ready;
    return state_;
}

Frame FrameReader::Take()
{
    Frame frame = std::move(frame_);
    frame_ = Frame{};
    state_ = State::NeedMore;
    headerFill_ = 0;
    dataSize_ = 0;
    return frame;
}

}  // namespace platform::wire
