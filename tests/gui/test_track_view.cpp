// The track view under the offscreen platform, with the built-in pack and with a damaged one.

#include <QElapsedTimer>
#include <QLabel>
#include <QListWidget>
#include <QPushButton>
#include <QSignalSpy>
#include <QTabWidget>
#include <QtTest>
#include <algorithm>
#include <cstdint>
#include <vector>

#include "app/Form1.h"
#include "app/TrackView.h"
#include "map/course_map.h"
#include "pack/load_payload.h"
#include "payload/builtin_payload.h"
#include "payload/container.h"
#include "rom/game.h"
#include "support/test_util.h"

namespace {

// The built-in pack with one byte of track `track`'s course changed: its stored checksum no
// longer holds, whatever else the change breaks.
std::vector<std::uint8_t> PackWithDamagedTrack(int track) {
    const std::span<const std::uint8_t> builtIn = tflux::BuiltInPayload();
    std::vector<std::uint8_t> container(builtIn.begin(), builtIn.end());
    const auto entries = tflux::LocatePayloadEntries(container, container.size());
    for (int entry = 1; entry < tflux::kPayloadEntries; ++entry) {
        if (tflux::TrackOfEntry(entry) == track) {
            const tflux::PayloadEntry& e = entries[std::size_t(entry)];
            container[e.offset + e.length - 40] ^= 0x5A;
        }
    }
    return container;
}

// Answers the window's questions as a test sets them, and keeps what it was asked.
class Answers : public FormPrompts {
  public:
    QString file;
    QString folder;
    bool usePack = true;
    QStringList asked;

    QString AskForFile(QWidget*, const QString& title, const QString&) override {
        asked << title;
        return file;
    }
    QString AskForOutput(QWidget*, const QString&, const QString&, const QString&,
                         const QString&) override {
        return QString();
    }
    void ShowMessage(QWidget*, QMessageBox::Icon, const QString&, const QString& text,
                     const QString&) override {
        asked << text;
    }
    bool AskToReplace(QWidget*, const QString&, const QString&) override { return false; }
    bool AskToUsePack(QWidget*, const QString&, const QString& text) override {
        asked << text;
        return usePack;
    }
    QString AskForFolder(QWidget*, const QString& title) override {
        asked << title;
        return folder;
    }
};

}  // namespace

class TrackViewTest : public QObject {
    Q_OBJECT

  private slots:
    void listsTheTracksInTheOrderTheGameNumbersThem();
    void marksTheInvalidTrackAndSaysWhy();
    void theShownMapIsTheLibrarysPicture();
    void picturesAreSharpAtTheScreensScale();
    void theButtonsAskTheOwnerForAPack();
    void theWindowsButtonOpensItAndItChoosesThePack();
};

void TrackViewTest::listsTheTracksInTheOrderTheGameNumbersThem() {
    TrackView view;
    QElapsedTimer clock;
    clock.start();
    view.ShowPack(tflux::BuiltInPayload(), QStringLiteral("the built-in pack"));
    view.show();
    QVERIFY(QTest::qWaitForWindowExposed(&view));
    qInfo("opened with 24 thumbnails in %lld ms", static_cast<long long>(clock.elapsed()));

    const std::vector<tflux::PackEntry> entries = tflux::ReadPackTracks(tflux::BuiltInPayload());
    QCOMPARE(view.List()->count(), 24);
    for (int row = 0; row < 24; ++row) {
        const QListWidgetItem* item = view.List()->item(row);
        const QString name = QString::fromStdString(view.Tracks()[std::size_t(row)].name);
        QVERIFY2(item->text().startsWith(QString::number(row + 1) + QStringLiteral("  ") + name),
                 qPrintable(item->text()));
        QCOMPARE(view.Tracks()[std::size_t(row)].track, entries[std::size_t(row)].track);
        QVERIFY(item->text().contains(QStringLiteral("valid")));
        QVERIFY(!item->icon().isNull());
    }
    QCOMPARE(view.List()->currentRow(), 0);
    QVERIFY(!view.MapImage().isNull());
}

void TrackViewTest::marksTheInvalidTrackAndSaysWhy() {
    constexpr int kDamaged = 7;
    TrackView view;
    view.ShowPack(PackWithDamagedTrack(kDamaged), QStringLiteral("damaged"));
    for (int row = 0; row < 24; ++row) {
        const tflux::TrackSummary& t = view.Tracks()[std::size_t(row)];
        const QString text = view.List()->item(row)->text();
        QCOMPARE(t.problems.empty(), row + 1 != kDamaged);
        QCOMPARE(text.contains(QStringLiteral("not valid")), row + 1 == kDamaged);
    }
    const tflux::TrackSummary& damaged = view.Tracks()[kDamaged - 1];
    QVERIFY(!damaged.problems.empty());
    const QString firstProblem = QString::fromStdString(damaged.problems.front());
    QVERIFY(view.List()->item(kDamaged - 1)->toolTip().contains(firstProblem));

    view.List()->setCurrentRow(kDamaged - 1);
    const QList<QLabel*> problems = view.findChildren<QLabel*>();
    const bool said = std::any_of(problems.begin(), problems.end(), [&](const QLabel* label) {
        return label->text().startsWith(QStringLiteral("Track 7 is not valid")) &&
               label->text().contains(firstProblem);
    });
    QVERIFY(said);
}

void TrackViewTest::theShownMapIsTheLibrarysPicture() {
    TrackView view;
    view.ShowPack(tflux::BuiltInPayload(), QStringLiteral("the built-in pack"));
    view.resize(1100, 680);
    view.List()->setCurrentRow(3);
    const QImage shown = view.MapImage();
    QVERIFY(!shown.isNull());

    // The same track drawn to a PNG by the library and read back: pixel for pixel the same.
    const tflux::test::ScratchDir scratch;
    const std::vector<tflux::PackEntry> entries = tflux::ReadPackTracks(tflux::BuiltInPayload());
    const tflux::map::MapTrack track{entries[3].track, entries[3].record.name, entries[3].course};
    const auto png = scratch.path() / "map.png";
    tflux::map::DrawCourseMap(track, png, shown.width());
    QImage written(QString::fromStdString(png.string()));
    QCOMPARE(written.size(), shown.size());
    QCOMPARE(written.convertToFormat(QImage::Format_RGB32),
             shown.convertToFormat(QImage::Format_RGB32));

    view.Pictures()->setCurrentIndex(1);
    QVERIFY(!view.OverviewImage().isNull());
    QVERIFY(view.OverviewImage().width() > shown.width());
}

void TrackViewTest::picturesAreSharpAtTheScreensScale() {
    TrackView view;
    view.show();
    QVERIFY(QTest::qWaitForWindowExposed(&view));
    view.ShowPack(tflux::BuiltInPayload(), QStringLiteral("the built-in pack"));
    const qreal scale = view.devicePixelRatioF();
    QCOMPARE(view.MapImage().devicePixelRatio(), scale);
    const QPixmap thumb = view.List()->item(0)->icon().pixmap(
        QSize(TrackView::kThumbnailSide, TrackView::kThumbnailSide), scale);
    QCOMPARE(thumb.width(), int(TrackView::kThumbnailSide * scale));
}

void TrackViewTest::theButtonsAskTheOwnerForAPack() {
    TrackView view;
    QSignalSpy builtIn(&view, &TrackView::builtInPackWanted);
    QSignalSpy folder(&view, &TrackView::packFolderWanted);
    QSignalSpy container(&view, &TrackView::containerFileWanted);
    view.FolderButton()->click();
    view.ContainerButton()->click();
    view.ContainerButton()->click();
    view.BuiltInButton()->click();
    QCOMPARE(builtIn.count(), 1);
    QCOMPARE(folder.count(), 1);
    QCOMPARE(container.count(), 2);
}

void TrackViewTest::theWindowsButtonOpensItAndItChoosesThePack() {
    const tflux::test::ScratchDir scratch;
    const auto damaged = scratch.path() / "damaged.dat";
    tflux::test::WriteBytes(damaged, PackWithDamagedTrack(3));
    Form1 form;
    Answers answers;
    form.SetPrompts(&answers);
    form.show();
    QVERIFY(QTest::qWaitForWindowExposed(&form));

    // Reached from the keyboard: Ctrl+T, or Tab to the "24" button and Space.
    auto* button = form.findChild<QPushButton*>(QStringLiteral("cmdTracks"));
    QVERIFY(button != nullptr);
    QCOMPARE(button->accessibleName(), QStringLiteral("Tracks"));
    QCOMPARE(button->geometry(), form1::kCmdTracks);
    QTest::keyClick(&form, Qt::Key_T, Qt::ControlModifier);
    QVERIFY(form.Tracks() != nullptr && form.Tracks()->isVisible());
    QCOMPARE(form.Tracks()->List()->count(), 24);

    // A container with a broken course: asked about, left on no, taken on yes and shown with
    // its problem.
    answers.file = QString::fromStdString(damaged.string());
    answers.usePack = false;
    form.Tracks()->ContainerButton()->click();
    QVERIFY2(answers.asked.join('\n').contains(QStringLiteral("track 3")),
             qPrintable(answers.asked.join('\n')));
    QCOMPARE(form.PackLabel(), QStringLiteral("built-in pack"));
    QVERIFY(!form.Tracks()->List()->item(2)->text().contains(QStringLiteral("not valid")));
    answers.usePack = true;
    form.Tracks()->ContainerButton()->click();
    QCOMPARE(form.PackLabel(), QStringLiteral("damaged.dat"));
    QVERIFY(form.Tracks()->List()->item(2)->text().contains(QStringLiteral("not valid")));

    // A folder not chosen changes nothing; the built-in pack needs no question.
    form.Tracks()->FolderButton()->click();
    QCOMPARE(form.PackLabel(), QStringLiteral("damaged.dat"));
    form.Tracks()->BuiltInButton()->click();
    QCOMPARE(form.PackLabel(), QStringLiteral("built-in pack"));
    QVERIFY(!form.Tracks()->List()->item(2)->text().contains(QStringLiteral("not valid")));
}

QTEST_MAIN(TrackViewTest)
#include "test_track_view.moc"
