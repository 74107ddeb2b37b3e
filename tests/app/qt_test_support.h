#pragma once

#include <memory>
#include <string>
#include <vector>

#include <QApplication>
#include <QPoint>
#include <QRect>
#include <QString>
#include <ostream>

#include "app/frame.h"

// Records message boxes instead of showing them.
class RecordingPresenter final : public MessagePresenter {
public:
    struct Shown {
        QWidget* owner;
        MessageBoxRequest request;
    };
    explicit RecordingPresenter(std::vector<Shown>& log) : log_(log) {}
    void Show(QWidget* owner, const MessageBoxRequest& request) override { log_.push_back({owner, request}); }

private:
    std::vector<Shown>& log_;
};

// Readable failure messages for Qt values.
QT_BEGIN_NAMESPACE
inline void PrintTo(const QString& text, std::ostream* out)
{
    *out << '"' << text.toStdString() << '"';
}
inline void PrintTo(const QRect& r, std::ostream* out)
{
    *out << "QRect(" << r.x() << ", " << r.y() << ", " << r.width() << ", " << r.height() << ")";
}
inline void PrintTo(const QPoint& p, std::ostream* out)
{
    *out << "QPoint(" << p.x() << ", " << p.y() << ")";
}
QT_END_NAMESPACE
