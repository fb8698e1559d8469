#include "media/ScanThumbnails.h"

namespace tamsel::media {

ScanThumbnails::ScanThumbnails(std::shared_ptr<RandomAccessSource> reader, const Session& session,
                               CancellationToken token, Progress onProgress, ThumbnailPool::Options options)
    : reader_(std::move(reader)) {
    ThumbnailPool::Done done;
    if (onProgress)
        done = [this, onProgress](const CarvedFile& file, bool made, const std::optional<std::string>& damage) {
            std::lock_guard guard(progressLock_);
            onProgress(file, made, damage, pool_->counts().done(), pool_->pushed());
        };
    pool_ = std::make_unique<ThumbnailPool>(reader_, session, std::move(options), std::move(done), std::move(token));
}

ScanThumbnails::~ScanThumbnails() {
    pool_.reset();
    if (reader_) reader_->close();
}

void ScanThumbnails::pushMissing(const std::vector<CarvedFile>& files) {
    for (const auto& f : files)
        if (!pool_->madeBefore(f.index)) push(f);
}

void ScanThumbnails::finishAndWait() {
    pool_->finishAndWait();
    if (reader_) reader_->close();
    reader_ = nullptr;
}

}  // namespace tamsel::media
