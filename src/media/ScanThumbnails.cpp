#include "media/ScanThumbnails.h"

#include "media/ThumbnailFiles.h"

namespace tamsel::media {

ScanThumbnails::ScanThumbnails(std::shared_ptr<RandomAccessSource> reader, const fs::path& sessionDir,
                               CancellationToken token, Progress onProgress, ThumbnailPool::Options options)
    : sessionDir_(sessionDir), reader_(std::move(reader)) {
    ThumbnailPool::Done done;
    if (onProgress)
        done = [this, onProgress](const CarvedFile& file, bool made, const std::optional<std::string>& damage) {
            std::lock_guard guard(progressLock_);
            onProgress(file, made, damage, pool_->counts().done(), pool_->pushed());
        };
    pool_ = std::make_unique<ThumbnailPool>(reader_, sessionDir, std::move(options), std::move(done), std::move(token));
}

ScanThumbnails::~ScanThumbnails() {
    pool_.reset();
    if (reader_) reader_->close();
}

void ScanThumbnails::pushMissing(const std::vector<CarvedFile>& files) {
    for (const auto& f : files) {
        std::error_code a, b;
        if (!fs::exists(ThumbnailFiles::thumbnailPath(sessionDir_, f.index), a) &&
            !fs::exists(ThumbnailFiles::markerPath(sessionDir_, f.index), b))
            push(f);
    }
}

void ScanThumbnails::finishAndWait() {
    pool_->finishAndWait();
    if (reader_) reader_->close();
    reader_ = nullptr;
}

}  // namespace tamsel::media
