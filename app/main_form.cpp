#include "app/main_form.h"

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string_view>
#include <utility>

#include <QApplication>
#include <QCloseEvent>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QFontDatabase>
#include <QFontMetricsF>
#include <QKeyEvent>
#include <QMimeData>
#include <QMoveEvent>
#include <QPainter>
#include <QScreen>
#include <QSignalBlocker>
#include <QStatusBar>
#include <QStyleOptionFrame>
#include <QTimer>
#include <QUrl>

#include "about/about.h"
#include "app/arguments.h"
#include "app/busy_cursor.h"
#include "app/frame.h"
#include "app/settings.h"
#include "app/snap.h"
#include "core/generate.h"
#include "core/generate_task.h"
#include "core/progress_text.h"
#include "core/text_bytes.h"
#include "instances/instance_limit.h"
#include "platform/base/ascii.h"
#include "platform/text/shown_name.h"
#include "platform/ui/guard.h"
#include "ui_main_form.h"

TForm1* Form1 = nullptr;
TAboutBox* AboutBox = nullptr;

namespace {

constexpr int kSnapDistance = 15;
// The algorithms of the result boxes, top to bottom.
constexpr Algorithm kResultAlgorithms[] = {Algorithm::Md5, Algorithm::Sha1, Algorithm::Crc32};
// A Generate that ends within this time looks as it always has: the window
// simply waits for it. A longer one keeps the window painted and shows its
// progress, refreshed at the second interval.
constexpr std::chrono::milliseconds kQuietRun{500};
constexpr std::chrono::milliseconds kProgressInterval{200};
// The longest result a box shows: SHA-1's forty digits.
constexpr int kLongestResult = 40;
// QLineEdit keeps this many pixels free on either side of its text.
constexpr int kLineEditMargin = 2;
// How often a handed file that waits for the window looks again.
constexpr int kHandedRetryMs = 50;
// How long a Generate that a start or a hand-over runs waits for a read of
// the clipboard under way, so that it computes what a digest there asks
// for: the X11 reader's own patience with the clipboard's owner.
constexpr std::chrono::milliseconds kStartClipboardWait{200};

// Connects a signal to a handler that runs through the error guard.
template <class Sender, class Signal, class Handler>
void ConnectGuarded(Sender* sender, Signal signal, TForm1* form, Handler handler)
{
    QObject::connect(sender, signal, form, [form, handler] { platform::Guard([&] { (form->*handler)(); }); });
}

// The width a line edit gives its text before it scrolls it: the style's
// contents rectangle less the text margins, the edit's own margins and the
// cursor, as QLineEdit lays out its text.
int TextRoom(const QLineEdit& box)
{
    QStyleOptionFrame option;
    option.initFrom(&box);
    option.rect = box.rect();
    option.lineWidth = box.hasFrame() ? box.style()->pixelMetric(QStyle::PM_DefaultFrameWidth, &option, &box) : 0;
    option.midLineWidth = 0;
    option.state |= QStyle::State_Sunken;
    if (box.isReadOnly())
        option.state |= QStyle::State_ReadOnly;
    option.features = QStyleOptionFrame::None;
    const QRect contents =
        box.style()->subElementRect(QStyle::SE_LineEditContents, &option, &box).marginsRemoved(box.textMargins());
    const int cursor = box.style()->pixelMetric(QStyle::PM_TextCursorWidth, nullptr, &box);
    return contents.width() - 2 * kLineEditMargin - 1 - cursor;
}

// A fixed-pitch font at the window's size for the hex results, so that the
// digits line up from box to box; smaller only where the desktop's font would
// not fit forty of its widest digit into the box.
QFont ResultFont(const QLineEdit& box)
{
    QFont font = QFontDatabase::systemFont(QFontDatabase::FixedFont);
    const qreal designSize = box.font().pointSizeF();
    const int room = TextRoom(box);
    for (qreal size = designSize; size > 1; size -= 0.25) {
        font.setPointSizeF(size);
        const QFontMetricsF metrics(font, &box);
        qreal widest = 0;
        for (const char digit : std::string_view(platform::kUpperHexDigits))
            widest = std::max(widest, metrics.horizontalAdvance(QLatin1Char(digit)));
        if (widest * kLongestResult <= room)
            break;
    }
    return font;
}

QColor Colour(std::uint32_t rgb)
{
    return QColor::fromRgb(static_cast<QRgb>(rgb));
}

// The mark before the status line: a disc of the font's height and the gap
// after it.
int MarkSize(const QFontMetrics& metrics)
{
    return metrics.height();
}
constexpr int kMarkGap = 4;
// The strip's text stays clear of its edges by this much on either side.
constexpr int kStripMargin = 4;

// A disc in the mark's colour with its symbol cut out of it in the strip's:
// a tick on a match, a cross on a mismatch, a question mark otherwise.
void PaintMark(QPainter& painter, const QRectF& disc, LineMark mark, const QColor& colour, const QColor& strip,
               const QFont& font)
{
    painter.save();
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(Qt::NoPen);
    painter.setBrush(colour);
    painter.drawEllipse(disc);
    const auto at = [&disc](qreal x, qreal y) {
        return QPointF(disc.left() + x * disc.width(), disc.top() + y * disc.height());
    };
    QPen pen(strip, std::max<qreal>(1.5, disc.width() / 7), Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin);
    painter.setPen(pen);
    painter.setBrush(Qt::NoBrush);
    switch (mark) {
    case LineMark::Matches: {
        const QPointF tick[] = {at(0.28, 0.52), at(0.44, 0.68), at(0.73, 0.34)};
        painter.drawPolyline(tick, 3);
        break;
    }
    case LineMark::DoesNotMatch:
        painter.drawLine(at(0.33, 0.33), at(0.67, 0.67));
        painter.drawLine(at(0.67, 0.33), at(0.33, 0.67));
        break;
    case LineMark::Neutral:
    case LineMark::None: {
        QFont bold = font;
        bold.setBold(true);
        bold.setPixelSize(std::max(1, qRound(disc.height() * 0.75)));
        painter.setFont(bold);
        painter.drawText(disc, Qt::AlignCenter, QStringLiteral("?"));
        break;
    }
    }
    painter.restore();
}

// The message as it fits the room: the line is made to fit, and is cut
// short at its end only should a font be wider than any the window knows.
QString FittedMessage(const QString& message, const QFontMetrics& metrics, int room)
{
    return metrics.elidedText(message, Qt::ElideRight, room);
}

// The status bar is drawn as a strip of its own along the bottom edge: an
// etched line over a panel a shade darker than the window, tinted green
// behind a match and red behind a mismatch, and the message it shows, if
// any, after its mark.
void PaintStatusStrip(QStatusBar& bar, LineMark mark)
{
    QPainter painter(&bar);
    const QPalette& colours = bar.palette();
    const QRect area = bar.rect();
    const QString message = bar.currentMessage();
    if (message.isEmpty())
        mark = LineMark::None;
    const QColor panel = colours.color(QPalette::Window).darker(106);
    const QColor strip = Colour(TintBehind(mark, panel.rgb() & 0xffffffu));
    painter.fillRect(area, strip);
    painter.setPen(colours.color(QPalette::Mid));
    painter.drawLine(area.topLeft(), area.topRight());
    painter.setPen(colours.color(QPalette::Light));
    painter.drawLine(area.left(), area.top() + 1, area.right(), area.top() + 1);
    if (message.isEmpty())
        return;
    QRect room = area.adjusted(kStripMargin, 2, -kStripMargin, 0);
    if (mark != LineMark::None) {
        const int size = MarkSize(bar.fontMetrics());
        const QRectF disc(room.left(), room.top() + (room.height() - size) / 2.0, size, size);
        PaintMark(painter, disc, mark, Colour(MarkColour(mark, strip.rgb() & 0xffffffu)), strip, bar.font());
        room.setLeft(room.left() + size + kMarkGap);
    }
    painter.setPen(colours.color(QPalette::WindowText));
    painter.drawText(room, Qt::AlignLeft | Qt::AlignVCenter, FittedMessage(message, bar.fontMetrics(), room.width()));
}

// While a long Generate runs the window takes no input but Escape, which
// cancels it, and a close, which the window sees as usual. Nothing is greyed
// or disabled meanwhile: the window only waits.
class RunInputFilter final : public QObject {
public:
    explicit RunInputFilter(std::function<void()> cancel) : cancel_(std::move(cancel)) {}

protected:
    bool eventFilter(QObject* watched, QEvent* event) override
    {
        if (!watched->isWidgetType() && !watched->isWindowType())
            return false;
        switch (event->type()) {
        case QEvent::KeyPress:
            if (static_cast<QKeyEvent*>(event)->key() == Qt::Key_Escape)
                cancel_();
            return true;
        case QEvent::DragEnter:
        case QEvent::DragMove:
        case QEvent::Drop:
            event->ignore();
            return true;
        case QEvent::KeyRelease:
        case QEvent::ShortcutOverride:
        case QEvent::Shortcut:
        case QEvent::MouseButtonPress:
        case QEvent::MouseButtonRelease:
        case QEvent::MouseButtonDblClick:
        case QEvent::NonClientAreaMouseButtonPress:
        case QEvent::NonClientAreaMouseButtonRelease:
        case QEvent::NonClientAreaMouseButtonDblClick:
        case QEvent::Wheel:
        case QEvent::ContextMenu:
        case QEvent::InputMethod:
        case QEvent::TouchBegin:
        case QEvent::TouchUpdate:
        case QEvent::TouchEnd:
        case QEvent::TabletPress:
        case QEvent::TabletRelease:
            return true;
        default:
            return false;
        }
    }

private:
    std::function<void()> cancel_;
};

// The one existing file a drag carries, as Browse would have given it; nothing
// for several files, a folder, a web address or a file that is gone.
std::optional<QString> DraggedFile(const QMimeData* data)
{
    if (data == nullptr || !data->hasUrls())
        return std::nullopt;
    const QList<QUrl> urls = data->urls();
    if (urls.size() != 1 || !urls.front().isLocalFile())
        return std::nullopt;
    const QFileInfo file(urls.front().toLocalFile());
    if (!file.isFile())
        return std::nullopt;
    return file.absoluteFilePath();
}

// Takes the file as a copy, never a move: a file manager deletes the source
// of a move once the drop is accepted.
bool AcceptFileDrag(QDropEvent& event)
{
    if (!DraggedFile(event.mimeData()) || !(event.possibleActions() & Qt::CopyAction)) {
        event.ignore();
        return false;
    }
    event.setDropAction(Qt::CopyAction);
    event.accept();
    return true;
}

Exception Refusal(const std::string& name, const char* why)
{
    return Exception("Cannot take the file \"" + platform::ShownName(name) + "\": " + why);
}

constexpr const char* kNotShown =
    "its name holds a control character or a mark that reorders text, which the name box cannot show as it is";

// The name box holds text: a name that is not UTF-8, that Generate's trim
// would change or that is longer than the box takes would be read back from
// it as another name; one that the box shows as another would be taken for it.
QString HoldableName(const std::string& name, int longest)
{
    const QByteArray bytes = QByteArray::fromStdString(name);
    const QString text = QFile::decodeName(bytes);
    if (QFile::encodeName(text) != bytes)
        throw Refusal(name, "its name is not valid UTF-8, which the name box cannot hold");
    if (TrimFileName(name) != name)
        throw Refusal(name, "its name begins or ends with a blank or a control character, which the name box drops");
    if (!platform::ShowsAsItIs(name))
        throw Refusal(name, kNotShown);
    if (text.size() > longest)
        throw Refusal(name, "its name is longer than the name box holds");
    return text;
}

// A name that Browse or a drop gives, as the box would show it.
QString ShowableName(const QString& name)
{
    const std::string bytes = QFile::encodeName(name).toStdString();
    if (!platform::ShowsAsItIs(bytes))
        throw Refusal(bytes, kNotShown);
    return name;
}

}  // namespace

// Keeps the window busy while a handler runs, so that a handed file that
// arrives meanwhile (a dialog or a long Generate runs the loop) waits for its end.
class TForm1::BusyScope {
public:
    explicit BusyScope(TForm1& form) : form_(form) { ++form_.busy_; }
    ~BusyScope()
    {
        if (--form_.busy_ == 0 && form_.handedFile_)
            form_.handedRetry_.start(0);
    }
    BusyScope(const BusyScope&) = delete;
    BusyScope& operator=(const BusyScope&) = delete;

private:
    TForm1& form_;
};

TForm1::TForm1(QWidget* parent) : TForm1(std::vector<std::string>{}, parent) {}

TForm1::TForm1(std::vector<std::string> files, QWidget* parent)
    : QMainWindow(parent), ui_(std::make_unique<Ui::TForm1>()), startFiles_(std::move(files))
{
    Form1 = this;
    // The window's one component comes first and acts at once: a process that
    // it turns away ends here, before any control of the window is built.
    CreateComponents();
    InstanceLimit1->Loaded();
    ui_->setupUi(this);
    LayOut();
    SetUpResultBoxes();
    TakeDroppedFiles();
    UseSystemServices();
    ConnectHandlers();
    OpenStartFile();
}

void TForm1::LayOut()
{
    setWindowFlags(Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                   Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint);
    ui_->ClientArea->setFixedSize(379, 334);
    // Labels fit their text, whatever font the system gives for the design's.
    ui_->Label1->adjustSize();
    ui_->Label2->adjustSize();
    ui_->StatusBar1->setSizeGripEnabled(false);
    ui_->StatusBar1->installEventFilter(this);
    // The bar updates only its own message area when its message changes,
    // narrower than the strip's text: the whole strip is drawn again, or the
    // edge of the first letter keeps what was there before.
    connect(ui_->StatusBar1, &QStatusBar::messageChanged, ui_->StatusBar1, qOverload<>(&QWidget::update));
    layout()->setSizeConstraint(QLayout::SetFixedSize);
    layout()->activate();
    // The tab order is the order in which main_form.ui creates the controls.
    // It lists no tab stops: QWidget::setTabOrder mishandles the page control,
    // whose tab bar is its focus proxy and whose pages hold the controls that
    // come next, and breaks the cycle into loops.
    ui_->MemoText->installEventFilter(this);
    ui_->FNEdit->setFocus();
    memoText_ = ui_->MemoText->document()->toRawText();
}

void TForm1::SetUpResultBoxes()
{
    resultBoxes_ = {ui_->ResultMD5, ui_->ResultSHA1, ui_->ResultCRC32};
    for (QLineEdit* box : resultBoxes_)
        box->setFont(ResultFont(*box));
    // Their own look, which a clipboard mark tints and then gives back.
    resultPalette_ = ui_->ResultMD5->palette();
}

void TForm1::TakeDroppedFiles()
{
    // A file dropped anywhere on the window names the file; the edit boxes
    // would otherwise take its address, or any text, as text of their own.
    setAcceptDrops(true);
    for (QWidget* target : {static_cast<QWidget*>(ui_->FNEdit), static_cast<QWidget*>(ui_->EditKeyHMAC),
                            static_cast<QWidget*>(ui_->ResultMD5), static_cast<QWidget*>(ui_->ResultSHA1),
                            static_cast<QWidget*>(ui_->ResultCRC32), ui_->MemoText->viewport()})
        target->installEventFilter(this);
}

void TForm1::UseSystemServices()
{
    openDialog_ = MakeSystemOpenFileDialog();
    SetClipboard(MakeSystemClipboard());
    startGenerate_ = [](const GenerateInput& input) { return std::make_unique<GenerateTask>(input); };
}

void TForm1::OpenStartFile()
{
    handedRetry_.setSingleShot(true);
    QObject::connect(&handedRetry_, &QTimer::timeout, this, [this] { TakeHandedFile(); });
    if (!startFiles_.empty())
        HandFile(startFiles_.front(), startFiles_.size() - 1);
}

TForm1::~TForm1()
{
    if (Form1 == this)
        Form1 = nullptr;
}

void TForm1::CreateComponents()
{
    InstanceLimit1 = new TInstanceLimit(this);
    // A start with a file hands it over to the running instance; a plain
    // start sends nothing.
    InstanceLimit1->SetSendCmdLine(!startFiles_.empty());
    InstanceLimit1->SetCommandLine(HandOverLines(startFiles_));
    InstanceLimit1->OnCmdLineReceived = [this](TInstanceLimit&, const std::vector<std::string>& lines) {
        return CmdLineReceived(lines);
    };
    InstanceLimit1->OnCmdLineNotTaken = [](TInstanceLimit&) {
        if (AppFrame != nullptr)
            AppFrame->ReportEndingError(Exception("The running Vellumark did not take the file"));
    };
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
    // A box whose text changes or clears loses its mark at once.
    for (std::size_t i = 0; i < resultBoxes_.size(); ++i)
        connect(resultBoxes_[i], &QLineEdit::textChanged, this, [this, i] {
            platform::Guard([&] {
                SetMark(i, ResultMark::None);
                ShowStatusLine();
            });
        });
}

std::unique_ptr<OpenFileDialog> TForm1::SetOpenDialog(std::unique_ptr<OpenFileDialog> dialog)
{
    std::swap(dialog, openDialog_);
    return dialog;
}

void TForm1::SetGenerateStarter(GenerateStarter starter)
{
    startGenerate_ = std::move(starter);
}

void TForm1::SetClipboard(std::unique_ptr<ResultClipboard> clipboard)
{
    clipboard_ = std::move(clipboard);
    clipboard_->OnRead([this] {
        platform::Guard([this] { MarkResults(); });
        // A handed file that waited for this read goes on now.
        if (clipboardWait_ && handedFile_ && !clipboard_->Reading())
            handedRetry_.start(0);
    });
}

void TForm1::MarkResults()
{
    // Nothing is compared while a Generate runs: its results are compared
    // once they are shown, with what the clipboard held when last read.
    if (runningTask_ != nullptr)
        return;
    const std::optional<std::string> text = clipboard_->LastText();
    const ClipboardDigests digests = FindClipboardDigests(text.value_or(std::string()));
    for (std::size_t i = 0; i < resultBoxes_.size(); ++i)
        SetMark(i, MarkFor(kResultAlgorithms[i], resultBoxes_[i]->text().toStdString(), digests));
    verdicts_ = UnboxedVerdicts(unboxed_, digests);
    ShowStatusLine();
}

void TForm1::SetMark(std::size_t box, ResultMark mark)
{
    if (marks_[box] == mark)
        return;
    marks_[box] = mark;
    // A tint of the box's own background: the rest of its look, its text,
    // selection and what it copies stay as they are.
    QLineEdit& edit = *resultBoxes_[box];
    QPalette palette = resultPalette_;
    if (mark != ResultMark::None) {
        const QColor base = resultPalette_.color(QPalette::Base);
        const QColor tint = mark == ResultMark::Matches ? QColor(0, 170, 60) : QColor(220, 30, 30);
        constexpr float kShare = 0.3f;
        palette.setColor(QPalette::Base, QColor::fromRgbF(base.redF() * (1 - kShare) + tint.redF() * kShare,
                                                          base.greenF() * (1 - kShare) + tint.greenF() * kShare,
                                                          base.blueF() * (1 - kShare) + tint.blueF() * kShare));
    }
    edit.setPalette(palette);
    edit.setAccessibleDescription(mark == ResultMark::Matches        ? kMatchesText
                                  : mark == ResultMark::DoesNotMatch ? kDoesNotMatchText
                                                                     : "");
}

int TForm1::StatusLineRoom() const
{
    const QStatusBar& bar = *ui_->StatusBar1;
    return bar.width() - 2 * kStripMargin - MarkSize(bar.fontMetrics()) - kMarkGap;
}

void TForm1::ShowStatusLine()
{
    // The status bar is the run's while one runs.
    if (runningTask_ != nullptr)
        return;
    std::vector<std::pair<Algorithm, ResultMark>> marks;
    for (std::size_t i = 0; i < marks_.size(); ++i)
        marks.emplace_back(kResultAlgorithms[i], marks_[i]);
    // The verdicts, then the note on files not opened: as much as fits the
    // line, all of it in the tooltip.
    const StatusReport report = ReportFor(marks, verdicts_, unboxed_.digested, othersNote_);
    const QFontMetrics metrics = ui_->StatusBar1->fontMetrics();
    const int room = StatusLineRoom();
    const std::string line = LineOf(report, [&metrics, room](std::string_view text) {
        return metrics.horizontalAdvance(QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()))) <= room;
    });
    lineMark_ = report.mark;
    const QString whole = QString::fromStdString(WholeText(report));
    if (line.empty())
        ui_->StatusBar1->clearMessage();
    else
        ui_->StatusBar1->showMessage(QString::fromStdString(line));
    ui_->StatusBar1->setToolTip(whole);
    // The bar's accessible name is its own ("Status bar"): its whole text
    // reaches screen readers as its description.
    ui_->StatusBar1->setAccessibleDescription(whole);
    // The mark may change with the same words.
    ui_->StatusBar1->update();
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
        switch (algorithm) {
        case Algorithm::Md5:
            return form_.ui_->CheckBoxMD5;
        case Algorithm::Sha1:
            return form_.ui_->CheckBoxSHA1;
        case Algorithm::Crc32:
            return form_.ui_->CheckBoxCRC32;
        default:
            break;
        }
        throw Exception("The window has no tick for " + std::string(RowOf(algorithm).name));
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

void TForm1::SaveSettingsBeforeLeaving()
{
    // The first failure keeps the window, so that the user sees why; a store
    // that can never be written must not keep them from leaving for good.
    try {
        SaveSettings();
        saveFailed_ = false;
    } catch (const Exception& error) {
        if (!std::exchange(saveFailed_, true))
            throw;
        platform::ReportException(error);
    }
}

void TForm1::FormClose()
{
    SaveSettingsBeforeLeaving();
}

void TForm1::MnExitClick()
{
    SaveSettingsBeforeLeaving();
    if (AppFrame != nullptr)
        AppFrame->RequestQuit();
}

void TForm1::MnAboutClick()
{
    if (AboutBox == nullptr)
        return;
    const BusyScope busy(*this);
    PlaceAboutBox(*AboutBox, *this);
    AboutBox->exec();
}

void TForm1::BtnBrowseClick()
{
    const BusyScope busy(*this);
    if (const auto path = openDialog_->Execute(this))
        ui_->FNEdit->setText(ShowableName(*path));
}

void TForm1::BtnGenerateClick()
{
    const BusyScope busyScope(*this);
    const BusyCursor busy;
    // A clipboard whose owner was too slow to answer when last asked (a busy
    // browser, a loaded machine) is asked again, in the background: its
    // answer marks the results when it comes.
    if (clipboard_->Unanswered())
        clipboard_->ReadAgain();
    const GenerateInput input = ReadGenerateInput();
    const Digested digested = input.source == GenerateSource::Text ? Digested::Text : Digested::File;
    const bool keyed = input.hmac;
    const std::unique_ptr<GenerateTask> task = startGenerate_(input);
    // A short run looks as it always has: the window waits for it.
    if (!task->WaitFor(kQuietRun)) {
        WaitWhileWorking(*task);
        // Cancelled (Escape, a close), or the program is ending: the run is
        // left to end on its own, with no result and no error shown.
        if (task->Control().Cancelled() || !task->Finished())
            return;
    }
    const GenerateTask::Results results = task->TakeResults();
    unboxed_ = {};
    unboxed_.present = true;
    unboxed_.hmac = keyed;
    unboxed_.digested = digested;
    verdicts_.clear();
    for (const auto& [algorithm, text] : results) {
        const QString shown = QString::fromLatin1(text.data(), static_cast<qsizetype>(text.size()));
        switch (algorithm) {
        case Algorithm::Md5:
            ShowResult(*ui_->ResultMD5, shown);
            break;
        case Algorithm::Sha1:
            ShowResult(*ui_->ResultSHA1, shown);
            break;
        case Algorithm::Crc32:
            ShowResult(*ui_->ResultCRC32, shown);
            break;
        default:
            unboxed_.results[IndexOf(algorithm)] = text;
            break;
        }
    }
    MarkResults();
}

GenerateInput TForm1::ReadGenerateInput()
{
    GenerateInput input;
    input.key = ui_->EditKeyHMAC->text().toLocal8Bit().toStdString();
    // The name goes to bytes and back the way the file system takes it.
    const QByteArray name = QFile::encodeName(ui_->FNEdit->text());
    ui_->FNEdit->setText(QFile::decodeName(QByteArray::fromStdString(
        TrimFileName(std::string_view(name.constData(), static_cast<std::size_t>(name.size()))))));
    switch (ui_->PageControl->currentIndex()) {
    case 0:
        input.source = GenerateSource::File;
        input.fileName = QFile::encodeName(ui_->FNEdit->text()).toStdString();
        break;
    case 1: {
        // The text box holds Unicode; its bytes are its UTF-8, the locale's
        // encoding, with the line breaks the text page digests.
        input.source = GenerateSource::Text;
        const QByteArray text = ui_->MemoText->document()->toRawText().toUtf8();
        input.text = TextPageBytes(std::string_view(text.constData(), static_cast<std::size_t>(text.size())));
        break;
    }
    default:
        input.source = GenerateSource::Nothing;
        break;
    }
    input.hmac = ui_->CheckBoxHMAC->isChecked();
    input.algorithms.Set(Algorithm::Md5, ui_->CheckBoxMD5->isChecked());
    input.algorithms.Set(Algorithm::Sha1, ui_->CheckBoxSHA1->isChecked());
    input.algorithms.Set(Algorithm::Crc32, ui_->CheckBoxCRC32->isChecked());
    // Beside the ticked digests, those people publish, as the clipboard as
    // last read asks for them.
    const UnboxedRequest unboxed =
        UnboxedToCompute(FindClipboardDigests(clipboard_->LastText().value_or(std::string())), input.hmac);
    input.algorithms = input.algorithms | unboxed.algorithms;
    input.blake2bBytes = unboxed.blake2bBytes;
    return input;
}

void TForm1::WaitWhileWorking(GenerateTask& task)
{
    QEventLoop loop;
    RunInputFilter filter([this] { CancelRun(); });
    QTimer progress;
    progress.setInterval(kProgressInterval);
    connect(&progress, &QTimer::timeout, this, [this, &task] { platform::Guard([&] { ShowProgress(task); }); });

    // Whatever way the wait ends, the window is its own again.
    struct Running {
        TForm1& form;
        GenerateTask& task;
        RunInputFilter& filter;
        Running(TForm1& f, GenerateTask& t, QEventLoop& l, RunInputFilter& i) : form(f), task(t), filter(i)
        {
            form.runningTask_ = &task;
            form.runLoop_ = &l;
            // The run's line has no mark.
            form.lineMark_ = LineMark::None;
            qApp->installEventFilter(&filter);
        }
        ~Running()
        {
            task.OnFinished(nullptr);
            qApp->removeEventFilter(&filter);
            form.runningTask_ = nullptr;
            form.runLoop_ = nullptr;
            form.ui_->StatusBar1->clearMessage();
        }
    } running(*this, task, loop, filter);

    task.OnFinished([&loop] { QMetaObject::invokeMethod(&loop, &QEventLoop::quit, Qt::QueuedConnection); });
    platform::Guard([&] { ShowProgress(task); });
    progress.start();
    loop.exec();
}

void TForm1::CancelRun()
{
    if (runningTask_ != nullptr)
        runningTask_->Cancel();
    if (runLoop_ != nullptr)
        runLoop_->quit();
}

void TForm1::ShowProgress(const GenerateTask& task)
{
    // "Digesting: 42% of 1.9 GB at 812 MB/s. Press Esc to cancel."
    const std::string progress = ProgressText(task.Control().Done(), task.Control().Total(), task.Elapsed());
    ui_->StatusBar1->showMessage("Digesting: " + QString::fromStdString(progress) + ". Press Esc to cancel.");
}

void TForm1::ShowResult(QLineEdit& box, const QString& text)
{
    box.setText(text);
    // Read from the first digit, not scrolled to the last.
    box.setCursorPosition(0);
}

void TForm1::PageControlChange()
{
    ClearResults();
}

void TForm1::FNEditChange()
{
    ClearResults();
    // The note on files not opened belongs to the name the hand-over set.
    if (!othersNote_.empty()) {
        othersNote_.clear();
        ShowStatusLine();
    }
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
    unboxed_ = {};
    verdicts_.clear();
    // setText changes the text, and signals, only when it differs.
    ui_->ResultMD5->setText(QString());
    ui_->ResultSHA1->setText(QString());
    ui_->ResultCRC32->setText(QString());
    // The verdicts of the digests without a box go even when no box changed.
    ShowStatusLine();
}

void TForm1::closeEvent(QCloseEvent* event)
{
    // A close during a long Generate cancels it, then goes on as usual.
    CancelRun();
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

void TForm1::dragEnterEvent(QDragEnterEvent* event)
{
    AcceptFileDrag(*event);
}

void TForm1::dragMoveEvent(QDragMoveEvent* event)
{
    AcceptFileDrag(*event);
}

void TForm1::changeEvent(QEvent* event)
{
    QMainWindow::changeEvent(event);
    // A digest copied elsewhere shows when the user comes back, also where
    // a window sees the clipboard only while it is active.
    if (event->type() == QEvent::ActivationChange && isActiveWindow())
        clipboard_->ReadAgain();
}

void TForm1::dropEvent(QDropEvent* event)
{
    if (!AcceptFileDrag(*event))
        return;
    const QString path = *DraggedFile(event->mimeData());
    if (platform::ShowsAsItIs(QFile::encodeName(path).toStdString())) {
        platform::Guard([&] { DropFile(path); });
        return;
    }
    // Refused once the drop is over: the program it came from waits for the
    // drop's end, which an error box would hold up.
    event->ignore();
    QMetaObject::invokeMethod(
        this, [path] { platform::Guard([&] { ShowableName(path); }); }, Qt::QueuedConnection);
}

void TForm1::DropFile(const QString& path)
{
    // As the user's own choice of the File page: a real change of page clears
    // the results, and so does a new name.
    ui_->PageControl->setCurrentIndex(0);
    ui_->FNEdit->setText(path);
}

void TForm1::OpenFile(const std::string& name)
{
    DropFile(HoldableName(name, ui_->FNEdit->maxLength()));
    BtnGenerateClick();
}

void TForm1::HandFile(std::string name, std::size_t others)
{
    handedFile_ = std::move(name);
    handedOthers_ = others;
    // Taken from the loop, never within whatever handed it over: another
    // process waits for this window's answer meanwhile.
    QMetaObject::invokeMethod(
        this, [this] { TakeHandedFile(); }, Qt::QueuedConnection);
}

bool TForm1::Busy() const
{
    return busy_ > 0 || QApplication::activeModalWidget() != nullptr;
}

bool TForm1::CmdLineReceived(const std::vector<std::string>& lines)
{
    // Only a whole list of files from another start counts, and is taken
    // (the start is told so); anything else is dropped unseen.
    const auto files = HandedFiles(lines);
    if (!files || files->empty())
        return false;
    HandFile(files->front(), files->size() - 1);
    return true;
}

void TForm1::TakeHandedFile()
{
    if (!handedFile_)
        return;
    if (Busy()) {
        handedRetry_.start(kHandedRetryMs);
        return;
    }
    // The clipboard's first read, on X11, may still be under way: the file
    // waits for it a little, so that its Generate computes what a digest
    // copied before the start asks for. Its end, or the time, calls again.
    if (clipboard_->Reading()) {
        const auto now = std::chrono::steady_clock::now();
        if (!clipboardWait_)
            clipboardWait_ = now + kStartClipboardWait;
        if (now < *clipboardWait_) {
            handedRetry_.start(std::chrono::duration_cast<std::chrono::milliseconds>(*clipboardWait_ - now) +
                               std::chrono::milliseconds(1));
            return;
        }
    }
    clipboardWait_.reset();
    handedRetry_.stop();
    const std::string name = std::move(*handedFile_);
    handedFile_.reset();
    // A long Generate lets another hand-over in, with a count of its own.
    const std::size_t others = std::exchange(handedOthers_, 0);
    platform::Guard([&] { OpenFile(name); });
    // Only the first file is opened; the others are never tried, and the
    // user is told how many there were, whether the first opened or not.
    if (others > 0) {
        othersNote_ =
            others == 1 ? "1 other file was not opened." : std::to_string(others) + " other files were not opened.";
        ShowStatusLine();
    }
}

bool TForm1::eventFilter(QObject* watched, QEvent* event)
{
    switch (event->type()) {
    case QEvent::Paint:
        if (watched == ui_->StatusBar1) {
            PaintStatusStrip(*ui_->StatusBar1, lineMark_);
            return true;
        }
        break;
    case QEvent::KeyPress:
        if (watched == ui_->MemoText) {
            // Tab types a tab character in the text; Ctrl+Tab and Shift+Tab
            // leave it, forward and back, as in other editors that take Tab.
            const auto* key = static_cast<QKeyEvent*>(event);
            const bool shift = key->modifiers() & Qt::ShiftModifier;
            const bool back = key->key() == Qt::Key_Backtab || (key->key() == Qt::Key_Tab && shift);
            const bool forward = key->key() == Qt::Key_Tab && !shift && (key->modifiers() & Qt::ControlModifier);
            if (forward || back) {
                focusNextPrevChild(forward);
                return true;
            }
        }
        break;
    case QEvent::DragEnter:
    case QEvent::DragMove:
    case QEvent::Drop:
        // What other programs drop is the window's, which takes only a file;
        // text dragged from box to box within the program stays the boxes'.
        if (watched != this && static_cast<QDropEvent*>(event)->source() == nullptr) {
            if (event->type() == QEvent::Drop)
                dropEvent(static_cast<QDropEvent*>(event));
            else
                AcceptFileDrag(*static_cast<QDropEvent*>(event));
            return true;
        }
        break;
    default:
        break;
    }
    return QMainWindow::eventFilter(watched, event);
}
