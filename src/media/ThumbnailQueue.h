#pragma once
// Found files on their way from the scan's progress callback to the
// thumbnail worker, oldest first, and the worker itself.

#include <atomic>
#include <chrono>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include "engine/carve/CarvedFile.h"
#include "engine/common/Cancellation.h"
#include "media/ScanThumbnailer.h"

namespace tamsel::media {

class ThumbnailQueue {
public:
    void push(const CarvedFile& file);
    std::optional<CarvedFile> pop();
    // The scan has ended (normally or with an error): nothing more comes.
    void finish();
    bool isDrained() const;

private:
    mutable std::mutex lock_;
    std::deque<CarvedFile> items_;
    bool scanFinished_ = false;
};

// One file at a time in found order, at a lower priority than the scan;
// ends once the queue is drained or the token is cancelled.
class ThumbnailWorker {
public:
    static constexpr std::chrono::milliseconds kIdlePoll{40};

    ThumbnailWorker(std::shared_ptr<ThumbnailQueue> queue, std::shared_ptr<ScanThumbnailer> thumbnailer,
                    CancellationToken token);
    ~ThumbnailWorker();  // cancels and joins a worker still running
    ThumbnailWorker(const ThumbnailWorker&) = delete;
    ThumbnailWorker& operator=(const ThumbnailWorker&) = delete;

    // Blocks until the worker has ended.
    void wait();
    // Once the scan has ended nothing is left to yield to and someone waits
    // for the rest: the worker stops after its current file and the calling
    // thread, at its own priority, makes what is left, one file at a time in
    // found order. Returns when the queue is drained or the token cancelled.
    void drainOnThisThread();
    bool handedOver() const { return handedOver_.load(); }
    std::int64_t thumbnailsMade() const { return made_.load(); }
    std::int64_t filesDone() const { return done_.load(); }

    // The worker's loop on the calling thread.
    static void run(ThumbnailQueue& queue, ScanThumbnailer& thumbnailer, const CancellationToken& token,
                    std::atomic<std::int64_t>* done = nullptr, std::atomic<std::int64_t>* made = nullptr,
                    const std::atomic<bool>* handedOver = nullptr);

private:
    std::shared_ptr<ThumbnailQueue> queue_;
    std::shared_ptr<ScanThumbnailer> thumbnailer_;
    CancellationToken token_;
    std::atomic<std::int64_t> done_{0};
    std::atomic<std::int64_t> made_{0};
    std::atomic<bool> handedOver_{false};
    std::thread thread_;
};

// The thumbnails of one scan: a thumbnailer over a second reader of the
// source, its queue and its worker. Found files are pushed from the scan's
// progress callback; finishAndWait() after the scan returns.
class ScanThumbnails {
public:
    ScanThumbnails(const std::shared_ptr<RandomAccessSource>& source, const fs::path& sessionDir, CancellationToken token);
    ~ScanThumbnails();
    ScanThumbnails(const ScanThumbnails&) = delete;
    ScanThumbnails& operator=(const ScanThumbnails&) = delete;

    void push(const CarvedFile& file) { queue_->push(file); }
    // Files of an earlier run of the session that have neither a thumbnail nor a marker.
    void pushMissing(const std::vector<CarvedFile>& files);
    // Ends the queue and makes what is left on the calling thread (see
    // ThumbnailWorker::drainOnThisThread); closes the second reader.
    void finishAndWait();
    const ThumbnailWorker& worker() const { return *worker_; }
    // Thumbnails made but not saved (a full disk): made by a later run.
    std::int64_t notSaved() const { return thumbnailer_->notSaved(); }

private:
    fs::path sessionDir_;
    std::shared_ptr<ScanThumbnailer> thumbnailer_;
    std::shared_ptr<RandomAccessSource> duplicate_;
    std::shared_ptr<ThumbnailQueue> queue_ = std::make_shared<ThumbnailQueue>();
    std::unique_ptr<ThumbnailWorker> worker_;
};

}  // namespace tamsel::media
