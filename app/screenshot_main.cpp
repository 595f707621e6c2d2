// Renders the window offscreen as a user sees it: once with a generated sample image chosen
// with the input browse button, once with a file the window refuses; or the track view of the
// built-in pack.
//
//   tflux-krn-screenshot [Qt's options] ACCEPTED.png REFUSED.png
//   tflux-krn-screenshot [Qt's options] --tracks TRACKS.png

#include <CLI/CLI.hpp>
#include <QApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QPushButton>
#include <QStyleFactory>
#include <algorithm>
#include <cstdio>
#include <exception>
#include <string>
#include <utility>

#include "app/Form1.h"
#include "app/TrackView.h"
#include "app/qt_options.h"
#include "payload/builtin_payload.h"
#include "rom/exit_status.h"
#include "romtables/sample_image.h"

namespace {

// Answers the file dialog with a fixed path; a message box would be a fault here.
class ScriptedPrompts : public FormPrompts {
  public:
    explicit ScriptedPrompts(QString answer) : answer_(std::move(answer)) {}
    QString AskForFile(QWidget*, const QString&, const QString&) override { return answer_; }
    QString AskForOutput(QWidget*, const QString&, const QString&, const QString&,
                         const QString&) override {
        return answer_;
    }
    void ShowMessage(QWidget*, QMessageBox::Icon, const QString&, const QString& text,
                     const QString&) override {
        std::fprintf(stderr, "unexpected message: %s\n", qPrintable(text));
    }
    bool AskToReplace(QWidget*, const QString&, const QString& text) override {
        std::fprintf(stderr, "unexpected question: %s\n", qPrintable(text));
        return false;
    }
    bool AskToUsePack(QWidget*, const QString&, const QString& text) override {
        std::fprintf(stderr, "unexpected question: %s\n", qPrintable(text));
        return false;
    }

  private:
    QString answer_;
};

// The window as it is once the events before now are handled, to `target`.
bool Save(QWidget& window, const QString& target) {
    QApplication::processEvents();
    if (!window.grab().save(target, "PNG")) {
        std::fprintf(stderr, "cannot write %s\n", qPrintable(target));
        return false;
    }
    std::printf("%s\n", qPrintable(target));
    return true;
}

bool Shoot(const QString& chosen, const QString& target) {
    Form1 form;
    ScriptedPrompts prompts(chosen);
    form.SetPrompts(&prompts);
    form.show();
    form.findChild<QPushButton*>(QStringLiteral("cmdROMIn"))->click();
    return Save(form, target);
}

bool ShootTracks(const QString& target) {
    TrackView view;
    view.show();
    try {
        view.ShowPack(tflux::BuiltInPayload(), QStringLiteral("the built-in pack"));
    } catch (const std::exception& error) {
        std::fprintf(stderr, "%s\n", error.what());
        return false;
    }
    return Save(view, target);
}

}  // namespace

int main(int argc, char* argv[]) {
    CLI::App cli{
        "Renders the window offscreen: once with a generated sample image chosen, once "
        "with a file the window refuses; or the track view of the built-in pack.",
        "tflux-krn-screenshot"};
    cli.footer("Qt's own options (-platform NAME, -reverse, ...) are passed on to Qt.");
    std::string acceptedShot;
    std::string refusedShot;
    std::string tracksShot;
    CLI::Option* acceptedOption =
        cli.add_option("ACCEPTED", acceptedShot, "PNG file for the shot with the sample image");
    CLI::Option* refusedOption =
        cli.add_option("REFUSED", refusedShot, "PNG file for the shot with the refused file");
    CLI::Option* tracksOption =
        cli.add_option("--tracks", tracksShot, "PNG file for the track view of the built-in pack")
            ->excludes(acceptedOption)
            ->excludes(refusedOption);
    acceptedOption->needs(refusedOption);
    refusedOption->needs(acceptedOption);
    if (const std::optional<int> status = ParseBesideQt(cli, argc, argv)) {
        return *status;
    }
    if (tracksOption->count() == 0 && acceptedOption->count() == 0) {
        std::fprintf(stderr,
                     "tflux-krn-screenshot: give ACCEPTED and REFUSED, or --tracks FILE\n"
                     "Run with --help for more information.\n");
        return 2;
    }
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    if (QStyle* style = QStyleFactory::create(QStringLiteral("Fusion"))) {
        QApplication::setStyle(style);
    }
    if (tracksOption->count() != 0) {
        return ShootTracks(QString::fromStdString(tracksShot)) ? 0 : 1;
    }
    // The images live beside the pictures for the time of the shots, so the paths shown
    // are the same on every run.
    const QString target = QString::fromStdString(acceptedShot);
    QDir roms = QFileInfo(target).absoluteDir();
    if (!roms.mkpath(QStringLiteral("sample-roms")) || !roms.cd(QStringLiteral("sample-roms"))) {
        std::fprintf(stderr, "cannot make a folder beside %s\n", acceptedShot.c_str());
        return 1;
    }
    const QString accepted = roms.filePath(QStringLiteral("T-Flux X (USA).v64"));
    const QString refused = roms.filePath(QStringLiteral("Another Game (USA).z64"));
    try {
        tflux::WriteSampleImage(accepted.toStdString(), {.region = 'E', .v64 = true, .seed = 1});
    } catch (const std::exception& error) {
        std::fprintf(stderr, "%s\n", error.what());
        return 1;
    }
    QFile other(refused);
    if (!other.open(QIODevice::WriteOnly) || !other.resize(8 << 20)) {
        std::fprintf(stderr, "cannot write %s\n", qPrintable(refused));
        return 1;
    }
    other.close();
    const bool ok = Shoot(accepted, target) && Shoot(refused, QString::fromStdString(refusedShot));
    roms.removeRecursively();
    return ok ? 0 : 1;
}
