#include "app/Form1.h"

#include <QAccessible>
#include <QAccessibleWidget>
#include <QApplication>
#include <QColor>
#include <QDragEnterEvent>
#include <QDropEvent>
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
#include <QUrl>
#include <exception>
#include <initializer_list>
#include <string>
#include <utility>

#include "app/patch.h"
#include "dialog/modCommonDialog.h"
#include "payload/builtin_payload.h"
#include "rom/file.h"
#include "rom/identify.h"

// Resources of a static library have to be pulled in by name.
static void LoadArtwork() {
    Q_INIT_RESOURCE(tflux);
}

namespace {

const QString kCaption = QStringLiteral("Orvane's T-Flux KRN Track Pack");
const QString kFilter = QStringLiteral("N64 ROMs (*.*64)|*.*64");
const QString kBlank = QStringLiteral("     ");
const QString kNoInput = QStringLiteral("No input ROM selected.");

using namespace form1;

// Marks a control that a screen reader is not shown: a shadow repeats its label, and the
// controls below the client area hold state, not anything to see.
constexpr char kUnlisted[] = "tfluxUnlisted";
// Marks a container whose accessible children leave the unlisted ones out.
constexpr char kListsChildren[] = "tfluxListsChildren";

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

QAccessibleInterface* ListedChildrenFactory(const QString&, QObject* object) {
    auto* widget = qobject_cast<QWidget*>(object);
    if (widget != nullptr && widget->property(kListsChildren).toBool()) {
        return new ListedChildren(widget);
    }
    return nullptr;
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

// The engine's paths, messages and causes are UTF-8, both ways. The window shows no text read
// from an image by itself, so it has no Latin-1 to convert.
std::string ToEngine(const QString& text) {
    return text.toStdString();
}

QString FromEngine(const std::string& text) {
    return QString::fromStdString(text);
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
    setWindowTitle(kCaption);
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
    lblROMIn->setAccessibleName(QStringLiteral("Input ROM"));
    lblROMOut2 = MakeLabel(picBack, "lblROMOut2", kBlank, kShadowColour);
    lblROMOut2->move(kLblROMOut + kShadowOffset);
    lblROMOut = MakeLabel(picBack, "lblROMOut", kBlank, kPathColour);
    lblROMOut->move(kLblROMOut);
    lblROMOut->setAccessibleName(QStringLiteral("Output ROM"));
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

    lblStatus2 = MakeLabel(this, "lblStatus2", kNoInput, kShadowColour);
    lblStatus2->setGeometry(kLblStatus.translated(kShadowOffset));
    lblStatus = MakeLabel(this, "lblStatus", kNoInput, kIdleColour);
    lblStatus->setGeometry(kLblStatus);
    lblStatus->setAccessibleName(QStringLiteral("Status"));
    lblStatus->setAccessibleDescription(kNoInput);

    cmdPatch =
        MakeButton(this, "cmdPatch", QStringLiteral("Patch"), kCmdPatch, QStringLiteral("Patch"));
}

void Form1::SetUpFocus() {
    QWidget::setTabOrder(cmdPatch, cmdROMIn);
    QWidget::setTabOrder(cmdROMIn, cmdROMOut);
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
        Prompts().AskForFile(this, QStringLiteral("Select input ROM file..."), kFilter);
    if (path.isEmpty()) {
        return;
    }
    ChooseInput(path);
}

void Form1::ChooseInput(const QString& path) {
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
        Prompts().ShowMessage(this, QMessageBox::Critical, windowTitle(),
                              FromEngine(tflux::kMsgInvalidInput),
                              path + QStringLiteral(": ") + FromEngine(why));
    }
}

void Form1::cmdROMOut_Click() {
    const QString path =
        Prompts().AskForFile(this, QStringLiteral("Select output ROM file..."), kFilter);
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
    label->setAccessibleDescription(text);
    LayOutPathLabels(label, shadow);
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

bool Form1::CheckROMIn() {
    return tflux::CanOpenForReading(ToEngine(txtROMIn->text()), state_.Io);
}

void Form1::InputCheck() {
    // A file the window cannot open is not worth identifying. Otherwise the engine decides and
    // words the status; the window gives it its colour.
    QString text = QStringLiteral("Invalid input file");
    bool accepted = false;
    if (CheckROMIn()) {
        const tflux::InputStatus status = tflux::CheckInput(state_, ToEngine(txtROMIn->text()));
        text = FromEngine(status.text);
        accepted = status.accepted;
    }
    lblStatus->setText(text);
    SetTextColour(lblStatus, accepted ? kAcceptedColour : kRefusedColour);
    lblStatus->setAccessibleDescription(text);
    lblStatus2->setText(lblStatus->text());
}

void Form1::cmdPatch_Click() {
    tflux::PatchRequest request{ToEngine(txtROMIn->text()), ToEngine(txtROMOut->text()),
                                tflux::BuiltInPayload()};
    request.hashes = true;
    tflux::PatchResult result;
    {
        const WaitCursor busy;
        result = tflux::PatchRom(state_, request);
    }
    // An unpatched image at the output may be somebody's only dump: replaced only when they say.
    if (result.outputIsGameImage) {
        const QString question =
            FromEngine(result.cause) + QStringLiteral(".\nReplace it with the patched image?");
        if (!Prompts().AskToReplace(this, windowTitle(), question)) {
            return;
        }
        request.replaceGameImage = true;
        const WaitCursor busy;
        result = tflux::PatchRom(state_, request);
    }
    const QString text = FromEngine(result.message);
    const bool success = result.outcome == tflux::PatchOutcome::Success;
    // A success whose folder could not be flushed still says so: the image may not survive a
    // crash.
    QString detail = success ? txtROMOut->text() : FromEngine(result.cause);
    // The hashes let a user check, or tell a friend, which patched file they have.
    if (success && result.hashes) {
        detail +=
            QStringLiteral("\nCRC32 %1\nSHA-1 %2 (of the image in Z64 order)")
                .arg(FromEngine(result.hashes->z64.crc32), FromEngine(result.hashes->z64.sha1));
    }
    if (success && !result.warning.empty()) {
        detail += QStringLiteral("\n") + FromEngine(result.warning);
    }
    Prompts().ShowMessage(this, success ? QMessageBox::Information : QMessageBox::Critical,
                          windowTitle(), text, detail);
}

void Form1::dragEnterEvent(QDragEnterEvent* event) {
    if (!DroppedFile(event->mimeData()).isEmpty()) {
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
    if (path.isEmpty()) {
        return;
    }
    event->acceptProposedAction();
    ChooseInput(path);
}
