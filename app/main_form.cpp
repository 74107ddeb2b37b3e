#include "app/main_form.h"

#include <QCloseEvent>
#include <QFile>
#include <QMoveEvent>
#include <QScreen>
#include <QSignalBlocker>

#include "about/about.h"
#include "app/busy_cursor.h"
#include "app/frame.h"
#include "app/generate.h"
#include "app/settings.h"
#include "app/snap.h"
#include "app/textbytes.h"
#include "instances/instance_limit.h"
#include "platform/ui/guard.h"
#include "ui_main_form.h"

TForm1* Form1 = nullptr;
TAboutBox* AboutBox = nullptr;

namespace {

constexpr int kSnapDistance = 15;

// Connects a signal to a handler that runs through the error guard.
template <class Sender, class Signal, class Handler>
void ConnectGuarded(Sender* sender, Signal signal, TForm1* form, Handler handler)
{
    QObject::connect(sender, signal, form, [form, handler] { platform::Guard([&] { (form->*handler)(); }); });
}

}  // namespace

void SetEditText(QLineEdit& edit, const QString& text)
{
    if (edit.text() != text)
        edit.setText(text);
}

TForm1::TForm1(QWidget* parent) : QMainWindow(parent), ui_(std::make_unique<Ui::TForm1>())
{
    Form1 = this;
    ui_->setupUi(this);
    CreateComponents();
    setWindowFlags(Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                   Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint);
    ui_->ClientArea->setFixedSize(379, 334);
    // Labels fit their text, whatever font the system gives for the design's.
    ui_->Label1->adjustSize();
    ui_->Label2->adjustSize();
    ui_->StatusBar1->setSizeGripEnabled(false);
    layout()->setSizeConstraint(QLayout::SetFixedSize);
    layout()->activate();
    ui_->FNEdit->setFocus();
    memoText_ = ui_->MemoText->document()->toRawText();
    openDialog_ = MakeSystemOpenFileDialog();
    ConnectHandlers();
}

TForm1::~TForm1()
{
    if (Form1 == this)
        Form1 = nullptr;
}

void TForm1::CreateComponents()
{
    InstanceLimit1 = new TInstanceLimit(this);
    InstanceLimit1->SetSendCmdLine(false);
}

void TForm1::Loaded()
{
    InstanceLimit1->Loaded();
}

void TForm1::ConnectHandlers()
{
    ConnectGuarded(ui_->MnExit, &QAction::triggered, this, &TForm1::MnExitClick);
    ConnectGuarded(ui_->MnAbout, &QAction::triggered, this, &TForm1::MnAboutClick);
    ConnectGuarded(ui_->BtnBrowse, &QPushButton::clicked, this, &TForm1::BtnBrowseClick);
    ConnectGuarded(ui_->BtnGenerate, &QPushButton::clicked, this, &TForm1::BtnGenerateClick);
    ConnectGuarded(ui_->PageControl, &QTabWidget::currentChanged, this, &TForm1::PageControlChange);
    ConnectGuarded(ui_->FNEdit, &QLineEdit::textChanged, this, &TForm1::FNEditChange);
    ConnectGuarded(ui_->MemoText, &QPlainTextEdit::textChanged, this, &TForm1::MemoTextEdited);
    // toggled fires on every real change of the tick, by the user or by
    // code, and never when it is set to the state it already has.
    ConnectGuarded(ui_->CheckBoxHMAC, &QCheckBox::toggled, this, &TForm1::CheckBoxHMACClick);
}

std::unique_ptr<OpenFileDialog> TForm1::SetOpenDialog(std::unique_ptr<OpenFileDialog> dialog)
{
    std::swap(dialog, openDialog_);
    return dialog;
}

void TForm1::FormCreate()
{
    SetInitialState();
}

void TForm1::SetInitialState()
{
    move(20, 20);
    {
        // Selecting the page from code is not a page change by the user.
        const QSignalBlocker blocker(ui_->PageControl);
        ui_->PageControl->setCurrentIndex(0);
    }
    ui_->CheckBoxHMAC->setChecked(false);
    ui_->EditKeyHMAC->setEnabled(false);
    ui_->Label2->setEnabled(false);
    ui_->CheckBoxMD5->setChecked(true);
    ui_->CheckBoxSHA1->setChecked(false);
    ui_->CheckBoxCRC32->setChecked(false);
    LoadSettings();
}

// The window as the settings store sees it: its position and three ticks.
class TForm1::SettingsView final : public FormSettingsTarget {
public:
    explicit SettingsView(TForm1& form) : form_(form) {}
    int Left() const override { return form_.pos().x(); }
    int Top() const override { return form_.pos().y(); }
    void SetLeft(int left) override { form_.move(left, form_.pos().y()); }
    void SetTop(int top) override { form_.move(form_.pos().x(), top); }
    bool Ticked(Algorithm algorithm) const override { return Box(algorithm)->isChecked(); }
    void SetTicked(Algorithm algorithm, bool ticked) override { Box(algorithm)->setChecked(ticked); }

private:
    QCheckBox* Box(Algorithm algorithm) const
    {
        return algorithm == Algorithm::Md5    ? form_.ui_->CheckBoxMD5
               : algorithm == Algorithm::Sha1 ? form_.ui_->CheckBoxSHA1
                                              : form_.ui_->CheckBoxCRC32;
    }

    TForm1& form_;
};

void TForm1::LoadSettings()
{
    SettingsView view(*this);
    LoadFormSettings(view);
}

void TForm1::SaveSettings()
{
    SettingsView view(*this);
    SaveFormSettings(view);
}

void TForm1::FormClose()
{
    SaveSettings();
}

void TForm1::MnExitClick()
{
    SaveSettings();
    if (AppFrame != nullptr)
        AppFrame->RequestQuit();
}

void TForm1::MnAboutClick()
{
    if (AboutBox == nullptr || Form1 == nullptr)
        return;
    PlaceAboutBox(*AboutBox, *Form1);
    AboutBox->exec();
}

void TForm1::BtnBrowseClick()
{
    if (const auto path = openDialog_->Execute(this))
        SetEditText(*ui_->FNEdit, *path);
}

void TForm1::BtnGenerateClick()
{
    const BusyCursor busy;
    GenerateInput input;
    input.key = ui_->EditKeyHMAC->text().toLocal8Bit().toStdString();
    SetEditText(*ui_->FNEdit, QString::fromLocal8Bit(TrimFileName(ui_->FNEdit->text().toLocal8Bit().toStdString())));
    switch (ui_->PageControl->currentIndex()) {
    case 0:
        input.source = GenerateSource::File;
        input.fileName = QFile::encodeName(ui_->FNEdit->text()).toStdString();
        break;
    case 1:
        input.source = GenerateSource::Text;
        input.text = TextPageBytes(ui_->MemoText->document()->toRawText());
        break;
    default:
        input.source = GenerateSource::Nothing;
        break;
    }
    input.hmac = ui_->CheckBoxHMAC->isChecked();
    input.md5 = ui_->CheckBoxMD5->isChecked();
    input.sha1 = ui_->CheckBoxSHA1->isChecked();
    input.crc32 = ui_->CheckBoxCRC32->isChecked();
    Generate(input, [this](Algorithm algorithm, const std::string& result) {
        QLineEdit* box = algorithm == Algorithm::Md5    ? ui_->ResultMD5
                         : algorithm == Algorithm::Sha1 ? ui_->ResultSHA1
                                                        : ui_->ResultCRC32;
        SetEditText(*box, QString::fromLatin1(result.data(), static_cast<qsizetype>(result.size())));
    });
}

void TForm1::PageControlChange()
{
    ClearResults();
}

void TForm1::FNEditChange()
{
    ClearResults();
}

void TForm1::MemoTextEdited()
{
    QString text = ui_->MemoText->document()->toRawText();
    if (text == memoText_)
        return;
    memoText_ = std::move(text);
    MemoTextChange();
}

void TForm1::MemoTextChange()
{
    ClearResults();
}

void TForm1::CheckBoxHMACClick()
{
    const bool keyed = ui_->CheckBoxHMAC->isChecked();
    ui_->EditKeyHMAC->setEnabled(keyed);
    ui_->Label2->setEnabled(keyed);
    ClearResults();
}

void TForm1::ClearResults()
{
    SetEditText(*ui_->ResultMD5, QString());
    SetEditText(*ui_->ResultSHA1, QString());
    SetEditText(*ui_->ResultCRC32, QString());
}

void TForm1::closeEvent(QCloseEvent* event)
{
    // A close that fails to save keeps the window open, with the error shown.
    if (!platform::Guard([this] { FormClose(); })) {
        event->ignore();
        return;
    }
    event->accept();
    if (AppFrame != nullptr && AppFrame->MainWindow() == this)
        AppFrame->RequestQuit();
}

void TForm1::moveEvent(QMoveEvent* event)
{
    QMainWindow::moveEvent(event);
    // Only moves made by the user through the window system snap; positions
    // set by the program stand as they are.
    if (snapping_ || !event->spontaneous() || !isVisible() || screen() == nullptr)
        return;
    const QRect frame = frameGeometry();
    const QPoint snapped = SnapToWorkArea(frame, screen()->availableGeometry(), kSnapDistance);
    if (snapped != frame.topLeft()) {
        snapping_ = true;
        move(snapped);
        snapping_ = false;
    }
}
