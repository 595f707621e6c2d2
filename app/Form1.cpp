#include "app/Form1.h"

#include <QAccessible>
#include <QAccessibleWidget>
#include <QApplication>
#include <QCloseEvent>
#include <QColor>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QEventLoop>
#include <QFileDialog>
#include <QFontMetrics>
#include <QGuiApplication>
#include <QIcon>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMimeData>
#include <QPainter>
#include <QPalette>
#include <QPushButton>
#include <QShortcut>
#include <QUrl>
#include <exception>
#include <initializer_list>
#include <string>
#include <thread>
#include <utility>

#include "app/TrackView.h"
#include "app/form_logic.h"
#include "app/patch.h"
#include "dialog/modCommonDialog.h"
#include "rom/file.h"
#include "rom/identify.h"
#include "rom/text.h"

// Resources of a static library have to be pulled in by name.
static void LoadArtwork() {
    Q_INIT_RESOURCE(tflux);
}

namespace {

const QString kBlank = QStringLiteral("     ");

using namespace form1;
namespace form = tflux::form;

// The engine's paths, messages and causes are UTF-8, both ways. The window shows no text read
// from an image by itself, so it has no Latin-1 to convert.
std::string ToEngine(const QString& text) {
    return text.toStdString();
}

QString FromEngine(const std::string& text) {
    return QString::fromStdString(text);
}

// Marks a control that a screen reader is not shown: a shadow repeats its label, and the
// controls below the client area hold state, not anything to see.
constexpr char kUnlisted[] = "tfluxUnlisted";
// Marks a container whose accessible children leave the unlisted ones out.
constexpr char kListsChildren[] = "tfluxListsChildren";
// Marks a label whose text is a value (a path, the status): a screen reader reads it as the
// label's value after its name, and only the part of it that shows.
constexpr char kValueLabel[] = "tfluxValueLabel";

void Unlist(std::initializer_list<QWidget*> widgets) {
    for (QWidget* widget : widgets) {
        widget->setProperty(kUnlisted, true);
    }
}

class ListedChildren : public QAccessibleWidget {
  public:
    explicit ListedChildren(QWidget* widget)
        : QAccessibleWidget(widget,
                            widget->isWindow() ? QAccessible::Window : QAccessible::Client) {}

    int childCount() const override { return static_cast<int>(Listed().size()); }
    QAccessibleInterface* child(int index) const override {
        const QList<QWidget*> listed = Listed();
        return index >= 0 && index < listed.size()
                   ? QAccessible::queryAccessibleInterface(listed.at(index))
                   : nullptr;
    }
    int indexOfChild(const QAccessibleInterface* child) const override {
        return child == nullptr ? -1 : static_cast<int>(Listed().indexOf(child->object()));
    }

  private:
    QList<QWidget*> Listed() const {
        QList<QWidget*> listed;
        for (QObject* object : widget()->children()) {
            auto* child = qobject_cast<QWidget*>(object);
            if (child != nullptr && !child->isWindow() && !child->property(kUnlisted).toBool()) {
                listed.append(child);
            }
        }
        return listed;
    }
};

class ValueLabel : public QAccessibleWidget, public QAccessibleTextInterface {
  public:
    explicit ValueLabel(QLabel* label) : QAccessibleWidget(label, QAccessible::StaticText) {}

    void* interface_cast(QAccessible::InterfaceType type) override {
        if (type == QAccessible::TextInterface) {
            return static_cast<QAccessibleTextInterface*>(this);
        }
        return QAccessibleWidget::interface_cast(type);
    }

    QString text(QAccessible::Text t) const override {
        switch (t) {
            case QAccessible::Name:
                return widget()->accessibleName();
            case QAccessible::Value:
                return Value();
            case QAccessible::Description:
                return widget()->accessibleDescription();
            default:
                return QAccessibleWidget::text(t);
        }
    }

    // A path wider than its picture is cut by it: what lies outside is not on the screen.
    QRect rect() const override {
        QRect shown = QAccessibleWidget::rect();
        for (const QWidget* above = widget()->parentWidget(); above != nullptr;
             above = above->parentWidget()) {
            shown &= QRect(above->mapToGlobal(QPoint(0, 0)), above->size());
            if (above->isWindow()) {
                break;
            }
        }
        return shown;
    }

    // ---- the value as read-only text ----
    void selection(int, int* start, int* end) const override { *start = *end = 0; }
    int selectionCount() const override { return 0; }
    void addSelection(int, int) override {}
    void removeSelection(int) override {}
    void setSelection(int, int, int) override {}
    int cursorPosition() const override { return 0; }
    void setCursorPosition(int) override {}
    QString text(int start, int end) const override { return Value().mid(start, end - start); }
    int characterCount() const override { return static_cast<int>(Value().size()); }
    QRect characterRect(int offset) const override {
        const QFontMetrics metrics(widget()->font());
        const QString value = Value();
        if (offset < 0 || offset >= value.size()) {
            return QRect();
        }
        const int left = metrics.horizontalAdvance(value.left(offset));
        const QRect local(left, 0, metrics.horizontalAdvance(value.at(offset)), metrics.height());
        return QRect(widget()->mapToGlobal(local.topLeft()), local.size());
    }
    int offsetAtPoint(const QPoint& point) const override {
        const QFontMetrics metrics(widget()->font());
        const QString value = Value();
        const int x = widget()->mapFromGlobal(point).x();
        for (int i = 0; i < value.size(); ++i) {
            if (metrics.horizontalAdvance(value.left(i + 1)) > x) {
                return i;
            }
        }
        return -1;
    }
    void scrollToSubstring(int, int) override {}
    QString attributes(int, int* start, int* end) const override {
        *start = 0;
        *end = characterCount();
        return QString();
    }

  private:
    QString Value() const { return static_cast<const QLabel*>(widget())->text().trimmed(); }
};

QAccessibleInterface* ListedChildrenFactory(const QString&, QObject* object) {
    auto* widget = qobject_cast<QWidget*>(object);
    if (widget != nullptr && widget->property(kListsChildren).toBool()) {
        return new ListedChildren(widget);
    }
    auto* label = qobject_cast<QLabel*>(object);
    if (label != nullptr && label->property(kValueLabel).toBool()) {
        return new ValueLabel(label);
    }
    return nullptr;
}

void MarkValueLabel(QLabel* label) {
    label->setProperty(kValueLabel, true);
    // A screen reader already listening may have had the plain interface made before the mark.
    QAccessibleInterface* made = QAccessible::queryAccessibleInterface(label);
    if (made != nullptr && dynamic_cast<ValueLabel*>(made) == nullptr) {
        QAccessible::deleteAccessibleInterface(QAccessible::uniqueId(made));
    }
}

// Tells a screen reader that a value label now reads otherwise.
void AnnounceValue(QLabel* label) {
    if (QAccessible::isActive()) {
        QAccessibleValueChangeEvent changed(label, label->text());
        QAccessible::updateAccessibility(&changed);
    }
}

// A picture box: draws its picture from the top-left corner and clips its children.
class PictureBox : public QWidget {
  public:
    PictureBox(QWidget* parent, Artwork picture) : QWidget(parent), picture_(std::move(picture)) {
        setProperty(kListsChildren, true);
    }

  protected:
    void paintEvent(QPaintEvent*) override {
        const QPixmap& picture = picture_.For(devicePixelRatioF());
        if (!picture.isNull()) {
            QPainter(this).drawPixmap(0, 0, picture);
        }
    }

  private:
    Artwork picture_;
};

// A one-pixel line control, both ends drawn.
class LineControl : public QWidget {
  public:
    LineControl(QWidget* parent, const QRect& line, const QColor& colour)
        : QWidget(parent), colour_(colour) {
        setGeometry(line);
        setAttribute(Qt::WA_TransparentForMouseEvents);
    }

  protected:
    void paintEvent(QPaintEvent*) override { QPainter(this).fillRect(rect(), colour_); }

  private:
    QColor colour_;
};

void SetTextColour(QWidget* widget, const QColor& colour) {
    QPalette palette = widget->palette();
    palette.setColor(QPalette::WindowText, colour);
    widget->setPalette(palette);
}

// Labels are created shadow first, so that each shadow lies beneath its label.
QLabel* MakeLabel(QWidget* parent, const char* name, const QString& text, const QColor& colour) {
    auto* label = new QLabel(text, parent);
    label->setObjectName(QLatin1String(name));
    label->setTextFormat(Qt::PlainText);  // a path may hold "<" or "&"
    label->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    label->setAttribute(Qt::WA_TransparentForMouseEvents);
    SetTextColour(label, colour);
    return label;
}

// Labels that size themselves to their text: as wide as the text, one line high.
void SizeToText(QLabel* label) {
    const QFontMetrics metrics(label->font());
    label->resize(metrics.horizontalAdvance(label->text()), metrics.height());
}

QPushButton* MakeButton(QWidget* parent, const char* name, const QString& text,
                        const QRect& geometry, const QString& accessibleName) {
    auto* button = new QPushButton(text, parent);
    button->setObjectName(QLatin1String(name));
    button->setGeometry(geometry);
    button->setAccessibleName(accessibleName);
    QPalette palette = button->palette();
    palette.setColor(QPalette::Button, kButtonFace);
    palette.setColor(QPalette::Window, kButtonShade);
    palette.setColor(QPalette::ButtonText, kButtonText);
    palette.setColor(QPalette::Highlight, kButtonFocus);
    button->setPalette(palette);
    return button;
}

// Out of sight, so out of the tab order too.
QLineEdit* MakeTextBox(QWidget* parent, const char* name, const QRect& geometry,
                       const QString& accessibleName) {
    auto* box = new QLineEdit(parent);
    box->setObjectName(QLatin1String(name));
    box->setGeometry(geometry);
    box->setAccessibleName(accessibleName);
    box->setFocusPolicy(Qt::NoFocus);
    return box;
}

// A tooltip shows rich text when it looks like markup; a path is only ever text.
QString PlainToolTip(const QString& text) {
    return QStringLiteral("<p style=\"white-space:pre\">%1</p>").arg(text.toHtmlEscaped());
}

// The one local file of a drop, or "" when the drop is anything else.
QString DroppedFile(const QMimeData* mime) {
    if (mime == nullptr || !mime->hasUrls() || mime->urls().size() != 1 ||
        !mime->urls().first().isLocalFile()) {
        return QString();
    }
    return mime->urls().first().toLocalFile();
}

QMessageBox::Icon IconOf(form::MessageIcon icon) {
    return icon == form::MessageIcon::Information ? QMessageBox::Information
                                                  : QMessageBox::Critical;
}

class WaitCursor {
  public:
    WaitCursor() { QGuiApplication::setOverrideCursor(Qt::WaitCursor); }
    ~WaitCursor() { QGuiApplication::restoreOverrideCursor(); }
    WaitCursor(const WaitCursor&) = delete;
    WaitCursor& operator=(const WaitCursor&) = delete;
};

}  // namespace

QString DialogPrompts::AskForFile(QWidget* owner, const QString& title, const QString& filter) {
    return ShowFileDialog(title, filter, owner);
}

QString DialogPrompts::AskForOutput(QWidget* owner, const QString& title, const QString& filter,
                                    const QString& folder, const QString& name) {
    return ShowSaveDialog(title, filter, folder, name, owner);
}

void DialogPrompts::ShowMessage(QWidget* owner, QMessageBox::Icon icon, const QString& title,
                                const QString& text, const QString& detail) {
    QMessageBox box(icon, title, text, QMessageBox::Ok, owner);
    if (!detail.isEmpty()) {
        box.setDetailedText(detail);
    }
    box.exec();
}

bool DialogPrompts::AskToReplace(QWidget* owner, const QString& title, const QString& text) {
    return QMessageBox::question(owner, title, text, QMessageBox::Yes | QMessageBox::No,
                                 QMessageBox::No) == QMessageBox::Yes;
}

QString FormPrompts::AskForFolder(QWidget*, const QString&) {
    return QString();
}

QString DialogPrompts::AskForFolder(QWidget* owner, const QString& title) {
    return QFileDialog::getExistingDirectory(owner, title);
}

bool DialogPrompts::AskToUsePack(QWidget* owner, const QString& title, const QString& text) {
    return QMessageBox::question(owner, title, text, QMessageBox::Yes | QMessageBox::No,
                                 QMessageBox::No) == QMessageBox::Yes;
}

Artwork Artwork::Load(const QString& name) {
    Artwork art{QPixmap(QStringLiteral(":/art/%1.png").arg(name)),
                QPixmap(QStringLiteral(":/art/%1@2x.png").arg(name))};
    art.sharp.setDevicePixelRatio(2.0);
    return art;
}

const QPixmap& Artwork::For(qreal devicePixelRatio) const {
    return devicePixelRatio > 1.0 && !sharp.isNull() ? sharp : normal;
}

Form1::Form1(QWidget* parent) : QWidget(parent) {
    SetUpWindow();
    // Built in this order, each control above those before it: the hidden part first (the
    // text boxes hold the paths, the labels only mirror them), then back to front.
    BuildHiddenControls();
    BuildPathLabels();
    BuildRowCaptions();
    BuildStatusRow();
    Unlist({lblROMIn2, lblROMOut2, Label5, Label4, Line2, lblStatus2, txtROMIn, txtROMOut, lblWidth,
            Picture1});
    SetUpFocus();
    SetUpShortcuts();
    connect(cmdROMIn, &QPushButton::clicked, this, &Form1::cmdROMIn_Click);
    connect(cmdROMOut, &QPushButton::clicked, this, &Form1::cmdROMOut_Click);
    connect(cmdPatch, &QPushButton::clicked, this, &Form1::cmdPatch_Click);
    connect(txtROMIn, &QLineEdit::textChanged, this, &Form1::txtROMIn_Change);
    connect(txtROMOut, &QLineEdit::textChanged, this, &Form1::txtROMOut_Change);
}

void Form1::SetUpWindow() {
    LoadArtwork();
    // Installed once for the process, before any of the window's interfaces is asked for.
    static const bool listed = (QAccessible::installFactory(ListedChildrenFactory), true);
    Q_UNUSED(listed);
    setProperty(kListsChildren, true);
    setObjectName(QStringLiteral("Form1"));
    setWindowTitle(FromEngine(form::kCaption));
    QIcon icon;
    for (const int size : {16, 32, 48, 96}) {
        icon.addFile(QStringLiteral(":/art/icon-%1.png").arg(size), QSize(size, size));
    }
    setWindowIcon(icon);
    setFixedSize(kClientWidth, kClientHeight);
    setAcceptDrops(true);
    background_ = Artwork::Load(QStringLiteral("background"));

    // Every position assumes a font whose line is 13 pixels high, as the classic dialog font's
    // is; a fixed pixel size keeps the layout whole under any desktop setting.
    QFont dialogFont = font();
    dialogFont.setPixelSize(11);
    setFont(dialogFont);
}

void Form1::BuildHiddenControls() {
    txtROMIn = MakeTextBox(this, "txtROMIn", kTxtROMIn, QStringLiteral("Input ROM path"));
    txtROMOut = MakeTextBox(this, "txtROMOut", kTxtROMOut, QStringLiteral("Output ROM path"));
    lblWidth = MakeLabel(this, "lblWidth", QStringLiteral("FFF"), kPathColour);
    lblWidth->move(kLblWidth);
    SizeToText(lblWidth);
    Picture1 = new PictureBox(this, Artwork());
    Picture1->setObjectName(QStringLiteral("Picture1"));
    Picture1->setGeometry(kPicture1);
}

void Form1::BuildPathLabels() {
    picBack = new PictureBox(this, Artwork::Load(QStringLiteral("paths")));
    picBack->setObjectName(QStringLiteral("picBack"));
    picBack->setGeometry(kPicBack);
    picBack->setAccessibleName(QStringLiteral("Paths"));
    lblROMIn2 = MakeLabel(picBack, "lblROMIn2", kBlank, kShadowColour);
    lblROMIn2->move(kLblROMIn + kShadowOffset);
    lblROMIn = MakeLabel(picBack, "lblROMIn", kBlank, kPathColour);
    lblROMIn->move(kLblROMIn);
    lblROMIn->setAccessibleName(QStringLiteral("ROM In"));
    lblROMOut2 = MakeLabel(picBack, "lblROMOut2", kBlank, kShadowColour);
    lblROMOut2->move(kLblROMOut + kShadowOffset);
    lblROMOut = MakeLabel(picBack, "lblROMOut", kBlank, kPathColour);
    lblROMOut->move(kLblROMOut);
    lblROMOut->setAccessibleName(QStringLiteral("ROM Out"));
    for (QLabel* label : {lblROMIn, lblROMOut}) {
        MarkValueLabel(label);
    }
    for (QLabel* label : {lblROMIn, lblROMIn2, lblROMOut, lblROMOut2}) {
        SizeToText(label);
    }
    // Under the mouse, so that a cut path can show itself whole as a tooltip.
    for (QLabel* label : {lblROMIn, lblROMOut}) {
        label->setAttribute(Qt::WA_TransparentForMouseEvents, false);
    }
}

// "ROM In:" and "ROM Out:" with their shadows, and the two browse buttons.
void Form1::BuildRowCaptions() {
    Label5 = MakeLabel(this, "Label5", QStringLiteral("ROM In:"), kShadowColour);
    Label5->setGeometry(kLabel1.translated(kShadowOffset));
    Label1 = MakeLabel(this, "Label1", QStringLiteral("ROM In:"), kCaptionColour);
    Label1->setGeometry(kLabel1);
    Label4 = MakeLabel(this, "Label4", QStringLiteral("ROM Out:"), kShadowColour);
    Label4->setGeometry(kLabel3.translated(kShadowOffset));
    Label3 = MakeLabel(this, "Label3", QStringLiteral("ROM Out:"), kCaptionColour);
    Label3->setGeometry(kLabel3);

    cmdROMIn = MakeButton(this, "cmdROMIn", QStringLiteral("..."), kCmdROMIn,
                          QStringLiteral("Choose input ROM"));
    cmdROMOut = MakeButton(this, "cmdROMOut", QStringLiteral("..."), kCmdROMOut,
                           QStringLiteral("Choose output ROM"));
}

// The separator, the status line and the Patch button.
void Form1::BuildStatusRow() {
    Line2 = new LineControl(this, kLine1.translated(kShadowOffset), kShadowColour);
    Line2->setObjectName(QStringLiteral("Line2"));
    Line1 = new LineControl(this, kLine1, kLineColour);
    Line1->setObjectName(QStringLiteral("Line1"));
    Line1->setAccessibleName(QStringLiteral("Separator"));

    const QString noInput = FromEngine(form::kNoInput);
    lblStatus2 = MakeLabel(this, "lblStatus2", noInput, kShadowColour);
    lblStatus2->setGeometry(kLblStatus.translated(kShadowOffset));
    lblStatus = MakeLabel(this, "lblStatus", noInput, kIdleColour);
    lblStatus->setGeometry(kLblStatus);
    lblStatus->setAccessibleName(QStringLiteral("Status"));
    MarkValueLabel(lblStatus);
    // Under the mouse, so that the tooltip can say why an input is refused.
    lblStatus->setAttribute(Qt::WA_TransparentForMouseEvents, false);

    cmdPatch =
        MakeButton(this, "cmdPatch", QStringLiteral("Patch"), kCmdPatch, QStringLiteral("Patch"));
    // The tracks the patch applies, one key away: the pack is what a player came for.
    cmdTracks =
        MakeButton(this, "cmdTracks", QStringLiteral("24"), kCmdTracks, QStringLiteral("Tracks"));
    cmdTracks->setToolTip(
        QStringLiteral("The 24 tracks of the pack, and which pack to use (Ctrl+T)"));
}

void Form1::SetUpFocus() {
    QWidget::setTabOrder(cmdPatch, cmdROMIn);
    QWidget::setTabOrder(cmdROMIn, cmdROMOut);
    QWidget::setTabOrder(cmdROMOut, cmdTracks);
    cmdPatch->setFocus();

    // The focused button shows its frame from the start, not only once Tab has been pressed: Qt
    // clears the window's flag for that on every focus change that is not a Tab.
    setAttribute(Qt::WA_KeyboardFocusChange);
    connect(qApp, &QApplication::focusChanged, this, [this](QWidget*, QWidget* now) {
        if (now != nullptr && isAncestorOf(now)) {
            setAttribute(Qt::WA_KeyboardFocusChange);
        }
    });
}

// Ctrl+Q and Ctrl+W, as every window on the desktop closes; a patch running finishes first.
void Form1::SetUpShortcuts() {
    for (const QKeyCombination keys : {Qt::CTRL | Qt::Key_Q, Qt::CTRL | Qt::Key_W}) {
        auto* shortcut = new QShortcut(QKeySequence(keys), this);
        connect(shortcut, &QShortcut::activated, this, &QWidget::close);
    }
    auto* tracks = new QShortcut(QKeySequence(Qt::CTRL | Qt::Key_T), this);
    connect(tracks, &QShortcut::activated, this, &Form1::ShowTracks);
}

void Form1::ShowTracks() {
    if (tracks_ == nullptr) {
        tracks_ = new TrackView(this);
        connect(tracks_, &TrackView::builtInPackWanted, this, [this] { UsePack(std::nullopt); });
        connect(tracks_, &TrackView::packFolderWanted, this, [this] {
            const QString folder =
                Prompts().AskForFolder(tracks_, FromEngine(form::kPackFolderTitle));
            if (!folder.isEmpty()) {
                UsePack(std::filesystem::path(ToEngine(folder)));
            }
        });
        connect(tracks_, &TrackView::containerFileWanted, this, [this] {
            const QString file = Prompts().AskForFile(tracks_, FromEngine(form::kPackTitle),
                                                      FromEngine(form::kPackFilter));
            if (!file.isEmpty()) {
                UsePack(std::filesystem::path(ToEngine(file)));
            }
        });
        connect(this, &Form1::packChanged, tracks_, [this] { ShowPackInTracks(); });
    }
    ShowPackInTracks();
    tracks_->show();
    tracks_->raise();
    tracks_->activateWindow();
}

TrackView* Form1::Tracks() const {
    return tracks_.data();
}

void Form1::ShowPackInTracks() {
    try {
        tracks_->ShowPack(pack_.container, PackLabel());
    } catch (const std::exception& e) {
        // A container whose tracks cannot be read was refused before it was chosen.
        Present(form::FailureMessage(e.what()));
    }
}

Form1::~Form1() {
    tflux::CloseRom(state_);
}

void Form1::SetPrompts(FormPrompts* prompts) {
    prompts_ = prompts;
}

void Form1::SetIoHook(tflux::IoHook* hook) {
    state_.Io = hook;
}

FormPrompts& Form1::Prompts() {
    return prompts_ != nullptr ? *prompts_ : static_cast<FormPrompts&>(dialogPrompts_);
}

void Form1::closeEvent(QCloseEvent* event) {
    if (patching_) {
        closeRequested_ = true;
        event->ignore();
        return;
    }
    QWidget::closeEvent(event);
}

void Form1::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.fillRect(rect(), kBackdrop);
    painter.drawPixmap(0, 0, background_.For(devicePixelRatioF()));
    if (dropHovering_) {
        painter.setPen(kDropColour);
        painter.drawRect(rect().adjusted(0, 0, -1, -1));
    }
}

// Buttons outside a dialog answer only Space; Enter is what keyboard users press first.
void Form1::keyPressEvent(QKeyEvent* event) {
    const bool enter = event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter;
    auto* button = qobject_cast<QPushButton*>(focusWidget());
    if (enter && button != nullptr && isAncestorOf(button)) {
        if (!event->isAutoRepeat()) {
            button->click();
        }
        event->accept();
        return;
    }
    QWidget::keyPressEvent(event);
}

void Form1::cmdROMIn_Click() {
    const QString path =
        Prompts().AskForFile(this, FromEngine(form::kInputTitle), FromEngine(form::kFilter));
    if (path.isEmpty()) {
        return;
    }
    ChooseInput(path);
}

void Form1::ChooseInput(const QString& path) {
    if (patching_) {
        return;
    }
    inputFailure_.reset();
    try {
        txtROMIn->setText(path);
        if (!inputFailure_) {
            txtROMOut->setText(FromEngine(tflux::DeriveOutputPath(ToEngine(path))));
            txtROMIn->setCursorPosition(static_cast<int>(txtROMIn->text().size()));
            txtROMOut->setCursorPosition(static_cast<int>(txtROMOut->text().size()));
        }
    } catch (const std::exception& e) {
        inputFailure_ = e.what();
    }
    if (inputFailure_) {
        // An input is not left half chosen: cleared, it shows "Invalid input file", and the
        // message says why.
        const std::string why = *std::exchange(inputFailure_, std::nullopt);
        txtROMIn->setText(QString());
        inputFailure_.reset();
        Present(form::InputFailureMessage(ToEngine(path), why));
    }
}

void Form1::cmdROMOut_Click() {
    const form::SaveStart start =
        form::OutputDialogStart(ToEngine(txtROMIn->text()), ToEngine(txtROMOut->text()));
    const QString path =
        Prompts().AskForOutput(this, FromEngine(form::kOutputTitle), FromEngine(form::kFilter),
                               FromEngine(tflux::PathText(start.folder)), FromEngine(start.name));
    if (path.isEmpty()) {
        return;
    }
    txtROMOut->setText(path);
    txtROMOut->setCursorPosition(static_cast<int>(txtROMOut->text().size()));
}

void Form1::txtROMIn_Change() {
    // Qt's signals are not to be left by an exception: a failure waits for ChooseInput.
    try {
        SetPathCaptions(txtROMIn->text(), lblROMIn, lblROMIn2);
        InputCheck();
    } catch (const std::exception& e) {
        inputFailure_ = e.what();
    }
}

void Form1::txtROMOut_Change() {
    SetPathCaptions(txtROMOut->text(), lblROMOut, lblROMOut2);
}

void Form1::SetPathCaptions(const QString& text, QLabel* label, QLabel* shadow) {
    for (QLabel* each : {lblWidth, label, shadow}) {
        each->setText(text);
        SizeToText(each);
    }
    LayOutPathLabels(label, shadow);
    AnnounceValue(label);
    label->setToolTip(lblWidth->width() > picBack->width() ? PlainToolTip(text) : QString());
}

// A path wider than the picture is right-aligned, so that its end, the file name, shows.
void Form1::LayOutPathLabels(QLabel* label, QLabel* shadow) {
    const int width = lblWidth->width();
    if (width > picBack->width()) {
        label->move(picBack->width() - label->width() - 1, label->y());
        shadow->move(picBack->width() - shadow->width(), shadow->y());
    } else {
        label->move(0, label->y());
        shadow->move(1, shadow->y());
    }
}

bool Form1::CheckROMIn(std::string* cause) {
    std::string why = tflux::UnreadableCause(ToEngine(txtROMIn->text()), state_.Io);
    const bool readable = why.empty();
    if (cause != nullptr) {
        *cause = std::move(why);
    }
    return readable;
}

void Form1::InputCheck() {
    // A file the window cannot open is not worth identifying. Otherwise the engine decides and
    // words the status; the window gives it its colour and the cause.
    tflux::InputStatus status;
    status.text = form::kInvalidInputFile;
    if (CheckROMIn(&status.cause)) {
        status = tflux::CheckInput(state_, ToEngine(txtROMIn->text()));
    }
    status_ = form::StatusOf(status);
    ShowStatus();
}

void Form1::ShowStatus() {
    const QString text = FromEngine(form::StatusText(status_, pack_));
    const QString detail = FromEngine(form::StatusDetail(status_, pack_));
    lblStatus->setText(text);
    SetTextColour(lblStatus, ToQColor(status_.colour));
    lblStatus->setToolTip(detail.isEmpty() ? QString() : PlainToolTip(detail));
    lblStatus->setAccessibleDescription(detail);
    lblStatus2->setText(lblStatus->text());
    AnnounceValue(lblStatus);
}

void Form1::Present(const form::FormMessage& message) {
    Prompts().ShowMessage(this, IconOf(message.icon), windowTitle(), FromEngine(message.text),
                          FromEngine(message.detail));
}

bool Form1::UsePack(const std::optional<std::filesystem::path>& path) {
    if (patching_) {
        return false;
    }
    std::optional<form::ChosenPack> taken = form::TakePack(
        form::ReadPack(path), [this](const form::FormMessage& refusal) { Present(refusal); },
        [this](const std::string& question) {
            return Prompts().AskToUsePack(this, windowTitle(), FromEngine(question));
        });
    if (!taken) {
        return false;
    }
    pack_ = std::move(*taken);
    ShowStatus();
    emit packChanged();
    return true;
}

void Form1::Open(const WindowStart& start) {
    // A refused pack has said why; the built-in one serves meanwhile.
    if (start.pack) {
        UsePack(std::filesystem::path(*start.pack));
    }
    if (start.image) {
        ChooseInput(FromEngine(*start.image));
    }
    if (start.tracks) {
        ShowTracks();
    }
}

QString Form1::PackLabel() const {
    return FromEngine(form::PackLabel(pack_));
}

void Form1::cmdPatch_Click() {
    if (patching_) {
        return;
    }
    Patch();
    if (std::exchange(closeRequested_, false)) {
        close();
    }
}

void Form1::Patch() {
    const std::string output = ToEngine(txtROMOut->text());
    if (const std::optional<form::FormMessage> refusal =
            form::RefusePackOutput(pack_, output, state_.Io)) {
        Present(*refusal);
        return;
    }
    tflux::PatchRequest request =
        form::WindowRequest(ToEngine(txtROMIn->text()), output, pack_.container);
    tflux::PatchResult result = RunPatchBusy(request);
    // A file of the user's at the output is replaced only when they say so, each question once.
    for (int asked = 0; asked < 2; ++asked) {
        const std::string question = form::ReplaceQuestion(result);
        if (question.empty()) {
            break;
        }
        // Asked to close meanwhile: nothing was written, and nobody is there to answer.
        if (closeRequested_ || !Prompts().AskToReplace(this, windowTitle(), FromEngine(question))) {
            return;
        }
        request = form::Answered(request, result);
        result = RunPatchBusy(request);
    }
    // Closing after a success needs no word; a refusal or a failure still has to be heard.
    if (closeRequested_ && result.outcome == tflux::PatchOutcome::Success) {
        return;
    }
    Present(form::PatchMessage(result, output));
}

tflux::PatchResult Form1::RunPatchBusy(const tflux::PatchRequest& request) {
    SetBusy(true);
    tflux::PatchResult result;
    {
        const WaitCursor busy;
        QEventLoop loop;
        // The window keeps painting and hears a close request while a slow disk takes its time.
        std::jthread worker([&] {
            try {
                result = tflux::PatchRom(state_, request);
            } catch (const std::exception& e) {  // out of memory on the way out
                result.outcome = tflux::PatchOutcome::Failed;
                result.message = form::FailureMessage(e.what()).text;
                result.cause = e.what();
            }
            QMetaObject::invokeMethod(&loop, &QEventLoop::quit, Qt::QueuedConnection);
        });
        loop.exec();
    }
    SetBusy(false);
    return result;
}

void Form1::SetBusy(bool busy) {
    patching_ = busy;
    if (busy) {
        focusBeforePatch_ = focusWidget();
    }
    for (QPushButton* button : {cmdROMIn, cmdROMOut, cmdPatch, cmdTracks}) {
        button->setEnabled(!busy);
    }
    setAcceptDrops(!busy);
    if (!busy) {
        ShowStatus();
        if (focusBeforePatch_ != nullptr) {
            focusBeforePatch_->setFocus();
        }
        emit patchFinished();
        return;
    }
    const std::string name =
        tflux::PathText(tflux::PathFromText(ToEngine(txtROMOut->text())).filename());
    const QString patching = QStringLiteral("Patching %1...").arg(FromEngine(name));
    lblStatus->setText(patching);
    lblStatus2->setText(patching);
    SetTextColour(lblStatus, kIdleColour);
    AnnounceValue(lblStatus);
    emit patchStarted();
}

void Form1::dragEnterEvent(QDragEnterEvent* event) {
    if (!patching_ && !DroppedFile(event->mimeData()).isEmpty()) {
        event->acceptProposedAction();
        dropHovering_ = true;
        update();
    }
}

// Accepted over every part of the window, so the pointer keeps saying the drop will be taken.
void Form1::dragMoveEvent(QDragMoveEvent* event) {
    if (!DroppedFile(event->mimeData()).isEmpty()) {
        event->acceptProposedAction();
    } else {
        event->ignore();
    }
}

void Form1::dragLeaveEvent(QDragLeaveEvent*) {
    dropHovering_ = false;
    update();
}

void Form1::dropEvent(QDropEvent* event) {
    dropHovering_ = false;
    update();
    const QString path = DroppedFile(event->mimeData());
    if (path.isEmpty() || patching_) {
        return;
    }
    event->acceptProposedAction();
    ChooseInput(path);
}
