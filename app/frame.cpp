#include "app/frame.h"

#include <unistd.h>

#include <cstdio>
#include <system_error>

#include <QApplication>
#include <QMessageBox>
#include <QMetaObject>
#include <QScreen>
#include <QWindow>

#include "platform/base/ascii.h"
#include "platform/process/process.h"
#include "platform/text/error_text.h"
#include "platform/ui/dialog_flags.h"
#include "platform/ui/guard.h"
#include "platform/windows/application_window.h"

AppFrameClass* AppFrame = nullptr;

namespace {

QString FromBytes(const std::string& bytes)
{
    return QString::fromLocal8Bit(bytes.data(), static_cast<qsizetype>(bytes.size()));
}

// The real message box: critical icon, one OK button, modal over the whole
// program, over the window the user is looking at.
class QtMessagePresenter final : public MessagePresenter {
public:
    void Show(QWidget* owner, const MessageBoxRequest& request) override
    {
        QMessageBox box(owner);
        box.setIcon(QMessageBox::Critical);
        box.setWindowTitle(FromBytes(request.caption));
        // Messages quote file names and such: never read them as markup.
        box.setTextFormat(Qt::PlainText);
        box.setText(FromBytes(request.text));
        box.setStandardButtons(QMessageBox::Ok);
        box.setWindowModality(Qt::ApplicationModal);
        // After the modality, which gives a message box its default hints again.
        box.setWindowFlags(platform::kDialogWindowFlags);
        box.exec();
    }
};

}  // namespace

std::string AppTitleFromPath(std::string_view path)
{
    if (const auto slash = path.rfind('/'); slash != std::string_view::npos)
        path.remove_prefix(slash + 1);
    if (const auto dot = path.find('.'); dot != std::string_view::npos)
        path = path.substr(0, dot);
    std::string title(path);
    // Only ASCII letters are lowered: the name is UTF-8, whose other bytes
    // must stay as they are.
    for (std::size_t i = 1; i < title.size(); ++i)
        title[i] = platform::AsciiToLower(title[i]);
    return title;
}

std::string LastChanceText(const Exception& error, const std::string& moduleName)
{
    // C++ gives no address at which an exception was raised; the field keeps
    // its place in the text and shows zero.
    std::string text = "Exception ";
    text += error.ClassName();
    text += " in module " + moduleName + " at 00000000.\r\n" + error.Message();
    if (!error.Message().empty() && error.Message().back() != '.')
        text += '.';
    text += "\r\n";
    return text;
}

AppFrameClass::AppFrameClass(std::string title)
    : title_(std::move(title)), presenter_(std::make_unique<QtMessagePresenter>())
{
    AppFrame = this;
    platform::SetErrorReporter([this](const Exception& error) { ReportError(error); },
                               [this](const std::string& what) { ReportForeignError(what); });
    try {
        applicationWindow_ = std::make_unique<platform::ApplicationWindow>([this] { return mainWindow_.data(); });
    } catch (const std::system_error&) {
        // Unreachable for other instances, the program still works; the
        // instance table reports what is wrong with the private directory.
    }
}

AppFrameClass::~AppFrameClass()
{
    ReleaseWindows();
    if (AppFrame == this) {
        platform::SetErrorReporter({});
        AppFrame = nullptr;
    }
}

std::unique_ptr<MessagePresenter> AppFrameClass::SetPresenter(std::unique_ptr<MessagePresenter> presenter)
{
    std::swap(presenter, presenter_);
    return presenter;
}

void AppFrameClass::ReportError(const Exception& error)
{
    // A drag or capture in progress would otherwise keep the mouse.
    if (QWidget* grabber = QWidget::mouseGrabber())
        grabber->releaseMouse();
    QWidget* owner = QApplication::activeWindow();
    if (owner == nullptr)
        owner = mainWindow_.data();
    presenter_->Show(owner, {title_, platform::WithFullStop(error.Message()), kMbOk | kMbIconStop});
}

void AppFrameClass::ReportForeignError(const std::string& what)
{
    presenter_->Show(nullptr, {title_, platform::WithFullStop(what), kMbOk | kMbIconStop | kMbTaskModal});
}

void AppFrameClass::ReportEndingError(const Exception& error)
{
    std::fprintf(stderr, "vellumark: %s\n", platform::WithFullStop(error.Message()).c_str());
    std::fflush(stderr);
    if (::isatty(STDERR_FILENO) != 1)
        ReportError(error);
}

void AppFrameClass::ShowLastChanceError(const Exception& error)
{
    // C++ cannot tell which module raised it; name the program file.
    std::string module = platform::ExecutablePath();
    module.erase(0, module.rfind('/') + 1);
    if (module.empty())
        module = title_;
    presenter_->Show(nullptr, {"Application Error", LastChanceText(error, module), kMbOk | kMbIconStop | kMbTaskModal});
}

void AppFrameClass::RequestQuit()
{
    // Like a posted quit message: the loop ends when it next fetches events,
    // also when the request comes before the loop has started.
    QMetaObject::invokeMethod(
        &context_, [this] { Terminate(); }, Qt::QueuedConnection);
}

void AppFrameClass::Terminate()
{
    terminated_ = true;
    QCoreApplication::exit(0);
}

void AppFrameClass::AdoptWindow(std::unique_ptr<QWidget> window)
{
    if (!mainWindow_)
        mainWindow_ = window.get();
    windows_.push_back(std::move(window));
}

int AppFrameClass::Run()
{
    if (!mainWindow_)
        return 0;
    mainWindow_->show();
    // The loop may already have been asked to end before it started.
    if (!terminated_)
        QApplication::exec();
    ReleaseWindows();
    return 0;
}

void AppFrameClass::ReleaseWindows()
{
    while (!windows_.empty()) {
        windows_.back().reset();
        windows_.pop_back();
    }
}
