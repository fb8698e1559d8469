#pragma once
// The thumbnails of one scan: a pool of worker processes, and the reader
// for what the scan does not hand over (a second reader of the source, so
// that the scan's count of unreadable bytes stays its own). Found files are
// pushed from the scan's progress callback, with their bytes where the scan
// handed them over; finishAndWait() after the scan returns.

#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

#include "media/ThumbnailPool.h"

namespace tamsel::media {

class ScanThumbnails {
public:
    // Told after each file (on a worker thread, one call at a time): how
    // many are done of how many pushed, whether this one has a picture, and
    // what its content was found to lack.
    using Progress = std::function<void(const CarvedFile&, bool made, const std::optional<std::string>& damage,
                                        std::int64_t done, std::int64_t total)>;

    // `reader` is closed when the thumbnails are done.
    ScanThumbnails(std::shared_ptr<RandomAccessSource> reader, const Session& session, CancellationToken token,
                   Progress onProgress = {}, ThumbnailPool::Options options = {});
    ~ScanThumbnails();
    ScanThumbnails(const ScanThumbnails&) = delete;
    ScanThumbnails& operator=(const ScanThumbnails&) = delete;

    bool wantsBytes(std::int64_t length) { return pool_->wantsBytes(length); }
    void push(const CarvedFile& file, std::shared_ptr<const Bytes> held = nullptr) { pool_->push(file, std::move(held)); }
    // Files of an earlier run of the session that have neither a thumbnail nor a marker.
    void pushMissing(const std::vector<CarvedFile>& files);
    // The scan's reading is over: what it did not hand over is read now.
    void scanEnded() { pool_->sourceFree(); }
    // Makes what is left; closes the reader.
    void finishAndWait();
    ThumbnailCounts counts() const { return pool_->counts(); }
    std::int64_t pushed() const { return pool_->pushed(); }

private:
    std::shared_ptr<RandomAccessSource> reader_;
    std::mutex progressLock_;
    std::unique_ptr<ThumbnailPool> pool_;
};

}  // namespace tamsel::media
