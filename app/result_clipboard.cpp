#include "app/result_clipboard.h"

#include <algorithm>

#include <QClipboard>
#include <QGuiApplication>
#include <QMimeData>
#include <QObject>
#include <QTimer>

#include "core/clipboard_marks.h"
#include "app/x11_selection_reader.h"

namespace {

class SystemClipboard final : public QObject, public ResultClipboard {
public:
    SystemClipboard()
    {
        x11_ = X11SelectionReader::Make([this](std::optional<std::string> text, bool silent) {
            // An owner too slow for the first question (a busy program, a
            // loaded machine) is asked once more, a second later, in the
            // background as ever.
            unanswered_ = silent;
            reading_ = false;
            if (silent && !askedTwice_) {
                askedTwice_ = true;
                secondQuestion_.start();
            }
            Take(std::move(text));
        });
        secondQuestion_.setSingleShot(true);
        secondQuestion_.setInterval(1000);
        QObject::connect(&secondQuestion_, &QTimer::timeout, this, [this] { Ask(); });
        // The change is told without the clipboard's content, so hearing of
        // it never waits.
        QObject::connect(QGuiApplication::clipboard(), &QClipboard::dataChanged, this, [this] {
            askedTwice_ = false;
            ReadAgain();
        });
        // What the clipboard holds already.
        ReadAgain();
    }

    std::optional<std::string> LastText() const override { return last_; }

    void OnRead(std::function<void()> read) override { read_ = std::move(read); }

    bool Unanswered() const override { return unanswered_; }

    bool Reading() const override { return reading_; }

    void ReadAgain() override
    {
        secondQuestion_.stop();
        Ask();
    }

private:
    void Ask()
    {
        QClipboard* clipboard = QGuiApplication::clipboard();
        if (clipboard->ownsClipboard()) {
            // A result the user copied: nothing to ask anyone.
            if (x11_ != nullptr)
                x11_->Drop();
            unanswered_ = false;
            reading_ = false;
            Take(std::nullopt);
            return;
        }
        if (x11_ != nullptr) {
            x11_->Read();
            reading_ = true;
            return;
        }
        // Elsewhere (Wayland) only the toolkit can read the clipboard, and it
        // waits for the owner, within a bound of its own: from the loop, at
        // least never within Generate or a handler.
        if (!readQueued_) {
            readQueued_ = true;
            QTimer::singleShot(0, this, [this] {
                readQueued_ = false;
                Take(ReadThroughQt());
            });
        }
    }

    static std::optional<std::string> ReadThroughQt()
    {
        QClipboard* clipboard = QGuiApplication::clipboard();
        if (clipboard->ownsClipboard())
            return std::nullopt;
        const QMimeData* data = clipboard->mimeData();
        if (data == nullptr || !data->hasText())
            return std::nullopt;
        QString text = data->text();
        text.truncate(static_cast<qsizetype>(kClipboardReadLimit));
        std::string bytes = text.toUtf8().toStdString();
        bytes.resize(std::min(bytes.size(), kClipboardReadLimit));
        return bytes;
    }

    void Take(std::optional<std::string> text)
    {
        last_ = std::move(text);
        // Told from the loop: a read may end within the toolkit's own
        // handling of the display's events.
        QMetaObject::invokeMethod(
            this,
            [this] {
                if (read_)
                    read_();
            },
            Qt::QueuedConnection);
    }

    std::unique_ptr<X11SelectionReader> x11_;
    std::optional<std::string> last_;
    std::function<void()> read_;
    bool readQueued_ = false;
    // Whether the clipboard's present owner has been asked a second time.
    bool askedTwice_ = false;
    bool unanswered_ = false;
    // An X11 read is under way.
    bool reading_ = false;
    QTimer secondQuestion_;
};

}  // namespace

std::unique_ptr<ResultClipboard> MakeSystemClipboard()
{
    return std::make_unique<SystemClipboard>();
}
