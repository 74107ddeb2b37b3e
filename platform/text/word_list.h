#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace platform {

// Items as a sentence lists them: "a", "a and b", "a, b and c"; with
// lastSeparator ", " a plain list, "a, b, c".
std::string WordList(const std::vector<std::string>& items, std::string_view lastSeparator = " and ");

}  // namespace platform
