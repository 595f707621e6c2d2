// The real window under the offscreen platform. Dialogs and message boxes are answered by a
// recording stand-in, so nothing here waits on a modal loop.

#include <sys/mount.h>
#include <sys/stat.h>

#include <QAccessible>
#include <QApplication>
#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QFontMetrics>
#include <QLabel>
#include <QLineEdit>
#include <QMimeData>
#include <QPushButton>
#include <QSignalSpy>
#include <QTextDocumentFragment>
#include <QTimer>
#include <QToolTip>
#include <QUrl>
#include <QtTest>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <functional>
#include <future>
#include <map>
#include <new>
#include <set>
#include <stdexcept>
#include <string>

#include "app/Form1.h"
#include "dialog/modCommonDialog.h"
#include "pack/load_payload.h"
#include "pack/pack_source.h"
#include "rom/digest.h"
#include "rom/errors.h"
#include "rom/file.h"
#include "rom/identify.h"
#include "romtables/sample_image.h"
#include "support/test_util.h"

namespace {

const QString kCaption = QStringLiteral("Orvane's T-Flux KRN Track Pack");
const QString kFilter = QStringLiteral("N64 ROMs (*.*64)|*.*64");
using form1::kAcceptedColour;
using form1::kIdleColour;
using form1::kRefusedColour;
using form1::kShadowColour;

struct Asked {
    QString title;
    QString filter;
    QString folder;  // the save dialog's
    QString name;
};

struct Shown {
    QMessageBox::Icon icon;
    QString title;
    QString text;
    QString detail;
};

// Answers file dialogs from a queue ("" is a cancel) and records every question and message.
class RecordingPrompts : public FormPrompts {
  public:
    QStringList answers;
    QList<Asked> asked;
    QList<Shown> shown;
    QList<bool> replies;  // to questions; none left is a no
    QStringList questions;
    // Yes to every question to replace a file, for tests about something else.
    bool replaceAll = false;

    QString AskForFile(QWidget*, const QString& title, const QString& filter) override {
        asked.append({title, filter, QString(), QString()});
        return answers.isEmpty() ? QString() : answers.takeFirst();
    }
    QString AskForOutput(QWidget*, const QString& title, const QString& filter,
                         const QString& folder, const QString& name) override {
        asked.append({title, filter, folder, name});
        return answers.isEmpty() ? QString() : answers.takeFirst();
    }
    bool AskToUsePack(QWidget*, const QString&, const QString&) override { return false; }
    void ShowMessage(QWidget*, QMessageBox::Icon icon, const QString& title, const QString& text,
                     const QString& detail) override {
        shown.append({icon, title, text, detail});
    }
    bool AskToReplace(QWidget*, const QString& title, const QString& text) override {
        questions.append(title + QLatin1Char('|') + text);
        if (replaceAll) {
            return true;
        }
        return !replies.isEmpty() && replies.takeFirst();
    }
};

// What this process has open, by path.
std::multiset<std::string> OpenFiles() {
    std::multiset<std::string> open;
    for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
        std::error_code ec;
        open.insert(std::filesystem::read_symlink(entry.path(), ec).string());
    }
    return open;
}

std::string Local(const QString& path) {
    return QFile::encodeName(path).toStdString();
}

QString FromLocal(const std::filesystem::path& path) {
    return QFile::decodeName(QByteArray::fromStdString(path.string()));
}

// A text exactly `target` pixels wide in `font`, made of path characters.
QString TextOfWidth(const QFont& font, int target) {
    const QFontMetrics metrics(font);
    QString base = QStringLiteral("/roms/");
    while (metrics.horizontalAdvance(base + QStringLiteral("a")) <= target - 16) {
        base += QLatin1Char('a');
    }
    const QString alphabet = QStringLiteral("ilj.-_aemwW0");
    QStringList frontier{base};
    for (int depth = 0; depth < 5; ++depth) {
        QStringList next;
        for (const QString& text : frontier) {
            for (const QChar c : alphabet) {
                const QString candidate = text + c;
                const int width = metrics.horizontalAdvance(candidate);
                if (width == target) {
                    return candidate;
                }
                if (width < target) {
                    next << candidate;
                }
            }
        }
        frontier = next;
    }
    return QString();
}

}  // namespace

class TestForm1 : public QObject {
    Q_OBJECT

  private:
    std::unique_ptr<Form1> form_;
    RecordingPrompts prompts_;
    std::unique_ptr<tflux::test::ScratchDir> dir_;

    template <typename T = QWidget>
    T* Child(const char* name) {
        T* child = form_->findChild<T*>(QLatin1String(name));
        if (child == nullptr) {
            qFatal("no control %s", name);
        }
        return child;
    }
    QString Dir() const { return FromLocal(dir_->path()); }
    QString Path(const QString& name) const { return FromLocal(*dir_ / Local(name)); }
    QString Sample(const QString& name, char region, bool v64) {
        tflux::WriteSampleImage(Local(Path(name)), {.region = region, .v64 = v64, .seed = 7});
        return Path(name);
    }
    QString FileOfSize(const QString& name, qint64 size) {
        QFile file(Path(name));
        if (!file.open(QIODevice::WriteOnly) || !file.resize(size)) {
            qFatal("cannot make %s", qPrintable(name));
        }
        return Path(name);
    }
    // Picks `path` with the input browse button.
    void PickInput(const QString& path) {
        prompts_.answers << path;
        Child<QPushButton>("cmdROMIn")->click();
    }
    void PickOutput(const QString& path) {
        prompts_.answers << path;
        Child<QPushButton>("cmdROMOut")->click();
    }
    QString Status() { return Child<QLabel>("lblStatus")->text(); }
    QColor StatusColour() {
        return Child<QLabel>("lblStatus")->palette().color(QPalette::WindowText);
    }
    QString Input() { return Child<QLineEdit>("txtROMIn")->text(); }

    // Runs `during` on the UI thread while the patch is at its first write, the patch waiting
    // for it: it only runs when the patch leaves the UI thread free.
    struct Midway {
        tflux::test::FaultHook hook;
        std::atomic<bool> posted{false};
        std::atomic<bool> ran{false};
    };
    std::unique_ptr<Midway> RunMidway(std::function<void()> during) {
        auto midway = std::make_unique<Midway>();
        Midway* m = midway.get();
        m->hook.OnEveryOp([this, m, during](tflux::IoOp op, const std::filesystem::path&) {
            if (op != tflux::IoOp::Write || m->posted.exchange(true)) {
                return;
            }
            auto done = std::make_shared<std::promise<void>>();
            std::future<void> finished = done->get_future();
            QMetaObject::invokeMethod(
                form_.get(),
                [during, done] {
                    during();
                    done->set_value();
                },
                Qt::QueuedConnection);
            m->ran = finished.wait_for(std::chrono::seconds(20)) == std::future_status::ready;
        });
        form_->SetIoHook(&m->hook);
        return midway;
    }
    QString Output() { return Child<QLineEdit>("txtROMOut")->text(); }

  private slots:
    void init() {
        dir_ = std::make_unique<tflux::test::ScratchDir>();
        prompts_ = RecordingPrompts();
        form_ = std::make_unique<Form1>();
        form_->SetPrompts(&prompts_);
    }
    void cleanup() {
        form_.reset();
        dir_.reset();
    }

    // ---- the window as it opens ----

    void windowHasCaptionSizeAndIcon() {
        QCOMPARE(form_->windowTitle(), kCaption);
        QCOMPARE(form_->size(), form1::kClientSize);
        QCOMPARE(form_->minimumSize(), form_->maximumSize());
        for (const int size : {16, 32, 48}) {
            QVERIFY(form_->windowIcon().availableSizes().contains(QSize(size, size)));
        }
        QCOMPARE(Status(), QStringLiteral("No input ROM selected."));
        QCOMPARE(StatusColour(), kIdleColour);
        QCOMPARE(Child<QLabel>("lblStatus2")->text(), Status());
        QCOMPARE(Input(), QString());
        QCOMPARE(Child<QLabel>("lblROMIn")->text(), QStringLiteral("     "));
    }

    void controlsSitWhereTheWindowPlacesThem_data() {
        QTest::addColumn<QString>("parent");
        QTest::addColumn<QRect>("geometry");
        QTest::addColumn<QColor>("colour");
        const QColor none;
        const QPoint shadow = form1::kShadowOffset;
        const QSize own(-1, -1);
        QTest::newRow("picBack") << "Form1" << form1::kPicBack << none;
        QTest::newRow("Label1") << "Form1" << form1::kLabel1 << form1::kCaptionColour;
        QTest::newRow("Label5") << "Form1" << form1::kLabel1.translated(shadow) << kShadowColour;
        QTest::newRow("Label3") << "Form1" << form1::kLabel3 << form1::kCaptionColour;
        QTest::newRow("Label4") << "Form1" << form1::kLabel3.translated(shadow) << kShadowColour;
        QTest::newRow("cmdROMIn") << "Form1" << form1::kCmdROMIn << none;
        QTest::newRow("cmdROMOut") << "Form1" << form1::kCmdROMOut << none;
        QTest::newRow("Line1") << "Form1" << form1::kLine1 << none;
        QTest::newRow("Line2") << "Form1" << form1::kLine1.translated(shadow) << none;
        QTest::newRow("lblStatus") << "Form1" << form1::kLblStatus << kIdleColour;
        QTest::newRow("lblStatus2")
            << "Form1" << form1::kLblStatus.translated(shadow) << kShadowColour;
        QTest::newRow("cmdPatch") << "Form1" << form1::kCmdPatch << none;
        QTest::newRow("txtROMIn") << "Form1" << form1::kTxtROMIn << none;
        QTest::newRow("txtROMOut") << "Form1" << form1::kTxtROMOut << none;
        QTest::newRow("Picture1") << "Form1" << form1::kPicture1 << none;
        // Labels that size themselves: only the corner is fixed.
        QTest::newRow("lblROMIn") << "picBack" << QRect(form1::kLblROMIn, own)
                                  << form1::kPathColour;
        QTest::newRow("lblROMIn2")
            << "picBack" << QRect(form1::kLblROMIn + shadow, own) << kShadowColour;
        QTest::newRow("lblROMOut")
            << "picBack" << QRect(form1::kLblROMOut, own) << form1::kPathColour;
        QTest::newRow("lblROMOut2")
            << "picBack" << QRect(form1::kLblROMOut + shadow, own) << kShadowColour;
        QTest::newRow("lblWidth") << "Form1" << QRect(form1::kLblWidth, own) << form1::kPathColour;
    }
    void controlsSitWhereTheWindowPlacesThem() {
        QFETCH(QString, parent);
        QFETCH(QRect, geometry);
        QFETCH(QColor, colour);
        QWidget* control = Child(QTest::currentDataTag());
        QCOMPARE(control->parentWidget()->objectName(), parent);
        if (geometry.width() < 0) {
            QCOMPARE(control->pos(), geometry.topLeft());
            QCOMPARE(control->height(), QFontMetrics(control->font()).height());
        } else {
            QCOMPARE(control->geometry(), geometry);
        }
        if (colour.isValid()) {
            QCOMPARE(control->palette().color(QPalette::WindowText), colour);
            QVERIFY(!control->autoFillBackground());  // transparent over the pictures
        }
    }

    void shadowsLieBeneathTheirLabels() {
        const std::pair<const char*, const char*> pairs[] = {
            {"lblROMIn", "lblROMIn2"}, {"lblROMOut", "lblROMOut2"}, {"Label1", "Label5"},
            {"Label3", "Label4"},      {"lblStatus", "lblStatus2"}, {"Line1", "Line2"}};
        for (const auto& [top, shadow] : pairs) {
            QWidget* label = Child(top);
            QWidget* under = Child(shadow);
            const QObjectList& siblings = label->parentWidget()->children();
            QVERIFY2(siblings.indexOf(under) < siblings.indexOf(label), top);
            QCOMPARE(under->pos(), label->pos() + form1::kShadowOffset);
        }
    }

    void hiddenControlsLieBelowTheClientArea() {
        for (const char* name : {"txtROMIn", "txtROMOut", "lblWidth", "Picture1"}) {
            QVERIFY2(Child(name)->y() >= form_->height(), name);
        }
        QCOMPARE(form_->findChildren<QLineEdit*>().size(), 2);
    }

    void patchHasTheFocusAndTabGoesToTheBrowseButtons() {
        form_->show();
        QApplication::setActiveWindow(form_.get());
        QVERIFY(QTest::qWaitForWindowActive(form_.get()));
        QCOMPARE(QApplication::focusWidget(), Child("cmdPatch"));
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
        QCOMPARE(QApplication::focusWidget(), Child("cmdROMIn"));
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
        QCOMPARE(QApplication::focusWidget(), Child("cmdROMOut"));
    }

    void controlsCarryDistinctAccessibleNames() {
        std::set<QString> names;
        for (const char* name : {"cmdROMIn", "cmdROMOut", "cmdPatch", "txtROMIn", "txtROMOut",
                                 "lblROMIn", "lblROMOut", "lblStatus"}) {
            const QString accessible = Child(name)->accessibleName();
            QVERIFY2(!accessible.isEmpty(), name);
            QVERIFY2(names.insert(accessible).second, name);
        }
    }

    // ---- keyboard, screen and screen reader ----

    void enterAndKeypadEnterPressTheFocusedButtonAsSpaceDoes() {
        form_->show();
        QApplication::setActiveWindow(form_.get());
        QVERIFY(QTest::qWaitForWindowActive(form_.get()));
        auto* in = Child<QPushButton>("cmdROMIn");
        auto* out = Child<QPushButton>("cmdROMOut");
        auto* patch = Child<QPushButton>("cmdPatch");

        in->setFocus(Qt::TabFocusReason);
        QTest::keyClick(in, Qt::Key_Return);
        QCOMPARE(prompts_.asked.size(), 1);
        QCOMPARE(prompts_.asked.last().title, QStringLiteral("Select input ROM file..."));
        out->setFocus(Qt::TabFocusReason);
        QTest::keyClick(out, Qt::Key_Enter, Qt::KeypadModifier);
        QCOMPARE(prompts_.asked.size(), 2);
        QCOMPARE(prompts_.asked.last().title, QStringLiteral("Select output ROM file..."));
        in->setFocus(Qt::TabFocusReason);
        QTest::keyClick(in, Qt::Key_Space);
        QCOMPARE(prompts_.asked.size(), 3);

        patch->setFocus(Qt::TabFocusReason);
        QTest::keyClick(patch, Qt::Key_Enter, Qt::KeypadModifier);
        QCOMPARE(prompts_.shown.size(), 1);
        QCOMPARE(prompts_.shown.first().text, QStringLiteral("Invalid input ROM file"));
        // A key held down presses once, not once per repeat.
        QKeyEvent repeat(QEvent::KeyPress, Qt::Key_Return, Qt::NoModifier, QString(), true);
        QApplication::sendEvent(patch, &repeat);
        QCOMPARE(prompts_.shown.size(), 1);
    }

    void theFocusIsVisibleFromTheStart() {
        form_->show();
        QApplication::setActiveWindow(form_.get());
        QVERIFY(QTest::qWaitForWindowActive(form_.get()));
        auto* patch = Child<QPushButton>("cmdPatch");
        QCOMPARE(QApplication::focusWidget(), patch);
        const QImage focused = patch->grab().toImage();
        Child("cmdROMIn")->setFocus(Qt::OtherFocusReason);
        QVERIFY(!patch->hasFocus());
        QVERIFY2(patch->grab().toImage() != focused,
                 "before any Tab, the focused button looks like the others");
    }

    void aCutPathShowsItselfWholeAsItsTooltip() {
        form_->show();
        QVERIFY(QTest::qWaitForWindowExposed(form_.get()));
        const QString path = QStringLiteral("/roms/<b>&amp;") + QString(182, QLatin1Char('d')) +
                             QStringLiteral(".z64");
        QCOMPARE(path.size(), 200);
        PickInput(path);
        auto* picBack = Child("picBack");
        for (const char* name : {"lblROMIn", "lblROMOut"}) {
            auto* label = Child<QLabel>(name);
            const QString whole = label == Child<QLabel>("lblROMIn") ? Input() : Output();
            QVERIFY2(label->width() > picBack->width(), name);
            // The label itself is under the mouse there, so its tooltip is the one shown.
            const QPoint inside(100, label->y() + 5);
            QCOMPARE(picBack->childAt(inside), label);
            const QPoint local = label->mapFrom(picBack, inside);
            QHelpEvent help(QEvent::ToolTip, local, label->mapToGlobal(local));
            QApplication::sendEvent(label, &help);
            QTRY_VERIFY(QToolTip::isVisible());
            // Shown as the text it is, markup and all.
            QCOMPARE(QTextDocumentFragment::fromHtml(QToolTip::text()).toPlainText(), whole);
            QToolTip::hideText();
        }
        PickInput(QStringLiteral("/roms/a.z64"));
        QCOMPARE(Child("lblROMIn")->toolTip(), QString());
        QCOMPARE(Child("lblROMOut")->toolTip(), QString());
    }

    // Run once as the screen is, and once more by ctest with QT_SCALE_FACTOR=2.
    void artworkIsDrawnFromRendersForTheScreensScale() {
        form_->show();
        QVERIFY(QTest::qWaitForWindowExposed(form_.get()));
        const qreal ratio = form_->devicePixelRatioF();
        if (qgetenv("QT_SCALE_FACTOR") == "2") {
            QCOMPARE(ratio, 2.0);
        }
        const int scale = qRound(ratio);
        QVERIFY2(scale == 1 || scale == 2, "renders exist at 1 and 2 only");
        const QImage drawn = form_->grab().toImage();
        QCOMPARE(drawn.size(), form_->size() * scale);
        const QString suffix = scale == 2 ? QStringLiteral("@2x") : QString();

        // Stretches of each picture that nothing is drawn over: the background between the
        // separator and the status line, the path picture between its two rows.
        struct Stretch {
            QString picture;
            QRect inWindow;
            QPoint pictureAt;
        };
        const QList<Stretch> stretches = {
            {QStringLiteral("background"), QRect(0, 59, 250, 12), QPoint(0, 0)},
            {QStringLiteral("paths"), QRect(form1::kPicBack.left(), 23, form1::kPicBack.width(), 8),
             form1::kPicBack.topLeft()},
        };
        for (const Stretch& stretch : stretches) {
            const QImage art(QStringLiteral(":/art/%1%2.png").arg(stretch.picture, suffix));
            const QImage plain(QStringLiteral(":/art/%1.png").arg(stretch.picture));
            QVERIFY2(!art.isNull(), qPrintable(stretch.picture));
            QCOMPARE(art.size(), plain.size() * scale);
            int blownUpMatches = 0;
            int pixels = 0;
            for (int y = stretch.inWindow.top() * scale; y <= stretch.inWindow.bottom() * scale;
                 ++y) {
                for (int x = stretch.inWindow.left() * scale; x <= stretch.inWindow.right() * scale;
                     ++x) {
                    const QPoint at(x - stretch.pictureAt.x() * scale,
                                    y - stretch.pictureAt.y() * scale);
                    QCOMPARE(
                        qRgb(qRed(drawn.pixel(x, y)), qGreen(drawn.pixel(x, y)),
                             qBlue(drawn.pixel(x, y))),
                        qRgb(qRed(art.pixel(at)), qGreen(art.pixel(at)), qBlue(art.pixel(at))));
                    blownUpMatches += art.pixel(at) == plain.pixel(at / scale) ? 1 : 0;
                    ++pixels;
                }
            }
            if (scale == 2) {
                // Otherwise a blown-up picture would pass for the sharp one.
                QVERIFY2(blownUpMatches < pixels, qPrintable(stretch.picture));
            }
        }
    }

    void theAccessibilityTreeHoldsEachVisibleThingOnce() {
        form_->show();
        QVERIFY(QTest::qWaitForWindowExposed(form_.get()));
        QAccessibleInterface* root = QAccessible::queryAccessibleInterface(form_.get());
        QVERIFY(root != nullptr);
        QStringList seen;
        QList<QAccessibleInterface*> pending{root};
        while (!pending.isEmpty()) {
            QAccessibleInterface* node = pending.takeFirst();
            for (int i = 0; i < node->childCount(); ++i) {
                QAccessibleInterface* child = node->child(i);
                QVERIFY(child != nullptr);
                QCOMPARE(node->indexOfChild(child), i);
                QCOMPARE(child->parent()->object(), node->object());
                QVERIFY2(!child->state().invisible, qPrintable(child->object()->objectName()));
                seen << child->object()->objectName();
                pending << child;
            }
        }
        seen.sort();
        const QStringList expected = {
            QStringLiteral("Label1"),    QStringLiteral("Label3"),   QStringLiteral("Line1"),
            QStringLiteral("cmdPatch"),  QStringLiteral("cmdROMIn"), QStringLiteral("cmdROMOut"),
            QStringLiteral("cmdTracks"), QStringLiteral("lblROMIn"), QStringLiteral("lblROMOut"),
            QStringLiteral("lblStatus"), QStringLiteral("picBack")};
        QCOMPARE(seen, expected);
        // What a screen reader says of a path and the status comes from the listed labels.
        PickInput(Path(QStringLiteral("absent.z64")));
        QAccessibleInterface* status = QAccessible::queryAccessibleInterface(Child("lblStatus"));
        QCOMPARE(status->text(QAccessible::Value), QStringLiteral("Invalid input file"));
        QVERIFY2(status->text(QAccessible::Description)
                     .startsWith(QStringLiteral("Invalid input ROM file\n")),
                 qPrintable(status->text(QAccessible::Description)));
    }

    // ---- the status line ----

    void missingOrUnreadableInputIsInvalid() {
        PickInput(Path(QStringLiteral("absent.z64")));
        QCOMPARE(Status(), QStringLiteral("Invalid input file"));
        QCOMPARE(StatusColour(), kRefusedColour);
        QCOMPARE(Child<QLabel>("lblStatus2")->text(), Status());
        QCOMPARE(Child<QLabel>("lblStatus2")->palette().color(QPalette::WindowText), kShadowColour);

        PickInput(Dir());  // a folder
        QCOMPARE(Status(), QStringLiteral("Invalid input file"));

        // A FIFO must not block the window while it waits for a writer.
        const QString fifo = Path(QStringLiteral("pipe.z64"));
        QCOMPARE(::mkfifo(Local(fifo).c_str(), 0600), 0);
        PickInput(fifo);
        QCOMPARE(Status(), QStringLiteral("Invalid input file"));
    }

    void refusedImagesShowTheReasonInRed() {
        PickInput(FileOfSize(QStringLiteral("small.z64"), 8 << 20));
        QCOMPARE(Status(), QStringLiteral("File Error: Not T-Flux X"));
        QCOMPARE(StatusColour(), kRefusedColour);

        PickInput(Sample(QStringLiteral("region.z64"), 'X', false));
        QCOMPARE(Status(), QStringLiteral("File Error: Bad ROM region code"));
        QCOMPARE(StatusColour(), kRefusedColour);
        QCOMPARE(Child<QLabel>("lblStatus2")->text(), Status());
    }

    void theStatusColoursTellItsStatesApart() {
        const QColor idle = StatusColour();
        const QString game = Sample(QStringLiteral("game.z64"), 'E', false);
        PickInput(game);
        const QColor accepted = StatusColour();
        PickInput(FileOfSize(QStringLiteral("small.z64"), 4096));
        const QColor refused = StatusColour();
        QCOMPARE(idle, kIdleColour);
        QCOMPARE(accepted, kAcceptedColour);
        QCOMPARE(refused, kRefusedColour);
        QVERIFY(accepted != refused);
        QVERIFY(idle != accepted && idle != refused);
        PickInput(game);
        QCOMPARE(StatusColour(), accepted);
    }

    // The window makes sure it can open the input before the engine identifies it; when it
    // cannot, the status says so and nothing more is done with the file.
    void anInputTheWindowCannotOpenIsNotIdentified() {
        const QString game = Sample(QStringLiteral("game.z64"), 'E', false);
        const std::string path = Local(game);
        // Each step alone, through the engine.
        tflux::test::FaultHook opening;
        QVERIFY(tflux::CanOpenForReading(path, &opening));
        QVERIFY(opening.Count() > 0);
        tflux::test::FaultHook identifying;
        tflux::RomState state;
        state.Io = &identifying;
        QVERIFY(tflux::CheckInput(state, path).accepted);

        tflux::test::FaultHook both;
        form_->SetIoHook(&both);
        PickInput(game);
        form_->SetIoHook(nullptr);
        QCOMPARE(Status(), QStringLiteral("File Version: North American (Z64)"));
        std::vector<tflux::test::SeenOp> expected = opening.Ops();
        expected.insert(expected.end(), identifying.Ops().begin(), identifying.Ops().end());
        QVERIFY2(both.Ops() == expected, "the window's own check does not come first");

        const QString other = Sample(QStringLiteral("other.v64"), 'J', true);
        tflux::test::FaultHook refuse;
        refuse.FailAt(1);
        form_->SetIoHook(&refuse);
        PickInput(other);
        form_->SetIoHook(nullptr);
        QCOMPARE(Status(), QStringLiteral("Invalid input file"));
        QCOMPARE(StatusColour(), kRefusedColour);
        QCOMPARE(Child<QLabel>("lblStatus2")->text(), Status());
        QCOMPARE(refuse.Failures(), 1);
        // The refused open was the only opening (a look at what the path names, to word the
        // cause, may follow): identification never ran.
        QVERIFY(refuse.Ops().front() == (tflux::test::SeenOp{tflux::IoOp::Open, Local(other)}));
        for (std::size_t i = 1; i < refuse.Ops().size(); ++i) {
            QVERIFY(refuse.Ops()[i] == (tflux::test::SeenOp{tflux::IoOp::Examine, Local(other)}));
        }
    }

    void acceptedImagesShowRegionAndByteOrder_data() {
        QTest::addColumn<char>("region");
        QTest::addColumn<bool>("v64");
        QTest::addColumn<QString>("expected");
        QTest::newRow("E z64") << 'E' << false << "File Version: North American (Z64)";
        QTest::newRow("E v64") << 'E' << true << "File Version: North American (V64)";
        QTest::newRow("J z64") << 'J' << false << "File Version: Japanese (Z64)";
        QTest::newRow("J v64") << 'J' << true << "File Version: Japanese (V64)";
        QTest::newRow("P z64") << 'P' << false << "File Version: PAL (Z64)";
        QTest::newRow("P v64") << 'P' << true << "File Version: PAL (V64)";
    }
    void acceptedImagesShowRegionAndByteOrder() {
        QFETCH(char, region);
        QFETCH(bool, v64);
        QFETCH(QString, expected);
        PickInput(Sample(QStringLiteral("game.rom"), region, v64));
        QCOMPARE(Status(), expected);
        QCOMPARE(StatusColour(), kAcceptedColour);
        QCOMPARE(Child<QLabel>("lblStatus2")->text(), expected);
        QCOMPARE(Child<QLabel>("lblStatus2")->palette().color(QPalette::WindowText), kShadowColour);
    }

    void everyInputEditReidentifies() {
        const QString good = Sample(QStringLiteral("game.z64"), 'P', false);
        PickInput(good);
        auto* input = Child<QLineEdit>("txtROMIn");
        input->setText(good + QLatin1Char('x'));
        QCOMPARE(Status(), QStringLiteral("Invalid input file"));
        input->setText(good);
        QCOMPARE(Status(), QStringLiteral("File Version: PAL (Z64)"));
        QCOMPARE(Child<QLabel>("lblROMIn")->text(), good);
        input->setText(QString());
        QCOMPARE(Status(), QStringLiteral("Invalid input file"));
    }

    void outputChangesNeverTouchTheStatus() {
        PickInput(Sample(QStringLiteral("game.v64"), 'J', true));
        const QString status = Status();
        PickOutput(Path(QStringLiteral("elsewhere/absent.z64")));
        QCOMPARE(Output(), Path(QStringLiteral("elsewhere/absent.z64")));
        QCOMPARE(Child<QLabel>("lblROMOut")->text(), Output());
        QCOMPARE(Status(), status);
        QCOMPARE(StatusColour(), kAcceptedColour);
        Child<QLineEdit>("txtROMOut")->setText(Path(QStringLiteral("game.v64")));
        QCOMPARE(Status(), status);

        // And the same with no input chosen yet: the first status stays.
        form_ = std::make_unique<Form1>();
        form_->SetPrompts(&prompts_);
        PickOutput(Path(QStringLiteral("out.z64")));
        QCOMPARE(Status(), QStringLiteral("No input ROM selected."));
        QCOMPARE(StatusColour(), kIdleColour);
    }

    // ---- paths ----

    void pathLabelsRightAlignOnlyPastThePictureWidth_data() {
        QTest::addColumn<QString>("button");
        QTest::addColumn<QString>("label");
        QTest::addColumn<int>("top");
        QTest::newRow("input") << "cmdROMIn"
                               << "lblROMIn" << form1::kLblROMIn.y();
        QTest::newRow("output") << "cmdROMOut"
                                << "lblROMOut" << form1::kLblROMOut.y();
    }
    void pathLabelsRightAlignOnlyPastThePictureWidth() {
        QFETCH(QString, button);
        QFETCH(QString, label);
        QFETCH(int, top);
        auto* coloured = form_->findChild<QLabel*>(label);
        auto* shadow = form_->findChild<QLabel*>(label + QLatin1Char('2'));
        QVERIFY(coloured != nullptr && shadow != nullptr);
        const QFont font = Child<QLabel>("lblWidth")->font();
        QCOMPARE(coloured->font(), font);

        const int picture = form1::kPicBack.width();
        const QString fits = TextOfWidth(font, picture);
        const QString wider = TextOfWidth(font, picture + 1);
        QVERIFY2(!fits.isEmpty() && !wider.isEmpty(), "no text of the width in this font");

        prompts_.answers << fits;
        form_->findChild<QPushButton*>(button)->click();
        QCOMPARE(coloured->text(), fits);
        QCOMPARE(coloured->width(), picture);
        QCOMPARE(coloured->pos(), QPoint(0, top));
        QCOMPARE(shadow->pos(), QPoint(0, top) + form1::kShadowOffset);

        prompts_.answers << wider;
        form_->findChild<QPushButton*>(button)->click();
        QCOMPARE(coloured->width(), picture + 1);
        QCOMPARE(coloured->geometry().right() + 1, picture - 1);  // one pixel inside picBack
        QCOMPARE(coloured->pos(), QPoint(-2, top));
        QCOMPARE(shadow->pos(), QPoint(-2, top) + form1::kShadowOffset);

        // Back to a short path: back to the left edge.
        prompts_.answers << QStringLiteral("/a.z64");
        form_->findChild<QPushButton*>(button)->click();
        QCOMPARE(coloured->pos(), QPoint(0, top));
        QCOMPARE(shadow->pos(), QPoint(0, top) + form1::kShadowOffset);
    }

    void outputIsDerivedFromTheFileNameOnly_data() {
        QTest::addColumn<QString>("input");
        QTest::addColumn<QString>("output");
        QTest::newRow("extension") << "/roms/Game.Z64"
                                   << "/roms/Game_krn.Z64";
        QTest::newRow("dotted folder") << "/my.roms/game.v64"
                                       << "/my.roms/game_krn.v64";
        QTest::newRow("no extension") << "/roms/game"
                                      << "/roms/game_krn";
        QTest::newRow("last dot") << "/roms/t.flux.n64"
                                  << "/roms/t.flux_krn.n64";
    }
    void outputIsDerivedFromTheFileNameOnly() {
        QFETCH(QString, input);
        QFETCH(QString, output);
        PickInput(input);
        QCOMPARE(Input(), input);  // never cleared, case kept
        QCOMPARE(Output(), output);
        QCOMPARE(Child<QLabel>("lblROMIn")->text(), input);
        QCOMPARE(Child<QLabel>("lblROMOut")->text(), output);
        QCOMPARE(Child<QLineEdit>("txtROMIn")->cursorPosition(), input.size());
        QCOMPARE(Child<QLineEdit>("txtROMOut")->cursorPosition(), output.size());
    }

    // A choice that fails on the way is given up, and the window says why, as for any refusal.
    void aChoiceThatFailsIsGivenUpWithItsCause_data() {
        QTest::addColumn<QString>("name");
        QTest::addColumn<bool>("outOfMemory");
        QTest::addColumn<QString>("what");
        QTest::newRow("out of memory") << "game.z64" << true << "std::bad_alloc";
        // Engine texts are UTF-8: read as anything else, this cause would not come out whole.
        QTest::newRow("non-ASCII cause") << "Straße.v64" << false << "name “Straße” too long";
    }
    void aChoiceThatFailsIsGivenUpWithItsCause() {
        QFETCH(QString, name);
        QFETCH(bool, outOfMemory);
        QFETCH(QString, what);
        PickInput(Sample(QStringLiteral("before.z64"), 'E', false));
        const QString output = Output();
        const QString chosen = Sample(name, 'P', true);
        tflux::test::FaultHook hook;
        hook.OnEveryOp([&](tflux::IoOp, const std::filesystem::path& at) {
            if (at != Local(chosen)) {
                return;
            }
            if (outOfMemory) {
                throw std::bad_alloc();
            }
            throw std::length_error(what.toStdString());
        });
        form_->SetIoHook(&hook);
        PickInput(chosen);
        form_->SetIoHook(nullptr);

        QCOMPARE(Input(), QString());
        QCOMPARE(Output(), output);
        QCOMPARE(Status(), QStringLiteral("Invalid input file"));
        QCOMPARE(StatusColour(), kRefusedColour);
        QCOMPARE(prompts_.shown.size(), 1);
        QCOMPARE(prompts_.shown.first().icon, QMessageBox::Critical);
        QCOMPARE(prompts_.shown.first().title, kCaption);
        QCOMPARE(prompts_.shown.first().text, QStringLiteral("Invalid input ROM file"));
        QCOMPARE(prompts_.shown.first().detail, chosen + QStringLiteral(": ") + what);
    }

    void cancelledDialogsChangeNothing() {
        PickInput(Sample(QStringLiteral("game.z64"), 'E', false));
        PickOutput(Path(QStringLiteral("chosen.z64")));
        const QString status = Status();
        const QColor colour = StatusColour();
        const QString in = Input();
        const QString out = Output();
        const QPoint inPos = Child("lblROMIn")->pos();

        QSignalSpy inChanges(Child<QLineEdit>("txtROMIn"), &QLineEdit::textChanged);
        QSignalSpy outChanges(Child<QLineEdit>("txtROMOut"), &QLineEdit::textChanged);
        Child<QPushButton>("cmdROMIn")->click();  // no answer queued: cancel
        Child<QPushButton>("cmdROMOut")->click();
        QCOMPARE(inChanges.size(), 0);
        QCOMPARE(outChanges.size(), 0);
        QCOMPARE(Input(), in);
        QCOMPARE(Output(), out);
        QCOMPARE(Child<QLabel>("lblROMIn")->text(), in);
        QCOMPARE(Child<QLabel>("lblROMOut")->text(), out);
        QCOMPARE(Child("lblROMIn")->pos(), inPos);
        QCOMPARE(Status(), status);
        QCOMPARE(StatusColour(), colour);

        QCOMPARE(prompts_.asked.size(), 4);
        QCOMPARE(prompts_.asked[2].title, QStringLiteral("Select input ROM file..."));
        QCOMPARE(prompts_.asked[3].title, QStringLiteral("Select output ROM file..."));
        QCOMPARE(prompts_.asked[2].filter, kFilter);
        QCOMPARE(prompts_.asked[3].filter, kFilter);
    }

    void droppingAFileChoosesItAsInput() {
        const QString game = Sample(QStringLiteral("dropped.v64"), 'P', true);
        QMimeData mime;
        mime.setUrls({QUrl::fromLocalFile(game)});
        QDragEnterEvent enter(QPoint(10, 10), Qt::CopyAction, &mime, Qt::LeftButton,
                              Qt::NoModifier);
        QApplication::sendEvent(form_.get(), &enter);
        QVERIFY(enter.isAccepted());
        QDropEvent drop(QPointF(10, 10), Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(form_.get(), &drop);
        QCOMPARE(Input(), game);
        QCOMPARE(Output(), Path(QStringLiteral("dropped_krn.v64")));
        QCOMPARE(Status(), QStringLiteral("File Version: PAL (V64)"));

        // Two files, or something that is not a local file, are not taken.
        QMimeData two;
        two.setUrls({QUrl::fromLocalFile(game), QUrl::fromLocalFile(game)});
        QMimeData remote;
        remote.setUrls({QUrl(QStringLiteral("https://example.invalid/game.z64"))});
        for (QMimeData* refused : {&two, &remote}) {
            QDragEnterEvent again(QPoint(10, 10), Qt::CopyAction, refused, Qt::LeftButton,
                                  Qt::NoModifier);
            again.setAccepted(false);
            QApplication::sendEvent(form_.get(), &again);
            QVERIFY(!again.isAccepted());
            QDropEvent ignored(QPointF(10, 10), Qt::CopyAction, refused, Qt::LeftButton,
                               Qt::NoModifier);
            QApplication::sendEvent(form_.get(), &ignored);
            QCOMPARE(Input(), game);
        }
        QVERIFY(prompts_.asked.isEmpty());
    }

    void aDragOverTheWindowShowsTheDropWillBeTaken() {
        form_->show();
        QVERIFY(QTest::qWaitForWindowExposed(form_.get()));
        const auto edge = [this] {
            const QImage image = form_->grab().toImage();
            const int scale = qRound(form_->devicePixelRatioF());
            return image.pixelColor(0, 60 * scale);
        };
        const QColor resting = edge();
        const QColor highlight = form1::kDropColour;
        QVERIFY(resting != highlight);

        QMimeData mime;
        mime.setUrls({QUrl::fromLocalFile(Sample(QStringLiteral("dragged.z64"), 'E', false))});
        QDragEnterEvent enter(QPoint(5, 60), Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(form_.get(), &enter);
        QVERIFY(enter.isAccepted());
        QCOMPARE(edge(), highlight);
        // Over the paths and the buttons too, the pointer keeps saying "drop here".
        for (const QPoint at : {QPoint(150, 20), QPoint(300, 70)}) {
            QDragMoveEvent move(at, Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
            move.setAccepted(false);
            QApplication::sendEvent(form_.get(), &move);
            QVERIFY(move.isAccepted());
            QCOMPARE(move.dropAction(), Qt::CopyAction);
        }
        QDragLeaveEvent leave;
        QApplication::sendEvent(form_.get(), &leave);
        QCOMPARE(edge(), resting);

        // Something the window would not take changes nothing.
        QMimeData text;
        text.setText(QStringLiteral("game.z64"));
        QDragEnterEvent refused(QPoint(5, 60), Qt::CopyAction, &text, Qt::LeftButton,
                                Qt::NoModifier);
        refused.setAccepted(false);
        QApplication::sendEvent(form_.get(), &refused);
        QVERIFY(!refused.isAccepted());
        QCOMPARE(edge(), resting);

        // A drop ends the highlight as a leave does.
        QApplication::sendEvent(form_.get(), &enter);
        QDropEvent drop(QPointF(5, 60), Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(form_.get(), &drop);
        QCOMPARE(edge(), resting);
        QCOMPARE(Status(), QStringLiteral("File Version: North American (Z64)"));
    }

    // ---- the Patch button ----

    void successfulPatchSaysSo() {
        PickInput(Sample(QStringLiteral("game.z64"), 'E', false));
        const QString status = Status();
        Child<QPushButton>("cmdPatch")->click();
        QCOMPARE(prompts_.shown.size(), 1);
        const Shown& message = prompts_.shown.first();
        QCOMPARE(message.icon, QMessageBox::Information);
        QCOMPARE(message.title, kCaption);
        QCOMPARE(message.text, QStringLiteral("Patch successful."));
        QFile output(Path(QStringLiteral("game_krn.z64")));
        QVERIFY(output.open(QIODevice::ReadOnly));
        QCOMPARE(output.size(), qint64(16) << 20);
        const QByteArray written = output.readAll();
        const tflux::ImageHashes hashes = tflux::HashBytes(
            std::span(reinterpret_cast<const std::uint8_t*>(written.data()), written.size()));
        QCOMPARE(message.detail,
                 Path(QStringLiteral("game_krn.z64")) +
                     QStringLiteral("\nCRC32 %1\nSHA-1 %2 (of the image in Z64 order)")
                         .arg(QString::fromStdString(hashes.crc32),
                              QString::fromStdString(hashes.sha1)));
        output.seek(0x20);
        QCOMPARE(output.read(20), QByteArray("T-FLUX KRN          "));
        QCOMPARE(Status(), status);  // a patch does not refresh the status line
    }

    void refusedPatchShowsTheRefusal_data() {
        QTest::addColumn<QString>("case_");
        QTest::addColumn<QString>("expected");
        QTest::addColumn<QString>("cause");  // the end of the detail text
        QTest::newRow("missing input") << "missing"
                                       << "Invalid input ROM file"
                                       << "absent.z64: No such file or directory";
        // The cause names the path as the engine has it, in UTF-8.
        QTest::newRow("missing input, non-ASCII name")
            << "accented"
            << "Invalid input ROM file"
            << "Ünïcødé – absent.z64: No such file or directory";
        QTest::newRow("output folder missing") << "badout"
                                               << "Invalid output file"
                                               << "no/dir: No such file or directory";
        QTest::newRow("output is input") << "same"
                                         << "The output file must not be the input ROM file."
                                         << "game.z64 are one file";
        QTest::newRow("not the game") << "small"
                                      << "Not T-Flux X"
                                      << "small.z64 is 4,096 bytes, not 16,777,216";
        QTest::newRow("bad region") << "region"
                                    << "Bad ROM region code"
                                    << "region letter is 'Q'";
    }
    void refusedPatchShowsTheRefusal() {
        QFETCH(QString, case_);
        QFETCH(QString, expected);
        QFETCH(QString, cause);
        if (case_ == QLatin1String("missing")) {
            PickInput(Path(QStringLiteral("absent.z64")));
        } else if (case_ == QLatin1String("accented")) {
            PickInput(Path(QStringLiteral("Ünïcødé – absent.z64")));
        } else if (case_ == QLatin1String("small")) {
            PickInput(FileOfSize(QStringLiteral("small.z64"), 4096));
        } else if (case_ == QLatin1String("region")) {
            PickInput(Sample(QStringLiteral("region.z64"), 'Q', false));
        } else {
            PickInput(Sample(QStringLiteral("game.z64"), 'J', false));
            PickOutput(case_ == QLatin1String("same") ? Input()
                                                      : Path(QStringLiteral("no/dir/out.z64")));
        }
        QByteArray before;
        if (QFile in(Input()); in.open(QIODevice::ReadOnly)) {
            before = in.readAll();
        }

        Child<QPushButton>("cmdPatch")->click();
        QCOMPARE(prompts_.shown.size(), 1);
        QCOMPARE(prompts_.shown.first().icon, QMessageBox::Critical);
        QCOMPARE(prompts_.shown.first().title, kCaption);
        QCOMPARE(prompts_.shown.first().text, expected);
        QVERIFY2(prompts_.shown.first().detail.endsWith(cause),
                 qPrintable(prompts_.shown.first().detail));
        if (!before.isEmpty()) {
            QFile in(Input());
            QVERIFY(in.open(QIODevice::ReadOnly));
            QVERIFY(in.readAll() == before);
        }
        if (case_ != QLatin1String("same")) {
            QVERIFY(!QFile::exists(Output()));
        }
    }

    void failedPatchShowsTheUnknownErrorWithItsCause() {
        prompts_.replaceAll = true;
        tflux::test::FaultHook hook;
        hook.FailOps({tflux::IoOp::Write}).FailUnder(dir_->path());
        form_->SetIoHook(&hook);
        PickInput(Sample(QStringLiteral("game.v64"), 'P', true));
        const QString out = Path(QStringLiteral("kept.v64"));
        {
            QFile existing(out);
            QVERIFY(existing.open(QIODevice::WriteOnly));
            existing.write("previous contents");
        }
        PickOutput(out);
        Child<QPushButton>("cmdPatch")->click();
        form_->SetIoHook(nullptr);

        QCOMPARE(prompts_.shown.size(), 1);
        const Shown& message = prompts_.shown.first();
        QCOMPARE(message.icon, QMessageBox::Critical);
        QCOMPARE(message.title, kCaption);
        QCOMPARE(message.text,
                 QStringLiteral("An unknown error occured.\nRebooting may solve the problem."));
        QVERIFY2(message.detail.contains(Dir()), qPrintable(message.detail));
        QVERIFY2(message.detail.contains(QStringLiteral("No space left on device")),
                 qPrintable(message.detail));
        QFile kept(out);
        QVERIFY(kept.open(QIODevice::ReadOnly));
        QCOMPARE(kept.readAll(), QByteArray("previous contents"));
    }
    void anUnpatchedImageAtTheOutputIsReplacedOnlyWhenTheUserSaysSo() {
        PickInput(Sample(QStringLiteral("game.z64"), 'E', false));
        const QString dump = Sample(QStringLiteral("dump.v64"), 'J', true);
        const auto contents = [](const QString& path) {
            QFile file(path);
            return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
        };
        const QByteArray dumpBytes = contents(dump);
        PickOutput(dump);

        prompts_.replies << false;
        Child<QPushButton>("cmdPatch")->click();
        QCOMPARE(prompts_.questions.size(), 1);
        QVERIFY2(prompts_.questions.first().startsWith(kCaption + QLatin1Char('|') + dump +
                                                       QStringLiteral(" is an unpatched image")),
                 qPrintable(prompts_.questions.first()));
        QVERIFY(prompts_.shown.isEmpty());  // no is an answer, not a refusal to report
        QVERIFY(contents(dump) == dumpBytes);

        prompts_.replies << true;
        Child<QPushButton>("cmdPatch")->click();
        QCOMPARE(prompts_.questions.size(), 2);
        QCOMPARE(prompts_.shown.size(), 1);
        QCOMPARE(prompts_.shown.last().text, QStringLiteral("Patch successful."));
        QVERIFY(prompts_.shown.last().detail.startsWith(dump + QStringLiteral("\nCRC32 ")));
        QCOMPARE(contents(dump).mid(0x20, 20), QByteArray("T-FLUX KRN          "));

        // A patched image is replaced without a question, as before.
        Child<QPushButton>("cmdPatch")->click();
        QCOMPARE(prompts_.questions.size(), 2);
        QCOMPARE(prompts_.shown.last().text, QStringLiteral("Patch successful."));
        QCOMPARE(contents(dump).size(), qint64(16) << 20);
    }

    // ---- the window after a failed patch ----

    void afterAFailureAnywhereTheNextPatchSucceeds() {
        const tflux::test::TempDirOverride tmp(*dir_ / "tmp");
        const std::filesystem::path privateDir =
            Local(Path(QStringLiteral("tmp/tflux-krn-%1").arg(::getuid())));
        const std::filesystem::path input = Local(Sample(QStringLiteral("game.v64"), 'J', true));
        PickInput(QFile::decodeName(input.c_str()));
        const QString out = Path(QStringLiteral("kept.v64"));
        PickOutput(out);

        // A clean run through the window, recorded, gives the operations to fail: the first and
        // the last of each kind on each file the patch touches.
        tflux::test::FaultHook recorder;
        form_->SetIoHook(&recorder);
        Child<QPushButton>("cmdPatch")->click();
        form_->SetIoHook(nullptr);
        QCOMPARE(prompts_.shown.last().text, QStringLiteral("Patch successful."));
        std::map<std::string, std::pair<int, int>> kinds;
        for (std::size_t i = 0; i < recorder.Ops().size(); ++i) {
            const auto& [op, path] = recorder.Ops()[i];
            std::string role = path == input ? "input" : path.filename().string();
            if (tflux::test::IsPendingName(role)) {
                role = "pending";
            } else if (path.parent_path() == privateDir && role.ends_with(".dat") &&
                       role != "Quintara.dat") {
                role = "record";
            }
            const int number = static_cast<int>(i) + 1;
            const auto [it, added] =
                kinds.try_emplace(std::string(tflux::IoOpName(op)) + " " + role, number, number);
            it->second.second = number;
        }
        std::set<int> picks;
        for (const auto& [kind, range] : kinds) {
            picks.insert(range.first);
            picks.insert(range.second);
        }
        QVERIFY(kinds.contains("read record") && kinds.contains("rename kept.v64"));

        const QByteArray old("previous contents");
        prompts_.replaceAll = true;
        int failures = 0;
        for (const int n : picks) {
            {
                QFile existing(out);
                QVERIFY(existing.open(QIODevice::WriteOnly | QIODevice::Truncate));
                existing.write(old);
            }
            prompts_.shown.clear();
            const std::multiset<std::string> openBefore = OpenFiles();
            tflux::test::FaultHook fault;
            fault.FailAt(n);
            form_->SetIoHook(&fault);
            Child<QPushButton>("cmdPatch")->click();
            form_->SetIoHook(nullptr);
            const QString what = QString::fromStdString(fault.Cause());
            QCOMPARE(prompts_.shown.size(), 1);
            const Shown failed = prompts_.shown.first();
            if (failed.icon == QMessageBox::Critical) {
                ++failures;
                QCOMPARE(failed.title, kCaption);
                if (failed.text.startsWith(QStringLiteral("An unknown error occured."))) {
                    QCOMPARE(failed.text, QStringLiteral("An unknown error occured.\n"
                                                         "Rebooting may solve the problem."));
                    QVERIFY2(failed.detail.startsWith(what), qPrintable(failed.detail));
                }
                QFile kept(out);
                QVERIFY(kept.open(QIODevice::ReadOnly));
                QVERIFY2(kept.readAll() == old, qPrintable(what));
            } else {
                QVERIFY2(n > kinds.at("rename kept.v64").first, qPrintable(what));
            }
            for (const QString& name : QDir(Dir()).entryList(QDir::Hidden | QDir::Files)) {
                QVERIFY2(!tflux::test::IsPendingName(Local(name)), qPrintable(what));
            }
            // Nothing is left open, so the records left in the temporary folder can be read.
            QVERIFY2(OpenFiles() == openBefore, qPrintable(what));
            for (const auto& entry : std::filesystem::directory_iterator(privateDir)) {
                QFile record(QFile::decodeName(entry.path().c_str()));
                QVERIFY2(record.open(QIODevice::ReadOnly), qPrintable(record.fileName()));
            }

            // The fault gone, the same window patches again.
            Child<QPushButton>("cmdPatch")->click();
            QCOMPARE(prompts_.shown.size(), 2);
            QCOMPARE(prompts_.shown[1].icon, QMessageBox::Information);
            QCOMPARE(prompts_.shown[1].text, QStringLiteral("Patch successful."));
            QFile patched(out);
            QVERIFY(patched.open(QIODevice::ReadOnly));
            QCOMPARE(patched.size(), qint64(16) << 20);
        }
        QVERIFY(failures >= static_cast<int>(picks.size()) - 2);
        qInfo("%d of %d operations failed in turn through the window, each patch retried", failures,
              static_cast<int>(picks.size()));
    }

    void aFullDiskShowsItsCauseAndRoomMadeLetsThePatchThrough() {
        const QString small = Path(QStringLiteral("small"));
        QVERIFY(QDir().mkpath(small));
        if (::mount("tflux-test", Local(small).c_str(), "tmpfs", MS_NOSUID | MS_NODEV,
                    "size=20m") != 0) {
            QSKIP(qPrintable(QStringLiteral("cannot mount a small tmpfs: %1")
                                 .arg(QString::fromLocal8Bit(std::strerror(errno)))));
        }
        struct Unmount {
            std::string where;
            ~Unmount() { ::umount2(where.c_str(), MNT_DETACH); }
        } unmount{Local(small)};

        PickInput(Sample(QStringLiteral("game.z64"), 'P', false));
        const QString out = small + QStringLiteral("/game_krn.z64");
        const QByteArray old(6 << 20, 'o');  // leaves too little room for the image beside it
        prompts_.replaceAll = true;
        {
            QFile existing(out);
            QVERIFY(existing.open(QIODevice::WriteOnly));
            QCOMPARE(existing.write(old), qint64(old.size()));
        }
        PickOutput(out);
        Child<QPushButton>("cmdPatch")->click();
        QCOMPARE(prompts_.shown.size(), 1);
        QCOMPARE(prompts_.shown[0].icon, QMessageBox::Critical);
        QCOMPARE(prompts_.shown[0].text,
                 QStringLiteral("An unknown error occured.\nRebooting may solve the problem."));
        QVERIFY2(prompts_.shown[0].detail.contains(QStringLiteral("No space left on device")),
                 qPrintable(prompts_.shown[0].detail));
        QVERIFY2(prompts_.shown[0].detail.contains(small), qPrintable(prompts_.shown[0].detail));
        QCOMPARE(QDir(small).entryList(QDir::Files | QDir::Hidden),
                 QStringList{QStringLiteral("game_krn.z64")});
        {
            QFile kept(out);
            QVERIFY(kept.open(QIODevice::ReadOnly));
            QVERIFY(kept.readAll() == old);
        }
        QVERIFY(QFile::resize(out, 1 << 20));  // room made
        Child<QPushButton>("cmdPatch")->click();
        QCOMPARE(prompts_.shown.size(), 2);
        QCOMPARE(prompts_.shown[1].text, QStringLiteral("Patch successful."));
        QCOMPARE(QFileInfo(out).size(), qint64(16) << 20);
    }

    // ---- asking before replacing, busy, closing ----

    void aFileOfTheUsersIsReplacedOnlyAfterAQuestion_data() {
        QTest::addColumn<QByteArray>("existing");  // "" for an earlier output
        QTest::addColumn<bool>("reply");
        QTest::newRow("text file, no") << QByteArray("my notes\n") << false;
        QTest::newRow("text file, yes") << QByteArray("my notes\n") << true;
        QTest::newRow("16 MiB of zeros, no") << QByteArray(16 << 20, '\0') << false;
        QTest::newRow("earlier output") << QByteArray() << false;
    }
    void aFileOfTheUsersIsReplacedOnlyAfterAQuestion() {
        QFETCH(QByteArray, existing);
        QFETCH(bool, reply);
        PickInput(Sample(QStringLiteral("game.z64"), 'E', false));
        const QString out = Path(QStringLiteral("notes.z64"));
        PickOutput(out);
        if (existing.isEmpty()) {
            Child<QPushButton>("cmdPatch")->click();
            prompts_.shown.clear();
        } else {
            tflux::test::WriteBytes(Local(out), {existing.begin(), existing.end()});
        }
        const std::vector<std::uint8_t> before = tflux::test::ReadBytes(Local(out));
        prompts_.replies << reply;
        Child<QPushButton>("cmdPatch")->click();

        const bool asked = !existing.isEmpty();
        QCOMPARE(prompts_.questions,
                 asked ? QStringList{kCaption + QLatin1Char('|') + out +
                                     QStringLiteral(" already exists and is not a T-Flux KRN "
                                                    "image.\nReplace it with the patched image?")}
                       : QStringList());
        const std::vector<std::uint8_t> after = tflux::test::ReadBytes(Local(out));
        if (asked && !reply) {
            QVERIFY(prompts_.shown.isEmpty());  // no is an answer, not a refusal to report
            QVERIFY(after == before);
        } else {
            QCOMPARE(prompts_.shown.last().text, QStringLiteral("Patch successful."));
            QCOMPARE(QByteArray(reinterpret_cast<const char*>(after.data()) + 0x20, 10),
                     QByteArray("T-FLUX KRN"));
        }
    }

    void theStatusLineSaysWhyAsThePatchWould_data() {
        QTest::addColumn<int>("size");  // -1: no file
        QTest::newRow("missing") << -1;
        QTest::newRow("not the game") << 4096;
    }
    void theStatusLineSaysWhyAsThePatchWould() {
        QFETCH(int, size);
        PickInput(size < 0 ? Path(QStringLiteral("absent.z64"))
                           : FileOfSize(QStringLiteral("small.z64"), size));
        auto* status = Child<QLabel>("lblStatus");
        const QString tip = QTextDocumentFragment::fromHtml(status->toolTip()).toPlainText();
        Child<QPushButton>("cmdPatch")->click();
        const QString box =
            prompts_.shown.first().text + QLatin1Char('\n') + prompts_.shown.first().detail;
        QCOMPARE(tip, box);
        QCOMPARE(QAccessible::queryAccessibleInterface(status)->text(QAccessible::Description),
                 box);
        PickInput(Sample(QStringLiteral("game.z64"), 'P', false));
        QCOMPARE(status->toolTip(), QString());  // an accepted image has nothing to explain
    }

    void aPatchLeavesTheWindowPaintingButBusy() {
        form_->show();
        QVERIFY(QTest::qWaitForWindowExposed(form_.get()));
        PickInput(Sample(QStringLiteral("game.z64"), 'J', false));
        const QString input = Input();
        QStringList enabled;
        QString status;
        Qt::CursorShape cursor = Qt::ArrowCursor;
        bool painted = false;
        const auto midway = RunMidway([&] {
            for (auto* button : form_->findChildren<QPushButton*>()) {
                enabled << (button->isEnabled() ? button->objectName() : QString());
            }
            cursor = QGuiApplication::overrideCursor()->shape();
            status = Status();
            painted = !form_->grab().isNull();
            form_->ChooseInput(Path(QStringLiteral("other.z64")));  // refused meanwhile
            Child<QPushButton>("cmdPatch")->click();
        });
        Child<QPushButton>("cmdPatch")->click();
        form_->SetIoHook(nullptr);

        QVERIFY2(midway->ran, "the window's event loop stood still during the patch");
        QCOMPARE(enabled, QStringList({QString(), QString(), QString(), QString()}));
        QCOMPARE(cursor, Qt::WaitCursor);
        QCOMPARE(status, QStringLiteral("Patching game_krn.z64..."));
        QVERIFY(painted);
        QCOMPARE(prompts_.shown.size(), 1);  // the click meanwhile did nothing
        QCOMPARE(Input(), input);
        QCOMPARE(Status(), QStringLiteral("File Version: Japanese (Z64)"));
        QVERIFY(QGuiApplication::overrideCursor() == nullptr);
        QVERIFY(Child("cmdPatch")->isEnabled());
        QCOMPARE(QApplication::focusWidget(), Child("cmdPatch"));
    }

    void aCloseDuringAPatchWaitsForItThenCloses() {
        form_->show();
        QVERIFY(QTest::qWaitForWindowExposed(form_.get()));
        PickInput(Sample(QStringLiteral("game.v64"), 'E', true));
        bool closedMidway = true;
        bool openWhenDone = false;
        const auto midway = RunMidway([&] { closedMidway = form_->close(); });
        connect(form_.get(), &Form1::patchFinished, this,
                [&] { openWhenDone = form_->isVisible(); });
        Child<QPushButton>("cmdPatch")->click();
        form_->SetIoHook(nullptr);
        QVERIFY(midway->ran && !closedMidway && openWhenDone);
        QVERIFY(!form_->isVisible());
        QVERIFY(prompts_.shown.isEmpty());  // a success needs no word from a closing window
        QCOMPARE(QFileInfo(Output()).size(), qint64(16) << 20);
        for (const QString& name : QDir(Dir()).entryList(QDir::Hidden | QDir::Files)) {
            QVERIFY2(!tflux::test::IsPendingName(Local(name)), qPrintable(name));
        }
    }

    void controlQAndControlWCloseTheWindow_data() {
        QTest::addColumn<int>("key");
        QTest::newRow("Ctrl+Q") << int(Qt::Key_Q);
        QTest::newRow("Ctrl+W") << int(Qt::Key_W);
    }
    void controlQAndControlWCloseTheWindow() {
        QFETCH(int, key);
        form_->show();
        QApplication::setActiveWindow(form_.get());
        QVERIFY(QTest::qWaitForWindowActive(form_.get()));
        QTest::keyClick(form_.get(), Qt::Key(key));  // without Ctrl: nothing
        QVERIFY(form_->isVisible());
        QTest::keyClick(form_.get(), Qt::Key(key), Qt::ControlModifier);
        QTRY_VERIFY(!form_->isVisible());
    }

    // ---- the track pack, chosen as `tflux-krn --pack PATH IMAGE` chooses it ----

    void aChosenPackPatchesAsTheEngineDoesWithItsContainer_data() {
        QTest::addColumn<QString>("pack");
        QTest::newRow("pack source folder") << "mine";
        QTest::newRow("container file") << "mine.bin";
    }
    void aChosenPackPatchesAsTheEngineDoesWithItsContainer() {
        QFETCH(QString, pack);
        const std::filesystem::path source = *dir_ / "mine";
        std::filesystem::copy(TFLUX_PACK_DIR, source, std::filesystem::copy_options::recursive);
        const std::vector<std::uint8_t> json = tflux::test::ReadBytes(source / "trackpack.json");
        QString text = QString::fromUtf8(reinterpret_cast<const char*>(json.data()), json.size());
        const QByteArray renamed =
            text.replace(QStringLiteral("Cobalt Spire"), QStringLiteral("Cobalt Spike")).toUtf8();
        tflux::test::WriteBytes(source / "trackpack.json", {renamed.begin(), renamed.end()});
        const std::vector<std::uint8_t> container =
            tflux::BuildPackWithOwnUpdater(tflux::LoadPackSource(source));
        tflux::test::WriteBytes(*dir_ / "mine.bin", container);
        const QString game = Sample(QStringLiteral("game.z64"), 'P', false);

        const std::string packArg = Local(Path(pack));
        const std::string gameArg = Local(game);
        const char* argv[] = {"tflux-krn", "-reverse", "--pack", packArg.c_str(), gameArg.c_str()};
        CLI::App cli{"", "tflux-krn"};
        WindowStart start;
        AddWindowOptions(cli, start);
        QCOMPARE(ParseBesideQt(cli, 5, argv), std::optional<int>());
        form_->Open(start);
        QCOMPARE(form_->PackLabel(), pack);
        QCOMPARE(Input(), game);
        QCOMPARE(Status(), QStringLiteral("File Version: PAL (Z64) \u00b7 pack: ") + pack);
        Child<QPushButton>("cmdPatch")->click();
        QCOMPARE(prompts_.shown.last().text, QStringLiteral("Patch successful."));

        tflux::RomState state;
        const std::filesystem::path engine = *dir_ / "engine.z64";
        QVERIFY(tflux::PatchRom(state, {Local(game), engine.string(), container}).outcome ==
                tflux::PatchOutcome::Success);
        const std::vector<std::uint8_t> window = tflux::test::ReadBytes(Local(Output()));
        QVERIFY(window == tflux::test::ReadBytes(engine));
        QVERIFY(std::string(window.begin(), window.end()).find("Cobalt Spike") !=
                std::string::npos);
        // Back to the built-in pack: the line says nothing of packs.
        QVERIFY(form_->UsePack(std::nullopt));
        QCOMPARE(Status(), QStringLiteral("File Version: PAL (Z64)"));
    }

    // ---- a screen reader ----

    void aScreenReaderReadsEachValueAfterItsName() {
        form_->show();
        QVERIFY(QTest::qWaitForWindowExposed(form_.get()));
        // Long enough to be cut by the picture.
        PickInput(Sample(QString(60, QLatin1Char('g')) + QStringLiteral(".z64"), 'E', false));
        const QRect window(form_->mapToGlobal(QPoint(0, 0)), form_->size());
        const std::pair<const char*, const char*> labels[] = {
            {"lblROMIn", "ROM In"}, {"lblROMOut", "ROM Out"}, {"lblStatus", "Status"}};
        for (const auto& [label, name] : labels) {
            auto* widget = Child<QLabel>(label);
            QAccessibleInterface* read = QAccessible::queryAccessibleInterface(widget);
            QCOMPARE(read->text(QAccessible::Name) + QStringLiteral(": ") +
                         read->text(QAccessible::Value),
                     QLatin1String(name) + QStringLiteral(": ") + widget->text());
            QCOMPARE(read->textInterface()->text(0, read->textInterface()->characterCount()),
                     widget->text());
            // Only what shows: inside the window, and a path inside its picture.
            QWidget* frame = widget->parentWidget();
            QVERIFY2(window.contains(read->rect()) && !read->rect().isEmpty(), label);
            QVERIFY(QRect(frame->mapToGlobal(QPoint(0, 0)), frame->size()).contains(read->rect()));
        }
        QVERIFY(Child("lblROMIn")->width() > form1::kPicBack.width());
        // Every listed control has a name; what each is given is logged for a person to read.
        QList<QAccessibleInterface*> pending{QAccessible::queryAccessibleInterface(form_.get())};
        int named = 0;
        for (; !pending.isEmpty(); ++named) {
            QAccessibleInterface* node = pending.takeFirst();
            QVERIFY2(!node->text(QAccessible::Name).trimmed().isEmpty(),
                     qPrintable(node->object()->objectName()));
            qInfo("%s: role %d, name \"%s\", value \"%s\", description \"%s\"",
                  qPrintable(node->object()->objectName()), int(node->role()),
                  qPrintable(node->text(QAccessible::Name)),
                  qPrintable(node->text(QAccessible::Value)),
                  qPrintable(node->text(QAccessible::Description).replace(u'\n', u'|')));
            for (int i = 0; i < node->childCount(); ++i) {
                pending << node->child(i);
            }
        }
        QCOMPARE(named, 12);  // the window and its eleven listed controls
    }

    // ---- the output's dialog ----

    void theOutputDialogSavesWhereTheProposalIsAndAsksNothingItself() {
        PickInput(Sample(QStringLiteral("game.v64"), 'E', true));
        Child<QPushButton>("cmdROMOut")->click();
        QCOMPARE(prompts_.asked.last().folder, Dir());
        QCOMPARE(prompts_.asked.last().name, QStringLiteral("game_krn.v64"));

        QFileDialog::AcceptMode mode = QFileDialog::AcceptOpen;
        bool confirms = true;
        QString name;
        QTimer::singleShot(0, [&] {
            auto* dialog = qobject_cast<QFileDialog*>(QApplication::activeModalWidget());
            mode = dialog->acceptMode();
            confirms = !dialog->testOption(QFileDialog::DontConfirmOverwrite);
            name = dialog->findChild<QLineEdit*>(QStringLiteral("fileNameEdit"))->text();
            static_cast<QDialog*>(dialog)->accept();  // as the Save button does
        });
        const QString chosen =
            ShowSaveDialog(QStringLiteral("Select output ROM file..."), kFilter, Dir(),
                           QStringLiteral("game.v64"));  // there already: no question
        QCOMPARE(mode, QFileDialog::AcceptSave);
        QVERIFY(!confirms);  // the window asks, once, when it knows whose the file is
        QCOMPARE(name, QStringLiteral("game.v64"));
        QCOMPARE(QFileInfo(chosen).canonicalFilePath(), QFileInfo(Input()).canonicalFilePath());
    }

    // ---- the file dialog module ----

    void replaceAllReplacesEveryOccurrence_data() {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("find");
        QTest::addColumn<QString>("replacement");
        QTest::addColumn<QString>("result");
        QTest::addColumn<QString>("rest");
        struct Case {
            const char* tag;
            const char* text;
            const char* find;
            const char* replacement;
            const char* result;
            const char* rest;
        };
        const Case cases[] = {
            {"absent", "abc", "|", "-", "abc", "abc"},
            {"pipes", "a|b|c", "|", "-", "a-b-c", "c"},
            {"ignores case", "aXbxc", "X", ".", "a.b.c", "c"},
            {"keeps case", "One TWO two", "tWo", "2", "One 2 2", ""},
            {"no overlap", "aaaa a", "aa", "b", "bb a", " a"},
            {"not searched again", "a|b", "|", "||", "a||b", "b"},
            {"empty find", "abc", "", "-", "abc", "abc"},
        };
        for (const Case& c : cases) {
            QTest::newRow(c.tag) << QString(c.text) << QString(c.find) << QString(c.replacement)
                                 << QString(c.result) << QString(c.rest);
        }
    }
    void replaceAllReplacesEveryOccurrence() {
        QFETCH(QString, text);
        QFETCH(QString, find);
        QFETCH(QString, replacement);
        QFETCH(QString, result);
        QFETCH(QString, rest);
        QCOMPARE(ReplaceAll(text, find, replacement), result);
        QCOMPARE(text, rest);  // consumed up to the last occurrence
    }

    void filtersSplitIntoDescriptionAndPattern() {
        QCOMPARE(DialogNameFilters(kFilter), QStringList{QStringLiteral("N64 ROMs (*.*64)")});
        QCOMPARE(
            DialogNameFilters(QStringLiteral("Images|*.png;*.jpg|All files|*")),
            (QStringList{QStringLiteral("Images (*.png *.jpg)"), QStringLiteral("All files (*)")}));
        QCOMPARE(DialogNameFilters(QString()), QStringList());
    }

    void dialogReturnsThePathAsChosenOrNothing() {
        const tflux::test::ScratchDir scratch;
        const QString dir = FromLocal(scratch.path());
        {
            QFile game(FromLocal(scratch / "Game.Z64"));
            QVERIFY(game.open(QIODevice::WriteOnly));
        }
        const QString previous = QDir::currentPath();
        QVERIFY(QDir::setCurrent(dir));

        QString seenTitle;
        QStringList seenFilters;
        QString seenDirectory;
        const auto answer = [&](bool accept) {
            QTimer::singleShot(0, [&, accept] {
                auto* dialog = qobject_cast<QFileDialog*>(QApplication::activeModalWidget());
                if (dialog == nullptr) {
                    return;
                }
                seenTitle = dialog->windowTitle();
                seenFilters = dialog->nameFilters();
                seenDirectory = dialog->directory().absolutePath();
                if (accept) {
                    dialog->selectFile(QStringLiteral("Game.Z64"));
                    static_cast<QDialog*>(dialog)->accept();  // as the Open button does
                } else {
                    dialog->reject();
                }
            });
        };

        answer(true);
        const QString chosen = ShowFileDialog(QStringLiteral("Select input ROM file..."), kFilter);
        answer(false);
        const QString cancelled =
            ShowFileDialog(QStringLiteral("Select output ROM file..."), kFilter);
        QDir::setCurrent(previous);

        QCOMPARE(chosen, QDir(dir).absoluteFilePath(QStringLiteral("Game.Z64")));
        QCOMPARE(cancelled, QString());
        QCOMPARE(seenTitle, QStringLiteral("Select output ROM file..."));
        QCOMPARE(seenFilters, QStringList{QStringLiteral("N64 ROMs (*.*64)")});
        QCOMPARE(QDir(seenDirectory).canonicalPath(), QDir(dir).canonicalPath());
    }
};

int main(int argc, char* argv[]) {
    // Runs without a display, also when started by hand.
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) {
        qputenv("QT_QPA_PLATFORM", "offscreen");
    }
    QApplication app(argc, argv);
    TestForm1 tests;
    return QTest::qExec(&tests, argc, argv);
}

#include "test_form1.moc"
