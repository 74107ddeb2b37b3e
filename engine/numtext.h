#pragma once

#include <cstdint>
#include <string>

// A 32-bit word as digits in Base (2..16), at least MinWidth characters wide.
std::string WordToBaseText(std::uint32_t value, std::uint8_t minWidth, std::uint8_t base, bool upperCase);
std::string WordToHexText(std::uint32_t value, std::uint8_t minWidth, bool upperCase);
