#include "app/textbytes.h"

#include <QByteArray>

namespace {

constexpr char16_t kLineSeparator = 0x2028;       // Shift+Enter in a text box
constexpr char16_t kParagraphSeparator = 0x2029;  // how a text document ends a block

}  // namespace

std::string TextPageBytes(const QString& text)
{
    // Line breaks are settled before the conversion, so that every form of
    // them, whatever the widget or the clipboard delivered, becomes CR LF.
    QString lines;
    lines.reserve(text.size() + text.size() / 8);
    const qsizetype count = text.size();
    for (qsizetype i = 0; i < count; ++i) {
        const char16_t c = text.at(i).unicode();
        if (c == u'\r') {
            if (i + 1 < count && text.at(i + 1) == u'\n')
                ++i;
            lines += QStringLiteral("\r\n");
        } else if (c == u'\n' || c == kLineSeparator || c == kParagraphSeparator) {
            lines += QStringLiteral("\r\n");
        } else {
            lines += text.at(i);
        }
    }
    const QByteArray bytes = lines.toLocal8Bit();
    return std::string(bytes.constData(), static_cast<std::size_t>(bytes.size()));
}
