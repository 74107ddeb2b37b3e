#include "platform/text/error_text.h"

namespace platform {

std::string WithFullStop(const std::string& message)
{
    // In UTF-8 every byte of a multi-byte character is 0x80 or above, so the
    // last byte decides exactly as the character's first byte would.
    if (!message.empty() && static_cast<unsigned char>(message.back()) > static_cast<unsigned char>('.'))
        return message + '.';
    return message;
}

}  // namespace platform
