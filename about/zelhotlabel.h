#pragma once

#include <cstdint>
#include <exception>
#include <functional>

#include <QColor>
#include <QFont>
#include <QLabel>
#include <QString>

#include "platform/base/exception.h"

class QEnterEvent;
class QMouseEvent;

// Raised for a URL the label will not take and for one the shell could not
// open.
class EZelURLError : public Exception {
public:
    using Exception::Exception;
    const char* ClassName() const noexcept override { return "EZelURLError"; }
};

// Where the label's hint text comes from.
enum class TZelHLHintStyle : std::uint8_t {
    hsNormal = 0,  // the label's own tool tip
    hsURL = 1,     // the URL
    hsCustom = 2,  // the tool tip as OnCustomHint rewrites it
};

// Sender is the label; the handler may rewrite hintStr.
using TZelHLCustomHintEvent = std::function<void(QObject* sender, QString& hintStr)>;

// A label's font as the link deals with it. Qt keeps the text colour in the
// palette rather than in the font, so the two travel together here.
struct TZelHLFont {
    QFont font;
    QColor color;

    friend bool operator==(const TZelHLFont&, const TZelHLFont&) = default;
};

// The web root of this machine: a harmless address that passes the check.
inline constexpr char DefaultURL[] = "http://localhost/";

// A label that behaves like a web link: hand cursor, navy underlined text that
// can turn red under the mouse, and a click that opens its URL through the
// shell. Failures are exceptions; the label never shows a message itself.
class TZelHotLabel : public QLabel {
    Q_OBJECT
    // What a layout file may set. Errors from these writes while loading
    // come out of Loaded(), so none unwinds through Qt's property code.
    Q_PROPERTY(QString URL READ URL WRITE WriteURLProperty)
    Q_PROPERTY(QString Caption READ Caption WRITE WriteCaptionProperty)
    Q_PROPERTY(bool CaptionIsURL READ CaptionIsURL WRITE WriteCaptionIsURLProperty)
    Q_PROPERTY(bool ValidateURL READ ValidateURL WRITE WriteValidateURLProperty)
    Q_PROPERTY(bool HighlightURL READ HighlightURL WRITE SetHighlightURL)

public:
    // Labels constructed while one of these lives are being loaded from a
    // layout: their setters store without checking until Loaded() runs.
    class LayoutLoading {
    public:
        LayoutLoading() noexcept;
        ~LayoutLoading();
        LayoutLoading(const LayoutLoading&) = delete;
        LayoutLoading& operator=(const LayoutLoading&) = delete;
    };

    explicit TZelHotLabel(QWidget* parent = nullptr);
    ~TZelHotLabel() override;

    // Ends the loading state and brings the caption in line with the URL,
    // checking it; an invalid URL from the layout is raised here.
    void Loaded();
    bool Loading() const noexcept { return loading_; }

    virtual void SetCaption(const QString& caption);
    virtual QString Caption() const;
    // Always the normal font, also while the highlight is shown.
    virtual TZelHLFont Font() const;
    virtual void SetFont(const TZelHLFont& font);
    virtual void AssignDefaultURL();
    // Returns if url is acceptable, raises EZelURLError otherwise.
    virtual void CheckURL(const QString& url) const;

    QString URL() const { return url_; }
    void SetURL(const QString& url);
    bool ValidateURL() const noexcept { return validate_; }
    void SetValidateURL(bool validate);
    bool CaptionIsURL() const noexcept { return captionIsURL_; }
    void SetCaptionIsURL(bool captionIsURL);
    TZelHLFont HighlightFont() const { return highlightFont_; }
    void SetHighlightFont(const TZelHLFont& font) { highlightFont_ = font; }
    bool HighlightURL() const noexcept { return highlightURL_; }
    void SetHighlightURL(bool highlight) noexcept { highlightURL_ = highlight; }
    TZelHLHintStyle HintStyle() const noexcept { return hintStyle_; }
    void SetHintStyle(TZelHLHintStyle style) noexcept { hintStyle_ = style; }
    const TZelHLCustomHintEvent& OnCustomHint() const noexcept { return onCustomHint_; }
    void SetOnCustomHint(TZelHLCustomHintEvent handler) { onCustomHint_ = std::move(handler); }

    bool Highlighted() const noexcept { return highlighted_; }

    // Opens the URL when enabled and not empty, then emits clicked(). A
    // failure to open raises and skips clicked().
    void Click();

signals:
    void clicked();

protected:
    bool event(QEvent* event) override;
    void enterEvent(QEnterEvent* event) override;
    void leaveEvent(QEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;

private:
    TZelHLFont ActualFont() const;
    void ApplyActualFont(const TZelHLFont& font);
    QString PrepareHint();

    template <class Setter>
    void WriteProperty(Setter&& setter);
    void WriteURLProperty(const QString& url);
    void WriteCaptionProperty(const QString& caption);
    void WriteCaptionIsURLProperty(bool captionIsURL);
    void WriteValidateURLProperty(bool validate);

    bool validate_ = false;
    QString url_;
    bool captionIsURL_ = false;
    TZelHLFont highlightFont_;
    bool highlightURL_ = false;
    TZelHLHintStyle hintStyle_ = TZelHLHintStyle::hsNormal;
    TZelHLCustomHintEvent onCustomHint_;
    TZelHLFont savedNormalFont_;
    bool highlighted_ = false;

    bool loading_ = false;
    std::exception_ptr loadError_;
    bool pressed_ = false;
};
