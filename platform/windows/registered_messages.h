#pragma once

#include <cstdint>
#include <string_view>

namespace platform {

// The first and last numbers that registered messages get.
constexpr std::uint32_t kFirstRegisteredMessage = 0xC000;
constexpr std::uint32_t kLastRegisteredMessage = 0xFFFF;

// The number of the message called `name`: the same name gives the same
// number in every process of this user. Names live in <private dir>/messages,
// one a line, appended under a lock; a name's number is 0xC000 plus its line.
// Throws std::system_error (ENOSPC once every number is taken).
std::uint32_t RegisterWindowMessage(std::string_view name);

}  // namespace platform
