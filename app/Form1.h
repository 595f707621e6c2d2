#pragma once

// The program's only window: two path rows over a picture, a status line and the Patch button.
// The paths live in two text boxes below the visible area; the labels only mirror them.

#include <QMessageBox>
#include <QPixmap>
#include <QPointer>
#include <QString>
#include <QWidget>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <span>
#include <string>

#include "app/Form1Layout.h"
#include "app/form_logic.h"
#include "app/patch.h"
#include "app/qt_options.h"
#include "rom/rom_state.h"

class QLabel;
class QLineEdit;
class QPushButton;
class TrackView;

// Everything the window asks of the user goes through here, so that tests can answer the
// questions themselves instead of waiting on a modal dialog.
class FormPrompts {
  public:
    virtual ~FormPrompts() = default;
    // The chosen path, or "" when the user cancels.
    virtual QString AskForFile(QWidget* owner, const QString& title, const QString& filter) = 0;
    // Where to write the output: a save dialog that starts in `folder` with `name` filled in and
    // asks nothing itself. "" when the user cancels.
    virtual QString AskForOutput(QWidget* owner, const QString& title, const QString& filter,
                                 const QString& folder, const QString& name) = 0;
    virtual void ShowMessage(QWidget* owner, QMessageBox::Icon icon, const QString& title,
                             const QString& text, const QString& detail) = 0;
    // A yes-or-no question; true for yes.
    virtual bool AskToReplace(QWidget* owner, const QString& title, const QString& text) = 0;
    // Whether to take a pack whose concerns `text` lists; true for yes.
    virtual bool AskToUsePack(QWidget* owner, const QString& title, const QString& text) = 0;
    // A pack source folder for the track view, or "" when the user cancels; by default nothing
    // is chosen, as a stand-in that was not asked to choose one answers.
    virtual QString AskForFolder(QWidget* owner, const QString& title);
};

// The real thing: the file dialog and a modal message box with an OK button.
class DialogPrompts : public FormPrompts {
  public:
    QString AskForFile(QWidget* owner, const QString& title, const QString& filter) override;
    QString AskForOutput(QWidget* owner, const QString& title, const QString& filter,
                         const QString& folder, const QString& name) override;
    void ShowMessage(QWidget* owner, QMessageBox::Icon icon, const QString& title,
                     const QString& text, const QString& detail) override;
    bool AskToReplace(QWidget* owner, const QString& title, const QString& text) override;
    bool AskToUsePack(QWidget* owner, const QString& title, const QString& text) override;
    QString AskForFolder(QWidget* owner, const QString& title) override;
};

// A picture and its render at twice the size, for screens scaled past 1.
struct Artwork {
    QPixmap normal;
    QPixmap sharp;
    static Artwork Load(const QString& name);
    const QPixmap& For(qreal devicePixelRatio) const;
};

class Form1 : public QWidget {
    Q_OBJECT

  public:
    static constexpr int kClientWidth = form1::kClientSize.width();
    static constexpr int kClientHeight = form1::kClientSize.height();

    explicit Form1(QWidget* parent = nullptr);
    ~Form1() override;

    // Not owned; nullptr goes back to the real dialogs.
    void SetPrompts(FormPrompts* prompts);
    // Fault seam for every file the window's patch and checks open. Not owned.
    void SetIoHook(tflux::IoHook* hook);

    // What choosing `path` with the input browse button does: input set and identified,
    // output derived from it.
    // Ignored while a patch runs.
    void ChooseInput(const QString& path);

    // The pack the next patch applies: nullopt for the built-in one, or a pack source folder or
    // container file. A refused pack is shown and leaves the choice as it was; one with invalid
    // courses is taken only after the user says yes. Returns whether it was taken.
    bool UsePack(const std::optional<std::filesystem::path>& path);
    // "built-in pack", or the name of the chosen pack's folder or file.
    QString PackLabel() const;
    bool IsPatching() const { return patching_; }
    // The chosen pack's container, which the track view shows.
    std::span<const std::uint8_t> PackContainer() const { return pack_.container; }
    // The track view, opened by the "24" button or Ctrl+T; nullptr before it was first opened.
    TrackView* Tracks() const;
    // What the command line chose: the pack first, so that the input's status names it.
    void Open(const WindowStart& start);

  signals:
    void patchStarted();
    void patchFinished();
    void packChanged();

  public slots:
    void ShowTracks();
    void cmdROMIn_Click();
    void cmdROMOut_Click();
    void cmdPatch_Click();

  protected:
    void paintEvent(QPaintEvent* event) override;
    void closeEvent(QCloseEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void dragEnterEvent(QDragEnterEvent* event) override;
    void dragMoveEvent(QDragMoveEvent* event) override;
    void dragLeaveEvent(QDragLeaveEvent* event) override;
    void dropEvent(QDropEvent* event) override;

  private slots:
    void txtROMIn_Change();
    void txtROMOut_Change();

  private:
    // The steps of building the window, in the order the constructor takes them.
    void SetUpWindow();
    void BuildHiddenControls();
    void BuildPathLabels();
    void BuildRowCaptions();
    void BuildStatusRow();
    void SetUpFocus();
    void SetUpShortcuts();

    // Whether the input can be opened for reading; why not in `cause`.
    bool CheckROMIn(std::string* cause = nullptr);
    void InputCheck();
    void LayOutPathLabels(QLabel* label, QLabel* shadow);
    void SetPathCaptions(const QString& text, QLabel* label, QLabel* shadow);
    FormPrompts& Prompts();
    void ShowStatus();
    void Present(const tflux::form::FormMessage& message);
    void Patch();
    // Runs the patch off the UI thread, the window disabled and painting meanwhile.
    tflux::PatchResult RunPatchBusy(const tflux::PatchRequest& request);
    void SetBusy(bool busy);
    void ShowPackInTracks();

    tflux::RomState state_;
    tflux::form::StatusLine status_ = tflux::form::NoInputStatus();
    tflux::form::ChosenPack pack_ = tflux::form::BuiltInPack();
    bool patching_ = false;
    // The window was asked to close during a patch: it closes once the patch is done.
    bool closeRequested_ = false;
    QPointer<QWidget> focusBeforePatch_;
    // Why choosing an input failed inside its change handler, which must not throw.
    std::optional<std::string> inputFailure_;
    DialogPrompts dialogPrompts_;
    FormPrompts* prompts_ = nullptr;
    Artwork background_;
    bool dropHovering_ = false;  // a file that a drop would take is over the window

    QWidget* picBack = nullptr;
    QLabel* lblROMIn = nullptr;
    QLabel* lblROMIn2 = nullptr;
    QLabel* lblROMOut = nullptr;
    QLabel* lblROMOut2 = nullptr;
    QLabel* Label1 = nullptr;
    QLabel* Label5 = nullptr;
    QLabel* Label3 = nullptr;
    QLabel* Label4 = nullptr;
    QPushButton* cmdROMIn = nullptr;
    QPushButton* cmdROMOut = nullptr;
    QWidget* Line1 = nullptr;
    QWidget* Line2 = nullptr;
    QLabel* lblStatus = nullptr;
    QLabel* lblStatus2 = nullptr;
    QPushButton* cmdPatch = nullptr;
    QPushButton* cmdTracks = nullptr;
    QPointer<TrackView> tracks_;
    QLineEdit* txtROMIn = nullptr;
    QLineEdit* txtROMOut = nullptr;
    QLabel* lblWidth = nullptr;
    QWidget* Picture1 = nullptr;
};
