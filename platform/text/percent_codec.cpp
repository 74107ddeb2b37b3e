#include "platform/text/percent_codec.h"

#include "platform/base/ascii.h"

namespace platform {

std::string PercentEncode(std::string_view text, bool (*keep)(unsigned char byte))
{
    std::string out;
    out.reserve(text.size());
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte != '%' && keep(byte)) {
            out += c;
        } else {
            out += '%';
            AppendHexBytes(out, &byte, 1, true);
        }
    }
    return out;
}

std::optional<std::string> PercentDecode(std::string_view text, bool (*allowedAsIs)(unsigned char byte),
                                         bool (*allowedEscaped)(unsigned char byte))
{
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        const auto byte = static_cast<unsigned char>(text[i]);
        if (byte != '%') {
            if (!allowedAsIs(byte))
                return std::nullopt;
            out += text[i];
            continue;
        }
        if (i + 2 >= text.size())
            return std::nullopt;
        const int high = HexDigitValue(text[i + 1]);
        const int low = HexDigitValue(text[i + 2]);
        if (high < 0 || low < 0)
            return std::nullopt;
        const auto decoded = static_cast<unsigned char>(high * 16 + low);
        if (!allowedEscaped(decoded))
            return std::nullopt;
        out += static_cast<char>(decoded);
        i += 2;
    }
    return out;
}

}  // namespace platform
