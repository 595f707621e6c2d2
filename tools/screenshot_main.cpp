// Renders the window offscreen as a user sees it: once with a generated sample image chosen
// with the input browse button, once with a file the window refuses.
//
//   tflux-krn-screenshot ACCEPTED.png REFUSED.png

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QPushButton>
#include <QStyleFactory>
#include <cstdio>
#include <exception>
#include <utility>

#include "app/Form1.h"
#include "tools/sample_image.h"

namespace {

// Answers the file dialog with a fixed path; a message box would be a fault here.
class ScriptedPrompts : public FormPrompts {
  public:
    explicit ScriptedPrompts(QString answer) : answer_(std::move(answer)) {}
    QString AskForFile(QWidget*, const QString&, const QString&) override { return answer_; }
    void ShowMessage(QWidget*, QMessageBox::Icon, const QString&, const QString& text,
                     const QString&) override {
        std::fprintf(stderr, "unexpected message: %s\n", qPrintable(text));
    }
    bool AskToReplace(QWidget*, const QString&, const QString& text) override {
        std::fprintf(stderr, "unexpected question: %s\n", qPrintable(text));
        return false;
    }

  private:
    QString answer_;
};

bool Shoot(const QString& chosen, const QString& target) {
    Form1 form;
    ScriptedPrompts prompts(chosen);
    form.SetPrompts(&prompts);
    form.show();
    form.findChild<QPushButton*>(QStringLiteral("cmdROMIn"))->click();
    QApplication::processEvents();
    if (!form.grab().save(target, "PNG")) {
        std::fprintf(stderr, "cannot write %s\n", qPrintable(target));
        return false;
    }
    std::printf("%s\n", qPrintable(target));
    return true;
}

}  // namespace

int main(int argc, char* argv[]) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: %s ACCEPTED.png REFUSED.png\n", argv[0]);
        return 2;
    }
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    if (QStyle* style = QStyleFactory::create(QStringLiteral("Fusion"))) {
        QApplication::setStyle(style);
    }
    // The images live beside the pictures for the time of the shots, so the paths shown
    // are the same on every run.
    const QString target = QString::fromLocal8Bit(argv[1]);
    QDir roms = QFileInfo(target).absoluteDir();
    if (!roms.mkpath(QStringLiteral("sample-roms")) || !roms.cd(QStringLiteral("sample-roms"))) {
        std::fprintf(stderr, "cannot make a folder beside %s\n", argv[1]);
        return 1;
    }
    const QString accepted = roms.filePath(QStringLiteral("T-Flux X (USA).v64"));
    const QString refused = roms.filePath(QStringLiteral("Another Game (USA).z64"));
    try {
        tflux::WriteSampleImage(QFile::encodeName(accepted).toStdString(),
                                {.region = 'E', .v64 = true, .seed = 1});
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
    const bool ok = Shoot(accepted, target) && Shoot(refused, QString::fromLocal8Bit(argv[2]));
    roms.removeRecursively();
    return ok ? 0 : 1;
}
