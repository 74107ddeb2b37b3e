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

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <iostream>
#include <string>

#include <QApplication>
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
        } else if (line == "ok") {
            if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget()))
                box->accept();
            Say("closed");
        }
    }

    const LineCommands commands_{[](const std::string& line) { Command(line); }};
    QTimer ticker_;
    static inline QElapsedTimer pulse_;
    static inline qint64 longestGap_ = 0;
    static inline long long statusChanged_ = 0;
};

void StartProbe()
{
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
