#pragma once

#include <string>

namespace platform {

// The error box's text for a failure's message: a "." is appended when the
// message is not empty and its last byte, taken as unsigned, sorts after ".".
// So letters, digits, "?", ":" and any byte of a multi-byte character get a
// full stop; ".", "!", quotes, ")", ",", "-", blanks and line breaks do not.
std::string WithFullStop(const std::string& message);

}  // namespace platform
