#include "views/ThumbnailLoader.h"

#include <chrono>
#include <thread>

#include "media/ThumbnailStore.h"

namespace tamsel::views {

namespace {
// Decoded thumbnails as the views draw them, shared by every view; the
// store below keeps the decoded pixels, this only the converted copies.
QCache<QString, QImage>& images() {
    static QCache<QString, QImage> cache(64 * 1024);  // in KiB
    return cache;
}
QString keyOf(const std::filesystem::path& session, qint64 index, int px) {
    return QString::fromStdString(session.string()) + QLatin1Char('#') + QString::number(index) + QLatin1Char('@') +
           QString::number(px);
}
}  // namespace

ThumbnailLoader::ThumbnailLoader(models::Workspace* ws, int pixelSize, QObject* parent)
    : QObject(parent), ws_(ws), pixelSize_(pixelSize) {
    connect(ws, &models::Workspace::stagingDirChanged, this, &ThumbnailLoader::reset);
}

ThumbnailLoader::~ThumbnailLoader() { reset(); }

int ThumbnailLoader::cachedCount() { return int(images().count()); }

void ThumbnailLoader::setScale(double scale) {
    if (scale != scale_) {
        scale_ = scale;
        reset();
    }
}

void ThumbnailLoader::reset() {
    for (const auto& p : pending_) p.task->cancel();
    pending_.clear();
    none_.clear();
}

std::filesystem::path ThumbnailLoader::sessionDir() const {
    const models::Workspace* ws = ws_.data();
    if (ws == nullptr) return {};
    return ws->stagingDir().value_or(std::filesystem::path());
}

ThumbnailLoader::State ThumbnailLoader::state(const CarvedFile& file, const QModelIndex& where, QImage* image) {
    const std::filesystem::path session = sessionDir();
    if (session.empty()) return State::none;
    const int px = qRound(pixelSize_ * scale_);
    if (QImage* cached = images().object(keyOf(session, file.index, px))) {
        *image = *cached;
        return State::image;
    }
    if (none_.contains(file.index)) return State::none;
    if (pending_.contains(file.index)) return State::waiting;

    const qint64 index = file.index;
    const int size = pixelSize_;
    const double scale = scale_;
    QPointer<ThumbnailLoader> self(this);
    pending_.insert(index, Pending{models::startJob(models::JobPriority::utility, [=](const CancellationToken& token) {
        auto sleep = [&token](std::chrono::milliseconds ms) {
            // In short steps, so that a cancelled wait ends soon.
            for (auto left = ms; left.count() > 0 && !token.isCancelled(); left -= std::chrono::milliseconds(40))
                std::this_thread::sleep_for(std::min(left, std::chrono::milliseconds(40)));
        };
        std::shared_ptr<const media::RgbImage> rgb;
        const auto result = media::ThumbnailWait::run(media::ThumbnailStore::shared(), session, index, size, scale, token,
                                                      sleep, &rgb);
        if (result == media::ThumbnailWaitResult::cancelled) return;
        QImage img;
        if (result == media::ThumbnailWaitResult::image && rgb && !rgb->empty())
            img = QImage(rgb->pixels.data(), rgb->width, rgb->height, rgb->width * 3, QImage::Format_RGB888).copy();
        const bool none = img.isNull();
        models::postTo(self, [index, img, none](ThumbnailLoader& l) { l.finished(index, img, none); });
    }), QPersistentModelIndex(where)});
    return State::waiting;
}

void ThumbnailLoader::finished(qint64 index, const QImage& image, bool none) {
    if (!pending_.remove(index)) return;  // cancelled meanwhile
    const std::filesystem::path session = sessionDir();
    if (none || session.empty()) {
        none_.insert(index);
    } else {
        const int px = qRound(pixelSize_ * scale_);
        images().insert(keyOf(session, index, px), new QImage(image), qMax<qsizetype>(1, image.sizeInBytes() / 1024));
    }
    emit loaded(index);
}

void ThumbnailLoader::cancelHidden(const std::function<bool(const QModelIndex&)>& isVisible) {
    for (auto it = pending_.begin(); it != pending_.end();) {
        if (!it->where.isValid() || !isVisible(it->where)) {
            it->task->cancel();
            it = pending_.erase(it);
        } else {
            ++it;
        }
    }
}

}  // namespace tamsel::views
