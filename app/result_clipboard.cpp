#include "app/result_clipboard.h"

#include <algorithm>

#include <QClipboard>
#include <QGuiApplication>
#include <QMimeData>
#include <QObject>

#include "app/clipboard_marks.h"

namespace {

class SystemClipboard final : public ResultClipboard {
public:
    std::optional<std::string> ForeignText() override
    {
        QClipboard* clipboard = QGuiApplication::clipboard();
        if (clipboard == nullptr || clipboard->ownsClipboard())
            return std::nullopt;
        // Plain text only. The toolkit waits a few seconds at most for an
        // owner that does not answer; no shorter bound can be set.
        const QMimeData* data = clipboard->mimeData();
        if (data == nullptr || !data->hasText())
            return std::nullopt;
        QString text = data->text();
        text.truncate(static_cast<qsizetype>(kClipboardTextLimit));
        std::string bytes = text.toUtf8().toStdString();
        bytes.resize(std::min(bytes.size(), kClipboardTextLimit));
        return bytes;
    }

    void OnChange(std::function<void()> changed) override
    {
        connection_ = QObject::connect(QGuiApplication::clipboard(), &QClipboard::dataChanged, std::move(changed));
    }

    bool SeenOnlyWhenActive() const override { return QGuiApplication::platformName().startsWith("wayland"); }

    ~SystemClipboard() override { QObject::disconnect(connection_); }

private:
    QMetaObject::Connection connection_;
};

}  // namespace

std::unique_ptr<ResultClipboard> MakeSystemClipboard()
{
    return std::make_unique<SystemClipboard>();
}
