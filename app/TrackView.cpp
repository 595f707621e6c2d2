#include "app/TrackView.h"

#include <QAccessible>
#include <QHBoxLayout>
#include <QLabel>
#include <QListWidget>
#include <QPixmap>
#include <QPushButton>
#include <QResizeEvent>
#include <QScrollArea>
#include <QTabWidget>
#include <QVBoxLayout>
#include <algorithm>

#include "pack/load_payload.h"
#include "rom/text.h"

namespace {

QString Utf8(const std::string& text) {
    return QString::fromStdString(text);
}

// The row's words: what the list shows, and what a screen reader names it by.
QString RowText(const tflux::TrackSummary& t) {
    QString first = QString::number(t.track) + QStringLiteral("  ") + Utf8(t.name);
    if (!t.subtitle.empty()) {
        first += QStringLiteral(" \u2014 ") + Utf8(t.subtitle);
    }
    QString venue = Utf8(t.venue);
    if (!venue.isEmpty()) {
        venue[0] = venue[0].toUpper();
    }
    const QString second = venue + QStringLiteral(" \u00B7 ") + Utf8(tflux::Thousands(t.length)) +
                           QStringLiteral(" units \u00B7 ") + Utf8(t.shapes);
    const QString third = t.problems.empty() ? QStringLiteral("\u2713 valid")
                                             : QStringLiteral("\u26A0 ") +
                                                   Utf8(tflux::VerdictText(t.problems.size()));
    return first + QLatin1Char('\n') + second + QLatin1Char('\n') + third;
}

QString ProblemsText(const tflux::TrackSummary& t) {
    QStringList lines;
    for (const std::string& problem : t.problems) {
        lines << Utf8(problem);
    }
    return lines.join(QLatin1Char('\n'));
}

}  // namespace

QImage ToImage(const tflux::map::Picture& picture, qreal devicePixelRatio) {
    QImage image(picture.pixels.data(), picture.width, picture.height, picture.stride,
                 QImage::Format_RGB32);
    // The picture's bytes go with it; the image above only borrows them.
    QImage owned = image.copy();
    owned.setDevicePixelRatio(devicePixelRatio);
    return owned;
}

TrackView::TrackView(QWidget* parent) : QWidget(parent, Qt::Window) {
    setWindowTitle(QStringLiteral("T-Flux KRN \u2013 Tracks"));
    setObjectName(QStringLiteral("TrackView"));

    packLabel_ = new QLabel(this);
    packLabel_->setTextInteractionFlags(Qt::TextSelectableByMouse);
    builtIn_ = new QPushButton(QStringLiteral("&Built-in Pack"), this);
    folder_ = new QPushButton(QStringLiteral("Pack &Folder..."), this);
    container_ = new QPushButton(QStringLiteral("&Container File..."), this);
    builtIn_->setToolTip(QStringLiteral("Patch with the 24 tracks this program carries"));
    folder_->setToolTip(QStringLiteral("Patch with a pack source: a folder with trackpack.json"));
    container_->setToolTip(QStringLiteral("Patch with a container file of 24 track records"));
    connect(builtIn_, &QPushButton::clicked, this, &TrackView::builtInPackWanted);
    connect(folder_, &QPushButton::clicked, this, &TrackView::packFolderWanted);
    connect(container_, &QPushButton::clicked, this, &TrackView::containerFileWanted);

    list_ = new QListWidget(this);
    list_->setAccessibleName(QStringLiteral("Tracks"));
    list_->setIconSize(QSize(kThumbnailSide, kThumbnailSide));
    list_->setUniformItemSizes(true);
    list_->setWordWrap(false);
    list_->setMinimumWidth(420);
    connect(list_, &QListWidget::currentRowChanged, this, &TrackView::ShowTrack);

    map_ = new QLabel(this);
    map_->setAlignment(Qt::AlignCenter);
    map_->setMinimumSize(320, 320);
    map_->setAccessibleName(QStringLiteral("Map"));
    problems_ = new QLabel(this);
    problems_->setWordWrap(true);
    problems_->setTextInteractionFlags(Qt::TextSelectableByMouse);
    auto* mapPage = new QWidget(this);
    auto* mapLayout = new QVBoxLayout(mapPage);
    mapLayout->addWidget(map_, 1);
    mapLayout->addWidget(problems_);

    overview_ = new QLabel(this);
    overview_->setAccessibleName(QStringLiteral("Overview"));
    overviewArea_ = new QScrollArea(this);
    overviewArea_->setWidget(overview_);
    overviewArea_->setAlignment(Qt::AlignCenter);

    tabs_ = new QTabWidget(this);
    tabs_->addTab(mapPage, QStringLiteral("&Map"));
    tabs_->addTab(overviewArea_, QStringLiteral("&Overview"));
    // The sheet is the costliest picture: it is drawn when first asked for.
    connect(tabs_, &QTabWidget::currentChanged, this, [this](int index) {
        if (index == 1 && overviewImage_.isNull()) {
            ShowOverview();
        }
    });

    auto* buttons = new QHBoxLayout;
    buttons->addWidget(packLabel_, 1);
    buttons->addWidget(builtIn_);
    buttons->addWidget(folder_);
    buttons->addWidget(container_);
    auto* body = new QHBoxLayout;
    body->addWidget(list_, 2);
    body->addWidget(tabs_, 3);
    auto* layout = new QVBoxLayout(this);
    layout->addLayout(buttons);
    layout->addLayout(body, 1);
    resize(1100, 680);
}

TrackView::~TrackView() = default;

void TrackView::ShowPack(std::span<const std::uint8_t> container, const QString& label) {
    const std::vector<tflux::PackEntry> entries = tflux::ReadPackTracks(container);
    std::vector<tflux::map::MapTrack> tracks;
    std::vector<tflux::TrackSummary> summaries;
    for (const tflux::PackEntry& entry : entries) {
        tracks.push_back({entry.track, entry.record.name, entry.course});
        summaries.push_back(tflux::SummarizeTrack(entry));
    }
    tracks_ = std::move(tracks);
    summaries_ = std::move(summaries);
    overviewImage_ = QImage();
    packLabel_->setText(QStringLiteral("Pack: ") + label);
    FillList();
    if (tabs_->currentIndex() == 1) {
        ShowOverview();
    }
}

void TrackView::FillList() {
    const qreal scale = devicePixelRatioF();
    const int side = std::clamp(int(kThumbnailSide * scale + 0.5), 32, 1024);
    const QSignalBlocker quiet(list_);
    list_->clear();
    for (std::size_t k = 0; k < summaries_.size(); ++k) {
        const tflux::TrackSummary& t = summaries_[k];
        auto* item = new QListWidgetItem(list_);
        item->setText(RowText(t));
        item->setToolTip(t.problems.empty() ? QStringLiteral("Valid by every rule the game keeps")
                                            : ProblemsText(t));
        // A thumbnail that cannot be drawn leaves the row without one, and the map says why.
        try {
            const QImage thumb =
                ToImage(tflux::map::CourseThumbnail(tracks_[k].course, side), scale);
            item->setIcon(QIcon(QPixmap::fromImage(thumb)));
        } catch (const std::exception&) {
        }
    }
    list_->setCurrentRow(0);
    ShowTrack(0);
}

void TrackView::ShowTrack(int row) {
    if (row < 0 || std::size_t(row) >= tracks_.size()) {
        mapImage_ = QImage();
        map_->clear();
        problems_->clear();
        return;
    }
    const qreal scale = devicePixelRatioF();
    // Drawn at the screen's pixels for the label's size, never below the library's smallest.
    const int side = std::clamp(int(std::min(map_->width(), map_->height()) * scale), 512, 2048);
    try {
        mapImage_ = ToImage(tflux::map::CourseMapPicture(tracks_[std::size_t(row)], side), scale);
    } catch (const std::exception& e) {
        mapImage_ = QImage();
        map_->setText(QString::fromUtf8(e.what()));
    }
    ScaleMap();
    const tflux::TrackSummary& t = summaries_[std::size_t(row)];
    problems_->setText(
        t.problems.empty()
            ? QStringLiteral("Track %1 is valid by every rule the game keeps.").arg(t.track)
            : QStringLiteral("Track %1 is not valid:\n").arg(t.track) + ProblemsText(t));
    map_->setAccessibleDescription(RowText(t));
}

void TrackView::ShowOverview() {
    const qreal scale = devicePixelRatioF();
    try {
        overviewImage_ = ToImage(tflux::map::OverviewPicture(tracks_), 1.0);
        // Shown at half size on an ordinary screen, at its own pixels on one scaled by 2.
        overviewImage_.setDevicePixelRatio(std::max<qreal>(2.0, scale));
        overview_->setPixmap(QPixmap::fromImage(overviewImage_));
        overview_->adjustSize();
    } catch (const std::exception& e) {
        overview_->setText(QString::fromUtf8(e.what()));
        overview_->adjustSize();
    }
}

void TrackView::ScaleMap() {
    if (mapImage_.isNull()) {
        return;
    }
    const qreal scale = mapImage_.devicePixelRatio();
    const QSize room = map_->size() * scale;
    QPixmap pixmap =
        QPixmap::fromImage(mapImage_.scaled(room, Qt::KeepAspectRatio, Qt::SmoothTransformation));
    pixmap.setDevicePixelRatio(scale);
    map_->setPixmap(pixmap);
}

void TrackView::resizeEvent(QResizeEvent* event) {
    QWidget::resizeEvent(event);
    ScaleMap();
}
