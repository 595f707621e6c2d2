#pragma once

// The pack's 24 tracks as the game will number them: a list with a thumbnail of each course, the
// selected track's map, and the overview of them all. It only shows a pack; which pack the next
// patch uses is its owner's choice, asked for through the three signals.

#include <QImage>
#include <QWidget>
#include <cstdint>
#include <span>
#include <vector>

#include "map/course_map.h"
#include "pack/track_summary.h"

class QLabel;
class QListWidget;
class QPushButton;
class QScrollArea;
class QTabWidget;

// A picture of the map library as an image of its own: the library's pixels are Qt's RGB32.
QImage ToImage(const tflux::map::Picture& picture, qreal devicePixelRatio);

class TrackView : public QWidget {
    Q_OBJECT

  public:
    // A thumbnail's side in the window's pixels; drawn at the screen's scale.
    static constexpr int kThumbnailSide = 64;

    explicit TrackView(QWidget* parent = nullptr);
    ~TrackView() override;

    // Shows the container's tracks; `label` names the pack ("the built-in pack", a path). Throws
    // EngineError for a container whose tracks cannot be read, and then shows what it showed.
    void ShowPack(std::span<const std::uint8_t> container, const QString& label);

    const std::vector<tflux::TrackSummary>& Tracks() const { return summaries_; }
    QListWidget* List() const { return list_; }
    QTabWidget* Pictures() const { return tabs_; }
    // The map of the selected track, as last drawn (null before there is one).
    QImage MapImage() const { return mapImage_; }
    QImage OverviewImage() const { return overviewImage_; }
    QPushButton* BuiltInButton() const { return builtIn_; }
    QPushButton* FolderButton() const { return folder_; }
    QPushButton* ContainerButton() const { return container_; }

  signals:
    void builtInPackWanted();
    void packFolderWanted();
    void containerFileWanted();

  protected:
    void resizeEvent(QResizeEvent* event) override;

  private:
    void FillList();
    void ShowTrack(int row);
    void ShowOverview();
    void ScaleMap();

    std::vector<tflux::map::MapTrack> tracks_;
    std::vector<tflux::TrackSummary> summaries_;
    QImage mapImage_;
    QImage overviewImage_;

    QLabel* packLabel_ = nullptr;
    QPushButton* builtIn_ = nullptr;
    QPushButton* folder_ = nullptr;
    QPushButton* container_ = nullptr;
    QListWidget* list_ = nullptr;
    QTabWidget* tabs_ = nullptr;
    QLabel* map_ = nullptr;
    QLabel* problems_ = nullptr;
    QScrollArea* overviewArea_ = nullptr;
    QLabel* overview_ = nullptr;
};
