// The real program with a line to the test: main() is the program's own, and
// the process counts as the program at VELLUMARK_PATH, so that starts of
// that program meet it as the running instance. It says on standard output
// what its window shows:
//   name <name, percent-encoded>   the name box changed
//   box <text>                     a message box came up (line breaks as blanks),
//                                  also one that was up before the loop ran
//                                  (a start that fails before its window shows)
// and answers commands on standard input, after whatever the loop had
// already been asked to do:
//   state  ->  "state page=<index> md5=<text> sha1=<text> crc32=<text>
//              windows=<windows shown> boxes=<boxes shown> name=<name,
//              percent-encoded>", on one line
//   ok     ->  closes the message box that is up; "closed"
//   marks  ->  "marks md5=<description> sha1=<description> crc32=<description>
//              status=<status bar text>", each percent-encoded: the result
//              boxes' marks as their accessible descriptions tell them
//   generate  ->  presses Generate; "generated <milliseconds>" from the
//              press until the results are shown and compared
//   gap    ->  "gap <milliseconds>": the longest the loop went without
//              running a timer of 10 ms since the last gap
//   hmac <key, percent-encoded>  ->  ticks HMAC (which clears the results)
//              and types the key; "hmac"
//   line   ->  "line mark=<match|mismatch|neutral|none> whole=<0|1>
//              tip=<tooltip, percent-encoded> status=<status bar text,
//              percent-encoded>": the mark as drawn before the status line
//              (the hue of the pixels that stand out most there), and
//              whether the line fits its room beside it
//   shot <path, percent-encoded>  ->  saves the window as shown on the
//              screen as a PNG; "shot ok" or "shot failed"
// With VELLUMARK_PROBE_LOOK=dark in its environment the window takes the
// Fusion style with a dark palette (Qt follows no dark mode on X11).

#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <iostream>
#include <string>

#include <QApplication>
#include <QImage>
#include <QPalette>
#include <QPixmap>
#include <QScreen>
#include <QStyle>
#include <QCheckBox>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEvent>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QStatusBar>
#include <QTabWidget>
#include <QTimer>
#include <QUrl>

#include "app/main_form.h"
#include "app/startup.h"
#include "instances/app_instances.h"
#include "tests/line_commands.h"

namespace {

// WCAG's relative luminance of a colour, and the contrast of two.
double Luminance(QRgb colour)
{
    const auto channel = [](int value) {
        const double c = value / 255.0;
        return c <= 0.04045 ? c / 12.92 : std::pow((c + 0.055) / 1.055, 2.4);
    };
    return 0.2126 * channel(qRed(colour)) + 0.7152 * channel(qGreen(colour)) + 0.0722 * channel(qBlue(colour));
}

double Contrast(QRgb a, QRgb b)
{
    const double la = Luminance(a), lb = Luminance(b);
    return (std::max(la, lb) + 0.05) / (std::min(la, lb) + 0.05);
}

void Say(const std::string& line)
{
    std::cout << line << std::endl;
}

std::string Encoded(const QString& text)
{
    return QUrl::toPercentEncoding(text).toStdString();
}

class Probe : public QObject {
public:
    explicit Probe(QObject* parent) : QObject(parent)
    {
        qApp->installEventFilter(this);
        if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget()))
            SayBox(*box);
        if (QLineEdit* name = Edit("FNEdit"))
            QObject::connect(name, &QLineEdit::textChanged, this,
                             [](const QString& text) { Say("name " + Encoded(text)); });
        // When the status bar's line last changed, on the monotonic clock.
        if (auto* status = Form1 == nullptr ? nullptr : Form1->findChild<QStatusBar*>("StatusBar1"))
            QObject::connect(status, &QStatusBar::messageChanged, this, [] {
                statusChanged_ = std::chrono::duration_cast<std::chrono::microseconds>(
                                     std::chrono::steady_clock::now().time_since_epoch())
                                     .count();
            });
        // The loop's pulse: a stalled window shows as a long gap.
        pulse_.start();
        ticker_.setInterval(10);
        QObject::connect(&ticker_, &QTimer::timeout, this,
                         [] { longestGap_ = std::max(longestGap_, pulse_.restart()); });
        ticker_.start();
    }

    bool eventFilter(QObject* object, QEvent* event) override
    {
        if (event->type() == QEvent::Show)
            if (auto* box = qobject_cast<QMessageBox*>(object))
                SayBox(*box);
        return false;
    }

private:
    static void SayBox(const QMessageBox& box)
    {
        Say("box " + box.text().replace('\r', ' ').replace('\n', ' ').toStdString());
    }

    static QLineEdit* Edit(const char* name) { return Form1 == nullptr ? nullptr : Form1->findChild<QLineEdit*>(name); }

    static std::string Text(const char* name)
    {
        const QLineEdit* edit = Edit(name);
        return edit == nullptr ? std::string("?") : edit->text().toStdString();
    }

    static void State()
    {
        int windows = 0;
        int boxes = 0;
        for (QWidget* widget : QApplication::topLevelWidgets()) {
            if (!widget->isVisible())
                continue;
            if (qobject_cast<QMessageBox*>(widget) != nullptr)
                ++boxes;
            else
                ++windows;
        }
        const auto* pages = Form1 == nullptr ? nullptr : Form1->findChild<QTabWidget*>("PageControl");
        const QLineEdit* name = Edit("FNEdit");
        Say("state page=" + std::to_string(pages == nullptr ? -1 : pages->currentIndex()) +
            " md5=" + Text("ResultMD5") + " sha1=" + Text("ResultSHA1") + " crc32=" + Text("ResultCRC32") +
            " windows=" + std::to_string(windows) + " boxes=" + std::to_string(boxes) +
            " name=" + (name == nullptr ? std::string("?") : Encoded(name->text())));
    }

    static void Command(const std::string& line)
    {
        if (line == "state") {
            // After what the loop has been asked to do already: a file the
            // window took is opened by then.
            QMetaObject::invokeMethod(
                qApp, [] { State(); }, Qt::QueuedConnection);
        } else if (line == "marks") {
            QMetaObject::invokeMethod(
                qApp,
                [] {
                    std::string line = "marks";
                    for (const auto& [field, box] : {std::pair{"md5", "ResultMD5"}, std::pair{"sha1", "ResultSHA1"},
                                                     std::pair{"crc32", "ResultCRC32"}}) {
                        const QLineEdit* edit = Edit(box);
                        line += std::string(" ") + field + "=" +
                                (edit == nullptr ? std::string("?") : Encoded(edit->accessibleDescription()));
                    }
                    const auto* status = Form1 == nullptr ? nullptr : Form1->findChild<QStatusBar*>("StatusBar1");
                    Say(line + " status=" + (status == nullptr ? std::string("?") : Encoded(status->currentMessage())));
                },
                Qt::QueuedConnection);
        } else if (line == "generate") {
            QMetaObject::invokeMethod(
                qApp,
                [] {
                    auto* button = Form1 == nullptr ? nullptr : Form1->findChild<QPushButton*>("BtnGenerate");
                    if (button == nullptr) {
                        Say("generated ?");
                        return;
                    }
                    QElapsedTimer timer;
                    timer.start();
                    button->click();
                    Say("generated " + std::to_string(timer.elapsed()));
                },
                Qt::QueuedConnection);
        } else if (line == "window") {
            // Its X window, which the test would otherwise have to search for.
            QMetaObject::invokeMethod(
                qApp,
                [] { Say("window " + std::to_string(Form1 == nullptr || !Form1->isVisible() ? 0 : Form1->winId())); },
                Qt::QueuedConnection);
        } else if (line == "statuschanged") {
            QMetaObject::invokeMethod(
                qApp, [] { Say("statuschanged " + std::to_string(statusChanged_)); }, Qt::QueuedConnection);
        } else if (line == "gap") {
            QMetaObject::invokeMethod(
                qApp,
                [] {
                    Say("gap " + std::to_string(std::max(longestGap_, pulse_.elapsed())));
                    longestGap_ = 0;
                },
                Qt::QueuedConnection);
        } else if (line.rfind("hmac ", 0) == 0) {
            const QString key = QUrl::fromPercentEncoding(QByteArray::fromStdString(line.substr(5)));
            QMetaObject::invokeMethod(
                qApp,
                [key] {
                    auto* tick = Form1 == nullptr ? nullptr : Form1->findChild<QCheckBox*>("CheckBoxHMAC");
                    QLineEdit* edit = Edit("EditKeyHMAC");
                    if (tick != nullptr && edit != nullptr) {
                        tick->setChecked(true);
                        edit->setText(key);
                    }
                    Say("hmac");
                },
                Qt::QueuedConnection);
        } else if (line == "line") {
            QMetaObject::invokeMethod(
                qApp, [] { SayLine(); }, Qt::QueuedConnection);
        } else if (line.rfind("shot ", 0) == 0) {
            const QString path = QUrl::fromPercentEncoding(QByteArray::fromStdString(line.substr(5)));
            QMetaObject::invokeMethod(
                qApp,
                [path] {
                    if (Form1 == nullptr || Form1->screen() == nullptr) {
                        Say("shot failed");
                        return;
                    }
                    // Drawn, and on the X server, before it is taken: a
                    // window just started may not have reached it yet.
                    Form1->repaint();
                    QTimer::singleShot(150, Form1, [path] {
                        const QImage shot = Form1->screen()->grabWindow(Form1->winId()).toImage();
                        // A window not yet on the screen comes back one colour.
                        bool drawn = false;
                        for (int y = 0; y < shot.height() && !drawn; y += 4)
                            for (int x = 0; x < shot.width() && !drawn; x += 4)
                                drawn = shot.pixel(x, y) != shot.pixel(0, 0);
                        Say(drawn && shot.save(path, "PNG") ? "shot ok" : "shot failed");
                    });
                },
                Qt::QueuedConnection);
        } else if (line == "ok") {
            if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget()))
                box->accept();
            Say("closed");
        }
    }

    static void SayLine()
    {
        auto* bar = Form1 == nullptr ? nullptr : Form1->findChild<QStatusBar*>("StatusBar1");
        if (bar == nullptr) {
            Say("line ?");
            return;
        }
        const QImage image = bar->grab().toImage().convertToFormat(QImage::Format_RGB32);
        const QRgb behind = image.pixel(image.width() - 3, image.height() / 2 + 1);
        // The mark's place: the strip's margin and a disc of the font's height.
        const int markEnd = qRound((4 + bar->fontMetrics().height()) * image.devicePixelRatio());
        QRgb mark = behind;
        for (int x = 0; x < markEnd && x < image.width(); ++x)
            for (int y = 2; y < image.height(); ++y)
                if (Contrast(image.pixel(x, y), behind) > Contrast(mark, behind))
                    mark = image.pixel(x, y);
        std::string kind = "none";
        if (Contrast(mark, behind) >= 3.0) {
            if (qGreen(mark) > qRed(mark) + 40)
                kind = "match";
            else if (qRed(mark) > qGreen(mark) + 40)
                kind = "mismatch";
            else
                kind = "neutral";
        }
        const QString message = bar->currentMessage();
        const bool whole = bar->fontMetrics().horizontalAdvance(message) <= Form1->StatusLineRoom();
        Say("line mark=" + kind + " whole=" + (whole ? "1" : "0") + " tip=" + Encoded(bar->toolTip()) +
            " status=" + Encoded(message));
    }

    const LineCommands commands_{[](const std::string& line) { Command(line); }};
    QTimer ticker_;
    static inline QElapsedTimer pulse_;
    static inline qint64 longestGap_ = 0;
    static inline long long statusChanged_ = 0;
};

void StartProbe()
{
    // Before the window is built, as a desktop's palette would be.
    if (qgetenv("VELLUMARK_PROBE_LOOK") == "dark") {
        QApplication::setStyle("Fusion");
        QPalette dark = QApplication::style()->standardPalette();
        for (const auto& [role, colour] :
             {std::pair{QPalette::Window, QColor(45, 45, 48)}, std::pair{QPalette::WindowText, QColor(235, 235, 235)},
              std::pair{QPalette::Base, QColor(30, 30, 30)}, std::pair{QPalette::Text, QColor(235, 235, 235)},
              std::pair{QPalette::Button, QColor(55, 55, 58)},
              std::pair{QPalette::ButtonText, QColor(235, 235, 235)}, std::pair{QPalette::Light, QColor(90, 90, 95)},
              std::pair{QPalette::Midlight, QColor(70, 70, 74)}, std::pair{QPalette::Mid, QColor(25, 25, 25)},
              std::pair{QPalette::Dark, QColor(20, 20, 20)}, std::pair{QPalette::Highlight, QColor(38, 79, 120)},
              std::pair{QPalette::HighlightedText, QColor(255, 255, 255)}})
            dark.setColor(role, colour);
        QApplication::setPalette(dark);
    }
    // The table of the real program: its starts find this process running.
    SetInstanceTableProgramPath(std::filesystem::canonical(VELLUMARK_PATH).string());
    // Once the loop runs, the window is up; a start turned away gets here
    // only while it shows why it ends.
    QTimer::singleShot(0, qApp, [] {
        auto* probe = new Probe(qApp);
        // Gone before the loop's objects are.
        QObject::connect(qApp, &QCoreApplication::aboutToQuit, [probe] { delete probe; });
        Say("ready " + std::to_string(::getpid()));
    });
}

}  // namespace

Q_COREAPP_STARTUP_FUNCTION(StartProbe)

int main(int argc, char* argv[])
{
    return RunVellumark(argc, argv);
}
