#include "media/ThumbnailQueue.h"

#include <malloc.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace tamsel::media {

void ThumbnailQueue::push(const CarvedFile& file) {
    std::lock_guard guard(lock_);
    items_.push_back(file);
}

std::optional<CarvedFile> ThumbnailQueue::pop() {
    std::lock_guard guard(lock_);
    if (items_.empty()) return std::nullopt;
    CarvedFile file = std::move(items_.front());
    items_.pop_front();
    return file;
}

void ThumbnailQueue::finish() {
    std::lock_guard guard(lock_);
    scanFinished_ = true;
}

bool ThumbnailQueue::isDrained() const {
    std::lock_guard guard(lock_);
    return scanFinished_ && items_.empty();
}

namespace {

// Utility priority for this thread only (threads it starts inherit it): the
// lowest CPU share, so that on a small machine a core the scan needs costs
// it little, and the lowest best-effort disk priority, so its reads go first.
void lowerThisThreadsPriority() {
    const auto tid = static_cast<id_t>(syscall(SYS_gettid));
    setpriority(PRIO_PROCESS, tid, 19);
    constexpr int kWhoProcess = 1, kClassBestEffort = 2, kClassShift = 13;
    syscall(SYS_ioprio_set, kWhoProcess, static_cast<int>(tid), (kClassBestEffort << kClassShift) | 7);
}

}  // namespace

void ThumbnailWorker::run(ThumbnailQueue& queue, ScanThumbnailer& thumbnailer, const CancellationToken& token,
                          std::atomic<std::int64_t>* done, std::atomic<std::int64_t>* made,
                          const std::atomic<bool>* handedOver) {
    while (!token.isCancelled() && !(handedOver && handedOver->load())) {
        if (auto file = queue.pop()) {
            const bool ok = thumbnailer.makeThumbnail(*file);
            // A decoded photo is freed in pieces the allocator keeps; give them back.
            malloc_trim(0);
            if (made && ok) ++*made;
            if (done) ++*done;
            continue;
        }
        if (queue.isDrained()) return;
        std::this_thread::sleep_for(kIdlePoll);
    }
}

ThumbnailWorker::ThumbnailWorker(std::shared_ptr<ThumbnailQueue> queue, std::shared_ptr<ScanThumbnailer> thumbnailer,
                                 CancellationToken token)
    : queue_(std::move(queue)), thumbnailer_(std::move(thumbnailer)), token_(std::move(token)) {
    thread_ = std::thread([this] {
        lowerThisThreadsPriority();
        run(*queue_, *thumbnailer_, token_, &done_, &made_, &handedOver_);
    });
}

ThumbnailWorker::~ThumbnailWorker() {
    if (thread_.joinable()) {
        token_.cancel();
        thread_.join();
    }
}

void ThumbnailWorker::wait() {
    if (thread_.joinable()) thread_.join();
}

void ThumbnailWorker::drainOnThisThread() {
    handedOver_ = true;
    wait();
    run(*queue_, *thumbnailer_, token_, &done_, &made_);
}

ScanThumbnails::ScanThumbnails(const std::shared_ptr<RandomAccessSource>& source, const fs::path& sessionDir,
                               CancellationToken token)
    : sessionDir_(sessionDir) {
    // Its own reader, so the scan's count of unreadable bytes stays its own.
    std::shared_ptr<RandomAccessSource> reader;
    try {
        duplicate_ = source->duplicate();
    } catch (...) {
        duplicate_ = nullptr;
    }
    reader = duplicate_ ? duplicate_ : source;
    thumbnailer_ = std::make_shared<ScanThumbnailer>(reader, sessionDir);
    worker_ = std::make_unique<ThumbnailWorker>(queue_, thumbnailer_, std::move(token));
}

ScanThumbnails::~ScanThumbnails() {
    worker_.reset();
    if (duplicate_) duplicate_->close();
}

void ScanThumbnails::pushMissing(const std::vector<CarvedFile>& files) {
    for (const auto& f : files) {
        std::error_code a, b;
        if (!fs::exists(ScanThumbnailer::thumbnailURL(sessionDir_, f.index), a) &&
            !fs::exists(ScanThumbnailer::markerURL(sessionDir_, f.index), b))
            push(f);
    }
}

void ScanThumbnails::finishAndWait() {
    queue_->finish();
    worker_->drainOnThisThread();
    if (duplicate_) duplicate_->close();
    duplicate_ = nullptr;
}

}  // namespace tamsel::media
