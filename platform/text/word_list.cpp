#include "platform/text/word_list.h"

namespace platform {

std::string WordList(const std::vector<std::string>& items, std::string_view lastSeparator)
{
    std::string text;
    for (std::size_t i = 0; i < items.size(); ++i) {
        if (i > 0)
            text += i + 1 == items.size() ? lastSeparator : std::string_view(", ");
        text += items[i];
    }
    return text;
}

}  // namespace platform
