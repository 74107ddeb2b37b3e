#include "about/zelhotlabel.h"

#include <array>
#include <string>
#include <string_view>
#include <utility>

#include <QEnterEvent>
#include <QHelpEvent>
#include <QMouseEvent>
#include <QPalette>
#include <QToolTip>

#include "about/desktopopener.h"
#include "platform/base/ascii.h"
#include "platform/ui/guard.h"
#include "platform/ui/shell.h"

namespace {

// "mailto" has no colon on purpose: the check has always taken it that way.
constexpr std::array<const char*, 5> kAcceptedPrefixes = {"http://", "https://", "mailto", "file:", "ftp://"};

// Only A to Z fold: Unicode folding would let look-alikes such as the long s
// pass for a scheme letter.
bool StartsWithAsciiNoCase(const QString& text, std::string_view prefix)
{
    // A text shorter than the prefix is compared whole, so it never matches.
    if (text.size() < static_cast<qsizetype>(prefix.size())) {
        return false;
    }
    for (std::size_t i = 0; i < prefix.size(); ++i) {
        const char16_t c = platform::AsciiToLower(text[static_cast<qsizetype>(i)].unicode());
        if (c != static_cast<unsigned char>(prefix[i])) {
            return false;
        }
    }
    return true;
}

std::string Quoted(const QString& text)
{
    return "\"" + text.toStdString() + "\"";
}

int& LoadingDepth() noexcept
{
    static int depth = 0;
    return depth;
}

const QColor kNavy(0x00, 0x00, 0x80);
const QColor kRed(0xFF, 0x00, 0x00);

}  // namespace

TZelHotLabel::LayoutLoading::LayoutLoading() noexcept
{
    ++LoadingDepth();
}

TZelHotLabel::LayoutLoading::~LayoutLoading()
{
    --LoadingDepth();
}

TZelHotLabel::TZelHotLabel(QWidget* parent) : QLabel(parent)
{
    // A URL is shown as typed, never read as markup.
    setTextFormat(Qt::PlainText);
    setCursor(Qt::PointingHandCursor);

    TZelHLFont normal = ActualFont();
    normal.font.setUnderline(true);
    normal.color = kNavy;
    ApplyActualFont(normal);
    highlightFont_ = normal;
    highlightFont_.color = kRed;

    SetValidateURL(true);
    captionIsURL_ = true;
    AssignDefaultURL();
    highlightURL_ = false;
    hintStyle_ = TZelHLHintStyle::hsNormal;
    QLabel::setText(url_);
    adjustSize();

    loading_ = LoadingDepth() > 0;
}

TZelHotLabel::~TZelHotLabel() = default;

void TZelHotLabel::Loaded()
{
    loading_ = false;
    if (loadError_) {
        std::rethrow_exception(std::exchange(loadError_, nullptr));
    }
    if (captionIsURL_) {
        SetCaption(url_);
    }
}

void TZelHotLabel::CheckURL(const QString& url) const
{
    if (url.isEmpty()) {
        return;
    }
    for (const char* prefix : kAcceptedPrefixes) {
        if (StartsWithAsciiNoCase(url, prefix)) {
            return;
        }
    }
    throw EZelURLError("Protocol not recognised for URL " + Quoted(url));
}

void TZelHotLabel::AssignDefaultURL()
{
    try {
        SetURL(QString::fromLatin1(DefaultURL));
    } catch (const EZelURLError&) {
        SetURL(QString());
    }
}

void TZelHotLabel::SetURL(const QString& url)
{
    if (!loading_) {
        if (validate_) {
            CheckURL(url);
        }
        if (captionIsURL_) {
            SetCaption(url);
        }
    }
    url_ = url;
}

void TZelHotLabel::SetCaption(const QString& caption)
{
    if (captionIsURL_) {
        if (validate_ && !loading_) {
            CheckURL(caption);
        }
        url_ = caption;
    }
    QLabel::setText(caption);
    adjustSize();
}

QString TZelHotLabel::Caption() const
{
    return text();
}

void TZelHotLabel::SetValidateURL(bool validate)
{
    validate_ = validate;
    if (!validate) {
        return;
    }
    try {
        CheckURL(url_);
    } catch (const EZelURLError&) {
        AssignDefaultURL();
        throw;
    }
}

void TZelHotLabel::SetCaptionIsURL(bool captionIsURL)
{
    captionIsURL_ = captionIsURL;
    if (captionIsURL) {
        SetCaption(url_);
    }
}

TZelHLFont TZelHotLabel::Font() const
{
    return highlighted_ ? savedNormalFont_ : ActualFont();
}

void TZelHotLabel::SetFont(const TZelHLFont& font)
{
    // Over the label the highlight is showing; the new font waits for the leave.
    if (highlighted_) {
        savedNormalFont_ = font;
    } else {
        ApplyActualFont(font);
    }
}

TZelHLFont TZelHotLabel::ActualFont() const
{
    return {font(), palette().color(QPalette::Active, QPalette::WindowText)};
}

void TZelHotLabel::ApplyActualFont(const TZelHLFont& font)
{
    setFont(font.font);
    // The disabled colours stay the style's, so a disabled link looks disabled.
    QPalette colours = palette();
    colours.setColor(QPalette::Active, QPalette::WindowText, font.color);
    colours.setColor(QPalette::Inactive, QPalette::WindowText, font.color);
    setPalette(colours);
}

void TZelHotLabel::Click()
{
    const QString url = url_;
    if (isEnabled() && !url.isEmpty()) {
        if (parentWidget() == nullptr) {
            throw Exception("Control '" + objectName().toStdString() + "' has no parent window");
        }
        const auto owner = static_cast<std::uintptr_t>(window()->effectiveWinId());
        if (!platform::ShellOpenSucceeded(UrlOpenerInUse().Open(owner, url))) {
            throw EZelURLError("Can't access URL " + Quoted(url));
        }
    }
    emit clicked();
}

QString TZelHotLabel::PrepareHint()
{
    switch (hintStyle_) {
    case TZelHLHintStyle::hsURL:
        return url_;
    case TZelHLHintStyle::hsCustom: {
        QString hint = toolTip();
        if (onCustomHint_) {
            onCustomHint_(this, hint);
        }
        return hint;
    }
    case TZelHLHintStyle::hsNormal:
        break;
    }
    return toolTip();
}

bool TZelHotLabel::event(QEvent* event)
{
    if (event->type() == QEvent::ToolTip && hintStyle_ != TZelHLHintStyle::hsNormal) {
        QString hint;
        const bool prepared = platform::Guard([&] { hint = PrepareHint(); });
        if (prepared && !hint.isEmpty()) {
            QToolTip::showText(static_cast<QHelpEvent*>(event)->globalPos(), hint, this);
        } else {
            QToolTip::hideText();
            event->ignore();
        }
        return true;
    }
    const bool handled = QLabel::event(event);
    if (event->type() == QEvent::FontChange) {
        // Labels size themselves to their text.
        adjustSize();
    }
    return handled;
}

void TZelHotLabel::enterEvent(QEnterEvent* event)
{
    QLabel::enterEvent(event);
    platform::Guard([this] {
        if (!highlightURL_) {
            return;
        }
        savedNormalFont_ = Font();
        highlighted_ = true;
        ApplyActualFont(highlightFont_);
    });
}

void TZelHotLabel::leaveEvent(QEvent* event)
{
    QLabel::leaveEvent(event);
    platform::Guard([this] {
        // Undo only a highlight that is showing: a leave without it would put
        // back a saved font that was never filled, and switching HighlightURL
        // off under the mouse must not leave the link red for good.
        if (!highlighted_) {
            return;
        }
        ApplyActualFont(savedNormalFont_);
        highlighted_ = false;
    });
}

void TZelHotLabel::mousePressEvent(QMouseEvent* event)
{
    if (event->button() == Qt::LeftButton) {
        pressed_ = true;
        event->accept();
        return;
    }
    QLabel::mousePressEvent(event);
}

void TZelHotLabel::mouseReleaseEvent(QMouseEvent* event)
{
    if (event->button() != Qt::LeftButton) {
        QLabel::mouseReleaseEvent(event);
        return;
    }
    event->accept();
    // Like a button: the press and the release both have to be on the label.
    if (std::exchange(pressed_, false) && rect().contains(event->position().toPoint())) {
        platform::Guard([this] { Click(); });
    }
}

template <class Setter>
void TZelHotLabel::WriteProperty(Setter&& setter)
{
    if (!loading_) {
        platform::Guard(std::forward<Setter>(setter));
        return;
    }
    try {
        setter();
    } catch (...) {
        if (!loadError_) {
            loadError_ = std::current_exception();
        }
    }
}

void TZelHotLabel::WriteURLProperty(const QString& url)
{
    WriteProperty([&] { SetURL(url); });
}

void TZelHotLabel::WriteCaptionProperty(const QString& caption)
{
    WriteProperty([&] { SetCaption(caption); });
}

void TZelHotLabel::WriteCaptionIsURLProperty(bool captionIsURL)
{
    WriteProperty([&] { SetCaptionIsURL(captionIsURL); });
}

void TZelHotLabel::WriteValidateURLProperty(bool validate)
{
    WriteProperty([&] { SetValidateURL(validate); });
}
