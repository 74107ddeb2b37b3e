#include "about/about.h"

#include <utility>

#include <QKeyEvent>
#include <QWindow>

#include "about/zelhotlabel.h"
#include "platform/ui/dialog_flags.h"
#include "ui_about.h"

// The picture lives in this static library; its resources have to be pulled
// in by name. At file scope on purpose: the macro declares a global function.
static void LoadAboutResources()
{
    Q_INIT_RESOURCE(about);
}

TAboutBox::TAboutBox(QWidget* parent) : QDialog(parent), ui_(std::make_unique<Ui::AboutBox>())
{
    static const bool resourcesLoaded = (LoadAboutResources(), true);
    (void)resourcesLoaded;

    {
        TZelHotLabel::LayoutLoading loading;
        ui_->setupUi(this);
    }
    // A fixed dialog frame: title, system menu and close box, nothing to resize.
    setWindowFlags(platform::kDialogWindowFlags | Qt::MSWindowsFixedSizeDialogHint);
    setFixedSize(size());
    // Labels size themselves to their text; the layout only places them.
    for (QLabel* label : {ui_->ProductName, ui_->Version, ui_->Copyright, ui_->Comments}) {
        label->adjustSize();
    }
    ui_->Homepage->Loaded();
}

TAboutBox::~TAboutBox() = default;

QFrame* TAboutBox::Panel1() const
{
    return ui_->Panel1;
}
QLabel* TAboutBox::ProgramIcon() const
{
    return ui_->ProgramIcon;
}
QLabel* TAboutBox::ProductName() const
{
    return ui_->ProductName;
}
QLabel* TAboutBox::Version() const
{
    return ui_->Version;
}
QLabel* TAboutBox::Copyright() const
{
    return ui_->Copyright;
}
QLabel* TAboutBox::Comments() const
{
    return ui_->Comments;
}
QPushButton* TAboutBox::OKButton() const
{
    return ui_->OKButton;
}
TZelHotLabel* TAboutBox::Homepage() const
{
    return ui_->Homepage;
}

void TAboutBox::SetMainWindow(const QWidget* main)
{
    mainWindow_ = main;
}

const QWidget* TAboutBox::CentreTarget() const
{
    if (mainWindow_) {
        return mainWindow_.data();
    }
    return parentWidget() != nullptr ? parentWidget()->window() : nullptr;
}

void TAboutBox::setVisible(bool visible)
{
    // Centring on the main window happens once; every later showing keeps
    // the place PlaceAboutBox gave it.
    if (visible && !isVisible() && std::exchange(centreOnFirstShowing_, false)) {
        if (const QWidget* main = CentreTarget()) {
            move(FirstShowingPlacement(OuterSize(*this, *main), main->frameGeometry()));
        }
    }
    // The box belongs to the main window, not to the whole program: window
    // managers then keep it above that window and minimise the two together,
    // so the blocked main window never stays behind with the box out of sight.
    if (visible) {
        if (const QWidget* main = CentreTarget(); main != nullptr && main->windowHandle() != nullptr) {
            winId();
            windowHandle()->setTransientParent(main->windowHandle());
        }
    }
    QDialog::setVisible(visible);
}

void TAboutBox::reject()
{
    done(mrCancel);
}

void TAboutBox::keyPressEvent(QKeyEvent* event)
{
    // There is no cancel button, so Escape has nothing to press.
    if (event->matches(QKeySequence::Cancel)) {
        event->accept();
        return;
    }
    QDialog::keyPressEvent(event);
}
